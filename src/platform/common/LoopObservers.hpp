// Window observers for desktops that learn of window changes from their own events rather than
// from an accessibility service: the desktop reports each change here, and the observers
// registered for it hear of it once the desktop's turn is over, as from a run-loop source.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/Accessibility.hpp"
#include "platform/MainLoop.hpp"

namespace sh {

class LoopObservers {
  public:
    explicit LoopObservers(MainLoop& loop) : loop_(loop) {}

    // An observer of one process's windows; every notification it registers is accepted.
    std::unique_ptr<WindowObserver> create(int32_t pid, AccessibilityCallback callback) {
        auto record = std::make_shared<Record>();
        record->pid = pid;
        record->callback = std::move(callback);
        records_.push_back(record);
        return std::make_unique<Observer>(record);
    }

    // A window of process `pid` changed: the observers of that process that registered
    // `notification` hear of it at the next `flush`, once however often it was delivered
    // meanwhile.
    void deliver(int32_t pid, const char* notification) {
        for (const auto& weak : records_) {
            auto record = weak.lock();
            if (!record || record->pid != pid || !record->notifications.contains(notification)) {
                continue;
            }
            pending_.insert({record, notification});
        }
        if (!pending_.empty() && !flushPosted_) {
            // For a delivery outside a turn that flushes (a query reading the server anew).
            flushPosted_ = true;
            loop_.post([alive = std::weak_ptr<int>(alive_), this] {
                if (!alive.expired()) {
                    flushPosted_ = false;
                    flush();
                }
            });
        }
    }

    // Calls the observers for what was delivered since the last flush. The desktop calls it
    // at the end of the turn that handled its events, as a run-loop source would.
    void flush() {
        std::erase_if(records_, [](const auto& weak) { return weak.expired(); });
        std::set<std::pair<std::shared_ptr<Record>, std::string>> due;
        due.swap(pending_);
        for (const auto& [record, name] : due) {
            // Callbacks come only while attached, as from a run-loop source.
            if (record->attached && record->callback && record->observer != nullptr) {
                AccessibilityCallback callback = record->callback;
                callback(*record->observer, name);
            }
        }
    }

  private:
    // One observer's registration, shared between the observer and this table.
    struct Record {
        int32_t pid = 0;
        std::set<std::string> notifications;
        bool attached = false;
        AccessibilityCallback callback;
        WindowObserver* observer = nullptr;
    };

    class Observer final : public WindowObserver {
      public:
        explicit Observer(std::shared_ptr<Record> record) : record_(std::move(record)) {
            record_->observer = this;
        }
        ~Observer() override {
            record_->attached = false;
            record_->observer = nullptr;
            record_->callback = nullptr;
        }
        AccessibilityError addNotification(const std::string& name) override {
            record_->notifications.insert(name);
            return AccessibilityError::success;
        }
        void attachToMainRunLoop() override { record_->attached = true; }
        void detachFromMainRunLoop() override { record_->attached = false; }

      private:
        std::shared_ptr<Record> record_;
    };

    MainLoop& loop_;
    std::vector<std::weak_ptr<Record>> records_;
    std::set<std::pair<std::shared_ptr<Record>, std::string>> pending_;
    bool flushPosted_ = false;
    // Expires with the table, for the flush it may have posted.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace sh
