#!/usr/bin/env bash
# Saves the real window's receive log with real keys (Ctrl+S, then a name
# typed into the dialog) after a peer sent it known bytes over UDP loopback,
# and compares the file with them byte for byte: CR LF, a lone CR, a NUL,
# Cyrillic, CJK and an emoji, a line of 20,000 characters. Then saves again
# over the same file, with more arrived, to a name that is not ASCII.
#   bash tests/save_log_test.sh path/to/tarvik
set -uo pipefail
# shellcheck source=tests/atspi_session.sh
. "$(dirname "${BASH_SOURCE[0]}")/atspi_session.sh"
# shellcheck source=tests/log_save.sh
. "$(dirname "${BASH_SOURCE[0]}")/log_save.sh"

program="${1:?usage: save_log_test.sh path/to/tarvik}"
command -v socat >/dev/null || fail "socat is not installed"
start_session "$program"
bind_free_port

printf 'hello\r\nlone CR\rNUL:\0:end\n' >"$work/part1"
printf '\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xe6\xbc\xa2\xe5\xad\x97 \xf0\x9f\x98\x80\r\n' >"$work/part2"
{ head -c 20000 /dev/zero | tr '\0' 'x'; printf '\n'; } >"$work/part3"
for part in part1 part2 part3; do
    send_datagram "$work/$part"
    cat "$work/$part" >>"$work/sent"
done
until_log_holds "$work/sent"

mkdir "$work/saved"
target="$work/saved/журнал ✓ 漢字.log"
save_with_keys "$target"
# The file appears whole: it is written beside the target and then renamed.
until_true 10 test -f "$target"
cmp "$work/sent" "$target" || fail "the saved file differs from the bytes sent"

# Again, over the file it made, with one more arrival in the log.
printf 'after the first save\n' >"$work/part4"
send_datagram "$work/part4"
cat "$work/part4" >>"$work/sent"
until_log_holds "$work/sent"
save_with_keys "$target" replace
until_true 10 cmp -s "$work/sent" "$target"
cmp "$work/sent" "$target" || fail "the second save did not replace the file with the log"
[[ "$(find "$work/saved" -mindepth 1 | wc -l)" -eq 1 ]] || fail "files left beside the target"
probe expect "label: (Status)" || fail "a save that worked left something in panel 1"
echo "PASS: Ctrl+S saved the log byte for byte, twice, to a name that is not ASCII"
