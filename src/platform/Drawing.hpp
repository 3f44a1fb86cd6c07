// A view's picture as plain data: what to paint, with which colours, fonts and rectangles.
// The core composes it once; every desktop renders it the same way.
#pragma once

#include <string>
#include <vector>

#include "platform/Geometry.hpp"

namespace sh {

// Calibrated RGB components, each 0 to 1, not premultiplied.
struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;
    static constexpr Color white(double w, double a) { return {w, w, w, a}; }
    friend bool operator==(const Color&, const Color&) = default;
};

enum class FontWeight { regular, medium, semibold };

// A piece of text drawn in the system font, centred horizontally in `rect`, laid out from the
// rectangle's top edge, wrapped at word boundaries to its width and cut off at its height.
// `text` is plain text, never markup.
struct TextRun {
    std::string text;
    double fontSize = 13;
    FontWeight weight = FontWeight::regular;
    Color color;
    // In the view's own coordinates: origin at its bottom-left corner, y growing upwards.
    Rect rect;
    friend bool operator==(const TextRun&, const TextRun&) = default;
};

struct Drawing {
    // The view's bounds, filled with `fill` (source-over) before any text is drawn.
    Rect bounds;
    Color fill;
    std::vector<TextRun> texts;
    friend bool operator==(const Drawing&, const Drawing&) = default;
};

}  // namespace sh
