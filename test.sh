#!/usr/bin/env bash
# Installs what is missing, builds, and runs every check:
#   the test suite (offscreen, plus the real window under Xvfb), and for root
#   the suite again as nobody while another program holds UDP port 1000,
#   the same suite under AddressSanitizer and UndefinedBehaviorSanitizer,
#   each fuzz target for 15 s (scripts/reliability.sh fuzzes long), and the
#   format and clang-tidy checks.
# ./test.sh --quick runs the test suite alone. Other arguments go to ctest.
# Every stage prints its wall time. The suites mostly wait on windows and
# sockets, so the sanitized build, the fuzzers and clang-tidy run beside them at
# the lowest priority, in the cores the suites leave idle.
set -euo pipefail
cd "$(dirname "$0")"

quick=false
if [[ "${1:-}" == "--quick" ]]; then
    quick=true
    shift
fi
jobs=$(nproc)
began=$SECONDS

# NAME COMMAND...: runs one stage in the foreground.
stage() {
    local name=$1 start=$SECONDS
    shift
    echo "== $name"
    if ! "$@"; then
        echo "== $name FAILED after $((SECONDS - start)) s" >&2
        return 1
    fi
    echo "== $name: $((SECONDS - start)) s"
}

# NAME COMMAND...: starts a stage beside the others, at the lowest priority;
# finish NAME waits for it and prints what it said.
declare -A beside
logs=""
background() {
    local name=$1
    shift
    # A session of its own, so that a failure elsewhere can stop all of it.
    setsid bash -c 'nice -n 19 "${@:2}"; status=$?; echo "$SECONDS" >"$1"; exit $status' \
        _ "$logs/$name.seconds" "$@" >"$logs/$name.log" 2>&1 &
    beside[$name]=$!
}
finish() {
    local name=$1 status=0
    wait "${beside[$name]}" || status=$?
    unset "beside[$name]"
    echo "== $name (run beside the others)"
    cat "$logs/$name.log"
    if ((status != 0)); then
        echo "== $name FAILED after $(cat "$logs/$name.seconds") s" >&2
        return 1
    fi
    echo "== $name: $(cat "$logs/$name.seconds") s"
}
# shellcheck disable=SC2317 # run by the trap
stop_beside() {
    local pid
    for pid in "${beside[@]}"; do
        kill -- "-$pid" 2>/dev/null || true
    done
    [[ -n $logs ]] && rm -rf "$logs"
}
trap stop_beside EXIT

build() {
    cmake --preset default -DTARVIK_WERROR=ON >/dev/null
    cmake --build --preset default
}

stage "set-up" scripts/setup.sh --test
stage "build" build
logs=$(mktemp -d)
$quick || background "sanitized build" scripts/sanitize.sh --build-only
stage "test suite" ctest --preset default -j "$jobs" "$@"
stage "test suite as nobody" scripts/unprivileged.sh build "$@"
if ! $quick; then
    finish "sanitized build"
    background "fuzzing" scripts/fuzz.sh 15
    background "lint" scripts/lint.sh build
    stage "sanitized suite" scripts/sanitize.sh --tests-only "$@"
    finish "fuzzing"
    finish "lint"
fi
echo "All checks passed in $((SECONDS - began)) s."
