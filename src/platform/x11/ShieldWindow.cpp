// The requests that make, describe, move, restack and paint a shield's window.
#include "platform/x11/ShieldWindow.hpp"

#include <cairo-xcb.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "platform/linux/CairoDrawing.hpp"

namespace sh::x11 {

namespace {

constexpr uint32_t shieldEventMask = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS |
                                     XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                                     XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_FOCUS_CHANGE;

// ICCCM and Motif hint layouts.
constexpr uint32_t inputHint = 1;
constexpr uint32_t stateHint = 2;
constexpr uint32_t normalState = 1;
constexpr uint32_t usPosition = 1, usSize = 2, pPosition = 4, pSize = 8, pWinGravity = 512;
constexpr uint32_t northWestGravity = 1;
constexpr uint32_t motifFunctions = 1, motifDecorations = 2;
constexpr uint32_t motifFunctionClose = 32;
// The older desktop hints (_WIN_HINTS): left out of focus cycling, window lists, task bars.
constexpr uint32_t winHintsSkipFocus = 1, winHintsSkipWindowList = 2, winHintsSkipTaskbar = 4;
// _NET_WM_STATE actions.
constexpr uint32_t removeState = 0, addState = 1;

// The state that keeps a window in a layer other than the ordinary one.
xcb_atom_t stateAtomOf(StackState state, const Atoms& atoms) {
    return state == StackState::keptAbove ? atoms._NET_WM_STATE_ABOVE : atoms._NET_WM_STATE_BELOW;
}

void setCardinals(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                  const std::vector<uint32_t>& values) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, property, type, 32,
                        static_cast<uint32_t>(values.size()), values.data());
}

void setString(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
               std::string_view text) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, property, type, 8,
                        static_cast<uint32_t>(text.size()), text.data());
}

}  // namespace

void ShieldWindow::create(bool managed, const WindowGeometry& geometry, uint32_t background,
                          bool skipLists) {
    releaseSurface();
    Connection& connection = host_.connection();
    xcb_connection_t* c = connection.get();
    id_ = xcb_generate_id(c);
    managed_ = managed;
    transientFor_ = XCB_NONE;
    placed_.reset();
    painted_.reset();
    uint32_t values[] = {background, 0, managed ? 0u : 1u, shieldEventMask, connection.colormap()};
    xcb_create_window(c, connection.depth(), id_, connection.root(),
                      static_cast<int16_t>(geometry.x), static_cast<int16_t>(geometry.y),
                      static_cast<uint16_t>(geometry.width), static_cast<uint16_t>(geometry.height),
                      0, XCB_WINDOW_CLASS_INPUT_OUTPUT, connection.visual()->visual_id,
                      XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT |
                          XCB_CW_EVENT_MASK | XCB_CW_COLORMAP,
                      values);
    applyHints(skipLists);
    place(geometry);
    surfaceWidth_ = static_cast<uint32_t>(geometry.width);
    surfaceHeight_ = static_cast<uint32_t>(geometry.height);
    surface_ = connection.createSurface(id_, geometry.width, geometry.height);
}

void ShieldWindow::applyHints(bool skipLists) {
    Connection& connection = host_.connection();
    xcb_connection_t* c = connection.get();
    const Atoms& atoms = connection.atoms();
    static constexpr char wmClass[] = "shield-helper\0ShieldHelper";
    setString(c, id_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING,
              std::string_view(wmClass, sizeof wmClass));
    setString(c, id_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, "Shield");
    setString(c, id_, atoms._NET_WM_NAME, atoms.UTF8_STRING, "Shield");
    setString(c, id_, XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_STRING, connection.hostName());
    setCardinals(c, id_, atoms._NET_WM_PID, XCB_ATOM_CARDINAL, {static_cast<uint32_t>(getpid())});
    // Closing through the window manager must never make it kill our connection, and with
    // it every shield: we take part in the delete and ping protocols. With no input hint and
    // WM_TAKE_FOCUS (the globally active model), a window manager asks the shield before it
    // gives it the keyboard instead of refusing it outright, or handing the keys to the
    // window the shield is transient for; the shield accepts only while the core wants it key.
    setCardinals(c, id_, atoms.WM_PROTOCOLS, XCB_ATOM_ATOM,
                 {atoms.WM_DELETE_WINDOW, atoms._NET_WM_PING, atoms.WM_TAKE_FOCUS});
    // Borderless and not to be moved, resized or minimised by the user. Closing is offered:
    // a window manager that honours these functions (KWin) drops the close of a window
    // without it, and then the person's attempt never reaches us; the delete protocol above
    // turns the close into nothing but an access attempt.
    setCardinals(c, id_, atoms._MOTIF_WM_HINTS, atoms._MOTIF_WM_HINTS,
                 {motifFunctions | motifDecorations, motifFunctionClose, 0, 0, 0});
    // A frame of the window's own, of no width. Metacity takes an undecorated window that
    // asks for the size of a monitor (the shield of a maximised window) for an old program's
    // way of going full-screen, and makes it so, unless it draws its own decorations.
    setCardinals(c, id_, atoms._GTK_FRAME_EXTENTS, XCB_ATOM_CARDINAL, {0, 0, 0, 0});
    skipLists_ = skipLists;
    writeInitialState(StackState::ordinary);
    if (skipLists) {
        // Out of pagers and window switchers too. Each window manager goes by hints of its own
        // choosing: the states for task bars; an explicit ordinary type, as a transient
        // without one counts as a dialog, which openbox's window switcher lists in spite of
        // the states; and the older hints, by which IceWM's leaves a window out.
        setCardinals(c, id_, atoms._NET_WM_WINDOW_TYPE, XCB_ATOM_ATOM,
                     {atoms._NET_WM_WINDOW_TYPE_NORMAL});
        setCardinals(c, id_, atoms._WIN_HINTS, XCB_ATOM_CARDINAL,
                     {winHintsSkipFocus | winHintsSkipWindowList | winHintsSkipTaskbar});
    }
    // No input for the window manager: it must never hand the keyboard to a shield by itself
    // (on mapping, on a click, on a desktop switch), taking it from the window the user is
    // typing in. The helper gives a shield the focus itself when the core makes it key.
    setCardinals(c, id_, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS,
                 {inputHint | stateHint, 0, normalState, 0, 0, 0, 0, 0, 0});
    // A user time of zero asks the window manager not to focus the window when it maps.
    setCardinals(c, id_, atoms._NET_WM_USER_TIME, XCB_ATOM_CARDINAL, {0});
}

void ShieldWindow::writeInitialState(StackState state) {
    stackState_ = state;
    Connection& connection = host_.connection();
    const Atoms& atoms = connection.atoms();
    std::vector<uint32_t> states;
    if (skipLists_) {
        states = {atoms._NET_WM_STATE_SKIP_TASKBAR, atoms._NET_WM_STATE_SKIP_PAGER};
    }
    if (state != StackState::ordinary) {
        states.push_back(stateAtomOf(state, atoms));
    }
    if (states.empty()) {
        xcb_delete_property(connection.get(), id_, atoms._NET_WM_STATE);
        return;
    }
    setCardinals(connection.get(), id_, atoms._NET_WM_STATE, XCB_ATOM_ATOM, states);
}

void ShieldWindow::followLayer(StackState wanted) {
    if (wanted == stackState_) {
        return;
    }
    Connection& connection = host_.connection();
    const Atoms& atoms = connection.atoms();
    if (stackState_ != StackState::ordinary) {
        connection.sendRootMessage(
            id_, atoms._NET_WM_STATE,
            {removeState, stateAtomOf(stackState_, atoms), 0, sourceIndicationPager, 0});
    }
    if (wanted != StackState::ordinary) {
        connection.sendRootMessage(
            id_, atoms._NET_WM_STATE,
            {addState, stateAtomOf(wanted, atoms), 0, sourceIndicationPager, 0});
    }
    stackState_ = wanted;
}

void ShieldWindow::toggleLayer() {
    // The layer the window is kept in, above or below the ordinary windows, or the ordinary
    // one by way of the layer above.
    Connection& connection = host_.connection();
    const Atoms& atoms = connection.atoms();
    bool ordinary = stackState_ == StackState::ordinary;
    xcb_atom_t toggled = ordinary ? atoms._NET_WM_STATE_ABOVE : stateAtomOf(stackState_, atoms);
    connection.sendRootMessage(
        id_, atoms._NET_WM_STATE,
        {ordinary ? addState : removeState, toggled, 0, sourceIndicationPager, 0});
    connection.sendRootMessage(
        id_, atoms._NET_WM_STATE,
        {ordinary ? removeState : addState, toggled, 0, sourceIndicationPager, 0});
}

void ShieldWindow::requestRestack(xcb_window_t sibling, uint32_t stackMode) {
    Connection& connection = host_.connection();
    connection.sendRootMessage(id_, connection.atoms()._NET_RESTACK_WINDOW,
                               {sourceIndicationPager, sibling, stackMode, 0, 0});
}

bool ShieldWindow::restack(xcb_window_t sibling, WindowOrderingMode mode, bool checked) {
    xcb_connection_t* c = host_.connection().get();
    uint32_t values[] = {sibling, mode == WindowOrderingMode::below
                                      ? static_cast<uint32_t>(XCB_STACK_MODE_BELOW)
                                      : static_cast<uint32_t>(XCB_STACK_MODE_ABOVE)};
    constexpr uint16_t mask = XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE;
    if (!checked) {
        xcb_configure_window(c, id_, mask, values);
        return true;
    }
    xcb_generic_error_t* error =
        xcb_request_check(c, xcb_configure_window_checked(c, id_, mask, values));
    if (error != nullptr) {
        std::free(error);
        return false;
    }
    return true;
}

void ShieldWindow::removeStates(const std::vector<uint32_t>& states) {
    Connection& connection = host_.connection();
    for (uint32_t state : states) {
        connection.sendRootMessage(id_, connection.atoms()._NET_WM_STATE,
                                   {removeState, state, 0, sourceIndicationPager, 0});
    }
}

void ShieldWindow::moveToDesktop(uint32_t desktop) {
    Connection& connection = host_.connection();
    connection.sendRootMessage(id_, connection.atoms()._NET_WM_DESKTOP,
                               {desktop, sourceIndicationPager, 0, 0, 0});
}

void ShieldWindow::place(const WindowGeometry& geometry, bool again) {
    // A pass that changes nothing writes nothing: a window manager answers every request.
    if (placed_ == geometry && !again) {
        return;
    }
    placed_ = geometry;
    xcb_connection_t* c = host_.connection().get();
    auto x = static_cast<uint32_t>(geometry.x);
    auto y = static_cast<uint32_t>(geometry.y);
    auto width = static_cast<uint32_t>(geometry.width);
    auto height = static_cast<uint32_t>(geometry.height);
    // Placement requested by the program, to be honoured as given (no cascading or
    // centring on the parent).
    std::vector<uint32_t> hints(18, 0);
    hints[0] = usPosition | usSize | pPosition | pSize | pWinGravity;
    hints[1] = x;
    hints[2] = y;
    hints[3] = width;
    hints[4] = height;
    hints[17] = northWestGravity;
    setCardinals(c, id_, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, hints);
    uint32_t values[] = {x, y, width, height};
    xcb_configure_window(c, id_,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT,
                         values);
}

void ShieldWindow::setTransientFor(xcb_window_t client) {
    if (transientFor_ == client) {
        return;
    }
    transientFor_ = client;
    setCardinals(host_.connection().get(), id_, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW,
                 {client});
}

void ShieldWindow::setBackground(uint32_t pixel) {
    xcb_change_window_attributes(host_.connection().get(), id_, XCB_CW_BACK_PIXEL, &pixel);
}

void ShieldWindow::map() {
    xcb_map_window(host_.connection().get(), id_);
}

void ShieldWindow::withdraw() {
    Connection& connection = host_.connection();
    xcb_connection_t* c = connection.get();
    xcb_unmap_window(c, id_);
    if (managed_) {
        // ICCCM withdrawal: tell the window manager with a synthetic unmap.
        xcb_unmap_notify_event_t event{};
        event.response_type = XCB_UNMAP_NOTIFY;
        event.event = connection.root();
        event.window = id_;
        xcb_send_event(c, 0, connection.root(),
                       XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char*>(&event));
    }
}

bool ShieldWindow::resizeSurface(uint32_t width, uint32_t height) {
    if (surface_ == nullptr || (width == surfaceWidth_ && height == surfaceHeight_)) {
        return false;
    }
    surfaceWidth_ = width;
    surfaceHeight_ = height;
    cairo_xcb_surface_set_size(surface_, static_cast<int>(width), static_cast<int>(height));
    return true;
}

bool ShieldWindow::differsFromPainted(const Drawing& picture) const {
    return !painted_ || !(picture == *painted_);
}

void ShieldWindow::paint(Drawing picture) {
    if (surface_ == nullptr) {
        return;
    }
    cairo_t* cairo = cairo_create(surface_);
    renderDrawing(cairo, picture, surfaceHeight_, host_.connection().hasAlpha());
    cairo_destroy(cairo);
    cairo_surface_flush(surface_);
    painted_ = std::move(picture);
}

void ShieldWindow::releaseSurface() {
    if (surface_ != nullptr) {
        cairo_surface_destroy(surface_);
        surface_ = nullptr;
    }
}

void ShieldWindow::forget() {
    releaseSurface();
    id_ = XCB_NONE;
}

void ShieldWindow::destroy() {
    releaseSurface();
    if (id_ != XCB_NONE) {
        xcb_destroy_window(host_.connection().get(), id_);
        id_ = XCB_NONE;
    }
}

}  // namespace sh::x11
