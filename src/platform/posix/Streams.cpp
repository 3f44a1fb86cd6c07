// The standard streams on POSIX systems (Linux, macOS): file descriptors read and written
// directly, waiting with poll where the host left them non-blocking.
#include "platform/Streams.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cerrno>
#include <csignal>

namespace sh::streams {

void prepareProcess() {
    // The next descriptor the process opens (the loop's eventfd, the X connection) would take
    // the number of a closed standard one and be read as input or written as output.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                dup2(opened, fd);
                close(opened);
            }
        }
    }
    // A host that has closed our standard output must not kill the helper through SIGPIPE;
    // the writes then fail and are dropped like any message that cannot be written.
    std::signal(SIGPIPE, SIG_IGN);
}

std::size_t readSome(int input, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t count = read(input, buffer, size);
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
            pollfd readable{input, POLLIN, 0};
            if (poll(&readable, 1, -1) >= 0 || errno == EINTR) {
                continue;
            }
        }
        return 0;
    }
}

bool writerGone(int input) {
    pollfd descriptor{input, POLLIN, 0};
    return poll(&descriptor, 1, 0) > 0 && (descriptor.revents & (POLLHUP | POLLERR | POLLNVAL));
}

void writeToStandardOutput(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd descriptor{STDOUT_FILENO, POLLOUT, 0};
            if (::poll(&descriptor, 1, -1) < 0 && errno != EINTR) {
                return;
            }
        } else {
            return;
        }
    }
}

void exitNow(int status) {
    _exit(status);
}

void tuneAllocator() {
#ifdef __GLIBC__
    // A fixed threshold also stops glibc from raising it after the first large free.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
}

void releaseFreedMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

}  // namespace sh::streams
