# The Linux desktop: a poll-based main loop, the GNOME desktop on a GNOME Wayland session with
# the companion extension, the X11 desktop when a display is reachable and a headless desktop
# otherwise.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(SHIELD_X11 REQUIRED IMPORTED_TARGET
  xcb xcb-res xcb-randr xcb-icccm cairo cairo-xcb pangocairo)

# The GNOME desktop talks to its Shell extension over D-Bus with GDBus.
pkg_check_modules(SHIELD_GIO REQUIRED IMPORTED_TARGET gio-2.0)

file(GLOB SHIELD_LINUX_SOURCES CONFIGURE_DEPENDS src/platform/linux/*.cpp src/platform/x11/*.cpp
  src/platform/gnome/*.cpp)
add_library(shield-desktop STATIC ${SHIELD_LINUX_SOURCES})
target_link_libraries(shield-desktop PUBLIC shield-core Threads::Threads PkgConfig::SHIELD_X11
  PkgConfig::SHIELD_GIO)
target_compile_options(shield-desktop PRIVATE ${SHIELD_WARNINGS})
