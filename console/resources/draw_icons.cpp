// Draws the console's icons (our own artwork) and writes them as icon files
// the resource compiler reads: an ICONDIR, one 16-byte entry per size, and
// each image as a PNG file, the form icon files have held since 32-bit
// colour with alpha became usual.
//
//   qk_console_icons OUTPUT_FOLDER
#include <cairo.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Painter = std::function<void(cairo_t*, double size)>;

std::vector<uint8_t> Png(cairo_surface_t* s) {
    std::vector<uint8_t> out;
    cairo_surface_write_to_png_stream(
        s,
        [](void* closure, const unsigned char* data, unsigned int length) {
            auto* v = static_cast<std::vector<uint8_t>*>(closure);
            v->insert(v->end(), data, data + length);
            return CAIRO_STATUS_SUCCESS;
        },
        &out);
    return out;
}

void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(x & 0xFF);
    v.push_back(x >> 8);
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back((x >> (8 * i)) & 0xFF);
}

bool WriteIcon(const std::string& path, const Painter& paint) {
    const int sizes[] = {16, 32, 48};
    std::vector<std::vector<uint8_t>> images;
    for (int size : sizes) {
        cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
        cairo_t* cr = cairo_create(s);
        paint(cr, size);
        cairo_destroy(cr);
        images.push_back(Png(s));
        cairo_surface_destroy(s);
    }
    std::vector<uint8_t> file;
    Put16(file, 0);
    Put16(file, 1);
    Put16(file, static_cast<uint16_t>(images.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        file.push_back(static_cast<uint8_t>(sizes[i]));
        file.push_back(static_cast<uint8_t>(sizes[i]));
        file.push_back(0);
        file.push_back(0);
        Put16(file, 1);
        Put16(file, 32);
        Put32(file, static_cast<uint32_t>(images[i].size()));
        Put32(file, offset);
        offset += static_cast<uint32_t>(images[i].size());
    }
    for (const auto& image : images) file.insert(file.end(), image.begin(), image.end());
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && ok;
}

void RoundedSquare(cairo_t* cr, double x, double y, double w, double h, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

// The console: a camera body with its lens on a blue tile.
void Console(cairo_t* cr, double s) {
    RoundedSquare(cr, 0.5, 0.5, s - 1, s - 1, s * 0.18);
    cairo_pattern_t* g = cairo_pattern_create_linear(0, 0, 0, s);
    cairo_pattern_add_color_stop_rgb(g, 0, 0.20, 0.55, 0.90);
    cairo_pattern_add_color_stop_rgb(g, 1, 0.05, 0.25, 0.60);
    cairo_set_source(cr, g);
    cairo_fill(cr);
    cairo_pattern_destroy(g);
    RoundedSquare(cr, s * 0.18, s * 0.28, s * 0.64, s * 0.46, s * 0.08);
    cairo_set_source_rgb(cr, 0.95, 0.95, 0.97);
    cairo_fill(cr);
    cairo_arc(cr, s * 0.5, s * 0.51, s * 0.17, 0, 2 * M_PI);
    cairo_set_source_rgb(cr, 0.10, 0.12, 0.18);
    cairo_fill(cr);
    cairo_arc(cr, s * 0.46, s * 0.47, s * 0.05, 0, 2 * M_PI);
    cairo_set_source_rgb(cr, 0.55, 0.75, 1.0);
    cairo_fill(cr);
    cairo_arc(cr, s * 0.72, s * 0.22, s * 0.06, 0, 2 * M_PI);
    cairo_set_source_rgb(cr, 0.3, 0.9, 0.4);
    cairo_fill(cr);
}

void Video(cairo_t* cr, double s) {
    RoundedSquare(cr, s * 0.08, s * 0.25, s * 0.58, s * 0.5, s * 0.08);
    cairo_set_source_rgb(cr, 0.15, 0.45, 0.80);
    cairo_fill(cr);
    cairo_move_to(cr, s * 0.66, s * 0.5);
    cairo_line_to(cr, s * 0.92, s * 0.3);
    cairo_line_to(cr, s * 0.92, s * 0.7);
    cairo_close_path(cr);
    cairo_fill(cr);
}

void Audio(cairo_t* cr, double s) {
    RoundedSquare(cr, s * 0.36, s * 0.1, s * 0.28, s * 0.5, s * 0.14);
    cairo_set_source_rgb(cr, 0.15, 0.55, 0.35);
    cairo_fill(cr);
    cairo_set_line_width(cr, std::max(1.0, s * 0.07));
    cairo_arc(cr, s * 0.5, s * 0.42, s * 0.26, 0, M_PI);
    cairo_stroke(cr);
    cairo_move_to(cr, s * 0.5, s * 0.68);
    cairo_line_to(cr, s * 0.5, s * 0.88);
    cairo_stroke(cr);
}

void Lock(cairo_t* cr, double s, bool closed) {
    cairo_set_line_width(cr, std::max(1.0, s * 0.09));
    cairo_set_source_rgb(cr, 0.35, 0.35, 0.40);
    if (closed) {
        cairo_arc(cr, s * 0.5, s * 0.4, s * 0.2, M_PI, 2 * M_PI);
    } else {
        cairo_arc(cr, s * 0.7, s * 0.35, s * 0.2, M_PI, 2 * M_PI);
    }
    cairo_stroke(cr);
    RoundedSquare(cr, s * 0.2, s * 0.4, s * 0.6, s * 0.5, s * 0.06);
    cairo_set_source_rgb(cr, closed ? 0.85 : 0.30, closed ? 0.55 : 0.70, 0.15);
    cairo_fill(cr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const bool ok = WriteIcon(dir + "/console.ico", Console) && WriteIcon(dir + "/panel_video.ico", Video) &&
                    WriteIcon(dir + "/panel_audio.ico", Audio) &&
                    WriteIcon(dir + "/locked.ico", [](cairo_t* cr, double s) { Lock(cr, s, true); }) &&
                    WriteIcon(dir + "/unlocked.ico", [](cairo_t* cr, double s) { Lock(cr, s, false); });
    if (!ok) {
        std::fprintf(stderr, "cannot write the icons to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
