// The installation entries as the Plug and Play manager will read them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>
#include <string>
#include <vector>

#include "platform/nt/testing/machine_test.h"
#include "platform/nt/wformat.h"
#include "platform/registry/registry.h"
#include "platform/registry/tests/registry_test_util.h"
#include "tools/install/install.h"
#include "wdm.h"

namespace {

using namespace qk::registry::testing;

class InstallTest : public qk::testing::MachineTest {
protected:
    void Install() {
        qk::install::Result result;
        std::string error;
        ASSERT_TRUE(qk::install::Install({}, &result, &error)) << error;
        EXPECT_EQ(result.folders, qk::install::Folders().size());
    }

    std::string Export() {
        std::string text, error;
        EXPECT_TRUE(qk::registry::ExportRegFile({u"MACHINE"}, u"HKEY_LOCAL_MACHINE", &text, &error)) << error;
        return text;
    }

    // Every value of a key, for comparison with what the schema says.
    void ExpectValues(const std::u16string& path,
                      const std::vector<std::tuple<std::u16string, ULONG, std::vector<uint8_t>>>& expected) {
        SCOPED_TRACE(qk::ToUtf8(path));
        HANDLE key;
        ASSERT_EQ(OpenKey(u"\\Registry\\Machine\\" + path, &key, KEY_READ), STATUS_SUCCESS);
        for (const auto& [name, type, data] : expected) {
            ULONG storedType;
            std::vector<uint8_t> stored;
            ASSERT_EQ(GetValue(key, name, &storedType, &stored), STATUS_SUCCESS) << qk::ToUtf8(name);
            EXPECT_EQ(storedType, type) << qk::ToUtf8(name);
            EXPECT_EQ(stored, data) << qk::ToUtf8(name);
        }
        uint8_t buffer[64];
        ULONG needed;
        EXPECT_EQ(ZwEnumerateValueKey(key, static_cast<ULONG>(expected.size()), KeyValueBasicInformation, buffer,
                                      sizeof buffer, &needed),
                  STATUS_NO_MORE_ENTRIES)
            << "more values than the schema has";
        ZwClose(key);
    }
};

std::vector<uint8_t> Dword(uint32_t v) { return Bytes({uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }

TEST_F(InstallTest, WritesTheServicesAndTheDriverDatabase) {
    Install();
    ExpectValues(u"SYSTEM\\CurrentControlSet\\Services\\K0340Dev",
                 {{u"ImagePath", REG_EXPAND_SZ, WideBytes(u"\\SystemRoot\\System32\\drivers\\K0340Dev.sys")},
                  {u"Type", REG_DWORD, Dword(1)},
                  {u"Start", REG_DWORD, Dword(3)},
                  {u"ErrorControl", REG_DWORD, Dword(1)},
                  {u"DisplayName", REG_SZ, WideBytes(u"QK0340 Camera Capture Driver")}});
    for (const char16_t* service : {u"K0340Aud", u"QkUsbAudio"}) {
        HANDLE key;
        ASSERT_EQ(OpenKey(std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\") + service, &key),
                  STATUS_SUCCESS);
        ULONG type;
        std::vector<uint8_t> data;
        ASSERT_EQ(GetValue(key, u"ImagePath", &type, &data), STATUS_SUCCESS);
        EXPECT_EQ(data, WideBytes(std::u16string(u"\\SystemRoot\\System32\\drivers\\") + service + u".sys"));
        ZwClose(key);
    }
    ExpectValues(u"SYSTEM\\DriverDatabase\\DeviceIds\\USB#VID_FA57&PID_0340&MI_00",
                 {{u"Service", REG_SZ, WideBytes(u"K0340Dev")},
                  {u"ClassGUID", REG_SZ, WideBytes(u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}")},
                  {u"Class", REG_SZ, WideBytes(u"Image")},
                  {u"DeviceDesc", REG_SZ, WideBytes(u"QK0340 Camera")},
                  {u"FriendlyName", REG_SZ, WideBytes(u"QK0340 Camera")}});
    const std::vector<std::tuple<std::u16string, ULONG, std::vector<uint8_t>>> microphone = {
        {u"Service", REG_SZ, WideBytes(u"QkUsbAudio")},
        {u"UpperFilters", REG_MULTI_SZ, WideBytes(u"K0340Aud", 2)},
        {u"ClassGUID", REG_SZ, WideBytes(u"{4d36e96c-e325-11ce-bfc1-08002be10318}")},
        {u"Class", REG_SZ, WideBytes(u"MEDIA")},
    };
    auto withDescription = [&](const char16_t* description) {
        auto values = microphone;
        values.emplace_back(u"DeviceDesc", REG_SZ, WideBytes(description));
        return values;
    };
    ExpectValues(u"SYSTEM\\DriverDatabase\\DeviceIds\\USB#VID_FA57&PID_0340&MI_02", withDescription(u"QK0340 Microphone"));
    // The camera's microphone names its camera and its name for the audio effects library.
    ExpectValues(u"SYSTEM\\DriverDatabase\\DeviceIds\\USB#VID_FA57&PID_0340&MI_02\\DriverValues",
                 {{u"FriendlyName", REG_SZ, WideBytes(u"QK0340 Camera")},
                  {u"LuAudioName", REG_SZ, WideBytes(u"QK0340 Microphone")},
                  {u"LuProductName", REG_SZ, WideBytes(u"QK0340 Camera")}});
    ExpectValues(u"SYSTEM\\DriverDatabase\\DeviceIds\\USB#VID_FA57&PID_0340&MI_00\\DriverValues",
                 {{u"LuProductName", REG_SZ, WideBytes(u"QK0340 Camera")}});
    // Every USB audio function (by its compatible ID) gets the same stack.
    for (const char16_t* partner : {u"USB#VID_FA01", u"USB#VID_FA02", u"USB#VID_FA03", u"USB#VID_FA04", u"USB#VID_FA05",
                                    u"USB#Class_01"}) {
        ExpectValues(std::u16string(u"SYSTEM\\DriverDatabase\\DeviceIds\\") + partner, withDescription(u"USB Microphone"));
    }
    // The array codec on the high-definition audio bus: the filter's interface
    // values (stereo, BFA3 on, echo cancellation off, the converters' formats).
    ExpectValues(u"SYSTEM\\DriverDatabase\\DeviceIds\\HDAUDIO#FUNC_01&VEN_FB20&DEV_0A20\\InterfaceValues\\"
                 u"{56907941-3afe-11d4-ae2c-00a0cc242d2c}",
                 {{u"StereoSupported", REG_DWORD, Dword(1)},
                  {u"BFA3Enabled", REG_DWORD, Dword(1)},
                  {u"ESEnabled", REG_DWORD, Dword(0)},
                  {u"RecordSampleSize", REG_DWORD, Dword(16)},
                  {u"RecordSampleRate", REG_DWORD, Dword(48000)},
                  {u"RecordNumChannels", REG_DWORD, Dword(2)},
                  {u"PlaybackSampleSize", REG_DWORD, Dword(16)},
                  {u"PlaybackSampleRate", REG_DWORD, Dword(48000)},
                  {u"PlaybackNumChannels", REG_DWORD, Dword(2)}});
}

TEST_F(InstallTest, LaysOutTheRootAndTheProductKeys) {
    Install();
    for (const auto& folder : qk::install::Folders()) {
        EXPECT_TRUE(std::filesystem::is_directory(Root() / folder.path)) << folder.path;
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(Root() / "registry.db"));
    // The capture driver creates its product key's last level and its console
    // key below the 32-bit twin with ZwCreateKey, which needs the levels above.
    HANDLE key;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Software\\Lumora Tech\\Web Cameras\\QK0340", &key), STATUS_SUCCESS);
    ZwClose(key);
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Software\\Wow6432Node\\Lumora Tech\\Web Cameras\\QK0340\\Console", &key,
                        nullptr, KEY_WRITE),
              STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(InstallTest, RunningItAgainChangesNothing) {
    Install();
    std::string first = Export();
    RestartMachine();
    Install();
    EXPECT_EQ(Export(), first);
}

TEST_F(InstallTest, ModulesAreCopiedFromTheModuleFolderOrNothingIsInstalled) {
    auto folder = Root().parent_path() / (Root().filename().string() + "-modules");
    std::filesystem::create_directories(folder);
    qk::install::Options options;
    options.moduleFolder = folder;
    qk::install::Result result;
    std::string error;
    // A module missing from the build: a clear error and no registry entries.
    EXPECT_FALSE(qk::install::Install(options, &result, &error));
    EXPECT_NE(error.find("K0340Dev.sys"), std::string::npos) << error;
    HANDLE key;
    EXPECT_NE(OpenKey(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\K0340Dev", &key, KEY_READ),
              STATUS_SUCCESS);

    for (const auto& module : qk::install::ModuleFiles()) {
        std::filesystem::create_directories((folder / module.buildName).parent_path());
        std::ofstream(folder / module.buildName) << "module " << module.buildName;
    }
    ASSERT_TRUE(qk::install::Install(options, &result, &error)) << error;
    EXPECT_EQ(result.modules, qk::install::ModuleFiles().size());
    for (const auto& module : qk::install::ModuleFiles()) {
        std::ifstream in(Root() / module.destination);
        std::string text;
        std::getline(in, text);
        EXPECT_EQ(text, "module " + std::string(module.buildName));
    }
    ASSERT_EQ(OpenKey(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\K0340Dev", &key, KEY_READ),
              STATUS_SUCCESS);
    ZwClose(key);
    std::filesystem::remove_all(folder);
}

TEST_F(InstallTest, HardwareIdKeys) {
    using qk::install::Device;
    EXPECT_EQ(qk::install::HardwareIdKey(Device{.vendorId = 0xFA57, .productId = 0x340, .interface = 2}),
              u"USB#VID_FA57&PID_0340&MI_02");
    EXPECT_EQ(qk::install::HardwareIdKey(Device{.vendorId = 0xFA04, .productId = 9, .interface = -1}),
              u"USB#VID_FA04&PID_0009");
    EXPECT_EQ(qk::install::HardwareIdKey(Device{.vendorId = 0xFA01, .productId = -1, .interface = -1}), u"USB#VID_FA01");
    EXPECT_EQ(qk::install::HardwareIdKey(
                  Device{.vendorId = 0, .productId = -1, .interface = -1, .compatibleId = u"USB\\Class_01"}),
              u"USB#Class_01");
    EXPECT_EQ(qk::install::HardwareIdKey(Device{.vendorId = 0, .productId = -1, .interface = -1,
                                                .hardwareId = u"HDAUDIO\\FUNC_01&VEN_FB20&DEV_0A20"}),
              u"HDAUDIO#FUNC_01&VEN_FB20&DEV_0A20");
}

}  // namespace
