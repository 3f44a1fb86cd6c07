// The X11 desktop: event dispatch, notification centres, window observers and panels.
#include "platform/x11/X11Desktop.hpp"

#include <unistd.h>

#include <cstdio>
#include <deque>
#include <map>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/common/LoopNotificationCenter.hpp"
#include "platform/common/LoopObservers.hpp"
#include "platform/linux/PollLoop.hpp"
#include "platform/x11/Connection.hpp"
#include "platform/x11/ShieldPolicy.hpp"
#include "platform/x11/WindowTracker.hpp"
#include "platform/x11/X11Panel.hpp"

namespace sh {

namespace {

using x11::Connection;
using x11::WindowTracker;
using x11::X11Panel;
using x11::XcbPtr;

// Exit status when the X display cannot be reached any more: the helper cannot see or cover
// anything, and its shields are gone with the connection.
constexpr int lostDisplayStatus = 1;
// Connections that may fail before one has started, when the server ended the last one.
constexpr int reconnectAttempts = 3;

}  // namespace

struct X11Desktop::State final : public x11::TrackerListener,
                                 public x11::PanelHost,
                                 public Workspace,
                                 public Accessibility {
    std::unique_ptr<PollLoop> loop = std::make_unique<PollLoop>();
    std::unique_ptr<Connection> display;
    std::unique_ptr<WindowTracker> windows;
    LoopNotificationCenter workspaceCenter{*loop};
    LoopNotificationCenter defaultCenterState{*loop};
    std::map<xcb_window_t, std::weak_ptr<X11Panel>> panels;
    // The root's child that holds each panel (its frame, or the panel's own window), by the
    // panel's window: the root's events about a top-level go to its panel alone.
    std::unordered_map<xcb_window_t, xcb_window_t> panelOfTopLevel;
    LoopObservers observers{*loop};
    std::deque<XcbPtr<xcb_generic_event_t>> stashed;
    // Expires with the desktop; panels the core still holds then do nothing.
    std::shared_ptr<int> alive = std::make_shared<int>(0);
    // A batch of events restacked something: the shields are checked against the server's
    // order at once, and again once the stacking has been quiet for a moment if it changed
    // meanwhile (only measured in between). A window manager restacks in bursts (a desktop
    // switch maps and raises window after window, some answer a restack of ours with their
    // own); shields corrected all through one would be corrected for states about to change,
    // and the corrections, which are bounded, spent on them.
    bool stackingCheckPending = false;
    bool stackingSettling = false;
    // Set while the first batch of a burst of restacks is checked.
    bool checkingBurstStart = false;
    bool stackingChangedWhileSettling = false;
    double lastStackingChange = 0;
    const double stackingSettleDelay = x11::ShieldPolicy::standard().stackingSettleDelay;
    // A top-level was mapped or unmapped: whether each shield is still directly above its
    // window is measured again (nothing is corrected for it).
    bool placementCheckPending = false;
    bool unmanagedShields = false;
    bool restackRequests = false;

    // TrackerListener
    void applicationEvent(NotificationName name, const RunningApplication& app) override {
        workspaceCenter.post({name, app});
    }
    void windowEvent(int32_t pid, const char* notification) override {
        observers.deliver(pid, notification);
    }
    void windowManagerChanged(bool present) override {
        for (auto& [window, weak] : livePanels()) {
            weak->windowManagerChanged(present);
        }
    }
    void screenChanged() override {
        defaultCenterState.post({NotificationName::applicationDidChangeScreenParameters, {}});
    }
    void currentDesktopChanged() override {
        // The counterpart of a Space switch: it asks for a pass whether or not any observed
        // window was on the desktops left or entered.
        workspaceCenter.post({NotificationName::workspaceActiveSpaceDidChange, std::nullopt});
    }
    void topLevelConfigured(const xcb_configure_notify_event_t&) override {
        // Any restack, published by a window manager or not, is checked against the server's
        // order once the batch of events is handled.
        stackingCheckPending = true;
    }
    void stackingChanged() override { stackingCheckPending = true; }
    bool isOwnWindow(xcb_window_t window) const override { return panels.contains(window); }

    // PanelHost
    Connection& connection() override { return *display; }
    WindowTracker& tracker() override { return *windows; }
    void postToMain(Task task) override { loop->post(std::move(task)); }
    void shieldLostFocus(xcb_window_t client) override {
        if (std::optional<int32_t> pid = windows->processOf(client)) {
            windowEvent(*pid, "AXFocusedWindowChanged");
        }
    }
    void postToMainAfter(double seconds, Task task) override {
        loop->postDelayed(seconds, std::move(task));
    }
    void panelClosed(xcb_window_t window) override { panels.erase(window); }
    bool deferStackingCheck() override {
        if (stackingSettling) {
            stackingChangedWhileSettling = true;
            return true;
        }
        // A check of this batch's restacks is made once its events are handled.
        return stackingCheckPending;
    }
    bool stackingBurstStarting() override { return checkingBurstStart; }
    void checkStackingOnceSettled() override { stackingChangedWhileSettling = true; }
    bool restackRequestsPreferred() override { return restackRequests; }
    void preferRestackRequests(bool preferred) override { restackRequests = preferred; }
    bool unmanagedShieldsPreferred() override { return unmanagedShields; }
    void preferUnmanagedShields() override { unmanagedShields = true; }
    void panelTopLevelChanged(xcb_window_t panel, xcb_window_t old, xcb_window_t now) override {
        auto found = panelOfTopLevel.find(old);
        if (found != panelOfTopLevel.end() && found->second == panel) {
            panelOfTopLevel.erase(found);
        }
        if (now != XCB_NONE) {
            panelOfTopLevel[now] = panel;
        }
    }
    void panelWindowChanged(xcb_window_t old, xcb_window_t now) override {
        auto found = panels.find(old);
        if (found != panels.end()) {
            std::weak_ptr<X11Panel> panel = found->second;
            panels.erase(found);
            panels[now] = panel;
        }
    }
    xcb_timestamp_t serverTime() override {
        fetchServerTime();
        return display->lastTimestamp();
    }

    // Workspace. Queries answer from what the tracker knows, read up to the events handled
    // so far; they never handle events themselves, which would call into panels and observers
    // in the middle of the core's pass. Events that arrive meanwhile wait for the loop's next
    // turn, and what they change brings a pass of its own.
    std::vector<RunningApplication> runningApplications() override {
        return windows->runningApplications();
    }
    std::optional<RunningApplication> frontmostApplication() override {
        return windows->frontmostApplication();
    }
    NotificationCenter& notificationCenter() override { return workspaceCenter; }

    // Accessibility. X has no per-application permission: whoever reaches the display may
    // read its windows, so trust lasts as long as the connection; there is nothing to prompt.
    // Under XWayland the display shows only part of the session: native Wayland windows are
    // invisible to it and the compositor may stack them, or tile our shields, anywhere. Covering
    // cannot be guaranteed there, so the permission is withheld and nothing is shielded.
    bool isProcessTrusted() override { return !display->hasError() && !display->isXWayland(); }
    std::optional<UntrustedReason> untrustedReason() override {
        if (display->hasError()) {
            return UntrustedReason{"display-lost", "the connection to the X display was lost"};
        }
        if (display->isXWayland()) {
            return UntrustedReason{
                "xwayland",
                "the X display is XWayland on a Wayland session the helper does not serve, "
                "where no X window stays above the session's own windows"};
        }
        return std::nullopt;
    }
    bool isProcessTrustedWithOptions(bool) override { return isProcessTrusted(); }
    std::unique_ptr<WindowObserver> createObserver(int32_t pid,
                                                   AccessibilityCallback callback) override {
        return observers.create(pid, std::move(callback));
    }

    std::vector<std::pair<xcb_window_t, std::shared_ptr<X11Panel>>> livePanels() {
        std::vector<std::pair<xcb_window_t, std::shared_ptr<X11Panel>>> live;
        for (auto& [window, weak] : panels) {
            if (auto panel = weak.lock()) {
                live.emplace_back(window, panel);
            }
        }
        return live;
    }

    [[noreturn]] void lost() {
        std::fputs("shield-helper: lost the connection to the X display\n", stderr);
        _exit(lostDisplayStatus);
    }

    // The connection is one more source of the loop.
    void watchConnection() {
        loop->watchFd(display->fileDescriptor(), [this] { processEvents(true); });
    }

    // The server ended our connection while the display stays: xkill, or a window manager's
    // force-quit (XKillClient) on a shield, and every window of ours went with it. The desktop
    // connects again and reads what it knows from the server anew; the panels the core holds
    // make their windows again on the new connection, where the core last ordered them, and
    // the core is asked for a pass. Only a display that cannot be reached ends the helper.
    void reconnect() {
        std::vector<std::shared_ptr<X11Panel>> held;
        for (auto& [window, panel] : livePanels()) {
            panel->connectionLost();
            held.push_back(panel);
        }
        panels.clear();
        panelOfTopLevel.clear();
        stashed.clear();
        stackingCheckPending = false;
        placementCheckPending = false;
        loop->unwatchFd(display->fileDescriptor());
        for (int attempt = 0;; ++attempt) {
            if (attempt == reconnectAttempts) {
                lost();
            }
            timeWindow = XCB_NONE;
            windows.reset();
            display.reset();
            display = Connection::open();
            if (!display) {
                lost();
            }
            windows = std::make_unique<WindowTracker>(*display, *this);
            windows->start();
            fetchServerTime();
            if (!display->hasError()) {
                break;
            }
        }
        watchConnection();
        for (auto& panel : held) {
            panel->reconnected();
            panels[panel->window()] = panel;
        }
        std::fputs(
            "shield-helper: the X server closed the connection; connected to the display again "
            "and showing the shields anew\n",
            stderr);
        // Whatever changed while no connection watched is found by the core's next pass.
        screenChanged();
        loop->post([] {});
    }

    void dispatch(const xcb_generic_event_t* event) {
        uint8_t type = event->response_type & 0x7f;
        if (type == 0) {
            // An error for a request without reply: a window that vanished between our
            // query and our use of it. Expected, and nothing to do.
            return;
        }
        xcb_window_t target = XCB_NONE;
        switch (type) {
            case XCB_EXPOSE:
                target = reinterpret_cast<const xcb_expose_event_t*>(event)->window;
                break;
            case XCB_BUTTON_PRESS:
                target = reinterpret_cast<const xcb_button_press_event_t*>(event)->event;
                break;
            case XCB_KEY_PRESS:
                target = reinterpret_cast<const xcb_key_press_event_t*>(event)->event;
                break;
            case XCB_FOCUS_OUT:
                target = reinterpret_cast<const xcb_focus_out_event_t*>(event)->event;
                break;
            case XCB_CLIENT_MESSAGE:
                target = reinterpret_cast<const xcb_client_message_event_t*>(event)->window;
                break;
            case XCB_CONFIGURE_NOTIFY:
                target = reinterpret_cast<const xcb_configure_notify_event_t*>(event)->window;
                break;
            case XCB_MAP_NOTIFY:
                target = reinterpret_cast<const xcb_map_notify_event_t*>(event)->window;
                break;
            case XCB_UNMAP_NOTIFY:
                target = reinterpret_cast<const xcb_unmap_notify_event_t*>(event)->window;
                break;
            case XCB_PROPERTY_NOTIFY:
                target = reinterpret_cast<const xcb_property_notify_event_t*>(event)->window;
                break;
            case XCB_REPARENT_NOTIFY:
                target = reinterpret_cast<const xcb_reparent_notify_event_t*>(event)->window;
                break;
            default:
                break;
        }
        if (type == XCB_MAP_NOTIFY || type == XCB_UNMAP_NOTIFY || type == XCB_CONFIGURE_NOTIFY) {
            // The same layout up to the window: the receiving window, then the one it is about.
            auto* e = reinterpret_cast<const xcb_map_notify_event_t*>(event);
            if (e->event == display->root()) {
                if (type != XCB_CONFIGURE_NOTIFY) {
                    placementCheckPending = true;
                }
                auto holder = panelOfTopLevel.find(e->window);
                if (holder != panelOfTopLevel.end()) {
                    auto it = panels.find(holder->second);
                    if (it != panels.end()) {
                        if (auto panel = it->second.lock()) {
                            panel->topLevelEvent(event);
                        }
                    }
                }
            }
        }
        if (target != XCB_NONE) {
            auto it = panels.find(target);
            if (it != panels.end()) {
                if (auto panel = it->second.lock()) {
                    panel->handleEvent(event);
                }
            }
        }
        windows->handleEvent(event);
    }

    XcbPtr<xcb_generic_event_t> nextEvent(bool readSocket) {
        if (!stashed.empty()) {
            auto event = std::move(stashed.front());
            stashed.pop_front();
            return event;
        }
        xcb_connection_t* c = display->get();
        return XcbPtr<xcb_generic_event_t>(readSocket ? xcb_poll_for_event(c)
                                                      : xcb_poll_for_queued_event(c));
    }

    void processEvents(bool readSocket = true) {
        // A paint's flush reads the socket too while it waits to write (a freshly drawn shield
        // is hundreds of kilobytes), as do restacking checks, and events XCB reads then sit in
        // its queue without making the socket readable. They are handled here, a few times
        // over, before the turn ends: left for a later wake-up, a window's move would wait
        // for something unrelated, and a host's command that arrived meanwhile would be
        // answered without what they say (the shield it asks about shown). What is left after
        // that gets a task of its own, which comes at once.
        for (int round = 0; round < 4; ++round) {
            handleEvents(readSocket && round == 0);
            XcbPtr<xcb_generic_event_t> event{xcb_poll_for_queued_event(display->get())};
            if (!event) {
                return;
            }
            stashed.push_back(std::move(event));
        }
        std::weak_ptr<int> weak = alive;
        loop->post([this, weak] {
            if (!weak.expired()) {
                processEvents(false);
            }
        });
    }

    // One turn's handling: the shields' changes pushed, the events read and dispatched, the
    // stacking checked, the shields painted, and everything flushed.
    void handleEvents(bool readSocket) {
        // What the core asked of the shields since the last turn goes out first, so that the
        // events that follow are judged against it.
        // The panels as they are at the start of the turn: none is made during it (only the
        // core makes panels, and it is not called from here), and one closed meanwhile does
        // nothing when asked.
        const auto live = livePanels();
        bool pushed = false;
        for (auto& [window, panel] : live) {
            pushed = panel->pushChanges() || pushed;
        }
        if (pushed) {
            // Sent at once: the server's answers (a shield shown) then come in while this
            // turn still reads events, rather than after whatever the next turn brings.
            xcb_flush(display->get());
        }
        // Reading state back (sync) waits for replies, and events arriving meanwhile queue
        // up inside XCB; go round until nothing is left, so none waits for the next wake-up.
        for (int round = 0; round < 16; ++round) {
            bool any = false;
            while (auto event = nextEvent(readSocket)) {
                dispatch(event.get());
                any = true;
            }
            readSocket = false;
            if (windows->needsSync()) {
                windows->sync();
                any = true;
            }
            if (!any) {
                break;
            }
        }
        if (stackingCheckPending) {
            stackingCheckPending = false;
            placementCheckPending = false;
            lastStackingChange = loop->now();
            if (stackingSettling) {
                stackingChangedWhileSettling = true;
                for (auto& [window, panel] : live) {
                    panel->measureStacking();
                }
            } else {
                checkingBurstStart = true;
                checkStacking(live);
                checkingBurstStart = false;
                settleStacking(stackingSettleDelay);
            }
        } else if (placementCheckPending) {
            placementCheckPending = false;
            for (auto& [window, panel] : live) {
                panel->measureStacking();
            }
        }
        for (auto& [window, panel] : live) {
            panel->reportPlacementIfChanged();
        }
        observers.flush();
        for (auto& [window, panel] : live) {
            panel->redrawIfNeeded();
        }
        xcb_flush(display->get());
        if (display->hasError()) {
            reconnect();
        }
    }

    void settleStacking(double delay) {
        if (stackingSettling) {
            return;
        }
        stackingSettling = true;
        std::weak_ptr<int> weak = alive;
        loop->postDelayed(delay, [this, weak] {
            if (weak.expired()) {
                return;
            }
            stackingSettling = false;
            double quiet = loop->now() - lastStackingChange;
            if (quiet < stackingSettleDelay) {
                settleStacking(stackingSettleDelay - quiet);
                return;
            }
            if (stackingChangedWhileSettling) {
                // Once for the rest of the burst, however many restacks it held.
                stackingChangedWhileSettling = false;
                checkStacking(livePanels());
            }
        });
    }

    // Once per batch of events, however many restacks it held.
    void checkStacking(
        const std::vector<std::pair<xcb_window_t, std::shared_ptr<X11Panel>>>& live) {
        for (auto& [window, panel] : live) {
            panel->keepInPlace();
        }
    }

    // A real server timestamp, at the start and for requests that need the time of now:
    // append nothing to a property of a window of our own and read the time of the
    // notification that follows. The window stays for the next time.
    void fetchServerTime() {
        xcb_connection_t* c = display->get();
        if (timeWindow == XCB_NONE) {
            timeWindow = xcb_generate_id(c);
            uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
            xcb_create_window(c, XCB_COPY_FROM_PARENT, timeWindow, display->root(), -1, -1, 1, 1, 0,
                              XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                              &mask);
        }
        xcb_window_t window = timeWindow;
        xcb_change_property(c, XCB_PROP_MODE_APPEND, window,
                            display->atoms()._SHIELD_HELPER_TIMESTAMP, XCB_ATOM_STRING, 8, 0,
                            nullptr);
        xcb_flush(c);
        while (XcbPtr<xcb_generic_event_t> event{xcb_wait_for_event(c)}) {
            if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
                auto* e = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
                if (e->window == window) {
                    display->noteTimestamp(e->time);
                    break;
                }
            }
            stashed.push_back(std::move(event));
        }
    }
    xcb_window_t timeWindow = XCB_NONE;
};

std::unique_ptr<X11Desktop> X11Desktop::connect() {
    auto state = std::make_unique<State>();
    state->display = Connection::open();
    if (!state->display) {
        return nullptr;
    }
    if (state->display->isXWayland()) {
        std::fputs(
            "shield-helper: the X display is XWayland, which shows neither the Wayland "
            "session's own windows nor lets shields stack over them; the permission "
            "stays denied\n",
            stderr);
    }
    state->windows = std::make_unique<WindowTracker>(*state->display, *state);
    state->windows->start();
    state->fetchServerTime();
    if (state->display->hasError()) {
        return nullptr;
    }
    State* raw = state.get();
    // Events XCB has already read into its queue do not make the socket readable, so the
    // prepare hook handles them before every wait, and flushes what timers and tasks have
    // requested.
    state->watchConnection();
    state->loop->addPrepareHook([raw] { raw->processEvents(false); });
    state->loop->addExitHook([raw] { xcb_flush(raw->display->get()); });
    xcb_flush(state->display->get());
    return std::unique_ptr<X11Desktop>(new X11Desktop(std::move(state)));
}

X11Desktop::X11Desktop(std::unique_ptr<State> state) : state_(std::move(state)) {}

X11Desktop::~X11Desktop() {
    for (auto& [window, panel] : state_->livePanels()) {
        panel->close();
    }
    state_->alive.reset();
}

Application& X11Desktop::application() {
    return *state_->loop;
}

MainLoop& X11Desktop::mainLoop() {
    return *state_->loop;
}

void X11Desktop::runInBackground(Task task) {
    std::thread(std::move(task)).detach();
}

Workspace& X11Desktop::workspace() {
    return *state_;
}

NotificationCenter& X11Desktop::defaultCenter() {
    return state_->defaultCenterState;
}

std::vector<Rect> X11Desktop::screens() {
    // One screen, the root, at the origin: the frame conversion and its inverse in the
    // panels then use the same height and round-trip exactly.
    return {Rect{0, 0, static_cast<double>(state_->windows->rootWidth()),
                 static_cast<double>(state_->windows->rootHeight())}};
}

WindowInfoList X11Desktop::copyWindowInfo(uint32_t options, int64_t) {
    return state_->windows->copyWindowInfo(options);
}

std::shared_ptr<Panel> X11Desktop::createPanel(const PanelConfiguration& configuration) {
    if (!state_->unmanagedShields &&
        state_->panels.size() >= x11::ShieldPolicy::standard().maximumManagedShields) {
        // Too many for the window manager: every shield becomes a window of our own, those
        // already shown included, as a window manager that restacks some while the helper
        // restacks the others would never let the two kinds settle. It stays so.
        state_->unmanagedShields = true;
        for (auto& [window, shown] : state_->livePanels()) {
            shown->windowManagerChanged(state_->windows->windowManagerPresent());
        }
    }
    auto panel =
        std::make_shared<X11Panel>(*state_, std::weak_ptr<void>(state_->alive), configuration);
    state_->panels[panel->window()] = panel;
    return panel;
}

Accessibility& X11Desktop::accessibility() {
    return *state_;
}

}  // namespace sh
