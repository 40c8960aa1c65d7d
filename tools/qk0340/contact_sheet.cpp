#include "tools/qk0340/contact_sheet.h"

#include <cairo.h>

#include <algorithm>

namespace qk::cli {

bool WriteContactSheet(const std::vector<SheetPicture>& pictures, const std::filesystem::path& sheet,
                       std::string* error) {
    constexpr int kColumns = 4, kCell = 420, kLabel = 22, kGap = 10;
    std::vector<cairo_surface_t*> surfaces;
    int rowHeight = 0, sheetHeight = kGap;
    std::vector<int> rowHeights;
    std::vector<double> scales;
    for (size_t i = 0; i < pictures.size(); ++i) {
        cairo_surface_t* p = cairo_image_surface_create_from_png(pictures[i].file.string().c_str());
        surfaces.push_back(p);
        const bool read = cairo_surface_status(p) == CAIRO_STATUS_SUCCESS;
        const int w = read ? cairo_image_surface_get_width(p) : 1, h = read ? cairo_image_surface_get_height(p) : 40;
        // Shrunk whole into its cell (never enlarged): a cut-off bottom would hide what the picture is for.
        scales.push_back(std::min({1.0, static_cast<double>(kCell) / std::max(w, 1), static_cast<double>(kCell) / std::max(h, 1)}));
        rowHeight = std::max(rowHeight, static_cast<int>(h * scales.back() + 0.5) + kLabel);
        if (i % kColumns == kColumns - 1 || i + 1 == pictures.size()) {
            rowHeights.push_back(rowHeight);
            sheetHeight += rowHeight + kGap;
            rowHeight = 0;
        }
    }
    cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kColumns * (kCell + kGap) + kGap, sheetHeight);
    cairo_t* cr = cairo_create(out);
    cairo_set_source_rgb(cr, 0.85, 0.87, 0.90);
    cairo_paint(cr);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 13);
    int y = kGap;
    for (size_t i = 0; i < pictures.size(); ++i) {
        const int column = static_cast<int>(i % kColumns);
        const int x = kGap + column * (kCell + kGap);
        cairo_save(cr);
        cairo_rectangle(cr, x, y, kCell, kLabel);  // a long label stops at its cell
        cairo_clip(cr);
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.2);
        cairo_move_to(cr, x, y + 15);
        cairo_show_text(cr, pictures[i].label.c_str());
        cairo_restore(cr);
        if (cairo_surface_status(surfaces[i]) == CAIRO_STATUS_SUCCESS) {
            cairo_save(cr);
            cairo_translate(cr, x, y + kLabel);
            cairo_scale(cr, scales[i], scales[i]);
            cairo_set_source_surface(cr, surfaces[i], 0, 0);
            cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
            cairo_paint(cr);
            cairo_restore(cr);
        }
        cairo_surface_destroy(surfaces[i]);
        if (column == kColumns - 1 || i + 1 == pictures.size()) y += rowHeights[i / kColumns] + kGap;
    }
    cairo_destroy(cr);
    const cairo_status_t written = cairo_surface_write_to_png(out, sheet.string().c_str());
    cairo_surface_destroy(out);
    if (written != CAIRO_STATUS_SUCCESS) {
        *error = cairo_status_to_string(written);
        return false;
    }
    return true;
}

}  // namespace qk::cli
