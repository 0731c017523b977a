// The real window's send box, offscreen at its own size, holding one long line
// with no space and no break (a hex payload pasted whole), driven by key events
// as a user would: how long a paste and each key take, from the event to the
// repaint of the box that shows it. Then Send Data with the box read as hex:
// 16 MiB written as bytes each followed by a space, handed to a TCP client,
// beside xxd -r -p of the same text.

#include "windowHarness.h"

#include <QAction>
#include <QClipboard>
#include <QEvent>
#include <QProcess>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <thread>

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

// Bytes written as hex the way a user pastes a dump: two digits and a space
// each, a line break after every 16.
QByteArray spacedHex(const QByteArray &bytes)
{
    QByteArray text;
    text.reserve(bytes.size() * 3);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        text.append(QByteArray::number(uchar(bytes[i]) | 0x100, 16).sliced(1));
        text.append(i % 16 == 15 ? '\n' : ' ');
    }
    return text;
}

// A TCP client of the window's server role that reads everything it is sent
// and keeps the first `keep` bytes.
struct Reader
{
    std::atomic<qint64> received { 0 };
    std::atomic<bool> connected { false };
    QByteArray kept;
    void run(quint16 port, qsizetype keep, qint64 total)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        connected = socket.waitForConnected(10000);
        while (received < total && socket.waitForReadyRead(20000)) {
            const QByteArray piece = socket.readAll();
            if (kept.size() < keep)
                kept.append(piece.first(std::min(piece.size(), keep - kept.size())));
            received += piece.size();
        }
    }
};

// Send Data of the box as hex to a TCP client: the longest the window's
// event loop waited, the press itself included, per send. False when the
// bytes did not arrive as written.
bool sendHexOverTcp(frmMain &window, const QByteArray &bytes, int times)
{
    TextField *box = control<TextField>(window, "txtSend");
    QClipboard *clipboard = QGuiApplication::clipboard();
    const QByteArray text = spacedHex(bytes);
    clipboard->setText(QString::fromLatin1(text));
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    clipboard->clear();
    window.findChild<QAction *>(QStringLiteral("mnuSendAsHex"))->setChecked(true);

    const quint16 port = bench::freePort();
    control<QLineEdit>(window, "txtLocalHostPortSet")->setText(QString::number(port));
    control<QRadioButton>(window, "optTCP")->click(); // Server is the role at first
    Reader reader;
    std::thread client(&Reader::run, &reader, port, bytes.size(), bytes.size() * times);
    auto *winsock = control<Winsock>(window, "Winsock");
    bench::spinUntil([&] { return winsock->State() == Winsock::Connected; }, 10000);

    QList<double> stalls;
    bench::StallMeter stall;
    bool accepted = true; // a refused send says so at once
    for (int i = 1; i <= times && winsock->State() == Winsock::Connected; ++i) {
        stall.start();
        QElapsedTimer timer;
        timer.start();
        QTest::mouseClick(control<QPushButton>(window, "cmdSendData"), Qt::LeftButton);
        const double pressMs = timer.nsecsElapsed() / 1e6;
        accepted = accepted && panelText(window, 1).isEmpty();
        bench::spinUntil([&] { return reader.received >= bytes.size() * i; }, 20000);
        stall.stop();
        stalls.append(std::max(pressMs, stall.longestStallMs()));
    }
    client.join();
    report("hex_tcp_stall", "Send Data as hex to a TCP client, longest stall", stalls);

    QTemporaryFile file;
    const QString xxd = QStandardPaths::findExecutable(QStringLiteral("xxd"));
    if (!xxd.isEmpty() && file.open() && file.write(text) == text.size() && file.flush()) {
        QList<double> peer;
        for (int i = 0; i < times; ++i) {
            QProcess process;
            process.setStandardOutputFile(QProcess::nullDevice());
            QElapsedTimer timer;
            timer.start();
            process.start(xxd, { QStringLiteral("-r"), QStringLiteral("-p"), file.fileName() });
            process.waitForFinished(60000);
            peer.append(timer.nsecsElapsed() / 1e6);
        }
        report("hex_xxd", "xxd -r -p of the same text to /dev/null", peer);
    }
    return reader.connected && reader.kept == bytes && accepted;
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
                qlonglong(box->length()), qlonglong(box->store().paragraphCount()));

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

    QByteArray bytes(qsizetype(smoke ? 1 : 16) << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 7 + i / 4099) & 0xff);
    const bool hexOk = sendHexOverTcp(window, bytes, times);
    std::printf("the bytes sent as hex %s\n", hexOk ? "arrived as written" : "did NOT arrive");
    ok = ok && hexOk;
    std::printf("the box %s what was pasted and typed\n", ok ? "holds" : "does NOT hold");
    bench::result("send_ok", ok, "bool");
    return ok ? 0 : 1;
}
