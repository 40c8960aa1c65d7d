// K0340Aud on the simulated bus: attachment above a microphone's function
// driver, identification and profiles, settings in the registry, and the
// control device as a user-mode client reaches it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "audiofilter/filter.h"
#include "audiofilter/k0340aud.h"
#include "audiofilter/k0340aud_entry.h"
#include "common/registry_paths.h"
#include "common/usb_ids.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/pnp.h"
#include "platform/nt/pool.h"
#include "platform/nt/reg_util.h"
#include "platform/usb/testing/bus_fixture.h"
#include "sim/microphone/sound_source.h"
#include "sim/microphone/usb_microphone.h"
#include "windows.h"

namespace {

using namespace k0340aud;
namespace reg = qk::nt::reg;

class AudioFilterTest : public qk::usb::testing::UsbBusTest {
protected:
    void SetUp() override {
        UsbBusTest::SetUp();
        qk::nt::io::RegisterStaticDriver(u"K0340Aud.sys", K0340AudDriverEntry);
        HANDLE key;
        ASSERT_EQ(reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\K0340Aud", KEY_ALL_ACCESS, &key),
                  STATUS_SUCCESS);
        reg::SetString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\K0340Aud.sys", REG_EXPAND_SZ);
        ZwClose(key);
    }
    void TearDown() override {
        for (HANDLE h : handles_) CloseHandle(h);
        UsbBusTest::TearDown();
    }

    // The test's pass-through function driver with K0340Aud above it, for
    // every product of `vendor`.
    void InstallFilteredVendor(uint16_t vendor) {
        HANDLE key;
        std::u16string id = u"USB#VID_" + Hex(vendor);
        ASSERT_EQ(reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\DriverDatabase\\DeviceIds\\" + id, KEY_ALL_ACCESS, &key),
                  STATUS_SUCCESS);
        reg::SetString(key, u"Service", u"QkUsbTestFn");
        reg::SetMultiString(key, u"UpperFilters", {u"K0340Aud"});
        reg::SetString(key, u"ClassGUID", u"{4d36e96c-e325-11ce-bfc1-08002be10318}");
        reg::SetString(key, u"Class", u"MEDIA");
        reg::SetString(key, u"DeviceDesc", u"USB Microphone");
        ZwClose(key);
    }
    static std::u16string Hex(uint16_t v) {
        const char16_t* digits = u"0123456789ABCDEF";
        std::u16string s;
        for (int shift = 12; shift >= 0; shift -= 4) s += digits[(v >> shift) & 15];
        return s;
    }
    int PlugMicrophone(uint16_t vendor, uint16_t product) {
        InstallFilteredVendor(vendor);
        auto source = std::make_shared<qk::sim::TwoMicrophoneScene>();
        qk::sim::UsbMicrophoneConfig config{.vendorId = vendor, .productId = product, .product = u"Partner Microphone"};
        return qk::usb::Plug(std::make_shared<qk::sim::UsbMicrophone>(config, source));
    }
    HANDLE OpenControl() {
        HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(kControlUserPath), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) handles_.push_back(h);
        return h;
    }
    void Close(HANDLE h) {
        std::erase(handles_, h);
        CloseHandle(h);
    }
    // Sends a control request; returns the bytes returned, or -1 with the error in *error.
    long Control(HANDLE h, uint32_t code, const void* in, DWORD inBytes, void* out, DWORD outBytes, DWORD* error = nullptr) {
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(h, code, const_cast<void*>(in), inBytes, out, outBytes, &returned, nullptr);
        if (error) *error = ok ? 0 : GetLastError();
        return ok ? long(returned) : -1;
    }
    ULONG Read32(HANDLE h, uint32_t code, uint8_t index = 0) {
        uint8_t buffer[24] = {index};
        EXPECT_EQ(Control(h, code, buffer, 1, buffer, 4), 4) << std::hex << code;
        ULONG v;
        std::memcpy(&v, buffer, 4);
        return v;
    }
    FeatureRequest GetFeature(HANDLE h, uint32_t feature) {
        FeatureRequest r{};
        r.feature = feature;
        EXPECT_EQ(Control(h, IOCTL_AUDFLT_GET_FEATURE, &r, sizeof r, &r, sizeof r), long(sizeof r));
        return r;
    }
    void SetFeature(HANDLE h, uint32_t feature, uint32_t on) {
        FeatureRequest r{};
        r.feature = feature;
        r.enabled = on;
        EXPECT_EQ(Control(h, IOCTL_AUDFLT_SET_FEATURE, &r, sizeof r, nullptr, 0), 0);
    }
    // The filter device of the n-th microphone stack (0-based, arrival order).
    FilterExtension* Filter(size_t n) {
        LIST_ENTRY* head = &static_cast<ControlExtension*>(g_controlDevice->DeviceExtension)->devices;
        LIST_ENTRY* e = head->Flink;
        for (size_t i = 0; i < n && e != head; ++i) e = e->Flink;
        return e == head ? nullptr : CONTAINING_RECORD(e, FilterExtension, link);
    }
    static std::optional<ULONG> Setting(const char16_t* path, const char16_t* name) {
        HANDLE key;
        if (!NT_SUCCESS(reg::OpenPath(path, KEY_READ, &key))) return std::nullopt;
        auto v = reg::QueryDword(key, name);
        ZwClose(key);
        return v;
    }

    std::vector<HANDLE> handles_;
};

TEST_F(AudioFilterTest, ThereIsNoControlDeviceUntilTheDriverLoads) {
    EXPECT_EQ(CreateFileW(reinterpret_cast<LPCWSTR>(kControlUserPath), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(AudioFilterTest, TheFilterAttachesAboveTheFunctionDriverAndIdentifiesTheDevice) {
    int port = PlugMicrophone(qk::ids::kPartnerVendorA, 0x0021);
    ASSERT_GT(port, 0);
    HANDLE h = OpenControl();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Read32(h, IOCTL_AUDFLT_GET_DEVICE_COUNT), 1u);
    uint8_t d[18];
    std::memset(d, 0xEE, sizeof d);
    d[0] = 0;
    ASSERT_EQ(Control(h, IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR, d, 1, d, sizeof d), 18);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], 1);
    EXPECT_EQ(d[8] | d[9] << 8, qk::ids::kPartnerVendorA);
    EXPECT_EQ(d[10] | d[11] << 8, 0x0021);
    FilterExtension* f = Filter(0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->profile, Profile::PartnerA);
    EXPECT_EQ(f->captureChannels, 2);
    EXPECT_TRUE(f->started);
    // It sits on top: the stack's top device is the filter's.
    EXPECT_EQ(IoGetAttachedDevice(f->physicalDevice), f->self);
    EXPECT_EQ(f->lowerDevice->DriverObject->DriverName.Length, sizeof(u"\\Driver\\QkUsbTestFn") - 2);
    // The configuration descriptor passes through the filter unchanged.
    uint8_t config[256] = {0};
    long n = Control(h, IOCTL_AUDFLT_GET_CONFIG_DESCRIPTOR, config, 1, config, sizeof config);
    ASSERT_GT(n, 9);
    EXPECT_EQ(config[1], 2);
    EXPECT_EQ(long(config[2] | config[3] << 8), n);
    // An index beyond the devices: success, no data.
    uint8_t beyond[18] = {1};
    EXPECT_EQ(Control(h, IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR, beyond, 1, beyond, sizeof beyond), 0);
}

TEST_F(AudioFilterTest, ChannelCountsAndProfilesFollowTheDescriptor) {
    struct Row {
        const char* name;
        uint16_t vendor, product;
        Profile profile;
        LONG channels;
        uint16_t reportedVendor;
    } rows[] = {
        {"the camera's vendor, another product", qk::ids::kCameraVendorId, 0x0341, Profile::Off, 1, 0xFFFF},
        {"the camera's vendor, product 0xFFFE", qk::ids::kCameraVendorId, 0xFFFE, Profile::Camera, 2, qk::ids::kCameraVendorId},
        {"partner C product 2", qk::ids::kPartnerVendorC, 2, Profile::PartnerC, 2, qk::ids::kPartnerVendorC},
        {"partner C product 3", qk::ids::kPartnerVendorC, 3, Profile::PartnerC, 1, qk::ids::kPartnerVendorC},
        {"partner D product 5", qk::ids::kPartnerVendorD, 5, Profile::PartnerD, 2, qk::ids::kPartnerVendorD},
        {"partner D product 6", qk::ids::kPartnerVendorD, 6, Profile::PartnerD, 1, qk::ids::kPartnerVendorD},
        {"partner D product 9", qk::ids::kPartnerVendorD, 9, Profile::PartnerD9, 2, qk::ids::kPartnerVendorD},
        {"partner D product 10", qk::ids::kPartnerVendorD, 10, Profile::PartnerD10, 2, qk::ids::kPartnerVendorD},
        {"partner E", qk::ids::kPartnerVendorE, 1, Profile::PartnerE, 1, qk::ids::kPartnerVendorE},
        {"an unknown microphone", 0x1D6B, 0x0104, Profile::OtherUsb, 1, 0x1D6B},
    };
    size_t n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_GT(PlugMicrophone(row.vendor, row.product), 0);
        FilterExtension* f = Filter(n++);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->profile, row.profile);
        EXPECT_EQ(f->captureChannels, row.channels);
        EXPECT_EQ(f->deviceDescriptor[8] | f->deviceDescriptor[9] << 8, row.reportedVendor);
    }
    HANDLE h = OpenControl();
    EXPECT_EQ(Read32(h, IOCTL_AUDFLT_GET_DEVICE_COUNT), ULONG(std::size(rows)));
    EXPECT_EQ(Read32(h, IOCTL_AUDFLT_HAS_ARRAY_CODEC), 0u);
}

}  // namespace
