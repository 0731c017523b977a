// A TCP stream into the window's server role, as fast as the sender can
// write, until the last byte is in the log (the window's Close event comes
// right after the arrival that holds it), against ncat receiving the same
// stream into /dev/null (on Linux) and a bare Qt receiver (a server whose one
// connection only counts what it reads, in a second process of this program).
// Text mode gets 512 MB of lines of 67 characters, hex mode 128 MB of random
// bytes (some 540 Mi characters of records): both fit the log whole, so every
// byte is paid for all the way into the log. --mb N streams N MB of text and
// N/4 MB of hex instead (under Wine the full sizes make a row take minutes).
//
// Should a stream ever outgrow the log, the benchmark presses Clear as a user
// watching a long transfer would and counts what reached the log; an arrival
// the full log refuses is counted too, never hidden.
//
// The text stream runs once more with a pcapng capture of it under way
// (Capture to File in the log's menu), beside a run without one; --no-capture
// leaves that out.
//
// Then 1000 MB of text (--tls-mb N) through TLS into the window's server
// role with this run's certificate, beside the same stream over plain TCP in
// the same run, with the sender's handshake time; and the system's own TLS
// tools, openssl s_client sending the same bytes to s_server writing to its
// null device. --no-tls leaves that out.

#include "windowHarness.h"

#include "tls/runCertificate.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

namespace {

QByteArray streamBytes(bool hex, qsizetype size)
{
    QByteArray data;
    data.reserve(size);
    if (hex) {
        data.resize(size);
        QRandomGenerator generator(7);
        generator.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
        return data;
    }
    // Lines of 67: a ten-digit serial, a space, letters, LF; written in place.
    QByteArray line(67, ' ');
    for (qsizetype i = 11; i < 66; ++i)
        line[i] = char('a' + i % 26);
    line[66] = '\n';
    data.resize(size);
    char *out = data.data();
    for (qint64 serial = 0, at = 0; at < size; ++serial, at += line.size()) {
        for (qint64 rest = serial, digit = 9; digit >= 0; --digit, rest /= 10)
            line[digit] = char('0' + rest % 10);
        std::memcpy(out + at, line.constData(), size_t(std::min<qint64>(line.size(), size - at)));
    }
    return data;
}

// Connects to the port and writes all of `data`, then closes; false when the
// connection or a write failed or stood still for 60 s. A socket of this
// thread's own, written without an event loop, with at most a few chunks
// queued in it at a time.
// With `handshakeMs` the connection is TLS (any certificate taken), and it
// gets the milliseconds from the connect to the end of the handshake.
bool sendStream(quint16 port, const QByteArray &data, std::atomic<bool> *ok,
                std::atomic<double> *handshakeMs = nullptr)
{
    constexpr qsizetype chunk = 256 * 1024;
    constexpr int limitMs = 60000;
    // A plain stream goes through a plain socket: under Wine a QSslSocket on
    // a thread with no event loop ended the program in Qt's core.
    const std::unique_ptr<QTcpSocket> socket(handshakeMs ? new QSslSocket : new QTcpSocket);
    bool good = false;
    if (handshakeMs) {
        auto *tls = static_cast<QSslSocket *>(socket.get());
        QElapsedTimer handshake;
        handshake.start();
        tls->setPeerVerifyMode(QSslSocket::VerifyNone);
        tls->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        good = tls->waitForEncrypted(limitMs);
        handshakeMs->store(double(handshake.nsecsElapsed()) / 1e6);
    } else {
        socket->connectToHost(QHostAddress::LocalHost, port);
        good = socket->waitForConnected(limitMs);
    }
    // What waits to be encrypted counts too, on a TLS socket.
    const auto waiting = [&] {
        const qint64 plain = socket->bytesToWrite();
        return handshakeMs
                       ? plain + static_cast<QSslSocket *>(socket.get())->encryptedBytesToWrite()
                       : plain;
    };
    for (qsizetype at = 0; good && at < data.size();) {
        const qint64 n = socket->write(data.constData() + at, std::min(chunk, data.size() - at));
        good = n > 0;
        at += n;
        while (good && socket->bytesToWrite() >= 2 * chunk)
            good = socket->waitForBytesWritten(limitMs);
    }
    while (good && waiting() > 0)
        good = socket->waitForBytesWritten(limitMs);
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(limitMs);
    ok->store(good);
    return good;
}

// GB/s at which this thread gets memory it never had: a write to every page
// of a fresh 256 MiB, each the system's fault and zeroed page. The log takes
// a byte of it for every character it stores, which ncat into /dev/null never
// does, so this is the ceiling of the stream rows beside ncat's.
double freshMemoryGBps()
{
    constexpr qsizetype bytes = qsizetype(256) << 20;
    QList<double> rates;
    for (int run = 0; run < 3; ++run) {
        const std::unique_ptr<char[]> memory(new char[size_t(bytes)]);
        QElapsedTimer timer;
        timer.start();
        for (qsizetype at = 0; at < bytes; at += 4096)
            static_cast<volatile char *>(memory.get())[at] = 1;
        rates << double(bytes) / double(timer.nsecsElapsed());
    }
    return bench::median(rates);
}

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct Run
{
    double mbps = 0;
    double busyPct = 0;   // CPU time of the window's thread over the elapsed time
    double stallMs = 0;   // longest the window's event loop was kept from turning
    qint64 delivered = 0; // bytes handed to the window's handler
    qint64 refused = 0;   // of those, bytes in arrivals the full log refused
    qint64 logChars = 0;
    double handshakeMs = 0; // with TLS
};

Run intoWindow(frmMain &window, const QByteArray &data, bool tls = false)
{
    Run run;
    control<QCheckBox>(window, "tlsUse")->setChecked(tls);
    const quint16 port = bench::freePort();
    control<QLineEdit>(window, "txtLocalHostPortSet")->setText(QString::number(port));
    control<QRadioButton>(window, "optUDP")->click();
    control<QRadioButton>(window, "optTCP")
            ->click(); // Server is the role at first: listens on the port
    if (!control<QRadioButton>(window, "optServer")->isChecked())
        control<QRadioButton>(window, "optServer")->click();
    if (control<Winsock>(window, "Winsock")->State() != Winsock::Listening) {
        std::printf("the window is not listening\n");
        return run;
    }
    bench::StallMeter stall;
    bench::LogCounter counter(&window, &stall);
    counter.start();

    bool closed = false;
    QElapsedTimer timer;
    QObject context;
    QObject::connect(control<Winsock>(window, "Winsock"), &Winsock::DataArrivalEvent, &context,
                     [&](int bytes) {
                         // Runs after the window's handler: a refusal shows in panel 1.
                         run.delivered += bytes;
                         if (!panelText(window, 1).startsWith(QStringLiteral("Failed")))
                             return;
                         run.refused += bytes;
                         setPanelText(window, 1, QString());
                     });
    double cpuStart = 0;
    QObject::connect(control<Winsock>(window, "Winsock"), &Winsock::CloseEvent, &context, [&] {
        run.mbps = data.size() / 1e6 / bench::seconds(timer);
        run.busyPct = 100 * (threadCpuSeconds() - cpuStart) / bench::seconds(timer);
        closed = true;
    });
    std::atomic<bool> ok { false };
    std::atomic<double> handshakeMs { 0 };
    cpuStart = threadCpuSeconds();
    stall.start();
    timer.start();
    std::thread sender(sendStream, port, std::cref(data), &ok, tls ? &handshakeMs : nullptr);
    bench::spinUntil([&] { return closed; }, 120000);
    sender.join();
    stall.stop();
    run.stallMs = stall.longestStallMs();
    counter.stop();
    run.logChars = counter.chars();
    run.handshakeMs = handshakeMs;
    control<QPushButton>(window, "cmdClear")->click();
    bench::spinUntilReleased(control<TextField>(window, "txtReceive"));
    if (!closed || !ok)
        run.mbps = 0;
    return run;
}

// ncat -l to /dev/null, timed from the connection to ncat's exit.
double intoNcat(const QString &ncat, const QByteArray &data)
{
    const quint16 port = bench::freePort();
    QProcess peer;
    peer.setStandardOutputFile(QProcess::nullDevice());
    peer.start(ncat, { QStringLiteral("-l"), QStringLiteral("127.0.0.1"), QString::number(port) });
    if (!peer.waitForStarted(5000))
        return 0;
    // Wait until it listens: a probe connection would be its one client, so
    // look at the port instead.
    bench::spinUntil(
            [&] {
                // Reading the table walks every socket of the machine: poll
                // gently, or the poll takes the core ncat needs to start.
                QThread::msleep(2);
                QFile tcp(QStringLiteral("/proc/net/tcp"));
                tcp.open(QIODevice::ReadOnly);
                const QString listening = QStringLiteral(":%1 00000000:0000 0A")
                                                  .arg(port, 4, 16, QLatin1Char('0'))
                                                  .toUpper();
                return tcp.readAll().contains(listening.toLatin1());
            },
            5000);
    std::atomic<bool> ok { false };
    QElapsedTimer timer;
    timer.start();
    std::thread sender(sendStream, port, std::cref(data), &ok, nullptr);
    const bool ended = peer.waitForFinished(120000);
    const double elapsed = bench::seconds(timer);
    sender.join();
    if (!ended) {
        peer.kill();
        peer.waitForFinished(5000);
    }
    return ended && ok ? data.size() / 1e6 / elapsed : 0;
}

// openssl s_client sending `data` to s_server, which writes it to its null
// device; MB/s from s_client's start to its exit after the last byte.
double intoOpenssl(const QString &openssl, const QByteArray &data)
{
    QTemporaryDir dir;
    const TlsIdentity identity = makeRunCertificate(QStringLiteral("localhost"), {});
    const QString pem = dir.filePath(QStringLiteral("server.pem"));
    const QString input = dir.filePath(QStringLiteral("stream"));
    QFile pemFile(pem);
    QFile inputFile(input);
    if (!pemFile.open(QIODevice::WriteOnly) || !inputFile.open(QIODevice::WriteOnly)
        || pemFile.write(identity.certificate.toPem() + identity.key.toPem()) < 0
        || inputFile.write(data) != data.size())
        return 0;
    pemFile.close();
    inputFile.close();
    const quint16 port = bench::freePort();
    QProcess server;
    server.setStandardOutputFile(QProcess::nullDevice());
    server.start(openssl,
                 { QStringLiteral("s_server"), QStringLiteral("-quiet"), QStringLiteral("-accept"),
                   QString::number(port), QStringLiteral("-cert"), pem });
    if (!server.waitForStarted(5000))
        return 0;
    QThread::msleep(300); // s_server says nothing when it listens
    QProcess client;
    client.setStandardInputFile(input);
    client.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    client.start(openssl, { QStringLiteral("s_client"), QStringLiteral("-quiet"),
                            QStringLiteral("-no_ign_eof"), QStringLiteral("-connect"),
                            QStringLiteral("127.0.0.1:%1").arg(port) });
    const bool ended = client.waitForFinished(120000) && client.exitCode() == 0;
    const double elapsed = bench::seconds(timer);
    for (QProcess *process : { &client, &server }) {
        process->kill();
        process->waitForFinished(5000);
    }
    return ended ? data.size() / 1e6 / elapsed : 0;
}

void tlsRows(frmMain &window, int runs, int mb)
{
    const QByteArray data = streamBytes(false, qsizetype(mb) << 20);
    control<QCheckBox>(window, "chkHexDISP")->setChecked(false);
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    QList<double> plain;
    QList<double> tls;
    QList<double> handshakes;
    QList<double> peer;
    double stallMs = 0;
    for (int i = 0; i < runs; ++i) {
        const Run plainRun = intoWindow(window, data);
        const Run tlsRun = intoWindow(window, data, true);
        const double peerMbps = openssl.isEmpty() ? 0 : intoOpenssl(openssl, data);
        std::printf("tls %d MB: window %.1f MB/s through TLS (handshake %.1f ms, longest stall "
                    "%.1f ms, %lld log chars), %.1f MB/s plain TCP, openssl s_client to s_server "
                    "%.1f MB/s\n",
                    mb, tlsRun.mbps, tlsRun.handshakeMs, tlsRun.stallMs, qlonglong(tlsRun.logChars),
                    plainRun.mbps, peerMbps);
        plain.append(plainRun.mbps);
        tls.append(tlsRun.mbps);
        handshakes.append(tlsRun.handshakeMs);
        if (peerMbps > 0)
            peer.append(peerMbps);
        stallMs = std::max(stallMs, tlsRun.stallMs);
    }
    control<QCheckBox>(window, "tlsUse")->setChecked(false);
    bench::result("tls_text_window_mbps", bench::median(tls), "MB/s");
    bench::result("tls_text_plain_mbps", bench::median(plain), "MB/s");
    bench::result("tls_text_ratio", bench::median(tls) / bench::median(plain), "x");
    bench::result("tls_text_stall_ms", stallMs, "ms");
    bench::result("tls_handshake_ms", bench::median(handshakes), "ms");
    if (!peer.isEmpty()) {
        bench::result("tls_text_openssl_mbps", bench::median(peer), "MB/s");
        bench::result("tls_text_openssl_ratio", bench::median(tls) / bench::median(peer), "x");
    }
}

// The smallest Qt program that takes the same stream: a server whose one
// connection reads all it gets and counts it, beside the same stall meter.
// How fast it goes is the host's and Qt's doing, none of the window's: under
// an emulator it is the limit. Says its port once it listens; when the peer
// has closed, the seconds from the connection to the close, the bytes it read
// and its longest stall; then ends. Gives up after `limitMs`.
int bareReceiver(int limitMs)
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 1;
    std::printf("%u\n", unsigned(server.serverPort()));
    std::fflush(stdout);
    bench::StallMeter stall;
    QElapsedTimer timer;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 taken = 0;
    QTcpSocket *peer = nullptr;
    const auto drain = [&] {
        qint64 n = 0;
        while ((n = peer->read(buffer.data(), buffer.size())) > 0)
            taken += n;
    };
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        if (peer)
            return;
        timer.start();
        stall.start();
        peer = server.nextPendingConnection();
        server.close();
        QObject::connect(peer, &QTcpSocket::readyRead, peer, drain);
        QObject::connect(peer, &QTcpSocket::disconnected, peer, [&] {
            drain();
            stall.stop();
            std::printf("%.6f %lld %.3f\n", bench::seconds(timer), qlonglong(taken),
                        stall.longestStallMs());
            std::fflush(stdout);
            QCoreApplication::quit();
        });
        drain();
    });
    QTimer::singleShot(limitMs, &server, [] { QCoreApplication::exit(2); });
    return QCoreApplication::exec();
}

struct BareRun
{
    double mbps = 0;     // 0 when it did not take the whole stream
    double stallMs = -1; // -1 when it did not say
};

// Streams `data` into the bare receiver, timed by the receiver's own clock.
BareRun intoBareReceiver(const QByteArray &data)
{
    constexpr int limitMs = 120000;
    BareRun run;
    QProcess receiver;
    receiver.start(QCoreApplication::applicationFilePath(),
                   { QStringLiteral("--bare-receiver"), QString::number(limitMs) });
    if (!receiver.waitForStarted(10000))
        return run;
    bench::spinUntil([&] { return receiver.canReadLine(); }, 20000);
    const quint16 port = receiver.readLine().trimmed().toUShort();
    if (port == 0) {
        receiver.kill();
        receiver.waitForFinished(5000);
        return run;
    }
    std::atomic<bool> ok { false };
    std::thread sender(sendStream, port, std::cref(data), &ok, nullptr);
    const bool ended = receiver.waitForFinished(limitMs + 10000);
    sender.join();
    if (!ended) {
        receiver.kill();
        receiver.waitForFinished(5000);
        return run;
    }
    const QList<QByteArray> said = receiver.readAllStandardOutput().trimmed().split(' ');
    const double seconds = said.value(0).toDouble();
    const qint64 taken = said.value(1).toLongLong();
    bool stallOk = false;
    const double stallMs = said.value(2).toDouble(&stallOk);
    run.stallMs = stallOk ? stallMs : -1;
    if (ok && seconds > 0 && taken == data.size())
        run.mbps = data.size() / 1e6 / seconds;
    return run;
}

// Clicks Capture to File (or Stop Capture) in the log's menu and answers
// its dialog with `path`.
void toggleCapture(frmMain &window, const QString &path)
{
    auto *log = control<TextField>(window, "txtReceive");
    log->setFocus();
    QTest::keyClick(log, Qt::Key_F10, Qt::ShiftModifier);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    if (!menu)
        return;
    QTimer::singleShot(0, &window, [path] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        }
    });
    for (QAction *item : menu->actions()) {
        if (item->text() == QStringLiteral("Capture to File…")
            || item->text() == QStringLiteral("Stop Capture"))
            item->trigger();
    }
    menu->close();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--bare-receiver") == 0) {
        QCoreApplication app(argc, argv);
        return bareReceiver(QByteArray(argv[2]).toInt());
    }
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    const int runs = smoke ? 1 : bench::intOption(argc, argv, "--runs", 3);
    const int textMb = smoke ? 1 : std::max(1, bench::intOption(argc, argv, "--mb", 512));
    const bool capture = !bench::hasFlag(argc, argv, "--no-capture");
    const bool tls = !bench::hasFlag(argc, argv, "--no-tls");
    const int tlsMb = smoke ? 1 : std::max(1, bench::intOption(argc, argv, "--tls-mb", 1000));
#if defined(Q_OS_LINUX)
    // Whether ncat listens yet is read from /proc/net/tcp.
    const QString ncat = QStandardPaths::findExecutable(QStringLiteral("ncat"));
#else
    const QString ncat;
#endif

    const double freshGBps = freshMemoryGBps();
    std::printf("fresh memory, a write to every page: %.2f GB/s on one core\n", freshGBps);
    bench::result("tcp_fresh_memory_gbps", freshGBps, "GB/s");

    frmMain window;
    window.show();

    // --hex or --text runs that one alone (for a profiler).
    QList<bool> modes { false, true };
    if (bench::hasFlag(argc, argv, "--hex"))
        modes = { true };
    else if (bench::hasFlag(argc, argv, "--text"))
        modes = { false };
    for (const bool hex : modes) {
        const qsizetype size = qsizetype(hex ? std::max(1, textMb / 4) : textMb) << 20;
        const QByteArray data = streamBytes(hex, size);
        control<QCheckBox>(window, "chkHexDISP")->setChecked(hex);
        QList<double> ours;
        QList<double> theirs;
        QList<double> bare;
        double longestStall = 0;
        double longestBareStall = -1;
        qint64 refused = 0;
        for (int i = 0; i < runs; ++i) {
            const Run run = intoWindow(window, data);
            const double peer = ncat.isEmpty() ? 0 : intoNcat(ncat, data);
            const BareRun bareRun = intoBareReceiver(data);
            const QByteArray ncatSaid
                    = ncat.isEmpty() ? "no ncat"
                                     : "ncat " + QByteArray::number(peer, 'f', 1) + " MB/s";
            std::printf("%s %lld MB: window %.1f MB/s (its thread busy %.0f%% of the time, "
                        "longest stall %.1f ms; %lld bytes delivered, %lld refused, %lld log "
                        "chars), %s, bare Qt receiver %.1f MB/s (longest stall %.1f ms)\n",
                        hex ? "hex " : "text", qlonglong(size >> 20), run.mbps, run.busyPct,
                        run.stallMs, qlonglong(run.delivered), qlonglong(run.refused),
                        qlonglong(run.logChars), ncatSaid.constData(), bareRun.mbps,
                        bareRun.stallMs);
            ours.append(run.mbps);
            if (peer > 0)
                theirs.append(peer);
            if (bareRun.mbps > 0)
                bare.append(bareRun.mbps);
            longestBareStall = std::max(longestBareStall, bareRun.stallMs);
            refused += run.refused;
            longestStall = std::max(longestStall, run.stallMs);
        }
        const QByteArray key = QByteArray("tcp_") + (hex ? "hex" : "text");
        if (!hex && capture) {
            // Each run with a capture beside one without, so that both see
            // the same machine.
            QTemporaryDir dir;
            QList<double> plain;
            QList<double> captured;
            double captureStall = 0;
            for (int i = 0; i < runs; ++i) {
                plain.append(intoWindow(window, data).mbps);
                const QString path = dir.filePath(QStringLiteral("run.pcapng"));
                toggleCapture(window, path);
                const Run run = intoWindow(window, data);
                toggleCapture(window, path);
                const qint64 written = QFileInfo(path).size();
                QFile::remove(path);
                std::printf("text %lld MB: window %.1f MB/s without a capture, %.1f MB/s with one "
                            "(longest stall %.1f ms, %lld bytes of pcapng, panel 1 \"%s\")\n",
                            qlonglong(size >> 20), plain.constLast(), run.mbps, run.stallMs,
                            qlonglong(written), qPrintable(panelText(window, 1)));
                captured.append(run.mbps);
                captureStall = std::max(captureStall, run.stallMs);
            }
            bench::result("tcp_text_capture_window_mbps", bench::median(captured), "MB/s");
            bench::result("tcp_text_capture_plain_mbps", bench::median(plain), "MB/s");
            bench::result("tcp_text_capture_stall_ms", captureStall, "ms");
            bench::result("tcp_text_capture_ratio", bench::median(captured) / bench::median(plain),
                          "x");
        }
        bench::result(key + "_window_mbps", bench::median(ours), "MB/s");
        bench::result(key + "_refused_bytes", double(refused), "B");
        bench::result(key + "_stall_ms", longestStall, "ms");
        if (!theirs.isEmpty()) {
            bench::result(key + "_ncat_mbps", bench::median(theirs), "MB/s");
            bench::result(key + "_ratio", bench::median(ours) / bench::median(theirs), "x");
        }
        if (!bare.isEmpty()) {
            bench::result(key + "_bare_mbps", bench::median(bare), "MB/s");
            bench::result(key + "_bare_ratio", bench::median(ours) / bench::median(bare), "x");
            bench::result(key + "_bare_stall_ms", longestBareStall, "ms");
        }
    }
    if (tls && !bench::hasFlag(argc, argv, "--hex") && !bench::hasFlag(argc, argv, "--text"))
        tlsRows(window, runs, tlsMb);
    return 0;
}
