// K0340Vfw as an old Video-for-Windows application drives it: opened through
// the multimedia runtime by its "msvideo" entry, formats set and read with
// DVM_FORMAT, frames streamed into the client's buffers, and the faults
// (a second client, hostile parameters, an unplugged camera).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "capture/formats.h"
#include "platform/olepro/olepro.h"
#include "platform/dshow/tests/dshow_fixture.h"
#include "platform/nt/pnp.h"
#include "vfw.h"
#include "vfw/builtin.h"
#include "vfw/k0340vfw.h"
#include "vfw/tests/frame_steps.h"
#include "sim/camera/frame_source.h"

#include <filesystem>
#include <thread>

extern "C" HRESULT DllRegisterServer();
extern "C" HRESULT DllUnregisterServer();

namespace {

using k0340::testing::PatternSource;

// What the driver calls back with, as the client sees it.
struct Calls {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<LPVIDEOHDR> done;
    int opens = 0, closes = 0, errors = 0;
    DWORD lastSkipped = 0;
};
Calls* g_calls = nullptr;

void ClientCallback(HDRVR, UINT message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR) {
    Calls* c = g_calls;
    {
        std::lock_guard guard(c->lock);
        switch (message) {
            case MM_DRVM_OPEN: ++c->opens; break;
            case MM_DRVM_CLOSE: ++c->closes; break;
            case MM_DRVM_ERROR:
                ++c->errors;
                c->lastSkipped = static_cast<DWORD>(p1);
                break;
            case MM_DRVM_DATA: c->done.push_back(reinterpret_cast<LPVIDEOHDR>(p1)); break;
            default: break;
        }
    }
    c->changed.notify_all();
}

class VfwDriverTest : public qk::dshow::testing::DshowTest {
protected:
    void SetUp() override {
        DshowTest::SetUp();
        k0340vfw::RegisterBuiltin();  // the installation names it in the driver list
        g_calls = &calls_;
    }
    void TearDown() override {
        for (HDRVR h : open_) CloseDriver(h, 0, 0);
        open_.clear();
        EXPECT_EQ(k0340vfw::LiveObjectCount(), 0) << "the driver left COM objects alive";
        g_calls = nullptr;
        DshowTest::TearDown();
    }
    // Opens a channel; null with the driver's error in *error.
    HDRVR OpenChannel(DWORD channel, DWORD* error = nullptr) {
        VIDEO_OPEN_PARMS parms{};
        parms.dwSize = sizeof parms;
        parms.fccType = 'v' | ('c' << 8) | ('a' << 16) | ('p' << 24);
        parms.dwFlags = channel;
        parms.dwError = 0xDEAD;
        HDRVR h = OpenDriver(u"msvideo", nullptr, reinterpret_cast<LPARAM>(&parms));
        if (error != nullptr) *error = parms.dwError;
        if (h != nullptr) open_.push_back(h);
        return h;
    }
    void CloseChannel(HDRVR h) {
        CloseDriver(h, 0, 0);
        open_.erase(std::remove(open_.begin(), open_.end(), h), open_.end());
    }
    static LRESULT Send(HDRVR h, UINT message, const void* p1, const void* p2) {
        return SendDriverMessage(h, message, reinterpret_cast<LPARAM>(p1), reinterpret_cast<LPARAM>(p2));
    }
    static LRESULT SetFormat(HDRVR h, const BITMAPINFOHEADER& header) {
        VIDEOCONFIGPARMS parms{};
        parms.lpData1 = const_cast<BITMAPINFOHEADER*>(&header);
        parms.dwSize1 = sizeof header;
        return SendDriverMessage(h, DVM_FORMAT, VIDEOCONFIGURE_SET, reinterpret_cast<LPARAM>(&parms));
    }
    static LRESULT GetFormat(HDRVR h, BITMAPINFOHEADER* header) {
        VIDEOCONFIGPARMS parms{};
        parms.lpData1 = header;
        parms.dwSize1 = sizeof *header;
        return SendDriverMessage(h, DVM_FORMAT, VIDEOCONFIGURE_GET, reinterpret_cast<LPARAM>(&parms));
    }
    static BITMAPINFOHEADER Header(uint32_t formatIndex, LONG width, LONG height) {
        BITMAPINFOHEADER h{};
        h.biSize = sizeof h;
        h.biWidth = width;
        h.biHeight = height;
        h.biPlanes = 1;
        h.biBitCount = k0340::kSubFormats[formatIndex].biBitCount;
        h.biCompression = k0340::kSubFormats[formatIndex].biCompression;
        h.biSizeImage = static_cast<DWORD>(width * height * h.biBitCount / 8);
        return h;
    }

    // Streams `frames` frames into `count` buffers of `bytes`, giving each
    // buffer back as it comes; returns the last picture.
    std::vector<uint8_t> StreamFrames(HDRVR h, DWORD bytes, int frames, int count = 4) {
        buffers_.assign(count, std::vector<uint8_t>(bytes, 0x5A));
        headers_.assign(count, VIDEOHDR{});
        VIDEO_STREAM_INIT_PARMS init{};
        init.dwMicroSecPerFrame = 33333;
        init.dwCallback = reinterpret_cast<DWORD_PTR>(ClientCallback);
        init.dwFlags = CALLBACK_FUNCTION;
        init.hVideo = reinterpret_cast<DWORD_PTR>(h);
        EXPECT_EQ(Send(h, DVM_STREAM_INIT, &init, reinterpret_cast<void*>(sizeof init)), DV_ERR_OK);
        for (int i = 0; i < count; ++i) {
            headers_[i].lpData = buffers_[i].data();
            headers_[i].dwBufferLength = bytes;
            headers_[i].dwFlags = VHDR_PREPARED;
            EXPECT_EQ(Send(h, DVM_STREAM_ADDBUFFER, &headers_[i], reinterpret_cast<void*>(sizeof(VIDEOHDR))), DV_ERR_OK);
        }
        EXPECT_EQ(Send(h, DVM_STREAM_START, nullptr, nullptr), DV_ERR_OK);
        std::vector<uint8_t> last;
        for (int n = 0; n < frames; ++n) {
            LPVIDEOHDR done = nullptr;
            {
                std::unique_lock guard(calls_.lock);
                if (!calls_.changed.wait_for(guard, std::chrono::seconds(20), [&] { return !calls_.done.empty(); })) break;
                done = calls_.done.front();
                calls_.done.pop_front();
            }
            EXPECT_TRUE(done->dwFlags & VHDR_DONE);
            EXPECT_TRUE(done->dwFlags & VHDR_KEYFRAME);
            EXPECT_FALSE(done->dwFlags & VHDR_INQUEUE);
            last.assign(done->lpData, done->lpData + done->dwBytesUsed);
            EXPECT_EQ(Send(h, DVM_STREAM_ADDBUFFER, done, reinterpret_cast<void*>(sizeof(VIDEOHDR))), DV_ERR_OK);
        }
        EXPECT_EQ(Send(h, DVM_STREAM_STOP, nullptr, nullptr), DV_ERR_OK);
        EXPECT_EQ(Send(h, DVM_STREAM_RESET, nullptr, nullptr), DV_ERR_OK);
        EXPECT_EQ(Send(h, DVM_STREAM_FINI, nullptr, nullptr), DV_ERR_OK);
        std::lock_guard guard(calls_.lock);
        calls_.done.clear();
        return last;
    }

    Calls calls_;
    std::vector<HDRVR> open_;
    std::vector<std::vector<uint8_t>> buffers_;
    std::vector<VIDEOHDR> headers_;
};

double PictureQuality(const std::vector<uint8_t>& picture, uint32_t formatIndex, int width, int height) {
    k0340::testing::Sample sample{};
    sample.status = STATUS_SUCCESS;
    sample.header.DataUsed = static_cast<ULONG>(picture.size());
    sample.data = picture;
    auto expected = PatternSource::Expected(width, height);
    return k0340::testing::Psnr(expected, k0340::testing::AsTopDownBgr(sample, formatIndex, width, height).data(),
                                expected.size());
}

TEST_F(VfwDriverTest, EveryFormatOfBothVariantsStreamsThePictureTheCameraSees) {
    for (int variant : {2, 1}) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        qk::sim::CameraConfig config;
        config.variant = variant;
        int port = PlugCamera(config);
        FilterLink();
        HDRVR h = OpenChannel(VIDEO_IN);  // 4: the channel that streams
        ASSERT_NE(h, nullptr);
        k0340::FormatTable table = k0340::FormatTableForVariant(variant);
        for (uint32_t i = 0; i < table.count; ++i) {
            const auto& r = table.records[i];
            if (r.formatIndex == k0340::kFormatMjpg) continue;
            const int w = static_cast<int>(r.width), ht = static_cast<int>(r.height);
            SCOPED_TRACE(::testing::Message() << "format " << r.formatIndex << " " << w << "x" << ht);
            BITMAPINFOHEADER wanted = Header(r.formatIndex, w, ht);
            ASSERT_EQ(SetFormat(h, wanted), DV_ERR_OK);
            BITMAPINFOHEADER now{};
            ASSERT_EQ(GetFormat(h, &now), DV_ERR_OK);
            EXPECT_EQ(now.biWidth, w);
            EXPECT_EQ(now.biHeight, ht);
            EXPECT_EQ(now.biCompression, wanted.biCompression);
            ASSERT_GT(now.biSizeImage, 0u);
            auto picture = StreamFrames(h, now.biSizeImage, 3);
            ASSERT_EQ(picture.size(), now.biSizeImage);
            EXPECT_GT(PictureQuality(picture, r.formatIndex, w, ht), 26.0);
        }
        CloseChannel(h);
        Unplug(port);
        qk::nt::pnp::WaitIdle();
    }
}

TEST_F(VfwDriverTest, TheFormatIsFoundAgainAfterARestart) {
    PlugCamera();
    FilterLink();
    HDRVR h = OpenChannel(VIDEO_IN);
    ASSERT_NE(h, nullptr);
    BITMAPINFOHEADER wanted = Header(k0340::kFormatRgb24, 320, 240);
    ASSERT_EQ(SetFormat(h, wanted), DV_ERR_OK);
    CloseChannel(h);  // the last close frees the driver, which saves the format
    RestartMachine();
    BootPlatform();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(qk::dshow::InstallSystemServers(), S_OK);
    PlugCamera();
    FilterLink();
    h = OpenChannel(VIDEO_IN);
    ASSERT_NE(h, nullptr);
    BITMAPINFOHEADER now{};
    ASSERT_EQ(GetFormat(h, &now), DV_ERR_OK);
    EXPECT_EQ(now.biWidth, 320);
    EXPECT_EQ(now.biHeight, 240);
    EXPECT_EQ(now.biCompression, static_cast<DWORD>(KS_BI_RGB));
    EXPECT_EQ(now.biBitCount, 24);
    auto picture = StreamFrames(h, now.biSizeImage, 2);
    EXPECT_GT(PictureQuality(picture, k0340::kFormatRgb24, 320, 240), 26.0);
}

TEST_F(VfwDriverTest, ChannelsAreOneClientEach) {
    DWORD error = 0;
    EXPECT_EQ(OpenChannel(VIDEO_IN, &error), nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(DV_ERR_NOTDETECTED)) << "no camera yet";
    PlugCamera();
    FilterLink();
    ASSERT_NE(OpenChannel(VIDEO_IN, &error), nullptr);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(OpenChannel(VIDEO_IN, &error), nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(DV_ERR_ALLOCATED)) << "a second client";
    EXPECT_EQ(OpenChannel(VIDEO_OUT, &error), nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(DV_ERR_ALLOCATED)) << "the other output channel number";
    EXPECT_NE(OpenChannel(VIDEO_EXTERNALIN, &error), nullptr);
    EXPECT_NE(OpenChannel(VIDEO_EXTERNALOUT, &error), nullptr);
    EXPECT_EQ(OpenChannel(0x3, &error), nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(DV_ERR_ALLOCATED));
}

TEST_F(VfwDriverTest, MessagesRefuseWhatTheyCannotDo) {
    PlugCamera();
    FilterLink();
    HDRVR stream = OpenChannel(VIDEO_IN);
    HDRVR format = OpenChannel(VIDEO_EXTERNALIN);
    HDRVR out = OpenChannel(VIDEO_EXTERNALOUT);
    ASSERT_NE(stream, nullptr);
    ASSERT_NE(format, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Send(stream, DVM_PALETTE, nullptr, nullptr), DV_ERR_NOTSUPPORTED);
    EXPECT_EQ(Send(stream, 0x7777, nullptr, nullptr), 1);

    DWORD size = 0;
    VIDEOCONFIGPARMS query{&size, nullptr, 0, nullptr, 0};
    EXPECT_EQ(SendDriverMessage(stream, DVM_FORMAT, VIDEOCONFIGURE_QUERYSIZE, reinterpret_cast<LPARAM>(&query)), DV_ERR_OK);
    EXPECT_EQ(size, 40u);
    EXPECT_EQ(SendDriverMessage(stream, DVM_FORMAT, VIDEOCONFIGURE_QUERY | VIDEOCONFIGURE_SET, reinterpret_cast<LPARAM>(&query)),
              DV_ERR_OK);
    EXPECT_EQ(SendDriverMessage(stream, DVM_FORMAT, VIDEOCONFIGURE_NOMINAL, reinterpret_cast<LPARAM>(&query)),
              DV_ERR_NOTSUPPORTED);
    BITMAPINFOHEADER header = Header(k0340::kFormatYuy2, 640, 480);
    VIDEOCONFIGPARMS shortSet{nullptr, &header, 39, nullptr, 0};
    EXPECT_EQ(SendDriverMessage(stream, DVM_FORMAT, VIDEOCONFIGURE_SET, reinterpret_cast<LPARAM>(&shortSet)),
              DV_ERR_SIZEFIELD);
    BITMAPINFOHEADER wrong = header;
    wrong.biSize = 44;
    EXPECT_EQ(SetFormat(stream, wrong), DV_ERR_PARAM2);
    wrong = header;
    wrong.biPlanes = 2;
    EXPECT_EQ(SetFormat(stream, wrong), DV_ERR_BADFORMAT);
    EXPECT_EQ(SendDriverMessage(stream, DVM_FORMAT, VIDEOCONFIGURE_GET, 0), DV_ERR_PARAM2);

    // Rectangles per channel.
    RECT r{10, 0, 320, 240};
    EXPECT_EQ(Send(format, DVM_DST_RECT, &r, reinterpret_cast<void*>(VIDEOCONFIGURE_SET)), DV_ERR_NOTSUPPORTED);
    r = {0, 0, 320, 240};
    EXPECT_EQ(Send(format, DVM_DST_RECT, &r, reinterpret_cast<void*>(VIDEOCONFIGURE_SET)), DV_ERR_OK);
    RECT back{};
    EXPECT_EQ(Send(format, DVM_DST_RECT, &back, reinterpret_cast<void*>(VIDEOCONFIGURE_GET | VIDEOCONFIGURE_CURRENT)),
              DV_ERR_OK);
    EXPECT_EQ(back.right, 320);
    EXPECT_EQ(Send(format, DVM_DST_RECT, &back, reinterpret_cast<void*>(VIDEOCONFIGURE_GET | VIDEOCONFIGURE_MAX)),
              DV_ERR_OK);
    EXPECT_EQ(back.right, 640);
    EXPECT_EQ(back.bottom, 480);
    EXPECT_EQ(Send(format, DVM_SRC_RECT, &r, reinterpret_cast<void*>(VIDEOCONFIGURE_SET)), DV_ERR_NOTSUPPORTED);
    EXPECT_EQ(Send(format, DVM_DST_RECT, nullptr, reinterpret_cast<void*>(VIDEOCONFIGURE_SET)), DV_ERR_PARAM1);
    // The default format is 640x480: a 320x240 source is not it.
    EXPECT_EQ(Send(stream, DVM_SRC_RECT, &r, reinterpret_cast<void*>(VIDEOCONFIGURE_SET)), DV_ERR_NOTSUPPORTED);
    RECT whole{0, 0, 640, 480};
    EXPECT_EQ(Send(stream, DVM_SRC_RECT, &whole, reinterpret_cast<void*>(VIDEOCONFIGURE_SET)), DV_ERR_OK);
    EXPECT_EQ(Send(out, DVM_SRC_RECT, &r, reinterpret_cast<void*>(VIDEOCONFIGURE_SET | VIDEOCONFIGURE_CURRENT)),
              DV_ERR_OK);
    EXPECT_EQ(Send(out, DVM_SRC_RECT, &r, reinterpret_cast<void*>(VIDEOCONFIGURE_GET)), DV_ERR_NOTSUPPORTED);

    // Dialogs: the query answers whether the channel has one.
    EXPECT_EQ(Send(format, DVM_DIALOG, nullptr, reinterpret_cast<void*>(VIDEO_DLG_QUERY)), DV_ERR_OK);
    EXPECT_EQ(Send(stream, DVM_DIALOG, nullptr, reinterpret_cast<void*>(VIDEO_DLG_QUERY)), DV_ERR_OK);
    EXPECT_EQ(Send(out, DVM_DIALOG, nullptr, reinterpret_cast<void*>(VIDEO_DLG_QUERY)), DV_ERR_NOTSUPPORTED);
    EXPECT_EQ(Send(out, DVM_DIALOG, nullptr, nullptr), DV_ERR_OK);

    // Streaming belongs to one channel; the others take only init and fini.
    EXPECT_EQ(Send(format, DVM_STREAM_INIT, nullptr, nullptr), DV_ERR_OK);
    EXPECT_EQ(Send(format, DVM_STREAM_START, nullptr, nullptr), DV_ERR_NOTSUPPORTED);
    EXPECT_EQ(Send(stream, DVM_STREAM_START, nullptr, nullptr), 1) << "not initialised";
    VIDEO_STREAM_INIT_PARMS init{};
    init.dwCallback = reinterpret_cast<DWORD_PTR>(ClientCallback);
    init.dwFlags = CALLBACK_FUNCTION;
    ASSERT_EQ(Send(stream, DVM_STREAM_INIT, &init, nullptr), DV_ERR_OK);
    EXPECT_EQ(Send(stream, DVM_STREAM_INIT, &init, nullptr), 1) << "twice";
    std::vector<uint8_t> buffer(640 * 480 * 2);
    VIDEOHDR unprepared{buffer.data(), static_cast<DWORD>(buffer.size()), 0, 0, 0, 0, {}};
    EXPECT_EQ(Send(stream, DVM_STREAM_ADDBUFFER, &unprepared, nullptr), DV_ERR_UNPREPARED);
    VIDEOHDR small{buffer.data(), 100, 0, 0, 0, VHDR_PREPARED, {}};
    EXPECT_EQ(Send(stream, DVM_STREAM_ADDBUFFER, &small, nullptr), 1);
    VIDEOHDR queued{buffer.data(), static_cast<DWORD>(buffer.size()), 0, 0, 0, VHDR_PREPARED, {}};
    ASSERT_EQ(Send(stream, DVM_STREAM_ADDBUFFER, &queued, nullptr), DV_ERR_OK);
    EXPECT_EQ(Send(stream, DVM_STREAM_ADDBUFFER, &queued, nullptr), 1) << "already queued";
    EXPECT_EQ(Send(stream, DVM_STREAM_FINI, nullptr, nullptr), DV_ERR_STILLPLAYING);
    MMTIME time{};
    EXPECT_EQ(Send(stream, DVM_STREAM_GETPOSITION, &time, reinterpret_cast<void*>(8)), DV_ERR_NOTSUPPORTED);
    EXPECT_EQ(Send(stream, DVM_STREAM_GETPOSITION, &time, reinterpret_cast<void*>(sizeof time)), DV_ERR_OK);
    EXPECT_EQ(time.wType, static_cast<UINT>(TIME_MS));
    EXPECT_EQ(Send(stream, DVM_STREAM_PREPAREHEADER, &queued, nullptr), DV_ERR_NOTSUPPORTED);
    EXPECT_EQ(Send(stream, DVM_STREAM_RESET, nullptr, nullptr), DV_ERR_OK);
    EXPECT_TRUE(queued.dwFlags & VHDR_DONE);
    EXPECT_FALSE(queued.dwFlags & VHDR_INQUEUE);
    EXPECT_EQ(Send(stream, DVM_STREAM_FINI, nullptr, nullptr), DV_ERR_OK);
    std::lock_guard guard(calls_.lock);
    EXPECT_EQ(calls_.opens, 1);
    EXPECT_EQ(calls_.closes, 1);
    EXPECT_EQ(calls_.done.size(), 1u);  // the reset gave the buffer back
    calls_.done.clear();
}

TEST_F(VfwDriverTest, FramesWithoutBuffersAreCountedAsSkipped) {
    PlugCamera();
    FilterLink();
    HDRVR h = OpenChannel(VIDEO_IN);
    ASSERT_NE(h, nullptr);
    VIDEO_STREAM_INIT_PARMS init{};
    init.dwCallback = reinterpret_cast<DWORD_PTR>(ClientCallback);
    init.dwFlags = CALLBACK_FUNCTION;
    ASSERT_EQ(Send(h, DVM_STREAM_INIT, &init, nullptr), DV_ERR_OK);
    ASSERT_EQ(Send(h, DVM_STREAM_START, nullptr, nullptr), DV_ERR_OK);
    {
        std::unique_lock guard(calls_.lock);
        ASSERT_TRUE(calls_.changed.wait_for(guard, std::chrono::seconds(20), [&] { return calls_.errors >= 3; }));
    }
    ASSERT_EQ(Send(h, DVM_STREAM_STOP, nullptr, nullptr), DV_ERR_OK);
    DWORD error = 0, count = 0;
    ASSERT_EQ(Send(h, DVM_STREAM_GETERROR, &error, &count), DV_ERR_OK);
    EXPECT_EQ(error, static_cast<DWORD>(DV_ERR_NO_BUFFERS));
    EXPECT_GE(count, 3u);
    ASSERT_EQ(Send(h, DVM_STREAM_GETERROR, &error, &count), DV_ERR_OK);
    EXPECT_EQ(error, static_cast<DWORD>(DV_ERR_OK));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Send(h, DVM_STREAM_FINI, nullptr, nullptr), DV_ERR_OK);
}

// A capture application gives each buffer back from its callback, on the
// driver's streaming thread, while the message thread only starts and stops.
struct Refiller {
    std::mutex lock;
    std::condition_variable changed;
    int frames = 0, errors = 0;
    std::atomic<bool> capturing{true};
    std::vector<uint8_t> last;
};
Refiller* g_refiller = nullptr;

void RefillingCallback(HDRVR, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR) {
    Refiller* r = g_refiller;
    if (message == MM_DRVM_ERROR) {
        std::lock_guard guard(r->lock);
        ++r->errors;
        return;
    }
    if (message != MM_DRVM_DATA || !r->capturing.load()) return;
    auto* header = reinterpret_cast<LPVIDEOHDR>(p1);
    {
        std::lock_guard guard(r->lock);
        r->last.assign(header->lpData, header->lpData + header->dwBytesUsed);
        ++r->frames;
    }
    r->changed.notify_all();
    EXPECT_EQ(SendDriverMessage(reinterpret_cast<HDRVR>(instance), DVM_STREAM_ADDBUFFER, static_cast<LPARAM>(p1),
                                sizeof(VIDEOHDR)),
              DV_ERR_OK);
}

TEST_F(VfwDriverTest, AClientGivingBuffersBackFromItsCallbackGetsEveryFrame) {
    PlugCamera();
    FilterLink();
    HDRVR h = OpenChannel(VIDEO_IN);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetFormat(h, Header(k0340::kFormatYuy2, 320, 240)), DV_ERR_OK);
    BITMAPINFOHEADER now{};
    ASSERT_EQ(GetFormat(h, &now), DV_ERR_OK);
    Refiller refiller;
    g_refiller = &refiller;
    // One buffer: it is in the queue again before the next frame is taken,
    // because the same thread gives it back and then takes the next frame.
    std::vector<uint8_t> buffer(now.biSizeImage, 0x5A);
    VIDEOHDR header{buffer.data(), now.biSizeImage, 0, 0, 0, VHDR_PREPARED, {}};
    VIDEO_STREAM_INIT_PARMS init{};
    init.dwCallback = reinterpret_cast<DWORD_PTR>(RefillingCallback);
    init.dwCallbackInst = reinterpret_cast<DWORD_PTR>(h);
    init.dwFlags = CALLBACK_FUNCTION;
    ASSERT_EQ(Send(h, DVM_STREAM_INIT, &init, nullptr), DV_ERR_OK);
    ASSERT_EQ(Send(h, DVM_STREAM_ADDBUFFER, &header, reinterpret_cast<void*>(sizeof header)), DV_ERR_OK);
    ASSERT_EQ(Send(h, DVM_STREAM_START, nullptr, nullptr), DV_ERR_OK);
    {
        std::unique_lock guard(refiller.lock);
        EXPECT_TRUE(refiller.changed.wait_for(guard, std::chrono::seconds(20), [&] { return refiller.frames >= 8; }));
    }
    refiller.capturing = false;
    ASSERT_EQ(Send(h, DVM_STREAM_STOP, nullptr, nullptr), DV_ERR_OK);
    DWORD error = 0, count = 0;
    ASSERT_EQ(Send(h, DVM_STREAM_GETERROR, &error, &count), DV_ERR_OK);
    EXPECT_EQ(error, static_cast<DWORD>(DV_ERR_OK));
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(Send(h, DVM_STREAM_RESET, nullptr, nullptr), DV_ERR_OK);
    EXPECT_FALSE(header.dwFlags & VHDR_INQUEUE);
    EXPECT_EQ(Send(h, DVM_STREAM_FINI, nullptr, nullptr), DV_ERR_OK);
    std::lock_guard guard(refiller.lock);
    EXPECT_EQ(refiller.errors, 0);
    ASSERT_EQ(refiller.last.size(), now.biSizeImage);
    EXPECT_GT(PictureQuality(refiller.last, k0340::kFormatYuy2, 320, 240), 26.0);
    g_refiller = nullptr;
}

TEST_F(VfwDriverTest, AnUnpluggedCameraGivesEveryQueuedBufferBack) {
    int port = PlugCamera();
    FilterLink();
    HDRVR h = OpenChannel(VIDEO_IN);
    ASSERT_NE(h, nullptr);
    constexpr int kBuffers = 6;
    const DWORD bytes = 640 * 480 * 2;
    buffers_.assign(kBuffers, std::vector<uint8_t>(bytes));
    headers_.assign(kBuffers, VIDEOHDR{});
    VIDEO_STREAM_INIT_PARMS init{};
    init.dwCallback = reinterpret_cast<DWORD_PTR>(ClientCallback);
    init.dwFlags = CALLBACK_FUNCTION;
    ASSERT_EQ(Send(h, DVM_STREAM_INIT, &init, nullptr), DV_ERR_OK);
    for (auto i = 0; i < kBuffers; ++i) {
        headers_[i] = VIDEOHDR{buffers_[i].data(), bytes, 0, 0, 0, VHDR_PREPARED, {}};
        ASSERT_EQ(Send(h, DVM_STREAM_ADDBUFFER, &headers_[i], nullptr), DV_ERR_OK);
    }
    ASSERT_EQ(Send(h, DVM_STREAM_START, nullptr, nullptr), DV_ERR_OK);
    {
        std::unique_lock guard(calls_.lock);
        ASSERT_TRUE(calls_.changed.wait_for(guard, std::chrono::seconds(20), [&] { return calls_.done.size() >= 2; }));
    }
    Unplug(port);
    EXPECT_EQ(Send(h, DVM_STREAM_STOP, nullptr, nullptr), DV_ERR_OK);
    EXPECT_EQ(Send(h, DVM_STREAM_RESET, nullptr, nullptr), DV_ERR_OK);
    // Every buffer came back exactly once, done and out of the queue.
    {
        std::lock_guard guard(calls_.lock);
        EXPECT_EQ(calls_.done.size(), static_cast<size_t>(kBuffers));
        for (auto& header : headers_) {
            EXPECT_EQ(std::count(calls_.done.begin(), calls_.done.end(), &header), 1);
            EXPECT_TRUE(header.dwFlags & VHDR_DONE);
            EXPECT_FALSE(header.dwFlags & VHDR_INQUEUE);
        }
        calls_.done.clear();
    }
    EXPECT_EQ(Send(h, DVM_STREAM_FINI, nullptr, nullptr), DV_ERR_OK);
}

// A photograph as the scene: what an application streams through the
// driver is the photograph, within what YUY2 and the camera's compression keep.
TEST_F(VfwDriverTest, APhotographComesThroughAsTheCameraSawIt) {
    const char* photo = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
    if (!std::filesystem::exists(photo)) GTEST_SKIP() << photo << " is not installed (scripts/deps.sh)";
    auto source = std::make_shared<qk::sim::StillImageSource>(photo);
    PlugCamera({}, source);
    FilterLink();
    HDRVR h = OpenChannel(VIDEO_IN);
    ASSERT_NE(h, nullptr);
    for (uint32_t format : {k0340::kFormatYuy2, k0340::kFormatRgb24}) {
        SCOPED_TRACE(format);
        ASSERT_EQ(SetFormat(h, Header(format, 320, 240)), DV_ERR_OK);
        BITMAPINFOHEADER now{};
        ASSERT_EQ(GetFormat(h, &now), DV_ERR_OK);
        auto picture = StreamFrames(h, now.biSizeImage, 3);
        ASSERT_EQ(picture.size(), now.biSizeImage);
        std::vector<uint8_t> rgb;
        source->Render(0, 320, 240, rgb);
        std::vector<uint8_t> bgr(rgb.size());
        for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
            bgr[i] = rgb[i + 2];
            bgr[i + 1] = rgb[i + 1];
            bgr[i + 2] = rgb[i];
        }
        k0340::testing::Sample sample{};
        sample.status = STATUS_SUCCESS;
        sample.data = picture;
        double psnr = k0340::testing::Psnr(bgr, k0340::testing::AsTopDownBgr(sample, format, 320, 240).data(), bgr.size());
        EXPECT_GT(psnr, 24.0);
    }
}

// DVM_FRAME copies the newest frame while no client buffers stream.
TEST_F(VfwDriverTest, ASingleFrameIsTheNewestPicture) {
    PlugCamera();
    FilterLink();
    HDRVR h = OpenChannel(VIDEO_IN);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetFormat(h, Header(k0340::kFormatRgb24, 160, 120)), DV_ERR_OK);
    BITMAPINFOHEADER now{};
    ASSERT_EQ(GetFormat(h, &now), DV_ERR_OK);
    std::vector<uint8_t> buffer(now.biSizeImage, 0xEE);
    VIDEOHDR small{buffer.data(), now.biSizeImage - 1, 0, 0, 0, 0, {}};
    EXPECT_EQ(Send(h, DVM_FRAME, &small, nullptr), DV_ERR_SIZEFIELD);
    // The graph runs from the open on; frames keep coming.
    VIDEOHDR frame{buffer.data(), now.biSizeImage, now.biSizeImage, 0, 77, 0, {}};
    bool got = false;
    for (int attempt = 0; attempt < 100 && !got; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(Send(h, DVM_FRAME, &frame, nullptr), DV_ERR_OK);
        got = buffer[0] != 0xEE || buffer[now.biSizeImage / 2] != 0xEE;
    }
    ASSERT_TRUE(got) << "no frame was copied";
    EXPECT_EQ(frame.dwBytesUsed, now.biSizeImage);
    EXPECT_EQ(frame.dwUser, 0u);
    EXPECT_TRUE(frame.dwFlags & VHDR_KEYFRAME);
    EXPECT_GT(PictureQuality(buffer, k0340::kFormatRgb24, 160, 120), 26.0);
    HDRVR other = OpenChannel(VIDEO_EXTERNALIN);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(Send(other, DVM_FRAME, &frame, nullptr), DV_ERR_NOTSUPPORTED) << "frames come on the stream channel only";
}

// The two filters as a graph sees them.
TEST_F(VfwDriverTest, TheFiltersTakeWhatTheyShould) {
    IBaseFilter* renderer = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_VfwNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&renderer)),
              S_OK) << "the installation registers the class";
    IPin* in = nullptr;
    ASSERT_EQ(renderer->FindPin(u"In", &in), S_OK);
    AM_MEDIA_TYPE audio{};
    audio.majortype = KSDATAFORMAT_TYPE_AUDIO;
    AM_MEDIA_TYPE video{};
    video.majortype = MEDIATYPE_Video;
    video.subtype = MEDIASUBTYPE_YUY2;
    video.formattype = FORMAT_VideoInfo;
    EXPECT_EQ(in->QueryAccept(&audio), S_FALSE);
    EXPECT_EQ(in->QueryAccept(&video), S_OK);
    in->Release();
    renderer->Release();

    ISampleGrabberControl* grabber = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_VfwSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_ISampleGrabberControl,
                               reinterpret_cast<void**>(&grabber)),
              S_OK);
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(grabber->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    IPin* input = nullptr;
    ASSERT_EQ(filter->FindPin(u"Input", &input), S_OK);
    EXPECT_EQ(input->QueryAccept(&audio), S_OK) << "no accepted type: everything";
    AM_MEDIA_TYPE rgb = video;
    rgb.subtype = MEDIASUBTYPE_RGB24;
    ASSERT_EQ(grabber->SetAcceptedType(&rgb), S_OK);
    EXPECT_EQ(input->QueryAccept(&video), S_FALSE);
    EXPECT_EQ(input->QueryAccept(&rgb), S_OK);
    ASSERT_EQ(grabber->SetAcceptedType(nullptr), S_OK);
    EXPECT_EQ(input->QueryAccept(&video), S_OK);
    AM_MEDIA_TYPE connected{};
    EXPECT_EQ(grabber->GetConnectedType(&connected), VFW_E_NOT_CONNECTED);
    ALLOCATOR_PROPERTIES two{2, 100, 1, 0};
    uint8_t own[100];
    EXPECT_EQ(grabber->SetOwnBuffer(&two, own), E_INVALIDARG);
    ALLOCATOR_PROPERTIES one{1, 100, 1, 0};
    EXPECT_EQ(grabber->SetOwnBuffer(&one, nullptr), E_POINTER);
    input->Release();
    filter->Release();
    grabber->Release();
    CoFreeUnusedLibraries();
}

// What the grabber's callback saw: where each sample's memory was.
struct GrabbedSamples {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<BYTE*> pointers;
    std::vector<LONG> lengths;
};
GrabbedSamples* g_grabbed = nullptr;

HRESULT RecordSample(IMediaSample* sample, REFERENCE_TIME*, REFERENCE_TIME*, BOOL) {
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    {
        std::lock_guard guard(g_grabbed->lock);
        g_grabbed->pointers.push_back(data);
        g_grabbed->lengths.push_back(sample->GetActualDataLength());
    }
    g_grabbed->changed.notify_all();
    return S_OK;
}

TEST_F(VfwDriverTest, TheGrabbersOwnBufferIsWhereTheCameraWrites) {
    PlugCamera();
    FilterLink();
    IGraphBuilder* graph = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    IBaseFilter* camera = CameraFilter();
    ASSERT_NE(camera, nullptr);
    ISampleGrabberControl* grabber = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_VfwSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_ISampleGrabberControl,
                               reinterpret_cast<void**>(&grabber)),
              S_OK);
    IBaseFilter* grabberFilter = Query<IBaseFilter>(grabber, IID_IBaseFilter);
    IBaseFilter* renderer = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_VfwNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&renderer)),
              S_OK);
    ASSERT_EQ(graph->AddFilter(camera, u"CapSrc"), S_OK);
    ASSERT_EQ(graph->AddFilter(grabberFilter, nullptr), S_OK);
    ASSERT_EQ(graph->AddFilter(renderer, nullptr), S_OK);
    IPin* capture = OutputPin(camera);
    IPin *in = nullptr, *out = nullptr, *last = nullptr;
    ASSERT_EQ(grabberFilter->FindPin(u"Input", &in), S_OK);
    ASSERT_EQ(grabberFilter->FindPin(u"Output", &out), S_OK);
    ASSERT_EQ(renderer->FindPin(u"In", &last), S_OK);

    // The first connection learns the frame's size.
    ASSERT_EQ(graph->ConnectDirect(capture, in, nullptr), S_OK);
    AM_MEDIA_TYPE type{};
    ASSERT_EQ(grabber->GetConnectedType(&type), S_OK);
    const LONG frameBytes = static_cast<LONG>(type.lSampleSize);
    FreeMediaType(type);
    ASSERT_GT(frameBytes, 0);
    ALLOCATOR_PROPERTIES one{1, frameBytes, 1, 0};
    std::vector<uint8_t> own(static_cast<size_t>(frameBytes) + 64, 0xC3);
    EXPECT_EQ(grabber->SetOwnBuffer(&one, own.data()), E_INVALIDARG) << "not while connected";
    ASSERT_EQ(graph->Disconnect(capture), S_OK);
    ASSERT_EQ(graph->Disconnect(in), S_OK);

    // A buffer smaller than a frame cannot take one: the connection is refused
    // and the buffer stays as it was.
    ALLOCATOR_PROPERTIES small{1, frameBytes / 2, 1, 0};
    ASSERT_EQ(grabber->SetOwnBuffer(&small, own.data()), S_OK);
    EXPECT_TRUE(FAILED(graph->ConnectDirect(capture, in, nullptr)));
    IPin* peer = nullptr;
    EXPECT_EQ(in->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(std::count(own.begin(), own.end(), 0xC3), static_cast<long>(own.size()));
    ALLOCATOR_PROPERTIES none{1, 0, 1, 0};
    EXPECT_EQ(grabber->SetOwnBuffer(&none, own.data()), E_INVALIDARG);

    ASSERT_EQ(grabber->SetOwnBuffer(&one, own.data()), S_OK);
    ASSERT_EQ(graph->ConnectDirect(capture, in, nullptr), S_OK);
    ASSERT_EQ(graph->ConnectDirect(out, last, nullptr), S_OK);
    // The pin offers the allocator over the caller's buffer, with its one buffer.
    IMemInputPin* memory = Query<IMemInputPin>(in, IID_IMemInputPin);
    ASSERT_NE(memory, nullptr);
    ALLOCATOR_PROPERTIES asked{};
    EXPECT_EQ(memory->GetAllocatorRequirements(&asked), S_OK);
    EXPECT_EQ(asked.cBuffers, 1);
    EXPECT_EQ(asked.cbBuffer, frameBytes);
    IMemAllocator* other = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               reinterpret_cast<void**>(&other)),
              S_OK);
    EXPECT_EQ(memory->NotifyAllocator(other, FALSE), E_FAIL) << "the pin takes no other allocator";
    other->Release();
    memory->Release();

    GrabbedSamples grabbed;
    g_grabbed = &grabbed;
    ASSERT_EQ(grabber->SetSampleCallback(RecordSample), S_OK);
    IMediaControl* control = Query<IMediaControl>(graph, IID_IMediaControl);
    ASSERT_EQ(control->Run(), S_OK);
    {
        std::unique_lock guard(grabbed.lock);
        EXPECT_TRUE(grabbed.changed.wait_for(guard, std::chrono::seconds(20), [&] { return grabbed.pointers.size() >= 3; }));
    }
    ASSERT_EQ(control->Stop(), S_OK);
    g_grabbed = nullptr;
    for (size_t i = 0; i < grabbed.pointers.size(); ++i) {
        EXPECT_EQ(grabbed.pointers[i], own.data()) << "sample " << i;
        EXPECT_EQ(grabbed.lengths[i], frameBytes) << "sample " << i;
    }
    // The camera's picture is in the buffer, and nothing past its end was written.
    EXPECT_LT(std::count(own.begin(), own.begin() + frameBytes, 0xC3), frameBytes / 2);
    EXPECT_EQ(std::count(own.begin() + frameBytes, own.end(), 0xC3), 64);

    control->Release();
    for (IPin* pin : {capture, in, out, last}) pin->Release();
    grabberFilter->Release();
    grabber->Release();
    renderer->Release();
    camera->Release();
    graph->Release();
    CoFreeUnusedLibraries();
}

// The proxy connects again with a format set on its connected pin; a peer that
// refuses the new format keeps the old one and its connection.
TEST_F(VfwDriverTest, AFormatThePeerRefusesLeavesTheConnectionAsItWas) {
    PlugCamera();
    FilterLink();
    IGraphBuilder* graph = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    IBaseFilter* camera = CameraFilter();
    ASSERT_NE(camera, nullptr);
    ISampleGrabberControl* grabber = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_VfwSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_ISampleGrabberControl,
                               reinterpret_cast<void**>(&grabber)),
              S_OK);
    IBaseFilter* grabberFilter = Query<IBaseFilter>(grabber, IID_IBaseFilter);
    ASSERT_EQ(graph->AddFilter(camera, u"CapSrc"), S_OK);
    ASSERT_EQ(graph->AddFilter(grabberFilter, nullptr), S_OK);
    IPin* capture = OutputPin(camera);
    IPin* in = nullptr;
    ASSERT_EQ(grabberFilter->FindPin(u"Input", &in), S_OK);
    IAMStreamConfig* config = Query<IAMStreamConfig>(capture, IID_IAMStreamConfig);
    ASSERT_NE(config, nullptr);
    ASSERT_EQ(graph->ConnectDirect(capture, in, nullptr), S_OK);
    AM_MEDIA_TYPE before{};
    ASSERT_EQ(grabber->GetConnectedType(&before), S_OK);
    AM_MEDIA_TYPE only{};
    only.majortype = before.majortype;
    only.subtype = before.subtype;
    ASSERT_EQ(grabber->SetAcceptedType(&only), S_OK);

    int count = 0, size = 0;
    ASSERT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
    AM_MEDIA_TYPE* other = nullptr;
    for (int i = 0; i < count && other == nullptr; ++i) {
        VIDEO_STREAM_CONFIG_CAPS caps;
        AM_MEDIA_TYPE* type = nullptr;
        ASSERT_EQ(config->GetStreamCaps(i, &type, reinterpret_cast<BYTE*>(&caps)), S_OK);
        if (type->subtype != before.subtype) {
            other = type;
        } else {
            DeleteMediaType(type);
        }
    }
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(config->SetFormat(other), VFW_E_TYPE_NOT_ACCEPTED);
    AM_MEDIA_TYPE after{};
    ASSERT_EQ(grabber->GetConnectedType(&after), S_OK) << "still connected";
    EXPECT_EQ(after.subtype, before.subtype);
    EXPECT_EQ(after.lSampleSize, before.lSampleSize);
    AM_MEDIA_TYPE* now = nullptr;
    ASSERT_EQ(config->GetFormat(&now), S_OK);
    EXPECT_EQ(now->subtype, before.subtype);
    DeleteMediaType(now);
    FreeMediaType(after);
    FreeMediaType(before);
    DeleteMediaType(other);
    graph->Disconnect(capture);
    graph->Disconnect(in);
    config->Release();
    capture->Release();
    in->Release();
    grabberFilter->Release();
    grabber->Release();
    camera->Release();
    graph->Release();
    CoFreeUnusedLibraries();
}

// The library registers its filters through the filter mapper at a merit no
// automatic graph build takes: the camera's pin does not render into them.
TEST_F(VfwDriverTest, RegistrationPutsTheFiltersInTheMapperOutOfAutomaticReach) {
    auto listed = [] {
        std::vector<std::u16string> names;
        ICreateDevEnum* devices = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                   reinterpret_cast<void**>(&devices)),
                  S_OK);
        IEnumMoniker* list = nullptr;
        if (devices->CreateClassEnumerator(CLSID_LegacyAmFilterCategory, &list, 0) == S_OK) {
            IMoniker* moniker = nullptr;
            while (list->Next(1, &moniker, nullptr) == S_OK) {
                IPropertyBag* bag = nullptr;
                if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
                    VARIANT v;
                    VariantInit(&v);
                    if (SUCCEEDED(bag->Read(u"FriendlyName", &v, nullptr))) names.push_back(v.bstrVal);
                    VariantClear(&v);
                    bag->Release();
                }
                moniker->Release();
            }
            list->Release();
        }
        devices->Release();
        return names;
    };
    auto has = [](const std::vector<std::u16string>& names, const char16_t* name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    ASSERT_EQ(DllRegisterServer(), S_OK);
    auto names = listed();
    EXPECT_TRUE(has(names, u"VFW Sample Grabber"));
    EXPECT_TRUE(has(names, u"VFW Null Render Filter"));
    IFilterMapper2* mapper = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                               reinterpret_cast<void**>(&mapper)),
              S_OK);
    const GUID video[2] = {MEDIATYPE_Video, GUID_NULL};
    IEnumMoniker* found = nullptr;
    ASSERT_EQ(mapper->EnumMatchingFilters(&found, 0, FALSE, MERIT_DO_NOT_USE, TRUE, 1, video, nullptr, nullptr, TRUE,
                                          FALSE, 0, nullptr, nullptr, nullptr),
              S_OK);
    IMoniker* first = nullptr;
    EXPECT_EQ(found->Next(1, &first, nullptr), S_OK) << "the null renderer renders video at its merit";
    if (first != nullptr) first->Release();
    found->Release();
    ASSERT_EQ(mapper->EnumMatchingFilters(&found, 0, FALSE, MERIT_DO_NOT_USE + 1, TRUE, 1, video, nullptr, nullptr,
                                          FALSE, FALSE, 0, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(found->Next(1, &first, nullptr), S_FALSE) << "above the do-not-use merit nothing is there";
    found->Release();
    mapper->Release();

    PlugCamera();
    FilterLink();
    IGraphBuilder* graph = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    IBaseFilter* camera = CameraFilter();
    ASSERT_EQ(graph->AddFilter(camera, u"CapSrc"), S_OK);
    IPin* capture = OutputPin(camera);
    EXPECT_EQ(graph->Render(capture), VFW_E_CANNOT_RENDER);
    capture->Release();
    camera->Release();
    graph->Release();

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    names = listed();
    EXPECT_FALSE(has(names, u"VFW Sample Grabber"));
    EXPECT_FALSE(has(names, u"VFW Null Render Filter"));
    CoFreeUnusedLibraries();
}

TEST_F(VfwDriverTest, ADialogWithoutItsPagesIsRefusedAndCaptureGoesOn) {
    // The system's property pages are not installed here: no frame can be made.
    PlugCamera();
    FilterLink();
    HDRVR format = OpenChannel(VIDEO_EXTERNALIN);
    HDRVR stream = OpenChannel(VIDEO_IN);
    ASSERT_NE(format, nullptr);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(Send(format, DVM_DIALOG, nullptr, nullptr), DV_ERR_NOTSUPPORTED);
    EXPECT_EQ(Send(stream, DVM_DIALOG, nullptr, nullptr), DV_ERR_NOTSUPPORTED);
    BITMAPINFOHEADER now{};
    ASSERT_EQ(GetFormat(stream, &now), DV_ERR_OK);
    auto picture = StreamFrames(stream, now.biSizeImage, 2);
    ASSERT_EQ(picture.size(), now.biSizeImage) << "the graph did not run again after the refused dialog";
    EXPECT_GT(PictureQuality(picture, k0340::kFormatYuy2, now.biWidth, now.biHeight), 26.0);
}

// ---- Dialogs ---------------------------------------------------------------------------------
// The frames are driven from their own modal loop as a user would: a value
// changed in a page, OK pressed; then the driver's property or the stream's
// format has changed and capture goes on.
class VfwDialogTest : public VfwDriverTest {
protected:
    void SetUp() override {
        VfwDriverTest::SetUp();
        ASSERT_EQ(qk::olepro::InstallPropertyPages(), S_OK);
        PlugCamera();
        FilterLink();
    }
    void TearDown() override {
        VfwDriverTest::TearDown();
        EXPECT_EQ(qk::olepro::LivePageObjects(), 0) << "a page outlived its frame";
    }

    // The next frame the driver hands back, or null after 20 s.
    LPVIDEOHDR NextDone() {
        std::unique_lock guard(calls_.lock);
        if (!calls_.changed.wait_for(guard, std::chrono::seconds(20), [&] { return !calls_.done.empty(); })) return nullptr;
        LPVIDEOHDR done = calls_.done.front();
        calls_.done.pop_front();
        return done;
    }
};

TEST_F(VfwDialogTest, TheFormatDialogShowsTheCamerasControlsAndABrightnessSetThereReachesTheDriver) {
    using namespace k0340vfw::testing;
    HDRVR format = OpenChannel(VIDEO_EXTERNALIN);  // 1: the format channel
    HDRVR stream = OpenChannel(VIDEO_IN);
    ASSERT_NE(format, nullptr);
    ASSERT_NE(stream, nullptr);
    auto direct = OpenFilter();
    ASSERT_NE(direct, nullptr);
    auto brightness = [&] {
        return k0340::testing::GetP(direct->Handle(), PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS).value;
    };
    const LONG before = brightness();

    // Cancel first: the slider moved, nothing written.
    SliderMove move;
    WhenTheFrameShows([&] {
        move = MoveTheFirstSlider(before);
        Press(false);
    });
    EXPECT_EQ(Send(format, DVM_DIALOG, nullptr, nullptr), DV_ERR_OK);
    ASSERT_TRUE(move.moved) << "no control page in the frame";
    EXPECT_EQ(brightness(), before);

    FrameSeen seen;
    WhenTheFrameShows([&] {
        seen = LookAtTheFrame();
        move = MoveTheFirstSlider(before);
        Press(true);
    });
    EXPECT_EQ(Send(format, DVM_DIALOG, nullptr, nullptr), DV_ERR_OK);
    EXPECT_EQ(seen.left, 30);
    EXPECT_EQ(seen.top, 30);
    EXPECT_EQ(seen.caption, u"QK0340 Camera Properties");
    EXPECT_EQ(seen.tabs, 2) << "VideoProcAmp and CameraControl";
    ASSERT_TRUE(move.moved);
    EXPECT_LT(move.minimum, move.maximum);
    EXPECT_NE(move.target, before);
    EXPECT_EQ(brightness(), move.target);

    // The controls changed on the live graph: capture goes on as it was.
    BITMAPINFOHEADER now{};
    ASSERT_EQ(GetFormat(stream, &now), DV_ERR_OK);
    EXPECT_EQ(now.biWidth, 640);
    auto picture = StreamFrames(stream, now.biSizeImage, 2);
    EXPECT_EQ(picture.size(), now.biSizeImage);
}

TEST_F(VfwDialogTest, TheSourceDialogChangesTheSizeUnderAClientThatStreams) {
    using namespace k0340vfw::testing;
    HDRVR stream = OpenChannel(VIDEO_IN);  // 4: the channel that streams
    ASSERT_NE(stream, nullptr);
    BITMAPINFOHEADER before{};
    ASSERT_EQ(GetFormat(stream, &before), DV_ERR_OK);
    const DWORD bytes = 640 * 480 * 3;  // room for any format the camera offers
    buffers_.assign(4, std::vector<uint8_t>(bytes));
    headers_.assign(4, VIDEOHDR{});
    VIDEO_STREAM_INIT_PARMS init{};
    init.dwCallback = reinterpret_cast<DWORD_PTR>(ClientCallback);
    init.dwFlags = CALLBACK_FUNCTION;
    ASSERT_EQ(Send(stream, DVM_STREAM_INIT, &init, nullptr), DV_ERR_OK);
    for (int i = 0; i < 4; ++i) {
        headers_[i] = VIDEOHDR{buffers_[i].data(), bytes, 0, 0, 0, VHDR_PREPARED, {}};
        ASSERT_EQ(Send(stream, DVM_STREAM_ADDBUFFER, &headers_[i], nullptr), DV_ERR_OK);
    }
    ASSERT_EQ(Send(stream, DVM_STREAM_START, nullptr, nullptr), DV_ERR_OK);
    LPVIDEOHDR first = NextDone();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->dwBytesUsed, before.biSizeImage);
    ASSERT_EQ(Send(stream, DVM_STREAM_ADDBUFFER, first, nullptr), DV_ERR_OK);

    // Cancel: nothing changes.
    long width = 0, height = 0;
    WhenTheFrameShows([&] {
        ChooseTheNextSize(&width, &height);
        Press(false);
    });
    EXPECT_EQ(Send(stream, DVM_DIALOG, nullptr, nullptr), DV_ERR_OK);
    ASSERT_GT(width, 0) << "the format page offered no other size";
    BITMAPINFOHEADER now{};
    ASSERT_EQ(GetFormat(stream, &now), DV_ERR_OK);
    EXPECT_EQ(now.biWidth, before.biWidth);
    EXPECT_EQ(now.biHeight, before.biHeight);

    // OK: the pin takes the size chosen, and frames of that size follow.
    FrameSeen seen;
    WhenTheFrameShows([&] {
        seen = LookAtTheFrame();
        ChooseTheNextSize(&width, &height);
        Press(true);
    });
    EXPECT_EQ(Send(stream, DVM_DIALOG, nullptr, nullptr), DV_ERR_OK);
    EXPECT_EQ(seen.left, 30);
    EXPECT_EQ(seen.top, 30);
    EXPECT_EQ(seen.caption, u"QK0340 Camera Properties");
    EXPECT_EQ(seen.tabs, 1) << "the pin's format page";
    ASSERT_GT(width, 0);
    ASSERT_NE(width, before.biWidth);
    ASSERT_EQ(GetFormat(stream, &now), DV_ERR_OK);
    EXPECT_EQ(now.biWidth, width);
    EXPECT_EQ(now.biHeight, height);
    EXPECT_EQ(now.biCompression, before.biCompression);
    // Buffers done before the dialog hold frames of the old size; one of the new size comes within a few.
    bool sawNewSize = false;
    for (int n = 0; n < 8 && !sawNewSize; ++n) {
        LPVIDEOHDR done = NextDone();
        ASSERT_NE(done, nullptr) << "capture did not go on after the dialog";
        if (done->dwBytesUsed == now.biSizeImage) {
            sawNewSize = true;
            std::vector<uint8_t> picture(done->lpData, done->lpData + done->dwBytesUsed);
            EXPECT_GT(PictureQuality(picture, k0340::kFormatYuy2, width, height), 26.0);
        }
        ASSERT_EQ(Send(stream, DVM_STREAM_ADDBUFFER, done, nullptr), DV_ERR_OK);
    }
    EXPECT_TRUE(sawNewSize);
    EXPECT_EQ(Send(stream, DVM_STREAM_STOP, nullptr, nullptr), DV_ERR_OK);
    EXPECT_EQ(Send(stream, DVM_STREAM_RESET, nullptr, nullptr), DV_ERR_OK);
    EXPECT_EQ(Send(stream, DVM_STREAM_FINI, nullptr, nullptr), DV_ERR_OK);
    std::lock_guard guard(calls_.lock);
    calls_.done.clear();
}

}  // namespace
