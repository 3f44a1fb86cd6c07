// A notification centre that delivers through the main loop, shared by the desktops that post
// their own workspace notifications (the Linux and Windows desktops).
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/MainLoop.hpp"
#include "platform/Workspace.hpp"

namespace sh {

class LoopCenterToken final : public NotificationToken {};

// Delivers each notification to the blocks registered for its name through the main loop,
// as the main operation queue would; a registration removed before delivery gets nothing.
class LoopNotificationCenter final : public NotificationCenter {
  public:
    explicit LoopNotificationCenter(MainLoop& loop) : loop_(loop) {}

    std::shared_ptr<NotificationToken> addObserver(NotificationName name,
                                                   NotificationBlock block) override {
        auto token = std::make_shared<LoopCenterToken>();
        auto registration = std::make_shared<Registration>(Registration{name, std::move(block)});
        registrations_.emplace_back(token, registration);
        return token;
    }

    void removeObserver(const std::shared_ptr<NotificationToken>& token) override {
        std::erase_if(registrations_, [&](const auto& entry) {
            if (entry.first != token) {
                return false;
            }
            entry.second->block = nullptr;
            return true;
        });
    }

    void post(const Notification& notification) {
        for (const auto& [token, registration] : registrations_) {
            if (registration->name != notification.name) {
                continue;
            }
            std::weak_ptr<Registration> weak = registration;
            loop_.post([weak, notification] {
                auto live = weak.lock();
                if (live && live->block) {
                    NotificationBlock block = live->block;
                    block(notification);
                }
            });
        }
    }

  private:
    struct Registration {
        NotificationName name;
        NotificationBlock block;
    };
    MainLoop& loop_;
    std::vector<std::pair<std::shared_ptr<NotificationToken>, std::shared_ptr<Registration>>>
        registrations_;
};

}  // namespace sh
