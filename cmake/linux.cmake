# The Linux desktop: a poll-based main loop, the KDE desktop on a Plasma Wayland session, the
# GNOME desktop on a GNOME Wayland session with the companion extension, the X11 desktop when a
# display is reachable and a headless desktop otherwise.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(SHIELD_X11 REQUIRED IMPORTED_TARGET
  xcb xcb-res xcb-randr xcb-icccm cairo cairo-xcb pangocairo)

# The GNOME and KDE desktops talk to their compositor's scripts over D-Bus with GDBus.
pkg_check_modules(SHIELD_GIO REQUIRED IMPORTED_TARGET gio-2.0)

# The KDE desktop's veils are Wayland windows of the helper's own (xdg-shell).
pkg_check_modules(SHIELD_WAYLAND REQUIRED IMPORTED_TARGET wayland-client)
pkg_get_variable(SHIELD_WAYLAND_PROTOCOLS wayland-protocols pkgdatadir)
find_program(SHIELD_WAYLAND_SCANNER wayland-scanner REQUIRED)
if(NOT SHIELD_WAYLAND_PROTOCOLS)
  message(FATAL_ERROR "wayland-protocols not found (Debian: wayland-protocols)")
endif()
set(SHIELD_XDG_SHELL_XML ${SHIELD_WAYLAND_PROTOCOLS}/stable/xdg-shell/xdg-shell.xml)
set(SHIELD_GENERATED ${CMAKE_CURRENT_BINARY_DIR}/generated)
add_custom_command(
  OUTPUT ${SHIELD_GENERATED}/xdg-shell-client-protocol.h ${SHIELD_GENERATED}/xdg-shell-protocol.c
  COMMAND ${CMAKE_COMMAND} -E make_directory ${SHIELD_GENERATED}
  COMMAND ${SHIELD_WAYLAND_SCANNER} client-header ${SHIELD_XDG_SHELL_XML}
          ${SHIELD_GENERATED}/xdg-shell-client-protocol.h
  COMMAND ${SHIELD_WAYLAND_SCANNER} private-code ${SHIELD_XDG_SHELL_XML}
          ${SHIELD_GENERATED}/xdg-shell-protocol.c
  DEPENDS ${SHIELD_XDG_SHELL_XML}
  COMMENT "Generating the xdg-shell client protocol")

# The KWin script goes into the binary, which writes it out for KWin to load.
set(SHIELD_KWIN_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/extensions/kde/kwin-script.js)
add_custom_command(
  OUTPUT ${SHIELD_GENERATED}/KwinScript.cpp
  COMMAND ${CMAKE_COMMAND} -DINPUT=${SHIELD_KWIN_SCRIPT} -DOUTPUT=${SHIELD_GENERATED}/KwinScript.cpp
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/embed-script.cmake
  DEPENDS ${SHIELD_KWIN_SCRIPT} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/embed-script.cmake
  COMMENT "Embedding the KWin script")

file(GLOB SHIELD_LINUX_SOURCES CONFIGURE_DEPENDS src/platform/linux/*.cpp src/platform/x11/*.cpp
  src/platform/gnome/*.cpp src/platform/kde/*.cpp)
# Only the shipped executable carries this one (cmake/package.cmake).
list(FILTER SHIELD_LINUX_SOURCES EXCLUDE REGEX ".*/StaticRuntime\\.cpp$")
add_library(shield-desktop STATIC ${SHIELD_LINUX_SOURCES}
  ${SHIELD_GENERATED}/xdg-shell-protocol.c ${SHIELD_GENERATED}/xdg-shell-client-protocol.h
  ${SHIELD_GENERATED}/KwinScript.cpp)
target_include_directories(shield-desktop PRIVATE ${SHIELD_GENERATED})
target_link_libraries(shield-desktop PUBLIC shield-core Threads::Threads PkgConfig::SHIELD_X11
  PkgConfig::SHIELD_GIO PkgConfig::SHIELD_WAYLAND)
target_compile_options(shield-desktop PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${SHIELD_WARNINGS}>)
