// The accessibility service: the trust query, and window observers, one per process, that
// report window changes of that process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sh {

class WindowObserver;

// What a registration of a notification on an application's element returned, by the
// accessibility service's own error values. A desktop passes its answer through unchanged,
// including values not named here; what counts as done is the core's decision.
enum class AccessibilityError : int32_t {
    success = 0,
    failure = -25200,
    illegalArgument = -25201,
    invalidUIElement = -25202,
    invalidUIElementObserver = -25203,
    cannotComplete = -25204,
    notificationUnsupported = -25207,
    notImplemented = -25208,
    notificationAlreadyRegistered = -25209,
    apiDisabled = -25211,
};

// Runs on the main thread for every notification an attached observer receives.
using AccessibilityCallback =
    std::function<void(WindowObserver& observer, const std::string& notification)>;

// One observer on one application's accessibility element. Destroying it releases it.
class WindowObserver {
  public:
    virtual ~WindowObserver() = default;
    // Registers a notification on the application's element with no context value, and
    // returns the service's answer (an application that is still launching may not be able
    // to take it yet).
    virtual AccessibilityError addNotification(const std::string& name) = 0;
    // Attaches the observer to the main run loop (all common modes) / detaches it. Callbacks
    // arrive only while attached.
    virtual void attachToMainRunLoop() = 0;
    virtual void detachFromMainRunLoop() = 0;
};

// Why a desktop whose trust no user grants does not trust the helper: a short code a host can
// act on (for example "no-display") and a sentence for the person reading the helper's log.
struct UntrustedReason {
    std::string code;
    std::string explanation;
    friend bool operator==(const UntrustedReason&, const UntrustedReason&) = default;
};

class Accessibility {
  public:
    virtual ~Accessibility() = default;
    // Whether the helper is trusted for accessibility now.
    virtual bool isProcessTrusted() = 0;
    // The same answer; with `prompt` the system may also ask the user to grant the
    // permission. Does not wait for the user.
    virtual bool isProcessTrustedWithOptions(bool prompt) = 0;
    // Why the helper is not trusted now, on desktops where the trust is not the user's to
    // give; absent where it is (the user grants it in the system's settings) or when trusted.
    virtual std::optional<UntrustedReason> untrustedReason() { return std::nullopt; }
    // An observer for the process, or null when it cannot be created.
    virtual std::unique_ptr<WindowObserver> createObserver(int32_t processIdentifier,
                                                           AccessibilityCallback callback) = 0;
};

}  // namespace sh
