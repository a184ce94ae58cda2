// What the library relies on from the foundation: strings, containers, the
// command line, exceptions, the kill signal, host services, the XML parser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/aio_ostream.h"
#include "foundation/atr_translate.h"
#include "foundation/cow_1DArrayIter.h"
#include "foundation/cow_1DArrayList.h"
#include "foundation/cow_ConstMapIterator.h"
#include "foundation/cow_Map.h"
#include "foundation/cow_String.h"
#include "foundation/eli_killsig.h"
#include "foundation/nex_TextException.h"
#include "foundation/omi_AlertListener.h"
#include "foundation/utl_CommandLine.h"
#include "foundation/utl_FilePath.h"
#include "foundation/utl_system.h"
#include "foundation/xmp_XML.h"

TEST(CowString, CopiesShareUntilOneSideChangesAndAssignReusesOnlyUnsharedText) {
    cow_String original("phase");
    cow_String copy = original;
    EXPECT_EQ(original.refCount(), 2);
    copy.append("=x");
    EXPECT_EQ(original, "phase");
    EXPECT_EQ(copy, "phase=x");
    EXPECT_EQ(original.refCount(), 1);
    copy.Delete();
    EXPECT_TRUE(copy.isEmpty());

    const cow_String written = cow_String::Written(10, [](char* out) {
        std::memcpy(out, "abc", 3);
        return out + 3;
    });
    EXPECT_EQ(written, "abc");
}

TEST(CowString, EditingOperationsClipToTheText) {
    cow_String text("step=%i heading=%s");
    EXPECT_EQ(text.Find(" "), 7);
    EXPECT_EQ(text.Find(" ", 8), text.length());
    EXPECT_EQ(text.Find("%", 100), text.length());
    EXPECT_EQ(text.Substr(16, 100), "%s");
    EXPECT_EQ(text.Substr(100, 3), "");

    cow_String escaped("a&b");
    escaped.replace(1, 1, "&amp;", 5);
    EXPECT_EQ(escaped, "a&amp;b");
    cow_String appended;
    appended.append("abcdef", 6, 2, 3).append("xyz", 3, 1, INT_MAX).append(nullptr, 0);
    EXPECT_EQ(appended, "cdeyz");
    EXPECT_TRUE(cow_String(static_cast<const char*>(nullptr)).isEmpty());
}

TEST(CowString, NumbersAreExactDecimalText) {
    EXPECT_EQ(cow_String(-2147483647 - 1), "-2147483648");
    EXPECT_EQ(cow_String(4294967295u), "4294967295");
    EXPECT_EQ(cow_String(0.1), "0.1");
    EXPECT_EQ(cow_String(3.4028234663852886e38), "3.4028234663852886e+38");
    for (double value : {1.0 / 3.0, 2.5e-300, -123456.789, 6.02214076e23})
        EXPECT_EQ(std::strtod(cow_String(value).text(), nullptr), value);
    EXPECT_EQ(cow_String(std::numeric_limits<double>::infinity()), "inf");
}

TEST(CowString, SharedTextSurvivesCopiesReleasedOnManyThreads) {
    const cow_String shared("shared between threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 10000; ++i) {
                cow_String copy = shared;
                copy.append('!');
                ASSERT_EQ(copy.length(), shared.length() + 1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.refCount(), 1);
}

TEST(AtrTranslate, FillsNumberedPlaceholders) {
    atr_translate two("%s at %d%%");
    atr_SubstituteFormat(two, 2, 7);
    EXPECT_EQ(two.Result(), "%s at 7%%");
    atr_SubstituteFormat(two, 1, "host");
    EXPECT_EQ(two.Result(), "host at 7%%");
}

TEST(Containers, ListsAndMapsCopyOnWrite) {
    cow_1DArrayList<cow_String> list(50);
    list.Append("a");
    list.Append("c");
    list.Insert(1, "b");
    cow_1DArrayList<cow_String> copy = list;
    EXPECT_EQ(copy.Pop(), "c");
    std::string walked;
    cow_1DArrayIter<cow_String> it(list);
    for (it.First(); !it.IsDone(); it.Next()) walked += it.Current().text();
    EXPECT_EQ(walked, "abc");
    list.ClearAll();
    EXPECT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.PartialArrayConstGet(1), "b");

    cow_1DArray<int> head;
    head.Get(0) = 2;
    head.GetHead() = 1;
    int count = 0;
    const int* run = head.GetCArray(count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(run[0] * 10 + run[1], 12);

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
                          "--last", "-offset", "-5", "positional"});
    EXPECT_EQ(line.ConstGetValue("job"), "beam");
    EXPECT_EQ(line.ConstGetValue("message"), "ALL");
    EXPECT_EQ(line.ConstGetValue("indir"), "/tmp/x");
    EXPECT_EQ(line.ConstGetValue("listener_name"), "host");
    EXPECT_TRUE(line.IsMember("flag"));
    EXPECT_EQ(line.ConstGetValue("flag"), "");
    EXPECT_TRUE(line.IsMember("last"));
    EXPECT_EQ(line.ConstGetValue("offset"), "-5");
    EXPECT_FALSE(line.IsMember("positional"));
    EXPECT_EQ(line.ConstGetValue("absent"), "");

    line.SetArguments({"job=other"});
    EXPECT_FALSE(line.IsMember("message"));
    EXPECT_EQ(line.ConstGetValue("job"), "other");
}

TEST(Exceptions, ThrowDeliversTheMostDerivedClass) {
    nex_TextException raised("3:broken");
    try {
        static_cast<nex_Exception&>(raised).Throw("source.cpp", 42);
        FAIL() << "Throw returned";
    } catch (const nex_TextException& caught) {
        EXPECT_STREQ(caught.what(), "3:broken");
        EXPECT_EQ(caught.DeveloperReport(), "3:broken (source.cpp:42)");
        std::unique_ptr<nex_Exception> copy(caught.Copy());
        EXPECT_EQ(copy->UserReport(), "3:broken");
    }
}

namespace {
int handlerCalls = 0;
}  // namespace

TEST(KillSignal, RaisesTheFlagAndCallsTheHandlerWithoutEndingTheProcess) {
    eli_clearkillsig();
    eli_setKillHandler([] { ++handlerCalls; });
    eli_setkillsig();
    eli_setkillsig();
    EXPECT_TRUE(eli_killsigRaised());
    EXPECT_EQ(handlerCalls, 2);
    eli_setKillHandler(nullptr);
    eli_clearkillsig();
    EXPECT_FALSE(eli_killsigRaised());
    eli_setkillsig();
    EXPECT_EQ(handlerCalls, 2);
    eli_clearkillsig();
}

TEST(HostServices, NamesPathsHandlesAndConsole) {
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
void onStart(void* data, const char* name, const char** attributes) {
    std::string& events = *static_cast<std::string*>(data);
    events += std::string("<") + name;
    for (int i = 0; attributes[i]; i += 2) events += std::string(" ") + attributes[i] + "=" + attributes[i + 1];
    events += ">";
}
void onEnd(void* data, const char* name) { *static_cast<std::string*>(data) += std::string("</") + name + ">"; }
void onText(void* data, const char* text, int length) { static_cast<std::string*>(data)->append(text, length); }

std::string parse(const std::string& document) {
    std::string events;
    xmp_XML_Parser parser = xmp_XML_ParserCreate(nullptr);
    xmp_XML_SetUserData(parser, &events);
    xmp_XML_SetElementHandler(parser, onStart, onEnd);
    xmp_XML_SetCharacterDataHandler(parser, onText);
    xmp_XML_Parse(parser, document.data(), static_cast<int>(document.size()), 1);
    xmp_XML_ParserFree(parser);
    return events;
}
}  // namespace

TEST(XmlParser, ReportsElementsAndStaysSafeOnHostileInput) {
    EXPECT_EQ(parse("<a x='1'>t<b/></a>"), "<a x=1>t<b></b></a>");
    EXPECT_EQ(parse("<!DOCTYPE a [<!ENTITY e SYSTEM 'file:///etc/passwd'>]><a>&e;</a>").find("root:"),
              std::string::npos);

    std::string bomb = "<!DOCTYPE a [<!ENTITY a0 'xxxxxxxxxx'>";
    for (int i = 1; i < 10; ++i) {
        bomb += "<!ENTITY a" + std::to_string(i) + " '";
        for (int j = 0; j < 10; ++j) bomb += "&a" + std::to_string(i - 1) + ";";
        bomb += "'>";
    }
    EXPECT_LT(parse(bomb + "]><a>&a9;</a>").size(), 1000000u);
}
