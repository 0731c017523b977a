#include "sendBox.h"
#include "windowControls.h"
#include "windowPort.h"

#include "field/widget/TextField.h"
#include "logFill.h"
#include "net/Winsock.h"
#include "ui/StatusBar.h"
#include "ui/fieldLooks.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTestEventList>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

class tst_Window : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void windowFrame();
    void geometry_data();
    void geometry();
    void labelsFitTheirCaptions_data();
    void labelsFitTheirCaptions();
    void statusPanels();
    void fieldLooks();
    void startUpState();
    void startUpHoldsPort1000();
    void focusAndTabOrder();
    void startUpWithPortHeld();
    void udpAgainAfterTcp();
    void choicesOnlyAffectTheirOwnGroup();

    void apply_data();
    void apply();
    void applyFailure_data();
    void applyFailure();
    void applyWithPortHeld();

    void sendRefusedWithoutRemoteHost_data();
    void sendRefusedWithoutRemoteHost();
    void sendDatagram_data();
    void sendDatagram();
    void sendRefusedWithoutTcpConnection();
    void sendTypedKeys_data();
    void sendTypedKeys();
    void sendDatagramSize_data();
    void sendDatagramSize();

    void receive_data();
    void receive();
    void caretAfterArrival();
    void clearEmptiesTheLog();
    void largeHexRecord();
    void fullLogRefusesArrival();

private:
    void openWindow();
    // Sends one datagram to the window's port and waits until its handler has run.
    bool arrive(const QByteArray &datagram);
    // Points the window at the peer with Apply, presses Send Data and returns
    // the datagram that reached the peer, or a null array when none did.
    QByteArray sendToPeer();

    std::unique_ptr<frmMain> w;
    quint16 windowPort = 0;
    QUdpSocket peer;
};

void tst_Window::initTestCase()
{
    QApplication::setStyle(QStringLiteral("Fusion")); // as the program sets it
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
}

void tst_Window::init()
{
    const QByteArray test = QTest::currentTestFunction();
    // This one opens its own window, after taking the port first.
    if (test == "startUpWithPortHeld")
        return;
    openWindow();
    windowPort = startUpPort;
    // The rest move off port 1000, which needs root and nobody else on it.
    // The focus test needs the window as it opens: pressing Apply takes the
    // focus, as a user's click does, and it needs no port.
    if (!test.startsWith("startUp") && test != "focusAndTabOrder") {
        windowPort = applyUdpPort(*w);
        QVERIFY(windowPort != 0);
    }
}

void tst_Window::cleanup()
{
    w.reset();
    for (int i = 0; i < 100 && peer.hasPendingDatagrams(); ++i)
        peer.receiveDatagram();
}

void tst_Window::openWindow()
{
    w = std::make_unique<frmMain>();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
}

bool tst_Window::arrive(const QByteArray &datagram)
{
    QSignalSpy arrivals(control<Winsock>(*w, "Winsock"), &Winsock::DataArrivalEvent);
    return peer.writeDatagram(datagram, QHostAddress::LocalHost, windowPort) == datagram.size()
           && QTest::qWaitFor([&] { return arrivals.size() == 1; }, 10000);
}

void tst_Window::windowFrame()
{
    QCOMPARE(w->windowTitle(), QStringLiteral("Tarvik (ver 1.10)"));
    QCOMPARE(w->size(), QSize(831, 620));
    QCOMPARE(w->minimumSize(), QSize(831, 620));
    QCOMPARE(w->maximumSize(), QSize(831, 620));
    const Qt::WindowFlags flags = w->windowFlags();
    QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
}

void tst_Window::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QString>("title");

    const struct
    {
        const char *name;
        const char *parent;
        QRect rect;
        const char *title;
    } rows[] = {
        { "Frame4", "frmMain", { 530, 176, 293, 151 }, "Properties" },
        { "frame3", "frmMain", { 530, 90, 293, 81 }, "Info" },
        { "StatusBar", "frmMain", { 0, 595, 831, 25 }, nullptr },
        { "Frame2", "frmMain", { 8, 400, 513, 183 }, "Send" },
        { "Frame1", "frmMain", { 8, 90, 513, 307 }, "Receive" },
        { "ImgLogo2", "frmMain", { 4, 8, 828, 79 }, nullptr },
        { "imgLogl", "frmMain", { 532, 340, 290, 242 }, nullptr },
        { "optClient", "Frame4", { 194, 118, 83, 21 }, nullptr },
        { "optServer", "Frame4", { 106, 118, 83, 21 }, nullptr },
        { "Frame5", "Frame4", { 192, 42, 87, 65 }, "Protocol" },
        { "cmdApply", "Frame4", { 16, 118, 85, 21 }, nullptr },
        { "txtLocalHostPortSet", "Frame4", { 116, 80, 63, 18 }, nullptr },
        { "txtRemoteHostPort", "Frame4", { 116, 50, 63, 18 }, nullptr },
        { "txtRemoteHostIP", "Frame4", { 116, 20, 163, 18 }, nullptr },
        { "optTCP", "Frame5", { 16, 38, 57, 17 }, nullptr },
        { "optUDP", "Frame5", { 16, 18, 57, 17 }, nullptr },
        { "txtLocalHostPort", "frame3", { 244, 50, 35, 18 }, nullptr },
        { "txtLocalHostIP", "frame3", { 116, 50, 121, 18 }, nullptr },
        { "txtLocalHostName", "frame3", { 116, 18, 163, 18 }, nullptr },
        { "cmdSendData", "Frame2", { 404, 146, 93, 23 }, nullptr },
        { "chkHex", "Frame2", { 12, 148, 71, 21 }, nullptr },
        { "txtSend", "Frame2", { 12, 20, 493, 117 }, nullptr },
        { "chkHexDISP", "Frame1", { 12, 272, 85, 21 }, nullptr },
        { "cmdClear", "Frame1", { 434, 272, 67, 23 }, nullptr },
        { "txtReceive", "Frame1", { 12, 16, 493, 249 }, nullptr },
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << QString::fromLatin1(row.name) << QString::fromLatin1(row.parent)
                                << row.rect << QString::fromLatin1(row.title);
}

void tst_Window::geometry()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, rect);
    QFETCH(QString, title);

    auto *control = w->findChild<QWidget *>(name);
    QVERIFY(control);
    QCOMPARE(control->parentWidget()->objectName(), parent);
    QCOMPARE(control->geometry(), rect);
    if (!title.isEmpty())
        QCOMPARE(qobject_cast<QGroupBox *>(control)->title(), title);
}

void tst_Window::labelsFitTheirCaptions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QPoint>("corner");
    QTest::addColumn<QString>("field"); // the text field to the label's right, if any

    QTest::newRow("Label1") << "Label1"
                            << "frame3" << QPoint(10, 20) << "txtLocalHostName";
    QTest::newRow("Label2") << "Label2"
                            << "frame3" << QPoint(10, 52) << "txtLocalHostIP";
    QTest::newRow("Label3") << "Label3"
                            << "frmMain" << QPoint(608, 70) << "";
    QTest::newRow("Label4") << "Label4"
                            << "Frame4" << QPoint(10, 22) << "txtRemoteHostIP";
    QTest::newRow("Label5") << "Label5"
                            << "Frame4" << QPoint(10, 52) << "txtRemoteHostPort";
    QTest::newRow("Label6") << "Label6"
                            << "Frame4" << QPoint(12, 82) << "txtLocalHostPortSet";
    QTest::newRow("Label7") << "Label7"
                            << "frmMain" << QPoint(596, 18) << "";
}

void tst_Window::labelsFitTheirCaptions()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QPoint, corner);
    QFETCH(QString, field);

    auto *label = w->findChild<QLabel *>(name);
    QVERIFY(label);
    QVERIFY(!label->text().isEmpty());
    QCOMPARE(label->parentWidget()->objectName(), parent);
    QCOMPARE(label->pos(), corner);
    QVERIFY2(label->sizeHint().width() <= label->width(),
             qPrintable(QStringLiteral("caption needs %1 px, label has %2")
                                .arg(label->sizeHint().width())
                                .arg(label->width())));
    if (!field.isEmpty()) {
        auto *neighbour = w->findChild<QLineEdit *>(field);
        QVERIFY(neighbour);
        QCOMPARE(neighbour->parentWidget(), label->parentWidget());
        QVERIFY(label->geometry().right() < neighbour->x());
    }
}

void tst_Window::statusPanels()
{
    const int widths[] = { 531, 200, 96 };
    for (int panel = 1; panel <= 3; ++panel) {
        QCOMPARE(control<StatusBar>(*w, "StatusBar")->panel(panel)->width(), widths[panel - 1]);
        QVERIFY(control<StatusBar>(*w, "StatusBar")->panel(panel)->height() > 0);
    }
    setPanelText(*w, 2, QStringLiteral("two"));
    QCOMPARE(control<StatusBar>(*w, "StatusBar")->panel(2)->text(), QStringLiteral("two"));
}

void tst_Window::fieldLooks()
{
    const QColor editable(255, 255, 192);
    const QColor locked(192, 192, 255);
    const QColor blue(0, 0, 255);
    for (QLineEdit *field : { control<QLineEdit>(*w, "txtLocalHostPortSet"),
                              control<QLineEdit>(*w, "txtRemoteHostPort"),
                              control<QLineEdit>(*w, "txtRemoteHostIP") }) {
        QCOMPARE(backColor(field), editable);
        QVERIFY(!field->isReadOnly());
    }
    for (QLineEdit *info :
         { control<QLineEdit>(*w, "txtLocalHostName"), control<QLineEdit>(*w, "txtLocalHostIP"),
           control<QLineEdit>(*w, "txtLocalHostPort") }) {
        QCOMPARE(backColor(info), locked);
        QVERIFY(info->isReadOnly());
    }
    QCOMPARE(backColor(control<TextField>(*w, "txtReceive")), editable);
    QCOMPARE(backColor(control<TextField>(*w, "txtSend")), editable);
    const QList<QWidget *> textFields = {
        control<QLineEdit>(*w, "txtLocalHostPortSet"), control<QLineEdit>(*w, "txtRemoteHostPort"),
        control<QLineEdit>(*w, "txtRemoteHostIP"),     control<QLineEdit>(*w, "txtLocalHostName"),
        control<QLineEdit>(*w, "txtLocalHostIP"),      control<QLineEdit>(*w, "txtLocalHostPort"),
        control<TextField>(*w, "txtReceive"),          control<TextField>(*w, "txtSend")
    };
    for (QWidget *field : textFields)
        QCOMPARE(field->palette().color(QPalette::Text), blue);

    // A port shows whole in each port field: a line too long for its field is
    // scrolled to the caret, so it looks different with the caret at each end.
    for (auto *port : { control<QLineEdit>(*w, "txtLocalHostPort"),
                        control<QLineEdit>(*w, "txtLocalHostPortSet"),
                        control<QLineEdit>(*w, "txtRemoteHostPort") }) {
        port->setText(QStringLiteral("65535"));
        const QImage atEnd = port->grab().toImage();
        port->setCursorPosition(0);
        QVERIFY2(port->grab().toImage() == atEnd, qPrintable(port->objectName()));
    }
}

void tst_Window::startUpState()
{
    // Whether or not the bind of port 1000 worked, both port fields show what
    // the endpoint holds.
    const QString held = QString::number(control<Winsock>(*w, "Winsock")->LocalPort());
    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostPortSet")->text(), held);
    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostPort")->text(), held);
    QCOMPARE(control<Winsock>(*w, "Winsock")->RemotePort(), 1001);
    QCOMPARE(control<QLineEdit>(*w, "txtRemoteHostPort")->text(), QString());
    QCOMPARE(control<QLineEdit>(*w, "txtRemoteHostIP")->text(), QString());

    QVERIFY(control<QRadioButton>(*w, "optUDP")->isChecked());
    QVERIFY(!control<QRadioButton>(*w, "optTCP")->isChecked());
    QVERIFY(control<QRadioButton>(*w, "optServer")->isChecked());
    QVERIFY(!control<QRadioButton>(*w, "optClient")->isChecked());
    for (QRadioButton *role :
         { control<QRadioButton>(*w, "optServer"), control<QRadioButton>(*w, "optClient") }) {
        QVERIFY(role->isHidden());
        QVERIFY(!role->isEnabled());
    }
    QVERIFY(!control<QPushButton>(*w, "cmdApply")->isHidden());
    QVERIFY(control<QPushButton>(*w, "cmdApply")->isEnabled());
    QVERIFY(control<QCheckBox>(*w, "chkHex")->isHidden());
    QVERIFY(!control<QCheckBox>(*w, "chkHexDISP")->isChecked());

    for (int panel = 1; panel <= 3; ++panel)
        QCOMPARE(panelText(*w, panel), QString());

    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostName")->text(), Winsock::LocalHostName());
    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostIP")->text(), Winsock::LocalIP());

    QCOMPARE(control<Winsock>(*w, "Winsock")->Protocol(), Winsock::UDP);

    // The once-a-second refresh keeps what the user has selected to copy.
    auto *name = control<QLineEdit>(*w, "txtLocalHostName");
    name->setFocus();
    name->selectAll();
    QSignalSpy refreshed(control<QTimer>(*w, "LocalHostInfoRefreshTimer"), &QTimer::timeout);
    QVERIFY(refreshed.wait(10000));
    QCOMPARE(name->selectedText(), Winsock::LocalHostName());
}

void tst_Window::startUpHoldsPort1000()
{
    SKIP_UNLESS_HOLDS_START_UP_PORT(*w);
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Bound);
    QCOMPARE(control<Winsock>(*w, "Winsock")->LocalPort(), 1000);
    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostPortSet")->text(), QStringLiteral("1000"));
    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostPort")->text(), QStringLiteral("1000"));
    QVERIFY(arrive("to port 1000"));
    QCOMPARE(control<TextField>(*w, "txtReceive")->text(), QStringLiteral("to port 1000"));
}

void tst_Window::focusAndTabOrder()
{
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    QCOMPARE(QApplication::focusWidget(),
             static_cast<QWidget *>(control<TextField>(*w, "txtReceive")));
    QCOMPARE(w->focusWidget(), static_cast<QWidget *>(control<TextField>(*w, "txtReceive")));

    // Keys go to whatever has the focus, as the user's do; the two text boxes
    // must pass Tab on rather than take it as a character.
    const auto walk = [this](const QList<QWidget *> &stops) {
        QStringList expected, visited;
        for (const QWidget *stop : stops)
            expected.append(stop->objectName());
        for (qsizetype i = 1; i < stops.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited.append(QApplication::focusWidget()->objectName());
        }
        QCOMPARE(visited, expected.mid(1));
        visited.clear();
        for (qsizetype i = 1; i < stops.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);
            visited.prepend(QApplication::focusWidget()->objectName());
        }
        QCOMPARE(visited, expected.first(stops.size() - 1));
        QVERIFY(control<TextField>(*w, "txtReceive")->text().isEmpty());
        QVERIFY(control<TextField>(*w, "txtSend")->text().isEmpty());
    };

    // chkHex is in the chain too, but hidden, so Tab passes it by.
    walk({ control<TextField>(*w, "txtReceive"), control<QLineEdit>(*w, "txtLocalHostName"),
           control<QLineEdit>(*w, "txtLocalHostIP"), control<QLineEdit>(*w, "txtLocalHostPort"),
           control<TextField>(*w, "txtSend"), control<QPushButton>(*w, "cmdSendData"),
           control<QLineEdit>(*w, "txtRemoteHostIP"), control<QLineEdit>(*w, "txtRemoteHostPort"),
           control<QLineEdit>(*w, "txtLocalHostPortSet"), control<QPushButton>(*w, "cmdApply"),
           control<QPushButton>(*w, "cmdClear"), control<QCheckBox>(*w, "chkHexDISP"),
           control<QRadioButton>(*w, "optUDP"), control<TextField>(*w, "txtReceive") });
    if (QTest::currentTestFailed())
        return;

    // With TCP the roles show and Apply hides; each group is one stop, on its selected member.
    // As a user gets there: TCP starts the Server chosen at start-up, which
    // locks the remote fields; Client unlocks them and, with nowhere to go
    // yet, drops its choice; then the fields are filled and Client chosen.
    press(control<QRadioButton>(*w, "optTCP"));
    press(control<QRadioButton>(*w, "optClient"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), QStringLiteral("127.0.0.1"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), QStringLiteral("9"));
    // This window kept port 1000 in the field; the client connects from a free one.
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), QString::number(freeTcpPort()));
    press(control<QRadioButton>(*w, "optClient"));
    QVERIFY(control<QRadioButton>(*w, "optClient")->isChecked());
    control<TextField>(*w, "txtReceive")->setFocus();
    walk({ control<TextField>(*w, "txtReceive"), control<QLineEdit>(*w, "txtLocalHostName"),
           control<QLineEdit>(*w, "txtLocalHostIP"), control<QLineEdit>(*w, "txtLocalHostPort"),
           control<TextField>(*w, "txtSend"), control<QPushButton>(*w, "cmdSendData"),
           control<QLineEdit>(*w, "txtRemoteHostIP"), control<QLineEdit>(*w, "txtRemoteHostPort"),
           control<QLineEdit>(*w, "txtLocalHostPortSet"), control<QPushButton>(*w, "cmdClear"),
           control<QCheckBox>(*w, "chkHexDISP"), control<QRadioButton>(*w, "optTCP"),
           control<QRadioButton>(*w, "optClient"), control<TextField>(*w, "txtReceive") });
}

void tst_Window::choicesOnlyAffectTheirOwnGroup()
{
    // Role dropped by a client that comes and goes: no role selected, TCP still is.
    const quint16 port = freeTcpPort();
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), QString::number(port));
    press(control<QRadioButton>(*w, "optTCP"));
    QCOMPARE(panelText(*w, 3), QStringLiteral("Listening..."));
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 3), QStringLiteral("Connect"), 10000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(panelText(*w, 3), QStringLiteral("Disconnect"), 10000);
    QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked()
            && !control<QRadioButton>(*w, "optClient")->isChecked());

    for (QRadioButton *role :
         { control<QRadioButton>(*w, "optServer"), control<QRadioButton>(*w, "optClient"),
           control<QRadioButton>(*w, "optServer") }) {
        // A client needs somewhere to go; port 9 on loopback just stays "Connecting...".
        // Set, not typed: Server locks these fields, and the switch to Client
        // must find them filled.
        control<QLineEdit>(*w, "txtRemoteHostIP")->setText(QStringLiteral("127.0.0.1"));
        control<QLineEdit>(*w, "txtRemoteHostPort")->setText(QStringLiteral("9"));
        QTest::mouseClick(role, Qt::LeftButton);
        QVERIFY(role->isChecked());
        QVERIFY2(control<QRadioButton>(*w, "optTCP")->isChecked(), qPrintable(role->objectName()));
        QVERIFY(!control<QRadioButton>(*w, "optUDP")->isChecked());
    }
    QTest::mouseClick(control<QRadioButton>(*w, "optUDP"), Qt::LeftButton);
    QVERIFY(control<QRadioButton>(*w, "optUDP")->isChecked()
            && !control<QRadioButton>(*w, "optTCP")->isChecked());
    QVERIFY(control<QRadioButton>(*w, "optServer")->isChecked()
            != control<QRadioButton>(*w, "optClient")->isChecked());
}

void tst_Window::startUpWithPortHeld()
{
    QUdpSocket holder;
    // Already held by another program does as well; a protected port is not this case.
    if (!holder.bind(QHostAddress::Any, startUpPort) && !mayBindBelow1024())
        QSKIP("UDP port 1000 is protected: only root may bind it, so it cannot be held here");
    openWindow();
    QVERIFY(w->isVisible());
    QVERIFY(control<QRadioButton>(*w, "optUDP")->isChecked());
    QCOMPARE(control<Winsock>(*w, "Winsock")->Protocol(), Winsock::UDP);
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Closed);
    QCOMPARE(panelText(*w, 1), QString());
}

void tst_Window::udpAgainAfterTcp()
{
    press(control<QRadioButton>(*w, "optTCP"));
    QCOMPARE(control<Winsock>(*w, "Winsock")->Protocol(), Winsock::TCP);
    QVERIFY(control<QPushButton>(*w, "cmdApply")->isHidden());
    QVERIFY(!control<QRadioButton>(*w, "optServer")->isHidden());
    QVERIFY(control<QLineEdit>(*w, "txtRemoteHostIP")->isReadOnly());
    // The listen may fail on a port held elsewhere; panel 3 must empty either way.
    setPanelText(*w, 3, QStringLiteral("Listening..."));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), QStringLiteral("10.0.0.1"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), QStringLiteral("5000"));

    press(control<QRadioButton>(*w, "optUDP"));
    QVERIFY(!control<QRadioButton>(*w, "optTCP")->isChecked());
    for (QLineEdit *remote : { control<QLineEdit>(*w, "txtRemoteHostIP"),
                               control<QLineEdit>(*w, "txtRemoteHostPort") }) {
        QCOMPARE(remote->text(), QString());
        QVERIFY(!remote->isReadOnly());
        QCOMPARE(backColor(remote), QColor(255, 255, 192));
    }
    QCOMPARE(panelText(*w, 3), QString());
    QVERIFY(!control<QPushButton>(*w, "cmdApply")->isHidden());
    QVERIFY(control<QPushButton>(*w, "cmdApply")->isEnabled());
    for (QRadioButton *role :
         { control<QRadioButton>(*w, "optServer"), control<QRadioButton>(*w, "optClient") }) {
        QVERIFY(role->isHidden());
        QVERIFY(!role->isEnabled());
    }
    QCOMPARE(control<Winsock>(*w, "Winsock")->Protocol(), Winsock::UDP);
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Closed);

    // Apply binds the port the field still shows.
    press(control<QPushButton>(*w, "cmdApply"));
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Bound);
    QCOMPARE(control<Winsock>(*w, "Winsock")->LocalPort(), int(windowPort));
}

void tst_Window::apply_data()
{
    QTest::addColumn<QString>("localPort");
    QTest::addColumn<QString>("remotePort");
    QTest::addColumn<QString>("remoteHost");
    // -1: the port held before Apply; 0: any port the system picks.
    QTest::addColumn<int>("boundPort");
    QTest::addColumn<int>("sentToPort");
    QTest::addColumn<QString>("sentToHost");

    const QString local = QStringLiteral("127.0.0.1");
    QTest::newRow("remote-host-only") << ""
                                      << "" << local << -1 << 1001 << local;
    QTest::newRow("local-port") << "2000"
                                << ""
                                << "" << 2000 << 1001 << "";
    QTest::newRow("local-port-spaced") << " 2000 "
                                       << ""
                                       << "" << 2000 << 1001 << "";
    QTest::newRow("local-port-spaces-only") << "   "
                                            << ""
                                            << "" << -1 << 1001 << "";
    QTest::newRow("local-port-not-a-number") << "abc"
                                             << ""
                                             << "" << 0 << 1001 << "";
    QTest::newRow("remote-port-half-up") << ""
                                         << "1001.5"
                                         << "" << -1 << 1002 << "";
    QTest::newRow("remote-port-half-even") << ""
                                           << "1000.5"
                                           << "" << -1 << 1000 << "";
    QTest::newRow("remote-port-not-a-number") << ""
                                              << "abc"
                                              << "" << -1 << 0 << "";
    QTest::newRow("remote-host-spaced") << "2000"
                                        << "1001"
                                        << "  127.0.0.1 " << 2000 << 1001 << "  127.0.0.1 ";
}

void tst_Window::apply()
{
    QFETCH(QString, localPort);
    QFETCH(QString, remotePort);
    QFETCH(QString, remoteHost);
    QFETCH(int, boundPort);
    QFETCH(int, sentToPort);
    QFETCH(QString, sentToHost);

    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), localPort);
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), remotePort);
    typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), remoteHost);
    press(control<QPushButton>(*w, "cmdApply"));

    QCOMPARE(panelText(*w, 1), QString());
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Bound);
    const int bound = control<Winsock>(*w, "Winsock")->LocalPort();
    if (boundPort == 0)
        QVERIFY(bound != 0);
    else if (boundPort == -1)
        QCOMPARE(bound, int(windowPort));
    else
        QCOMPARE(bound, boundPort);
    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostPort")->text(), QString::number(bound));
    QCOMPARE(control<Winsock>(*w, "Winsock")->RemotePort(), sentToPort);
    QCOMPARE(control<Winsock>(*w, "Winsock")->RemoteHost(), sentToHost);

    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostPortSet")->text(), localPort);
    QCOMPARE(control<QLineEdit>(*w, "txtRemoteHostPort")->text(), remotePort);
    QCOMPARE(control<QLineEdit>(*w, "txtRemoteHostIP")->text(), remoteHost);
}

void tst_Window::applyFailure_data()
{
    QTest::addColumn<QString>("localPort");
    QTest::addColumn<QString>("remotePort");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<Winsock::StateCode>("state");

    QTest::newRow("local-port-too-big") << "70000"
                                        << ""
                                        << "out of range" << Winsock::Closed;
    QTest::newRow("local-port-negative") << "-1"
                                         << ""
                                         << "out of range" << Winsock::Closed;
    QTest::newRow("remote-port-too-big") << ""
                                         << "99999"
                                         << "out of range" << Winsock::Bound;
    QTest::newRow("remote-port-huge") << ""
                                      << "1e12"
                                      << "32 bits" << Winsock::Bound;
}

void tst_Window::applyFailure()
{
    QFETCH(QString, localPort);
    QFETCH(QString, remotePort);
    QFETCH(QString, cause);
    QFETCH(Winsock::StateCode, state);

    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), localPort);
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), remotePort);
    press(control<QPushButton>(*w, "cmdApply"));

    const QString message = panelText(*w, 1);
    QVERIFY2(message.startsWith(QStringLiteral("Apply failed: ")), qPrintable(message));
    QVERIFY2(message.contains(cause), qPrintable(message));
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), state);
    QCOMPARE(control<Winsock>(*w, "Winsock")->RemotePort(), 1001);
    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostPortSet")->text(), localPort);
    QCOMPARE(control<QLineEdit>(*w, "txtRemoteHostPort")->text(), remotePort);

    // Nothing was left stuck: the next Apply binds and shows the bound port.
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), QString());
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), QString::number(windowPort));
    press(control<QPushButton>(*w, "cmdApply"));
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Bound);
    QCOMPARE(control<QLineEdit>(*w, "txtLocalHostPort")->text(), QString::number(windowPort));
    QCOMPARE(panelText(*w, 1), QString()); // the failure is not left standing
}

void tst_Window::applyWithPortHeld()
{
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::Any, 0));
    const QString held = QString::number(holder.localPort());

    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), held);
    press(control<QPushButton>(*w, "cmdApply"));
    QCOMPARE(panelText(*w, 1), QStringLiteral("Apply failed: port %1 is already in use").arg(held));
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Closed);

    // The failure left nothing stuck: the next Apply binds again.
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), QString::number(windowPort));
    press(control<QPushButton>(*w, "cmdApply"));
    QCOMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Bound);
    QCOMPARE(control<Winsock>(*w, "Winsock")->LocalPort(), int(windowPort));

    // A server that listens after the failure clears it as well.
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), held);
    press(control<QPushButton>(*w, "cmdApply"));
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), QString::number(freeTcpPort()));
    press(control<QRadioButton>(*w, "optTCP"));
    QCOMPARE(panelText(*w, 3), QStringLiteral("Listening..."));
    QCOMPARE(panelText(*w, 1), QString());

    // A client that only tries to connect leaves it standing.
    QTcpServer heldToo;
    QVERIFY(heldToo.listen(QHostAddress::Any, holder.localPort()));
    press(control<QRadioButton>(*w, "optUDP"));
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), held);
    press(control<QPushButton>(*w, "cmdApply"));
    const QString failure = panelText(*w, 1);
    press(control<QRadioButton>(*w, "optTCP")); // the server cannot listen there
    typeInto(control<QLineEdit>(*w, "txtLocalHostPortSet"), QString::number(freeTcpPort()));
    // Set, not typed: the server locked them.
    control<QLineEdit>(*w, "txtRemoteHostIP")->setText(QStringLiteral("127.0.0.1"));
    control<QLineEdit>(*w, "txtRemoteHostPort")->setText(QString::number(freeTcpPort()));
    press(control<QRadioButton>(*w, "optClient"));
    QTRY_COMPARE(control<Winsock>(*w, "Winsock")->State(), Winsock::Failed);
    QCOMPARE(panelText(*w, 1), failure);
}

void tst_Window::sendRefusedWithoutRemoteHost_data()
{
    QTest::addColumn<QString>("remoteHost");
    QTest::newRow("never-set") << QString();
    QTest::newRow("spaces") << QStringLiteral("   ");
}

void tst_Window::sendRefusedWithoutRemoteHost()
{
    QFETCH(QString, remoteHost);
    if (!remoteHost.isNull())
        control<Winsock>(*w, "Winsock")->setRemoteHost(remoteHost);
    setSendText(*w, QStringLiteral("kept"));
    press(control<QPushButton>(*w, "cmdSendData"));
    QCOMPARE(panelText(*w, 1), QStringLiteral("No specified remote host!"));
    QCOMPARE(control<TextField>(*w, "txtSend")->text(), QStringLiteral("kept"));
}

void tst_Window::sendDatagram_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("datagram");

    QTest::newRow("ascii") << "hello" << QByteArray("hello");
    QTest::newRow("utf8") << QStringLiteral("h\u00e9llo \u2713")
                          << QByteArray("h\xc3\xa9llo \xe2\x9c\x93");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("two-lines") << "a\nb" << QByteArray("a\nb");
    QTest::newRow("no-break-space") << QStringLiteral("a\u00a0b")
                                    << QByteArray("a\xc2\xa0"
                                                  "b");
}

void tst_Window::sendDatagram()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, datagram);

    setSendText(*w, text);
    press(control<QPushButton>(*w, "cmdSendData")); // refused: no remote host yet
    QCOMPARE(panelText(*w, 1), QStringLiteral("No specified remote host!"));

    typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), QStringLiteral("127.0.0.1"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), QString::number(peer.localPort()));
    press(control<QPushButton>(*w, "cmdApply"));
    press(control<QPushButton>(*w, "cmdSendData"));
    QCOMPARE(panelText(*w, 1), QString());
    QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingDatagrams(), 10000);
    const QNetworkDatagram received = peer.receiveDatagram();
    QCOMPARE(received.data(), datagram);
    QCOMPARE(received.senderPort(), int(windowPort));
    QVERIFY(!peer.hasPendingDatagrams());
    QCOMPARE(control<TextField>(*w, "txtSend")->text(), text);
}

void tst_Window::sendRefusedWithoutTcpConnection()
{
    press(control<QRadioButton>(*w, "optTCP"));
    QCOMPARE(control<Winsock>(*w, "Winsock")->Protocol(), Winsock::TCP);
    setSendText(*w, QStringLiteral("kept"));
    press(control<QPushButton>(*w, "cmdSendData"));
    QCOMPARE(panelText(*w, 1), QStringLiteral("No avaiable connection..."));
    QCOMPARE(control<TextField>(*w, "txtSend")->text(), QStringLiteral("kept"));
}

QByteArray tst_Window::sendToPeer()
{
    typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), QStringLiteral("127.0.0.1"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), QString::number(peer.localPort()));
    press(control<QPushButton>(*w, "cmdApply"));
    press(control<QPushButton>(*w, "cmdSendData"));
    if (!panelText(*w, 1).isEmpty()
        || !QTest::qWaitFor([this] { return peer.hasPendingDatagrams(); }, 10000))
        return {};
    return peer.receiveDatagram().data();
}

namespace {

// Keys that type the text, one character at a time, as a keyboard or an
// input method hands them over; QTest's own key clicks take Latin-1 only.
class TypedText final : public QTestEvent
{
public:
    explicit TypedText(QString text)
        : m_text(std::move(text))
    { }
    void simulate(QWidget *widget) override
    {
        for (qsizetype i = 0; i < m_text.size(); ++i) {
            const qsizetype units = m_text.at(i).isHighSurrogate() ? 2 : 1;
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, m_text.mid(i, units),
                                Qt::NoModifier);
            i += units - 1;
        }
    }
    QTestEvent *clone() const override { return new TypedText(*this); }

private:
    QString m_text;
};

} // namespace

void tst_Window::sendTypedKeys_data()
{
    QTest::addColumn<QTestEventList>("keys");
    QTest::addColumn<QByteArray>("datagram");

    const auto keys = [](const QString &before, Qt::Key key, Qt::KeyboardModifiers modifiers,
                         const QString &after) {
        QTestEventList events;
        events.append(new TypedText(before));
        events.addKeyClick(key, modifiers);
        events.append(new TypedText(after));
        return events;
    };
    // Every way of ending a line puts a line feed in the text: never a
    // paragraph mark or U+2028, which would go out as E2 80 A8.
    QTest::newRow("enter") << keys("a", Qt::Key_Return, {}, "b") << QByteArray("a\nb");
    QTest::newRow("shift-enter") << keys("a", Qt::Key_Return, Qt::ShiftModifier, "b")
                                 << QByteArray("a\nb");
    QTest::newRow("keypad-enter") << keys("a", Qt::Key_Enter, Qt::KeypadModifier, "b")
                                  << QByteArray("a\nb");
    QTest::newRow("shift-keypad-enter")
            << keys("a", Qt::Key_Enter, Qt::KeypadModifier | Qt::ShiftModifier, "b")
            << QByteArray("a\nb");
    QTest::newRow("enter-at-start") << keys("", Qt::Key_Return, {}, "x") << QByteArray("\nx");
    QTest::newRow("shift-enter-at-end")
            << keys("x", Qt::Key_Return, Qt::ShiftModifier, "") << QByteArray("x\n");
    QTest::newRow("tab-not-typed") << keys("a", Qt::Key_Tab, {}, "") << QByteArray("a");
    QTest::newRow("backspace") << keys("ab", Qt::Key_Backspace, {}, "c") << QByteArray("ac");
    // Typed characters go out as UTF-8: two, three and four bytes each.
    QTest::newRow("non-ascii") << keys(QStringLiteral("caf\u00e9"), Qt::Key_Return,
                                       Qt::ShiftModifier, QStringLiteral("\u2713\U0001F600"))
                               << QByteArray("caf\xc3\xa9\n\xe2\x9c\x93\xf0\x9f\x98\x80");
    QTest::newRow("backspace-after-emoji")
            << keys(QStringLiteral("a\U0001F600"), Qt::Key_Backspace, {}, "b") << QByteArray("ab");
}

void tst_Window::sendTypedKeys()
{
    QFETCH(QTestEventList, keys);
    QFETCH(QByteArray, datagram);

    w->activateWindow();
    control<TextField>(*w, "txtSend")->setFocus();
    keys.simulate(control<TextField>(*w, "txtSend"));
    QCOMPARE(sendToPeer(), datagram);
    QCOMPARE(control<TextField>(*w, "txtSend")->text().toUtf8(), datagram);
}

void tst_Window::sendDatagramSize_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("sent");

    // The limit is in bytes of UTF-8, not in characters of the box.
    constexpr qsizetype largest = 65507;
    QTest::newRow("ascii-largest") << QString(largest, u'x') << true;
    QTest::newRow("ascii-one-more") << QString(largest + 1, u'x') << false;
    QTest::newRow("cyrillic-under") << QString(largest / 2, u'\u0436') << true;
    QTest::newRow("cyrillic-over") << QString(largest / 2 + 1, u'\u0436') << false;
    QTest::newRow("megabyte-line") << QString(qsizetype(1) << 20, u'f') << false;
}

void tst_Window::sendDatagramSize()
{
    QFETCH(QString, text);
    QFETCH(bool, sent);

    setSendText(*w, text);
    typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), QStringLiteral("127.0.0.1"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), QString::number(peer.localPort()));
    press(control<QPushButton>(*w, "cmdApply"));
    press(control<QPushButton>(*w, "cmdSendData"));
    if (sent) {
        QCOMPARE(panelText(*w, 1), QString());
        QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingDatagrams(), 10000);
        QVERIFY(peer.receiveDatagram().data() == text.toUtf8());
    } else {
        // Refused whole, said in panel 1, and the box keeps the text.
        QVERIFY2(panelText(*w, 1).startsWith(u"Send Data failed: "), qPrintable(panelText(*w, 1)));
        QVERIFY(!peer.hasPendingDatagrams());
    }
    QCOMPARE(control<TextField>(*w, "txtSend")->length(), text.size());
}

void tst_Window::receive_data()
{
    // Each piece is one datagram; a leading '#' means HEX Display is ticked for it.
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QString>("shown");

    using Pieces = QList<QByteArray>;
    QTest::newRow("text") << Pieces { "abc" } << "abc";
    QTest::newRow("text-two-pieces") << Pieces { "abc", "def" } << "abcdef";
    QTest::newRow("hex") << Pieces { "#abc" } << "UDP IN  (0003) : 61 62 63 \r\n";
    QTest::newRow("text-then-hex") << Pieces { "abc", "#d" } << "abcUDP IN  (0001) : 64 \r\n";
    QTest::newRow("hex-then-text") << Pieces { "#d", "abc" } << "UDP IN  (0001) : 64 \r\nabc";
    QTest::newRow("cr-lf-split") << Pieces { "ab\r", "\ncd" } << "ab\r\ncd";
    QTest::newRow("lf-not-after-cr") << Pieces { "ab", "\ncd" } << "ab\ncd";
    QTest::newRow("nul-byte") << Pieces { QByteArray("a\0b", 3), "c" }
                              << QString::fromUtf8(QByteArray("a\0bc", 4));
    QTest::newRow("utf8") << Pieces { "h\xc3\xa9llo \xe2\x9c\x93" }
                          << QStringLiteral("h\u00e9llo \u2713");
}

void tst_Window::receive()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QString, shown);

    for (const QByteArray &piece : pieces) {
        const bool hex = piece.startsWith('#');
        setTicked(control<QCheckBox>(*w, "chkHexDISP"), hex);
        QVERIFY(arrive(hex ? piece.sliced(1) : piece));
    }
    QCOMPARE(control<TextField>(*w, "txtReceive")->text(), shown);
    QCOMPARE(panelText(*w, 1), QString());
}

void tst_Window::caretAfterArrival()
{
    QTest::keyClicks(control<TextField>(*w, "txtReceive"), QStringLiteral("old"));
    QTest::keyClick(control<TextField>(*w, "txtReceive"), Qt::Key_A, Qt::ControlModifier);
    QVERIFY(control<TextField>(*w, "txtReceive")->hasSelection());
    QVERIFY(arrive("abc"));
    // The caret goes to the end with nothing selected, and typing goes on there.
    QVERIFY(!control<TextField>(*w, "txtReceive")->hasSelection());
    QCOMPARE(control<TextField>(*w, "txtReceive")->cursorPosition(),
             control<TextField>(*w, "txtReceive")->length());
    QTest::keyClick(control<TextField>(*w, "txtReceive"), Qt::Key_X);
    QCOMPARE(control<TextField>(*w, "txtReceive")->text(), QStringLiteral("oldabcx"));
}

void tst_Window::clearEmptiesTheLog()
{
    QVERIFY(arrive("ab\r"));
    press(control<QPushButton>(*w, "cmdClear"));
    QCOMPARE(control<TextField>(*w, "txtReceive")->text(), QString());
    QCOMPARE(control<TextField>(*w, "txtReceive")->length(), 0);
    // What came before the Clear no longer joins a line break.
    QVERIFY(arrive("\ncd"));
    QCOMPARE(control<TextField>(*w, "txtReceive")->text(), QStringLiteral("\ncd"));
}

void tst_Window::largeHexRecord()
{
    QByteArray bytes(40000, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i % 251);
    setTicked(control<QCheckBox>(*w, "chkHexDISP"), true);
    QVERIFY(arrive(bytes));

    QCOMPARE(panelText(*w, 1), QString());
    const QString shown = control<TextField>(*w, "txtReceive")->text();
    QVERIFY(shown.startsWith(QStringLiteral("UDP IN  (9C40) : 00 01 02 ")));
    // 2500 lines of 16 cells, each line 17 columns of header or indent and a break.
    QCOMPARE(shown.size(), qsizetype(2500 * (17 + 16 * 3 + 2)));
    QCOMPARE(shown.count(QStringLiteral("\r\n")), 2500);
    // The last line holds bytes 39984 to 39999 (4B to 5A), indented to the header's width.
    QVERIFY(shown.endsWith(QStringLiteral("\r\n                 4B 4C 4D 4E 4F 50 51 52 53 54 55 "
                                          "56 57 58 59 5A \r\n")));
}

void tst_Window::fullLogRefusesArrival()
{
    // Two characters short of full, then an arrival that exactly fills it.
    QVERIFY(fillLog(control<TextField>(*w, "txtReceive"), TextStore::Limits {}.capacity - 2));
    QVERIFY(arrive("ab"));
    QCOMPARE(panelText(*w, 1), QString());
    QCOMPARE(control<TextField>(*w, "txtReceive")->length(), TextStore::Limits {}.capacity);
    QCOMPARE(
            control<TextField>(*w, "txtReceive")
                    ->textBetween(TextStore::Limits {}.capacity - 3, TextStore::Limits {}.capacity),
            QStringLiteral("yab"));

    QVERIFY(arrive("c"));
    QCOMPARE(panelText(*w, 1), QStringLiteral("Failed to get remote data..."));
    QCOMPARE(control<TextField>(*w, "txtReceive")->length(), TextStore::Limits {}.capacity);

    // Once one arrival is dropped, none is taken until Clear: a later piece
    // would read on as if nothing had been lost.
    press(control<QPushButton>(*w, "cmdClear"));
    QVERIFY(arrive("after"));
    QCOMPARE(control<TextField>(*w, "txtReceive")->text(), QStringLiteral("after"));
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
