// Renders a portable `Drawing` with GDI into a premultiplied 32-bit bitmap for a layered
// window: the fill over the whole view, then each text centred, wrapped and clipped to its
// rectangle, blended in the text's own colour and opacity.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/Drawing.hpp"

namespace sh {

// A top-down 32-bit DIB section selected into a memory device context, kept while its size
// stays, as UpdateLayeredWindow takes it.
class LayeredBitmap {
  public:
    LayeredBitmap() = default;
    ~LayeredBitmap();
    LayeredBitmap(const LayeredBitmap&) = delete;
    LayeredBitmap& operator=(const LayeredBitmap&) = delete;

    // Paints `drawing` at `width` x `height` pixels; `scale` is pixels per point (the
    // monitor's DPI over 96). False when the bitmap cannot be made.
    bool render(const Drawing& drawing, int width, int height, double scale);

    HDC deviceContext() const { return context_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // Premultiplied BGRA, `width` pixels a row, top row first.
    const uint32_t* pixels() const { return pixels_; }

  private:
    bool resize(int width, int height);
    void release();

    HDC context_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    uint32_t* pixels_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace sh
