#!/usr/bin/env bash
# Saves the real window's receive log with real keys over an earlier file on a
# tiny file system that cannot hold the log: panel 1 must say why, the earlier
# file must be as it was with nothing left beside it, and the window must go
# on taking arrivals. Mounting needs root: skipped (77) otherwise.
#   bash tests/save_full_disk_test.sh path/to/tarvik
set -uo pipefail
if [[ $EUID -ne 0 ]]; then
    echo "SKIP: mounting a small file system needs root"
    exit 77
fi
# shellcheck source=tests/atspi_session.sh
. "$(dirname "${BASH_SOURCE[0]}")/atspi_session.sh"
# shellcheck source=tests/log_save.sh
. "$(dirname "${BASH_SOURCE[0]}")/log_save.sh"

program="${1:?usage: save_full_disk_test.sh path/to/tarvik}"
command -v socat >/dev/null || fail "socat is not installed"
small="$work/small"
mkdir "$small"
if ! mount -t tmpfs -o size=128k tmpfs "$small" 2>/dev/null; then
    rmdir "$small"
    echo "SKIP: this machine does not let a tmpfs be mounted"
    exit 77
fi
# shellcheck disable=SC2317 # run by the trap
unmount_then_stop() {
    umount "$small" 2>/dev/null
    stop_session
}
trap unmount_then_stop EXIT
start_session "$program"
bind_free_port

# The earlier file is the window's own first save, so that the dialog then
# opens in the folder that holds it.
printf 'earlier file\n' >"$work/earlier"
send_datagram "$work/earlier"
cat "$work/earlier" >>"$work/sent"
until_log_holds "$work/sent"
save_with_keys "$small/receive.log"
until_true 10 cmp -s "$work/earlier" "$small/receive.log"
cmp "$work/earlier" "$small/receive.log" || fail "the first save did not write the earlier file"
# 180 KB in three datagrams: more than the file system holds, and still less
# than the 256 Ki characters a screen reader is shown of the log.
for i in 1 2 3; do
    { head -c 59999 /dev/zero | tr '\0' "$i"; printf '\n'; } >"$work/part$i"
    send_datagram "$work/part$i"
    cat "$work/part$i" >>"$work/sent"
done
until_log_holds "$work/sent"

save_with_keys "$small/receive.log" replace
probe expect "label:Save failed: No space left on device (Status)" \
    || fail "panel 1 does not say the save failed for want of space"
cmp "$work/earlier" "$small/receive.log" || fail "the earlier file was changed"
[[ "$(find "$small" -mindepth 1 | wc -l)" -eq 1 ]] || fail "files left beside the earlier file"

# The window answers and takes arrivals.
printf 'after the failed save\n' >"$work/late"
send_datagram "$work/late"
cat "$work/late" >>"$work/sent"
until_log_holds "$work/sent"
echo "PASS: a save onto a full file system says why, leaves the earlier file as it was, and the window goes on"
