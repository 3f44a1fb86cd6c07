# Hardening for the Linux and Windows builds that are shipped (not the sanitizer or fuzzing
# builds, which instrument the same places): buffer-overflow checks in the C library's string and
# memory functions, stack protectors, and on Linux relocations made read-only and bound at load.
if(NOT APPLE AND NOT SHIELD_SANITIZE AND NOT SHIELD_SANITIZE_THREAD AND NOT SHIELD_FUZZ)
  # The fortified functions need optimisation; a Debug build without it would warn.
  add_compile_options(-fstack-protector-strong
    $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  if(WIN32)
    # With mingw-w64 the stack protector and the fortified functions are libssp's, which the
    # compiler driver links (statically here) only when the link names the protector too. Its
    # canary is seeded through ADVAPI32, a system DLL.
    add_link_options(-fstack-protector-strong)
    # A PE executable has no ELF relocations to protect and no -z options. What stands for
    # them there is a relocatable image at a random 64-bit base and a stack and heap that
    # cannot be executed. Recent binutils set these by default; they are named so that an
    # older linker sets them too (scripts/check-windows checks the image's flags).
    add_link_options(-Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat)
  else()
    add_link_options(-Wl,-z,relro -Wl,-z,now)
    include(CheckPIESupported)
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  endif()
endif()
