#!/usr/bin/python3
"""The send box of the running program, driven with real X input: another
program (xclip) holds a line of hex digits with no space and no break on the
clipboard, Ctrl+V pastes it, then keys are typed at its end. Each is timed from
the key to the box telling the accessibility bus its new length; the bus asks
the program itself, so the answer waits for its event loop.

  send_window.py PID WORKDIR LINE_MB PASTE_MB
"""
import statistics
import subprocess
import sys
import time

sys.path.insert(0, __file__.rsplit("/", 2)[0] + "/tests")
import atspi_probe  # noqa: E402

LIMIT_S = 60


def hex_file(path, units):
    digits = b"0123456789abcdef" * 4096
    with open(path, "wb") as out:
        left = units
        while left > 0:
            out.write(digits[:min(left, len(digits))])
            left -= len(digits)


def timed(box, keys, length):
    """Milliseconds from pressing `keys` until the box holds `length` characters."""
    start = time.monotonic()
    subprocess.run(["xdotool", "key", "--clearmodifiers", keys], check=True)
    end = start + LIMIT_S
    while time.monotonic() < end:
        if box.characterCount == length:
            return (time.monotonic() - start) * 1000
        time.sleep(0.002)
    raise TimeoutError(f"{keys}: the box holds {box.characterCount}, expected {length}")


def paste(work, box, units):
    """Times Ctrl+V of `units` hex digits over everything the box holds."""
    path = f"{work}/line-{units}"
    hex_file(path, units)
    xclip = subprocess.Popen(["xclip", "-quiet", "-selection", "clipboard", "-i", path],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        # It says so once it has read the file and holds the clipboard.
        if "Waiting for selection requests" not in xclip.stdout.readline():
            raise RuntimeError("xclip did not take the clipboard")
        subprocess.run(["xdotool", "key", "ctrl+a"], check=True)
        return timed(box, "ctrl+v", units)
    finally:
        xclip.kill()
        xclip.wait()


def report(key, what, values):
    median = statistics.median(values)
    print(f"{what:<52} median {median:8.1f} ms  ({', '.join(f'{v:.1f}' for v in values)})")
    print(f"RESULT|send_window_{key}_ms|{median:.10g}|ms")


def main(pid, work, line_mb, paste_mb):
    pid = int(pid)
    control = atspi_probe.find(pid, "text:Send")
    box = control.queryText()
    extents = control.queryComponent().getExtents(atspi_probe.pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", "--sync", str(extents.x + extents.width // 2),
                    str(extents.y + extents.height // 2), "click", "1"], check=True)

    # What the measuring itself costs: the same keys in an empty box.
    empty = []
    for _ in range(5):
        empty.append(timed(box, "f", 1))
        timed(box, "BackSpace", 0)
    report("type_empty", "typing a character in the empty box", empty)

    big = int(float(paste_mb) * (1 << 20))
    report("paste_big", f"Ctrl+V of {paste_mb} MB from xclip (one line)",
           [paste(work, box, big) for _ in range(3)])

    units = int(float(line_mb) * (1 << 20))
    report("paste_line", f"Ctrl+V of {line_mb} MB from xclip (one line)", [paste(work, box, units)])
    subprocess.run(["xdotool", "key", "ctrl+End"], check=True)
    typed, breaks, backspaces = [], [], []
    for _ in range(5):
        typed.append(timed(box, "f", units + 1))
        breaks.append(timed(box, "shift+Return", units + 2))
        if box.getText(units + 1, units + 2) != "\n":
            atspi_probe.fail("Shift+Enter put something else than a line feed in the box")
        backspaces.append(timed(box, "BackSpace", units + 1))
        timed(box, "BackSpace", units)
    report("type_end", f"typing a character at the end of the {line_mb} MB line", typed)
    report("shift_enter_end", "Shift+Enter at its end", breaks)
    report("backspace_end", "Backspace at its end", backspaces)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        atspi_probe.fail(__doc__)
    main(*sys.argv[1:])
