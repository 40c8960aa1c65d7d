// The skin bundle is a file on the machine: a damaged archive, piece or
// values table must be refused with a reason, never read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "outside/SkinHook/bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    auto bundle = skinhook::Bundle::FromBytes(std::vector<uint8_t>(data, data + size), &error);
    if (!bundle) {
        if (error.empty()) std::abort();
        return 0;
    }
    for (const std::string& name : bundle->PieceNames()) {
        auto piece = bundle->Piece(name, &error);
        if (piece && piece->pixels.size() != static_cast<size_t>(piece->width) * piece->height) std::abort();
    }
    bundle->Value("InfoPanelData_InfoPanel.png", "TopBorderMargin");
    return 0;
}
