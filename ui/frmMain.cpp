#include "ui/frmMain.h"

#include "capture/CaptureFile.h"
#include "field/widget/TextField.h"
#include "log/ReceiveLog.h"
#include "net/FileSend.h"
#include "net/Winsock.h"
#include "strips/RepeatStrip.h"
#include "strips/ReplyStrip.h"
#include "strips/SendFileStrip.h"
#include "strips/TlsStrip.h"
#include "strips/TrafficStrip.h"
#include "ui/StatusBar.h"
#include "ui/artwork.h"
#include "ui/fieldLooks.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QActionGroup>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <array>
#include <limits>

namespace {

// The layout is written in twips: 15 twips make one pixel at 96 dpi.
constexpr int px(int twips)
{
    return twips / 15;
}

template<typename Control>
Control *place(QWidget *container, const char *name, int left, int top, int width, int height)
{
    auto *control = new Control(container);
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(px(left), px(top), px(width), px(height));
    return control;
}

QGroupBox *groupBox(QWidget *container, const char *name, const QString &title, int left, int top,
                    int width, int height)
{
    auto *box = place<QGroupBox>(container, name, left, top, width, height);
    box->setTitle(title);
    return box;
}

// Labels size themselves to their caption; only their corner is fixed.
QLabel *label(QWidget *container, const char *name, const QString &caption, int left, int top)
{
    auto *control = place<QLabel>(container, name, left, top, 0, 0);
    control->setText(caption);
    control->adjustSize();
    return control;
}

QLineEdit *textField(QWidget *container, const char *name, int left, int top, int width, int height,
                     bool locked)
{
    auto *field = place<QLineEdit>(container, name, left, top, width, height);
    // Qt would otherwise cut pasted text at 32,767 characters without a word.
    field->setMaxLength(std::numeric_limits<int>::max());
    setBackColor(field, locked ? lockedLook : editableLook);
    setForeColor(field, fieldText);
    setLocked(field, locked);
    return field;
}

// Both multi-line fields wrap at their width with the vertical scroll bar
// always shown, and leave Tab to move the focus.
TextField *multiLineField(QWidget *container, const char *name, int left, int top, int width,
                          int height)
{
    auto *field = place<TextField>(container, name, left, top, width, height);
    setBackColor(field, editableLook);
    setForeColor(field, fieldText);
    return field;
}

QRadioButton *choice(QWidget *container, const char *name, const QString &caption, int left,
                     int top, int width, int height, bool selected)
{
    auto *button = place<QRadioButton>(container, name, left, top, width, height);
    button->setText(caption);
    button->setChecked(selected);
    return button;
}

QPushButton *button(QWidget *container, const char *name, const QString &caption, int left, int top,
                    int width, int height)
{
    auto *control = place<QPushButton>(container, name, left, top, width, height);
    control->setText(caption);
    control->setAutoDefault(false);
    control->setDefault(false);
    return control;
}

QCheckBox *checkBox(QWidget *container, const char *name, const QString &caption, int left, int top,
                    int width, int height)
{
    auto *box = place<QCheckBox>(container, name, left, top, width, height);
    box->setText(caption);
    return box;
}

QLabel *image(QWidget *container, const char *name, const QPixmap &picture, int left, int top,
              int width, int height)
{
    auto *control = place<QLabel>(container, name, left, top, width, height);
    control->setPixmap(picture);
    control->setScaledContents(true); // fills the control, proportions not kept
    return control;
}

// One font for every control but Label7, the same on every platform: at 8 pt
// it fits every caption in the width the layout gives it (the toolkit's usual
// 9 pt does not: "Remote Host Port" overflows its label), and its digits are
// 6 px wide, so five show whole in the 35 px bound-port field. Liberation Sans
// has Arial's metrics, so the window is laid out alike where only Arial exists.
QFont dialogFont()
{
    QFont font;
    font.setFamilies({ QStringLiteral("Liberation Sans"), QStringLiteral("Arial") });
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

QFont displayFont()
{
    QFont font;
    font.setFamilies({ QStringLiteral("Impact"), QStringLiteral("Anton"),
                       QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans") });
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(26.25);
    font.setBold(true);
    return font;
}

// The window as assistive tools see it: a window, without the two pictures,
// which only decorate (the title over the banner is text of its own).
class WindowAccessible final : public QAccessibleWidget
{
public:
    explicit WindowAccessible(frmMain *window)
        : QAccessibleWidget(window, QAccessible::Window)
    { }

    int childCount() const override { return int(shownChildren().size()); }

    QAccessibleInterface *child(int index) const override
    {
        const QList<QWidget *> children = shownChildren();
        if (index < 0 || index >= children.size())
            return nullptr;
        return QAccessible::queryAccessibleInterface(children.at(index));
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (!child)
            return -1;
        return int(shownChildren().indexOf(qobject_cast<QWidget *>(child->object())));
    }

private:
    // The two banner pictures say nothing a reader needs.
    static bool isPictureOnly(const QWidget *child)
    {
        return child->objectName() == QLatin1String("ImgLogo2")
               || child->objectName() == QLatin1String("imgLogl");
    }

    QList<QWidget *> shownChildren() const
    {
        const QWidget *window = widget();
        QList<QWidget *> children;
        for (QObject *object : window->children()) {
            auto *child = qobject_cast<QWidget *>(object);
            if (child && !child->isWindow() && !isPictureOnly(child))
                children.append(child);
        }
        return children;
    }
};

QAccessibleInterface *windowAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("frmMain"))
        if (auto *window = qobject_cast<frmMain *>(object))
            return new WindowAccessible(window);
    return nullptr;
}

} // namespace

frmMain::frmMain(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                              | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    // Before the first change notice about the window makes its interface.
    QAccessible::installFactory(windowAccessible);
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tarvik (ver 1.10)"));
    setWindowIcon(QIcon(drawIcon()));
    setFont(dialogFont());
    setFixedSize(px(12465), px(9300));

    createControls();
    setTabOrder();
    describeForAssistiveTools();
    connectEvents();
    LocalHostInfoRefreshTimer->start();

    Form_Load();

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    txtReceive->setFocus();
}

frmMain::~frmMain()
{
    // The capture ends before the endpoint, whose close it would record, and
    // a file's send before the endpoint it hands its pieces.
    delete capture;
    delete fileSend;
}

void frmMain::createControls()
{
    Winsock = new ::Winsock(this);
    Winsock->setObjectName(QStringLiteral("Winsock"));

    Frame4 = groupBox(this, "Frame4", QStringLiteral("Properties"), 7950, 2640, 4395, 2265);
    optClient = choice(Frame4, "optClient", QStringLiteral("Client"), 2910, 1770, 1245, 315, false);
    optServer = choice(Frame4, "optServer", QStringLiteral("Server"), 1590, 1770, 1245, 315, true);
    Frame5 = groupBox(Frame4, "Frame5", QStringLiteral("Protocol"), 2880, 630, 1305, 975);
    optTCP = choice(Frame5, "optTCP", QStringLiteral("TCP"), 240, 570, 855, 255, false);
    optUDP = choice(Frame5, "optUDP", QStringLiteral("UDP"), 240, 270, 855, 255, true);
    // Explicit groups: Qt's automatic exclusivity also looks into nested boxes
    // and could clear the selected protocol when a role is chosen.
    for (const auto &members :
         { std::array { optUDP, optTCP }, std::array { optServer, optClient } }) {
        auto *group = new QButtonGroup(this);
        for (QRadioButton *option : members)
            group->addButton(option);
    }
    cmdApply = button(Frame4, "cmdApply", QStringLiteral("Apply"), 240, 1770, 1275, 315);
    txtLocalHostPortSet = textField(Frame4, "txtLocalHostPortSet", 1740, 1200, 945, 270, false);
    txtRemoteHostPort = textField(Frame4, "txtRemoteHostPort", 1740, 750, 945, 270, false);
    txtRemoteHostIP = textField(Frame4, "txtRemoteHostIP", 1740, 300, 2445, 270, false);
    Label6 = label(Frame4, "Label6", QStringLiteral("Local Host Port"), 180, 1230);
    Label5 = label(Frame4, "Label5", QStringLiteral("Remote Host Port"), 150, 780);
    Label4 = label(Frame4, "Label4", QStringLiteral("Remote Host IP"), 150, 330);

    frame3 = groupBox(this, "frame3", QStringLiteral("Info"), 7950, 1350, 4395, 1215);
    LocalHostInfoRefreshTimer = new QTimer(frame3);
    LocalHostInfoRefreshTimer->setObjectName(QStringLiteral("LocalHostInfoRefreshTimer"));
    LocalHostInfoRefreshTimer->setInterval(1000);
    txtLocalHostPort = textField(frame3, "txtLocalHostPort", 3660, 750, 525, 270, true);
    txtLocalHostIP = textField(frame3, "txtLocalHostIP", 1740, 750, 1815, 270, true);
    txtLocalHostName = textField(frame3, "txtLocalHostName", 1740, 270, 2445, 270, true);
    for (QLineEdit *info : { txtLocalHostPort, txtLocalHostIP, txtLocalHostName })
        info->setText(QStringLiteral("Text1"));
    // Qt keeps 2 px between the frame and the text; taking them back on each
    // side gives "65535" the room it needs where hinting widens the digits
    // (31 px on Linux). A port never scrolls, and the digits' own side
    // bearings keep them off the frame.
    txtLocalHostPort->setTextMargins(-2, 0, -2, 0);
    Label2 = label(frame3, "Label2", QStringLiteral("Local Host IP"), 150, 780);
    Label1 = label(frame3, "Label1", QStringLiteral("Local Host Name"), 150, 300);

    StatusBar = place<::StatusBar>(this, "StatusBar", 0, 8925, 12465, 375);

    Frame2 = groupBox(this, "Frame2", QStringLiteral("Send"), 120, 6000, 7695, 2745);
    cmdSendData = button(Frame2, "cmdSendData", QStringLiteral("Send Data"), 6060, 2190, 1395, 345);
    chkHex = checkBox(Frame2, "chkHex", QStringLiteral("HEX Value"), 180, 2220, 1065, 315);
    chkHex->hide();
    txtSend = multiLineField(Frame2, "txtSend", 180, 300, 7395, 1755);
    sendRepeat = new RepeatStrip(txtSend, [this] { return repeatSendData(); });
    fileSend = new FileSend(Winsock, this);
    sendFileStrip = new SendFileStrip(
            txtSend,
            [this](const QString &path, qint64 pieceBytes, double everyMs) {
                QString refused;
                if (!guarded("Send File",
                             [&] { refused = startSendFile(path, pieceBytes, everyMs); }))
                    return StatusBar->panelText(1);
                return refused;
            },
            [this] { fileSend->stop(); });
    mnuSendAsHex = new QAction(QStringLiteral("Send as Hex"), this);
    mnuSendAsHex->setObjectName(QStringLiteral("mnuSendAsHex"));
    mnuSendAsHex->setCheckable(true);
    mnuLineEnds = new QMenu(QStringLiteral("Line Ends"), this);
    mnuLineEnds->setObjectName(QStringLiteral("mnuLineEnds"));
    auto *lineEnds = new QActionGroup(mnuLineEnds);
    for (const auto &[caption, end] :
         { std::pair { "LF", LineEnd::Lf }, std::pair { "CR LF", LineEnd::CrLf },
           std::pair { "CR", LineEnd::Cr } }) {
        QAction *choice = mnuLineEnds->addAction(QString::fromLatin1(caption));
        choice->setCheckable(true);
        choice->setChecked(end == sendLineEnd);
        lineEnds->addAction(choice);
        connect(choice, &QAction::triggered, this, [this, end = end] {
            guarded("Line Ends", [this, end] { mnuLineEnds_Click(end); });
        });
    }
    // Send as Hex stays the menu's last item, where it has always been.
    txtSend->addMenuAction(mnuLineEnds->menuAction());
    txtSend->addMenuAction(mnuSendAsHex);

    Frame1 = groupBox(this, "Frame1", QStringLiteral("Receive"), 120, 1350, 7695, 4605);
    chkHexDISP
            = checkBox(Frame1, "chkHexDISP", QStringLiteral("HEX Display"), 180, 4080, 1275, 315);
    cmdClear = button(Frame1, "cmdClear", QStringLiteral("Clear"), 6510, 4080, 1005, 345);
    txtReceive = multiLineField(Frame1, "txtReceive", 180, 240, 7395, 3735);
    receiveLog = new ReceiveLog(txtReceive);
    autoReply = new ReplyStrip(txtReceive);
    tlsSettings = new TlsStrip(txtReceive, txtSend);
    trafficStrip = new TrafficStrip(txtReceive);

    Label3 = label(this, "Label3", QStringLiteral("Hand-driven TCP and UDP link tester"), 9120,
                   1050);
    Label7 = label(this, "Label7", QString(), 8940, 270);
    Label7->setFont(displayFont());
    Label7->setText(QStringLiteral("Tarvik"));
    Label7->adjustSize();
    setForeColor(Label7, decorativeText);
    ImgLogo2 = image(this, "ImgLogo2", drawBanner(), 60, 120, 12420, 1185);
    imgLogl = image(this, "imgLogl", drawSidePicture(), 7980, 5100, 4350, 3630);
    // The two labels lie over the banner and are drawn above it.
    Label3->raise();
    Label7->raise();
    for (QLabel *decorative : { Label3, Label7 })
        decorative->setAttribute(Qt::WA_TranslucentBackground);
}

void frmMain::setTabOrder()
{
    // Tab visits the controls that take the focus in this order; each group
    // of choices is one stop, on its selected member.
    const QWidget *chain[] = { txtReceive,          txtLocalHostName, txtLocalHostIP,
                               txtLocalHostPort,    txtSend,          chkHex,
                               cmdSendData,         txtRemoteHostIP,  txtRemoteHostPort,
                               txtLocalHostPortSet, cmdApply,         cmdClear,
                               chkHexDISP,          optUDP,           optTCP,
                               optServer,           optClient };
    for (size_t i = 1; i < std::size(chain); ++i)
        QWidget::setTabOrder(const_cast<QWidget *>(chain[i - 1]), const_cast<QWidget *>(chain[i]));
    // Qt enters a group of choices at its first member; we want the selected one.
    for (QRadioButton *option : { optUDP, optTCP, optServer, optClient })
        option->installEventFilter(this);
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusIn) {
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        auto *option = qobject_cast<QRadioButton *>(watched);
        if (option && !option->isChecked()
            && (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason)) {
            const auto siblings = option->parentWidget()->findChildren<QRadioButton *>(
                    QString(), Qt::FindDirectChildrenOnly);
            for (QRadioButton *sibling : siblings) {
                if (sibling->isChecked() && sibling->isVisibleTo(this) && sibling->isEnabled()) {
                    sibling->setFocus(reason);
                    break;
                }
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void frmMain::connectEvents()
{
    connect(LocalHostInfoRefreshTimer, &QTimer::timeout, this, [this] {
        guarded("Refreshing host information", [this] { LocalHostInfoRefreshTimer_Timer(); });
    });

    // A choice's handler runs once the group has moved the selection to it.
    const auto onSelected = [this](QRadioButton *option, const char *operation,
                                   void (frmMain::*handler)()) {
        connect(option, &QRadioButton::toggled, this, [this, operation, handler](bool selected) {
            if (selected)
                guardedLink(operation, [this, handler] { (this->*handler)(); });
        });
    };
    onSelected(optUDP, "Selecting UDP", &frmMain::optUDP_Click);
    onSelected(optTCP, "Selecting TCP", &frmMain::optTCP_Click);
    onSelected(optServer, "Selecting Server", &frmMain::optServer_Click);
    onSelected(optClient, "Selecting Client", &frmMain::optClient_Click);

    connect(cmdApply, &QPushButton::clicked, this,
            [this] { guardedLink("Apply", [this] { cmdApply_Click(); }); });
    connect(cmdSendData, &QPushButton::clicked, this,
            [this] { guarded("Send Data", [this] { cmdSendData_Click(); }); });
    connect(mnuSendAsHex, &QAction::toggled, this,
            [this](bool on) { guarded("Send as Hex", [this, on] { mnuSendAsHex_Click(on); }); });
    connect(cmdClear, &QPushButton::clicked, this,
            [this] { guarded("Clear", [this] { cmdClear_Click(); }); });
    connect(receiveLog, &ReceiveLog::saveAsRequested, this,
            [this] { guarded("Save", [this] { txtReceive_SaveAs(); }); });
    connect(receiveLog, &ReceiveLog::captureRequested, this,
            [this] { guarded("Capture", [this] { txtReceive_Capture(); }); });

    connect(Winsock, &::Winsock::ConnectionRequestEvent, this, [this](int requestId) {
        guarded("Accepting a client", [this, requestId] { Winsock_ConnectionRequest(requestId); });
    });
    connect(Winsock, &::Winsock::ConnectEvent, this,
            [this] { guarded("Connecting", [this] { Winsock_Connect(); }); });
    connect(Winsock, &::Winsock::CloseEvent, this, [this] {
        guarded("Disconnecting", [this] {
            showCharacterCutByClose();
            Winsock_Close();
        });
    });
    connect(Winsock, &::Winsock::ResetEvent, this, [this](qint64 unsentBytes, bool atLeast) {
        guarded("Disconnecting", [&] { Winsock_Reset(unsentBytes, atLeast); });
    });
    connect(Winsock, &::Winsock::DatagramsDroppedEvent, this,
            [this](quint64 backlog, quint64 bySystem) {
                guarded("Receiving data", [&] { Winsock_DatagramsDropped(backlog, bySystem); });
            });
    connect(Winsock, &::Winsock::DataArrivalEvent, this, [this](int bytesTotal) {
        guarded(
                "Receiving data", [this, bytesTotal] { Winsock_DataArrival(bytesTotal); },
                arrivalFailedText());
    });
    connect(Winsock, &::Winsock::GroupChangedEvent, this, &frmMain::Winsock_GroupChanged);
    connect(Winsock, &::Winsock::SendFailedEvent, this, [this](const QString &reason) {
        setPanelText(1, QStringLiteral("Send Data failed: %1").arg(reason));
    });
    connectStrips();
    connectTls();
    connectSendFile();
}

void frmMain::setPanelText(int panel, const QString &text)
{
    StatusBar->setPanelText(panel, text);
}

void frmMain::applyTransportRules()
{
    // Apply rule
    const bool udp = optUDP->isChecked();
    cmdApply->setEnabled(udp);
    cmdApply->setVisible(udp);
    // Role rule
    const bool tcp = optTCP->isChecked();
    for (QRadioButton *role : { optServer, optClient }) {
        role->setEnabled(tcp);
        role->setVisible(tcp);
    }
}

void frmMain::clearChoice(QRadioButton *choice)
{
    // An exclusive group ignores unchecking its checked member.
    QButtonGroup *group = choice->group();
    group->setExclusive(false);
    choice->setChecked(false);
    group->setExclusive(true);
}

// Names for the controls whose caption does not say what they are, and the
// order a screen reader reads them in.
void frmMain::describeForAssistiveTools()
{
    // A label names the field it is the buddy of.
    Label1->setBuddy(txtLocalHostName);
    Label2->setBuddy(txtLocalHostIP);
    Label4->setBuddy(txtRemoteHostIP);
    Label5->setBuddy(txtRemoteHostPort);
    Label6->setBuddy(txtLocalHostPortSet);
    // No label beside these; "Local Host Port" already names the field to set.
    txtLocalHostPort->setAccessibleName(QStringLiteral("Bound Local Port"));
    txtSend->setAccessibleName(QStringLiteral("Send"));
    txtReceive->setAccessibleName(QStringLiteral("Receive"));
    // Qt names a group box inside another after the outer one's title.
    Frame5->setAccessibleName(Frame5->title());

    // Siblings are read in stacking order: put each container's controls in
    // tab order, every label just before its field. Only the banner overlaps
    // anything (the title lies on it), and it stays at the bottom.
    const auto inReadingOrder = [](std::initializer_list<QWidget *> controls) {
        for (QWidget *control : controls)
            control->raise();
    };
    inReadingOrder(
            { ImgLogo2, Label7, Label3, Frame1, frame3, Frame2, Frame4, imgLogl, StatusBar });
    inReadingOrder({ txtReceive, cmdClear, chkHexDISP });
    inReadingOrder({ Label1, txtLocalHostName, Label2, txtLocalHostIP, txtLocalHostPort });
    inReadingOrder({ txtSend, chkHex, cmdSendData });
    inReadingOrder({ Label4, txtRemoteHostIP, Label5, txtRemoteHostPort, Label6,
                     txtLocalHostPortSet, cmdApply, optServer, optClient, Frame5 });
    inReadingOrder({ optUDP, optTCP });

    // Tab stops on a group's selected choice (its first, when none is) and
    // skips the others. Entering on another member and passing the focus on,
    // as frmMain::eventFilter does, leaves a screen reader naming the member
    // that was passed over: Qt reports the focus to it after the handover.
    for (const auto group :
         { std::array { optUDP, optTCP }, std::array { optServer, optClient } }) {
        const auto fitStops = [group] {
            const auto selected
                    = std::find_if(group.begin(), group.end(),
                                   [](QRadioButton *option) { return option->isChecked(); });
            const QRadioButton *stop = selected != group.end() ? *selected : group.front();
            for (QRadioButton *option : group)
                option->setFocusPolicy(option == stop ? Qt::StrongFocus : Qt::ClickFocus);
        };
        for (QRadioButton *option : group)
            QObject::connect(option, &QRadioButton::toggled, this, fitStops);
        fitStops();
    }
}
