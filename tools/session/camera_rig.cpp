#include "tools/session/camera_rig.h"

#include <set>

#include "common/usb_ids.h"
#include "ks.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/nt/reg_util.h"
#include "platform/nt/wformat.h"
#include "platform/usb/usb_bus.h"
#include "tools/install/install.h"

namespace qk::session {
namespace {

constexpr char16_t kServiceKey[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\K0340Dev";

bool EndsWith(const std::u16string& text, std::u16string_view tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool StartsWith(const std::u16string& text, const std::u16string& head) { return text.rfind(head, 0) == 0; }

// The present device whose instance path starts with the function's device ID.
std::u16string FindFunction(const std::u16string& deviceId) {
    for (const auto& device : qk::nt::pnp::Devices()) {
        if (device.present && StartsWith(device.instancePath, deviceId + u"\\")) return device.instancePath;
    }
    return {};
}

}  // namespace

bool PackageInstalled() { return qk::nt::reg::ReadString(kServiceKey, u"ImagePath").has_value(); }

std::u16string VideoFunctionId(const sim::CameraConfig& camera) {
    return FormatWide(u"USB\\VID_%04X&PID_%04X&MI_%02X", camera.vendorId, camera.productId,
                      ids::kVideoControlInterface);
}

std::string DescribeDeviceState(const std::u16string& instancePath) {
    qk::nt::pnp::DeviceInfo info;
    if (instancePath.empty() || !qk::nt::pnp::FindDevice(instancePath, &info)) return "it did not appear";
    using qk::nt::pnp::Problem;
    switch (info.problem) {
        case Problem::None:
            return info.started ? "it started, but its driver registered no capture filter" : "it has not started";
        case Problem::NoDriver:
            return "no driver is installed for it (problem code 28)";
        case Problem::DriverFailedLoad:
            return "its driver could not be loaded (problem code 39)";
        case Problem::FailedAdd:
            return "its driver refused to add it (problem code 31)";
        case Problem::FailedStart:
            return "its driver failed to start it (problem code 10)";
        case Problem::Removed:
            return "it was removed (problem code 47)";
    }
    return "problem code " + std::to_string(static_cast<ULONG>(info.problem));
}

std::unique_ptr<CameraRig> CameraRig::Start(PDRIVER_INITIALIZE driverEntry, RigOptions options, std::string* error) {
    std::unique_ptr<CameraRig> rig(new CameraRig());
    const bool wasInstalled = PackageInstalled();
    if (!wasInstalled || driverEntry == nullptr) {
        install::Options install;
        // A driver registered in the process needs no module files.
        if (driverEntry == nullptr) install.moduleFolder = options.moduleFolder;
        install::Result result;
        if (!install::Install(install, &result, error)) {
            *error = "cannot install the package: " + *error;
            return nullptr;
        }
        rig->installed_ = !wasInstalled;
    }
    NTSTATUS status = qk::usb::WriteInstallationEntries();
    if (!NT_SUCCESS(status)) {
        *error = Format("cannot write the USB bus driver's entries (status 0x%08X)", static_cast<unsigned>(status));
        return nullptr;
    }
    if (qk::usb::StartHostController().empty()) {
        *error = "the USB host controller did not start";
        return nullptr;
    }
    if (driverEntry != nullptr) qk::nt::io::RegisterStaticDriver(kCaptureDriverImage, driverEntry);
    rig->options_ = std::move(options);
    if (!rig->Plug(error)) return nullptr;
    return rig;
}

bool CameraRig::Plug(std::string* error) {
    // The filter this camera brings is the one that was not there before.
    std::set<std::u16string> before;
    for (const auto& i : qk::nt::pnp::Interfaces(KSCATEGORY_CAPTURE)) before.insert(i.symbolicLink);
    camera_ = std::make_shared<sim::Camera>(options_.camera, options_.frames);
    cameras_.push_back(camera_);
    port_ = qk::usb::Plug(camera_, qk::usb::Wait::ForPnp);
    if (port_ < 0) {
        *error = "no free USB port for the camera";
        return false;
    }
    plugged_ = true;
    qk::nt::pnp::WaitIdle();
    qk::nt::Kernel::Get().FlushWork();  // post-start runs from a work item
    qk::nt::pnp::WaitIdle();

    const std::u16string functionId = VideoFunctionId(options_.camera);
    video_ = FindFunction(functionId);
    link_.clear();
    for (const auto& i : qk::nt::pnp::Interfaces(KSCATEGORY_CAPTURE)) {
        if (before.count(i.symbolicLink) == 0 && i.instancePath == video_ && EndsWith(i.symbolicLink, u"\\GLOBAL")) {
            link_ = i.symbolicLink;
            break;
        }
    }
    if (link_.empty()) {
        *error = "the camera was plugged in, but no capture filter appeared for its video function " +
                 ToUtf8(functionId) + ": " + DescribeDeviceState(video_);
        Unplug();
        return false;
    }
    return true;
}

bool CameraRig::Replug(const sim::Faults& faults, std::string* error) {
    if (plugged_) {
        *error = "the camera is still plugged in";
        return false;
    }
    options_.camera.faults = faults;
    return Plug(error);
}

CameraRig::~CameraRig() = default;

NTSTATUS CameraRig::OpenFilter(std::unique_ptr<ks::client::Filter>* filter) const {
    return ks::client::Filter::Open(link_, filter);
}

bool CameraRig::Unplug() {
    if (!plugged_) return false;
    plugged_ = false;
    return qk::usb::Unplug(port_, qk::usb::Wait::ForPnp);
}

}  // namespace qk::session
