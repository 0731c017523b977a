#!/usr/bin/env bash
# The flood and stream rows for the Windows build under Wine
# (./bench.sh --windows): bench_udp and bench_tcp cross-built with the same Qt
# for Windows and run under Wine, each with its bare Qt peer (a socket that
# only counts) under the same Wine (for UDP also a loop of the system's own
# receive calls, with no Qt: what Wine alone allows), beside the Linux build's
# from one run on the same host. Prints a table for each; the figures are in
# build-windows-bench/bench-results.
#   bench/windows.sh [--runs N] [--rates "10000 50000 100000"] [--mb N] [--only udp|tcp|log]
# --mb sizes the TCP streams (N MB of text, N/4 of hex; 256 keeps a row under
# Wine within about a minute), the same for both builds. The log rows are its
# capacity and its memory per character.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs=3
rates="10000 50000 100000"
mb=256
benches="udp tcp log"
while [[ $# -gt 0 ]]; do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --rates) rates=$2; shift 2 ;;
    --mb) mb=$2; shift 2 ;;
    --only)
        [[ $2 == udp || $2 == tcp || $2 == log ]] || { echo "bench/windows.sh: --only udp, tcp or log" >&2; exit 1; }
        benches=$2; shift 2 ;;
    *) echo "bench/windows.sh: unknown argument $1" >&2; exit 1 ;;
    esac
done
runs_udp() { [[ " $benches " == *" udp "* ]]; }
runs_tcp() { [[ " $benches " == *" tcp "* ]]; }
runs_log() { [[ " $benches " == *" log "* ]]; }
targets=()
for bench in $benches; do targets+=("bench_$bench"); done

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
cmake --build "$windows" --target "${targets[@]}"
cmake -S "$root" -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$linux" --target "${targets[@]}"

out="$windows/bench-results"
mkdir -p "$out"
export QT_QPA_PLATFORM=offscreen WINEPREFIX="$windows/wine" WINEDEBUG=-all
# shellcheck source=scripts/wineDesktop.sh
. "$root/scripts/wineDesktop.sh"
start_wine_desktop || { echo "bench/windows.sh: Xvfb did not start" >&2; exit 1; }
[[ -f "$WINEPREFIX/system.reg" ]] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1

# The Windows build's floods come from the Linux build: Wine's own sends are
# too slow to make them.
if runs_udp; then
    "$linux/bench/bench_udp" --flood-server >"$out/flood-server.port" &
    server=$!
    trap 'kill "$server" 2>/dev/null; stop_wine_desktop' EXIT
    for _ in $(seq 100); do [[ -s "$out/flood-server.port" ]] && break; sleep 0.05; done
    server_port="$(head -1 "$out/flood-server.port")"
fi

locked() { flock --close /tmp/tarvik-window.lock "$@"; }
if runs_udp; then
    for rate in $rates; do
        echo "== UDP $rate/s: Windows build under Wine" >&2
        locked "$windows/wine.sh" "$windows/bench_udp.exe" --rate "$rate" --runs "$runs" \
            --flood-server-port "$server_port" \
            2>"$out/udp-$rate-windows.err" | tr -d '\r' | tee "$out/udp-$rate-windows.txt" >&2
        echo "== UDP $rate/s: Linux build" >&2
        locked "$linux/bench/bench_udp" --rate "$rate" --runs "$runs" \
            2>"$out/udp-$rate-linux.err" | tee "$out/udp-$rate-linux.txt" >&2
    done
fi
if runs_tcp; then
    echo "== TCP $mb MB: Windows build under Wine" >&2
    # No TLS rows: Wine's SChannel takes no server certificate (README, Windows).
    locked "$windows/wine.sh" "$windows/bench_tcp.exe" --mb "$mb" --runs "$runs" --no-tls \
        2>"$out/tcp-windows.err" | tr -d '\r' | tee "$out/tcp-windows.txt" >&2
    echo "== TCP $mb MB: Linux build" >&2
    locked "$linux/bench/bench_tcp" --mb "$mb" --runs "$runs" --no-tls \
        2>"$out/tcp-linux.err" | tee "$out/tcp-linux.txt" >&2
fi
if runs_log; then
    echo "== the log's limits: Windows build under Wine" >&2
    "$windows/wine.sh" "$windows/bench_log.exe" --limits-only 2>"$out/log-windows.err" | tr -d '\r' \
        | tee "$out/log-windows.txt" >&2
    echo "== the log's limits: Linux build" >&2
    "$linux/bench/bench_log" --limits-only 2>"$out/log-linux.err" | tee "$out/log-linux.txt" >&2
fi

value() { sed -n "s/^RESULT|$2|\([^|]*\)|.*/\1/p" "$1" | head -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b == 0) print "-"; else printf "%.3f", a / b }'; }
# The tables, in Markdown.
tables() {
    if runs_udp; then
        printf '\n| UDP flood | Windows build under Wine | bare Qt reader under Wine | Windows / bare | system calls alone under Wine | Linux build | Windows / Linux | longest stall, Windows / Linux |\n'
        printf '|---|---|---|---|---|---|---|---|\n'
        for mode in text hex; do
            for rate in $rates; do
                key="udp_${mode}_$((rate / 1000))k"
                w="$(value "$out/udp-$rate-windows.txt" "${key}_window_pct")"
                b="$(value "$out/udp-$rate-windows.txt" "${key}_bare_pct")"
                sys="$(value "$out/udp-$rate-windows.txt" "${key}_system_pct")"
                l="$(value "$out/udp-$rate-linux.txt" "${key}_window_pct")"
                ws="$(value "$out/udp-$rate-windows.txt" "${key}_stall_ms")"
                ls_="$(value "$out/udp-$rate-linux.txt" "${key}_stall_ms")"
                printf '| %s/s, %s | %s%% | %s%% | %s | %s%% | %s%% | %s | %s / %s ms |\n' "$rate" "$mode" \
                    "${w:--}" "${b:--}" "$(ratio "$w" "$b")" "${sys:--}" "${l:--}" "$(ratio "$w" "$l")" "${ws:--}" "${ls_:--}"
            done
        done
    fi
    if runs_tcp; then
        # One decimal, or "-" for a figure the run did not give.
        one() { [[ -n "$1" ]] && printf '%.1f' "$1" || printf -- '-'; }
        printf '\n| TCP stream | Windows build under Wine, MB/s | bare Qt receiver under Wine, MB/s | Windows / bare | Linux build, MB/s | Windows / Linux | longest stall, Windows / Linux |\n'
        printf '|---|---|---|---|---|---|---|\n'
        hex_mb=$((mb / 4 > 0 ? mb / 4 : 1))
        for row in "text|text, $mb MB" "hex|hex, $hex_mb MB" "text_capture|text, $mb MB, with a pcapng capture"; do
            key="tcp_${row%%|*}"
            w="$(value "$out/tcp-windows.txt" "${key}_window_mbps")"
            b="$(value "$out/tcp-windows.txt" "${key}_bare_mbps")"
            l="$(value "$out/tcp-linux.txt" "${key}_window_mbps")"
            ws="$(value "$out/tcp-windows.txt" "${key}_stall_ms")"
            ls_="$(value "$out/tcp-linux.txt" "${key}_stall_ms")"
            printf '| %s | %s | %s | %s | %s | %s | %s / %s ms |\n' "${row#*|}" "$(one "$w")" "$(one "$b")" \
                "$(ratio "$w" "$b")" "$(one "$l")" "$(ratio "$w" "$l")" "$(one "$ws")" "$(one "$ls_")"
        done
    fi
    if runs_log; then
        printf '\n| The log | Windows build under Wine | Linux build |\n|---|---|---|\n'
        printf '| capacity, characters (the next arrival refused: 1) | %s (%s) | %s (%s) |\n' \
            "$(value "$out/log-windows.txt" log_capacity_chars)" "$(value "$out/log-windows.txt" log_capacity_refused)" \
            "$(value "$out/log-linux.txt" log_capacity_chars)" "$(value "$out/log-linux.txt" log_capacity_refused)"
        for text in ascii cyrillic cjk; do
            printf '| memory per character, %s / kept after Clear | %s B / %s %% | %s B / %s %% |\n' "$text" \
                "$(value "$out/log-windows.txt" "log_rss_${text}_bytes_per_char")" \
                "$(value "$out/log-windows.txt" "log_rss_${text}_kept_after_clear_pct")" \
                "$(value "$out/log-linux.txt" "log_rss_${text}_bytes_per_char")" \
                "$(value "$out/log-linux.txt" "log_rss_${text}_kept_after_clear_pct")"
        done
    fi
    return 0
}
tables="$(tables)"
echo "$tables"

# Into docs/performance.md, between its markers, so that ./bench.sh keeps it
# when it writes the rest.
section="$(cat <<DOC
<!-- windows: written by ./bench.sh --windows -->
## The Windows build under Wine

Measured on: the same machine under $(/usr/lib/wine/wine64 --version 2>/dev/null || echo Wine), $(date -u '+%Y-%m-%d %H:%M UTC'), medians of $runs runs;
TCP streams of $mb MB of text; each figure beside the same build's bare Qt peer under the same Wine
and the Linux build in the same run. Goals: a TCP stream at 0.8 of the bare receiver or more, and
at most 2 % of the log's memory kept after Clear.
$tables
<!-- /windows -->
DOC
)"
doc="$root/docs/performance.md"
if grep -q '^<!-- windows' "$doc"; then
    awk -v section="$section" '/^<!-- windows/ { print section; skip = 1; next }
        /^<!-- \/windows -->/ { skip = 0; next } !skip' "$doc" > "$doc.new"
else
    { cat "$doc"; echo; echo "$section"; } > "$doc.new"
fi
mv "$doc.new" "$doc"
echo "Wrote its tables into docs/performance.md"
