// The 32-bit pixel values of the X11 shield's window backgrounds. The picture itself is painted
// by the shared cairo renderer (platform/linux/CairoDrawing.hpp).
#pragma once

#include <cstdint>

#include "platform/Drawing.hpp"

namespace sh::x11 {

// The 32-bit pixel value a window's background takes for `color`: premultiplied ARGB with
// alpha, or the colour composed over black without.
uint32_t pixelFor(const Color& color, bool hasAlpha);

}  // namespace sh::x11
