// The headless desktop: every query answers "nothing there" and every operation is accepted and
// ignored, so that the protocol and the block's lifecycle work without a display.
#include "platform/linux/HeadlessDesktop.hpp"

#include <thread>

namespace sh {

namespace {

class HeadlessToken final : public NotificationToken {};

// Hands out tokens and accepts their removal; there is nothing to announce, so it never posts.
class HeadlessNotificationCenter final : public NotificationCenter {
  public:
    std::shared_ptr<NotificationToken> addObserver(NotificationName, NotificationBlock) override {
        return std::make_shared<HeadlessToken>();
    }
    void removeObserver(const std::shared_ptr<NotificationToken>&) override {}
};

class HeadlessWorkspace final : public Workspace {
  public:
    std::vector<RunningApplication> runningApplications() override { return {}; }
    std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
    NotificationCenter& notificationCenter() override { return center_; }

  private:
    HeadlessNotificationCenter center_;
};

// Nobody can grant a permission without a desktop, so the helper is never trusted.
class HeadlessAccessibility final : public Accessibility {
  public:
    bool isProcessTrusted() override { return false; }
    bool isProcessTrustedWithOptions(bool) override { return false; }
    std::optional<UntrustedReason> untrustedReason() override { return reason; }
    UntrustedReason reason;
    std::unique_ptr<WindowObserver> createObserver(int32_t, AccessibilityCallback) override {
        return nullptr;
    }
};

// A panel with no window behind it. It keeps its view until it is closed, as a real panel does.
class HeadlessPanel final : public Panel {
  public:
    void setContentView(std::shared_ptr<PanelContent> view, const ContentViewOptions&) override {
        view_ = std::move(view);
    }
    void setFrame(const Rect&, bool) override {}
    void orderWindow(WindowOrderingMode, int64_t) override {}
    void makeKeyWindow() override {}
    bool isKeyWindow() override { return false; }
    // Nothing is ever shown.
    bool isInPlace() override { return false; }
    void close() override { view_.reset(); }

  private:
    std::shared_ptr<PanelContent> view_;
};

}  // namespace

struct HeadlessDesktop::Services {
    HeadlessWorkspace workspace;
    HeadlessNotificationCenter defaultCenter;
    HeadlessAccessibility accessibility;
};

HeadlessDesktop::HeadlessDesktop(UntrustedReason reason)
    : loop_(std::make_unique<PollLoop>()), services_(std::make_unique<Services>()) {
    services_->accessibility.reason = std::move(reason);
}

HeadlessDesktop::~HeadlessDesktop() = default;

void HeadlessDesktop::runInBackground(Task task) {
    std::thread(std::move(task)).detach();
}

Workspace& HeadlessDesktop::workspace() {
    return services_->workspace;
}

NotificationCenter& HeadlessDesktop::defaultCenter() {
    return services_->defaultCenter;
}

WindowInfoList HeadlessDesktop::copyWindowInfo(uint32_t, int64_t) {
    return std::vector<WindowInfoRecord>{};
}

std::shared_ptr<Panel> HeadlessDesktop::createPanel(const PanelConfiguration&) {
    return std::make_shared<HeadlessPanel>();
}

Accessibility& HeadlessDesktop::accessibility() {
    return services_->accessibility;
}

}  // namespace sh
