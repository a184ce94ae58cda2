// What the library relies on from the foundation: strings and the command line.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "foundation/cow_String.h"
#include "foundation/utl_CommandLine.h"

TEST(CowString, CopiesShareUntilChangedAndEditsClipToTheText) {
    cow_String original("step=%i heading=%s");
    original.reserve(64);  // room to change a shared text in place
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
    EXPECT_THROW(cow_String::Written(size_t{INT_MAX} + 1, [&](char* out) {  // NOLINT(readability-non-const-parameter): the writer's signature
        return wrote = true, out;
    }),
                 std::length_error);
    EXPECT_FALSE(wrote);
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
