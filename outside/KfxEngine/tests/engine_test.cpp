// The video effects engine as the console's panel uses it: created through
// COM, opened for a language, categories and effects with their thumbnails,
// a camera's effects switched on and applied once the service is started
// through the shell, windows told of changes, effect files imported or
// refused; the picture effects.
#include <gtest/gtest.h>
#include <zip.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "outside/KfxEngine/catalogue.h"
#include "outside/KfxEngine/engine.h"
#include "outside/KfxEngine/frame_effects.h"
#include "outside/KfxEngine/kfx_engine.h"
#include "platform/nt/testing/machine_test.h"
#include "processthreadsapi.h"
#include "shellapi.h"
#include "windows.h"
#include "winreg.h"
#include "winuser.h"

namespace {

using namespace kfx;

std::vector<std::u16string> Take(BSTR* strings, ULONG count) {
    std::vector<std::u16string> out;
    for (ULONG i = 0; i < count; ++i) out.emplace_back(strings[i]);
    FreeStrings(strings, count);
    return out;
}

// An effect file as a zip archive with the given members.
std::vector<uint8_t> EffectFileBytes(const std::vector<std::pair<std::string, std::string>>& members) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / ("kfx_" + std::to_string(::getpid()) + ".zip");
    std::filesystem::remove(path);
    int error = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    for (const auto& [name, text] : members) {
        zip_source_t* s = zip_source_buffer(z, text.data(), text.size(), 0);
        zip_file_add(z, name.c_str(), s, ZIP_FL_OVERWRITE);
    }
    zip_close(z);
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::filesystem::remove(path);
    return bytes;
}

std::string Description(const std::string& name, const std::string& kind = "sepia", const std::string& version = "1") {
    return "; made by hand\r\n[Effect]\r\nCategory=Imported\r\nName=" + name + "\r\nKind=" + kind + "\r\nVersion=" + version + "\r\n";
}

class EngineTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        RegisterBuiltin();
        ASSERT_EQ(RegisterServer(), S_OK);
        std::filesystem::create_directories(Root() / "Program Files/Lumora Tech/KFXE/Imported");
        std::ofstream(Root() / "Program Files/Lumora Tech/KFXE/StartKFX.exe") << "program";
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::u16string(kLanguagesKey) + u"\\1031").c_str(), 0, nullptr, 0, KEY_WRITE,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(CoCreateInstance(CLSID_KfxEngine, nullptr, CLSCTX_INPROC_SERVER, IID_IKfxEngine, reinterpret_cast<void**>(&engine_)),
                  S_OK);
    }
    void TearDown() override {
        if (engine_) engine_->Release();
        EXPECT_EQ(LiveObjectCount(), 0) << "an engine object was leaked";
        CoUninitialize();
        MachineTest::TearDown();
    }
    void StartService() {
        SHELLEXECUTEINFOA info{};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.lpVerb = "open";
        info.lpFile = "C:\\Program Files\\Lumora Tech\\KFXE\\StartKFX.exe";
        ASSERT_TRUE(ShellExecuteExA(&info)) << GetLastError();
        ASSERT_EQ(WaitForSingleObject(info.hProcess, 5000), WAIT_OBJECT_0);
        DWORD code = 99;
        GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hProcess);
        ASSERT_EQ(code, 0u);
    }
    HRESULT Import(const std::vector<uint8_t>& bytes, std::u16string* name = nullptr) {
        std::ofstream(Root() / "effect.vfz", std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        BSTR category = nullptr, effect = nullptr;
        const HRESULT hr = engine_->ImportEffect(u"C:\\effect.vfz", &category, &effect);
        if (name && effect) *name = effect;
        SysFreeString(category);
        SysFreeString(effect);
        return hr;
    }

    IKfxEngine* engine_ = nullptr;
};

TEST_F(EngineTest, ListsCategoriesAndEffectsForAnInstalledLanguage) {
    ULONG count = 0;
    BSTR* names = nullptr;
    EXPECT_EQ(engine_->GetCategories(&count, &names), KFX_E_NOT_OPEN) << "before Open";
    EXPECT_EQ(engine_->Open(u"1049"), E_INVALIDARG) << "a language the installation lacks";
    ASSERT_EQ(engine_->Open(u"1031"), S_OK);
    ASSERT_EQ(engine_->Open(u""), S_OK) << "the engine's own language";
    ASSERT_EQ(engine_->GetCategories(&count, &names), S_OK);
    EXPECT_EQ(Take(names, count), (std::vector<std::u16string>{u"Colour", u"Frames", u"Fun"}));

    BSTR* thumbnails = nullptr;
    ASSERT_EQ(engine_->GetEffects(u"Fun", &count, &names, &thumbnails), S_OK);
    EXPECT_EQ(Take(names, count), (std::vector<std::u16string>{u"Mosaic", u"Mirror", u"Thermal", u"Sketch"}));
    const auto files = Take(thumbnails, count);
    EXPECT_EQ(files[0], u"C:\\Program Files\\Lumora Tech\\KFXE\\Thumbnails\\Fun\\Mosaic.tga");
    EXPECT_EQ(engine_->GetEffects(u"Nothing", &count, &names, &thumbnails), E_INVALIDARG);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(names, nullptr);
}

TEST_F(EngineTest, ACamerasEffectChangesOnlyWhileTheServiceRuns) {
    const char16_t* camera = u"QK0340 Camera";
    BOOL running = TRUE;
    ASSERT_EQ(engine_->IsRunning(&running), S_OK);
    EXPECT_FALSE(running);
    EXPECT_EQ(engine_->EnableEffects(camera, TRUE), KFX_E_NOT_RUNNING);
    StartService();
    ASSERT_EQ(engine_->IsRunning(&running), S_OK);
    EXPECT_TRUE(running);

    EXPECT_EQ(engine_->ApplyEffect(camera, u"Colour", u"Sepia"), E_FAIL) << "effects still off for the camera";
    ASSERT_EQ(engine_->EnableEffects(camera, TRUE), S_OK);
    ASSERT_EQ(engine_->ApplyEffect(camera, u"Colour", u"Sepia"), S_OK);
    EXPECT_EQ(engine_->ApplyEffect(camera, u"Colour", u"Warp"), E_FAIL);
    EXPECT_EQ(engine_->EnableEffects(u"", TRUE), E_INVALIDARG);
    EXPECT_EQ(engine_->EnableEffects(std::u16string(261, u'x').c_str(), TRUE), E_INVALIDARG);

    BOOL enabled = FALSE;
    BSTR category = nullptr, effect = nullptr;
    ASSERT_EQ(engine_->GetCameraEffect(camera, &enabled, &category, &effect), S_OK);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(std::u16string(category), u"Colour");
    EXPECT_EQ(std::u16string(effect), u"Sepia");
    SysFreeString(category);
    SysFreeString(effect);

    // A second client sees the same; the service ends with the machine.
    IKfxEngine* other = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_KfxEngine, nullptr, CLSCTX_INPROC_SERVER, IID_IKfxEngine, reinterpret_cast<void**>(&other)), S_OK);
    ASSERT_EQ(other->GetCameraEffect(camera, &enabled, &category, &effect), S_OK);
    EXPECT_EQ(std::u16string(effect), u"Sepia");
    SysFreeString(category);
    SysFreeString(effect);
    other->Release();
    engine_->Release();
    engine_ = nullptr;
    RestartMachine();
    RegisterBuiltin();
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_EQ(CoCreateInstance(CLSID_KfxEngine, nullptr, CLSCTX_INPROC_SERVER, IID_IKfxEngine, reinterpret_cast<void**>(&engine_)), S_OK);
    ASSERT_EQ(engine_->IsRunning(&running), S_OK);
    EXPECT_FALSE(running) << "the service's record is volatile";
}

TEST_F(EngineTest, TellsRegisteredWindowsOfEveryChange) {
    IKfxEngineWindows* windows = nullptr;
    ASSERT_EQ(engine_->QueryInterface(IID_IKfxEngineWindows, reinterpret_cast<void**>(&windows)), S_OK);
    EXPECT_EQ(windows->RegisterWindow(reinterpret_cast<HWND>(0x1234)), E_INVALIDARG);
    HWND panel = CreateWindowExW(0, u"STATIC", u"panel", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(panel, nullptr);
    ASSERT_EQ(windows->RegisterWindow(panel), S_OK);
    StartService();
    ASSERT_EQ(engine_->EnableEffects(u"QK0340 Camera", TRUE), S_OK);
    MSG msg{};
    const UINT changed = RegisterWindowMessageW(kChangedMessage);
    EXPECT_TRUE(PeekMessageW(&msg, panel, changed, changed, PM_REMOVE));
    ASSERT_EQ(windows->UnregisterWindow(panel), S_OK);
    EXPECT_EQ(windows->UnregisterWindow(panel), S_FALSE);
    ASSERT_EQ(engine_->EnableEffects(u"QK0340 Camera", FALSE), S_OK);
    EXPECT_FALSE(PeekMessageW(&msg, panel, changed, changed, PM_REMOVE)) << "no longer registered";
    windows->Release();
    DestroyWindow(panel);
}

TEST_F(EngineTest, ImportsEffectFilesAndRefusesEveryBadOne) {
    ASSERT_EQ(engine_->Open(u""), S_OK);
    std::u16string name;
    ASSERT_EQ(Import(EffectFileBytes({{"effect.ini", Description("Warm")}, {"thumbnail.png", "not really a png"}}), &name), S_OK);
    EXPECT_EQ(name, u"Warm");
    EXPECT_TRUE(std::filesystem::exists(Root() / "Program Files/Lumora Tech/KFXE/Imported/Imported - Warm.png"));
    ASSERT_EQ(Import(EffectFileBytes({{"effect.ini", Description("Bare", "negative")}})), S_OK) << "no thumbnail is fine";

    ULONG count = 0;
    BSTR *names = nullptr, *thumbnails = nullptr;
    ASSERT_EQ(engine_->GetEffects(u"Imported", &count, &names, &thumbnails), S_OK);
    const auto effects = Take(names, count);
    const auto files = Take(thumbnails, count);
    ASSERT_EQ(effects.size(), 2u);
    EXPECT_EQ(files[effects[0] == u"Bare" ? 0 : 1], u"") << "an effect imported without a picture has none";

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        HRESULT expected;
    } cases[] = {
        {"the same effect again", EffectFileBytes({{"effect.ini", Description("Warm")}}), KFX_E_EXISTS},
        {"a shipped effect's name", EffectFileBytes({{"effect.ini", "[Effect]\nCategory=Colour\nName=Sepia\nKind=sepia\nVersion=1\n"}}),
         KFX_E_EXISTS},
        {"a later version", EffectFileBytes({{"effect.ini", Description("Later", "sepia", "2")}}), KFX_E_NEWER_ENGINE},
        {"a kind this engine lacks", EffectFileBytes({{"effect.ini", Description("Warp", "warp")}}), KFX_E_NEWER_ENGINE},
        {"no description", EffectFileBytes({{"thumbnail.png", "x"}}), KFX_E_DAMAGED},
        {"a name with a backslash", EffectFileBytes({{"effect.ini", Description("a\\b")}}), KFX_E_DAMAGED},
        {"a line without '='", EffectFileBytes({{"effect.ini", "[Effect]\nCategory\n"}}), KFX_E_DAMAGED},
        {"no version", EffectFileBytes({{"effect.ini", "[Effect]\nCategory=A\nName=B\nKind=sepia\n"}}), KFX_E_DAMAGED},
        {"not an archive", std::vector<uint8_t>{'P', 'K', 3, 4, 0, 0}, KFX_E_DAMAGED},
        {"empty", {}, KFX_E_DAMAGED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Import(c.bytes), c.expected);
    }
    BSTR category = nullptr, effect = nullptr;
    EXPECT_EQ(engine_->ImportEffect(u"C:\\missing.vfz", &category, &effect), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(effect, nullptr);
}

// ---- Picture effects -------------------------------------------------------------------------

TEST(FrameEffects, MapColoursAndShapesAsNamed) {
    constexpr int w = 16, h = 16;
    std::vector<uint8_t> picture(w * h * 3);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 37 + 11);
    const auto original = picture;

    auto p = picture;
    ApplyFrameEffect(FrameEffect::Negative, p.data(), w, h, w * 3);
    EXPECT_EQ(p[5], 255 - original[5]);
    ApplyFrameEffect(FrameEffect::Negative, p.data(), w, h, w * 3);
    EXPECT_EQ(p, original) << "twice is the picture again";

    p = original;
    ApplyFrameEffect(FrameEffect::Grey, p.data(), w, h, w * 3);
    for (int i = 0; i < w * h; ++i) ASSERT_TRUE(p[3 * i] == p[3 * i + 1] && p[3 * i + 1] == p[3 * i + 2]);

    p = original;
    ApplyFrameEffect(FrameEffect::Sepia, p.data(), w, h, w * 3);
    for (int i = 0; i < w * h; ++i) ASSERT_TRUE(p[3 * i + 2] >= p[3 * i + 1] && p[3 * i + 1] >= p[3 * i]) << "red over green over blue";

    p = original;
    ApplyFrameEffect(FrameEffect::Mirror, p.data(), w, h, w * 3);
    for (int x = 0; x < w; ++x) ASSERT_EQ(p[3 * x], p[3 * (w - 1 - x)]);

    p = original;
    ApplyFrameEffect(FrameEffect::Mosaic, p.data(), w, h, w * 3);
    EXPECT_EQ(p[0], p[3 * 7]) << "one block, one colour";
    EXPECT_EQ(p[0], p[7 * w * 3]);

    // A 1x1 picture and a null one are taken without a read outside them.
    uint8_t one[3] = {10, 20, 30};
    for (auto e : {FrameEffect::Sketch, FrameEffect::Film, FrameEffect::Oval, FrameEffect::Mosaic}) ApplyFrameEffect(e, one, 1, 1, 3);
    ApplyFrameEffect(FrameEffect::Sepia, nullptr, 4, 4, 12);
    EXPECT_EQ(FrameEffectNamed("thermal"), FrameEffect::Thermal);
    EXPECT_FALSE(FrameEffectNamed("Thermal").has_value()) << "names are exact";
}

}  // namespace
