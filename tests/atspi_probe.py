#!/usr/bin/python3
"""Reads the running program over the accessibility bus, as a screen reader does,
and drives it with real X input (xdotool). A control is written "role:name",
e.g. "push button:Apply"; every wait below is bounded.

  atspi_probe.py PID [--in WINDOW] COMMAND ...
                                       --in "dialog:Save As" reads and drives another
                                       window of the program instead of its main one
  atspi_probe.py PID wait              until the window is on the bus
  atspi_probe.py PID dump              every control's state, one line each
  atspi_probe.py PID expect LINE...    until the dump holds every LINE
  atspi_probe.py PID click CONTROL     a mouse click in the control's middle
  atspi_probe.py PID clickat CONTROL OFFSET COUNT
                                       COUNT clicks on a character of a text
  atspi_probe.py PID drag CONTROL OFFSET TARGET OFFSET
                                       a mouse drag from one character to another
  atspi_probe.py PID walk KEY STOP...  focus on the first STOP, then KEY once for
                                       each further STOP, which must take the focus
  atspi_probe.py PID read CONTROL CALL  one text call, e.g. "at 5 line", "text 0 -1",
                                       printed as JSON; an offset "c-3" counts
                                       from the caret
  atspi_probe.py PID calls CONTROL LIMIT_S
                                       every text call a screen reader makes, each
                                       answered within LIMIT_S; prints each one's time
"""
import json
import os
import subprocess
import sys
import time

import pyatspi
from gi.repository import Atspi

LIMIT_S = 10  # for any one thing to appear on the bus


def poll(read, done, limit=LIMIT_S, step_s=0.05):
    """Reads until done(value) or the limit; returns the last value read."""
    end = time.monotonic() + limit
    for _ in range(int(limit / step_s) + 1):
        try:
            value = read()
        except Exception as error:  # the program may still be starting up
            value = error
        if done(value) or time.monotonic() > end:
            break
        time.sleep(step_s)
    return value


WINDOW = None  # "role:name" of the window to read; None: the main one


def window(pid):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.get_process_id() == pid:
            for top in app:
                if top is None:
                    continue
                if WINDOW is None and top.getRole() == pyatspi.ROLE_FRAME:
                    return top
                if WINDOW is not None and key(top) == WINDOW \
                        and top.getState().contains(pyatspi.STATE_SHOWING):
                    return top
    raise LookupError(f"no window {WINDOW or 'frame'} of process {pid} on the accessibility bus")


def controls(node):
    """Depth first, without the scroll bars; fillers only hold other controls."""
    for child in node:
        if child is None or child.getRole() == pyatspi.ROLE_SCROLL_BAR:
            continue
        if child.getRole() != pyatspi.ROLE_FILLER:
            yield child
        yield from controls(child)


def key(control):
    return f"{control.getRoleName()}:{control.name}"


def describe(control):
    line = key(control)
    if control.description:
        line += f" ({control.description})"
    states = control.getState()
    if control.getRole() == pyatspi.ROLE_TEXT:
        text = control.queryText()
        line += f" = {json.dumps(text.getText(0, -1))} [{text.characterCount} chars]"
        if states.contains(pyatspi.STATE_MULTI_LINE):
            line += f" [caret {text.caretOffset}]"
            for i in range(text.getNSelections()):
                line += " [selected {}-{}]".format(*text.getSelection(i))
    if control.getRole() in (pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_RADIO_BUTTON):
        line += " [checked]" if states.contains(pyatspi.STATE_CHECKED) else " [unchecked]"
    if not states.contains(pyatspi.STATE_SHOWING):
        line += " [hidden]"
    return line


def dump(pid):
    return [describe(control) for control in controls(window(pid))]


def focused(pid):
    found = [key(c) for c in controls(window(pid)) if c.getState().contains(pyatspi.STATE_FOCUSED)]
    return found[0] if len(found) == 1 else f"{len(found)} controls: {found}"


def find(pid, wanted):
    """The control, waiting for it (and its window) to appear."""
    def look():
        for control in controls(window(pid)):
            if key(control) == wanted:
                return control
        raise LookupError(f"no control {wanted}")
    found = poll(look, lambda c: not isinstance(c, Exception))
    if isinstance(found, Exception):
        raise found
    return found


BOUNDARIES = {
    "char": pyatspi.TEXT_BOUNDARY_CHAR,
    "word": pyatspi.TEXT_BOUNDARY_WORD_START,
    "sentence": pyatspi.TEXT_BOUNDARY_SENTENCE_START,
    "line": pyatspi.TEXT_BOUNDARY_LINE_START,
}
GRANULARITIES = {
    "char": pyatspi.TEXT_GRANULARITY_CHAR,
    "word": pyatspi.TEXT_GRANULARITY_WORD,
    "sentence": pyatspi.TEXT_GRANULARITY_SENTENCE,
    "line": pyatspi.TEXT_GRANULARITY_LINE,
    "paragraph": pyatspi.TEXT_GRANULARITY_PARAGRAPH,
}


def character_point(control, offset):
    """Screen point just inside a character's left edge; -1: the first line of the field."""
    if offset < 0:
        box = control.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return box.x + 20, box.y + 10
    x, y, _, height = control.queryText().getCharacterExtents(offset, pyatspi.DESKTOP_COORDS)
    return x + 2, y + height // 2


def offset_of(text, word):
    """A number is an offset; "c" followed by a signed one counts from the caret."""
    return text.caretOffset + int(word[1:]) if word.startswith("c") else int(word)


def text_call(control, words):
    """One call of the text interface, by a short name; returns what it answers."""
    text = control.queryText()
    name, args = words[0], words[1:]
    if name == "text":
        return text.getText(offset_of(text, args[0]), offset_of(text, args[1]))
    if name == "count":
        return text.characterCount
    if name == "caret":
        return text.caretOffset
    if name == "selection":
        return [text.getNSelections()] + list(text.getSelection(0))
    if name in ("at", "before", "after"):
        call = {"at": text.getTextAtOffset, "before": text.getTextBeforeOffset,
                "after": text.getTextAfterOffset}[name]
        return list(call(offset_of(text, args[0]), BOUNDARIES[args[1]]))
    if name == "string":
        return list(text.getStringAtOffset(offset_of(text, args[0]), GRANULARITIES[args[1]]))
    if name == "range-extents":
        box = text.getRangeExtents(offset_of(text, args[0]), offset_of(text, args[1]),
                                   pyatspi.DESKTOP_COORDS)
        return list(box)
    if name == "char-extents":
        return list(text.getCharacterExtents(offset_of(text, args[0]), pyatspi.DESKTOP_COORDS))
    if name == "offset-at-middle":
        box = control.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return text.getOffsetAtPoint(box.x + box.width // 2, box.y + box.height // 2,
                                     pyatspi.DESKTOP_COORDS)
    if name == "attributes":
        run = text.getAttributeRun(offset_of(text, args[0]), True)
        return [dict(run[0]) if not isinstance(run[0], list) else run[0], run[1], run[2]]
    raise ValueError(f"unknown text call {name}")


# Every call that takes offsets or answers with text, at the caret and across the whole text.
SCREEN_READER_CALLS = [
    "range-extents 0 -1", "text 0 -1", "count", "caret", "selection", "char-extents c-1",
    "char-extents 0", "offset-at-middle", "at c-1 line", "at c-1 word", "at c-1 sentence",
    "at 0 line", "before c-1 line", "after 0 line", "string c-1 line", "string c-1 word",
    "string c-1 sentence", "string c-1 paragraph", "attributes c-1", "attributes 0",
]


def fail(message):
    print(f"FAIL: {message}", file=sys.stderr)
    sys.exit(1)


def main(pid, command, *args):
    pid = int(pid)
    if command == "wait":
        found = poll(lambda: window(pid),
                     lambda w: not isinstance(w, Exception) or not os.path.exists(f"/proc/{pid}"),
                     limit=20)
        if isinstance(found, Exception):
            fail(found)
    elif command == "dump":
        print("\n".join(dump(pid)))
    elif command == "expect":
        lines = poll(lambda: dump(pid), lambda d: isinstance(d, list) and set(args) <= set(d))
        missing = [a for a in args if not isinstance(lines, list) or a not in lines]
        if missing:
            fail("missing on the bus:\n  " + "\n  ".join(missing) + "\nthe window reads:\n  "
                 + "\n  ".join(lines if isinstance(lines, list) else [str(lines)]))
    elif command == "click":
        box = find(pid, args[0]).queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        subprocess.run(["xdotool", "mousemove", "--sync", str(box.x + box.width // 2),
                        str(box.y + box.height // 2), "click", "1"], check=True)
    elif command == "clickat":
        # CONTROL OFFSET COUNT: clicks COUNT times on a character, as a double
        # or triple click selects.
        x, y = character_point(find(pid, args[0]), int(args[1]))
        subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", "--repeat",
                        args[2], "--delay", "80", "1"], check=True)
    elif command == "drag":
        # CONTROL OFFSET TARGET OFFSET: presses on a character and moves, in
        # steps as a hand does, to a character of the target (-1: the target's
        # first line), then lets go.
        x0, y0 = character_point(find(pid, args[0]), int(args[1]))
        x1, y1 = character_point(find(pid, args[2]), int(args[3]))
        # A press sooner after a click than Qt's double-click interval (400 ms)
        # would count as one more click, not the start of a drag.
        time.sleep(0.6)
        # No --sync: the pointer may be there already, and xdotool would then
        # wait out its own timeout for a move. The X server keeps the order.
        subprocess.run(["xdotool", "mousemove", str(x0), str(y0), "mousedown", "1"], check=True)
        steps = 20
        for step in range(1, steps + 1):
            subprocess.run(["xdotool", "mousemove", str(x0 + (x1 - x0) * step // steps),
                            str(y0 + (y1 - y0) * step // steps)], check=True)
            time.sleep(0.03)
        subprocess.run(["xdotool", "mouseup", "1"], check=True)
    elif command == "walk":
        keystroke, stops = args[0], args[1:]
        for step, stop in enumerate(stops):
            if step:
                subprocess.run(["xdotool", "key", keystroke], check=True)
            now = poll(lambda: focused(pid), lambda f: f == stop, limit=5)
            if now != stop:
                fail(f"after {step} x {keystroke} from {stops[0]} the focus is on {now},"
                     f" expected {stop}")
    elif command == "read":
        print(json.dumps(text_call(find(pid, args[0]), args[1].split())))
    elif command == "calls":
        control, limit_s = find(pid, args[0]), float(args[1])
        # The library gives up on a call after this; a window frozen longer fails here.
        Atspi.set_timeout(int(limit_s * 1000), int(limit_s * 1000))
        for call in SCREEN_READER_CALLS:
            began = time.monotonic()
            try:
                answer = text_call(control, call.split())
            except Exception as error:
                # A method the toolkit lacks comes back at once as an unknown object.
                if call.startswith("string") and "No such object path" in str(error):
                    print(f"{call}: not answered by this toolkit")
                    continue
                fail(f"{call} got no answer within {limit_s} s: {error}")
            took_ms = (time.monotonic() - began) * 1000
            shown = answer if not isinstance(answer, str) else f"{len(answer)} chars"
            print(f"{call}: {took_ms:.1f} ms -> {shown}")
    else:
        fail(f"unknown command {command}")


if __name__ == "__main__":
    arguments = sys.argv[1:]
    if len(arguments) > 2 and arguments[1] == "--in":
        WINDOW = arguments[2]
        del arguments[1:3]
    if len(arguments) < 2:
        fail(__doc__)
    main(*arguments)
