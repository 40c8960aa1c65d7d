#include "outside/SkinHook/bundle.h"

#include <png.h>
#include <zip.h>

#include <algorithm>
#include <cstring>

namespace skinhook {

namespace {

constexpr uint64_t kMaxValuesBytes = 1 << 20;
constexpr uint64_t kMaxPieceBytes = 16 << 20;
constexpr uint32_t kMaxSide = 4096;

bool ReadEntry(::zip* archive, zip_int64_t index, uint64_t limit, std::vector<uint8_t>* out, std::string* error) {
    zip_stat_t st;
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE)) {
        *error = "an entry of the bundle cannot be read";
        return false;
    }
    if (st.size > limit) {
        *error = "an entry of the bundle is too large";
        return false;
    }
    zip_file_t* f = zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0);
    if (!f) {
        *error = "an entry of the bundle cannot be opened";
        return false;
    }
    out->assign(st.size, 0);
    const zip_int64_t got = st.size ? zip_fread(f, out->data(), st.size) : 0;
    zip_fclose(f);
    if (got < 0 || static_cast<uint64_t>(got) != st.size) {
        *error = "an entry of the bundle is damaged";
        return false;
    }
    return true;
}

void ParseValues(const std::string& text, std::map<std::string, std::map<std::string, std::string>>* values) {
    std::string section;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == ';' || line[start] == '#') continue;
        line = line.substr(start);
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close != std::string::npos) section = Lower(line.substr(1, close - 1));
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
        std::string value = line.substr(eq + 1);
        const size_t v = value.find_first_not_of(" \t");
        value = v == std::string::npos ? "" : value.substr(v);
        (*values)[section][Lower(key)] = value;
    }
}

}  // namespace

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::unique_ptr<Bundle> Bundle::FromBytes(std::vector<uint8_t> bytes, std::string* error) {
    std::unique_ptr<Bundle> b(new Bundle);
    b->bytes_ = std::move(bytes);
    zip_error_t ze;
    zip_error_init(&ze);
    zip_source_t* source = zip_source_buffer_create(b->bytes_.data(), b->bytes_.size(), 0, &ze);
    if (!source) {
        *error = "the bundle cannot be read";
        zip_error_fini(&ze);
        return nullptr;
    }
    b->archive_ = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &ze);
    if (!b->archive_) {
        zip_source_free(source);
        *error = std::string("the bundle is not a sound archive: ") + zip_error_strerror(&ze);
        zip_error_fini(&ze);
        return nullptr;
    }
    zip_error_fini(&ze);
    const zip_int64_t index = zip_name_locate(b->archive_, "values.ini", ZIP_FL_NOCASE);
    if (index >= 0) {
        std::vector<uint8_t> text;
        if (!ReadEntry(b->archive_, index, kMaxValuesBytes, &text, error)) return nullptr;
        ParseValues(std::string(text.begin(), text.end()), &b->values_);
    }
    return b;
}

Bundle::~Bundle() {
    if (archive_) zip_discard(archive_);
}

std::vector<std::string> Bundle::PieceNames() const {
    std::vector<std::string> names;
    const zip_int64_t n = zip_get_num_entries(archive_, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        const char* name = zip_get_name(archive_, static_cast<zip_uint64_t>(i), 0);
        if (name && Lower(name).size() > 4 && Lower(name).ends_with(".png")) names.push_back(name);
    }
    return names;
}

std::shared_ptr<const Picture> Bundle::Piece(const std::string& name, std::string* error) {
    std::string local;
    std::string& why = error ? *error : local;
    const std::string key = Lower(name);
    auto it = pieces_.find(key);
    if (it != pieces_.end()) return it->second;
    const zip_int64_t index = zip_name_locate(archive_, name.c_str(), ZIP_FL_NOCASE);
    if (index < 0) {
        why = "the bundle has no piece " + name;
        return nullptr;
    }
    std::vector<uint8_t> bytes;
    if (!ReadEntry(archive_, index, kMaxPieceBytes, &bytes, &why)) return nullptr;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
        why = "the piece " + name + " is not a PNG picture";
        return nullptr;
    }
    if (image.width == 0 || image.height == 0 || image.width > kMaxSide || image.height > kMaxSide) {
        png_image_free(&image);
        why = "the piece " + name + " has an unusable size";
        return nullptr;
    }
    image.format = PNG_FORMAT_BGRA;
    auto picture = std::make_shared<Picture>();
    picture->width = static_cast<int>(image.width);
    picture->height = static_cast<int>(image.height);
    picture->pixels.assign(static_cast<size_t>(image.width) * image.height, 0);
    if (!png_image_finish_read(&image, nullptr, picture->pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        why = "the piece " + name + " is damaged";
        return nullptr;
    }
    // Premultiplied alpha, as the drawing calls blend it.
    for (uint32_t& p : picture->pixels) {
        const uint32_t a = p >> 24;
        if (a == 255) continue;
        const uint32_t r = ((p >> 16) & 0xFF) * a / 255, g = ((p >> 8) & 0xFF) * a / 255, bl = (p & 0xFF) * a / 255;
        p = a << 24 | r << 16 | g << 8 | bl;
    }
    pieces_[key] = picture;
    return picture;
}

std::optional<std::string> Bundle::Value(const std::string& section, const std::string& key) const {
    auto s = values_.find(Lower(section));
    if (s == values_.end()) return std::nullopt;
    auto k = s->second.find(Lower(key));
    if (k == s->second.end()) return std::nullopt;
    return k->second;
}

}  // namespace skinhook
