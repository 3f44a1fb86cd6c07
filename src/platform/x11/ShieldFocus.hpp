// The keyboard for one shield: taken when the core makes the shield key, accepted when the
// window manager offers it, handed over when the shield's window is replaced, and given back
// to the window that had it when the shield goes.
#pragma once

#include <xcb/xcb.h>

#include "platform/x11/PanelHost.hpp"

namespace sh::x11 {

class ShieldFocus {
  public:
    explicit ShieldFocus(PanelHost& host) : host_(host) {}

    // The core made the shield key: `window` takes the keyboard now, telling the window
    // manager first when it manages the window.
    void take(xcb_window_t window, bool managed);
    // The core made the shield key before the server showed it: taken once it is shown.
    void takeWhenViewable() { whenViewable_ = true; }
    void cancelWhenViewable() { whenViewable_ = false; }
    bool waitingForViewable() const { return whenViewable_; }
    // Whether the core wants the shield key and it has not lost the keyboard since.
    bool wanted() const { return wanted_; }
    // Whether the keyboard is with `window` now, or on its way there.
    bool isKey(xcb_window_t window);
    // The keyboard left the shield: an offer from the window manager is declined from now on.
    void lost() { wanted_ = false; }
    // The window manager offers the keyboard (WM_TAKE_FOCUS) at `time`: taken while wanted.
    void offered(xcb_window_t window, xcb_timestamp_t time);
    // The shield goes: the window that had the keyboard before gets it back.
    void giveBack(xcb_window_t window);
    // Forgets what was asked for, saying whether the shield was to be key.
    bool reset();

    // The window `old` was replaced while it had the keyboard: it stays until the new one
    // has taken it.
    void retire(xcb_window_t old) { retired_ = old; }
    xcb_window_t retired() const { return retired_; }
    void destroyRetired();
    // The server destroyed every window with the connection.
    void forgetWindows() { retired_ = XCB_NONE; }

  private:
    PanelHost& host_;
    bool whenViewable_ = false;
    bool wanted_ = false;
    // The window that had the keyboard focus before the shield took it.
    xcb_window_t previous_ = XCB_NONE;
    xcb_window_t retired_ = XCB_NONE;
};

}  // namespace sh::x11
