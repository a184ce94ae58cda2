// What the library relies on from the foundation: strings, the command line,
// the kill signal and file paths.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "foundation/cow_String.h"
#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "foundation/utl_FilePath.h"

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
