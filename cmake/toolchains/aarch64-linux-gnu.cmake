# Cross-compiles the Linux build for 64-bit ARM (linux-arm64) on an x86_64 Debian or Ubuntu
# machine: Debian's cross compiler (g++-aarch64-linux-gnu) against the arm64 builds of the
# desktop libraries that multiarch installs beside the host's (scripts/install-deps --arm64),
# with the build's own tools (wayland-scanner, Python) taken from the host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(SHIELD_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${SHIELD_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${SHIELD_CROSS_TRIPLE}-g++)
# The multiarch folder is named here rather than left to CMake's reading of the compiler's library
# folders, so that find_library and find_package surely look in /usr/lib/aarch64-linux-gnu and
# never in the host's /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${SHIELD_CROSS_TRIPLE})
set(CMAKE_C_LIBRARY_ARCHITECTURE ${SHIELD_CROSS_TRIPLE})
set(CMAKE_CXX_LIBRARY_ARCHITECTURE ${SHIELD_CROSS_TRIPLE})

# pkg-config reads the arm64 libraries' files and the architecture-independent ones (such as
# wayland-protocols, which only names where the protocol XML files lie), never the host's
# libraries. The variables are set on every configure run, which reads this file each time.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${SHIELD_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# KDE's protocol XML files are the same for every architecture, but Debian installs their CMake
# package only in the host's multiarch folder (and the package cannot be installed for two
# architectures at once), so the build uses the host's.
set(SHIELD_HOST_PLASMA_PROTOCOLS
  /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake/PlasmaWaylandProtocols)
if(NOT DEFINED PlasmaWaylandProtocols_DIR AND EXISTS ${SHIELD_HOST_PLASMA_PROTOCOLS})
  set(PlasmaWaylandProtocols_DIR ${SHIELD_HOST_PLASMA_PROTOCOLS} CACHE PATH
    "The host's PlasmaWaylandProtocols package (architecture-independent XML files)")
endif()

# The arm64 programs run here under qemu's user-mode emulator, through which ctest starts the
# test programs.
find_program(SHIELD_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(SHIELD_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SHIELD_QEMU_AARCH64})
endif()
