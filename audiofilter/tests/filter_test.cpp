// K0340Aud on the simulated bus: attachment above a microphone's function
// driver, identification and profiles, settings in the registry, and the
// control device as a user-mode client reaches it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "audiofilter/capture_processor.h"
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

namespace {

TEST_F(AudioFilterTest, TheControlDeviceGoesWithTheLastFilterAndComesBackWithTheNext) {
    int first = PlugMicrophone(qk::ids::kPartnerVendorA, 1);
    int second = PlugMicrophone(qk::ids::kPartnerVendorB, 2);
    HANDLE h = OpenControl();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Read32(h, IOCTL_AUDFLT_GET_DEVICE_COUNT), 2u);
    // Index 1 is the newer device.
    uint8_t d[18] = {1};
    ASSERT_EQ(Control(h, IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR, d, 1, d, sizeof d), 18);
    EXPECT_EQ(d[8] | d[9] << 8, qk::ids::kPartnerVendorB);
    Close(h);

    ASSERT_TRUE(qk::usb::Unplug(first));
    h = OpenControl();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Read32(h, IOCTL_AUDFLT_GET_DEVICE_COUNT), 1u);
    d[0] = 0;
    ASSERT_EQ(Control(h, IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR, d, 1, d, sizeof d), 18);
    EXPECT_EQ(d[8] | d[9] << 8, qk::ids::kPartnerVendorB);
    Close(h);

    ASSERT_TRUE(qk::usb::Unplug(second));
    EXPECT_EQ(g_controlDevice, nullptr);
    EXPECT_EQ(CreateFileW(reinterpret_cast<LPCWSTR>(kControlUserPath), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(qk::nt::pool::StatsFor(kPoolTag).outstandingBlocks, 0u);

    PlugMicrophone(qk::ids::kPartnerVendorA, 3);
    h = OpenControl();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Read32(h, IOCTL_AUDFLT_GET_DEVICE_COUNT), 1u);
}

TEST_F(AudioFilterTest, BufferRulesOfTheControlRequests) {
    PlugMicrophone(qk::ids::kPartnerVendorA, 1);
    HANDLE h = OpenControl();
    uint8_t buffer[64] = {};
    DWORD error = 0;
    struct Row {
        const char* name;
        uint32_t code;
        DWORD in, out;
        long returned;
        DWORD error;
    } rows[] = {
        {"set feature, short input", IOCTL_AUDFLT_SET_FEATURE, 51, 0, -1, ERROR_INVALID_USER_BUFFER},
        {"get feature, short output", IOCTL_AUDFLT_GET_FEATURE, 52, 51, -1, ERROR_INVALID_USER_BUFFER},
        {"formats, short output", IOCTL_AUDFLT_GET_FORMATS, 0, 23, -1, ERROR_INVALID_USER_BUFFER},
        {"formats", IOCTL_AUDFLT_GET_FORMATS, 0, 24, 24, 0},
        {"stream state", IOCTL_AUDFLT_GET_STREAM_STATE, 0, 4, 4, 0},
        {"device descriptor, short", IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR, 1, 17, -1, ERROR_INVALID_USER_BUFFER},
        {"strings, short", IOCTL_AUDFLT_GET_STRINGS, 1, 19, -1, ERROR_INVALID_USER_BUFFER},
        {"a code not in the table", AudioFilterCode(0x804), 4, 4, -1, ERROR_NOT_SUPPORTED},
        {"another", AudioFilterCode(0x810), 4, 4, -1, ERROR_NOT_SUPPORTED},
        {"echo reduction without a canceller", IOCTL_AUDFLT_GET_ECHO_REDUCTION, 0, 4, 4, 0},
        {"echo trace without a canceller", IOCTL_AUDFLT_READ_ECHO_TRACE, 0, 64, 0, 0},
        {"meters", IOCTL_AUDFLT_ENABLE_METERS, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::memset(buffer, 0, sizeof buffer);
        EXPECT_EQ(Control(h, row.code, buffer, row.in, buffer, row.out, &error), row.returned);
        if (row.returned < 0) {
            EXPECT_EQ(error, row.error);
        }
    }
    EXPECT_EQ(Filter(0)->metersOn, 1u);
    // Strings of a partner microphone: the table with the product string.
    uint8_t strings[300];
    std::memset(strings, 0xEE, sizeof strings);
    strings[0] = 0;
    long n = Control(h, IOCTL_AUDFLT_GET_STRINGS, strings, 1, strings, sizeof strings);
    ASSERT_GT(n, 20);
    EXPECT_EQ(n, long(strings[0] | strings[1] << 8));
    bool product = false;
    for (int i = 0; i < 8; ++i) {
        const uint16_t offset = uint16_t(strings[2 + 2 * i] | strings[3 + 2 * i] << 8);
        if (offset == 0xFFFF) continue;
        ASSERT_LT(18u + offset, size_t(n));
        if (std::strcmp(reinterpret_cast<const char*>(strings + 18 + offset), "Partner Microphone") == 0) product = true;
    }
    EXPECT_TRUE(product);
}

TEST_F(AudioFilterTest, TwentyWaitersAreHeldTheTwentyFirstRefusedAndAShortRequestReleasesAll) {
    PlugMicrophone(qk::ids::kPartnerVendorA, 1);
    HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(kControlUserPath), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Waiter {
        OVERLAPPED ov{};
        uint32_t buffer[2] = {kWaitDeviceEvents, 0xABCD};
    };
    std::vector<Waiter> waiters(21);
    for (size_t i = 0; i < 20; ++i) {
        waiters[i].ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        waiters[i].buffer[0] = i % 2 ? kWaitCaptureEvents : kWaitDeviceEvents;
        EXPECT_FALSE(DeviceIoControl(h, IOCTL_AUDFLT_WAIT_EVENT, waiters[i].buffer, 8, waiters[i].buffer, 8, nullptr,
                                     &waiters[i].ov));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    HANDLE sync = OpenControl();
    uint32_t extra[2] = {kWaitDeviceEvents, 0};
    DWORD error = 0;
    EXPECT_EQ(Control(sync, IOCTL_AUDFLT_WAIT_EVENT, extra, 8, extra, 8, &error), -1);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_GEN_FAILURE));

    // A second device arrives: the ten device waiters hear the new count.
    PlugMicrophone(qk::ids::kPartnerVendorB, 1);
    for (size_t i = 0; i < 20; i += 2) {
        DWORD returned = 0;
        ASSERT_TRUE(GetOverlappedResult(h, &waiters[i].ov, &returned, TRUE)) << i;
        EXPECT_EQ(returned, 8u);
        EXPECT_EQ(waiters[i].buffer[0], kEventDevices);
        EXPECT_EQ(waiters[i].buffer[1], 2u);
    }
    for (size_t i = 1; i < 20; i += 2) EXPECT_EQ(WaitForSingleObject(waiters[i].ov.hEvent, 0), WAIT_TIMEOUT) << i;

    // A request without an output buffer releases the rest.
    EXPECT_EQ(Control(sync, IOCTL_AUDFLT_WAIT_EVENT, extra, 4, nullptr, 0), 0);
    for (size_t i = 1; i < 20; i += 2) {
        DWORD returned = 0;
        ASSERT_TRUE(GetOverlappedResult(h, &waiters[i].ov, &returned, TRUE)) << i;
        EXPECT_EQ(waiters[i].buffer[0], kEventReleased);
        EXPECT_EQ(waiters[i].buffer[1], 0xABCDu);
    }
    for (size_t i = 0; i < 20; ++i) CloseHandle(waiters[i].ov.hEvent);
    CloseHandle(h);
}

TEST_F(AudioFilterTest, WaitersGoBackWhenTheirHandleClosesAndWhenTheLastDeviceGoes) {
    int port = PlugMicrophone(qk::ids::kPartnerVendorA, 1);
    HANDLE a = CreateFileW(reinterpret_cast<LPCWSTR>(kControlUserPath), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    HANDLE b = CreateFileW(reinterpret_cast<LPCWSTR>(kControlUserPath), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    OVERLAPPED ova{}, ovb{};
    ova.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ovb.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    uint32_t bufa[2] = {kWaitCaptureEvents, 0}, bufb[2] = {kWaitRenderEvents, 0};
    EXPECT_FALSE(DeviceIoControl(a, IOCTL_AUDFLT_WAIT_EVENT, bufa, 8, bufa, 8, nullptr, &ova));
    EXPECT_FALSE(DeviceIoControl(b, IOCTL_AUDFLT_WAIT_EVENT, bufb, 8, bufb, 8, nullptr, &ovb));
    // Closing the handle cancels its waiter and frees its slot.
    CloseHandle(a);
    DWORD returned = 0;
    EXPECT_FALSE(GetOverlappedResult(a, &ova, &returned, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    int used = 0;
    for (PIRP slot : static_cast<ControlExtension*>(g_controlDevice->DeviceExtension)->waiters) used += slot != nullptr;
    EXPECT_EQ(used, 1);
    // The render waiter hears nothing of devices, but goes back when the last one leaves.
    ASSERT_TRUE(qk::usb::Unplug(port));
    ASSERT_TRUE(GetOverlappedResult(b, &ovb, &returned, TRUE));
    EXPECT_EQ(bufb[0], kEventReleased);
    CloseHandle(b);
    CloseHandle(ova.hEvent);
    CloseHandle(ovb.hEvent);
    EXPECT_EQ(qk::nt::io::LiveIrpCount(), 0u);
}

}  // namespace

namespace {

TEST_F(AudioFilterTest, AHandleThatOutlivesTheControlDeviceIsAnsweredAsIfNoDeviceWereThere) {
    int port = PlugMicrophone(qk::ids::kPartnerVendorA, 1);
    HANDLE h = OpenControl();
    ASSERT_TRUE(qk::usb::Unplug(port));
    uint32_t wait[2] = {kWaitDeviceEvents, 7};
    EXPECT_EQ(Control(h, IOCTL_AUDFLT_WAIT_EVENT, wait, 8, wait, 8), 8);
    EXPECT_EQ(wait[0], kEventReleased);
    uint8_t d[18] = {0};
    EXPECT_EQ(Control(h, IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR, d, 1, d, sizeof d), 0);
    Close(h);
}

}  // namespace

namespace {

constexpr GUID kFilterInterface = {0x56907941, 0x3AFE, 0x11D4, {0xAE, 0x2C, 0x00, 0xA0, 0xCC, 0x24, 0x2D, 0x2C}};

class AudioSettingsTest : public AudioFilterTest {
protected:
    // Opens the microphone's stack through the filter's interface, as the
    // audio engine opens a filter: the first create loads the settings.
    void OpenStack(size_t n) {
        auto interfaces = qk::nt::pnp::Interfaces(kFilterInterface);
        ASSERT_GT(interfaces.size(), n);
        std::u16string path = u"\\\\?\\" + interfaces[n].symbolicLink.substr(4);
        HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
    }
    void WriteSetting(const char16_t* path, const char16_t* name, ULONG value) {
        HANDLE key;
        ASSERT_EQ(reg::CreatePath(path, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
        reg::SetDword(key, name, value);
        ZwClose(key);
    }
    struct Switches {
        uint32_t available[4], enabled[4];
    };
    Switches Features(HANDLE h) {
        Switches s{};
        for (uint32_t feature = 0; feature < 4; ++feature) {
            FeatureRequest r = GetFeature(h, feature);
            s.available[feature] = r.available;
            s.enabled[feature] = r.enabled;
        }
        return s;
    }
};

#define EXPECT_SWITCHES(s, ngA, ngE, bfaA, bfaE, eqA, eqE, b3A, b3E)                                        \
    do {                                                                                                    \
        EXPECT_EQ((s).available[FEATURE_NOISEGUARD], ngA##u);                                               \
        EXPECT_EQ((s).enabled[FEATURE_NOISEGUARD], ngE##u);                                                 \
        EXPECT_EQ((s).available[FEATURE_BFA], bfaA##u);                                                     \
        EXPECT_EQ((s).enabled[FEATURE_BFA], bfaE##u);                                                       \
        EXPECT_EQ((s).available[FEATURE_ECHOQUELL], eqA##u);                                                \
        EXPECT_EQ((s).enabled[FEATURE_ECHOQUELL], eqE##u);                                                  \
        EXPECT_EQ((s).available[FEATURE_BFA3], b3A##u);                                                     \
        EXPECT_EQ((s).enabled[FEATURE_BFA3], b3E##u);                                                       \
    } while (0)

TEST_F(AudioSettingsTest, NoDeviceMeansNoFilterToTheConsole) {
    int port = PlugMicrophone(qk::ids::kPartnerVendorA, 1);
    HANDLE h = OpenControl();
    ASSERT_TRUE(qk::usb::Unplug(port));
    // The handle outlived the device: NoiseGuard is not available, mode 255.
    FeatureRequest r{};
    r.available = r.enabled = 9;
    EXPECT_EQ(Control(h, IOCTL_AUDFLT_GET_FEATURE, &r, sizeof r, &r, sizeof r), 0);
    PlugMicrophone(qk::ids::kPartnerVendorA, 2);
    HANDLE fresh = OpenControl();
    EXPECT_EQ(GetFeature(fresh, FEATURE_NOISEGUARD).available, 1u);
}

TEST_F(AudioSettingsTest, TheCameraWithoutSettingsRunsNoiseGuardAndBfa3) {
    PlugMicrophone(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);
    HANDLE h = OpenControl();
    Switches s = Features(h);
    EXPECT_SWITCHES(s, 1, 1, 1, 0, 0, 0, 1, 1);
    FilterExtension* f = Filter(0);
    EXPECT_EQ(f->captureProcessor->requested().noiseGuard, true);
    EXPECT_EQ(f->captureProcessor->requested().bfa, false);
    EXPECT_EQ(f->captureProcessor->requested().bfa3, true);
    EXPECT_EQ(f->captureProcessor->microphones(), 2u);
    // Strings are not given out for the camera's own vendor.
    uint8_t strings[64] = {0};
    EXPECT_EQ(Control(h, IOCTL_AUDFLT_GET_STRINGS, strings, 1, strings, sizeof strings), 0);
}

TEST_F(AudioSettingsTest, StoredValuesLoadAtTheFirstCreateWithinWhatTheProfileAllows) {
    const char16_t* key = qk::paths::kAudioFilterKeyKernel;
    struct Row {
        const char* name;
        ULONG micBoostStored;
        ULONG micBoost;
    } rows[] = {{"MicBoost 1 is no boost", 1, 0}, {"MicBoost 21 is no boost", 21, 0}, {"MicBoost 20", 20, 20},
                {"MicBoost 2", 2, 2}};
    size_t n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WriteSetting(key, u"MicBoost", row.micBoostStored);
        WriteSetting(key, u"EchoQuell", 1);  // not available on the camera: stays off
        WriteSetting(key, u"BFA", 1);
        WriteSetting(key, u"BFA3", 0);
        WriteSetting(key, u"NoiseGuard", 0);
        WriteSetting(key, u"EchoQuellSampleRate", 16000);
        WriteSetting(key, u"PushToTalk Enabled", 1);
        PlugMicrophone(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);
        FilterExtension* f = Filter(n);
        EXPECT_EQ(f->settingsPending, 1u);
        OpenStack(n++);
        EXPECT_EQ(f->settingsPending, 0u);
        EXPECT_EQ(f->micBoost, row.micBoost);
        EXPECT_EQ(f->echoQuellOn, 0u);
        EXPECT_EQ(f->bfaOn, 1u);
        EXPECT_EQ(f->bfa3On, 0u);
        EXPECT_EQ(f->noiseGuardOn, 0u);
        EXPECT_EQ(f->echoQuellRate, 16000u);
        EXPECT_EQ(f->pushToTalkOn, 1u);
        EXPECT_EQ(f->captureProcessor->requested().bfa, true);
        EXPECT_EQ(f->captureProcessor->requested().noiseGuard, false);
    }
}

TEST_F(AudioSettingsTest, BfaStoredOnAOneChannelDeviceLoadsButIsReportedNotAvailable) {
    WriteSetting(qk::paths::kAudioFilterKeyKernel, u"BFA", 1);
    PlugMicrophone(0x1D6B, 0x0104);  // an unknown microphone: one channel
    OpenStack(0);
    EXPECT_EQ(Filter(0)->bfaOn, 1u);
    HANDLE h = OpenControl();
    FeatureRequest r = GetFeature(h, FEATURE_BFA);
    EXPECT_EQ(r.available, 0u);
    EXPECT_EQ(r.enabled, 1u);
}

TEST_F(AudioSettingsTest, SwitchingSavesAllFiveValuesAndTheyPersistAcrossARestart) {
    int port = PlugMicrophone(qk::ids::kPartnerVendorD, 9);
    HANDLE h = OpenControl();
    // Partner D product 9: BFA and NoiseGuard on, EchoQuell available.
    EXPECT_SWITCHES(Features(h), 1, 1, 1, 1, 1, 0, 1, 0);
    SetFeature(h, FEATURE_NOISEGUARD, 1);
    const char16_t* key = qk::paths::kAudioFilterKeyKernel;
    EXPECT_EQ(Setting(key, u"BFA"), 1u);
    EXPECT_EQ(Setting(key, u"NoiseGuard"), 1u);
    EXPECT_EQ(Setting(key, u"BFA3"), 0u);
    EXPECT_EQ(Setting(key, u"EchoQuell"), 0u);
    EXPECT_EQ(Setting(key, u"EchoQuellSampleRate"), 8000u);

    // BFA3 on turns BFA off; EchoQuell on turns the other three off.
    SetFeature(h, FEATURE_BFA3, 1);
    EXPECT_SWITCHES(Features(h), 1, 1, 1, 0, 1, 0, 1, 1);
    SetFeature(h, FEATURE_ECHOQUELL, 1);
    EXPECT_SWITCHES(Features(h), 1, 0, 1, 0, 1, 1, 1, 0);
    EXPECT_EQ(Filter(0)->captureProcessor->requested().noiseGuard, false);
    EXPECT_EQ(Filter(0)->captureProcessor->requested().bfa3, false);
    // NoiseGuard on ends EchoQuell.
    SetFeature(h, FEATURE_NOISEGUARD, 1);
    SetFeature(h, FEATURE_BFA, 1);
    EXPECT_SWITCHES(Features(h), 1, 1, 1, 1, 1, 0, 1, 0);
    SetFeature(h, FEATURE_NOISEGUARD, 0);
    Close(h);

    // Unplugged and back: the stored switches come back.
    ASSERT_TRUE(qk::usb::Unplug(port));
    PlugMicrophone(qk::ids::kPartnerVendorD, 9);
    h = OpenControl();
    EXPECT_SWITCHES(Features(h), 1, 0, 1, 1, 1, 0, 1, 0);
}

TEST_F(AudioSettingsTest, ASwitchBeforeAnythingElseActsOnTheStoredSettingsAndKeepsThem) {
    // A tool that starts with the camera and switches at once: nothing has
    // loaded the stored values yet.
    const char16_t* key = qk::paths::kAudioFilterKeyKernel;
    WriteSetting(key, u"NoiseGuard", 0);
    WriteSetting(key, u"BFA3", 0);
    WriteSetting(key, u"MicBoost", 6);
    PlugMicrophone(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);
    HANDLE h = OpenControl();
    SetFeature(h, FEATURE_BFA3, 1);
    EXPECT_EQ(Setting(key, u"BFA3"), 1u);        // the camera can run BFA3
    EXPECT_EQ(Setting(key, u"NoiseGuard"), 0u);  // the stored value, not the profile's default
    EXPECT_EQ(Setting(key, u"MicBoost"), 6u);
    EXPECT_SWITCHES(Features(h), 1, 0, 1, 0, 0, 0, 1, 1);
    EXPECT_EQ(Filter(0)->captureProcessor->requested().bfa3, true);
}

TEST_F(AudioSettingsTest, TheOffProfileCannotBeSwitchedOnFromTheRegistryOrTheConsole) {
    WriteSetting(qk::paths::kAudioFilterKeyKernel, u"NoiseGuard", 1);
    WriteSetting(qk::paths::kAudioFilterKeyKernel, u"BFA", 1);
    PlugMicrophone(qk::ids::kCameraVendorId, 0x0777);
    HANDLE h = OpenControl();
    EXPECT_SWITCHES(Features(h), 1, 0, 0, 0, 0, 0, 0, 0);
    for (uint32_t feature = 0; feature < 4; ++feature) SetFeature(h, feature, 1);
    EXPECT_SWITCHES(Features(h), 1, 0, 0, 0, 0, 0, 0, 0);
    // EchoQuell asked on the camera (not available) changes nothing either.
    SetFeature(h, FEATURE_ECHOQUELL, 1);
    EXPECT_EQ(Filter(0)->echoQuellOn, 0u);
}

TEST_F(AudioSettingsTest, InterfaceDefaultsAndTheArraySwitch) {
    PlugMicrophone(qk::ids::kPartnerVendorD, 10);
    auto interfaces = qk::nt::pnp::Interfaces(kFilterInterface, false);
    ASSERT_EQ(interfaces.size(), 1u);
    // "Version" was written into the interface key when the device was added.
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, interfaces[0].symbolicLink.c_str());
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(&link, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    EXPECT_EQ(reg::QueryDword(key, u"Version"), 1u);
    ZwClose(key);

    HANDLE h = OpenControl();
    uint32_t value = 0;
    EXPECT_EQ(Control(h, IOCTL_AUDFLT_SET_ARRAY_INSTALLED, &value, 4, nullptr, 0), 0);
    EXPECT_EQ(Setting(qk::paths::kArraySettingsKeyKernel, u"BeamArray Installed"), 0u);
    EXPECT_EQ(Filter(0)->arrayInstalled, 0u);
    // Product 10 keeps BFA3 available, so BFA stays available without the array.
    EXPECT_EQ(GetFeature(h, FEATURE_BFA).available, 1u);
    // No array codec here: the query answers 0 and leaves the output alone.
    EXPECT_EQ(Read32(h, IOCTL_AUDFLT_HAS_ARRAY_CODEC), 0u);
    // (Buffered I/O: what the system buffer held, the caller's input, comes back.)
    uint32_t untouched = 0x5A5A5A5A;
    EXPECT_EQ(Control(h, IOCTL_AUDFLT_GET_ARRAY_INSTALLED, &untouched, 4, &untouched, 4), 4);
    EXPECT_EQ(untouched, 0x5A5A5A5Au);

    // Push-to-talk: 1 on with the key up, 2 key down, 3 key up, other values off.
    struct Step { uint32_t value; ULONG on, down; } steps[] = {{1, 1, 0}, {2, 1, 1}, {3, 1, 0}, {2, 1, 1}, {7, 0, 1}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.value);
        EXPECT_EQ(Control(h, IOCTL_AUDFLT_SET_PUSH_TO_TALK, &step.value, 4, nullptr, 0), 0);
        EXPECT_EQ(Filter(0)->pushToTalkOn, step.on);
        EXPECT_EQ(Filter(0)->talkKeyDown, step.down);
    }
}

}  // namespace
