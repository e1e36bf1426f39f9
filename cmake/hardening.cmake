# The hardening Debian builds its packages with: fortified libc calls and a
# strong stack protector in the optimised builds, a GOT that is read-only once the
# program has started (full RELRO, bind now), and position-independent
# executables, as Debian's compilers make them by default.
#
# Native builds only, and not with the sanitizers or libFuzzer, which bring
# checks and runtimes of their own that these clash with. The Windows build does
# without: mingw-w64's fortified calls and stack protector need its libssp, and
# RELRO and PIE are ELF's.
if(WIN32 OR TARNLINK_SANITIZE OR TARNLINK_FUZZ OR NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  return()
endif()

# Everything here is an executable or a static library linked into one; the
# distribution's GoogleTest is built position-independent too.
add_compile_options(-fPIE)
add_link_options(-pie LINKER:-z,relro,-z,now)

# _FORTIFY_SOURCE checks only what the optimiser can see.
set(_optimised $<CONFIG:Release,RelWithDebInfo,MinSizeRel>)
add_compile_definitions($<${_optimised}:_FORTIFY_SOURCE=2>)
add_compile_options($<${_optimised}:-fstack-protector-strong>)
