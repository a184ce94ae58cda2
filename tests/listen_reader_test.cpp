#include "tools/listen/ipm_DocumentReader.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ListenReader, ReadsTypeAndTypedFieldsWithValuesUnescaped) {
    std::string error;
    const auto message = ipm_DocumentReader::Read(
        "<Progress><step type=\"integer\">3</step><heading type=\"string\">a&lt;b&amp;c&gt;d &amp;amp;</heading>"
        "<phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName></Progress>\n",
        error);
    ASSERT_TRUE(message) << error;
    EXPECT_EQ(message->type, "Progress");
    ASSERT_EQ(message->fields.size(), 4u);
    EXPECT_EQ(message->fields[0].name, "step");
    EXPECT_EQ(message->fields[0].type, "integer");
    EXPECT_EQ(message->fields[0].value, "3");
    EXPECT_EQ(message->fields[1].value, "a<b&c>d &amp;");
    EXPECT_EQ(message->fields[2].name, "phase");
    EXPECT_EQ(message->fields[2].type, "symconst");
    EXPECT_EQ(message->fields[2].value, "");
    EXPECT_EQ(message->fields[3].value, "beam");
}

TEST(ListenReader, OddButWellFormedDocuments) {
    std::string error;
    const auto empty = ipm_DocumentReader::Read("<Done></Done>\n", error);
    ASSERT_TRUE(empty) << error;
    EXPECT_EQ(empty->type, "Done");
    EXPECT_TRUE(empty->fields.empty());

    const auto untyped = ipm_DocumentReader::Read("<Note><text>two\nlines &#38; more</text></Note>\n", error);
    ASSERT_TRUE(untyped) << error;
    ASSERT_EQ(untyped->fields.size(), 1u);
    EXPECT_EQ(untyped->fields[0].type, "");
    EXPECT_EQ(untyped->fields[0].value, "two\nlines & more");
}

TEST(ListenReader, RefusesWhatIsNotAMessageDocument) {
    for (const char* document : {
             "<Error><message type=\"string\">a<b</message></Error>\n",
             "<Error><message type=\"string\">salt & pepper</message></Error>\n",
             "<Progress><message type=\"string\">see </Progress> here</message></Progress>\n",
             "<Progress><step type=\"integer\">3</step>\n",
             "<Progress><step type=\"integer\"><n>3</n></step></Progress>\n",
             "<Progress>loose text<step type=\"integer\">3</step></Progress>\n",
             "",
         }) {
        std::string error;
        EXPECT_FALSE(ipm_DocumentReader::Read(document, error)) << document;
        EXPECT_FALSE(error.empty()) << document;
    }
    std::string error;
    ipm_DocumentReader::Read("<Error><message type=\"string\">a<b</message></Error>\n", error);
    EXPECT_NE(error.find("line 1, column"), std::string::npos) << error;
}

TEST(ListenReader, RefusesEntityDeclarations) {
    std::string laughs = "<!DOCTYPE Bomb [<!ENTITY a0 \"lol\">";
    for (int level = 1; level < 10; ++level) {
        std::string expansion;
        for (int i = 0; i < 10; ++i) expansion += "&a" + std::to_string(level - 1) + ";";
        laughs += "<!ENTITY a" + std::to_string(level) + " \"" + expansion + "\">";
    }
    laughs += "]><Bomb><v type=\"string\">&a9;</v></Bomb>\n";
    std::string error;
    EXPECT_FALSE(ipm_DocumentReader::Read(laughs, error));
    EXPECT_EQ(error, "document type declaration refused");
}

}  // namespace
