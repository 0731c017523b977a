#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer (preset "asan") and runs
# the whole test suite under them. Any report fails: ASan halts on the first error, UBSan is
# built with -fno-sanitize-recover, and LeakSanitizer checks every test program at exit (the
# suite leaks nothing, Qt included; scripts/lsan.supp holds the one glibc resolver leak).
# The sanitized build has no benchmarks: it builds what its suite runs and nothing more.
#   scripts/sanitize.sh [--build-only | --tests-only] [extra ctest arguments, e.g. -R tst_portText]
# ASAN_BUILD_DIR overrides the build directory (default: build-asan, as in the preset);
# JOBS limits parallel compiles and tests (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${ASAN_BUILD_DIR:-$PWD/build-asan}
jobs=${JOBS:-$(nproc)}
steps=both
case "${1:-}" in
    --build-only) steps=build; shift ;;
    --tests-only) steps=tests; shift ;;
esac

if [[ $steps != tests ]]; then
    start=$SECONDS
    cmake --preset asan -B "$build" -DTARVIK_WERROR=ON >/dev/null
    cmake --build "$build" -j "$jobs"
    echo "build: $((SECONDS - start)) s"
    [[ $steps == build ]] && exit 0
fi

# Keep these in step with the "asan" test preset (ctest --preset cannot take another build dir).
export QT_QPA_PLATFORM=offscreen
asan=(detect_leaks=1 halt_on_error=1 detect_stack_use_after_return=1 strict_init_order=1)
ASAN_OPTIONS=$(IFS=:; echo "${asan[*]}")
export ASAN_OPTIONS
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The tests that bind the window's fixed ports each hold a file lock, so this
# suite may run beside another on the same machine.
start=$SECONDS
status=0
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" "$@" || status=$?
echo "tests: $((SECONDS - start)) s"
exit $status
