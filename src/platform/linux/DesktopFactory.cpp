// Chooses the desktop this Linux build runs on: KDE on a Plasma Wayland session with KWin on the
// bus; GNOME on a Wayland session whose shell is on the bus; otherwise the X display named by
// $DISPLAY when one is set and reachable (on a Wayland session that is XWayland, where the X11
// desktop withholds the permission); the headless desktop otherwise.
#include <cstdlib>
#include <memory>

#include "platform/Desktop.hpp"
#include "platform/gnome/GnomeDesktop.hpp"
#include "platform/kde/KdeDesktop.hpp"
#include "platform/linux/HeadlessDesktop.hpp"
#include "platform/x11/X11Desktop.hpp"

namespace sh {

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

std::unique_ptr<Desktop> createDesktop() {
    if (isSet("WAYLAND_DISPLAY")) {
        if (auto desktop = KdeDesktop::connect()) {
            return desktop;
        }
        if (auto desktop = GnomeDesktop::connect()) {
            return desktop;
        }
    }
    if (isSet("DISPLAY")) {
        if (auto desktop = X11Desktop::connect()) {
            return desktop;
        }
    }
    if (isSet("WAYLAND_DISPLAY")) {
        return std::make_unique<HeadlessDesktop>(UntrustedReason{
            "unsupported-compositor",
            "this Wayland session is neither GNOME nor KDE Plasma, and it offers no X display"});
    }
    return std::make_unique<HeadlessDesktop>(UntrustedReason{
        "no-display", "no display is reachable: neither WAYLAND_DISPLAY nor DISPLAY names one"});
}

}  // namespace sh
