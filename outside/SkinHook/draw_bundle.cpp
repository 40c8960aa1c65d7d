// Draws the skin bundle "K0340Cvw.bff" (our own artwork): every piece the
// console names as a PNG, and the values table, stored in a zip archive.
//
//   qk_skin_bundle OUTPUT.bff
#include <cairo.h>
#include <zip.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Colour {
    double r, g, b;
};
constexpr Colour kNavy{0.10, 0.16, 0.28}, kBlue{0.16, 0.42, 0.78}, kSky{0.55, 0.75, 0.98}, kPanel{0.93, 0.95, 0.98},
    kEdge{0.45, 0.52, 0.62}, kWhite{1, 1, 1}, kGrey{0.6, 0.62, 0.66};

void Set(cairo_t* cr, Colour c, double a = 1) { cairo_set_source_rgba(cr, c.r, c.g, c.b, a); }

void Rounded(cairo_t* cr, double x, double y, double w, double h, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

struct Piece {
    std::string name;
    std::vector<uint8_t> png;
};

std::vector<uint8_t> Render(int w, int h, const std::function<void(cairo_t*)>& paint) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(s);
    paint(cr);
    cairo_destroy(cr);
    std::vector<uint8_t> out;
    cairo_surface_write_to_png_stream(
        s,
        [](void* c, const unsigned char* d, unsigned int n) {
            static_cast<std::vector<uint8_t>*>(c)->insert(static_cast<std::vector<uint8_t>*>(c)->end(), d, d + n);
            return CAIRO_STATUS_SUCCESS;
        },
        &out);
    cairo_surface_destroy(s);
    return out;
}

// A button of four frames side by side: normal, focused, pressed, disabled.
std::vector<uint8_t> Button(int w, int h, const std::function<void(cairo_t*, int frame)>& glyph, double radius = 5) {
    return Render(4 * w, h, [&](cairo_t* cr) {
        for (int f = 0; f < 4; ++f) {
            cairo_save(cr);
            cairo_translate(cr, f * w, 0);
            Rounded(cr, 0.5, 0.5, w - 1, h - 1, radius);
            cairo_pattern_t* g = cairo_pattern_create_linear(0, 0, 0, h);
            const double lift = f == 1 ? 0.08 : f == 2 ? -0.10 : 0;
            if (f == 3) {
                cairo_pattern_add_color_stop_rgb(g, 0, 0.55, 0.57, 0.60);
                cairo_pattern_add_color_stop_rgb(g, 1, 0.45, 0.47, 0.50);
            } else {
                cairo_pattern_add_color_stop_rgb(g, 0, kSky.r * 0.6 + lift, kSky.g * 0.6 + lift, kSky.b * 0.8 + lift);
                cairo_pattern_add_color_stop_rgb(g, 1, kBlue.r * 0.7 + lift, kBlue.g * 0.7 + lift, kBlue.b * 0.8 + lift);
            }
            cairo_set_source(cr, g);
            cairo_fill_preserve(cr);
            cairo_pattern_destroy(g);
            Set(cr, f == 1 ? kWhite : kNavy, f == 1 ? 0.9 : 0.8);
            cairo_set_line_width(cr, 1);
            cairo_stroke(cr);
            if (glyph) {
                Set(cr, f == 3 ? kGrey : kWhite);
                glyph(cr, f);
            }
            cairo_restore(cr);
        }
    });
}

void Arrow(cairo_t* cr, double cx, double cy, double angle, double size) {
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_rotate(cr, angle);
    cairo_move_to(cr, size, 0);
    cairo_line_to(cr, -size * 0.6, -size * 0.8);
    cairo_line_to(cr, -size * 0.6, size * 0.8);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_restore(cr);
}

// An arrow head with a shaft behind it: a bare head turned by 45 degrees
// reads as pointing sideways or inward at button size.
void ShaftedArrow(cairo_t* cr, double cx, double cy, double angle, double size) {
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_rotate(cr, angle);
    cairo_move_to(cr, size * 1.2, 0);
    cairo_line_to(cr, size * 0.1, -size * 0.7);
    cairo_line_to(cr, size * 0.1, size * 0.7);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_rectangle(cr, -size, -size * 0.2, size * 1.2, size * 0.4);
    cairo_fill(cr);
    cairo_restore(cr);
}

std::vector<uint8_t> Area(int highlight) {
    // The picture is split as the focus settings dialog hit-tests it.
    return Render(130, 88, [&](cairo_t* cr) {
        Set(cr, kNavy);
        cairo_paint(cr);
        const double cells[5][4] = {{0, 0, 65, 44}, {65, 0, 65, 44}, {0, 44, 65, 44}, {65, 44, 65, 44}, {33, 22, 64, 44}};
        for (int i = 0; i < 5; ++i) {
            const auto& c = cells[i];
            cairo_rectangle(cr, c[0] + 2, c[1] + 2, c[2] - 4, c[3] - 4);
            Set(cr, i == highlight ? kSky : kBlue, highlight < 0 ? 0.3 : (i == highlight ? 0.95 : 0.45));
            cairo_fill(cr);
        }
        cairo_arc(cr, 65, 40, 12, 0, 2 * M_PI);
        Set(cr, kWhite, highlight < 0 ? 0.3 : 0.8);
        cairo_set_line_width(cr, 2);
        cairo_stroke(cr);
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.bff\n", argv[0]);
        return 2;
    }
    std::vector<Piece> pieces;
    auto add = [&](std::string name, std::vector<uint8_t> png) { pieces.push_back({std::move(name), std::move(png)}); };

    // Backgrounds: the console (a caption band of 30 pixels on a dark frame),
    // the tab bar, the stacks and panels.
    add("BG.png", Render(64, 96, [](cairo_t* cr) {
            Rounded(cr, 0, 0, 64, 96, 8);
            cairo_pattern_t* g = cairo_pattern_create_linear(0, 0, 0, 96);
            cairo_pattern_add_color_stop_rgb(g, 0, 0.20, 0.30, 0.48);
            cairo_pattern_add_color_stop_rgb(g, 0.32, kNavy.r, kNavy.g, kNavy.b);
            cairo_pattern_add_color_stop_rgb(g, 1, 0.07, 0.10, 0.18);
            cairo_set_source(cr, g);
            cairo_fill(cr);
            cairo_pattern_destroy(g);
            cairo_rectangle(cr, 0, 30, 64, 1);
            Set(cr, kSky, 0.6);
            cairo_fill(cr);
        }));
    add("BG3.png", Render(32, 24, [](cairo_t* cr) {
            Set(cr, kNavy);
            cairo_paint(cr);
            cairo_rectangle(cr, 0, 23, 32, 1);
            Set(cr, kSky, 0.5);
            cairo_fill(cr);
        }));
    add("InfoPanelWnd.png", Render(32, 32, [](cairo_t* cr) {
            Set(cr, kPanel);
            cairo_paint(cr);
        }));
    add("InfoPanel.png", Render(48, 48, [](cairo_t* cr) {
            Rounded(cr, 0.5, 0.5, 47, 47, 5);
            Set(cr, kPanel);
            cairo_fill_preserve(cr);
            Set(cr, kEdge);
            cairo_set_line_width(cr, 1);
            cairo_stroke(cr);
            cairo_save(cr);
            Rounded(cr, 0.5, 0.5, 47, 47, 5);
            cairo_clip(cr);
            cairo_pattern_t* g = cairo_pattern_create_linear(0, 0, 0, 24);
            cairo_pattern_add_color_stop_rgb(g, 0, 0.30, 0.52, 0.85);
            cairo_pattern_add_color_stop_rgb(g, 1, 0.13, 0.33, 0.64);
            cairo_rectangle(cr, 0, 0, 48, 24);
            cairo_set_source(cr, g);
            cairo_fill(cr);
            cairo_pattern_destroy(g);
            cairo_restore(cr);
        }));
    add("DropDown.png", Render(32, 16, [](cairo_t* cr) {
            Set(cr, kWhite);
            Arrow(cr, 8, 8, 0, 5);           // collapsed: pointing right
            Arrow(cr, 24, 8, M_PI / 2, 5);   // expanded: pointing down
        }));
    add("Minimize.png", Button(24, 24, [](cairo_t* cr, int) {
            cairo_rectangle(cr, 7, 15, 10, 2);
            cairo_fill(cr);
        }));
    add("Close.png", Button(24, 24, [](cairo_t* cr, int) {
            cairo_set_line_width(cr, 2);
            cairo_move_to(cr, 8, 8);
            cairo_line_to(cr, 16, 16);
            cairo_move_to(cr, 16, 8);
            cairo_line_to(cr, 8, 16);
            cairo_stroke(cr);
        }));
    add("Setting.png", Button(28, 24, [](cairo_t* cr, int) {
            cairo_set_line_width(cr, 2);
            cairo_arc(cr, 14, 12, 5, 0, 2 * M_PI);
            cairo_stroke(cr);
            for (int i = 0; i < 8; ++i) {
                cairo_save(cr);
                cairo_translate(cr, 14, 12);
                cairo_rotate(cr, i * M_PI / 4);
                cairo_rectangle(cr, 5, -1, 3, 2);
                cairo_fill(cr);
                cairo_restore(cr);
            }
        }));
    add("Button_Special.png", Button(64, 24, [](cairo_t* cr, int) { Arrow(cr, 54, 12, M_PI / 2, 4); }, 6));
    add("TabsButton.png", Button(64, 24, nullptr, 4));
    add("BrioView.png", Button(64, 24, [](cairo_t* cr, int) {
            Rounded(cr, 8, 7, 14, 10, 2);
            cairo_fill(cr);
            Arrow(cr, 25, 12, M_PI, 4);
        }, 4));
    add("BrioAudio.png", Button(64, 24, [](cairo_t* cr, int) {
            Rounded(cr, 12, 5, 6, 10, 3);
            cairo_fill(cr);
            cairo_set_line_width(cr, 1.5);
            cairo_arc(cr, 15, 12, 6, 0, M_PI);
            cairo_stroke(cr);
        }, 4));
    const char* areas[] = {"Area_TopLeft.png", "Area_TopRight.png", "Area_BottomLeft.png", "Area_BottomRight.png", "Area_Center.png"};
    for (int i = 0; i < 5; ++i) add(areas[i], Area(i));
    add("Area_Disabled.png", Area(-1));
    struct Pt {
        const char* name;
        double angle;
        bool centre;
    };
    const Pt arrows[] = {{"PT_BttnL.png", M_PI, false},          {"PT_BttnR.png", 0, false},
                         {"PT_BttnT.png", -M_PI / 2, false},     {"PT_BttnD.png", M_PI / 2, false},
                         {"PT_BttnC.png", 0, true},              {"PT_BttnLU.png", -3 * M_PI / 4, false},
                         {"PT_BttnLD.png", 3 * M_PI / 4, false}, {"PT_BttnRU.png", -M_PI / 4, false},
                         {"PT_BttnRD.png", M_PI / 4, false}};
    for (const Pt& p : arrows) {
        add(p.name, Button(27, 26, [p](cairo_t* cr, int) {
                if (p.centre) {
                    cairo_arc(cr, 13.5, 13, 5, 0, 2 * M_PI);
                    cairo_fill(cr);
                } else {
                    if (std::fmod(std::fabs(p.angle), M_PI / 2) > 0.1) {
                        ShaftedArrow(cr, 13.5, 13, p.angle, 6);
                    } else {
                        Arrow(cr, 13.5, 13, p.angle, 6);
                    }
                }
            }));
    }
    for (bool in : {true, false}) {
        add(in ? "PTBttnZ_in.png" : "PTBttnZ_out.png", Button(34, 35, [in](cairo_t* cr, int) {
                cairo_set_line_width(cr, 3);
                cairo_move_to(cr, 10, 17.5);
                cairo_line_to(cr, 24, 17.5);
                if (in) {
                    cairo_move_to(cr, 17, 10.5);
                    cairo_line_to(cr, 17, 24.5);
                }
                cairo_stroke(cr);
            }, 17));
    }

    std::string values =
        "; Values of the QK0340 console skin.\n"
        "[Defaults]\nWindow=BG.png\n"
        "[Slices]\nBG.png=12,34,12,12\nBG3.png=2,2,2,2\nInfoPanel.png=8,24,8,8\nButton_Special.png=8,8,16,8\n"
        "TabsButton.png=8,8,8,8\nBrioView.png=30,8,8,8\nBrioAudio.png=30,8,8,8\n"
        "[Frames]\nDropDown.png=2\n";
    const char* fourFrames[] = {"Minimize.png", "Close.png", "Setting.png", "Button_Special.png", "TabsButton.png",
                                "BrioView.png", "BrioAudio.png", "PT_BttnL.png", "PT_BttnR.png", "PT_BttnT.png",
                                "PT_BttnD.png", "PT_BttnC.png", "PT_BttnLU.png", "PT_BttnLD.png", "PT_BttnRU.png",
                                "PT_BttnRD.png", "PTBttnZ_in.png", "PTBttnZ_out.png"};
    for (const char* f : fourFrames) values += std::string(f) + "=4\n";
    const std::string panelData =
        "LeftBorderMargin=4\nRightBorderMargin=4\nTopBorderMargin=24\nBottomBorderMargin=4\n"
        "TitleIndentLeft=6\nTitleIndentRight=4\nTitleColour=#FFFFFF\nRegionData=corner=5\n";
    values += "[InfoPanelData_InfoPanel.png]\n" + panelData;
    const std::string stackData = "InfoPanelBkgBMP=InfoPanel.png\nDropDownBMP=DropDown.png\n";
    values += "[InfoPanelWndData_InfoPanelWnd.PNG]\n" + stackData + "[InfoPanelWndData_InfoPanel.png]\n" + stackData;

    int err = 0;
    std::remove(argv[1]);
    zip_t* z = zip_open(argv[1], ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!z) {
        std::fprintf(stderr, "cannot create %s (libzip error %d)\n", argv[1], err);
        return 1;
    }
    // The sources read from these buffers when the archive is closed.
    std::vector<std::vector<uint8_t>> keep;
    auto store = [&](const std::string& name, std::vector<uint8_t> bytes) {
        keep.push_back(std::move(bytes));
        zip_source_t* src = zip_source_buffer(z, keep.back().data(), keep.back().size(), 0);
        return src && zip_file_add(z, name.c_str(), src, ZIP_FL_OVERWRITE) >= 0;
    };
    keep.reserve(pieces.size() + 1);
    bool ok = store("values.ini", std::vector<uint8_t>(values.begin(), values.end()));
    for (Piece& p : pieces) ok = ok && store(p.name, std::move(p.png));
    if (!ok || zip_close(z) != 0) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
