// The macOS desktop: AppKit, dispatch, CoreGraphics and the accessibility service, each reached
// through the boundary. It delivers raw facts and performs operations; the core decides.
#include <memory>
#include <utility>

#include "platform/Desktop.hpp"
#include "platform/macos/MacServices.hpp"

namespace sh {
namespace {

class AppKitDesktop final : public Desktop {
  public:
    AppKitDesktop()
        : workspace_(macos::makeWorkspace()),
          defaultCenter_(macos::makeDefaultCenter()),
          accessibility_(macos::makeAccessibility()) {}

    Application& application() override { return loop_; }
    MainLoop& mainLoop() override { return loop_; }
    void runInBackground(Task task) override { macos::runInBackground(std::move(task)); }
    Workspace& workspace() override { return *workspace_; }
    NotificationCenter& defaultCenter() override { return *defaultCenter_; }
    std::vector<Rect> screens() override { return macos::screenFrames(); }
    WindowInfoList copyWindowInfo(uint32_t options, int64_t relativeToWindow) override {
        return macos::copyWindowInfo(options, relativeToWindow);
    }
    std::shared_ptr<Panel> createPanel(const PanelConfiguration& configuration) override {
        return macos::makePanel(configuration);
    }
    Accessibility& accessibility() override { return *accessibility_; }

  private:
    // First, so that the shared application object exists before anything else is touched.
    macos::AppKitLoop loop_;
    std::unique_ptr<Workspace> workspace_;
    std::unique_ptr<NotificationCenter> defaultCenter_;
    std::unique_ptr<Accessibility> accessibility_;
};

}  // namespace

std::unique_ptr<Desktop> createDesktop() {
    return std::make_unique<AppKitDesktop>();
}

}  // namespace sh
