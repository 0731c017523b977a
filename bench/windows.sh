#!/usr/bin/env bash
# The flood rows for the Windows build under Wine (./bench.sh --windows):
# bench_udp cross-built with the same Qt for Windows and run under Wine, with
# its bare Qt reader (a socket that only counts) under the same Wine, beside
# the Linux build's bench_udp from one run on the same host. Prints one table;
# the figures are in build-windows-bench/bench-results.
#   bench/windows.sh [--runs N] [--rates "10000 50000 100000"]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs=3
rates="10000 50000 100000"
while [[ $# -gt 0 ]]; do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --rates) rates=$2; shift 2 ;;
    *) echo "bench/windows.sh: unknown argument $1" >&2; exit 1 ;;
    esac
done

qt="${TARVIK_QT_WINDOWS:-$root/../shared/qt6-mingw}"
[[ -f "$qt/toolchain.cmake" ]] || qt="${XDG_CACHE_HOME:-$HOME/.cache}/tarvik/qt6-mingw/prefix"
if [[ ! -f "$qt/toolchain.cmake" ]]; then
    echo "bench/windows.sh: no Qt for Windows; scripts/windows.sh finds or builds one" >&2
    exit 1
fi
qt="$(cd "$qt" && pwd)"
"$root/scripts/setup.sh" --windows

windows="$root/build-windows-bench"
linux="$root/build-bench"
cmake -S "$root" -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$qt/toolchain.cmake" -DCMAKE_PREFIX_PATH="$qt" \
    -DBUILD_TESTING=OFF -DTARVIK_BENCH=ON >/dev/null
cmake --build "$windows" --target bench_udp
cmake -S "$root" -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$linux" --target bench_udp

out="$windows/bench-results"
mkdir -p "$out"
export QT_QPA_PLATFORM=offscreen WINEPREFIX="$windows/wine" WINEDEBUG=-all
# shellcheck source=scripts/wineDesktop.sh
. "$root/scripts/wineDesktop.sh"
start_wine_desktop || { echo "bench/windows.sh: Xvfb did not start" >&2; exit 1; }
[[ -f "$WINEPREFIX/system.reg" ]] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1

# The Windows build's floods come from the Linux build: Wine's own sends are
# too slow to make them.
"$linux/bench/bench_udp" --flood-server >"$out/flood-server.port" &
server=$!
trap 'kill "$server" 2>/dev/null; stop_wine_desktop' EXIT
for _ in $(seq 100); do [[ -s "$out/flood-server.port" ]] && break; sleep 0.05; done
server_port="$(head -1 "$out/flood-server.port")"

locked() { flock --close /tmp/tarvik-window.lock "$@"; }
for rate in $rates; do
    echo "== UDP $rate/s: Windows build under Wine" >&2
    locked "$windows/wine.sh" "$windows/bench_udp.exe" --rate "$rate" --runs "$runs" \
        --flood-server-port "$server_port" \
        2>"$out/udp-$rate-windows.err" | tr -d '\r' | tee "$out/udp-$rate-windows.txt" >&2
    echo "== UDP $rate/s: Linux build" >&2
    locked "$linux/bench/bench_udp" --rate "$rate" --runs "$runs" \
        2>"$out/udp-$rate-linux.err" | tee "$out/udp-$rate-linux.txt" >&2
done

value() { sed -n "s/^RESULT|$2|\([^|]*\)|.*/\1/p" "$1" | head -1; }
printf '\n| UDP flood | Windows build under Wine | bare Qt reader under Wine | Windows / bare | Linux build | Windows / Linux | longest stall, Windows / Linux |\n'
printf '|---|---|---|---|---|---|---|\n'
for mode in text hex; do
    for rate in $rates; do
        key="udp_${mode}_$((rate / 1000))k"
        w="$(value "$out/udp-$rate-windows.txt" "${key}_window_pct")"
        b="$(value "$out/udp-$rate-windows.txt" "${key}_bare_pct")"
        l="$(value "$out/udp-$rate-linux.txt" "${key}_window_pct")"
        ws="$(value "$out/udp-$rate-windows.txt" "${key}_stall_ms")"
        ls_="$(value "$out/udp-$rate-linux.txt" "${key}_stall_ms")"
        ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b == 0) print "-"; else printf "%.3f", a / b }'; }
        printf '| %s/s, %s | %s%% | %s%% | %s | %s%% | %s | %s / %s ms |\n' "$rate" "$mode" \
            "${w:--}" "${b:--}" "$(ratio "$w" "$b")" "${l:--}" "$(ratio "$w" "$l")" "${ws:--}" "${ls_:--}"
    done
done
