// The Windows desktop: window facts read with EnumWindows and friends, changes heard through
// out-of-context WinEvent hooks on the main thread's message loop, and the shields.
#include "platform/windows/WindowsDesktop.hpp"

#include <windows.h>
// After windows.h, which dwmapi.h needs.
#include <dwmapi.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/common/LoopNotificationCenter.hpp"
#include "platform/common/LoopObservers.hpp"
#include "platform/windows/WindowsLoop.hpp"
#include "platform/windows/WindowsPanel.hpp"
#include "platform/windows/WindowsText.hpp"

namespace sh {

namespace {

using windows::WindowsPanel;

// While shields are shown, how often each is checked to be still directly above its window:
// Windows announces no change of z-order of top-level windows, so a window raised without
// being activated would otherwise stay over its shield until the next event.
constexpr double stackingCheckInterval = 0.25;

int64_t numberOf(HWND window) {
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(window));
}

std::wstring classNameOf(HWND window) {
    wchar_t name[256];
    int length = GetClassNameW(window, name, 256);
    return std::wstring(name, static_cast<size_t>(std::max(length, 0)));
}

// Whether DWM hides the window: on another virtual desktop, or a suspended store app. DWM may
// not answer (no composition, Wine): then nothing is cloaked.
bool isCloaked(HWND window) {
    DWORD cloaked = 0;
    return DwmGetWindowAttribute(window, DWMWA_CLOAKED, &cloaked, sizeof cloaked) == S_OK &&
           cloaked != 0;
}

// The frame as the user sees it: DWM's visible frame without the invisible resize borders of
// Windows 10 and later, else the window's rectangle.
RECT frameOf(HWND window) {
    RECT rect{};
    if (DwmGetWindowAttribute(window, DWMWA_EXTENDED_FRAME_BOUNDS, &rect, sizeof rect) == S_OK &&
        rect.right > rect.left) {
        return rect;
    }
    GetWindowRect(window, &rect);
    return rect;
}

// The window-server layer a top-level window counts in, by its class and styles. The desktop,
// the taskbar and menus are no application's content; tool windows (palettes, floating
// toolbars) are not ordinary windows; "always on top" keeps an application's window its own.
int64_t layerOf(HWND window, LONG_PTR exStyle) {
    static const std::map<std::wstring, int64_t> byClass = {
        {L"Progman", windowLayer::desktop},
        {L"WorkerW", windowLayer::desktop},
        {L"Shell_TrayWnd", windowLayer::dock},
        {L"Shell_SecondaryTrayWnd", windowLayer::dock},
        {L"NotifyIconOverflowWindow", windowLayer::dock},
        {L"#32768", windowLayer::popUpMenu},
        {L"tooltips_class32", windowLayer::status},
    };
    auto found = byClass.find(classNameOf(window));
    if (found != byClass.end()) {
        return found->second;
    }
    if ((exStyle & WS_EX_TOOLWINDOW) != 0) {
        return windowLayer::floating;
    }
    return (exStyle & WS_EX_TOPMOST) != 0 ? windowLayer::keptAbove : windowLayer::normal;
}

double alphaOf(HWND window, LONG_PTR exStyle) {
    if ((exStyle & WS_EX_LAYERED) == 0) {
        return 1;
    }
    BYTE alpha = 255;
    DWORD flags = 0;
    if (GetLayeredWindowAttributes(window, nullptr, &alpha, &flags) && (flags & LWA_ALPHA) != 0) {
        return alpha / 255.0;
    }
    return 1;
}

// The executable's file name ("notepad.exe"), which is the application's identity here.
std::optional<std::string> imageNameOf(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return std::nullopt;
    }
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    BOOL ok = QueryFullProcessImageNameW(process, 0, path.data(), &size);
    CloseHandle(process);
    if (!ok || size == 0) {
        return std::nullopt;
    }
    path.resize(size);
    size_t slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        return std::nullopt;
    }
    return utf8FromWide(name);
}

BOOL CALLBACK collectWindow(HWND window, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

// Every top-level window, front to back.
std::vector<HWND> topLevelWindows() {
    std::vector<HWND> windows;
    windows.reserve(256);
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

BOOL CALLBACK collectMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM list) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(monitor, &info)) {
        reinterpret_cast<std::vector<MONITORINFO>*>(list)->push_back(info);
    }
    return TRUE;
}

// Per-monitor DPI awareness: every rectangle the helper reads and sets is then in the
// monitors' own pixels, whatever their scale. Looked up at run time for older systems.
void becomeDpiAware() {
    using Function = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
    auto function = reinterpret_cast<Function>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")));
    if (function == nullptr || !function(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) {
        SetProcessDPIAware();
    }
}

// The window notifications of the core, by WinEvent. Moves and resizes are one event here.
std::vector<const char*> notificationsFor(DWORD event) {
    switch (event) {
        case EVENT_OBJECT_CREATE:
        case EVENT_OBJECT_SHOW:
        case EVENT_OBJECT_UNCLOAKED:
            return {"AXWindowCreated"};
        case EVENT_OBJECT_HIDE:
        case EVENT_OBJECT_DESTROY:
        case EVENT_OBJECT_CLOAKED:
            return {"AXUIElementDestroyed"};
        case EVENT_OBJECT_LOCATIONCHANGE:
        case EVENT_SYSTEM_MOVESIZEEND:
            return {"AXMoved", "AXResized"};
        case EVENT_SYSTEM_MINIMIZESTART:
            return {"AXWindowMiniaturized"};
        case EVENT_SYSTEM_MINIMIZEEND:
            return {"AXWindowDeminiaturized"};
        case EVENT_SYSTEM_FOREGROUND:
            return {"AXFocusedWindowChanged"};
        default:
            return {};
    }
}

WindowsDesktop::State* hookedDesktop = nullptr;

void CALLBACK winEventProcedure(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child,
                                DWORD, DWORD);

}  // namespace

struct WindowsDesktop::State final : public windows::PanelHost,
                                     public Workspace,
                                     public Accessibility {
    WindowsLoop loop;
    LoopNotificationCenter workspaceCenter{loop};
    LoopNotificationCenter defaultCenterState{loop};
    LoopObservers observers{loop};
    std::map<HWND, std::weak_ptr<WindowsPanel>> panels;
    std::vector<HWINEVENTHOOK> hooks;
    const DWORD ownProcess = GetCurrentProcessId();

    struct WindowEvent {
        DWORD event;
        HWND window;
    };
    // Heard since the last handling, which runs once per batch as a task of its own.
    std::vector<WindowEvent> pending;
    bool handlingPosted = false;
    // The process of every top-level window seen, for the events about windows that are gone.
    std::unordered_map<HWND, DWORD> processOfWindow;
    // The processes that show a window, as last announced.
    std::map<int32_t, RunningApplication> applications;
    std::unordered_map<DWORD, std::optional<std::string>> imageNames;
    int32_t activeProcess = 0;
    bool placementCheckPending = false;
    std::shared_ptr<Timer> stackingTimer;
    // Expires with the desktop; tasks it posted then do nothing.
    std::shared_ptr<int> alive = std::make_shared<int>(0);

    // PanelHost
    void postToMain(Task task) override { loop.post(std::move(task)); }
    int primaryHeight() override { return GetSystemMetrics(SM_CYSCREEN); }
    void panelClosed(HWND window) override { panels.erase(window); }
    void placementMayHaveChanged() override { placementCheckPending = true; }

    std::vector<std::pair<HWND, std::shared_ptr<WindowsPanel>>> livePanels() {
        std::vector<std::pair<HWND, std::shared_ptr<WindowsPanel>>> live;
        for (auto& [window, weak] : panels) {
            if (auto panel = weak.lock()) {
                live.emplace_back(window, panel);
            }
        }
        return live;
    }

    std::shared_ptr<WindowsPanel> panelOf(HWND window) {
        auto found = panels.find(window);
        return found != panels.end() ? found->second.lock() : nullptr;
    }

    std::optional<std::string> imageName(DWORD pid) {
        auto found = imageNames.find(pid);
        if (found != imageNames.end()) {
            return found->second;
        }
        return imageNames[pid] = imageNameOf(pid);
    }

    RunningApplication applicationOf(DWORD pid) {
        return RunningApplication{imageName(pid), static_cast<int32_t>(pid)};
    }

    DWORD processOf(HWND window) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        return pid;
    }

    // The processes that show a top-level window now; process ids no longer among them lose
    // their cached name, as Windows may give the id to a new process.
    std::map<int32_t, RunningApplication> scanApplications() {
        std::map<int32_t, RunningApplication> now;
        std::unordered_map<HWND, DWORD> seen;
        for (HWND window : topLevelWindows()) {
            DWORD pid = processOf(window);
            if (pid == 0) {
                continue;
            }
            seen[window] = pid;
            if (pid == ownProcess || !IsWindowVisible(window) || isCloaked(window)) {
                continue;
            }
            if (!now.contains(static_cast<int32_t>(pid))) {
                now[static_cast<int32_t>(pid)] = applicationOf(pid);
            }
        }
        processOfWindow = std::move(seen);
        std::erase_if(imageNames, [&](const auto& entry) {
            return !now.contains(static_cast<int32_t>(entry.first));
        });
        return now;
    }

    // The process whose window has the keyboard; a shield with it stands for its window.
    int32_t foregroundProcess() {
        HWND foreground = GetForegroundWindow();
        if (foreground == nullptr) {
            return 0;
        }
        if (auto panel = panelOf(foreground)) {
            HWND target = panel->target();
            return target != nullptr ? static_cast<int32_t>(processOf(target)) : 0;
        }
        DWORD pid = processOf(foreground);
        return pid == ownProcess ? 0 : static_cast<int32_t>(pid);
    }

    // Launches and quits, judged by the windows shown: an application is running while it
    // shows a window, as the core only ever covers windows.
    void refreshApplications(bool announce) {
        std::map<int32_t, RunningApplication> now = scanApplications();
        if (announce) {
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
        }
        applications = std::move(now);
    }

    void refreshActivation(bool announce) {
        int32_t pid = foregroundProcess();
        // A shield taking the keyboard leaves the application that had it as the active one.
        if (pid == 0 || pid == activeProcess) {
            return;
        }
        activeProcess = pid;
        if (announce) {
            workspaceCenter.post(
                {NotificationName::workspaceDidActivateApplication, applicationOf(pid)});
        }
    }

    void heard(DWORD event, HWND window) {
        pending.push_back({event, window});
        if (!handlingPosted) {
            handlingPosted = true;
            loop.post([this, weak = std::weak_ptr<int>(alive)] {
                if (!weak.expired()) {
                    handleEvents();
                }
            });
        }
    }

    // One batch of WinEvents: the observers of the processes concerned hear of them, launches,
    // quits and activations are announced, and the shields are checked against the z-order.
    void handleEvents() {
        handlingPosted = false;
        std::vector<WindowEvent> batch;
        batch.swap(pending);
        bool applicationsChanged = false;
        bool foregroundChanged = false;
        bool spaceChanged = false;
        for (const WindowEvent& event : batch) {
            DWORD pid = 0;
            auto known = processOfWindow.find(event.window);
            if (event.event == EVENT_OBJECT_DESTROY) {
                if (known == processOfWindow.end()) {
                    continue;  // Never seen as a top-level window.
                }
                pid = known->second;
                processOfWindow.erase(known);
            } else {
                pid = processOf(event.window);
                if (pid != 0) {
                    processOfWindow[event.window] = pid;
                }
            }
            if (pid == 0 || pid == ownProcess) {
                continue;
            }
            for (const char* notification : notificationsFor(event.event)) {
                observers.deliver(static_cast<int32_t>(pid), notification);
            }
            switch (event.event) {
                case EVENT_OBJECT_SHOW:
                case EVENT_OBJECT_HIDE:
                case EVENT_OBJECT_DESTROY:
                    applicationsChanged = true;
                    break;
                case EVENT_OBJECT_CLOAKED:
                case EVENT_OBJECT_UNCLOAKED:
                    // Windows cloaks the windows of the virtual desktops out of view.
                    applicationsChanged = true;
                    spaceChanged = true;
                    break;
                case EVENT_SYSTEM_FOREGROUND:
                    foregroundChanged = true;
                    break;
                default:
                    break;
            }
        }
        if (applicationsChanged) {
            refreshApplications(true);
        }
        if (foregroundChanged || applicationsChanged) {
            refreshActivation(true);
        }
        if (spaceChanged) {
            workspaceCenter.post({NotificationName::workspaceActiveSpaceDidChange, std::nullopt});
        }
        keepShieldsInPlace();
        observers.flush();
    }

    void keepShieldsInPlace() {
        for (auto& [window, panel] : livePanels()) {
            panel->keepInPlace();
        }
        placementCheckPending = true;
    }

    // Before every wait: what the core asked of the shields this turn goes to the window
    // server, in this one place, and the shields whose placement changed tell their views.
    void pushChanges() {
        auto live = livePanels();
        for (auto& [window, panel] : live) {
            if (panel->pushChanges()) {
                placementCheckPending = true;
            }
        }
        if (placementCheckPending) {
            placementCheckPending = false;
            for (auto& [window, panel] : live) {
                panel->reportPlacementIfChanged();
            }
        }
        bool shown = std::any_of(live.begin(), live.end(),
                                 [](const auto& entry) { return entry.second->target(); });
        if (shown && !stackingTimer) {
            stackingTimer = loop.scheduleTimer(stackingCheckInterval, true,
                                               [this, weak = std::weak_ptr<int>(alive)] {
                                                   if (!weak.expired()) {
                                                       keepShieldsInPlace();
                                                   }
                                               });
        } else if (!shown && stackingTimer) {
            stackingTimer->invalidate();
            stackingTimer.reset();
        }
    }

    void installHooks() {
        // Out of context: the events come through this thread's message queue, in the loop.
        const std::pair<DWORD, DWORD> ranges[] = {
            {EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND},
            {EVENT_SYSTEM_MOVESIZEEND, EVENT_SYSTEM_MOVESIZEEND},
            {EVENT_SYSTEM_MINIMIZESTART, EVENT_SYSTEM_MINIMIZEEND},
            {EVENT_OBJECT_CREATE, EVENT_OBJECT_HIDE},
            {EVENT_OBJECT_LOCATIONCHANGE, EVENT_OBJECT_LOCATIONCHANGE},
            {EVENT_OBJECT_CLOAKED, EVENT_OBJECT_UNCLOAKED},
        };
        for (const auto& [first, last] : ranges) {
            HWINEVENTHOOK hook = SetWinEventHook(first, last, nullptr, winEventProcedure, 0, 0,
                                                 WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
            if (hook != nullptr) {
                hooks.push_back(hook);
            }
        }
    }

    // Workspace
    std::vector<RunningApplication> runningApplications() override {
        std::vector<RunningApplication> result;
        for (const auto& [pid, application] : scanApplications()) {
            result.push_back(application);
        }
        return result;
    }
    std::optional<RunningApplication> frontmostApplication() override {
        int32_t pid = foregroundProcess();
        if (pid == 0) {
            return std::nullopt;
        }
        return applicationOf(static_cast<DWORD>(pid));
    }
    NotificationCenter& notificationCenter() override { return workspaceCenter; }

    // Accessibility. Windows asks no permission to read other applications' windows or to
    // show windows above them; what the helper needs is an interactive desktop to show them
    // on, and the window events to follow them by.
    bool interactive() {
        USEROBJECTFLAGS flags{};
        HWINSTA station = GetProcessWindowStation();
        return station != nullptr &&
               GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
               (flags.dwFlags & WSF_VISIBLE) != 0;
    }
    bool isProcessTrusted() override { return interactive() && !hooks.empty(); }
    bool isProcessTrustedWithOptions(bool) override { return isProcessTrusted(); }
    std::optional<UntrustedReason> untrustedReason() override {
        if (!interactive()) {
            return UntrustedReason{"no-display",
                                   "the helper runs on a window station with no visible desktop "
                                   "(a service's), where nothing it shows can be seen"};
        }
        if (hooks.empty()) {
            return UntrustedReason{"window-events-unavailable",
                                   "Windows refused the window event hooks the helper follows "
                                   "windows by"};
        }
        return std::nullopt;
    }
    std::unique_ptr<WindowObserver> createObserver(int32_t pid,
                                                   AccessibilityCallback callback) override {
        return observers.create(pid, std::move(callback));
    }
};

namespace {

void CALLBACK winEventProcedure(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child,
                                DWORD, DWORD) {
    // Only whole windows (not carets, cursors or controls inside them), and of those only
    // top-level ones, or ones already known as such when they are destroyed.
    if (hookedDesktop == nullptr || window == nullptr || object != OBJID_WINDOW ||
        child != CHILDID_SELF) {
        return;
    }
    if (event != EVENT_OBJECT_DESTROY && GetAncestor(window, GA_PARENT) != GetDesktopWindow()) {
        return;
    }
    hookedDesktop->heard(event, window);
}

}  // namespace

WindowsDesktop::WindowsDesktop() : state_(std::make_unique<State>()) {
    becomeDpiAware();
    WindowsPanel::registerClass();
    hookedDesktop = state_.get();
    state_->installHooks();
    state_->refreshApplications(false);
    state_->refreshActivation(false);
    State* raw = state_.get();
    state_->loop.addPrepareHook([raw] { raw->pushChanges(); });
    state_->loop.addDisplayHook([raw] {
        raw->defaultCenterState.post({NotificationName::applicationDidChangeScreenParameters, {}});
    });
    if (state_->hooks.empty()) {
        std::fputs("shield-helper: Windows refused the window event hooks; nothing is shielded\n",
                   stderr);
    }
}

WindowsDesktop::~WindowsDesktop() {
    for (HWINEVENTHOOK hook : state_->hooks) {
        UnhookWinEvent(hook);
    }
    hookedDesktop = nullptr;
    for (auto& [window, panel] : state_->livePanels()) {
        panel->close();
    }
    state_->alive.reset();
}

Application& WindowsDesktop::application() {
    return state_->loop;
}

MainLoop& WindowsDesktop::mainLoop() {
    return state_->loop;
}

void WindowsDesktop::runInBackground(Task task) {
    std::thread(std::move(task)).detach();
}

Workspace& WindowsDesktop::workspace() {
    return *state_;
}

NotificationCenter& WindowsDesktop::defaultCenter() {
    return state_->defaultCenterState;
}

std::vector<Rect> WindowsDesktop::screens() {
    std::vector<MONITORINFO> monitors;
    EnumDisplayMonitors(nullptr, nullptr, collectMonitor, reinterpret_cast<LPARAM>(&monitors));
    std::stable_partition(monitors.begin(), monitors.end(), [](const MONITORINFO& info) {
        return (info.dwFlags & MONITORINFOF_PRIMARY) != 0;
    });
    // Windows puts the primary monitor's top-left at (0, 0) with y downwards; panel
    // coordinates put its bottom-left there with y upwards.
    double primaryHeight = state_->primaryHeight();
    std::vector<Rect> frames;
    for (const MONITORINFO& info : monitors) {
        const RECT& r = info.rcMonitor;
        frames.push_back(Rect{static_cast<double>(r.left), primaryHeight - r.bottom,
                              static_cast<double>(r.right - r.left),
                              static_cast<double>(r.bottom - r.top)});
    }
    return frames;
}

WindowInfoList WindowsDesktop::copyWindowInfo(uint32_t options, int64_t) {
    std::vector<WindowInfoRecord> records;
    for (HWND window : topLevelWindows()) {
        DWORD pid = state_->processOf(window);
        if (pid == 0 || pid == state_->ownProcess) {
            continue;
        }
        bool onScreen = IsWindowVisible(window) && !IsIconic(window) && !isCloaked(window);
        if ((options & windowListOptionOnScreenOnly) != 0 && !onScreen) {
            continue;
        }
        LONG_PTR exStyle = GetWindowLongPtrW(window, GWL_EXSTYLE);
        int64_t layer = layerOf(window, exStyle);
        if ((options & windowListExcludeDesktopElements) != 0 && layer == windowLayer::desktop) {
            continue;
        }
        RECT frame = frameOf(window);
        WindowInfoRecord record;
        record.ownerPID = WindowInfoValue::integer(pid);
        record.number = WindowInfoValue::integer(numberOf(window));
        record.layer = WindowInfoValue::integer(layer);
        record.alpha = WindowInfoValue::real(alphaOf(window, exStyle));
        record.bounds = WindowInfoValue::rect(Rect{static_cast<double>(frame.left),
                                                   static_cast<double>(frame.top),
                                                   static_cast<double>(frame.right - frame.left),
                                                   static_cast<double>(frame.bottom - frame.top)});
        records.push_back(record);
    }
    return records;
}

std::shared_ptr<Panel> WindowsDesktop::createPanel(const PanelConfiguration& configuration) {
    auto panel =
        std::make_shared<WindowsPanel>(*state_, std::weak_ptr<void>(state_->alive), configuration);
    state_->panels[panel->window()] = panel;
    return panel;
}

Accessibility& WindowsDesktop::accessibility() {
    return *state_;
}

std::unique_ptr<Desktop> createDesktop() {
    return std::make_unique<WindowsDesktop>();
}

}  // namespace sh
