# Cross-compiles the macOS build on Linux with clang and ld64.lld against a macOS SDK, so that
# the desktop is compiled and linked for real where no Mac is at hand. The executables cannot
# run here. Set MACOS_SDK_ROOT (the SDK folder, holding SDKSettings.json) and SHIELD_MACOS_ARCH
# (arm64 or x86_64).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 21.0)

set(SHIELD_MACOS_ARCH arm64 CACHE STRING "Target architecture: arm64 or x86_64")
set(MACOS_SDK_ROOT "$ENV{HOME}/.cache/macos-sdk/root" CACHE PATH "The macOS SDK folder")
set(SHIELD_MACOS_DEPLOYMENT_TARGET 11.0 CACHE STRING "Oldest macOS the build runs on")
# Try-compiles run in their own projects; hand them the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  SHIELD_MACOS_ARCH MACOS_SDK_ROOT SHIELD_MACOS_DEPLOYMENT_TARGET)

if(NOT EXISTS "${MACOS_SDK_ROOT}/SDKSettings.json")
  message(FATAL_ERROR "No macOS SDK at ${MACOS_SDK_ROOT} (set MACOS_SDK_ROOT)")
endif()

set(CMAKE_SYSTEM_PROCESSOR ${SHIELD_MACOS_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${SHIELD_MACOS_ARCH} CACHE STRING "" FORCE)
set(CMAKE_OSX_SYSROOT ${MACOS_SDK_ROOT} CACHE PATH "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET ${SHIELD_MACOS_DEPLOYMENT_TARGET} CACHE STRING "" FORCE)
set(CMAKE_SYSROOT ${MACOS_SDK_ROOT})

set(triple ${SHIELD_MACOS_ARCH}-apple-macos${SHIELD_MACOS_DEPLOYMENT_TARGET})
foreach(language C CXX OBJC OBJCXX)
  set(CMAKE_${language}_COMPILER_TARGET ${triple})
endforeach()
# The LLVM tools come from the installation that clang belongs to (Debian puts the unversioned
# names of some only there).
find_program(SHIELD_CLANG NAMES clang REQUIRED)
get_filename_component(llvm_bin "${SHIELD_CLANG}" REALPATH)
get_filename_component(llvm_bin "${llvm_bin}" DIRECTORY)
set(CMAKE_C_COMPILER ${llvm_bin}/clang)
set(CMAKE_CXX_COMPILER ${llvm_bin}/clang++)
set(CMAKE_OBJC_COMPILER ${llvm_bin}/clang)
set(CMAKE_OBJCXX_COMPILER ${llvm_bin}/clang++)
set(CMAKE_AR ${llvm_bin}/llvm-ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${llvm_bin}/llvm-ranlib CACHE FILEPATH "" FORCE)
set(CMAKE_INSTALL_NAME_TOOL ${llvm_bin}/llvm-install-name-tool CACHE FILEPATH "" FORCE)

# libc++ headers from the SDK only. Clang would otherwise prefer a libc++ installed next to
# itself (the host's), whose headers do not match the SDK's library. ld64.lld links against the
# SDK's .tbd stubs.
set(SHIELD_MACOS_CXX_FLAGS "-stdlib=libc++ -nostdinc++ -isystem ${MACOS_SDK_ROOT}/usr/include/c++/v1")
set(CMAKE_CXX_FLAGS_INIT "${SHIELD_MACOS_CXX_FLAGS}")
set(CMAKE_OBJCXX_FLAGS_INIT "${SHIELD_MACOS_CXX_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -stdlib=libc++ -Wno-unused-command-line-argument")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -stdlib=libc++ -Wno-unused-command-line-argument")

# This SDK copy has had the "reexported-libraries" entries stripped from its framework stubs, so
# a linker sees neither AppKit's re-export of UIFoundation (fonts, paragraph styles, text
# attributes) nor ApplicationServices' re-export of HIServices (the accessibility functions),
# although both libraries are still inlined in those stubs. The link therefore uses copies of
# the two stubs with the re-exports restored (one per inlined library), found ahead of the SDK's
# own; symbols then bind through the umbrella frameworks as they do when linking on a Mac.
function(shield_restore_reexports framework)
  set(stub "${MACOS_SDK_ROOT}/System/Library/Frameworks/${framework}.framework/${framework}.tbd")
  set(overlay "${CMAKE_BINARY_DIR}/macos-link-stubs/${framework}.framework/${framework}.tbd")
  file(READ "${stub}" content)
  string(REGEX MATCHALL "\ninstall-name:[ ]*'[^']*'" names "${content}")
  list(REMOVE_AT names 0)
  set(libraries "")
  foreach(name IN LISTS names)
    string(REGEX REPLACE "^\ninstall-name:[ ]*" "" name "${name}")
    list(APPEND libraries "${name}")
  endforeach()
  string(FIND "${content}" "\nreexported-libraries:" already)
  string(FIND "${content}" "\nexports:" exports)
  if(libraries STREQUAL "" OR NOT already EQUAL -1 OR exports EQUAL -1)
    file(WRITE "${overlay}" "${content}")
    return()
  endif()
  list(JOIN libraries ", " joined)
  string(SUBSTRING "${content}" 0 ${exports} head)
  string(SUBSTRING "${content}" ${exports} -1 tail)
  file(WRITE "${overlay}" "${head}\nreexported-libraries:\n"
    "  - targets:         [ x86_64-macos, arm64-macos, arm64e-macos ]\n"
    "    libraries:       [ ${joined} ]${tail}")
endfunction()
shield_restore_reexports(AppKit)
shield_restore_reexports(ApplicationServices)
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -F${CMAKE_BINARY_DIR}/macos-link-stubs")

# Look for libraries and headers in the SDK only; programs come from the host.
set(CMAKE_FIND_ROOT_PATH ${MACOS_SDK_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
