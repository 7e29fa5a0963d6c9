# Cross-compiling for 64-bit Windows with MinGW-w64 (posix threads flavour).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Executables built here run under Wine when CTest starts them. Debian's
# Wine loader sits at 0x7d000000 and, with address randomisation, the kernel
# starts its heap anywhere in the 1 GiB above, which holds 0x7ffe0000, where
# each Wine process must map the shared user data. Now and then the heap is
# there, the new process dies before it is set up ("failed to map the shared
# user data: c0000018") and the CreateProcessW that started it fails with
# 1359. The loader therefore runs through Wine's preloader (package
# wine64-preloader), which reserves that page before anything else is mapped;
# /usr/lib/wine/wine64 goes through /usr/lib/wine/wine64-preloader by itself
# when it is installed, and the wine_preloader test checks that it does.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
