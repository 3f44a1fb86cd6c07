// A shield on Windows: a layered, non-activating tool window of the helper's own, kept directly
// above its window in the z-order and painted from the core's `Drawing` with GDI.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>

#include "platform/MainLoop.hpp"
#include "platform/Panel.hpp"
#include "platform/windows/GdiDrawing.hpp"

namespace sh::windows {

// What a shield needs from the desktop that made it.
class PanelHost {
  public:
    virtual ~PanelHost() = default;
    // Runs the view's input handling on the main loop, after the message at hand.
    virtual void postToMain(Task task) = 0;
    // The height of the primary monitor in pixels: panel frames count y upwards from its
    // bottom edge, Windows counts downwards from its top.
    virtual int primaryHeight() = 0;
    virtual void panelClosed(HWND window) = 0;
    // The shield's window changed in a way that may move it out of place (or into it).
    virtual void placementMayHaveChanged() = 0;
};

class WindowsPanel final : public Panel, public std::enable_shared_from_this<WindowsPanel> {
  public:
    WindowsPanel(PanelHost& host, std::weak_ptr<void> alive,
                 const PanelConfiguration& configuration);
    ~WindowsPanel() override;

    // Registers the window class; once, before the first panel.
    static void registerClass();

    // Panel. These record what the core asks; pushChanges sends it to the window server.
    void setContentView(std::shared_ptr<PanelContent> view,
                        const ContentViewOptions& options) override;
    void setFrame(const Rect& frame, bool display) override;
    void orderWindow(WindowOrderingMode mode, int64_t relativeTo) override;
    void makeKeyWindow() override;
    bool isKeyWindow() override;
    bool isInPlace() override;
    void close() override;

    HWND window() const { return window_; }
    // The window the shield is ordered above, or null.
    HWND target() const { return ordered_ ? target_ : nullptr; }

    // Sends what the core asked since the last push: the picture, the frame, the order and
    // the visibility, each only when it changed. Returns whether anything was sent.
    bool pushChanges();
    // Puts the shield back directly above its window where something else came between
    // them (the window was raised or activated). Returns whether it moved the shield.
    bool keepInPlace();
    // Tells the view when the answer of isInPlace changed since it was last told.
    void reportPlacementIfChanged();

    // The window procedure's handling, for this panel's window.
    LRESULT handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  private:
    bool usable() const;
    RECT screenRect() const;
    bool directlyAboveTarget() const;
    bool orderedAboveTarget() const;
    // `extraFlags`: SWP_SHOWWINDOW to show the shield in the same request.
    bool placeAboveTarget(UINT extraFlags);
    void redraw(const RECT& rect);
    double scale() const;
    // Calls the view on the main loop, if the panel and its view are still there then.
    void tellView(void (PanelContent::*call)());

    PanelHost& host_;
    std::weak_ptr<void> alive_;
    HWND window_ = nullptr;
    std::shared_ptr<PanelContent> view_;
    LayeredBitmap bitmap_;

    // What the core asked for.
    Rect frame_;
    bool ordered_ = false;
    WindowOrderingMode mode_ = WindowOrderingMode::above;
    HWND target_ = nullptr;
    bool needsPicture_ = true;
    bool closed_ = false;

    // What was last sent.
    bool shown_ = false;
    std::optional<RECT> shownRect_;
    bool pictureSent_ = false;
    std::optional<bool> reportedInPlace_;
};

}  // namespace sh::windows
