// Building shields, and the shield view's picture and input handling.
#include "shield/Shield.hpp"

#include <algorithm>

namespace sh {

namespace shieldDrawing {

double titleFontSize(double boundsWidth) {
    return std::min(std::max(boundsWidth / 25, 16.0), 23.0);
}

// The title band starts 36 points above the vertical centre and is 32 points high; the
// subtitle sits 30 points lower in a 22-point band. Both are inset 18 points on each side.
Rect titleRect(const Rect& bounds) {
    double midY = bounds.y + bounds.height / 2;
    return {18, midY + 36, bounds.width - 36, 32};
}

Rect subtitleRect(const Rect& bounds) {
    double midY = bounds.y + bounds.height / 2;
    return {18, (midY + 36) - 30, bounds.width - 36, 22};
}

}  // namespace shieldDrawing

ShieldView::ShieldView(const Rect& frame, Target target, std::optional<double> endsAt)
    : target(std::move(target)), endsAt(endsAt), frame_(frame) {}

Drawing ShieldView::draw(const Rect& bounds) {
    using namespace shieldDrawing;
    Drawing drawing;
    drawing.bounds = bounds;
    drawing.fill = veil;
    drawing.texts.push_back({target.name + std::string(titleSuffix), titleFontSize(bounds.width),
                             FontWeight::semibold, titleColor, titleRect(bounds)});
    drawing.texts.push_back({std::string(subtitle), subtitleSize, FontWeight::medium, subtitleColor,
                             subtitleRect(bounds)});
    return drawing;
}

void ShieldView::mouseDown() {
    // The action may drop the last other reference to the panel, so hold it across the call.
    auto window = window_.lock();
    if (onInteraction) {
        onInteraction();
    }
    if (window) {
        window->makeKeyWindow();
    }
}

void ShieldView::keyDown() {
    if (onInteraction) {
        onInteraction();
    }
}

void ShieldView::closeRequested() {
    // Closing a shield is one more way of reaching for the window under it; nothing closes.
    if (onInteraction) {
        onInteraction();
    }
}

void ShieldView::placementChanged() {
    if (onPlacementChanged) {
        onPlacementChanged();
    }
}

PanelConfiguration shieldPanelConfiguration(const Rect& frame) {
    PanelConfiguration configuration;
    configuration.contentRect = frame;
    // Borderless, and clicking it does not activate the helper.
    configuration.styleMask = windowStyleMaskNonactivatingPanel;
    configuration.backing = BackingStore::buffered;
    configuration.defer = false;
    // Only what the view paints is seen.
    configuration.opaque = false;
    configuration.backgroundColor = Color{0, 0, 0, 0};
    configuration.hasShadow = false;
    // The level of ordinary windows: ordered above its window, the shield keeps that place
    // and windows further up stay above it.
    configuration.level = normalWindowLevel;
    configuration.hidesOnDeactivate = false;
    // Only the helper places a shield: no drag or system gesture may pull it off its window.
    configuration.movable = false;
    configuration.collectionBehavior = collectionBehaviorCanJoinAllSpaces |
                                       collectionBehaviorTransient |
                                       collectionBehaviorFullScreenAuxiliary;
    configuration.animationBehavior = AnimationBehavior::none;
    configuration.canBecomeKeyWindow = true;
    configuration.canBecomeMainWindow = false;
    return configuration;
}

std::shared_ptr<ShieldRecord> makeShield(Desktop& desktop, const Rect& frame, const Target& target,
                                         std::optional<double> endsAt,
                                         std::function<void()> onInteraction) {
    auto panel = desktop.createPanel(shieldPanelConfiguration(frame));
    auto view = std::make_shared<ShieldView>(Rect{0, 0, frame.width, frame.height}, target, endsAt);
    view->onInteraction = std::move(onInteraction);
    panel->setContentView(
        view, {.wantsLayer = true, .autoresizingMask = viewWidthSizable | viewHeightSizable});
    view->setWindow(panel);
    return std::make_shared<ShieldRecord>(ShieldRecord{panel, view, frame, std::nullopt});
}

}  // namespace sh
