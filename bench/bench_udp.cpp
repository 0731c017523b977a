// A UDP flood into the real window: 32-byte datagrams at a fixed rate from a
// paced sender thread, each sent both to the window and to socat, which counts
// the same flood as a command-line receiver would. Reports the share of the
// datagrams that reached the log and that socat wrote out, and the longest
// stall of the window's event loop meanwhile.

// Before anything that brings in <windows.h>.
#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "windowHarness.h"

#include "text/hexRecord.h"

#include <QAction>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr int datagramBytes = 32;

QByteArray datagram(qint64 serial)
{
    QByteArray bytes = QByteArray::number(serial).rightJustified(10, '0');
    bytes += " flood datagram ..............";
    bytes.truncate(datagramBytes - 1);
    return bytes + '\n';
}

// Sends `count` datagrams to each port at `rate` per second, paced by the
// clock in 1 ms steps, and stops after `count` or `limitMs`, whichever first;
// then sets `finished`. A sender the host slows down catches up in bursts,
// and a burst too stops at the limit.
void sendFlood(QList<quint16> ports, int rate, qint64 count, int limitMs, std::atomic<qint64> *sent,
               std::atomic<qint64> *refused, std::atomic<bool> *finished)
{
    // A socket of this thread's own, written to without an event loop.
    QUdpSocket socket;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    qint64 serial = 0;
    const auto late = [&] {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count() > limitMs;
    };
    while (serial < count && !late()) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const qint64 due = std::min(count, qint64(elapsed * rate) + 1);
        for (; serial < due && (serial % 1024 != 0 || !late()); ++serial) {
            const QByteArray bytes = datagram(serial);
            for (const quint16 port : ports) {
                if (socket.writeDatagram(bytes, QHostAddress::LocalHost, port) < 0)
                    refused->fetch_add(1);
            }
        }
        sent->store(serial);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    finished->store(true);
}

// A sender outside the measured process, for an emulator whose own sends
// are too slow to make a flood: the native build serves floods on a control
// port it prints. Each request, "flood RATE COUNT LIMIT_MS PORT...", is
// answered with "sent N REFUSED" once the flood is over; "quit", or ten idle
// minutes, ends it.
int floodServer()
{
    QUdpSocket control;
    if (!control.bind(QHostAddress::LocalHost, 0))
        return 1;
    std::printf("%u\n", unsigned(control.localPort()));
    std::fflush(stdout);
    while (control.waitForReadyRead(10 * 60 * 1000)) {
        while (control.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 fromPort = 0;
            QByteArray request(256, Qt::Uninitialized);
            request.truncate(qMax<qint64>(
                    0, control.readDatagram(request.data(), request.size(), &from, &fromPort)));
            const QList<QByteArray> words = request.split(' ');
            if (words.value(0) == "quit")
                return 0;
            if (words.value(0) != "flood" || words.size() < 5)
                continue;
            QList<quint16> ports;
            for (qsizetype i = 4; i < words.size(); ++i)
                ports.append(words[i].toUShort());
            std::atomic<qint64> sent { 0 };
            std::atomic<qint64> refused { 0 };
            std::atomic<bool> finished { false };
            sendFlood(ports, words[1].toInt(), words[2].toLongLong(), words[3].toInt(), &sent,
                      &refused, &finished);
            control.writeDatagram("sent " + QByteArray::number(sent.load()) + ' '
                                          + QByteArray::number(refused.load()),
                                  from, fromPort);
        }
    }
    return 0;
}

// Asks the flood server on `serverPort` for a flood and waits for its answer,
// turning the event loop meanwhile; false when none came.
bool floodFrom(quint16 serverPort, const QList<quint16> &ports, int rate, qint64 count, int limitMs,
               std::atomic<qint64> *sent, std::atomic<qint64> *refused)
{
    QUdpSocket control;
    QByteArray request = "flood " + QByteArray::number(rate) + ' ' + QByteArray::number(count) + ' '
                         + QByteArray::number(limitMs);
    for (const quint16 port : ports)
        request += ' ' + QByteArray::number(port);
    control.writeDatagram(request, QHostAddress::LocalHost, serverPort);
    if (!bench::spinUntil([&] { return control.hasPendingDatagrams(); }, limitMs + 10000))
        return false;
    QByteArray answer(64, Qt::Uninitialized);
    answer.truncate(qMax<qint64>(0, control.readDatagram(answer.data(), answer.size())));
    const QList<QByteArray> words = answer.split(' ');
    sent->store(words.value(1).toLongLong());
    refused->store(words.value(2).toLongLong());
    return words.value(0) == "sent";
}

struct Flood
{
    qint64 count = 0;
    qint64 refused = 0;
    double perSecond = 0;
};

// A flood of `rate` a second for `seconds` to `ports`, from the flood server
// when one is named, else from a thread of this process.
Flood send(const QList<quint16> &ports, int rate, int seconds, quint16 floodServerPort)
{
    const qint64 count = qint64(rate) * seconds;
    const int limitMs = seconds * 1000 + 2000;
    std::atomic<qint64> sent { 0 };
    std::atomic<qint64> refused { 0 };
    QElapsedTimer time;
    time.start();
    if (floodServerPort != 0) {
        if (!floodFrom(floodServerPort, ports, rate, count, limitMs, &sent, &refused))
            std::printf("the flood server did not answer\n");
    } else {
        std::atomic<bool> finished { false };
        std::thread sender(sendFlood, ports, rate, count, limitMs, &sent, &refused, &finished);
        // The event loop turns until the sender is done, so joining it never
        // holds the window up (a late sender did, for seconds, on a busy host).
        bench::spinUntil([&] { return finished.load(); }, limitMs + 8000);
        sender.join();
    }
    return { sent.load(), refused.load(), double(sent.load()) / bench::seconds(time) };
}

struct Run
{
    double windowShare; // percent of the datagrams sent
    double socatShare;
    double stallMs;
    double ownStallMs;    // without the time the host kept a CPU from it
    double bareStallMs;   // of a minimal Qt reader under a flood alike; -1 when none ran
    double bareShare;     // percent of the datagrams that reader took; -1 when none ran
    double systemShare;   // the same of the system reader; -1 when none ran
    qint64 refused;       // sends the sender's own system refused, to any of the readers
    double sentPerSecond; // what the sender made of the rate asked for
};

// A reader's first line: its socket is bound. Asked of the reader rather than
// of the port, since a probe's bind at the same moment would take the port
// from it.
void saysBound()
{
    std::printf("bound\n");
    std::fflush(stdout);
}

// The smallest Qt program that takes the same flood: a socket that reads and
// counts every datagram, and the same stall meter. What it misses and its
// stalls are the host's and Qt's, none of the window's: under an emulator it
// is the limit. Ends at a "quit" datagram and prints its longest stall and
// how many datagrams it took.
int bareReader(quint16 port)
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, port))
        return 1;
    saysBound();
    bench::StallMeter stall;
    QByteArray buffer(65536, Qt::Uninitialized);
    qint64 taken = 0;
    QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [&] {
        while (socket.hasPendingDatagrams()) {
            const qint64 size = socket.readDatagram(buffer.data(), buffer.size());
            if (size == 4 && buffer.startsWith("quit")) {
                stall.stop();
                std::printf("%.3f %lld\n", stall.longestStallMs(), taken);
                std::fflush(stdout);
                QCoreApplication::quit();
                return;
            }
            taken += size > 0 ? 1 : 0;
        }
    });
    stall.start();
    return QCoreApplication::exec();
}

// Less still: the system's own blocking receive in a loop, with no event loop
// and no Qt. Under an emulator what it misses is the emulator's cost alone.
// Ends at a "quit" datagram and prints -1 (no stall meter) and how many it took.
int systemReader(quint16 port)
{
#ifdef _WIN32
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return 1;
    using Socket = SOCKET;
#else
    using Socket = int;
#endif
    const Socket socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    int bufferBytes = 4 << 20; // as the window asks for
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bufferBytes),
               sizeof bufferBytes);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return 1;
    saysBound();
    static char buffer[65536];
    qint64 taken = 0;
    for (;;) {
        const auto size = recv(socket, buffer, sizeof buffer, 0);
        if (size == 4 && std::memcmp(buffer, "quit", 4) == 0)
            break;
        taken += size >= 0 ? 1 : 0;
    }
    std::printf("-1 %lld\n", qlonglong(taken));
    return 0;
}

// Starts a reader (--bare-reader or --system-reader) on a port of its own;
// false when it did not bind.
bool startBareReader(QProcess &reader, quint16 port, const QString &kind)
{
    reader.start(QCoreApplication::applicationFilePath(), { kind, QString::number(port) });
    if (!reader.waitForStarted()) {
        std::fprintf(stderr, "%s did not start: %s\n", qPrintable(kind),
                     qPrintable(reader.errorString()));
        return false;
    }
    // Qt for Windows under an emulator takes seconds to start on a busy host.
    const bool bound
            = bench::spinUntil(
                      [&] { return reader.canReadLine() || reader.state() != QProcess::Running; },
                      30000)
              && reader.readLine().trimmed() == "bound";
    if (!bound)
        std::fprintf(stderr, "%s did not bind port %u within 30 s\n", qPrintable(kind), port);
    return bound;
}

// Its longest stall and the datagrams it took, or -1s when it did not say.
std::pair<double, qint64> stopBareReader(QProcess &reader, quint16 port)
{
    QUdpSocket quit;
    for (int i = 0; i < 2000 && reader.state() == QProcess::Running; ++i) {
        quit.writeDatagram("quit", QHostAddress::LocalHost, port);
        reader.waitForFinished(10);
    }
    if (reader.state() == QProcess::Running) {
        std::fprintf(stderr, "a reader did not end at \"quit\" within 20 s\n");
        reader.kill();
        reader.waitForFinished(1000);
        return { -1, -1 };
    }
    const QList<QByteArray> said = reader.readAllStandardOutput().trimmed().split(' ');
    bool stallOk = false;
    bool takenOk = false;
    const double stallMs = said.value(0).toDouble(&stallOk);
    const qint64 taken = said.value(1).toLongLong(&takenOk);
    if (!stallOk || !takenOk)
        std::fprintf(stderr, "a reader said \"%s\"\n", said.join(' ').constData());
    return { stallOk ? stallMs : -1, takenOk ? taken : -1 };
}

Run flood(frmMain &window, bool hex, int rate, int seconds, quint16 floodServerPort)
{
    control<QCheckBox>(window, "chkHexDISP")->setChecked(hex);

    // One datagram's share of the log, which keeps every character as it came.
    const QString shown
            = hex ? buildHexRecord(HexTransport::Udp, datagram(0)) : QString(datagram(0));
    const qsizetype charsPerDatagram = shown.size();

    // socat as a user would run it, writing every datagram to a file.
    const quint16 socatPort = bench::freePort();
    QTemporaryFile socatOut;
    socatOut.open();
    QProcess socat;
    const QString socatPath = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (!socatPath.isEmpty()) {
        socat.setStandardOutputFile(socatOut.fileName());
        socat.start(socatPath, { QStringLiteral("-u"),
                                 QStringLiteral("UDP-RECV:%1,bind=127.0.0.1").arg(socatPort),
                                 QStringLiteral("-") });
        socat.waitForStarted();
        // socat is listening once its socket is bound.
        bench::spinUntil(
                [&] {
                    QUdpSocket probe;
                    return !probe.bind(QHostAddress::LocalHost, socatPort,
                                       QAbstractSocket::DontShareAddress);
                },
                5000);
    }

    bench::StallMeter stall;
    bench::LogCounter counter(&window, &stall);
    counter.start();
    stall.start();
    QList<quint16> ports { quint16(control<Winsock>(window, "Winsock")->LocalPort()) };
    if (socat.state() == QProcess::Running)
        ports.append(socatPort);
    Run run {};
    const Flood sent = send(ports, rate, seconds, floodServerPort);
    bench::spinUntilQuiet(counter, 300, 20000);
    stall.stop();
    counter.stop();
    run.sentPerSecond = sent.perSecond;
    run.refused = sent.refused;
    const double sentCount = double(sent.count);
    run.windowShare = 100.0 * double(counter.chars()) / double(charsPerDatagram) / sentCount;
    run.stallMs = stall.longestStallMs();
    run.ownStallMs = stall.longestOwnStallMs();

    // Each bare reader gets a flood of its own after the window's: under an
    // emulator two readers at once share its one server process.
    run.bareStallMs = run.bareShare = run.systemShare = -1;
    for (const bool system : { false, true }) {
        const quint16 barePort = bench::freePort();
        QProcess bare;
        if (!startBareReader(bare, barePort,
                             system ? QStringLiteral("--system-reader")
                                    : QStringLiteral("--bare-reader")))
            continue;
        const Flood bareSent = send({ barePort }, rate, seconds, floodServerPort);
        const auto [bareStallMs, bareTaken] = stopBareReader(bare, barePort);
        const double share
                = bareTaken >= 0 ? 100.0 * double(bareTaken) / double(bareSent.count) : -1;
        (system ? run.systemShare : run.bareShare) = share;
        if (!system)
            run.bareStallMs = bareStallMs;
    }
    if (socat.state() == QProcess::Running) {
        socat.terminate();
        socat.waitForFinished(5000);
        run.socatShare = 100.0 * double(socatOut.size()) / datagramBytes / sentCount;
    } else {
        run.socatShare = -1;
    }
    control<QPushButton>(window, "cmdClear")->click();
    bench::spinUntilReleased(control<TextField>(window, "txtReceive"));
    return run;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--flood-server") == 0) {
        QCoreApplication app(argc, argv);
        return floodServer();
    }
    if (argc == 3 && qstrcmp(argv[1], "--bare-reader") == 0) {
        QCoreApplication app(argc, argv);
        return bareReader(quint16(QByteArray(argv[2]).toUShort()));
    }
    if (argc == 3 && qstrcmp(argv[1], "--system-reader") == 0)
        return systemReader(quint16(QByteArray(argv[2]).toUShort()));
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    const int runs = smoke ? 1 : bench::intOption(argc, argv, "--runs", 3);
    const int seconds = smoke ? 1 : 5;
    QList<int> rates = smoke ? QList<int> { 2000 } : QList<int> { 20000, 50000, 100000 };
    if (const int rate = bench::intOption(argc, argv, "--rate", 0))
        rates = { rate };

    // 0: the sender is a thread of this process.
    const auto floodServerPort = quint16(bench::intOption(argc, argv, "--flood-server-port", 0));

    frmMain window;
    window.show();
    // Move the window off its fixed port to one of our own, through its fields.
    control<QLineEdit>(window, "txtLocalHostPortSet")->setText(QString::number(bench::freePort()));
    control<QLineEdit>(window, "txtRemoteHostIP")->setText(QStringLiteral("127.0.0.1"));
    control<QLineEdit>(window, "txtRemoteHostPort")->setText(QString::number(bench::freePort()));
    control<QPushButton>(window, "cmdApply")->click();
    if (control<Winsock>(window, "Winsock")->State() != Winsock::Bound) {
        std::printf("the window did not bind its port\n");
        return 1;
    }
    // The floods are counted with the Traffic strip open, drawing its graph,
    // as a user watching them would have it (--no-traffic: closed).
    if (!bench::hasFlag(argc, argv, "--no-traffic"))
        window.findChild<QAction *>(QStringLiteral("mnuTrafficStrip"))->trigger();

    // What the system granted of the buffer the window asks for: what a stall
    // may last before datagrams are dropped.
    for (QUdpSocket *socket : control<Winsock>(window, "Winsock")->findChildren<QUdpSocket *>()) {
        if (socket->state() == QAbstractSocket::BoundState)
            std::printf("receive buffer granted: %lld bytes\n",
                        socket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption)
                                .toLongLong());
    }
    double longestStall = 0;
    double longestOwnStall = 0;
    double longestBareStall = -1;
    QList<double> stalls;
    for (const bool hex : { false, true }) {
        for (const int rate : rates) {
            QList<double> ours;
            QList<double> theirs;
            QList<double> bare;
            QList<double> system;
            double rateStall = 0;
            for (int i = 0; i < runs; ++i) {
                const Run run = flood(window, hex, rate, seconds, floodServerPort);
                std::printf("%s %6d/s: window %6.2f%%, socat %6.2f%%, bare Qt reader %6.2f%%,"
                            " system reader %6.2f%%, longest stall %.1f ms (%.1f ms without waits "
                            "for a CPU; the bare"
                            " reader's %.1f ms); sent %.0f/s, %lld refused\n",
                            hex ? "hex " : "text", rate, run.windowShare, run.socatShare,
                            run.bareShare, run.systemShare, run.stallMs, run.ownStallMs,
                            run.bareStallMs, run.sentPerSecond, qlonglong(run.refused));
                longestOwnStall = std::max(longestOwnStall, run.ownStallMs);
                longestBareStall = std::max(longestBareStall, run.bareStallMs);
                ours.append(run.windowShare);
                if (run.socatShare >= 0)
                    theirs.append(run.socatShare);
                if (run.bareShare >= 0)
                    bare.append(run.bareShare);
                if (run.systemShare >= 0)
                    system.append(run.systemShare);
                stalls.append(run.stallMs);
                rateStall = std::max(rateStall, run.stallMs);
                longestStall = std::max(longestStall, run.stallMs);
            }
            const QByteArray key = QByteArray("udp_") + (hex ? "hex_" : "text_")
                                   + QByteArray::number(rate / 1000) + "k";
            bench::result(key + "_window_pct", bench::median(ours), "%");
            bench::result(key + "_stall_ms", rateStall, "ms");
            if (!theirs.isEmpty()) {
                bench::result(key + "_socat_pct", bench::median(theirs), "%");
                bench::result(key + "_ratio", bench::median(ours) / bench::median(theirs), "x");
            }
            if (!bare.isEmpty()) {
                bench::result(key + "_bare_pct", bench::median(bare), "%");
                bench::result(key + "_bare_ratio", bench::median(ours) / bench::median(bare), "x");
            }
            if (!system.isEmpty())
                bench::result(key + "_system_pct", bench::median(system), "%");
        }
    }
    bench::result("udp_stall_max_ms", longestStall, "ms");
    bench::result("udp_stall_median_ms", bench::median(stalls), "ms");
    // The window's stalls less the host's share, and those of a program that
    // does nothing but read: what is left over the latter is the window's doing.
    bench::result("udp_stall_own_max_ms", longestOwnStall, "ms");
    bench::result("udp_stall_bare_reader_max_ms", longestBareStall, "ms");
    return 0;
}
