// The Linux desktop on an X display: the poll loop with the X connection as one of its
// sources, applications and window events found by the window tracker, shields as X windows.
#pragma once

#include <memory>

#include "platform/Desktop.hpp"

namespace sh {

namespace x11 {
class WindowTracker;
}

class X11Desktop final : public Desktop {
  public:
    // Connects to $DISPLAY; null when there is no display or the connection fails.
    static std::unique_ptr<X11Desktop> connect();
    ~X11Desktop() override;

    Application& application() override;
    MainLoop& mainLoop() override;
    // Starts a detached thread; the process ends through terminate(), never by joining it.
    void runInBackground(Task task) override;

    Workspace& workspace() override;
    NotificationCenter& defaultCenter() override;
    std::vector<Rect> screens() override;
    WindowInfoList copyWindowInfo(uint32_t options, int64_t relativeToWindow) override;
    std::shared_ptr<Panel> createPanel(const PanelConfiguration& configuration) override;
    Accessibility& accessibility() override;

    struct State;

  private:
    explicit X11Desktop(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace sh
