// The Linux desktop on a GNOME Wayland session: the poll loop, with windows, applications and
// veils reached through the companion Shell extension over the session bus.
#pragma once

#include <memory>

#include "platform/Desktop.hpp"
#include "platform/linux/PollLoop.hpp"

namespace sh {

// The companion's bus name, object path and interface.
inline constexpr const char* gnomeCompanionName = "org.shieldhelper.Companion1";
inline constexpr const char* gnomeCompanionPath = "/org/shieldhelper/Companion1";
inline constexpr const char* gnomeCompanionInterface = "org.shieldhelper.Companion1";

class GnomeDesktop final : public Desktop {
  public:
    // Connects to the session bus; null when there is no session bus or no GNOME Shell on it.
    // The companion need not be there yet: the permission waits for it.
    static std::unique_ptr<GnomeDesktop> connect();
    ~GnomeDesktop() override;

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
    explicit GnomeDesktop(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace sh
