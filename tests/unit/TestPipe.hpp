// Pipes for the tests that feed the input loop or read standard output, on the C runtime's
// descriptors of each system: pipe(2) and friends on Linux and macOS, the C runtime's _pipe,
// _read and _write on Windows, where the core reaches a descriptor's pipe through
// _get_osfhandle.
#pragma once

#include <cstddef>
#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace sh::test {

// What a pipe holds before a writer waits, about as much as a Linux pipe holds by default. The
// output tests write lines several times this long, so that the writes must wait for the reader.
inline constexpr unsigned pipeCapacity = 64 * 1024;

// Opens a pipe whose `ends[0]` reads and `ends[1]` writes, in binary mode on Windows (the C
// runtime's text mode would translate line ends and stop at Ctrl-Z). False if it failed.
inline bool openPipe(int ends[2]) {
#ifdef _WIN32
    return _pipe(ends, pipeCapacity, _O_BINARY | _O_NOINHERIT) == 0;
#else
    return ::pipe(ends) == 0;
#endif
}

// Writes up to `size` bytes; returns how many were written, or -1.
inline std::ptrdiff_t writeSome(int fd, const char* bytes, std::size_t size) {
#ifdef _WIN32
    return _write(fd, bytes, static_cast<unsigned>(size > 0x7fffffff ? 0x7fffffff : size));
#else
    return ::write(fd, bytes, size);
#endif
}

// Reads up to `size` bytes; returns how many were read, 0 at the end, or -1.
inline std::ptrdiff_t readSome(int fd, char* buffer, std::size_t size) {
#ifdef _WIN32
    return _read(fd, buffer, static_cast<unsigned>(size > 0x7fffffff ? 0x7fffffff : size));
#else
    return ::read(fd, buffer, size);
#endif
}

inline void closeEnd(int fd) {
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
}

// Makes a descriptor non-blocking, as a host may hand one over. Only POSIX descriptors can be:
// the Windows C runtime has no such mode, and the hosts there hand over blocking pipes.
inline bool makeNonBlocking(int fd) {
#ifdef _WIN32
    (void)fd;
    return false;
#else
    return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
#endif
}

// Points the process's standard output at `fd`; returns a descriptor of what it was before,
// for `restoreStandardOutput`, or -1. On Windows the core writes to the handle that
// GetStdHandle(STD_OUTPUT_HANDLE) returns, not to descriptor 1, so that handle is set too.
inline int redirectStandardOutput(int fd) {
    std::fflush(stdout);
#ifdef _WIN32
    const int saved = _dup(1);
    if (saved < 0 || _dup2(fd, 1) != 0) {
        if (saved >= 0) {
            _close(saved);
        }
        return -1;
    }
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
#else
    const int saved = ::dup(STDOUT_FILENO);
    if (saved < 0 || ::dup2(fd, STDOUT_FILENO) < 0) {
        if (saved >= 0) {
            ::close(saved);
        }
        return -1;
    }
#endif
    return saved;
}

// Puts standard output back to what `redirectStandardOutput` saved, and closes the saved
// descriptor. The redirected pipe end is closed with it, so its reader sees the end.
inline void restoreStandardOutput(int saved) {
    std::fflush(stdout);
#ifdef _WIN32
    _dup2(saved, 1);
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
    _close(saved);
#else
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
#endif
}

}  // namespace sh::test
