# Installation and the Debian package (cpack -G DEB): the helper, its manual page and the docs.
include(GNUInstallDirs)
install(TARGETS shield-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian keeps manual pages compressed; -n leaves the build time out of the archive.
set(SHIELD_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/shield-helper.1.gz)
add_custom_command(OUTPUT ${SHIELD_MAN_PAGE}
  COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/docs/shield-helper.1 > ${SHIELD_MAN_PAGE}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/shield-helper.1 VERBATIM)
add_custom_target(shield-man-page ALL DEPENDS ${SHIELD_MAN_PAGE})
install(FILES ${SHIELD_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md docs/protocol.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME shield-helper)
set(CPACK_PACKAGE_VENDOR "Shield Helper")
set(CPACK_PACKAGE_CONTACT "Shield Helper developers <shield-helper@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cover the windows of blocked applications for a host application")
set(CPACK_PACKAGE_DESCRIPTION
  "A faceless helper process that a focus or screen-time application starts as a child and\
 drives over standard input and output, one JSON object per line. While a block lasts it\
 covers the windows of the blocked applications with an overlay and reports access attempts.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
