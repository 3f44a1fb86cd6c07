// Chooses the desktop this Linux build runs on: the X display named by $DISPLAY when one is
// set and reachable, the headless desktop otherwise.
#include <cstdlib>
#include <memory>

#include "platform/Desktop.hpp"
#include "platform/linux/HeadlessDesktop.hpp"
#include "platform/x11/X11Desktop.hpp"

namespace sh {

std::unique_ptr<Desktop> createDesktop() {
    const char* display = std::getenv("DISPLAY");
    if (display != nullptr && *display != '\0') {
        if (auto desktop = X11Desktop::connect()) {
            return desktop;
        }
    }
    return std::make_unique<HeadlessDesktop>();
}

}  // namespace sh
