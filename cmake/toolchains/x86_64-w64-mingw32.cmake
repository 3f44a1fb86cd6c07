# Cross-compiles the Windows build (64-bit, x86-64) on Linux with Debian's mingw-w64 compilers
# of the posix thread model (g++-mingw-w64-x86-64-posix), whose libstdc++ has std::thread and
# std::mutex. The C and C++ runtimes are linked in, so that the executables import only DLLs
# that every Windows has (KERNEL32, USER32, GDI32, msvcrt and the like) and none of the
# compiler's (libstdc++-6, libgcc_s_seh-1, libwinpthread-1). The programs run here under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SHIELD_CROSS_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SHIELD_CROSS_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SHIELD_CROSS_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SHIELD_CROSS_TRIPLE}-windres)
# Debian names the binutils by the triple alone, without the thread model.
set(CMAKE_AR ${SHIELD_CROSS_TRIPLE}-ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${SHIELD_CROSS_TRIPLE}-ranlib CACHE FILEPATH "" FORCE)
set(CMAKE_STRIP ${SHIELD_CROSS_TRIPLE}-strip CACHE FILEPATH "" FORCE)

# The runtimes linked in: -static also takes winpthread's archive instead of its DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Headers and libraries come from the mingw-w64 folder only, never from the host's /usr (whose
# Linux headers, nlohmann/json's among them, would otherwise be found); header-only
# dependencies are handed in as a folder of their own (scripts/check-windows). Programs come
# from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${SHIELD_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
