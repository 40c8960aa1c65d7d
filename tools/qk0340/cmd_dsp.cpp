// qk0340 dsp run|eval: one signal-processing stage over a sound file, and the
// evaluation of all stages on the synthetic scenes against SpeexDSP.
#include <cmath>
#include <cstdio>
#include <memory>

#include "tools/dsp_eval/evaluation.h"
#include "tools/dsp_eval/feature_runner.h"
#include "tools/dsp_eval/sound_file.h"
#include "tools/qk0340/command_registry.h"
#include "tools/qk0340/progress.h"

namespace {

struct RunOptions {
    std::string feature, in, ref, out;
    long delay = -1;
};

void Run(const RunOptions& o) {
    qk::dsp::Feature feature;
    if (!qk::dsp::ParseFeature(o.feature, feature))
        throw qk::cli::Failure("unknown feature '" + o.feature + "' (noiseguard, bfa, bfa3, echoquell)");
    qk::dsp::Sound mic, ref, out;
    if (std::string e = qk::dsp::ReadSound(o.in, mic); !e.empty()) throw qk::cli::Failure(o.in + ": " + e);
    if (!o.ref.empty())
        if (std::string e = qk::dsp::ReadSound(o.ref, ref); !e.empty()) throw qk::cli::Failure(o.ref + ": " + e);
    if ((feature == qk::dsp::Feature::kBfa || feature == qk::dsp::Feature::kBfa3) && mic.channels != 2)
        std::fprintf(stderr, "qk0340: note: %s is mono; running NoiseGuard instead\n", o.in.c_str());
    qk::cli::Progress progress("dsp " + o.feature, mic.frames());
    std::string e = qk::dsp::RunFeature(feature, mic, o.ref.empty() ? nullptr : &ref, out,
                                        [&](size_t done, size_t) { progress.Update(done); }, o.delay);
    progress.Finish();
    if (!e.empty()) throw qk::cli::Failure(e);
    if (std::string w = qk::dsp::WriteSound(o.out, out); !w.empty()) throw qk::cli::Failure(w);
    std::printf("%s: %zu frames at %d Hz -> %s (mono)\n", o.feature.c_str(), out.frames(), out.rateHz, o.out.c_str());
}

void Eval(double seconds, bool linearEcho, uint32_t variant) {
    std::vector<int> rates = {8000, 16000, 44100, 48000};
    qk::cli::Progress progress("dsp eval", rates.size() * 4);
    auto rows =
        qk::dsp::Evaluate(rates, seconds, [&](size_t done, size_t) { progress.Update(done); }, !linearEcho, variant);
    progress.Finish();
    std::printf("%-10s %6s  %-58s %9s %9s\n", "stage", "rate", "figure", "ours", "SpeexDSP");
    for (const auto& r : rows) {
        if (std::isnan(r.anchor))
            std::printf("%-10s %6d  %-58s %9.1f %9s\n", r.stage.c_str(), r.rateHz, r.figure.c_str(), r.ours, "-");
        else
            std::printf("%-10s %6d  %-58s %9.1f %9.1f\n", r.stage.c_str(), r.rateHz, r.figure.c_str(), r.ours, r.anchor);
    }
    std::printf("(measured delay: the SpeexDSP column holds the true delay)\n");
}

void AddDspCommands(CLI::App& app) {
    CLI::App* dsp = app.add_subcommand("dsp", "microphone signal processing");
    dsp->require_subcommand(1);
    auto run = std::make_shared<RunOptions>();
    CLI::App* r = dsp->add_subcommand("run", "run one stage over a sound file");
    r->add_option("--feature", run->feature, "noiseguard|bfa|bfa3|echoquell")->required();
    r->add_option("--in", run->in, "microphone file (16/32-bit, mono/stereo, 8-48 kHz)")->required();
    r->add_option("--ref", run->ref, "far-end file for echoquell");
    r->add_option("--delay", run->delay, "known echo delay in samples (echoquell)");
    r->add_option("-o,--out", run->out, "output file")->required();
    r->callback([run] { Run(*run); });
    auto seconds = std::make_shared<double>(12.0);
    auto linearEcho = std::make_shared<bool>(false);
    CLI::App* e = dsp->add_subcommand("eval", "evaluate every stage on synthetic scenes against SpeexDSP");
    e->add_option("--seconds", *seconds, "length of the noise scenes (the echo scene converges for at least 20 s)");
    auto variant = std::make_shared<uint32_t>(0);
    e->add_flag("--linear-echo", *linearEcho, "EchoQuell without its residual echo suppression");
    e->add_option("--variant", *variant, "other signals for the same scenes (0: the reference set)")
        ->check(CLI::Range(0u, 1000u));
    e->callback([seconds, linearEcho, variant] { Eval(*seconds, *linearEcho, *variant); });
}

QK_CLI_COMMAND(AddDspCommands);

}  // namespace
