// YUV4MPEG2 video files with 4:2:0 pictures: the frame source of recorded
// video, and the writer of processed video. Frames are I420 (Y, U, V planes,
// pitch = width).
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace qk::sim {

struct Y4mFormat {
    int width = 0, height = 0;
    int rateNumerator = 30, rateDenominator = 1;  // frames per second
    size_t FrameBytes() const { return size_t(width) * size_t(height) * 3 / 2; }
};

// Largest picture side read; larger headers are refused.
inline constexpr int kY4mMaxSide = 16384;

// Parses a stream header line (without its newline). Accepted: the
// "YUV4MPEG2" signature, W and H (even, 2 to kY4mMaxSide), F (positive),
// C absent or one of the 4:2:0 spaces (420, 420jpeg, 420paldv, 420mpeg2);
// I, A and X are read over. Returns false with a message otherwise.
bool ParseY4mHeader(std::string_view line, Y4mFormat& format, std::string& error);

class Y4mReader {
public:
    explicit Y4mReader(std::istream& in) : in_(in) {}
    // Reads the header; false with error() set.
    bool Open();
    // Reads the next frame into `frame` (FrameBytes()); false at the end of
    // the stream or on an error (error() says which; empty at a clean end).
    bool Next(std::vector<uint8_t>& frame);
    const Y4mFormat& format() const { return format_; }
    const std::string& error() const { return error_; }

private:
    bool ReadLine(std::string& line, size_t limit);
    std::istream& in_;
    Y4mFormat format_;
    std::string error_;
};

class Y4mWriter {
public:
    Y4mWriter(std::ostream& out, const Y4mFormat& format);
    void Write(const uint8_t* frame);

private:
    std::ostream& out_;
    size_t frameBytes_;
};

}  // namespace qk::sim
