# Cross build for Windows with Debian's mingw-w64 (posix threads, so
# std::thread and std::mutex work). Tests run under wine.
# BRELVO_MINGW_ARCH: x86_64 (the 64-bit program, default) or i686 (the 32-bit
# program, which loads the board makers' 32-bit controller libraries).
if(NOT BRELVO_MINGW_ARCH)
  set(BRELVO_MINGW_ARCH x86_64)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${BRELVO_MINGW_ARCH})
set(TOOLCHAIN_PREFIX ${BRELVO_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime DLLs of mingw are linked in, so the executables run anywhere
# (wine included) without copying libstdc++-6.dll beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run through wine-run.sh, which creates the wine prefix quietly on
# first use (CI machines: root, no display, nothing may wait for input).
# 32-bit programs run on the private 32-bit wine (scripts/wine32).
if(BRELVO_MINGW_ARCH STREQUAL "i686")
  set(BRELVO_WINE "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine32")
  cmake_path(NORMAL_PATH BRELVO_WINE)
else()
  find_program(BRELVO_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
endif()
if(BRELVO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${BRELVO_WINE}")
endif()
