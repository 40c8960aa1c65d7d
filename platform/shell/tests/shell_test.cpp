// The shell on the machine: special folders found and made, and shell
// links written through IShellLinkA and IPersistFile, read back through a
// new link object and through an independent reader of the format
// (lnkinfo, where installed); hostile link files refused.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "platform/nt/testing/machine_test.h"
#include "platform/shell/link_file.h"
#include "platform/shell/shell.h"
#include "shlobj.h"

namespace {

using qk::shell::LinkData;

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

class ShellTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(qk::shell::InstallShellServer(), S_OK);
    }
    void TearDown() override {
        CoUninitialize();
        MachineTest::TearDown();
    }
    std::filesystem::path Host(const std::u16string& path) {
        std::filesystem::path p = Root();
        size_t at = 3;
        while (at < path.size()) {
            size_t next = path.find(u'\\', at);
            if (next == std::u16string::npos) next = path.size();
            p /= Narrow(path.substr(at, next - at));
            at = next + 1;
        }
        return p;
    }
    // The console's Start-menu shortcut, as its registration makes it.
    std::u16string WriteConsoleShortcut() {
        char16_t programs[MAX_PATH];
        EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, programs), S_OK);
        const std::u16string folder = std::u16string(programs) + u"\\Lumora";
        EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        const std::u16string file = folder + u"\\Camera Console.lnk";
        IShellLinkA* link = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, reinterpret_cast<void**>(&link)),
                  S_OK);
        if (!link) return file;
        EXPECT_EQ(link->SetPath("C:\\Windows\\System32\\rundll32.exe"), S_OK);
        EXPECT_EQ(link->SetWorkingDirectory("C:\\Windows\\System32"), S_OK);
        EXPECT_EQ(link->SetArguments("K0340Cvw.dll,luCVWConsoleRunDLL32EP"), S_OK);
        EXPECT_EQ(link->SetIconLocation("C:\\Windows\\System32\\K0340Cvw.crl", 4), S_OK);
        EXPECT_EQ(link->SetDescription("Camera Console"), S_OK);
        IPersistFile* persist = nullptr;
        EXPECT_EQ(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)), S_OK);
        EXPECT_EQ(persist->IsDirty(), S_OK);
        EXPECT_EQ(persist->Save(file.c_str(), TRUE), S_OK);
        EXPECT_EQ(persist->IsDirty(), S_FALSE);
        persist->Release();
        link->Release();
        return file;
    }
};

TEST_F(ShellTest, SpecialFoldersAreFoundAndMadeOnTheMachinesDrive) {
    char16_t path[MAX_PATH];
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, path), S_FALSE) << "not made yet";
    char ansi[MAX_PATH];
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, ansi), E_FAIL);
    EXPECT_FALSE(SHGetSpecialFolderPathA(nullptr, ansi, CSIDL_PROGRAMS, FALSE));

    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
    EXPECT_EQ(std::u16string(path), u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs");
    EXPECT_TRUE(std::filesystem::is_directory(Host(path)));
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, ansi), S_OK);
    EXPECT_STREQ(ansi, "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs");

    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, ansi, CSIDL_PROGRAMS, TRUE));
    EXPECT_STREQ(ansi, "C:\\Users\\User\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs");
    EXPECT_TRUE(std::filesystem::is_directory(Host(u"C:\\Users\\User\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs")));
    std::filesystem::create_directories(Root() / "Windows" / "System32");
    EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_SYSTEMX86, FALSE));
    EXPECT_EQ(std::u16string(path), u"C:\\Windows\\System32") << "native processes: the 32-bit system folder is the system folder";

    EXPECT_EQ(SHGetFolderPathW(nullptr, 0x7F, nullptr, SHGFP_TYPE_CURRENT, path), E_INVALIDARG) << "a folder the machine does not know";
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, reinterpret_cast<HANDLE>(1), SHGFP_TYPE_CURRENT, path), E_INVALIDARG)
        << "another user's folders";

    // Folders one at a time, as the registration makes its own.
    EXPECT_FALSE(CreateDirectoryW(u"C:\\ProgramData", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(u"C:\\programdata\\Missing\\Lumora", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(CreateDirectoryA("c:\\PROGRAMDATA\\Lumora", nullptr)) << "parts match without case";
    EXPECT_TRUE(std::filesystem::is_directory(Root() / "ProgramData" / "Lumora"));
    EXPECT_EQ(GetFileAttributesW(u"C:\\ProgramData\\lumora"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY_W));
    EXPECT_FALSE(CreateDirectoryW(u"C:\\ProgramData\\..\\..\\escape", nullptr)) << "never above the drive";
    EXPECT_FALSE(CreateDirectoryW(u"D:\\Other", nullptr));
    EXPECT_EQ(GetFileAttributesW(u"C:\\ProgramData\\Nothing"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ShellTest, ALinkIsSavedAndLoadedWithEveryField) {
    const std::u16string file = WriteConsoleShortcut();
    ASSERT_TRUE(std::filesystem::is_regular_file(Host(file)));

    IShellLinkW* link = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void**>(&link)),
              S_OK);
    IPersistFile* persist = nullptr;
    ASSERT_EQ(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)), S_OK);
    ASSERT_EQ(persist->Load(file.c_str(), 0), S_OK);
    char16_t text[MAX_PATH];
    WIN32_FIND_DATAW found;
    EXPECT_EQ(link->GetPath(text, MAX_PATH, &found, 0), S_OK);
    EXPECT_EQ(std::u16string(text), u"C:\\Windows\\System32\\rundll32.exe");
    EXPECT_EQ(std::u16string(found.cFileName), u"rundll32.exe");
    EXPECT_EQ(link->GetArguments(text, MAX_PATH), S_OK);
    EXPECT_EQ(std::u16string(text), u"K0340Cvw.dll,luCVWConsoleRunDLL32EP");
    EXPECT_EQ(link->GetWorkingDirectory(text, MAX_PATH), S_OK);
    EXPECT_EQ(std::u16string(text), u"C:\\Windows\\System32");
    EXPECT_EQ(link->GetDescription(text, MAX_PATH), S_OK);
    EXPECT_EQ(std::u16string(text), u"Camera Console");
    int icon = -1;
    EXPECT_EQ(link->GetIconLocation(text, MAX_PATH, &icon), S_OK);
    EXPECT_EQ(std::u16string(text), u"C:\\Windows\\System32\\K0340Cvw.crl");
    EXPECT_EQ(icon, 4);
    EXPECT_EQ(link->GetArguments(text, 4), S_OK);
    EXPECT_EQ(std::u16string(text), u"K03") << "cut to the buffer";
    LPOLESTR current = nullptr;
    EXPECT_EQ(persist->GetCurFile(&current), S_OK);
    EXPECT_EQ(std::u16string(current), file);
    CoTaskMemFree(current);
    CLSID id{};
    EXPECT_EQ(persist->GetClassID(&id), S_OK);
    EXPECT_TRUE(id == CLSID_ShellLink);

    // Saved again under its own name after a change.
    EXPECT_EQ(link->SetArguments(u"K0340Cvw.dll,luCVWConsoleRunDLL32EP /i:3"), S_OK);
    EXPECT_EQ(persist->Save(nullptr, FALSE), S_OK);
    std::ifstream in(Host(file), std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    LinkData read;
    std::string error;
    ASSERT_TRUE(qk::shell::ReadLink(bytes.data(), bytes.size(), &read, &error)) << error;
    EXPECT_EQ(read.arguments, u"K0340Cvw.dll,luCVWConsoleRunDLL32EP /i:3");

    // What is not a link is refused and changes nothing.
    std::ofstream(Host(u"C:\\ProgramData\\Not a link.lnk")) << "plain text";
    EXPECT_EQ(persist->Load(u"C:\\ProgramData\\Not a link.lnk", 0), HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
    EXPECT_TRUE(FAILED(persist->Load(u"C:\\ProgramData\\Missing.lnk", 0)));
    EXPECT_EQ(link->GetDescription(text, MAX_PATH), S_OK);
    EXPECT_EQ(std::u16string(text), u"Camera Console");
    EXPECT_TRUE(FAILED(persist->Save(u"C:\\No such folder\\x.lnk", TRUE)));
    EXPECT_EQ(link->SetPath(std::u16string(300, u'x').c_str()), E_INVALIDARG) << "longer than a path";
    persist->Release();
    link->Release();
}

// The written file read by lnkinfo (liblnk-utils), an independent reader of the format.
TEST_F(ShellTest, AnIndependentReaderFindsEveryFieldOfTheWrittenLink) {
    if (std::system("command -v lnkinfo >/dev/null 2>&1") != 0) GTEST_SKIP() << "lnkinfo (liblnk-utils) is not installed";
    const std::u16string file = WriteConsoleShortcut();
    const std::string command = "lnkinfo '" + Host(file).string() + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_NE(pipe, nullptr);
    std::string output;
    std::array<char, 512> chunk;
    while (fgets(chunk.data(), static_cast<int>(chunk.size()), pipe.get())) output += chunk.data();
    SCOPED_TRACE(output);
    for (const char* wanted : {"Local path", "C:\\Windows\\System32\\rundll32.exe", "Description", ": Camera Console",
                               "Working directory", ": C:\\Windows\\System32", "Command line arguments",
                               ": K0340Cvw.dll,luCVWConsoleRunDLL32EP", "Icon location",
                               ": C:\\Windows\\System32\\K0340Cvw.crl", "Drive type", "Fixed"}) {
        EXPECT_NE(output.find(wanted), std::string::npos) << "lnkinfo does not show " << wanted;
    }
    EXPECT_EQ(output.find("Unable"), std::string::npos);
    EXPECT_EQ(output.find("rror"), std::string::npos);
}

TEST(LinkFile, PathsBeyondAsciiTravelInTheirUnicodeForm) {
    LinkData link;
    link.path = u"C:\\Programme\\Kamera\u00FCbersicht\\\u30AB\u30E1\u30E9.exe";
    link.description = u"\u00C9cran";
    link.showCommand = 7;
    link.hotkey = 0x0643;
    const std::vector<uint8_t> bytes = qk::shell::WriteLink(link);
    LinkData read;
    std::string error;
    ASSERT_TRUE(qk::shell::ReadLink(bytes.data(), bytes.size(), &read, &error)) << error;
    EXPECT_EQ(read.path, link.path);
    EXPECT_EQ(read.description, link.description);
    EXPECT_EQ(read.showCommand, 7);
    EXPECT_EQ(read.hotkey, 0x0643);
    EXPECT_TRUE(read.arguments.empty());
}

// Links other writers make: an item identifier list before the link
// information, ANSI strings, a share instead of a local path.
TEST(LinkFile, LinksWithIdentifierListsSharesAndAnsiStringsAreRead) {
    LinkData plain;
    plain.path = u"C:\\x";
    std::vector<uint8_t> bytes = qk::shell::WriteLink(plain);
    // Header flags: an identifier list (5 bytes of items), link information, an
    // ANSI description; the link information replaced by one of a share.
    std::vector<uint8_t> link(bytes.begin(), bytes.begin() + 0x4C);
    link[20] = 0x1 | 0x2 | 0x4;
    link[21] = link[22] = link[23] = 0;
    const uint8_t items[] = {5, 0, 3, 0, 0xAA, 0xBB, 0xCC};  // size 5: one item of 3 bytes, then the end mark
    link.insert(link.end(), items, items + sizeof items);
    std::vector<uint8_t> info(0x1C, 0);
    auto set32 = [](std::vector<uint8_t>& v, size_t at, uint32_t x) {
        for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
    };
    set32(info, 4, 0x1C);
    set32(info, 8, 0x2);  // a share and a suffix
    set32(info, 20, 0x1C);
    std::vector<uint8_t> network(0x14, 0);
    const char share[] = "\\\\SERVER\\Tools";
    set32(network, 8, 0x14);
    network.insert(network.end(), share, share + sizeof share);
    set32(network, 0, static_cast<uint32_t>(network.size()));
    info.insert(info.end(), network.begin(), network.end());
    set32(info, 24, static_cast<uint32_t>(info.size()));
    const char suffix[] = "cam.exe";
    info.insert(info.end(), suffix, suffix + sizeof suffix);
    set32(info, 0, static_cast<uint32_t>(info.size()));
    link.insert(link.end(), info.begin(), info.end());
    const char description[] = "Tools";
    link.push_back(5);
    link.push_back(0);
    link.insert(link.end(), description, description + 5);
    link.insert(link.end(), {0, 0, 0, 0});
    LinkData read;
    std::string error;
    ASSERT_TRUE(qk::shell::ReadLink(link.data(), link.size(), &read, &error)) << error;
    EXPECT_EQ(read.path, u"\\\\SERVER\\Tools\\cam.exe");
    EXPECT_EQ(read.description, u"Tools");

    // Every shorter prefix is refused or read within its bytes (the sanitizers
    // check the reading); a wrong class is no link.
    for (size_t n = 0; n < link.size(); ++n) {
        const std::vector<uint8_t> prefix(link.begin(), link.begin() + static_cast<long>(n));
        LinkData partial;
        partial.description = u"untouched";
        if (!qk::shell::ReadLink(prefix.data(), prefix.size(), &partial, &error)) {
            EXPECT_FALSE(error.empty());
            EXPECT_EQ(partial.description, u"untouched") << "a refused link changes nothing";
        }
    }
    link[4] ^= 0xFF;
    EXPECT_FALSE(qk::shell::ReadLink(link.data(), link.size(), &read, &error));
    EXPECT_NE(error.find("not a shell link"), std::string::npos);
}

}  // namespace
