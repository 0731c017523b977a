// Undo and redo of the deletion of a whole full log (1 Gi characters of
// 67-character lines), by real keys in a field of its own: Ctrl+A then a key,
// Ctrl+Z, Ctrl+Shift+Z. Each is timed from the key to the repaint that shows
// it; the resident and peak memory say whether the text was copied.

#include "benchCommon.h"
#include "field/widget/TextField.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setCursorFlashTime(0);
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");

    TextField log;
    log.resize(800, 600);
    log.show();
    bench::PaintCounter counter;
    log.viewport()->installEventFilter(&counter);

    QString line(66, u'x');
    line += u'\n';
    const QString block = line.repeated(16384);
    const qsizetype fillTo = smoke ? qsizetype(4) << 20 : TextStore::Limits {}.capacity;
    while (log.length() + block.size() <= fillTo)
        log.append(block);
    while (log.length() + line.size() <= fillTo)
        log.append(line);
    const qsizetype full = log.length();
    log.setFocus();
    bench::spinUntil([] { return false; }, 100);
    std::printf("log of %lld characters, RSS %.1f MB, peak %.1f MB\n", qlonglong(full),
                bench::residentBytes() / 1e6, bench::peakResidentBytes() / 1e6);

    bool ok = true;
    const auto timed = [&](const char *key, const char *what, auto action, qsizetype expected) {
        bench::spinUntil([] { return false; }, 2 * TextField::repaintIntervalMs + 10);
        const int before = counter.paints;
        QElapsedTimer timer;
        timer.start();
        action();
        const double returned = timer.nsecsElapsed() / 1e6;
        if (!bench::spinUntil([&] { return counter.paints > before; }, 5000))
            std::printf("%s: no repaint within 5 s\n", key);
        const double painted = timer.nsecsElapsed() / 1e6;
        ok = ok && log.length() == expected;
        std::printf("%-34s %8.1f ms to return, %8.1f ms to the repaint; length %lld, "
                    "RSS %.1f MB, peak %.1f MB\n",
                    what, returned, painted, qlonglong(log.length()), bench::residentBytes() / 1e6,
                    bench::peakResidentBytes() / 1e6);
        bench::result((QByteArray("undo_") + key + "_ms").constData(), painted, "ms");
    };
    QTest::keyClick(&log, Qt::Key_A, Qt::ControlModifier);
    timed(
            "delete_all", "Ctrl+A, then K (replaces all)",
            [&] { QTest::keyClick(&log, Qt::Key_K); }, 1);
    timed(
            "undo", "Ctrl+Z (the log comes back)",
            [&] { QTest::keyClick(&log, Qt::Key_Z, Qt::ControlModifier); }, full);
    timed(
            "redo", "Ctrl+Shift+Z (replaced again)",
            [&] { QTest::keyClick(&log, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier); }, 1);
    bench::result("undo_peak_rss_mb", bench::peakResidentBytes() / 1e6, "MB");
    if (!ok)
        std::printf("FAIL: a step left the log at the wrong length\n");
    return ok ? 0 : 1;
}
