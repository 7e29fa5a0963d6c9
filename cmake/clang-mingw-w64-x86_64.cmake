# Cross-compiling for 64-bit Windows with clang and lld, against the same
# MinGW-w64 headers, runtime and libstdc++ that the GCC toolchain uses
# (mingw-w64-x86_64.cmake).
#
# Debian's clang does not find MinGW-w64's GCC by itself: it cannot read a
# GCC version named "12-posix", so it would take the host's /usr/include/c++
# instead. The GCC directory is asked from the MinGW GCC driver, never
# spelled out, so a newer GCC needs no change here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(WINREPAIR_MINGW_TARGET x86_64-w64-mingw32)
set(WINREPAIR_MINGW_SYSROOT /usr/${WINREPAIR_MINGW_TARGET})

find_program(WINREPAIR_MINGW_GCC NAMES ${WINREPAIR_MINGW_TARGET}-g++-posix REQUIRED)
execute_process(
  COMMAND ${WINREPAIR_MINGW_GCC} -print-libgcc-file-name
  OUTPUT_VARIABLE _wr_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE
  COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(WINREPAIR_MINGW_GCC_DIR "${_wr_libgcc}" DIRECTORY)
if(NOT EXISTS "${WINREPAIR_MINGW_GCC_DIR}/include/c++")
  message(FATAL_ERROR "no libstdc++ headers under ${WINREPAIR_MINGW_GCC_DIR} (from ${WINREPAIR_MINGW_GCC})")
endif()

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${WINREPAIR_MINGW_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${WINREPAIR_MINGW_TARGET})
set(CMAKE_SYSROOT ${WINREPAIR_MINGW_SYSROOT})
# The resources go through the same windres as in the GCC build.
set(CMAKE_RC_COMPILER ${WINREPAIR_MINGW_TARGET}-windres)

# libstdc++'s headers ahead of clang's own, the MinGW-w64 headers (the
# sysroot's include) after them, as GCC orders them. Clang finds no C++
# headers of its own under this sysroot, so these are the only ones.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
  ${WINREPAIR_MINGW_GCC_DIR}/include/c++
  ${WINREPAIR_MINGW_GCC_DIR}/include/c++/${WINREPAIR_MINGW_TARGET}
  ${WINREPAIR_MINGW_GCC_DIR}/include/c++/backward)
# -B finds crtbegin.o/crtend.o, -L libstdc++ and libgcc. This libstdc++ is
# built on winpthreads: -pthread puts it in the link after libstdc++ (linked
# statically, so only when something uses it).
set(_wr_link "-fuse-ld=lld -pthread -B${WINREPAIR_MINGW_GCC_DIR}/ -L${WINREPAIR_MINGW_GCC_DIR}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_wr_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_wr_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_wr_link}")

set(CMAKE_FIND_ROOT_PATH ${WINREPAIR_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Executables built here run under Wine when CTest starts them, through
# Wine's preloader, as in mingw-w64-x86_64.cmake (which says why).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
