// Y4M files from the user: the parser must refuse what is malformed and never
// let a frame reach past the file.
#include <cstdint>
#include <vector>

#include "sim/camera/frame_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    qk::sim::Y4mHeader header;
    std::vector<size_t> frames;
    std::string error;
    if (qk::sim::ParseY4m(bytes, &header, &frames, &error)) {
        for (size_t offset : frames) {
            if (offset + header.FrameBytes() > bytes.size()) __builtin_trap();
        }
    }
    return 0;
}
