#!/usr/bin/env bash
# A screen reader's calls on a receive log of millions of characters, over
# the real accessibility bus: each must answer, the one that asks for the
# extents of the whole text included, and the text must read on past a NUL.
#   bash tests/reader_large_log_test.sh path/to/tarvik
# LOG_MIB (16 by default, at most 1024) sets the size of the log in MiB;
# each call's time is printed.
set -uo pipefail
# shellcheck source=tests/atspi_session.sh
. "$(dirname "${BASH_SOURCE[0]}")/atspi_session.sh"

program="${1:?usage: reader_large_log_test.sh path/to/tarvik}"
log_mib="${LOG_MIB:-16}"
# Far longer than any call takes, far shorter than a call that walks the log.
limit_s=5
command -v socat >/dev/null || fail "socat is not installed"
start_session "$program"

port="$(free_ports 1)"
[[ -n "$port" ]] || fail "no free port"

log="text:Receive"
read_log() { probe read "$log" "$1"; }
reads() { [[ "$(read_log "$1")" == "$2" ]]; }
expect_read() { # CALL JSON
    until_true 5 reads "$1" "$2" || fail "$1 reads $(read_log "$1"), expected $2"
}

apply_port "$port"

# The bus cannot carry a NUL; each one reads as U+2400 and the text goes on.
printf 'ab\r\ncd\0\0ef gh.' | socat -u - "UDP4-SENDTO:127.0.0.1:$port"
expect_read "count" 14
expect_read "text 0 -1" '"ab\r\ncd\u2400\u2400ef gh."'
expect_read "at 6 line" '["cd\u2400\u2400ef gh.", 4, 14]'
expect_read "at 8 word" '["ef", 8, 10]'
expect_read "after 7 char" '["e", 8, 9]'

# Millions of characters from a TCP client, ending in a mark.
click "radio button:TCP"
probe expect "label:Listening... (Link)" || fail "the server does not listen"
/usr/bin/python3 - "$port" "$log_mib" <<'PEER' || fail "the peer could not send the log"
import socket, sys
port, mib = int(sys.argv[1]), int(sys.argv[2])
line = b"".join(b"%07d the quick brown fox jumps over the lazy dog. \r\n" % i for i in range(1024))
block = (line * (1 + (1 << 20) // len(line)))[: 1 << 20]
with socket.create_connection(("127.0.0.1", port)) as peer:
    peer.settimeout(60)
    for _ in range(mib - 1):
        peer.sendall(block)
    # The log already holds the 14 characters above; a full log takes no more.
    peer.sendall(block[: -(14 + 17)] + b"\r\nlast line\r\nEND\n")
PEER
until_true 120 reads "text c-4 c+0" '"END\n"' || fail "the log did not fill"

probe calls "$log" "$limit_s" || fail "a screen reader's call froze the window"
expect_read "at c-6 line" '["last line\r\n", '"$(( $(read_log caret) - 15 ))"', '"$(( $(read_log caret) - 4 ))"']'
echo "PASS: every screen reader call answers on a log of $log_mib MiB, and text reads on past a NUL"
