#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer (preset "asan") and runs
# the whole test suite under them. Any report fails: ASan halts on the first error, UBSan is
# built with -fno-sanitize-recover, and LeakSanitizer checks every test program at exit (the
# suite leaks nothing, Qt included; scripts/lsan.supp holds the one glibc resolver leak).
#   scripts/sanitize.sh [extra ctest arguments, e.g. -R tst_portText]
# ASAN_BUILD_DIR overrides the build directory (default: build-asan, as in the preset);
# JOBS limits parallel compiles (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${ASAN_BUILD_DIR:-$PWD/build-asan}

start=$SECONDS
cmake --preset asan -B "$build" >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}"
echo "build: $((SECONDS - start)) s"

# Keep these in step with the "asan" test preset (ctest --preset cannot take another build dir).
export QT_QPA_PLATFORM=offscreen
asan=(detect_leaks=1 halt_on_error=1 detect_stack_use_after_return=1 strict_init_order=1)
ASAN_OPTIONS=$(IFS=:; echo "${asan[*]}")
export ASAN_OPTIONS
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The window's tests bind its fixed ports: runs on one machine (a normal build's tests, say)
# wait for each other on this lock.
lock=()
if command -v flock >/dev/null; then
    lock=(flock "${TARVIK_PORT_LOCK:-/tmp/tarvik-window.lock}")
fi
start=$SECONDS
status=0
"${lock[@]}" ctest --test-dir "$build" --output-on-failure --no-tests=error "$@" \
    || status=$?
echo "tests: $((SECONDS - start)) s"
exit $status
