#include "net/Winsock.h"

#include "net/systemSockets.h"

#include <QHostInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

// One turn of the event loop hands the window at most this much, in arrivals
// of maxStreamArrivalBytes, so the log's work for it stays short (a few ms,
// even as hex records) and input and paint get their turn under a fast
// stream. One turn per arrival would cost more than it saves: at 64 KB the
// wake-ups and turns of the event loop held a stream to a sixth of what the
// log takes.
constexpr qint64 maxStreamBytesPerTurn = qint64(1024) * 1024;
// What the socket holds beyond that before the system's flow control makes the
// peer wait: memory stays bounded however fast the peer writes, and the next
// reads are ready while the log takes this one.
constexpr qint64 streamReadBufferBytes = qint64(4096) * 1024;

// Names a resolver could take: letters, digits, dots, hyphens, underscores and
// any non-ASCII letter (internationalised names), at most 253 characters.
bool looksLikeHostName(const QString &host)
{
    static const QRegularExpression pattern(QStringLiteral("^[\\w.-]{1,253}$"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern.match(host).hasMatch();
}

} // namespace

void Winsock::Listen()
{
    if (m_protocol != TCP)
        throw WinsockError("only a TCP endpoint can listen");
    if (m_state != Closed)
        throw WinsockError("the endpoint is already open");
    auto *server = new QTcpServer(this);
    const auto port = quint16(m_localPort);
    if (!server->listen(QHostAddress::Any, port)) {
        const WinsockError failure
                = bindFailure(server->serverError(), port, server->errorString());
        delete server;
        throw failure;
    }
    connect(server, &QTcpServer::newConnection, this, &Winsock::takePendingConnections);
    m_server = server;
    m_state = Listening;
}

void Winsock::takePendingConnections()
{
    // One request at a time; the handler usually closes the server, which
    // ends the loop and lets the system refuse everyone else.
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        socket->setParent(this);
        socket->disconnect(m_server);
        const int requestId = m_nextRequestId++;
        m_pending.insert(requestId, socket);
        Q_EMIT ConnectionRequestEvent(requestId);
        if (QTcpSocket *refused = m_pending.take(requestId)) {
            refused->abort();
            refused->deleteLater();
        }
    }
}

void Winsock::Accept(int requestId)
{
    if (m_protocol != TCP)
        throw WinsockError("only a TCP endpoint can accept a connection");
    QTcpSocket *socket = m_pending.take(requestId);
    if (!socket)
        throw WinsockError(QStringLiteral("no pending connection %1").arg(requestId).toStdString());
    if (m_state != Closed)
        Close();
    adoptConnection(socket);
}

void Winsock::takeStream(QTcpSocket *socket)
{
    m_tcp = socket;
    ++m_streams;
    m_streamReceived = 0;
    m_streamSent = 0;
    m_handedOver.clear();
    m_frontTaken = 0;
    socket->setReadBufferSize(streamReadBufferBytes);
    connect(socket, &QTcpSocket::readyRead, this, &Winsock::readStream);
    connect(socket, &QTcpSocket::disconnected, this, &Winsock::onPeerClosed);
    connect(socket, &QTcpSocket::bytesWritten, this, &Winsock::onStreamTaken);
}

void Winsock::adoptConnection(QTcpSocket *socket)
{
    takeStream(socket);
    m_remoteHostIP = plainAddress(socket->peerAddress());
    m_remotePort = socket->peerPort();
    m_state = Connected;
    rememberStreamEnds();
    reportStream(WinsockTraffic::StreamOpened, true);
    // Data or a close that came before the accept raised no signal of ours yet.
    if (socket->bytesAvailable() > 0 || socket->state() != QAbstractSocket::ConnectedState) {
        QMetaObject::invokeMethod(
                this,
                [this, guarded = QPointer<QTcpSocket>(socket)] {
                    if (!guarded || guarded != m_tcp)
                        return;
                    if (guarded->bytesAvailable() > 0)
                        readStream();
                    if (m_tcp == guarded && guarded->state() != QAbstractSocket::ConnectedState)
                        onPeerClosed();
                },
                Qt::QueuedConnection);
    }
}

void Winsock::Connect()
{
    if (m_protocol != TCP)
        throw WinsockError("only a TCP endpoint can connect");
    if (m_state != Closed)
        throw WinsockError("the endpoint is already open");
    const QString host = m_remoteHost.trimmed();
    if (host.isEmpty())
        throw WinsockError("no remote host is set");
    if (m_remotePort == 0)
        throw WinsockError("remote port 0 cannot be connected to");
    QHostAddress literal;
    if (literal.setAddress(host)) {
        startConnect(literal);
        return;
    }
    if (!looksLikeHostName(host))
        throw WinsockError(QStringLiteral("'%1' is not a host name").arg(host).toStdString());
    m_state = Connecting;
    m_connectLookupId = QHostInfo::lookupHost(host, this, &Winsock::onConnectLookup);
}

void Winsock::onConnectLookup(const QHostInfo &info)
{
    m_connectLookupId = -1;
    if (m_state != Connecting || m_tcp)
        return;
    const QHostAddress address = preferredAddress(info);
    // A failure after Connect() returned is told to nobody; the state says it.
    if (address.isNull()) {
        m_state = Failed;
        return;
    }
    try {
        startConnect(address);
    } catch (const WinsockError &) {
        m_state = Failed;
    }
}

void Winsock::startConnect(const QHostAddress &address)
{
    auto *socket = new QTcpSocket(this);
    const auto localPort = quint16(m_localPort);
    const QHostAddress any = address.protocol() == QAbstractSocket::IPv6Protocol
                                     ? QHostAddress(QHostAddress::AnyIPv6)
                                     : QHostAddress(QHostAddress::AnyIPv4);
    // The client always connects from the same port; address reuse lets it do
    // so again at once while the last connection lingers in TIME_WAIT.
    if (!socket->bind(any, localPort,
                      QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        const WinsockError failure = bindFailure(socket->error(), localPort, socket->errorString());
        delete socket;
        throw failure;
    }
    takeStream(socket);
    m_state = Connecting;
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        if (socket != m_tcp)
            return;
        m_state = Connected;
        m_remoteHostIP = plainAddress(socket->peerAddress());
        rememberStreamEnds();
        reportStream(WinsockTraffic::StreamOpened, false);
        Q_EMIT ConnectEvent();
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
        if (socket == m_tcp && m_state == Connecting)
            m_state = Failed;
    });
    socket->connectToHost(address, quint16(m_remotePort));
}

void Winsock::readStream()
{
    if (givesWayToPostedEvents())
        return; // the socket's buffer takes the stream meanwhile, then holds the peer back
    for (qint64 budget = maxStreamBytesPerTurn; m_tcp && budget > 0;) {
        const qint64 room = maxStreamArrivalBytes - BytesAvailable();
        if (room <= 0)
            return; // the handler kept its last arrival: nothing more goes on top of it
        const QByteArray piece = m_tcp->read(std::min(room, budget));
        if (piece.isEmpty())
            return;
        budget -= piece.size();
        m_received += piece;
        stampStreamArrival(piece);
        Q_EMIT BytesArrivedEvent(piece, { {}, 0, m_streams });
        if (!m_tcp)
            return; // its handler closed the endpoint
        deliver(int(BytesAvailable()));
    }
    // What is left in the socket's buffer raises no readyRead of its own.
    if (m_tcp && m_tcp->bytesAvailable() > 0 && !m_readScheduled) {
        m_readScheduled = true;
        QTimer::singleShot(0, this, [this] {
            m_readScheduled = false;
            readStream();
        });
    }
}

void Winsock::stampStreamArrival(const QByteArray &piece)
{
    if (m_streamEnds)
        stampArrival(m_streamEnds->remote, m_streamEnds->remotePort);
    reportStream(WinsockTraffic::StreamBytes, true, piece);
    m_streamReceived += quint64(piece.size());
}

void Winsock::onPeerClosed()
{
    if (!m_tcp || m_state != Connected)
        return;
    // Whatever came with the close is still delivered, all of it now since
    // nothing more will come, in arrivals of the usual size; the last one
    // includes a character whose last bytes never arrived.
    while (m_tcp) {
        const qint64 room = maxStreamArrivalBytes - BytesAvailable();
        if (room <= 0)
            break; // the handler kept its last arrival
        const QByteArray piece = m_tcp->read(room);
        m_received += piece;
        if (!piece.isEmpty())
            stampStreamArrival(piece);
        m_streamEnded = m_tcp->bytesAvailable() == 0;
        if (piece.isEmpty() && !m_streamEnded)
            break;
        if (!piece.isEmpty())
            Q_EMIT BytesArrivedEvent(piece, { {}, 0, m_streams, true });
        if (!m_tcp)
            return;
        if (BytesAvailable() > 0)
            deliver(int(BytesAvailable()));
        if (m_streamEnded)
            break;
    }
    if (!m_tcp)
        return; // the data handler closed the endpoint
    m_state = PeerClosed;
    // Qt closed this end as soon as it read the peer's FIN.
    reportStream(WinsockTraffic::StreamClosed, true);
    reportStream(WinsockTraffic::StreamClosed, false);
    Q_EMIT CloseEvent();
}

void Winsock::dropConnection()
{
    if (!m_tcp)
        return;
    qint64 unsent = 0;
    bool atLeast = false;
    if (m_state == Connected) {
        // Only what the system takes is still heard of: nothing else of this
        // connection reaches a handler.
        disconnect(m_tcp, nullptr, this, nullptr);
        connect(m_tcp, &QTcpSocket::bytesWritten, this, &Winsock::onStreamTaken);
        m_tcp->flush(); // what the system has room for goes, and is captured
        const qintptr descriptor = m_tcp->socketDescriptor();
        const qint64 held = m_tcp->bytesToWrite();
        const qint64 inSystem = systemSockets::unsentBytes(descriptor);
        atLeast = inSystem < 0;
        unsent = held + std::max<qint64>(inSystem, 0);
        // Bytes left unread make the system reset the connection anyway.
        const bool reset = unsent > 0 || systemSockets::unreadBytes(descriptor) > 0;
        if (reset)
            systemSockets::resetOnClose(descriptor);
        reportStream(reset ? WinsockTraffic::StreamReset : WinsockTraffic::StreamClosed, false);
    }
    m_streamEnds.reset();
    m_tcp->disconnect(this);
    m_tcp->abort();
    m_tcp->deleteLater();
    m_tcp = nullptr;
    m_handedOver.clear();
    m_frontTaken = 0;
    if (unsent > 0)
        Q_EMIT ResetEvent(unsent, atLeast);
}

void Winsock::onStreamTaken(qint64 bytes)
{
    while (bytes > 0 && !m_handedOver.empty()) {
        HandedOver &front = m_handedOver.front();
        const qint64 piece = std::min(bytes, front.size - m_frontTaken);
        if (!front.kept.isEmpty() && trafficWanted())
            reportStream(WinsockTraffic::StreamBytes, false,
                         piece == front.size ? front.kept : front.kept.sliced(m_frontTaken, piece));
        m_streamSent += quint64(piece);
        bytes -= piece;
        m_frontTaken += piece;
        if (m_frontTaken == front.size) {
            m_handedOver.pop_front();
            m_frontTaken = 0;
        }
    }
}

void Winsock::SendData(const QString &text)
{
    SendBytes(text.toUtf8());
}

void Winsock::SendBytes(const QByteArray &payload)
{
    if (m_protocol == UDP) {
        sendUdp(payload);
        return;
    }
    if (m_state != Connected || !m_tcp)
        throw WinsockError("no connection to send on");
    // A peer that never reads would otherwise make every send wait in our
    // memory; refusing the whole send keeps what was accepted intact.
    const qint64 waiting = m_tcp->bytesToWrite();
    if (waiting > 0 && waiting + payload.size() > maxWaitingSendBytes)
        throw WinsockError(QStringLiteral("the peer is not reading; %1 bytes are still waiting to "
                                          "be sent")
                                   .arg(waiting)
                                   .toStdString());
    if (payload.isEmpty())
        return;
    // Queued first: the system may take some before write() returns.
    m_handedOver.push_back({ trafficWanted() ? payload : QByteArray(), payload.size() });
    if (m_tcp->write(payload) != payload.size()) {
        m_handedOver.pop_back();
        throw WinsockError(m_tcp->errorString().toStdString());
    }
}
