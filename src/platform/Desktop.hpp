// The one interface between the portable core and a desktop. A desktop delivers raw facts and
// performs operations; every decision about them is made in the core.
#pragma once

#include <memory>
#include <vector>

#include "platform/Accessibility.hpp"
#include "platform/Geometry.hpp"
#include "platform/MainLoop.hpp"
#include "platform/Panel.hpp"
#include "platform/WindowList.hpp"
#include "platform/Workspace.hpp"

namespace sh {

class Desktop {
  public:
    virtual ~Desktop() = default;

    virtual Application& application() = 0;
    virtual MainLoop& mainLoop() = 0;
    // Runs a task on a background thread (the input loop runs there).
    virtual void runInBackground(Task task) = 0;

    virtual Workspace& workspace() = 0;
    // The process's default centre; it posts the screen-parameters notification.
    virtual NotificationCenter& defaultCenter() = 0;
    // Screen frames in global panel coordinates; the first is the primary screen, whose
    // frame has its origin at (0, 0). May be empty.
    virtual std::vector<Rect> screens() = 0;
    // The window list, front to back, for the given options and relative window.
    virtual WindowInfoList copyWindowInfo(uint32_t options, int64_t relativeToWindow) = 0;
    // A new panel, not yet on screen.
    virtual std::shared_ptr<Panel> createPanel(const PanelConfiguration& configuration) = 0;
    virtual Accessibility& accessibility() = 0;
};

// The desktop this build runs on: AppKit on Apple; elsewhere GNOME on a Wayland session whose
// shell serves the companion extension, X11 when a display is reachable and a headless desktop
// otherwise. Each desktop build supplies exactly one definition.
std::unique_ptr<Desktop> createDesktop();

}  // namespace sh
