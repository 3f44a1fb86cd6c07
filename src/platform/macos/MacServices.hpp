// The AppKit, dispatch, CoreGraphics and accessibility services behind the macOS desktop. Each
// is reached through the boundary's own interfaces; no Objective-C type appears here, so plain
// C++ may include this header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Desktop.hpp"

namespace sh::macos {

// The application object and the main dispatch queue. It keeps no state of its own: AppKit and
// dispatch hold everything, so any number of these views of them may exist.
class AppKitLoop final : public MainLoop, public Application {
  public:
    // Creates the shared application object if it does not exist yet.
    AppKitLoop();

    // MainLoop
    void post(Task task) override;
    void postDelayed(double delaySeconds, Task task) override;
    std::shared_ptr<Timer> scheduleTimer(double intervalSeconds, bool repeats,
                                         Task action) override;
    std::shared_ptr<Timer> scheduleWallClockTimer(double epochSeconds, Task action) override;
    double now() const override;
    double uptime() const override;

    // Application
    void setActivationPolicy(ActivationPolicy policy) override;
    std::shared_ptr<Activity> beginActivity(const std::string& reason) override;
    void run() override;
    [[noreturn]] void terminate() override;
};

// A global queue of user-initiated quality of service.
void runInBackground(Task task);

// The shared workspace: running applications and its notification centre.
std::unique_ptr<Workspace> makeWorkspace();
// The process's default notification centre.
std::unique_ptr<NotificationCenter> makeDefaultCenter();
// The frames of `NSScreen screens`, primary first.
std::vector<Rect> screenFrames();
// `CGWindowListCopyWindowInfo` turned into raw records.
WindowInfoList copyWindowInfo(uint32_t options, int64_t relativeToWindow);
// A shield panel built from the configuration, not yet on screen.
std::shared_ptr<Panel> makePanel(const PanelConfiguration& configuration);
// The accessibility trust query and window observers.
std::unique_ptr<Accessibility> makeAccessibility();

}  // namespace sh::macos
