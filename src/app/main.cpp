// The process entry: the desktop, the one manager, the input thread and the main loop.
#include <utility>

#include "app/InputLoop.hpp"
#include "manager/ShieldManager.hpp"
#include "platform/Desktop.hpp"
#include "platform/Streams.hpp"

int main() {
    sh::streams::tuneAllocator();
    // Before "ready" is written, which is the first write, and before the desktop opens
    // anything that could take the place of a closed standard stream.
    sh::streams::prepareProcess();

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
            sh::streams::exitNow(0);
        };
        sh::runInputLoop(
            sh::streams::standardInput, mainLoop, application,
            [manager](sh::Command command) { manager->handleCommand(std::move(command)); },
            std::move(options));
    });

    application.run();
    return 0;
}
