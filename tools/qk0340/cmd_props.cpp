// qk0340 props: the capture driver's controls at the command line. Plugs
// the simulated camera into the root's machine, lets Plug and Play load the
// driver, opens the capture filter as an application does, lists, reads or
// changes its property items, and unplugs the camera again. What the driver
// stores (picture settings, face tracking, privacy, the lock) stays in the
// root's registry for the next run.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/nt/wformat.h"
#include "tools/install/install.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "tools/session/camera_controls.h"
#include "tools/session/camera_rig.h"
#include "tools/session/capture_stream.h"

namespace {

using qk::cli::Failure;
using namespace qk::session;

struct PropsArguments {
    std::string root = "./qk0340-root";
    int variant = 2;
    std::string modules;
    std::string control;
    std::string value;
    std::string mode;
};

// The camera plugged in with its filter open for the length of one command.
class PluggedCamera {
public:
    explicit PluggedCamera(const PropsArguments& a) {
        std::string error;
        machine_ = qk::install::MachineSession::Start(a.root, qk::install::MachineSession::Root::Any, &error);
        if (machine_ == nullptr) throw Failure(error);
        RigOptions options;
        options.camera.variant = a.variant;
        options.moduleFolder = a.modules.empty() ? qk::install::ProgramFolder() : std::filesystem::path(a.modules);
        rig_ = CameraRig::Start(nullptr, options, &error);
        if (rig_ == nullptr) throw Failure(error);
        if (rig_->InstalledPackage()) {
            std::printf("installed the QK0340 package into %s\n",
                        std::filesystem::absolute(a.root).lexically_normal().c_str());
        }
        NTSTATUS status = rig_->OpenFilter(&filter_);
        if (!NT_SUCCESS(status)) throw Failure("cannot open the capture filter: " + StatusText(status));
    }
    // The filter closes before the camera leaves, as an application lets go
    // before the device goes; the driver keeps its settings at removal.
    ~PluggedCamera() {
        filter_.reset();
        if (rig_) rig_->Unplug();
    }
    HANDLE Filter() const { return filter_->Handle(); }

private:
    std::unique_ptr<qk::install::MachineSession> machine_;
    std::unique_ptr<CameraRig> rig_;
    std::unique_ptr<qk::ks::client::Filter> filter_;
};

std::string AccessText(const ControlSupport& s) {
    if (s.CanGet() && s.CanSet()) return "get/set";
    return s.CanGet() ? "get" : s.CanSet() ? "set" : "none";
}

enum class Detail { Line, Full };

// The value as read, with the flags where the layout has them, or what went wrong.
std::string CurrentText(const ControlInfo& c, const ControlReading& r, Detail detail) {
    if (!r.asked) return "-";
    if (!r.HasValue()) return "failed: " + StatusText(r.status);
    if (c.layout == ControlLayout::Info) return detail == Detail::Full ? r.detail : r.summary;
    std::string text = ValueText(c, r.value);
    if (r.flags && c.layout == ControlLayout::Value) {
        text += ", " + FlagsText(*r.flags);
        if (detail == Detail::Full && r.capabilities && (*r.capabilities & kFlagsAutomatic)) {
            text += " (can be " + CapabilitiesText(*r.capabilities) + ")";
        }
    }
    return text;
}

std::string BusyText(const ControlInfo& c, const ControlReading& r) {
    if (r.status != STATUS_DEVICE_BUSY) return {};
    return std::string("busy: ") + (c.busyGet ? c.busyGet : "the driver answered STATUS_DEVICE_BUSY");
}

// The item the filter offers for a control, or a clear refusal.
ControlSupport OfferedOrFail(HANDLE filter, const ControlInfo& c) {
    ControlSupport support = QuerySupport(filter, c);
    if (!support.Offered()) {
        throw Failure(std::string("the camera has no ") + c.name + " control: its capture filter offers no item " +
                      SetIdText(c) + " (" + StatusText(support.status) + ")");
    }
    if (!NT_SUCCESS(support.status)) {
        throw Failure(std::string(c.name) + " (" + SetIdText(c) + "): the basic-support query failed with " +
                      StatusText(support.status));
    }
    return support;
}

void List(const PropsArguments& a) {
    PluggedCamera camera(a);
    std::printf("%-21s %-13s %-8s %-30s %s\n", "CONTROL", "SET/ID", "ACCESS", "CURRENT", "TAKES");
    std::string notOffered;
    const ControlInfo* previous = nullptr;
    for (const ControlInfo& c : AllControls()) {
        // Two names of one item (the lock and its check value) are one line.
        if (previous != nullptr && previous->id == c.id && IsEqualGUID(*previous->set, *c.set)) continue;
        previous = &c;
        ControlSupport support = QuerySupport(camera.Filter(), c);
        if (!support.Offered()) {
            notOffered += std::string(notOffered.empty() ? "" : ", ") + c.name + " (" + SetIdText(c) + ")";
            continue;
        }
        std::string current = "-", busy;
        if (!NT_SUCCESS(support.status)) {
            current = "basic support failed: " + StatusText(support.status);
        } else if (support.CanGet()) {
            ControlReading r = ReadControl(camera.Filter(), c);
            current = CurrentText(c, r, Detail::Line);
            busy = BusyText(c, r);
        }
        // What the driver's values list says, else what the values mean. The
        // mirror item's list is the horizontal row's alone, so both show there.
        std::string takes = support.range ? support.RangeText() : std::string(c.meaning);
        if (!support.range && support.defaultValue) takes += ", default " + std::to_string(*support.defaultValue);
        if (c.layout == ControlLayout::MirrorMode && support.range) {
            takes = std::string(c.meaning) + " (its values list: " + support.RangeText() + ")";
        }
        std::printf("%-21s %-13s %-8s %-30s %s%s%s\n", c.name, SetIdText(c).c_str(), AccessText(support).c_str(),
                    current.c_str(), takes.c_str(), busy.empty() ? "" : "  ", busy.c_str());
    }
    if (!notOffered.empty()) std::printf("not offered by this camera: %s\n", notOffered.c_str());
}

const ControlInfo& Resolve(const std::string& name) {
    std::string error;
    const ControlInfo* c = FindControl(name, &error);
    if (c == nullptr) throw Failure(error);
    return *c;
}

void Get(const PropsArguments& a) {
    const ControlInfo& c = Resolve(a.control);
    PluggedCamera camera(a);
    ControlSupport support = OfferedOrFail(camera.Filter(), c);
    ControlReading r = ReadControl(camera.Filter(), c);
    if (!r.asked) throw Failure(std::string(c.name) + " (" + SetIdText(c) + "): not read: " + r.detail);
    if (!r.HasValue()) {
        throw Failure(std::string(c.name) + " (" + SetIdText(c) + "): the driver answered " + StatusText(r.status) +
                      (support.CanGet() ? "" : "; the item cannot be read"));
    }
    std::string busy = BusyText(c, r);
    std::printf("%s (%s): %s%s%s\n", c.name, SetIdText(c).c_str(), CurrentText(c, r, Detail::Full).c_str(), busy.empty() ? "" : ", ",
                busy.c_str());
    std::string range = support.RangeText();
    std::printf("  %s; %s%s%s\n", c.meaning, AccessText(support).c_str(), range.empty() ? "" : ", ", range.c_str());
}

void Set(const PropsArguments& a) {
    const ControlInfo& c = Resolve(a.control);
    LONG flags = kFlagsManual, value = 0;
    std::string error;
    std::optional<LONG> onlyFlags = ParseFlagsWord(a.value);
    if (onlyFlags && a.mode.empty() && c.words.empty()) {
        flags = *onlyFlags;  // "set exposure auto": automatic needs no value
    } else {
        if (!ParseControlValue(c, a.value, &value, &error)) throw Failure(error);
        if (!a.mode.empty()) {
            std::optional<LONG> f = ParseFlagsWord(a.mode);
            if (!f) throw Failure("the last word of set is auto or manual, not '" + a.mode + "'");
            flags = *f;
        }
    }
    PluggedCamera camera(a);
    ControlSupport support = OfferedOrFail(camera.Filter(), c);
    if (!support.CanSet()) throw Failure(std::string(c.name) + " (" + SetIdText(c) + ") is read only");
    SetResult result = WriteControl(camera.Filter(), c, value, flags);
    if (!result.Applied()) throw Failure(result.Explain());
    std::printf("%s\n", result.Explain().c_str());
    if (c.layout == ControlLayout::LockCheckValue) return;
    ControlReading now = ReadControl(camera.Filter(), c);
    if (now.HasValue()) {
        std::string busy = BusyText(c, now);
        std::printf("%s (%s) now: %s%s%s\n", c.name, SetIdText(c).c_str(), CurrentText(c, now, Detail::Full).c_str(),
                    busy.empty() ? "" : ", ", busy.c_str());
    }
}

void AddPropsCommand(CLI::App& app) {
    auto a = std::make_shared<PropsArguments>();
    CLI::App* props = app.add_subcommand(
        "props", "List, read or change the capture driver's controls (plugs the simulated camera in for the run)");
    props->add_option("--root", a->root, "System root folder (the package is installed when missing)")
        ->capture_default_str();
    props->add_option("--variant", a->variant, "Camera variant")->check(CLI::IsMember({1, 2}))->capture_default_str();
    props->add_option("--modules", a->modules, "Folder of the built modules, for the installation (default: the program's own folder)");
    props->require_subcommand(1);
    props->fallthrough();

    CLI::App* list = props->add_subcommand("list", "Every control the capture filter offers, with access, value and range");
    list->callback([a] { List(*a); });
    CLI::App* get = props->add_subcommand("get", "Read one control");
    get->add_option("control", a->control, "NAME or SET/ID (such as zoom or camera/3)")->required();
    get->callback([a] { Get(*a); });
    CLI::App* set = props->add_subcommand("set", "Change one control");
    set->add_option("control", a->control, "NAME or SET/ID (such as zoom or camera/3)")->required();
    set->add_option("value", a->value, "The value: a number or one of the control's words")->required();
    set->add_option("mode", a->mode, "auto or manual, for controls with both");
    set->callback([a] { Set(*a); });
}

}  // namespace

QK_CLI_COMMAND(AddPropsCommand);
