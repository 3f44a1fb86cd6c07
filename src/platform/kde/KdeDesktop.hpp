// The Linux desktop on a KDE Plasma Wayland session: the poll loop, with windows reported and
// veils placed by a KWin script that the helper loads into KWin, and the veils themselves
// Wayland windows of the helper's own.
#pragma once

#include <memory>

#include "platform/Desktop.hpp"

namespace sh {

// The helper's object, through which its KWin script reports and asks for commands.
inline constexpr const char* kdeHelperPath = "/org/shieldhelper/KWin1";
inline constexpr const char* kdeHelperInterface = "org.shieldhelper.KWin1";
// The application id of the veil windows, by which the script knows them (with their process).
inline constexpr const char* kdeVeilAppId = "org.shieldhelper.veil";

class KdeDesktop final : public Desktop {
  public:
    // Connects to the session bus and the compositor; null unless the session is KDE's (by
    // $KDE_FULL_SESSION or $XDG_CURRENT_DESKTOP), KWin is on the bus and the Wayland display
    // answers. The script is loaded at once; the permission waits for its first report.
    static std::unique_ptr<KdeDesktop> connect();
    ~KdeDesktop() override;

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
    explicit KdeDesktop(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace sh
