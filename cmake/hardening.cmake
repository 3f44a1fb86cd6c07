# Hardening for the Linux builds that are shipped (not the sanitizer or fuzzing builds, which
# instrument the same places): buffer-overflow checks in the C library's string and memory
# functions, stack protectors, and relocations made read-only and bound at load.
if(NOT APPLE AND NOT SHIELD_SANITIZE AND NOT SHIELD_SANITIZE_THREAD AND NOT SHIELD_FUZZ)
  # The fortified functions need optimisation; a Debug build without it would warn.
  add_compile_options(-fstack-protector-strong
    $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
