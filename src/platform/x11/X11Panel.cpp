// Shield windows on X: creation, placement, stacking, focus, drawing and input.
#include "platform/x11/X11Panel.hpp"

#include <cairo-xcb.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/x11/ShieldPolicy.hpp"
#include "platform/x11/X11Drawing.hpp"

namespace sh::x11 {

namespace {

constexpr uint32_t panelEventMask = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS |
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
// _NET_RESTACK_WINDOW and _NET_ACTIVE_WINDOW source indication: a direct user action, the
// only kind window managers obey without focus-stealing checks.
constexpr uint32_t sourcePager = 2;

const ShieldPolicy& policy = ShieldPolicy::standard();

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

X11Panel::X11Panel(PanelHost& host, std::weak_ptr<void> alive,
                   const PanelConfiguration& configuration)
    : host_(host), alive_(std::move(alive)), configuration_(configuration) {
    managed_ = host_.tracker().windowManagerPresent() && !host_.unmanagedShieldsPreferred();
    // Work out the geometry first; the window is created with it.
    setFrame(configuration.contentRect, false);
    createWindow();
}

void X11Panel::createWindow() {
    Connection& connection = host_.connection();
    xcb_connection_t* c = connection.get();
    window_ = xcb_generate_id(c);
    // Until the view paints, the server fills the window with the configured background, or
    // with the view's own fill once there is a view.
    uint32_t background = pixelFor(configuration_.backgroundColor, connection.hasAlpha());
    if (view_) {
        Drawing picture =
            view_->draw(Rect{0, 0, static_cast<double>(width_), static_cast<double>(height_)});
        background = pixelFor(picture.fill, connection.hasAlpha());
    }
    uint32_t values[] = {background, 0, managed_ ? 0u : 1u, panelEventMask, connection.colormap()};
    xcb_create_window(c, connection.depth(), window_, connection.root(), static_cast<int16_t>(x_),
                      static_cast<int16_t>(y_), static_cast<uint16_t>(width_),
                      static_cast<uint16_t>(height_), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      connection.visual()->visual_id,
                      XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT |
                          XCB_CW_EVENT_MASK | XCB_CW_COLORMAP,
                      values);
    applyHints();
    placed_.reset();
    placeGeometry();
    // A window of our own is its own top-level, created where asked; a managed one's frame
    // is known once the window manager shows it.
    ownTopLevel_ = managed_ ? XCB_NONE : window_;
    frameViewable_ = false;
    frameUnsized_ = false;
    painted_.reset();
    stackedInPlace_ = false;
    shownGeometry_.reset();
    if (!managed_) {
        shownGeometry_ =
            WindowGeometry{x_, y_, static_cast<int32_t>(width_), static_cast<int32_t>(height_)};
    }
    drawnWidth_ = width_;
    drawnHeight_ = height_;
    surface_ =
        connection.createSurface(window_, static_cast<int>(width_), static_cast<int>(height_));
}

X11Panel::~X11Panel() {
    close();
}

void X11Panel::applyHints() {
    Connection& connection = host_.connection();
    xcb_connection_t* c = connection.get();
    const Atoms& atoms = connection.atoms();
    static constexpr char wmClass[] = "shield-helper\0ShieldHelper";
    setString(c, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING,
              std::string_view(wmClass, sizeof wmClass));
    setString(c, window_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, "Shield");
    setString(c, window_, atoms._NET_WM_NAME, atoms.UTF8_STRING, "Shield");
    setString(c, window_, XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_STRING, connection.hostName());
    setCardinals(c, window_, atoms._NET_WM_PID, XCB_ATOM_CARDINAL,
                 {static_cast<uint32_t>(getpid())});
    // Closing through the window manager must never make it kill our connection, and with
    // it every shield: we take part in the delete and ping protocols. With no input hint and
    // WM_TAKE_FOCUS (the globally active model), a window manager asks the shield before it
    // gives it the keyboard instead of refusing it outright, or handing the keys to the
    // window the shield is transient for; the shield accepts only while the core wants it key.
    setCardinals(c, window_, atoms.WM_PROTOCOLS, XCB_ATOM_ATOM,
                 {atoms.WM_DELETE_WINDOW, atoms._NET_WM_PING, atoms.WM_TAKE_FOCUS});
    // Borderless and not to be moved, resized or minimised by the user. Closing is offered:
    // a window manager that honours these functions (KWin) drops the close of a window
    // without it, and then the person's attempt never reaches us; the delete protocol above
    // turns the close into nothing but an access attempt.
    setCardinals(c, window_, atoms._MOTIF_WM_HINTS, atoms._MOTIF_WM_HINTS,
                 {motifFunctions | motifDecorations, motifFunctionClose, 0, 0, 0});
    // A frame of the window's own, of no width. Metacity takes an undecorated window that
    // asks for the size of a monitor (the shield of a maximised window) for an old program's
    // way of going full-screen, and makes it so, unless it draws its own decorations.
    setCardinals(c, window_, atoms._GTK_FRAME_EXTENTS, XCB_ATOM_CARDINAL, {0, 0, 0, 0});
    stackState_ = StackState::ordinary;
    writeInitialState();
    if ((configuration_.collectionBehavior & collectionBehaviorTransient) != 0) {
        // Out of pagers and window switchers too. Each window manager goes by hints of its own
        // choosing: the states for task bars; an explicit ordinary type, as a transient
        // without one counts as a dialog, which openbox's window switcher lists in spite of
        // the states; and the older hints, by which IceWM's leaves a window out.
        setCardinals(c, window_, atoms._NET_WM_WINDOW_TYPE, XCB_ATOM_ATOM,
                     {atoms._NET_WM_WINDOW_TYPE_NORMAL});
        setCardinals(c, window_, atoms._WIN_HINTS, XCB_ATOM_CARDINAL,
                     {winHintsSkipFocus | winHintsSkipWindowList | winHintsSkipTaskbar});
    }
    // No input for the window manager: it must never hand the keyboard to a shield by itself
    // (on mapping, on a click, on a desktop switch), taking it from the window the user is
    // typing in. The helper gives a shield the focus itself when the core makes it key.
    setCardinals(c, window_, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS,
                 {inputHint | stateHint, 0, normalState, 0, 0, 0, 0, 0, 0});
    // A user time of zero asks the window manager not to focus the window when it maps.
    setCardinals(c, window_, atoms._NET_WM_USER_TIME, XCB_ATOM_CARDINAL, {0});
}

void X11Panel::writeInitialState() {
    Connection& connection = host_.connection();
    const Atoms& atoms = connection.atoms();
    std::vector<uint32_t> states;
    if ((configuration_.collectionBehavior & collectionBehaviorTransient) != 0) {
        states = {atoms._NET_WM_STATE_SKIP_TASKBAR, atoms._NET_WM_STATE_SKIP_PAGER};
    }
    if (stackState_ != StackState::ordinary) {
        states.push_back(stateAtomOf(stackState_, atoms));
    }
    if (states.empty()) {
        xcb_delete_property(connection.get(), window_, atoms._NET_WM_STATE);
        return;
    }
    setCardinals(connection.get(), window_, atoms._NET_WM_STATE, XCB_ATOM_ATOM, states);
}

void X11Panel::followLayer() {
    StackState wanted = host_.tracker().stackStateOf(relativeTo_);
    if (wanted == stackState_) {
        return;
    }
    Connection& connection = host_.connection();
    const Atoms& atoms = connection.atoms();
    constexpr uint32_t add = 1, remove = 0;
    if (stackState_ != StackState::ordinary) {
        connection.sendRootMessage(window_, atoms._NET_WM_STATE,
                                   {remove, stateAtomOf(stackState_, atoms), 0, sourcePager, 0});
    }
    if (wanted != StackState::ordinary) {
        connection.sendRootMessage(window_, atoms._NET_WM_STATE,
                                   {add, stateAtomOf(wanted, atoms), 0, sourcePager, 0});
    }
    stackState_ = wanted;
}

void X11Panel::placeGeometry() {
    // A pass that changes nothing writes nothing: a window manager answers every request.
    std::array<int64_t, 4> wanted = {x_, y_, width_, height_};
    if (placed_ == wanted) {
        return;
    }
    placed_ = wanted;
    xcb_connection_t* c = host_.connection().get();
    // Placement requested by the program, to be honoured as given (no cascading or
    // centring on the parent).
    std::vector<uint32_t> hints(18, 0);
    hints[0] = usPosition | usSize | pPosition | pSize | pWinGravity;
    hints[1] = static_cast<uint32_t>(x_);
    hints[2] = static_cast<uint32_t>(y_);
    hints[3] = width_;
    hints[4] = height_;
    hints[17] = northWestGravity;
    setCardinals(c, window_, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, hints);
    uint32_t values[] = {static_cast<uint32_t>(x_), static_cast<uint32_t>(y_), width_, height_};
    xcb_configure_window(c, window_,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT,
                         values);
}

void X11Panel::setContentView(std::shared_ptr<PanelContent> view, const ContentViewOptions&) {
    if (!usable()) {
        return;
    }
    view_ = std::move(view);
    if (view_) {
        // The view's fill becomes the window background, so that the server paints the veil
        // at once on mapping, before our first paint arrives.
        Drawing picture =
            view_->draw(Rect{0, 0, static_cast<double>(width_), static_cast<double>(height_)});
        uint32_t pixel = pixelFor(picture.fill, host_.connection().hasAlpha());
        xcb_change_window_attributes(host_.connection().get(), window_, XCB_CW_BACK_PIXEL, &pixel);
    }
    needsRedraw_ = true;
}

void X11Panel::setFrame(const Rect& frame, bool display) {
    if (!usable()) {
        return;
    }
    // Panel frames have their origin at the bottom-left of the root; X at its top-left.
    double rootHeight = host_.tracker().rootHeight();
    double left = std::round(frame.minX());
    double right = std::round(frame.minX() + frame.standardWidth());
    double top = std::round(rootHeight - frame.maxY());
    double bottom = std::round(rootHeight - frame.minY());
    auto clampCoordinate = [](double v) { return std::clamp(v, -32768.0, 32767.0); };
    x_ = static_cast<int32_t>(clampCoordinate(left));
    y_ = static_cast<int32_t>(clampCoordinate(top));
    width_ = static_cast<uint32_t>(std::clamp(right - left, 1.0, 65535.0));
    height_ = static_cast<uint32_t>(std::clamp(bottom - top, 1.0, 65535.0));
    if (window_ != XCB_NONE) {
        placeGeometry();
        if (!managed_) {
            // Unmanaged: the server applies the request as it stands.
            if (width_ != drawnWidth_ || height_ != drawnHeight_) {
                drawnWidth_ = width_;
                drawnHeight_ = height_;
                cairo_xcb_surface_set_size(surface_, static_cast<int>(width_),
                                           static_cast<int>(height_));
                needsRedraw_ = true;
            }
        }
    }
    if (display && view_ && !needsRedraw_) {
        // Displayed as it stands: only a picture that would come out different is painted
        // again, so that a pass over windows that merely moved paints nothing.
        Drawing picture = view_->draw(
            Rect{0, 0, static_cast<double>(drawnWidth_), static_cast<double>(drawnHeight_)});
        if (!painted_ || !(picture == *painted_)) {
            needsRedraw_ = true;
        }
    }
}

void X11Panel::setTransientFor(xcb_window_t client) {
    if (transientFor_ == client) {
        return;
    }
    transientFor_ = client;
    setCardinals(host_.connection().get(), window_, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW,
                 {client});
}

void X11Panel::restack() {
    restackedAbove_ = topLevel_;
    // Asked for, not yet seen.
    stackedInPlace_ = false;
    xcb_connection_t* c = host_.connection().get();
    uint32_t values[] = {topLevel_, orderMode_ == WindowOrderingMode::below
                                        ? static_cast<uint32_t>(XCB_STACK_MODE_BELOW)
                                        : static_cast<uint32_t>(XCB_STACK_MODE_ABOVE)};
    xcb_configure_window(c, window_, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE,
                         values);
}

void X11Panel::orderWindow(WindowOrderingMode mode, int64_t relativeTo) {
    if (!usable()) {
        return;
    }
    xcb_connection_t* c = host_.connection().get();
    if (mode == WindowOrderingMode::out) {
        destroyRetiredWindow();
        if (mapped_) {
            returnFocus();
            xcb_unmap_window(c, window_);
            if (managed_) {
                // ICCCM withdrawal: tell the window manager with a synthetic unmap.
                xcb_unmap_notify_event_t event{};
                event.response_type = XCB_UNMAP_NOTIFY;
                event.event = host_.connection().root();
                event.window = window_;
                xcb_send_event(
                    c, 0, host_.connection().root(),
                    XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                    reinterpret_cast<const char*>(&event));
            }
            mapped_ = false;
            viewable_ = false;
        }
        keyWhenViewable_ = false;
        orderMode_ = mode;
        stackedInPlace_ = false;
        return;
    }
    auto client = static_cast<xcb_window_t>(relativeTo);
    WindowTracker& tracker = host_.tracker();
    tracker.sync();
    std::optional<xcb_window_t> topLevel = tracker.topLevelOf(client);
    if (!topLevel) {
        // Not a window we know: showing the panel anywhere else would cover unrelated ones.
        return;
    }
    orderMode_ = mode;
    relativeTo_ = client;
    topLevel_ = *topLevel;

    if (!managed_) {
        if (!mapped_) {
            // Restack while unmapped, and map only once the covered window proved to be our
            // sibling: a failed restack must not leave the panel on top of everything.
            uint32_t values[] = {topLevel_, mode == WindowOrderingMode::below
                                                ? static_cast<uint32_t>(XCB_STACK_MODE_BELOW)
                                                : static_cast<uint32_t>(XCB_STACK_MODE_ABOVE)};
            xcb_generic_error_t* error = xcb_request_check(
                c,
                xcb_configure_window_checked(
                    c, window_, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, values));
            if (error != nullptr) {
                std::free(error);
                return;
            }
            xcb_map_window(c, window_);
            mapped_ = true;
            ownTopLevel_ = window_;
            restackedAbove_ = topLevel_;
            return;
        }
        if (!viewable_) {
            // Unmapped by someone else (no window manager hides a window of our own): shown
            // again. Asking while the server is still mapping it changes nothing.
            xcb_map_window(c, window_);
        }
        if (restackedAbove_ != topLevel_) {
            restack();
        } else {
            // Still where the last restack put it, unless something came between since and
            // was not answered within the bound.
            keepInPlace(true);
        }
        return;
    }

    // Managed: the window manager keeps a transient directly above its parent. Corrections
    // are counted across passes, so that a window manager with other ideas is not fought
    // forever.
    setTransientFor(client);
    if (!mapped_ || !viewable_) {
        // Also when asked before but never shown: a window manager that is still starting
        // can drop a map request, and asking again is harmless. The window manager reads the
        // states on mapping, and drops them when a window is withdrawn.
        if (!mapped_) {
            stackState_ = tracker.stackStateOf(client);
            writeInitialState();
        }
        placeGeometry();
        xcb_map_window(c, window_);
        mapped_ = true;
        return;
    }
    followLayer();
    keepInPlace(true);
}

std::optional<bool> X11Panel::measureStacking() {
    stackedInPlace_ = false;
    if (!usable() || !mapped_ || orderMode_ != WindowOrderingMode::above ||
        relativeTo_ == XCB_NONE) {
        return std::nullopt;
    }
    // The server's order, not the one the window manager publishes: some publish the order
    // they meant rather than the one they made (IceWM).
    if (ownTopLevel_ == XCB_NONE) {
        // Not shown by the window manager yet.
        return std::nullopt;
    }
    const std::vector<xcb_window_t>& order = host_.tracker().rootChildren();
    auto self = std::find(order.begin(), order.end(), ownTopLevel_);
    auto target = std::find(order.begin(), order.end(), topLevel_);
    if (self == order.end() || target == order.end()) {
        // Being reparented, or the window is gone: nothing to compare.
        return std::nullopt;
    }
    bool inPlace = self > target;
    lowestBetween_ = XCB_NONE;
    if (inPlace && self != target + 1) {
        // Windows between the two count only when they are shown.
        xcb_connection_t* c = host_.connection().get();
        std::vector<xcb_get_window_attributes_cookie_t> cookies;
        for (auto it = target + 1; it != self; ++it) {
            cookies.push_back(xcb_get_window_attributes(c, *it));
        }
        for (size_t i = 0; i < cookies.size(); ++i) {
            auto attributes = reply(c, xcb_get_window_attributes_reply, cookies[i]);
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE) {
                inPlace = false;
                if (lowestBetween_ == XCB_NONE) {
                    lowestBetween_ = *(target + 1 + static_cast<std::ptrdiff_t>(i));
                }
            }
        }
    }
    stackedInPlace_ = inPlace;
    return inPlace;
}

void X11Panel::keepInPlace(bool fromPass) {
    std::optional<bool> measured = measureStacking();
    if (!measured) {
        return;
    }
    if (host_.deferStackingCheck()) {
        // Corrected if need be once the restacking in progress has settled. A pass that comes
        // in the middle of it (the window shown again, its shield mapped where it was) is not
        // lost: the check then is the pass's own.
        passDeferred_ = passDeferred_ || fromPass;
        return;
    }
    fromPass = fromPass || std::exchange(passDeferred_, false);
    StackingDecision decision = policy.decideStacking({
        .managed = managed_,
        .inPlace = *measured,
        .fromPass = fromPass,
        .announcedInPlace = announcedInPlace_,
        .corrections = corrections_,
        .lastCorrectionByRequest = lastCorrectionByRequest_,
        .requestsPreferred = host_.restackRequestsPreferred(),
    });
    if (fromPass) {
        announcedInPlace_ = false;
    }
    corrections_ = decision.corrections;
    if (decision.preferRequests) {
        host_.preferRestackRequests(*decision.preferRequests);
    }
    switch (decision.action) {
        case StackingAction::none:
            return;
        case StackingAction::restack:
            // Something the window manager restacked came between, in a way the events did
            // not show at once.
            restack();
            return;
        case StackingAction::fallBack:
            fallBack();
            return;
        case StackingAction::restackRequest:
        case StackingAction::layerToggle:
            correctManaged(decision.action == StackingAction::restackRequest);
            return;
    }
}

void X11Panel::correctManaged(bool byRequest) {
    // Two means, taken in turn while the shield stays out of place, the one last seen to
    // work first. Leaving a state layer and coming back makes most window managers insert the
    // panel again where transients go: directly above the highest window of its parent. Some
    // leave a transient above other windows that way (Metacity, once the shields are mapped
    // again after a desktop switch) but honour a restack request relative to a sibling, which
    // others take for "raise to the top"; the next check sees which. Such a request only
    // moves a window past its sibling: a shield above its window goes right below the lowest
    // window in between, one below it right above it.
    answeredSinceCorrection_ = false;
    // A window manager that ignores both means (i3, which puts a floating window that does
    // not take the focus at the bottom of its floating windows) restacks nothing in answer,
    // and nothing else would bring the next check before the periodic pass.
    host_.postToMainAfter(policy.answerDelay,
                          [weak = weak_from_this(), serial = ++correctionSerial_] {
                              if (auto panel = weak.lock()) {
                                  panel->checkCorrectionAnswered(serial);
                              }
                          });
    lastCorrectionByRequest_ = byRequest;
    Connection& connection = host_.connection();
    const Atoms& atoms = connection.atoms();
    if (byRequest) {
        xcb_window_t sibling = relativeTo_;
        uint32_t detail = XCB_STACK_MODE_ABOVE;
        if (lowestBetween_ != XCB_NONE) {
            sibling = host_.tracker().clientOfTopLevel(lowestBetween_).value_or(lowestBetween_);
            detail = XCB_STACK_MODE_BELOW;
        }
        connection.sendRootMessage(window_, atoms._NET_RESTACK_WINDOW,
                                   {sourcePager, sibling, detail, 0, 0});
        return;
    }
    bool clientAbove = hasAboveState(connection, relativeTo_);
    // Out of the shield's layer and back: the layer its window is kept in, above or below
    // the ordinary windows, or the ordinary one by way of the layer above.
    constexpr uint32_t add = 1, remove = 0;
    bool ordinary = stackState_ == StackState::ordinary;
    xcb_atom_t toggled = ordinary ? atoms._NET_WM_STATE_ABOVE : stateAtomOf(stackState_, atoms);
    connection.sendRootMessage(window_, atoms._NET_WM_STATE,
                               {ordinary ? add : remove, toggled, 0, sourcePager, 0});
    connection.sendRootMessage(window_, atoms._NET_WM_STATE,
                               {ordinary ? remove : add, toggled, 0, sourcePager, 0});
    if (!clientAbove) {
        // Judged once the window manager has answered both requests; by then the shield may
        // be gone, as the covered window no longer counted as an ordinary one.
        PanelHost* host = &host_;
        host_.postToMainAfter(policy.settleDelay, [host, alive = alive_, weak = weak_from_this(),
                                                   client = relativeTo_] {
            if (!alive.expired()) {
                checkAboveSpread(*host, weak.lock(), client);
            }
        });
    }
}

void X11Panel::checkCorrectionAnswered(uint64_t serial) {
    if (!usable() || !managed_ || serial != correctionSerial_ || answeredSinceCorrection_) {
        return;
    }
    std::optional<bool> measured = measureStacking();
    if (measured && !*measured && host_.deferStackingCheck()) {
        // Something is being restacked: the check once it has settled judges.
        return;
    }
    switch (policy.decideUnanswered(measured, ignoredCorrections_)) {
        case AnswerAction::none:
            return;
        case AnswerAction::checkAgain:
            keepInPlace();
            return;
        case AnswerAction::fallBack:
            fallBack();
            return;
    }
}

void X11Panel::forgiveCorrections() {
    // Some window managers raise a transient alone, away from its window, when it is clicked
    // or activated (openbox), and each such raise takes one correction that holds. That is
    // the answer to a new cause, the user's or our own, not a window manager with other ideas
    // about where the shield belongs: the count starts again, or a user clicking a shield a
    // few times would see it fall back.
    if (managed_) {
        corrections_ = 0;
    }
}

bool X11Panel::hasAboveState(Connection& connection, xcb_window_t client) {
    const Atoms& atoms = connection.atoms();
    auto states = connection.cardinals(
        connection.requestProperty(client, atoms._NET_WM_STATE, XCB_ATOM_ATOM));
    return states &&
           std::find(states->begin(), states->end(), atoms._NET_WM_STATE_ABOVE) != states->end();
}

void X11Panel::checkAboveSpread(PanelHost& host, const std::shared_ptr<X11Panel>& panel,
                                xcb_window_t client) {
    // Some window managers move a transient's whole group between layers, and the state we
    // toggle on the shield stays on the covered window (Fluxbox), which then counts as a
    // floating window rather than an ordinary one and loses its shield. Its state is put
    // back, and shields become windows of our own, which need no such corrections.
    Connection& connection = host.connection();
    if (!hasAboveState(connection, client)) {
        return;
    }
    const Atoms& atoms = connection.atoms();
    constexpr uint32_t remove = 0;
    connection.sendRootMessage(client, atoms._NET_WM_STATE,
                               {remove, atoms._NET_WM_STATE_ABOVE, 0, sourcePager, 0});
    if (panel && panel->usable() && panel->managed_) {
        panel->fallBack();
    } else {
        host.preferUnmanagedShields();
    }
}

void X11Panel::makeKeyWindow() {
    if (!usable() || !configuration_.canBecomeKeyWindow || !mapped_) {
        return;
    }
    if (!viewable_) {
        // Focus on a window not yet shown is refused; the window manager may still be
        // mapping it.
        keyWhenViewable_ = true;
        return;
    }
    takeFocus();
}

void X11Panel::takeFocus() {
    keyWhenViewable_ = false;
    wantsKey_ = true;
    Connection& connection = host_.connection();
    xcb_connection_t* c = connection.get();
    // Where the keys went, to give them back when the shield goes.
    auto focus = reply(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
    if (focus && focus->focus != window_ && focus->focus != retiredWindow_) {
        previousFocus_ = focus->focus;
    }
    // A timestamp older than the last focus change would make the server ignore the request.
    xcb_timestamp_t now = host_.serverTime();
    if (managed_) {
        forgiveCorrections();
        // Tell the window manager, so that it shows the shield's window as the active one and
        // does not move the focus back; then take it, as a window manager may decline to
        // activate a window that asks for no input.
        connection.sendRootMessage(window_, connection.atoms()._NET_ACTIVE_WINDOW,
                                   {sourcePager, now, 0, 0, 0});
    }
    xcb_set_input_focus(connection.get(), XCB_INPUT_FOCUS_POINTER_ROOT, window_, now);
    // The window this one replaced goes only now that it no longer has the keyboard.
    destroyRetiredWindow();
}

void X11Panel::destroyRetiredWindow() {
    if (retiredWindow_ != XCB_NONE) {
        xcb_destroy_window(host_.connection().get(), retiredWindow_);
        retiredWindow_ = XCB_NONE;
    }
}

bool X11Panel::isKeyWindow() {
    if (!usable() || !mapped_) {
        return false;
    }
    if (keyWhenViewable_) {
        return true;
    }
    xcb_connection_t* c = host_.connection().get();
    auto focus = reply(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
    return focus && focus->focus == window_;
}

bool X11Panel::shownAsAsked() const {
    if (!usable() || !mapped_ || !viewable_ || orderMode_ != WindowOrderingMode::above ||
        relativeTo_ == XCB_NONE || ownTopLevel_ == XCB_NONE) {
        return false;
    }
    if (ownTopLevel_ != window_ && !frameViewable_) {
        // The window manager hid the frame and left the shield mapped inside it.
        return false;
    }
    WindowGeometry requested{x_, y_, static_cast<int32_t>(width_), static_cast<int32_t>(height_)};
    return shownGeometry_ == requested;
}

bool X11Panel::placementConfirmed() const {
    return shownAsAsked() && stackedInPlace_;
}

bool X11Panel::isInPlace() {
    reportedInPlace_ = placementConfirmed();
    return reportedInPlace_;
}

void X11Panel::reportPlacementIfChanged() {
    if (!usable() || !view_) {
        return;
    }
    bool inPlace = placementConfirmed();
    if (inPlace == reportedInPlace_) {
        return;
    }
    if (!inPlace && shownAsAsked()) {
        // Only the order changed. The restack checks answer that themselves, within their
        // bound; were it announced, every restack of a window manager that answers ours with
        // one of its own would bring a pass, which forgives the bound, and the two would go on
        // for ever. The next pass counts it as it finds it.
        return;
    }
    reportedInPlace_ = inPlace;
    announcedInPlace_ = inPlace;
    tellView(&PanelContent::placementChanged);
}

void X11Panel::tellView(void (PanelContent::*call)()) {
    std::weak_ptr<X11Panel> weak = weak_from_this();
    host_.postToMain([weak, call] {
        auto panel = weak.lock();
        if (panel && panel->usable() && panel->view_) {
            // Held here: the call may close the panel and release its view.
            std::shared_ptr<PanelContent> view = panel->view_;
            (view.get()->*call)();
        }
    });
}

void X11Panel::topLevelEvent(const xcb_generic_event_t* event) {
    if (!usable() || ownTopLevel_ == XCB_NONE) {
        return;
    }
    switch (event->response_type & 0x7f) {
        case XCB_MAP_NOTIFY:
            if (reinterpret_cast<const xcb_map_notify_event_t*>(event)->window == ownTopLevel_) {
                frameViewable_ = true;
            }
            break;
        case XCB_UNMAP_NOTIFY:
            if (reinterpret_cast<const xcb_unmap_notify_event_t*>(event)->window == ownTopLevel_) {
                frameViewable_ = false;
            }
            break;
        case XCB_CONFIGURE_NOTIFY: {
            auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
            if (e->window == ownTopLevel_ && (event->response_type & 0x80) == 0) {
                answeredSinceCorrection_ = true;
                ignoredCorrections_ = 0;
                shownGeometry_ = WindowGeometry{e->x, e->y, e->width, e->height};
                if (!managed_ && placed_ &&
                    *shownGeometry_ != WindowGeometry{static_cast<int32_t>((*placed_)[0]),
                                                      static_cast<int32_t>((*placed_)[1]),
                                                      static_cast<int32_t>((*placed_)[2]),
                                                      static_cast<int32_t>((*placed_)[3])}) {
                    // Moved by someone else, or on its way to our last request: the next
                    // pass asks for its frame again rather than taking it as written.
                    placed_.reset();
                }
                if (managed_ && mapped_ && viewable_) {
                    // Some window managers move only their frame while the user drags it,
                    // and tell the shield where it went only once the drag ends
                    // (herbstluftwm): the frame's own moves show the drag as it starts, as
                    // do the shield's own where it has no frame.
                    if (fellBackFromDrag(e->x, e->y)) {
                        break;
                    }
                }
                if (managed_ && frameUnsized_ && decorated()) {
                    fallBack();
                }
            }
            break;
        }
        default:
            break;
    }
}

void X11Panel::readOwnTopLevel() {
    findOwnTopLevel();
    if (ownTopLevel_ == XCB_NONE) {
        frameViewable_ = false;
        shownGeometry_.reset();
        return;
    }
    xcb_connection_t* c = host_.connection().get();
    auto attributesCookie = xcb_get_window_attributes(c, ownTopLevel_);
    auto geometryCookie = xcb_get_geometry(c, ownTopLevel_);
    auto attributes = reply(c, xcb_get_window_attributes_reply, attributesCookie);
    auto geometry = reply(c, xcb_get_geometry_reply, geometryCookie);
    frameViewable_ = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    if (geometry) {
        shownGeometry_ =
            WindowGeometry{geometry->x, geometry->y, geometry->width, geometry->height};
    }
}

void X11Panel::returnFocus() {
    // A window manager that never learnt that the shield took the keyboard would not give it
    // back when the shield goes: the window that had it gets it again, if it still can.
    if (previousFocus_ == XCB_NONE || !isKeyWindow()) {
        return;
    }
    xcb_set_input_focus(host_.connection().get(), XCB_INPUT_FOCUS_POINTER_ROOT, previousFocus_,
                        host_.serverTime());
    previousFocus_ = XCB_NONE;
}

void X11Panel::close() {
    if (closed_) {
        return;
    }
    if (!alive_.expired() && window_ != XCB_NONE) {
        returnFocus();
    }
    closed_ = true;
    releaseSurface();
    if (!alive_.expired() && window_ != XCB_NONE) {
        destroyRetiredWindow();
        xcb_destroy_window(host_.connection().get(), window_);
        host_.panelClosed(window_);
    }
    // A closed panel lets go of its view.
    view_.reset();
}

void X11Panel::redrawIfNeeded() {
    if (!needsRedraw_ || !usable() || !mapped_ || surface_ == nullptr || !view_) {
        return;
    }
    needsRedraw_ = false;
    double width = drawnWidth_;
    double height = drawnHeight_;
    Drawing picture = view_->draw(Rect{0, 0, width, height});
    cairo_t* cairo = cairo_create(surface_);
    renderDrawing(cairo, picture, height, host_.connection().hasAlpha());
    cairo_destroy(cairo);
    cairo_surface_flush(surface_);
    painted_ = std::move(picture);
}

void X11Panel::handleEvent(const xcb_generic_event_t* event) {
    if (!usable()) {
        return;
    }
    Connection& connection = host_.connection();
    switch (event->response_type & 0x7f) {
        case XCB_EXPOSE:
            needsRedraw_ = true;
            break;
        case XCB_CONFIGURE_NOTIFY: {
            auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
            if (e->window != window_) {
                break;
            }
            if (e->width != drawnWidth_ || e->height != drawnHeight_) {
                drawnWidth_ = e->width;
                drawnHeight_ = e->height;
                cairo_xcb_surface_set_size(surface_, e->width, e->height);
                needsRedraw_ = true;
            }
            // The window manager's word on where a managed shield is, in root coordinates.
            if (managed_ && (event->response_type & 0x80) != 0) {
                keepGeometry(e->x, e->y, e->width, e->height);
            }
            break;
        }
        case XCB_BUTTON_PRESS: {
            auto* e = reinterpret_cast<const xcb_button_press_event_t*>(event);
            connection.noteTimestamp(e->time);
            forgiveCorrections();
            // Only the primary button is the view's; every press stops here either way.
            if (e->detail == 1) {
                tellView(&PanelContent::mouseDown);
            }
            break;
        }
        case XCB_KEY_PRESS: {
            auto* e = reinterpret_cast<const xcb_key_press_event_t*>(event);
            connection.noteTimestamp(e->time);
            tellView(&PanelContent::keyDown);
            break;
        }
        case XCB_MAP_NOTIFY:
            viewable_ = true;
            hiddenReverts_ = 0;
            needsRedraw_ = true;
            if (managed_) {
                readOwnTopLevel();
            }
            if (managed_ && decorated()) {
                // The window manager gave the shield a title bar or a border: the veil would
                // land beside its window.
                fallBack();
                break;
            }
            if (managed_ && shownGeometry_) {
                // Placed where the window manager wanted (kept on the screen, cascaded)
                // rather than where we asked, without telling us.
                WindowGeometry frame = *shownGeometry_;
                keepGeometry(frame.x, frame.y, static_cast<uint32_t>(frame.width),
                             static_cast<uint32_t>(frame.height));
                if (!usable() || !managed_) {
                    break;
                }
            }
            if (keyWhenViewable_) {
                takeFocus();
            }
            break;
        case XCB_UNMAP_NOTIFY:
            viewable_ = false;
            if (managed_ && mapped_) {
                // Judged a moment later, once the window manager has hidden the covered
                // window too if it hides both (some hide the transient first).
                std::weak_ptr<X11Panel> weak = weak_from_this();
                host_.postToMainAfter(policy.settleDelay, [weak] {
                    if (auto panel = weak.lock()) {
                        panel->checkHidden();
                    }
                });
            }
            break;
        case XCB_REPARENT_NOTIFY: {
            auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
            // Framed, or let go by a window manager that went away: the top-level changed.
            if (managed_ && e->window == window_) {
                readOwnTopLevel();
            }
            break;
        }
        case XCB_PROPERTY_NOTIFY: {
            auto* e = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            if (managed_ && e->window == window_ && e->atom == connection.atoms()._NET_WM_STATE) {
                checkState();
            }
            break;
        }
        case XCB_FOCUS_OUT: {
            auto* e = reinterpret_cast<const xcb_focus_out_event_t*>(event);
            // The keyboard left the shield, perhaps for its own window without the window
            // manager's active window changing: the core hears of it as a focus change of
            // that window's application and judges again.
            if (e->mode == XCB_NOTIFY_MODE_NORMAL && e->detail != XCB_NOTIFY_DETAIL_INFERIOR &&
                relativeTo_ != XCB_NONE) {
                wantsKey_ = false;
                host_.shieldLostFocus(relativeTo_);
            }
            break;
        }
        case XCB_CLIENT_MESSAGE: {
            auto* e = reinterpret_cast<const xcb_client_message_event_t*>(event);
            const Atoms& atoms = connection.atoms();
            if (e->type == atoms.WM_PROTOCOLS && e->data.data32[0] == atoms._NET_WM_PING) {
                // Answer the window manager's liveness check, or it offers to kill us.
                xcb_client_message_event_t answer = *e;
                answer.response_type = XCB_CLIENT_MESSAGE;
                answer.window = connection.root();
                xcb_send_event(
                    connection.get(), 0, connection.root(),
                    XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                    reinterpret_cast<const char*>(&answer));
            }
            if (e->type == atoms.WM_PROTOCOLS && e->data.data32[0] == atoms.WM_TAKE_FOCUS &&
                wantsKey_ && viewable_) {
                // The window manager offers the keyboard the core asked for: take it, at the
                // time of the offer.
                xcb_set_input_focus(connection.get(), XCB_INPUT_FOCUS_POINTER_ROOT, window_,
                                    e->data.data32[1]);
            }
            if (e->type == atoms.WM_PROTOCOLS && e->data.data32[0] == atoms.WM_DELETE_WINDOW) {
                // Declined, as only the helper closes a shield; the view hears of the attempt.
                tellView(&PanelContent::closeRequested);
            }
            break;
        }
        default:
            break;
    }
}

void X11Panel::windowManagerChanged(bool present) {
    bool managed = present && !host_.unmanagedShieldsPreferred();
    if (!usable() || managed == managed_) {
        return;
    }
    changeKind(managed);
}

void X11Panel::fallBack() {
    if (!usable() || !managed_) {
        return;
    }
    // What one shield met, the others would meet too under this window manager.
    host_.preferUnmanagedShields();
    changeKind(false);
}

void X11Panel::changeKind(bool managed) {
    // A new window of the other kind: a window manager may still hold the old one in its
    // frame for a while after it was withdrawn, and must not have the new one.
    xcb_connection_t* c = host_.connection().get();
    bool wasShown = mapped_;
    bool wantedKey = keyWhenViewable_ || isKeyWindow();
    xcb_window_t old = window_;
    releaseSurface();
    // A window that was replaced before its successor took the keyboard goes now.
    destroyRetiredWindow();
    recreateWindow(managed, wasShown, wantedKey);
    if (keyWhenViewable_) {
        // The old window keeps the keyboard until the new one takes it. Destroyed while it has
        // it, the focus would go back to the root, and a window manager answers that by
        // giving the keyboard to a window of its choice (openbox), after the new shield took
        // it: the shield the core made key would have lost the keyboard to a window the user
        // never chose.
        retiredWindow_ = old;
        // Not for ever, should the new one never be shown.
        host_.postToMainAfter(policy.focusHandoverLimit, [weak = weak_from_this(), old] {
            auto panel = weak.lock();
            if (panel && panel->usable() && panel->retiredWindow_ == old) {
                panel->destroyRetiredWindow();
            }
        });
    } else {
        xcb_destroy_window(c, old);
    }
}

void X11Panel::recreateWindow(bool managed, bool wasShown, bool wantedKey) {
    xcb_window_t old = window_;
    keyWhenViewable_ = false;
    managed_ = managed;
    mapped_ = false;
    viewable_ = false;
    ownTopLevel_ = XCB_NONE;
    frameViewable_ = false;
    stackedInPlace_ = false;
    transientFor_ = XCB_NONE;
    restackedAbove_ = XCB_NONE;
    corrections_ = 0;
    ignoredCorrections_ = 0;
    geometryCorrections_ = 0;
    stateReverts_ = 0;
    createWindow();
    host_.panelWindowChanged(old, window_);
    needsRedraw_ = true;
    if (wasShown && relativeTo_ != XCB_NONE) {
        orderWindow(orderMode_, relativeTo_);
        if (wantedKey) {
            makeKeyWindow();
        }
    }
}

void X11Panel::releaseSurface() {
    if (surface_ != nullptr) {
        cairo_surface_destroy(surface_);
        surface_ = nullptr;
    }
}

void X11Panel::connectionLost() {
    // The server destroyed our windows with the connection; nothing more is asked of it.
    releaseSurface();
    window_ = XCB_NONE;
    retiredWindow_ = XCB_NONE;
}

void X11Panel::reconnected() {
    if (!usable()) {
        return;
    }
    // Shown again where the core last ordered it, and given the keyboard again if the core
    // had made it key: the user's keys must not reach the covered window meanwhile. What was
    // learnt about the old window (its frame, its reverts, its last measured order) went
    // with it.
    bool wantedKey = keyWhenViewable_ || wantsKey_;
    wantsKey_ = false;
    hiddenReverts_ = 0;
    lowestBetween_ = XCB_NONE;
    passDeferred_ = false;
    announcedInPlace_ = false;
    recreateWindow(host_.tracker().windowManagerPresent() && !host_.unmanagedShieldsPreferred(),
                   mapped_, wantedKey);
}

void X11Panel::findOwnTopLevel() {
    // The root's child that holds the shield: the window manager's frame, or the shield.
    xcb_connection_t* c = host_.connection().get();
    ownTopLevel_ = XCB_NONE;
    xcb_window_t window = window_;
    for (int depth = 0; depth < 8; ++depth) {
        auto tree = reply(c, xcb_query_tree_reply, xcb_query_tree(c, window));
        if (!tree) {
            return;
        }
        if (tree->parent == tree->root) {
            ownTopLevel_ = window;
            return;
        }
        window = tree->parent;
    }
}

bool X11Panel::decorated() {
    xcb_connection_t* c = host_.connection().get();
    if (ownTopLevel_ == XCB_NONE || ownTopLevel_ == window_) {
        return false;
    }
    auto own = reply(c, xcb_get_geometry_reply, xcb_get_geometry(c, window_));
    auto frame = reply(c, xcb_get_geometry_reply, xcb_get_geometry(c, ownTopLevel_));
    if (!own || !frame) {
        return false;
    }
    FrameJudgement judgement =
        ShieldPolicy::judgeFrame({own->x, own->y, own->width, own->height},
                                 {frame->x, frame->y, frame->width, frame->height});
    frameUnsized_ = judgement == FrameJudgement::unsized;
    return judgement == FrameJudgement::decorated;
}

void X11Panel::checkState() {
    // States a shield must never have: a window manager's shortcut on a focused shield, or
    // its own idea (full screen for a window of the screen's size). Asked away, and where
    // they stay, the shield is shown again as a window of our own, where no window manager
    // can reach it.
    Connection& connection = host_.connection();
    const Atoms& atoms = connection.atoms();
    auto states = connection.cardinals(
        connection.requestProperty(window_, atoms._NET_WM_STATE, XCB_ATOM_ATOM));
    if (!states) {
        return;
    }
    std::vector<uint32_t> forbidden;
    for (uint32_t state : *states) {
        if (state == atoms._NET_WM_STATE_FULLSCREEN ||
            state == atoms._NET_WM_STATE_MAXIMIZED_VERT ||
            state == atoms._NET_WM_STATE_MAXIMIZED_HORZ) {
            forbidden.push_back(state);
        }
    }
    // The count is never forgiven while the window lasts: a window manager that sets the
    // state again each time the shield is back at its window's size (Marco, over a
    // maximised window, taking the shield for an old program's way of going full-screen)
    // shows it absent between its attempts, and each attempt puts the shield and its window
    // above the window the user is looking at.
    if (forbidden.empty()) {
        return;
    }
    if (!ShieldPolicy::allowCorrection(stateReverts_, policy.maximumStateReverts)) {
        fallBack();
        return;
    }
    constexpr uint32_t remove = 0;
    for (uint32_t state : forbidden) {
        connection.sendRootMessage(window_, atoms._NET_WM_STATE,
                                   {remove, state, 0, sourcePager, 0});
    }
    // The window manager resized the shield for the state; it goes back over its window.
    placed_.reset();
    placeGeometry();
}

void X11Panel::keepGeometry(int32_t x, int32_t y, uint32_t width, uint32_t height) {
    if (x == x_ && y == y_ && width == width_ && height == height_) {
        geometryCorrections_ = 0;
        return;
    }
    if (!mapped_ || !viewable_) {
        return;
    }
    if (fellBackFromDrag(x, y)) {
        return;
    }
    if (!ShieldPolicy::allowCorrection(geometryCorrections_, policy.maximumGeometryCorrections)) {
        // The window manager keeps moving or sizing the shield its own way.
        fallBack();
        return;
    }
    placed_.reset();
    placeGeometry();
}

bool X11Panel::fellBackFromDrag(int32_t x, int32_t y) {
    // A window manager that lets the user drag a shield moves it with every motion of the
    // pointer, and answers each correction of ours with the next move: the veil would
    // flicker off its window for the length of the drag, or stay where it was dropped. A
    // window of our own is out of the window manager's reach. Moves with no button down
    // (placement on mapping, keeping a window on the screen) are corrected as before.
    if (x == x_ && y == y_) {
        return false;
    }
    constexpr uint16_t anyButton = XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3 |
                                   XCB_BUTTON_MASK_4 | XCB_BUTTON_MASK_5;
    xcb_connection_t* c = host_.connection().get();
    auto pointer = reply(c, xcb_query_pointer_reply, xcb_query_pointer(c, window_));
    if (!pointer || (pointer->mask & anyButton) == 0) {
        return false;
    }
    fallBack();
    return true;
}

void X11Panel::checkHidden() {
    // The window manager hid the shield: fine when its window went with it (minimised, on
    // another desktop), not when the shield went alone.
    if (!usable() || !managed_ || !mapped_ || viewable_ || topLevel_ == XCB_NONE) {
        return;
    }
    xcb_connection_t* c = host_.connection().get();
    auto attributes =
        reply(c, xcb_get_window_attributes_reply, xcb_get_window_attributes(c, topLevel_));
    if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
        return;
    }
    // Nor when the window is on its way to being minimised.
    Connection& connection = host_.connection();
    const Atoms& atoms = connection.atoms();
    constexpr uint32_t iconicState = 3;
    auto wmState = connection.cardinals(
        connection.requestProperty(relativeTo_, atoms.WM_STATE, atoms.WM_STATE));
    if (wmState && !wmState->empty() && (*wmState)[0] == iconicState) {
        return;
    }
    if (!ShieldPolicy::allowCorrection(hiddenReverts_, policy.maximumHiddenReverts)) {
        fallBack();
        return;
    }
    // Moved to another desktop, or minimised alone: back to its window's desktop, and shown.
    auto desktop = connection.cardinals(
        connection.requestProperty(relativeTo_, atoms._NET_WM_DESKTOP, XCB_ATOM_CARDINAL));
    if (desktop && !desktop->empty()) {
        connection.sendRootMessage(window_, atoms._NET_WM_DESKTOP,
                                   {(*desktop)[0], sourcePager, 0, 0, 0});
    }
    xcb_map_window(c, window_);
}

}  // namespace sh::x11
