// A YUV4MPEG2 stream the camera films as it arrives, such as ffmpeg writes
// into a pipe: the header and the first frame are read at once, the rest by
// a reader thread a few frames ahead of the camera. The camera's first
// picture shows the stream's first frame; from there the frames follow the
// stream's rate on the camera's clock (frames that arrive late are waited for
// by showing the newest one, frames the camera's rate skips are dropped), and
// after the last frame the camera keeps filming it.
//
//   auto source = Y4mPipeSource::Open(std::shared_ptr<std::istream>(&std::cin, [](std::istream*) {}),
//                                      "standard input", &error);
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <istream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/camera/frame_source.h"
#include "sim/scene/y4m.h"

namespace qk::session {

// The largest picture side taken from a pipe: the camera's own largest
// picture is 1600x1200, and four such frames queued stay near 100 MB.
inline constexpr int kPipeMaxSide = 4096;

class Y4mPipeSource : public sim::FrameSource {
public:
    // Reads the header and the first frame; null with a message (naming
    // `name`) for a stream that is not 4:2:0 Y4M, too large, or without frames.
    static std::shared_ptr<Y4mPipeSource> Open(std::shared_ptr<std::istream> in, std::string name,
                                               std::string* error, int maxSide = kPipeMaxSide,
                                               size_t framesAhead = 4);
    ~Y4mPipeSource() override;
    Y4mPipeSource(const Y4mPipeSource&) = delete;
    Y4mPipeSource& operator=(const Y4mPipeSource&) = delete;

    void Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) override;
    std::string Describe() const override;

    const sim::Y4mFormat& Format() const { return format_; }
    // The stream ended (at its end, or at a frame it could not read).
    bool Ended() const;
    // A picture was asked for after the last frame had been shown: everything
    // the stream held has been filmed.
    bool FilmedToTheEnd() const;
    // Why the stream ended early ("truncated frame"); empty for a clean end.
    std::string Error() const;
    uint64_t FramesRead() const;

private:
    struct Frame {
        uint64_t index;
        std::vector<uint8_t> i420;
    };
    // Shared with the reader thread, which may outlive the source while it
    // waits for bytes that a pipe has not sent yet.
    struct Shared {
        std::shared_ptr<std::istream> in;
        sim::Y4mReader reader;
        std::mutex lock;  // guards everything below
        std::condition_variable changed;
        std::deque<Frame> frames;  // read, not yet passed by the camera; never empty
        uint64_t read = 0;
        bool ended = false;
        bool stop = false;
        bool reading = false;  // the reader thread is inside a read
        std::string error;
        explicit Shared(std::shared_ptr<std::istream> stream) : in(std::move(stream)), reader(*in) {}
    };
    Y4mPipeSource(std::shared_ptr<Shared> shared, std::string name, size_t framesAhead);
    static void ReadAhead(std::shared_ptr<Shared> shared, size_t framesAhead);

    std::shared_ptr<Shared> shared_;
    std::string name_;
    sim::Y4mFormat format_;
    std::thread thread_;
    // Camera time, guarded by shared_->lock.
    bool started_ = false;
    int64_t origin_ = 0;      // camera time of frame 0
    int64_t lastTime_ = 0;
    uint64_t shown_ = 0;      // index of the frame shown last
    bool pastEnd_ = false;
};

}  // namespace qk::session
