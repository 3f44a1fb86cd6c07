// Renders a portable `Drawing` with cairo and pango: the fill over the whole view, then each
// text centred, wrapped and clipped to its rectangle.
#pragma once

#include <cairo.h>

#include "platform/Drawing.hpp"

namespace sh {

// Paints `drawing` on `cairo`, whose surface is the view: origin at the top-left, `height`
// pixels tall. With `hasAlpha` false the surface shows no transparency, so the picture is
// composed over black, as an uncomposited screen shows a translucent window anyway.
void renderDrawing(cairo_t* cairo, const Drawing& drawing, double height, bool hasAlpha);

// A text rectangle (view coordinates, origin bottom-left) in the surface's coordinates
// (origin top-left).
Rect flipped(const Rect& rect, double height);

}  // namespace sh
