// A camera on the current machine as a user has it: the package installed,
// the USB host controller running, the capture driver registered for the
// video function, the simulated camera plugged in, and its capture filter
// found through its device interface. Tests of the driver and the capture
// command build on it:
//
//   qk::session::RigOptions options;
//   options.camera.variant = 1;
//   std::string error;
//   auto rig = qk::session::CameraRig::Start(K0340DevDriverEntry, options, &error);
//   std::unique_ptr<qk::ks::client::Filter> filter;
//   rig->OpenFilter(&filter);
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/ks/client.h"
#include "sim/camera/camera.h"
#include "sim/camera/camera_config.h"
#include "sim/camera/frame_source.h"
#include "wdm.h"

namespace qk::session {

// The image file name the capture driver is registered under; the installed
// service's ImagePath names it.
inline constexpr char16_t kCaptureDriverImage[] = u"K0340Dev.sys";

struct RigOptions {
    sim::CameraConfig camera;                  // the shipping camera by default
    std::shared_ptr<sim::FrameSource> frames;  // null: the synthetic face scene
    std::filesystem::path moduleFolder;        // built modules, for an installation the rig makes
};

class CameraRig {
public:
    // With a driver entry, the driver is registered in the process under its
    // image name; with none, Plug and Play loads the installed K0340Dev.sys,
    // and the rig (re)installs the package so that the module is the built one.
    // Null with a message when a step fails; a camera that was plugged in
    // but got no capture filter is unplugged again, and the message says what
    // Plug and Play made of its video function.
    static std::unique_ptr<CameraRig> Start(PDRIVER_INITIALIZE driverEntry, RigOptions options, std::string* error);
    ~CameraRig();
    CameraRig(const CameraRig&) = delete;
    CameraRig& operator=(const CameraRig&) = delete;

    sim::Camera& Camera() { return *camera_; }
    const std::shared_ptr<sim::Camera>& SharedCamera() const { return camera_; }
    int Port() const { return port_; }
    bool InstalledPackage() const { return installed_; }     // this rig ran the installation
    const std::u16string& FilterLink() const { return link_; }    // "\??\USB#...#{category}\GLOBAL"
    const std::u16string& VideoFunction() const { return video_; }  // the video function's instance path

    // Opens the capture filter as an application does (through its link).
    NTSTATUS OpenFilter(std::unique_ptr<ks::client::Filter>* filter) const;

    // Pulls the camera out (surprise removal); false when it was out already.
    bool Unplug();
    // Plugs a new camera of the same configuration and frame source in after
    // an Unplug (a camera's faults can be given anew), waits for Plug and Play
    // and takes the capture filter it brings. False with a message as Start.
    bool Replug(const sim::Faults& faults, std::string* error);
    bool Plugged() const { return plugged_; }
    // Every camera this rig has plugged in, the current one last.
    const std::vector<std::shared_ptr<sim::Camera>>& Cameras() const { return cameras_; }

private:
    CameraRig() = default;
    bool Plug(std::string* error);
    RigOptions options_;
    std::vector<std::shared_ptr<sim::Camera>> cameras_;
    std::shared_ptr<sim::Camera> camera_;
    int port_ = -1;
    bool plugged_ = false;
    bool installed_ = false;
    std::u16string link_;
    std::u16string video_;
};

// Whether the current machine's registry holds the package's installation
// (the capture driver's service entry).
bool PackageInstalled();

// The hardware ID of the camera's video function, "USB\VID_FA57&PID_0340&MI_00".
std::u16string VideoFunctionId(const sim::CameraConfig& camera);

// What Plug and Play made of a device, in words ("started", "no driver is
// installed for it", ...).
std::string DescribeDeviceState(const std::u16string& instancePath);

}  // namespace qk::session
