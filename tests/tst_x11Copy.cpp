#include "field/transfer/TextFieldMimeData.h"
#include "field/widget/TextField.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QSemaphore>
#include <QTest>

#include <xcb/xcb.h>

#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <thread>

// Copies of the field as other programs read them on X11: every text target
// of both selections, small copies through the toolkit and large ones from
// the program's own INCR transfers. Needs a real X server
// (tests/clipboard_test.sh runs it under Xvfb); skipped elsewhere.
class tst_X11Copy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void everyTextTargetOfBothSelections_data();
    void everyTextTargetOfBothSelections();
    void aTransferUnderWayOutlivesTheCopy();
};

namespace {

// ASCII, Latin-1, Cyrillic, CJK, a pair, CR LF, NUL: no lone surrogates, so
// QString::toUtf8() and toLatin1() say what other programs must get.
QString repeatedMix(qsizetype units)
{
    static const QString pattern = QStringLiteral("ab\u00e9\u0436\u6f22\U0001F600\r\n\0x\r");
    return pattern.repeated(units / pattern.size() + 1);
}

// Another program's side of a paste: asks for a selection in a target and
// reads the answer, INCR steps and all, on a thread of its own while the
// test's event loop serves it. Every wait for the server is bounded.
class Requestor
{
public:
    Requestor()
        : m_c(xcb_connect(nullptr, nullptr))
    {
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data;
        m_window = xcb_generate_id(m_c);
        const quint32 mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, screen->root_visual, XCB_CW_EVENT_MASK,
                          &mask);
        m_property = atom("TARVIK_PASTE");
        // What one request may carry, as the server tells every client.
        largestStepAllowed = qsizetype(xcb_get_maximum_request_length(m_c)) * 4;
    }
    ~Requestor()
    {
        resume.release();
        if (m_thread.joinable())
            m_thread.join();
        xcb_disconnect(m_c);
    }
    Q_DISABLE_COPY_MOVE(Requestor)

    bool connected() const { return xcb_connection_has_error(m_c) == 0; }

    void start(const char *selection, const char *target, bool pauseAfterFirstStep = false)
    {
        m_target = atom(target);
        m_thread = std::thread([this, selectionAtom = atom(selection), pauseAfterFirstStep] {
            read(selectionAtom, pauseAfterFirstStep);
            done.release();
        });
    }

    // Filled in by the thread before `done`.
    QByteArray bytes;
    QString failure;
    xcb_atom_t type = XCB_NONE;
    int steps = 0; // INCR steps with bytes
    qsizetype largestStep = 0;
    qsizetype largestStepAllowed = 0;
    QSemaphore done;
    QSemaphore firstStepRead;
    QSemaphore resume;

private:
    xcb_atom_t atom(const char *name)
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
                m_c, xcb_intern_atom(m_c, false, std::strlen(name), name), nullptr);
        const xcb_atom_t found = reply ? reply->atom : XCB_NONE;
        std::free(reply);
        return found;
    }

    // The next event that `wanted` accepts; null after 30 s without one.
    template<typename Wanted>
    xcb_generic_event_t *next(const Wanted &wanted)
    {
        const QDeadlineTimer deadline(30000);
        while (!deadline.hasExpired()) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(m_c)) {
                if (wanted(event))
                    return event;
                std::free(event);
            }
            pollfd fd { xcb_get_file_descriptor(m_c), POLLIN, 0 };
            ::poll(&fd, 1, int(deadline.remainingTime()));
        }
        return nullptr;
    }

    xcb_get_property_reply_t *property(bool remove)
    {
        return xcb_get_property_reply(m_c,
                                      xcb_get_property(m_c, remove, m_window, m_property,
                                                       XCB_GET_PROPERTY_TYPE_ANY, 0, 0x3FFFFFFF),
                                      nullptr);
    }

    void read(xcb_atom_t selection, bool pauseAfterFirstStep)
    {
        const xcb_atom_t incr = atom("INCR");
        xcb_convert_selection(m_c, m_window, selection, m_target, m_property, XCB_CURRENT_TIME);
        xcb_flush(m_c);
        auto *notify = reinterpret_cast<xcb_selection_notify_event_t *>(
                next([](xcb_generic_event_t *event) {
                    return (event->response_type & 0x7F) == XCB_SELECTION_NOTIFY;
                }));
        if (!notify || notify->property == XCB_NONE) {
            failure = notify ? "refused" : "no answer";
            std::free(notify);
            return;
        }
        std::free(notify);
        xcb_get_property_reply_t *first = property(false);
        if (!first) {
            failure = "no property";
            return;
        }
        type = first->type;
        if (first->type != incr) {
            bytes = QByteArray(static_cast<const char *>(xcb_get_property_value(first)),
                               xcb_get_property_value_length(first));
            std::free(first);
            xcb_delete_property(m_c, m_window, m_property);
            xcb_flush(m_c);
            return;
        }
        std::free(first);
        // Deleting the INCR property asks for the first step.
        xcb_delete_property(m_c, m_window, m_property);
        xcb_flush(m_c);
        for (;;) {
            xcb_generic_event_t *event = next([this](xcb_generic_event_t *event) {
                const auto *changed = reinterpret_cast<xcb_property_notify_event_t *>(event);
                return (event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY
                       && changed->atom == m_property && changed->state == XCB_PROPERTY_NEW_VALUE;
            });
            if (!event) {
                failure = QStringLiteral("no step after %1 of them").arg(steps);
                return;
            }
            std::free(event);
            xcb_get_property_reply_t *step = property(true);
            xcb_flush(m_c);
            if (!step) {
                failure = "a step went missing";
                return;
            }
            type = step->type;
            const int length = xcb_get_property_value_length(step);
            bytes.append(static_cast<const char *>(xcb_get_property_value(step)), length);
            std::free(step);
            if (length == 0)
                return;
            ++steps;
            largestStep = std::max<qsizetype>(largestStep, length);
            if (steps == 1 && pauseAfterFirstStep) {
                firstStepRead.release();
                if (!resume.tryAcquire(1, 30000)) {
                    failure = "not resumed";
                    return;
                }
            }
        }
    }

    xcb_connection_t *m_c;
    xcb_window_t m_window = XCB_NONE;
    xcb_atom_t m_property = XCB_NONE;
    xcb_atom_t m_target = XCB_NONE;
    std::thread m_thread;
};

// A shown field holding `text`, all of it selected and copied (Ctrl+A offers
// the primary selection, Ctrl+C the clipboard).
struct Copied
{
    explicit Copied(const QString &text)
    {
        field.resize(400, 300);
        field.show();
        field.activateWindow();
        field.setFocus();
        field.append(text);
        QTest::keyClick(&field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(&field, Qt::Key_C, Qt::ControlModifier);
    }
    TextField field;
};

} // namespace

void tst_X11Copy::init()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs X11 (tests/clipboard_test.sh runs it under Xvfb)");
}

void tst_X11Copy::everyTextTargetOfBothSelections_data()
{
    QTest::addColumn<qsizetype>("units");
    QTest::addColumn<QByteArray>("selection");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("incremental");

    const qsizetype small = 1000;
    const qsizetype large = TextFieldMimeData::madeAheadUnits + 1000; // fits one request
    const qsizetype huge = qsizetype(17) << 20; // more than one request in either encoding
    QTest::newRow("small-utf8-clipboard")
            << small << QByteArray("CLIPBOARD") << QByteArray("UTF8_STRING") << false;
    QTest::newRow("small-string-primary")
            << small << QByteArray("PRIMARY") << QByteArray("STRING") << false;
    QTest::newRow("large-text-plain-primary")
            << large << QByteArray("PRIMARY") << QByteArray("text/plain") << false;
    QTest::newRow("large-text-clipboard")
            << large << QByteArray("CLIPBOARD") << QByteArray("TEXT") << false;
    QTest::newRow("huge-utf8-clipboard")
            << huge << QByteArray("CLIPBOARD") << QByteArray("UTF8_STRING") << true;
    QTest::newRow("huge-charset-utf8-primary")
            << huge << QByteArray("PRIMARY") << QByteArray("text/plain;charset=utf-8") << true;
    QTest::newRow("huge-string-clipboard")
            << huge << QByteArray("CLIPBOARD") << QByteArray("STRING") << true;
}

void tst_X11Copy::everyTextTargetOfBothSelections()
{
    QFETCH(qsizetype, units);
    QFETCH(QByteArray, selection);
    QFETCH(QByteArray, target);
    QFETCH(bool, incremental);
    const QString text = repeatedMix(units);
    Copied copied(text);
    Requestor requestor;
    QVERIFY(requestor.connected());
    requestor.start(selection.constData(), target.constData());
    // The event loop serves the request meanwhile.
    QTRY_VERIFY_WITH_TIMEOUT(requestor.done.available() == 1, 60000);
    QCOMPARE(requestor.failure, QString());
    const bool latin1 = target == "STRING" || target == "TEXT";
    QVERIFY(requestor.bytes == (latin1 ? text.toLatin1() : text.toUtf8()));
    QCOMPARE(requestor.steps > 0, incremental);
    QVERIFY(requestor.largestStep <= requestor.largestStepAllowed);
}

void tst_X11Copy::aTransferUnderWayOutlivesTheCopy()
{
    // Another program is still reading a large copy when the user copies
    // other text, which lets the first copy's bytes go: not before the read ends.
    const QString text = repeatedMix(qsizetype(17) << 20);
    Copied copied(text);
    Requestor requestor;
    QVERIFY(requestor.connected());
    requestor.start("CLIPBOARD", "UTF8_STRING", true);
    QTRY_VERIFY_WITH_TIMEOUT(requestor.firstStepRead.available() == 1, 60000);
    copied.field.setSelection(0, TextFieldMimeData::madeAheadUnits + 5);
    QTest::keyClick(&copied.field, Qt::Key_C, Qt::ControlModifier);
    requestor.resume.release();
    QTRY_VERIFY_WITH_TIMEOUT(requestor.done.available() == 1, 60000);
    QCOMPARE(requestor.failure, QString());
    QVERIFY(requestor.bytes == text.toUtf8());
}

QTEST_MAIN(tst_X11Copy)
#include "tst_x11Copy.moc"
