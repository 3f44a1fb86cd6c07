// The helper's version, as the build states it (the project version in CMakeLists.txt); "ready"
// carries it so that a host library can check it has the helper it was made for.
#pragma once

namespace sh {

#ifndef SHIELD_VERSION
#error "SHIELD_VERSION is defined by the build"
#endif
inline constexpr const char* shieldVersion = SHIELD_VERSION;

}  // namespace sh
