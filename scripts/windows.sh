#!/usr/bin/env bash
# Cross-builds Tarvik for 64-bit Windows, runs its test suite under Wine and
# packs it; leaves in build-windows/
#   tarvik-<version>.zip        the program's folder, to unpack anywhere;
#   tarvik-<version>-setup.exe  its installer (/S installs without asking).
# Arguments go to ctest (scripts/windows.sh -R tst_window).
# Qt for Windows: $TARVIK_QT_WINDOWS, else ../shared/qt6-mingw beside the
# project, else one built once into a cache folder (scripts/windows-qt.sh).
# Every stage prints its wall time.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
began=$SECONDS
build="$root/build-windows"
jobs=$(nproc)
wine=/usr/lib/wine/wine64
export WINEPREFIX="$build/wine" WINEDEBUG=-all

stage() {
    local name=$1 start=$SECONDS
    shift
    echo "== windows: $name"
    if ! "$@"; then
        echo "== windows: $name FAILED after $((SECONDS - start)) s" >&2
        return 1
    fi
    echo "== windows: $name: $((SECONDS - start)) s"
}

stage "set-up" scripts/setup.sh --windows

qt="${TARVIK_QT_WINDOWS:-$root/../shared/qt6-mingw}"
if [[ ! -f "$qt/toolchain.cmake" ]]; then
    cache="${XDG_CACHE_HOME:-$HOME/.cache}/tarvik/qt6-mingw"
    if [[ -n "${TARVIK_QT_WINDOWS:-}" ]]; then
        echo "windows: TARVIK_QT_WINDOWS=$TARVIK_QT_WINDOWS holds no toolchain.cmake" >&2
        exit 1
    fi
    if [[ ! -f "$cache/prefix/toolchain.cmake" ]]; then
        echo "windows: no Qt for Windows at $qt: building Qt 6.4 into $cache" \
             "(once; about 30 minutes on two cores)"
        stage "Qt for Windows" scripts/windows-qt.sh "$cache/work" "$cache/prefix"
        rm -rf "$cache/work"
    fi
    qt="$cache/prefix"
fi
qt="$(cd "$qt" && pwd)"
echo "windows: Qt from $qt"

build_program() {
    cmake --preset windows -DCMAKE_TOOLCHAIN_FILE="$qt/toolchain.cmake" \
        -DCMAKE_PREFIX_PATH="$qt" -DTARVIK_WERROR=ON >/dev/null
    nice cmake --build --preset windows -j "$jobs"
}
stage "build" build_program

# The tests run offscreen, as on Linux, but under a Wine desktop of their own.
# shellcheck source=scripts/wineDesktop.sh
. "$root/scripts/wineDesktop.sh"
start_wine_desktop || { echo "windows: Xvfb did not start" >&2; exit 1; }

# A Wine prefix of the build's own, made once.
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    stage "Wine prefix" "$wine" wineboot -i
fi

suite() {
    local status=0
    ctest --test-dir "$build" -j "$jobs" --output-on-failure --no-tests=error "$@" || status=$?
    # What skipped, and why: ctest names the tests, the reasons are in its log.
    echo "Skipped under Wine:"
    grep -hE "^SKIP on Windows|^SKIP +:" "$build/Testing/Temporary/LastTest.log" \
        | sed 's/^/  /' | sort -u || echo "  nothing"
    return $status
}
stage "test suite under Wine" suite "$@"

package() {
    local version stage_dir
    version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
    stage_dir="$build/tarvik-$version"
    rm -rf "$stage_dir" "$build/tarvik-$version.zip" "$build/tarvik-$version-setup.exe"
    cmake --install "$build" --prefix "$stage_dir" --strip >/dev/null
    # Debian ships MinGW's runtime with its symbols: libstdc++ is 23 MB so.
    find "$stage_dir" -name '*.dll' -exec x86_64-w64-mingw32-strip --strip-unneeded {} +
    # Without its TLS plugin the program would start, and fail every TLS role.
    [[ -f "$stage_dir/tls/qschannelbackend.dll" ]] || { echo "windows: no TLS plugin staged" >&2; return 1; }
    (cd "$build" && zip -qr9 "tarvik-$version.zip" "tarvik-$version")
    makensis -V2 -DVERSION="$version" -DSTAGE="$stage_dir" \
        -DOUTFILE="$build/tarvik-$version-setup.exe" "$root/dist/windows/tarvik.nsi"
    ls -l "$build/tarvik-$version.zip" "$build/tarvik-$version-setup.exe"
}
stage "packages" package
echo "Windows build, suite and packages done in $((SECONDS - began)) s."
