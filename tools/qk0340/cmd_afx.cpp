// qk0340 afx list|set|apply: the audio effects library of an installed root,
// through its entry as the console's audio effects panel calls it, and its
// effects heard on a sound file.
#include <sndfile.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "outside/K0340Afx/afx_entry.h"
#include "outside/K0340Afx/effects.h"
#include "outside/K0340Afx/k0340afx.h"
#include "platform/win32/code_modules.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "windows.h"

namespace {

using qk::cli::Failure;
using namespace k0340afx;

// The camera microphone's name as the audio devices' records give it.
constexpr char kDefaultDevice[] = "QK0340 Microphone";

struct AfxArguments {
    std::string root = "./qk0340-root";
    std::string device = kDefaultDevice;
    std::string effect;
    bool on = false;
    bool off = false;
    std::string in;
    std::string out;
};

std::string ErrorText(LONG error) {
    switch (error) {
        case ERROR_INVALID_PARAMETER: return "the library refused the request";
        case ERROR_INVALID_HANDLE: return "the library lost the instance";
        default: return "error " + std::to_string(error);
    }
}

// An instance of the installed library for one audio device, closed and
// unloaded on every path.
class Library {
public:
    Library(const std::string& device) {
        qk::win32::RegisterStaticModule(u"K0340Afx.dll", LookupExport);
        module_ = LoadLibraryA("K0340Afx.dll");
        if (module_ == nullptr) throw Failure("K0340Afx.dll is not installed on this root");
        entry_ = reinterpret_cast<EntryPointFunction>(reinterpret_cast<void*>(GetProcAddress(module_, "luAFXEntryPoint")));
        if (entry_ == nullptr) throw Failure("K0340Afx.dll has no entry luAFXEntryPoint");
        OpenBlock block{};
        if (device.empty() || device.size() >= sizeof block.deviceName) throw Failure("the device name must be 1 to 259 characters");
        std::memcpy(block.deviceName, device.data(), device.size());
        Check(entry_(nullptr, kOpenInstance, &block), "open an instance");
        instance_ = block.instance;
    }
    ~Library() {
        if (instance_ != nullptr) entry_(instance_, kCloseInstance, nullptr);
        FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    std::vector<EffectRecord> List(EffectState* state) {
        EffectList list{};
        entry_(instance_, kListEffects, &list);  // asks for the number
        std::vector<EffectRecord> records(list.count);
        list.records = records.data();
        Check(entry_(instance_, kListEffects, &list), "list the effects");
        records.resize(list.count);
        *state = list.state;
        return records;
    }
    void Apply(EffectState state) { Check(entry_(instance_, kApply, &state), "apply the choice"); }

private:
    static void Check(LONG error, const char* what) {
        if (error != ERROR_SUCCESS) throw Failure(std::string("cannot ") + what + ": " + ErrorText(error));
    }
    HMODULE module_ = nullptr;
    EntryPointFunction entry_ = nullptr;
    HANDLE instance_ = nullptr;
};

std::unique_ptr<qk::install::MachineSession> Session(const AfxArguments& a) {
    std::string error;
    auto session = qk::install::MachineSession::Start(a.root, qk::install::MachineSession::Root::Installed, &error);
    if (!session) throw Failure(error);
    return session;
}

void List(const AfxArguments& a) {
    auto session = Session(a);
    Library library(a.device);
    EffectState state{};
    const auto records = library.List(&state);
    std::cout << a.device << ": effects " << (state.enabled ? "on" : "off") << "\n";
    for (size_t i = 0; i < records.size(); ++i) {
        std::cout << (i == state.selected ? "* " : "  ") << records[i].key << "\t" << records[i].displayName << "\n";
    }
}

void Set(const AfxArguments& a) {
    if (a.on && a.off) throw Failure("--on and --off exclude each other");
    auto session = Session(a);
    Library library(a.device);
    EffectState state{};
    const auto records = library.List(&state);
    if (!a.effect.empty()) {
        size_t i = 0;
        while (i < records.size() && a.effect != records[i].key) ++i;
        if (i == records.size()) throw Failure("no effect named \"" + a.effect + "\" (qk0340 afx list shows them)");
        state.selected = static_cast<ULONG>(i);
        state.enabled = 1;
    }
    if (a.on) state.enabled = 1;
    if (a.off) state.enabled = 0;
    library.Apply(state);
    std::cout << a.device << ": " << records[state.selected].key << (state.enabled ? " on" : " off") << "\n";
}

void ApplyToFile(const AfxArguments& a) {
    const EffectInfo* effect = nullptr;
    for (const EffectInfo& e : Effects()) {
        if (a.effect == e.key) effect = &e;
    }
    if (effect == nullptr) throw Failure("no effect named \"" + a.effect + "\"");
    SF_INFO info{};
    SNDFILE* in = sf_open(a.in.c_str(), SFM_READ, &info);
    if (in == nullptr) throw Failure("cannot read " + a.in + ": " + sf_strerror(nullptr));
    if (info.channels < 1 || info.channels > static_cast<int>(kMaxChannels) || info.samplerate < static_cast<int>(kMinRateHz) ||
        info.samplerate > static_cast<int>(kMaxRateHz)) {
        sf_close(in);
        throw Failure(a.in + ": 1 to 8 channels at 8000 to 192000 Hz are taken");
    }
    SF_INFO outInfo{.frames = 0, .samplerate = info.samplerate, .channels = info.channels,
                    .format = SF_FORMAT_WAV | SF_FORMAT_PCM_16, .sections = 0, .seekable = 0};
    // Written beside and renamed at the end: a run that fails leaves an
    // existing output as it was.
    const std::string partial = a.out + ".part";
    SNDFILE* out = sf_open(partial.c_str(), SFM_WRITE, &outInfo);
    if (out == nullptr) {
        sf_close(in);
        throw Failure("cannot write " + a.out + ": " + sf_strerror(nullptr));
    }
    EffectProcessor processor;
    processor.Configure(effect->kind, static_cast<ULONG>(info.samplerate), static_cast<ULONG>(info.channels));
    std::vector<SHORT> block(4096 * static_cast<size_t>(info.channels));
    sf_count_t total = 0;
    std::error_code ignored;
    for (sf_count_t got; (got = sf_readf_short(in, block.data(), 4096)) > 0; total += got) {
        processor.Process(block.data(), static_cast<ULONG>(got));
        if (sf_writef_short(out, block.data(), got) != got) {
            sf_close(in);
            sf_close(out);
            std::filesystem::remove(partial, ignored);
            throw Failure("cannot write " + a.out + ": the disk refused");
        }
    }
    sf_close(in);
    sf_close(out);
    std::filesystem::rename(partial, a.out, ignored);
    if (ignored) {
        std::filesystem::remove(partial, ignored);
        throw Failure("cannot write " + a.out);
    }
    std::cout << a.out << ": " << total << " frames through \"" << effect->displayName << "\"\n";
}

void AddAfxCommands(CLI::App& app) {
    auto* afx = app.add_subcommand("afx", "The audio effects library: its effects, each device's choice, effects on files");
    afx->require_subcommand(1);
    auto a = std::make_shared<AfxArguments>();

    auto* list = afx->add_subcommand("list", "The effects and the device's choice");
    list->add_option("--root", a->root, "System root (made by qk0340 install)");
    list->add_option("--device", a->device, "Audio device name");
    list->callback([a] { List(*a); });

    auto* set = afx->add_subcommand("set", "Choose the device's effect, or switch effects on or off");
    set->add_option("--root", a->root, "System root (made by qk0340 install)");
    set->add_option("--device", a->device, "Audio device name");
    set->add_option("--effect", a->effect, "Effect key (switches effects on)");
    set->add_flag("--on", a->on, "Effects on");
    set->add_flag("--off", a->off, "Effects off");
    set->callback([a] { Set(*a); });

    auto* apply = afx->add_subcommand("apply", "Run a sound file through one effect");
    apply->add_option("input", a->in, "Sound file to read")->required();
    apply->add_option("output", a->out, "WAV file to write (16-bit)")->required();
    apply->add_option("--effect", a->effect, "Effect key")->required();
    apply->callback([a] { ApplyToFile(*a); });
}

QK_CLI_COMMAND(AddAfxCommands);

}  // namespace
