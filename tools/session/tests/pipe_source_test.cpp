// The Y4M stream the camera films from a pipe: refusals of what is not a
// 4:2:0 stream (before anything is allocated for it), frames following the
// stream's rate on the camera's clock, late input, the end of the stream,
// a camera plugged in again, and a source let go while its reader waits on
// a pipe nobody writes to.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "tools/session/y4m_pipe_source.h"

namespace qk::session {
namespace {

constexpr int64_t kSecond = 10'000'000;
constexpr int kWidth = 16, kHeight = 8;

// Frame k is grey with luma 16 + 7k: its number is in every pixel.
std::string Frame(int k) {
    return "FRAME\n" + std::string(kWidth * kHeight, static_cast<char>(16 + 7 * k)) +
           std::string(kWidth * kHeight / 2, static_cast<char>(128));
}

std::string Stream(int frames, const char* rate = "F30:1") {
    std::string s = std::string("YUV4MPEG2 W16 H8 ") + rate + " C420jpeg\n";
    for (int k = 0; k < frames; ++k) s += Frame(k);
    return s;
}

std::shared_ptr<std::istream> Bytes(const std::string& s) { return std::make_shared<std::istringstream>(s); }

// Which frame a rendered picture shows, from its grey level.
int FrameShown(const std::vector<uint8_t>& rgb) {
    const int grey = rgb[0];
    for (int k = 0; k < 34; ++k) {
        if (std::abs(((298 * 7 * k + 128) >> 8) - grey) <= 1) return k;
    }
    return -1;
}

// Waits (a little) for the reader thread to have read `frames`.
bool WaitRead(const Y4mPipeSource& source, uint64_t frames) {
    for (int i = 0; i < 2000 && source.FramesRead() < frames && !source.Ended(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return source.FramesRead() >= frames;
}

TEST(PipeSourceTest, WhatIsNotA420StreamIsRefusedSayingWhy) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* says;
    };
    const Case cases[] = {
        {"text", "hello world\n", "not a YUV4MPEG2 file"},
        {"nothing", "", "no YUV4MPEG2 header"},
        {"no line end", "YUV4MPEG2 W16 H8", "no YUV4MPEG2 header"},
        {"4:4:4", "YUV4MPEG2 W16 H8 C444\n" + Frame(0), "colour space '444' is not 4:2:0"},
        {"odd width", "YUV4MPEG2 W15 H8\n", "not supported"},
        {"beyond the format", "YUV4MPEG2 W999999999 H8\n", "not supported"},
        // Within the format, beyond what the camera films: refused before a byte of it is read.
        {"huge", "YUV4MPEG2 W16384 H16384\nFRAME\n", "larger than the camera films from a stream (at most 4096"},
        {"no frames", "YUV4MPEG2 W16 H8\n", "the stream has no frames"},
        {"truncated first frame", "YUV4MPEG2 W16 H8\nFRAME\n" + std::string(100, 'x'), "truncated frame in the first frame"},
        {"no FRAME", "YUV4MPEG2 W16 H8\nFRAMX\n" + std::string(192, 'x'), "expected FRAME in the first frame"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_EQ(Y4mPipeSource::Open(Bytes(c.bytes), "the pipe", &error), nullptr);
        EXPECT_EQ(error.rfind("the pipe: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

TEST(PipeSourceTest, FramesFollowTheStreamsRateFromTheFirstPicture) {
    struct Case {
        const char* rate;
        int64_t cameraInterval;  // 100 ns between the camera's pictures
        std::vector<int> shown;
    };
    const Case cases[] = {
        {"F30:1", kSecond / 30, {0, 1, 2, 3, 4, 5, 6, 7}},
        // A camera at half the stream's rate passes every other frame over.
        {"F30:1", kSecond / 15, {0, 2, 4, 6, 8, 10, 12, 14}},
        // A slower stream shows each of its frames twice.
        {"F15:1", kSecond / 30, {0, 0, 1, 1, 2, 2, 3, 3}},
        {"F30000:1001", kSecond * 1001 / 30000, {0, 1, 2, 3, 4, 5, 6, 7}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.rate) + " every " + std::to_string(c.cameraInterval));
        std::string error;
        auto source = Y4mPipeSource::Open(Bytes(Stream(30, c.rate)), "the pipe", &error);
        ASSERT_NE(source, nullptr) << error;
        std::vector<uint8_t> rgb;
        const int64_t start = 7 * kSecond + 1234;  // the camera's clock runs from its plug, not from the stream
        for (size_t i = 0; i < c.shown.size(); ++i) {
            ASSERT_TRUE(WaitRead(*source, static_cast<uint64_t>(c.shown[i]) + 1));
            // A little after the picture's time, as the camera takes pictures on its own clock.
            source->Render(start + static_cast<int64_t>(i) * c.cameraInterval + 1000, 24, 12, rgb);
            ASSERT_EQ(rgb.size(), 24u * 12 * 3);
            EXPECT_EQ(FrameShown(rgb), c.shown[i]) << i;
        }
        EXPECT_FALSE(source->FilmedToTheEnd());
    }
}

TEST(PipeSourceTest, TheEndIsFilmedAndTheLastFrameStays) {
    std::string error;
    auto source = Y4mPipeSource::Open(Bytes(Stream(3)), "the pipe", &error);
    ASSERT_NE(source, nullptr) << error;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(WaitRead(*source, 3));
    for (int i = 0; i < 3; ++i) {
        source->Render(i * kSecond / 30 + 1000, kWidth, kHeight, rgb);
        EXPECT_EQ(FrameShown(rgb), i);
        EXPECT_FALSE(source->FilmedToTheEnd());
    }
    // The reader has the three frames before it meets the pipe's end: wait for the end too.
    for (int i = 0; i < 2000 && !source->Ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    source->Render(3 * kSecond / 30 + 1000, kWidth, kHeight, rgb);
    EXPECT_EQ(FrameShown(rgb), 2);
    EXPECT_TRUE(source->Ended());
    EXPECT_TRUE(source->FilmedToTheEnd());
    EXPECT_EQ(source->Error(), "");
    EXPECT_EQ(source->FramesRead(), 3u);
    // A camera plugged in again counts from 0; the stream goes on from where it was.
    source->Render(500, kWidth, kHeight, rgb);
    EXPECT_EQ(FrameShown(rgb), 2);
}

TEST(PipeSourceTest, ACameraPluggedInAgainGoesOnWithTheNextFrame) {
    std::string error;
    auto source = Y4mPipeSource::Open(Bytes(Stream(30)), "the pipe", &error);
    ASSERT_NE(source, nullptr) << error;
    std::vector<uint8_t> rgb;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(WaitRead(*source, static_cast<uint64_t>(i) + 1));
        source->Render(3 * kSecond + i * kSecond / 30 + 1000, kWidth, kHeight, rgb);
    }
    EXPECT_EQ(FrameShown(rgb), 3);
    ASSERT_TRUE(WaitRead(*source, 6));
    source->Render(2 * kSecond, kWidth, kHeight, rgb);  // the new camera's first picture
    EXPECT_EQ(FrameShown(rgb), 4);
    source->Render(2 * kSecond + kSecond / 30, kWidth, kHeight, rgb);
    EXPECT_EQ(FrameShown(rgb), 5);
}

TEST(PipeSourceTest, ATruncatedStreamEndsWithItsReason) {
    std::string bytes = Stream(4);
    bytes.resize(bytes.size() - 10);
    std::string error;
    auto source = Y4mPipeSource::Open(Bytes(bytes), "the pipe", &error);
    ASSERT_NE(source, nullptr) << error;
    for (int i = 0; i < 200 && !source->Ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(source->Ended());
    EXPECT_EQ(source->Error(), "truncated frame");
    EXPECT_EQ(source->FramesRead(), 3u);
}

// An input stream over a file descriptor (the read end of a pipe), which it closes.
class DescriptorInput : public std::streambuf {
public:
    explicit DescriptorInput(int descriptor) : descriptor_(descriptor) {}
    ~DescriptorInput() override { ::close(descriptor_); }

protected:
    int_type underflow() override {
        ssize_t n = ::read(descriptor_, buffer_, sizeof buffer_);
        if (n <= 0) return traits_type::eof();
        setg(buffer_, buffer_, buffer_ + n);
        return traits_type::to_int_type(buffer_[0]);
    }

private:
    int descriptor_;
    char buffer_[4096];
};

struct PipeInput : std::istream {
    explicit PipeInput(int descriptor) : std::istream(nullptr), input(descriptor) { rdbuf(&input); }
    DescriptorInput input;
};

TEST(PipeSourceTest, LateInputShowsTheNewestFrameAndASilentPipeNeverHoldsTheSourceUp) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    auto write = [&](const std::string& s) { ASSERT_EQ(::write(ends[1], s.data(), s.size()), static_cast<ssize_t>(s.size())); };
    std::string stream = Stream(3);
    const size_t frameBytes = Frame(0).size();
    const size_t headerBytes = stream.size() - 3 * frameBytes;
    write(stream.substr(0, headerBytes + frameBytes));
    std::string error;
    auto source = Y4mPipeSource::Open(std::make_shared<PipeInput>(ends[0]), "the pipe", &error);
    ASSERT_NE(source, nullptr) << error;
    std::vector<uint8_t> rgb;
    // A second in, and only frame 0 has come: it is shown, and nothing waits.
    source->Render(0, kWidth, kHeight, rgb);
    source->Render(kSecond, kWidth, kHeight, rgb);
    EXPECT_EQ(FrameShown(rgb), 0);
    EXPECT_FALSE(source->Ended());
    write(stream.substr(headerBytes + frameBytes, 2 * frameBytes));
    ASSERT_TRUE(WaitRead(*source, 3));
    source->Render(kSecond + kSecond / 30, kWidth, kHeight, rgb);
    EXPECT_EQ(FrameShown(rgb), 2);
    EXPECT_FALSE(source->FilmedToTheEnd());  // the pipe is still open: more may come
    // The reader now waits inside a read; letting the source go must not wait with it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto before = std::chrono::steady_clock::now();
    source.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
    ::close(ends[1]);  // the reader's read returns, and its thread ends on its own
}

}  // namespace
}  // namespace qk::session
