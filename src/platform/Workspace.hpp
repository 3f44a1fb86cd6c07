// Running applications and the notification centres that announce workspace and screen
// changes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sh {

struct RunningApplication {
    // The application's identifier, as the desktop names it; absent for some processes.
    std::optional<std::string> bundleIdentifier;
    int32_t processIdentifier = 0;
    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

enum class NotificationName {
    workspaceDidLaunchApplication,
    workspaceDidTerminateApplication,
    workspaceDidActivateApplication,
    workspaceDidHideApplication,
    workspaceDidUnhideApplication,
    // Another Space (virtual desktop) became the active one on some screen; no application.
    workspaceActiveSpaceDidChange,
    applicationDidChangeScreenParameters,
};

const char* notificationNameText(NotificationName name);

struct Notification {
    NotificationName name = NotificationName::applicationDidChangeScreenParameters;
    // The application the notification's user info carries. Absent when there is no user
    // info, no application entry, or an entry of another kind.
    std::optional<RunningApplication> application;
};

// What a registration returns; the caller keeps it only to unregister later.
class NotificationToken {
  public:
    virtual ~NotificationToken() = default;
};

using NotificationBlock = std::function<void(const Notification&)>;

class NotificationCenter {
  public:
    virtual ~NotificationCenter() = default;
    // Registers `block` for every notification of `name` from any sender; it then runs on
    // the main thread until the token is removed.
    virtual std::shared_ptr<NotificationToken> addObserver(NotificationName name,
                                                           NotificationBlock block) = 0;
    virtual void removeObserver(const std::shared_ptr<NotificationToken>& token) = 0;
};

class Workspace {
  public:
    virtual ~Workspace() = default;
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // The application that is active now (the one that receives the keyboard), as the desktop
    // sees it at this moment; absent when none is, or when it cannot be told.
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // The centre that posts the workspace notifications: the five about applications and the
    // one about the active Space.
    virtual NotificationCenter& notificationCenter() = 0;
};

}  // namespace sh
