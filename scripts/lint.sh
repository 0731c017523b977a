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
mapfile -t sources < <(find app worker text ui net link data log field capture strips tests bench fuzz tools \
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
cmake --build "$build" -j1 --target tarvik_worker_autogen tarvik_textmodel_autogen tarvik_transfer_autogen tarvik_x11copy_autogen \
    tarvik_textwidget_autogen tarvik_net_autogen tarvik_window_autogen tarvik_autogen \
    tarvik_capture_autogen tarvik_strips_autogen tarvik_log_autogen \
    >/dev/null || exit 2

# The files this build compiles: one for another system (systemSocketsWindows.cpp)
# has no compile command here to parse it with.
mapfile -t checked < <(find app worker text ui net link data log field capture strips -type f -name '*.cpp' \
    | sort | while read -r file; do
        grep -q "\"file\": \"[^\"]*/$file\"" "$build/compile_commands.json" && echo "$file"
    done)

# clang-tidy spends most of its time walking Qt's headers, once per translation
# unit. So the files that one target compiles with the same flags are analysed
# as one unit that includes them all; a unit that does not parse as one (two
# files with a helper of the same name) falls back to its files one by one.
units="$build/lint-units"
rm -rf "$units"
mkdir -p "$units"
python3 - "$root" "$build/compile_commands.json" "$units" "${checked[@]}" <<'PY' || exit 2
import collections, json, os, re, sys
root, database, units, checked = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
wanted = {os.path.join(root, path) for path in checked}
groups = collections.defaultdict(list)
for entry in json.load(open(database)):
    source = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    if source not in wanted:
        continue
    flags = re.sub(r" -o \S+", "", entry["command"]).replace(" -c " + entry["file"], "")
    groups[(entry["directory"], flags)].append(source)
commands = []
with open(os.path.join(units, "units.txt"), "w") as listing:
    for number, ((directory, flags), sources) in enumerate(sorted(groups.items())):
        unit = os.path.join(units, f"unit{number}.cpp")
        with open(unit, "w") as text:
            text.writelines(f'#include "{source}" // NOLINT(bugprone-suspicious-include)\n'
                           for source in sorted(sources))
        commands.append({"directory": directory, "file": unit, "command": f"{flags} -c {unit}"})
        listing.write(unit + "\t" + " ".join(sorted(sources)) + "\n")
json.dump(commands, open(os.path.join(units, "compile_commands.json"), "w"), indent=1)
PY
# Findings in a unit's own files print, and in the headers .clang-tidy names.
escaped=$(printf '%s' "$root" | sed 's/[][\\.*^$+?(){}|]/\\&/g')
own="^$escaped/(app|text|ui|net|link|data|field|capture|strips)/.*\\.cpp\$"
headers="^.*/(app|ui|net|link|data)/[^/]*\\.h\$"
# One unit a core at a time; its findings print together once it is done.
# --quiet drops the "N warnings generated" lines; findings still print.
tidy_unit() {
    local build=$1 units=$2 filter=$3 unit=$4 sources=$5 output rc status=0 source
    output=$(clang-tidy -p "$units" --quiet --header-filter="$filter" "$unit" 2>/dev/null)
    rc=$?
    if [[ $rc -eq 0 ]]; then
        [[ -n $output ]] && printf '%s\n' "$output"
        [[ -z $output ]]
        return
    fi
    echo "lint: $(basename "$unit") does not parse as one unit; analysing its files one by one" >&2
    for source in $sources; do
        output=$(clang-tidy -p "$build" --quiet "$source" 2>/dev/null)
        rc=$?
        [[ -n $output ]] && { printf '%s\n' "$output"; status=1; }
        [[ $rc -ne 0 ]] && { echo "lint: clang-tidy failed on $source (exit $rc)" >&2; status=1; }
    done
    return $status
}
export -f tidy_unit
if ! while IFS=$'\t' read -r unit sources; do printf '%s\0%s\0' "$unit" "$sources"; done <"$units/units.txt" \
        | xargs -0 -n2 -P "$(nproc)" bash -c 'tidy_unit "$@"' _ "$build" "$units" "$own|$headers"; then
    status=1
fi

if ((status == 0)); then
    echo "lint: clean (${#sources[@]} files formatted, ${#checked[@]} analysed in $(wc -l <"$units/units.txt") units)"
fi
exit $status
