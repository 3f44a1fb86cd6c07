// Taking, handing over and giving back the keyboard for a shield on X.
#include "platform/x11/ShieldFocus.hpp"

namespace sh::x11 {

void ShieldFocus::take(xcb_window_t window, bool managed) {
    whenViewable_ = false;
    wanted_ = true;
    Connection& connection = host_.connection();
    xcb_connection_t* c = connection.get();
    // Where the keys went, to give them back when the shield goes.
    auto focus = reply(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
    if (focus && focus->focus != window && focus->focus != retired_) {
        previous_ = focus->focus;
    }
    // A timestamp older than the last focus change would make the server ignore the request.
    xcb_timestamp_t now = host_.serverTime();
    if (managed) {
        // Tell the window manager, so that it shows the shield's window as the active one and
        // does not move the focus back; then take it, as a window manager may decline to
        // activate a window that asks for no input.
        connection.sendRootMessage(window, connection.atoms()._NET_ACTIVE_WINDOW,
                                   {sourceIndicationPager, now, 0, 0, 0});
    }
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, now);
    // The window this one replaced goes only now that it no longer has the keyboard.
    destroyRetired();
}

bool ShieldFocus::isKey(xcb_window_t window) {
    if (whenViewable_) {
        return true;
    }
    xcb_connection_t* c = host_.connection().get();
    auto focus = reply(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
    return focus && focus->focus == window;
}

void ShieldFocus::offered(xcb_window_t window, xcb_timestamp_t time) {
    if (wanted_) {
        // Taken at the time of the offer.
        xcb_set_input_focus(host_.connection().get(), XCB_INPUT_FOCUS_POINTER_ROOT, window, time);
    }
}

void ShieldFocus::giveBack(xcb_window_t window) {
    // A window manager that never learnt that the shield took the keyboard would not give it
    // back when the shield goes: the window that had it gets it again, if it still can.
    if (previous_ == XCB_NONE || !isKey(window)) {
        return;
    }
    xcb_set_input_focus(host_.connection().get(), XCB_INPUT_FOCUS_POINTER_ROOT, previous_,
                        host_.serverTime());
    previous_ = XCB_NONE;
}

bool ShieldFocus::reset() {
    bool wasWanted = whenViewable_ || wanted_;
    whenViewable_ = false;
    wanted_ = false;
    return wasWanted;
}

void ShieldFocus::destroyRetired() {
    if (retired_ != XCB_NONE) {
        xcb_destroy_window(host_.connection().get(), retired_);
        retired_ = XCB_NONE;
    }
}

}  // namespace sh::x11
