#!/usr/bin/env bash
# Builds the Qt that scripts/windows.sh builds against, where none is at hand:
# qtbase 6.4 (Core, Gui, Widgets, Network, Test, the Windows platform plugin
# and the Vista style) for x86_64-w64-mingw32 with posix threads, shared, from
# Debian's own source package and against the host's Qt tools of that version.
#   scripts/windows-qt.sh WORKDIR PREFIX    (about 30 minutes on two cores)
# Needs deb-src lines in apt's sources for `apt-get source`.
set -euo pipefail
work=$1 prefix=$2
mkdir -p "$work" "$prefix"
work="$(cd "$work" && pwd)" prefix="$(cd "$prefix" && pwd)"
cd "$work"
if [[ ! -d src ]]; then
    apt-get source qt6-base >/dev/null || {
        echo "windows-qt: apt-get source qt6-base failed: add deb-src lines to apt's sources" >&2
        exit 1
    }
    mv qt6-base-*/ src
fi
# The toolchain file goes with the prefix, and adds it to the search roots.
cat >toolchain.cmake <<'TOOLCHAIN'
# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads).
# Lies beside the Qt it was built for, which it adds to the search roots.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${CMAKE_CURRENT_LIST_DIR}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
TOOLCHAIN
# Debian's source lacks 3rdparty/wintab: no tablet events. The Windows
# platform plugin of 6.4 does not compile without OpenGL: dynamic OpenGL, as
# Qt ships it for Windows.
cmake -G Ninja -S src -B build \
    -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_openssl=OFF \
    -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_opengl=ON -DINPUT_opengl=dynamic \
    -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$work/src=qtbase" \
    -DCMAKE_C_FLAGS="-ffile-prefix-map=$work/src=qtbase"
cmake --build build
cmake --install build
x86_64-w64-mingw32-strip --strip-unneeded "$prefix"/bin/*.dll "$prefix"/plugins/*/*.dll
cp toolchain.cmake "$prefix/toolchain.cmake"
