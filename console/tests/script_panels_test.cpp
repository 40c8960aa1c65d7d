// The replay script's panel verbs: a panel of a stack is opened or closed by
// its identifier, since every panel's title button carries the same one.
#include <gtest/gtest.h>

#include "console/script.h"

namespace k0340cvw {
namespace {

TEST(ConsoleScriptPanels, ExpandAndCollapseNameAPanelByItsIdentifier) {
    std::vector<ScriptCommand> c;
    ScriptError error;
    ASSERT_TRUE(ParseScript("expand 3\n  collapse\t7 \nexpand 65535\n", &c, &error)) << error.Message();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0].verb, ScriptVerb::Expand);
    EXPECT_EQ(c[0].id, 3);
    EXPECT_EQ(c[1].verb, ScriptVerb::Collapse);
    EXPECT_EQ(c[1].id, 7);
    EXPECT_EQ(c[1].line, 2);
    EXPECT_EQ(c[2].id, 65535);
}

TEST(ConsoleScriptPanels, APanelVerbWithoutOneIdentifierRefusesTheScript) {
    struct Case {
        const char* script;
        int line;
        const char* says;
    } cases[] = {
        {"expand\n", 1, "control identifier"},
        {"collapse 65536\n", 1, "control identifier"},
        {"click 1\nexpand 2 3\n", 2, "expand takes only the control identifier"},
        {"collapse 1 open\n", 1, "collapse takes only the control identifier"},
        {"expnad 2\n", 1, "the commands are click, expand, collapse,"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.script);
        std::vector<ScriptCommand> c;
        ScriptError error;
        EXPECT_FALSE(ParseScript(k.script, &c, &error));
        EXPECT_TRUE(c.empty());
        EXPECT_EQ(error.line, k.line);
        EXPECT_NE(error.Message().find(k.says), std::string::npos) << error.Message();
    }
}

}  // namespace
}  // namespace k0340cvw
