#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "foundation/aio_ostream.h"
#include "foundation/cow_1DArrayIter.h"
#include "foundation/cow_1DArrayList.h"
#include "foundation/cow_ConstMapIterator.h"
#include "foundation/cow_Map.h"
#include "foundation/eli_killsig.h"
#include "foundation/nex_TextException.h"
#include "foundation/omi_AlertListener.h"
#include "foundation/utl_CommandLine.h"
#include "foundation/utl_FilePath.h"
#include "foundation/utl_system.h"
#include "foundation/xmp_XML.h"

TEST(Containers, ListsAndMapsCopyOnWrite) {
    cow_1DArrayList<cow_String> list(50);
    list.Append("a");
    list.Append("c");
    list.Insert(1, "b");
    cow_1DArrayList<cow_String> copy = list;
    EXPECT_EQ(copy.Pop(), "c");
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(copy.Count(), 2);

    std::string walked;
    cow_1DArrayIter<cow_String> it(list);
    for (it.First(); !it.IsDone(); it.Next()) walked += it.Current().text();
    EXPECT_EQ(walked, "abc");

    list.ClearAll();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(copy.PartialArrayConstGet(1), "b");

    cow_1DArray<int> head;
    head.Get(0) = 2;
    head.GetHead() = 1;
    int count = 0;
    const int* run = head.GetCArray(count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(run[0], 1);
    EXPECT_EQ(run[1], 2);

    cow_Map<cow_String, cow_String> map;
    EXPECT_TRUE(map.Insert("to", "x"));
    EXPECT_FALSE(map.Insert("to", "y"));
    EXPECT_TRUE(map.Insert("id", "1"));
    cow_Map<cow_String, cow_String> mapCopy = map;
    mapCopy.Insert("type", "chat");
    EXPECT_FALSE(map.IsMember("type"));
    EXPECT_EQ(map.ConstGet("to"), "x");
    std::string keys;
    for (cow_ConstMapIterator<cow_String, cow_String> at(mapCopy); !at.IsDone(); at.Next()) keys += at.Key().text();
    EXPECT_EQ(keys, "idtotype");
}

TEST(CommandLine, AcceptsEveryOptionForm) {
    utl_CommandLine line({"job=beam", "-message=ALL", "--indir=/tmp/x", "-listener_name", "host", "-flag",
                          "-direct_port", "7000", "--last", "-offset", "-5", "positional"});
    EXPECT_EQ(line.ConstGetValue("job"), "beam");
    EXPECT_EQ(line.ConstGetValue("message"), "ALL");
    EXPECT_EQ(line.ConstGetValue("indir"), "/tmp/x");
    EXPECT_EQ(line.ConstGetValue("listener_name"), "host");
    EXPECT_TRUE(line.IsMember("flag"));
    EXPECT_EQ(line.ConstGetValue("flag"), "");
    EXPECT_EQ(line.ConstGetValue("direct_port"), "7000");
    EXPECT_TRUE(line.IsMember("last"));
    EXPECT_EQ(line.ConstGetValue("offset"), "-5");
    EXPECT_FALSE(line.IsMember("positional"));
    EXPECT_FALSE(line.IsMember("absent"));
    EXPECT_EQ(line.ConstGetValue("absent"), "");

    line.SetArguments({"job=other"});
    EXPECT_FALSE(line.IsMember("message"));
    EXPECT_EQ(line.ConstGetValue("job"), "other");
}

TEST(CommandLine, ReadsTheProcessArgumentsByDefault) {
    // This test program is started without options of the job's forms.
    utl_CommandLine line;
    EXPECT_FALSE(line.IsMember("job"));
}

TEST(Exceptions, ThrowDeliversTheMostDerivedClass) {
    nex_TextException raised("3:broken");
    try {
        static_cast<nex_Exception&>(raised).Throw("source.cpp", 42);
        FAIL() << "Throw returned";
    } catch (const nex_TextException& caught) {
        EXPECT_EQ(caught.AsString(), "3:broken");
        EXPECT_STREQ(caught.what(), "3:broken");
        EXPECT_EQ(caught.SourceLine(), 42);
        EXPECT_EQ(caught.DeveloperReport(), "3:broken (source.cpp:42)");
        std::unique_ptr<nex_Exception> copy(caught.Copy());
        EXPECT_EQ(copy->UserReport(), "3:broken");
    }
}

namespace {
int handlerCalls = 0;
void countKill() { ++handlerCalls; }
}  // namespace

TEST(KillSignal, RaisesTheFlagAndCallsTheHandlerWithoutEndingTheProcess) {
    eli_clearkillsig();
    EXPECT_FALSE(eli_killsigRaised());
    eli_setKillHandler(countKill);
    eli_setkillsig();
    eli_setkillsig();
    EXPECT_TRUE(eli_killsigRaised());
    EXPECT_EQ(handlerCalls, 2);
    eli_setKillHandler(nullptr);
    eli_clearkillsig();
    eli_setkillsig();
    EXPECT_EQ(handlerCalls, 2);
    eli_clearkillsig();
}

TEST(HostServices, NamesPathsAndHandles) {
    EXPECT_FALSE(utl_getHostName().isEmpty());
    EXPECT_EQ(omi_Singleton<omi_AlertListener>::Instance().GetHandle(), static_cast<unsigned>(getpid()));

    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(utl_FilePath("beam.ipm", "").AbsolutePathName(), (cwd + "/beam.ipm").c_str());
    EXPECT_EQ(utl_FilePath("beam.ipm", "runs").AbsolutePathName(), (cwd + "/runs/beam.ipm").c_str());
    EXPECT_EQ(utl_FilePath("beam.ipm", "/data/runs/").AbsolutePathName(), "/data/runs/beam.ipm");

    std::ostringstream captured;
    aio_cout.SetTarget(captured);
    aio_cout.print("value").print_int(7).put('\n').flush();
    aio_cout << cow_String("x") << 1;
    aio_cout.SetTarget(std::cout);
    EXPECT_EQ(captured.str(), "value7\nx1");
}

namespace {
struct Collected {
    std::string events;
};

void onStart(void* data, const char* name, const char** attributes) {
    auto* collected = static_cast<Collected*>(data);
    collected->events += std::string("<") + name;
    for (int i = 0; attributes[i]; i += 2) collected->events += std::string(" ") + attributes[i] + "=" + attributes[i + 1];
    collected->events += ">";
}
void onEnd(void* data, const char* name) { static_cast<Collected*>(data)->events += std::string("</") + name + ">"; }
void onText(void* data, const char* text, int length) { static_cast<Collected*>(data)->events.append(text, length); }

std::string parse(const std::string& document) {
    Collected collected;
    xmp_XML_Parser parser = xmp_XML_ParserCreate(nullptr);
    xmp_XML_SetUserData(parser, &collected);
    xmp_XML_SetElementHandler(parser, onStart, onEnd);
    xmp_XML_SetCharacterDataHandler(parser, onText);
    xmp_XML_Parse(parser, document.data(), static_cast<int>(document.size()), 1);
    xmp_XML_ParserFree(parser);
    return collected.events;
}
}  // namespace

TEST(XmlParser, ReportsElementsAndStaysSafeOnHostileInput) {
    EXPECT_EQ(parse("<a x='1'>t<b/></a>"), "<a x=1>t<b></b></a>");

    const std::string external =
        "<!DOCTYPE a [<!ENTITY e SYSTEM 'file:///etc/passwd'>]><a>&e;</a>";
    EXPECT_EQ(parse(external).find("root:"), std::string::npos);

    std::string bomb = "<!DOCTYPE a [<!ENTITY a0 'xxxxxxxxxx'>";
    for (int i = 1; i < 10; ++i)
        bomb += "<!ENTITY a" + std::to_string(i) + " '" + std::string("&a") + std::to_string(i - 1) + ";&a" +
                std::to_string(i - 1) + ";&a" + std::to_string(i - 1) + ";&a" + std::to_string(i - 1) + ";&a" +
                std::to_string(i - 1) + ";&a" + std::to_string(i - 1) + ";&a" + std::to_string(i - 1) + ";&a" +
                std::to_string(i - 1) + ";&a" + std::to_string(i - 1) + ";&a" + std::to_string(i - 1) + ";'>";
    bomb += "]><a>&a9;</a>";
    EXPECT_LT(parse(bomb).size(), 1000000u);
}
