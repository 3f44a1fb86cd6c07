// The Windows desktop: the Win32 message loop, the top-level windows found with EnumWindows
// and followed through WinEvent hooks, and shields as layered windows of the helper's own.
#pragma once

#include <memory>

#include "platform/Desktop.hpp"

namespace sh {

class WindowsDesktop final : public Desktop {
  public:
    WindowsDesktop();
    ~WindowsDesktop() override;

    Application& application() override;
    MainLoop& mainLoop() override;
    // Starts a detached thread; the process ends through terminate(), never by joining it.
    void runInBackground(Task task) override;

    Workspace& workspace() override;
    NotificationCenter& defaultCenter() override;
    // The monitors, the primary first, in panel coordinates (origin at the primary monitor's
    // bottom-left, y upwards).
    std::vector<Rect> screens() override;
    // Every top-level window of other processes, front to back.
    WindowInfoList copyWindowInfo(uint32_t options, int64_t relativeToWindow) override;
    std::shared_ptr<Panel> createPanel(const PanelConfiguration& configuration) override;
    Accessibility& accessibility() override;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace sh
