// Linked into the shipped Linux helper, which carries the C++ runtime it was built with (see
// cmake/package.cmake) so that it runs on distributions with an older one.
//
// That runtime refers to arc4random, which the C library has only since glibc 2.36, for a
// random_device constructor the helper never calls. Defined here, the reference binds to this
// definition at link time, and the helper runs with glibc 2.34 and later (Ubuntu 22.04, RHEL 9)
// instead of 2.36. The bytes come from the kernel's generator, as glibc's own would.
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

extern "C" uint32_t arc4random() {
    uint32_t value = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    size_t filled = 0;
    while (filled < sizeof value) {
        ssize_t got = getrandom(bytes + filled, sizeof value - filled, 0);
        if (got > 0) {
            filled += static_cast<size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            // As glibc does: a process that cannot have random bytes does not go on without.
            std::abort();
        }
    }
    return value;
}
