#!/usr/bin/env bash
# The real program's send box under its own X server, pasted into from another
# program's clipboard and typed into with real keys (bench/send_window.py).
#   bash bench/send_window.sh path/to/tarvik [line MB, default 20] [paste MB, default 100]
set -uo pipefail
here="$(dirname "${BASH_SOURCE[0]}")"
# shellcheck source=tests/atspi_session.sh
. "$here/../tests/atspi_session.sh"
command -v xclip >/dev/null || fail "xclip is not installed"

start_session "${1:?usage: send_window.sh path/to/tarvik [line MB] [paste MB]}"
/usr/bin/python3 "$here/send_window.py" "$app_pid" "$work" "${2:-20}" "${3:-100}"
