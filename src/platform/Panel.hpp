// Overlay panels: borderless windows of the helper's own that sit above other applications'
// windows, with a content view that the core supplies.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Drawing.hpp"
#include "platform/Geometry.hpp"

namespace sh {

// What a panel shows and how it reacts to input. The desktop calls these on the main thread.
class PanelContent {
  public:
    virtual ~PanelContent() = default;
    // The picture for the view's current bounds (origin 0, 0, bottom-left).
    virtual Drawing draw(const Rect& bounds) = 0;
    // A primary-button press anywhere on the view; the press goes no further.
    virtual void mouseDown() = 0;
    // A key press (held-key repeats included) while the panel is key; consumed.
    virtual void keyDown() = 0;
    // The user asked the window server to close the panel (a window manager's close action or
    // shortcut); the panel stays as it is.
    virtual void closeRequested() = 0;
    virtual bool acceptsFirstResponder() const = 0;
    // The window server showed, hid, moved or restacked the panel, or the desktop came to
    // see it so: what `Panel::isInPlace` answers may have changed since it was last asked.
    virtual void placementChanged() = 0;
};

// Window-server constants, by their AppKit values.
enum class BackingStore : int { buffered = 2 };
enum class WindowOrderingMode : int { below = -1, out = 0, above = 1 };
enum class AnimationBehavior : int { defaultBehavior = 0, none = 2 };
constexpr uint64_t windowStyleMaskNonactivatingPanel = 128;
constexpr int normalWindowLevel = 0;
constexpr uint64_t collectionBehaviorCanJoinAllSpaces = 1;
constexpr uint64_t collectionBehaviorTransient = 8;
constexpr uint64_t collectionBehaviorFullScreenAuxiliary = 256;
constexpr uint64_t viewWidthSizable = 2;
constexpr uint64_t viewHeightSizable = 16;

struct PanelConfiguration {
    // In global panel coordinates: origin at the bottom-left of the primary screen.
    Rect contentRect;
    uint64_t styleMask = 0;
    BackingStore backing = BackingStore::buffered;
    bool defer = false;
    bool opaque = true;
    Color backgroundColor;
    bool hasShadow = true;
    int level = normalWindowLevel;
    bool hidesOnDeactivate = true;
    // Whether the window server may move the panel when it is dragged.
    bool movable = true;
    uint64_t collectionBehavior = 0;
    AnimationBehavior animationBehavior = AnimationBehavior::defaultBehavior;
    bool canBecomeKeyWindow = false;
    bool canBecomeMainWindow = false;
};

struct ContentViewOptions {
    bool wantsLayer = false;
    uint64_t autoresizingMask = 0;
};

class Panel {
  public:
    virtual ~Panel() = default;
    // The view that fills the panel. The panel keeps it until it is closed.
    virtual void setContentView(std::shared_ptr<PanelContent> view,
                                const ContentViewOptions& options) = 0;
    // Moves and resizes the panel (global panel coordinates); the view follows.
    virtual void setFrame(const Rect& frame, bool display) = 0;
    // Shows the panel directly above (or below) another window, named by its window number.
    virtual void orderWindow(WindowOrderingMode mode, int64_t relativeTo) = 0;
    // Makes the panel the key window, so that key presses reach its view.
    virtual void makeKeyWindow() = 0;
    // Whether the panel is the key window now, as the desktop sees it.
    virtual bool isKeyWindow() = 0;
    // Whether the window server shows the panel where it was last put, as far as the desktop
    // has seen it confirmed: shown (mapped and viewable), on the desktop or Space in view, at
    // the frame last set, and directly above the window it was last ordered above. False for
    // a panel never ordered in, ordered out or closed, and while a request is still on its way.
    // Answered from what the desktop already knows. A change of the answer is announced
    // through `PanelContent::placementChanged`, except one that the desktop puts right by
    // itself (a restack it answers with its own), which the next pass reads as it finds it.
    virtual bool isInPlace() = 0;
    // Removes the panel for good; it is never shown again.
    virtual void close() = 0;
};

}  // namespace sh
