// A shield: one overlay panel laid over one window of a blocked application, with the view
// that paints the veil and turns clicks and key presses into the manager's interaction action.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/Desktop.hpp"
#include "protocol/Protocol.hpp"

namespace sh {

// The portable content view of a shield panel.
class ShieldView : public PanelContent {
  public:
    ShieldView(const Rect& frame, Target target, std::optional<double> endsAt);

    Target target;
    std::optional<double> endsAt;
    std::function<void()> onInteraction;
    // Run when the desktop announces that the panel's placement may have changed.
    std::function<void()> onPlacementChanged;

    Drawing draw(const Rect& bounds) override;
    void mouseDown() override;
    void keyDown() override;
    void closeRequested() override;
    bool acceptsFirstResponder() const override { return true; }
    void placementChanged() override;

    // The panel the view fills; set when it becomes the panel's content view.
    void setWindow(std::weak_ptr<Panel> window) { window_ = std::move(window); }
    const Rect& frame() const { return frame_; }

  private:
    Rect frame_;
    std::weak_ptr<Panel> window_;
};

// One shield: the panel and the view that fills it.
struct ShieldRecord {
    std::shared_ptr<Panel> panel;
    std::shared_ptr<ShieldView> view;
    // The frame the manager last gave the panel.
    Rect requestedFrame;
    // When (on the loop's uptime clock) the manager last asked for the panel somewhere new,
    // built or moved, while the desktop has not yet confirmed it there.
    std::optional<double> placementRequestedAt;
};

// Builds a shield over `frame` (global panel coordinates). The panel is not yet on screen.
std::shared_ptr<ShieldRecord> makeShield(Desktop& desktop, const Rect& frame, const Target& target,
                                         std::optional<double> endsAt,
                                         std::function<void()> onInteraction);

// The panel configuration every shield is built with.
PanelConfiguration shieldPanelConfiguration(const Rect& frame);

// The drawing constants and geometry of a shield view.
namespace shieldDrawing {
inline constexpr Color veil{0.045, 0.052, 0.063, 0.76};
inline constexpr Color titleColor = Color::white(0.95, 1.0);
inline constexpr Color subtitleColor = Color::white(0.78, 1.0);
inline constexpr double subtitleSize = 13;
inline constexpr std::string_view titleSuffix = " is unavailable";
inline constexpr std::string_view subtitle = "Your work is still open underneath.";
// min(max(width / 25, 16), 23)
double titleFontSize(double boundsWidth);
// Both rectangles in the view's bottom-left coordinates.
Rect titleRect(const Rect& bounds);
Rect subtitleRect(const Rect& bounds);
}  // namespace shieldDrawing

}  // namespace sh
