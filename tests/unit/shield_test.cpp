// The shield panel's configuration, the view's picture and its input handling.
#include "SimFixture.hpp"

namespace sh::test {
namespace {

TEST(ShieldDrawing, TitleSizeFollowsTheWidth) {
    struct Case {
        double width;
        double size;
    } cases[] = {{0, 16}, {399, 16}, {400, 16}, {500, 20}, {575, 23}, {1000, 23}};
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(shieldDrawing::titleFontSize(c.width), c.size) << c.width;
    }
}

TEST(ShieldDrawing, TextRectanglesSitAboveTheMiddle) {
    // A 60-point-high view: the title lies wholly above the top edge; the subtitle inside.
    Rect small{0, 0, 80, 60};
    EXPECT_GE(shieldDrawing::titleRect(small).minY(), small.maxY());
    EXPECT_LE(shieldDrawing::subtitleRect(small).maxY(), small.maxY());
    // The title is wholly inside only from 136 points up.
    EXPECT_GT(shieldDrawing::titleRect({0, 0, 400, 135}).maxY(), 135);
    EXPECT_LE(shieldDrawing::titleRect({0, 0, 400, 136}).maxY(), 136);
    // Measured down from the top: h/2 - 68 to h/2 - 36, and h/2 - 28 to h/2 - 6.
    Rect view{0, 0, 500, 300};
    EXPECT_EQ(shieldDrawing::titleRect(view), (Rect{18, 186, 464, 32}));
    EXPECT_EQ(shieldDrawing::subtitleRect(view), (Rect{18, 156, 464, 22}));
}

TEST(ShieldDrawing, PictureIsTheVeilAndTwoLines) {
    ShieldView view({0, 0, 500, 300}, {"id", "", std::nullopt}, std::nullopt);
    Drawing drawing = view.draw({0, 0, 500, 300});
    EXPECT_EQ(drawing.bounds, (Rect{0, 0, 500, 300}));
    EXPECT_EQ(drawing.fill, (Color{0.045, 0.052, 0.063, 0.76}));
    ASSERT_EQ(drawing.texts.size(), 2u);
    const TextRun& title = drawing.texts[0];
    EXPECT_EQ(title.text, " is unavailable");
    EXPECT_EQ(title.weight, FontWeight::semibold);
    EXPECT_DOUBLE_EQ(title.fontSize, 20);
    EXPECT_EQ(title.color, (Color{0.95, 0.95, 0.95, 1}));
    const TextRun& subtitle = drawing.texts[1];
    EXPECT_EQ(subtitle.text, "Your work is still open underneath.");
    EXPECT_EQ(subtitle.weight, FontWeight::medium);
    EXPECT_DOUBLE_EQ(subtitle.fontSize, 13);
    EXPECT_EQ(subtitle.color, (Color{0.78, 0.78, 0.78, 1}));
}

class ShieldInput : public SimFixture {};

TEST_F(ShieldInput, MakeShieldConfiguresAnOffScreenPanel) {
    int runs = 0;
    auto record =
        makeShield(desktop, {10, 20, 300, 200}, {"id", "Mail", "b"}, 1234.5, [&] { ++runs; });
    auto panel = std::static_pointer_cast<sim::SimPanel>(record->panel);
    const PanelConfiguration& c = panel->configuration;
    EXPECT_EQ(c.contentRect, (Rect{10, 20, 300, 200}));
    EXPECT_EQ(c.styleMask, 128u);
    EXPECT_EQ(c.backing, BackingStore::buffered);
    EXPECT_FALSE(c.defer);
    EXPECT_FALSE(c.opaque);
    EXPECT_EQ(c.backgroundColor.alpha, 0);
    EXPECT_FALSE(c.hasShadow);
    EXPECT_EQ(c.level, 0);
    EXPECT_FALSE(c.hidesOnDeactivate);
    EXPECT_FALSE(c.movable);
    EXPECT_EQ(c.collectionBehavior, 265u);
    EXPECT_EQ(c.animationBehavior, AnimationBehavior::none);
    EXPECT_TRUE(c.canBecomeKeyWindow);
    EXPECT_FALSE(c.canBecomeMainWindow);
    EXPECT_TRUE(panel->contentOptions.wantsLayer);
    EXPECT_EQ(panel->contentOptions.autoresizingMask, 18u);
    EXPECT_EQ(panel->content, record->view);
    EXPECT_EQ(record->view->frame(), (Rect{0, 0, 300, 200}));
    EXPECT_EQ(record->view->endsAt, 1234.5);
    EXPECT_TRUE(record->view->acceptsFirstResponder());
    EXPECT_FALSE(panel->onScreen);
    EXPECT_EQ(runs, 0);
}

TEST_F(ShieldInput, MouseDownRunsTheActionThenMakesKeyAndKeyDownOnlyRunsIt) {
    std::vector<std::string> events;
    std::shared_ptr<sim::SimPanel> panel;
    auto record = makeShield(desktop, {0, 0, 100, 100}, {"id", "Mail", "b"}, std::nullopt, [&] {
        events.push_back(panel->isKey ? "action while key" : "action");
    });
    panel = std::static_pointer_cast<sim::SimPanel>(record->panel);
    record->view->mouseDown();
    EXPECT_EQ(events, std::vector<std::string>{"action"});
    EXPECT_TRUE(panel->isKey);
    panel->isKey = false;
    for (int i = 0; i < 3; ++i) {
        record->view->keyDown();  // Held-key repeats each count.
    }
    EXPECT_EQ(events.size(), 4u);
    EXPECT_FALSE(panel->isKey);

    record->view->onInteraction = nullptr;
    record->view->mouseDown();
    record->view->keyDown();
    EXPECT_TRUE(panel->isKey);
    EXPECT_EQ(events.size(), 4u);
}

}  // namespace
}  // namespace sh::test
