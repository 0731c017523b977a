#!/usr/bin/env bash
# Writes docs/performance.md to standard output; bench.sh runs it with the
# table it measured.
#   performance.md.sh TABLE MACHINE DATE RUNS
set -euo pipefail
table="$1"
machine="$2"
date="$3"
runs="$4"

cat <<DOC
# Performance

How the receive log (up to 1 Gi characters) and the path into it keep up with fast peers and
huge logs, measured side by side with the command-line tools a user would otherwise point at the
same traffic.
This file is written by \`./bench.sh\`; run it again to refresh every figure.

Measured on: ${machine}, ${date}. The machine is shared, so every figure is the median of
${runs} or more runs and each peer runs in the same program run as the figure it is compared with.
"Yes/no" says whether the figure meets its goal in this run.

${table}

![Cost of one arrival against the size of the log](log-arrival-cost.png)

## How each figure is measured

All programs are in \`bench/\` and are built with the project; each takes \`--smoke\` (a second or two,
tiny sizes, every path) and is run that way by ctest as \`bench_<name>_smoke\`. Nothing in ctest
looks at a timing.

1. **Capacity** (bench_log): a \`TextField\` is filled to exactly 2^30 characters; the next arrival
   and one after it must be refused, leaving the log unchanged, and after **Clear** an arrival is
   taken again.
2. **Memory** (bench_log): the growth of the resident set of the process while a shown log fills
   with 256 Mi characters of 67-character lines, per character, the log's line index included:
   ASCII lines, Cyrillic lines and CJK lines. Then **Clear**, the event loop runs until the log has
   handed back every slice of its storage, and what the process still holds of that growth is
   given as a share of it.
3. **bench_tcp**: a sender thread connects to the real window's TCP server role (\`frmMain\`,
   offscreen, in the benchmark's process; the role selected with its own controls) and writes
   512 MB of 67-character lines (text mode) or 128 MB of random bytes (hex mode, some 570 Mi
   characters of records) as fast as it can, then closes. Both fit the log whole, so every byte
   is decoded (or turned into hex records) and stored. The figure is bytes over the time from
   the connection to the window's Close event, which comes right after the arrival holding the
   last byte; \`ncat -l\` receives the same stream into /dev/null in the same run, and so does a
   bare Qt receiver (a server whose connection only counts what it reads, a second process of the
   benchmark; \`tcp_*_bare_mbps\`). The sender is a Qt socket on a thread of its own. A 5 ms precise
   timer records the longest stall of the window's event loop meanwhile. The text stream then
   runs by turns without and with a pcapng capture of it under way (**Capture to File…** in the
   log's menu, into a temporary folder): \`tcp_text_capture_ratio\` is the median rate with one
   over the median without, \`tcp_text_capture_stall_ms\` the longest stall with one.
   Last, 1000 MB of text go through TLS into the server role (its certificate made for the run;
   the sender thread takes any), by turns with the same stream over plain TCP: the ratio is TLS
   over plain, the handshake the sender's time from its connect to the end of the handshake. The
   peer is the system's own TLS pair: \`openssl s_client\` sending the same file to
   \`openssl s_server\`, which writes it to its null device. Before all of it, the benchmark
   writes a byte to every page of a fresh 256 MiB (\`tcp_fresh_memory_gbps\`, the median of
   three): how fast this machine hands a thread memory it never had, which the log takes a byte
   of for every ASCII character and ncat none.
4. **bench_udp**: the window is moved to a free port through its own fields and **Apply**. A
   sender thread sends 32-byte datagrams (one text line each) for 5 s at 20k, 50k and 100k a
   second, paced by the clock in 1 ms steps and bounded in count and time, each datagram to the
   window and to \`socat -u UDP-RECV:port -\` writing to a file. The share is what reached the log
   (its length over one datagram's share of it) and what socat wrote, of all sent. socat has the
   system's default receive buffer; the window asks for 4 MB. The stall is the longest gap
   between the ticks of a 5 ms precise timer in the window's process, less its own 5 ms.
5. **Arrivals** (bench_log): a log shown offscreen is filled to each size up to 1 Gi characters
   (less 256 Ki, room for the arrivals timed there), then one 67-character arrival is timed: a
   lone one (far enough from the last that it is painted at once) including the repaint, and one
   in a flood (320 arrivals with a turn of the event loop after every 32, per arrival). "lines"
   arrivals end with a line break; "noBreak" ones never do, so the log is one line of a thousand
   million characters, which the view cuts into paragraphs of 4096. The figure is the lone
   arrival at 1 Gi over the one at 1 MB; the plot shows both kinds.
6. **bench_view**: the real window with its log filled to 1 Gi characters of 67-character lines
   (to within a line: the next is refused), driven by events as a user drives it:
   \`QTest::keyClick\` for the keys, a middle click on the scroll bar's middle (which puts the slider
   there), a \`QWheelEvent\` of 3 steps, a click on **Clear**. Each action is timed from the event
   to the next paint of the log that shows it, median of 5 (the caret does not blink, so every
   paint is an answer). A typed character is taken back, untimed, before the next. Copies are
   timed to the clipboard holding the text, and the clipboard's length is checked: 100 Mi
   characters from the middle, then the whole log; the first copy of the whole log also pays
   the system for fresh pages for the text it is asked for.
   **Copy to another program** (tests/clipboard_test.sh, run by bench.sh with 256 MB): the real
   program under Xvfb; a file of 67-character lines (some Cyrillic, so the log is kept in UTF-16)
   is put on the clipboard with \`xclip\` and pasted into the log, then Ctrl+A, Ctrl+C, and
   \`xclip -o\` reads the copy while the window is asked over the accessibility bus every 50 ms
   for its log's length; the longest wait for an answer is the figure beside the time \`xclip\`
   took, and \`cat\` reads the same file (cached) to /dev/null for scale. The copy read back
   must equal the file.
   **bench_copy**: the real window in the benchmark's process under an X server of its own
   (Xvfb), its log filled to the brim over TCP with 100-character lines (a client thread writing
   to its server role), then Ctrl+A, Ctrl+C and \`xclip -o -selection clipboard -t UTF8_STRING\`
   reading the copy into /dev/null: at once, while the copy's UTF-8 is still being made, and
   again 1.5 s later, when it is ready. The figure is the log's bytes over the time from
   starting xclip to its exit. Between runs the clipboard is cleared, so each run makes its UTF-8
   afresh. A 5 ms precise timer records the longest stall of the event loop from the keys to the
   end of each read; the benchmark waits in the event loop, never spinning, as the program does.
   A last read goes into a file, which must equal the bytes sent; \`cat\` reads the same bytes
   from a file (cached) into /dev/null.
   **bench_save**: the same full log (less 1 Mi characters, room for arrivals) saved with
   Ctrl+S, the dialog answered at once with a file in the benchmark's build folder on the local
   disk, while a line arrives every millisecond. The figure is the log's bytes over the time from
   the key to the end of the save, which includes making the file durable (fsync) and putting it
   in place; the first and last MB of the file are checked against the log and its size must be
   the log's. \`cp\` of the saved file runs in the same run, alone and followed by \`sync\` of the
   copy (cp alone leaves the copy in the page cache). A 5 ms precise timer records the longest
   stall of the event loop meanwhile, and the arrivals taken meanwhile are counted.
   **bench_find**: the same full log (less 1 Mi characters), of varied lines that each hold
   "payload", with "PAYLOADS" first in its last MB. Ctrl+F in the log, "payloads" typed (Match
   case off), the caret put at the top, Enter; timed to the match being selected in the log,
   while a line arrives every millisecond (each arrival first looks whether the match is
   selected, since an arrival moves the caret to the end). The search alone over a snapshot is
   timed too. \`grep -F -b -o -m 1 PAYLOADS\` reads the same text saved to a file in the
   benchmark's build folder, run once untimed so that the file is in the page cache, then timed;
   its byte offset must be the match's position. A 5 ms precise timer records the longest stall.
7. **bench_hex**: 64 MB of random bytes cut into arrivals of 65,535 bytes, each turned into one
   hex record by \`buildHexRecord\`; \`xxd\` converts the same bytes from a file to /dev/null.
8. **bench_startup**: the real program started under its own Xvfb, timed from the start of the
   process to the MapNotify of its window (Xlib, no window manager); then the CPU time it uses
   in 10 s of idling, the nanoseconds every thread ran by the scheduler's count
   (\`/proc/PID/task/*/schedstat\`); /proc's stat counts 10 ms ticks, and one tick is the whole
   0.1% mark.
9. **bench_send**: the real window's send box, offscreen, with a line of hex digits without a
   space or a break pasted over everything it holds (100 Mi characters, Ctrl+V from the
   clipboard of the same process), then a 20 Mi-character line, at whose end a character,
   Backspace and Shift+Enter are typed; each timed from the key to the box's next paint, median
   of 5. \`bench/send_window.sh\` does the same in the real program under Xvfb with the line on
   another program's clipboard (xclip), timed over the accessibility bus; there the X selection
   transfer, which Qt reads while the window waits, takes most of a large paste.
   **Send as Hex** (bench_send): 16 MiB of bytes written as two digits and a space each, a line
   break after every 16 (48 Mi characters), pasted into the box; Send as Hex on; the window in the
   TCP server role with a client thread that reads everything. The figure is the longest the
   event loop was kept waiting, the press of Send Data (reading the box and handing the bytes to
   TCP) included, median of 5; the client checks the bytes. \`xxd -r -p\` reads the same text
   from a file to /dev/null in the same run, timed from its start to its end.
10. **bench_strips**: the real window, offscreen, on a free UDP port. **Send Repeatedly** every
   1 ms, until stopped, to a receiver thread on loopback that counts what it gets: the datagrams
   it counted over the 10 s from Start to Stop, a second, and the longest the event loop was kept
   waiting meanwhile. **Reply Automatically** (match \`PING\`, reply \`PONG\`) while a paced
   thread sends 10,000 datagrams a second holding one match each for 10 s and reads the replies
   on the socket it sends from: the share answered, and the longest stall.

### Where a TCP stream's time goes

\`perf record --call-graph dwarf\` on bench_tcp's rows alone (\`--text\` or \`--hex\`,
\`--no-capture --no-tls\`, 512 MB of text, 128 MB of hex; \`perf script\` summed by the
outermost of these frames in each sample of the window's thread while the stream ran), at the
commit that wrote this file's tuning notes. Shares of the window's thread:

| Step | Text | Hex |
|---|---|---|
| The system's copy out of the socket into Qt's buffer (\`tcp_recvmsg\`) | 28 % | 15 % |
| Into the log's chunk: the copy and the line-break search in one pass (\`scanLines\`) | 23 % | 46 % |
| The event loop: \`poll\` and dispatch | 17 % | 4 % |
| Qt's buffer to the arrival (\`QIODevice::read\`, \`TcpEndpoint::readStream\`) | 13 % | 6 % |
| Paint and layout of the view, at most once every 20 ms | 13 % | 13 % |
| The hex record (\`writeLineSsse3\`) | – | 13 % |
| The ASCII check of the decoder (\`isAscii\`) | 3 % | – |
| The rest of the arrival (decoder, log, caret) and other | 3 % | 4 % |

The window's own per-byte work for text is the copy-and-search pass and the ASCII check, a
quarter of its thread; Qt's socket layer (its buffer, its read, the event loop that wakes for
it) takes as much again as the system's copy itself. A hex byte becomes 3.4 characters, which
is why the same pass weighs twice as much there.

## What was tuned for these figures, and why

The log itself (\`TextStore\` under \`TextField\`) keeps its text in chunks of 64 Ki units, a byte a
character while a chunk holds nothing above U+00FF, with running totals per chunk to find a
position or a paragraph; only the paragraphs on screen are laid out. What held the figures
back was the way to it:

- **TCP reads of 1 MB a turn instead of 64 KB** (\`net/TcpEndpoint.cpp\`), with 4 MB buffered
  in the socket. At 64 KB each read paid a turn of the event loop and the wake-ups of both
  threads, which held the text stream near 110 MB/s with the window's thread 87% busy; with 1 MB
  a turn the same code took 620 MB/s. The turn is what costs, not the arrival: a turn's 1 MB
  still reaches the window as arrivals of at most 65,535 bytes, so every hex record keeps its
  four-digit count. One turn of hex records is only a few ms of work, so the longest stall stays
  in single-digit ms.
- **ASCII and hex records go into the log as Latin-1.** Plain-ASCII stream bytes are the text
  they decode to, so the receive log's \`StreamDecoder::passesAsLatin1\` lets them through as they
  are (one OR over eight bytes at a time decides), and the log copies them into a chunk with \`memcpy\`: no UTF-8 decoding into
  UTF-16 and narrowing back. Hex records are written as Latin-1 into one reused buffer, which
  also spares the system fresh pages for every arrival's record.
- **Line breaks are found sixteen bytes at a time** (SSE2) and every break of a block is taken
  from one compare's mask, with the counts kept in locals rather than members the byte pointer
  might alias; hex records have a break every 68 characters.
- **The paragraph starts of a chunk are walked once per edit** and kept for the two chunks last
  asked about: a repaint asks for dozens of paragraphs of the last chunk, each of which used to
  walk it from its start. That walk had become the largest single cost of a stream.

Together (medians, one machine, text / hex): 110 / 90 MB/s before, 620 / 240 MB/s with 1 MB
reads, about 1150 / 330 MB/s with all of the above.

- **The log's fresh memory is faulted in off the window's thread.** A profile of a TCP hex stream
  put some 40% of the window's thread in the kernel's page faults: every 4 KiB of a growing log
  is a fault, a zeroed page and its bookkeeping when first written. Whole-chunk storage now comes
  from 16 MiB regions (\`field/memory/ChunkMemory\`) that a thread of their own maps and has the kernel
  populate ahead (\`MADV_POPULATE_WRITE\`, a megabyte a call, so the lock on the process's
  mappings is never held long), while the window fills the region before. A region is unmapped
  when its last block goes, so Clear still gives the memory back; one spare region (16 MiB) is
  held beyond the text. By turns on a loaded host, old and new builds: TCP hex 222-241 MB/s
  before, 280-327 after; text 484-626 before, 634-802 after. Transparent huge pages
  (\`MADV_HUGEPAGE\` on the same regions, or glibc's \`glibc.malloc.hugetlb=1\`) were tried and
  dropped: on this virtual machine zeroing each fresh 2 MiB page took 55% of the thread, and the
  runs swung between 80 and 460 MB/s with stalls of 50-75 ms.
- **TCP reads of 2 MiB a turn instead of 1 MiB**: the same stream with half the turns of the
  event loop took less of the window's thread, by runs in one session (seconds of its CPU per
  GB: text 0.89-1.08 at 1 MiB, 0.63-0.79 at 2 MiB, 0.60-0.69 at 4 MiB; hex 2.0-2.1, 1.6-2.2,
  1.7-1.9). 4 MiB turns left the hex stall near 19 ms, 2 MiB at 9-18 ms, so 2 MiB it is.
- **A paint no longer asks for the next one.** A paint settles the view first, and under a
  stream that brought the end into view, a scroll, which asked for a repaint of its own: so the
  log was painted at every turn of the event loop (some 340 times a second) instead of once
  per 20 ms refresh, and paint and layout took a third of the window's thread. Settled for a
  paint, a scroll now asks for nothing more (\`TextView::settleToPaint\`). Text: 770-860 MB/s
  before, 1070-1430 after, in the same session.
- **Hex record lines are made sixteen bytes at a time** (SSSE3 shuffles, picked at run time):
  the record builder alone went from 1.6 to 3.3 GB/s of input. A Latin-1 piece (ASCII text, a
  hex record) is copied into its chunk in the pass that finds its line breaks, not copied and
  then searched.
- **On Windows each chunk's storage is a mapping of its own** (\`VirtualAlloc\`, 64 or 128 KiB,
  the system's own step): the process heap kept half of a cleared log (52 % of ASCII, 33 % of
  Cyrillic, under Wine), a mapping goes back the moment it is freed (0.9 % and 0.08 %).
- **The capture's checksums sum eight bytes at a time** in the machine's byte order and swap the
  sum once (RFC 1071): the TCP checksum over every captured payload had been the capture
  writer's largest cost, a byte swap per four bytes.
- **A save encodes on a thread of its own**, from a snapshot of the log that shares its chunks.
  The window's thread only looks at the progress every 20 ms, so the longest stall of a full
  log's save no longer holds the encoding of a slice (the 93.6 ms stall of an earlier run was a
  slice that met fresh pages), and edits and Clear go on during it.

## Copies of a large selection

Ctrl+C, Cut, the primary selection and a drag hand over a snapshot of the selected range: the
store's chunks are shared, not copied, so the copy answers at once at any size and stays what was
copied whatever the log does next. Within the program (paste, a drop) the text is read from the
snapshot as UTF-16. For a copy of 1 Mi characters or more, a thread of its own starts at once to
write the UTF-8 other programs get, straight from the Latin-1 and UTF-16 chunks (one pass to size
it, one to write it, ASCII eight to sixteen units at a time), so people who paste a second later
find it made. At most one copy's UTF-8 is kept: a Ctrl+A and the Ctrl+C after it share one, and
a large copy of other text releases the one before (about 1 GB for a full ASCII log).

Qt's X11 clipboard asks a copy for all of its bytes at once, on the GUI thread, and sends them
only then; STRING it even converts twice more. So on X11 the program answers requests for the
text of its large copies itself (\`field/x11/X11CopyServer\`), on Qt's own connection: UTF-8 straight
from the bytes the thread writes, in INCR steps of the largest request the X server takes (16 MiB
on Xvfb), each sent as soon as it is made, so a paste right after the copy starts before the
making ends and the window only ever waits for the write of one step; STRING and TEXT are made
from the snapshot a step at a time. Drags are served the same way: Qt writes a drag's text in
one request, and the X server answers one larger than it takes (16 MiB) by closing the
program's connection, which ended the program. TARGETS, MULTIPLE and small copies go through Qt
as before. Measured with a waiting (not spinning) event loop, 1 MiB steps read some 20% faster
than 16 MiB ones here and cost the X server half the CPU, which counts on a loaded machine.

## Where the remaining time goes

- A text stream now costs the system's copy out of the socket, Qt's copy out of its buffer, one
  look at every byte for ASCII, the copy into the log and its break search, and the page faults
  of the log's fresh memory (a GB of log is a quarter of a million pages); \`ncat\` into /dev/null
  pays only the first. Hex records write four characters per byte and store them, so there the
  record builder, the break search over many short lines and the page faults share the time.
- **Fresh memory is the stream rows' ceiling on two cores.** A text stream at 0.8 of ncat's
  rate (about 1.5 GB/s here) needs that much fresh memory a second, and at the fresh-memory row's
  rate (some 2.6 GB/s on one core here) that alone is over half a core, on whichever thread meets
  the pages first; a hex stream at 500 MB/s of input stores 2.1 GB/s of records, some 0.8 of a
  core. The sender thread of the benchmark takes most of the other core, so the window's own
  work, the system's copy out of the socket and the filling-in share what is left.
- The TCP figures follow the host more than any other. Much of the window's time goes to
  faulting in the log's fresh pages, which \`ncat\` into /dev/null never does, and on this virtual
  machine every fault and system call passes through the hypervisor (\`perf\` shows its
  interrupt switch as the largest single cost). When the host is slow at that, the window's MB/s
  and its longest stall worsen several times over while \`ncat\` loses less, so a ratio or stall
  missed in one run says little about a change. To judge a change, build the old and the new commit (a \`git worktree\`) and run their
  \`bench_tcp\` by turns in the same session.
- Memory is the text itself, a byte per character (two for text above U+00FF), plus a few
  words per 64 Ki-unit chunk and one spare 16 MiB region made ready ahead; laid-out paragraphs
  exist only for the screen.
- **The rare long UDP stalls were the benchmark's own.** Its sender thread paces the flood and
  catches up in bursts when the host slows it; the benchmark then waited for it a bounded time
  and joined it on the window's thread. A sender late by seconds held the event loop that long in
  \`std::thread::join\`, and it was counted as the window's stall (reproduced on a loaded host:
  3,001 ms, all of it asleep in \`join\`, by the stall watch's stack). Only the 100k/s cases, where
  the sender is busiest, ever showed them. The benchmark now turns the event loop until the
  sender is done and a burst stops at the time limit. Each flood case also reports its longest
  stall without the time the window's thread waited for a CPU (the kernel's run-queue delay)
  and the longest stall of a bare Qt reader (a socket that drops what it reads, the same 5 ms
  timer) under the same flood: stalls the window shares with it are the host's and Qt's.
- To find out why a stall happened, run with \`TARVIK_STALL_WATCH=100\` (milliseconds) set:
  every longer stall is written to the benchmark's \`.err\` file in \`build-bench/bench-results/\`,
  with how its time split between the window's own work on a CPU, waiting for a CPU (the
  host's doing) and sleep, and the GUI thread's stack part-way through.
DOC
