// What the X server says about other applications' windows: the managed top-level windows
// with the properties that matter, the applications (processes) that own them, the window
// manager, and the changes among them, found from events and reported to a listener.
#pragma once

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/WindowList.hpp"
#include "platform/Workspace.hpp"
#include "platform/x11/Connection.hpp"

namespace sh::x11 {

// Changes the tracker finds. Called on the main thread from `WindowTracker::sync`.
class TrackerListener {
  public:
    virtual ~TrackerListener() = default;
    virtual void applicationEvent(NotificationName name, const RunningApplication& app) = 0;
    // A window of the process changed: one of the observer notification names.
    virtual void windowEvent(int32_t pid, const char* notification) = 0;
    virtual void windowManagerChanged(bool present) = 0;
    virtual void screenChanged() = 0;
    // The window manager switched to another desktop.
    virtual void currentDesktopChanged() = 0;
    // A direct child of the root was configured (moved, resized or restacked).
    virtual void topLevelConfigured(const xcb_configure_notify_event_t& event) = 0;
    // The window manager published a new stacking order.
    virtual void stackingChanged() = 0;
    // Whether the window is one of the helper's own; the tracker leaves its event mask alone.
    virtual bool isOwnWindow(xcb_window_t window) const = 0;
};

// A window's outer rectangle in root coordinates (top-left origin, y downwards).
struct WindowGeometry {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    friend bool operator==(const WindowGeometry&, const WindowGeometry&) = default;
};

// Where the window manager keeps a window among the ordinary ones.
enum class StackState { ordinary, keptAbove, keptBelow };

class WindowTracker {
  public:
    WindowTracker(Connection& connection, TrackerListener& listener);

    // Selects the root's events and reads the initial state. Applications already running
    // are recorded without notifications.
    void start();
    // Takes one event; state it invalidates is read again by the next `sync`.
    void handleEvent(const xcb_generic_event_t* event);
    // Reads whatever events have invalidated and reports the changes found.
    void sync();
    bool needsSync() const;

    bool windowManagerPresent() const { return wmPresent_; }
    uint16_t rootWidth() const { return rootWidth_; }
    uint16_t rootHeight() const { return rootHeight_; }
    std::vector<RunningApplication> runningApplications();
    // The application whose window is active: the window manager's active window, or the
    // window holding the keyboard focus when no window manager names one. Absent when that
    // is no application's window (a shield of ours, the root, nothing).
    std::optional<RunningApplication> frontmostApplication();
    // The process that owns a managed client, when known.
    std::optional<int32_t> processOf(xcb_window_t client);
    // Front to back.
    WindowInfoList copyWindowInfo(uint32_t options);
    // The direct child of the root that holds the client (its frame under a reparenting
    // window manager, the client itself otherwise); absent for an unknown window.
    std::optional<xcb_window_t> topLevelOf(xcb_window_t client);
    // The managed client a direct child of the root holds (the client of a frame, or the
    // client itself); absent for any other window.
    std::optional<xcb_window_t> clientOfTopLevel(xcb_window_t topLevel);
    // Whether the window manager keeps the client above or below the others
    // (_NET_WM_STATE_ABOVE, _NET_WM_STATE_BELOW), as last read.
    StackState stackStateOf(xcb_window_t client);
    // The same, asked of the server now: a state set a moment ago may not have been read.
    StackState stackStateOnServer(xcb_window_t client);
    // The root's children bottom to top, as the server has them: the real stacking order,
    // whatever a window manager publishes.
    const std::vector<xcb_window_t>& rootChildren();
    // Where a direct child of the root is in `rootChildren`; absent for any other window.
    std::optional<size_t> rootPosition(xcb_window_t window);
    // Whether each of these children of the root is mapped (and so shown, the root being
    // shown), as the root's events told.
    std::vector<bool> rootChildrenMapped(const std::vector<xcb_window_t>& windows);

  private:
    // The managed windows bottom to top, as the window manager last published them.
    const std::vector<xcb_window_t>& stackingOrder();
    // What the server last showed of a client: whether it is viewable, its rectangle in root
    // coordinates (border included), its frame's where it has one that counts, and when this
    // was read (the monotonic clock's seconds).
    struct Shown {
        bool viewable = false;
        WindowGeometry bounds;
        std::optional<WindowGeometry> frame;
        double readAt = 0;
    };
    // How long what a client shows is taken as read without an event saying it changed.
    static constexpr double shownLifetime = 4.0;
    struct Client {
        xcb_window_t window = XCB_NONE;
        xcb_window_t frame = XCB_NONE;
        bool frameKnown = false;
        uint64_t sequence = 0;
        std::optional<int32_t> pid;
        std::optional<std::string> wmClass;
        std::vector<uint32_t> netWmState;
        std::optional<uint32_t> wmState;
        std::optional<uint32_t> desktop;
        std::optional<std::vector<uint32_t>> windowType;
        std::optional<uint32_t> opacity;
        std::optional<uint32_t> frameOpacity;
        std::optional<std::vector<uint32_t>> frameExtents;
        std::optional<std::vector<uint32_t>> gtkFrameExtents;
        std::set<xcb_atom_t> dirty;
        bool frameOpacityDirty = false;
        bool hidden = false;
        std::optional<Shown> shown;
    };
    struct Application {
        int32_t pid = 0;
        std::optional<std::string> bundleIdentifier;
        uint64_t sequence = 0;
        bool hidden = false;
    };

    // How one tracked property of a client is found and stored.
    struct PropertyHandler {
        xcb_atom_t (*atom)(const Atoms& atoms);
        void (*apply)(Client& client, const Connection& connection,
                      xcb_get_property_cookie_t cookie);
    };
    static const PropertyHandler propertyHandlers[];
    const PropertyHandler* handlerFor(xcb_atom_t atom) const;

    // For the window list: what the server shows of a client, asked for and collected.
    struct ShownQuery;
    ShownQuery queryShown(Client& client);
    void collectShown(const ShownQuery& query, double now);
    // The client's outer rectangle in root coordinates, from what it shows and its extents.
    WindowGeometry outerBounds(const Client& client) const;
    WindowInfoRecord recordOf(const Client& client, const WindowGeometry& bounds) const;

    void syncOnce();
    void readRoot();
    std::vector<xcb_window_t> unmanagedTopLevels();
    // The managed clients, bottom to top, in the order of their frames among the root's
    // children.
    std::vector<xcb_window_t> managedInTreeOrder();
    void addClients(const std::vector<xcb_window_t>& windows);
    void readDirtyProperties();
    void findFrames(std::vector<Client*> clients);
    void updateApplications();
    void updateActiveWindow();
    bool isHidden(const Client& client) const;
    int64_t layerOf(const Client& client) const;
    bool isDesktopElement(const Client& client) const;
    bool onCurrentDesktop(const Client& client) const;
    // The number of monitors the screen shows (RandR), at least one.
    size_t monitorCount();
    void geometryEvent(xcb_window_t window, bool synthetic, const WindowGeometry& geometry);
    // One handler per kind of event.
    void onProperty(const xcb_property_notify_event_t& event);
    void onConfigure(const xcb_configure_notify_event_t& event, bool synthetic);
    void onMapChange(xcb_window_t parent, xcb_window_t window, bool mapped);
    void onDestroy(const xcb_destroy_notify_event_t& event);
    void onReparent(const xcb_reparent_notify_event_t& event);
    void onScreenChange(const xcb_randr_screen_change_notify_event_t& event);
    Client* clientOf(xcb_window_t window);
    Client* clientOfFrame(xcb_window_t frame);
    // The client that the window belongs to: itself, its frame, or an ancestor of either.
    Client* clientContaining(xcb_window_t window);
    void notifyWindow(const Client& client, const char* notification);
    std::optional<RunningApplication> applicationOf(int32_t pid) const;

    Connection& connection_;
    TrackerListener& listener_;
    const int32_t ownPid_;
    bool started_ = false;
    bool rootDirty_ = true;
    bool treeDirty_ = true;
    bool stackingDirty_ = true;
    bool wmPresent_ = false;
    xcb_window_t wmCheckWindow_ = XCB_NONE;
    std::vector<xcb_window_t> clientList_;
    bool clientListDirty_ = true;  // clientList_ changed since the clients were compared with it
    std::vector<xcb_window_t> stacking_;
    std::vector<xcb_window_t> rootChildren_;
    std::vector<std::pair<xcb_window_t, size_t>> rootPositions_;  // sorted by window
    std::unordered_map<xcb_window_t, bool> rootChildMapped_;
    bool rootChildrenDirty_ = true;
    xcb_window_t activeWindow_ = XCB_NONE;
    bool activeDirty_ = false;
    std::optional<int32_t> activePid_;
    std::optional<uint32_t> currentDesktop_;
    uint16_t rootWidth_ = 0;
    uint16_t rootHeight_ = 0;
    uint64_t nextSequence_ = 1;
    std::map<xcb_window_t, Client> clients_;
    std::map<xcb_window_t, xcb_window_t> frameToClient_;
    std::set<xcb_window_t> destroyed_;
    // Clients with something to read back (properties, the frame's opacity, the frame
    // itself), so that telling whether anything is to be read costs nothing per client.
    std::set<xcb_window_t> stale_;
    std::map<std::pair<xcb_window_t, bool>, WindowGeometry> geometries_;
    std::map<int32_t, Application> applications_;
};

}  // namespace sh::x11
