// The camera's isochronous stream read by the reference payload reader:
// reassembled frames against what the camera encoded, payload headers, MJPEG
// through a reference decoder, each fault as injected, and the bandwidth of
// the alternate settings.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>

#include "sim/camera/jpeg_encoder.h"
#include "sim/camera/tests/camera_fixture.h"

namespace qk::sim::testing {
namespace {

using qk::usb::IsoResult;

constexpr uint8_t kYuy2 = 1, kMjpeg = 2;
constexpr uint8_t kFrame640 = 1, kFrame160 = 5;

std::vector<ReassembledFrame> Complete(std::vector<ReassembledFrame> frames) {
    std::vector<ReassembledFrame> out;
    for (auto& f : frames) {
        if (f.endOfFrame && !f.damaged) out.push_back(std::move(f));
    }
    return out;
}

// Starts a stream, polls `polls` bus frames of it and gives its whole frames.
std::vector<ReassembledFrame> StreamWhole(CameraConversation& c, uint8_t format, uint8_t frameIndex, uint32_t interval,
                                          int polls) {
    c.StartStream(format, frameIndex, interval);
    PayloadReader reader;
    c.Poll(polls, reader);
    return Complete(reader.TakeFrames());
}

// The sent frame a reassembled one came from (by presentation time).
const SentFrame* SentFor(const std::vector<SentFrame>& sent, const ReassembledFrame& frame) {
    for (const auto& s : sent) {
        if (s.presentationTime == frame.presentationTime) return &s;
    }
    return nullptr;
}

struct Decoded {
    int width = 0, height = 0, subsampling = -1;
    std::vector<uint8_t> rgb;
    bool ok = false;
};

Decoded Decode(const std::vector<uint8_t>& jpeg) {
    Decoded d;
    tjhandle h = tjInitDecompress();
    int colourspace;
    if (tjDecompressHeader3(h, jpeg.data(), static_cast<unsigned long>(jpeg.size()), &d.width, &d.height, &d.subsampling,
                            &colourspace) == 0) {
        d.rgb.resize(size_t(d.width) * d.height * 3);
        d.ok = tjDecompress2(h, jpeg.data(), static_cast<unsigned long>(jpeg.size()), d.rgb.data(), d.width, 0, d.height,
                             TJPF_RGB, 0) == 0;
    }
    tjDestroy(h);
    return d;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) sum += (a[i] - b[i]) * double(a[i] - b[i]);
    double mse = sum / std::max<size_t>(a.size(), 1);
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

bool HasMarker(const std::vector<uint8_t>& jpeg, uint8_t marker) {
    for (size_t i = 0; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == marker) return true;
    }
    return false;
}

TEST(CameraStreamTest, PayloadsReassembleIntoExactlyTheFramesSent) {
    CameraConversation c;
    c.StartStream(kYuy2, kFrame160, kInterval30);
    PayloadReader reader;
    c.Poll(220, reader);
    auto frames = Complete(reader.TakeFrames());
    auto sent = c.camera->SentFrames();
    ASSERT_GE(frames.size(), 6u);
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        const SentFrame* s = SentFor(sent, frames[i]);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(frames[i].data, s->bytes);
        EXPECT_EQ(frames[i].data.size(), 160u * 120 * 2);
        EXPECT_EQ(frames[i].frameId, s->frameId);
        if (i > 0) {
            EXPECT_NE(frames[i].frameId, frames[i - 1].frameId);  // toggles every frame
            // A frame interval (333333 x 100 ns) on the 48 MHz device clock.
            uint32_t step = frames[i].presentationTime - frames[i - 1].presentationTime;
            EXPECT_NEAR(step, 333333 * 4.8, 1.0);
        }
    }
    EXPECT_EQ(reader.Totals().malformed, 0u);
    EXPECT_EQ(reader.Totals().lost, 0u);

    // Headers: 12 bytes with PTS and SCR; the SOF counter of the SCR is the bus frame.
    const auto& packet = c.lastPackets.back();
    if (!packet.empty()) {
        EXPECT_EQ(packet[0], 12);
        EXPECT_EQ(packet[1] & 0x8C, 0x8C);
        EXPECT_EQ(packet[10] | (packet[11] & 0x07) << 8, c.frame & 0x7FF);
    }
    // A bus frame in which nothing is due goes out empty.
    EXPECT_GT(reader.Totals().empty, 100u);
}

// The kept copies reuse the memory of the ones they replace: after many
// more frames than are kept, the kept ones are still the last sent, byte for
// byte, and a camera told to keep none keeps none while it streams on.
TEST(CameraStreamTest, KeptFramesAreTheLastOnesSentWhileTheirMemoryIsReused) {
    for (size_t keep : {size_t{0}, size_t{3}}) {
        SCOPED_TRACE(keep);
        CameraConfig config;
        config.keptFrames = keep;
        CameraConversation c(config);
        auto frames = StreamWhole(c, kYuy2, kFrame160, kInterval30, 400);
        ASSERT_GE(frames.size(), 8u);
        auto sent = c.camera->SentFrames();
        ASSERT_EQ(sent.size(), keep);
        for (size_t i = 0; i < sent.size(); ++i) {
            SCOPED_TRACE(i);
            if (i > 0) {
                EXPECT_EQ(sent[i].number, sent[i - 1].number + 1);
            }
            // Every kept frame that went out whole is the one received.
            for (const auto& f : frames) {
                if (f.presentationTime == sent[i].presentationTime) {
                    EXPECT_EQ(f.data, sent[i].bytes);
                }
            }
        }
        if (keep > 0) {
            // The last frame received whole is among the kept ones, and distinct
            // frames were kept (the scene's noise differs from frame to frame).
            EXPECT_NE(SentFor(sent, frames.back()), nullptr);
            EXPECT_NE(sent[0].bytes, sent[1].bytes);
        }
    }
}

TEST(CameraStreamTest, MjpegFramesAre422AndDecodeToTheScene) {
    CameraConversation c;
    auto frames = StreamWhole(c, kMjpeg, kFrame640, kInterval15, 300);
    auto sent = c.camera->SentFrames();
    ASSERT_GE(frames.size(), 3u);
    SyntheticScene scene;
    for (const auto& f : frames) {
        const SentFrame* s = SentFor(sent, f);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(f.data, s->bytes);
        Decoded d = Decode(f.data);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.width, 640);
        EXPECT_EQ(d.height, 480);
        EXPECT_EQ(d.subsampling, TJSAMP_422);
        EXPECT_TRUE(HasMarker(f.data, 0xC4));  // Huffman tables in every frame by default
        // The reference decoder gives back the scene at the capture time (quality 85).
        std::vector<uint8_t> expected;
        scene.Render(s->captureTime, 640, 480, expected);
        EXPECT_GT(Psnr(d.rgb, expected), 30.0);
    }
}

TEST(CameraStreamTest, MjpegOptionsSamplingRestartsAndTablesOnlyInTheFirstFrame) {
    CameraConfig config;
    config.mjpeg.subsampling420 = true;
    config.mjpeg.restartInterval = 4;
    config.mjpeg.omitHuffmanTablesAfterFirst = true;
    CameraConversation c(config);
    auto frames = StreamWhole(c, kMjpeg, 3, kInterval30, 200);  // 320 x 240
    ASSERT_GE(frames.size(), 3u);
    auto sent = c.camera->SentFrames();
    for (const auto& f : frames) {
        const SentFrame* s = SentFor(sent, f);
        ASSERT_NE(s, nullptr);
        SCOPED_TRACE(s->number);
        EXPECT_EQ(HasMarker(f.data, 0xC4), s->number == 0);  // DHT
        EXPECT_TRUE(HasMarker(f.data, 0xDD));                // DRI
        EXPECT_TRUE(HasMarker(f.data, 0xD0));                // RST0
        // A frame without tables decodes with the standard ones.
        Decoded d = Decode(f.data);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(d.subsampling, TJSAMP_420);
    }
}

TEST(CameraStreamTest, FaultsAppearAsInjected) {
    struct Case {
        const char* name;
        std::function<void(Faults&)> inject;
        std::function<void(CameraConversation&, const std::vector<IsoResult>&, PayloadReader&)> check;
    };
    const Case cases[] = {
        {"every seventh packet lost",
         [](Faults& f) { f.loseEveryNthPacket = 7; },
         [](CameraConversation& c, const std::vector<IsoResult>& r, PayloadReader& reader) {
             EXPECT_EQ(r[6].status, IsoResult::Status::NoResponse);
             EXPECT_GT(reader.Totals().lost, 10u);
             // Only packets that carried payload count: idle ones had nothing to spoil.
             auto failed = std::count_if(r.begin(), r.end(), [](const IsoResult& x) {
                 return x.status == IsoResult::Status::NoResponse;
             });
             EXPECT_EQ(c.camera->Counters().lostPackets, static_cast<uint64_t>(failed));
             EXPECT_EQ(c.camera->Counters().stalls, 0u);
             auto frames = reader.TakeFrames();
             size_t damaged = std::count_if(frames.begin(), frames.end(), [](auto& f) { return f.damaged; });
             EXPECT_GT(damaged, 0u);
             auto sent = c.camera->SentFrames();
             for (const auto& f : frames) {
                 if (f.damaged || !f.endOfFrame) continue;
                 EXPECT_EQ(f.data, SentFor(sent, f)->bytes);
             }
         }},
        {"a frame id that does not toggle",
         [](Faults& f) { f.keepFrameIdFrames = {2}; },
         [](CameraConversation& c, const std::vector<IsoResult>&, PayloadReader&) {
             auto sent = c.camera->SentFrames();
             ASSERT_GE(sent.size(), 4u);
             EXPECT_EQ(sent[1].frameId, sent[2].frameId);
             EXPECT_NE(sent[2].frameId, sent[3].frameId);
         }},
        {"a stalled packet",
         [](Faults& f) { f.stallAtPacket = 10; },
         [](CameraConversation& c, const std::vector<IsoResult>& r, PayloadReader&) {
             EXPECT_EQ(r[10].status, IsoResult::Status::Stall);
             EXPECT_EQ(r[11].status, IsoResult::Status::Ok);
             // The host came back for packet 11: the camera saw the halt cleared once.
             EXPECT_EQ(c.camera->Counters().stalls, 1u);
             EXPECT_EQ(c.camera->Counters().resumedAfterStall, 1u);
             EXPECT_EQ(c.camera->Counters().lostPackets, 0u);
         }},
        {"a stall the host never comes back from",
         [](Faults& f) { f.stallAtPacket = 399; },
         [](CameraConversation& c, const std::vector<IsoResult>& r, PayloadReader&) {
             EXPECT_EQ(r[399].status, IsoResult::Status::Stall);
             EXPECT_EQ(c.camera->Counters().stalls, 1u);
             EXPECT_EQ(c.camera->Counters().resumedAfterStall, 0u);
         }},
        {"a run of failing packets",
         [](Faults& f) {
             f.errorFromPacket = 3;
             f.errorPackets = 5;
         },
         [](CameraConversation&, const std::vector<IsoResult>& r, PayloadReader&) {
             for (int i = 3; i < 8; ++i) EXPECT_EQ(r[i].status, IsoResult::Status::NoResponse) << i;
             EXPECT_EQ(r[8].status, IsoResult::Status::Ok);
         }},
        {"a slow sensor",
         [](Faults& f) { f.slowdown = 3; },
         [](CameraConversation& c, const std::vector<IsoResult>&, PayloadReader&) {
             EXPECT_EQ(c.camera->FramesStarted(), 4u);  // 400 ms at 10 frames a second instead of 30
         }},
        {"unplugged after three frames",
         [](Faults& f) { f.detachAfterFrames = 3; },
         [](CameraConversation& c, const std::vector<IsoResult>& r, PayloadReader&) {
             EXPECT_EQ(r.back().status, IsoResult::Status::Detached);
             EXPECT_EQ(c.camera->FramesStarted(), 3u);
         }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        CameraConfig config;
        k.inject(config.faults);
        CameraConversation c(config);
        c.StartStream(kYuy2, kFrame640, kInterval30);
        PayloadReader reader;
        auto results = c.Poll(400, reader);
        k.check(c, results, reader);
    }
}

TEST(CameraStreamTest, LostFrameIdToggleMergesFramesForAReaderThatOnlyWatchesIt) {
    CameraConfig config;
    config.faults.keepFrameIdFrames = {2};
    CameraConversation c(config);
    c.StartStream(kYuy2, kFrame160, kInterval30);
    PayloadReader byFrameId(PayloadReader::Split::FrameIdOnly);
    c.Poll(200, byFrameId);
    byFrameId.Flush();
    auto frames = byFrameId.TakeFrames();
    auto sent = c.camera->SentFrames();
    ASSERT_GE(frames.size(), 4u);
    EXPECT_EQ(frames[1].data.size(), sent[1].bytes.size() + sent[2].bytes.size());
    EXPECT_EQ(frames[2].data, sent[3].bytes);

    // Watching the end-of-frame bit too keeps them apart.
    CameraConversation again(config);
    auto separate = StreamWhole(again, kYuy2, kFrame160, kInterval30, 200);
    ASSERT_GE(separate.size(), 4u);
    EXPECT_EQ(separate[2].data, again.camera->SentFrames()[2].bytes);
}

TEST(CameraStreamTest, CorruptedJpegBytesGoOutAsTheCameraSpoiltThem) {
    CameraConfig config;
    config.faults.corruptJpegFrames = {1};
    config.faults.corruptBytes = 16;
    CameraConversation c(config);
    c.StartStream(kMjpeg, 3, kInterval30);
    PayloadReader reader;
    c.Poll(120, reader);
    auto sent = c.camera->SentFrames();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_FALSE(sent[0].corrupted);
    EXPECT_TRUE(sent[1].corrupted);
    auto frames = Complete(reader.TakeFrames());
    const ReassembledFrame* spoilt = nullptr;
    for (const auto& f : frames) {
        if (f.presentationTime == sent[1].presentationTime) spoilt = &f;
    }
    ASSERT_NE(spoilt, nullptr);
    EXPECT_EQ(spoilt->data, sent[1].bytes);  // the reader hands on what came, spoilt or not
    std::vector<uint8_t> clean;
    SyntheticScene().Render(sent[1].captureTime, 320, 240, clean);
    std::vector<uint8_t> encoded = EncodeJpeg(clean.data(), 320, 240, config.mjpeg, true);
    ASSERT_EQ(encoded.size(), spoilt->data.size());
    EXPECT_NE(encoded, spoilt->data);
    Decoded d = Decode(spoilt->data);
    EXPECT_TRUE(!d.ok || Psnr(d.rgb, clean) < 30.0);
}

TEST(CameraStreamTest, SmallAlternateSettingSlowsTheFrameRate) {
    CameraConversation c;
    c.StartStream(kYuy2, kFrame640, kInterval30, 1);  // 1024 bytes a frame for 614400-byte frames
    PayloadReader reader;
    c.Poll(1300, reader, 1024);
    auto frames = Complete(reader.TakeFrames());
    ASSERT_EQ(frames.size(), 2u);  // 607 ms a frame instead of 33
    EXPECT_EQ(frames[0].data, c.camera->SentFrames()[0].bytes);
}

TEST(CameraStreamTest, PrivacyBlanksTheSensorAndMirrorBitsFlipThePicture) {
    CameraConversation plain, mirrored;
    mirrored.Set(4, kXuMirror, {1, 0});
    plain.StartStream(kYuy2, kFrame160, kInterval30);
    mirrored.StartStream(kYuy2, kFrame160, kInterval30);
    PayloadReader a, b;
    plain.Poll(40, a);
    mirrored.Poll(40, b);
    auto p = plain.camera->SentFrames(), m = mirrored.camera->SentFrames();
    ASSERT_FALSE(p.empty());
    ASSERT_FALSE(m.empty());
    for (int y = 0; y < 120; y += 17) {
        for (int x = 0; x < 160; x += 13) {
            EXPECT_EQ(p[0].bytes[(y * 160 + x) * 2], m[0].bytes[(y * 160 + 159 - x) * 2]) << x << "," << y;
        }
    }
    ASSERT_TRUE(p[0].face && m[0].face);
    EXPECT_EQ(m[0].face->x0, 160 - p[0].face->x1);
    EXPECT_EQ(m[0].face->x1, 160 - p[0].face->x0);

    plain.camera->SetPrivacySwitch(true);
    plain.Poll(60, a);
    auto blanked = plain.camera->SentFrames().back();
    EXPECT_TRUE(blanked.blanked);
    EXPECT_FALSE(blanked.face.has_value());
    for (size_t i = 0; i < blanked.bytes.size(); i += 2) {
        ASSERT_EQ(blanked.bytes[i], 16);
        ASSERT_EQ(blanked.bytes[i + 1], 128);
    }
    // The camera mode register's standby bit blanks it as well.
    plain.camera->SetPrivacySwitch(false);
    plain.Set(4, kXuRegisterBlock, {kRegisterWrite, 0x00, 0xBA, 0x81});
    plain.Poll(60, a);
    EXPECT_TRUE(plain.camera->SentFrames().back().blanked);
}

TEST(CameraStreamTest, FramesTheHostDidNotAskForAreLostAndTheStreamGoesOn) {
    CameraConversation c;
    c.StartStream(kYuy2, kFrame160, kInterval30);
    PayloadReader reader;
    c.Poll(100, reader);
    c.frame += 20'000;  // twenty seconds without a transfer
    reader.LostPacket(c.frame);
    c.Poll(100, reader);
    auto frames = Complete(reader.TakeFrames());
    auto sent = c.camera->SentFrames();
    size_t matched = 0;
    for (const auto& f : frames) {
        const SentFrame* s = SentFor(sent, f);
        if (s != nullptr && f.data == s->bytes) ++matched;
    }
    EXPECT_GE(matched, 5u);
    EXPECT_GT(c.camera->FramesStarted(), 600u);  // the sensor kept its rate meanwhile
}

}  // namespace
}  // namespace qk::sim::testing
