// The window against misbehaving peers on loopback: connect storms, resets,
// half-closes, silent clients, floods past the log's capacity, odd arrivals,
// peers that vanish and a user switching transports without pause. Each case
// checks that the window still answers, that the status panels follow the
// rules and that the log holds exactly what was accepted.

#include "hostile.h"
#include "peer.h"
#include "sendBox.h"
#include "windowControls.h"
#include "windowPort.h"

#include "field/widget/TextField.h"
#include "logFill.h"
#include "net/Winsock.h"
#include "ui/frmMain.h"

#include <QCheckBox>
#include <QHostAddress>
#include <QLineEdit>
#include <QMetaEnum>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QUdpSocket>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr quint16 serverPort = 23511; // the window's TCP server
constexpr quint16 udpPort = 23512;    // the window's UDP port after Apply
constexpr quint16 peerServerPort = 23513;

const QString clientAccepted = QStringLiteral("Connect with remote client success.");
const QString clientLeft = QStringLiteral("Remote client disconnect...");
const QString serverLeft = QStringLiteral("Remote server disconnect...");
const QString arrivalFailed = QStringLiteral("Failed to get remote data...");

// Line `i` of the big stream: 64 ASCII bytes ending in a line break.
QByteArray streamLine(qint64 i)
{
    QByteArray line = QByteArray::number(i).rightJustified(12, '0');
    line += " the quick brown fox jumps over the lazy dog 0123456\n";
    return line.left(63) + '\n';
}

QByteArray streamPrefix(qint64 bytes)
{
    QByteArray prefix;
    prefix.reserve(bytes + 64);
    for (qint64 i = 0; prefix.size() < bytes; ++i)
        prefix += streamLine(i);
    prefix.truncate(bytes);
    return prefix;
}

} // namespace

class tst_Hostile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void connectStorm();
    void abruptClient_data();
    void abruptClient();
    void peerVanishes_data();
    void peerVanishes();
    void udpFlood();
    void tcpStreamPastCapacity();
    void noGapAfterRefusal();
    void lineBreakFlood();
    void oddArrival_data();
    void oddArrival();
    void rapidSwitching();
    void peerNeverReads();

private:
    QString log() const { return control<TextField>(*w, "txtReceive")->text(); }
    // Selects TCP with the server role on serverPort.
    bool listen();
    // Has one client connect to the listening window; empty when refused.
    RawSocket acceptedClient();
    // Selects the server role again and checks a new client is served.
    bool servesAgain();
    // UDP on udpPort through Apply.
    bool bindUdp();
    // True when a queued call gets through the event loop in time.
    bool answers();

    std::unique_ptr<frmMain> w;
};

void tst_Hostile::init()
{
    w = std::make_unique<frmMain>();
    w->show();
    setPanelText(*w, 1, QString());
}

void tst_Hostile::cleanup()
{
    w.reset();
}

bool tst_Hostile::listen()
{
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), QString::number(serverPort));
    press(control<QRadioButton>(*w, "optTCP"));
    return control<Winsock>(*w, "Winsock")->State() == Winsock::Listening
           && panelText(*w, 3) == QStringLiteral("Listening...");
}

RawSocket tst_Hostile::acceptedClient()
{
    setPanelText(*w, 1, QString());
    RawSocket client = connectTcp(serverPort);
    if (!client.isValid()
        || !QTest::qWaitFor([&] { return panelText(*w, 1) == clientAccepted; }, peerWaitMs))
        return RawSocket();
    return client;
}

bool tst_Hostile::servesAgain()
{
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), QString::number(serverPort));
    if (!control<QRadioButton>(*w, "optTCP")->isChecked())
        press(control<QRadioButton>(*w, "optTCP"));
    if (control<Winsock>(*w, "Winsock")->State() != Winsock::Listening) {
        // A choice already made raises no toggle: a user starts the server
        // again by choosing TCP afresh, which runs the chosen role.
        if (control<QRadioButton>(*w, "optServer")->isChecked()) {
            press(control<QRadioButton>(*w, "optUDP"));
            press(control<QRadioButton>(*w, "optTCP"));
        } else {
            press(control<QRadioButton>(*w, "optServer"));
        }
    }
    if (panelText(*w, 3) != QStringLiteral("Listening..."))
        return false;
    RawSocket client = acceptedClient();
    return client.isValid() && client.sendAll("again\n")
           && QTest::qWaitFor([&] { return log().endsWith(u"again\n"); }, peerWaitMs);
}

bool tst_Hostile::bindUdp()
{
    return applyUdpPort(*w, udpPort) == udpPort;
}

bool tst_Hostile::answers()
{
    bool ran = false;
    QTimer::singleShot(0, w.get(), [&ran] { ran = true; });
    return QTest::qWaitFor([&] { return ran; }, peerWaitMs);
}

void tst_Hostile::connectStorm()
{
    const int connects = fullSizes() ? 1000 : 300;
    QVERIFY(listen());
    const int fdsBefore = openFds();
    const qint64 rssBefore = rssKiB();
    QSignalSpy requests(control<Winsock>(*w, "Winsock"), &Winsock::ConnectionRequestEvent);
    ResponsivenessProbe probe;

    // Sockets whose fate is still open; the others are closed at once so the
    // storm never holds more than a few.
    std::vector<RawSocket> open;
    int refused = 0;
    int closedAfterConnect = 0;
    const auto settle = [&] {
        std::vector<RawSocket> still;
        for (RawSocket &socket : open) {
            pollfd p { socket.fd(), POLLIN | POLLOUT, 0 };
            ::poll(&p, 1, 0);
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &size);
            if (error == ECONNREFUSED)
                ++refused;
            else if (error != 0 || (p.revents & (POLLIN | POLLERR | POLLHUP)))
                ++closedAfterConnect;
            else {
                still.push_back(std::move(socket));
                continue;
            }
        }
        open = std::move(still);
    };
    QElapsedTimer clock;
    clock.start();
    int made = 0;
    for (; made < connects && clock.elapsed() < 20000; ++made) {
        RawSocket socket = connectTcp(serverPort, false);
        if (socket.isValid())
            open.push_back(std::move(socket));
        else
            ++refused;
        if (made % 20 == 0) {
            QCoreApplication::processEvents();
            settle();
        }
    }
    const qint64 stormMs = clock.elapsed();
    QCOMPARE(made, connects);
    // Connects the full backlog dropped are retried by the system and refused
    // then; exactly one stays, connected and quiet.
    const auto connectedQuiet = [&] {
        settle();
        if (open.size() != 1)
            return false;
        pollfd p { open.front().fd(), POLLOUT, 0 };
        return ::poll(&p, 1, 0) == 1 && p.revents == POLLOUT;
    };
    QTRY_VERIFY_WITH_TIMEOUT(connectedQuiet(), 3 * peerWaitMs);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(panelText(*w, 1), clientAccepted);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Connect"));
    QVERIFY(answers());
    QCOMPARE(refused + closedAfterConnect + 1, connects);

    // The one client leaves: the rules' disconnect, and nothing left open.
    open.clear();
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), clientLeft, peerWaitMs);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Disconnect"));
    QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(openFds() <= fdsBefore + 2, peerWaitMs);
    const qint64 rssGrowth = rssKiB() - rssBefore;
    QVERIFY2(rssGrowth < 64 * 1024, qPrintable(QString::number(rssGrowth)));
    QVERIFY2(probe.longestGapMs() < ResponsivenessProbe::frozenMs,
             qPrintable(QString::number(probe.longestGapMs())));
    reportResult(QStringLiteral("connect-storm"),
                 QStringLiteral("%1 connects in %2 ms: 1 accepted, %3 refused, %4 reset or closed; "
                                "open fds %5 before, %6 after; RSS +%7 KiB; longest stall %8 ms")
                         .arg(connects)
                         .arg(stormMs)
                         .arg(refused)
                         .arg(closedAfterConnect)
                         .arg(fdsBefore)
                         .arg(openFds())
                         .arg(rssGrowth)
                         .arg(probe.longestGapMs()));
    QVERIFY(servesAgain());
}

void tst_Hostile::abruptClient_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("reset-after-data") << QStringLiteral("reset");
    QTest::newRow("reset-while-sending") << QStringLiteral("reset-while-sending");
    QTest::newRow("half-close") << QStringLiteral("half-close");
    QTest::newRow("silent") << QStringLiteral("silent");
}

void tst_Hostile::abruptClient()
{
    QFETCH(QString, how);
    QVERIFY(listen());
    RawSocket client = acceptedClient();
    QVERIFY(client.isValid());
    QCOMPARE(panelText(*w, 3), QStringLiteral("Connect"));

    if (how == u"silent") {
        // Nothing arrives; the window still answers and can be switched away.
        QVERIFY(answers());
        QCOMPARE(panelText(*w, 3), QStringLiteral("Connect"));
        press(control<QRadioButton>(*w, "optUDP"));
        QTRY_COMPARE_WITH_TIMEOUT(client.look(), RawSocket::Look::Ended, peerWaitMs);
        QCOMPARE(panelText(*w, 3), QString());
        QCOMPARE(control<Winsock>(*w, "Winsock")->Protocol(), Winsock::UDP);
        QVERIFY(servesAgain());
        reportResult(QStringLiteral("silent-client"), QStringLiteral("survived"));
        return;
    }

    if (how == u"reset-while-sending") {
        // The reset throws away whatever the system still held: the log keeps
        // what came before it, exactly, and nothing else.
        std::thread sender([&client] {
            QByteArray chunk;
            for (qint64 line = 0; line < 64 * 1024;)
                chunk += streamLine(line++);
            client.sendAll(chunk);
            client.resetAbruptly();
        });
        const bool left
                = QTest::qWaitFor([&] { return panelText(*w, 1) == clientLeft; }, peerWaitMs);
        sender.join();
        QVERIFY(left);
        QCOMPARE(panelText(*w, 3), QStringLiteral("Disconnect"));
        QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked());
        const QString text = log();
        QVERIFY(text.size() <= 64 * 64 * 1024);
        QVERIFY(text == QLatin1StringView(streamPrefix(text.size())));
        QVERIFY(servesAgain());
        reportResult(QStringLiteral("client-reset-while-sending"),
                     QStringLiteral("survived; the log kept an exact %1-byte prefix of 4 MiB sent")
                             .arg(text.size()));
        return;
    }

    QVERIFY(client.sendAll("before the end\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(log(), QStringLiteral("before the end\r\n"), peerWaitMs);
    if (how == u"reset") {
        client.resetAbruptly();
    } else {
        ::shutdown(client.fd(), SHUT_WR);
    }
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), clientLeft, peerWaitMs);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Disconnect"));
    QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked());
    QCOMPARE(log(), QStringLiteral("before the end\r\n"));

    if (how == u"half-close") {
        // The socket layer treats the end of the peer's sending as the end of
        // the connection: the window closes its side too and refuses to send.
        QTRY_COMPARE_WITH_TIMEOUT(client.look(), RawSocket::Look::Ended, peerWaitMs);
        setSendText(*w, QStringLiteral("reply"));
        press(control<QPushButton>(*w, "cmdSendData"));
        QCOMPARE(panelText(*w, 1), QStringLiteral("No avaiable connection..."));
    }
    QVERIFY(answers());
    QVERIFY(servesAgain());
    reportResult(how == u"reset" ? QStringLiteral("client-reset") : QStringLiteral("half-close"),
                 QStringLiteral("survived, 0 bytes lost"));
}

void tst_Hostile::peerVanishes_data()
{
    QTest::addColumn<bool>("windowIsServer");
    QTest::newRow("client-killed") << true;
    QTest::newRow("server-killed") << false;
}

void tst_Hostile::peerVanishes()
{
    QFETCH(bool, windowIsServer);
    REQUIRE_TOOL("socat");

    QProcess peer;
    peer.setProcessChannelMode(QProcess::SeparateChannels);
    const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (windowIsServer) {
        QVERIFY(listen());
        peer.start(socat,
                   { QStringLiteral("-"), QStringLiteral("TCP:127.0.0.1:%1").arg(serverPort) });
        QVERIFY(peer.waitForStarted(peerWaitMs));
        QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), clientAccepted, peerWaitMs);
    } else {
        peer.start(socat,
                   { QStringLiteral("-d"), QStringLiteral("-d"),
                     QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(peerServerPort),
                     QStringLiteral("-") });
        QVERIFY(peer.waitForStarted(peerWaitMs));
        QByteArray messages;
        QTRY_VERIFY_WITH_TIMEOUT((messages += peer.readAllStandardError()).contains("listening"),
                                 peerWaitMs);
        press(control<QRadioButton>(*w, "optTCP"));
        press(control<QRadioButton>(*w,
                                    "optClient")); // empty remote fields: dropped, fields unlocked
        typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), QStringLiteral("127.0.0.1"));
        typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), QString::number(peerServerPort));
        typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"),
                 QString::number(peerServerPort + 1));
        press(control<QRadioButton>(*w, "optClient"));
        QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1),
                                  QStringLiteral("Connect with remote server success."),
                                  peerWaitMs);
    }
    peer.write("last words\n");
    QTRY_COMPARE_WITH_TIMEOUT(log(), QStringLiteral("last words\n"), peerWaitMs);
    peer.kill();
    QVERIFY(peer.waitForFinished(peerWaitMs));

    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), windowIsServer ? clientLeft : serverLeft,
                              peerWaitMs);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Disconnect"));
    QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked());
    QVERIFY(!control<QRadioButton>(*w, "optClient")->isChecked());
    QVERIFY(servesAgain());
    reportResult(windowIsServer ? QStringLiteral("client-killed") : QStringLiteral("server-killed"),
                 QStringLiteral("disconnect reported, 0 bytes lost"));
}

void tst_Hostile::udpFlood()
{
    const int floodMs = fullSizes() ? 5000 : 2000;
    QVERIFY(bindUdp());
    qint64 arrivals = 0;
    qint64 refusals = 0;
    qint64 markers = 0; // the 4-byte "END\n" datagrams
    connect(control<Winsock>(*w, "Winsock"), &Winsock::DataArrivalEvent, this, [&](int bytesTotal) {
        ++arrivals;
        markers += bytesTotal == 4;
        if (panelText(*w, 1) == arrivalFailed)
            ++refusals;
    });

    // The peer sends numbered lines as fast as the system takes them.
    std::atomic<qint64> sent { 0 };
    std::atomic<bool> done { false };
    std::thread sender([&] {
        RawSocket socket(::socket(AF_INET, SOCK_DGRAM, 0));
        const sockaddr_in to = loopback(udpPort);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < floodMs) {
            const QByteArray line = QByteArray::number(sent.load()).rightJustified(9, '0') + '\n';
            if (::sendto(socket.fd(), line.constData(), size_t(line.size()), 0,
                         reinterpret_cast<const sockaddr *>(&to), sizeof to)
                == line.size())
                ++sent;
        }
        done = true;
    });
    ResponsivenessProbe probe;
    const bool finished = QTest::qWaitFor([&] { return done.load(); }, floodMs + 60000);
    sender.join();
    QVERIFY(finished);
    const qint64 longestGap = probe.longestGapMs();

    // Datagrams arrive in order on loopback: once the marker shows, every
    // datagram before it has been handled.
    QUdpSocket marker;
    int tries = 0;
    while (markers == 0 && tries++ < 100) {
        marker.writeDatagram("END\n", QHostAddress::LocalHost, udpPort);
        if (QTest::qWaitFor([&] { return markers > 0; }, 500))
            break;
    }
    QVERIFY2(markers > 0,
             qPrintable(QStringLiteral("%1 tries, %2 arrivals, state %3")
                                .arg(tries)
                                .arg(arrivals)
                                .arg(QMetaEnum::fromType<Winsock::StateCode>().valueToKey(
                                        control<Winsock>(*w, "Winsock")->State()))));
    QCOMPARE(refusals, 0);

    // The log holds every datagram the window took, whole and in order.
    const QString text = log();
    QCOMPARE(text.count(u"END\n"), markers);
    const QStringList lines = text.left(text.indexOf(u"END\n")).split(u'\n', Qt::SkipEmptyParts);
    qint64 last = -1;
    for (const QString &line : lines) {
        bool ok = false;
        const qint64 number = line.toLongLong(&ok);
        QVERIFY2(ok && line.size() == 9 && number > last && number < sent,
                 qPrintable(QStringLiteral("%1 after %2").arg(line).arg(last)));
        last = number;
    }
    QCOMPARE(qint64(lines.size()), arrivals - markers);
    QVERIFY2(longestGap < ResponsivenessProbe::frozenMs, qPrintable(QString::number(longestGap)));
    QVERIFY(answers());
    reportResult(QStringLiteral("udp-flood"),
                 QStringLiteral("%1 s: %2 datagrams sent, %3 handled (the rest dropped by the "
                                "system's buffer), all in order and whole; longest stall %4 ms")
                         .arg(floodMs / 1000)
                         .arg(sent.load())
                         .arg(lines.size())
                         .arg(longestGap));
}

void tst_Hostile::tcpStreamPastCapacity()
{
    const qint64 total = fullSizes() ? qint64(1) << 30 : qint64(64) << 20;
    QVERIFY(listen());
    RawSocket client = acceptedClient();
    QVERIFY(client.isValid());
    const qint64 rssBefore = rssKiB();
    // The stream starts with the log filled to where half of it fits.
    const qsizetype filled = TextStore::Limits {}.capacity - total / 2;
    QVERIFY(fillLog(control<TextField>(*w, "txtReceive"), filled));
    // Runs after the window's handler: a piece that did not lengthen the log
    // was refused. It never reads the whole log, which under a sanitizer
    // alone would stall the event loop this test watches.
    qint64 refusals = 0;
    qint64 appendedAfterRefusal = 0;
    qsizetype lastLength = filled;
    qsizetype firstRefused = 0; // the first refused piece's size (ASCII: bytes are characters)
    int largestPiece = 0;
    connect(control<Winsock>(*w, "Winsock"), &Winsock::DataArrivalEvent, this, [&](int bytesTotal) {
        const qsizetype length = control<TextField>(*w, "txtReceive")->length();
        largestPiece = std::max(largestPiece, bytesTotal);
        if (length == lastLength) {
            if (refusals++ == 0)
                firstRefused = bytesTotal;
        } else if (refusals > 0) {
            ++appendedAfterRefusal;
        }
        lastLength = length;
    });

    std::atomic<bool> done { false };
    std::atomic<bool> ok { true };
    std::thread sender([&] {
        QByteArray chunk;
        qint64 line = 0;
        for (qint64 sentBytes = 0; sentBytes < total && ok; sentBytes += chunk.size()) {
            chunk.clear();
            while (chunk.size() < 256 * 1024)
                chunk += streamLine(line++);
            ok = client.sendAll(chunk);
        }
        ::shutdown(client.fd(), SHUT_WR);
        done = true;
    });
    ResponsivenessProbe probe;
    QElapsedTimer clock;
    clock.start();
    const bool finished = QTest::qWaitFor([&] { return done.load(); }, 600000);
    sender.join();
    QVERIFY(finished);
    QVERIFY(ok);
    // The end of the stream comes after all of its data.
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), clientLeft, peerWaitMs);
    const qint64 elapsedMs = clock.elapsed();
    const qint64 longestGap = probe.longestGapMs();
    const qint64 rssFull = rssKiB();

    QVERIFY(control<TextField>(*w, "txtReceive")->length() <= TextStore::Limits {}.capacity);
    QVERIFY(refusals > 0);
    QCOMPARE(panelText(*w, 1), clientLeft);
    // Nothing was taken after the first refusal (checked below), so the log
    // now is the log as it was then.
    const qsizetype prefixLength = control<TextField>(*w, "txtReceive")->length() - filled;
    // The first piece refused was one that did not fit.
    QVERIFY2(filled + prefixLength + firstRefused > TextStore::Limits {}.capacity,
             qPrintable(QStringLiteral("%1 + %2").arg(prefixLength).arg(firstRefused)));
    // Nothing is taken after a refusal: the log is a gapless beginning.
    QCOMPARE(appendedAfterRefusal, 0);
    // Up to the first refusal the log is the stream, exactly. The copies
    // are let go at once, so they do not count in the memory after Clear.
    QVERIFY(control<TextField>(*w, "txtReceive")
                    ->textBetween(filled, control<TextField>(*w, "txtReceive")->length())
            == QLatin1StringView(streamPrefix(prefixLength)));
    QVERIFY2(longestGap < ResponsivenessProbe::frozenMs, qPrintable(QString::number(longestGap)));

    // Clear frees the log, and later data appends again.
    press(control<QPushButton>(*w, "cmdClear"));
    QCOMPARE(control<TextField>(*w, "txtReceive")->length(), 0);
    // The memory goes back a slice per turn of the event loop.
    QVERIFY(QTest::qWaitFor(
            [&] { return !control<TextField>(*w, "txtReceive")->store().hasMemoryToRelease(); },
            peerWaitMs));
    const qint64 rssCleared = rssKiB();
    QVERIFY(servesAgain());
    QCOMPARE(log(), QStringLiteral("again\n"));
    reportResult(QStringLiteral("tcp-stream-past-capacity"),
                 QStringLiteral("%1 MiB in %2 ms: exact %3-character prefix, then %4 arrivals "
                                "refused with \"%5\", none taken after the first refusal "
                                "(largest piece read at once: %9 bytes); longest stall "
                                "%6 ms; RSS +%7 MiB full, %8 MiB after Clear")
                         .arg(total >> 20)
                         .arg(elapsedMs)
                         .arg(prefixLength)
                         .arg(refusals)
                         .arg(arrivalFailed)
                         .arg(longestGap)
                         .arg((rssFull - rssBefore) / 1024)
                         .arg(QString::asprintf("%+lld", (rssCleared - rssBefore) / 1024))
                         .arg(largestPiece));
}

void tst_Hostile::noGapAfterRefusal()
{
    QVERIFY(listen());
    RawSocket client = acceptedClient();
    QVERIFY(client.isValid());
    QVERIFY(fillLog(control<TextField>(*w, "txtReceive"), TextStore::Limits {}.capacity - 10));
    const qsizetype full = control<TextField>(*w, "txtReceive")->length();

    QSignalSpy arrivals(control<Winsock>(*w, "Winsock"), &Winsock::DataArrivalEvent);
    QVERIFY(client.sendAll("0123456789ABCDEF"));
    QTRY_COMPARE_WITH_TIMEOUT(arrivals.size(), 1, peerWaitMs);
    QCOMPARE(panelText(*w, 1), arrivalFailed);
    QCOMPARE(control<TextField>(*w, "txtReceive")->length(), full);
    QVERIFY(client.sendAll("abc"));
    QTRY_COMPARE_WITH_TIMEOUT(arrivals.size(), 2, peerWaitMs);
    // A stream that lost a piece must not go on as if it were whole: the log
    // would show "abc" right after text that never preceded it.
    QCOMPARE(control<TextField>(*w, "txtReceive")->length(), full);
    press(control<QPushButton>(*w, "cmdClear"));
    QVERIFY(client.sendAll("after clear\n"));
    QTRY_COMPARE_WITH_TIMEOUT(log(), QStringLiteral("after clear\n"), peerWaitMs);
}

void tst_Hostile::lineBreakFlood()
{
    // The capacity counts characters; empty lines are the dearest kind, a
    // line of the view for every byte received.
    const qint64 total = fullSizes() ? qint64(24) << 20 : qint64(512) << 10;
    QVERIFY(listen());
    RawSocket client = acceptedClient();
    QVERIFY(client.isValid());
    const qint64 rssBefore = rssKiB();
    std::atomic<bool> done { false };
    std::thread sender([&] {
        const QByteArray chunk(64 * 1024, '\n');
        for (qint64 sentBytes = 0; sentBytes < total && client.sendAll(chunk);)
            sentBytes += chunk.size();
        ::shutdown(client.fd(), SHUT_WR);
        done = true;
    });
    ResponsivenessProbe probe;
    QElapsedTimer clock;
    clock.start();
    const bool finished = QTest::qWaitFor([&] { return done.load(); }, 600000);
    sender.join();
    QVERIFY(finished);
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), clientLeft, 6 * peerWaitMs);
    const qint64 elapsedMs = clock.elapsed();
    const qint64 longestGap = probe.longestGapMs();
    const qint64 growthMiB = (rssKiB() - rssBefore) / 1024;
    const qsizetype kept = control<TextField>(*w, "txtReceive")->length();
    // What the log kept is the whole stream, and empty lines cost no more
    // memory than other characters.
    QCOMPARE(kept, total);
    QVERIFY2(control<TextField>(*w, "txtReceive")->store().memoryBytes()
                     <= 2 * kept + (qsizetype(1) << 20),
             qPrintable(
                     QString::number(control<TextField>(*w, "txtReceive")->store().memoryBytes())));
    QVERIFY(answers());
    QCOMPARE(log(), QString(kept, u'\n'));
    const qint64 bytesPerLine = growthMiB * 1024 * 1024 / std::max<qsizetype>(kept, 1);
    reportResult(QStringLiteral("line-break-flood"),
                 QStringLiteral("%1 KiB of bare line breaks in %2 ms: log kept %3 empty lines; "
                                "RSS +%4 MiB (%5 bytes a line); longest stall %6 ms")
                         .arg(total >> 10)
                         .arg(elapsedMs)
                         .arg(kept)
                         .arg(growthMiB)
                         .arg(bytesPerLine)
                         .arg(longestGap));
    QVERIFY2(longestGap < ResponsivenessProbe::frozenMs, qPrintable(QString::number(longestGap)));
    press(control<QPushButton>(*w, "cmdClear"));
    QCOMPARE(control<TextField>(*w, "txtReceive")->length(), 0);
}

void tst_Hostile::oddArrival_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QByteArray>("bytes");

    QByteArray largest(65507, 'x');
    for (qsizetype i = 80; i < largest.size(); i += 81)
        largest[i] = '\n';
    QByteArray longLine(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < longLine.size(); ++i)
        longLine[i] = char('a' + i % 26);
    const QByteArray invalid("\xFF\xFE"
                             "ab\xC3(\xE2\x82\n\xED\xA0\x80\xF4\x90\x80\x80z");

    QTest::newRow("udp-empty") << false << false << QByteArray();
    QTest::newRow("udp-empty-hex") << false << true << QByteArray();
    QTest::newRow("udp-65507") << false << false << largest;
    QTest::newRow("udp-65507-hex") << false << true << largest;
    QTest::newRow("udp-invalid-utf8") << false << false << invalid;
    QTest::newRow("udp-nul-bytes") << false << false << QByteArray("a\0b\0\0c\n", 7);
    QTest::newRow("udp-lone-cr") << false << false << QByteArray("one\rtwo\r\rthree");
    QTest::newRow("udp-escapes") << false << false << QByteArray("\x1b[2J\x1b]0;x\x07%s%n%1\n");
    QTest::newRow("tcp-invalid-utf8") << true << false << invalid;
    QTest::newRow("tcp-1mb-no-break") << true << false << longLine;
    QTest::newRow("tcp-nul-bytes-hex") << true << true << QByteArray("\0\0\0", 3);
}

void tst_Hostile::oddArrival()
{
    QFETCH(bool, tcp);
    QFETCH(bool, hex);
    QFETCH(QByteArray, bytes);

    setTicked(control<QCheckBox>(*w, "chkHexDISP"), hex);
    QSignalSpy arrivals(control<Winsock>(*w, "Winsock"), &Winsock::DataArrivalEvent);
    RawSocket client;
    if (tcp) {
        QVERIFY(listen());
        client = acceptedClient();
        QVERIFY(client.isValid());
        // From a thread: the window must read while a large piece is sent.
        std::thread sender([&client, bytes] {
            client.sendAll(bytes);
            client.reset(); // everything arrives before the close
        });
        const bool ended
                = QTest::qWaitFor([&] { return panelText(*w, 1) == clientLeft; }, peerWaitMs);
        sender.join();
        QVERIFY(ended);
    } else {
        QVERIFY(bindUdp());
        QUdpSocket peer;
        QCOMPARE(peer.writeDatagram(bytes, QHostAddress::LocalHost, udpPort), bytes.size());
        QTRY_COMPARE_WITH_TIMEOUT(arrivals.size(), 1, peerWaitMs);
        QCOMPARE(arrivals.front().front().toInt(), int(bytes.size()));
    }
    QVERIFY(panelText(*w, 1) != arrivalFailed);
    if (hex) {
        const HexRecords records = readHexRecords(log(), tcp ? u"TCP IN  (" : u"UDP IN  (");
        QVERIFY2(records.fault.isEmpty(), qPrintable(records.fault));
        QVERIFY(records.records >= 1);
        QCOMPARE(records.announced, bytes.size());
        QCOMPARE(records.bytes, bytes);
    } else {
        QCOMPARE(log(), QString::fromUtf8(bytes));
    }
    QVERIFY(answers());
}

void tst_Hostile::rapidSwitching()
{
    const int clicks = fullSizes() ? 20000 : 3000;
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), QString::number(serverPort));

    // A peer keeps connecting to the server port the whole time.
    std::atomic<bool> stop { false };
    std::atomic<int> attempts { 0 };
    std::thread connector([&] {
        QElapsedTimer clock;
        clock.start();
        while (!stop && attempts < 100000 && clock.elapsed() < 120000) {
            RawSocket socket = connectTcp(serverPort, false);
            pollfd p { socket.fd(), POLLOUT, 0 };
            if (socket.isValid() && ::poll(&p, 1, 200) == 1)
                ::send(socket.fd(), "hi\n", 3, MSG_NOSIGNAL);
            ++attempts;
        }
    });

    // Clicks as a user makes them: a hidden or disabled choice takes none.
    QRadioButton *const choices[]
            = { control<QRadioButton>(*w, "optUDP"), control<QRadioButton>(*w, "optTCP"),
                control<QRadioButton>(*w, "optServer"), control<QRadioButton>(*w, "optClient") };
    QRandomGenerator random(20261207);
    ResponsivenessProbe probe;
    QElapsedTimer clock;
    clock.start();
    int made = 0;
    for (; made < clicks && clock.elapsed() < 60000; ++made) {
        choices[random.bounded(4)]->click();
        if (made % 4 == 0)
            QCoreApplication::processEvents();
    }
    const qint64 elapsedMs = clock.elapsed();
    const qint64 longestGap = probe.longestGapMs();
    stop = true;
    connector.join();
    QCOMPARE(made, clicks);
    QVERIFY(answers());

    // Whatever the last click was, the window's state agrees with its choices.
    const bool udp = control<QRadioButton>(*w, "optUDP")->isChecked();
    QCOMPARE(udp, !control<QRadioButton>(*w, "optTCP")->isChecked());
    QCOMPARE(control<Winsock>(*w, "Winsock")->Protocol(), udp ? Winsock::UDP : Winsock::TCP);
    QCOMPARE(control<QPushButton>(*w, "cmdApply")->isVisibleTo(w.get()), udp);
    QCOMPARE(control<QRadioButton>(*w, "optServer")->isEnabled(), !udp);
    QCOMPARE(control<QRadioButton>(*w, "optClient")->isEnabled(), !udp);
    QVERIFY(!(control<QRadioButton>(*w, "optServer")->isChecked()
              && control<QRadioButton>(*w, "optClient")->isChecked()));
    const auto state = control<Winsock>(*w, "Winsock")->State();
    if (udp)
        QVERIFY(state == Winsock::Closed || state == Winsock::Bound);
    else if (control<QRadioButton>(*w, "optServer")->isChecked())
        QVERIFY(state == Winsock::Listening || state == Winsock::Connected);
    else if (control<QRadioButton>(*w, "optClient")->isChecked())
        QVERIFY(state == Winsock::Connecting || state == Winsock::Connected
                || state == Winsock::Failed);
    QVERIFY2(longestGap < ResponsivenessProbe::frozenMs, qPrintable(QString::number(longestGap)));

    // And it goes on working from there.
    press(control<QRadioButton>(*w, "optUDP"));
    QVERIFY(control<QRadioButton>(*w, "optUDP")->isChecked());
    QVERIFY(bindUdp());
    QUdpSocket peer;
    peer.writeDatagram("still here\n", QHostAddress::LocalHost, udpPort);
    QTRY_VERIFY_WITH_TIMEOUT(log().endsWith(u"still here\n"), peerWaitMs);
    QVERIFY(servesAgain());
    reportResult(QStringLiteral("rapid-switching"),
                 QStringLiteral("%1 clicks in %2 ms with %3 connects meanwhile; state consistent; "
                                "longest stall %4 ms")
                         .arg(made)
                         .arg(elapsedMs)
                         .arg(attempts.load())
                         .arg(longestGap));
}

void tst_Hostile::peerNeverReads()
{
    QVERIFY(listen());
    RawSocket client = acceptedClient();
    QVERIFY(client.isValid());
    // Press Send Data with 1 MiB each time while the peer reads nothing: the
    // system's buffers fill, then what waits in memory reaches its bound.
    constexpr qsizetype piece = qsizetype(1) << 20;
    const int maxPresses = int(Winsock::maxWaitingSendBytes / piece) + 64;
    QByteArray accepted;
    for (int pressed = 0; pressed < maxPresses; ++pressed) {
        // One line without a break, as a pasted payload is.
        const QString text(piece, QChar(u'a' + pressed % 26));
        setSendText(*w, text);
        press(control<QPushButton>(*w, "cmdSendData"));
        if (!panelText(*w, 1).isEmpty())
            break;
        accepted += text.toLatin1();
        QCoreApplication::processEvents(); // lets the socket hand data to the system
    }
    QVERIFY2(panelText(*w, 1).startsWith(u"Send Data failed: the peer is not reading; "),
             qPrintable(panelText(*w, 1)));
    QCOMPARE(panelText(*w, 3), QStringLiteral("Connect"));

    // Once the peer reads, everything accepted arrives in order, and sending works again.
    const auto readUntil = [&client](qsizetype total, QByteArray &into) {
        QElapsedTimer clock;
        clock.start();
        char buffer[65536];
        while (into.size() < total && clock.elapsed() < peerWaitMs) {
            QCoreApplication::processEvents();
            const ssize_t n = ::recv(client.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                into.append(buffer, n);
            else if (n == 0)
                break;
            else
                ::poll(nullptr, 0, 1);
        }
    };
    QByteArray received;
    readUntil(accepted.size(), received);
    QVERIFY(received == accepted);
    setSendText(*w, QStringLiteral("after\n"));
    press(control<QPushButton>(*w, "cmdSendData"));
    QCOMPARE(panelText(*w, 1), QString());
    received.clear();
    readUntil(6, received);
    QCOMPARE(received, QByteArray("after\n"));
    reportResult(QStringLiteral("peer-never-reads"),
                 QStringLiteral("refused after %1 MiB, 0 bytes lost").arg(accepted.size() >> 20));
}

QTEST_MAIN(tst_Hostile)
#include "tst_hostile.moc"
