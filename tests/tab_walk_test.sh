#!/usr/bin/env bash
# Presses Tab and Shift+Tab in the real window, as a keyboard user does, and
# reads over the accessibility bus where the focus lands at every step: the
# whole walk, both ways, with UDP and with TCP. The receive log and the send
# box must not have taken a single tab character.
#   bash tests/tab_walk_test.sh path/to/tarvik
set -uo pipefail
# shellcheck source=tests/atspi_session.sh
. "$(dirname "${BASH_SOURCE[0]}")/atspi_session.sh"

start_session "${1:?usage: tab_walk_test.sh path/to/tarvik}"

head=("text:Receive" "text:Local Host Name" "text:Local Host IP" "text:Bound Local Port"
      "text:Send" "push button:Send Data" "text:Remote Host IP" "text:Remote Host Port"
      "text:Local Host Port")
tail=("push button:Clear" "check box:HEX Display")

walk_both_ways() {
    local stops=("$@") backwards=() i
    for ((i = ${#stops[@]} - 1; i >= 0; i--)); do backwards+=("${stops[i]}"); done
    probe walk Tab "${stops[@]}" || fail "Tab walk: ${stops[*]}"
    probe walk shift+Tab "${backwards[@]}" || fail "Shift+Tab walk"
}

walk_both_ways "${head[@]}" "push button:Apply" "${tail[@]}" "radio button:UDP" "text:Receive"
probe expect 'text:Receive = "" [0 chars] [caret 0]' 'text:Send = "" [0 chars] [caret 0]' || fail "Tab typed text"

# Into TCP by the keyboard: Shift+Tab to the transport group, Down selects TCP.
probe walk shift+Tab "text:Receive" "radio button:UDP" || fail "back to the transport group"
xdotool key Down
probe expect "radio button:TCP [checked]" "radio button:UDP [unchecked]" || fail "TCP not chosen"
# The focus is on TCP now; the role group's stop is Server, Apply is hidden.
walk_both_ways "radio button:TCP" "radio button:Server" "${head[@]}" "${tail[@]}" "radio button:TCP"
probe expect 'text:Receive = "" [0 chars] [caret 0]' 'text:Send = "" [0 chars] [caret 0]' || fail "Tab typed text"
echo "PASS: Tab and Shift+Tab walk every stop, with UDP and TCP, and type nothing"
