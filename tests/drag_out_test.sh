#!/usr/bin/env bash
# A large selection dragged out of the receive log into another program under
# X (a second copy of the program): more text than one X request carries, so
# it must go in INCR steps; the toolkit alone would send it in one request,
# which the X server refuses by closing the connection of the program. The
# other program must get every byte and this one must live on.
#   bash tests/drag_out_test.sh path/to/tarvik [MB]
set -uo pipefail
here="$(dirname "${BASH_SOURCE[0]}")"
# shellcheck source=tests/atspi_session.sh
. "$here/atspi_session.sh"

program="${1:?usage: drag_out_test.sh path/to/tarvik [MB]}"
megabytes="${2:-24}"
command -v xclip >/dev/null || fail "xclip is not installed"
other_pid=""
# shellcheck disable=SC2317 # run by the trap
stop_both() {
    [[ -n "$other_pid" ]] && { kill "$other_pid" 2>/dev/null; wait "$other_pid" 2>/dev/null; }
    stop_session
}
trap stop_both EXIT
start_session "$program"

python3 - "$work/log.txt" "$megabytes" <<'PY'
import sys
line = "0123456789 abcdefghijklmnopqrstuvwxyz caf\u00e9 ABCDEFGHIJKLMNOPQRSTUVWXYZ\n"
data = (line * (int(sys.argv[2]) * 1024 * 1024 // len(line.encode()))).encode()
open(sys.argv[1], "wb").write(data)
PY
# How many characters a field shows over the bus (up to its window of 256 Ki).
count() {
    /usr/bin/python3 - "$1" "$2" <<'PY'
import os, sys
sys.path.insert(0, os.environ["TESTS"])
from atspi_probe import find
print(find(int(sys.argv[1]), sys.argv[2]).queryText().characterCount)
PY
}
TESTS="$(cd "$here" && pwd)"
export TESTS
has_text() { [[ "$(count "$1" "$2" 2>/dev/null)" -gt 0 ]]; }

hold_clipboard "$work/log.txt"
probe click "text:Receive" || fail "could not click the log"
xdotool key ctrl+v
# The paste is one edit: any text at all is all of it.
until_true 30 has_text "$app_pid" "text:Receive" || fail "the paste did not reach the log"
# The end in view and everything selected, so the drag starts on selected text.
xdotool key ctrl+End ctrl+a

QT_QPA_PLATFORM=xcb QT_ACCESSIBILITY=1 QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
    "$program" >"$work/other.log" 2>&1 &
other_pid=$!
/usr/bin/python3 "$here/atspi_probe.py" "$other_pid" wait || fail "the other program shows no window"
other_window="$(xdotool search --onlyvisible --pid "$other_pid" 2>/dev/null | head -n1)"
[[ -n "$other_window" ]] || fail "the other program has no window"
# Beside the first one, whose log is then still in view: there is no window manager.
xdotool windowmove --sync "$other_window" 500 300 || fail "could not move the other window"

read -r x0 y0 x1 y1 < <(/usr/bin/python3 - "$app_pid" "$other_pid" <<'PY'
import os, sys
sys.path.insert(0, os.environ["TESTS"])
from atspi_probe import find, character_point
log = find(int(sys.argv[1]), "text:Receive")
box = find(int(sys.argv[2]), "text:Send")
print(*character_point(log, log.queryText().characterCount - 30), *character_point(box, -1))
PY
)
[[ -n "${y1:-}" ]] || fail "could not find where to drag from and to"
# In steps, as a hand moves: Qt starts a drag only after a few pixels.
xdotool mousemove "$x0" "$y0" mousedown 1
for step in $(seq 1 20); do
    xdotool mousemove $((x0 + (x1 - x0) * step / 20)) $((y0 + (y1 - y0) * step / 20))
    sleep 0.03
done
xdotool mouseup 1
# The drop inserts the whole text as one edit.
until_true 60 has_text "$other_pid" "text:Send" || {
    cat "$work/app.log" >&2
    fail "nothing arrived in the other program's send box"
}
kill -0 "$app_pid" 2>/dev/null || { cat "$work/app.log" >&2; fail "the program died in the drag"; }

# What arrived, read back through the other program's own copy.
/usr/bin/python3 "$here/atspi_probe.py" "$other_pid" click "text:Send" || fail "could not click the other send box"
xdotool key ctrl+a ctrl+c
copied() { xclip -selection clipboard -o -t TARGETS 2>/dev/null | grep -q '^text/plain'; }
until_true 10 copied || fail "the other program did not copy its send box"
xclip -selection clipboard -o >"$work/dropped.txt" || fail "xclip could not read the other program's copy"
cmp -s "$work/log.txt" "$work/dropped.txt" \
    || fail "the other program got $(stat -c %s "$work/dropped.txt") bytes, not the $(stat -c %s "$work/log.txt") dragged"
echo "PASS: $megabytes MB dragged into another program whole"
