// Nasty text in the window's fields, through the same handlers a click runs:
// port texts for Apply, the server role, the client role and the remote port;
// remote host names; and faults from the system (a busy port, a protected
// port, a name that does not resolve). Each ends as the rules say: Apply
// reports "Apply failed: <cause>", a role that cannot start drops its own
// choice without a word, and the window goes on answering.

#include "asNobody.h"
#include "hostile.h"
#include "peer.h"
#include "sendBox.h"
#include "windowControls.h"
#include "windowPort.h"

#include "net/Winsock.h"
#include "ui/frmMain.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <memory>

namespace {

// Every good port text below means this port.
constexpr int goodPort = 24680;
const QString sentinel = QStringLiteral("(unchanged)");

enum class Means { Good, Zero, Blank, Refused };

} // namespace

Q_DECLARE_METATYPE(Means)

// Port texts go into the fields with setText, as a paste would put them: NUL,
// tabs and line feeds cannot be typed, and 40,000 characters typed one key at
// a time would take minutes. Buttons and choices are still pressed.
class tst_BadInput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void applyLocalPort_data() { portTexts(); }
    void applyLocalPort();
    void serverLocalPort_data() { portTexts(); }
    void serverLocalPort();
    void clientLocalPort_data() { portTexts(); }
    void clientLocalPort();
    void applyRemotePort_data() { portTexts(); }
    void applyRemotePort();
    void clientRemotePort_data() { portTexts(); }
    void clientRemotePort();
    void remoteHost_data();
    void remoteHost();

    void portInUse();
    void privilegedPort();

private:
    void portTexts();
    // TCP with the server role, then Client with these fields typed in.
    void selectClient(const QString &localPort, const QString &host, const QString &port);
    bool answers();

    std::unique_ptr<frmMain> w;
};

void tst_BadInput::init()
{
    w = std::make_unique<frmMain>();
    QVERIFY(applyUdpPort(*w) != 0);
    setPanelText(*w, 1, sentinel);
}

void tst_BadInput::cleanup()
{
    w.reset();
}

bool tst_BadInput::answers()
{
    bool ran = false;
    QTimer::singleShot(0, w.get(), [&ran] { ran = true; });
    return QTest::qWaitFor([&ran] { return ran; }, peerWaitMs);
}

void tst_BadInput::portTexts()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Means>("means");
    QTest::addColumn<QString>("cause"); // what Apply says when it refuses

    const QString range = QStringLiteral("out of range (0 to 65535)");
    QTest::newRow("plain") << QStringLiteral("24680") << Means::Good << QString();
    QTest::newRow("spaced-digits") << QStringLiteral(" 2 4\t6 8 0 ") << Means::Good << QString();
    QTest::newRow("plus-sign") << QStringLiteral("+24680") << Means::Good << QString();
    QTest::newRow("hex-form") << QStringLiteral("&H6068") << Means::Good << QString();
    QTest::newRow("octal-form") << QStringLiteral("&o60150") << Means::Good << QString();
    QTest::newRow("exponent") << QStringLiteral("2.468e4") << Means::Good << QString();
    QTest::newRow("half-to-even") << QStringLiteral("24680.5") << Means::Good << QString();
    QTest::newRow("embedded-nul") << QString::fromUtf16(u"24680\0"
                                                        "99",
                                                        8)
                                  << Means::Good << QString();
    QTest::newRow("trailing-junk") << QStringLiteral("24680abc") << Means::Good << QString();
    // Past the 32,767 characters a text field takes unless told otherwise.
    QTest::newRow("40k-leading-zeros")
            << QString(40960, u'0') + QStringLiteral("24680") << Means::Good << QString();

    QTest::newRow("empty") << QString() << Means::Blank << QString();
    QTest::newRow("spaces") << QStringLiteral("     ") << Means::Blank << QString();
    QTest::newRow("zero") << QStringLiteral("0") << Means::Zero << QString();
    QTest::newRow("minus-zero") << QStringLiteral("-0") << Means::Zero << QString();
    QTest::newRow("nan") << QStringLiteral("nan") << Means::Zero << QString();
    QTest::newRow("inf") << QStringLiteral("inf") << Means::Zero << QString();
    QTest::newRow("hex-no-digits") << QStringLiteral("&H") << Means::Zero << QString();
    QTest::newRow("arabic-indic-digits") << QStringLiteral("٢٤٦٨٠") << Means::Zero << QString();
    QTest::newRow("fullwidth-digits") << QStringLiteral("２４６８０") << Means::Zero << QString();

    QTest::newRow("negative") << QStringLiteral("-24680") << Means::Refused
                              << QStringLiteral("port -24680 is ") + range;
    QTest::newRow("just-too-large") << QStringLiteral("65536") << Means::Refused
                                    << QStringLiteral("port 65536 is ") + range;
    QTest::newRow("rounds-past-max") << QStringLiteral("65535.5") << Means::Refused
                                     << QStringLiteral("port 65536 is ") + range;
    QTest::newRow("hex-too-large") << QStringLiteral("&H10000") << Means::Refused
                                   << QStringLiteral("port 65536 is ") + range;
    QTest::newRow("past-32-bits") << QStringLiteral("99999999999") << Means::Refused
                                  << QStringLiteral("the port is ") + range;
    QTest::newRow("exponent-overflow")
            << QStringLiteral("1e999") << Means::Refused << QStringLiteral("the port is ") + range;
    QTest::newRow("10k-digits") << QString(10240, u'9') << Means::Refused
                                << QStringLiteral("the port is ") + range;
}

void tst_BadInput::applyLocalPort()
{
    QFETCH(QString, text);
    QFETCH(Means, means);
    QFETCH(QString, cause);

    const int before = control<Winsock>(*w, "Winsock")->LocalPort();
    control<QLineEdit>(*w, "txtLocalHostPortSet")->setText(text);
    press(control<QPushButton>(*w, "cmdApply"));
    switch (means) {
    case Means::Good:
        QCOMPARE(control<Winsock>(*w, "Winsock")->LocalPort(), goodPort);
        break;
    case Means::Blank: // Apply leaves the local port alone
        QCOMPARE(control<Winsock>(*w, "Winsock")->LocalPort(), before);
        break;
    case Means::Zero: // any free port, as the system picks it
        QVERIFY(control<Winsock>(*w, "Winsock")->LocalPort() > 0);
        break;
    case Means::Refused:
        QCOMPARE(panelText(*w, 1), QStringLiteral("Apply failed: ") + cause);
        QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Closed);
        // A good port still works afterwards.
        control<QLineEdit>(*w, "txtLocalHostPortSet")->setText(QString::number(goodPort));
        press(control<QPushButton>(*w, "cmdApply"));
        QCOMPARE(control<Winsock>(*w, "Winsock")->LocalPort(), goodPort);
        return;
    }
    QCOMPARE(panelText(*w, 1), sentinel);
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Bound);
    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostPort")->text(),
             QString::number(control<Winsock>(*w, "Winsock")->LocalPort()));
}

void tst_BadInput::serverLocalPort()
{
    QFETCH(QString, text);
    QFETCH(Means, means);

    control<QLineEdit>(*w, "txtLocalHostPortSet")->setText(text);
    press(control<QRadioButton>(*w, "optTCP"));
    QVERIFY(answers());
    QCOMPARE(panelText(*w, 1), sentinel);
    // Zero and blank mean port 1000.
    if ((means == Means::Zero || means == Means::Blank) && mayBindBelow1024()
        && !control<QRadioButton>(*w, "optServer")->isChecked())
        SKIP_IF_PORT_UNAVAILABLE(QAbstractSocket::TcpSocket, 1000);
    if (means == Means::Refused || (means != Means::Good && !mayBindBelow1024())) {
        QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked());
        QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Closed);
        return;
    }
    QVERIFY(control<QRadioButton>(*w, "optServer")->isChecked());
    QCOMPARE(panelText(*w, 3), QStringLiteral("Listening..."));
    QCOMPARE(control<Winsock>(*w, "Winsock")->LocalPort(), means == Means::Good ? goodPort : 1000);
    if (means != Means::Good)
        QCOMPARE(control<QLineEdit>(*w, "txtLocalHostPortSet")->text(), QStringLiteral("1000"));
}

void tst_BadInput::selectClient(const QString &localPort, const QString &host, const QString &port)
{
    press(control<QRadioButton>(*w, "optTCP"));
    press(control<QRadioButton>(*w, "optClient")); // empty remote fields: dropped, fields unlocked
    control<QLineEdit>(*w, "txtLocalHostPortSet")->setText(localPort);
    control<QLineEdit>(*w, "txtRemoteHostIP")->setText(host);
    control<QLineEdit>(*w, "txtRemoteHostPort")->setText(port);
    setPanelText(*w, 1, sentinel);
    press(control<QRadioButton>(*w, "optClient"));
}

void tst_BadInput::clientLocalPort()
{
    QFETCH(QString, text);
    QFETCH(Means, means);

    QTcpServer remote;
    QVERIFY(remote.listen(QHostAddress::LocalHost));
    selectClient(text, QStringLiteral("127.0.0.1"), QString::number(remote.serverPort()));
    // Zero and blank mean port 1000.
    if ((means == Means::Zero || means == Means::Blank) && mayBindBelow1024()
        && !control<QRadioButton>(*w, "optClient")->isChecked())
        SKIP_IF_PORT_UNAVAILABLE(QAbstractSocket::TcpSocket, 1000);
    if (means == Means::Refused || (means != Means::Good && !mayBindBelow1024())) {
        QVERIFY(!control<QRadioButton>(*w, "optClient")->isChecked());
        QCOMPARE(panelText(*w, 1), sentinel);
        QCOMPARE(panelText(*w, 3), QString());
        return;
    }
    QVERIFY(control<QRadioButton>(*w, "optClient")->isChecked());
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1),
                              QStringLiteral("Connect with remote server success."), peerWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(remote.hasPendingConnections(), peerWaitMs);
    std::unique_ptr<QTcpSocket> accepted(remote.nextPendingConnection());
    QCOMPARE(int(accepted->peerPort()), means == Means::Good ? goodPort : 1000);
}

void tst_BadInput::applyRemotePort()
{
    QFETCH(QString, text);
    QFETCH(Means, means);
    QFETCH(QString, cause);

    const int before = control<Winsock>(*w, "Winsock")->RemotePort();
    control<QLineEdit>(*w, "txtRemoteHostPort")->setText(text);
    press(control<QPushButton>(*w, "cmdApply"));
    switch (means) {
    case Means::Good:
        QCOMPARE(control<Winsock>(*w, "Winsock")->RemotePort(), goodPort);
        break;
    case Means::Blank:
        QCOMPARE(control<Winsock>(*w, "Winsock")->RemotePort(), before);
        break;
    case Means::Zero:
        QCOMPARE(control<Winsock>(*w, "Winsock")->RemotePort(), 0);
        break;
    case Means::Refused:
        // The remote port's whole-number step speaks for itself past 32 bits.
        if (cause.startsWith(u"the port"))
            cause = QStringLiteral("the number does not fit in 32 bits");
        QCOMPARE(panelText(*w, 1), QStringLiteral("Apply failed: ") + cause);
        QCOMPARE(control<Winsock>(*w, "Winsock")->RemotePort(), before);
        return;
    }
    QCOMPARE(panelText(*w, 1), sentinel);
}

void tst_BadInput::clientRemotePort()
{
    QFETCH(QString, text);
    QFETCH(Means, means);

    QTcpServer remote;
    QVERIFY(remote.listen(QHostAddress::LocalHost, goodPort));
    selectClient(QStringLiteral("24681"), QStringLiteral("127.0.0.1"), text);
    QCOMPARE(panelText(*w, 1), sentinel);
    if (means != Means::Good) {
        QVERIFY(!control<QRadioButton>(*w, "optClient")->isChecked());
        QCOMPARE(panelText(*w, 3), QString());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1),
                              QStringLiteral("Connect with remote server success."), peerWaitMs);
    QCOMPARE(panelText(*w, 3), QStringLiteral("Connect"));
}

void tst_BadInput::remoteHost_data()
{
    QTest::addColumn<QString>("host");
    // Send Data over UDP after Apply: "sent", "no-host" or "unresolved".
    QTest::addColumn<QString>("udpOutcome");
    // The client role: "connects", "connecting" (the lookup fails quietly) or
    // "dropped" (the choice is cleared).
    QTest::addColumn<QString>("clientOutcome");

    const auto row = [](const char *name, const QString &host, const char *udp,
                        const char *client) {
        QTest::newRow(name) << host << QString::fromLatin1(udp) << QString::fromLatin1(client);
    };
    row("empty", QString(), "no-host", "dropped");
    row("spaces", QStringLiteral("   "), "no-host", "dropped");
    row("ipv4-literal", QStringLiteral(" 127.0.0.1 "), "sent", "connects");
    row("localhost", QStringLiteral("localhost"), "sent", "connects");
    row("ipv6-literal", QStringLiteral("::1"), "sent", "connects");
    row("ipv6-bracketed", QStringLiteral("[::1]"), "unresolved", "dropped");
    row("bad-octet", QStringLiteral("999.1.1.1"), "unresolved", "connecting");
    row("empty-label", QStringLiteral("a..b"), "unresolved", "connecting");
    row("inner-space", QStringLiteral("bad host"), "unresolved", "dropped");
    row("percent-signs", QStringLiteral("%1%2%n"), "unresolved", "dropped");
    row("unknown-name", QStringLiteral("no-such-host.invalid"), "unresolved", "connecting");
    row("40k-name", QString(40960, u'a'), "unresolved", "dropped");
}

void tst_BadInput::remoteHost()
{
    QFETCH(QString, host);
    QFETCH(QString, udpOutcome);
    QFETCH(QString, clientOutcome);
    const bool v6 = host.contains(u"::1");

    // UDP: Apply, then Send Data to a peer on the loopback of either family.
    QUdpSocket peer;
    QVERIFY(peer.bind(v6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost, 0));
    control<QLineEdit>(*w, "txtRemoteHostIP")->setText(host);
    control<QLineEdit>(*w, "txtRemoteHostPort")->setText(QString::number(peer.localPort()));
    press(control<QPushButton>(*w, "cmdApply"));
    QCOMPARE(panelText(*w, 1), sentinel);
    setSendText(*w, QStringLiteral("probe"));
    press(control<QPushButton>(*w, "cmdSendData"));
    if (udpOutcome == u"sent") {
        QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingDatagrams(), peerWaitMs);
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("probe"));
        QCOMPARE(panelText(*w, 1), QString());
    } else if (udpOutcome == u"no-host") {
        QCOMPARE(panelText(*w, 1), QStringLiteral("No specified remote host!"));
    } else {
        // The name is shown as typed, never read as a format.
        QTRY_COMPARE_WITH_TIMEOUT(
                panelText(*w, 1),
                QStringLiteral("Send Data failed: cannot resolve host '%1'").arg(host), peerWaitMs);
    }
    QVERIFY(answers());

    // The client role with the same remote host.
    QTcpServer remote;
    QVERIFY(remote.listen(v6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost));
    selectClient(QStringLiteral("24682"), host, QString::number(remote.serverPort()));
    QCOMPARE(panelText(*w, 1), sentinel);
    if (clientOutcome == u"dropped") {
        QVERIFY(!control<QRadioButton>(*w, "optClient")->isChecked());
        QCOMPARE(panelText(*w, 3), QString());
    } else if (clientOutcome == u"connecting") {
        QVERIFY(control<QRadioButton>(*w, "optClient")->isChecked());
        QTRY_COMPARE_WITH_TIMEOUT(control<Winsock>(*w, "Winsock")->State(), Winsock::Failed,
                                  peerWaitMs);
        QCOMPARE(panelText(*w, 3), QStringLiteral("Connecting..."));
        QCOMPARE(panelText(*w, 1), sentinel);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 1),
                                  QStringLiteral("Connect with remote server success."),
                                  peerWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(remote.hasPendingConnections(), peerWaitMs);
    }
    QVERIFY(answers());
}

void tst_BadInput::portInUse()
{
    QUdpSocket udpHolder;
    QVERIFY(udpHolder.bind(QHostAddress::Any, 0));
    const quint16 udpBusy = udpHolder.localPort();
    control<QLineEdit>(*w, "txtLocalHostPortSet")->setText(QString::number(udpBusy));
    press(control<QPushButton>(*w, "cmdApply"));
    QCOMPARE(panelText(*w, 1),
             QStringLiteral("Apply failed: port %1 is already in use").arg(udpBusy));
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Closed);

    QTcpServer tcpHolder;
    QVERIFY(tcpHolder.listen(QHostAddress::Any, 0));
    setPanelText(*w, 1, sentinel);
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"),
             QString::number(tcpHolder.serverPort()));
    press(control<QRadioButton>(*w, "optTCP"));
    QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked());
    QCOMPARE(panelText(*w, 1), sentinel);
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Closed);
    reportResult(QStringLiteral("port-in-use"),
                 QStringLiteral("Apply reports \"port N is already in use\"; the server role "
                                "drops its choice"));
}

void tst_BadInput::privilegedPort()
{
    if (runsAsRoot()) {
        // Root binds every port: run this case again as nobody.
        const NobodyRun run = rerunAsNobody(QStringLiteral("privilegedPort"), 6 * peerWaitMs);
        if (!run.skipReason.isEmpty())
            QSKIP(qPrintable(run.skipReason));
        QVERIFY2(run.passed, run.output.constData());
        const QByteArray &output = run.output;
        for (const QByteArray &line : output.split('\n')) {
            if (line.contains("RESULT "))
                qInfo().noquote() << QString::fromUtf8(line.mid(line.indexOf("RESULT ")));
        }
        return;
    }
    if (mayBindBelow1024())
        QSKIP("this system lets anyone bind low ports");
    for (const int port : { 1000, 80 }) {
        control<QLineEdit>(*w, "txtLocalHostPortSet")->setText(QString::number(port));
        press(control<QPushButton>(*w, "cmdApply"));
        QCOMPARE(panelText(*w, 1),
                 QStringLiteral("Apply failed: port %1 needs administrator rights (ports below "
                                "1024 are protected)")
                         .arg(port));
    }
    // The server role drops its choice instead.
    setPanelText(*w, 1, sentinel);
    control<QLineEdit>(*w, "txtLocalHostPortSet")->setText(QStringLiteral("80"));
    press(control<QRadioButton>(*w, "optTCP"));
    QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked());
    QCOMPARE(panelText(*w, 1), sentinel);
    reportResult(QStringLiteral("privileged-port"),
                 QStringLiteral("as nobody, Apply of 1000 and 80 reports \"needs administrator "
                                "rights\"; the server role drops its choice"));
}

QTEST_MAIN(tst_BadInput)
#include "tst_badInput.moc"
