// The notice bridge below is registered as a plugin built into this program.
#define QT_STATICPLUGIN

#include "peer.h"
#include "windowControls.h"
#include "windowPort.h"

#include "field/widget/TextField.h"
#include "ui/StatusBar.h"
#include "ui/frmMain.h"

#include <QAccessible>
#include <QAccessibleBridge>
#include <QAccessibleBridgePlugin>
#include <QApplication>
#include <QHash>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPointer>
#include <QRadioButton>
#include <QTest>
#include <QUdpSocket>
#include <QtPlugin>

#include <algorithm>
#include <memory>

namespace {

// What a screen reader would have been told, kept by the bridge below.
struct Notice
{
    QPointer<QObject> object;
    QAccessible::Event type;
    QString name;   // of the object, when the notice was sent
    QString change; // text notices only: "<position>:<text>", "<position>:<old>/<new>"
};
QList<Notice> notices;

void keepNotice(QAccessibleEvent *event)
{
    Notice notice { event->object(), event->type(), QString(), QString() };
    if (QAccessibleInterface *iface = event->accessibleInterface())
        notice.name = iface->text(QAccessible::Name);
    if (event->type() == QAccessible::TextInserted) {
        const auto *insert = static_cast<QAccessibleTextInsertEvent *>(event);
        notice.change
                = QStringLiteral("%1:%2").arg(insert->changePosition()).arg(insert->textInserted());
    } else if (event->type() == QAccessible::TextRemoved) {
        const auto *remove = static_cast<QAccessibleTextRemoveEvent *>(event);
        notice.change
                = QStringLiteral("%1:%2").arg(remove->changePosition()).arg(remove->textRemoved());
    } else if (event->type() == QAccessible::TextUpdated) {
        const auto *update = static_cast<QAccessibleTextUpdateEvent *>(event);
        notice.change = QStringLiteral("%1:%2/%3")
                                .arg(update->changePosition())
                                .arg(update->textRemoved(), update->textInserted());
    } else if (event->type() == QAccessible::TextCaretMoved) {
        notice.change = QString::number(
                static_cast<QAccessibleTextCursorEvent *>(event)->cursorPosition());
    }
    notices.append(notice);
}

// Without a screen reader Qt is not "active" and hands no notice to an update
// handler, but it still passes every one to the accessibility bridges.
class NoticeBridge final : public QAccessibleBridge
{
public:
    void setRootObject(QAccessibleInterface *) override { }
    void notifyAccessibilityUpdate(QAccessibleEvent *event) override { keepNotice(event); }
};

} // namespace

class NoticeBridgePlugin final : public QAccessibleBridgePlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QAccessibleBridgeFactoryInterface_iid FILE "tst_accessibility.json")

public:
    QAccessibleBridge *create(const QString &) override
    {
        // Qt owns the bridge but the offscreen platform never cleans it up;
        // keeping it reachable tells the leak checker it is not lost.
        static NoticeBridge *bridge = nullptr;
        return bridge = new NoticeBridge;
    }
};
Q_IMPORT_PLUGIN(NoticeBridgePlugin)

namespace {

QStringList noticesOf(QAccessible::Event type, QObject *object = nullptr)
{
    QStringList said;
    for (const Notice &notice : std::as_const(notices)) {
        if (notice.type == type && (!object || notice.object == object))
            said.append(notice.change.isNull() ? notice.name : notice.change);
    }
    return said;
}

// Every interface below the window, depth first: the order a reader walks it.
void walk(QAccessibleInterface *iface, QList<QAccessibleInterface *> &into, int depth = 0)
{
    QVERIFY2(depth < 10, "the tree is deeper than the window's layout");
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface *child = iface->child(i);
        QVERIFY(child);
        QCOMPARE(child->parent(), iface);
        QCOMPARE(iface->indexOfChild(child), i);
        into.append(child);
        walk(child, into, depth + 1);
    }
}

struct FocusAccess : QWidget
{
    static bool next(QWidget *window)
    {
        return (window->*static_cast<bool (QWidget::*)(bool)>(&FocusAccess::focusNextPrevChild))(
                true);
    }
};

} // namespace

class tst_Accessibility : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void namesAndRoles_data();
    void namesAndRoles();
    void decorativePicturesLeftOut();
    void tabOrderAsHeard_data();
    void tabOrderAsHeard();
    void readingOrderFollowsTabOrder();
    void statusPanelsAnnounced_data();
    void statusPanelsAnnounced();
    void arrivalsAnnouncedWithoutFlooding();
    void nulReadsAsStandIn_data();
    void nulReadsAsStandIn();
    void nulStandInInNotices();
    void smallLogSeenWhole();
    void largeLogSeenThroughWindow_data();
    void largeLogSeenThroughWindow();
    void windowMovesAreTold();
    void extentsOnlyOfWhatIsShown_data();
    void extentsOnlyOfWhatIsShown();

private:
    QList<QAccessibleInterface *> tree();
    QAccessibleInterface *find(const QString &objectName);

    std::unique_ptr<frmMain> w;
};

void tst_Accessibility::initTestCase()
{
    QApplication::setStyle(QStringLiteral("Fusion"));
}

void tst_Accessibility::init()
{
    w = std::make_unique<frmMain>();
    // Off port 1000, so a TCP role can start without root.
    QVERIFY(applyUdpPort(*w) != 0);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    notices.clear();
}

void tst_Accessibility::cleanup()
{
    w.reset();
    notices.clear();
}

QList<QAccessibleInterface *> tst_Accessibility::tree()
{
    QList<QAccessibleInterface *> all;
    QAccessibleInterface *root = QAccessible::queryAccessibleInterface(w.get());
    if (root)
        walk(root, all);
    return all;
}

QAccessibleInterface *tst_Accessibility::find(const QString &objectName)
{
    const QList<QAccessibleInterface *> all = tree();
    for (QAccessibleInterface *iface : all) {
        if (iface->object() && iface->object()->objectName() == objectName)
            return iface;
    }
    return nullptr;
}

void tst_Accessibility::namesAndRoles_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QAccessible::Role>("role");
    QTest::addColumn<QString>("labelledBy"); // the label beside it, if any

    const auto row = [](const char *tag, const char *control, const char *name,
                        QAccessible::Role role, const char *label = "") {
        QTest::newRow(tag) << QString::fromLatin1(control) << QString::fromLatin1(name) << role
                           << QString::fromLatin1(label);
    };
    row("remote-ip", "txtRemoteHostIP", "Remote Host IP", QAccessible::EditableText, "Label4");
    row("remote-port", "txtRemoteHostPort", "Remote Host Port", QAccessible::EditableText,
        "Label5");
    row("port-to-set", "txtLocalHostPortSet", "Local Host Port", QAccessible::EditableText,
        "Label6");
    row("host-name", "txtLocalHostName", "Local Host Name", QAccessible::EditableText, "Label1");
    row("host-ip", "txtLocalHostIP", "Local Host IP", QAccessible::EditableText, "Label2");
    row("bound-port", "txtLocalHostPort", "Bound Local Port", QAccessible::EditableText);
    row("send-box", "txtSend", "Send", QAccessible::EditableText);
    row("receive-log", "txtReceive", "Receive", QAccessible::EditableText);
    row("apply", "cmdApply", "Apply", QAccessible::PushButton);
    row("send-data", "cmdSendData", "Send Data", QAccessible::PushButton);
    row("clear", "cmdClear", "Clear", QAccessible::PushButton);
    row("hex-display", "chkHexDISP", "HEX Display", QAccessible::CheckBox);
    row("hex-value-hidden", "chkHex", "HEX Value", QAccessible::CheckBox);
    row("udp", "optUDP", "UDP", QAccessible::RadioButton);
    row("tcp", "optTCP", "TCP", QAccessible::RadioButton);
    row("server-hidden", "optServer", "Server", QAccessible::RadioButton);
    row("client-hidden", "optClient", "Client", QAccessible::RadioButton);
    row("properties", "Frame4", "Properties", QAccessible::Grouping);
    row("nested-protocol", "Frame5", "Protocol", QAccessible::Grouping);
    row("info", "frame3", "Info", QAccessible::Grouping);
    row("send-group", "Frame2", "Send", QAccessible::Grouping);
    row("receive-group", "Frame1", "Receive", QAccessible::Grouping);
    row("title", "Label7", "Tarvik", QAccessible::StaticText);
    row("status-bar", "StatusBar", "", QAccessible::StatusBar);
    // A status panel is named by its text, empty at start-up.
    row("panel-1", "StatusBarPanel1", "", QAccessible::StaticText);
    row("panel-2", "StatusBarPanel2", "", QAccessible::StaticText);
    row("panel-3", "StatusBarPanel3", "", QAccessible::StaticText);
}

void tst_Accessibility::namesAndRoles()
{
    QFETCH(QString, control);
    QFETCH(QString, name);
    QFETCH(QAccessible::Role, role);
    QFETCH(QString, labelledBy);

    QAccessibleInterface *iface = find(control);
    QVERIFY2(iface, "not reachable from the window's interface");
    QCOMPARE(iface->text(QAccessible::Name), name);
    QCOMPARE(iface->role(), role);

    if (!labelledBy.isEmpty()) {
        const auto labels = iface->relations(QAccessible::Label);
        const bool found = std::any_of(labels.begin(), labels.end(), [&](const auto &relation) {
            return relation.second == QAccessible::Label
                   && relation.first->object()->objectName() == labelledBy;
        });
        QVERIFY2(found, "the label beside the field is not its buddy");
    }
}

void tst_Accessibility::decorativePicturesLeftOut()
{
    QAccessibleInterface *root = QAccessible::queryAccessibleInterface(w.get());
    QCOMPARE(root->role(), QAccessible::Window);
    const QList<QAccessibleInterface *> all = tree();
    for (QAccessibleInterface *iface : all)
        QVERIFY2(iface->role() != QAccessible::Graphic, qPrintable(iface->object()->objectName()));
    // The title lies on the banner; hit-testing there finds the title, not a picture.
    const QPoint onTitle = control<QLabel>(*w, "Label7")
                                   ->mapToGlobal(control<QLabel>(*w, "Label7")->rect().center());
    QAccessibleInterface *hit = root->childAt(onTitle.x(), onTitle.y());
    QVERIFY(hit);
    QCOMPARE(hit->object(), static_cast<QObject *>(control<QLabel>(*w, "Label7")));
}

void tst_Accessibility::tabOrderAsHeard_data()
{
    QTest::addColumn<QStringList>("choose");
    QTest::addColumn<QStringList>("heard");

    const QStringList fields
            = { "Local Host Name", "Local Host IP",  "Bound Local Port", "Send",
                "Send Data",       "Remote Host IP", "Remote Host Port", "Local Host Port" };
    QTest::newRow("udp") << QStringList()
                         << fields
                                    + QStringList { "Apply", "Clear", "HEX Display", "UDP",
                                                    "Receive" };
    // Apply hides with TCP and the roles show, each group one stop on its choice.
    QTest::newRow("tcp-server") << QStringList {
        "optTCP"
    } << fields + QStringList { "Clear", "HEX Display", "TCP", "Server", "Receive" };
    // Client without a remote host clears itself: no role chosen, the first is the stop.
    QTest::newRow("no-role-chosen")
            << QStringList { "optTCP", "optClient" }
            << fields + QStringList { "Clear", "HEX Display", "TCP", "Server", "Receive" };
}

void tst_Accessibility::tabOrderAsHeard()
{
    QFETCH(QStringList, choose);
    QFETCH(QStringList, heard);

    for (const QString &name : std::as_const(choose))
        w->findChild<QRadioButton *>(name)->setChecked(true);
    if (choose.contains(QStringLiteral("optClient")))
        QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked()
                && !control<QRadioButton>(*w, "optClient")->isChecked());
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    control<TextField>(*w, "txtReceive")->setFocus(Qt::TabFocusReason);
    QCOMPARE(QApplication::focusWidget(),
             static_cast<QWidget *>(control<TextField>(*w, "txtReceive")));
    notices.clear();

    for (int i = 0; i < heard.size(); ++i)
        QVERIFY(FocusAccess::next(w.get()));
    QCOMPARE(noticesOf(QAccessible::Focus), heard);
}

void tst_Accessibility::readingOrderFollowsTabOrder()
{
    // The tab chain crosses between boxes, so a tree cannot follow it whole:
    // within each box, the controls a reader walks must come in tab order.
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    control<TextField>(*w, "txtReceive")->setFocus(Qt::TabFocusReason);
    QList<QObject *> tabbed = { control<TextField>(*w, "txtReceive") };
    for (int i = 0; i < 40; ++i) {
        QVERIFY(FocusAccess::next(w.get()));
        if (QApplication::focusWidget() == control<TextField>(*w, "txtReceive"))
            break;
        tabbed.append(QApplication::focusWidget());
    }
    QCOMPARE(QApplication::focusWidget(),
             static_cast<QWidget *>(control<TextField>(*w, "txtReceive")));

    QList<QObject *> walked;
    const QList<QAccessibleInterface *> all = tree();
    for (QAccessibleInterface *iface : all) {
        const QAccessible::State state = iface->state();
        // A group of choices is one stop, on its selected member.
        const bool otherChoice = iface->role() == QAccessible::RadioButton && !state.checked;
        if (state.focusable && !state.invisible && !otherChoice)
            walked.append(iface->object());
    }
    const auto names = [](const QList<QObject *> &controls) {
        QStringList sorted;
        for (const QObject *control : controls)
            sorted.append(control->objectName());
        sorted.sort();
        return sorted;
    };
    QCOMPARE(names(walked), names(tabbed));

    const auto byBox = [](const QList<QObject *> &controls) {
        QHash<QObject *, QStringList> boxes;
        for (QObject *control : controls)
            boxes[control->parent()].append(control->objectName());
        return boxes;
    };
    QCOMPARE(byBox(walked), byBox(tabbed));

    // Each label comes just before the field it names.
    for (QLabel *label : { control<QLabel>(*w, "Label1"), control<QLabel>(*w, "Label2"),
                           control<QLabel>(*w, "Label4"), control<QLabel>(*w, "Label5"),
                           control<QLabel>(*w, "Label6") }) {
        const auto at = std::find_if(all.begin(), all.end(),
                                     [&](auto *iface) { return iface->object() == label; });
        QVERIFY(at != all.end() && at + 1 != all.end());
        QCOMPARE((*(at + 1))->object(), static_cast<QObject *>(label->buddy()));
    }

    // Qt finds a choice's exclusive partners depth first among its parent's
    // choices: the order must keep the roles ahead of the protocols.
    // Server, chosen at start-up, locks the remote fields; Client unlocks them.
    press(control<QRadioButton>(*w, "optTCP"));
    press(control<QRadioButton>(*w, "optClient"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostIP"), QStringLiteral("127.0.0.1"));
    typeInto(control<QLineEdit>(*w, "txtRemoteHostPort"), QStringLiteral("9"));
    press(control<QRadioButton>(*w, "optClient"));
    QVERIFY(control<QRadioButton>(*w, "optClient")->isChecked());
    QVERIFY(!control<QRadioButton>(*w, "optServer")->isChecked());
    QVERIFY(control<QRadioButton>(*w, "optTCP")->isChecked());
}

void tst_Accessibility::statusPanelsAnnounced_data()
{
    QTest::addColumn<int>("panel");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QStringList>("said");

    QTest::newRow("message") << 1 << QStringLiteral("Status")
                             << QStringList { "No specified remote host!" }
                             << QStringList { "No specified remote host!" };
    QTest::newRow("link-steps") << 3 << QStringLiteral("Link")
                                << QStringList { "Listening...", "Connect" }
                                << QStringList { "Listening...", "Connect" };
    QTest::newRow("repeat-said-once")
            << 1 << QStringLiteral("Status")
            << QStringList { "Failed to get remote data...", "Failed to get remote data..." }
            << QStringList { "Failed to get remote data..." };
    QTest::newRow("cleared") << 3 << QStringLiteral("Link") << QStringList { "Disconnect", "" }
                             << QStringList { "Disconnect", "" };
    QTest::newRow("second-panel") << 2 << QStringLiteral("Status 2") << QStringList { "two" }
                                  << QStringList { "two" };
}

void tst_Accessibility::statusPanelsAnnounced()
{
    QFETCH(int, panel);
    QFETCH(QString, description);
    QFETCH(QStringList, texts);
    QFETCH(QStringList, said);

    QLabel *label = control<StatusBar>(*w, "StatusBar")->panel(panel);
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(label);
    QVERIFY(iface);
    QCOMPARE(iface->parent()->role(), QAccessible::StatusBar);

    for (const QString &text : std::as_const(texts))
        setPanelText(*w, panel, text);

    // The bridge carries a static text's name, not its value: the name is the message.
    QCOMPARE(noticesOf(QAccessible::NameChanged, label), said);
    QCOMPARE(iface->text(QAccessible::Name), texts.last());
    QCOMPARE(iface->text(QAccessible::Description), description);
    // Only the panel that changed speaks.
    QCOMPARE(noticesOf(QAccessible::NameChanged).size(), said.size());
}

void tst_Accessibility::arrivalsAnnouncedWithoutFlooding()
{
    // A burst of arrivals: the first is told at once, the rest together once
    // the pacing interval is over, each with where it starts in the log.
    QUdpSocket peer;
    QString all;
    for (int i = 0; i < 300; ++i) {
        const QByteArray datagram = QByteArray::number(i) + "\r\n";
        QCOMPARE(peer.writeDatagram(datagram, QHostAddress::LocalHost,
                                    quint16(control<Winsock>(*w, "Winsock")->LocalPort())),
                 datagram.size());
        all += QString::fromLatin1(datagram);
    }
    QTRY_COMPARE_WITH_TIMEOUT(control<TextField>(*w, "txtReceive")->text(), all, peerWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(
            !noticesOf(QAccessible::TextInserted, control<TextField>(*w, "txtReceive")).isEmpty()
                    && noticesOf(QAccessible::TextInserted, control<TextField>(*w, "txtReceive"))
                               .last()
                               .endsWith(u"299\r\n"),
            peerWaitMs);
    const QStringList said
            = noticesOf(QAccessible::TextInserted, control<TextField>(*w, "txtReceive"));
    QVERIFY2(said.size() < 30, qPrintable(QString::number(said.size())));
    // Told pieces follow one another and make up the whole log.
    QString told;
    for (const QString &notice : said) {
        const qsizetype colon = notice.indexOf(u':');
        QCOMPARE(notice.left(colon).toLongLong(), told.size());
        told += notice.mid(colon + 1);
    }
    QCOMPARE(told, all);
}

namespace {

// A field on its own, shown, with its text interface.
struct ShownField
{
    TextField view;
    QAccessibleInterface *iface = nullptr;
    QAccessibleTextInterface *text = nullptr;
    QAccessibleEditableTextInterface *editable = nullptr;

    ShownField()
    {
        view.resize(420, 300);
        view.show();
        iface = QAccessible::queryAccessibleInterface(&view);
        text = iface ? iface->textInterface() : nullptr;
        editable = iface ? iface->editableTextInterface() : nullptr;
    }
    // Lines of 64 characters, each starting with its number, up to `units`.
    void fill(qsizetype units)
    {
        QByteArray lines;
        for (qsizetype line = 0; lines.size() < units; ++line)
            lines += QByteArray::number(line).rightJustified(8, '0') + QByteArray(54, 'x') + "\r\n";
        lines.truncate(units);
        for (qsizetype at = 0; at < units; at += 65536)
            QVERIFY(view.append(QLatin1StringView(lines.mid(at, 65536))));
    }
    QString textAt(int offset, QAccessible::TextBoundaryType type, int *start, int *end) const
    {
        return text->textAtOffset(offset, type, start, end);
    }
};

constexpr QChar standIn(0x2400);

} // namespace

void tst_Accessibility::nulReadsAsStandIn_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QAccessible::TextBoundaryType>("boundary");
    QTest::addColumn<QString>("heard");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");

    const QString log = QStringLiteral("ab\r\ncd") + QChar(0) + QChar(0) + QStringLiteral("ef gh.");
    const QString shown = QString(log).replace(QChar(0), standIn);
    QTest::newRow("whole-text") << log << 0 << QAccessible::NoBoundary << shown << 0 << 14;
    QTest::newRow("line-through-nuls")
            << log << 6 << QAccessible::LineBoundary << shown.mid(4) << 4 << 14;
    QTest::newRow("nul-itself") << log << 6 << QAccessible::CharBoundary << QString(standIn) << 6
                                << 7;
    QTest::newRow("word-after-nuls") << log << 9 << QAccessible::WordBoundary << "ef" << 8 << 10;
    QTest::newRow("nul-only-line") << QString(3, QChar(0)) + "\n"
                                   << 1 << QAccessible::LineBoundary << QString(3, standIn) + "\n"
                                   << 0 << 4;
    QTest::newRow("sentence-across-nul")
            << QStringLiteral("One") + QChar(0) + QStringLiteral("two. Three.") << 2
            << QAccessible::SentenceBoundary << QStringLiteral("One") + standIn + "two. " << 0 << 9;
}

void tst_Accessibility::nulReadsAsStandIn()
{
    QFETCH(QString, log);
    QFETCH(int, offset);
    QFETCH(QAccessible::TextBoundaryType, boundary);
    QFETCH(QString, heard);
    QFETCH(int, start);
    QFETCH(int, end);

    ShownField field;
    QVERIFY(field.text);
    QVERIFY(field.view.append(log));
    int from = -1;
    int to = -1;
    QCOMPARE(field.textAt(offset, boundary, &from, &to), heard);
    QCOMPARE(from, start);
    QCOMPARE(to, end);
    // One unit for one: the offsets and the count are the log's.
    QCOMPARE(field.text->characterCount(), log.size());
    QCOMPARE(field.text->text(start, end).size(), end - start);
    QCOMPARE(field.iface->text(QAccessible::Value), QString(log).replace(QChar(0), standIn));
    // The log itself keeps the NUL, for copying and saving.
    QCOMPARE(field.view.text(), log);
}

void tst_Accessibility::nulStandInInNotices()
{
    ShownField field;
    const QString nul(QChar(0));
    QVERIFY(field.view.append(QStringLiteral("ab") + nul + QStringLiteral("cd")));
    QCOMPARE(noticesOf(QAccessible::TextInserted, &field.view),
             QStringList { QStringLiteral("0:ab") + standIn + QStringLiteral("cd") });
    notices.clear();
    // An edit over a NUL with text holding one: both sides read past it.
    QVERIFY(field.view.replaceText(1, 4, QStringLiteral("X") + nul + QStringLiteral("Y")));
    QCOMPARE(field.view.text(), QStringLiteral("aX") + nul + QStringLiteral("Yd"));
    // Edits are told only while a screen reader listens.
    if (!QAccessible::isActive())
        return;
    const QStringList told = noticesOf(QAccessible::TextUpdated, &field.view)
                             + noticesOf(QAccessible::TextInserted, &field.view)
                             + noticesOf(QAccessible::TextRemoved, &field.view);
    QVERIFY2(told.isEmpty()
                     || told
                                == QStringList { QStringLiteral("1:b") + standIn
                                                 + QStringLiteral("c/X") + standIn
                                                 + QStringLiteral("Y") },
             qPrintable(told.join(u'|')));
}

void tst_Accessibility::smallLogSeenWhole()
{
    // A log that fits the window is seen whole, at the log's own offsets.
    ShownField field;
    field.fill(TextField::readerWindow);
    QCOMPARE(field.text->characterCount(), TextField::readerWindow);
    QCOMPARE(field.text->cursorPosition(), TextField::readerWindow);
    QCOMPARE(field.text->text(0, 16), field.view.textBetween(0, 16));
    field.text->setCursorPosition(130);
    QCOMPARE(field.view.cursorPosition(), 130);
    QCOMPARE(field.text->cursorPosition(), 130);
    int start = -1;
    int end = -1;
    QCOMPARE(field.textAt(130, QAccessible::LineBoundary, &start, &end),
             field.view.textBetween(128, 192));
    QCOMPARE(start, 128);
    QCOMPARE(end, 192);
}

void tst_Accessibility::largeLogSeenThroughWindow_data()
{
    QTest::addColumn<qsizetype>("caret");

    const qsizetype log = 3 * TextField::readerWindow + 1000;
    QTest::newRow("caret-at-end") << log;
    QTest::newRow("caret-at-start") << qsizetype(0);
    QTest::newRow("caret-in-middle") << log / 2 + 7;
    QTest::newRow("caret-one-window-in") << TextField::readerWindow;
}

void tst_Accessibility::largeLogSeenThroughWindow()
{
    QFETCH(qsizetype, caret);

    ShownField field;
    const qsizetype log = 3 * TextField::readerWindow + 1000;
    field.fill(log);
    field.view.setSelection(caret, caret);
    const qsizetype base = field.view.readerStart();
    const int count = field.text->characterCount();
    // Every loop a screen reader's call makes runs over at most the window.
    QVERIFY(count <= TextField::readerWindow);
    QVERIFY2(count >= TextField::readerWindow / 2, qPrintable(QString::number(count)));
    QVERIFY(base <= caret && caret <= base + count);
    QCOMPARE(field.text->cursorPosition(), caret - base);
    QCOMPARE(field.text->text(0, -1), QString());
    QCOMPARE(field.text->text(0, count), field.view.textBetween(base, base + count));
    QCOMPARE(field.text->text(count - 10, count + 10),
             field.view.textBetween(base + count - 10, base + count));
    QCOMPARE(field.iface->text(QAccessible::Value).size(), count);

    // A line is told whole inside the window, cut at its edges.
    int start = -1;
    int end = -1;
    const int offset = int(std::min<qsizetype>(caret - base, count - 1));
    const QString line = field.textAt(offset, QAccessible::LineBoundary, &start, &end);
    QVERIFY(start <= offset && offset < end && end <= count);
    QCOMPARE(line, field.view.textBetween(base + start, base + end));
    QVERIFY(end - start <= 66);
    QCOMPARE(field.text->textBeforeOffset(0, QAccessible::LineBoundary, &start, &end), QString());
    QCOMPARE(start, 0);
    QCOMPARE(field.text->textAfterOffset(count, QAccessible::LineBoundary, &start, &end),
             QString());
    QCOMPARE(start, count);
    field.text->attributes(offset, &start, &end);
    QCOMPARE(start, 0);
    QCOMPARE(end, count);

    // Offsets of edits and of the selection are the window's.
    field.editable->insertText(offset, QStringLiteral("<>"));
    QCOMPARE(field.view.textBetween(base + offset, base + offset + 2), QStringLiteral("<>"));
    field.text->setSelection(0, 1, 3);
    int from = -1;
    int to = -1;
    field.text->selection(0, &from, &to);
    QCOMPARE(field.view.selectionStart(), field.view.readerStart() + 1);
    QCOMPARE(from, 1);
    QCOMPARE(to, 3);
}

void tst_Accessibility::windowMovesAreTold()
{
    ShownField field;
    const qsizetype log = 3 * TextField::readerWindow;
    field.fill(log);
    QTRY_VERIFY(field.view.readerStart() > 0);
    const qsizetype before = field.view.readerStart();
    const QString seen = field.text->text(0, field.text->characterCount());
    notices.clear();

    // Back to the start: what the reader saw leaves, the start of the log comes.
    field.view.setSelection(0, 0);
    QCOMPARE(field.view.readerStart(), 0);
    const QStringList removed = noticesOf(QAccessible::TextRemoved, &field.view);
    const QStringList inserted = noticesOf(QAccessible::TextInserted, &field.view);
    QVERIFY2(before >= TextField::readerWindow, "the windows overlap; the test needs them apart");
    QCOMPARE(removed, QStringList { QStringLiteral("0:") + seen });
    QCOMPARE(inserted, QStringList { QStringLiteral("0:")
                                     + field.view.textBetween(0, TextField::readerWindow) });
    QCOMPARE(field.text->cursorPosition(), 0);

    // A step on: the front that left is told, then the back that came, in
    // offsets of the new start.
    notices.clear();
    const qsizetype step = TextField::readerWindow / 4;
    // Just past the window's end.
    field.view.setSelection(TextField::readerWindow + 10, TextField::readerWindow + 10);
    const qsizetype start = field.view.readerStart();
    QVERIFY(start > 0 && start < TextField::readerWindow);
    QCOMPARE(start % step, 0);
    QCOMPARE(noticesOf(QAccessible::TextRemoved, &field.view),
             QStringList { QStringLiteral("0:") + field.view.textBetween(0, start) });
    QCOMPARE(noticesOf(QAccessible::TextInserted, &field.view),
             QStringList { QStringLiteral("%1:").arg(TextField::readerWindow - start)
                           + field.view.textBetween(TextField::readerWindow,
                                                    start + TextField::readerWindow) });
    // A caret move inside the window moves nothing.
    notices.clear();
    field.view.setSelection(start + 5, start + 5);
    QCOMPARE(field.view.readerStart(), start);
    QVERIFY(noticesOf(QAccessible::TextRemoved, &field.view).isEmpty());
    QVERIFY(noticesOf(QAccessible::TextInserted, &field.view).isEmpty());
}

void tst_Accessibility::extentsOnlyOfWhatIsShown_data()
{
    QTest::addColumn<qsizetype>("log");
    QTest::addColumn<qsizetype>("caret");

    QTest::newRow("short-log") << qsizetype(500) << qsizetype(500);
    QTest::newRow("window-full-at-end") << qsizetype(4) * TextField::readerWindow << qsizetype(-1);
    QTest::newRow("window-full-at-start") << qsizetype(4) * TextField::readerWindow << qsizetype(0);
}

void tst_Accessibility::extentsOnlyOfWhatIsShown()
{
    QFETCH(qsizetype, log);
    QFETCH(qsizetype, caret);

    ShownField field;
    QVERIFY(QTest::qWaitForWindowExposed(&field.view));
    field.fill(log);
    field.view.setSelection(caret < 0 ? log : caret, caret < 0 ? log : caret);
    const auto [first, last] = field.view.shownRange();
    QVERIFY(first < last);
    QVERIFY(last - first < 4096);

    // The union a reader's range call builds, as Qt's bridge builds it: only
    // the characters shown have a rectangle, so it costs the screen, and the
    // union is the text shown, inside the viewport.
    const int count = field.text->characterCount();
    QRect all;
    qsizetype laid = 0;
    for (int offset = 0; offset <= count; ++offset) {
        const QRect rect = field.text->characterRect(offset);
        if (!rect.isNull())
            ++laid;
        all |= rect;
    }
    QVERIFY2(laid <= last - first + 1, qPrintable(QString::number(laid)));
    QVERIFY(laid > 0);
    const QRect viewport(field.view.viewport()->mapToGlobal(QPoint()),
                         field.view.viewport()->size());
    // The last line may show only in part.
    const QRect shown = viewport.adjusted(0, 0, 0, field.view.fontMetrics().lineSpacing() + 1);
    QVERIFY2(shown.contains(all), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                     .arg(all.x())
                                                     .arg(all.y())
                                                     .arg(all.width())
                                                     .arg(all.height())));
    QVERIFY(all.height() >= viewport.height() / 2 || log < 4096);

    // Off screen: no rectangle.
    const qsizetype base = field.view.readerStart();
    if (first > base)
        QVERIFY(field.text->characterRect(int(first - base - 1)).isNull());
    if (last + 1 <= base + count)
        QVERIFY(field.text->characterRect(int(last - base + 1)).isNull());
    QVERIFY(field.text->characterRect(-1).isNull());
    QVERIFY(field.text->characterRect(count + 1).isNull());

    // A point on the text finds its offset; a point off the field finds none.
    const int middle = field.text->offsetAtPoint(viewport.center());
    QVERIFY(middle >= first - base && middle <= last - base);
    QCOMPARE(field.text->offsetAtPoint(viewport.topLeft() - QPoint(5, 5)), -1);
}

QTEST_MAIN(tst_Accessibility)
#include "tst_accessibility.moc"
