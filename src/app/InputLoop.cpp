// The input loop: framing of the host's byte stream into lines, and the hand-over of decoded
// commands to the main thread.
#include "app/InputLoop.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sh {

namespace {

constexpr std::size_t chunkSize = 64 * 1024;

// Reads what is available, waiting for it when the descriptor was left non-blocking by the
// host. Returns the byte count, or 0 at the end of input and on any read error.
std::size_t readSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t count = read(fd, buffer, size);
        if (count > 0) {
            return static_cast<std::size_t>(count);
        }
        if (count == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd readable{fd, POLLIN, 0};
            if (poll(&readable, 1, -1) >= 0 || errno == EINTR) {
                continue;
            }
        }
        return 0;
    }
}

void answerInvalid() {
    emit(errorMessage(texts::invalidCommand));
}

}  // namespace

void runInputLoop(int fd, MainLoop& mainLoop, Application& application, CommandHandler handler,
                  std::size_t maximumLineLength) {
    auto sharedHandler = std::make_shared<CommandHandler>(std::move(handler));

    auto finishLine = [&](std::string_view line) {
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        std::optional<Command> command = decodeCommand(line);
        if (!command) {
            answerInvalid();
            return;
        }
        mainLoop.post([sharedHandler, command = std::move(*command)]() mutable {
            (*sharedHandler)(std::move(command));
        });
    };

    std::string pending;     // The start of the current line, when it spans several reads.
    bool oversized = false;  // The current line has outgrown the limit; its bytes are dropped.
    std::vector<char> chunk(chunkSize);

    for (;;) {
        std::size_t count = readSome(fd, chunk.data(), chunk.size());
        if (count == 0) {
            break;
        }
        std::string_view data(chunk.data(), count);
        std::size_t start = 0;
        while (start < data.size()) {
            std::size_t lf = data.find('\n', start);
            std::string_view piece = data.substr(
                start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
            if (!oversized) {
                if (pending.size() + piece.size() > maximumLineLength) {
                    oversized = true;
                    std::string().swap(pending);
                } else if (lf != std::string_view::npos && pending.empty()) {
                    finishLine(piece);  // The common case: the whole line is in this chunk.
                } else {
                    pending.append(piece);
                    if (lf != std::string_view::npos) {
                        finishLine(pending);
                        pending.clear();
                    }
                }
            }
            if (lf == std::string_view::npos) {
                break;
            }
            if (oversized) {
                answerInvalid();
                oversized = false;
            }
            start = lf + 1;
        }
    }

    // The last line counts even without its line feed.
    if (oversized) {
        answerInvalid();
    } else if (!pending.empty()) {
        finishLine(pending);
    }

    mainLoop.post([&application] { application.terminate(); });
}

}  // namespace sh
