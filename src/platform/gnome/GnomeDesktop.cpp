// The GNOME desktop: the platform boundary over the companion extension's D-Bus interface.
//
// The companion's signals arrive on the session bus's own thread and are handed to the poll
// loop with post(), so the core and all desktop state are touched on the main thread alone.
// Method calls are made synchronously from the main thread, which keeps them in the order the
// core issues them and gives the window list the synchronous answer the boundary promises.
#include "platform/gnome/GnomeDesktop.hpp"

#include <gio/gio.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "platform/common/LoopNotificationCenter.hpp"
#include "platform/common/LoopObservers.hpp"
#include "platform/linux/SessionBus.hpp"

namespace sh {

namespace {

// How long a call may take before the companion counts as not answering.
constexpr int callTimeoutMs = 2000;
constexpr const char* shellName = "org.gnome.Shell";

// Window types and stack layers, by the shell's enumeration values.
enum MetaWindowType : int32_t {
    typeNormal = 0,
    typeDesktop = 1,
    typeDock = 2,
    typeDialog = 3,
    typeModalDialog = 4,
    typeMenu = 6,
    typeDropdownMenu = 9,
    typePopupMenu = 10,
    typeTooltip = 11,
    typeNotification = 12,
    typeCombo = 13,
};
enum MetaStackLayer : int32_t { stackDesktop = 0, stackBottom = 1, stackNormal = 2 };

int64_t layerOf(int32_t type, int32_t stackLayer) {
    switch (type) {
        case typeDesktop:
            return windowLayer::desktop;
        case typeDock:
            return windowLayer::dock;
        case typeNotification:
            return windowLayer::status;
        case typeMenu:
        case typeDropdownMenu:
        case typePopupMenu:
        case typeTooltip:
        case typeCombo:
            return windowLayer::popUpMenu;
        case typeNormal:
        case typeDialog:
        case typeModalDialog:
            if (stackLayer == stackNormal) {
                return windowLayer::normal;
            }
            // Above the normal layer is a window the user keeps on top ("Always on Top" in the
            // window menu), or a focused full-screen one; below it one kept at the bottom:
            // still the application's own window either way.
            return stackLayer < stackNormal ? windowLayer::keptBelow : windowLayer::keptAbove;
        default:
            return windowLayer::floating;
    }
}

// The core's window notifications, by the companion's event names.
const char* windowNotificationFor(const std::string& event) {
    static const std::map<std::string, const char*> names = {
        {"created", "AXWindowCreated"},
        {"destroyed", "AXUIElementDestroyed"},
        {"moved", "AXMoved"},
        {"resized", "AXResized"},
        {"minimized", "AXWindowMiniaturized"},
        {"unminimized", "AXWindowDeminiaturized"},
        {"focused", "AXFocusedWindowChanged"},
    };
    auto it = names.find(event);
    return it == names.end() ? nullptr : it->second;
}

GVariant* colorVariant(const Color& c) {
    return g_variant_new("(dddd)", c.red, c.green, c.blue, c.alpha);
}

const char* weightName(FontWeight weight) {
    switch (weight) {
        case FontWeight::regular:
            return "regular";
        case FontWeight::medium:
            return "medium";
        case FontWeight::semibold:
            return "semibold";
    }
    return "regular";
}

class GnomeVeil;

}  // namespace

struct GnomeDesktop::State final : public Workspace, public Accessibility {
    std::unique_ptr<PollLoop> loop = std::make_unique<PollLoop>();
    std::unique_ptr<SessionBus> bus;
    std::vector<guint> subscriptions;
    guint nameWatch = 0;
    LoopNotificationCenter workspaceCenter{*loop};
    LoopNotificationCenter defaultCenterState{*loop};
    LoopObservers observers{*loop};
    std::map<uint64_t, std::weak_ptr<GnomeVeil>> veils;
    uint64_t nextVeil = 1;
    double screenWidth = 0;
    double screenHeight = 0;
    // Expires with the desktop; veils the core still holds then do nothing.
    std::shared_ptr<int> alive = std::make_shared<int>(0);

    ~State() override;

    // The shell's own connection on the bus, once it was seen to serve the companion's name;
    // calls go there, and only its signals are heard. Main thread.
    std::string companionOwner;
    // Whether the last failed call ran out of time (a busy shell) rather than finding no one.
    bool lastCallTimedOut = false;
    // The last window and application lists the companion gave: while the shell is too busy
    // to answer, it is also too busy to move, stack or open any window, so they still hold.
    VariantPtr lastWindowList;
    VariantPtr lastApplicationList;

    // A list call: the reply, or while the shell is slow but still serves the companion, the
    // last reply it gave; null when it failed otherwise.
    VariantPtr callForList(const char* method, const GVariantType* replyType, VariantPtr& last) {
        VariantPtr reply = call(method, nullptr, replyType);
        if (reply) {
            last.reset(g_variant_ref(reply.get()));
        } else if (lastCallTimedOut && last && companionIsTheShells()) {
            reply.reset(g_variant_ref(last.get()));
        }
        return reply;
    }

    // Calls a companion method and returns its reply, or null when it fails.
    VariantPtr call(const char* method, GVariant* parameters, const GVariantType* replyType,
                    int timeoutMs = callTimeoutMs) {
        const char* destination =
            companionOwner.empty() ? gnomeCompanionName : companionOwner.c_str();
        return bus->call({destination, gnomeCompanionPath, gnomeCompanionInterface, method},
                         parameters, replyType, timeoutMs, &lastCallTimedOut);
    }

    std::optional<std::string> ownerOf(const char* name) { return bus->ownerOf(name); }

    // Whether the companion's name belongs to the shell's own connection. Any process on the
    // session bus can take a free name; one that is not the shell cannot cover a window, and
    // trusting it would report a block that holds nothing.
    bool companionIsTheShells() {
        std::optional<std::string> owner = ownerOf(gnomeCompanionName);
        std::optional<std::string> shell = owner ? ownerOf(shellName) : std::nullopt;
        bool trusted = owner && shell && *owner == *shell;
        companionOwner = trusted ? *owner : std::string();
        return trusted;
    }

    bool readScreen() {
        VariantPtr reply = call("GetScreen", nullptr, G_VARIANT_TYPE("((dd))"));
        if (!reply) {
            return false;
        }
        g_variant_get(reply.get(), "((dd))", &screenWidth, &screenHeight);
        return true;
    }

    // Main thread: the companion left the bus, taking every veil with it.
    void companionLost();

    // Main thread: one signal of the companion.
    void handleSignal(const std::string& member, GVariant* parameters);
    void readSignal(const std::string& member, GVariant* parameters);

    // Workspace
    std::vector<RunningApplication> runningApplications() override {
        std::vector<RunningApplication> applications;
        VariantPtr reply =
            callForList("ListApplications", G_VARIANT_TYPE("(a(si))"), lastApplicationList);
        if (!reply) {
            return applications;
        }
        GVariantIter* iter = nullptr;
        g_variant_get(reply.get(), "(a(si))", &iter);
        const char* appId = nullptr;
        int32_t pid = 0;
        while (g_variant_iter_next(iter, "(&si)", &appId, &pid)) {
            RunningApplication application;
            if (*appId != '\0') {
                application.bundleIdentifier = appId;
            }
            application.processIdentifier = pid;
            applications.push_back(application);
        }
        g_variant_iter_free(iter);
        return applications;
    }
    NotificationCenter& notificationCenter() override { return workspaceCenter; }
    // The application whose window has the focus; absent when none has or the companion does
    // not answer.
    std::optional<RunningApplication> frontmostApplication() override {
        VariantPtr reply = call("GetFocusedApplication", nullptr, G_VARIANT_TYPE("((si))"));
        if (!reply) {
            return std::nullopt;
        }
        const char* appId = nullptr;
        int32_t pid = 0;
        g_variant_get(reply.get(), "((&si))", &appId, &pid);
        if (pid <= 0) {
            return std::nullopt;
        }
        RunningApplication application;
        if (*appId != '\0') {
            application.bundleIdentifier = appId;
        }
        application.processIdentifier = pid;
        return application;
    }

    // Accessibility: granted while the shell serves the companion. There is nothing to prompt
    // for; the user enables the extension once (see docs/gnome.md). The bus daemon answers
    // this, not the shell: a shell that is slow for a while (another process flooding it with
    // calls, say) still holds its veils, and the block must not be dropped for it.
    bool isProcessTrusted() override {
        // The screen is read once the companion is there to say it.
        return companionIsTheShells() && (screenWidth > 0 || readScreen());
    }
    bool isProcessTrustedWithOptions(bool) override { return isProcessTrusted(); }
    std::optional<UntrustedReason> untrustedReason() override {
        return UntrustedReason{"companion-missing",
                               "GNOME Shell does not serve the helper's extension "
                               "(shield-helper@shieldhelper.org); see docs/gnome.md"};
    }
    std::unique_ptr<WindowObserver> createObserver(int32_t pid,
                                                   AccessibilityCallback callback) override {
        return observers.create(pid, std::move(callback));
    }
};

namespace {

// A veil: the companion's actor on one window, painted with the core's drawing. The companion
// keeps it in the window's actor, so it moves and stacks with the window by itself; the core's
// frame decides where inside it sits.
class GnomeVeil final : public Panel, public std::enable_shared_from_this<GnomeVeil> {
  public:
    GnomeVeil(GnomeDesktop::State& desktop, std::weak_ptr<void> alive, uint64_t id,
              const PanelConfiguration& configuration)
        : desktop_(desktop), alive_(std::move(alive)), id_(id), frame_(configuration.contentRect) {}

    void setContentView(std::shared_ptr<PanelContent> view, const ContentViewOptions&) override {
        view_ = std::move(view);
        update();
    }
    void setFrame(const Rect& frame, bool) override {
        frame_ = frame;
        update();
    }
    void orderWindow(WindowOrderingMode mode, int64_t relativeTo) override {
        if (closed_) {
            return;
        }
        if (mode == WindowOrderingMode::out || relativeTo == nullWindowID) {
            remove();
            return;
        }
        // A veil lives inside the window it covers; "below" cannot be had and is taken as on.
        window_ = static_cast<uint64_t>(relativeTo);
        update();
    }
    void makeKeyWindow() override {
        if (!closed_ && window_ != 0 && alive_.lock()) {
            desktop_.call("FocusVeil", g_variant_new("(t)", id_), nullptr);
        }
    }
    void close() override {
        if (closed_) {
            return;
        }
        remove();
        closed_ = true;
        view_.reset();
        if (alive_.lock()) {
            desktop_.veils.erase(id_);
        }
    }

    // Whether the veil has the keyboard focus in the shell now.
    bool isKeyWindow() override {
        if (closed_ || window_ == 0 || !alive_.lock()) {
            return false;
        }
        VariantPtr reply =
            desktop_.call("IsVeilFocused", g_variant_new("(t)", id_), G_VARIANT_TYPE("(b)"));
        gboolean focused = FALSE;
        if (reply) {
            g_variant_get(reply.get(), "(b)", &focused);
        }
        return focused != FALSE;
    }

    // A veil lives inside its window's actor: it is shown, moved and stacked with the window
    // by the shell itself, so it is in place while the companion last said it holds it.
    bool isInPlace() override { return !closed_ && window_ != 0 && placed_ && alive_.lock(); }

    void clicked() {
        if (auto view = view_) {
            view->mouseDown();
        }
    }
    void keyPressed() {
        if (auto view = view_) {
            view->keyDown();
        }
    }
    // The companion went, and every veil with it: the next update sends this one again.
    void companionLost() {
        sent_.reset();
        placed_ = false;
    }

  private:
    void remove() {
        if (window_ != 0 && alive_.lock()) {
            desktop_.call("RemoveVeil", g_variant_new("(t)", id_), nullptr);
        }
        window_ = 0;
        placed_ = false;
        sent_.reset();
    }

    void update() {
        if (closed_ || window_ == 0 || !view_ || !alive_.lock()) {
            return;
        }
        Rect bounds{0, 0, frame_.standardWidth(), frame_.standardHeight()};
        Drawing drawing = view_->draw(bounds);
        // A pass sets the frame and orders the veil each time: only what changes, or a veil
        // the companion could not place yet, is sent. Each call waits for the shell.
        if (placed_ && sent_ && sent_->window == window_ && sent_->frame == frame_ &&
            sent_->drawing == drawing) {
            return;
        }
        sent_ = Sent{window_, frame_, drawing};
        GVariantBuilder texts;
        g_variant_builder_init(&texts, G_VARIANT_TYPE("a(sds(dddd)(dddd))"));
        for (const TextRun& run : drawing.texts) {
            g_variant_builder_add_value(
                &texts, g_variant_new("(sds@(dddd)(dddd))", run.text.c_str(), run.fontSize,
                                      weightName(run.weight), colorVariant(run.color), run.rect.x,
                                      run.rect.y, run.rect.width, run.rect.height));
        }
        // Panel frames have their origin at the bottom-left of the screen, the shell's at the
        // top-left.
        double top = desktop_.screenHeight - frame_.maxY();
        VariantPtr reply = desktop_.call(
            "SetVeil",
            g_variant_new("(tt(dddd)@(dddd)a(sds(dddd)(dddd)))", id_, window_, frame_.minX(), top,
                          frame_.standardWidth(), frame_.standardHeight(),
                          colorVariant(drawing.fill), &texts),
            G_VARIANT_TYPE("(b)"));
        if (!reply && desktop_.lastCallTimedOut) {
            // A busy shell may still apply it; what it holds stays as it was, and the next
            // update sends it again.
            sent_.reset();
            return;
        }
        // The companion answers whether the window was there to hold the veil.
        gboolean placed = FALSE;
        if (reply) {
            g_variant_get(reply.get(), "(b)", &placed);
        }
        placed_ = placed != FALSE;
    }

    GnomeDesktop::State& desktop_;
    std::weak_ptr<void> alive_;
    uint64_t id_;
    Rect frame_;
    uint64_t window_ = 0;
    bool placed_ = false;
    bool closed_ = false;
    std::shared_ptr<PanelContent> view_;
    // What the companion was last sent for the veil.
    struct Sent {
        uint64_t window = 0;
        Rect frame;
        Drawing drawing;
    };
    std::optional<Sent> sent_;
};

}  // namespace

void GnomeDesktop::State::companionLost() {
    for (auto& [id, weak] : veils) {
        if (auto veil = weak.lock()) {
            veil->companionLost();
        }
    }
}

GnomeDesktop::State::~State() {
    if (!bus) {
        return;
    }
    for (guint id : subscriptions) {
        g_dbus_connection_signal_unsubscribe(bus->connection(), id);
    }
    if (nameWatch != 0) {
        g_bus_unwatch_name(nameWatch);
    }
}

void GnomeDesktop::State::handleSignal(const std::string& member, GVariant* parameters) {
    readSignal(member, parameters);
    // The observers hear of the window changes at the end of the signal's turn.
    observers.flush();
}

void GnomeDesktop::State::readSignal(const std::string& member, GVariant* parameters) {
    if (member == "WindowEvent") {
        guint64 window = 0;
        int32_t pid = 0;
        const char* event = nullptr;
        g_variant_get(parameters, "(ti&s)", &window, &pid, &event);
        if (const char* notification = windowNotificationFor(event)) {
            observers.deliver(pid, notification);
        }
    } else if (member == "ApplicationEvent") {
        const char* event = nullptr;
        const char* appId = nullptr;
        int32_t pid = 0;
        g_variant_get(parameters, "(&s&si)", &event, &appId, &pid);
        RunningApplication application;
        if (*appId != '\0') {
            application.bundleIdentifier = appId;
        }
        application.processIdentifier = pid;
        std::string name = event;
        if (name == "launched") {
            workspaceCenter.post({NotificationName::workspaceDidLaunchApplication, application});
        } else if (name == "quit") {
            workspaceCenter.post({NotificationName::workspaceDidTerminateApplication, application});
        } else if (name == "activated") {
            workspaceCenter.post({NotificationName::workspaceDidActivateApplication, application});
        }
    } else if (member == "WorkspaceSwitched") {
        // What the switch means for the windows on the workspaces left or entered is the
        // core's to judge, from the pass the notification asks for.
        workspaceCenter.post({NotificationName::workspaceActiveSpaceDidChange, std::nullopt});
    } else if (member == "MonitorsChanged") {
        readScreen();
        defaultCenterState.post({NotificationName::applicationDidChangeScreenParameters, {}});
    } else if (member == "VeilClicked" || member == "VeilKeyPressed") {
        guint64 id = 0;
        g_variant_get(parameters, "(t)", &id);
        auto it = veils.find(id);
        if (it == veils.end()) {
            return;
        }
        if (auto veil = it->second.lock()) {
            if (member == "VeilClicked") {
                veil->clicked();
            } else {
                veil->keyPressed();
            }
        }
    }
}

std::unique_ptr<GnomeDesktop> GnomeDesktop::connect() {
    auto bus = SessionBus::connect();
    if (!bus) {
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->bus = std::move(bus);
    // A GNOME session is one whose shell is on the bus. The companion may come later (the
    // extension enabled, or back from another process that held its name): until then the
    // permission is withheld, and the block is taken up once it is there.
    if (!state->ownerOf(shellName)) {
        return nullptr;
    }
    state->isProcessTrusted();

    State* raw = state.get();
    auto onSignal = [](GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                       const gchar* member, GVariant* parameters, gpointer data) {
        auto* desktop = static_cast<State*>(data);
        std::string name = member;
        std::string from = sender != nullptr ? sender : "";
        g_variant_ref(parameters);
        desktop->loop->post([desktop, name, from, parameters] {
            // Only the shell's own connection speaks for the companion: another process could
            // send the same signals (a click on a veil, say) under the companion's interface.
            if (from == desktop->companionOwner) {
                desktop->handleSignal(name, parameters);
            }
            g_variant_unref(parameters);
        });
    };
    auto vanished = [](GDBusConnection*, const gchar*, gpointer data) {
        auto* desktop = static_cast<State*>(data);
        // The companion took every veil with it. The core learns it from the permission it
        // checks next, and from the screen change that makes it look now.
        desktop->loop->post([desktop] {
            desktop->companionLost();
            desktop->defaultCenterState.post(
                {NotificationName::applicationDidChangeScreenParameters, {}});
        });
    };
    state->bus->onBusThread([raw, onSignal, vanished] {
        GDBusConnection* connection = raw->bus->connection();
        raw->subscriptions.push_back(g_dbus_connection_signal_subscribe(
            connection, nullptr, gnomeCompanionInterface, nullptr, gnomeCompanionPath, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, onSignal, raw, nullptr));
        raw->nameWatch = g_bus_watch_name_on_connection(connection, gnomeCompanionName,
                                                        G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
                                                        vanished, raw, nullptr);
    });
    state->bus->start();
    state->loop->addExitHook([raw] { raw->bus->flush(); });
    return std::unique_ptr<GnomeDesktop>(new GnomeDesktop(std::move(state)));
}

GnomeDesktop::GnomeDesktop(std::unique_ptr<State> state) : state_(std::move(state)) {}

GnomeDesktop::~GnomeDesktop() {
    for (auto& [id, weak] : std::map(state_->veils)) {
        if (auto veil = weak.lock()) {
            veil->close();
        }
    }
    state_->alive.reset();
}

Application& GnomeDesktop::application() {
    return *state_->loop;
}

MainLoop& GnomeDesktop::mainLoop() {
    return *state_->loop;
}

void GnomeDesktop::runInBackground(Task task) {
    std::thread(std::move(task)).detach();
}

Workspace& GnomeDesktop::workspace() {
    return *state_;
}

NotificationCenter& GnomeDesktop::defaultCenter() {
    return state_->defaultCenterState;
}

std::vector<Rect> GnomeDesktop::screens() {
    // One screen spanning the whole stage, at the origin, as on X11: the frame conversion and
    // its inverse in the veils then use the same height and round-trip exactly.
    if (state_->screenWidth <= 0 || state_->screenHeight <= 0) {
        return {};
    }
    return {Rect{0, 0, state_->screenWidth, state_->screenHeight}};
}

WindowInfoList GnomeDesktop::copyWindowInfo(uint32_t options, int64_t) {
    VariantPtr reply = state_->callForList("ListWindows", G_VARIANT_TYPE("(a(tisddddiibbd))"),
                                           state_->lastWindowList);
    if (!reply) {
        return std::nullopt;
    }
    std::vector<WindowInfoRecord> records;
    GVariantIter* iter = nullptr;
    g_variant_get(reply.get(), "(a(tisddddiibbd))", &iter);
    guint64 id = 0;
    int32_t pid = 0;
    const char* appId = nullptr;
    double x = 0, y = 0, width = 0, height = 0, opacity = 1;
    int32_t type = 0, stackLayer = 0;
    gboolean minimized = FALSE, onActiveWorkspace = FALSE;
    while (g_variant_iter_next(iter, "(ti&sddddiibbd)", &id, &pid, &appId, &x, &y, &width, &height,
                               &type, &stackLayer, &minimized, &onActiveWorkspace, &opacity)) {
        bool onScreen = !minimized && onActiveWorkspace;
        if ((options & windowListOptionOnScreenOnly) != 0 && !onScreen) {
            continue;
        }
        if ((options & windowListExcludeDesktopElements) != 0 && type == typeDesktop) {
            continue;
        }
        WindowInfoRecord record;
        if (pid > 0) {
            record.ownerPID = WindowInfoValue::integer(pid);
        }
        record.number = WindowInfoValue::integer(static_cast<int64_t>(id));
        record.layer = WindowInfoValue::integer(layerOf(type, stackLayer));
        record.alpha = WindowInfoValue::real(opacity);
        record.bounds = WindowInfoValue::rect(Rect{x, y, width, height});
        records.push_back(record);
    }
    g_variant_iter_free(iter);
    return records;
}

std::shared_ptr<Panel> GnomeDesktop::createPanel(const PanelConfiguration& configuration) {
    uint64_t id = state_->nextVeil++;
    auto veil =
        std::make_shared<GnomeVeil>(*state_, std::weak_ptr<void>(state_->alive), id, configuration);
    state_->veils[id] = veil;
    return veil;
}

Accessibility& GnomeDesktop::accessibility() {
    return *state_;
}

}  // namespace sh
