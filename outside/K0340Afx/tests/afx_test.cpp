// The audio effects library as the console's panel and a recording use it:
// through the loader by name, instances per audio device, the choice shared
// through the registry, hostile blocks and handles refused; and each effect
// measured on tones and an impulse whose answer is known.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <vector>

#include "outside/K0340Afx/afx_entry.h"
#include "outside/K0340Afx/effects.h"
#include "outside/K0340Afx/k0340afx.h"
#include "platform/nt/testing/machine_test.h"
#include "platform/win32/code_modules.h"
#include "windows.h"
#include "winreg.h"

namespace {

using namespace k0340afx;

constexpr char kMicrophone[] = "QK0340 Microphone";

class AfxTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        std::filesystem::create_directories(Root() / "Windows/System32");
        std::filesystem::copy_file(QK_AFX_MODULE, Root() / "Windows/System32/K0340Afx.dll");
        qk::win32::RegisterStaticModule(u"K0340Afx.dll", LookupExport);
        library_ = LoadLibraryA("K0340Afx.dll");
        ASSERT_NE(library_, nullptr);
        entry_ = reinterpret_cast<EntryPointFunction>(reinterpret_cast<void*>(GetProcAddress(library_, "luAFXEntryPoint")));
        process_ = reinterpret_cast<ProcessFunction>(reinterpret_cast<void*>(GetProcAddress(library_, "luAFXProcess")));
        ASSERT_NE(entry_, nullptr);
        ASSERT_NE(process_, nullptr);
    }
    void TearDown() override {
        for (HANDLE h : open_) entry_(h, kCloseInstance, nullptr);
        if (library_ != nullptr) FreeLibrary(library_);
        MachineTest::TearDown();
    }

    HANDLE Open(const char* device) {
        OpenBlock block{};
        std::strncpy(block.deviceName, device, sizeof block.deviceName - 1);
        EXPECT_EQ(entry_(nullptr, kOpenInstance, &block), ERROR_SUCCESS);
        open_.push_back(block.instance);
        return block.instance;
    }
    EffectState State(HANDLE h) {
        EffectState state{99, 99};
        EXPECT_EQ(entry_(h, kGetState, &state), ERROR_SUCCESS);
        return state;
    }

    HMODULE library_ = nullptr;
    EntryPointFunction entry_ = nullptr;
    ProcessFunction process_ = nullptr;
    std::vector<HANDLE> open_;
};

TEST_F(AfxTest, ListsItsEffectsAndSharesEachDevicesChoiceThroughTheRegistry) {
    ULONG version = 0;
    ASSERT_EQ(entry_(nullptr, kGetVersion, &version), ERROR_SUCCESS);
    EXPECT_GE(version, 0x100u);

    HANDLE panel = Open(kMicrophone);
    EffectList list{};
    EXPECT_EQ(entry_(panel, kListEffects, &list), ERROR_MORE_DATA) << "asking for the number";
    ASSERT_EQ(list.count, Effects().size());
    std::vector<EffectRecord> records(list.count);
    std::memset(records.data(), 0xCD, records.size() * sizeof(EffectRecord));
    list.records = records.data();
    ASSERT_EQ(entry_(panel, kListEffects, &list), ERROR_SUCCESS);
    for (size_t i = 0; i < records.size(); ++i) {
        const auto* bytes = reinterpret_cast<const char*>(&records[i]);
        EXPECT_STREQ(bytes + 276, Effects()[i].displayName) << "the display name at byte 276";
        EXPECT_EQ(records[i].size, 620u);
        EXPECT_EQ(records[i].reserved[79], 0) << "no byte left as it was";
    }
    EXPECT_EQ(list.state.enabled, 0u) << "a device never chosen for starts off";

    const EffectState hall{.enabled = 1, .selected = 2};
    ASSERT_EQ(entry_(panel, kApply, const_cast<EffectState*>(&hall)), ERROR_SUCCESS);
    HANDLE other = Open(kMicrophone);
    EXPECT_EQ(State(other).enabled, 1u) << "a second console's panel sees the choice";
    EXPECT_EQ(State(other).selected, 2u);
    EXPECT_EQ(State(Open("USB Microphone")).enabled, 0u) << "each device has its own";

    RestartMachine();
    HANDLE later = Open(kMicrophone);
    EXPECT_EQ(State(later).selected, 2u) << "kept across a restart";
    EXPECT_EQ(State(later).enabled, 1u);
}

TEST_F(AfxTest, RefusesHostileBlocksAndHandlesAndKeepsTheStoredChoice) {
    OpenBlock unterminated;
    std::memset(unterminated.deviceName, 'A', sizeof unterminated.deviceName);
    EXPECT_EQ(entry_(nullptr, kOpenInstance, &unterminated), ERROR_INVALID_PARAMETER);
    OpenBlock empty{};
    EXPECT_EQ(entry_(nullptr, kOpenInstance, &empty), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(entry_(nullptr, kOpenInstance, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(entry_(nullptr, kGetVersion, nullptr), ERROR_INVALID_PARAMETER);

    HANDLE h = Open("Mic\\With\\Backslashes");
    EffectState robot{.enabled = 1, .selected = 0};
    ASSERT_EQ(entry_(h, kApply, &robot), ERROR_SUCCESS);
    EffectState beyond{.enabled = 1, .selected = static_cast<ULONG>(Effects().size())};
    EXPECT_EQ(entry_(h, kApply, &beyond), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(State(h).selected, 0u) << "a refused choice changes nothing";
    EXPECT_EQ(entry_(h, kApply, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(entry_(h, kListEffects, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(entry_(h, 0x1502, nullptr), ERROR_INVALID_FUNCTION);

    EffectState state{};
    EXPECT_EQ(entry_(reinterpret_cast<HANDLE>(0x1234), kGetState, &state), ERROR_INVALID_HANDLE);
    EXPECT_EQ(entry_(h, kCloseInstance, nullptr), ERROR_SUCCESS);
    open_.clear();
    EXPECT_EQ(entry_(h, kGetState, &state), ERROR_INVALID_HANDLE) << "a closed instance";
    EXPECT_EQ(entry_(h, kCloseInstance, nullptr), ERROR_INVALID_HANDLE) << "closed twice";
    SHORT samples[4] = {};
    EXPECT_EQ(process_(h, samples, 2, 2, 48000), ERROR_INVALID_HANDLE);

    // A record another program damaged reads as off.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kDevicesKey) + "\\Mic#With#Backslashes").c_str(), 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    const char unknown[] = "no such effect";
    ASSERT_EQ(RegSetValueExA(key, "Effect", 0, REG_SZ, reinterpret_cast<const BYTE*>(unknown), sizeof unknown),
              ERROR_SUCCESS);
    RegCloseKey(key);
    HANDLE again = Open("Mic\\With\\Backslashes");
    EXPECT_EQ(State(again).enabled, 0u);
    EXPECT_EQ(process_(again, samples, 2, 9, 48000), ERROR_INVALID_PARAMETER) << "more channels than offered";
    EXPECT_EQ(process_(again, samples, 2, 2, 1000), ERROR_INVALID_PARAMETER) << "a rate below the range";
    EXPECT_EQ(process_(again, nullptr, 2, 2, 48000), ERROR_INVALID_PARAMETER);
}

TEST_F(AfxTest, ARecordingHearsTheEffectAPanelChoosesWithinASecond) {
    HANDLE recorder = Open(kMicrophone);
    HANDLE panel = Open(kMicrophone);
    std::vector<SHORT> block(480, 1000);
    ASSERT_EQ(process_(recorder, block.data(), 480, 1, 48000), ERROR_SUCCESS);
    EXPECT_EQ(block[100], 1000) << "off: untouched";
    EffectState robot{.enabled = 1, .selected = 0};
    ASSERT_EQ(entry_(panel, kApply, &robot), ERROR_SUCCESS);
    bool changed = false;
    for (int i = 0; i < 110 && !changed; ++i) {  // 1.1 s of 10 ms blocks
        std::fill(block.begin(), block.end(), SHORT{1000});
        ASSERT_EQ(process_(recorder, block.data(), 480, 1, 48000), ERROR_SUCCESS);
        changed = block[100] != 1000;
    }
    EXPECT_TRUE(changed);
}

// ---- The effects themselves -----------------------------------------------------------------

constexpr ULONG kRate = 48000;

std::vector<SHORT> Tone(double hz, size_t frames, double amplitude = 8000) {
    std::vector<SHORT> out(frames);
    for (size_t i = 0; i < frames; ++i) {
        out[i] = static_cast<SHORT>(std::lrint(amplitude * std::sin(2 * std::numbers::pi * hz * i / kRate)));
    }
    return out;
}

// Amplitude of one frequency over a stretch (Goertzel).
double Level(const std::vector<SHORT>& x, double hz, size_t from) {
    const double w = 2 * std::numbers::pi * hz / kRate;
    double s1 = 0, s2 = 0;
    for (size_t i = from; i < x.size(); ++i) {
        const double s = x[i] + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(x.size() - from);
}

double Decibels(double ratio) { return 20 * std::log10(ratio); }

std::vector<SHORT> Apply(EffectKind kind, std::vector<SHORT> x, ULONG channels = 1) {
    EffectProcessor p;
    p.Configure(kind, kRate, channels);
    p.Process(x.data(), static_cast<ULONG>(x.size() / channels));
    return x;
}

TEST(Effects, TelephoneAndUnderwaterKeepTheirBands) {
    struct Case {
        EffectKind kind;
        double hz;
        double minDb, maxDb;
    } cases[] = {
        {EffectKind::Telephone, 1000, -3, 1},   {EffectKind::Telephone, 100, -200, -20},
        {EffectKind::Telephone, 9000, -200, -20}, {EffectKind::Underwater, 200, -6, 1},
        {EffectKind::Underwater, 4000, -200, -30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hz);
        const auto in = Tone(c.hz, kRate / 2);
        const double db = Decibels(Level(Apply(c.kind, in), c.hz, kRate / 10) / Level(in, c.hz, kRate / 10));
        EXPECT_GE(db, c.minDb);
        EXPECT_LE(db, c.maxDb);
    }
}

TEST(Effects, TheRobotSplitsEveryToneIntoTwoBesideIt) {
    const auto in = Tone(1000, kRate / 2);
    const auto out = Apply(EffectKind::Robot, in);
    const double original = Level(in, 1000, 0);
    EXPECT_LT(Decibels(Level(out, 1000, 0) / original), -30);
    EXPECT_NEAR(Decibels(Level(out, 930, 0) / original), -6, 1.5);
    EXPECT_NEAR(Decibels(Level(out, 1070, 0) / original), -6, 1.5);
}

TEST(Effects, TheHallAnswersAnImpulseWithADecayingTail) {
    std::vector<SHORT> impulse(kRate, 0);
    impulse[0] = 20000;
    const auto out = Apply(EffectKind::Hall, impulse);
    auto energy = [&](double from, double to) {
        double e = 0;
        for (size_t i = static_cast<size_t>(from * kRate); i < static_cast<size_t>(to * kRate); ++i) e += double(out[i]) * out[i];
        return e;
    };
    EXPECT_EQ(energy(0.001, 0.029), 0) << "nothing before the shortest comb";
    EXPECT_GT(energy(0.03, 0.1), energy(0.3, 0.4));
    EXPECT_GT(energy(0.3, 0.4), 0) << "still sounding after 300 ms";
}

TEST(Effects, BlocksJoinSeamlesslyAndChannelsStayApart) {
    for (const EffectInfo& effect : Effects()) {
        SCOPED_TRACE(effect.key);
        // Left a tone, right silence, interleaved.
        const auto tone = Tone(440, 9600);
        std::vector<SHORT> stereo(tone.size() * 2, 0);
        for (size_t i = 0; i < tone.size(); ++i) stereo[2 * i] = tone[i];
        const auto whole = Apply(effect.kind, stereo, 2);
        EffectProcessor p;
        p.Configure(effect.kind, kRate, 2);
        auto pieces = stereo;
        for (size_t at = 0; at < tone.size();) {
            const size_t n = std::min<size_t>(tone.size() - at, 37 + at % 500);
            p.Process(pieces.data() + at * 2, static_cast<ULONG>(n));
            at += n;
        }
        EXPECT_EQ(pieces, whole);
        bool rightSilent = true;
        for (size_t i = 1; i < whole.size(); i += 2) rightSilent = rightSilent && whole[i] == 0;
        EXPECT_TRUE(rightSilent);
    }
}

TEST(Effects, FullScaleInputClipsInsteadOfWrapping) {
    std::vector<SHORT> loud(4800);
    for (size_t i = 0; i < loud.size(); ++i) loud[i] = (i / 24) % 2 ? 32767 : -32768;  // a 1 kHz square wave
    const auto out = Apply(EffectKind::Hall, loud);
    // Wrapping would flip sign between neighbours that a reverberated square
    // wave never flips.
    int flips = 0;
    for (size_t i = 1; i < out.size(); ++i) flips += (out[i - 1] > 30000 && out[i] < -30000) || (out[i - 1] < -30000 && out[i] > 30000);
    EXPECT_LT(flips, 5);
}

}  // namespace
