// The main thread's loop on macOS: the shared application object runs it, the main dispatch
// queue carries posted tasks, NSTimer in the common modes carries delayed tasks and timers, and
// a dispatch wall-time source carries wall-clock timers.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <utility>

#include "platform/macos/MacServices.hpp"
#include "platform/macos/MacStrings.hpp"

namespace sh::macos {
namespace {

// An NSTimer on the main run loop. The run loop keeps the timer itself alive until it is
// invalidated or, for a one-shot timer, has fired; this handle only stops it.
class AppKitTimer final : public Timer {
  public:
    explicit AppKitTimer(NSTimer* timer) : timer_(timer) {}
    ~AppKitTimer() override = default;

    void invalidate() override { [timer_ invalidate]; }
    bool isValid() const override { return timer_.valid; }

  private:
    NSTimer* timer_;
};

// Adds a timer to the main run loop in all common modes, so that it fires during event tracking
// (a drag, a menu, a resize) as well as in the default mode, and returns it.
NSTimer* scheduleInCommonModes(NSTimer* timer) {
    [[NSRunLoop mainRunLoop] addTimer:timer forMode:NSRunLoopCommonModes];
    return timer;
}

// NSTimer intervals are seconds; one that is not a positive number (zero, negative, NaN) means
// "as soon as possible".
NSTimeInterval timerInterval(double seconds) {
    return seconds > 0 ? seconds : 0;
}

double wallClockNow() {
    return [[NSDate date] timeIntervalSince1970];
}

// The dispatch wall time of an instant given in seconds since 1970. Dispatch counts wall time
// in nanoseconds in a signed 64-bit number; an instant beyond it (or not a number at all) is
// never reached by a timer, and the re-evaluations on wake and clock changes still see it.
dispatch_time_t dispatchWallTime(double epochSeconds) {
    if (!(epochSeconds < 0x1p62 / static_cast<double>(NSEC_PER_SEC))) {
        return DISPATCH_TIME_FOREVER;
    }
    const double clamped = epochSeconds > 0 ? epochSeconds : 0;
    const double wholeSeconds = std::floor(clamped);
    struct timespec when {};
    when.tv_sec = static_cast<time_t>(wholeSeconds);
    when.tv_nsec = std::min(static_cast<long>((clamped - wholeSeconds) * NSEC_PER_SEC),
                            static_cast<long>(NSEC_PER_SEC - 1));
    return dispatch_walltime(&when, 0);
}

// A one-shot timer on the wall clock: a dispatch timer source on the main queue, started at a
// dispatch wall time, which keeps counting while the machine sleeps. Its decision is checked
// again whenever the machine wakes or the system clock is changed, since a wall-time source is
// not promised to notice either: it fires when the clock has reached its instant and is
// re-armed otherwise (a clock set back postpones it). Main thread only.
class AppKitWallClockTimer final : public Timer,
                                   public std::enable_shared_from_this<AppKitWallClockTimer> {
  public:
    AppKitWallClockTimer(double epochSeconds, Task action)
        : epochSeconds_(epochSeconds), action_(std::move(action)) {}
    ~AppKitWallClockTimer() override { stop(); }

    AppKitWallClockTimer(const AppKitWallClockTimer&) = delete;
    AppKitWallClockTimer& operator=(const AppKitWallClockTimer&) = delete;

    void start() {
        std::weak_ptr<AppKitWallClockTimer> weak = weak_from_this();
        source_ =
            dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_main_queue());
        // The source holds the timer until it fires or is invalidated, as the loop promises; the
        // cancellation releases this handler and with it that hold.
        std::shared_ptr<AppKitWallClockTimer> held = shared_from_this();
        dispatch_source_set_event_handler(source_, ^{
          @autoreleasepool {
              held->evaluate();
          }
        });
        // The workspace announces wakes; the default centre announces clock changes.
        void (^reevaluate)(NSNotification*) = ^(NSNotification*) {
          if (auto timer = weak.lock()) {
              timer->evaluate();
          }
        };
        wakeObserver_ = [[[NSWorkspace sharedWorkspace] notificationCenter]
            addObserverForName:NSWorkspaceDidWakeNotification
                        object:nil
                         queue:[NSOperationQueue mainQueue]
                    usingBlock:reevaluate];
        clockObserver_ = [[NSNotificationCenter defaultCenter]
            addObserverForName:NSSystemClockDidChangeNotification
                        object:nil
                         queue:[NSOperationQueue mainQueue]
                    usingBlock:reevaluate];
        arm();
        dispatch_resume(source_);
    }

    void invalidate() override {
        // Releases the action, and whatever it holds, at once.
        action_ = nullptr;
        stop();
    }
    bool isValid() const override { return source_ != nil; }

  private:
    void arm() {
        // A hundredth of a second of leeway: the block ends that close to its end time.
        dispatch_source_set_timer(source_, dispatchWallTime(epochSeconds_), DISPATCH_TIME_FOREVER,
                                  NSEC_PER_SEC / 100);
    }

    void evaluate() {
        if (source_ == nil) {
            return;
        }
        if (wallClockNow() < epochSeconds_) {
            arm();
            return;
        }
        // Stopped before the action runs, so that the action may drop its last handle.
        Task action = std::move(action_);
        action_ = nullptr;
        stop();
        if (action) {
            action();
        }
    }

    void stop() {
        if (wakeObserver_ != nil) {
            [[[NSWorkspace sharedWorkspace] notificationCenter] removeObserver:wakeObserver_];
            wakeObserver_ = nil;
        }
        if (clockObserver_ != nil) {
            [[NSNotificationCenter defaultCenter] removeObserver:clockObserver_];
            clockObserver_ = nil;
        }
        if (source_ != nil) {
            dispatch_source_cancel(source_);
            source_ = nil;
        }
    }

    double epochSeconds_;
    Task action_;
    dispatch_source_t source_ = nil;
    id wakeObserver_ = nil;
    id clockObserver_ = nil;
};

// An activity declared to the process-info object; ending it lets the system throttle the
// helper again.
class AppKitActivity final : public Activity {
  public:
    explicit AppKitActivity(id<NSObject> token) : token_(token) {}
    ~AppKitActivity() override { end(); }

    AppKitActivity(const AppKitActivity&) = delete;
    AppKitActivity& operator=(const AppKitActivity&) = delete;

    void end() override {
        if (token_ != nil) {
            [[NSProcessInfo processInfo] endActivity:token_];
            token_ = nil;
        }
    }

  private:
    id<NSObject> token_;
};

}  // namespace

AppKitLoop::AppKitLoop() {
    [NSApplication sharedApplication];
}

void AppKitLoop::post(Task task) {
    // The block copies the task; the core's tasks hold the manager only weakly, so a queued
    // task never keeps it alive.
    dispatch_async(dispatch_get_main_queue(), ^{
      @autoreleasepool {
          task();
      }
    });
}

void AppKitLoop::postDelayed(double delaySeconds, Task task) {
    // A one-shot timer in the common modes rather than a delayed dispatch, so that the short
    // steps after events run on the same terms as the other timers.
    scheduleInCommonModes([NSTimer timerWithTimeInterval:timerInterval(delaySeconds)
                                                 repeats:NO
                                                   block:^(NSTimer*) {
                                                     @autoreleasepool {
                                                         task();
                                                     }
                                                   }]);
}

std::shared_ptr<Timer> AppKitLoop::scheduleTimer(double intervalSeconds, bool repeats,
                                                 Task action) {
    // The block receives the timer but does not need it; capturing nothing but the action
    // keeps the timer free of any reference back to its owner.
    NSTimer* timer =
        scheduleInCommonModes([NSTimer timerWithTimeInterval:timerInterval(intervalSeconds)
                                                     repeats:repeats ? YES : NO
                                                       block:^(NSTimer*) {
                                                         @autoreleasepool {
                                                             action();
                                                         }
                                                       }]);
    return std::make_shared<AppKitTimer>(timer);
}

std::shared_ptr<Timer> AppKitLoop::scheduleWallClockTimer(double epochSeconds, Task action) {
    auto timer = std::make_shared<AppKitWallClockTimer>(epochSeconds, std::move(action));
    timer->start();
    return timer;
}

double AppKitLoop::now() const {
    return wallClockNow();
}

double AppKitLoop::uptime() const {
    return [NSProcessInfo processInfo].systemUptime;
}

void AppKitLoop::setActivationPolicy(ActivationPolicy policy) {
    [[NSApplication sharedApplication]
        setActivationPolicy:static_cast<NSApplicationActivationPolicy>(policy)];
}

std::shared_ptr<Activity> AppKitLoop::beginActivity(const std::string& reason) {
    // User-initiated and latency-critical: no App Nap, no timer coalescing, while the helper's
    // shields may all be hidden; the machine may still sleep when idle.
    NSString* text = (__bridge_transfer NSString*)createString(reason);
    id<NSObject> token = [[NSProcessInfo processInfo]
        beginActivityWithOptions:NSActivityUserInitiatedAllowingIdleSystemSleep |
                                 NSActivityLatencyCritical
                          reason:text];
    return std::make_shared<AppKitActivity>(token);
}

void AppKitLoop::run() {
    [[NSApplication sharedApplication] run];
}

void AppKitLoop::terminate() {
    [[NSApplication sharedApplication] terminate:nil];
    // Without a delegate `terminate:` ends the process itself. Should AppKit ever defer or
    // refuse it, the process still ends here, as every caller relies on.
    std::exit(0);
}

void runInBackground(Task task) {
    dispatch_async(dispatch_get_global_queue(QOS_CLASS_USER_INITIATED, 0), ^{
      @autoreleasepool {
          task();
      }
    });
}

}  // namespace sh::macos
