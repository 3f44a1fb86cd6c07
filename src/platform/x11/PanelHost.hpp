// What a shield on X needs from the desktop that made it: the connection, the tracker, the
// main loop, and the desktop-wide facts that every shield shares.
#pragma once

#include <xcb/xcb.h>

#include "platform/MainLoop.hpp"
#include "platform/x11/Connection.hpp"
#include "platform/x11/WindowTracker.hpp"

namespace sh::x11 {

// The source indication of a shield's requests to the window manager (_NET_WM_STATE,
// _NET_RESTACK_WINDOW, _NET_ACTIVE_WINDOW): a direct user action, the only kind window
// managers obey without focus-stealing checks.
inline constexpr uint32_t sourceIndicationPager = 2;

// What a panel needs from the desktop that made it.
class PanelHost {
  public:
    virtual ~PanelHost() = default;
    virtual Connection& connection() = 0;
    virtual WindowTracker& tracker() = 0;
    // Runs the view's input handling on the main loop, after the event at hand.
    virtual void postToMain(Task task) = 0;
    virtual void postToMainAfter(double seconds, Task task) = 0;
    // The keyboard focus left the shield over `client`.
    virtual void shieldLostFocus(xcb_window_t client) = 0;
    virtual void panelClosed(xcb_window_t window) = 0;
    // The server's time now, for requests that a stale timestamp would have ignored.
    virtual xcb_timestamp_t serverTime() = 0;
    // Whether windows were restacked a moment ago. If so, every panel's stacking is checked
    // again once the window manager's restacking has settled, so that a panel that leaves its
    // check until then is not forgotten when the burst held no further restack.
    virtual bool deferStackingCheck() = 0;
    // Whether the check under way is the first of a burst of restacks, and the request that
    // every panel is checked again once the burst has settled.
    virtual bool stackingBurstStarting() = 0;
    virtual void checkStackingOnceSettled() = 0;
    // Which means of putting a managed shield back above its window was last seen to work:
    // a restack request relative to the window, or a change of state layer.
    virtual bool restackRequestsPreferred() = 0;
    virtual void preferRestackRequests(bool preferred) = 0;
    // Whether shields are made as windows of our own: once a shield was seen not to stay in
    // place as a managed window, also after the window manager restarts (what it did once it
    // does again), and once there were more shields than a window manager is given to manage.
    virtual bool unmanagedShieldsPreferred() = 0;
    virtual void preferUnmanagedShields() = 0;
    // The panel replaced its window by a new one.
    virtual void panelWindowChanged(xcb_window_t old, xcb_window_t now) = 0;
    // The root's child that holds the panel's window `panel` changed from `old` to `now`
    // (either may be none): the root's events about it go to that panel alone.
    virtual void panelTopLevelChanged(xcb_window_t panel, xcb_window_t old, xcb_window_t now) = 0;
};

}  // namespace sh::x11
