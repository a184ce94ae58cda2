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
        R"({"send":"direct","type":"Progress","format":"step=%i x=%r","ints":[3],"doubles":[1.5,"-inf"],"texts":["A"]})");
    EXPECT_EQ(message.kind, ipm_JobCommand::Kind::SendDirect);
    EXPECT_EQ(message.integers, std::vector<int>{3});
    EXPECT_EQ(message.doubles, (std::vector<double>{1.5, -INFINITY}));
    EXPECT_STREQ(message.TextPointers().at(0), "A");
    EXPECT_EQ(ipm_JobCommand::Parse(R"({"sleep":200})").milliseconds, 200);
}

TEST(JobCommand, RefusesLinesWhoseFormatWantsMoreValuesThanTheyGive) {
    EXPECT_NO_THROW(
        ipm_JobCommand::Parse(send("a=%I b=%R c=%S d=%B e=%E x=%ix", R"(,"ints":[1],"doubles":[2],"texts":["x","y","z"])")));
    for (const std::string& line : {send("a=%s b=%b c=%e", R"(,"texts":["x","y"])"), send("count%i", ""),
                                    send("a=%r", ""), std::string(R"({"send":"direct","type":"X","ints":[2147483648]})"),
                                    std::string("not json"), std::string(R"({"sleep":-1})")})
        EXPECT_THROW(ipm_JobCommand::Parse(line), std::invalid_argument) << line;
}
}  // namespace
