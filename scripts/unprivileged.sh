#!/usr/bin/env bash
# Runs the test suite of a finished build once more as the user nobody while
# another program holds UDP port 1000: how most users meet the program, whose
# start-up bind of that port then fails. Tests that need the port skip.
#   scripts/unprivileged.sh BUILD_DIR [ctest arguments...]
set -euo pipefail

build="$(realpath "${1:?usage: unprivileged.sh BUILD_DIR [ctest arguments...]}")"
shift
port=1000
as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)

if [[ $EUID -ne 0 ]]; then
    echo "Unprivileged run skipped: the suite has just run without root."
    exit 0
fi
for tool in setpriv socat ss ctest; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
if ! "${as_nobody[@]}" test -r "$build/tests/CTestTestfile.cmake" -a -x "$build/tarvik"; then
    echo "the user nobody cannot read $build (try: chmod -R o+rX on it)" >&2
    exit 1
fi

scratch="$(mktemp -d)"
holder=""
# package_test installs from the build tree, and an install writes its list of
# files there: nobody may write that one file during the run.
manifest="$build/install_manifest.txt"
manifest_owner=""
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    if [[ -n "$holder" ]]; then
        kill "$holder" 2>/dev/null || true
        wait "$holder" 2>/dev/null || true
    fi
    if [[ -n "$manifest_owner" ]]; then
        chown "$manifest_owner" "$manifest"
    else
        rm -f "$manifest"
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [[ -e "$manifest" ]]; then
    manifest_owner="$(stat -c %u:%g "$manifest")"
fi
touch "$manifest"
chown 65534:65534 "$manifest"

# ctest writes its logs next to the test lists and runs each test there, so
# nobody gets a copy of just the lists; they name the built programs by path.
(cd "$build" && find . -name CTestTestfile.cmake -exec cp --parents {} "$scratch" \;)
mkdir -m 700 "$scratch/home" "$scratch/runtime"
chown -R 65534:65534 "$scratch"

socat -u "UDP-RECV:$port" /dev/null 2>"$scratch/holder.log" &
holder=$!
for _ in $(seq 50); do # up to 5 s
    [[ -n "$(ss -Huln "sport = :$port")" ]] && break
    sleep 0.1
done
if [[ -z "$(ss -Huln "sport = :$port")" ]]; then
    cat "$scratch/holder.log" >&2
    echo "could not hold UDP port $port for the unprivileged run" >&2
    exit 1
fi

# The tests' port lock, made by root first: in a sticky /tmp, root may not open
# a file that nobody made.
lock="$(sed -n 's/^TARVIK_PORT_LOCK:FILEPATH=//p' "$build/CMakeCache.txt")"
[[ -n "$lock" ]] && touch "$lock"

echo "Test suite again as nobody, with UDP port $port held by another program:"
HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORM=offscreen \
    "${as_nobody[@]}" ctest --test-dir "$scratch" --output-on-failure --no-tests=error \
    --timeout 300 -j "$(nproc)" "$@"
