// One shield's own window on the server and everything written to it: its hints and states,
// its geometry, its transient parent and layer, the requests that restack it, and the picture
// painted into it. A request is made only when it changes what was last written.
#pragma once

#include <cairo.h>
#include <xcb/xcb.h>

#include <optional>
#include <vector>

#include "platform/Drawing.hpp"
#include "platform/Panel.hpp"
#include "platform/x11/PanelHost.hpp"

namespace sh::x11 {

class ShieldWindow {
  public:
    explicit ShieldWindow(PanelHost& host) : host_(host) {}
    ~ShieldWindow() { releaseSurface(); }
    ShieldWindow(const ShieldWindow&) = delete;
    ShieldWindow& operator=(const ShieldWindow&) = delete;

    // Makes a new window at `geometry` (root coordinates), managed by the window manager or
    // of our own (override-redirect), filled with `background` until it is painted. Out of
    // task bars, pagers and switchers when `skipLists`. What was written to an earlier window
    // is forgotten; that window is the caller's.
    void create(bool managed, const WindowGeometry& geometry, uint32_t background, bool skipLists);
    xcb_window_t id() const { return id_; }
    bool managed() const { return managed_; }
    // Lets go of the window without a request (the server destroyed it with the connection,
    // or the caller destroys it later), and of its surface.
    void forget();
    void destroy();

    void setBackground(uint32_t pixel);
    // Writes the geometry, as hints and as a configure request, unless it was the last one
    // written; `again` writes it even so, as the window manager moved the window since.
    void place(const WindowGeometry& geometry, bool again = false);
    // What was last written, if nothing has moved the window since as far as we know.
    const std::optional<WindowGeometry>& placed() const { return placed_; }
    void forgetPlacement() { placed_.reset(); }
    void setTransientFor(xcb_window_t client);

    // The layer (kept above or below the ordinary windows) a managed window asks for: read
    // by the window manager when it maps the window, and asked of it when already shown.
    StackState stackState() const { return stackState_; }
    void writeInitialState(StackState state);
    void followLayer(StackState wanted);
    // Out of the window's layer and back, which most window managers answer by putting a
    // transient right above its parent again.
    void toggleLayer();
    // Asks the window manager to restack the window relative to `sibling`.
    void requestRestack(xcb_window_t sibling, uint32_t stackMode);
    // Restacks a window of our own relative to `sibling`. Checked, it waits for the server's
    // answer and says whether the request was taken (the sibling may not be ours to name).
    bool restack(xcb_window_t sibling, WindowOrderingMode mode, bool checked = false);
    void removeStates(const std::vector<uint32_t>& states);
    void moveToDesktop(uint32_t desktop);

    void map();
    // Unmaps the window, and tells the window manager it is withdrawn (ICCCM) if managed.
    void withdraw();

    // The size of the surface the picture is painted into; true when it changed.
    bool resizeSurface(uint32_t width, uint32_t height);
    uint32_t surfaceWidth() const { return surfaceWidth_; }
    uint32_t surfaceHeight() const { return surfaceHeight_; }
    bool hasSurface() const { return surface_ != nullptr; }
    // Whether `picture` would come out different from what was painted last.
    bool differsFromPainted(const Drawing& picture) const;
    void paint(Drawing picture);

  private:
    void applyHints(bool skipLists);
    void releaseSurface();

    PanelHost& host_;
    xcb_window_t id_ = XCB_NONE;
    bool managed_ = false;
    bool skipLists_ = false;
    xcb_window_t transientFor_ = XCB_NONE;
    StackState stackState_ = StackState::ordinary;
    std::optional<WindowGeometry> placed_;
    cairo_surface_t* surface_ = nullptr;
    uint32_t surfaceWidth_ = 0;
    uint32_t surfaceHeight_ = 0;
    std::optional<Drawing> painted_;
};

}  // namespace sh::x11
