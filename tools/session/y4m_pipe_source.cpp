#include "tools/session/y4m_pipe_source.h"

#include <algorithm>

namespace qk::session {
namespace {

constexpr int64_t kSecond = 10'000'000;  // camera time is in 100 ns

uint8_t Clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// The frame at `index` on a clock that starts at 0, for a rate of num/den.
int64_t FrameStart(uint64_t index, const sim::Y4mFormat& f) {
    return static_cast<int64_t>(static_cast<long double>(index) * f.rateDenominator * kSecond / f.rateNumerator);
}

uint64_t FrameAt(int64_t time, const sim::Y4mFormat& f) {
    if (time <= 0) return 0;
    return static_cast<uint64_t>(static_cast<long double>(time) * f.rateNumerator / (static_cast<long double>(kSecond) * f.rateDenominator));
}

// Nearest-neighbour sampling of an I420 picture into RGB (R, G, B) of another
// size, with the BT.601 limited-range factors of uncompressed video (8.8 fixed point).
void I420ToRgbScaled(const std::vector<uint8_t>& i420, const sim::Y4mFormat& f, int width, int height,
                     std::vector<uint8_t>& rgb) {
    rgb.resize(size_t(width) * height * 3);
    const size_t luma = size_t(f.width) * f.height;
    const uint8_t* yPlane = i420.data();
    const uint8_t* uPlane = yPlane + luma;
    const uint8_t* vPlane = uPlane + luma / 4;
    for (int y = 0; y < height; ++y) {
        const int sy = static_cast<int>(int64_t{y} * f.height / height);
        uint8_t* out = rgb.data() + size_t(y) * width * 3;
        for (int x = 0; x < width; ++x, out += 3) {
            const int sx = static_cast<int>(int64_t{x} * f.width / width);
            const int c = 298 * (yPlane[size_t(sy) * f.width + sx] - 16);
            const size_t at = size_t(sy / 2) * (f.width / 2) + sx / 2;
            const int d = uPlane[at] - 128, e = vPlane[at] - 128;
            out[0] = Clamp((c + 409 * e + 128) >> 8);
            out[1] = Clamp((c - 100 * d - 208 * e + 128) >> 8);
            out[2] = Clamp((c + 516 * d + 128) >> 8);
        }
    }
}

}  // namespace

std::shared_ptr<Y4mPipeSource> Y4mPipeSource::Open(std::shared_ptr<std::istream> in, std::string name,
                                                   std::string* error, int maxSide, size_t framesAhead) {
    auto shared = std::make_shared<Shared>(std::move(in));
    if (!shared->reader.Open()) {
        *error = name + ": " + shared->reader.error() + " (a YUV4MPEG2 stream of 4:2:0 pictures is wanted, such as "
                 "ffmpeg writes with -f yuv4mpegpipe -pix_fmt yuv420p)";
        return nullptr;
    }
    const sim::Y4mFormat& f = shared->reader.format();
    if (f.width > maxSide || f.height > maxSide) {
        *error = name + ": pictures of " + std::to_string(f.width) + "x" + std::to_string(f.height) +
                 " are larger than the camera films from a stream (at most " + std::to_string(maxSide) + " a side)";
        return nullptr;
    }
    std::vector<uint8_t> first;
    if (!shared->reader.Next(first)) {
        *error = name + ": " + (shared->reader.error().empty() ? std::string("the stream has no frames")
                                                               : shared->reader.error() + " in the first frame");
        return nullptr;
    }
    shared->frames.push_back({0, std::move(first)});
    shared->read = 1;
    return std::shared_ptr<Y4mPipeSource>(new Y4mPipeSource(std::move(shared), std::move(name), std::max<size_t>(1, framesAhead)));
}

Y4mPipeSource::Y4mPipeSource(std::shared_ptr<Shared> shared, std::string name, size_t framesAhead)
    : shared_(std::move(shared)), name_(std::move(name)), format_(shared_->reader.format()) {
    thread_ = std::thread(ReadAhead, shared_, framesAhead);
}

Y4mPipeSource::~Y4mPipeSource() {
    bool reading;
    {
        std::lock_guard guard(shared_->lock);
        shared_->stop = true;
        reading = shared_->reading;
    }
    shared_->changed.notify_all();
    // A thread inside a read waits for a pipe that may never write again; it
    // keeps what it uses alive and ends on its own when the read returns.
    if (reading) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void Y4mPipeSource::ReadAhead(std::shared_ptr<Shared> shared, size_t framesAhead) {
    std::vector<uint8_t> frame;
    for (;;) {
        {
            std::unique_lock held(shared->lock);
            shared->changed.wait(held, [&] { return shared->stop || shared->frames.size() <= framesAhead; });
            if (shared->stop) return;
            shared->reading = true;
        }
        const bool ok = shared->reader.Next(frame);
        {
            std::lock_guard guard(shared->lock);
            shared->reading = false;
            if (ok) {
                shared->frames.push_back({shared->read++, std::move(frame)});
                frame = {};
            } else {
                shared->ended = true;
                shared->error = shared->reader.error();
            }
        }
        shared->changed.notify_all();
        if (!ok) return;
    }
}

void Y4mPipeSource::Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) {
    std::unique_lock held(shared_->lock);
    if (!started_) {
        started_ = true;
        origin_ = time;
    } else if (time < lastTime_) {
        // A camera plugged in again counts its time from 0: the stream goes on
        // from the frame after the one shown last.
        origin_ = time - FrameStart(shown_ + 1, format_);
    }
    lastTime_ = time;
    // A picture taken just before a frame's start shows that frame: cameras
    // at "30 fps" take one every 333 333 x 100 ns, a hair before 1/30 s.
    constexpr int64_t kEarly = 10'000;  // 1 ms
    const uint64_t wanted = FrameAt(time - origin_ + kEarly, format_);
    std::deque<Frame>& frames = shared_->frames;
    bool dropped = false;
    // Frames the camera's rate passes over go; the newest stays when the
    // stream is late, and the last one after it ended.
    while (frames.size() > 1 && frames[1].index <= wanted) {
        frames.pop_front();
        dropped = true;
    }
    if (shared_->ended && frames.size() == 1 && wanted > frames.front().index) pastEnd_ = true;
    shown_ = frames.front().index;
    I420ToRgbScaled(frames.front().i420, format_, width, height, rgb);
    held.unlock();
    if (dropped) shared_->changed.notify_all();
}

std::string Y4mPipeSource::Describe() const {
    return "Y4M stream on " + name_ + " (" + std::to_string(format_.width) + "x" + std::to_string(format_.height) +
           " at " + std::to_string(format_.rateNumerator) +
           (format_.rateDenominator == 1 ? "" : "/" + std::to_string(format_.rateDenominator)) + " fps)";
}

bool Y4mPipeSource::Ended() const {
    std::lock_guard guard(shared_->lock);
    return shared_->ended;
}

bool Y4mPipeSource::FilmedToTheEnd() const {
    std::lock_guard guard(shared_->lock);
    return pastEnd_;
}

std::string Y4mPipeSource::Error() const {
    std::lock_guard guard(shared_->lock);
    return shared_->error;
}

uint64_t Y4mPipeSource::FramesRead() const {
    std::lock_guard guard(shared_->lock);
    return shared_->read;
}

}  // namespace qk::session
