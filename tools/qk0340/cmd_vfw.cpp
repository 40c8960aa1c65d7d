// qk0340 vfw: an old Video-for-Windows application at the command line. It
// opens the first capture driver ("msvideo") through the multimedia
// runtime, sets the format with DVM_FORMAT, streams into its own buffers
// with the DVM_STREAM messages and writes the frames as Y4M. The driver is
// the installed module K0340Vfw.dll: the package is installed (again) from
// the program's folder first, so the module is always the one built.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow/dshow_servers.h"
#include "platform/olepro/olepro.h"
#include "tools/install/install.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "tools/qk0340/vfw_frame.h"
#include "tools/session/camera_rig.h"
#include "tools/session/capture_output.h"
#include "tools/session/negotiation.h"
#include "vfw.h"

namespace {

using qk::cli::Failure;

struct VfwArguments {
    std::string root = "./qk0340-root";
    int variant = 2;
    std::string modules;
    bool noCamera = false;
    std::string format = "YUY2";
    std::string size = "640x480";
    int frames = 30;
    int buffers = 4;
    std::string output;
    int unplugAfter = -1;
    std::string dialog;
    std::string screenshot;
};

struct Done {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<LPVIDEOHDR> headers;
    DWORD skipped = 0;
};
Done* g_done = nullptr;

void OnDriverCall(HDRVR, UINT message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR) {
    Done* d = g_done;
    if (d == nullptr) return;
    {
        std::lock_guard guard(d->lock);
        if (message == MM_DRVM_DATA) d->headers.push_back(reinterpret_cast<LPVIDEOHDR>(p1));
        if (message == MM_DRVM_ERROR) d->skipped = static_cast<DWORD>(p1);
    }
    d->arrived.notify_all();
}

const char* ErrorText(LRESULT error) {
    switch (error) {
        case DV_ERR_NOTDETECTED: return "no camera is there (DV_ERR_NOTDETECTED)";
        case DV_ERR_ALLOCATED: return "another client has the camera (DV_ERR_ALLOCATED)";
        case DV_ERR_BADFORMAT: return "the camera does not offer that format (DV_ERR_BADFORMAT)";
        case DV_ERR_NOMEM: return "out of memory (DV_ERR_NOMEM)";
        default: return "the driver refused";
    }
}

// The machine every subcommand runs on, with the simulated camera plugged
// in; with --no-camera the package is installed without it, and the driver
// answers for itself. The camera goes before the machine.
struct Machine {
    std::unique_ptr<qk::install::MachineSession> session;
    std::unique_ptr<qk::session::CameraRig> camera;
};

Machine StartMachine(const VfwArguments& a) {
    Machine m;
    std::string error;
    m.session = qk::install::MachineSession::Start(a.root, qk::install::MachineSession::Root::Any, &error);
    if (m.session == nullptr) throw Failure(error);
    const std::filesystem::path modules =
        a.modules.empty() ? qk::install::ProgramFolder() : std::filesystem::path(a.modules);
    if (!a.noCamera) {
        qk::session::RigOptions options;
        options.camera.variant = a.variant;
        options.moduleFolder = modules;
        m.camera = qk::session::CameraRig::Start(nullptr, options, &error);
        if (m.camera == nullptr) throw Failure(error);
    } else {
        qk::install::Options options;
        options.moduleFolder = modules;
        qk::install::Result result;
        if (!qk::install::Install(options, &result, &error)) throw Failure("cannot install the package: " + error);
    }
    qk::dshow::InstallSystemServers();
    return m;
}

void Capture(const VfwArguments& a) {
    auto pixel = qk::session::ParsePixelFormat(a.format);
    if (!pixel || *pixel == qk::session::PixelFormat::Mjpg) {
        throw Failure("no format is called '" + a.format + "'; the formats are RGB24, I420, YUY2, YV12");
    }
    int width = 0, height = 0;
    char extra = 0;
    if (std::sscanf(a.size.c_str(), "%dx%d%c", &width, &height, &extra) != 2 || width <= 0 || height <= 0) {
        throw Failure("'" + a.size + "' is no size WxH (such as 640x480)");
    }
    if (a.frames <= 0) throw Failure("--frames wants at least 1");
    if (a.buffers <= 0 || a.buffers > 64) throw Failure("--buffers wants 1 to 64");
    if (a.output.empty()) throw Failure("-o OUT.y4m is needed");

    std::string error;
    Machine machine = StartMachine(a);
    qk::session::CameraRig* rig = machine.camera.get();
    VIDEO_OPEN_PARMS parms{};
    parms.dwSize = sizeof parms;
    parms.dwFlags = VIDEO_IN;
    HDRVR driver = OpenDriver(u"msvideo", nullptr, reinterpret_cast<LPARAM>(&parms));
    if (driver == nullptr) throw Failure(std::string("cannot open the capture driver: ") + ErrorText(parms.dwError));
    // Closes the driver and lets the camera go on every path.
    struct Closer {
        HDRVR driver;
        qk::session::CameraRig* rig;
        ~Closer() {
            CloseDriver(driver, 0, 0);
            if (rig != nullptr) rig->Unplug();
        }
    } closer{driver, rig};

    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = static_cast<WORD>(qk::session::Info(*pixel).bitsPerPixel);
    header.biCompression = *pixel == qk::session::PixelFormat::Rgb24 ? KS_BI_RGB : qk::session::Info(*pixel).subtype->Data1;
    header.biSizeImage = static_cast<DWORD>(qk::session::PictureBytes(*pixel, width, height));
    VIDEOCONFIGPARMS set{nullptr, &header, sizeof header, nullptr, 0};
    LRESULT result = SendDriverMessage(driver, DVM_FORMAT, VIDEOCONFIGURE_SET, reinterpret_cast<LPARAM>(&set));
    BITMAPINFOHEADER now{};
    VIDEOCONFIGPARMS get{nullptr, &now, sizeof now, nullptr, 0};
    if (result == DV_ERR_OK) result = SendDriverMessage(driver, DVM_FORMAT, VIDEOCONFIGURE_GET, reinterpret_cast<LPARAM>(&get));
    if (result != DV_ERR_OK) throw Failure(std::string("the format was refused: ") + ErrorText(result));
    if (now.biWidth != width || now.biHeight != height || now.biCompression != header.biCompression) {
        throw Failure("the camera does not offer " + a.format + " " + a.size);
    }

    qk::session::ConnectionFormat format;
    format.format = *pixel;
    format.width = width;
    format.height = height;
    format.interval100ns = 333333;
    format.sampleBytes = now.biSizeImage;
    auto writer = qk::session::VideoWriter::Create(a.output, format, &error);
    if (writer == nullptr) throw Failure(error);

    Done done;
    g_done = &done;
    std::vector<std::vector<uint8_t>> buffers(a.buffers, std::vector<uint8_t>(now.biSizeImage));
    std::vector<VIDEOHDR> headers(a.buffers);
    VIDEO_STREAM_INIT_PARMS init{};
    init.dwMicroSecPerFrame = 33333;
    init.dwCallback = reinterpret_cast<DWORD_PTR>(OnDriverCall);
    init.dwFlags = CALLBACK_FUNCTION;
    init.hVideo = reinterpret_cast<DWORD_PTR>(driver);
    SendDriverMessage(driver, DVM_STREAM_INIT, reinterpret_cast<LPARAM>(&init), sizeof init);
    for (int i = 0; i < a.buffers; ++i) {
        headers[i] = VIDEOHDR{buffers[i].data(), now.biSizeImage, 0, 0, 0, VHDR_PREPARED, {}};
        SendDriverMessage(driver, DVM_STREAM_ADDBUFFER, reinterpret_cast<LPARAM>(&headers[i]), sizeof(VIDEOHDR));
    }
    SendDriverMessage(driver, DVM_STREAM_START, 0, 0);
    int written = 0;
    std::string failure;
    while (written < a.frames && failure.empty()) {
        LPVIDEOHDR h = nullptr;
        {
            std::unique_lock guard(done.lock);
            if (!done.arrived.wait_for(guard, std::chrono::seconds(5), [&] { return !done.headers.empty(); })) {
                failure = "no frame came for 5 seconds (the camera is gone or busy)";
                break;
            }
            h = done.headers.front();
            done.headers.pop_front();
        }
        if (!writer->Write(std::span<const uint8_t>(h->lpData, h->dwBytesUsed), &error)) {
            failure = error;
            break;
        }
        ++written;
        if (written == a.unplugAfter && rig) rig->Unplug();
        SendDriverMessage(driver, DVM_STREAM_ADDBUFFER, reinterpret_cast<LPARAM>(h), sizeof(VIDEOHDR));
    }
    SendDriverMessage(driver, DVM_STREAM_STOP, 0, 0);
    SendDriverMessage(driver, DVM_STREAM_RESET, 0, 0);
    SendDriverMessage(driver, DVM_STREAM_FINI, 0, 0);
    DWORD skipError = 0, skipped = 0;
    SendDriverMessage(driver, DVM_STREAM_GETERROR, reinterpret_cast<LPARAM>(&skipError), reinterpret_cast<LPARAM>(&skipped));
    g_done = nullptr;
    bool closed = writer->Close(&error);
    if (!failure.empty()) throw Failure(failure + "; " + a.output + " holds the " + std::to_string(written) + " frames before");
    if (!closed) throw Failure(error);
    std::printf("%d frames of %s %dx%d through the Video-for-Windows driver into %s (%s), %u skipped for want of a buffer\n",
                written, a.format.c_str(), width, height, a.output.c_str(), writer->Kind().c_str(),
                static_cast<unsigned>(skipped));
}

// Opens the dialog a Video-for-Windows application offers its user: the
// format dialog on the format channel, the source dialog on the channel that
// streams, after asking the driver whether it has one (the query form).
void Dialog(const VfwArguments& a) {
    const bool format = a.dialog == "format";
    if (!a.screenshot.empty() && std::filesystem::path(a.screenshot).extension() != ".png") {
        throw Failure("--screenshot wants a FILE.png");
    }
    Machine machine = StartMachine(a);
    qk::session::CameraRig* rig = machine.camera.get();
    qk::olepro::InstallPropertyPages();
    VIDEO_OPEN_PARMS parms{};
    parms.dwSize = sizeof parms;
    parms.dwFlags = format ? VIDEO_EXTERNALIN : VIDEO_IN;
    HDRVR driver = OpenDriver(u"msvideo", nullptr, reinterpret_cast<LPARAM>(&parms));
    if (driver == nullptr) throw Failure(std::string("cannot open the capture driver: ") + ErrorText(parms.dwError));
    struct Closer {
        HDRVR driver;
        qk::session::CameraRig* rig;
        ~Closer() {
            CloseDriver(driver, 0, 0);
            if (rig != nullptr) rig->Unplug();
        }
    } closer{driver, rig};
    if (SendDriverMessage(driver, DVM_DIALOG, 0, VIDEO_DLG_QUERY) != DV_ERR_OK) {
        throw Failure("the driver has no " + a.dialog + " dialog");
    }
    qk::cli::vfw::FrameVisit visit;
    qk::cli::vfw::VisitTheNextFrame(a.screenshot, &visit);
    LRESULT result = SendDriverMessage(driver, DVM_DIALOG, 0, 0);
    if (result != DV_ERR_OK) throw Failure("the driver refused the " + a.dialog + " dialog (error " + std::to_string(result) + ")");
    if (!visit.shown) throw Failure("the driver answered without showing the " + a.dialog + " dialog");
    std::printf("the %s dialog: \"%s\" with %d page%s, closed with Cancel\n", a.dialog.c_str(), visit.caption.c_str(),
                visit.pages, visit.pages == 1 ? "" : "s");
    for (const std::string& file : visit.pictures) std::printf("picture: %s\n", file.c_str());
    if (!visit.error.empty()) throw Failure("cannot save the picture " + visit.error);
}

void AddVfwCommand(CLI::App& app) {
    auto a = std::make_shared<VfwArguments>();
    CLI::App* vfw = app.add_subcommand("vfw", "An old Video-for-Windows application (plugs the simulated camera in for the run)");
    vfw->add_option("--root", a->root, "System root folder (the package is installed when missing)")->capture_default_str();
    vfw->add_option("--variant", a->variant, "Camera variant")->check(CLI::IsMember({1, 2}))->capture_default_str();
    vfw->add_option("--modules", a->modules, "Folder of the built modules, for the installation");
    vfw->add_flag("--no-camera", a->noCamera, "Do not plug the simulated camera in");
    vfw->require_subcommand(1);
    vfw->fallthrough();
    CLI::App* capture = vfw->add_subcommand("capture", "Stream from the first capture driver into a Y4M file");
    capture->add_option("--format", a->format, "RGB24, I420, YUY2 or YV12")->capture_default_str();
    capture->add_option("--size", a->size, "WxH")->capture_default_str();
    capture->add_option("--frames", a->frames, "How many frames")->capture_default_str();
    capture->add_option("--buffers", a->buffers, "Client buffers queued with the driver")->capture_default_str();
    capture->add_option("-o,--output", a->output, "OUT.y4m")->required();
    capture->add_option("--unplug-after", a->unplugAfter, "Pull the camera out after this many frames (fault test)");
    capture->callback([a] { Capture(*a); });
    CLI::App* dialog = vfw->add_subcommand("dialog", "Show the driver's format or source dialog (headless: its picture)");
    dialog->add_option("which", a->dialog, "format (the camera's controls) or source (the stream's format)")
        ->required()
        ->check(CLI::IsMember({"format", "source"}));
    dialog->add_option("--screenshot", a->screenshot, "Save each page of the dialog as FILE.png, FILE-2.png, ...");
    dialog->callback([a] { Dialog(*a); });
}

}  // namespace

QK_CLI_COMMAND(AddVfwCommand);
