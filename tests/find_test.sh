#!/usr/bin/env bash
# Finds in the real window's receive log with the keyboard alone and reads the
# answers over the accessibility bus as a screen reader does: the find field
# by its name, the log's selection, "Not found" and the wrap in the find
# field's description, the bar in the Tab order only while it is open.
#   bash tests/find_test.sh path/to/tarvik
set -uo pipefail
# shellcheck source=tests/atspi_session.sh
. "$(dirname "${BASH_SOURCE[0]}")/atspi_session.sh"

program="${1:?usage: find_test.sh path/to/tarvik}"
command -v socat >/dev/null || fail "socat is not installed"
start_session "$program"

read -r port < <(free_ports 1)
[[ -n "$port" ]] || fail "no free port"
apply_port "$port"
printf 'one Two three\r\ntwo more\r\n' | socat -u - "UDP4-SENDTO:127.0.0.1:$port"
log='text:Receive = "one Two three\r\ntwo more\r\n" [25 chars]'
probe expect "$log [caret 25]" || fail "the log does not read the datagram"

click "text:Receive"
xdotool key ctrl+Home ctrl+f || fail "Ctrl+F in the log"
probe walk Tab "text:Find" || fail "Ctrl+F does not put the focus in the find field"
xdotool type --delay 10 two && xdotool key Return || fail "typing into the find field"
probe expect "$log [caret 7] [selected 4-7]" || fail "Enter does not select the first match"
xdotool key Return
probe expect "$log [caret 18] [selected 15-18]" || fail "Enter does not go on to the next match"
xdotool key Return
probe expect "$log [caret 7] [selected 4-7]" 'text:Find (Wrapped to the top) = "two" [3 chars]' \
    || fail "the search does not wrap, or does not say so"

# While open, the bar follows the log in the Tab order.
probe walk Tab "text:Find" "check box:Match case" "text:Local Host Name" \
    || fail "the bar is not right after the log in the Tab order"
probe walk shift+Tab "text:Local Host Name" "check box:Match case" "text:Find" \
    || fail "Shift+Tab does not walk back through the bar"

xdotool key ctrl+a && xdotool type --delay 10 nowhere && xdotool key Return \
    || fail "typing into the find field"
probe expect 'text:Find (Not found) = "nowhere" [7 chars]' "$log [caret 7] [selected 4-7]" \
    || fail "a failed search is not said, or moves the selection"

xdotool key ctrl+a && xdotool type --delay 10 two && xdotool key Escape \
    || fail "Escape in the find field"
probe walk Tab "text:Receive" "text:Local Host Name" \
    || fail "Escape does not give the focus back, or the closed bar is still in the Tab order"
click "text:Receive"
xdotool key ctrl+Home F3 || fail "F3 in the log"
probe expect "$log [caret 7] [selected 4-7]" || fail "F3 in the log does not find again"
xdotool key shift+F3
probe expect "$log [caret 18] [selected 15-18]" || fail "Shift+F3 in the log does not find back"
echo "PASS: Ctrl+F, Enter, F3 and Escape find in the log, and a screen reader hears the bar"
