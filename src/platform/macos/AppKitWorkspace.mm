// The shared workspace, the notification centres that announce workspace and display changes,
// and the screen list, read through AppKit.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/macos/MacServices.hpp"
#include "platform/macos/MacStrings.hpp"

namespace sh::macos {
namespace {

NSNotificationName appKitName(NotificationName name) {
    switch (name) {
        case NotificationName::workspaceDidLaunchApplication:
            return NSWorkspaceDidLaunchApplicationNotification;
        case NotificationName::workspaceDidTerminateApplication:
            return NSWorkspaceDidTerminateApplicationNotification;
        case NotificationName::workspaceDidActivateApplication:
            return NSWorkspaceDidActivateApplicationNotification;
        case NotificationName::workspaceDidHideApplication:
            return NSWorkspaceDidHideApplicationNotification;
        case NotificationName::workspaceDidUnhideApplication:
            return NSWorkspaceDidUnhideApplicationNotification;
        case NotificationName::workspaceActiveSpaceDidChange:
            return NSWorkspaceActiveSpaceDidChangeNotification;
        case NotificationName::applicationDidChangeScreenParameters:
            return NSApplicationDidChangeScreenParametersNotification;
    }
    return nil;
}

RunningApplication runningApplication(NSRunningApplication* application) {
    RunningApplication result;
    result.bundleIdentifier = optionalString((__bridge CFStringRef)application.bundleIdentifier);
    result.processIdentifier = application.processIdentifier;
    return result;
}

// The application a workspace notification concerns: the entry under NSWorkspaceApplicationKey,
// when there is one and it is a running application.
std::optional<RunningApplication> notifiedApplication(NSNotification* notification) {
    NSDictionary* userInfo = notification.userInfo;
    if (![userInfo isKindOfClass:[NSDictionary class]]) {
        return std::nullopt;
    }
    id entry = userInfo[NSWorkspaceApplicationKey];
    if (![entry isKindOfClass:[NSRunningApplication class]]) {
        return std::nullopt;
    }
    return runningApplication(static_cast<NSRunningApplication*>(entry));
}

class AppKitNotificationToken final : public NotificationToken {
  public:
    explicit AppKitNotificationToken(id registered) : token(registered) {}
    // The opaque object the centre returned; nil once it has been removed.
    id token;
};

class AppKitNotificationCenter final : public NotificationCenter {
  public:
    explicit AppKitNotificationCenter(NSNotificationCenter* center) : center_(center) {}

    std::shared_ptr<NotificationToken> addObserver(NotificationName name,
                                                   NotificationBlock block) override {
        NSNotificationName appKit = appKitName(name);
        if (appKit == nil) {
            return std::make_shared<AppKitNotificationToken>(nil);
        }
        // The block copies the core's handler, which holds the manager only weakly.
        id token = [center_ addObserverForName:appKit
                                        object:nil
                                         queue:[NSOperationQueue mainQueue]
                                    usingBlock:^(NSNotification* notification) {
                                      Notification delivered;
                                      delivered.name = name;
                                      delivered.application = notifiedApplication(notification);
                                      block(delivered);
                                    }];
        return std::make_shared<AppKitNotificationToken>(token);
    }

    void removeObserver(const std::shared_ptr<NotificationToken>& token) override {
        auto* ours = dynamic_cast<AppKitNotificationToken*>(token.get());
        if (ours == nullptr || ours->token == nil) {
            return;
        }
        [center_ removeObserver:ours->token];
        ours->token = nil;
    }

  private:
    NSNotificationCenter* center_;
};

class AppKitWorkspace final : public Workspace {
  public:
    AppKitWorkspace() : center_([[NSWorkspace sharedWorkspace] notificationCenter]) {}

    std::vector<RunningApplication> runningApplications() override {
        NSArray<NSRunningApplication*>* applications =
            [[NSWorkspace sharedWorkspace] runningApplications];
        std::vector<RunningApplication> result;
        result.reserve(applications.count);
        for (NSRunningApplication* application in applications) {
            result.push_back(runningApplication(application));
        }
        return result;
    }

    std::optional<RunningApplication> frontmostApplication() override {
        NSRunningApplication* application = [[NSWorkspace sharedWorkspace] frontmostApplication];
        if (application == nil) {
            return std::nullopt;
        }
        return runningApplication(application);
    }

    NotificationCenter& notificationCenter() override { return center_; }

  private:
    AppKitNotificationCenter center_;
};

}  // namespace

std::unique_ptr<Workspace> makeWorkspace() {
    return std::make_unique<AppKitWorkspace>();
}

std::unique_ptr<NotificationCenter> makeDefaultCenter() {
    return std::make_unique<AppKitNotificationCenter>([NSNotificationCenter defaultCenter]);
}

std::vector<Rect> screenFrames() {
    std::vector<Rect> frames;
    for (NSScreen* screen in [NSScreen screens]) {
        const NSRect frame = screen.frame;
        frames.push_back(Rect{frame.origin.x, frame.origin.y, frame.size.width, frame.size.height});
    }
    return frames;
}

}  // namespace sh::macos
