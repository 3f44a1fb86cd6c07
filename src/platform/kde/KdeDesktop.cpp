// The KDE desktop: the platform boundary over a KWin script and Wayland windows of the
// helper's own.
//
// The helper writes its script (extensions/kde/kwin-script.js, built into the binary) into the
// runtime folder and loads it through KWin's scripting interface. The script calls the helper
// on the session bus: `Report` with the whole window list after every change, and `Commands`,
// which the helper answers when it has veil commands (or every few seconds with none), so that
// the script hears of them without polling. The window list the core reads is the last report;
// the events in each report reach the core's observers on the main thread.
//
// A veil is an xdg-shell window of the helper's, drawn here, that the script keeps at its
// target's frame and directly above it in KWin's stacking order as the target moves, resizes,
// is raised, minimised or sent to another desktop, without a round trip through the helper.
// Clicks and keys on it arrive here through the Wayland seat.
#include "platform/kde/KdeDesktop.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "platform/common/LoopNotificationCenter.hpp"
#include "platform/common/LoopObservers.hpp"
#include "platform/linux/PollLoop.hpp"
#include "platform/linux/SessionBus.hpp"
#include "platform/linux/WaylandWindows.hpp"

namespace sh {

extern const char* const kwinScriptSource;

namespace {

using nlohmann::json;

constexpr const char* kwinName = "org.kde.KWin";
constexpr const char* scriptingPath = "/Scripting";
constexpr const char* scriptingInterface = "org.kde.kwin.Scripting";
constexpr int kwinTimeoutMs = 2000;
// How long the first permission check waits for the script's first report.
constexpr double firstReportWaitSeconds = 3;
// The helper answers the script's command call at least this often, well within the time
// after which KWin gives up on a call.
constexpr double idleAnswerSeconds = 10;
// A script that has not asked for commands for this long is gone (KWin dropped it, or it took
// the helper for gone while the helper was stopped), and is loaded again.
constexpr double scriptSilenceSeconds = 25;
// Reports beyond this size are not read: no window list comes near it.
constexpr size_t maxReportBytes = 4 << 20;

constexpr const char* interfaceXml = R"(<node>
  <interface name="org.shieldhelper.KWin1">
    <method name="Report"><arg type="s" direction="in" name="state"/></method>
    <method name="Commands"><arg type="s" direction="out" name="commands"/></method>
  </interface>
</node>)";

// KWin's stacking layers, by their values.
enum KwinLayer : int { layerBelow = 1, layerNormal = 2 };

int64_t layerOf(const std::string& type, int layer) {
    if (type == "desktop") {
        return windowLayer::desktop;
    }
    if (type == "dock") {
        return windowLayer::dock;
    }
    if (type == "notification") {
        return windowLayer::status;
    }
    if (type == "menu") {
        return windowLayer::popUpMenu;
    }
    if (type == "normal") {
        if (layer == layerNormal) {
            return windowLayer::normal;
        }
        // Kept above (or an active full-screen window, which KWin raises above the rest) or
        // kept below: still the application's own window either way.
        return layer < layerNormal ? windowLayer::keptBelow : windowLayer::keptAbove;
    }
    return windowLayer::floating;
}

// The core's window notifications, by the script's event names.
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

// One window as the script last reported it.
struct ReportedWindow {
    int64_t number = 0;
    int32_t pid = 0;
    std::string app;
    Rect frame;
    std::string type;
    int layer = layerNormal;
    bool minimized = false;
    bool current = true;
    double opacity = 1;
};

// One veil as the script last reported it.
struct ReportedVeil {
    int64_t target = 0;
    bool inPlace = false;
};

RunningApplication applicationOf(const ReportedWindow& window) {
    RunningApplication application;
    if (!window.app.empty()) {
        application.bundleIdentifier = window.app;
    }
    application.processIdentifier = window.pid;
    return application;
}

// Reads one report's window; absent when the record is not one.
std::optional<ReportedWindow> readWindow(const json& record) {
    if (!record.is_object()) {
        return std::nullopt;
    }
    ReportedWindow window;
    window.number = record.value("n", int64_t{0});
    window.pid = record.value("pid", 0);
    window.app = record.value("app", std::string());
    window.frame = Rect{record.value("x", 0.0), record.value("y", 0.0), record.value("w", 0.0),
                        record.value("h", 0.0)};
    window.type = record.value("type", std::string());
    window.layer = record.value("layer", static_cast<int>(layerNormal));
    window.minimized = record.value("minimized", false);
    window.current = record.value("current", true);
    window.opacity = record.value("opacity", 1.0);
    if (window.number <= 0) {
        return std::nullopt;
    }
    return window;
}

class KdeVeil;

}  // namespace

struct KdeDesktop::State final : public Workspace, public Accessibility {
    std::unique_ptr<PollLoop> loop = std::make_unique<PollLoop>();
    std::unique_ptr<SessionBus> bus;
    std::unique_ptr<WaylandConnection> wayland;
    GDBusNodeInfo* interfaceInfo = nullptr;
    guint registration = 0;
    LoopNotificationCenter workspaceCenter{*loop};
    LoopNotificationCenter defaultCenterState{*loop};
    LoopObservers observers{*loop};
    std::shared_ptr<int> alive = std::make_shared<int>(0);

    // The script, as loaded into KWin: its plugin name and file, and KWin's connection.
    std::string scriptName;
    std::string scriptPath;
    std::string kwinOwner;
    int loads = 0;

    // Reports and command calls from the bus thread. Only KWin's connection is heard; the
    // sender is checked there, under the lock, against the connection the script was loaded
    // into.
    struct Inbox {
        std::mutex mutex;
        std::condition_variable arrived;
        std::string trustedSender;
        std::deque<std::string> reports;
    } inbox;

    // The last report, main thread.
    bool reported = false;
    std::vector<ReportedWindow> windows;
    std::map<int64_t, ReportedVeil> reportedVeils;
    int64_t activeWindow = 0;
    int64_t activeVeil = 0;
    double screenWidth = 0;
    double screenHeight = 0;
    // Applications by process, as the windows show them, for launch and quit notifications.
    std::map<int32_t, RunningApplication> applications;
    int32_t activePid = 0;

    // Commands for the script, and its waiting call for them.
    std::vector<json> commands;
    GDBusMethodInvocation* waitingCall = nullptr;
    double lastCallAt = 0;
    std::shared_ptr<Timer> idleTimer;

    // Veils by their window's id.
    std::map<uint64_t, std::weak_ptr<KdeVeil>> veils;
    uint64_t nextVeilWindow = 1;

    ~State() override;

    bool loadScript();
    void unloadScript();
    void scriptLost();
    void receiveCommandsCall(GDBusMethodInvocation* invocation);
    void answerCommands();
    void checkScript();
    // Main thread: reads the reports that came in; with `deliver`, their events reach the core.
    void drainReports(bool deliver);
    void applyReport(const json& report, bool deliver);
    void deliverEvent(const json& event);
    // Tells the veils' views whose placement changed, now or from the loop.
    void announcePlacements();
    void postPlacements();
    void noteApplications(bool deliver);
    void send(json command) { commands.push_back(std::move(command)); }
    const ReportedWindow* windowNumbered(int64_t number) const {
        for (const ReportedWindow& window : windows) {
            if (window.number == number) {
                return &window;
            }
        }
        return nullptr;
    }

    // Workspace
    std::vector<RunningApplication> runningApplications() override {
        std::vector<RunningApplication> result;
        for (const auto& [pid, application] : applications) {
            result.push_back(application);
        }
        return result;
    }
    NotificationCenter& notificationCenter() override { return workspaceCenter; }
    // The application whose window has the focus. A veil with the focus stands for the window
    // it covers, which would have it otherwise.
    std::optional<RunningApplication> frontmostApplication() override;

    // Accessibility: granted while KWin runs the helper's script and the Wayland display
    // answers. There is nothing to prompt for; loading the script needs no permission.
    bool isProcessTrusted() override;
    bool isProcessTrustedWithOptions(bool) override { return isProcessTrusted(); }
    std::optional<UntrustedReason> untrustedReason() override {
        if (!wayland->isConnected()) {
            return UntrustedReason{"display-lost",
                                   "the connection to the Wayland display was lost"};
        }
        return UntrustedReason{"kwin-script-failed", "KWin does not run the helper's script"};
    }
    std::unique_ptr<WindowObserver> createObserver(int32_t pid,
                                                   AccessibilityCallback callback) override {
        return observers.create(pid, std::move(callback));
    }
};

namespace {

// A veil: a Wayland window of the helper's over one window, kept there by the script.
class KdeVeil final : public Panel, public std::enable_shared_from_this<KdeVeil> {
  public:
    KdeVeil(KdeDesktop::State& desktop, std::weak_ptr<void> alive,
            const PanelConfiguration& configuration)
        : desktop_(desktop), alive_(std::move(alive)), frame_(configuration.contentRect) {}

    void setContentView(std::shared_ptr<PanelContent> view, const ContentViewOptions&) override {
        view_ = std::move(view);
        redrawIfChanged();
    }
    // The script gives the window its target's frame; the frame set here is only the size of
    // the first picture, before the compositor's own.
    void setFrame(const Rect& frame, bool) override {
        frame_ = frame;
        redrawIfChanged();
    }
    void orderWindow(WindowOrderingMode mode, int64_t relativeTo) override {
        if (closed_ || !alive_.lock()) {
            return;
        }
        if (mode == WindowOrderingMode::out || relativeTo == nullWindowID) {
            remove();
            return;
        }
        // "Below" cannot be had: the script keeps a veil directly above its window.
        if (!window_) {
            open();
        }
        if (target_ != relativeTo) {
            target_ = relativeTo;
            desktop_.send({{"op", "veil"}, {"id", windowId_}, {"target", target_}});
        }
        redrawIfChanged();
    }
    void makeKeyWindow() override {
        if (!closed_ && window_ && alive_.lock()) {
            desktop_.send({{"op", "focus"}, {"id", windowId_}});
        }
    }
    bool isKeyWindow() override { return !closed_ && window_ && window_->hasKeyboard(); }
    void close() override {
        if (closed_) {
            return;
        }
        remove();
        closed_ = true;
        view_.reset();
    }
    bool isInPlace() override {
        if (closed_ || !window_ || !alive_.lock() || !desktop_.wayland->isConnected()) {
            return false;
        }
        auto it = desktop_.reportedVeils.find(static_cast<int64_t>(windowId_));
        return it != desktop_.reportedVeils.end() && it->second.target == target_ &&
               it->second.inPlace;
    }

    // After a report: tells the view when the answer to isInPlace changed.
    void reportRead() {
        bool now = isInPlace();
        if (now != lastAnswer_) {
            lastAnswer_ = now;
            if (auto view = view_) {
                view->placementChanged();
            }
        }
    }
    // The script is gone, or loaded anew: it holds none of the veils it was told of, so they
    // are sent to the new one.
    void scriptLost() {
        if (window_ && target_ != nullWindowID) {
            desktop_.send({{"op", "veil"}, {"id", windowId_}, {"target", target_}});
        }
    }

  private:
    void open() {
        windowId_ = desktop_.nextVeilWindow++;
        desktop_.veils[windowId_] = weak_from_this();
        std::weak_ptr<KdeVeil> weak = weak_from_this();
        WaylandConnection::Handlers handlers;
        handlers.draw = [weak](int width, int height) {
            auto veil = weak.lock();
            return veil ? veil->picture(width, height) : Drawing{};
        };
        handlers.pressed = [weak] {
            if (auto veil = weak.lock(); veil && veil->view_) {
                veil->view_->mouseDown();
            }
        };
        handlers.keyPressed = [weak] {
            if (auto veil = weak.lock(); veil && veil->view_) {
                veil->view_->keyDown();
            }
        };
        handlers.closeRequested = [weak] {
            if (auto veil = weak.lock(); veil && veil->view_) {
                veil->view_->closeRequested();
            }
        };
        window_ = desktop_.wayland->createWindow(
            "shield-helper veil " + std::to_string(windowId_), kdeVeilAppId,
            static_cast<int>(frame_.standardWidth()), static_cast<int>(frame_.standardHeight()),
            std::move(handlers));
    }

    void remove() {
        if (window_) {
            if (alive_.lock()) {
                desktop_.send({{"op", "unveil"}, {"id", windowId_}});
                desktop_.veils.erase(windowId_);
            }
            window_.reset();
        }
        target_ = nullWindowID;
        lastDrawing_.reset();
        if (lastAnswer_) {
            lastAnswer_ = false;
        }
    }

    Drawing picture(int width, int height) {
        if (!view_) {
            return Drawing{};
        }
        Drawing drawing =
            view_->draw(Rect{0, 0, static_cast<double>(width), static_cast<double>(height)});
        lastDrawing_ = drawing;
        return drawing;
    }

    // Draws again when the view's picture at the window's size is not the one it shows.
    void redrawIfChanged() {
        if (!window_ || !view_) {
            return;
        }
        Drawing drawing = view_->draw(Rect{0, 0, static_cast<double>(window_->width()),
                                           static_cast<double>(window_->height())});
        if (!lastDrawing_ || !(*lastDrawing_ == drawing)) {
            window_->redraw();
        }
    }

    KdeDesktop::State& desktop_;
    std::weak_ptr<void> alive_;
    Rect frame_;
    std::shared_ptr<PanelContent> view_;
    std::unique_ptr<WaylandWindow> window_;
    uint64_t windowId_ = 0;
    int64_t target_ = nullWindowID;
    bool closed_ = false;
    bool lastAnswer_ = false;
    std::optional<Drawing> lastDrawing_;
};

// The script with the helper's bus name and process id written in.
std::string scriptFor(const std::string& busName, int pid) {
    std::string text = kwinScriptSource;
    auto replace = [&text](const std::string& placeholder, const std::string& value) {
        for (size_t at = text.find(placeholder); at != std::string::npos;
             at = text.find(placeholder, at + value.size())) {
            text.replace(at, placeholder.size(), value);
        }
    };
    // A unique bus name is ':' followed by digits and dots: nothing to escape in a JS string.
    replace("@HELPER_BUS_NAME@", busName);
    replace("@HELPER_PID@", std::to_string(pid));
    return text;
}

bool writeFile(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return ::close(fd) == 0;
}

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Whether the session says it is KDE's.
bool isKdeSession() {
    if (isSet("KDE_FULL_SESSION")) {
        return true;
    }
    const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
    if (desktops == nullptr) {
        return false;
    }
    std::string list = desktops;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        std::string name = list.substr(start, end == std::string::npos ? end : end - start);
        if (name == "KDE") {
            return true;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

KdeDesktop::State::~State() {
    if (registration != 0) {
        g_dbus_connection_unregister_object(bus->connection(), registration);
    }
    if (interfaceInfo != nullptr) {
        g_dbus_node_info_unref(interfaceInfo);
    }
}

bool KdeDesktop::State::loadScript() {
    std::optional<std::string> owner = bus->ownerOf(kwinName);
    if (!owner) {
        return false;
    }
    if (!scriptName.empty()) {
        unloadScript();
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = runtime != nullptr && *runtime != '\0' ? runtime : "/tmp";
    std::string name = "shieldhelper_" + std::to_string(getpid()) + "_" + std::to_string(++loads);
    std::string path = folder + "/" + name + ".js";
    if (!writeFile(path, scriptFor(bus->uniqueName(), getpid()))) {
        return false;
    }
    {
        std::lock_guard lock(inbox.mutex);
        inbox.trustedSender = *owner;
        inbox.reports.clear();
    }
    kwinOwner = *owner;
    scriptName = name;
    scriptPath = path;
    reported = false;
    VariantPtr loaded = bus->call(
        {kwinOwner.c_str(), scriptingPath, scriptingInterface, "loadScript"},
        g_variant_new("(ss)", path.c_str(), name.c_str()), G_VARIANT_TYPE("(i)"), kwinTimeoutMs);
    int32_t id = -1;
    if (loaded) {
        g_variant_get(loaded.get(), "(i)", &id);
    }
    if (id < 0) {
        return false;
    }
    bus->call({kwinOwner.c_str(), scriptingPath, scriptingInterface, "start"}, nullptr, nullptr,
              kwinTimeoutMs);
    lastCallAt = loop->uptime();
    return true;
}

void KdeDesktop::State::unloadScript() {
    if (scriptName.empty()) {
        return;
    }
    if (!kwinOwner.empty()) {
        bus->call({kwinOwner.c_str(), scriptingPath, scriptingInterface, "unloadScript"},
                  g_variant_new("(s)", scriptName.c_str()), nullptr, kwinTimeoutMs);
    }
    ::unlink(scriptPath.c_str());
    scriptName.clear();
    scriptPath.clear();
}

// The script went quiet or KWin went: the veils it placed are no longer looked after. They
// are sent again to the script loaded next; until its first report none counts in place.
void KdeDesktop::State::scriptLost() {
    reported = false;
    reportedVeils.clear();
    if (waitingCall != nullptr) {
        g_dbus_method_invocation_return_value(waitingCall, g_variant_new("(s)", "[]"));
        waitingCall = nullptr;
    }
    commands.clear();
    for (auto& [id, weak] : veils) {
        if (auto veil = weak.lock()) {
            veil->scriptLost();
        }
    }
    // This may run inside a permission check: the views hear of it from the loop.
    postPlacements();
    defaultCenterState.post({NotificationName::applicationDidChangeScreenParameters, {}});
}

void KdeDesktop::State::receiveCommandsCall(GDBusMethodInvocation* invocation) {
    if (waitingCall != nullptr) {
        // The script asks only after an answer; an earlier call still waiting is answered so
        // that none is left behind.
        g_dbus_method_invocation_return_value(waitingCall, g_variant_new("(s)", "[]"));
    }
    waitingCall = invocation;
    lastCallAt = loop->uptime();
    answerCommands();
}

void KdeDesktop::State::answerCommands() {
    if (waitingCall == nullptr || commands.empty()) {
        return;
    }
    std::string text = json(commands).dump();
    commands.clear();
    g_dbus_method_invocation_return_value(waitingCall, g_variant_new("(s)", text.c_str()));
    waitingCall = nullptr;
}

void KdeDesktop::State::checkScript() {
    if (waitingCall != nullptr) {
        g_dbus_method_invocation_return_value(waitingCall, g_variant_new("(s)", "[]"));
        waitingCall = nullptr;
        return;
    }
    if (!scriptName.empty() && loop->uptime() - lastCallAt > scriptSilenceSeconds) {
        scriptLost();
        loadScript();
    }
}

void KdeDesktop::State::drainReports(bool deliver) {
    std::deque<std::string> due;
    {
        std::lock_guard lock(inbox.mutex);
        due.swap(inbox.reports);
    }
    for (const std::string& text : due) {
        json report = json::parse(text, nullptr, false);
        if (report.is_object()) {
            applyReport(report, deliver);
        }
    }
    if (deliver) {
        observers.flush();
    }
}

void KdeDesktop::State::applyReport(const json& report, bool deliver) {
    std::vector<ReportedWindow> list;
    if (auto it = report.find("windows"); it != report.end() && it->is_array()) {
        for (const json& record : *it) {
            if (auto window = readWindow(record)) {
                list.push_back(*window);
            }
        }
    }
    windows = std::move(list);
    reportedVeils.clear();
    if (auto it = report.find("veils"); it != report.end() && it->is_array()) {
        for (const json& record : *it) {
            if (record.is_object()) {
                reportedVeils[record.value("id", int64_t{0})] = {record.value("target", int64_t{0}),
                                                                 record.value("inPlace", false)};
            }
        }
    }
    activeWindow = report.value("active", int64_t{0});
    activeVeil = report.value("activeVeil", int64_t{0});
    if (auto it = report.find("screen"); it != report.end() && it->is_array() && it->size() == 2 &&
                                         (*it)[0].is_number() && (*it)[1].is_number()) {
        screenWidth = (*it)[0].get<double>();
        screenHeight = (*it)[1].get<double>();
    }
    reported = true;
    noteApplications(deliver);
    if (deliver) {
        if (auto it = report.find("events"); it != report.end() && it->is_array()) {
            for (const json& event : *it) {
                deliverEvent(event);
            }
        }
    }
    if (deliver) {
        announcePlacements();
    } else {
        postPlacements();
    }
}

void KdeDesktop::State::announcePlacements() {
    for (auto& [id, weak] : std::map(veils)) {
        if (auto veil = weak.lock()) {
            veil->reportRead();
        }
    }
}

void KdeDesktop::State::postPlacements() {
    loop->post([this, alive = std::weak_ptr<int>(alive)] {
        if (!alive.expired()) {
            announcePlacements();
        }
    });
}

void KdeDesktop::State::deliverEvent(const json& event) {
    if (!event.is_array() || event.size() != 3 || !event[0].is_string() ||
        !event[2].is_number_integer()) {
        return;
    }
    std::string kind = event[0].get<std::string>();
    if (kind == "desktop") {
        // What the switch means for the windows on the desktops left or entered is the core's
        // to judge, from the pass the notification asks for.
        workspaceCenter.post({NotificationName::workspaceActiveSpaceDidChange, std::nullopt});
    } else if (kind == "screen") {
        defaultCenterState.post({NotificationName::applicationDidChangeScreenParameters, {}});
    } else if (const char* notification = windowNotificationFor(kind)) {
        observers.deliver(event[2].get<int32_t>(), notification);
    }
}

// An application is running while it shows a window: launched with its first, quit with its
// last, activated when one of its windows takes the focus.
void KdeDesktop::State::noteApplications(bool deliver) {
    std::map<int32_t, RunningApplication> now;
    for (const ReportedWindow& window : windows) {
        if (window.pid > 0 && !now.contains(window.pid)) {
            now[window.pid] = applicationOf(window);
        }
    }
    int32_t active = 0;
    if (const ReportedWindow* window = windowNumbered(activeWindow)) {
        active = window->pid;
    }
    if (deliver) {
        for (const auto& [pid, application] : now) {
            if (!applications.contains(pid)) {
                workspaceCenter.post(
                    {NotificationName::workspaceDidLaunchApplication, application});
            }
        }
        for (const auto& [pid, application] : applications) {
            if (!now.contains(pid)) {
                workspaceCenter.post(
                    {NotificationName::workspaceDidTerminateApplication, application});
            }
        }
        if (active != 0 && active != activePid) {
            workspaceCenter.post({NotificationName::workspaceDidActivateApplication, now[active]});
        }
    }
    // A veil taking the focus leaves the application that had it as the active one.
    if (active != 0 || activeVeil == 0) {
        activePid = active;
    }
    applications = std::move(now);
}

std::optional<RunningApplication> KdeDesktop::State::frontmostApplication() {
    int64_t number = activeWindow;
    if (activeVeil != 0) {
        auto it = reportedVeils.find(activeVeil);
        number = it != reportedVeils.end() ? it->second.target : 0;
    }
    if (const ReportedWindow* window = windowNumbered(number); window && window->pid > 0) {
        return applicationOf(*window);
    }
    return std::nullopt;
}

bool KdeDesktop::State::isProcessTrusted() {
    if (!wayland->isConnected()) {
        return false;
    }
    std::optional<std::string> owner = bus->ownerOf(kwinName);
    if (!owner) {
        return false;
    }
    if (*owner != kwinOwner) {
        // KWin was started anew: the script goes to the new one.
        scriptLost();
        if (!loadScript()) {
            return false;
        }
    }
    if (!reported) {
        // Only the first report after a load is waited for: it comes within a moment of the
        // start, and the core may ask before the loop has turned.
        std::unique_lock lock(inbox.mutex);
        inbox.arrived.wait_for(lock, std::chrono::duration<double>(firstReportWaitSeconds),
                               [this] { return !inbox.reports.empty(); });
        lock.unlock();
        drainReports(false);
    }
    return reported && screenWidth > 0 && screenHeight > 0;
}

std::unique_ptr<KdeDesktop> KdeDesktop::connect() {
    if (!isKdeSession()) {
        return nullptr;
    }
    auto bus = SessionBus::connect();
    if (!bus || !bus->ownerOf(kwinName)) {
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->wayland = WaylandConnection::connect(*state->loop);
    if (!state->wayland) {
        return nullptr;
    }
    state->bus = std::move(bus);
    State* raw = state.get();

    state->interfaceInfo = g_dbus_node_info_new_for_xml(interfaceXml, nullptr);
    static const GDBusInterfaceVTable vtable = {
        .method_call =
            [](GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
               const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
               gpointer data) {
                auto* desktop = static_cast<State*>(data);
                std::string from = sender != nullptr ? sender : "";
                std::string name = method;
                {
                    std::lock_guard lock(desktop->inbox.mutex);
                    if (from != desktop->inbox.trustedSender) {
                        // Only the KWin that runs the script speaks for it.
                        g_dbus_method_invocation_return_dbus_error(
                            invocation, "org.freedesktop.DBus.Error.AccessDenied",
                            "only KWin may call this");
                        return;
                    }
                    if (name == "Report") {
                        const char* text = nullptr;
                        g_variant_get(parameters, "(&s)", &text);
                        std::string_view report = text;
                        if (report.size() <= maxReportBytes) {
                            desktop->inbox.reports.emplace_back(report);
                        }
                    }
                }
                if (name == "Report") {
                    g_dbus_method_invocation_return_value(invocation, nullptr);
                    desktop->inbox.arrived.notify_all();
                    desktop->loop->post([desktop] { desktop->drainReports(true); });
                } else {
                    desktop->loop->post(
                        [desktop, invocation] { desktop->receiveCommandsCall(invocation); });
                }
            },
        .get_property = nullptr,
        .set_property = nullptr,
        .padding = {},
    };
    state->bus->onBusThread([raw] {
        raw->registration = g_dbus_connection_register_object(raw->bus->connection(), kdeHelperPath,
                                                              raw->interfaceInfo->interfaces[0],
                                                              &vtable, raw, nullptr, nullptr);
    });
    if (raw->registration == 0) {
        return nullptr;
    }
    state->bus->start();

    state->idleTimer =
        state->loop->scheduleTimer(idleAnswerSeconds, true, [raw] { raw->checkScript(); });
    state->loop->addPrepareHook([raw] { raw->answerCommands(); });
    state->loop->addExitHook([raw] {
        // The veils go with the Wayland connection; the script is told and unloaded so that
        // nothing of the helper stays in KWin.
        raw->commands.clear();
        raw->send({{"op", "stop"}});
        raw->answerCommands();
        raw->unloadScript();
        raw->bus->flush();
    });
    raw->loadScript();
    return std::unique_ptr<KdeDesktop>(new KdeDesktop(std::move(state)));
}

KdeDesktop::KdeDesktop(std::unique_ptr<State> state) : state_(std::move(state)) {}

KdeDesktop::~KdeDesktop() {
    for (auto& [id, weak] : std::map(state_->veils)) {
        if (auto veil = weak.lock()) {
            veil->close();
        }
    }
    state_->alive.reset();
}

Application& KdeDesktop::application() {
    return *state_->loop;
}

MainLoop& KdeDesktop::mainLoop() {
    return *state_->loop;
}

void KdeDesktop::runInBackground(Task task) {
    std::thread(std::move(task)).detach();
}

Workspace& KdeDesktop::workspace() {
    return *state_;
}

NotificationCenter& KdeDesktop::defaultCenter() {
    return state_->defaultCenterState;
}

std::vector<Rect> KdeDesktop::screens() {
    // One screen spanning the whole desktop, at the origin, as on the other Linux desktops.
    if (state_->screenWidth <= 0 || state_->screenHeight <= 0) {
        return {};
    }
    return {Rect{0, 0, state_->screenWidth, state_->screenHeight}};
}

WindowInfoList KdeDesktop::copyWindowInfo(uint32_t options, int64_t) {
    if (!state_->reported) {
        return std::nullopt;
    }
    std::vector<WindowInfoRecord> records;
    for (const ReportedWindow& window : state_->windows) {
        bool onScreen = !window.minimized && window.current;
        if ((options & windowListOptionOnScreenOnly) != 0 && !onScreen) {
            continue;
        }
        if ((options & windowListExcludeDesktopElements) != 0 && window.type == "desktop") {
            continue;
        }
        WindowInfoRecord record;
        if (window.pid > 0) {
            record.ownerPID = WindowInfoValue::integer(window.pid);
        }
        record.number = WindowInfoValue::integer(window.number);
        record.layer = WindowInfoValue::integer(layerOf(window.type, window.layer));
        record.alpha = WindowInfoValue::real(window.opacity);
        record.bounds = WindowInfoValue::rect(window.frame);
        records.push_back(record);
    }
    return records;
}

std::shared_ptr<Panel> KdeDesktop::createPanel(const PanelConfiguration& configuration) {
    return std::make_shared<KdeVeil>(*state_, std::weak_ptr<void>(state_->alive), configuration);
}

Accessibility& KdeDesktop::accessibility() {
    return *state_;
}

}  // namespace sh
