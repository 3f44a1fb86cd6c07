// The desktop used when no X display is reachable: a real main loop, but no applications, no
// windows, no screens and no accessibility, so a block can be driven but never shields anything.
#pragma once

#include <memory>

#include "platform/Desktop.hpp"
#include "platform/linux/PollLoop.hpp"

namespace sh {

class HeadlessDesktop final : public Desktop {
  public:
    // `reason` says why there is nothing to shield on, in status and on standard error.
    explicit HeadlessDesktop(UntrustedReason reason);
    ~HeadlessDesktop() override;

    Application& application() override { return *loop_; }
    MainLoop& mainLoop() override { return *loop_; }
    // Starts a detached thread; the process ends through terminate(), never by joining it.
    void runInBackground(Task task) override;

    Workspace& workspace() override;
    NotificationCenter& defaultCenter() override;
    std::vector<Rect> screens() override { return {}; }
    WindowInfoList copyWindowInfo(uint32_t options, int64_t relativeToWindow) override;
    std::shared_ptr<Panel> createPanel(const PanelConfiguration& configuration) override;
    Accessibility& accessibility() override;

  private:
    struct Services;
    std::unique_ptr<PollLoop> loop_;
    std::unique_ptr<Services> services_;
};

}  // namespace sh
