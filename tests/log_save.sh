# shellcheck shell=bash
# Sourced by the tests that save the real window's receive log with real keys:
# the window on a free UDP port, datagrams sent to it, and the Save As dialog
# answered by typing. Needs tests/atspi_session.sh sourced first.

click() { probe click "$1" || fail "could not click $1"; }

# Moves the window's UDP endpoint to a free port, typed into Local Host Port.
bind_free_port() {
    port="$(/usr/bin/python3 -c '
import socket
s = socket.socket(type=socket.SOCK_DGRAM)
s.bind(("", 0))
print(s.getsockname()[1])')"
    click "text:Local Host Port"
    xdotool key ctrl+a && xdotool type --delay 10 "$port" || fail "typing the port"
    click "push button:Apply"
    probe expect "text:Bound Local Port = \"$port\" [${#port} chars]" || fail "Apply did not bind $port"
}

# FILE: sends the file's bytes to the window as one datagram.
send_datagram() {
    socat -u -b 65536 "FILE:$1" "UDP4-SENDTO:127.0.0.1:$port" || fail "socat could not send $1"
}

# FILE: waits until the log holds as many characters as the file's UTF-8 text.
until_log_holds() {
    local units
    units="$(/usr/bin/python3 -c '
import sys
print(len(open(sys.argv[1], "rb").read().decode("utf-8").encode("utf-16-le")) // 2)' "$1")"
    for _ in $(seq 100); do
        probe dump | grep -q "^text:Receive = .* \[$units chars\]" && return 0
        sleep 0.1
    done
    fail "the log never held the $units characters sent"
}

# NAME TEXT: the bus line of a one-line field holding TEXT.
field_line() {
    /usr/bin/python3 -c '
import json, sys
name, text = sys.argv[1:]
units = len(text.encode("utf-16-le")) // 2
print(f"text:{name} = {json.dumps(text)} [{units} chars]")' "$1" "$2"
}

# FILE: another program owns the clipboard with the file's bytes until the end.
hold_clipboard() {
    xclip -quiet -selection clipboard -i "$1" >"$work/xclip.log" 2>&1 &
    local _
    for _ in $(seq 100); do
        grep -q "Waiting for selection" "$work/xclip.log" && return 0
        sleep 0.1
    done
    fail "xclip did not take the clipboard"
}

# The number of windows the program shows (the name completer's popup is one).
shown_windows() { xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | wc -l; }

# PATH [replace]: Ctrl+S in the log, the path pasted into the dialog's file name
# (xdotool cannot type characters outside the keyboard map dependably), Return;
# with "replace", the question about the existing file is answered Yes by a click.
# Each key waits for the window that must take it.
save_with_keys() {
    local dialog=(--in "dialog:Save As") name
    name="$(basename "$1")"
    printf '%s' "$1" >"$work/path"
    hold_clipboard "$work/path"
    click "text:Receive"
    xdotool key ctrl+s || fail "pressing Ctrl+S"
    probe "${dialog[@]}" expect "$(field_line "File name:" "")" || fail "Ctrl+S opened no Save As dialog"
    if [[ "${2:-}" == replace ]]; then
        # The dialog lists the folder it remembers once loaded; only then is the
        # name completer's answer to the paste immediate rather than late.
        probe "${dialog[@]}" expect "list item:$name" || fail "the dialog does not list $name"
    fi
    local windows
    windows="$(shown_windows)"
    xdotool windowfocus --sync "$(xdotool search --onlyvisible --name '^Save As$' | head -n1)" \
        || fail "could not focus the dialog"
    click_in_dialog "text:File name:"
    xdotool key ctrl+a ctrl+v || fail "pasting the file name"
    probe "${dialog[@]}" expect "$(field_line "File name:" "$1")" || fail "the name did not arrive"
    # A name already in the folder opens the completer's popup, which would take Return.
    if [[ "$(shown_windows)" -gt "$windows" ]]; then
        xdotool key Escape || fail "closing the completer"
        for _ in $(seq 100); do
            [[ "$(shown_windows)" -le "$windows" ]] && break
            sleep 0.1
        done
    fi
    xdotool key Return || fail "pressing Return in the dialog"
    if [[ "${2:-}" == replace ]]; then
        probe --in "alert:Save As" click "push button:Yes" || fail "answering the question"
    fi
    for _ in $(seq 100); do
        [[ -z "$(xdotool search --onlyvisible --name '^Save As$' 2>/dev/null)" ]] && break
        sleep 0.1
    done
    [[ -z "$(xdotool search --onlyvisible --name '^Save As$' 2>/dev/null)" ]] \
        || fail "the Save As dialog did not close"
    xdotool windowfocus --sync "$window" 2>/dev/null || true
}

click_in_dialog() { probe --in "dialog:Save As" click "$1" || fail "could not click $1"; }
