# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 and runs what it
# builds (CTest, gtest_discover_tests) under wine, headless.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DSUITE_WINDOWS_DEPS=$PWD/build-win-deps
#
# SUITE_WINDOWS_DEPS is the prefix that cmake/windows-deps.sh fills (static
# libpng and GoogleTest built with this file); packages are looked up there
# and in the MinGW sysroot, never among the host's libraries.
#
# Debian packages: g++-mingw-w64-x86-64 (its posix flavour is used), wine64,
# libz-mingw-w64-dev.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SUITE_MINGW_TRIPLE x86_64-w64-mingw32)

# The posix thread model: GCC 12's win32 flavour has no std::thread or
# std::mutex. Its winpthreads runtime is linked in statically (below).
find_program(SUITE_MINGW_CC NAMES ${SUITE_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(SUITE_MINGW_CXX NAMES ${SUITE_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(SUITE_MINGW_RC NAMES ${SUITE_MINGW_TRIPLE}-windres REQUIRED)
set(CMAKE_C_COMPILER ${SUITE_MINGW_CC})
set(CMAKE_CXX_COMPILER ${SUITE_MINGW_CXX})
set(CMAKE_RC_COMPILER ${SUITE_MINGW_RC})

# 64-bit off_t, st_size and lseek in the C runtime's POSIX-style calls
# (without it a 5 GiB file's stat() size reads 1 GiB).
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

# Self-contained .exe files: the C++ runtime, libgcc and winpthreads are
# linked in, so a program needs only system DLLs (KERNEL32, msvcrt).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# zlib from libz-mingw-w64-dev ships both libz.a and an import library; take
# the static one.
set(ZLIB_USE_STATIC_LIBS ON)

# Libraries, headers and packages come from the MinGW sysroot and the deps
# prefix only; programs (the host's tools) from the host.
set(SUITE_WINDOWS_DEPS "" CACHE PATH "Prefix of the Windows builds of libpng and GoogleTest")
set(CMAKE_FIND_ROOT_PATH /usr/${SUITE_MINGW_TRIPLE})
if(SUITE_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${SUITE_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# try_compile projects read this file again; hand them the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SUITE_WINDOWS_DEPS)

# Every test program runs under wine64 with a prefix of its own inside the
# build folder (made on first use by cmake/wine-run.sh), no display, no debug
# chatter and no offer to install Mono or Gecko.
find_program(SUITE_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(SUITE_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
endif()
# Wine shows the Linux file system as drive Z:, so a build folder path is
# given to the programs under test as Z:/work/... (a path starting with /
# would be taken on whatever drive is current).
set(SUITE_TARGET_ROOT "Z:")
