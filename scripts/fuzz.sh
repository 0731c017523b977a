#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each one for the given number
# of seconds, starting from a scratch copy of its seed corpus in fuzz/corpus/ so the repository
# stays as it is. Fails on any crash, sanitizer report or disagreement with a reference model.
#   scripts/fuzz.sh [seconds per target, default 60]
# FUZZ_BUILD_DIR overrides the build directory (default: build-fuzz, as in the preset);
# JOBS limits parallel compiles (default: all cores).
# A failing input is kept in <build dir>/fuzz-artifacts/; replay it with
#   <build dir>/fuzz/fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [seconds per target]" >&2; exit 2; }
targets=(portText hexRecord utf8Stream textStore hexText)

build=${FUZZ_BUILD_DIR:-$PWD/build-fuzz}
for tool in clang++-14 cmake ninja; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is missing; the fuzz build needs these Debian packages:" >&2
        echo "  clang-14 libclang-rt-14-dev cmake ninja-build qt6-base-dev" >&2
        exit 1
    fi
done

start=$SECONDS
cmake --preset fuzz -B "$build" -DTARVIK_WERROR=ON >/dev/null
cmake --build "$build" --target fuzz -j "${JOBS:-$(nproc)}"
echo "build: $((SECONDS - start)) s"

artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
# TARGET: fuzzes one target; its report goes to $scratch/TARGET.report.
fuzz_one() {
    local target=$1 corpus=$scratch/$1 report=$scratch/$1.report seeds
    cp -r "fuzz/corpus/$target" "$corpus"
    echo "== fuzz_$target for $seconds s" >"$report"
    # -timeout: a single input that takes this long is a hang, which counts as a failure.
    if "$build/fuzz/fuzz_$target" "$corpus" -max_total_time="$seconds" -timeout=20 \
            -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
            >"$scratch/$target.log" 2>&1; then
        seeds=$(find "fuzz/corpus/$target" -type f | wc -l)
        grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' \
            "$scratch/$target.log" >>"$report" || true
        echo "   corpus grew from $seeds to $(find "$corpus" -type f | wc -l) inputs" >>"$report"
    else
        tail -n 60 "$scratch/$target.log" >>"$report"
        echo "FAIL: fuzz_$target (the failing input is in $artifacts/)" >>"$report"
    fi
}

# As many targets at once as there are cores; each is a single process.
for target in "${targets[@]}"; do
    while (($(jobs -rp | wc -l) >= ${JOBS:-$(nproc)})); do
        wait -n || true
    done
    fuzz_one "$target" &
done
wait || true
failed=()
for target in "${targets[@]}"; do
    cat "$scratch/$target.report"
    grep -q '^FAIL:' "$scratch/$target.report" && failed+=("$target")
done

echo "total: $((SECONDS - start)) s"
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "FAILED: ${failed[*]}" >&2
    exit 1
fi
echo "PASS: ${targets[*]} ran $seconds s each with no crash or model mismatch"
