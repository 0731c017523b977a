// The window's TCP roles against real peers (socat): connecting, data both
// ways, the peer leaving, role and transport switches, and port field rules.

#include "peer.h"
#include "sendBox.h"
#include "windowControls.h"
#include "windowPort.h"

#include "field/widget/TextField.h"
#include "log/ReceiveLog.h"
#include "net/Winsock.h"
#include "ui/fieldLooks.h"
#include "ui/frmMain.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTemporaryFile>
#include <QTest>

#include <memory>

namespace {

constexpr int defaultPort = 1000;
// Ports for the roles' peers; the window's client always connects from one.
constexpr int serverPeerPort = 23411;
constexpr int clientLocalPort = 23412;

const QString socat = QStringLiteral("socat");
const QString clientAccepted = QStringLiteral("Connect with remote client success.");
const QString serverAccepted = QStringLiteral("Connect with remote server success.");

bool isLocked(const QLineEdit *field)
{
    return field->isReadOnly() && backColor(field) == toColor(lockedLook);
}

bool isEditable(const QLineEdit *field)
{
    return !field->isReadOnly() && backColor(field) == toColor(editableLook);
}

} // namespace

class tst_Tcp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void serverSession();
    void clientSession();
    void serverToClientDropsQuietly();
    void clientToServerDropsQuietly();
    void udpClosesConnection();
    void serverLocalPort_data();
    void serverLocalPort();
    void clientUnusableRemote_data();
    void clientUnusableRemote();
    void replyAcrossReads();
    void unreachableServerKeepsConnecting();
    void largeWriteInHex();
    void splitCharacter_data();
    void splitCharacter();
    void nextConnectionStartsFresh();
    void sendLongLine_data();
    void sendLongLine();

private:
    QString log() const { return control<TextField>(*w, "txtReceive")->text(); }
    // socat -d -d as a client of the window's server on `port`, talking over
    // its standard input and output.
    bool startClient(Peer &client, int port);
    // socat -d -d as a one-connection server on serverPeerPort.
    bool startServer(Peer &server);
    // Selects TCP with the server role on localPort and has `client` connect to it.
    bool serverWithClient(Peer &client);
    // Selects TCP, then Client with the remote fields typed in; the choice may
    // be dropped at once, so the caller checks the outcome.
    void selectClient(const QString &host, const QString &port);

    std::unique_ptr<frmMain> w;
    quint16 localPort = 0; // typed in at the start of each test
};

void tst_Tcp::init()
{
    REQUIRE_TOOL("socat");
    w = std::make_unique<frmMain>();
    QVERIFY(control<QRadioButton>(*w, "optServer")->isChecked());
    QVERIFY(!control<QRadioButton>(*w, "optTCP")->isChecked());
    // The roles would otherwise take the start-up port 1000, which needs root.
    localPort = freeTcpPort();
    QVERIFY(localPort != 0);
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), QString::number(localPort));
}

void tst_Tcp::cleanup()
{
    w.reset();
}

bool tst_Tcp::startClient(Peer &client, int port)
{
    return client.start(socat, { QStringLiteral("-d"), QStringLiteral("-d"), QStringLiteral("-"),
                                 QStringLiteral("TCP:127.0.0.1:%1").arg(port) });
}

bool tst_Tcp::startServer(Peer &server)
{
    const QString listen = QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr");
    if (!server.start(socat, { QStringLiteral("-d"), QStringLiteral("-d"),
                               listen.arg(serverPeerPort), QStringLiteral("-") }))
        return false;
    return QTest::qWaitFor([&] { return server.messages().contains(u"listening on"); }, peerWaitMs);
}

bool tst_Tcp::serverWithClient(Peer &client)
{
    press(control<QRadioButton>(*w, "optTCP"));
    if (panelText(*w, 3) != QStringLiteral("Listening...") || !startClient(client, localPort))
        return false;
    return QTest::qWaitFor([&] { return panelText(*w, 1) == clientAccepted; }, peerWaitMs);
}

void tst_Tcp::selectClient(const QString &host, const QString &port)
{
    press(control<QRadioButton>(*w, "optTCP"));
    // The server role empties and locks the remote fields; choosing Client
    // with them empty unlocks them for typing and drops the choice again.
    press(control<QRadioButton>(*w, "optClient"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), host);
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), port);
    press(control<QRadioButton>(*w, "optClient"));
}

void tst_Tcp::serverSession()
{
    press(control<QRadioButton>(*w, "optTCP"));
    QCOMPARE(panelText(*w, 3), QStringLiteral("Listening..."));

    Peer client;
    QVERIFY(startClient(client, localPort));
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), clientAccepted, peerWaitMs);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Connect"));
    QTRY_VERIFY_WITH_TIMEOUT(client.socatClientPort() > 0, peerWaitMs);
    QCOMPARE(control<QLineEdit>(*w, "txtRemoteHostIP")->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(control<QLineEdit>(*w, "txtRemoteHostPort")->text(),
             QString::number(client.socatClientPort()));
    QVERIFY(isLocked(control<QLineEdit>(*w, "txtRemoteHostIP")));
    QVERIFY(isLocked(control<QLineEdit>(*w, "txtRemoteHostPort")));

    // One client at a time: the window stops listening once it has one.
    Peer second;
    QVERIFY(startClient(second, localPort));
    QTRY_VERIFY_WITH_TIMEOUT(second.hasEnded(), peerWaitMs);
    QVERIFY(second.exitCode() != 0);
    QVERIFY2(second.messages().contains(u"refused"), qPrintable(second.messages()));

    client.write("ping\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(log(), QStringLiteral("ping\r\n"), peerWaitMs);
    setTicked(control<QCheckBox>(*w, "chkHexDISP"), true);
    client.write(QByteArray("AB\0\xFF", 4));
    QTRY_COMPARE_WITH_TIMEOUT(log(), QStringLiteral("ping\r\nTCP IN  (0004) : 41 42 00 FF \r\n"),
                              peerWaitMs);

    const QString sent = QStringLiteral("héllo\nwörld ✓\n");
    setSendText(*w, sent);
    press(control<QPushButton>(*w, "cmdSendData"));
    QCOMPARE(panelText(*w, 1), QString()); // Send Data clears the last message
    QTRY_COMPARE_WITH_TIMEOUT(client.output(), sent.toUtf8(), peerWaitMs);

    client.closeInput();
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), QStringLiteral("Remote client disconnect..."),
                              peerWaitMs);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Disconnect"));
    QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked());
    QCOMPARE(control<QLineEdit>(*w, "txtRemoteHostIP")->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(control<QLineEdit>(*w, "txtRemoteHostPort")->text(),
             QString::number(client.socatClientPort()));
    QTRY_VERIFY_WITH_TIMEOUT(client.hasEnded(), peerWaitMs);
}

void tst_Tcp::clientSession()
{
    Peer server;
    QVERIFY(startServer(server));
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), QString::number(clientLocalPort));
    selectClient(QStringLiteral("127.0.0.1"), QString::number(serverPeerPort));
    QVERIFY(control<QRadioButton>(*w, "optClient")->isChecked());
    QCOMPARE(panelText(*w, 3), QStringLiteral("Connecting..."));
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), serverAccepted, peerWaitMs);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Connect"));
    QTRY_COMPARE_WITH_TIMEOUT(server.socatAcceptedPort(), clientLocalPort, peerWaitMs);

    server.write("from server\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(log(), QStringLiteral("from server\r\n"), peerWaitMs);
    const QString sent = QStringLiteral("from client ✓");
    setSendText(*w, sent);
    press(control<QPushButton>(*w, "cmdSendData"));
    QTRY_COMPARE_WITH_TIMEOUT(server.output(), sent.toUtf8(), peerWaitMs);

    server.closeInput();
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), QStringLiteral("Remote server disconnect..."),
                              peerWaitMs);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Disconnect"));
    QVERIFY(!control<QRadioButton>(*w, "optClient")->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(server.hasEnded(), peerWaitMs);

    // At once again, from the same local port.
    Peer again;
    QVERIFY(startServer(again));
    press(control<QRadioButton>(*w, "optClient"));
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), serverAccepted, peerWaitMs);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Connect"));
    QTRY_COMPARE_WITH_TIMEOUT(again.socatAcceptedPort(), clientLocalPort, peerWaitMs);
}

void tst_Tcp::serverToClientDropsQuietly()
{
    Peer client;
    QVERIFY(serverWithClient(client));
    const int clientPort = client.socatClientPort();

    // The remote fields still name the old client, whose port now refuses.
    press(control<QRadioButton>(*w, "optClient"));
    QTRY_VERIFY_WITH_TIMEOUT(client.hasEnded(), peerWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(control<Winsock>(*w, "Winsock")->State(), Winsock::Failed,
                              peerWaitMs);
    QCOMPARE(panelText(*w, 1), clientAccepted);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Connecting..."));
    QCOMPARE(control<QLineEdit>(*w, "txtRemoteHostPort")->text(), QString::number(clientPort));

    press(control<QRadioButton>(*w, "optServer"));
    QCOMPARE(panelText(*w, 3), QStringLiteral("Listening..."));
    QCOMPARE(panelText(*w, 1), clientAccepted);
}

void tst_Tcp::clientToServerDropsQuietly()
{
    Peer server;
    QVERIFY(startServer(server));
    selectClient(QStringLiteral("127.0.0.1"), QString::number(serverPeerPort));
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 3), QStringLiteral("Connect"), peerWaitMs);

    press(control<QRadioButton>(*w, "optServer"));
    QTRY_VERIFY_WITH_TIMEOUT(server.hasEnded(), peerWaitMs);
    QCOMPARE(panelText(*w, 1), serverAccepted);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Listening..."));
    QVERIFY(isLocked(control<QLineEdit>(*w, "txtRemoteHostIP")));
    QCOMPARE(control<QLineEdit>(*w, "txtRemoteHostIP")->text(), QString());
}

void tst_Tcp::udpClosesConnection()
{
    Peer client;
    QVERIFY(serverWithClient(client));

    press(control<QRadioButton>(*w, "optUDP"));
    QTRY_VERIFY_WITH_TIMEOUT(client.hasEnded(), peerWaitMs);
    QCOMPARE(panelText(*w, 3), QString());
    for (const QLineEdit *remote : { control<QLineEdit>(*w, "txtRemoteHostIP"),
                                     control<QLineEdit>(*w, "txtRemoteHostPort") }) {
        QCOMPARE(remote->text(), QString());
        QVERIFY(isEditable(remote));
    }
}

void tst_Tcp::serverLocalPort_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("port"); // 0: the role cannot start

    QTest::newRow("empty") << QString() << QStringLiteral("1000") << 1000;
    QTest::newRow("zero") << QStringLiteral("0") << QStringLiteral("1000") << 1000;
    QTest::newRow("letters") << QStringLiteral("abc") << QStringLiteral("1000") << 1000;
    QTest::newRow("spaces") << QStringLiteral("   ") << QStringLiteral("1000") << 1000;
    QTest::newRow("padded") << QStringLiteral(" 2000 ") << QStringLiteral(" 2000 ") << 2000;
    QTest::newRow("half-to-even-down")
            << QStringLiteral("2000.5") << QStringLiteral("2000.5") << 2000;
    QTest::newRow("half-to-even-up")
            << QStringLiteral("2001.5") << QStringLiteral("2001.5") << 2002;
    QTest::newRow("too-large") << QStringLiteral("70000") << QStringLiteral("70000") << 0;
    QTest::newRow("negative") << QStringLiteral("-5") << QStringLiteral("-5") << 0;
}

void tst_Tcp::serverLocalPort()
{
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(int, port);

    // Typed while UDP is selected, so the server role has something to clear.
    typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), QStringLiteral("127.0.0.1"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), QStringLiteral("4000"));
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), typed);
    const QString panel3Before = panelText(*w, 3);
    press(control<QRadioButton>(*w, "optTCP"));
    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostPortSet")->text(), shown);
    for (const QLineEdit *remote : { control<QLineEdit>(*w, "txtRemoteHostIP"),
                                     control<QLineEdit>(*w, "txtRemoteHostPort") }) {
        QVERIFY(isLocked(remote));
        QCOMPARE(remote->text(), QString());
    }
    if (port == defaultPort && !control<QRadioButton>(*w, "optServer")->isChecked())
        SKIP_IF_PORT_UNAVAILABLE(QAbstractSocket::TcpSocket, defaultPort);
    if (port == 0) {
        QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked());
        QCOMPARE(panelText(*w, 1), QString());
        QCOMPARE(panelText(*w, 3), panel3Before);
        return;
    }
    QVERIFY(control<QRadioButton>(*w, "optServer")->isChecked());
    QCOMPARE(panelText(*w, 3), QStringLiteral("Listening..."));
    Peer client;
    QVERIFY(startClient(client, port));
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), clientAccepted, peerWaitMs);
}

void tst_Tcp::clientUnusableRemote_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");

    QTest::newRow("host-empty") << QString() << QStringLiteral("5000");
    QTest::newRow("host-spaces") << QStringLiteral("   ") << QStringLiteral("5000");
    QTest::newRow("port-empty") << QStringLiteral("127.0.0.1") << QString();
    QTest::newRow("port-zero") << QStringLiteral("127.0.0.1") << QStringLiteral("0");
    QTest::newRow("port-letters") << QStringLiteral("127.0.0.1") << QStringLiteral("abc");
    QTest::newRow("port-too-large") << QStringLiteral("127.0.0.1") << QStringLiteral("70000");
}

void tst_Tcp::clientUnusableRemote()
{
    QFETCH(QString, host);
    QFETCH(QString, port);

    selectClient(host, port);
    QVERIFY(!control<QRadioButton>(*w, "optClient")->isChecked());
    QCOMPARE(panelText(*w, 3), QString());
    QCOMPARE(panelText(*w, 1), QString());
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Closed);
}

void tst_Tcp::replyAcrossReads()
{
    w->findChild<QAction *>(QStringLiteral("mnuReplyStrip"))->trigger();
    typeInto(control<QLineEdit>(*w, "replyMatch"), QStringLiteral("PING"));
    typeInto(control<QLineEdit>(*w, "replyText"), QStringLiteral("PONG"));
    press(control<QPushButton>(*w, "replyOnOff"));
    Peer client;
    QVERIFY(serverWithClient(client));
    client.write("xPI");
    QTRY_COMPARE_WITH_TIMEOUT(log(), QStringLiteral("xPI"), peerWaitMs);
    client.write("NGPINGPI");
    QTRY_COMPARE_WITH_TIMEOUT(client.output(), QByteArray("PONGPONG"), peerWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(control<QLabel>(*w, "replyStripStatus")->text(),
                              QStringLiteral("Replied 2"), peerWaitMs);
    // Nothing of the replies is in the log.
    QCOMPARE(log(), QStringLiteral("xPINGPINGPI"));
}

void tst_Tcp::unreachableServerKeepsConnecting()
{
    // Never the client's own port: a connect to it meets itself and succeeds.
    int port = freeTcpPort();
    for (int tries = 0; port == localPort && tries < 10; ++tries)
        port = freeTcpPort();
    QVERIFY(port > 0 && port != localPort);
    selectClient(QStringLiteral("127.0.0.1"), QString::number(port));
    QCOMPARE(panelText(*w, 3), QStringLiteral("Connecting..."));
    // The refusal is kept in the endpoint's state; the window says nothing.
    QTRY_COMPARE_WITH_TIMEOUT(control<Winsock>(*w, "Winsock")->State(), Winsock::Failed,
                              peerWaitMs);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Connecting..."));
    QCOMPARE(panelText(*w, 1), QString());
    QVERIFY(control<QRadioButton>(*w, "optClient")->isChecked());
}

void tst_Tcp::largeWriteInHex()
{
    // One write of many times FFFF, read back as records of four-digit counts.
    QByteArray payload(600000, Qt::Uninitialized);
    for (qsizetype i = 0; i < payload.size(); ++i)
        payload[i] = char((i * 13 + i / 256) & 0xFF);
    QTemporaryFile file;
    QVERIFY(file.open());
    QCOMPARE(file.write(payload), payload.size());
    QVERIFY(file.flush());

    setTicked(control<QCheckBox>(*w, "chkHexDISP"), true);
    press(control<QRadioButton>(*w, "optTCP"));
    Peer client;
    QVERIFY(client.start(socat, { QStringLiteral("-b"), QString::number(payload.size()),
                                  QStringLiteral("-u"), QStringLiteral("OPEN:") + file.fileName(),
                                  QStringLiteral("TCP:127.0.0.1:%1").arg(localPort) }));
    // The client sends everything and leaves; all of it arrives before the close.
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), QStringLiteral("Remote client disconnect..."),
                              peerWaitMs);
    const HexRecords records = readHexRecords(log(), u"TCP IN  (");
    QVERIFY2(records.fault.isEmpty(), qPrintable(records.fault));
    QVERIFY(records.records >= 10);
    QCOMPARE(records.announced, payload.size());
    QCOMPARE(records.bytes, payload);
}

void tst_Tcp::splitCharacter_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QString>("shown");

    QTest::newRow("2-byte-after-lead")
            << QByteArray("a\xC3") << QByteArray("\xA9z") << QStringLiteral("aéz");
    QTest::newRow("3-byte-after-2")
            << QByteArray("a\xE2\x82") << QByteArray("\xACz") << QStringLiteral("a€z");
    QTest::newRow("4-byte-after-3")
            << QByteArray("a\xF0\x9F\x98") << QByteArray("\x80z") << QStringLiteral("a😀z");
}

void tst_Tcp::splitCharacter()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QString, shown);

    Peer client;
    QVERIFY(serverWithClient(client));
    client.write(first);
    QTRY_COMPARE_WITH_TIMEOUT(log(), QStringLiteral("a"), peerWaitMs);
    // The character's first bytes have arrived and wait for the rest.
    auto *receive = control<TextField>(*w, "txtReceive")->findChild<ReceiveLog *>();
    QTRY_COMPARE_WITH_TIMEOUT(receive->decoder().held().size(), first.size() - 1, peerWaitMs);
    client.write(second);
    QTRY_COMPARE_WITH_TIMEOUT(log(), shown, peerWaitMs);
}

// A byte the first client left half a character is no part of the next one's
// text: the close shows it as U+FFFD.
void tst_Tcp::nextConnectionStartsFresh()
{
    control<TextField>(*w, "txtReceive")->findChild<ReceiveLog *>()->setEncoding("UTF-16LE");
    Peer first;
    QVERIFY(serverWithClient(first));
    first.write(QByteArray("A\0B", 3));
    first.closeInput();
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), QStringLiteral("Remote client disconnect..."),
                              peerWaitMs);
    QCOMPARE(log(), QStringLiteral("A\uFFFD")); // cut short by the close, whenever it came
    Peer second;
    press(control<QRadioButton>(*w, "optServer"));
    QVERIFY(startClient(second, localPort));
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1), clientAccepted, peerWaitMs);
    second.write(QByteArray("C\0D\0", 4));
    QTRY_COMPARE_WITH_TIMEOUT(log(), QStringLiteral("A\uFFFDCD"), peerWaitMs);
}

void tst_Tcp::sendLongLine_data()
{
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("typed"); // after the paste, at its end; '\n' is Shift+Enter
    QTest::addColumn<QByteArray>("received");

    // A hex payload, a base64 blob, minified data: one line of a few MB.
    QString hex(qsizetype(4) << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < hex.size(); ++i)
        hex[i] = QLatin1Char("0123456789ABCDEF"[(i * 7 + i / 4099) % 16]);
    QTest::newRow("hex-4MiB") << hex << QString() << hex.toLatin1();
    QTest::newRow("hex-4MiB-then-typed")
            << hex << QStringLiteral("Z\nend") << hex.toLatin1() + "Z\nend";
    // Two and four bytes a character, across the field's internal cuts.
    const QString cyrillic = QStringLiteral("\u0436\u0451").repeated(qsizetype(1) << 20);
    QTest::newRow("cyrillic-2M") << cyrillic << QString() << cyrillic.toUtf8();
    const QString emoji = QStringLiteral("\U0001F600").repeated(qsizetype(3) << 19);
    QTest::newRow("emoji-1.5M") << emoji << QStringLiteral("!") << emoji.toUtf8() + "!";
}

void tst_Tcp::sendLongLine()
{
    QFETCH(QString, pasted);
    QFETCH(QString, typed);
    QFETCH(QByteArray, received);

    Peer client;
    QVERIFY(serverWithClient(client));
    QGuiApplication::clipboard()->setText(pasted);
    control<TextField>(*w, "txtSend")->setFocus();
    QTest::keySequence(control<TextField>(*w, "txtSend"), QKeySequence::Paste);
    QCOMPARE(control<TextField>(*w, "txtSend")->length(), pasted.size());
    for (const QChar c : typed) {
        if (c == u'\n')
            QTest::keyClick(control<TextField>(*w, "txtSend"), Qt::Key_Return, Qt::ShiftModifier);
        else
            QTest::keyClick(control<TextField>(*w, "txtSend"), c.toLatin1());
    }
    press(control<QPushButton>(*w, "cmdSendData"));
    QCOMPARE(panelText(*w, 1), QString());
    QTRY_VERIFY_WITH_TIMEOUT(client.output().size() >= received.size(), peerWaitMs);
    QCOMPARE(client.output().size(), received.size());
    QVERIFY(client.output() == received);
}

QTEST_MAIN(tst_Tcp)
#include "tst_tcp.moc"
