# shellcheck shell=bash
# Sourced by the tests that save the real window's receive log with real keys:
# the window on a free UDP port, datagrams sent to it, and the Save As dialog
# answered with keys and clicks. Needs tests/atspi_session.sh sourced first.

# Moves the window's UDP endpoint to a free port, typed into Local Host Port.
bind_free_port() {
    port="$(free_ports 1)"
    [[ -n "$port" ]] || fail "no free port"
    apply_port "$port"
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
    until_true 10 log_holds "$units" || fail "the log never held the $units characters sent"
}
log_holds() { probe dump | grep -q "^text:Receive = .* \[$1 chars\]"; }

# The number of windows the program shows (the name completer's popup is one).
shown_windows() { xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | wc -l; }
shows_at_most() { [[ "$(shown_windows)" -le "$1" ]]; }
no_save_dialog() { [[ -z "$(xdotool search --onlyvisible --name '^Save As$' 2>/dev/null)" ]]; }

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
    probe "${dialog[@]}" expect "$(field "File name:" "")" || fail "Ctrl+S opened no Save As dialog"
    if [[ "${2:-}" == replace ]]; then
        # The dialog lists the folder it remembers once loaded; only then is the
        # name completer's answer to the paste immediate rather than late.
        probe "${dialog[@]}" expect "list item:$name" || fail "the dialog does not list $name"
    fi
    local windows
    windows="$(shown_windows)"
    xdotool windowfocus --sync "$(xdotool search --onlyvisible --name '^Save As$' | head -n1)" \
        || fail "could not focus the dialog"
    probe "${dialog[@]}" click "text:File name:" || fail "could not click the file name"
    xdotool key ctrl+a ctrl+v || fail "pasting the file name"
    probe "${dialog[@]}" expect "$(field "File name:" "$1")" || fail "the name did not arrive"
    # A name already in the folder opens the completer's popup, which would take Return.
    if [[ "$(shown_windows)" -gt "$windows" ]]; then
        xdotool key Escape || fail "closing the completer"
        until_true 10 shows_at_most "$windows" || fail "the completer's popup stayed"
    fi
    xdotool key Return || fail "pressing Return in the dialog"
    if [[ "${2:-}" == replace ]]; then
        probe --in "alert:Save As" click "push button:Yes" || fail "answering the question"
    fi
    until_true 10 no_save_dialog || fail "the Save As dialog did not close"
    xdotool windowfocus --sync "$window" 2>/dev/null || true
}
