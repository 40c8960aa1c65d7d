// Programs started as processes: found in the system folder, the Windows
// folder or where their file lies, given their command line and show
// command, waited on with their exit code; the shell opening programs,
// documents by their extension's association and addresses by their scheme;
// whatever is missing or cannot run refused with the platform's codes.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "platform/nt/testing/machine_test.h"
#include "platform/win32/programs.h"
#include "processthreadsapi.h"
#include "shellapi.h"
#include "synchapi.h"
#include "windows.h"
#include "winuser.h"

namespace {

std::mutex g_seenLock;
std::string g_seenArguments;
int g_seenShow = -1;
HANDLE g_release = nullptr;

int Tool(const char* arguments, int show) {
    {
        std::lock_guard guard(g_seenLock);
        g_seenArguments = arguments;
        g_seenShow = show;
    }
    if (g_release) WaitForSingleObject(g_release, INFINITE);
    return 7;
}

class ProcessTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        qk::win32::RegisterProgram(u"tool.exe", Tool, qk::win32::ProgramPlace::Installed);
        qk::win32::RegisterProgram(u"Viewer.EXE", Tool, qk::win32::ProgramPlace::Installed);
        qk::win32::RegisterProgram(u"sysprog.exe", Tool, qk::win32::ProgramPlace::System);
        Put("Program Files/Test/tool.exe");
        Put("Windows/viewer.exe");
        Put("Windows/System32/notes.txt");
        Put("Program Files/Test/stranger.exe");
        g_release = nullptr;
        g_seenArguments.clear();
    }
    void Put(const char* path) {
        std::filesystem::create_directories((Root() / path).parent_path());
        std::ofstream(Root() / path) << "program";
    }
    static std::string Seen() {
        std::lock_guard guard(g_seenLock);
        return g_seenArguments;
    }
    static DWORD Finish(PROCESS_INFORMATION& pi) {
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, 5000), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        return code;
    }
};

TEST_F(ProcessTest, StartsAProgramWithItsCommandLineAndReportsItsExitCode) {
    g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char line[] = "\"C:\\Program Files\\Test\\tool.exe\"  -x \"two words\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWMINIMIZED;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) << GetLastError();
    EXPECT_NE(pi.dwProcessId, 0u);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE)) << "running until released";
    SetEvent(g_release);
    EXPECT_EQ(Finish(pi), 7u);
    EXPECT_EQ(Seen(), "-x \"two words\"");
    EXPECT_EQ(g_seenShow, SW_SHOWMINIMIZED);
    CloseHandle(g_release);
    g_release = nullptr;

    // A bare name: the system folder first, then the Windows folder; ".exe"
    // added; the system's own programs need no file.
    for (const char* bare : {"viewer", "sysprog.exe"}) {
        SCOPED_TRACE(bare);
        std::string command = std::string(bare) + " a";
        ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi))
            << GetLastError();
        EXPECT_EQ(Finish(pi), 7u);
        EXPECT_EQ(Seen(), "a");
        EXPECT_EQ(g_seenShow, SW_SHOWDEFAULT);
    }
    // Unquoted, the name with a space is found stretch by stretch.
    char unquoted[] = "C:\\Program Files\\Test\\tool.exe -q now";
    ASSERT_TRUE(CreateProcessA(nullptr, unquoted, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi)) << GetLastError();
    EXPECT_EQ(Finish(pi), 7u);
    EXPECT_EQ(Seen(), "-q now");
    ASSERT_TRUE(CreateProcessA("C:\\Program Files\\Test\\tool.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               nullptr, &pi));
    EXPECT_EQ(Finish(pi), 7u);
    EXPECT_EQ(Seen(), "");
}

TEST_F(ProcessTest, RunsAProgramFileBuiltForTheMachine) {
    std::filesystem::copy_file(QK_TEST_PROGRAM, Root() / "Windows/System32/TestProgram.exe");
    char line[] = "TestProgram abc";
    STARTUPINFOA si{};
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) << GetLastError();
    EXPECT_EQ(Finish(pi), 1000u + 3 * 10 + SW_SHOWNORMAL);
    EXPECT_EQ(reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, nullptr, "TestProgram.exe", nullptr, nullptr, SW_SHOW)), 42);
}

TEST_F(ProcessTest, RefusesWhatIsMissingOrCannotRun) {
    PROCESS_INFORMATION pi{};
    struct Case {
        const char* line;
        DWORD flags;
        DWORD error;
    } cases[] = {
        {"C:\\Program Files\\Test\\missing.exe", 0, ERROR_FILE_NOT_FOUND},
        {"tool.exe", 0, ERROR_FILE_NOT_FOUND},  // not in the system or Windows folder
        {"C:\\Program Files\\Test\\stranger.exe", 0, ERROR_BAD_EXE_FORMAT},
        {"C:\\Program Files\\Test\\tool.exe", CREATE_SUSPENDED, ERROR_INVALID_PARAMETER},
        {"   ", 0, ERROR_FILE_NOT_FOUND},
        {"\"C:\\Program Files\\Test\\tool.exe", 0, ERROR_SUCCESS},  // an unclosed quote runs to the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string line = c.line;
        const BOOL ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, c.flags, nullptr, nullptr, nullptr, &pi);
        if (c.error == ERROR_SUCCESS) {
            ASSERT_TRUE(ok);
            Finish(pi);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
    EXPECT_FALSE(CreateProcessA(nullptr, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi));
    DWORD code;
    EXPECT_FALSE(GetExitCodeProcess(reinterpret_cast<HANDLE>(0x7777), &code));
}

TEST_F(ProcessTest, TheShellOpensProgramsDocumentsAndAddresses) {
    auto classes = [](const char* key, const char* text) {
        HKEY k;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, key, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr), ERROR_SUCCESS);
        RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(strlen(text) + 1));
        RegCloseKey(k);
    };
    classes(".txt", "txtfile");
    classes("txtfile\\shell\\open\\command", "viewer.exe /open \"%1\"");

    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = "C:\\Program Files\\Test\\tool.exe";
    info.lpParameters = "--start";
    info.nShow = SW_SHOWNORMAL;
    ASSERT_TRUE(ShellExecuteExA(&info)) << GetLastError();
    ASSERT_NE(info.hProcess, nullptr);
    EXPECT_GT(reinterpret_cast<INT_PTR>(info.hInstApp), 32);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 5000), WAIT_OBJECT_0);
    CloseHandle(info.hProcess);
    EXPECT_EQ(Seen(), "--start");
    EXPECT_EQ(g_seenShow, SW_SHOWNORMAL);

    info.lpFile = "C:\\Windows\\System32\\notes.txt";
    info.lpParameters = nullptr;
    ASSERT_TRUE(ShellExecuteExA(&info)) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 5000), WAIT_OBJECT_0);
    CloseHandle(info.hProcess);
    EXPECT_EQ(Seen(), "/open \"C:\\Windows\\System32\\notes.txt\"") << "the association's command";

    struct Refusal {
        const char* file;
        INT_PTR result;
        DWORD error;
    } refusals[] = {
        {"https://example.invalid/", SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},  // no browser on the machine
        {"C:\\Windows\\System32\\missing.txt", SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
        {"C:\\Windows\\System32\\notes.xyz", SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},
        {"C:\\Program Files\\Test\\missing.exe", SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
        {"C:\\Program Files\\Test\\stranger.exe", SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},
        {"", SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.file);
        EXPECT_EQ(reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", r.file, nullptr, nullptr, SW_SHOW)), r.result);
        EXPECT_EQ(GetLastError(), r.error);
    }
    SHELLEXECUTEINFOA wrongSize{};
    wrongSize.cbSize = 12;
    EXPECT_FALSE(ShellExecuteExA(&wrongSize));
    EXPECT_FALSE(ShellExecuteExA(nullptr));
}

}  // namespace
