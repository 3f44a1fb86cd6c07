// Names of the desktop notifications, for logs and test output.
#include "platform/Workspace.hpp"

namespace sh {

const char* notificationNameText(NotificationName name) {
    switch (name) {
        case NotificationName::workspaceDidLaunchApplication:
            return "NSWorkspaceDidLaunchApplicationNotification";
        case NotificationName::workspaceDidTerminateApplication:
            return "NSWorkspaceDidTerminateApplicationNotification";
        case NotificationName::workspaceDidActivateApplication:
            return "NSWorkspaceDidActivateApplicationNotification";
        case NotificationName::workspaceDidHideApplication:
            return "NSWorkspaceDidHideApplicationNotification";
        case NotificationName::workspaceDidUnhideApplication:
            return "NSWorkspaceDidUnhideApplicationNotification";
        case NotificationName::workspaceActiveSpaceDidChange:
            return "NSWorkspaceActiveSpaceDidChangeNotification";
        case NotificationName::applicationDidChangeScreenParameters:
            return "NSApplicationDidChangeScreenParametersNotification";
    }
    return "";
}

}  // namespace sh
