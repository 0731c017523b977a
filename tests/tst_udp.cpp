// The window's UDP path against a real peer (socat): what arrives on the
// window's port and how the log shows it, and where Send Data goes after Apply.

#include "netns.h"
#include "peer.h"
#include "sendBox.h"
#include "windowControls.h"
#include "windowPort.h"

#include "field/widget/TextField.h"
#include "net/Winsock.h"
#include "strips/TrafficStrip.h"
#include "ui/fieldLooks.h"
#include "ui/frmMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMenu>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QTemporaryFile>
#include <QTest>
#include <QUdpSocket>

#include <algorithm>
#include <memory>

class tst_Udp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void sendRefusedBeforeApply();
    void display_data();
    void display();
    void largestDatagramInHex();
    void sendAfterApply_data();
    void sendAfterApply();
    void sendAsHex_data();
    void sendAsHex();
    void groupAfterApply_data();
    void groupAfterApply();
    void sendRepeatedly_data();
    void sendRepeatedly();
    void replyAutomatically_data();
    void replyAutomatically();

private:
    // Sends one datagram to the window as a separate peer program would.
    bool sendToWindow(const QByteArray &payload);
    QString log() const { return control<TextField>(*w, "txtReceive")->text(); }

    std::unique_ptr<frmMain> w;
    quint16 windowPort = 0;
};

void tst_Udp::init()
{
    w = std::make_unique<frmMain>();
    windowPort = applyUdpPort(*w);
    QVERIFY(windowPort != 0);
}

void tst_Udp::cleanup()
{
    w.reset();
}

bool tst_Udp::sendToWindow(const QByteArray &payload)
{
    if (payload.isEmpty()) {
        // socat never sends an empty datagram: it takes end of input for the end.
        QUdpSocket socket;
        return socket.writeDatagram(payload, QHostAddress::LocalHost, windowPort) == 0;
    }
    // Read from a file, socat sends the whole payload as one datagram.
    QTemporaryFile file;
    if (!file.open() || file.write(payload) != payload.size() || !file.flush())
        return false;
    Peer socat;
    return socat.run(QStringLiteral("socat"),
                     { QStringLiteral("-b"), QString::number(payload.size()), QStringLiteral("-u"),
                       QStringLiteral("OPEN:") + file.fileName(),
                       QStringLiteral("UDP-SENDTO:127.0.0.1:%1").arg(windowPort) });
}

void tst_Udp::sendRefusedBeforeApply()
{
    setSendText(*w, QStringLiteral("hello"));
    press(control<QPushButton>(*w, "cmdSendData"));
    QCOMPARE(panelText(*w, 1), QStringLiteral("No specified remote host!"));
}

void tst_Udp::display_data()
{
    QTest::addColumn<QList<QByteArray>>("datagrams");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QString>("shown");

    const QByteArray hello("hello\r\n");
    QTest::newRow("text-crlf") << QList { hello } << false << QStringLiteral("hello\r\n");
    QTest::newRow("hex-crlf") << QList { hello } << true
                              << QStringLiteral("UDP IN  (0007) : 68 65 6C 6C 6F 0D 0A \r\n");
    QTest::newRow("text-crlf-split-across-datagrams")
            << QList { QByteArray("one\r"), QByteArray("\ntwo") } << false
            << QStringLiteral("one\r\ntwo");
    QTest::newRow("text-utf8") << QList { QStringLiteral("grüße ✓ 😀").toUtf8() } << false
                               << QStringLiteral("grüße ✓ 😀");
    QTest::newRow("hex-utf8") << QList { QStringLiteral("é✓").toUtf8() } << true
                              << QStringLiteral("UDP IN  (0005) : C3 A9 E2 9C 93 \r\n");
    QTest::newRow("text-empty-shows-nothing")
            << QList { QByteArray(), QByteArray("x") } << false << QStringLiteral("x");
    QTest::newRow("hex-empty") << QList { QByteArray() } << true
                               << QStringLiteral("UDP IN  (0000) : \r\n");
    QTest::newRow("hex-17-wraps")
            << QList { QByteArray("0123456789abcdefg") } << true
            << QStringLiteral(
                       "UDP IN  (0011) : 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66 \r\n"
                       "                 67 \r\n");
}

void tst_Udp::display()
{
    REQUIRE_TOOL("socat");
    QFETCH(QList<QByteArray>, datagrams);
    QFETCH(bool, hex);
    QFETCH(QString, shown);

    setTicked(control<QCheckBox>(*w, "chkHexDISP"), hex);
    qsizetype bytes = 0;
    for (const QByteArray &datagram : datagrams) {
        QVERIFY(sendToWindow(datagram));
        bytes += datagram.size();
    }
    QTRY_COMPARE_WITH_TIMEOUT(log(), shown, peerWaitMs);
    QCOMPARE(panelText(*w, 1), QString());

    // Traffic counts what passed the endpoint, whatever the log made of it,
    // until Reset.
    auto *traffic = control<TrafficStrip>(*w, "trafficStrip");
    traffic->open();
    const QString counted
            = QStringLiteral("In: %1 bytes, %2 arrivals").arg(bytes).arg(datagrams.size());
    QVERIFY2(traffic->status().startsWith(counted), qPrintable(traffic->status()));
    press(control<QPushButton>(*w, "trafficReset"));
    QVERIFY2(traffic->status().startsWith(QStringLiteral("In: 0 bytes, 0 arrivals")),
             qPrintable(traffic->status()));
}

void tst_Udp::largestDatagramInHex()
{
    REQUIRE_TOOL("socat");
    QByteArray payload(65507, Qt::Uninitialized);
    for (qsizetype i = 0; i < payload.size(); ++i)
        payload[i] = char((i * 7 + i / 256) & 0xFF);

    setTicked(control<QCheckBox>(*w, "chkHexDISP"), true);
    QVERIFY(sendToWindow(payload));
    QTRY_VERIFY_WITH_TIMEOUT(!log().isEmpty(), peerWaitMs);
    QVERIFY(log().startsWith(QStringLiteral("UDP IN  (FFE3) : ")));
    const HexRecords records = readHexRecords(log(), u"UDP IN  (");
    QVERIFY2(records.fault.isEmpty(), qPrintable(records.fault));
    QCOMPARE(records.records, 1);
    QCOMPARE(records.announced, payload.size());
    QCOMPARE(records.bytes, payload);
    QCOMPARE(panelText(*w, 1), QString());
}

void tst_Udp::sendAfterApply_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<int>("expectedPort");
    QTest::addColumn<QString>("text");

    // Without a port typed, the port set at start-up stays.
    QTest::newRow("address-only") << QString() << 1001 << QStringLiteral("ping");
    QTest::newRow("half-rounds-to-even")
            << QStringLiteral("23601.5") << 23602 << QStringLiteral("ping");
    QTest::newRow("utf8-multi-line")
            << QStringLiteral("23603") << 23603 << QStringLiteral("grüße ✓ 😀\nzweite Zeile");
}

void tst_Udp::sendAfterApply()
{
    REQUIRE_TOOL("socat");
    QFETCH(QString, portText);
    QFETCH(int, expectedPort);
    QFETCH(QString, text);

    // The receiver needs its port: 1001, the one set at start-up, only root may have.
    SKIP_IF_PORT_UNAVAILABLE(QAbstractSocket::UdpSocket, quint16(expectedPort));
    Peer receiver;
    QVERIFY(receiver.start(QStringLiteral("socat"),
                           { QStringLiteral("-d"), QStringLiteral("-d"), QStringLiteral("-u"),
                             QStringLiteral("UDP-RECV:%1,bind=127.0.0.1").arg(expectedPort),
                             QStringLiteral("-") }));
    QTRY_VERIFY_WITH_TIMEOUT(receiver.messages().contains(u"starting data transfer loop"),
                             peerWaitMs);

    typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), QStringLiteral("127.0.0.1"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), portText);
    press(control<QPushButton>(*w, "cmdApply"));
    setSendText(*w, text);
    press(control<QPushButton>(*w, "cmdSendData"));
    QCOMPARE(panelText(*w, 1), QString());
    QTRY_COMPARE_WITH_TIMEOUT(receiver.output(), text.toUtf8(), peerWaitMs);
}

void tst_Udp::sendAsHex_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("sent"); // as hex
    QTest::addColumn<QString>("panel");

    QTest::newRow("lines-commas-prefixes")
            << "48 65\r\n6c,6C 0x6f" << QByteArray("48656c6c6f") << "";
    QTest::newRow("empty-box-sends-an-empty-datagram") << "" << QByteArray() << "";
    // Caret at the fault; nothing goes out, so the next datagram is the next send's.
    QTest::newRow("byte-cut-short-on-line-2-caret-7")
            << "48\r\n65 6" << QByteArray("ff")
            << "Send Data failed: a byte needs two hex digits at line 2, column 4";
}

void tst_Udp::sendAsHex()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, sent);
    QFETCH(QString, panel);

    QUdpSocket receiver;
    QVERIFY2(receiver.bind(QHostAddress::LocalHost, 0), qPrintable(receiver.errorString()));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), QStringLiteral("127.0.0.1"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), QString::number(receiver.localPort()));
    press(control<QPushButton>(*w, "cmdApply"));
    setSendText(*w, text);

    // Turned on from the keyboard; the text and its undo stay as they were.
    auto *box = control<TextField>(*w, "txtSend");
    QTest::keyClick(box, Qt::Key_F10, Qt::ShiftModifier);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    QVERIFY(menu);
    const QList<QAction *> items = menu->actions();
    const auto sendAsHex = std::find_if(items.cbegin(), items.cend(), [](const QAction *item) {
        return item->text() == QStringLiteral("Send as Hex");
    });
    QVERIFY(sendAsHex != items.cend());
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(*sendAsHex).center());
    QCOMPARE(box->accessibleDescription(), QStringLiteral("Send as hex"));
    QCOMPARE(cornerMarks(box), QStringList { QStringLiteral("HEX") });
    QCOMPARE(box->canUndo(), !text.isEmpty());

    press(control<QPushButton>(*w, "cmdSendData"));
    QCOMPARE(panelText(*w, 1), panel);
    QCOMPARE(box->text(), text);
    if (!panel.isEmpty()) {
        QCOMPARE(box->cursorPosition(), 7);
        setSendText(*w, QStringLiteral("FF"));
        press(control<QPushButton>(*w, "cmdSendData"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(receiver.hasPendingDatagrams(), peerWaitMs);
    QCOMPARE(receiver.receiveDatagram().data().toHex(), sent);
}

void tst_Udp::groupAfterApply_data()
{
    QTest::addColumn<bool>("routed");
    QTest::addColumn<QString>("membership");
    QTest::addColumn<QString>("joinPanel");
    QTest::addColumn<QString>("sendPanel");

    QTest::newRow("joined-own-send-looped-back")
            << true << QStringLiteral("Joined 239.1.2.3 on lo") << QString() << QString();
    QTest::newRow("no-route") << false << QString()
                              << QStringLiteral("Joining 239.1.2.3 failed: no multicast route "
                                                "leads to it")
                              << QStringLiteral("Send Data failed: no route to 239.1.2.3");
}

void tst_Udp::groupAfterApply()
{
    QFETCH(bool, routed);
    QFETCH(QString, membership);
    QFETCH(QString, joinPanel);
    QFETCH(QString, sendPanel);
    const NetNamespace ns(routed);
    if (!ns.skipReason.isEmpty())
        QSKIP(qPrintable(ns.skipReason));

    windowPort = applyUdpPort(*w); // inside the namespace now
    QVERIFY(windowPort != 0);
    // No interface carries it, so the system chooses, and without a route finds none.
    if (!routed)
        control<QLineEdit>(*w, "txtLocalHostIP")->setText(QStringLiteral("192.0.2.1"));
    auto *remote = control<QLineEdit>(*w, "txtRemoteHostIP");
    typeInto(remote, QStringLiteral("239.1.2.3"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), QString::number(windowPort));
    press(control<QPushButton>(*w, "cmdApply"));
    QCOMPARE(remote->toolTip(), membership);
    QCOMPARE(remote->accessibleDescription(), membership);
    QCOMPARE(panelText(*w, 1), joinPanel);
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Bound);

    setSendText(*w, QStringLiteral("own"));
    press(control<QPushButton>(*w, "cmdSendData"));
    QCOMPARE(panelText(*w, 1), sendPanel);
    if (routed)
        QTRY_COMPARE_WITH_TIMEOUT(log(), QStringLiteral("own"), peerWaitMs);

    // The next Apply leaves; a message not its own stays.
    typeInto(remote, QStringLiteral("127.0.0.1"));
    press(control<QPushButton>(*w, "cmdApply"));
    QCOMPARE(remote->toolTip(), QString());
    QCOMPARE(panelText(*w, 1), sendPanel);
}

void tst_Udp::sendRepeatedly_data()
{
    QTest::addColumn<bool>("peer"); // Apply names a receiver first
    QTest::addColumn<QString>("every");
    QTest::addColumn<QString>("times");
    QTest::addColumn<QString>("status");

    QTest::newRow("five-times") << true << "1"
                                << "5"
                                << "Sent 5 of 5";
    QTest::newRow("refusal-stops-it") << false << "1"
                                      << "0"
                                      << "Sent 0; stopped: No specified remote host!";
    QTest::newRow("every-empty") << true << ""
                                 << "5"
                                 << "Every needs a number of ms";
    QTest::newRow("every-zero") << true << "0"
                                << "5"
                                << "Every must be 1 to 86400000 ms";
    QTest::newRow("letters-refused-as-typed") << true << "1x0"
                                              << "2x"
                                              << "Sent 2 of 2";
}

void tst_Udp::sendRepeatedly()
{
    QFETCH(bool, peer);
    QFETCH(QString, every);
    QFETCH(QString, times);
    QFETCH(QString, status);

    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress::LocalHost, 0));
    if (peer) {
        typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), QStringLiteral("127.0.0.1"));
        typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"),
                 QString::number(receiver.localPort()));
        press(control<QPushButton>(*w, "cmdApply"));
    }
    setSendText(*w, QStringLiteral("poll"));
    w->findChild<QAction *>(QStringLiteral("mnuRepeatStrip"))->trigger();
    auto *strip = control<QWidget>(*w, "repeatStrip");
    QVERIFY(!strip->isHidden());
    typeInto(control<QLineEdit>(*w, "repeatEvery"), every);
    typeInto(control<QLineEdit>(*w, "repeatTimes"), times);
    press(control<QPushButton>(*w, "repeatStartStop"));
    // The test's own waits (or a coarse system timer) may make ticks late and
    // skipped, which the status tells before "; stopped": that is not what
    // counts here.
    const qsizetype stop = status.indexOf(u';');
    const QString head = status.left(stop);
    const QString tail = stop < 0 ? QString() : status.mid(stop);
    const auto *shown = control<QLabel>(*w, "repeatStripStatus");
    QTRY_VERIFY_WITH_TIMEOUT(shown->text().startsWith(head) && shown->text().endsWith(tail),
                             peerWaitMs);
    int received = 0;
    while (receiver.hasPendingDatagrams())
        received += receiver.receiveDatagram().data() == "poll";
    QCOMPARE(received, status.startsWith(u"Sent ") ? status.split(u' ').at(1).toInt() : 0);
    if (!peer)
        QCOMPARE(panelText(*w, 1), QStringLiteral("No specified remote host!"));
    QTest::keyClick(control<QLineEdit>(*w, "repeatTimes"), Qt::Key_Escape);
    QVERIFY(strip->isHidden());
}

void tst_Udp::replyAutomatically_data()
{
    QTest::addColumn<QString>("match");
    QTest::addColumn<bool>("matchHex");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("replyHex");
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("replies");

    QTest::newRow("each-occurrence")
            << "PING" << false << "PONG" << false << QByteArray("PINGxPING") << 2;
    QTest::newRow("hex-both") << "50 49 79" << true << "4F 4B 0D 0A" << true << QByteArray("xPIy")
                              << 1;
    QTest::newRow("utf8") << "✓" << false << "ok" << false << QStringLiteral("a✓").toUtf8() << 1;
    QTest::newRow("datagrams-not-joined")
            << "PING" << false << "PONG" << false << QByteArray("NG") << 0;
}

void tst_Udp::replyAutomatically()
{
    QFETCH(QString, match);
    QFETCH(bool, matchHex);
    QFETCH(QString, reply);
    QFETCH(bool, replyHex);
    QFETCH(QByteArray, datagram);
    QFETCH(int, replies);

    w->findChild<QAction *>(QStringLiteral("mnuReplyStrip"))->trigger();
    // Set rather than typed: the keyboard has no ✓.
    control<QLineEdit>(*w, "replyMatch")->setText(match);
    setTicked(control<QCheckBox>(*w, "replyMatchHex"), matchHex);
    control<QLineEdit>(*w, "replyText")->setText(reply);
    setTicked(control<QCheckBox>(*w, "replyTextHex"), replyHex);
    press(control<QPushButton>(*w, "replyOnOff"));
    QCOMPARE(control<QLabel>(*w, "replyStripStatus")->text(), QStringLiteral("Replied 0"));

    // The asker is no remote host of the window's: the reply goes to it all the same.
    QUdpSocket asker;
    QVERIFY(asker.bind(QHostAddress::LocalHost, 0));
    asker.writeDatagram("PI", QHostAddress::LocalHost, windowPort);
    asker.writeDatagram(datagram, QHostAddress::LocalHost, windowPort);
    QTRY_COMPARE_WITH_TIMEOUT(log(), QString::fromUtf8("PI" + datagram), peerWaitMs);
    const QByteArray expected = replyHex ? QByteArray::fromHex(reply.toLatin1()) : reply.toUtf8();
    QTRY_COMPARE_WITH_TIMEOUT(control<QLabel>(*w, "replyStripStatus")->text(),
                              QStringLiteral("Replied %1").arg(replies), peerWaitMs);
    for (int i = 0; i < replies; ++i) {
        QTRY_VERIFY_WITH_TIMEOUT(asker.hasPendingDatagrams(), peerWaitMs);
        QCOMPARE(asker.receiveDatagram().data(), expected);
    }
    QVERIFY(!asker.hasPendingDatagrams());
}

QTEST_MAIN(tst_Udp)
#include "tst_udp.moc"
