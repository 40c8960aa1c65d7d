// K0340Vfw.dll as the platform loads it: the module file in the system
// folder, reached through COM activation, LoadLibrary and the multimedia
// runtime's driver list. This program carries no copy of the library, so
// whatever answers is the file; the addresses it hands out are checked to
// lie in that file.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/com/com_runtime.h"
#include "platform/dshow/tests/dshow_fixture.h"
#include "platform/nt/pnp.h"
#include "platform/win32/module_table.h"
#include "vfw.h"

namespace {

DEFINE_GUID(kSampleGrabberClass, 0x6DB09BC4, 0x9E27, 0x4AC1, 0xB2, 0xA9, 0x07, 0x44, 0x2E, 0x08, 0xA1, 0x6C);
DEFINE_GUID(kNullRendererClass, 0x808D801D, 0x701E, 0x4520, 0xBD, 0x42, 0x1E, 0xF2, 0x71, 0xE7, 0x32, 0x33);

// The file an address of this process lies in.
std::filesystem::path FileOf(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
    return std::filesystem::weakly_canonical(info.dli_fname);
}

struct Frames {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<LPVIDEOHDR> done;
};
Frames* g_frames = nullptr;

void Callback(HDRVR, UINT message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR) {
    if (message != MM_DRVM_DATA || g_frames == nullptr) return;
    {
        std::lock_guard guard(g_frames->lock);
        g_frames->done.push_back(reinterpret_cast<LPVIDEOHDR>(p1));
    }
    g_frames->changed.notify_all();
}

class ModuleFileTest : public qk::dshow::testing::DshowTest {
protected:
    void SetUp() override {
        DshowTest::SetUp();
        if (HasFatalFailure()) return;
        installed_ = std::filesystem::weakly_canonical(Root() / "Windows" / "System32" / "K0340Vfw.dll");
        std::error_code ec;
        std::filesystem::copy_file(std::filesystem::path(QK_MODULE_FOLDER) / "K0340Vfw.dll", installed_,
                                   std::filesystem::copy_options::overwrite_existing, ec);
        ASSERT_FALSE(ec) << "cannot install K0340Vfw.dll: " << ec.message();
    }

    std::filesystem::path installed_;
};

TEST_F(ModuleFileTest, ComActivationRunsTheInstalledFileAndUnloadsItWhenUnused) {
    for (const CLSID* clsid : {&kSampleGrabberClass, &kNullRendererClass}) {
        IBaseFilter* filter = nullptr;
        ASSERT_EQ(CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void**>(&filter)),
                  S_OK);
        // The object's class (its table of virtual functions) is the file's.
        EXPECT_EQ(FileOf(*reinterpret_cast<void**>(filter)), installed_);
        CLSID reported{};
        EXPECT_EQ(filter->GetClassID(&reported), S_OK);
        EXPECT_EQ(reported, *clsid);
        // A live object keeps the library loaded.
        CoFreeUnusedLibraries();
        auto servers = qk::com::LoadedServers();
        EXPECT_NE(std::find(servers.begin(), servers.end(), u"K0340VFW.DLL"), servers.end());
        filter->Release();
    }
    CoFreeUnusedLibraries();
    auto servers = qk::com::LoadedServers();
    EXPECT_EQ(std::find(servers.begin(), servers.end(), u"K0340VFW.DLL"), servers.end());
    auto modules = qk::win32::LoadedCodeModules();
    EXPECT_EQ(std::find(modules.begin(), modules.end(), u"K0340Vfw.dll"), modules.end());
}

TEST_F(ModuleFileTest, LoadLibraryFindsTheEntryPointsInTheFile) {
    HMODULE module = LoadLibraryW(u"K0340Vfw.dll");
    ASSERT_NE(module, nullptr);
    for (const char* name : {"DriverProc", "DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer",
                             "DllUnregisterServer"}) {
        SCOPED_TRACE(name);
        FARPROC entry = GetProcAddress(module, name);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(FileOf(reinterpret_cast<void*>(entry)), installed_);
    }
    // Its own symbols are bound inside it, not offered to the program.
    EXPECT_EQ(GetProcAddress(module, "_ZN8k0340vfw11LiveObjectsEv"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModuleFileTest, TheMultimediaRuntimeStreamsThroughTheFile) {
    PlugCamera();
    FilterLink();
    VIDEO_OPEN_PARMS parms{};
    parms.dwSize = sizeof parms;
    parms.dwFlags = VIDEO_IN;
    HDRVR h = OpenDriver(u"msvideo", nullptr, reinterpret_cast<LPARAM>(&parms));
    ASSERT_NE(h, nullptr) << "error " << parms.dwError;
    {
        // The module the runtime opened is the file.
        std::string error;
        qk::win32::CodeModule* module = qk::win32::LoadCodeModule(u"K0340Vfw.dll", &error);
        ASSERT_NE(module, nullptr) << error;
        EXPECT_EQ(FileOf(qk::win32::CodeModuleExport(module, "DriverProc")), installed_);
        qk::win32::ReleaseCodeModule(module);
    }
    BITMAPINFOHEADER header{};
    VIDEOCONFIGPARMS get{nullptr, &header, sizeof header, nullptr, 0};
    ASSERT_EQ(SendDriverMessage(h, DVM_FORMAT, VIDEOCONFIGURE_GET, reinterpret_cast<LPARAM>(&get)), DV_ERR_OK);
    ASSERT_GT(header.biSizeImage, 0u);

    Frames frames;
    g_frames = &frames;
    std::vector<std::vector<uint8_t>> buffers(3, std::vector<uint8_t>(header.biSizeImage, 0));
    std::vector<VIDEOHDR> headers(3);
    VIDEO_STREAM_INIT_PARMS init{};
    init.dwMicroSecPerFrame = 33333;
    init.dwCallback = reinterpret_cast<DWORD_PTR>(Callback);
    init.dwFlags = CALLBACK_FUNCTION;
    init.hVideo = reinterpret_cast<DWORD_PTR>(h);
    auto send = [&](UINT message, const void* p1, size_t p2) {
        return SendDriverMessage(h, message, reinterpret_cast<LPARAM>(p1), static_cast<LPARAM>(p2));
    };
    ASSERT_EQ(send(DVM_STREAM_INIT, &init, sizeof init), DV_ERR_OK);
    for (size_t i = 0; i < headers.size(); ++i) {
        headers[i].lpData = buffers[i].data();
        headers[i].dwBufferLength = header.biSizeImage;
        headers[i].dwFlags = VHDR_PREPARED;
        ASSERT_EQ(send(DVM_STREAM_ADDBUFFER, &headers[i], sizeof(VIDEOHDR)), DV_ERR_OK);
    }
    ASSERT_EQ(send(DVM_STREAM_START, nullptr, 0), DV_ERR_OK);
    {
        std::unique_lock guard(frames.lock);
        EXPECT_TRUE(frames.changed.wait_for(guard, std::chrono::seconds(20), [&] { return frames.done.size() >= 2; }));
        for (LPVIDEOHDR done : frames.done) {
            EXPECT_TRUE(done->dwFlags & VHDR_DONE);
            EXPECT_EQ(done->dwBytesUsed, header.biSizeImage);
            // The pattern is no blank picture.
            EXPECT_NE(std::count(done->lpData, done->lpData + done->dwBytesUsed, 0), static_cast<long>(done->dwBytesUsed));
        }
    }
    EXPECT_EQ(send(DVM_STREAM_STOP, nullptr, 0), DV_ERR_OK);
    EXPECT_EQ(send(DVM_STREAM_RESET, nullptr, 0), DV_ERR_OK);
    EXPECT_EQ(send(DVM_STREAM_FINI, nullptr, 0), DV_ERR_OK);
    EXPECT_EQ(CloseDriver(h, 0, 0), TRUE);
    g_frames = nullptr;
    // The last close unloads the driver.
    auto modules = qk::win32::LoadedCodeModules();
    EXPECT_EQ(std::find(modules.begin(), modules.end(), u"K0340Vfw.dll"), modules.end());
}

TEST_F(ModuleFileTest, WithoutTheFileNothingAnswers) {
    std::filesystem::remove(installed_);
    IBaseFilter* filter = nullptr;
    EXPECT_EQ(CoCreateInstance(kSampleGrabberClass, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&filter)),
              CO_E_DLLNOTFOUND);
    EXPECT_EQ(filter, nullptr);
    EXPECT_EQ(LoadLibraryW(u"K0340Vfw.dll"), nullptr);
    VIDEO_OPEN_PARMS parms{};
    parms.dwSize = sizeof parms;
    parms.dwFlags = VIDEO_IN;
    EXPECT_EQ(OpenDriver(u"msvideo", nullptr, reinterpret_cast<LPARAM>(&parms)), nullptr);
}

}  // namespace
