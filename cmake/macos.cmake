# The macOS desktop: Objective-C++ with ARC against AppKit, ApplicationServices, CoreGraphics,
# CoreFoundation and Foundation. The core brings its own Unicode rules, as on every platform, so
# the system ICU (libicucore) is not linked.
enable_language(OBJCXX)

# The bundle identity embedded in the helper's Info.plist. A host application that ships the
# helper sets its own identifier here, matching the identity it signs the helper with.
set(SHIELD_BUNDLE_IDENTIFIER "org.shieldhelper.helper" CACHE STRING
  "Bundle identifier embedded in the shield-helper executable")
set(SHIELD_BUNDLE_NAME "Shield Helper" CACHE STRING
  "Bundle name embedded in the shield-helper executable")

# Further warnings for the Objective-C++ desktop, on top of the usual ones: overrides that skip
# their superclass, nullability slips, weak references read twice, blocks that capture self
# unseen, 64-bit values cut to 32 bits, and API used on a macOS older than the one introducing it.
set(SHIELD_OBJC_WARNINGS
  -Wobjc-missing-super-calls
  -Wnullable-to-nonnull-conversion
  -Warc-repeated-use-of-weak
  -Wimplicit-retain-self
  -Wshorten-64-to-32
  -Wunguarded-availability)

set(SHIELD_MACOS_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../src/platform/macos)

function(shield_add_macos_desktop)
  file(GLOB sources CONFIGURE_DEPENDS ${SHIELD_MACOS_SOURCE_DIR}/*.mm)
  add_library(shield-desktop STATIC ${sources})
  set_target_properties(shield-desktop PROPERTIES
    OBJCXX_STANDARD 20
    OBJCXX_STANDARD_REQUIRED ON
    OBJCXX_EXTENSIONS OFF)
  target_compile_options(shield-desktop PRIVATE ${SHIELD_WARNINGS} ${SHIELD_OBJC_WARNINGS}
    -fobjc-arc)
  target_link_libraries(shield-desktop PUBLIC
    shield-core
    "-framework AppKit"
    "-framework ApplicationServices"
    "-framework CoreGraphics"
    "-framework CoreFoundation"
    "-framework Foundation"
    objc)
endfunction()

# Embeds the Info.plist in the executable's __TEXT,__info_plist section, which is how a bare
# executable (outside an .app bundle) carries its bundle identifier, name, version and
# LSUIElement.
function(shield_configure_macos_executable target)
  set(SHIELD_BUNDLE_VERSION ${PROJECT_VERSION})
  set(SHIELD_BUNDLE_EXECUTABLE ${target})
  set(plist ${CMAKE_CURRENT_BINARY_DIR}/${target}-Info.plist)
  configure_file(${SHIELD_MACOS_SOURCE_DIR}/Info.plist.in ${plist} @ONLY)
  target_link_options(${target} PRIVATE "LINKER:-sectcreate,__TEXT,__info_plist,${plist}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${plist})
endfunction()
