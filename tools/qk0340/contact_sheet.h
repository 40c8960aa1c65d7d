// One PNG with many pictures on it, each under its label: the ui gallery's
// dialog templates and the console's scripted screens are looked at this way.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qk::cli {

struct SheetPicture {
    std::string label;
    std::filesystem::path file;  // a PNG; one that cannot be read leaves its cell empty under the label
};

// Four to a row, each shrunk to fit 420 x 420 pixels; false with the reason when the
// sheet cannot be written.
bool WriteContactSheet(const std::vector<SheetPicture>& pictures, const std::filesystem::path& sheet,
                       std::string* error);

}  // namespace qk::cli
