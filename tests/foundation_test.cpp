// What the library relies on from the foundation: strings, containers, the
// command line, exceptions, the kill signal, host services, the XML parser.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "foundation/cow_1DArrayList.h"
#include "foundation/cow_Map.h"
#include "foundation/cow_String.h"
#include "foundation/eli_killsig.h"
#include "foundation/nex_TextException.h"
#include "foundation/utl_CommandLine.h"
#include "foundation/utl_FilePath.h"
#include "foundation/xmp_XML.h"

TEST(CowString, CopiesShareUntilChangedAndEditsClipToTheText) {
    const cow_String original("step=%i heading=%s");
    cow_String copy = original;
    EXPECT_EQ(original.refCount(), 2);
    copy.append("!");
    EXPECT_EQ(original, "step=%i heading=%s");
    EXPECT_EQ(original.refCount(), 1);
    EXPECT_EQ(original.Find(" "), 7);
    EXPECT_EQ(original.Find(" ", 8), original.length());
    EXPECT_EQ(original.Substr(16, 100), "%s");
    EXPECT_EQ(copy.replace(1, 3, "&amp;", 5).append("xyz", 3, 1, INT_MAX), "s&amp;=%i heading=%s!yz");
    EXPECT_EQ(cow_String(-2147483647 - 1), "-2147483648");
    EXPECT_EQ(cow_String(4294967295u), "4294967295");
    EXPECT_EQ(cow_String(3.4028234663852886e38), "3.4028234663852886e+38");
}

// Sizes derived from callers' texts: checked before anything is allocated.
TEST(CowString, LengthsPastWhatAStringHoldsAreRefused) {
    EXPECT_EQ(cow_String::CheckedLength(10, 3, 5, "t"), 25u);
    EXPECT_EQ(cow_String::CheckedLength(0, INT_MAX, 1, "t"), size_t{INT_MAX});
    for (const auto& [length, count, each] : {std::tuple<size_t, size_t, size_t>{64, 858993460, 5}, {0, SIZE_MAX, 5},
                                             {SIZE_MAX, 0, 0}, {1, INT_MAX, 1}, {0, SIZE_MAX / 2 + 1, 2}})
        EXPECT_THROW(cow_String::CheckedLength(length, count, each, "t"), std::length_error) << count;
    bool wrote = false;
    EXPECT_THROW(cow_String::Written(size_t{INT_MAX} + 1, [&](char* out) { return wrote = true, out; }),
                 std::length_error);
    EXPECT_FALSE(wrote);
}

TEST(CowString, SharedTextSurvivesCopiesReleasedOnManyThreads) {
    const cow_String shared("shared between threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&shared] {
            for (int i = 0; i < 10000; ++i) cow_String(shared).append('!');
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.refCount(), 1);
}

TEST(Containers, ListsAndMapsCopyOnWrite) {
    cow_1DArrayList<cow_String> list(50);
    list.Append("a");
    list.Insert(0, "b");
    cow_1DArrayList<cow_String> copy = list;
    list.ClearAll();
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.PartialArrayConstGet(0), "b");
    cow_Map<cow_String, cow_String> map;
    EXPECT_TRUE(map.Insert("to", "x"));
    EXPECT_FALSE(map.Insert("to", "y"));
    cow_Map<cow_String, cow_String> mapCopy = map;
    mapCopy.Insert("type", "chat");
    EXPECT_FALSE(map.IsMember("type"));
    EXPECT_EQ(map.ConstGet("to"), "x");
}

TEST(CommandLine, AcceptsEveryOptionFormAndNegativeNumbersAsValues) {
    const utl_CommandLine line({"job=beam", "-message=ALL", "--indir=/tmp/x", "-listener_name", "host", "-flag",
                                "--last", "-offset", "-5", "-scale", "-.5", "positional"});
    const std::pair<const char*, const char*> options[] = {
        {"job", "beam"}, {"message", "ALL"}, {"indir", "/tmp/x"}, {"listener_name", "host"},
        {"flag", ""},    {"last", ""},       {"offset", "-5"},    {"scale", "-.5"}};
    for (const auto& [name, value] : options) {
        EXPECT_TRUE(line.IsMember(name)) << name;
        EXPECT_EQ(line.ConstGetValue(name), value) << name;
    }
    EXPECT_FALSE(line.IsMember("positional"));
}

TEST(Exceptions, ThrowDeliversTheMostDerivedClass) {
    nex_TextException raised("3:broken");
    try {
        static_cast<nex_Exception&>(raised).Throw("source.cpp", 42);
        FAIL() << "Throw returned";
    } catch (const nex_TextException& caught) {
        EXPECT_EQ(caught.DeveloperReport(), "3:broken (source.cpp:42)");
    }
}

TEST(KillSignal, RaisesTheFlagAndCallsTheHandlerWithoutEndingTheProcess) {
    static int handlerCalls = 0;
    eli_clearkillsig();
    eli_setKillHandler([] { ++handlerCalls; });
    eli_setkillsig();
    EXPECT_TRUE(eli_killsigRaised());
    EXPECT_EQ(handlerCalls, 1);
    eli_setKillHandler(nullptr);
    eli_clearkillsig();
    EXPECT_FALSE(eli_killsigRaised());
}

TEST(FilePath, RelativeDirectoriesStartAtTheWorkingDirectory) {
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(utl_FilePath("beam.ipm", "runs").AbsolutePathName(), (cwd + "/runs/beam.ipm").c_str());
    EXPECT_EQ(utl_FilePath("beam.ipm", "/data/runs/").AbsolutePathName(), "/data/runs/beam.ipm");
}

namespace {
void onText(void* data, const char* text, int length) { static_cast<std::string*>(data)->append(text, length); }

std::string parsedText(const std::string& document) {
    std::string text;
    xmp_XML_Parser parser = xmp_XML_ParserCreate(nullptr);
    xmp_XML_SetUserData(parser, &text);
    xmp_XML_SetCharacterDataHandler(parser, onText);
    xmp_XML_Parse(parser, document.data(), static_cast<int>(document.size()), 1);
    xmp_XML_ParserFree(parser);
    return text;
}
}  // namespace

TEST(XmlParser, ReadsTextAndStaysSafeOnHostileInput) {
    EXPECT_EQ(parsedText("<a x='1'>t<b>&amp;</b></a>"), "t&");
    EXPECT_EQ(parsedText("<!DOCTYPE a [<!ENTITY e SYSTEM 'file:///etc/passwd'>]><a>&e;</a>").find("root:"),
              std::string::npos);
    std::string bomb = "<!DOCTYPE a [<!ENTITY a0 'xxxxxxxxxx'>";
    for (int i = 1; i < 10; ++i) {
        bomb += "<!ENTITY a" + std::to_string(i) + " '";
        for (int j = 0; j < 10; ++j) bomb += "&a" + std::to_string(i - 1) + ";";
        bomb += "'>";
    }
    EXPECT_LT(parsedText(bomb + "]><a>&a9;</a>").size(), 1000000u);
}
