# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads) and a
# Qt + FFTW prefix built for x86_64-w64-mingw32 (scripts/windows/toolchain).
#   cmake -S . -B build-windows \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DQUORVANE_WINDOWS_PREFIX=<toolchain>/qt5-mingw
# Tests then run under wine through CTest.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

# The prefix is handed on to try_compile projects through the environment.
if(NOT QUORVANE_WINDOWS_PREFIX AND DEFINED ENV{QUORVANE_WINDOWS_PREFIX})
    set(QUORVANE_WINDOWS_PREFIX "$ENV{QUORVANE_WINDOWS_PREFIX}")
endif()
if(NOT QUORVANE_WINDOWS_PREFIX)
    message(FATAL_ERROR "Set QUORVANE_WINDOWS_PREFIX to the Qt + FFTW prefix for ${triple}")
endif()
set(QUORVANE_WINDOWS_PREFIX "${QUORVANE_WINDOWS_PREFIX}" CACHE PATH "Qt + FFTW prefix for ${triple}")
set(ENV{QUORVANE_WINDOWS_PREFIX} "${QUORVANE_WINDOWS_PREFIX}")

set(CMAKE_FIND_ROOT_PATH "${QUORVANE_WINDOWS_PREFIX}" /usr/${triple})
set(CMAKE_PREFIX_PATH "${QUORVANE_WINDOWS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must find the prefix's fftw3.pc, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${QUORVANE_WINDOWS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Test executables run under wine64, through a wrapper that hands wine what it
# would drop and prints QtTest's log.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/windows/wine-test")
