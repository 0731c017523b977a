#!/usr/bin/env bash
# Checks the formatting of every C++ file and runs clang-tidy over the
# program's own sources; exits non-zero on any finding.
#
#   scripts/lint.sh [build-dir]     (default: build-lint, configured if needed)
#
# Needs the Debian packages clang-format and clang-tidy.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 2
build=${1:-build-lint}

for tool in clang-format clang-tidy; do
    if ! command -v "$tool" >/dev/null; then
        echo "lint: $tool is missing; install it with: apt-get install $tool" >&2
        exit 2
    fi
done

status=0

# Formatting: every C++ file of ours, tests and tools included.
mapfile -t sources < <(find app text ui net link data field capture strips tests bench fuzz tools \
    -type f \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null | sort)
if ((${#sources[@]} == 0)); then
    echo "lint: no sources found under $root" >&2
    exit 2
fi
if ! clang-format --dry-run -Werror "${sources[@]}"; then
    echo "lint: formatting differs; run clang-format -i on the files above" >&2
    status=1
fi

# Static analysis needs the compile commands of a configured build.
if [[ ! -f "$build/compile_commands.json" ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
fi
# moc and uic output must exist for the sources to parse.
cmake --build "$build" -j1 --target tarvik_textmodel_autogen tarvik_transfer_autogen tarvik_x11copy_autogen \
    tarvik_textwidget_autogen tarvik_net_autogen tarvik_window_autogen tarvik_autogen \
    tarvik_capture_autogen tarvik_strips_autogen \
    >/dev/null || exit 2

# The files this build compiles: one for another system (systemSocketsWindows.cpp)
# has no compile command here to parse it with.
mapfile -t checked < <(find app text ui net link data field capture strips -type f -name '*.cpp' \
    | sort | while read -r file; do
        grep -q "\"file\": \"[^\"]*/$file\"" "$build/compile_commands.json" && echo "$file"
    done)
# One file a core at a time; a file's findings print together once it is done.
# --quiet drops the "N warnings generated" lines; findings still print.
tidy_one() {
    local output rc
    output=$(clang-tidy -p "$1" --quiet "$2" 2>/dev/null)
    rc=$?
    [[ -n $output ]] && printf '%s\n' "$output"
    [[ $rc -ne 0 ]] && echo "lint: clang-tidy failed on $2 (exit $rc)" >&2
    [[ $rc -eq 0 && -z $output ]]
}
export -f tidy_one
if ! printf '%s\0' "${checked[@]}" \
        | xargs -0 -n1 -P "$(nproc)" bash -c 'tidy_one "$0" "$1"' "$build"; then
    status=1
fi

if ((status == 0)); then
    echo "lint: clean (${#sources[@]} files formatted, ${#checked[@]} analysed)"
fi
exit $status
