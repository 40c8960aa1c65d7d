// A video file from outside must give frames or a clear error, never a read
// beyond the input or a frame of the wrong size.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "sim/scene/y4m.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    qk::sim::Y4mReader reader(in);
    if (!reader.Open()) {
        if (reader.error().empty()) std::abort();
        return 0;
    }
    const qk::sim::Y4mFormat& f = reader.format();
    if (f.width < 2 || f.height < 2 || (f.width & 1) != 0 || (f.height & 1) != 0) std::abort();
    std::vector<uint8_t> frame;
    size_t frames = 0;
    while (reader.Next(frame)) {
        if (frame.size() != f.FrameBytes()) std::abort();
        if (++frames * f.FrameBytes() > size) std::abort();  // frames come only from bytes that were there
    }
    return 0;
}
