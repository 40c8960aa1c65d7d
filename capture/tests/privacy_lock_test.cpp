// The pictures that stand in for the camera's: the parental lock from a
// machine with no stored lock flag through release, a new stream within ten
// seconds, enabling and disabling; software privacy; the hardware switch; and
// the fills when the picture files are missing.
#include <gtest/gtest.h>

#include "capture/k0340_props.h"
#include "capture/k0340dev.h"
#include "capture/tests/capture_fixture.h"
#include "platform/nt/reg_util.h"

namespace k0340::testing {
namespace {

constexpr char16_t kProductKey[] = u"\\Registry\\Machine\\Software\\Lumora Tech\\Web Cameras\\QK0340";
const GUID& kSetA = PROPSETID_K0340_CAMERA;

// The substitute as the driver paints it for a stream (its picture, or its
// fill when the file is missing).
std::vector<uint8_t> Painted(Substitute which, uint32_t format, int width, int height, bool withFile) {
    std::vector<uint8_t> raw(kPictureBytes), canvas(size_t(width) * height * 3), out(size_t(width) * height * 3);
    bool read = withFile && ReadSubstitutePicture(which, raw.data());
    EXPECT_EQ(read, withFile);
    ULONG bytes = PaintSubstitute(which, read ? raw.data() : nullptr, width, height, format, canvas.data(),
                                  static_cast<ULONG>(canvas.size()), out.data(), static_cast<ULONG>(out.size()));
    out.resize(bytes);
    return out;
}

class PrivacyLockTest : public CaptureTest {
protected:
    void SetUp() override {
        CaptureTest::SetUp();
        InstallPictures();
    }
    void TearDown() override {
        stream_.reset();
        filter_.reset();
        CaptureTest::TearDown();
    }
    void Plug() {
        PlugCamera();
        filter_ = OpenFilter();
        ASSERT_NE(filter_, nullptr);
        format_ = Format(*filter_, kFormatYuy2, kWidth, kHeight, 30);
    }
    void Start() {
        stream_.reset();
        stream_ = LiveStream::Start(*filter_, format_);
        ASSERT_NE(stream_, nullptr);
    }
    // The picture of the last delivered sample after `count` more were delivered.
    std::vector<uint8_t> NextPicture(size_t count = 3) { return stream_->NextDelivered(count).data; }
    bool ShowsCamera(const std::vector<uint8_t>& picture) {
        Sample s{STATUS_SUCCESS, {}, {}, picture};
        return picture.size() == size_t(kWidth) * kHeight * 2 &&
               Psnr(PatternSource::Expected(kWidth, kHeight), AsTopDownBgr(s, kFormatYuy2, kWidth, kHeight).data(),
                    size_t(kWidth) * kHeight * 3) > 26.0;
    }
    ULONG Lock(ULONG action) {
        K0340_PARENTAL_LOCK_S lock{};
        lock.Action = action;
        NTSTATUS status = qk::ks::client::StructProperty(filter_->Handle(), kSetA, KSPROPERTY_K0340_PARENTAL_LOCK,
                                                         KSPROPERTY_TYPE_SET, &lock, sizeof lock);
        EXPECT_EQ(status, STATUS_SUCCESS);
        lock = {};
        status = qk::ks::client::StructProperty(filter_->Handle(), kSetA, KSPROPERTY_K0340_PARENTAL_LOCK,
                                                KSPROPERTY_TYPE_GET, &lock, sizeof lock);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return lock.Action;
    }
    ULONG LockState() {
        K0340_PARENTAL_LOCK_S lock{};
        qk::ks::client::StructProperty(filter_->Handle(), kSetA, KSPROPERTY_K0340_PARENTAL_LOCK, KSPROPERTY_TYPE_GET,
                                       &lock, sizeof lock);
        return lock.Action;
    }

    static constexpr int kWidth = 176, kHeight = 144;
    std::unique_ptr<qk::ks::client::Filter> filter_;
    std::unique_ptr<LiveStream> stream_;
    std::vector<uint8_t> format_;
};

TEST_F(PrivacyLockTest, TheLockHoldsTheFirstStreamOfAnUnconfiguredMachineUntilReleased) {
    HANDLE key;
    ASSERT_EQ(qk::nt::reg::OpenPath(kProductKey, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Reserved");
    ASSERT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
    ZwClose(key);
    Plug();
    Start();
    const auto locked = Painted(Substitute::ParentalLock, kFormatYuy2, kWidth, kHeight, true);
    EXPECT_EQ(NextPicture(), locked);
    EXPECT_EQ(LockState(), K0340_LOCK_STATE_LOCKED);
    // Released: the camera's picture.
    EXPECT_EQ(Lock(K0340_LOCK_RELEASE), K0340_LOCK_STATE_RELEASED);
    EXPECT_TRUE(ShowsCamera(NextPicture(4)));
    // A new stream within ten seconds of the last one stays released.
    Start();
    EXPECT_TRUE(ShowsCamera(NextPicture()));
    // Enabled again: the next stream opens locked; disabled: never.
    EXPECT_EQ(Lock(K0340_LOCK_ENABLE), K0340_LOCK_STATE_RELEASED);
    Start();
    EXPECT_EQ(NextPicture(), locked);
    EXPECT_EQ(Lock(K0340_LOCK_DISABLE), K0340_LOCK_STATE_DISABLED);
    EXPECT_TRUE(ShowsCamera(NextPicture(4)));
    Start();
    EXPECT_TRUE(ShowsCamera(NextPicture()));
    EXPECT_EQ(qk::nt::reg::ReadString(kProductKey, u"Reserved"), std::nullopt) << "a number, not a string";
    HANDLE product;
    ASSERT_EQ(qk::nt::reg::OpenPath(kProductKey, KEY_READ, &product), STATUS_SUCCESS);
    EXPECT_EQ(qk::nt::reg::QueryDword(product, u"Reserved"), 0u);
    ZwClose(product);
}

TEST_F(PrivacyLockTest, PrivacyReplacesThePictureAndIsStored) {
    Plug();
    Start();
    EXPECT_TRUE(ShowsCamera(NextPicture()));
    ASSERT_EQ(SetP(filter_->Handle(), PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_PRIVACY, 1, 2),
              STATUS_SUCCESS);
    EXPECT_EQ(NextPicture(4), Painted(Substitute::SoftwarePrivacy, kFormatYuy2, kWidth, kHeight, true));
    EXPECT_EQ(DeviceValue(nullptr, u"Privacy"), 1u);
    ASSERT_EQ(SetP(filter_->Handle(), PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_PRIVACY, 0, 2),
              STATUS_SUCCESS);
    EXPECT_TRUE(ShowsCamera(NextPicture(4)));
    // The switch on the camera: read for every frame, the picture follows within a few.
    camera_->SetPrivacySwitch(true);
    EXPECT_EQ(NextPicture(8), Painted(Substitute::HardwarePrivacy, kFormatYuy2, kWidth, kHeight, true));
    camera_->SetPrivacySwitch(false);
    EXPECT_TRUE(ShowsCamera(NextPicture(8)));
}

TEST_F(PrivacyLockTest, MissingPicturesGiveTheirFills) {
    namespace fs = std::filesystem;
    for (const char* name : {"K0340Pv2.bmp", "K0340Pc.bmp", "K0340Pvc.bmp"}) {
        fs::remove(Root() / "Windows" / "System32" / "drivers" / name);
    }
    Plug();
    ASSERT_EQ(SetP(filter_->Handle(), PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_PRIVACY, 1, 2),
              STATUS_SUCCESS);
    Start();
    auto black = NextPicture();
    ASSERT_EQ(black.size(), size_t(kWidth) * kHeight * 2);
    EXPECT_EQ(black, Painted(Substitute::SoftwarePrivacy, kFormatYuy2, kWidth, kHeight, false));
    EXPECT_EQ(black[0], 0x00);
    EXPECT_EQ(black[1], 0x80);
    EXPECT_EQ(Lock(K0340_LOCK_ENABLE), K0340_LOCK_STATE_RELEASED);
    Start();
    auto grey = NextPicture();
    EXPECT_EQ(grey, Painted(Substitute::ParentalLock, kFormatYuy2, kWidth, kHeight, false));
    EXPECT_EQ(grey[0], 0x7F);
}

}  // namespace
}  // namespace k0340::testing
