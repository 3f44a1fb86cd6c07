// The standard streams on Windows: the console's pipe handles read and written with ReadFile
// and WriteFile, byte for byte (the C runtime's text mode would stop at Ctrl-Z and turn each
// line feed into CR LF).
#include "platform/Streams.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace sh::streams {

namespace {

HANDLE handleOf(int input) {
    if (input == standardInput) {
        return GetStdHandle(STD_INPUT_HANDLE);
    }
    // The C runtime calls its invalid-parameter handler (which ends the process) for a
    // descriptor that is out of range.
    if (input < 0) {
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(_get_osfhandle(input));
}

}  // namespace

void prepareProcess() {
    // A stream the host did not hand over gets the null device, so that the reads end at once
    // and the writes go nowhere instead of failing on a handle that some later one reuses.
    const DWORD standard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD which : standard) {
        HANDLE handle = GetStdHandle(which);
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
            HANDLE null =
                CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            if (null != INVALID_HANDLE_VALUE) {
                SetStdHandle(which, null);
            }
        }
    }
    // stderr carries the helper's log lines; LF stays LF there too.
    _setmode(_fileno(stderr), _O_BINARY);
    // A write to a pipe whose reader has gone fails with ERROR_NO_DATA; nothing is signalled.
}

std::size_t readSome(int input, char* buffer, std::size_t size) {
    HANDLE handle = handleOf(input);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD count = 0;
    DWORD wanted = size > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(size);
    // A pipe's writer gone reads as ERROR_BROKEN_PIPE, a console's end of input as a
    // successful read of nothing: both end the input.
    if (!ReadFile(handle, buffer, wanted, &count, nullptr)) {
        return 0;
    }
    return count;
}

bool writerGone(int input) {
    HANDLE handle = handleOf(input);
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_PIPE) {
        return false;
    }
    DWORD available = 0;
    return !PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) &&
           GetLastError() == ERROR_BROKEN_PIPE;
}

void writeToStandardOutput(std::string_view bytes) {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    while (!bytes.empty()) {
        DWORD wanted = bytes.size() > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        // WriteFile on a blocking pipe waits while it is full; a failure means the reader has
        // gone (ERROR_NO_DATA, ERROR_BROKEN_PIPE) or the handle is of no use.
        if (!WriteFile(handle, bytes.data(), wanted, &written, nullptr) || written == 0) {
            return;
        }
        bytes.remove_prefix(written);
    }
}

void exitNow(int status) {
    // TerminateProcess rather than ExitProcess: no DLL detach runs while other threads may
    // hold the runtime's locks.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    std::_Exit(status);
}

void tuneAllocator() {}

void releaseFreedMemory() {}

}  // namespace sh::streams
