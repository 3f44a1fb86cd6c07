// The GDI rendering of a shield's picture: the fill everywhere, premultiplied for the layered
// window, and the texts inside their rectangles only, counted from the view's bottom edge.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/windows/GdiDrawing.hpp"
#include "shield/Shield.hpp"

namespace sh {
namespace {

uint32_t alphaOf(uint32_t pixel) {
    return pixel >> 24;
}
uint32_t greenOf(uint32_t pixel) {
    return (pixel >> 8) & 0xff;
}

struct Counts {
    int textPixels = 0;
    int outside = 0;
};

// Counts the pixels brighter than the fill inside `band` (rows from the top), and anywhere
// outside every text band.
Counts brightPixels(const LayeredBitmap& bitmap, uint32_t fill, int bandTop, int bandBottom,
                    int otherTop, int otherBottom) {
    Counts counts;
    for (int y = 0; y < bitmap.height(); ++y) {
        for (int x = 0; x < bitmap.width(); ++x) {
            uint32_t pixel = bitmap.pixels()[y * bitmap.width() + x];
            if (greenOf(pixel) <= greenOf(fill)) {
                continue;
            }
            if (y >= bandTop && y < bandBottom) {
                ++counts.textPixels;
            } else if (!(y >= otherTop && y < otherBottom)) {
                ++counts.outside;
            }
        }
    }
    return counts;
}

TEST(GdiDrawingTest, ShieldPictureHasItsFillAndItsTextsWhereTheyBelong) {
    const int width = 480;
    const int height = 300;
    ShieldView view(Rect{0, 0, width, height}, Target{"ed", "Editor", "editor.exe"}, std::nullopt);
    Drawing drawing = view.draw(Rect{0, 0, width, height});
    LayeredBitmap bitmap;
    ASSERT_TRUE(bitmap.render(drawing, width, height, 1.0));

    // A corner shows the veil alone, premultiplied: alpha 0.76, each channel scaled by it.
    uint32_t corner = bitmap.pixels()[0];
    EXPECT_EQ(alphaOf(corner), 194u);
    EXPECT_EQ(greenOf(corner), 10u);  // 0.052 * 0.76 * 255
    EXPECT_EQ(corner, bitmap.pixels()[width * height - 1]);

    // The title's band, as rows from the top: its rectangle's top edge is 68 points above the
    // middle (36 + 32), the subtitle's band lies 30 points lower.
    const TextRun& title = drawing.texts.at(0);
    const TextRun& subtitle = drawing.texts.at(1);
    int titleTop = height - static_cast<int>(title.rect.y + title.rect.height);
    int titleBottom = height - static_cast<int>(title.rect.y);
    int subtitleTop = height - static_cast<int>(subtitle.rect.y + subtitle.rect.height);
    int subtitleBottom = height - static_cast<int>(subtitle.rect.y);
    Counts titleCounts =
        brightPixels(bitmap, corner, titleTop, titleBottom, subtitleTop, subtitleBottom);
    Counts subtitleCounts =
        brightPixels(bitmap, corner, subtitleTop, subtitleBottom, titleTop, titleBottom);
    EXPECT_GT(titleCounts.textPixels, 100);
    EXPECT_GT(subtitleCounts.textPixels, 100);
    EXPECT_EQ(titleCounts.outside, 0);
    // Text is opaque white over the veil: its brightest pixels are fully opaque.
    uint32_t brightest = 0;
    for (int i = 0; i < width * height; ++i) {
        if (greenOf(bitmap.pixels()[i]) > greenOf(brightest)) {
            brightest = bitmap.pixels()[i];
        }
    }
    EXPECT_EQ(alphaOf(brightest), 255u);
    EXPECT_GT(greenOf(brightest), 200u);
}

TEST(GdiDrawingTest, ScaleDrawsPointsAsMorePixels) {
    // At 150 % the same view needs 1.5 times the pixels; the text grows with it.
    ShieldView view(Rect{0, 0, 320, 200}, Target{"ed", "Editor", "editor.exe"}, std::nullopt);
    Drawing drawing = view.draw(Rect{0, 0, 320, 200});
    LayeredBitmap small;
    LayeredBitmap large;
    ASSERT_TRUE(small.render(drawing, 320, 200, 1.0));
    ASSERT_TRUE(large.render(drawing, 480, 300, 1.5));
    auto lit = [](const LayeredBitmap& bitmap) {
        int count = 0;
        for (int i = 0; i < bitmap.width() * bitmap.height(); ++i) {
            count += greenOf(bitmap.pixels()[i]) > 100 ? 1 : 0;
        }
        return count;
    };
    EXPECT_GT(lit(large), lit(small) * 3 / 2);
}

TEST(GdiDrawingTest, NothingIsDrawnForAnEmptySize) {
    Drawing drawing;
    LayeredBitmap bitmap;
    EXPECT_FALSE(bitmap.render(drawing, 0, 10, 1.0));
    EXPECT_FALSE(bitmap.render(drawing, 10, -1, 1.0));
}

}  // namespace
}  // namespace sh
