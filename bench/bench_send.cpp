// The real window's send box, offscreen at its own size, holding one long line
// with no space and no break (a hex payload pasted whole), driven by key events
// as a user would: how long a paste and each key take, from the event to the
// repaint of the box that shows it.

#include "windowHarness.h"

#include <QClipboard>
#include <QEvent>
#include <QTest>

#include <cstdio>

namespace {

// Times `action` to the next paint of the box.
template<typename Action>
double toRepaint(bench::PaintCounter &counter, Action action)
{
    bench::spinUntil([] { return false; }, 2 * TextField::repaintIntervalMs + 10);
    const int before = counter.paints;
    QElapsedTimer timer;
    timer.start();
    action();
    if (!bench::spinUntil([&] { return counter.paints > before; }, 10000))
        std::printf("no repaint within 10 s\n");
    return timer.nsecsElapsed() / 1e6;
}

QString hexLine(qsizetype units)
{
    QString line(units, Qt::Uninitialized);
    for (qsizetype i = 0; i < units; ++i)
        line[i] = QLatin1Char("0123456789abcdef"[(i * 7 + i / 4099) % 16]);
    return line;
}

void report(const char *key, const char *what, const QList<double> &ms)
{
    QStringList all;
    for (const double value : ms)
        all.append(QString::number(value, 'f', 1));
    const double median = bench::median(ms);
    std::printf("%-52s median %8.1f ms  (%s)\n", what, median,
                qPrintable(all.join(QStringLiteral(", "))));
    bench::result(QByteArray("send_") + key + "_ms", median, "ms");
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
    const qsizetype lineUnits = smoke ? qsizetype(1) << 20 : qsizetype(20) << 20;
    const qsizetype pasteUnits = smoke ? qsizetype(4) << 20 : qsizetype(100) << 20;

    frmMain window;
    window.show();
    TextField *box = control<TextField>(window, "txtSend");
    bench::PaintCounter counter;
    box->viewport()->installEventFilter(&counter);
    box->setFocus();
    QClipboard *clipboard = QGuiApplication::clipboard();
    const auto key = [&](Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        return [=] { QTest::keyClick(box, k, modifiers); };
    };
    const auto selectAll = key(Qt::Key_A, Qt::ControlModifier);
    const auto paste = key(Qt::Key_V, Qt::ControlModifier);
    bool ok = true;

    // A paste over everything the box holds, each time the whole line.
    clipboard->setText(hexLine(pasteUnits));
    QList<double> pastes;
    for (int i = 0; i < times; ++i) {
        selectAll();
        pastes.append(toRepaint(counter, paste));
        ok = ok && box->length() == pasteUnits;
    }
    report("paste_big", "Ctrl+V of one line into the box (big)", pastes);

    clipboard->setText(hexLine(lineUnits));
    selectAll();
    paste();
    ok = ok && box->length() == lineUnits;
    clipboard->clear();
    std::printf("the box holds one line of %lld characters (%lld paragraphs)\n",
                qlonglong(box->length()), qlonglong(box->model().paragraphCount()));

    // Keys at the end of the line, each answered by a repaint.
    QList<double> typed, backspaces, breaks, ends, homes, startTyped;
    for (int i = 0; i < times; ++i) {
        typed.append(toRepaint(counter, key(Qt::Key_F)));
        backspaces.append(toRepaint(counter, key(Qt::Key_Backspace)));
        breaks.append(toRepaint(counter, key(Qt::Key_Return, Qt::ShiftModifier)));
        toRepaint(counter, key(Qt::Key_Backspace));
    }
    ok = ok && box->length() == lineUnits;
    for (int i = 0; i < times; ++i) {
        homes.append(toRepaint(counter, key(Qt::Key_Home, Qt::ControlModifier)));
        startTyped.append(toRepaint(counter, key(Qt::Key_F)));
        toRepaint(counter, key(Qt::Key_Backspace));
        ends.append(toRepaint(counter, key(Qt::Key_End, Qt::ControlModifier)));
    }
    ok = ok && box->length() == lineUnits;
    report("type_end", "typing a character at the end of the line", typed);
    report("backspace_end", "Backspace at the end of the line", backspaces);
    report("shift_enter_end", "Shift+Enter at the end of the line", breaks);
    report("to_start", "Ctrl+Home: to the start of the line", homes);
    report("type_start", "typing a character at the start of the line", startTyped);
    report("to_end", "Ctrl+End: back to the end", ends);

    // Send Data with nowhere to send: the press costs the reading of the box.
    QList<double> sends;
    for (int i = 0; i < times; ++i) {
        QElapsedTimer timer;
        timer.start();
        QTest::mouseClick(control<QPushButton>(window, "cmdSendData"), Qt::LeftButton);
        sends.append(timer.nsecsElapsed() / 1e6);
    }
    report("send_refused", "Send Data refused (no remote host)", sends);
    std::printf("the box %s what was pasted and typed\n", ok ? "holds" : "does NOT hold");
    bench::result("send_ok", ok, "bool");
    return ok ? 0 : 1;
}
