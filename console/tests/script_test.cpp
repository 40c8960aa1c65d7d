// The replay script reader: every verb with its arguments, and bad lines
// refused whole with their number and text.
#include <gtest/gtest.h>

#include "console/script.h"

namespace k0340cvw {
namespace {

TEST(ConsoleScript, EveryVerbReadsItsArguments) {
    const char* script =
        "# a settings round\r\n"
        "click 1107\n"
        "\n"
        "drag 1201 -40\n"
        "type my pass word \n"
        "key PageDown\n"
        "  wait 250\n"
        "unplug\n"
        "plug\n"
        "screenshot out/Settings.PNG\n"
        "expect 1201 -40\n"
        "next";
    std::vector<ScriptCommand> c;
    ScriptError error;
    ASSERT_TRUE(ParseScript(script, &c, &error)) << error.Message();
    ASSERT_EQ(c.size(), 10u);
    EXPECT_EQ(c[0].verb, ScriptVerb::Click);
    EXPECT_EQ(c[0].id, 1107);
    EXPECT_EQ(c[0].line, 2);
    EXPECT_EQ(c[1].verb, ScriptVerb::Drag);
    EXPECT_EQ(c[1].id, 1201);
    EXPECT_EQ(c[1].value, -40);
    EXPECT_EQ(c[1].line, 4);
    EXPECT_EQ(c[2].verb, ScriptVerb::Type);
    EXPECT_EQ(c[2].text, "my pass word ") << "typed text is kept as written, blanks and all";
    EXPECT_EQ(c[3].verb, ScriptVerb::Key);
    EXPECT_EQ(c[3].key, ScriptKey::PageDown);
    EXPECT_EQ(c[4].verb, ScriptVerb::Wait);
    EXPECT_EQ(c[4].value, 250);
    EXPECT_EQ(c[5].verb, ScriptVerb::Unplug);
    EXPECT_EQ(c[6].verb, ScriptVerb::Plug);
    EXPECT_EQ(c[7].verb, ScriptVerb::Screenshot);
    EXPECT_EQ(c[7].text, "out/Settings.PNG");
    EXPECT_EQ(c[7].line, 10);
    EXPECT_EQ(c[8].verb, ScriptVerb::Expect);
    EXPECT_EQ(c[8].id, 1201);
    EXPECT_EQ(c[8].value, -40);
    EXPECT_EQ(c[9].verb, ScriptVerb::Next);
}

TEST(ConsoleScript, ABadLineRefusesTheWholeScriptNamingTheLine) {
    struct Case {
        const char* script;
        int line;
        const char* says;
    } cases[] = {
        {"click 1107\nclik 5\n", 2, "no command is called 'clik'"},
        {"click\n", 1, "control identifier"},
        {"click -3\n", 1, "control identifier"},
        {"click 65536\n", 1, "control identifier"},
        {"click 12x\n", 1, "control identifier"},
        {"click 5 6\n", 1, "only the control identifier"},
        {"drag 5\n", 1, "whole number"},
        {"drag 5 99999999999\n", 1, "whole number"},
        {"drag 5 1 2\n", 1, "one number"},
        {"expect 5\n", 1, "expect wants a control identifier and a whole number"},
        {"expect 5 1 2\n", 1, "expect takes a control identifier and one number"},
        {"next 2\n", 1, "next takes nothing more"},
        {"type\n", 1, "text to type"},
        {"key F13\n", 1, "key wants one of"},
        {"wait\n", 1, "milliseconds"},
        {"wait 600001\n", 1, "milliseconds"},
        {"wait -1\n", 1, "milliseconds"},
        {"unplug now\n", 1, "takes nothing more"},
        {"screenshot picture.jpg\n", 1, "ending in .png"},
        {"screenshot .png\n", 1, "ending in .png"},
        {"wait 1\n\n\nscreenshot\n", 4, "ending in .png"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.script);
        std::vector<ScriptCommand> c;
        ScriptError error;
        EXPECT_FALSE(ParseScript(k.script, &c, &error));
        EXPECT_TRUE(c.empty()) << "nothing of a refused script runs";
        EXPECT_EQ(error.line, k.line);
        EXPECT_NE(error.Message().find(k.says), std::string::npos) << error.Message();
        EXPECT_EQ(error.Message().rfind("line " + std::to_string(k.line) + ": '", 0), 0u) << error.Message();
    }
    // A NUL inside a line, and a line too long to be a command.
    std::vector<ScriptCommand> c;
    ScriptError error;
    EXPECT_FALSE(ParseScript(std::string_view("wait 1\nclick 5\0 6\n", 18), &c, &error));
    EXPECT_EQ(error.line, 2);
    EXPECT_NE(error.reason.find("NUL"), std::string::npos);
    EXPECT_FALSE(ParseScript("type " + std::string(5000, 'a'), &c, &error));
    EXPECT_EQ(error.text.size(), 80u) << "the line is shown cut";
    EXPECT_TRUE(ParseScript("", &c, &error));
    EXPECT_TRUE(c.empty());
}

}  // namespace
}  // namespace k0340cvw
