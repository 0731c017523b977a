// Send File in the real window. TCP: a file of --mb MB (1000 at first) to
// `socat -u TCP-LISTEN:… OPEN:/dev/null` beside the same file sent by
// `socat -u OPEN:FILE TCP:…` to the same kind of peer, each timed from the
// start to the peer's exit, with the window's longest stall. UDP: 1,024-byte
// pieces every 0.1 ms (10,000 a second) for 5 s to a reader thread that
// keeps up: the datagrams it counted against those sent.

#include "loopbackDatagrams.h"
#include "windowHarness.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QProcess>
#include <QRadioButton>
#include <QThread>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

bool makeFile(const QString &path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < block.size(); ++i)
        block[i] = char((i * 131 + i / 977) & 0xFF);
    for (qint64 left = bytes; left > 0; left -= block.size())
        if (file.write(block.constData(), std::min<qint64>(left, block.size())) < 0)
            return false;
    return true;
}

// socat taking one connection on `port` into /dev/null, listening once this returns.
bool startSink(QProcess &sink, quint16 port)
{
    sink.start(QStringLiteral("socat"),
               { QStringLiteral("-u"), QStringLiteral("TCP-LISTEN:%1,reuseaddr").arg(port),
                 QStringLiteral("OPEN:/dev/null") });
    if (!sink.waitForStarted(5000))
        return false;
    const QByteArray listening = QStringLiteral(":%1 00000000:0000 0A")
                                         .arg(port, 4, 16, QLatin1Char('0'))
                                         .toUpper()
                                         .toLatin1();
    return bench::spinUntil(
            [&] {
                QThread::msleep(2);
                QFile tcp(QStringLiteral("/proc/net/tcp"));
                return tcp.open(QIODevice::ReadOnly) && tcp.readAll().contains(listening);
            },
            5000);
}

double bySocat(const QString &path, qint64 bytes)
{
    const quint16 port = bench::freePort();
    QProcess sink;
    if (!startSink(sink, port))
        return 0;
    QElapsedTimer timer;
    timer.start();
    QProcess::execute(QStringLiteral("socat"),
                      { QStringLiteral("-u"), QStringLiteral("OPEN:%1").arg(path),
                        QStringLiteral("TCP:127.0.0.1:%1").arg(port) });
    const bool ended = sink.waitForFinished(120000);
    return ended ? double(bytes) / 1e6 / bench::seconds(timer) : 0;
}

// Send File… in the send box's menu, its dialog answered with `path`.
void sendFile(frmMain &window, const QString &path)
{
    QTimer::singleShot(0, &window, [path] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        }
    });
    window.findChild<QAction *>(QStringLiteral("mnuSendFileStrip"))->trigger();
}

bool sendDone(frmMain &window)
{
    return control<QPushButton>(window, "sendFileSendStop")->text() == QStringLiteral("Send");
}

// Sends the file from the menu and waits until the strip says it is done:
// the seconds from the dialog's answer, with `stall` watching meanwhile.
double timedSend(frmMain &window, const QString &path, bench::StallMeter &stall)
{
    sendFile(window, path);
    stall.start();
    QElapsedTimer timer;
    timer.start();
    bench::spinUntil([&] { return sendDone(window); }, 120000);
    const double seconds = bench::seconds(timer);
    stall.stop();
    return seconds;
}

struct Run
{
    double mbps = 0;
    double stallMs = 0;
};

Run byWindow(frmMain &window, const QString &path, qint64 bytes)
{
    Run run;
    const quint16 port = bench::freePort();
    QProcess sink;
    if (!startSink(sink, port))
        return run;
    control<QRadioButton>(window, "optTCP")->click();
    control<QLineEdit>(window, "txtRemoteHostIP")->setText(QStringLiteral("127.0.0.1"));
    control<QLineEdit>(window, "txtRemoteHostPort")->setText(QString::number(port));
    control<QLineEdit>(window, "txtLocalHostPortSet")->setText(QString::number(bench::freePort()));
    control<QRadioButton>(window, "optClient")->click();
    const auto *endpoint = control<Winsock>(window, "Winsock");
    if (!bench::spinUntil([&] { return endpoint->State() == Winsock::Connected; }, 5000)) {
        std::printf("the window did not connect\n");
        return run;
    }
    // Done is the system holding the last bytes: what its buffer keeps takes
    // a millisecond more, and the close waits for it, so that it is a FIN.
    bench::StallMeter stall;
    run.mbps = double(bytes) / 1e6 / timedSend(window, path, stall);
    bench::spinUntil([] { return false; }, 500);
    control<QRadioButton>(window, "optUDP")->click();
    if (!bench::spinUntil([&] { return sink.state() == QProcess::NotRunning; }, 30000))
        run.mbps = 0;
    run.stallMs = stall.longestStallMs();
    std::printf("window: %s\n", qPrintable(control<QLabel>(window, "sendFileStripStatus")->text()));
    return run;
}

void datagrams(frmMain &window, const QString &path, qint64 pieces)
{
    quint16 port = 0;
    const int fd = bench::loopbackSocket(&port);
    if (fd < 0)
        return;
    std::atomic<qint64> received { 0 };
    std::atomic<bool> stop { false };
    std::thread reader(bench::countDatagrams, fd, &received, &stop);

    control<QLineEdit>(window, "txtRemoteHostIP")->setText(QStringLiteral("127.0.0.1"));
    control<QLineEdit>(window, "txtRemoteHostPort")->setText(QString::number(port));
    control<QLineEdit>(window, "txtLocalHostPortSet")->setText(QString::number(bench::freePort()));
    control<QPushButton>(window, "cmdApply")->click();
    control<QLineEdit>(window, "sendFileSize")->setText(QStringLiteral("1024"));
    control<QLineEdit>(window, "sendFileEvery")->setText(QStringLiteral("0.1"));
    makeFile(path, pieces * 1024);
    bench::StallMeter stall;
    const double elapsed = timedSend(window, path, stall);
    bench::spinUntil([] { return false; }, 300); // the last ones land
    stop = true;
    reader.join();
    ::close(fd);
    const double pct = 100.0 * double(received.load()) / double(pieces);
    std::printf("UDP: %lld pieces of 1,024 bytes every 0.1 ms in %.2f s (%.0f a second): %lld "
                "received (%.2f%%), longest stall %.1f ms; %s\n",
                qlonglong(pieces), elapsed, double(pieces) / elapsed, qlonglong(received.load()),
                pct, stall.longestStallMs(),
                qPrintable(control<QLabel>(window, "sendFileStripStatus")->text()));
    bench::result("file_udp_received_pct", pct, "%");
    bench::result("file_udp_per_s", double(pieces) / elapsed, "1/s");
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    const int runs = smoke ? 1 : bench::intOption(argc, argv, "--runs", 3);
    const qint64 bytes = qint64(smoke ? 8 : bench::intOption(argc, argv, "--mb", 1000)) * 1000000;
    const QString dir = bench::stringOption(argc, argv, "--dir", QDir::tempPath());
    const QString path = dir + QStringLiteral("/tarvik-bench-file");
    if (!makeFile(path, bytes)) {
        std::printf("cannot write %s\n", qPrintable(path));
        return 1;
    }
    frmMain window;
    window.show();
    QList<double> window_mbps, socat_mbps, stalls;
    for (int i = 0; i < runs; ++i) {
        const Run run = byWindow(window, path, bytes);
        window_mbps.append(run.mbps);
        stalls.append(run.stallMs);
        socat_mbps.append(bySocat(path, bytes));
        std::printf("TCP %lld MB: window %.0f MB/s, socat %.0f MB/s, longest stall %.1f ms\n",
                    qlonglong(bytes / 1000000), window_mbps.back(), socat_mbps.back(),
                    stalls.back());
    }
    const double ratio = bench::median(socat_mbps) > 0
                                 ? bench::median(window_mbps) / bench::median(socat_mbps)
                                 : 0;
    bench::result("file_tcp_mbps", bench::median(window_mbps), "MB/s");
    bench::result("file_tcp_socat_mbps", bench::median(socat_mbps), "MB/s");
    bench::result("file_tcp_ratio", ratio, "x");
    bench::result("file_tcp_stall_ms", bench::median(stalls), "ms");
    datagrams(window, path, smoke ? 2000 : 50000);
    QFile::remove(path);
    return 0;
}
