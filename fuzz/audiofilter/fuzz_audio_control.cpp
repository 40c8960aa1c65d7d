// Every control code of the audio filter's control device with random buffer
// sizes and contents, several requests to an input, against a started
// microphone and the array codec on the high-definition audio bus. Each request completes with a status; nothing is read or
// written outside the buffers (each is allocated at its exact size); waiting
// requests are released at the end of every input.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include <unistd.h>

#include "audiofilter/k0340aud.h"
#include "audiofilter/k0340aud_entry.h"
#include "common/usb_ids.h"
#include "platform/audio/hdaudio_function.h"
#include "platform/hdaudio/hdaudio_bus.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/pnp.h"
#include "platform/nt/reg_util.h"
#include "platform/usb/usb_bus.h"
#include "sim/microphone/array_codec.h"
#include "sim/microphone/sound_source.h"
#include "sim/microphone/usb_microphone.h"

namespace {

struct PassExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS Pass(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<PassExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE ||
        stack->MajorFunction == IRP_MJ_CLEANUP) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS PassAdd(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PassExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    static_cast<PassExtension*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS PassEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = Pass;
    driver->DriverExtension->AddDevice = PassAdd;
    return STATUS_SUCCESS;
}

struct World {
    std::unique_ptr<qk::Machine> machine;
    HANDLE control = nullptr;
};

World& TheWorld() {
    static World* world = [] {
        auto* w = new World;
        auto root = std::filesystem::temp_directory_path() / ("qk-fuzz-audio-" + std::to_string(::getpid()));
        std::filesystem::remove_all(root);
        w->machine = std::make_unique<qk::Machine>(root);
        qk::nt::Boot(*w->machine);
        namespace reg = qk::nt::reg;
        qk::nt::io::RegisterStaticDriver(u"K0340Aud.sys", K0340AudDriverEntry);
        qk::nt::io::RegisterStaticDriver(u"QkFuzzPass.sys", PassEntry);
        for (const char16_t* service : {u"K0340Aud", u"QkFuzzPass"}) {
            HANDLE key;
            reg::CreatePath(std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\") + service,
                            KEY_ALL_ACCESS, &key);
            reg::SetString(key, u"ImagePath", std::u16string(u"\\SystemRoot\\System32\\drivers\\") + service + u".sys",
                           REG_EXPAND_SZ);
            ZwClose(key);
        }
        HANDLE key;
        reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\DriverDatabase\\DeviceIds\\USB#VID_FA04", KEY_ALL_ACCESS, &key);
        reg::SetString(key, u"Service", u"QkFuzzPass");
        reg::SetMultiString(key, u"UpperFilters", {u"K0340Aud"});
        reg::SetString(key, u"ClassGUID", u"{4d36e96c-e325-11ce-bfc1-08002be10318}");
        reg::SetString(key, u"Class", u"MEDIA");
        ZwClose(key);
        qk::usb::WriteInstallationEntries();
        qk::usb::StartHostController();
        qk::sim::UsbMicrophoneConfig config{.vendorId = qk::ids::kPartnerVendorD, .productId = 9};
        qk::usb::Plug(std::make_shared<qk::sim::UsbMicrophone>(config, std::make_shared<qk::sim::TwoMicrophoneScene>()));
        // The array codec too, so the array-codec requests answer for a device.
        qk::audio::RegisterHdFunctionDriver();
        qk::hdaudio::WriteInstallationEntries();
        std::u16string codecId = qk::hdaudio::FunctionHardwareId(qk::sim::ArrayCodecConfig{}.vendorId,
                                                                  qk::sim::ArrayCodecConfig{}.deviceId);
        for (auto& c : codecId) {
            if (c == u'\\') c = u'#';
        }
        reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\DriverDatabase\\DeviceIds\\" + codecId, KEY_ALL_ACCESS, &key);
        reg::SetString(key, u"Service", qk::audio::kHdFunctionService);
        reg::SetMultiString(key, u"UpperFilters", {u"K0340Aud"});
        reg::SetString(key, u"ClassGUID", u"{4d36e96c-e325-11ce-bfc1-08002be10318}");
        reg::SetString(key, u"Class", u"MEDIA");
        ZwClose(key);
        qk::hdaudio::Plug(std::make_shared<qk::sim::ArrayCodec>(qk::sim::ArrayCodecConfig{},
                                                                 std::make_shared<qk::sim::TwoMicrophoneScene>()));
        qk::nt::pnp::WaitIdle();
        qk::nt::io::OpenDevice(k0340aud::kControlUserPath, GENERIC_READ | GENERIC_WRITE, &w->control);
        return w;
    }();
    return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = TheWorld();
    if (w.control == nullptr) return 0;
    std::atomic<int> outstanding{0};
    size_t at = 0;
    for (int request = 0; request < 16 && at + 5 <= size; ++request) {
        // Codes around the table: every listed one and its neighbours.
        const uint32_t code = k0340aud::AudioFilterCode(0x800 + (data[at] % 0x20));
        const size_t inBytes = (data[at + 1] | data[at + 2] << 8) % 600;
        const size_t outBytes = (data[at + 3] | data[at + 4] << 8) % 600;
        at += 5;
        auto in = std::make_shared<std::vector<uint8_t>>(inBytes);
        auto out = std::make_shared<std::vector<uint8_t>>(outBytes);
        for (size_t i = 0; i < inBytes && at < size; ++i) (*in)[i] = data[at++];
        ++outstanding;
        qk::nt::io::DeviceControlAsync(w.control, code, inBytes ? in->data() : nullptr, ULONG(inBytes),
                                       outBytes ? out->data() : nullptr, ULONG(outBytes),
                                       [in, out, &outstanding](NTSTATUS, ULONG_PTR) { --outstanding; });
    }
    // A wait without an output buffer releases every waiter.
    ULONG returned = 0;
    qk::nt::io::DeviceControl(w.control, k0340aud::IOCTL_AUDFLT_WAIT_EVENT, nullptr, 0, nullptr, 0, &returned);
    while (outstanding.load() > 0) {
        LARGE_INTEGER ms;
        ms.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &ms);
    }
    return 0;
}
