// Plain geometry values shared by the core and every desktop.
#pragma once

namespace sh {

// A rectangle of four 64-bit floats. Whether y grows up or down depends on where the
// rectangle comes from: window-list rectangles have their origin at the top-left of the
// primary screen, panel frames and screen frames at its bottom-left.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    // Like the window server's rectangle accessors, these read the rectangle standardised:
    // a negative width or height extends it to the left or downwards.
    double minX() const { return width < 0 ? x + width : x; }
    double minY() const { return height < 0 ? y + height : y; }
    double maxY() const { return height < 0 ? y : y + height; }
    double standardWidth() const { return width < 0 ? -width : width; }
    double standardHeight() const { return height < 0 ? -height : height; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace sh
