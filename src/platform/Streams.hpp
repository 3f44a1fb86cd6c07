// The process's standard streams and what the system needs of the process around them: the
// host's input read, the helper's output written, and the process ended at once. The core
// reads and writes through these; each operating system supplies them once.
#pragma once

#include <cstddef>
#include <string_view>

namespace sh::streams {

// The stream number of standard input.
inline constexpr int standardInput = 0;

// Readies the process before anything is written or any descriptor opened: standard streams
// that the host left closed are parked on the null device, so that nothing else takes their
// place, and a host that closes our output cannot end the process by it; bytes pass unchanged.
void prepareProcess();

// Reads what is available on stream `input`, waiting for it. Returns the byte count, or 0 at
// the end of input and on any read error.
std::size_t readSome(int input, char* buffer, std::size_t size);

// Whether the writer of stream `input` has gone, as far as the system can tell without
// reading; a pipe may report it while data still waits in it. False when it cannot be told.
bool writerGone(int input);

// Writes all of `bytes` to standard output, continuing after partial writes and waiting while
// the stream is full. Any other failure (the host no longer reads) ends the attempt.
void writeToStandardOutput(std::string_view bytes);

// Ends the process now with `status`, without running destructors or exit handlers.
[[noreturn]] void exitNow(int status);

// Large blocks go straight back to the system once freed, so that one huge line does not stay
// resident: called once at the start, and after such a line was handled.
void tuneAllocator();
void releaseFreedMemory();

}  // namespace sh::streams
