// The skin bundle: a zip archive of PNG pieces and one values table
// ("values.ini": [section] lines and key=value lines). Names of pieces,
// sections and keys compare without case. A damaged archive, a piece that
// is not a sound PNG or a values table too large to be one is an error with
// a reason; nothing is read outside the bytes of the bundle.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct zip;

namespace skinhook {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // premultiplied 0xAARRGGBB, rows top to bottom
};

class Bundle {
public:
    static std::unique_ptr<Bundle> FromBytes(std::vector<uint8_t> bytes, std::string* error);
    ~Bundle();

    // The piece decoded, or nothing (and the reason) when it is missing or damaged.
    std::shared_ptr<const Picture> Piece(const std::string& name, std::string* error = nullptr);
    std::optional<std::string> Value(const std::string& section, const std::string& key) const;
    std::vector<std::string> PieceNames() const;

private:
    Bundle() = default;
    std::vector<uint8_t> bytes_;  // the archive; libzip reads from it in place
    ::zip* archive_ = nullptr;
    std::map<std::string, std::map<std::string, std::string>> values_;  // lower-case names
    std::map<std::string, std::shared_ptr<const Picture>> pieces_;        // decoded on first use
};

std::string Lower(std::string s);

}  // namespace skinhook
