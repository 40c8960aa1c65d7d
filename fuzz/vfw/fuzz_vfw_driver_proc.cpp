// Hostile DriverProc traffic: any message of the driver's range to any
// channel, with parameters that point at buffers of hostile sizes and
// contents (structures shorter than they claim, wrong size fields, headers
// with any flags and lengths, formats of any shape). The driver answers each
// with a result; nothing is read or written outside the caller's buffers
// (the address sanitizer watches), and a stream left running is taken down
// cleanly before the next input.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include <unistd.h>

#include "fuzz/common/fuzz_camera.h"
#include "platform/dshow/dshow_servers.h"
#include "vfw.h"
#include "vfw/builtin.h"

namespace {

using qk::fuzzing::Input;

void NoCallback(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

struct World {
    std::shared_ptr<qk::sim::Camera> camera;
};

World& TheWorld() {
    static World* world = [] {
        auto* w = new World;
        qk::fuzzing::BootMachine("vfw");
        w->camera = qk::fuzzing::InstallAndPlugCamera();
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        qk::dshow::InstallSystemServers();
        k0340vfw::RegisterBuiltin();
        return w;
    }();
    return *world;
}

constexpr UINT kMessages[] = {DVM_PALETTE,          DVM_FORMAT,           DVM_SRC_RECT,           DVM_DST_RECT,
                              DVM_DIALOG,           DVM_GET_CHANNEL_CAPS, DVM_FRAME,              DVM_STREAM_ADDBUFFER,
                              DVM_STREAM_FINI,      DVM_STREAM_GETERROR,  DVM_STREAM_GETPOSITION, DVM_STREAM_INIT,
                              DVM_STREAM_PREPAREHEADER, DVM_STREAM_RESET, DVM_STREAM_START,       DVM_STREAM_STOP,
                              DVM_STREAM_UNPREPAREHEADER, 0x4002,         0x7777};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TheWorld();
    Input in{data, size};
    VIDEO_OPEN_PARMS parms{};
    parms.dwSize = sizeof parms;
    parms.dwFlags = in.Take(1) & 0xF;
    HDRVR driver = OpenDriver(u"K0340Vfw.dll", nullptr, reinterpret_cast<LPARAM>(&parms));
    if (driver == nullptr) return 0;
    // Buffers live for the whole input: the driver may keep headers queued
    // until the stream is reset.
    std::vector<std::unique_ptr<VIDEOHDR>> headers;
    // Each message gets parameters of the types it takes (a caller's pointer
    // leads to memory of the size the caller claims) with hostile flags,
    // sizes and contents, or null.
    std::vector<std::unique_ptr<uint8_t[]>> memory;
    auto block = [&](size_t bytes) {
        memory.push_back(std::make_unique<uint8_t[]>(bytes == 0 ? 1 : bytes));
        for (size_t i = 0; i < bytes && in.size > 0; ++i) memory.back()[i] = static_cast<uint8_t>(in.Take(1));
        return memory.back().get();
    };
    static DWORD returned, error, count;
    for (int step = 0; step < 16 && in.size > 0; ++step) {
        UINT message = kMessages[in.Take(1) % std::size(kMessages)];
        bool null = in.Take(1) % 5 == 0;
        LPARAM p1 = 0, p2 = 0;
        switch (message) {
            case DVM_FORMAT: {
                p1 = static_cast<LPARAM>(in.Take(2));
                if (null) break;
                auto* config = reinterpret_cast<VIDEOCONFIGPARMS*>(block(sizeof(VIDEOCONFIGPARMS)));
                DWORD bytes = in.Take(1) % 64;
                config->lpdwReturn = in.Take(1) % 2 ? &returned : nullptr;
                config->lpData1 = bytes ? block(bytes) : nullptr;
                config->dwSize1 = bytes;
                config->lpData2 = nullptr;
                config->dwSize2 = 0;
                p2 = reinterpret_cast<LPARAM>(config);
                break;
            }
            case DVM_SRC_RECT:
            case DVM_DST_RECT:
                p1 = null ? 0 : reinterpret_cast<LPARAM>(block(sizeof(RECT)));
                p2 = static_cast<LPARAM>(in.Take(2));
                break;
            case DVM_DIALOG:
                p1 = static_cast<LPARAM>(in.Take(2));
                p2 = static_cast<LPARAM>(in.Take(1));
                break;
            case DVM_FRAME:
            case DVM_STREAM_ADDBUFFER:
            case DVM_STREAM_PREPAREHEADER:
            case DVM_STREAM_UNPREPAREHEADER: {
                if (null) break;
                DWORD bytes = in.Take(3) % (640 * 480 * 3 + 1);
                auto header = std::make_unique<VIDEOHDR>();
                memory.push_back(std::make_unique<uint8_t[]>(bytes == 0 ? 1 : bytes));
                header->lpData = memory.back().get();
                header->dwBufferLength = bytes;
                header->dwBytesUsed = in.Take(3);
                header->dwFlags = in.Take(1);
                p1 = reinterpret_cast<LPARAM>(header.get());
                p2 = sizeof(VIDEOHDR);
                headers.push_back(std::move(header));
                break;
            }
            case DVM_STREAM_INIT: {
                if (null) break;
                auto* init = reinterpret_cast<VIDEO_STREAM_INIT_PARMS*>(block(sizeof(VIDEO_STREAM_INIT_PARMS)));
                init->dwCallback = reinterpret_cast<DWORD_PTR>(NoCallback);
                init->dwFlags = in.Take(1) % 2 ? CALLBACK_FUNCTION : CALLBACK_WINDOW;
                p1 = reinterpret_cast<LPARAM>(init);
                p2 = sizeof *init;
                break;
            }
            case DVM_STREAM_GETERROR:
                p1 = null ? 0 : reinterpret_cast<LPARAM>(&error);
                p2 = in.Take(1) % 2 ? reinterpret_cast<LPARAM>(&count) : 0;
                break;
            case DVM_STREAM_GETPOSITION:
                p1 = null ? 0 : reinterpret_cast<LPARAM>(block(sizeof(MMTIME)));
                p2 = static_cast<LPARAM>(in.Take(1));
                break;
            default:
                p1 = static_cast<LPARAM>(in.Take(2));
                p2 = static_cast<LPARAM>(in.Take(2));
                break;
        }
        SendDriverMessage(driver, message, p1, p2);
    }
    // Whatever the input left running goes before its buffers do.
    SendDriverMessage(driver, DVM_STREAM_STOP, 0, 0);
    SendDriverMessage(driver, DVM_STREAM_RESET, 0, 0);
    SendDriverMessage(driver, DVM_STREAM_FINI, 0, 0);
    CloseDriver(driver, 0, 0);
    return 0;
}
