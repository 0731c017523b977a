#!/usr/bin/env bash
# The clipboard of the real window under X: a large log is pasted in, selected
# whole and copied, and another program reads the copy while the window is
# asked over the accessibility bus every 50 ms whether it still answers. Also
# runs the field's primary-selection checks and tst_x11Copy, which need a real
# X server.
#   bash tests/clipboard_test.sh path/to/tarvik [MB]
set -uo pipefail
# shellcheck source=tests/atspi_session.sh
. "$(dirname "${BASH_SOURCE[0]}")/atspi_session.sh"

program="${1:?usage: clipboard_test.sh path/to/tarvik [MB]}"
megabytes="${2:-24}"
# Generous: a freeze of the old kind lasted seconds; nothing here is a benchmark.
limit_ms=2000
command -v xclip >/dev/null || fail "xclip is not installed"
start_session "$program"

unit_tests="$(dirname "$program")/tests"
if [[ -x "$unit_tests/tst_textField" ]]; then
    QT_QPA_PLATFORM=xcb "$unit_tests/tst_textField" primarySelectionAndMiddleClick >"$work/unit.log" 2>&1 \
        || { cat "$work/unit.log" >&2; fail "primary selection checks under X"; }
    grep -q "SKIP" "$work/unit.log" && { cat "$work/unit.log" >&2; fail "X has no primary selection?"; }
fi
# Every text target of both selections as another program reads them.
if [[ -x "$unit_tests/tst_x11Copy" ]]; then
    QT_QPA_PLATFORM=xcb "$unit_tests/tst_x11Copy" >"$work/x11copy.log" 2>&1 \
        || { cat "$work/x11copy.log" >&2; fail "copies as other programs read them"; }
    grep -q "SKIP" "$work/x11copy.log" && { cat "$work/x11copy.log" >&2; fail "the X11 copy checks skipped"; }
fi

# 67-character lines, some of them not ASCII.
python3 - "$work/log.txt" "$megabytes" <<'PY'
import sys
line = "0123456789 abcdefghijklmnopqrstuvwxyz caf\u00e9 \u043f\u0440\u0438\u0432\u0435\u0442 ABCDEFGHIJ\n"
data = (line * (int(sys.argv[2]) * 1024 * 1024 // len(line.encode()))).encode()
open(sys.argv[1], "wb").write(data)
PY
hold_clipboard "$work/log.txt"
probe click "text:Receive" || fail "could not click the log"
xdotool key ctrl+v
# The answer time of the window, sampled until told to stop.
cat >"$work/sample.py" <<'PY'
import os, sys, time
sys.path.insert(0, os.environ["TESTS"])
from atspi_probe import find
pid, stop = int(sys.argv[1]), sys.argv[2]
log = find(pid, "text:Receive")
text = log.queryText()
if len(sys.argv) > 3:  # wait until the paste reached the log: one edit, so all of it at once
    for _ in range(300):
        if text.characterCount > 0:
            break
        time.sleep(0.1)
    if text.characterCount == 0:
        sys.exit("the log is still empty")
    open(sys.argv[3], "w").write(str(text.characterCount))
    sys.exit(0)
worst, samples = 0.0, 0
for _ in range(2400):  # 2 minutes at most
    start = time.monotonic()
    text.characterCount
    worst = max(worst, (time.monotonic() - start) * 1000)
    samples += 1
    if samples == 1:
        open(stop + ".sampling", "w").close()
    if os.path.exists(stop):
        break
    time.sleep(0.05)
print(f"{worst:.0f} {samples} {text.characterCount}")
PY
TESTS="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export TESTS
/usr/bin/python3 "$work/sample.py" "$app_pid" "$work/stop" "$work/shown" \
    || fail "the paste did not reach the log"
/usr/bin/python3 "$work/sample.py" "$app_pid" "$work/stop" >"$work/sampled" &
sampler=$!
until_true 10 test -e "$work/stop.sampling" || fail "the sampler never asked the window"
xdotool key ctrl+a ctrl+c
# The copy is the window's once the clipboard offers the toolkit's own targets,
# which xclip's never include.
copied() { xclip -selection clipboard -o -t TARGETS 2>/dev/null | grep -q '^text/plain'; }
until_true 10 copied || fail "Ctrl+C did not put the log on the clipboard"
started=$(date +%s%N)
xclip -selection clipboard -o >"$work/read.txt" || fail "xclip could not read the copy"
read_ms=$(( ($(date +%s%N) - started) / 1000000 ))
touch "$work/stop"
wait "$sampler"
read -r worst samples count <"$work/sampled"
echo "log of $count characters; another program read the copy in $read_ms ms;" \
     "the window answered within $worst ms at worst ($samples samples)"
# Screen readers see a window of the log around the caret; copying must not move it.
[[ "$count" == "$(cat "$work/shown")" ]] || fail "screen readers saw the log change while it was copied"
cmp -s "$work/log.txt" "$work/read.txt" || fail "the copy read back differs from the log"
# For bench.sh: the same file through cat, beside the figures.
started=$(date +%s%N)
cat "$work/log.txt" >/dev/null
cat_ms=$(( ($(date +%s%N) - started) / 1000000 ))
echo "RESULT|clipboard_mb|$megabytes|MB"
echo "RESULT|clipboard_read_ms|$read_ms|ms"
echo "RESULT|clipboard_cat_ms|$cat_ms|ms"
echo "RESULT|clipboard_worst_answer_ms|$worst|ms"
(( worst < limit_ms )) || fail "the window did not answer for $worst ms"
echo "PASS: the copy of $megabytes MB was served while the window kept answering"
