// The skinning library through its one entry, as the console calls it:
// skins created, attached by descriptor, read for values with defaults,
// painting windows and buttons from the bundle, detached; hostile
// descriptors refused; the bundle's pieces and values.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>

#include "outside/SkinHook/bundle.h"
#include "outside/SkinHook/skin_descriptors.h"
#include "outside/SkinHook/skin_hook.h"
#include "platform/nt/testing/machine_test.h"
#include "platform/ui/presentation.h"
#include "windows.h"
#include "wingdi.h"
#include "winuser.h"

namespace {

using namespace skinhook;

std::vector<uint8_t> BundleBytes() {
    std::ifstream in(QK_SKIN_BUNDLE, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Bundle, HoldsEveryPieceTheConsoleNamesAndItsValues) {
    std::string error;
    auto bundle = Bundle::FromBytes(BundleBytes(), &error);
    ASSERT_NE(bundle, nullptr) << error;
    for (const char* name : {"BG.png", "Minimize.png", "Close.png", "Button_Special.png", "Setting.png", "InfoPanelWnd.png",
                             "BG3.png", "TabsButton.png", "BrioView.png", "BrioAudio.png", "Area_TopLeft.png",
                             "Area_TopRight.png", "Area_BottomLeft.png", "Area_BottomRight.png", "Area_Center.png",
                             "Area_Disabled.png", "PT_BttnL.png", "PT_BttnR.png", "PT_BttnT.png", "PT_BttnD.png",
                             "PT_BttnC.png", "PT_BttnLU.png", "PT_BttnLD.png", "PT_BttnRU.png", "PT_BttnRD.png",
                             "PTBttnZ_in.png", "PTBttnZ_out.png", "InfoPanel.png", "DropDown.png"}) {
        SCOPED_TRACE(name);
        auto piece = bundle->Piece(name, &error);
        ASSERT_NE(piece, nullptr) << error;
        EXPECT_GT(piece->width, 0);
    }
    EXPECT_EQ(bundle->Piece("bg.PNG"), bundle->Piece("BG.png")) << "names compare without case";
    EXPECT_EQ(bundle->Piece("Missing.png", &error), nullptr);
    EXPECT_NE(error.find("Missing.png"), std::string::npos);
    EXPECT_EQ(bundle->Value("infopaneldata_infopanel.png", "TOPBORDERMARGIN").value_or(""), "24");
    EXPECT_EQ(bundle->Value("InfoPanelWndData_InfoPanelWnd.PNG", "DropDownBMP").value_or(""), "DropDown.png");
    EXPECT_FALSE(bundle->Value("InfoPanelData_Nothing.png", "TopBorderMargin").has_value());

    std::vector<uint8_t> bytes = BundleBytes();
    bytes.resize(bytes.size() / 2);
    EXPECT_EQ(Bundle::FromBytes(bytes, &error), nullptr) << "a truncated archive";
    EXPECT_FALSE(error.empty());
}

class SkinHookTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        std::filesystem::create_directories(Root() / "Windows" / "System32");
        std::filesystem::copy_file(QK_SKIN_BUNDLE, Root() / "Windows" / "System32" / "K0340Cvw.bff");
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = u"Plain";
        wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
        RegisterClassExW(&wc);
        window_ = CreateWindowExW(0, u"Plain", u"", WS_POPUP | WS_VISIBLE, 0, 0, 200, 120, nullptr, nullptr, nullptr, nullptr);
        close_ = CreateWindowExW(0, u"Button", u"", WS_CHILD | WS_VISIBLE, 170, 4, 24, 24, window_,
                                 reinterpret_cast<HMENU>(1058), nullptr, nullptr);
        label_ = CreateWindowExW(0, u"Static", u"label", WS_CHILD | WS_VISIBLE, 10, 50, 80, 16, window_, nullptr, nullptr, nullptr);
    }
    DWORD_PTR AttachDefault(const char* bundle = "C:\\Windows\\System32\\K0340Cvw.bff") {
        skin_ = CallSkinHook(kCreate, 0, 0, 0, 0);
        style_ = ControlStyle{sizeof(ControlStyle), 2, "Close.png", {}};
        child_ = ChildDescriptor{sizeof(ChildDescriptor), 1058, &style_};
        descriptor_ = SkinDescriptor{sizeof(SkinDescriptor), bundle, kNamedPiece, "BG.png", {}, 1, &child_};
        return CallSkinHook(kAttach, skin_, 0, reinterpret_cast<DWORD_PTR>(window_), reinterpret_cast<DWORD_PTR>(&descriptor_));
    }
    HWND window_, close_, label_;
    DWORD_PTR skin_ = 0;
    ControlStyle style_;
    ChildDescriptor child_;
    SkinDescriptor descriptor_;
};

TEST_F(SkinHookTest, AnAttachedSkinPaintsTheWindowAndItsButtonsFromTheBundle) {
    qk::ui::Picture before = qk::ui::CaptureWindow(window_);
    EXPECT_EQ(before.At(100, 100), 0xF0F0F0u) << "unskinned: the class brush";
    ASSERT_NE(AttachDefault(), 0u);
    qk::ui::Picture after = qk::ui::CaptureWindow(window_);
    // The console background is dark navy below its caption band.
    const uint32_t p = after.At(100, 100);
    EXPECT_LT((p >> 16) & 0xFF, 0x40u);
    EXPECT_LT(p & 0xFF, 0x60u);
    // The close button: its cross is white in the middle.
    EXPECT_EQ(after.At(182, 16), 0xFFFFFFu);
    // The static shows the skin through it, not the class brush.
    EXPECT_NE(after.At(85, 52), 0xF0F0F0u);

    // A new picture for the button by message.
    const UINT buttonFunction = RegisterWindowMessageA(kButtonFunction);
    EXPECT_EQ(SendMessageA(close_, buttonFunction, 6, reinterpret_cast<LPARAM>("Minimize.png")), 1);
    after = qk::ui::CaptureWindow(window_);
    EXPECT_NE(after.At(182, 16), 0xFFFFFFu) << "the minimise picture has no cross";

    // Detached: the window's own painting is back.
    EXPECT_EQ(CallSkinHook(kDetach, skin_, 0, 0, 0), 1u);
    EXPECT_EQ(qk::ui::CaptureWindow(window_).At(100, 100), 0xF0F0F0u);
    EXPECT_EQ(CallSkinHook(kDestroy, skin_, 0, 0, 0), 1u);
    EXPECT_EQ(CallSkinHook(kDetach, skin_, 0, 0, 0), 0u) << "a destroyed skin is no skin";
}

TEST_F(SkinHookTest, ValuesComeFromTheBundleOrTheirDefaults) {
    ASSERT_NE(AttachDefault(), 0u);
    ValueRequest margin{0, "InfoPanelData_InfoPanel.png", "TopBorderMargin", 99};
    EXPECT_EQ(CallSkinHook(kReadInteger, skin_, 0, 0, reinterpret_cast<DWORD_PTR>(&margin)), 24u);
    ValueRequest missing{0, "InfoPanelData_Other.png", "TopBorderMargin", 24};
    EXPECT_EQ(CallSkinHook(kReadInteger, skin_, 0, 0, reinterpret_cast<DWORD_PTR>(&missing)), 24u);
    ValueRequest colour{0, "InfoPanelData_InfoPanel.png", "TitleColour", 0};
    EXPECT_EQ(CallSkinHook(kReadColour, skin_, 0, 0, reinterpret_cast<DWORD_PTR>(&colour)), RGB(255, 255, 255));
    char buffer[120];
    StringRequest name{0, "InfoPanelWndData_InfoPanelWnd.PNG", "DropDownBMP", buffer, sizeof buffer};
    EXPECT_EQ(CallSkinHook(kReadString, skin_, 0, 0, reinterpret_cast<DWORD_PTR>(&name)), 12u);
    EXPECT_STREQ(buffer, "DropDown.png");
    char small[5];
    StringRequest cut{0, "InfoPanelWndData_InfoPanelWnd.PNG", "DropDownBMP", small, sizeof small};
    EXPECT_EQ(CallSkinHook(kReadString, skin_, 0, 0, reinterpret_cast<DWORD_PTR>(&cut)), 4u);
    EXPECT_STREQ(small, "Drop");

    // Region data rounds the corners of the window.
    char region[100] = {};
    StringRequest data{0, "InfoPanelData_InfoPanel.png", "RegionData", region, sizeof region};
    CallSkinHook(kReadString, skin_, 0, 0, reinterpret_cast<DWORD_PTR>(&data));
    EXPECT_EQ(CallSkinHook(kApplyRegion, skin_, reinterpret_cast<DWORD_PTR>(window_), 0, reinterpret_cast<DWORD_PTR>(region)), 1u);
    EXPECT_EQ(WindowFromPoint(POINT{0, 0}), nullptr) << "the corner is cut away";
    EXPECT_EQ(WindowFromPoint(POINT{100, 0}), window_);
    CallSkinHook(kDestroy, skin_, 0, 0, 0);
}

// The window's piece is kept stretched to the window's size: a new size or
// a new piece must not show the old stretch, neither on the window nor
// through its controls.
TEST_F(SkinHookTest, TheBackgroundFollowsTheWindowsSizeAndPiece) {
    ASSERT_NE(AttachDefault(), 0u);
    qk::ui::Picture small = qk::ui::CaptureWindow(window_);
    const uint32_t bottom = small.At(100, 117);  // in the piece's bottom border
    EXPECT_EQ(small.At(85, 52), small.At(95, 52)) << "the label shows the background beside it";
    MoveWindow(window_, 0, 0, 200, 200, TRUE);
    qk::ui::Picture tall = qk::ui::CaptureWindow(window_);
    EXPECT_EQ(tall.At(100, 197), bottom) << "the bottom border moved down with the window's foot";
    EXPECT_NE(tall.At(100, 117), bottom) << "the middle stretched over the rest";
    EXPECT_EQ(tall.At(85, 52), tall.At(95, 52));

    // Another piece for the same window: the flat navy of the tab bar.
    SkinDescriptor other{sizeof(SkinDescriptor), "C:\\Windows\\System32\\K0340Cvw.bff", kNamedPiece, "BG3.png", {}, 1, &child_};
    ASSERT_EQ(CallSkinHook(kAttach, skin_, 0, reinterpret_cast<DWORD_PTR>(window_), reinterpret_cast<DWORD_PTR>(&other)), 1u);
    qk::ui::Picture flat = qk::ui::CaptureWindow(window_);
    EXPECT_EQ(flat.At(100, 60), flat.At(100, 150)) << "one colour from top to foot";
    EXPECT_NE(flat.At(100, 60), tall.At(100, 60));
    EXPECT_EQ(flat.At(85, 52), flat.At(95, 52));
    CallSkinHook(kDestroy, skin_, 0, 0, 0);
}

TEST_F(SkinHookTest, BadDescriptorsAndMissingBundlesAreRefused) {
    EXPECT_EQ(AttachDefault("C:\\Windows\\System32\\Nothing.bff"), 0u);
    CallSkinHook(kDestroy, skin_, 0, 0, 0);
    skin_ = CallSkinHook(kCreate, 0, 0, 0, 0);
    struct Case {
        const char* name;
        std::function<void(SkinDescriptor&, ChildDescriptor&, ControlStyle&)> spoil;
    } cases[] = {
        {"descriptor size", [](SkinDescriptor& d, ChildDescriptor&, ControlStyle&) { d.size = 41; }},
        {"kind", [](SkinDescriptor& d, ChildDescriptor&, ControlStyle&) { d.kind = 7; }},
        {"no piece", [](SkinDescriptor& d, ChildDescriptor&, ControlStyle&) { d.piece = nullptr; }},
        {"no bundle", [](SkinDescriptor& d, ChildDescriptor&, ControlStyle&) { d.bundlePath = nullptr; }},
        {"child count without children", [](SkinDescriptor& d, ChildDescriptor&, ControlStyle&) { d.children = nullptr; }},
        {"too many children", [](SkinDescriptor& d, ChildDescriptor&, ControlStyle&) { d.childCount = 100000; }},
        {"child size", [](SkinDescriptor&, ChildDescriptor& c, ControlStyle&) { c.size = 0; }},
        {"style size", [](SkinDescriptor&, ChildDescriptor&, ControlStyle& s) { s.size = 12; }},
        {"no style", [](SkinDescriptor&, ChildDescriptor& c, ControlStyle&) { c.style = nullptr; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlStyle style{sizeof(ControlStyle), 2, "Close.png", {}};
        ChildDescriptor child{sizeof(ChildDescriptor), 1058, &style};
        SkinDescriptor d{sizeof(SkinDescriptor), "C:\\Windows\\System32\\K0340Cvw.bff", kNamedPiece, "BG.png", {}, 1, &child};
        c.spoil(d, child, style);
        EXPECT_EQ(CallSkinHook(kAttach, skin_, 0, reinterpret_cast<DWORD_PTR>(window_), reinterpret_cast<DWORD_PTR>(&d)), 0u);
    }
    EXPECT_EQ(CallSkinHook(kAttach, skin_, 0, reinterpret_cast<DWORD_PTR>(window_), 0), 0u);
    // The wrapped form is accepted.
    ControlStyle style{sizeof(ControlStyle), 2, "Close.png", {}};
    ChildDescriptor child{sizeof(ChildDescriptor), 1058, &style};
    WrappedDescriptor wrapped{sizeof(WrappedDescriptor),
                              {sizeof(SkinDescriptor), "C:\\Windows\\System32\\K0340Cvw.bff", kDefaultPiece, nullptr, {}, 1, &child},
                              7,
                              nullptr};
    EXPECT_EQ(CallSkinHook(kAttach, skin_, 0, reinterpret_cast<DWORD_PTR>(window_), reinterpret_cast<DWORD_PTR>(&wrapped)), 1u);
    EXPECT_EQ(CallSkinHook(kCreate + 100, skin_, 0, 0, 0), 0u) << "an unknown operation";
    CallSkinHook(kDestroy, skin_, 0, 0, 0);
    EXPECT_EQ(reinterpret_cast<void*>(LookupExport("CallSkinHook")), reinterpret_cast<void*>(&CallSkinHook));
    EXPECT_EQ(LookupExport("Other"), nullptr);
}

}  // namespace
