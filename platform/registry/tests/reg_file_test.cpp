// Export and import of the .reg text format.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/nt/testing/machine_test.h"
#include "platform/nt/wformat.h"
#include "platform/registry/registry.h"
#include "platform/registry/tests/registry_test_util.h"
#include "wdm.h"

namespace {

using namespace qk::registry::testing;

const std::vector<std::u16string> kLumora = {u"MACHINE", u"SOFTWARE", u"Lumora Tech"};
const std::vector<std::u16string> kMachine = {u"MACHINE"};

std::span<const uint8_t> AsBytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

class RegFileTest : public qk::testing::MachineTest {
protected:
    std::string Export(const std::vector<std::u16string>& levels, const std::u16string& display) {
        std::string text, error;
        EXPECT_TRUE(qk::registry::ExportRegFile(levels, display, &text, &error)) << error;
        return text;
    }
    std::string ExportMachine() { return Export(kMachine, u"HKEY_LOCAL_MACHINE"); }

    bool Import(const std::string& text, std::string* error) {
        return qk::registry::ImportRegFile(AsBytes(text), error);
    }

    // A tree holding every kind of value the format must carry.
    void Populate() {
        HANDLE top, sub, deep;
        ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Software\\Lumora Tech", &top), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey(u"Web Cameras", &sub, nullptr, KEY_ALL_ACCESS, 0, top), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey(u"Key [with] brackets \u00E9\U0001F600", &deep, nullptr, KEY_ALL_ACCESS, 0, sub),
                  STATUS_SUCCESS);
        std::vector<uint8_t> long_(300);
        for (size_t i = 0; i < long_.size(); ++i) long_[i] = static_cast<uint8_t>(i);
        struct Value {
            HANDLE key;
            std::u16string name;
            ULONG type;
            std::vector<uint8_t> data;
        } values[] = {
            {top, u"", REG_SZ, WideBytes(u"default")},
            {top, u"Plain", REG_SZ, WideBytes(u"QK0340 Camera")},
            {top, u"Quote \"and\" back\\slash", REG_SZ, WideBytes(u"C:\\Windows\\\"x\"")},
            {top, u"Line\nbreak\rname", REG_DWORD, Bytes({1, 0, 0, 0})},
            {top, u"Empty string", REG_SZ, WideBytes(u"")},
            {top, u"Multi-line text", REG_SZ, WideBytes(u"one\r\ntwo")},
            {top, u"No terminator", REG_SZ, WideBytes(u"abc", 0)},
            {top, u"Odd size", REG_SZ, Bytes({0x41})},
            {top, u"Unicode", REG_SZ, WideBytes(u"\u00C4\u0416\U0001F600")},
            {top, u"Lone surrogate", REG_SZ, WideBytes(u"a\xD800z")},
            {sub, u"Dword", REG_DWORD, Bytes({5, 0, 0, 0})},
            {sub, u"Short dword", REG_DWORD, Bytes({5, 0})},
            {sub, u"Qword", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
            {sub, u"Expand", REG_EXPAND_SZ, WideBytes(u"%SystemRoot%\\System32")},
            {sub, u"Multi", REG_MULTI_SZ, WideBytes(std::u16string(u"K0340Aud\0Second", 15), 2)},
            {sub, u"Binary", REG_BINARY, long_},
            {sub, u"None", REG_NONE, {}},
            {deep, u"Custom type", 0xABCDE, Bytes({0xFF})},
        };
        for (const auto& v : values) {
            ASSERT_EQ(SetValue(v.key, v.name, v.type, v.data.data(), static_cast<ULONG>(v.data.size())), STATUS_SUCCESS)
                << qk::ToUtf8(v.name);
        }
        HANDLE empty;
        ASSERT_EQ(CreateKey(u"Empty key", &empty, nullptr, KEY_ALL_ACCESS, 0, top), STATUS_SUCCESS);
        for (HANDLE h : {top, sub, deep, empty}) ZwClose(h);
    }

    void DeleteLumora() {
        std::string error;
        ASSERT_TRUE(Import("Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora Tech]\n",
                           &error))
            << error;
        HANDLE h;
        ASSERT_EQ(OpenKey(u"\\Registry\\Machine\\Software\\Lumora Tech", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    }
};

TEST_F(RegFileTest, ExportThenImportGivesBackEveryValueExactly) {
    Populate();
    std::string exported = Export(kLumora, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora Tech");
    // The readable forms where the data allows them.
    for (const char* line : {
             "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora Tech]\n",
             "\n@=\"default\"\n",
             "\n\"Plain\"=\"QK0340 Camera\"\n",
             "\n\"Quote \\\"and\\\" back\\\\slash\"=\"C:\\\\Windows\\\\\\\"x\\\"\"\n",
             "\n\"Line\\nbreak\\rname\"=dword:00000001\n",
             "\n\"Empty string\"=\"\"\n",
             "\n\"Dword\"=dword:00000005\n",
             "\n\"Short dword\"=hex(4):05,00\n",
             "\n\"Qword\"=hex(b):01,02,03,04,05,06,07,08\n",
             "\n\"None\"=hex(0):\n",
             "\n\"Custom type\"=hex(abcde):ff\n",
             "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora Tech\\Web Cameras\\Key [with] brackets \xC3\xA9\xF0\x9F\x98\x80]\n",
         }) {
        EXPECT_NE(exported.find(line), std::string::npos) << line << "\nin:\n" << exported;
    }
    // Text that a quoted string would not give back goes as hex.
    EXPECT_NE(exported.find("\"Multi-line text\"=hex(1):"), std::string::npos);
    EXPECT_NE(exported.find("\"Lone surrogate\"=hex(1):"), std::string::npos);
    EXPECT_NE(exported.find(",\\\n  "), std::string::npos) << "long hex lists are wrapped";
    for (size_t start = 0, end; (end = exported.find('\n', start)) != std::string::npos; start = end + 1) {
        EXPECT_LE(end - start, 80u) << exported.substr(start, end - start);
    }

    DeleteLumora();
    std::string error;
    ASSERT_TRUE(Import(exported, &error)) << error;
    EXPECT_EQ(Export(kLumora, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora Tech"), exported);
    HANDLE key;
    ASSERT_EQ(OpenKey(u"\\Registry\\Machine\\Software\\Lumora Tech\\Web Cameras", &key, KEY_READ), STATUS_SUCCESS);
    ULONG type;
    std::vector<uint8_t> data;
    ASSERT_EQ(GetValue(key, u"Multi", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(type, static_cast<ULONG>(REG_MULTI_SZ));
    EXPECT_EQ(data, WideBytes(std::u16string(u"K0340Aud\0Second", 15), 2));
    ZwClose(key);
}

TEST_F(RegFileTest, ImportReadsUtf16AndUtf8WithByteOrderMarksAndCrLf) {
    Populate();
    std::string exported = Export(kLumora, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora Tech");
    std::u16string wide = qk::ToUtf16(exported);
    std::string crlf;
    for (char c : exported) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string utf16 = "\xFF\xFE";
    for (char16_t c : qk::ToUtf16(crlf)) {
        utf16 += static_cast<char>(c & 0xFF);
        utf16 += static_cast<char>(c >> 8);
    }
    ASSERT_EQ(wide.size() * 2 + 2 + (crlf.size() - exported.size()) * 2, utf16.size());
    for (const std::string& form : {utf16, "\xEF\xBB\xBF" + crlf}) {
        DeleteLumora();
        std::string error;
        ASSERT_TRUE(Import(form, &error)) << error;
        EXPECT_EQ(Export(kLumora, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora Tech"), exported);
    }
}

TEST_F(RegFileTest, DeletionsCommentsContinuationsAndShortRootNames) {
    Populate();
    std::string error;
    ASSERT_TRUE(Import("\n"
                       "Windows Registry Editor Version 5.00\n"
                       "; a comment\n"
                       "[HKLM\\SOFTWARE\\Lumora Tech\\Web Cameras]\n"
                       "\"Dword\"=-\n"
                       "\"Never there\"=-\n"
                       "  \"Joined\" = hex:01,02,\\\n"
                       "    03,04,\\\n"
                       "\t05\n"
                       "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora Tech\\Empty key]\n"
                       "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Never there]\n"
                       "[HKEY_CURRENT_USER\\Software\\Lumora Tech]\n"
                       "\"AlwaysOnTop\"=dword:1\n",
                       &error))
        << error;
    HANDLE key;
    ASSERT_EQ(OpenKey(u"\\Registry\\Machine\\Software\\Lumora Tech\\Web Cameras", &key, KEY_READ), STATUS_SUCCESS);
    ULONG type;
    std::vector<uint8_t> data;
    EXPECT_EQ(GetValue(key, u"Dword", &type, &data), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(GetValue(key, u"Joined", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, Bytes({1, 2, 3, 4, 5}));
    ZwClose(key);
    EXPECT_EQ(OpenKey(u"\\Registry\\Machine\\Software\\Lumora Tech\\Empty key", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    std::u16string user = std::u16string(u"\\Registry\\User\\") + qk::registry::kMachineUserSid + u"\\Software\\Lumora Tech";
    ASSERT_EQ(OpenKey(user, &key, KEY_READ), STATUS_SUCCESS);
    ASSERT_EQ(GetValue(key, u"AlwaysOnTop", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, Bytes({1, 0, 0, 0}));
    ZwClose(key);
}

TEST_F(RegFileTest, AMalformedFileChangesNothingAndNamesItsLine) {
    Populate();
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    // Each file first makes valid changes, so an import that applied part of
    // the file would show in the export.
    const std::string valid = header +
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora Tech\\Fresh]\n"  // line 3
                              "\"Made\"=dword:00000001\n"                            // line 4
                              "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora Tech\\Web Cameras]\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora Tech]\n"  // line 6
                              "\"Plain\"=-\n";                                 // line 7
    struct Case {
        const char* what;
        std::string text;
        size_t line;  // 0: the message names no line
    } cases[] = {
        {"empty file", "", 0},
        {"blank file", "\n\n  \n", 0},
        {"wrong header", "Windows Registry Editor Version 4.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n", 1},
        {"REGEDIT4", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n", 1},
        {"value before a key", header + "\"A\"=dword:1\n", 3},
        {"unknown root", valid + "[HKEY_NOWHERE\\X]\n", 8},
        {"unclosed section", valid + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\n", 8},
        {"empty level", valid + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\X]\n", 8},
        {"control character in a key", valid + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\a\x01]\n", 8},
        {"too many dword digits", valid + "\"A\"=dword:123456789\n", 8},
        {"dword not hex", valid + "\"A\"=dword:12g4\n", 8},
        {"empty dword", valid + "\"A\"=dword:\n", 8},
        {"bad byte", valid + "\"A\"=hex:01,2g,03\n", 8},
        {"three-digit byte", valid + "\"A\"=hex:01,203\n", 8},
        {"double comma", valid + "\"A\"=hex:01,,03\n", 8},
        {"bad type", valid + "\"A\"=hex(zz):01\n", 8},
        {"unclosed type", valid + "\"A\"=hex(7:01\n", 8},
        {"no colon", valid + "\"A\"=hex 01\n", 8},
        {"unclosed string", valid + "\"A\"=\"abc\n", 8},
        {"unclosed name", valid + "\"A=\"abc\"\n", 8},
        {"unknown escape", valid + "\"A\"=\"a\\qb\"\n", 8},
        {"text after a string", valid + "\"A\"=\"abc\" x\n", 8},
        {"no equals", valid + "\"A\" dword:1\n", 8},
        {"unknown format", valid + "\"A\"=word:1\n", 8},
        {"stray line", valid + "A=1\n", 8},
        {"continuation at the end", valid + "\"A\"=hex:01,\\\n", 8},
        {"bad byte on a continued line", valid + "\"A\"=hex:01,\\\n  02,xx\n", 9},
        {"value under a deletion", valid + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Y]\n\"A\"=dword:1\n", 9},
        {"invalid UTF-8", valid + "\"A\"=\"\xC3\x28\"\n", 8},
        {"overlong UTF-8", valid + "\"A\"=\"\xC0\xAF\"\n", 8},
        {"UTF-8 surrogate", valid + "\"A\"=\"\xED\xA0\x80\"\n", 8},
        {"truncated UTF-8", valid + "\"A\"=\"\xE2\x82", 8},
        {"NUL character", valid + std::string("\"A\"=\"a\0b\"\n", 10), 8},
        {"odd UTF-16", "\xFF\xFEW\x00i\x00n", 0},
        {"big-endian UTF-16", "\xFE\xFF\x00W", 0},
        {"a key below HKEY_LOCAL_MACHINE", valid + "[HKEY_LOCAL_MACHINE\\Stray]\n", 8},
        {"deleting a hive", valid + "[-HKEY_LOCAL_MACHINE\\SOFTWARE]\n", 8},
        {"a value in HKEY_LOCAL_MACHINE", valid + "[HKEY_LOCAL_MACHINE]\n\"A\"=dword:1\n", 9},
    };
    const std::string before = ExportMachine();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        EXPECT_FALSE(Import(c.text, &error));
        if (c.line == 0) {
            EXPECT_EQ(error.find("line "), std::string::npos) << error;
        } else {
            EXPECT_EQ(error.rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << error;
        }
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(ExportMachine(), before) << "a failed import changed the registry";
    }
    // The valid part alone goes through.
    std::string error;
    ASSERT_TRUE(Import(valid, &error)) << error;
    EXPECT_NE(ExportMachine(), before);
}

TEST_F(RegFileTest, ExportOfAMissingKeyIsAnError) {
    std::string text, error;
    EXPECT_FALSE(qk::registry::ExportRegFile({u"MACHINE", u"SOFTWARE", u"Nothing"},
                                            u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Nothing", &text, &error));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
}

}  // namespace
