# The Windows desktop: a Win32 message loop, the top-level windows from EnumWindows and
# SetWinEventHook, and the veils as layered windows drawn with GDI. The helper stays a console
# program (the default subsystem): the host drives it over its standard input and output pipes,
# which a GUI program would not be handed. (A host starts it without a console, DETACHED_PROCESS
# or CREATE_NO_WINDOW, so that Windows opens no console window for it; see docs/windows.md.)

# What every Windows source of ours is compiled with: the wide-character API, the lean
# windows.h without min and max macros, and Windows 10 as the oldest system. They are public
# definitions of shield-core (CMakeLists.txt), so the desktop, the tests and the core's own
# windows/Streams.cpp all see the same Windows API.
set(SHIELD_WINDOWS_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)

function(shield_add_windows_desktop)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/windows/*.cpp)
  # The standard streams are the core's (shield-core builds them).
  list(FILTER sources EXCLUDE REGEX ".*/Streams\\.cpp$")
  # Without the desktop there is no createDesktop to link the helper with; the core, the
  # simulated desktop and the unit tests build all the same. The glob is checked at every
  # build, so the desktop's first file brings the library and the helper in.
  if(NOT sources)
    message(STATUS "No Windows desktop sources in src/platform/windows: shield-helper is not built")
    return()
  endif()
  add_library(shield-desktop STATIC ${sources})
  target_compile_options(shield-desktop PRIVATE ${SHIELD_WARNINGS})
  target_link_libraries(shield-desktop PUBLIC shield-core user32 gdi32 dwmapi)
endfunction()
