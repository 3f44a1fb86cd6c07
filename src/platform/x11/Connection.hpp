// The connection to the X server: atoms, the 32-bit visual, typed property reads and the
// small request helpers the rest of the X11 desktop shares.
#pragma once

#include <cairo.h>
#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sh::x11 {

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
// A reply or event allocated by XCB.
template <typename T>
using XcbPtr = std::unique_ptr<T, FreeDeleter>;

// Waits for the reply to `cookie`. An error reply (for example BadWindow for a window that
// vanished in the meantime) gives null and is dropped: those races are normal on X.
template <typename Reply, typename Cookie>
XcbPtr<Reply> reply(xcb_connection_t* connection,
                    Reply* (*wait)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                    Cookie cookie) {
    xcb_generic_error_t* error = nullptr;
    Reply* result = wait(connection, cookie, &error);
    std::free(error);
    return XcbPtr<Reply>(result);
}

// Every atom the desktop uses, interned once at start-up.
struct Atoms {
    xcb_atom_t WM_STATE, WM_PROTOCOLS, WM_DELETE_WINDOW, WM_TAKE_FOCUS, UTF8_STRING,
        _NET_SUPPORTING_WM_CHECK, _NET_CLIENT_LIST, _NET_CLIENT_LIST_STACKING, _NET_ACTIVE_WINDOW,
        _NET_CURRENT_DESKTOP, _NET_WM_DESKTOP, _NET_WM_STATE, _NET_WM_STATE_HIDDEN,
        _NET_WM_STATE_ABOVE, _NET_WM_STATE_BELOW, _NET_WM_STATE_FULLSCREEN,
        _NET_WM_STATE_SKIP_TASKBAR, _NET_WM_STATE_SKIP_PAGER, _NET_WM_WINDOW_TYPE,
        _NET_WM_WINDOW_TYPE_NORMAL, _NET_WM_WINDOW_TYPE_DIALOG, _NET_WM_WINDOW_TYPE_DESKTOP,
        _NET_WM_WINDOW_TYPE_DOCK, _NET_WM_WINDOW_TYPE_TOOLBAR, _NET_WM_WINDOW_TYPE_MENU,
        _NET_WM_WINDOW_TYPE_UTILITY, _NET_WM_WINDOW_TYPE_SPLASH, _NET_WM_WINDOW_TYPE_DROPDOWN_MENU,
        _NET_WM_WINDOW_TYPE_POPUP_MENU, _NET_WM_WINDOW_TYPE_TOOLTIP,
        _NET_WM_WINDOW_TYPE_NOTIFICATION, _NET_WM_WINDOW_TYPE_COMBO, _NET_WM_WINDOW_TYPE_DND,
        _NET_WM_WINDOW_OPACITY, _NET_FRAME_EXTENTS, _GTK_FRAME_EXTENTS, _NET_WM_PID, _NET_WM_PING,
        _NET_WM_USER_TIME, _NET_RESTACK_WINDOW, _NET_WM_NAME, _MOTIF_WM_HINTS,
        _SHIELD_HELPER_TIMESTAMP, _NET_WM_STATE_MAXIMIZED_VERT, _NET_WM_STATE_MAXIMIZED_HORZ,
        _WIN_HINTS;
};

class Connection {
  public:
    // Connects to $DISPLAY. Null when there is no display or the server refuses us.
    static std::unique_ptr<Connection> open();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    xcb_connection_t* get() const { return connection_; }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }
    const Atoms& atoms() const { return atoms_; }
    bool hasError() const { return xcb_connection_has_error(connection_) != 0; }
    int fileDescriptor() const { return xcb_get_file_descriptor(connection_); }

    // The visual shields are drawn with: depth 32 with alpha where the server offers one,
    // otherwise the root visual.
    xcb_visualtype_t* visual() const { return visual_; }
    uint8_t depth() const { return depth_; }
    xcb_colormap_t colormap() const { return colormap_; }
    bool hasAlpha() const { return depth_ == 32; }

    bool hasXRes() const { return hasXRes_; }
    bool hasRandr() const { return randrFirstEvent_ >= 0; }
    int randrFirstEvent() const { return randrFirstEvent_; }
    // Whether the server is XWayland, the X server of a Wayland session: it shows only the
    // session's X clients, and the compositor stacks its windows among native Wayland
    // windows that no X client can see or cover.
    bool isXWayland() const { return isXWayland_; }

    // The latest server timestamp seen in an event, for requests that must carry a real one.
    xcb_timestamp_t lastTimestamp() const { return lastTimestamp_; }
    void noteTimestamp(xcb_timestamp_t time) {
        if (time != XCB_CURRENT_TIME) {
            lastTimestamp_ = time;
        }
    }

    // Property reads. Each is a request whose reply the caller collects later, so that many
    // can be in flight at once. A read always asks for the whole property: a client may make
    // any property as long as it likes, and a match on a cut value (a class name past the
    // first few kilobytes of WM_CLASS) would let its window go unnoticed.
    xcb_get_property_cookie_t requestProperty(xcb_window_t window, xcb_atom_t property,
                                              xcb_atom_t type = XCB_GET_PROPERTY_TYPE_ANY) const;
    // 32-bit items of a property (CARDINAL, WINDOW, ATOM...); absent when the property is
    // missing or not of format 32.
    std::optional<std::vector<uint32_t>> cardinals(xcb_get_property_cookie_t cookie) const;
    // The raw bytes of an 8-bit property; absent when missing.
    std::optional<std::string> bytes(xcb_get_property_cookie_t cookie) const;

    void sendRootMessage(xcb_window_t window, xcb_atom_t type, std::array<uint32_t, 5> data);
    // A cairo surface drawing into `window` with the shield visual. Cairo keeps its state for
    // a connection by the connection's address, which a later connection may be given; that
    // state is therefore ended together with the connection.
    cairo_surface_t* createSurface(xcb_window_t window, int width, int height);
    std::string hostName() const { return hostName_; }

  private:
    Connection() = default;
    void internAtoms();
    void chooseVisual();
    bool detectXWayland();

    xcb_connection_t* connection_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    Atoms atoms_{};
    xcb_visualtype_t* visual_ = nullptr;
    uint8_t depth_ = 0;
    xcb_colormap_t colormap_ = XCB_NONE;
    bool hasXRes_ = false;
    int randrFirstEvent_ = -1;
    bool isXWayland_ = false;
    xcb_timestamp_t lastTimestamp_ = XCB_CURRENT_TIME;
    std::string hostName_;
    cairo_device_t* drawingDevice_ = nullptr;
};

}  // namespace sh::x11
