// The accessibility service: the trust query with its prompt option, and one AXObserver per
// process whose callbacks arrive on the main run loop.
#include <ApplicationServices/ApplicationServices.h>

#include <string>
#include <unordered_map>
#include <utility>

#include "platform/macos/MacServices.hpp"
#include "platform/macos/MacStrings.hpp"

namespace sh::macos {
namespace {

// Accessibility calls are synchronous messages to the observed application; a hung application
// would otherwise hold the helper for the system's default timeout (several seconds) on every
// call made through its element. The only calls made through it are the notification
// registrations: one cut short by this timeout reports that it could not complete, and the core
// keeps it to make again at the next pass, so the timeout delays a registration but never loses
// it.
constexpr float applicationMessagingTimeout = 0.25F;

class AppKitWindowObserver;

// The observers are registered without a context value, so the C callback finds the observer
// that received a notification through this table. Main thread only. It is never destroyed:
// an observer released while the process exits must still find it.
std::unordered_map<AXObserverRef, AppKitWindowObserver*>& observerTable() {
    static auto* table = new std::unordered_map<AXObserverRef, AppKitWindowObserver*>();
    return *table;
}

class AppKitWindowObserver final : public WindowObserver {
  public:
    // Takes ownership of both references, which the creating calls returned.
    AppKitWindowObserver(AXObserverRef observer, AXUIElementRef application,
                         AccessibilityCallback callback)
        : observer_(observer), application_(application), callback_(std::move(callback)) {
        observerTable()[observer_] = this;
    }

    ~AppKitWindowObserver() override {
        // The run-loop source goes before the observer is released, so that no callback can
        // arrive for an observer that no longer exists.
        detachFromMainRunLoop();
        observerTable().erase(observer_);
        CFRelease(application_);
        CFRelease(observer_);
    }

    AppKitWindowObserver(const AppKitWindowObserver&) = delete;
    AppKitWindowObserver& operator=(const AppKitWindowObserver&) = delete;

    AccessibilityError addNotification(const std::string& name) override {
        CFStringRef notification = createString(name);
        const AXError result =
            AXObserverAddNotification(observer_, application_, notification, nullptr);
        CFRelease(notification);
        return static_cast<AccessibilityError>(result);
    }

    void attachToMainRunLoop() override {
        if (attached_) {
            return;
        }
        CFRunLoopAddSource(CFRunLoopGetMain(), AXObserverGetRunLoopSource(observer_),
                           kCFRunLoopCommonModes);
        attached_ = true;
    }

    void detachFromMainRunLoop() override {
        if (!attached_) {
            return;
        }
        CFRunLoopRemoveSource(CFRunLoopGetMain(), AXObserverGetRunLoopSource(observer_),
                              kCFRunLoopCommonModes);
        attached_ = false;
    }

    void deliver(CFStringRef notification) {
        // A copy, so that the callback stays intact even if it ends up destroying this observer.
        AccessibilityCallback callback = callback_;
        if (callback) {
            callback(*this, optionalString(notification).value_or(std::string()));
        }
    }

  private:
    AXObserverRef observer_;
    AXUIElementRef application_;
    AccessibilityCallback callback_;
    bool attached_ = false;
};

void observerCallback(AXObserverRef observer, AXUIElementRef, CFStringRef notification, void*) {
    auto& table = observerTable();
    const auto found = table.find(observer);
    if (found == table.end()) {
        return;
    }
    found->second->deliver(notification);
}

class AppKitAccessibility final : public Accessibility {
  public:
    bool isProcessTrusted() override { return AXIsProcessTrusted(); }

    bool isProcessTrustedWithOptions(bool prompt) override {
        const void* keys[] = {kAXTrustedCheckOptionPrompt};
        const void* values[] = {prompt ? kCFBooleanTrue : kCFBooleanFalse};
        CFDictionaryRef options =
            CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                               &kCFTypeDictionaryValueCallBacks);
        const bool trusted = AXIsProcessTrustedWithOptions(options);
        CFRelease(options);
        return trusted;
    }

    std::unique_ptr<WindowObserver> createObserver(int32_t processIdentifier,
                                                   AccessibilityCallback callback) override {
        AXObserverRef observer = nullptr;
        const AXError result = AXObserverCreate(processIdentifier, observerCallback, &observer);
        if (result != kAXErrorSuccess || observer == nullptr) {
            if (observer != nullptr) {
                CFRelease(observer);
            }
            return nullptr;
        }
        AXUIElementRef application = AXUIElementCreateApplication(processIdentifier);
        if (application == nullptr) {
            CFRelease(observer);
            return nullptr;
        }
        AXUIElementSetMessagingTimeout(application, applicationMessagingTimeout);
        return std::make_unique<AppKitWindowObserver>(observer, application, std::move(callback));
    }
};

}  // namespace

std::unique_ptr<Accessibility> makeAccessibility() {
    return std::make_unique<AppKitAccessibility>();
}

}  // namespace sh::macos
