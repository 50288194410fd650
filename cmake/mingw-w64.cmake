# Cross-compiles the plug-in for 64-bit Windows with Debian's MinGW-w64 (the posix-thread
# compilers, for std::thread and std::mutex). Used by scripts/build-windows; the Linux build
# needs no toolchain file.
set (CMAKE_SYSTEM_NAME Windows)
set (CMAKE_SYSTEM_PROCESSOR x86_64)

set (VELMORINE_MINGW_TRIPLE x86_64-w64-mingw32)
set (CMAKE_C_COMPILER ${VELMORINE_MINGW_TRIPLE}-gcc-posix)
set (CMAKE_CXX_COMPILER ${VELMORINE_MINGW_TRIPLE}-g++-posix)
set (CMAKE_RC_COMPILER ${VELMORINE_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW sysroot only; build tools (juceaide) from Linux.
set (CMAKE_FIND_ROOT_PATH /usr/${VELMORINE_MINGW_TRIPLE})
set (CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set (CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set (CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set (CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
