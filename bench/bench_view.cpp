// The real window with a full receive log (1 Gi characters of 67-character
// lines), offscreen at its own size, driven by key, wheel and mouse events as
// a user would: how long each answer takes, from the event to the repaint of
// the log that shows it. Copies are timed to the clipboard holding the text,
// and the clipboard's text is checked to be as long as the selection.

#include "windowHarness.h"

#include <QClipboard>
#include <QEvent>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QThread>
#include <QWheelEvent>

#include <cstdio>

namespace {

struct Figure
{
    const char *key;
    const char *what;
    QList<double> ms;
};

// Runs `action` `times` times, each after `prepare` (not timed) and a quiet
// moment, timing it to the next paint of the log (or, when `paints` is false,
// to its return).
template<typename Prepare, typename Action>
Figure timed(const char *key, const char *what, bench::PaintCounter &counter, int times,
             bool paints, Prepare prepare, Action action)
{
    Figure figure { key, what, {} };
    for (int i = 0; i < times; ++i) {
        prepare();
        bench::spinUntil([] { return false; }, 2 * TextField::repaintIntervalMs + 10);
        const int before = counter.paints;
        QElapsedTimer timer;
        timer.start();
        action();
        if (paints && !bench::spinUntil([&] { return counter.paints > before; }, 5000))
            std::printf("%s: no repaint within 5 s\n", key);
        figure.ms.append(timer.nsecsElapsed() / 1e6);
    }
    return figure;
}

void report(const Figure &figure)
{
    QStringList all;
    for (const double ms : figure.ms)
        all.append(QString::number(ms, 'f', 1));
    const double median = bench::median(figure.ms);
    std::printf("%-44s median %8.1f ms  (%s)\n", figure.what, median,
                qPrintable(all.join(QStringLiteral(", "))));
    bench::result(QByteArray("view_") + figure.key + "_ms", median, "ms");
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    // No caret blink: its repaints would pass for answers.
    QApplication::setCursorFlashTime(0);
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    const int times = smoke ? 1 : 5;

    frmMain window;
    window.show();
    TextField *log = control<TextField>(window, "txtReceive");
    QScrollBar *bar = log->verticalScrollBar();
    bench::PaintCounter counter;
    log->viewport()->installEventFilter(&counter);

    // Full: whole lines until the next one would be refused, with a little
    // room so that typing at the top still fits.
    QString line(66, u'x');
    line += u'\n';
    const QString block = line.repeated(16384);
    const qsizetype fillTo = smoke ? qsizetype(4) << 20 : TextStore::Limits {}.capacity - 16;
    const qint64 rssBefore = bench::residentBytes();
    QElapsedTimer fillTimer;
    fillTimer.start();
    while (log->length() + block.size() <= fillTo)
        log->append(block);
    while (log->length() + line.size() <= fillTo)
        log->append(line);
    const bool refused = !smoke && !log->append(line);
    std::printf("log of %lld characters (%lld paragraphs), filled in %.1f s; the next line %s; "
                "RSS %+.1f MB\n",
                qlonglong(log->length()), qlonglong(log->store().paragraphCount()),
                bench::seconds(fillTimer), refused ? "is refused" : "fits",
                (bench::residentBytes() - rssBefore) / 1e6);
    bench::result("view_log_chars", double(log->length()), "chars");
    log->setFocus();
    bench::spinUntil([] { return false; }, 100);

    const auto nothing = [] {};
    const auto key = [&](Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        return [=] { QTest::keyClick(log, k, modifiers); };
    };
    const auto toEnd = key(Qt::Key_End, Qt::ControlModifier);
    const auto toTop = key(Qt::Key_Home, Qt::ControlModifier);
    // The scroll bar's middle button puts the slider where it is pressed.
    const auto toMiddle = [&] {
        QTest::mouseClick(bar, Qt::MiddleButton, {}, QPoint(bar->width() / 2, bar->height() / 2));
    };
    const auto wheel = [&](int steps) {
        return [=] {
            const QPoint at(log->viewport()->width() / 2, log->viewport()->height() / 2);
            QWheelEvent event(at, log->viewport()->mapToGlobal(at), QPoint(),
                              QPoint(0, -steps * QWheelEvent::DefaultDeltasPerStep), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(log->viewport(), &event);
        };
    };

    QList<Figure> figures;
    figures.append(timed("top", "Ctrl+Home: to the top", counter, times, true, toEnd, toTop));
    figures.append(timed("middle", "scroll bar to the middle (middle click)", counter, times, true,
                         toEnd, toMiddle));
    std::printf("the middle click left the scroll bar at %d of %d\n", bar->value(), bar->maximum());
    figures.append(
            timed("end", "Ctrl+End: back to the end", counter, times, true, toMiddle, toEnd));
    figures.append(timed("page_up", "Page Up, in the middle", counter, times, true, toMiddle,
                         key(Qt::Key_PageUp)));
    figures.append(timed("page_down", "Page Down, in the middle", counter, times, true, toMiddle,
                         key(Qt::Key_PageDown)));
    figures.append(timed("wheel", "wheel, 3 steps down, in the middle", counter, times, true,
                         toMiddle, wheel(3)));
    const auto barClick = [&](QStyle::SubControl part) { return [=] { clickBar(bar, part); }; };
    figures.append(timed("arrow", "scroll bar arrow, in the middle", counter, times, true, toMiddle,
                         barClick(QStyle::SC_ScrollBarAddLine)));
    figures.append(timed("trough", "scroll bar trough, in the middle", counter, times, true,
                         toMiddle, barClick(QStyle::SC_ScrollBarSubPage)));
    // Each typed character is taken back (untimed) before the next.
    bool typedAtTop = true;
    figures.append(timed(
            "type", "typing a character at the top", counter, times, true,
            [&] {
                if (log->textBetween(0, 1) == QStringLiteral("q"))
                    QTest::keyClick(log, Qt::Key_Backspace);
                toTop();
            },
            [&] {
                QTest::keyClick(log, 'q');
                typedAtTop = typedAtTop && log->textBetween(0, 1) == QStringLiteral("q");
            }));
    QTest::keyClick(log, Qt::Key_Backspace);
    if (!typedAtTop)
        std::printf("typing at the top did not put the character there\n");
    figures.append(timed("select_all", "Ctrl+A: select everything", counter, times, true, toEnd,
                         key(Qt::Key_A, Qt::ControlModifier)));

    // Copies: to the clipboard holding the text; then its length is checked.
    QClipboard *clipboard = QGuiApplication::clipboard();
    const qsizetype hundredMB = smoke ? qsizetype(1) << 20 : qsizetype(100) << 20;
    qsizetype copiedPart = 0;
    figures.append(timed(
            "copy_100mb", "Ctrl+C of a 100 Mi-character selection", counter, times, false,
            [&] {
                clipboard->clear();
                const qsizetype from = log->length() / 3;
                log->setSelection(from, from + hundredMB);
            },
            [&] {
                QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
                copiedPart = clipboard->text().size();
            }));
    qsizetype copiedAll = 0;
    const qsizetype wholeLog = log->length();
    const Figure all = timed(
            "copy_all", "Ctrl+A, Ctrl+C of the whole log", counter, smoke ? 1 : 3, false,
            [&] {
                clipboard->clear();
                QTest::keyClick(log, Qt::Key_A, Qt::ControlModifier);
            },
            [&] {
                QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
                copiedAll = clipboard->text().size();
            });
    figures.append(all);
    clipboard->clear();
    // The first copy of the whole log also pays the system for 2 GB of fresh pages.
    bench::result("view_copy_all_first_ms", all.ms.first(), "ms");

    // Clear last: the button, as a user presses it.
    const qint64 rssFull = bench::residentBytes();
    qint64 rssCleared = 0;
    figures.append(timed("clear", "clicking Clear", counter, 1, true, nothing, [&] {
        QTest::mouseClick(control<QPushButton>(window, "cmdClear"), Qt::LeftButton);
    }));
    QElapsedTimer release;
    release.start();
    bench::spinUntilReleased(log);
    const double releaseMs = release.nsecsElapsed() / 1e6;
    rssCleared = bench::residentBytes();

    // The same log as one line of words: every paragraph continues a line, and
    // a jump lays out a stretch of them.
    QString words;
    for (int i = 0; words.size() < 65536; ++i)
        words += QStringLiteral("w%1 ").arg(i % 100000);
    while (log->length() + words.size() <= fillTo)
        log->append(words);
    log->append(QString(fillTo - log->length(), u'x'));
    std::printf("one line of %lld characters (%lld paragraphs)\n", qlonglong(log->length()),
                qlonglong(log->store().paragraphCount()));
    bench::spinUntil([] { return false; }, 100);
    figures.append(timed("line_top", "one line: Ctrl+Home", counter, times, true, toEnd, toTop));
    // Each jump lands in a stretch not laid out yet.
    int offset = 0;
    const auto toSomewhere = [&] {
        QTest::mouseClick(bar, Qt::MiddleButton, {},
                          QPoint(bar->width() / 2, bar->height() / 3 + 7 * ++offset));
    };
    figures.append(timed("line_middle", "one line: scroll bar to a new place", counter, times, true,
                         toEnd, toSomewhere));
    figures.append(timed("line_arrow", "one line: scroll bar arrow, after a jump", counter, times,
                         true, toSomewhere, barClick(QStyle::SC_ScrollBarSubLine)));
    figures.append(timed("line_trough", "one line: scroll bar trough, after a jump", counter, times,
                         true, toSomewhere, barClick(QStyle::SC_ScrollBarSubPage)));
    figures.append(timed("line_end", "one line: Ctrl+End", counter, times, true, toMiddle, toEnd));
    log->clear();
    bench::spinUntilReleased(log);

    for (const Figure &figure : figures)
        report(figure);
    const bool partOk = copiedPart == hundredMB;
    std::printf("the clipboard held %lld of %lld selected characters; of the whole log, %lld "
                "of %lld\n",
                qlonglong(copiedPart), qlonglong(hundredMB), qlonglong(copiedAll),
                qlonglong(wholeLog));
    std::printf("Clear: the log is %s; its memory went back in %.0f ms, RSS %.1f MB -> %.1f MB\n",
                log->length() == 0 ? "empty" : "NOT EMPTY", releaseMs, rssFull / 1e6,
                rssCleared / 1e6);
    bench::result("view_copy_100mb_chars", double(copiedPart), "chars");
    bench::result("view_copy_all_chars", double(copiedAll), "chars");
    bench::result("view_copy_ok", partOk && copiedAll == wholeLog, "bool");
    bench::result("view_rss_after_clear_mb", (rssCleared - rssBefore) / 1e6, "MB");
    return 0;
}
