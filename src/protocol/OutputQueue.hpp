// The helper's output backlog: lines waiting for the host to read them. Whoever emits never
// waits on the host; a writer of its own drains the backlog, in order, one whole line at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace sh {

// What a line is to the host, which decides what may happen to it while the host is not
// reading.
enum class OutputKind {
    // "ready", the answer to a command, an error: never dropped. Their number is bounded by
    // the input, which stops being read while the backlog is over its soft limit.
    reply,
    // An unsolicited "status": a whole picture of the coverage. Over the hard limit, a new one
    // replaces those still waiting, so the host always learns the latest picture.
    status,
    // An "accessAttempt": over the hard limit it is dropped (and counted).
    event,
};

class OutputQueue {
  public:
    struct Limits {
        std::size_t soft;
        std::size_t hard;
    };
    // Over 1 MiB waiting, the input is no longer read; over 4 MiB, unsolicited messages give
    // way. A host that is merely slow never reaches either.
    static constexpr Limits defaultLimits{1024 * 1024, 4 * 1024 * 1024};

    explicit OutputQueue(Limits limits = defaultLimits) : limits_(limits) {}

    // Never blocks. The line includes its LF.
    void push(std::string line, OutputKind kind);

    // The writer's side: waits for the next line and takes it; it stays in the backlog until
    // `written`. Absent once the queue is closed and empty.
    std::optional<std::string> take();
    void written(std::size_t bytes);
    // Ends `take` for good once the backlog is empty.
    void close();

    // Waits until the backlog is under the soft limit, at most `timeout`; true when it is.
    bool waitForRoom(std::chrono::milliseconds timeout);
    // Waits until every line pushed so far has been written, at most `timeout`.
    bool waitUntilWritten(std::chrono::milliseconds timeout);

    std::size_t backlogBytes() const;
    uint64_t droppedEvents() const;
    uint64_t replacedStatuses() const;

  private:
    struct Entry {
        std::string line;
        OutputKind kind;
    };

    Limits limits_;
    mutable std::mutex mutex_;
    std::condition_variable lineWaiting_;
    std::condition_variable backlogShrank_;
    std::deque<Entry> waiting_;
    std::size_t backlog_ = 0;  // Bytes waiting, and those of the line being written.
    bool closed_ = false;
    uint64_t droppedEvents_ = 0;
    uint64_t replacedStatuses_ = 0;
};

}  // namespace sh
