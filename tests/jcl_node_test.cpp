#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>

#include "foundation/aio_ostream.h"
#include "jcl/jcl_Node.h"

namespace {
// Collects what aio_cout receives while it lives.
class CapturedConsole {
public:
    CapturedConsole() { aio_cout.SetTarget(captured); }
    ~CapturedConsole() { aio_cout.SetTarget(std::cout); }
    std::string Text() const { return captured.str(); }

private:
    std::ostringstream captured;
};

jcl_Node Element(const char* name, const char* text = "") {
    jcl_Node node;
    node.SetTagName(name);
    node.text = text;
    return node;
}

cow_1DArrayList<int> Path(std::initializer_list<int> steps) {
    cow_1DArrayList<int> path;
    for (int step : steps) path.Append(step);
    return path;
}
}  // namespace

TEST(JclNode, SerializesWithOneDiagnosticLinePerElement) {
    jcl_Node message = Element("message", "hi");
    message.InsertAttribute("to", "x");
    message.Append(Element("body", "b"));
    {
        CapturedConsole console;
        EXPECT_EQ(message.Serialize(), "<message to=\"x\">hi\n<body>b\n</body>\n</message>\n");
        EXPECT_EQ(console.Text(), "valuehi\nvalueb\n");
    }
    {
        CapturedConsole console;
        EXPECT_EQ(jcl_Node().Serialize(), "<>\n</>\n");
        EXPECT_EQ(console.Text(), "value\n");
    }
    CapturedConsole console;
    EXPECT_EQ(Element("a").Serialize(), "<a>\n</a>\n");
}

TEST(JclNode, WritesAttributesInKeyOrderUnescaped) {
    jcl_Node node = Element("n", "a<b&c");
    node.InsertAttribute("z", "say \"hi\"");
    node.InsertAttribute("a", "1");
    node.InsertAttribute("a", "2");
    CapturedConsole console;
    EXPECT_EQ(node.Serialize(), "<n a=\"1\" z=\"say \"hi\"\">a<b&c\n</n>\n");
}

TEST(JclNode, TraverseFollowsChildIndices) {
    jcl_Node root = Element("root");
    jcl_Node first = Element("first");
    jcl_Node second = Element("second");
    second.Append(Element("inner0"));
    second.Append(Element("inner1"));
    root.Append(first);
    root.Append(second);

    EXPECT_EQ(&root.Traverse(Path({})), &root);
    EXPECT_EQ(root.Traverse(Path({1, 0})).GetTagName(), "inner0");
    EXPECT_EQ(root.Traverse(Path({1, 1})).GetTagName(), "inner1");

    root.Traverse(Path({0})).text = "changed";
    EXPECT_EQ(root.GetChild(0).text, "changed");

    EXPECT_THROW(root.GetChild(2), std::out_of_range);
    EXPECT_THROW(root.GetChild(-1), std::out_of_range);
    EXPECT_THROW(root.Traverse(Path({1, 0, 0})), std::out_of_range);
    EXPECT_EQ(root.children.Count(), 2);
}

TEST(JclNode, AppendedCopiesAndCopiesOfTreesAreIndependent) {
    jcl_Node child = Element("child", "before");
    jcl_Node tree = Element("tree");
    tree.Append(child);
    child.text = "after";
    child.SetTagName("renamed");
    child.Append(Element("grandchild"));
    EXPECT_EQ(tree.GetChild(0).text, "before");
    EXPECT_EQ(tree.GetChild(0).GetTagName(), "child");
    EXPECT_EQ(tree.GetChild(0).children.Count(), 0);

    jcl_Node copy = tree;
    copy.GetChild(0).InsertAttribute("k", "v");
    copy.Append(Element("extra"));
    EXPECT_EQ(tree.children.Count(), 1);
    EXPECT_EQ(tree.GetChild(0).attributes.Count(), 0);
    EXPECT_EQ(copy.children.Count(), 2);
}
