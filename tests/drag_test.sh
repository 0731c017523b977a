#!/usr/bin/env bash
# Drag and drop with a real mouse under X: a word dragged out of the receive
# log lands in the send box as a copy, and a word dragged within the send box
# moves, as one step that Ctrl+Z takes back.
#   bash tests/drag_test.sh path/to/tarvik
set -uo pipefail
# shellcheck source=tests/atspi_session.sh
. "$(dirname "${BASH_SOURCE[0]}")/atspi_session.sh"
# shellcheck source=tests/log_save.sh
. "$(dirname "${BASH_SOURCE[0]}")/log_save.sh"

start_session "${1:?usage: drag_test.sh path/to/tarvik}"
bind_free_port
printf 'alpha bravo charlie\r\n' >"$work/line.txt"
send_datagram "$work/line.txt"
until_log_holds "$work/line.txt"

# Out of the log: a copy, the log keeps its text and selection.
probe clickat "text:Receive" 6 2 || fail "could not double-click in the log"
probe drag "text:Receive" 6 "text:Send" -1 || fail "could not drag out of the log"
probe expect 'text:Send = "bravo" [5 chars] [caret 5]' \
    'text:Receive = "alpha bravo charlie\r\n" [21 chars] [caret 11] [selected 6-11]' \
    || fail "the word did not arrive in the send box as a copy"

# Within the send box: a move, undone in one step. The drop leaves the focus
# with the log, as Qt's own fields do, so the box is clicked first.
probe click "text:Send" || fail "could not click the send box"
xdotool key ctrl+a && xdotool type --delay 10 "one two three" || fail "typing in the send box"
probe clickat "text:Send" 5 2 || fail "could not double-click in the send box"
probe expect 'text:Send = "one two three" [13 chars] [caret 7] [selected 4-7]' \
    || fail "the double click did not select the word"
probe drag "text:Send" 5 "text:Send" 12 || fail "could not drag within the send box"
probe expect 'text:Send = "one  thretwoe" [13 chars] [caret 12]' \
    || fail "the word did not move"
xdotool key ctrl+z
probe expect 'text:Send = "one two three" [13 chars] [caret 12]' \
    || fail "Ctrl+Z did not take the move back in one step"
echo "PASS: drag and drop under X"
