// The process entry: the desktop, the one manager, the input thread and the main loop.
#include <fcntl.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cerrno>
#include <csignal>
#include <utility>

#include "app/InputLoop.hpp"
#include "manager/ShieldManager.hpp"
#include "platform/Desktop.hpp"

namespace {

// A host may start the helper with a standard descriptor closed. The next descriptor the
// process opens (the loop's eventfd, the X connection) would then take its number and be read
// as input or written as output, so each closed one is parked on /dev/null first.
void occupyStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                dup2(opened, fd);
                close(opened);
            }
        }
    }
}

}  // namespace

int main() {
#ifdef __GLIBC__
    // Large blocks (a huge command line and its copies) come straight from the system and go
    // back to it when freed, so that one such line does not stay resident. A fixed threshold
    // also stops glibc from raising it after the first large free.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
    occupyStandardDescriptors();
    // A host that has closed our standard output must not kill the helper through SIGPIPE; the
    // writes then fail and are dropped like any message that cannot be written. This is set
    // before "ready" is written, since that is the first write.
    std::signal(SIGPIPE, SIG_IGN);

    sh::managerReference().reset();
    std::unique_ptr<sh::Desktop> desktop = sh::createDesktop();
    std::shared_ptr<sh::ShieldManager> manager = sh::ShieldManager::create(*desktop);

    sh::MainLoop& mainLoop = desktop->mainLoop();
    sh::Application& application = desktop->application();
    desktop->runInBackground([&mainLoop, &application, manager] {
        sh::InputLoopOptions options;
        // The host has ended the input or sent "shutdown", yet the main thread has stopped
        // moving, held by a display server that no longer answers, say. The process ends all
        // the same: its shields go with its connection.
        options.stallTimeout = std::chrono::seconds(3);
        options.onStall = [] {
            sh::flushOutput(std::chrono::seconds(1));
            _exit(0);
        };
        sh::runInputLoop(
            STDIN_FILENO, mainLoop, application,
            [manager](sh::Command command) { manager->handleCommand(std::move(command)); },
            std::move(options));
    });

    application.run();
    return 0;
}
