// Tracking other applications' windows on X: which top-level windows are managed, who owns
// them, how they look in the window list, and which changes the core must hear about.
#include "platform/x11/WindowTracker.hpp"

#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/res.h>

#include <algorithm>
#include <chrono>

namespace sh::x11 {

namespace {

constexpr uint32_t iconicState = 3;           // WM_STATE IconicState
constexpr uint32_t allDesktops = 0xFFFFFFFF;  // _NET_WM_DESKTOP for sticky windows
constexpr uint32_t clientEventMask =
    XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;

}  // namespace

namespace {

std::optional<uint32_t> firstItem(const std::optional<std::vector<uint32_t>>& items) {
    return items && !items->empty() ? std::optional((*items)[0]) : std::nullopt;
}

std::optional<std::vector<uint32_t>> extents(std::optional<std::vector<uint32_t>> items) {
    return items && items->size() >= 4 ? items : std::nullopt;
}

}  // namespace

// The client properties the tracker keeps: read when a client appears, read again when a
// PropertyNotify names them, and stored by their handler.
const WindowTracker::PropertyHandler WindowTracker::propertyHandlers[] = {
    {[](const Atoms&) { return xcb_atom_t{XCB_ATOM_WM_CLASS}; },
     [](Client& client, const Connection& connection, xcb_get_property_cookie_t cookie) {
         // Instance and class, each terminated by a NUL; the class is the stable part.
         client.wmClass.reset();
         if (auto value = connection.bytes(cookie)) {
             size_t end = value->find('\0');
             if (end != std::string::npos && end + 1 < value->size()) {
                 std::string cls = value->substr(end + 1);
                 cls = cls.substr(0, cls.find('\0'));
                 if (!cls.empty()) {
                     client.wmClass = cls;
                 }
             }
         }
     }},
    {[](const Atoms& atoms) { return atoms._NET_WM_STATE; },
     [](Client& client, const Connection& connection, xcb_get_property_cookie_t cookie) {
         client.netWmState = connection.cardinals(cookie).value_or(std::vector<uint32_t>{});
     }},
    {[](const Atoms& atoms) { return atoms.WM_STATE; },
     [](Client& client, const Connection& connection, xcb_get_property_cookie_t cookie) {
         client.wmState = firstItem(connection.cardinals(cookie));
     }},
    {[](const Atoms& atoms) { return atoms._NET_WM_DESKTOP; },
     [](Client& client, const Connection& connection, xcb_get_property_cookie_t cookie) {
         client.desktop = firstItem(connection.cardinals(cookie));
     }},
    {[](const Atoms& atoms) { return atoms._NET_WM_WINDOW_TYPE; },
     [](Client& client, const Connection& connection, xcb_get_property_cookie_t cookie) {
         client.windowType = connection.cardinals(cookie);
     }},
    {[](const Atoms& atoms) { return atoms._NET_WM_WINDOW_OPACITY; },
     [](Client& client, const Connection& connection, xcb_get_property_cookie_t cookie) {
         client.opacity = firstItem(connection.cardinals(cookie));
     }},
    {[](const Atoms& atoms) { return atoms._NET_FRAME_EXTENTS; },
     [](Client& client, const Connection& connection, xcb_get_property_cookie_t cookie) {
         client.frameExtents = extents(connection.cardinals(cookie));
     }},
    {[](const Atoms& atoms) { return atoms._GTK_FRAME_EXTENTS; },
     [](Client& client, const Connection& connection, xcb_get_property_cookie_t cookie) {
         client.gtkFrameExtents = extents(connection.cardinals(cookie));
     }},
};

const WindowTracker::PropertyHandler* WindowTracker::handlerFor(xcb_atom_t atom) const {
    for (const PropertyHandler& handler : propertyHandlers) {
        if (handler.atom(connection_.atoms()) == atom) {
            return &handler;
        }
    }
    return nullptr;
}

WindowTracker::WindowTracker(Connection& connection, TrackerListener& listener)
    : connection_(connection), listener_(listener), ownPid_(static_cast<int32_t>(getpid())) {}

void WindowTracker::start() {
    xcb_connection_t* c = connection_.get();
    // Select before reading, so that nothing changes unseen in between.
    uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE |
                        XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, connection_.root(), XCB_CW_EVENT_MASK, &rootMask);
    if (connection_.hasRandr()) {
        xcb_randr_select_input(c, connection_.root(), XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
    }
    auto geometry = reply(c, xcb_get_geometry_reply, xcb_get_geometry(c, connection_.root()));
    if (geometry) {
        rootWidth_ = geometry->width;
        rootHeight_ = geometry->height;
    }
    sync();
    started_ = true;
}

bool WindowTracker::needsSync() const {
    if (rootDirty_ || activeDirty_ || !destroyed_.empty() || (treeDirty_ && !wmPresent_)) {
        return true;
    }
    return !stale_.empty();
}

void WindowTracker::sync() {
    // A few rounds at most: reading one thing (the window manager) can invalidate another
    // (the client list), but never endlessly.
    for (int round = 0; round < 3 && needsSync(); ++round) {
        syncOnce();
    }
}

void WindowTracker::syncOnce() {
    bool wmBefore = wmPresent_;
    if (rootDirty_) {
        readRoot();
    }
    if (wmPresent_ != wmBefore) {
        treeDirty_ = true;
    }

    // The set of managed clients: the window manager's list, or without one the mapped
    // ordinary children of the root.
    std::vector<xcb_window_t> wanted;
    bool listChanged = false;
    if (wmPresent_) {
        // Compared with the clients only when the list changed: a flood of new windows sets
        // properties on thousands of clients, and each of those turns would otherwise walk
        // every client.
        if (clientListDirty_ || wmPresent_ != wmBefore) {
            wanted = clientList_;
            listChanged = true;
        }
    } else if (treeDirty_) {
        wanted = unmanagedTopLevels();
        listChanged = true;
    }
    treeDirty_ = false;
    clientListDirty_ = false;

    std::vector<Client> removed;
    if (listChanged) {
        std::vector<xcb_window_t> wantedSet(wanted);
        std::sort(wantedSet.begin(), wantedSet.end());
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (!std::binary_search(wantedSet.begin(), wantedSet.end(), it->first)) {
                removed.push_back(it->second);
                if (it->second.frame != it->first) {
                    frameToClient_.erase(it->second.frame);
                }
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
        std::vector<xcb_window_t> added;
        for (xcb_window_t window : wanted) {
            if (!clients_.contains(window) && !destroyed_.contains(window)) {
                added.push_back(window);
            }
        }
        addClients(added);
    }
    for (xcb_window_t window : destroyed_) {
        auto it = clients_.find(window);
        if (it != clients_.end()) {
            removed.push_back(it->second);
            if (it->second.frame != window) {
                frameToClient_.erase(it->second.frame);
            }
            clients_.erase(it);
        }
    }
    destroyed_.clear();

    readDirtyProperties();
    std::vector<Client*> unframed;
    for (xcb_window_t window : stale_) {
        auto it = clients_.find(window);
        if (it != clients_.end() && !it->second.frameKnown) {
            unframed.push_back(&it->second);
        }
    }
    findFrames(unframed);
    // What is read is no longer stale; what went is forgotten.
    std::erase_if(stale_, [this](xcb_window_t window) {
        auto it = clients_.find(window);
        return it == clients_.end() ||
               (it->second.dirty.empty() && !it->second.frameOpacityDirty && it->second.frameKnown);
    });

    if (started_) {
        for (const Client& client : removed) {
            notifyWindow(client, "AXUIElementDestroyed");
        }
    }
    updateApplications();
    updateActiveWindow();
    if (wmPresent_ != wmBefore) {
        // Frames and their extents count differently now.
        for (auto& [window, client] : clients_) {
            client.shown.reset();
        }
    }
    if (started_ && wmPresent_ != wmBefore) {
        listener_.windowManagerChanged(wmPresent_);
    }
}

void WindowTracker::readRoot() {
    rootDirty_ = false;
    const Atoms& atoms = connection_.atoms();
    xcb_window_t root = connection_.root();
    auto checkCookie =
        connection_.requestProperty(root, atoms._NET_SUPPORTING_WM_CHECK, XCB_ATOM_WINDOW);
    auto listCookie = connection_.requestProperty(root, atoms._NET_CLIENT_LIST, XCB_ATOM_WINDOW);
    auto activeCookie =
        connection_.requestProperty(root, atoms._NET_ACTIVE_WINDOW, XCB_ATOM_WINDOW);
    auto desktopCookie =
        connection_.requestProperty(root, atoms._NET_CURRENT_DESKTOP, XCB_ATOM_CARDINAL);
    auto check = connection_.cardinals(checkCookie);
    auto list = connection_.cardinals(listCookie);
    auto active = connection_.cardinals(activeCookie);
    auto desktop = connection_.cardinals(desktopCookie);

    // A window manager is running when the check window names itself; a stale property
    // left by a window manager that died names a window that is gone or silent.
    bool present = false;
    xcb_window_t checkWindow = check && !check->empty() ? (*check)[0] : XCB_NONE;
    if (checkWindow != XCB_NONE) {
        auto own = connection_.cardinals(connection_.requestProperty(
            checkWindow, atoms._NET_SUPPORTING_WM_CHECK, XCB_ATOM_WINDOW));
        present = own && !own->empty() && (*own)[0] == checkWindow;
        if (present && checkWindow != wmCheckWindow_) {
            // Its destruction tells us the window manager has gone.
            uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            xcb_change_window_attributes(connection_.get(), checkWindow, XCB_CW_EVENT_MASK, &mask);
        }
    }
    wmCheckWindow_ = present ? checkWindow : XCB_NONE;
    wmPresent_ = present;
    std::vector<xcb_window_t> newList = present && list ? *list : std::vector<xcb_window_t>{};
    if (newList != clientList_) {
        clientList_ = std::move(newList);
        clientListDirty_ = true;
    }
    xcb_window_t newActive = present && active && !active->empty() ? (*active)[0] : XCB_NONE;
    if (newActive != activeWindow_) {
        activeWindow_ = newActive;
        activeDirty_ = true;
    }
    currentDesktop_ = present && desktop && !desktop->empty()
                          ? std::optional<uint32_t>((*desktop)[0])
                          : std::nullopt;
    stackingDirty_ = true;
}

std::vector<xcb_window_t> WindowTracker::unmanagedTopLevels() {
    xcb_connection_t* c = connection_.get();
    const std::vector<xcb_window_t>& children = rootChildren();
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    cookies.reserve(children.size());
    for (xcb_window_t child : children) {
        cookies.push_back(xcb_get_window_attributes(c, child));
    }
    std::vector<xcb_window_t> result;
    for (size_t i = 0; i < children.size(); ++i) {
        auto attributes = reply(c, xcb_get_window_attributes_reply, cookies[i]);
        if (attributes && attributes->map_state != XCB_MAP_STATE_UNMAPPED &&
            !attributes->override_redirect && attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT) {
            result.push_back(children[i]);
        }
    }
    return result;
}

std::vector<xcb_window_t> WindowTracker::managedInTreeOrder() {
    std::vector<xcb_window_t> result;
    for (xcb_window_t child : rootChildren()) {
        if (const Client* client = clientOfFrame(child)) {
            result.push_back(client->window);
        } else if (clientOf(child) != nullptr) {
            result.push_back(child);
        }
    }
    return result;
}

void WindowTracker::addClients(const std::vector<xcb_window_t>& windows) {
    if (windows.empty()) {
        return;
    }
    xcb_connection_t* c = connection_.get();
    const Atoms& atoms = connection_.atoms();
    struct Pending {
        xcb_window_t window;
        std::vector<xcb_get_property_cookie_t> properties;
        xcb_get_property_cookie_t netWmPid;
        xcb_get_property_cookie_t machine;
        std::optional<xcb_res_query_client_ids_cookie_t> owner;
    };
    std::vector<Pending> pending;
    for (xcb_window_t window : windows) {
        if (!listener_.isOwnWindow(window)) {
            xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &clientEventMask);
        }
        Pending entry{window, {}, {}, {}, std::nullopt};
        for (const PropertyHandler& handler : propertyHandlers) {
            entry.properties.push_back(connection_.requestProperty(window, handler.atom(atoms)));
        }
        entry.netWmPid = connection_.requestProperty(window, atoms._NET_WM_PID, XCB_ATOM_CARDINAL);
        entry.machine = connection_.requestProperty(window, XCB_ATOM_WM_CLIENT_MACHINE);
        if (connection_.hasXRes()) {
            xcb_res_client_id_spec_t pidQuery{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
            entry.owner = xcb_res_query_client_ids(c, 1, &pidQuery);
        }
        pending.push_back(std::move(entry));
    }
    for (Pending& entry : pending) {
        Client client;
        client.window = entry.window;
        client.sequence = nextSequence_++;
        for (size_t i = 0; i < std::size(propertyHandlers); ++i) {
            propertyHandlers[i].apply(client, connection_, entry.properties[i]);
        }
        auto netWmPid = connection_.cardinals(entry.netWmPid);
        auto machine = connection_.bytes(entry.machine);
        bool resolvedByServer = false;
        if (entry.owner) {
            // The server knows the process of every local connection; a client connected
            // from another host has none.
            auto ids = reply(c, xcb_res_query_client_ids_reply, *entry.owner);
            if (ids) {
                for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem;
                     xcb_res_client_id_value_next(&it)) {
                    if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
                        xcb_res_client_id_value_value_length(it.data) >= 1) {
                        client.pid =
                            static_cast<int32_t>(xcb_res_client_id_value_value(it.data)[0]);
                        resolvedByServer = true;
                    }
                }
            }
        }
        if (!resolvedByServer && netWmPid && !netWmPid->empty() && (*netWmPid)[0] != 0) {
            // The client's own word, trusted only when it says it runs on this host.
            std::string host = machine ? std::string(machine->c_str()) : std::string();
            if (host == connection_.hostName()) {
                client.pid = static_cast<int32_t>((*netWmPid)[0]);
            }
        }
        client.hidden = isHidden(client);
        Client& stored = clients_[entry.window] = std::move(client);
        stale_.insert(entry.window);
        if (started_) {
            notifyWindow(stored, "AXWindowCreated");
        }
    }
}

void WindowTracker::readDirtyProperties() {
    struct Pending {
        Client* client;
        std::vector<std::pair<xcb_atom_t, xcb_get_property_cookie_t>> properties;
        std::optional<xcb_get_property_cookie_t> frameOpacity;
    };
    std::vector<Pending> pending;
    for (xcb_window_t window : stale_) {
        auto found = clients_.find(window);
        if (found == clients_.end()) {
            continue;
        }
        Client& client = found->second;
        if (client.dirty.empty() && !client.frameOpacityDirty) {
            continue;
        }
        Pending entry{&client, {}, std::nullopt};
        for (xcb_atom_t atom : client.dirty) {
            entry.properties.emplace_back(atom, connection_.requestProperty(window, atom));
        }
        if (client.frameOpacityDirty && client.frame != window) {
            entry.frameOpacity = connection_.requestProperty(
                client.frame, connection_.atoms()._NET_WM_WINDOW_OPACITY, XCB_ATOM_CARDINAL);
        }
        client.dirty.clear();
        client.frameOpacityDirty = false;
        pending.push_back(std::move(entry));
    }
    for (Pending& entry : pending) {
        Client& client = *entry.client;
        // The extents decide what is asked of the server for the window list.
        client.shown.reset();
        for (auto& [atom, cookie] : entry.properties) {
            handlerFor(atom)->apply(client, connection_, cookie);
        }
        if (entry.frameOpacity) {
            auto items = connection_.cardinals(*entry.frameOpacity);
            client.frameOpacity =
                items && !items->empty() ? std::optional((*items)[0]) : std::nullopt;
        }
        bool hidden = isHidden(client);
        if (hidden != client.hidden) {
            client.hidden = hidden;
            notifyWindow(client, hidden ? "AXWindowMiniaturized" : "AXWindowDeminiaturized");
        } else if (!entry.properties.empty() || entry.frameOpacity) {
            // Type, opacity, extents or stacking state: no notification of their own, but
            // the window may have changed in the list, so its observer hears of it.
            notifyWindow(client, "AXResized");
        }
    }
}

void WindowTracker::findFrames(std::vector<Client*> clients) {
    // Walk up from each client until the parent is the root; reparenting window managers
    // nest clients one or two windows deep.
    xcb_connection_t* c = connection_.get();
    std::map<Client*, xcb_window_t> cursor;
    for (Client* client : clients) {
        cursor[client] = client->window;
    }
    for (int depth = 0; depth < 8 && !cursor.empty(); ++depth) {
        std::vector<std::pair<Client*, xcb_query_tree_cookie_t>> cookies;
        for (auto& [client, window] : cursor) {
            cookies.emplace_back(client, xcb_query_tree(c, window));
        }
        for (auto& [client, cookie] : cookies) {
            auto tree = reply(c, xcb_query_tree_reply, cookie);
            if (!tree) {
                // Gone: its destruction is on the way.
                client->frameKnown = true;
                client->frame = client->window;
                cursor.erase(client);
            } else if (tree->parent == connection_.root() || tree->parent == XCB_NONE) {
                if (client->frame != client->window && client->frame != XCB_NONE) {
                    frameToClient_.erase(client->frame);
                }
                client->frame = cursor[client];
                client->frameKnown = true;
                client->shown.reset();
                if (client->frame != client->window) {
                    frameToClient_[client->frame] = client->window;
                    // Window managers may keep the opacity on the frame only.
                    uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
                    xcb_change_window_attributes(c, client->frame, XCB_CW_EVENT_MASK, &mask);
                    client->frameOpacityDirty = true;
                }
                cursor.erase(client);
            } else {
                cursor[client] = tree->parent;
            }
        }
    }
    for (auto& [client, window] : cursor) {
        client->frameKnown = true;
        client->frame = client->window;
    }
    if (!clients.empty()) {
        readDirtyProperties();
    }
}

bool WindowTracker::isHidden(const Client& client) const {
    const Atoms& atoms = connection_.atoms();
    bool stateHidden = std::find(client.netWmState.begin(), client.netWmState.end(),
                                 atoms._NET_WM_STATE_HIDDEN) != client.netWmState.end();
    return stateHidden || client.wmState == iconicState;
}

std::optional<RunningApplication> WindowTracker::applicationOf(int32_t pid) const {
    auto it = applications_.find(pid);
    if (it == applications_.end()) {
        return std::nullopt;
    }
    return RunningApplication{it->second.bundleIdentifier, pid};
}

void WindowTracker::updateApplications() {
    // One application per process with at least one managed window; the helper itself is
    // not among them.
    std::map<int32_t, Application> now;
    std::map<int32_t, const Client*> oldestWithClass;
    for (const auto& [window, client] : clients_) {
        if (!client.pid || *client.pid == ownPid_) {
            continue;
        }
        auto [it, inserted] = now.try_emplace(*client.pid);
        Application& app = it->second;
        if (inserted) {
            app.pid = *client.pid;
            app.sequence = client.sequence;
            app.hidden = true;
        }
        app.sequence = std::min(app.sequence, client.sequence);
        app.hidden = app.hidden && client.hidden;
        if (client.wmClass) {
            const Client*& oldest = oldestWithClass[app.pid];
            if (oldest == nullptr || client.sequence < oldest->sequence) {
                oldest = &client;
            }
        }
    }
    for (auto& [pid, app] : now) {
        auto oldest = oldestWithClass.find(pid);
        if (oldest != oldestWithClass.end()) {
            app.bundleIdentifier = oldest->second->wmClass;
        }
        auto before = applications_.find(pid);
        if (before != applications_.end()) {
            // Its identity is the one it launched with.
            app.bundleIdentifier = before->second.bundleIdentifier ? before->second.bundleIdentifier
                                                                   : app.bundleIdentifier;
        }
    }
    if (started_) {
        for (const auto& [pid, app] : applications_) {
            if (!now.contains(pid)) {
                listener_.applicationEvent(NotificationName::workspaceDidTerminateApplication,
                                           {app.bundleIdentifier, pid});
            }
        }
        for (const auto& [pid, app] : now) {
            auto before = applications_.find(pid);
            RunningApplication running{app.bundleIdentifier, pid};
            if (before == applications_.end()) {
                listener_.applicationEvent(NotificationName::workspaceDidLaunchApplication,
                                           running);
            } else if (app.hidden != before->second.hidden) {
                listener_.applicationEvent(app.hidden
                                               ? NotificationName::workspaceDidHideApplication
                                               : NotificationName::workspaceDidUnhideApplication,
                                           running);
            }
        }
    }
    applications_ = std::move(now);
}

void WindowTracker::updateActiveWindow() {
    if (!activeDirty_) {
        return;
    }
    activeDirty_ = false;
    std::optional<int32_t> pid;
    if (Client* client = clientOf(activeWindow_)) {
        pid = client->pid;
    }
    if (pid == activePid_) {
        return;
    }
    std::optional<int32_t> previous = activePid_;
    activePid_ = pid;
    if (!started_) {
        return;
    }
    if (previous) {
        for (const auto& [window, client] : clients_) {
            if (client.pid == previous) {
                listener_.windowEvent(*previous, "AXFocusedWindowChanged");
                break;
            }
        }
    }
    if (pid) {
        listener_.windowEvent(*pid, "AXFocusedWindowChanged");
        // Focus moving to another application's window activates that application; the
        // helper's own shields are not an application.
        if (auto app = applicationOf(*pid)) {
            listener_.applicationEvent(NotificationName::workspaceDidActivateApplication, *app);
        }
    }
}

std::vector<RunningApplication> WindowTracker::runningApplications() {
    sync();
    std::vector<const Application*> ordered;
    for (const auto& [pid, app] : applications_) {
        ordered.push_back(&app);
    }
    std::sort(ordered.begin(), ordered.end(),
              [](const Application* a, const Application* b) { return a->sequence < b->sequence; });
    std::vector<RunningApplication> result;
    result.reserve(ordered.size());
    for (const Application* app : ordered) {
        result.push_back({app->bundleIdentifier, app->pid});
    }
    return result;
}

const std::vector<xcb_window_t>& WindowTracker::stackingOrder() {
    if (stackingDirty_) {
        stackingDirty_ = false;
        if (wmPresent_) {
            auto list = connection_.cardinals(connection_.requestProperty(
                connection_.root(), connection_.atoms()._NET_CLIENT_LIST_STACKING,
                XCB_ATOM_WINDOW));
            stacking_ = list.value_or(std::vector<xcb_window_t>{});
            if (stacking_.empty()) {
                // Some window managers publish the list only once a second window exists
                // (xfwm4): the window tree has the same order.
                stacking_ = managedInTreeOrder();
            }
        } else {
            stacking_ = unmanagedTopLevels();
        }
    }
    return stacking_;
}

bool WindowTracker::onCurrentDesktop(const Client& client) const {
    if (!client.desktop || !currentDesktop_) {
        return true;
    }
    return *client.desktop == allDesktops || *client.desktop == *currentDesktop_;
}

size_t WindowTracker::monitorCount() {
    if (!connection_.hasRandr()) {
        return 1;
    }
    xcb_connection_t* c = connection_.get();
    // Monitors, not outputs: a monitor may be a part of one output or span several.
    auto monitors =
        reply(c, xcb_randr_get_monitors_reply, xcb_randr_get_monitors(c, connection_.root(), 1));
    if (!monitors) {
        return 1;
    }
    return static_cast<size_t>(std::max(1, xcb_randr_get_monitors_monitors_length(monitors.get())));
}

bool WindowTracker::isDesktopElement(const Client& client) const {
    return client.windowType && !client.windowType->empty() &&
           (*client.windowType)[0] == connection_.atoms()._NET_WM_WINDOW_TYPE_DESKTOP;
}

int64_t WindowTracker::layerOf(const Client& client) const {
    const Atoms& a = connection_.atoms();
    // The first type the window lists that we know decides; a window with no type at all is
    // an ordinary one.
    std::optional<xcb_atom_t> type;
    if (!client.windowType || client.windowType->empty()) {
        type = a._NET_WM_WINDOW_TYPE_NORMAL;
    } else {
        const xcb_atom_t known[] = {
            a._NET_WM_WINDOW_TYPE_NORMAL,        a._NET_WM_WINDOW_TYPE_DIALOG,
            a._NET_WM_WINDOW_TYPE_DESKTOP,       a._NET_WM_WINDOW_TYPE_DOCK,
            a._NET_WM_WINDOW_TYPE_TOOLBAR,       a._NET_WM_WINDOW_TYPE_MENU,
            a._NET_WM_WINDOW_TYPE_UTILITY,       a._NET_WM_WINDOW_TYPE_SPLASH,
            a._NET_WM_WINDOW_TYPE_DROPDOWN_MENU, a._NET_WM_WINDOW_TYPE_POPUP_MENU,
            a._NET_WM_WINDOW_TYPE_TOOLTIP,       a._NET_WM_WINDOW_TYPE_NOTIFICATION,
            a._NET_WM_WINDOW_TYPE_COMBO,         a._NET_WM_WINDOW_TYPE_DND};
        for (uint32_t candidate : *client.windowType) {
            if (std::find(std::begin(known), std::end(known), candidate) != std::end(known)) {
                type = candidate;
                break;
            }
        }
    }
    if (!type) {
        return windowLayer::floating;
    }
    auto hasState = [&](xcb_atom_t state) {
        return std::find(client.netWmState.begin(), client.netWmState.end(), state) !=
               client.netWmState.end();
    };
    if (*type == a._NET_WM_WINDOW_TYPE_NORMAL || *type == a._NET_WM_WINDOW_TYPE_DIALOG) {
        if (hasState(a._NET_WM_STATE_ABOVE)) {
            return windowLayer::keptAbove;
        }
        if (hasState(a._NET_WM_STATE_BELOW)) {
            return windowLayer::keptBelow;
        }
        return 0;
    }
    if (*type == a._NET_WM_WINDOW_TYPE_DESKTOP) {
        return windowLayer::desktop;
    }
    if (*type == a._NET_WM_WINDOW_TYPE_DOCK) {
        return windowLayer::dock;
    }
    if (*type == a._NET_WM_WINDOW_TYPE_NOTIFICATION || *type == a._NET_WM_WINDOW_TYPE_SPLASH) {
        return windowLayer::status;
    }
    if (*type == a._NET_WM_WINDOW_TYPE_DROPDOWN_MENU || *type == a._NET_WM_WINDOW_TYPE_POPUP_MENU ||
        *type == a._NET_WM_WINDOW_TYPE_TOOLTIP || *type == a._NET_WM_WINDOW_TYPE_COMBO ||
        *type == a._NET_WM_WINDOW_TYPE_DND) {
        return windowLayer::popUpMenu;
    }
    return windowLayer::floating;
}

// The server's answers about one client that the window list needs, asked for all clients at
// once and collected afterwards.
struct WindowTracker::ShownQuery {
    Client* client;
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_geometry_cookie_t geometry;
    xcb_translate_coordinates_cookie_t origin;
    std::optional<xcb_get_geometry_cookie_t> frameGeometry;
};

WindowTracker::ShownQuery WindowTracker::queryShown(Client& client) {
    xcb_connection_t* c = connection_.get();
    xcb_window_t window = client.window;
    ShownQuery query{&client, xcb_get_window_attributes(c, window), xcb_get_geometry(c, window),
                     xcb_translate_coordinates(c, window, connection_.root(), 0, 0), std::nullopt};
    if (client.frame != window && !(wmPresent_ && client.frameExtents) && !client.gtkFrameExtents) {
        query.frameGeometry = xcb_get_geometry(c, client.frame);
    }
    return query;
}

void WindowTracker::collectShown(const ShownQuery& query, double now) {
    xcb_connection_t* c = connection_.get();
    Client& client = *query.client;
    auto attributes = reply(c, xcb_get_window_attributes_reply, query.attributes);
    auto geometry = reply(c, xcb_get_geometry_reply, query.geometry);
    auto origin = reply(c, xcb_translate_coordinates_reply, query.origin);
    XcbPtr<xcb_get_geometry_reply_t> frameGeometry;
    if (query.frameGeometry) {
        frameGeometry = reply(c, xcb_get_geometry_reply, *query.frameGeometry);
    }
    client.shown.reset();
    if (!attributes || !geometry || !origin) {
        // Vanished between the list and the query.
        return;
    }
    int32_t border = geometry->border_width;
    Shown shown{attributes->map_state == XCB_MAP_STATE_VIEWABLE,
                {origin->dst_x - border, origin->dst_y - border, geometry->width + 2 * border,
                 geometry->height + 2 * border},
                std::nullopt,
                now};
    if (frameGeometry) {
        int32_t frameBorder = frameGeometry->border_width;
        shown.frame = WindowGeometry{frameGeometry->x, frameGeometry->y,
                                     frameGeometry->width + 2 * frameBorder,
                                     frameGeometry->height + 2 * frameBorder};
    }
    client.shown = shown;
}

WindowGeometry WindowTracker::outerBounds(const Client& client) const {
    // The outer rectangle: the client's own, less the shadow margins a client-side
    // decorated window draws, plus the decorations of its frame.
    WindowGeometry bounds = client.shown->bounds;
    if (client.gtkFrameExtents) {
        const auto& e = *client.gtkFrameExtents;
        bounds.x += static_cast<int32_t>(e[0]);
        bounds.y += static_cast<int32_t>(e[2]);
        bounds.width -= static_cast<int32_t>(e[0] + e[1]);
        bounds.height -= static_cast<int32_t>(e[2] + e[3]);
    }
    // Frame extents are the window manager's word on the frame it draws. One that died
    // cannot take them back while the server hands its clients back bare, so they count
    // only while a window manager runs, and so manages every client known here.
    if (wmPresent_ && client.frameExtents) {
        const auto& e = *client.frameExtents;
        bounds.x -= static_cast<int32_t>(e[0]);
        bounds.y -= static_cast<int32_t>(e[2]);
        bounds.width += static_cast<int32_t>(e[0] + e[1]);
        bounds.height += static_cast<int32_t>(e[2] + e[3]);
    } else if (client.shown->frame) {
        bounds = *client.shown->frame;
    }
    return bounds;
}

WindowInfoRecord WindowTracker::recordOf(const Client& client, const WindowGeometry& bounds) const {
    WindowInfoRecord record;
    if (client.pid) {
        record.ownerPID = WindowInfoValue::integer(*client.pid);
    }
    record.number = WindowInfoValue::integer(client.window);
    record.layer = WindowInfoValue::integer(layerOf(client));
    std::optional<uint32_t> opacity = client.opacity ? client.opacity : client.frameOpacity;
    record.alpha = WindowInfoValue::real(opacity ? *opacity / 4294967295.0 : 1.0);
    record.bounds = WindowInfoValue::rect(
        Rect{static_cast<double>(bounds.x), static_cast<double>(bounds.y),
             static_cast<double>(bounds.width), static_cast<double>(bounds.height)});
    return record;
}

WindowInfoList WindowTracker::copyWindowInfo(uint32_t options) {
    sync();
    if (connection_.hasError()) {
        return std::nullopt;
    }
    stackingDirty_ = true;
    std::vector<xcb_window_t> order = stackingOrder();
    std::reverse(order.begin(), order.end());
    // What the server shows of a client is asked again only when an event said it changed
    // (a move, a resize, a map or unmap of it or its frame), or once it is older than a
    // lifetime, for what no event of ours shows (a window between a frame and its client).
    // A move of one window out of many asks about that window alone.
    double now =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::vector<Client*> listed;
    std::vector<ShownQuery> queries;
    listed.reserve(order.size());
    for (xcb_window_t window : order) {
        // One not yet read is announced by the next sync, and a later list shows it.
        if (Client* client = clientOf(window)) {
            listed.push_back(client);
            if (!client->shown || now - client->shown->readAt > shownLifetime) {
                queries.push_back(queryShown(*client));
            }
        }
    }
    for (const ShownQuery& query : queries) {
        collectShown(query, now);
    }

    std::vector<WindowInfoRecord> records;
    records.reserve(listed.size());
    // Asked of the server only when a shown window is on another desktop.
    std::optional<bool> severalMonitors;
    for (const Client* client : listed) {
        if (!client->shown) {
            continue;
        }
        bool viewable = client->shown->viewable && !client->hidden;
        if (viewable && !onCurrentDesktop(*client) && !severalMonitors) {
            severalMonitors = monitorCount() > 1;
        }
        // A window manager with a desktop for each monitor (i3) shows several desktops at
        // once but names only the focused one current: with several monitors, a shown window
        // of another desktop is on screen. With one, it is on its way out of a desktop switch.
        bool onScreen = viewable && (onCurrentDesktop(*client) || severalMonitors.value_or(false));
        if ((options & windowListOptionOnScreenOnly) != 0 && !onScreen) {
            continue;
        }
        if ((options & windowListExcludeDesktopElements) != 0 && isDesktopElement(*client)) {
            continue;
        }
        records.push_back(recordOf(*client, outerBounds(*client)));
    }
    if (connection_.hasError()) {
        return std::nullopt;
    }
    return records;
}

std::optional<xcb_window_t> WindowTracker::topLevelOf(xcb_window_t client) {
    Client* known = clientOf(client);
    if (known != nullptr && known->frameKnown) {
        return known->frame;
    }
    return std::nullopt;
}

namespace {

StackState stackStateIn(const std::vector<uint32_t>& states, const Atoms& atoms) {
    auto has = [&](xcb_atom_t state) {
        return std::find(states.begin(), states.end(), state) != states.end();
    };
    if (has(atoms._NET_WM_STATE_ABOVE)) {
        return StackState::keptAbove;
    }
    return has(atoms._NET_WM_STATE_BELOW) ? StackState::keptBelow : StackState::ordinary;
}

}  // namespace

StackState WindowTracker::stackStateOf(xcb_window_t client) {
    const Client* known = clientOf(client);
    return known == nullptr ? StackState::ordinary
                            : stackStateIn(known->netWmState, connection_.atoms());
}

StackState WindowTracker::stackStateOnServer(xcb_window_t client) {
    const Atoms& atoms = connection_.atoms();
    auto states = connection_.cardinals(
        connection_.requestProperty(client, atoms._NET_WM_STATE, XCB_ATOM_ATOM));
    return stackStateIn(states.value_or(std::vector<uint32_t>{}), atoms);
}

std::optional<xcb_window_t> WindowTracker::clientOfTopLevel(xcb_window_t topLevel) {
    if (const Client* client = clientOfFrame(topLevel)) {
        return client->window;
    }
    if (clientOf(topLevel) != nullptr) {
        return topLevel;
    }
    return std::nullopt;
}

WindowTracker::Client* WindowTracker::clientOf(xcb_window_t window) {
    auto it = clients_.find(window);
    return it == clients_.end() ? nullptr : &it->second;
}

WindowTracker::Client* WindowTracker::clientOfFrame(xcb_window_t frame) {
    auto it = frameToClient_.find(frame);
    return it == frameToClient_.end() ? nullptr : clientOf(it->second);
}

WindowTracker::Client* WindowTracker::clientContaining(xcb_window_t window) {
    xcb_connection_t* c = connection_.get();
    xcb_window_t root = connection_.root();
    // Focus often rests on a child of the client (a toolkit's focus proxy) or on a frame.
    for (int depth = 0; depth < 16 && window != XCB_NONE && window != root; ++depth) {
        if (Client* client = clientOf(window)) {
            return client;
        }
        if (Client* client = clientOfFrame(window)) {
            return client;
        }
        auto tree = reply(c, xcb_query_tree_reply, xcb_query_tree(c, window));
        if (!tree) {
            return nullptr;
        }
        window = tree->parent;
    }
    return nullptr;
}

std::optional<int32_t> WindowTracker::processOf(xcb_window_t client) {
    const Client* known = clientOf(client);
    return known != nullptr ? known->pid : std::nullopt;
}

std::optional<RunningApplication> WindowTracker::frontmostApplication() {
    sync();
    const Client* client = nullptr;
    if (wmPresent_ && activeWindow_ != XCB_NONE) {
        client = clientContaining(activeWindow_);
    } else {
        xcb_connection_t* c = connection_.get();
        auto focus = reply(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
        if (!focus || focus->focus == XCB_NONE) {
            return std::nullopt;
        }
        xcb_window_t window = focus->focus;
        if (window == XCB_INPUT_FOCUS_POINTER_ROOT || window == connection_.root()) {
            // Keys go to the window under the pointer.
            auto pointer =
                reply(c, xcb_query_pointer_reply, xcb_query_pointer(c, connection_.root()));
            window = pointer ? pointer->child : XCB_NONE;
        }
        client = clientContaining(window);
    }
    if (client == nullptr || !client->pid) {
        return std::nullopt;
    }
    return applicationOf(*client->pid);
}

void WindowTracker::notifyWindow(const Client& client, const char* notification) {
    if (client.pid) {
        listener_.windowEvent(*client.pid, notification);
    }
}

void WindowTracker::geometryEvent(xcb_window_t window, bool synthetic,
                                  const WindowGeometry& geometry) {
    Client* client = clientOf(window);
    if (client == nullptr) {
        client = clientOfFrame(window);
    }
    if (client == nullptr) {
        return;
    }
    client->shown.reset();
    auto [it, inserted] = geometries_.try_emplace({window, synthetic}, geometry);
    if (inserted) {
        // Nothing to compare with yet: the window may well have moved, and a spare pass is
        // cheaper than a shield left behind until the periodic one.
        notifyWindow(*client, "AXMoved");
        return;
    }
    WindowGeometry before = it->second;
    it->second = geometry;
    // Restacking alone (the same rectangle) is not a window change.
    if (before.x != geometry.x || before.y != geometry.y) {
        notifyWindow(*client, "AXMoved");
    }
    if (before.width != geometry.width || before.height != geometry.height) {
        notifyWindow(*client, "AXResized");
    }
}

const std::vector<xcb_window_t>& WindowTracker::rootChildren() {
    if (rootChildrenDirty_) {
        rootChildrenDirty_ = false;
        rootChildren_.clear();
        rootPositions_.clear();
        xcb_connection_t* c = connection_.get();
        auto tree = reply(c, xcb_query_tree_reply, xcb_query_tree(c, connection_.root()));
        if (tree) {
            xcb_window_t* children = xcb_query_tree_children(tree.get());
            rootChildren_.assign(children, children + xcb_query_tree_children_length(tree.get()));
        }
    }
    return rootChildren_;
}

std::vector<bool> WindowTracker::rootChildrenMapped(const std::vector<xcb_window_t>& windows) {
    // Known from the root's map and unmap events; a window not seen since it came under the
    // root is asked about once, all such windows together.
    xcb_connection_t* c = connection_.get();
    std::vector<std::pair<size_t, xcb_get_window_attributes_cookie_t>> asked;
    std::vector<bool> mapped(windows.size(), false);
    for (size_t i = 0; i < windows.size(); ++i) {
        auto known = rootChildMapped_.find(windows[i]);
        if (known != rootChildMapped_.end()) {
            mapped[i] = known->second;
        } else {
            asked.emplace_back(i, xcb_get_window_attributes(c, windows[i]));
        }
    }
    for (auto& [i, cookie] : asked) {
        auto attributes = reply(c, xcb_get_window_attributes_reply, cookie);
        if (attributes) {
            mapped[i] = attributes->map_state != XCB_MAP_STATE_UNMAPPED;
            rootChildMapped_[windows[i]] = mapped[i];
        }
    }
    return mapped;
}

std::optional<size_t> WindowTracker::rootPosition(xcb_window_t window) {
    const std::vector<xcb_window_t>& children = rootChildren();
    if (rootPositions_.empty() && !children.empty()) {
        // Built once for each reading of the tree, so that placing every shield in the order
        // costs no walk of the whole order per shield. A sorted vector, reused from one
        // reading to the next: with thousands of windows coming and going, a node per window
        // allocated and freed at every reading cost more than the lookups.
        rootPositions_.resize(children.size());
        for (size_t i = 0; i < children.size(); ++i) {
            rootPositions_[i] = {children[i], i};
        }
        std::sort(rootPositions_.begin(), rootPositions_.end());
    }
    auto found = std::lower_bound(rootPositions_.begin(), rootPositions_.end(),
                                  std::pair<xcb_window_t, size_t>{window, 0});
    if (found == rootPositions_.end() || found->first != window) {
        return std::nullopt;
    }
    return found->second;
}

void WindowTracker::handleEvent(const xcb_generic_event_t* event) {
    uint8_t type = event->response_type & 0x7f;
    switch (type) {
        case XCB_CREATE_NOTIFY: {
            auto* e = reinterpret_cast<const xcb_create_notify_event_t*>(event);
            if (e->parent == connection_.root()) {
                // Every window starts unmapped.
                rootChildMapped_[e->window] = false;
            }
            rootChildrenDirty_ = true;
            return;
        }
        case XCB_GRAVITY_NOTIFY:
        case XCB_CIRCULATE_NOTIFY:
            // The root's children or their order changed (the root's substructure is all
            // that reports these to us).
            rootChildrenDirty_ = true;
            return;
        case XCB_PROPERTY_NOTIFY:
            onProperty(*reinterpret_cast<const xcb_property_notify_event_t*>(event));
            return;
        case XCB_CONFIGURE_NOTIFY:
            onConfigure(*reinterpret_cast<const xcb_configure_notify_event_t*>(event),
                        (event->response_type & 0x80) != 0);
            return;
        case XCB_MAP_NOTIFY: {
            auto* e = reinterpret_cast<const xcb_map_notify_event_t*>(event);
            onMapChange(e->event, e->window, true);
            return;
        }
        case XCB_UNMAP_NOTIFY: {
            auto* e = reinterpret_cast<const xcb_unmap_notify_event_t*>(event);
            onMapChange(e->event, e->window, false);
            return;
        }
        case XCB_DESTROY_NOTIFY:
            onDestroy(*reinterpret_cast<const xcb_destroy_notify_event_t*>(event));
            return;
        case XCB_REPARENT_NOTIFY:
            onReparent(*reinterpret_cast<const xcb_reparent_notify_event_t*>(event));
            return;
        default:
            break;
    }
    if (connection_.hasRandr() &&
        type == connection_.randrFirstEvent() + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
        onScreenChange(*reinterpret_cast<const xcb_randr_screen_change_notify_event_t*>(event));
    }
}

void WindowTracker::onProperty(const xcb_property_notify_event_t& e) {
    connection_.noteTimestamp(e.time);
    const Atoms& atoms = connection_.atoms();
    if (e.window == connection_.root()) {
        if (e.atom == atoms._NET_CLIENT_LIST_STACKING) {
            stackingDirty_ = true;
            listener_.stackingChanged();
        } else if (e.atom == atoms._NET_SUPPORTING_WM_CHECK || e.atom == atoms._NET_CLIENT_LIST ||
                   e.atom == atoms._NET_ACTIVE_WINDOW) {
            rootDirty_ = true;
        } else if (e.atom == atoms._NET_CURRENT_DESKTOP) {
            // What the switch means for the windows on the desktops left or entered is the
            // core's to judge, from the pass the notification asks for.
            rootDirty_ = true;
            listener_.currentDesktopChanged();
        }
        return;
    }
    if (Client* client = clientOf(e.window)) {
        if (handlerFor(e.atom) != nullptr) {
            client->dirty.insert(e.atom);
            stale_.insert(client->window);
        }
    } else if (Client* framed = clientOfFrame(e.window)) {
        if (e.atom == atoms._NET_WM_WINDOW_OPACITY) {
            framed->frameOpacityDirty = true;
            stale_.insert(framed->window);
        }
    }
}

void WindowTracker::onConfigure(const xcb_configure_notify_event_t& e, bool synthetic) {
    xcb_window_t root = connection_.root();
    if (e.window == root) {
        if (e.width != rootWidth_ || e.height != rootHeight_) {
            rootWidth_ = e.width;
            rootHeight_ = e.height;
            if (!connection_.hasRandr()) {
                listener_.screenChanged();
            }
        }
        return;
    }
    int32_t border = e.border_width;
    geometryEvent(e.window, synthetic, {e.x, e.y, e.width + 2 * border, e.height + 2 * border});
    if (e.event == root && !synthetic) {
        // A child of the root moved or was restacked.
        rootChildrenDirty_ = true;
        listener_.topLevelConfigured(e);
    }
}

void WindowTracker::onMapChange(xcb_window_t parent, xcb_window_t window, bool mapped) {
    if (parent == connection_.root()) {
        rootChildMapped_[window] = mapped;
        rootChildrenDirty_ = true;
        treeDirty_ = true;
        stackingDirty_ = true;
    }
    Client* client = clientOf(window);
    if (client == nullptr) {
        client = clientOfFrame(window);
    }
    if (client != nullptr) {
        client->shown.reset();
        notifyWindow(*client, mapped ? "AXWindowDeminiaturized" : "AXWindowMiniaturized");
    }
}

void WindowTracker::onDestroy(const xcb_destroy_notify_event_t& e) {
    if (e.event == connection_.root()) {
        rootChildMapped_.erase(e.window);
        rootChildrenDirty_ = true;
        treeDirty_ = true;
        stackingDirty_ = true;
    }
    if (e.window == wmCheckWindow_) {
        rootDirty_ = true;
    }
    if (clients_.contains(e.window)) {
        destroyed_.insert(e.window);
    }
    geometries_.erase({e.window, false});
    geometries_.erase({e.window, true});
}

void WindowTracker::onReparent(const xcb_reparent_notify_event_t& e) {
    if (e.event == connection_.root()) {
        // Into the root or out of it: whether it is mapped is asked when it matters.
        rootChildMapped_.erase(e.window);
        rootChildrenDirty_ = true;
        treeDirty_ = true;
        stackingDirty_ = true;
    }
    if (Client* client = clientOf(e.window)) {
        client->frameKnown = false;
        client->shown.reset();
        stale_.insert(client->window);
    }
}

void WindowTracker::onScreenChange(const xcb_randr_screen_change_notify_event_t& e) {
    connection_.noteTimestamp(e.timestamp);
    bool rotated =
        (e.rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270)) != 0;
    rootWidth_ = rotated ? e.height : e.width;
    rootHeight_ = rotated ? e.width : e.height;
    listener_.screenChanged();
}

}  // namespace sh::x11
