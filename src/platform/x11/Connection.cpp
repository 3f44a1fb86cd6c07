// Connecting to the X server and the request helpers shared by the X11 desktop.
#include "platform/x11/Connection.hpp"

#include <cairo-xcb.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/res.h>

#include <cstring>
#include <utility>

namespace sh::x11 {

namespace {

struct AtomName {
    const char* name;
    xcb_atom_t Atoms::*member;
};

constexpr AtomName atomNames[] = {
    {"WM_STATE", &Atoms::WM_STATE},
    {"WM_PROTOCOLS", &Atoms::WM_PROTOCOLS},
    {"WM_DELETE_WINDOW", &Atoms::WM_DELETE_WINDOW},
    {"WM_TAKE_FOCUS", &Atoms::WM_TAKE_FOCUS},
    {"UTF8_STRING", &Atoms::UTF8_STRING},
    {"_NET_SUPPORTING_WM_CHECK", &Atoms::_NET_SUPPORTING_WM_CHECK},
    {"_NET_CLIENT_LIST", &Atoms::_NET_CLIENT_LIST},
    {"_NET_CLIENT_LIST_STACKING", &Atoms::_NET_CLIENT_LIST_STACKING},
    {"_NET_ACTIVE_WINDOW", &Atoms::_NET_ACTIVE_WINDOW},
    {"_NET_CURRENT_DESKTOP", &Atoms::_NET_CURRENT_DESKTOP},
    {"_NET_WM_DESKTOP", &Atoms::_NET_WM_DESKTOP},
    {"_NET_WM_STATE", &Atoms::_NET_WM_STATE},
    {"_NET_WM_STATE_HIDDEN", &Atoms::_NET_WM_STATE_HIDDEN},
    {"_NET_WM_STATE_ABOVE", &Atoms::_NET_WM_STATE_ABOVE},
    {"_NET_WM_STATE_BELOW", &Atoms::_NET_WM_STATE_BELOW},
    {"_NET_WM_STATE_FULLSCREEN", &Atoms::_NET_WM_STATE_FULLSCREEN},
    {"_NET_WM_STATE_SKIP_TASKBAR", &Atoms::_NET_WM_STATE_SKIP_TASKBAR},
    {"_NET_WM_STATE_SKIP_PAGER", &Atoms::_NET_WM_STATE_SKIP_PAGER},
    {"_NET_WM_WINDOW_TYPE", &Atoms::_NET_WM_WINDOW_TYPE},
    {"_NET_WM_WINDOW_TYPE_NORMAL", &Atoms::_NET_WM_WINDOW_TYPE_NORMAL},
    {"_NET_WM_WINDOW_TYPE_DIALOG", &Atoms::_NET_WM_WINDOW_TYPE_DIALOG},
    {"_NET_WM_WINDOW_TYPE_DESKTOP", &Atoms::_NET_WM_WINDOW_TYPE_DESKTOP},
    {"_NET_WM_WINDOW_TYPE_DOCK", &Atoms::_NET_WM_WINDOW_TYPE_DOCK},
    {"_NET_WM_WINDOW_TYPE_TOOLBAR", &Atoms::_NET_WM_WINDOW_TYPE_TOOLBAR},
    {"_NET_WM_WINDOW_TYPE_MENU", &Atoms::_NET_WM_WINDOW_TYPE_MENU},
    {"_NET_WM_WINDOW_TYPE_UTILITY", &Atoms::_NET_WM_WINDOW_TYPE_UTILITY},
    {"_NET_WM_WINDOW_TYPE_SPLASH", &Atoms::_NET_WM_WINDOW_TYPE_SPLASH},
    {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", &Atoms::_NET_WM_WINDOW_TYPE_DROPDOWN_MENU},
    {"_NET_WM_WINDOW_TYPE_POPUP_MENU", &Atoms::_NET_WM_WINDOW_TYPE_POPUP_MENU},
    {"_NET_WM_WINDOW_TYPE_TOOLTIP", &Atoms::_NET_WM_WINDOW_TYPE_TOOLTIP},
    {"_NET_WM_WINDOW_TYPE_NOTIFICATION", &Atoms::_NET_WM_WINDOW_TYPE_NOTIFICATION},
    {"_NET_WM_WINDOW_TYPE_COMBO", &Atoms::_NET_WM_WINDOW_TYPE_COMBO},
    {"_NET_WM_WINDOW_TYPE_DND", &Atoms::_NET_WM_WINDOW_TYPE_DND},
    {"_NET_WM_WINDOW_OPACITY", &Atoms::_NET_WM_WINDOW_OPACITY},
    {"_NET_FRAME_EXTENTS", &Atoms::_NET_FRAME_EXTENTS},
    {"_GTK_FRAME_EXTENTS", &Atoms::_GTK_FRAME_EXTENTS},
    {"_NET_WM_PID", &Atoms::_NET_WM_PID},
    {"_NET_WM_PING", &Atoms::_NET_WM_PING},
    {"_NET_WM_USER_TIME", &Atoms::_NET_WM_USER_TIME},
    {"_NET_RESTACK_WINDOW", &Atoms::_NET_RESTACK_WINDOW},
    {"_NET_WM_NAME", &Atoms::_NET_WM_NAME},
    {"_MOTIF_WM_HINTS", &Atoms::_MOTIF_WM_HINTS},
    {"_SHIELD_HELPER_TIMESTAMP", &Atoms::_SHIELD_HELPER_TIMESTAMP},
    {"_NET_WM_STATE_MAXIMIZED_VERT", &Atoms::_NET_WM_STATE_MAXIMIZED_VERT},
    {"_NET_WM_STATE_MAXIMIZED_HORZ", &Atoms::_NET_WM_STATE_MAXIMIZED_HORZ},
    {"_WIN_HINTS", &Atoms::_WIN_HINTS},
};

}  // namespace

std::unique_ptr<Connection> Connection::open() {
    int screenNumber = 0;
    xcb_connection_t* raw = xcb_connect(nullptr, &screenNumber);
    if (raw == nullptr || xcb_connection_has_error(raw) != 0) {
        if (raw != nullptr) {
            xcb_disconnect(raw);
        }
        return nullptr;
    }
    std::unique_ptr<Connection> connection(new Connection());
    connection->connection_ = raw;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(raw));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        return nullptr;
    }
    connection->screen_ = screens.data;

    // Ask for both extensions at once; their replies come back together.
    xcb_prefetch_extension_data(raw, &xcb_res_id);
    xcb_prefetch_extension_data(raw, &xcb_randr_id);
    connection->internAtoms();
    connection->chooseVisual();
    const xcb_query_extension_reply_t* res = xcb_get_extension_data(raw, &xcb_res_id);
    connection->hasXRes_ = res != nullptr && res->present;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(raw, &xcb_randr_id);
    if (randr != nullptr && randr->present) {
        connection->randrFirstEvent_ = randr->first_event;
    }
    connection->isXWayland_ = connection->detectXWayland();

    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0) {
        connection->hostName_ = host;
    }
    if (connection->hasError()) {
        return nullptr;
    }
    return connection;
}

Connection::~Connection() {
    if (drawingDevice_ != nullptr) {
        // Surfaces still held elsewhere are left inert; a connection opened at the same
        // address starts with state of its own.
        cairo_device_finish(drawingDevice_);
        cairo_device_destroy(drawingDevice_);
    }
    if (connection_ != nullptr) {
        xcb_disconnect(connection_);
    }
}

cairo_surface_t* Connection::createSurface(xcb_window_t window, int width, int height) {
    cairo_surface_t* surface =
        cairo_xcb_surface_create(connection_, window, visual_, width, height);
    if (drawingDevice_ == nullptr) {
        if (cairo_device_t* device = cairo_surface_get_device(surface)) {
            drawingDevice_ = cairo_device_reference(device);
        }
    }
    return surface;
}

void Connection::internAtoms() {
    std::vector<xcb_intern_atom_cookie_t> cookies;
    for (const AtomName& atom : atomNames) {
        cookies.push_back(xcb_intern_atom(connection_, 0, std::strlen(atom.name), atom.name));
    }
    for (size_t i = 0; i < cookies.size(); ++i) {
        auto answer = reply(connection_, xcb_intern_atom_reply, cookies[i]);
        atoms_.*(atomNames[i].member) = answer ? answer->atom : xcb_atom_t{XCB_ATOM_NONE};
    }
}

bool Connection::detectXWayland() {
    // Recent XWayland servers announce themselves with an extension of their own name.
    static constexpr char extensionName[] = "XWAYLAND";
    auto extension =
        reply(connection_, xcb_query_extension_reply,
              xcb_query_extension(connection_, sizeof extensionName - 1, extensionName));
    if (extension && extension->present) {
        return true;
    }
    // Older ones only name their RandR outputs after themselves (XWAYLAND0, XWAYLAND1...).
    if (!hasRandr()) {
        return false;
    }
    auto resources = reply(connection_, xcb_randr_get_screen_resources_current_reply,
                           xcb_randr_get_screen_resources_current(connection_, screen_->root));
    if (!resources) {
        return false;
    }
    const xcb_randr_output_t* outputs =
        xcb_randr_get_screen_resources_current_outputs(resources.get());
    int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
    for (int i = 0; i < count; ++i) {
        auto info =
            reply(connection_, xcb_randr_get_output_info_reply,
                  xcb_randr_get_output_info(connection_, outputs[i], resources->config_timestamp));
        if (!info) {
            continue;
        }
        std::string name(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                         xcb_randr_get_output_info_name_length(info.get()));
        if (name.starts_with("XWAYLAND")) {
            return true;
        }
    }
    return false;
}

void Connection::chooseVisual() {
    // A depth-32 TrueColor visual carries alpha; under a compositor the veil is translucent.
    for (xcb_depth_iterator_t depths = xcb_screen_allowed_depths_iterator(screen_); depths.rem;
         xcb_depth_next(&depths)) {
        if (depths.data->depth != 32) {
            continue;
        }
        for (xcb_visualtype_iterator_t visuals = xcb_depth_visuals_iterator(depths.data);
             visuals.rem; xcb_visualtype_next(&visuals)) {
            if (visuals.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) {
                visual_ = visuals.data;
                depth_ = 32;
                break;
            }
        }
        if (visual_ != nullptr) {
            break;
        }
    }
    if (visual_ != nullptr) {
        // A window of another depth than its parent needs a colormap of its own.
        colormap_ = xcb_generate_id(connection_);
        xcb_create_colormap(connection_, XCB_COLORMAP_ALLOC_NONE, colormap_, screen_->root,
                            visual_->visual_id);
        return;
    }
    for (xcb_depth_iterator_t depths = xcb_screen_allowed_depths_iterator(screen_); depths.rem;
         xcb_depth_next(&depths)) {
        for (xcb_visualtype_iterator_t visuals = xcb_depth_visuals_iterator(depths.data);
             visuals.rem; xcb_visualtype_next(&visuals)) {
            if (visuals.data->visual_id == screen_->root_visual) {
                visual_ = visuals.data;
                depth_ = depths.data->depth;
            }
        }
    }
    colormap_ = screen_->default_colormap;
}

xcb_get_property_cookie_t Connection::requestProperty(xcb_window_t window, xcb_atom_t property,
                                                      xcb_atom_t type) const {
    // The length is counted in 32-bit units; this many cover every byte a reply can carry, and
    // the server sends only what the property holds. (Not UINT32_MAX: servers multiply the
    // length by four in 32 bits.)
    constexpr uint32_t wholeProperty = UINT32_MAX / 4;
    return xcb_get_property(connection_, 0, window, property, type, 0, wholeProperty);
}

std::optional<std::vector<uint32_t>> Connection::cardinals(xcb_get_property_cookie_t cookie) const {
    auto answer = reply(connection_, xcb_get_property_reply, cookie);
    if (!answer || answer->type == XCB_ATOM_NONE || answer->format != 32) {
        return std::nullopt;
    }
    auto* items = static_cast<const uint32_t*>(xcb_get_property_value(answer.get()));
    int count = xcb_get_property_value_length(answer.get()) / 4;
    return std::vector<uint32_t>(items, items + count);
}

std::optional<std::string> Connection::bytes(xcb_get_property_cookie_t cookie) const {
    auto answer = reply(connection_, xcb_get_property_reply, cookie);
    if (!answer || answer->type == XCB_ATOM_NONE || answer->format != 8) {
        return std::nullopt;
    }
    auto* data = static_cast<const char*>(xcb_get_property_value(answer.get()));
    return std::string(data, static_cast<size_t>(xcb_get_property_value_length(answer.get())));
}

void Connection::sendRootMessage(xcb_window_t window, xcb_atom_t type,
                                 std::array<uint32_t, 5> data) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    for (size_t i = 0; i < data.size(); ++i) {
        event.data.data32[i] = data[i];
    }
    // The way EWMH asks clients to address the window manager.
    xcb_send_event(connection_, 0, screen_->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&event));
}

}  // namespace sh::x11
