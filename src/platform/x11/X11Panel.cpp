// Shields on X: the core's orders, what the server shows of them, the push of the difference,
// the events a shield's window receives, and the policing of the window manager's doings.
#include "platform/x11/X11Panel.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "platform/x11/ShieldPolicy.hpp"
#include "platform/x11/X11Drawing.hpp"

namespace sh::x11 {

namespace {

const ShieldPolicy& policy = ShieldPolicy::standard();

// The frame asked for in panel coordinates (origin at the bottom-left of the root), as X has
// it (origin at its top-left), rounded and within the protocol's limits.
WindowGeometry geometryOf(const Rect& frame, double rootHeight) {
    double left = std::round(frame.minX());
    double right = std::round(frame.minX() + frame.standardWidth());
    double top = std::round(rootHeight - frame.maxY());
    double bottom = std::round(rootHeight - frame.minY());
    auto coordinate = [](double v) {
        return static_cast<int32_t>(std::clamp(v, -32768.0, 32767.0));
    };
    auto extent = [](double v) { return static_cast<int32_t>(std::clamp(v, 1.0, 65535.0)); };
    return {coordinate(left), coordinate(top), extent(right - left), extent(bottom - top)};
}

}  // namespace

X11Panel::X11Panel(PanelHost& host, std::weak_ptr<void> alive,
                   const PanelConfiguration& configuration)
    : host_(host), alive_(std::move(alive)), configuration_(configuration) {
    frame_ = geometryOf(configuration.contentRect, host_.tracker().rootHeight());
    createWindow(host_.tracker().windowManagerPresent() && !host_.unmanagedShieldsPreferred());
}

X11Panel::~X11Panel() {
    close();
}

Drawing X11Panel::drawView(uint32_t width, uint32_t height) const {
    return view_->draw(Rect{0, 0, static_cast<double>(width), static_cast<double>(height)});
}

void X11Panel::createWindow(bool managed) {
    // Until the view paints, the server fills the window with the configured background, or
    // with the view's own fill once there is a view.
    Color fill = configuration_.backgroundColor;
    if (view_) {
        fill = drawView(static_cast<uint32_t>(frame_.width), static_cast<uint32_t>(frame_.height))
                   .fill;
    }
    window_.create(managed, frame_, pixelFor(fill, host_.connection().hasAlpha()),
                   (configuration_.collectionBehavior & collectionBehaviorTransient) != 0);
    // A window of our own is its own top-level, created where asked; a managed one's frame
    // is known once the window manager shows it.
    setOwnTopLevel(managed ? XCB_NONE : window_.id());
    frameViewable_ = false;
    frameUnsized_ = false;
    stacking_.forgetMeasurement();
    shownGeometry_.reset();
    if (!managed) {
        shownGeometry_ = frame_;
    }
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
            drawView(static_cast<uint32_t>(frame_.width), static_cast<uint32_t>(frame_.height));
        window_.setBackground(pixelFor(picture.fill, host_.connection().hasAlpha()));
    }
    needsRedraw_ = true;
}

void X11Panel::setFrame(const Rect& frame, bool display) {
    if (!usable()) {
        return;
    }
    frame_ = geometryOf(frame, host_.tracker().rootHeight());
    geometryPending_ = true;
    displayPending_ = displayPending_ || display;
}

void X11Panel::orderWindow(WindowOrderingMode mode, int64_t relativeTo) {
    if (!usable()) {
        return;
    }
    if (mode == WindowOrderingMode::out) {
        order_.mode = mode;
        focus_.cancelWhenViewable();
        keyPending_ = false;
        stacking_.forgetMeasurement();
        orderPending_ = true;
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
    if (order_.mode != mode || order_.client != client || order_.clientTopLevel != *topLevel) {
        // Measured against another window: nothing is known of the new order yet.
        stacking_.forgetMeasurement();
    }
    order_.mode = mode;
    order_.client = client;
    order_.clientTopLevel = *topLevel;
    orderPending_ = true;
}

void X11Panel::makeKeyWindow() {
    if (!usable() || !configuration_.canBecomeKeyWindow) {
        return;
    }
    if (orderPending_) {
        // Once the order is written.
        keyPending_ = true;
        return;
    }
    becomeKey();
}

bool X11Panel::isKeyWindow() {
    if (!usable() || order_.mode == WindowOrderingMode::out) {
        return false;
    }
    if (keyPending_) {
        return true;
    }
    return order_.mapped && focus_.isKey(window_.id());
}

bool X11Panel::pushChanges() {
    if (!usable() || window_.id() == XCB_NONE ||
        !(geometryPending_ || orderPending_ || keyPending_)) {
        return false;
    }
    if (geometryPending_) {
        geometryPending_ = false;
        pushGeometry();
    }
    if (orderPending_) {
        orderPending_ = false;
        pushOrder();
    }
    if (keyPending_ && usable()) {
        keyPending_ = false;
        becomeKey();
    }
    return true;
}

void X11Panel::pushGeometry() {
    window_.place(frame_);
    if (!window_.managed() && window_.resizeSurface(static_cast<uint32_t>(frame_.width),
                                                    static_cast<uint32_t>(frame_.height))) {
        // Unmanaged: the server applies the request as it stands.
        needsRedraw_ = true;
    }
    if (std::exchange(displayPending_, false) && view_ && !needsRedraw_) {
        // Displayed as it stands: only a picture that would come out different is painted
        // again, so that a pass over windows that merely moved paints nothing.
        if (window_.differsFromPainted(drawView(window_.surfaceWidth(), window_.surfaceHeight()))) {
            needsRedraw_ = true;
        }
    }
}

void X11Panel::pushOrder() {
    if (order_.mode == WindowOrderingMode::out) {
        focus_.destroyRetired();
        if (order_.mapped) {
            focus_.giveBack(window_.id());
            window_.withdraw();
            order_.mapped = false;
            viewable_ = false;
        }
        return;
    }
    WindowTracker& tracker = host_.tracker();
    if (!window_.managed()) {
        if (!order_.mapped) {
            // Restack while unmapped, and map only once the covered window proved to be our
            // sibling: a failed restack must not leave the panel on top of everything.
            if (!window_.restack(order_.clientTopLevel, order_.mode, true)) {
                return;
            }
            window_.map();
            order_.mapped = true;
            setOwnTopLevel(window_.id());
            stacking_.restackedAt(order_.clientTopLevel);
            return;
        }
        if (!viewable_) {
            // Unmapped by someone else (no window manager hides a window of our own): shown
            // again. Asking while the server is still mapping it changes nothing.
            window_.map();
        }
        if (!stacking_.restackedAbove(order_.clientTopLevel)) {
            stacking_.restack();
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
    window_.setTransientFor(order_.client);
    if (!order_.mapped || !viewable_) {
        // Also when asked before but never shown: a window manager that is still starting
        // can drop a map request, and asking again is harmless. The window manager reads the
        // states on mapping, and drops them when a window is withdrawn.
        if (!order_.mapped) {
            window_.writeInitialState(tracker.stackStateOf(order_.client));
        }
        window_.place(frame_);
        window_.map();
        order_.mapped = true;
        awaitMap();
        return;
    }
    // A window manager keeps a window kept above over every ordinary one, transients of it
    // included: the shield follows its window's layer.
    window_.followLayer(tracker.stackStateOf(order_.client));
    keepInPlace(true);
}

std::optional<bool> X11Panel::measureStacking() {
    if (!usable()) {
        stacking_.forgetMeasurement();
        return std::nullopt;
    }
    return stacking_.measure();
}

void X11Panel::keepInPlace(bool fromPass) {
    if (!usable()) {
        return;
    }
    followUp(stacking_.keepInPlace(fromPass, announcedInPlace_));
}

void X11Panel::followUp(const StackingFollowUp& followUp) {
    if (followUp.fallBack) {
        fallBack();
        return;
    }
    if (followUp.awaitAnswer) {
        host_.postToMainAfter(
            policy.answerDelay, [weak = weak_from_this(), serial = *followUp.awaitAnswer] {
                auto panel = weak.lock();
                if (panel && panel->usable()) {
                    panel->followUp(panel->stacking_.answerDue(serial, panel->announcedInPlace_));
                }
            });
    }
    if (followUp.checkLayerSpread) {
        // Judged once the window manager has answered both requests.
        PanelHost* host = &host_;
        host_.postToMainAfter(policy.settleDelay, [host, alive = alive_, weak = weak_from_this(),
                                                   client = order_.client] {
            if (!alive.expired()) {
                checkAboveSpread(*host, weak.lock(), client);
            }
        });
    }
}

void X11Panel::checkAboveSpread(PanelHost& host, const std::shared_ptr<X11Panel>& panel,
                                xcb_window_t client) {
    // Some window managers move a transient's whole group between layers, and the state we
    // toggle on the shield stays on the covered window (Fluxbox), which then counts as a
    // floating window rather than an ordinary one and loses its shield. Its state is put
    // back, and shields become windows of our own, which need no such corrections.
    if (host.tracker().stackStateOnServer(client) != StackState::keptAbove) {
        return;
    }
    Connection& connection = host.connection();
    const Atoms& atoms = connection.atoms();
    constexpr uint32_t remove = 0;
    connection.sendRootMessage(client, atoms._NET_WM_STATE,
                               {remove, atoms._NET_WM_STATE_ABOVE, 0, sourceIndicationPager, 0});
    if (panel && panel->usable() && panel->managed()) {
        panel->fallBack();
    } else {
        host.preferUnmanagedShields();
    }
}

void X11Panel::becomeKey() {
    if (!order_.mapped) {
        return;
    }
    if (!viewable_) {
        // Focus on a window not yet shown is refused; the window manager may still be
        // mapping it.
        focus_.takeWhenViewable();
        return;
    }
    takeFocus();
}

void X11Panel::takeFocus() {
    if (window_.managed()) {
        stacking_.forgive();
    }
    focus_.take(window_.id(), window_.managed());
}

bool X11Panel::shownAsAsked() const {
    if (!usable() || !order_.mapped || !viewable_ || order_.mode != WindowOrderingMode::above ||
        order_.client == XCB_NONE || order_.ownTopLevel == XCB_NONE) {
        return false;
    }
    if (order_.ownTopLevel != window_.id() && !frameViewable_) {
        // The window manager hid the frame and left the shield mapped inside it.
        return false;
    }
    return shownGeometry_ == frame_;
}

bool X11Panel::placementConfirmed() const {
    return shownAsAsked() && stacking_.inPlace();
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

void X11Panel::windowManagerChanged(bool present) {
    bool managed = present && !host_.unmanagedShieldsPreferred();
    if (!usable() || managed == window_.managed()) {
        return;
    }
    changeKind(managed);
}

void X11Panel::fallBack() {
    if (!usable() || !window_.managed()) {
        return;
    }
    // What one shield met, the others would meet too under this window manager.
    host_.preferUnmanagedShields();
    changeKind(false);
}

void X11Panel::changeKind(bool managed) {
    // A new window of the other kind: a window manager may still hold the old one in its
    // frame for a while after it was withdrawn, and must not have the new one.
    bool wasShown = order_.mapped;
    bool wantedKey = focus_.waitingForViewable() || keyPending_ || isKeyWindow();
    xcb_window_t old = window_.id();
    // A window that was replaced before its successor took the keyboard goes now.
    focus_.destroyRetired();
    recreateWindow(managed, wasShown, wantedKey);
    if (focus_.waitingForViewable()) {
        // The old window keeps the keyboard until the new one takes it. Destroyed while it has
        // it, the focus would go back to the root, and a window manager answers that by
        // giving the keyboard to a window of its choice (openbox), after the new shield took
        // it: the shield the core made key would have lost the keyboard to a window the user
        // never chose. Not for ever, should the new one never be shown.
        focus_.retire(old);
        host_.postToMainAfter(policy.focusHandoverLimit, [weak = weak_from_this(), old] {
            auto panel = weak.lock();
            if (panel && panel->usable() && panel->focus_.retired() == old) {
                panel->focus_.destroyRetired();
            }
        });
    } else {
        xcb_destroy_window(host_.connection().get(), old);
    }
}

void X11Panel::recreateWindow(bool managed, bool wasShown, bool wantedKey) {
    xcb_window_t old = window_.id();
    focus_.cancelWhenViewable();
    keyPending_ = false;
    order_.mapped = false;
    viewable_ = false;
    stacking_.reset();
    geometryCorrections_ = 0;
    stateReverts_ = 0;
    unansweredMaps_ = 0;
    createWindow(managed);
    host_.panelWindowChanged(old, window_.id());
    needsRedraw_ = true;
    if (wasShown && order_.client != XCB_NONE) {
        // Shown again at once, within the turn that found the need.
        orderWindow(order_.mode, order_.client);
        pushChanges();
        if (wantedKey) {
            makeKeyWindow();
        }
    }
}

void X11Panel::connectionLost() {
    // The server destroyed our windows with the connection; nothing more is asked of it.
    order_.ownTopLevel = XCB_NONE;
    window_.forget();
    focus_.forgetWindows();
}

void X11Panel::reconnected() {
    if (!usable()) {
        return;
    }
    // Shown again where the core last ordered it, and given the keyboard again if the core
    // had made it key: the user's keys must not reach the covered window meanwhile. What was
    // learnt about the old window (its frame, its reverts, its last measured order) went
    // with it.
    bool wantedKey = focus_.reset() || keyPending_;
    hiddenReverts_ = 0;
    stacking_.forgetAll();
    announcedInPlace_ = false;
    recreateWindow(host_.tracker().windowManagerPresent() && !host_.unmanagedShieldsPreferred(),
                   order_.mapped, wantedKey);
}

void X11Panel::close() {
    if (closed_) {
        return;
    }
    bool connected = !alive_.expired() && window_.id() != XCB_NONE;
    if (connected) {
        focus_.giveBack(window_.id());
    }
    closed_ = true;
    if (connected) {
        xcb_window_t id = window_.id();
        setOwnTopLevel(XCB_NONE);
        focus_.destroyRetired();
        window_.destroy();
        host_.panelClosed(id);
    } else {
        window_.forget();
    }
    // A closed panel lets go of its view.
    view_.reset();
}

void X11Panel::redrawIfNeeded() {
    if (!needsRedraw_ || !usable() || !order_.mapped || !window_.hasSurface() || !view_) {
        return;
    }
    needsRedraw_ = false;
    window_.paint(drawView(window_.surfaceWidth(), window_.surfaceHeight()));
}

// Events

X11Panel::EventHandler X11Panel::handlerFor(uint8_t type) {
    switch (type) {
        case XCB_EXPOSE:
            return &X11Panel::onExpose;
        case XCB_CONFIGURE_NOTIFY:
            return &X11Panel::onConfigure;
        case XCB_BUTTON_PRESS:
            return &X11Panel::onButtonPress;
        case XCB_KEY_PRESS:
            return &X11Panel::onKeyPress;
        case XCB_MAP_NOTIFY:
            return &X11Panel::onMap;
        case XCB_UNMAP_NOTIFY:
            return &X11Panel::onUnmap;
        case XCB_REPARENT_NOTIFY:
            return &X11Panel::onReparent;
        case XCB_PROPERTY_NOTIFY:
            return &X11Panel::onProperty;
        case XCB_FOCUS_OUT:
            return &X11Panel::onFocusOut;
        case XCB_CLIENT_MESSAGE:
            return &X11Panel::onClientMessage;
        default:
            return nullptr;
    }
}

void X11Panel::handleEvent(const xcb_generic_event_t* event) {
    if (!usable()) {
        return;
    }
    if (EventHandler handler = handlerFor(event->response_type & 0x7f)) {
        (this->*handler)(event);
    }
}

void X11Panel::onExpose(const xcb_generic_event_t*) {
    needsRedraw_ = true;
}

void X11Panel::onConfigure(const xcb_generic_event_t* event) {
    auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
    if (e->window != window_.id()) {
        return;
    }
    if (window_.resizeSurface(e->width, e->height)) {
        needsRedraw_ = true;
    }
    // The window manager's word on where a managed shield is, in root coordinates.
    if (window_.managed() && (event->response_type & 0x80) != 0) {
        keepGeometry({e->x, e->y, e->width, e->height});
    }
}

void X11Panel::onButtonPress(const xcb_generic_event_t* event) {
    auto* e = reinterpret_cast<const xcb_button_press_event_t*>(event);
    host_.connection().noteTimestamp(e->time);
    stacking_.forgive();
    // Only the primary button is the view's; every press stops here either way.
    if (e->detail == 1) {
        tellView(&PanelContent::mouseDown);
    }
}

void X11Panel::onKeyPress(const xcb_generic_event_t* event) {
    auto* e = reinterpret_cast<const xcb_key_press_event_t*>(event);
    host_.connection().noteTimestamp(e->time);
    tellView(&PanelContent::keyDown);
}

void X11Panel::onMap(const xcb_generic_event_t*) {
    viewable_ = true;
    hiddenReverts_ = 0;
    needsRedraw_ = true;
    if (window_.managed()) {
        readOwnTopLevel();
        if (decorated()) {
            // The window manager gave the shield a title bar or a border: the veil would
            // land beside its window.
            fallBack();
            return;
        }
        if (shownGeometry_) {
            // Placed where the window manager wanted (kept on the screen, cascaded) rather
            // than where we asked, without telling us.
            keepGeometry(*shownGeometry_);
            if (!usable() || !window_.managed()) {
                return;
            }
        }
    }
    if (focus_.waitingForViewable()) {
        takeFocus();
    }
}

void X11Panel::onUnmap(const xcb_generic_event_t*) {
    viewable_ = false;
    if (window_.managed() && order_.mapped) {
        // Judged a moment later, once the window manager has hidden the covered window too
        // if it hides both (some hide the transient first).
        host_.postToMainAfter(policy.settleDelay, [weak = weak_from_this()] {
            if (auto panel = weak.lock()) {
                panel->checkHidden();
            }
        });
    }
}

void X11Panel::onReparent(const xcb_generic_event_t* event) {
    auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
    // Framed, or let go by a window manager that went away: the top-level changed.
    if (window_.managed() && e->window == window_.id()) {
        readOwnTopLevel();
    }
}

void X11Panel::onProperty(const xcb_generic_event_t* event) {
    auto* e = reinterpret_cast<const xcb_property_notify_event_t*>(event);
    if (window_.managed() && e->window == window_.id() &&
        e->atom == host_.connection().atoms()._NET_WM_STATE) {
        checkState();
    }
}

void X11Panel::onFocusOut(const xcb_generic_event_t* event) {
    auto* e = reinterpret_cast<const xcb_focus_out_event_t*>(event);
    // The keyboard left the shield, perhaps for its own window without the window manager's
    // active window changing: the core hears of it as a focus change of that window's
    // application and judges again.
    if (e->mode == XCB_NOTIFY_MODE_NORMAL && e->detail != XCB_NOTIFY_DETAIL_INFERIOR &&
        order_.client != XCB_NONE) {
        focus_.lost();
        host_.shieldLostFocus(order_.client);
    }
}

void X11Panel::onClientMessage(const xcb_generic_event_t* event) {
    auto* e = reinterpret_cast<const xcb_client_message_event_t*>(event);
    Connection& connection = host_.connection();
    const Atoms& atoms = connection.atoms();
    if (e->type != atoms.WM_PROTOCOLS) {
        return;
    }
    xcb_atom_t protocol = e->data.data32[0];
    if (protocol == atoms._NET_WM_PING) {
        // Answer the window manager's liveness check, or it offers to kill us.
        xcb_client_message_event_t answer = *e;
        answer.response_type = XCB_CLIENT_MESSAGE;
        answer.window = connection.root();
        xcb_send_event(connection.get(), 0, connection.root(),
                       XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char*>(&answer));
    } else if (protocol == atoms.WM_TAKE_FOCUS && viewable_) {
        // The window manager offers the keyboard the core asked for.
        focus_.offered(window_.id(), e->data.data32[1]);
    } else if (protocol == atoms.WM_DELETE_WINDOW) {
        // Declined, as only the helper closes a shield; the view hears of the attempt.
        tellView(&PanelContent::closeRequested);
    }
}

void X11Panel::topLevelEvent(const xcb_generic_event_t* event) {
    xcb_window_t own = order_.ownTopLevel;
    if (!usable() || own == XCB_NONE) {
        return;
    }
    switch (event->response_type & 0x7f) {
        case XCB_MAP_NOTIFY:
            if (reinterpret_cast<const xcb_map_notify_event_t*>(event)->window == own) {
                frameViewable_ = true;
            }
            break;
        case XCB_UNMAP_NOTIFY:
            if (reinterpret_cast<const xcb_unmap_notify_event_t*>(event)->window == own) {
                frameViewable_ = false;
            }
            break;
        case XCB_CONFIGURE_NOTIFY: {
            auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
            if (e->window != own || (event->response_type & 0x80) != 0) {
                break;
            }
            stacking_.answered();
            shownGeometry_ = WindowGeometry{e->x, e->y, e->width, e->height};
            bool managed = window_.managed();
            if (!managed && window_.placed() && *shownGeometry_ != *window_.placed()) {
                // Moved by someone else, or on its way to our last request: the next push
                // writes its frame again rather than taking it as written.
                window_.forgetPlacement();
            }
            if (managed && order_.mapped && viewable_) {
                // Some window managers move only their frame while the user drags it, and
                // tell the shield where it went only once the drag ends (herbstluftwm): the
                // frame's own moves show the drag as it starts, as do the shield's own where
                // it has no frame.
                if (fellBackFromDrag(e->x, e->y)) {
                    break;
                }
            }
            if (managed && frameUnsized_ && decorated()) {
                fallBack();
            }
            break;
        }
        default:
            break;
    }
}

// Policing

void X11Panel::findOwnTopLevel() {
    // The root's child that holds the shield: the window manager's frame, or the shield.
    xcb_connection_t* c = host_.connection().get();
    xcb_window_t window = window_.id();
    for (int depth = 0; depth < 8; ++depth) {
        auto tree = reply(c, xcb_query_tree_reply, xcb_query_tree(c, window));
        if (!tree) {
            break;
        }
        if (tree->parent == tree->root) {
            setOwnTopLevel(window);
            return;
        }
        window = tree->parent;
    }
    setOwnTopLevel(XCB_NONE);
}

void X11Panel::setOwnTopLevel(xcb_window_t topLevel) {
    if (topLevel != order_.ownTopLevel) {
        host_.panelTopLevelChanged(window_.id(), order_.ownTopLevel, topLevel);
        order_.ownTopLevel = topLevel;
    }
}

void X11Panel::readOwnTopLevel() {
    findOwnTopLevel();
    xcb_window_t own = order_.ownTopLevel;
    if (own == XCB_NONE) {
        frameViewable_ = false;
        shownGeometry_.reset();
        return;
    }
    xcb_connection_t* c = host_.connection().get();
    auto attributesCookie = xcb_get_window_attributes(c, own);
    auto geometryCookie = xcb_get_geometry(c, own);
    auto attributes = reply(c, xcb_get_window_attributes_reply, attributesCookie);
    auto geometry = reply(c, xcb_get_geometry_reply, geometryCookie);
    frameViewable_ = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    if (geometry) {
        shownGeometry_ =
            WindowGeometry{geometry->x, geometry->y, geometry->width, geometry->height};
    }
}

bool X11Panel::decorated() {
    xcb_window_t own = order_.ownTopLevel;
    if (own == XCB_NONE || own == window_.id()) {
        return false;
    }
    xcb_connection_t* c = host_.connection().get();
    auto shield = reply(c, xcb_get_geometry_reply, xcb_get_geometry(c, window_.id()));
    auto frame = reply(c, xcb_get_geometry_reply, xcb_get_geometry(c, own));
    if (!shield || !frame) {
        return false;
    }
    FrameJudgement judgement =
        ShieldPolicy::judgeFrame({shield->x, shield->y, shield->width, shield->height},
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
        connection.requestProperty(window_.id(), atoms._NET_WM_STATE, XCB_ATOM_ATOM));
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
    window_.removeStates(forbidden);
    // The window manager resized the shield for the state; it goes back over its window.
    window_.place(frame_, true);
}

void X11Panel::keepGeometry(const WindowGeometry& shown) {
    if (shown == written()) {
        geometryCorrections_ = 0;
        return;
    }
    if (!order_.mapped || !viewable_) {
        return;
    }
    if (fellBackFromDrag(shown.x, shown.y)) {
        return;
    }
    if (!ShieldPolicy::allowCorrection(geometryCorrections_, policy.maximumGeometryCorrections)) {
        // The window manager keeps moving or sizing the shield its own way.
        fallBack();
        return;
    }
    window_.place(frame_, true);
}

bool X11Panel::fellBackFromDrag(int32_t x, int32_t y) {
    // A window manager that lets the user drag a shield moves it with every motion of the
    // pointer, and answers each correction of ours with the next move: the veil would
    // flicker off its window for the length of the drag, or stay where it was dropped. A
    // window of our own is out of the window manager's reach. Moves with no button down
    // (placement on mapping, keeping a window on the screen) are corrected as before.
    WindowGeometry asked = written();
    if (x == asked.x && y == asked.y) {
        return false;
    }
    constexpr uint16_t anyButton = XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3 |
                                   XCB_BUTTON_MASK_4 | XCB_BUTTON_MASK_5;
    xcb_connection_t* c = host_.connection().get();
    auto pointer = reply(c, xcb_query_pointer_reply, xcb_query_pointer(c, window_.id()));
    if (!pointer || (pointer->mask & anyButton) == 0) {
        return false;
    }
    fallBack();
    return true;
}

void X11Panel::awaitMap() {
    if (mapCheckPending_) {
        return;
    }
    mapCheckPending_ = true;
    host_.postToMainAfter(policy.mapAnswerDelay, [weak = weak_from_this()] {
        if (auto panel = weak.lock()) {
            panel->mapCheckPending_ = false;
            panel->checkMapped();
        }
    });
}

void X11Panel::checkMapped() {
    // Not shown a moment after the request: fine while its window is not shown either (the
    // window manager maps a transient with its parent), not while it is.
    if (!usable() || !window_.managed() || !order_.mapped || viewable_ ||
        order_.mode == WindowOrderingMode::out || order_.clientTopLevel == XCB_NONE) {
        return;
    }
    xcb_connection_t* c = host_.connection().get();
    auto attributes = reply(c, xcb_get_window_attributes_reply,
                            xcb_get_window_attributes(c, order_.clientTopLevel));
    if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
        return;
    }
    if (!ShieldPolicy::allowCorrection(unansweredMaps_, policy.maximumUnansweredMaps)) {
        // A window of our own has an id of its own, and needs no window manager to be shown.
        fallBack();
        return;
    }
    window_.map();
    awaitMap();
}

void X11Panel::checkHidden() {
    // The window manager hid the shield: fine when its window went with it (minimised, on
    // another desktop), not when the shield went alone.
    if (!usable() || !window_.managed() || !order_.mapped || viewable_ ||
        order_.clientTopLevel == XCB_NONE) {
        return;
    }
    xcb_connection_t* c = host_.connection().get();
    auto attributes = reply(c, xcb_get_window_attributes_reply,
                            xcb_get_window_attributes(c, order_.clientTopLevel));
    if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
        return;
    }
    // Nor when the window is on its way to being minimised.
    Connection& connection = host_.connection();
    const Atoms& atoms = connection.atoms();
    constexpr uint32_t iconicState = 3;
    auto wmState = connection.cardinals(
        connection.requestProperty(order_.client, atoms.WM_STATE, atoms.WM_STATE));
    if (wmState && !wmState->empty() && (*wmState)[0] == iconicState) {
        return;
    }
    if (!ShieldPolicy::allowCorrection(hiddenReverts_, policy.maximumHiddenReverts)) {
        fallBack();
        return;
    }
    // Moved to another desktop, or minimised alone: back to its window's desktop, and shown.
    auto desktop = connection.cardinals(
        connection.requestProperty(order_.client, atoms._NET_WM_DESKTOP, XCB_ATOM_CARDINAL));
    if (desktop && !desktop->empty()) {
        window_.moveToDesktop((*desktop)[0]);
    }
    window_.map();
}

}  // namespace sh::x11
