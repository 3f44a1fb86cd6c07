// The X11 shield's pixel values.
#include "platform/x11/X11Drawing.hpp"

#include <algorithm>
#include <cmath>

namespace sh::x11 {

namespace {

uint32_t channel(double value) {
    return static_cast<uint32_t>(std::lround(std::clamp(value, 0.0, 1.0) * 255));
}

}  // namespace

uint32_t pixelFor(const Color& color, bool hasAlpha) {
    // Premultiplied either way: over black the colour shows as its premultiplied value.
    double alpha = std::clamp(color.alpha, 0.0, 1.0);
    uint32_t a = hasAlpha ? channel(alpha) : 0xFF;
    return (a << 24) | (channel(color.red * alpha) << 16) | (channel(color.green * alpha) << 8) |
           channel(color.blue * alpha);
}

}  // namespace sh::x11
