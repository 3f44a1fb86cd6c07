// The output backlog and what happens to unsolicited lines while the host is not reading.
#include "protocol/OutputQueue.hpp"

#include <algorithm>

namespace sh {

void OutputQueue::push(std::string line, OutputKind kind) {
    {
        std::lock_guard lock(mutex_);
        if (backlog_ + line.size() > limits_.hard) {
            if (kind == OutputKind::event) {
                ++droppedEvents_;
                return;
            }
            if (kind == OutputKind::status) {
                // Each status is a whole picture: the newest one makes the waiting ones moot.
                std::size_t before = waiting_.size();
                std::erase_if(waiting_, [this](const Entry& entry) {
                    if (entry.kind != OutputKind::status) {
                        return false;
                    }
                    backlog_ -= entry.line.size();
                    return true;
                });
                replacedStatuses_ += before - waiting_.size();
            }
        }
        backlog_ += line.size();
        waiting_.push_back({std::move(line), kind});
    }
    lineWaiting_.notify_one();
}

std::optional<std::string> OutputQueue::take() {
    std::unique_lock lock(mutex_);
    lineWaiting_.wait(lock, [this] { return !waiting_.empty() || closed_; });
    if (waiting_.empty()) {
        return std::nullopt;
    }
    std::string line = std::move(waiting_.front().line);
    waiting_.pop_front();
    return line;
}

void OutputQueue::written(std::size_t bytes) {
    {
        std::lock_guard lock(mutex_);
        backlog_ -= std::min(bytes, backlog_);
    }
    backlogShrank_.notify_all();
}

void OutputQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    lineWaiting_.notify_all();
}

bool OutputQueue::waitForRoom(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return backlogShrank_.wait_for(lock, timeout, [this] { return backlog_ < limits_.soft; });
}

bool OutputQueue::waitUntilWritten(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return backlogShrank_.wait_for(lock, timeout, [this] { return backlog_ == 0; });
}

std::size_t OutputQueue::backlogBytes() const {
    std::lock_guard lock(mutex_);
    return backlog_;
}

uint64_t OutputQueue::droppedEvents() const {
    std::lock_guard lock(mutex_);
    return droppedEvents_;
}

uint64_t OutputQueue::replacedStatuses() const {
    std::lock_guard lock(mutex_);
    return replacedStatuses_;
}

}  // namespace sh
