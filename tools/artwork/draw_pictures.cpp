// Draws the capture driver's three substitute pictures, 160 x 120 each, and
// writes them as 24-bit bitmaps: the build runs it and leaves the files
// beside the driver module, where the installation picks them up.
//
//   qk_artwork OUTPUT_FOLDER [--preview]    (--preview adds a PNG of each)
//
// Each picture must tell a person at a glance why the camera shows no picture,
// also when it is enlarged from 160 x 120 for a small stream or shrunk for a
// smaller one: one large symbol, one word or two, strong contrast, a
// background colour of its own.
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "tools/artwork/bmp24.h"

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;

struct Colour {
    double r, g, b;
};

void SetColour(cairo_t* cr, Colour c) { cairo_set_source_rgb(cr, c.r, c.g, c.b); }

void RoundedRectangle(cairo_t* cr, double x, double y, double w, double h, double radius) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - radius, y + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, x + w - radius, y + h - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, x + radius, y + h - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

// A vertical gradient from `top` to `bottom` over the whole picture.
void Background(cairo_t* cr, Colour top, Colour bottom) {
    cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, 0, kHeight);
    cairo_pattern_add_color_stop_rgb(gradient, 0, top.r, top.g, top.b);
    cairo_pattern_add_color_stop_rgb(gradient, 1, bottom.r, bottom.g, bottom.b);
    cairo_set_source(cr, gradient);
    cairo_paint(cr);
    cairo_pattern_destroy(gradient);
}

// The caption, centred in the band below the symbol.
void Caption(cairo_t* cr, const char* text, Colour colour) {
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    double size = 20;
    cairo_text_extents_t extents;
    for (;;) {
        cairo_set_font_size(cr, size);
        cairo_text_extents(cr, text, &extents);
        if (extents.width <= kWidth - 16 || size <= 10) break;
        size -= 1;
    }
    SetColour(cr, colour);
    cairo_move_to(cr, (kWidth - extents.width) / 2 - extents.x_bearing, 109);
    cairo_show_text(cr, text);
}

// ---- The hardware privacy switch: a camera whose lens is behind a closed shutter ----------------
void DrawHardwarePrivacy(cairo_t* cr) {
    const Colour body{0.87, 0.90, 0.94}, dark{0.10, 0.15, 0.25}, shutter{0.98, 0.70, 0.20};
    Background(cr, {0.13, 0.22, 0.40}, {0.05, 0.09, 0.18});
    // Camera body with its viewfinder hump and shutter button.
    SetColour(cr, body);
    RoundedRectangle(cr, 58, 14, 22, 10, 3);
    cairo_fill(cr);
    RoundedRectangle(cr, 36, 20, 88, 58, 9);
    cairo_fill(cr);
    SetColour(cr, dark);
    RoundedRectangle(cr, 104, 26, 12, 7, 2);
    cairo_fill(cr);
    // The lens ring.
    SetColour(cr, dark);
    cairo_arc(cr, 80, 49, 22, 0, 2 * M_PI);
    cairo_fill(cr);
    // The shutter closed across the lens: a plate with grip ridges.
    cairo_save(cr);
    cairo_arc(cr, 80, 49, 18, 0, 2 * M_PI);
    cairo_clip(cr);
    SetColour(cr, shutter);
    cairo_paint(cr);
    cairo_set_source_rgba(cr, 0.55, 0.33, 0.05, 0.9);
    cairo_set_line_width(cr, 2);
    for (double y = 38; y <= 62; y += 6) {
        cairo_move_to(cr, 60, y);
        cairo_line_to(cr, 100, y);
    }
    cairo_stroke(cr);
    cairo_restore(cr);
    Caption(cr, "Privacy", {1, 1, 1});
}

// ---- The parental lock: a padlock ----------------------------------------------------------------
void DrawParentalLock(cairo_t* cr) {
    const Colour metal{0.80, 0.82, 0.86}, gold{0.98, 0.78, 0.25}, hole{0.25, 0.15, 0.04};
    Background(cr, {0.45, 0.24, 0.06}, {0.20, 0.09, 0.02});
    // The shackle, closed into the body.
    SetColour(cr, metal);
    cairo_set_line_width(cr, 8);
    cairo_arc(cr, 80, 34, 17, M_PI, 2 * M_PI);
    cairo_move_to(cr, 63, 34);
    cairo_line_to(cr, 63, 46);
    cairo_move_to(cr, 97, 34);
    cairo_line_to(cr, 97, 46);
    cairo_stroke(cr);
    // The body and its keyhole.
    SetColour(cr, gold);
    RoundedRectangle(cr, 52, 44, 56, 42, 7);
    cairo_fill(cr);
    SetColour(cr, hole);
    cairo_arc(cr, 80, 60, 6, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_move_to(cr, 77, 62);
    cairo_line_to(cr, 83, 62);
    cairo_line_to(cr, 85, 76);
    cairo_line_to(cr, 75, 76);
    cairo_close_path(cr);
    cairo_fill(cr);
    Caption(cr, "Locked", {1, 0.93, 0.75});
}

// ---- Software privacy: a video camera struck through ----------------------------------------------
void DrawSoftwarePrivacy(cairo_t* cr) {
    const Colour back{0.16, 0.16, 0.18}, grey{0.82, 0.82, 0.84}, red{0.90, 0.20, 0.18};
    Background(cr, {0.22, 0.22, 0.25}, back);
    // A video camera: the box and the cone of its lens.
    SetColour(cr, grey);
    RoundedRectangle(cr, 38, 28, 60, 44, 8);
    cairo_fill(cr);
    cairo_move_to(cr, 100, 44);
    cairo_line_to(cr, 122, 32);
    cairo_line_to(cr, 122, 68);
    cairo_line_to(cr, 100, 56);
    cairo_close_path(cr);
    cairo_fill(cr);
    // The stroke through it, set apart from the camera by a band of background.
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_move_to(cr, 44, 14);
    cairo_line_to(cr, 116, 86);
    SetColour(cr, back);
    cairo_set_line_width(cr, 14);
    cairo_stroke_preserve(cr);
    SetColour(cr, red);
    cairo_set_line_width(cr, 7);
    cairo_stroke(cr);
    Caption(cr, "Camera off", {1, 1, 1});
}

struct Picture {
    const char* fileName;  // as the capture driver looks for it
    void (*draw)(cairo_t*);
};

constexpr Picture kPictures[] = {
    {"K0340Pv2", DrawHardwarePrivacy},
    {"K0340Pc", DrawParentalLock},
    {"K0340Pvc", DrawSoftwarePrivacy},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && std::string(argv[2]) != "--preview")) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER [--preview]\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const bool preview = argc == 3;
    for (const Picture& picture : kPictures) {
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
        cairo_t* cr = cairo_create(surface);
        picture.draw(cr);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        std::string error;
        const std::string base = folder + "/" + picture.fileName;
        bool ok = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
        if (!ok) error = std::string("drawing failed: ") + cairo_status_to_string(cairo_surface_status(surface));
        ok = ok && qk::artwork::WriteFile(base + ".bmp",
                                          qk::artwork::EncodeBmp24(cairo_image_surface_get_data(surface), kWidth,
                                                                   kHeight, cairo_image_surface_get_stride(surface)),
                                          &error);
        if (ok && preview && cairo_surface_write_to_png(surface, (base + ".png").c_str()) != CAIRO_STATUS_SUCCESS) {
            ok = false;
            error = "cannot write " + base + ".png";
        }
        cairo_surface_destroy(surface);
        if (!ok) {
            std::fprintf(stderr, "qk_artwork: %s: %s\n", picture.fileName, error.c_str());
            return 1;
        }
    }
    return 0;
}
