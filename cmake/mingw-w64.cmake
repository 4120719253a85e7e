# Cross-compiling for x86_64 Windows with Debian's mingw-w64 (POSIX threads flavour), against an FFmpeg
# built by scripts/ffmpeg.sh windows: pass its prefix as AE_WIN_FFMPEG.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${AE_WIN_FFMPEG})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must find only the cross-built FFmpeg: configure with PKG_CONFIG_LIBDIR=<prefix>/lib/pkgconfig in
# the environment (scripts/windows.sh does).
