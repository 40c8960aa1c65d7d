// The host interface as a camera manager drives it: the command table, the
// instance's life from create to destroy with the integrated-console mutex,
// the window command, the standalone start through the shell, and hostile
// instances and parameter blocks (invented, destroyed, unreadable,
// read-only), each refused with its code and without a crash.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "console/tests/console_fixture.h"
#include "platform/win32/programs.h"

namespace {

using namespace k0340cvw;
using k0340cvw::testing::ConsoleTest;
using k0340cvw::testing::Log;

// A block of `bytes` prefilled with a sentinel.
std::vector<uint8_t> Block(size_t bytes) { return std::vector<uint8_t>(bytes, 0xA5); }
uint32_t Word(const std::vector<uint8_t>& b, size_t at) {
    uint32_t w;
    std::memcpy(&w, b.data() + at, 4);
    return w;
}

class HostInterfaceTest : public ConsoleTest {
protected:
    void TearDown() override {
        for (void* instance : live_) Call(instance, CVW_CMD_DESTROY, 4);
        live_.clear();
        ConsoleTest::TearDown();
    }
    DWORD Call(void* instance, uint32_t code, size_t bytes, std::vector<uint8_t>* out = nullptr) {
        std::vector<uint8_t> block = Block(bytes);
        DWORD result = luCVWEntryPoint(instance, code, block.data());
        EXPECT_EQ(Word(block, 0), result) << "the result goes into the block's first word";
        if (out) *out = block;
        return result;
    }
    // Creates an instance for `description`; null with the code in *result.
    void* Create(const std::string& description, DWORD* result = nullptr) {
        std::vector<uint8_t> block(kCreateBlockBytes, 0);
        std::memcpy(block.data() + 4, description.data(), std::min<size_t>(description.size(), 256));
        DWORD r = luCVWEntryPoint(nullptr, CVW_CMD_CREATE, block.data());
        if (result) *result = r;
        if (r != CVW_OK) return nullptr;
        void* instance = nullptr;
        std::memcpy(&instance, block.data() + 260, sizeof instance);
        live_.push_back(instance);
        return instance;
    }
    void Forget(void* instance) { live_.erase(std::remove(live_.begin(), live_.end(), instance), live_.end()); }
    static bool MutexExists() {
        HANDLE m = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kIntegratedMutexName);
        if (m) CloseHandle(m);
        return m != nullptr;
    }

    std::vector<void*> live_;
};

TEST_F(HostInterfaceTest, VersionInfoAndUnknownCodes) {
    std::vector<uint8_t> block;
    EXPECT_EQ(Call(nullptr, CVW_CMD_GET_VERSION, 8, &block), CVW_OK);
    EXPECT_EQ(Word(block, 4), 0x0102u);

    EXPECT_EQ(Call(nullptr, CVW_CMD_GET_INFO, kInfoBlockBytes, &block), CVW_OK);
    EXPECT_EQ(Word(block, 4), 1u);
    EXPECT_EQ(Word(block, 8), 2u);
    for (size_t i = 12; i < kInfoBlockBytes; ++i) ASSERT_EQ(block[i], 0) << "byte " << i << " not zeroed";

    for (uint32_t code : {0u, 0x1400u, 0x140Au, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(Call(nullptr, code, 8), CVW_E_NOT_SUPPORTED);
    }
    EXPECT_EQ(luCVWEntryPoint(nullptr, CVW_CMD_GET_VERSION, nullptr), CVW_E_INVALID_PARAMETER);
}

TEST_F(HostInterfaceTest, WithoutACameraNoInstanceIsMade) {
    DWORD result = 0;
    EXPECT_EQ(Create("QK0340 Camera", &result), nullptr);
    EXPECT_EQ(result, CVW_E_NO_DEVICE);
    EXPECT_FALSE(MutexExists());
}

TEST_F(HostInterfaceTest, AnInstanceLivesFromCreateToDestroyAndHoldsTheMutex) {
    PlugAndWait();
    // A description that fills its whole field without a NUL: 127 characters kept.
    void* instance = Create(std::string(256, 'Q'));
    ASSERT_NE(instance, nullptr);
    auto* view = static_cast<IntegratedInstance*>(instance);
    EXPECT_EQ(view->signature, kInstanceSignature);
    EXPECT_EQ(std::string(view->deviceName), std::string(127, 'Q'));
    EXPECT_EQ(view->state.deviceCount, 1);
    EXPECT_TRUE(MutexExists());

    // The reserved codes are validated, and answer "not supported".
    EXPECT_EQ(Call(instance, 0x1405, 136), CVW_E_NOT_SUPPORTED);
    EXPECT_EQ(Call(instance, 0x1406, 136), CVW_E_NOT_SUPPORTED);
    EXPECT_EQ(Call(instance, 0x1407, 8), CVW_E_NOT_SUPPORTED);

    EXPECT_EQ(Call(instance, CVW_CMD_DESTROY, 4), CVW_OK);
    Forget(instance);
    EXPECT_FALSE(MutexExists());
    // A destroyed instance is refused, as is one never handed out.
    EXPECT_EQ(Call(instance, CVW_CMD_DESTROY, 4), CVW_E_INVALID_PARAMETER);
    IntegratedInstance forged{};
    forged.signature = kInstanceSignature;
    EXPECT_EQ(Call(&forged, CVW_CMD_OPEN_WINDOW, kOpenWindowBlockBytes), CVW_E_INVALID_PARAMETER);
    EXPECT_EQ(Call(nullptr, CVW_CMD_LAUNCH_STANDALONE, 4), CVW_E_INVALID_PARAMETER);
}

TEST_F(HostInterfaceTest, TheWindowOpensOncePerInstanceAndGoesWithIt) {
    PlugAndWait();
    void* instance = Create("QK0340 Camera");
    ASSERT_NE(instance, nullptr);

    std::vector<uint8_t> block(kOpenWindowBlockBytes, 0);
    uint32_t size = kOpenWindowBlockBytes - 1;
    std::memcpy(block.data() + 4, &size, 4);
    EXPECT_EQ(luCVWEntryPoint(instance, CVW_CMD_OPEN_WINDOW, block.data()), CVW_E_INVALID_PARAMETER);

    size = kOpenWindowBlockBytes;
    std::memcpy(block.data() + 4, &size, 4);
    ASSERT_EQ(luCVWEntryPoint(instance, CVW_CMD_OPEN_WINDOW, block.data()), CVW_OK);
    HWND window = nullptr;
    std::memcpy(&window, block.data() + 8, sizeof window);
    EXPECT_NE(window, nullptr);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(Log().currentDevice, "QK0340 Camera");
    auto* view = static_cast<IntegratedInstance*>(instance);
    EXPECT_NE(view->state.resourceLibrary, nullptr) << "the resource library stays with the window";
    EXPECT_EQ(view->state.windowHandle, window);

    EXPECT_EQ(luCVWEntryPoint(instance, CVW_CMD_OPEN_WINDOW, block.data()), CVW_E_ALREADY_OPEN);
    EXPECT_EQ(Log().modelessWindows, 1);

    EXPECT_EQ(Call(instance, CVW_CMD_DESTROY, 4), CVW_OK);
    Forget(instance);
    EXPECT_EQ(Log().destroyed, 1);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(HostInterfaceTest, WithoutTheResourceLibraryNoWindowIsMadeAndNoneIsKept) {
    PlugAndWait();
    k0340cvw::testing::UseStandInWindow(false);
    std::filesystem::remove(root_ / "Windows/System32/K0340Cvw.crl");
    void* instance = Create("QK0340 Camera");
    ASSERT_NE(instance, nullptr);
    std::vector<uint8_t> block(kOpenWindowBlockBytes, 0);
    uint32_t size = kOpenWindowBlockBytes;
    std::memcpy(block.data() + 4, &size, 4);
    EXPECT_EQ(luCVWEntryPoint(instance, CVW_CMD_OPEN_WINDOW, block.data()), CVW_E_NOT_SUPPORTED);
    EXPECT_EQ(static_cast<IntegratedInstance*>(instance)->state.resourceLibrary, nullptr);
}

// The program runs on its own thread: what it was given is read under a lock.
std::mutex g_launchLock;
std::string g_launched;
int RecordLaunch(const char* arguments, int) {
    std::lock_guard guard(g_launchLock);
    g_launched = arguments;
    return 0;
}
std::string Launched() {
    std::lock_guard guard(g_launchLock);
    return g_launched;
}

TEST_F(HostInterfaceTest, TheStandaloneConsoleStartsThroughTheShellOnTheHostsCamera) {
    PlugAndWait();
    void* instance = Create("qk0340 camera");
    ASSERT_NE(instance, nullptr);
    qk::win32::RegisterProgram(u"RunDLL32.exe", RecordLaunch, qk::win32::ProgramPlace::System);
    EXPECT_EQ(Call(instance, CVW_CMD_LAUNCH_STANDALONE, 4), CVW_OK);
    EXPECT_TRUE(Eventually([&] { return !Launched().empty(); }));
    EXPECT_EQ(Launched(), "K0340Cvw.dll,luCVWConsoleRunDLL32EP /stay qk0340 camera");
    qk::win32::RegisterProgram(u"RunDLL32.exe", nullptr, qk::win32::ProgramPlace::System);
}

TEST_F(HostInterfaceTest, UnreadableAndReadOnlyBlocksAreRefused) {
    PlugAndWait();
    const long page = sysconf(_SC_PAGESIZE);
    void* none = mmap(nullptr, page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(none, MAP_FAILED);
    auto* bytes = static_cast<uint8_t*>(none);
    // The second page unreadable: a block that runs into it is refused.
    ASSERT_EQ(mprotect(bytes + page, page, PROT_NONE), 0);
    uint8_t* tail = bytes + page - 8;
    std::memset(tail, 0, 8);
    EXPECT_EQ(luCVWEntryPoint(nullptr, CVW_CMD_GET_INFO, tail), CVW_E_INVALID_PARAMETER);
    uint32_t written;
    std::memcpy(&written, tail, 4);
    EXPECT_EQ(written, CVW_E_INVALID_PARAMETER);
    EXPECT_EQ(luCVWEntryPoint(nullptr, CVW_CMD_GET_VERSION, tail), CVW_OK) << "8 bytes fit before the page";
    EXPECT_EQ(luCVWEntryPoint(nullptr, CVW_CMD_GET_VERSION, bytes + page), CVW_E_INVALID_PARAMETER);

    // Read-only: nothing written, not even the result.
    std::memset(bytes, 0x5A, page);
    ASSERT_EQ(mprotect(bytes, page, PROT_READ), 0);
    EXPECT_EQ(luCVWEntryPoint(nullptr, CVW_CMD_GET_VERSION, bytes), CVW_E_INVALID_PARAMETER);
    EXPECT_EQ(luCVWEntryPoint(nullptr, CVW_CMD_CREATE, bytes), CVW_E_INVALID_PARAMETER);
    EXPECT_EQ(luCVWEntryPoint(nullptr, 0x1400, bytes), CVW_E_NOT_SUPPORTED);
    for (long i = 0; i < page; ++i) ASSERT_EQ(bytes[i], 0x5A);
    EXPECT_FALSE(MutexExists());
    munmap(none, page * 2);
}

}  // namespace
