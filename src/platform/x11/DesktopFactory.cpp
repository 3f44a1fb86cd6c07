// Chooses the desktop this Linux build runs on.
#include <memory>

#include "platform/Desktop.hpp"
#include "platform/x11/HeadlessDesktop.hpp"

namespace sh {

std::unique_ptr<Desktop> createDesktop() {
    return std::make_unique<HeadlessDesktop>();
}

}  // namespace sh
