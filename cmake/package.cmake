# Installation and the Debian package (cpack -G DEB): the helper, its manual page and the docs.
include(GNUInstallDirs)
install(TARGETS shield-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The shipped helper carries its own C++ runtime: the one it was built with may be newer than a
# distribution's, and the C library, libgcc_s and the desktop libraries it needs keep their
# sonames. (libgcc's unwinder stays shared: linked in, it would need glibc 2.35.) The C
# library it needs is then glibc 2.34 or later; scripts/test-clients checks that floor.
if(NOT SHIELD_SANITIZE AND NOT SHIELD_SANITIZE_THREAD)
  target_link_options(shield-helper PRIVATE -static-libstdc++)
  # A file of the executable itself, not of an archive: see the file.
  target_sources(shield-helper PRIVATE src/platform/linux/StaticRuntime.cpp)
endif()

# Debian keeps manual pages compressed; -n leaves the build time out of the archive.
set(SHIELD_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/shield-helper.1.gz)
add_custom_command(OUTPUT ${SHIELD_MAN_PAGE}
  COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/docs/shield-helper.1 > ${SHIELD_MAN_PAGE}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/shield-helper.1 VERBATIM)
add_custom_target(shield-man-page ALL DEPENDS ${SHIELD_MAN_PAGE})
install(FILES ${SHIELD_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md docs/protocol.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Debian's copyright file and, for a package that is its own upstream, changelog.gz. The
# changelog's newest entry must be this version.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog SHIELD_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT SHIELD_CHANGELOG_TOP MATCHES "^shield-helper \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not start with version ${PROJECT_VERSION}")
endif()
set(SHIELD_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${SHIELD_CHANGELOG}
  COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog > ${SHIELD_CHANGELOG}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(shield-changelog ALL DEPENDS ${SHIELD_CHANGELOG})
install(FILES packaging/copyright ${SHIELD_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME shield-helper)
set(CPACK_PACKAGE_VENDOR "Shield Helper")
set(CPACK_PACKAGE_CONTACT "Shield Helper developers <shield-helper@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cover the windows of blocked applications for a host application")
# One paragraph per line group, each line at most 80 columns; CPack indents them.
set(CPACK_PACKAGE_DESCRIPTION "\
A faceless helper process that a focus, screen-time or parental-control\n\
application starts as a child and drives over standard input and output, one\n\
JSON object per line each way.\n\
.\n\
While a block lasts, the helper covers every ordinary visible window of the\n\
blocked applications with a dark veil of its own, follows the windows as they\n\
move, resize and change desktops, reports attempts to use them (activation, a\n\
click or a key on a veil), and takes everything down at the end time or on\n\
request. It serves X11 sessions under common window managers, GNOME Shell\n\
43-48 on Wayland (with its companion extension) and KDE Plasma 6 on Wayland.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
