#!/usr/bin/env bash
# Installs the built program into a scratch root and builds its Debian package, checking that
# both carry the program, its menu entry, icons and metadata. Nothing touches the real system.
# Usage: bash tests/package_test.sh path/to/tarvik   (the build dir is the binary's directory)
set -euo pipefail

binary=$(realpath "${1:?usage: package_test.sh path/to/tarvik}")
build=$(dirname "$binary")
app=org.tarvik.Tarvik
expected=(
    usr/bin/tarvik
    usr/share/applications/$app.desktop
    usr/share/icons/hicolor/48x48/apps/$app.png
    usr/share/icons/hicolor/scalable/apps/$app.svg
    usr/share/metainfo/$app.metainfo.xml
)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; }
have() { command -v "$1" >/dev/null; }

[[ -f $build/CMakeCache.txt && -f $build/CPackConfig.cmake ]] \
    || { echo "FAIL: $build is not a configured build dir" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# --- cmake --install ------------------------------------------------------------------------
root=$scratch/root
if ! DESTDIR=$root cmake --install "$build" --prefix /usr >"$scratch/install.log" 2>&1; then
    cat "$scratch/install.log" >&2
    echo "FAIL: cmake --install (is the icon built? cmake --build $build)" >&2
    exit 1
fi
for file in "${expected[@]}"; do
    [[ -s $root/$file ]] || fail "install: $file missing or empty"
done
[[ -x $root/usr/bin/tarvik ]] || fail "install: usr/bin/tarvik is not executable"

# The PNG is drawn at build time: it must be a real 48x48 picture with transparent rounded
# corners and an opaque tile, not a blank or wrongly sized canvas.
png=$root/usr/share/icons/hicolor/48x48/apps/$app.png
svg=$root/usr/share/icons/hicolor/scalable/apps/$app.svg
if [[ -s $png ]]; then
    info=$(file -b "$png")
    [[ $info == "PNG image data, 48 x 48,"* ]] || fail "icon: $info, expected a 48 x 48 PNG"
    if have convert; then
        alpha=$(convert "$png" -format '%[fx:p{0,0}.a] %[fx:p{24,24}.a] %[fx:p{47,47}.a]' info:)
        [[ $alpha == "0 1 0" ]] || fail "icon: corner/centre alpha is '$alpha', expected '0 1 0'"
    fi
fi
# The hand-drawn SVG must still look like what the program draws.
if have rsvg-convert && have compare && [[ -s $png && -s $svg ]]; then
    rsvg-convert -w 48 -h 48 "$svg" -o "$scratch/svg48.png"
    rmse=$(compare -metric RMSE "$png" "$scratch/svg48.png" null: 2>&1 \
        | sed 's/.*(\(.*\))/\1/' || true)
    awk -v r="$rmse" 'BEGIN { exit !(r != "" && r + 0 < 0.05) }' \
        || fail "icon: the SVG differs from drawIcon() (normalised RMSE $rmse, limit 0.05)"
else
    skip "rsvg-convert or compare missing: SVG not compared with the drawn icon"
fi

# --- validators -----------------------------------------------------------------------------
if have desktop-file-validate; then
    out=$(desktop-file-validate "$root/usr/share/applications/$app.desktop" 2>&1) \
        && [[ -z $out ]] || fail "desktop-file-validate: $out"
else
    skip "desktop-file-validate missing (package desktop-file-utils)"
fi
if have appstreamcli; then
    appstreamcli validate --no-net "$root/usr/share/metainfo/$app.metainfo.xml" \
        >"$scratch/appstream.log" 2>&1 \
        || fail "appstreamcli validate: $(cat "$scratch/appstream.log")"
else
    skip "appstreamcli missing (package appstream)"
fi

# --- Debian package -------------------------------------------------------------------------
if ! cpack -G DEB -B "$scratch/deb" --config "$build/CPackConfig.cmake" \
        >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack -G DEB" >&2
    exit 1
fi
debs=("$scratch"/deb/tarvik_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || { echo "FAIL: no single tarvik_*.deb" >&2; exit 1; }
deb=${debs[0]}

field() { dpkg-deb -f "$deb" "$1"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[[ $(field Package) == tarvik ]] || fail "deb: Package is '$(field Package)'"
[[ -n $version && $(field Version) == "$version" ]] \
    || fail "deb: Version '$(field Version)', project version '$version'"
[[ $(field Section) == net ]] || fail "deb: Section is '$(field Section)'"
[[ $(field Maintainer) == *@* ]] || fail "deb: Maintainer '$(field Maintainer)' has no address"
[[ -n $(field Description) ]] || fail "deb: no Description"
depends=$(field Depends)
for library in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libc6; do
    [[ $depends =~ (^|[ ,])$library([ ,]|$) ]] || fail "deb: Depends lacks $library: $depends"
done
# The metainfo's newest release is the first: it must be the version being packaged.
release=$(grep -o '<release version="[^"]*"' "$root/usr/share/metainfo/$app.metainfo.xml" \
    | head -n 1 | cut -d'"' -f2)
[[ $release == "$version" ]] || fail "metainfo: newest release '$release', package '$version'"

dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./||' >"$scratch/contents"
for file in "${expected[@]}"; do
    grep -qxF "$file" "$scratch/contents" || fail "deb: $file not in the package"
done

extracted=$scratch/extracted
dpkg -x "$deb" "$extracted"
if [[ -x $extracted/usr/bin/tarvik ]]; then
    # Every library the packaged program needs must resolve on this system.
    missing=$(ldd "$extracted/usr/bin/tarvik" | grep 'not found' || true)
    [[ -z $missing ]] || fail "deb: unresolved libraries: $missing"
else
    fail "deb: usr/bin/tarvik missing or not executable after dpkg -x"
fi

if [[ $failures -gt 0 ]]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "PASS: install tree and $(basename "$deb") are complete"
