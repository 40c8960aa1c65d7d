// SetupAPI and the configuration manager as an application uses them to find
// the camera: image-class devices, their IDs and names, the capture
// interfaces and their paths, and the device's status across an unplug.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/tests/capture_fixture.h"
#include "cfgmgr32.h"
#include "ks.h"
#include "platform/nt/pnp.h"
#include "setupapi.h"

namespace {

const GUID kImageClass = {0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

class SetupApiTest : public k0340::testing::CaptureTest {};

std::vector<std::u16string> MultiString(const std::vector<uint8_t>& bytes) {
    std::vector<std::u16string> items;
    std::u16string current;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t c = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (c == 0) {
            if (current.empty()) break;
            items.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    return items;
}

TEST_F(SetupApiTest, ImageClassListsTheCameraWithItsIdsAndNames) {
    PlugCamera();
    FilterLink();  // waits until Plug and Play has started it
    HDEVINFO set = SetupDiGetClassDevsW(&kImageClass, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_TRUE(IsEqualGUID(data.ClassGuid, kImageClass));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &data));  // the microphone is of another class
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));

    // The size first, then the value; a short buffer is left untouched.
    DWORD type = 0, required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(required, 4u);
    std::vector<uint8_t> ids(required + 8, 0xAB);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, ids.data(), required - 2,
                                                   nullptr));
    EXPECT_EQ(ids[0], 0xAB);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, ids.data(), required, nullptr));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(ids[required], 0xAB);  // nothing beyond the value
    auto list = MultiString(ids);
    ASSERT_FALSE(list.empty());
    bool named = false;
    for (auto& id : list) named |= id.find(u"VID_FA57&PID_0340&MI_00") != std::u16string::npos;
    EXPECT_TRUE(named);

    char description[64];
    memset(description, 0x55, sizeof(description));
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, &type,
                                                  reinterpret_cast<PBYTE>(description), sizeof(description), &required));
    EXPECT_STREQ(description, "QK0340 Camera");
    EXPECT_EQ(required, 14u);
    WCHAR friendly[64];
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, &type,
                                                  reinterpret_cast<PBYTE>(friendly), sizeof(friendly), nullptr));
    EXPECT_EQ(std::u16string(friendly), u"QK0340 Camera");
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, 0x7777, &type, ids.data(), required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));

    // The status of the node, and its instance ID both ways.
    ULONG status = 0, problem = 99;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_TRUE(status & DN_STARTED);
    EXPECT_TRUE(status & DN_DRIVER_LOADED);
    EXPECT_EQ(problem, 0u);
    WCHAR instance[MAX_DEVICE_ID_LEN];
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(set, &data, instance, MAX_DEVICE_ID_LEN, nullptr));
    DEVINST located = 0;
    ASSERT_EQ(CM_Locate_DevNodeW(&located, instance, CM_LOCATE_DEVNODE_NORMAL), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(located, data.DevInst);
    WCHAR back[MAX_DEVICE_ID_LEN];
    ASSERT_EQ(CM_Get_Device_IDW(located, back, MAX_DEVICE_ID_LEN, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(std::u16string(back), std::u16string(instance));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(nullptr));
}

// The keys SetupDiOpenDevRegKey opens are the ones the driver reaches from
// the kernel: what one side writes the other reads.
TEST_F(SetupApiTest, DeviceKeysAreTheOnesTheDriverSees) {
    PlugCamera();
    FilterLink();
    HDEVINFO set = SetupDiGetClassDevsW(&kImageClass, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    auto readString = [](HKEY key, const char16_t* name) {
        char16_t text[128] = {};
        DWORD type = 0, bytes = sizeof(text) - sizeof(char16_t);
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS) {
            return std::u16string(u"<none>");
        }
        return std::u16string(text);
    };

    // The software key carries the description Plug and Play installed.
    HKEY driver = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    ASSERT_NE(driver, INVALID_HANDLE_VALUE);
    WCHAR description[128] = {};
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_DEVICEDESC, nullptr,
                                                  reinterpret_cast<PBYTE>(description), sizeof(description), nullptr));
    EXPECT_EQ(readString(driver, u"DriverDesc"), std::u16string(description));
    RegCloseKey(driver);

    // The hardware key exists once the driver side made it; a value written
    // there from the kernel is read here.
    HKEY device = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (device == INVALID_HANDLE_VALUE) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));
    } else {
        RegCloseKey(device);
    }
    HANDLE kernelKey = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(CameraPdo(), PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &kernelKey), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Marker");
    const char16_t marker[] = u"from the kernel";
    ASSERT_EQ(ZwSetValueKey(kernelKey, &name, 0, REG_SZ, const_cast<char16_t*>(marker), sizeof(marker)), STATUS_SUCCESS);
    ZwClose(kernelKey);
    device = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_CONFIGSPECIFIC, 0, DIREG_DEV, KEY_READ);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(readString(device, u"Marker"), u"from the kernel");
    RegCloseKey(device);

    // Wrong calls.
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, 7, KEY_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &data, 0x10, 0, DIREG_DRV, KEY_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    SP_DEVINFO_DATA stranger = data;
    stranger.DevInst = 0x7FFF;
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &stranger, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetupDiOpenDevRegKey(nullptr, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, CaptureInterfacesGivePathsThatOpenTheFilter) {
    PlugCamera();
    std::u16string link = FilterLink();
    ASSERT_FALSE(link.empty());
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_VIDEO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_VIDEO, 0, &iface));
    EXPECT_TRUE(iface.Flags & SPINT_ACTIVE);
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<uint8_t> block(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(block.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, nullptr, &device));
    std::u16string path(detail->DevicePath);
    EXPECT_EQ(path.rfind(u"\\\\?\\", 0), 0u) << std::string(path.begin(), path.end());
    auto video = qk::nt::pnp::Interfaces(KSCATEGORY_VIDEO);
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(path.substr(4), video[0].symbolicLink.substr(4));
    EXPECT_TRUE(IsEqualGUID(device.ClassGuid, kImageClass));
    HANDLE filter = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(filter, INVALID_HANDLE_VALUE);
    CloseHandle(filter);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_VIDEO, 1, &iface));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, AnUnpluggedCameraLeavesTheListAndItsNodeReportsGone) {
    int port = PlugCamera();
    FilterLink();
    HDEVINFO set = SetupDiGetClassDevsW(&kImageClass, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    SetupDiDestroyDeviceInfoList(set);

    Unplug(port);
    qk::nt::pnp::WaitIdle();
    ULONG status = 0, problem = 0;
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    set = SetupDiGetClassDevsW(&kImageClass, nullptr, nullptr, DIGCF_PRESENT);
    data.cbSize = sizeof(data);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    SetupDiDestroyDeviceInfoList(set);
    set = SetupDiGetClassDevsW(&KSCATEGORY_VIDEO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_VIDEO, 0, &iface));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, MisuseIsRefusedWithTheSdkErrors) {
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetupDiGetClassDevsW(&kImageClass, nullptr, nullptr, 0x1000), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data) - 1;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data.cbSize = sizeof(data);
    data.DevInst = 0x7FFFFFFF;  // not a member
    DWORD type;
    BYTE buffer[8];
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_DEVICEDESC, &type, buffer, sizeof(buffer), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetupDiDestroyDeviceInfoList(set);
    DEVINST node;
    EXPECT_EQ(CM_Locate_DevNodeW(&node, u"USB\\VID_0000&PID_0000\\0", 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Locate_DevNodeW(nullptr, nullptr, 0), static_cast<CONFIGRET>(CR_INVALID_POINTER));
    ULONG status, problem;
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, 0x7FFFFFFF, 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
    WCHAR shortBuffer[4];
    ASSERT_EQ(CM_Locate_DevNodeW(&node, nullptr, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(CM_Get_Device_IDW(node, shortBuffer, 4, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
}

}  // namespace
