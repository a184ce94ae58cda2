// Reading the scripted job's command lines, above all the check that a
// format never consumes more values than the line gives.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "tools/job/ipm_JobCommand.h"

namespace {

std::string send(const std::string& format, const std::string& arrays) {
    return R"({"send":"buffered","type":"Progress","format":")" + format + "\"" + arrays + "}";
}

TEST(JobCommand, ReadsTheThreeCommands) {
    ipm_JobCommand message = ipm_JobCommand::Parse(
        R"({"send":"direct","type":"Progress","format":"step=%i heading=%s x=%r","ints":[3],)"
        R"("doubles":[1.5,"nan","-inf"],"texts":["A&B"]})");
    EXPECT_EQ(message.kind, ipm_JobCommand::Kind::SendDirect);
    EXPECT_EQ(message.type, "Progress");
    EXPECT_EQ(message.integers, std::vector<int>{3});
    ASSERT_EQ(message.doubles.size(), 3u);
    EXPECT_TRUE(std::isnan(message.doubles[1]));
    EXPECT_EQ(message.doubles[2], -INFINITY);
    ASSERT_EQ(message.TextPointers().size(), 1u);
    EXPECT_STREQ(message.TextPointers()[0], "A&B");

    EXPECT_EQ(ipm_JobCommand::Parse(R"({"send":"buffered","type":"Done"})").format, "");
    EXPECT_EQ(ipm_JobCommand::Parse(R"({"sleep":200})").milliseconds, 200);
    EXPECT_EQ(ipm_JobCommand::Parse(R"({"close":true})").kind, ipm_JobCommand::Kind::Close);
}

TEST(JobCommand, FormatsAreCountedPerLetterAsTheDocumentReadsThem) {
    // Upper case counts; letters shared by texts draw on one array.
    EXPECT_NO_THROW(ipm_JobCommand::Parse(send("a=%I b=%R c=%S d=%B e=%E", R"(,"ints":[1],"doubles":[2],"texts":["x","y","z"])")));
    EXPECT_THROW(ipm_JobCommand::Parse(send("a=%s b=%b c=%e", R"(,"texts":["x","y"])")), std::invalid_argument);
    EXPECT_THROW(ipm_JobCommand::Parse(send("a=%i a=%i", R"(,"ints":[1])")), std::invalid_argument);
    EXPECT_THROW(ipm_JobCommand::Parse(send("a=%r", "")), std::invalid_argument);
    // No "=" still converts; a letter that is not last, or none at all, takes nothing.
    EXPECT_THROW(ipm_JobCommand::Parse(send("count%i", "")), std::invalid_argument);
    EXPECT_NO_THROW(ipm_JobCommand::Parse(send("a=%ix b=%x c  d= ", "")));
    // Extra values are harmless.
    EXPECT_NO_THROW(ipm_JobCommand::Parse(send("", R"(,"ints":[1,2],"texts":["x"])")));
}

TEST(JobCommand, RejectsWhatIsNoCommand) {
    for (const char* line : {"not json", "[1]", "{}", R"({"jump":1})", R"({"sleep":1,"close":true})",
                             R"({"send":"later","type":"X"})", R"({"send":"direct"})",
                             R"({"send":"direct","type":"X","colour":1})", R"({"send":"direct","type":"X","ints":[1.5]})",
                             R"({"send":"direct","type":"X","ints":[2147483648]})",
                             R"({"send":"direct","type":"X","doubles":["NaN"]})", R"({"send":"direct","type":"X","texts":[1]})",
                             R"({"sleep":-1})", R"({"sleep":"1"})", R"({"close":false})"})
        EXPECT_THROW(ipm_JobCommand::Parse(line), std::invalid_argument) << line;
    EXPECT_EQ(ipm_JobCommand::Parse(R"({"send":"direct","type":"X","ints":[-2147483648]})").integers[0], INT32_MIN);
}

}  // namespace
