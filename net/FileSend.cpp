#include "net/FileSend.h"

#include "net/Winsock.h"
#include "net/addresses.h"

#include <QHostInfo>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {
// A socket that has no room now is asked again this much later: Qt tells
// nothing when a datagram socket has room again.
constexpr int busyRetryMs = 1;
} // namespace

FileSend::FileSend(Winsock *endpoint, QObject *parent)
    : QObject(parent)
    , m_endpoint(endpoint)
{
    m_next.setSingleShot(true);
    m_next.setTimerType(Qt::PreciseTimer);
    connect(&m_next, &QTimer::timeout, this, &FileSend::sendDatagrams);
    connect(endpoint, &Winsock::WrittenEvent, this, &FileSend::onWritten);
    connect(endpoint, &Winsock::LeftEvent, this, [this] {
        stop(m_stream ? QStringLiteral("the connection was left")
                      : QStringLiteral("the socket was closed"));
    });
    connect(endpoint, &Winsock::CloseEvent, this,
            [this] { stop(QStringLiteral("the peer closed the connection")); });
}

void FileSend::start(const QString &path, Pacing udp)
{
    if (m_running)
        throw WinsockError("a file is already being sent");
    m_stream = m_endpoint->Protocol() == Winsock::TCP;
    if (m_stream && m_endpoint->State() != Winsock::Connected)
        throw WinsockError("no connection to send on");
    if (!m_stream) {
        if (udp.pieceBytes < 1 || udp.pieceBytes > maxDatagramBytes)
            throw WinsockError("a piece is 1 to 65,507 bytes");
        // Never bound: any free port, as Send Data takes.
        if (m_endpoint->State() == Winsock::Closed)
            m_endpoint->Bind(0);
    }
    if (!m_pieces.open(path))
        throw WinsockError(m_pieces.error().toStdString());
    m_path = path;
    m_pacing = udp;
    m_handed = m_sent = m_datagrams = 0;
    m_waiting = QByteArray();
    m_running = true;
    m_clock.start();
    // Begun from the next turn, so that the caller's own steps come first.
    if (m_stream) {
        QTimer::singleShot(0, this, [this] { fillStream(); });
        return;
    }
    // One lookup for the whole file rather than one per datagram.
    const QString host = m_endpoint->RemoteHost().trimmed();
    m_toPort = quint16(m_endpoint->RemotePort());
    if (m_to.setAddress(host)) {
        m_next.start(0);
        return;
    }
    m_lookupId = QHostInfo::lookupHost(host, this, [this, host](const QHostInfo &info) {
        m_lookupId = -1;
        m_to = preferredAddress(info);
        if (m_to.isNull())
            return end(QStringLiteral("cannot resolve host '%1'").arg(host));
        m_clock.start();
        m_next.start(0);
    });
}

void FileSend::stop(const QString &reason)
{
    if (!m_running)
        return;
    // What the connection was handed still goes out: the peer gets that much.
    if (reason.isEmpty() && m_stream)
        m_sent = m_handed;
    end(reason.isEmpty() ? QStringLiteral("stopped") : reason);
}

void FileSend::end(const QString &failure)
{
    m_running = false;
    m_next.stop();
    if (m_lookupId != -1)
        QHostInfo::abortHostLookup(std::exchange(m_lookupId, -1));
    m_waiting = QByteArray();
    m_pieces.close();
    Q_EMIT finished(failure);
}

void FileSend::fillStream()
{
    if (!m_running || !m_stream)
        return;
    while (m_handed - m_sent < maxHandedBytes && m_handed < size()) {
        const std::optional<QByteArray> piece = m_pieces.next(streamPieceBytes);
        if (!piece)
            return end(m_pieces.error());
        try {
            m_endpoint->SendBytes(*piece);
        } catch (const WinsockError &refused) {
            return end(QString::fromUtf8(refused.what()));
        }
        m_handed += piece->size();
    }
    if (m_sent == size())
        end(QString());
}

void FileSend::onWritten(qint64 bytes)
{
    if (!m_running || !m_stream)
        return;
    m_sent = std::min(m_sent + bytes, m_handed);
    Q_EMIT progressed();
    fillStream();
}

void FileSend::sendDatagrams()
{
    if (!m_running || m_stream)
        return;
    QElapsedTimer turn;
    turn.start();
    const double every = m_pacing.everyMs;
    const qint64 sentBefore = m_sent;
    while (m_sent < size()) {
        // Due by now: at start + k × every, never before.
        if (every > 0 && double(m_datagrams) * every > double(m_clock.nsecsElapsed()) / 1e6)
            break;
        if (turn.elapsed() >= maxSendingPerTurnMs)
            break;
        if (m_waiting.isNull()) {
            std::optional<QByteArray> piece = m_pieces.next(m_pacing.pieceBytes);
            if (!piece)
                return end(m_pieces.error());
            m_waiting = std::move(*piece);
            m_handed += m_waiting.size();
        }
        try {
            m_endpoint->SendBytesTo({ m_to, m_toPort }, m_waiting);
        } catch (const WinsockBusy &) {
            m_next.start(busyRetryMs); // the same piece again shortly
            return;
        } catch (const WinsockError &refused) {
            return end(QString::fromUtf8(refused.what()));
        }
        m_sent += m_waiting.size();
        m_waiting = QByteArray();
        ++m_datagrams;
    }
    if (m_sent > sentBefore)
        Q_EMIT progressed();
    if (m_sent == size())
        return end(QString());
    scheduleDatagrams();
}

void FileSend::scheduleDatagrams()
{
    const double every = m_pacing.everyMs;
    if (every <= 0) {
        m_next.start(0);
        return;
    }
    const double dueMs = double(m_datagrams) * every - double(m_clock.nsecsElapsed()) / 1e6;
    m_next.start(int(std::clamp(std::ceil(dueMs), 0.0, 86'400'000.0)));
}
