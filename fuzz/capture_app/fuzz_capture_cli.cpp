// What the capture and props commands read from outside besides the stream:
// control names, values and --set assignments, --inject specifications, the
// basic-support descriptions a filter returns, and a Y4M stream on standard
// input filmed at any times and sizes.
//
// Input: byte 0 picks the part; the rest is the text or the bytes.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "tools/session/camera_controls.h"
#include "tools/session/fault_plan.h"
#include "tools/session/y4m_pipe_source.h"

using namespace qk::session;

namespace {

void Controls(std::string_view text) {
    std::string error;
    if (const ControlInfo* c = FindControl(text, &error)) {
        if (FindControl(SetIdText(*c)) == nullptr) __builtin_trap();
    }
    ControlAssignment a;
    if (ParseAssignment(text, &a, &error) && a.control == nullptr) __builtin_trap();
    for (const ControlInfo& c : AllControls()) {
        LONG value = 0;
        if (ParseControlValue(c, text, &value, &error)) ValueText(c, value);
    }
}

void Faults(std::string_view text) {
    FaultPlan plan;
    std::string error;
    if (!ParseFaultPlan(text, &plan, &error)) return;
    if (plan.replugAt && (!plan.unplugAt || *plan.replugAt <= *plan.unplugAt)) __builtin_trap();
    if (plan.loseEvery == 1) __builtin_trap();
    plan.Describe();
}

void Description(const uint8_t* data, size_t size) {
    // A copy of exactly the size, so a read past it is seen.
    std::vector<uint8_t> bytes(data, data + size);
    ControlSupport support;
    ParseDescription(bytes, &support);
    support.RangeText();
}

void Stream(const uint8_t* data, size_t size) {
    if (size < 4) return;
    // The first bytes pick how the camera films it; the rest is the stream.
    const int width = 2 + data[0] % 40, height = 2 + data[1] % 30;
    const int64_t step = 1 + data[2] * 100'000;
    auto in = std::make_shared<std::istringstream>(std::string(reinterpret_cast<const char*>(data + 3), size - 3));
    std::string error;
    // Small pictures only: the test is of the reading, not of the memory.
    auto source = Y4mPipeSource::Open(in, "fuzz", &error, 256, 2);
    if (!source) return;
    std::vector<uint8_t> rgb;
    for (int i = 0; i < 8; ++i) {
        source->Render(i * step, width, height, rgb);
        if (rgb.size() != size_t(width) * height * 3) __builtin_trap();
    }
    source->Render(0, width, height, rgb);  // a camera plugged in again
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 4) {
        case 0: Controls(text); break;
        case 1: Faults(text); break;
        case 2: Description(data + 1, size - 1); break;
        default: Stream(data + 1, size - 1); break;
    }
    return 0;
}
