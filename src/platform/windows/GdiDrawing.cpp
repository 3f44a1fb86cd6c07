// Rendering a portable `Drawing` with GDI; see GdiDrawing.hpp.
#include "platform/windows/GdiDrawing.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/windows/WindowsText.hpp"

namespace sh {

namespace {

uint8_t channel(double value) {
    return static_cast<uint8_t>(std::lround(std::clamp(value, 0.0, 1.0) * 255));
}

// One premultiplied BGRA pixel.
uint32_t premultiplied(const Color& color) {
    double alpha = std::clamp(color.alpha, 0.0, 1.0);
    return (uint32_t{channel(alpha)} << 24) | (uint32_t{channel(color.red * alpha)} << 16) |
           (uint32_t{channel(color.green * alpha)} << 8) | uint32_t{channel(color.blue * alpha)};
}

int fontWeight(FontWeight weight) {
    switch (weight) {
        case FontWeight::medium:
            return FW_MEDIUM;
        case FontWeight::semibold:
            return FW_SEMIBOLD;
        case FontWeight::regular:
            break;
    }
    return FW_NORMAL;
}

// Source-over of `color` at `coverage` (0 to 255) onto a premultiplied pixel.
uint32_t blend(uint32_t destination, const Color& color, unsigned coverage) {
    double a = std::clamp(color.alpha, 0.0, 1.0) * coverage / 255.0;
    if (a <= 0) {
        return destination;
    }
    auto mix = [&](int shift, double source) {
        double under = static_cast<double>((destination >> shift) & 0xff);
        return static_cast<uint32_t>(std::lround(source * 255 * a + under * (1 - a))) << shift;
    };
    return mix(24, 1.0) | mix(16, color.red) | mix(8, color.green) | mix(0, color.blue);
}

// A 32-bit top-down DIB section of the given size, its bits in `bits`.
HBITMAP createSection(HDC context, int width, int height, uint32_t** bits) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* pointer = nullptr;
    HBITMAP bitmap = CreateDIBSection(context, &info, DIB_RGB_COLORS, &pointer, nullptr, 0);
    *bits = static_cast<uint32_t*>(pointer);
    return bitmap;
}

// Draws one text: GDI lays it out and anti-aliases it white on black in a mask the size of
// its rectangle, whose brightness is then the coverage the text's colour is blended with.
// GDI itself cannot draw translucent text into a bitmap with alpha.
void drawText(const TextRun& run, const RECT& box, double scale, uint32_t* pixels, int width,
              int height) {
    int boxWidth = box.right - box.left;
    int boxHeight = box.bottom - box.top;
    if (boxWidth <= 0 || boxHeight <= 0) {
        return;
    }
    std::wstring text = wideFromUtf8(run.text);
    HDC context = CreateCompatibleDC(nullptr);
    uint32_t* mask = nullptr;
    HBITMAP section = createSection(context, boxWidth, boxHeight, &mask);
    if (section == nullptr) {
        DeleteDC(context);
        return;
    }
    HGDIOBJ previousBitmap = SelectObject(context, section);
    std::fill(mask, mask + static_cast<size_t>(boxWidth) * boxHeight, 0u);
    // The system's user-interface face; Windows substitutes another where it is missing.
    HFONT font = CreateFontW(-std::max(1, static_cast<int>(std::lround(run.fontSize * scale))), 0,
                             0, 0, fontWeight(run.weight), FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                             DEFAULT_PITCH | FF_SWISS, L"Segoe UI");
    HGDIOBJ previousFont = SelectObject(context, font);
    SetTextColor(context, RGB(255, 255, 255));
    SetBkMode(context, TRANSPARENT);
    RECT layout{0, 0, boxWidth, boxHeight};
    // Plain text (no & prefixes), centred, wrapped at word boundaries, from the top edge;
    // DrawText clips to the rectangle.
    DrawTextW(context, text.c_str(), static_cast<int>(text.size()), &layout,
              DT_CENTER | DT_TOP | DT_WORDBREAK | DT_NOPREFIX);
    GdiFlush();
    for (int y = 0; y < boxHeight; ++y) {
        int targetY = box.top + y;
        if (targetY < 0 || targetY >= height) {
            continue;
        }
        for (int x = 0; x < boxWidth; ++x) {
            int targetX = box.left + x;
            if (targetX < 0 || targetX >= width) {
                continue;
            }
            uint32_t value = mask[static_cast<size_t>(y) * boxWidth + x];
            unsigned coverage =
                std::max({(value >> 16) & 0xffu, (value >> 8) & 0xffu, value & 0xffu});
            if (coverage != 0) {
                uint32_t& pixel = pixels[static_cast<size_t>(targetY) * width + targetX];
                pixel = blend(pixel, run.color, coverage);
            }
        }
    }
    SelectObject(context, previousFont);
    DeleteObject(font);
    SelectObject(context, previousBitmap);
    DeleteObject(section);
    DeleteDC(context);
}

}  // namespace

LayeredBitmap::~LayeredBitmap() {
    release();
}

void LayeredBitmap::release() {
    if (context_ != nullptr) {
        SelectObject(context_, previous_);
        DeleteDC(context_);
        context_ = nullptr;
    }
    if (bitmap_ != nullptr) {
        DeleteObject(bitmap_);
        bitmap_ = nullptr;
    }
    pixels_ = nullptr;
    width_ = height_ = 0;
}

bool LayeredBitmap::resize(int width, int height) {
    if (context_ != nullptr && width == width_ && height == height_) {
        return true;
    }
    release();
    context_ = CreateCompatibleDC(nullptr);
    if (context_ == nullptr) {
        return false;
    }
    bitmap_ = createSection(context_, width, height, &pixels_);
    if (bitmap_ == nullptr) {
        DeleteDC(context_);
        context_ = nullptr;
        return false;
    }
    previous_ = SelectObject(context_, bitmap_);
    width_ = width;
    height_ = height;
    return true;
}

bool LayeredBitmap::render(const Drawing& drawing, int width, int height, double scale) {
    if (width <= 0 || height <= 0 || !resize(width, height)) {
        return false;
    }
    size_t count = static_cast<size_t>(width) * height;
    std::fill(pixels_, pixels_ + count, 0u);
    // The drawing's rectangles are in points, origin at the bottom-left; the bitmap's rows
    // run from the top.
    auto toPixels = [&](const Rect& rect) {
        double top = drawing.bounds.height - (rect.y + rect.height);
        return RECT{static_cast<LONG>(std::lround(rect.x * scale)),
                    static_cast<LONG>(std::lround(top * scale)),
                    static_cast<LONG>(std::lround((rect.x + rect.width) * scale)),
                    static_cast<LONG>(std::lround((top + rect.height) * scale))};
    };
    RECT fill = toPixels(drawing.bounds);
    uint32_t fillPixel = premultiplied(drawing.fill);
    for (LONG y = std::max<LONG>(fill.top, 0); y < std::min<LONG>(fill.bottom, height); ++y) {
        for (LONG x = std::max<LONG>(fill.left, 0); x < std::min<LONG>(fill.right, width); ++x) {
            pixels_[static_cast<size_t>(y) * width + x] = fillPixel;
        }
    }
    for (const TextRun& run : drawing.texts) {
        if (!(run.rect.width > 0) || !(run.rect.height > 0) || run.text.empty()) {
            continue;
        }
        drawText(run, toPixels(run.rect), scale, pixels_, width, height);
    }
    return true;
}

}  // namespace sh
