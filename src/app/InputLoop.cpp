// The input loop: reads the host's byte stream, decodes each line and hands the decoded
// commands to the main thread.
#include "app/InputLoop.hpp"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "app/LineSplitter.hpp"
#include "platform/Streams.hpp"

namespace sh {

namespace {

constexpr std::size_t chunkSize = 64 * 1024;

void answerInvalid() {
    emit(errorMessage(texts::invalidCommand));
}

// A decoded line this long left large blocks behind in the allocator; they are handed back
// to the system once it has been handled, so that one huge line does not stay resident.
constexpr std::size_t largeLine = 1024 * 1024;

// Counts the commands posted and not yet handled, and the handled ones, which is how the
// watchdog tells a main thread that moves from one that is stuck.
struct Pending {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t posted = 0;
    uint64_t handled = 0;
};

// Once the process should end, runs `onStall` if the main thread handles nothing for `timeout`.
void watchForStall(std::shared_ptr<Pending> pending, std::chrono::milliseconds timeout,
                   std::function<void()> onStall) {
    std::thread([pending = std::move(pending), timeout, onStall = std::move(onStall)] {
        std::unique_lock lock(pending->mutex);
        for (;;) {
            uint64_t seen = pending->handled;
            if (!pending->changed.wait_for(lock, timeout,
                                           [&] { return pending->handled != seen; })) {
                lock.unlock();
                onStall();
                return;
            }
        }
    }).detach();
}

}  // namespace

void endProcess(Application& application) {
    flushOutput(finalFlushTimeout);
    application.terminate();
}

void runInputLoop(int fd, MainLoop& mainLoop, Application& application, CommandHandler handler,
                  InputLoopOptions options) {
    auto sharedHandler = std::make_shared<CommandHandler>(std::move(handler));
    auto pending = std::make_shared<Pending>();
    bool inputEnded = false;  // The writer hung up: what is left in the pipe is all there is.
    bool watching = false;
    bool sawLargeLine = false;
    auto watch = [&] {
        if (!watching && options.stallTimeout.count() > 0 && options.onStall) {
            watching = true;
            watchForStall(pending, options.stallTimeout, options.onStall);
        }
    };

    auto decodeLine = [&](std::string_view line) {
        std::optional<Command> command = decodeCommand(line);
        sawLargeLine = sawLargeLine || line.size() >= largeLine;
        if (!command) {
            answerInvalid();
            return;
        }
        bool shutdown = command->command == "shutdown";
        {
            // Wait for the main thread to catch up. Once the input has ended, what is left is
            // bounded by the pipe, and the commands must reach the main thread for the process
            // to end after them.
            std::unique_lock lock(pending->mutex);
            while (!inputEnded && pending->posted >= options.maximumPendingCommands) {
                if (!pending->changed.wait_for(lock, std::chrono::milliseconds(100), [&] {
                        return pending->posted < options.maximumPendingCommands;
                    })) {
                    lock.unlock();
                    inputEnded = streams::writerGone(fd);
                    lock.lock();
                }
            }
            ++pending->posted;
        }
        mainLoop.post([sharedHandler, pending, command = std::move(*command)]() mutable {
            (*sharedHandler)(std::move(command));
            {
                std::lock_guard lock(pending->mutex);
                --pending->posted;
                ++pending->handled;
            }
            pending->changed.notify_all();
        });
        if (shutdown || inputEnded) {
            watch();
        }
    };
    LineSplitter splitter(options.maximumLineLength, decodeLine, answerInvalid);

    std::vector<char> chunk(chunkSize);
    for (;;) {
        // A host that does not read what the helper writes is not read from either, so its
        // commands and their answers cannot pile up here. A host that has hung up is read to
        // the end: its input is finite, and it must see the process end.
        while (!inputEnded && !waitForOutputRoom(std::chrono::milliseconds(100))) {
            inputEnded = streams::writerGone(fd);
        }
        std::size_t count = streams::readSome(fd, chunk.data(), chunk.size());
        if (count == 0) {
            break;
        }
        splitter.feed(std::string_view(chunk.data(), count));
        if (sawLargeLine) {
            sawLargeLine = false;
            streams::releaseFreedMemory();
        }
    }
    splitter.finish();
    std::vector<char>().swap(chunk);
    streams::releaseFreedMemory();

    mainLoop.post([&application] { endProcess(application); });
    watch();
}

}  // namespace sh
