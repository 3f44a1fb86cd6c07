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

    double minX() const { return x; }
    double minY() const { return y; }
    double maxY() const { return y + height; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace sh
