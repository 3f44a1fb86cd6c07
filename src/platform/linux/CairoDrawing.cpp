// Rendering a portable `Drawing` with cairo and pango, for every Linux desktop that paints its
// own windows.
#include "platform/linux/CairoDrawing.hpp"

#include <pango/pangocairo.h>

namespace sh {

namespace {

PangoWeight pangoWeight(FontWeight weight) {
    switch (weight) {
        case FontWeight::medium:
            return PANGO_WEIGHT_MEDIUM;
        case FontWeight::semibold:
            return PANGO_WEIGHT_SEMIBOLD;
        case FontWeight::regular:
            break;
    }
    return PANGO_WEIGHT_NORMAL;
}

}  // namespace

Rect flipped(const Rect& rect, double height) {
    return {rect.x, height - (rect.y + rect.height), rect.width, rect.height};
}

void renderDrawing(cairo_t* cairo, const Drawing& drawing, double height, bool hasAlpha) {
    cairo_save(cairo);
    // Start from nothing: transparent where the surface has alpha, black where it has none.
    cairo_set_operator(cairo, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgba(cairo, 0, 0, 0, hasAlpha ? 0 : 1);
    cairo_paint(cairo);
    cairo_set_operator(cairo, CAIRO_OPERATOR_OVER);

    Rect bounds = flipped(drawing.bounds, height);
    cairo_rectangle(cairo, bounds.x, bounds.y, bounds.width, bounds.height);
    cairo_set_source_rgba(cairo, drawing.fill.red, drawing.fill.green, drawing.fill.blue,
                          drawing.fill.alpha);
    cairo_fill(cairo);

    for (const TextRun& run : drawing.texts) {
        if (!(run.rect.width > 0) || !(run.rect.height > 0) || run.text.empty()) {
            continue;
        }
        Rect box = flipped(run.rect, height);
        cairo_save(cairo);
        cairo_rectangle(cairo, box.x, box.y, box.width, box.height);
        cairo_clip(cairo);

        PangoLayout* layout = pango_cairo_create_layout(cairo);
        PangoFontDescription* font = pango_font_description_new();
        // The desktop's sans-serif face, with DejaVu Sans where no alias resolves.
        pango_font_description_set_family(font, "sans,DejaVu Sans");
        pango_font_description_set_weight(font, pangoWeight(run.weight));
        // Sizes are points of the reference platform, drawn as pixels.
        pango_font_description_set_absolute_size(font, run.fontSize * PANGO_SCALE);
        pango_layout_set_font_description(layout, font);
        pango_font_description_free(font);
        pango_layout_set_width(layout, static_cast<int>(box.width * PANGO_SCALE));
        // Word wrapping that still breaks a word too long for the line.
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
        pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
        // Plain text: an application's name is never parsed as markup.
        pango_layout_set_text(layout, run.text.data(), static_cast<int>(run.text.size()));

        cairo_set_source_rgba(cairo, run.color.red, run.color.green, run.color.blue,
                              run.color.alpha);
        cairo_move_to(cairo, box.x, box.y);
        pango_cairo_show_layout(cairo, layout);
        g_object_unref(layout);
        cairo_restore(cairo);
    }
    cairo_restore(cairo);
}

}  // namespace sh
