// The Windows main loop; see WindowsLoop.hpp.
#include "platform/windows/WindowsLoop.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "platform/Streams.hpp"
#include "platform/common/LoopTimers.hpp"

namespace sh {

namespace {

using Clock = LoopTimers::Clock;

constexpr wchar_t loopWindowClass[] = L"ShieldHelperLoop";

// FILETIME counts 100-nanosecond intervals since 1601-01-01; the epoch is 11644473600 s later.
constexpr double fileTimeEpochOffset = 11644473600.0;
// The furthest a waitable timer is set ahead.
constexpr double maximumArmSeconds = 100.0 * 365 * 24 * 3600;

LRESULT CALLBACK loopWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace

struct WindowsLoop::State {
    LoopTimers timers;
    HWND window = nullptr;
    // Set when the first task of a batch is posted. An event rather than a message to the
    // loop's window: it wakes the wait whatever becomes of the window, and a message posted
    // while some system call runs a modal loop of its own would be dispatched there instead.
    HANDLE wakeEvent = nullptr;
    // Signalled at the earliest wall-clock timer's time.
    HANDLE clockTimer = nullptr;
    std::optional<double> armedEpoch;
    std::vector<Task> prepareHooks;
    std::vector<Task> exitHooks;
    std::vector<Task> displayHooks;
    ActivationPolicy policy = ActivationPolicy::regular;
    bool terminating = false;
    int activities = 0;

    void armClockTimer(bool force) {
        if (clockTimer == nullptr) {
            return;
        }
        std::optional<double> earliest = timers.earliestWallTime();
        if (!force && earliest == armedEpoch) {
            return;
        }
        armedEpoch = earliest;
        if (!earliest) {
            CancelWaitableTimer(clockTimer);
            return;
        }
        double seconds = std::min(*earliest, LoopTimers::systemWallClock() + maximumArmSeconds);
        seconds = std::max(seconds, 1.0);
        // A positive due time is absolute, in UTC: Windows moves it with the clock.
        LARGE_INTEGER due;
        due.QuadPart = static_cast<LONGLONG>(std::ceil((seconds + fileTimeEpochOffset) * 1e7));
        SetWaitableTimer(clockTimer, &due, 0, nullptr, nullptr, FALSE);
    }

    // The clock was set or the machine woke: the timer is set anew and the due ones run on
    // the turn this message ends.
    void clockMayHaveChanged() { armClockTimer(true); }

    void dispatchMessages() {
        MSG message;
        // Bounded, so that a flood of messages cannot hold off due tasks and timers.
        for (int i = 0; i < 256 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++i) {
            if (message.message == WM_QUIT) {
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    void wait() {
        DWORD timeout = INFINITE;
        if (std::optional<Clock::duration> wait = timers.timeToWait()) {
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(*wait).count();
            timeout = static_cast<DWORD>(std::clamp<long long>(ms, 0, 0x7ffffffe));
        }
        HANDLE handles[2];
        DWORD count = 0;
        for (HANDLE handle : {wakeEvent, clockTimer}) {
            if (handle != nullptr) {
                handles[count++] = handle;
            }
        }
        // MWMO_INPUTAVAILABLE: messages already in the queue but seen by an earlier peek
        // wake the wait too.
        MsgWaitForMultipleObjectsEx(count, handles, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        dispatchMessages();
    }
};

namespace {

LRESULT CALLBACK loopWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<WindowsLoop::State*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_TIMECHANGE:
            if (state != nullptr) {
                state->clockMayHaveChanged();
            }
            return 0;
        case WM_POWERBROADCAST:
            if (state != nullptr &&
                (wParam == PBT_APMRESUMEAUTOMATIC || wParam == PBT_APMRESUMESUSPEND)) {
                state->clockMayHaveChanged();
            }
            return TRUE;
        case WM_DISPLAYCHANGE:
        case WM_SETTINGCHANGE:
            if (state != nullptr) {
                for (size_t i = 0; i < state->displayHooks.size(); ++i) {
                    state->displayHooks[i]();
                }
            }
            return 0;
        case WM_ENDSESSION:
            // The user logs off: the shields go with the process, as at any other end.
            if (wParam != 0) {
                streams::exitNow(0);
            }
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Windows 10 and later may slow down a process without a visible window (EcoQoS) and
// coalesce its timers; a held activity opts the process out. Looked up at run time, as the
// call is missing from older systems.
void setThrottling(bool allowed) {
    using SetProcessInformationFunction =
        BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
    static auto function = reinterpret_cast<SetProcessInformationFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetProcessInformation")));
    if (function == nullptr) {
        return;
    }
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED;
    state.StateMask = allowed ? PROCESS_POWER_THROTTLING_EXECUTION_SPEED : 0;
    function(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}

}  // namespace

WindowsLoop::WindowsLoop() : state_(std::make_unique<State>()) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = loopWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = loopWindowClass;
    RegisterClassExW(&windowClass);
    // A top-level window, never shown: WM_TIMECHANGE and WM_POWERBROADCAST are broadcast to
    // top-level windows only, not to message-only ones.
    state_->window = CreateWindowExW(WS_EX_TOOLWINDOW, loopWindowClass, L"shield-helper", WS_POPUP,
                                     0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    SetWindowLongPtrW(state_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state_.get()));
    // The first ShowWindow of a process may take its show command from the host's start-up
    // information instead (a host that asked for SW_HIDE); it is spent here, on a window that
    // stays hidden, rather than on a shield.
    ShowWindow(state_->window, SW_HIDE);
    if (state_->window == nullptr) {
        // No broadcasts then: a clock set or a resume is found by the look at the clock once
        // a second instead.
        std::fputs("shield-helper: could not create the main loop's window\n", stderr);
    }
    state_->wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    state_->clockTimer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    if (state_->wakeEvent == nullptr) {
        std::fputs("shield-helper: could not create the main loop's wake-up event\n", stderr);
        streams::exitNow(1);
    }
}

WindowsLoop::~WindowsLoop() {
    if (state_->clockTimer != nullptr) {
        CloseHandle(state_->clockTimer);
    }
    if (state_->wakeEvent != nullptr) {
        CloseHandle(state_->wakeEvent);
    }
    if (state_->window != nullptr) {
        DestroyWindow(state_->window);
    }
}

void WindowsLoop::post(Task task) {
    // Only the first task of a batch needs to wake the loop: it takes the whole queue at once.
    if (state_->timers.post(std::move(task))) {
        SetEvent(state_->wakeEvent);
    }
}

void WindowsLoop::postDelayed(double delaySeconds, Task task) {
    state_->timers.postDelayed(delaySeconds, std::move(task));
}

std::shared_ptr<Timer> WindowsLoop::scheduleTimer(double intervalSeconds, bool repeats,
                                                  Task action) {
    return state_->timers.scheduleTimer(intervalSeconds, repeats, std::move(action));
}

std::shared_ptr<Timer> WindowsLoop::scheduleWallClockTimer(double epochSeconds, Task action) {
    auto timer = state_->timers.scheduleWallClockTimer(epochSeconds, std::move(action));
    state_->armClockTimer(false);
    return timer;
}

double WindowsLoop::now() const {
    return state_->timers.now();
}

double WindowsLoop::uptime() const {
    return LoopTimers::uptime();
}

void WindowsLoop::setActivationPolicy(ActivationPolicy policy) {
    state_->policy = policy;
}

namespace {

class ThrottlingActivity final : public Activity {
  public:
    explicit ThrottlingActivity(int& count) : count_(count) {
        if (count_++ == 0) {
            setThrottling(false);
        }
    }
    ~ThrottlingActivity() override { end(); }
    void end() override {
        if (!ended_) {
            ended_ = true;
            if (--count_ == 0) {
                setThrottling(true);
            }
        }
    }

  private:
    int& count_;
    bool ended_ = false;
};

}  // namespace

std::shared_ptr<Activity> WindowsLoop::beginActivity(const std::string&) {
    return std::make_shared<ThrottlingActivity>(state_->activities);
}

void WindowsLoop::run() {
    for (;;) {
        state_->timers.runDue();
        state_->armClockTimer(false);
        // Hooks run after due work and may post more; the wait then returns at once.
        for (size_t i = 0; i < state_->prepareHooks.size(); ++i) {
            state_->prepareHooks[i]();
        }
        state_->wait();
    }
}

void WindowsLoop::terminate() {
    if (!state_->terminating) {
        state_->terminating = true;
        for (size_t i = 0; i < state_->exitHooks.size(); ++i) {
            state_->exitHooks[i]();
        }
    }
    // The input thread may still be blocked in ReadFile, which this does not wait for; the
    // process's windows go with it.
    streams::exitNow(0);
}

void WindowsLoop::addPrepareHook(Task hook) {
    state_->prepareHooks.push_back(std::move(hook));
}

void WindowsLoop::addExitHook(Task hook) {
    state_->exitHooks.push_back(std::move(hook));
}

void WindowsLoop::addDisplayHook(Task hook) {
    state_->displayHooks.push_back(std::move(hook));
}

}  // namespace sh
