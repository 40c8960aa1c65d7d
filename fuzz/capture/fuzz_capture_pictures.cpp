// The substitute pictures: hostile bitmap files in the drivers folder through
// the reader, and any size, format and buffer lengths through the painter.
// Every buffer is exactly as long as the call is told, so the address
// sanitizer sees a byte read or written outside it.
//
// Input: byte 0 picks the mode.
//   even: the rest is the file "K0340Pc.bmp"; a picture that reads is then
//         painted at 176 x 144 in every format.
//   odd:  bytes 1-12 are the call (substitute, width, height, format, how much
//         shorter the sample and canvas are than needed, whether there is a
//         picture); the rest, repeated, is the picture.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "capture/formats.h"
#include "capture/k0340dev.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"

namespace {

namespace fs = std::filesystem;

struct World {
    std::unique_ptr<qk::Machine> machine;
    fs::path picture;
};

World& TheWorld() {
    static World* world = [] {
        auto* w = new World;
        auto root = fs::temp_directory_path() / ("qk-fuzz-pictures-" + std::to_string(::getpid()));
        w->machine = std::make_unique<qk::Machine>(root);
        qk::nt::Boot(*w->machine);
        fs::create_directories(w->machine->DriversFolder());
        w->picture = w->machine->DriversFolder() / "K0340Pc.bmp";
        // The machine lives as long as the process; its root goes with it.
        std::atexit([] { std::error_code ec; fs::remove_all(TheWorld().machine->SystemRoot(), ec); });
        return w;
    }();
    return *world;
}

ULONG PictureSize(ULONG width, ULONG height, ULONG format) {
    if (format >= k0340::kFormatCount) return 4096;
    return ULONG(uint64_t(width) * height * k0340::kSubFormats[format].biBitCount / 8);
}

// Paints into buffers of exactly the lengths given; a result must be the
// picture's size and fit the sample.
void Paint(k0340::Substitute which, const UCHAR* raw, ULONG width, ULONG height, ULONG format, ULONG outBytes,
           ULONG canvasBytes) {
    std::vector<UCHAR> out(outBytes), canvas(canvasBytes);
    ULONG written = k0340::PaintSubstitute(which, raw, width, height, format, canvasBytes ? canvas.data() : nullptr,
                                           canvasBytes, outBytes ? out.data() : nullptr, outBytes);
    if (written != 0 && (written > outBytes || written != PictureSize(width, height, format))) std::abort();
}

void ReadFile(const uint8_t* data, size_t size) {
    World& world = TheWorld();
    std::ofstream(world.picture, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), std::streamsize(size));
    std::vector<UCHAR> raw(k0340::kPictureBytes);
    if (!k0340::ReadSubstitutePicture(k0340::Substitute::ParentalLock, raw.data())) return;
    for (ULONG format = 0; format < k0340::kFormatCount; ++format) {
        Paint(k0340::Substitute::ParentalLock, raw.data(), 176, 144, format, PictureSize(176, 144, format),
              176 * 144 * 3);
    }
}

void PaintCall(const uint8_t* data, size_t size) {
    if (size < 12) return;
    const auto which = static_cast<k0340::Substitute>(int(data[0] % 5) - 1);  // one value out of range each side
    // Up to 1023 x 1023, so a run stays quick; the hugest sizes are a unit test.
    const ULONG width = (data[1] | data[2] << 8) & 0x3FF;
    const ULONG height = (data[3] | data[4] << 8) & 0x3FF;
    const ULONG format = data[5] % 7;
    const ULONG outShort = data[6] | data[7] << 8, canvasShort = data[8] | data[9] << 8;
    const bool withPicture = data[10] & 1;
    const bool shortIsPlus = data[11] & 1;  // sometimes more room than needed
    data += 12;
    size -= 12;
    std::vector<UCHAR> raw(k0340::kPictureBytes);
    for (size_t i = 0; i < raw.size() && size > 0; ++i) raw[i] = data[i % size];
    const ULONG picture = PictureSize(width, height, format), canvas = width * height * 3;
    const ULONG outBytes = shortIsPlus ? picture + outShort : (outShort > picture ? 0 : picture - outShort);
    const ULONG canvasBytes = shortIsPlus ? canvas + canvasShort : (canvasShort > canvas ? 0 : canvas - canvasShort);
    Paint(which, withPicture ? raw.data() : nullptr, width, height, format, outBytes, canvasBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (data[0] % 2 == 0) {
        ReadFile(data + 1, size - 1);
    } else {
        PaintCall(data + 1, size - 1);
    }
    return 0;
}
