#include "field/x11/X11CopyServer.h"
#include "field/transfer/CopyServer.h"

#include "field/transfer/TextFieldMimeData.h"
#include "field/transfer/Utf8Maker.h"

#include <QApplication>
#include <QClipboard>
#include <QDeadlineTimer>
#include <QDrag>
#include <QGuiApplication>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

struct X11CopyServer::Atoms
{
    xcb_atom_t clipboard = XCB_NONE;
    xcb_atom_t xdndSelection = XCB_NONE;
    xcb_atom_t utf8String = XCB_NONE;
    xcb_atom_t text = XCB_NONE;
    xcb_atom_t textPlain = XCB_NONE;
    xcb_atom_t textPlainUtf8 = XCB_NONE;
    xcb_atom_t incr = XCB_NONE;
    xcb_atom_t clipTemporary = XCB_NONE;
};

struct X11CopyServer::Request
{
    xcb_window_t requestor = XCB_NONE;
    xcb_atom_t selection = XCB_NONE;
    xcb_atom_t target = XCB_NONE;
    xcb_atom_t property = XCB_NONE;
    xcb_timestamp_t time = XCB_CURRENT_TIME;
};

struct X11CopyServer::Transfer
{
    enum class State {
        Preparing,      // the requestor has no answer yet
        AwaitingDelete, // a step is written; the requestor takes it by deleting it
        AwaitingBytes,  // the requestor wants the next step; its bytes are not made yet
    };

    Transfer(const Request &request, std::shared_ptr<Utf8Maker> utf8, TextSnapshot latin1)
        : request(request)
        , utf8(std::move(utf8))
        , latin1(std::move(latin1))
    {
        if (this->utf8)
            this->utf8->startReading();
    }
    ~Transfer()
    {
        QObject::disconnect(progress);
        if (utf8)
            utf8->endReading();
    }
    Q_DISABLE_COPY_MOVE(Transfer)

    // Bytes in all; -1 while the UTF-8 is being counted.
    qsizetype total() const { return utf8 ? utf8->size() : latin1.length(); }
    qsizetype available() const { return utf8 ? utf8->ready() : latin1.length(); }

    const Request request;
    const std::shared_ptr<Utf8Maker> utf8; // or, for STRING and TEXT:
    const TextSnapshot latin1;
    State state = State::Preparing;
    bool incremental = false;
    qsizetype sent = 0;
    QDeadlineTimer deadline;
    QMetaObject::Connection progress;
};

namespace {

xcb_connection_t *xcbOf(void *connection)
{
    return static_cast<xcb_connection_t *>(connection);
}

// As the toolkit makes STRING: a byte a unit, '?' for every unit above U+00FF.
QByteArray latin1Of(const TextSnapshot &text, qsizetype from, qsizetype to)
{
    QByteArray bytes(to - from, Qt::Uninitialized);
    char *out = bytes.data();
    for (const QAnyStringView piece : text.stored().pieces(from, to)) {
        piece.visit([&](auto view) {
            if constexpr (std::is_same_v<decltype(view), QStringView>)
                std::transform(view.begin(), view.end(), out, [](QChar unit) {
                    return unit.unicode() > 0xFF ? '?' : char(unit.unicode());
                });
            else // the store keeps Latin-1 or UTF-16 only
                std::memcpy(out, view.data(), view.size());
        });
        out += piece.size();
    }
    return bytes;
}

} // namespace

void serveLargeCopies()
{
    X11CopyServer::install();
}

void X11CopyServer::install()
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!app || app->findChild<X11CopyServer *>(QString(), Qt::FindDirectChildrenOnly))
        return;
    auto *x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    new X11CopyServer(x11->connection(), app);
}

X11CopyServer::X11CopyServer(void *connection, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
    , m_atoms(std::make_unique<Atoms>())
{
    xcb_connection_t *c = xcbOf(connection);
    const std::pair<xcb_atom_t *, const char *> names[] = {
        { &m_atoms->clipboard, "CLIPBOARD" },
        { &m_atoms->xdndSelection, "XdndSelection" },
        { &m_atoms->utf8String, "UTF8_STRING" },
        { &m_atoms->text, "TEXT" },
        { &m_atoms->textPlain, "text/plain" },
        { &m_atoms->textPlainUtf8, "text/plain;charset=utf-8" },
        { &m_atoms->incr, "INCR" },
        { &m_atoms->clipTemporary, "CLIP_TEMPORARY" },
    };
    std::vector<xcb_intern_atom_cookie_t> cookies;
    for (const auto &[atom, name] : names)
        cookies.push_back(xcb_intern_atom(c, false, std::strlen(name), name));
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        if (xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(c, cookies[i], nullptr)) {
            *names[i].first = reply->atom;
            std::free(reply);
        }
    }
    // The largest property one request can write: the request's own header
    // and the longer length of a big request off, in whole 4-byte words.
    const qsizetype maxRequestBytes = qsizetype(xcb_get_maximum_request_length(c)) * 4;
    m_stepBytes = (maxRequestBytes - qsizetype(sizeof(xcb_change_property_request_t)) - 4) & ~3;

    m_stallCheck.setInterval(1000);
    connect(&m_stallCheck, &QTimer::timeout, this, &X11CopyServer::dropStalled);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

// No X requests here: the application is closing and its connection with it.
X11CopyServer::~X11CopyServer() = default;

bool X11CopyServer::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t" || !m_atoms->clipboard)
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    switch (event->response_type & 0x7F) {
    case XCB_SELECTION_REQUEST: {
        const auto *asked = reinterpret_cast<const xcb_selection_request_event_t *>(event);
        return selectionRequested({ asked->requestor, asked->selection, asked->target,
                                    asked->property, asked->time });
    }
    case XCB_PROPERTY_NOTIFY: {
        const auto *changed = reinterpret_cast<const xcb_property_notify_event_t *>(event);
        return propertyChanged(changed->window, changed->atom,
                               changed->state == XCB_PROPERTY_DELETE);
    }
    default:
        return false;
    }
}

// The copy our newest drag carries: a drop target asks for the drag under
// way or for the one just dropped, never for an older one.
static const TextFieldMimeData *draggedCopy()
{
    const TextFieldMimeData *newest = nullptr;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget *window : windows) {
        const QList<QDrag *> drags = window->findChildren<QDrag *>();
        for (const QDrag *drag : drags) {
            const auto *copy = qobject_cast<const TextFieldMimeData *>(drag->mimeData());
            if (copy && (!newest || copy->serial() > newest->serial()))
                newest = copy;
        }
    }
    return newest;
}

bool X11CopyServer::selectionRequested(const Request &asked)
{
    const Atoms &atoms = *m_atoms;
    const bool utf8 = asked.target == atoms.utf8String || asked.target == atoms.textPlain
                      || asked.target == atoms.textPlainUtf8;
    const bool latin1 = asked.target == XCB_ATOM_STRING || asked.target == atoms.text;
    // Motif's CLIP_TEMPORARY takes no INCR: the toolkit answers it as it can.
    if ((!utf8 && !latin1) || asked.property == atoms.clipTemporary)
        return false;
    const TextFieldMimeData *copy = nullptr;
    if (asked.selection == XCB_ATOM_PRIMARY || asked.selection == atoms.clipboard) {
        copy = qobject_cast<const TextFieldMimeData *>(QGuiApplication::clipboard()->mimeData(
                asked.selection == XCB_ATOM_PRIMARY ? QClipboard::Selection
                                                    : QClipboard::Clipboard));
    } else if (asked.selection == atoms.xdndSelection) {
        copy = draggedCopy();
    }
    if (!copy || !copy->isLarge())
        return false;
    Request request = asked;
    if (request.property == XCB_NONE) // a requestor of before ICCCM 2
        request.property = request.target;
    // A requestor that asks again into the same property has given up the first.
    if (Transfer *before = find(request.requestor, request.property))
        end(before);

    std::unique_ptr<Transfer> made;
    try {
        made = std::make_unique<Transfer>(request, utf8 ? copy->utf8Maker() : nullptr,
                                          utf8 ? TextSnapshot() : copy->text());
        if (made->utf8) {
            made->progress = connect(made->utf8.get(), &Utf8Maker::progressed, this,
                                     [this, transfer = made.get()] { advance(*transfer); });
        }
        m_transfers.push_back(std::move(made));
    } catch (const std::exception &) {
        // Nothing is written yet: the toolkit answers as it always did.
        return false;
    }
    advance(*m_transfers.back());
    return true;
}

bool X11CopyServer::propertyChanged(std::uint32_t window, std::uint32_t property, bool deleted)
{
    Transfer *transfer = find(window, property);
    if (!transfer)
        return false;
    if (deleted && transfer->state == Transfer::State::AwaitingDelete) {
        transfer->state = Transfer::State::AwaitingBytes;
        advance(*transfer);
    }
    return true;
}

void X11CopyServer::advance(Transfer &transfer)
{
    // Nothing may escape into the event loop: a step that cannot be made ends
    // its transfer, and a requestor not yet answered is refused.
    try {
        if (transfer.state == Transfer::State::Preparing)
            begin(transfer);
        else if (transfer.state == Transfer::State::AwaitingBytes)
            sendStep(transfer);
    } catch (const std::exception &) {
        if (transfer.state == Transfer::State::Preparing)
            notify(transfer.request, false);
        end(&transfer);
    }
    xcb_flush(xcbOf(m_connection));
}

void X11CopyServer::begin(Transfer &transfer)
{
    xcb_connection_t *c = xcbOf(m_connection);
    const Request &request = transfer.request;
    if (transfer.utf8 && transfer.utf8->hasFailed()) {
        notify(request, false);
        return end(&transfer);
    }
    const qsizetype total = transfer.total();
    if (total < 0)
        return; // still counting: progressed() comes back here
    if (total <= m_stepBytes) {
        if (transfer.available() < total)
            return;
        if (transfer.utf8) {
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                                request.target, 8, total, transfer.utf8->data());
        } else {
            const QByteArray bytes = latin1Of(transfer.latin1, 0, total);
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                                request.target, 8, total, bytes.constData());
        }
        notify(request, true);
        return end(&transfer);
    }
    // INCR: the requestor deletes this property to ask for the first step,
    // so its changes are watched before it can see the property.
    const quint32 mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, request.requestor, XCB_CW_EVENT_MASK, &mask);
    const auto lowerBound
            = quint32(std::min<qsizetype>(total, std::numeric_limits<quint32>::max()));
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                        m_atoms->incr, 32, 1, &lowerBound);
    notify(request, true);
    transfer.incremental = true;
    transfer.state = Transfer::State::AwaitingDelete;
    transfer.deadline.setRemainingTime(stallLimitMs);
    m_stallCheck.start();
}

void X11CopyServer::sendStep(Transfer &transfer)
{
    xcb_connection_t *c = xcbOf(m_connection);
    const Request &request = transfer.request;
    if (transfer.sent == transfer.total()) {
        // An empty step ends it.
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                            request.target, 8, 0, nullptr);
        return end(&transfer);
    }
    const qsizetype count = std::min(transfer.available() - transfer.sent, m_stepBytes);
    // Only whole steps but the last: a requestor takes each step in a round
    // trip of its own, and steps as small as the thread's progress would
    // make thousands of them.
    if (count <= 0 || (count < m_stepBytes && transfer.available() < transfer.total()))
        return; // progressed() comes back here
    if (transfer.utf8) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                            request.target, 8, count, transfer.utf8->data() + transfer.sent);
    } else {
        const QByteArray bytes = latin1Of(transfer.latin1, transfer.sent, transfer.sent + count);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                            request.target, 8, count, bytes.constData());
    }
    transfer.sent += count;
    transfer.state = Transfer::State::AwaitingDelete;
    transfer.deadline.setRemainingTime(stallLimitMs);
}

void X11CopyServer::notify(const Request &request, bool served)
{
    // X sends events of 32 bytes; the notify struct is shorter.
    union {
        xcb_selection_notify_event_t notify;
        char bytes[32];
    } event {};
    event.notify.response_type = XCB_SELECTION_NOTIFY;
    event.notify.time = request.time;
    event.notify.requestor = request.requestor;
    event.notify.selection = request.selection;
    event.notify.target = request.target;
    event.notify.property = served ? request.property : XCB_NONE;
    xcb_send_event(xcbOf(m_connection), false, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                   event.bytes);
}

void X11CopyServer::end(Transfer *transfer)
{
    const xcb_window_t window = transfer->request.requestor;
    const bool watched = transfer->incremental;
    std::erase_if(m_transfers, [&](const auto &each) { return each.get() == transfer; });
    const bool stillWatched
            = std::any_of(m_transfers.begin(), m_transfers.end(), [&](const auto &each) {
                  return each->incremental && each->request.requestor == window;
              });
    if (watched && !stillWatched) {
        const quint32 mask = XCB_EVENT_MASK_NO_EVENT;
        xcb_change_window_attributes(xcbOf(m_connection), window, XCB_CW_EVENT_MASK, &mask);
    }
    if (m_transfers.empty())
        m_stallCheck.stop();
}

void X11CopyServer::dropStalled()
{
    std::vector<Transfer *> stalled;
    for (const auto &transfer : m_transfers) {
        if (transfer->state == Transfer::State::AwaitingDelete && transfer->deadline.hasExpired())
            stalled.push_back(transfer.get());
    }
    for (Transfer *transfer : stalled)
        end(transfer);
    xcb_flush(xcbOf(m_connection));
}

X11CopyServer::Transfer *X11CopyServer::find(std::uint32_t window, std::uint32_t property)
{
    const auto found = std::find_if(m_transfers.begin(), m_transfers.end(), [&](const auto &each) {
        return each->request.requestor == window && each->request.property == property;
    });
    return found == m_transfers.end() ? nullptr : found->get();
}
