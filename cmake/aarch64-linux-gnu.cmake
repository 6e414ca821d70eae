# Cross build for 64-bit Arm Linux on a Debian amd64 machine, with Debian's
# cross compiler (g++-aarch64-linux-gnu) and libraries of Debian's arm64
# architecture installed beside the native ones (multiarch: libre2-dev:arm64
# puts its archive in /usr/lib/aarch64-linux-gnu). scripts/setup.sh
# --cross arm64 installs both. The release-arm64 preset uses this file.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The compiler's own C library and libstdc++ live under
# /usr/aarch64-linux-gnu; multiarch libraries live in the machine's /usr,
# outside that root, so libraries and headers are looked for in both.
# Programs run on the build machine and are never taken from the root.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must describe the arm64 libraries, never the build machine's.
# (Debian's cross compiler searches /usr/include last, where RE2's headers,
# the same for every architecture, are.)
set(ENV{PKG_CONFIG_LIBDIR}
    /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
