// The main thread's loop on macOS: the shared application object runs it, the main dispatch
// queue carries posted and delayed tasks, and NSTimer carries timers.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "platform/macos/MacServices.hpp"

namespace sh::macos {
namespace {

// An NSTimer scheduled on the main run loop. The run loop keeps the timer itself alive until it
// is invalidated or, for a one-shot timer, has fired; this handle only stops it.
class AppKitTimer final : public Timer {
  public:
    explicit AppKitTimer(NSTimer* timer) : timer_(timer) {}
    ~AppKitTimer() override = default;

    void invalidate() override { [timer_ invalidate]; }
    bool isValid() const override { return timer_.valid; }

  private:
    NSTimer* timer_;
};

// Dispatch takes nanoseconds as a signed 64-bit count; a delay that does not fit (or is not a
// number at all) must not reach the conversion, which would be undefined.
dispatch_time_t dispatchTimeAfter(double delaySeconds) {
    if (!(delaySeconds > 0)) {
        return dispatch_time(DISPATCH_TIME_NOW, 0);
    }
    const double nanoseconds = delaySeconds * static_cast<double>(NSEC_PER_SEC);
    if (nanoseconds >= 0x1p62) {
        return DISPATCH_TIME_FOREVER;
    }
    return dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(nanoseconds));
}

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
    dispatch_after(dispatchTimeAfter(delaySeconds), dispatch_get_main_queue(), ^{
      @autoreleasepool {
          task();
      }
    });
}

std::shared_ptr<Timer> AppKitLoop::scheduleTimer(double intervalSeconds, bool repeats,
                                                 Task action) {
    // The block receives the timer but does not need it; capturing nothing but the action
    // keeps the timer free of any reference back to its owner.
    NSTimer* timer = [NSTimer scheduledTimerWithTimeInterval:intervalSeconds
                                                     repeats:repeats ? YES : NO
                                                       block:^(NSTimer*) {
                                                         @autoreleasepool {
                                                             action();
                                                         }
                                                       }];
    return std::make_shared<AppKitTimer>(timer);
}

double AppKitLoop::now() const {
    return [[NSDate date] timeIntervalSince1970];
}

void AppKitLoop::setActivationPolicy(ActivationPolicy policy) {
    [[NSApplication sharedApplication]
        setActivationPolicy:static_cast<NSApplicationActivationPolicy>(policy)];
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
