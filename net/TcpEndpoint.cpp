#include "net/TcpEndpoint.h"

#include "net/Winsock.h"
#include "net/addresses.h"
#include "net/systemSockets.h"
#include "tls/tlsWords.h"

#include <QHostInfo>
#include <QMetaObject>
#include <QPointer>
#include <QRegularExpression>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

// One turn of the event loop hands the window at most this much, in arrivals
// of maxStreamArrivalBytes, so the log's work for it stays short (a few ms,
// even as hex records) and input and paint get their turn under a fast
// stream. One turn per arrival would cost more than it saves: at 64 KB the
// wake-ups and turns of the event loop held a stream to a sixth of what the
// log takes, and 2 MiB took a fifth less of the window's time than 1 MiB
// (2 MiB of hex records is some 10 ms of work).
constexpr qint64 maxStreamBytesPerTurn = qint64(2048) * 1024;
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

// A server whose clients are QSslSockets, not yet encrypted: the endpoint
// starts each handshake itself, so that it decides what a failed one ends.
class TlsServer final : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor))
            addPendingConnection(socket);
        else
            delete socket;
    }
};

// Set on a TLS connection once the peer has ended TLS (close_notify).
constexpr char tlsEndedProperty[] = "tarvikTlsEnded";

QSslSocket *asTls(QTcpSocket *socket)
{
    return qobject_cast<QSslSocket *>(socket);
}

// What a socket holds that the system has not taken: with TLS the plaintext
// not yet encrypted and the records not yet written.
qint64 heldToWrite(QTcpSocket *socket)
{
    const QSslSocket *tls = asTls(socket);
    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

} // namespace

TcpEndpoint::TcpEndpoint(const QByteArray &waiting, std::function<bool()> trafficWanted,
                         QObject *parent)
    : QObject(parent)
    , m_waiting(waiting)
    , m_trafficWanted(std::move(trafficWanted))
{ }

quint16 TcpEndpoint::localPort() const
{
    if (m_server && m_server->isListening())
        return m_server->serverPort();
    return m_tcp ? m_tcp->localPort() : 0;
}

bool TcpEndpoint::givesWayToPostedEvents()
{
    const auto now = std::chrono::steady_clock::now();
    if (!m_markPosted) {
        m_markPosted = now;
        QMetaObject::invokeMethod(this, &TcpEndpoint::onPostedMark, Qt::QueuedConnection);
        return false;
    }
    if (now - *m_markPosted <= Winsock::maxPostedEventDelay)
        return false;
    m_readWaitsForMark = true;
    return true;
}

void TcpEndpoint::onPostedMark()
{
    m_markPosted.reset();
    if (!std::exchange(m_readWaitsForMark, false))
        return;
    // The connection open now, if any: reading one with nothing waiting costs
    // a question to the system and nothing else.
    if (m_tcp)
        readStream();
}

void TcpEndpoint::listen(quint16 port)
{
    m_roleTls = m_nextTls;
    if (m_roleTls && m_roleTls->identity.isNull())
        throw WinsockError("the TLS server has no certificate");
    auto *server = m_roleTls ? new TlsServer(this) : new QTcpServer(this);
    if (!server->listen(QHostAddress::Any, port)) {
        const WinsockError failure
                = bindFailure(server->serverError(), port, server->errorString());
        delete server;
        throw failure;
    }
    connect(server, &QTcpServer::newConnection, this, &TcpEndpoint::takePendingConnections);
    m_server = server;
}

void TcpEndpoint::takePendingConnections()
{
    // One request at a time; the handler usually closes the server, which
    // ends the loop and lets the system refuse everyone else.
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        socket->setParent(this);
        socket->disconnect(m_server);
        QSslSocket *tls = m_roleTls ? asTls(socket) : nullptr;
        if (!tls) {
            offerRequest(socket);
            continue;
        }
        if (m_handshakes.size() >= maxHandshakes) {
            socket->abort();
            socket->deleteLater();
            Q_EMIT tlsFailed(QStringLiteral("%1 handshakes are already under way; a client was "
                                            "refused")
                                     .arg(maxHandshakes));
            continue;
        }
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(m_roleTls->identity.certificate);
        configuration.setPrivateKey(m_roleTls->identity.key);
        configuration.setLocalCertificateChain(
                QList<QSslCertificate> { m_roleTls->identity.certificate }
                + m_roleTls->identity.chain);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        tls->setSslConfiguration(configuration);
        startHandshake(tls, false, [this, tls] { offerRequest(tls); });
    }
}

void TcpEndpoint::offerRequest(QTcpSocket *socket)
{
    const int requestId = m_nextRequestId++;
    m_pending.insert(requestId, socket);
    Q_EMIT connectionRequested(requestId);
    if (QTcpSocket *refused = m_pending.take(requestId)) {
        refused->abort();
        refused->deleteLater();
    }
}

void TcpEndpoint::startHandshake(QSslSocket *socket, bool asClient,
                                 const std::function<void()> &done)
{
    auto *timeout = new QTimer(socket);
    timeout->setSingleShot(true);
    m_handshakes.insert(socket, timeout);
    connect(timeout, &QTimer::timeout, this, [this, socket] {
        failHandshake(socket, handshakeFailure(QAbstractSocket::SocketTimeoutError, {}));
    });
    auto problems = std::make_shared<QList<QSslError>>();
    connect(socket, &QSslSocket::sslErrors, this,
            [this, socket, problems](const QList<QSslError> &errors) {
                if (!m_handshakes.contains(socket))
                    return;
                if (m_roleTls && !m_roleTls->checkPeer) {
                    *problems = errors;
                    socket->ignoreSslErrors();
                    return;
                }
                failHandshake(socket, certificateProblems(errors, m_peerName));
            });
    connect(socket, &QSslSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError error) {
                if (m_handshakes.contains(socket))
                    failHandshake(socket, handshakeFailure(error, socket->errorString()));
            });
    connect(socket, &QSslSocket::encrypted, this, [this, socket, asClient, problems, done] {
        if (!m_handshakes.contains(socket))
            return;
        dropHandshake(socket);
        TlsSession session { socket->sessionProtocol(),          socket->sessionCipher().name(),
                             socket->peerCertificate(),          asClient,
                             !m_roleTls || m_roleTls->checkPeer, *problems };
        const QString text = sessionText(session);
        if (!asClient)
            socket->setProperty("tarvikTlsSession", text); // told once it is accepted
        done();
        if (asClient)
            Q_EMIT tlsEstablished(text);
    });
    timeout->start(tlsHandshakeTimeoutMs);
    if (asClient)
        socket->startClientEncryption();
    else
        socket->startServerEncryption();
}

void TcpEndpoint::dropHandshake(QSslSocket *socket)
{
    if (QTimer *timeout = m_handshakes.take(socket))
        timeout->deleteLater();
}

void TcpEndpoint::failHandshake(QSslSocket *socket, const QString &reason)
{
    if (!m_handshakes.contains(socket))
        return;
    dropHandshake(socket);
    // The client's connection has failed before its failure is told, so
    // whoever hears it finds the endpoint's state already saying so.
    if (socket == m_tcp) {
        dropConnection();
        Q_EMIT connectFailed();
    } else {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    Q_EMIT tlsFailed(reason);
}

QTcpSocket *TcpEndpoint::takeRequest(int requestId)
{
    QTcpSocket *socket = m_pending.take(requestId);
    if (!socket)
        throw WinsockError(QStringLiteral("no pending connection %1").arg(requestId).toStdString());
    return socket;
}

void TcpEndpoint::takeStream(QTcpSocket *socket)
{
    m_tcp = socket;
    ++m_streams;
    m_streamReceived = 0;
    m_streamSent = 0;
    m_handedOver.clear();
    m_frontTaken = 0;
    socket->setReadBufferSize(streamReadBufferBytes);
    connect(socket, &QTcpSocket::readyRead, this, &TcpEndpoint::readStream);
    connect(socket, &QTcpSocket::disconnected, this, &TcpEndpoint::onPeerClosed);
    connect(socket, &QTcpSocket::bytesWritten, this, &TcpEndpoint::onStreamTaken);
    if (QSslSocket *tls = asTls(socket))
        watchTlsEnd(tls);
}

void TcpEndpoint::watchTlsEnd(QSslSocket *socket)
{
    // OpenSSL tells the peer's close_notify as an alert; a backend that
    // tells no alerts words it as this error.
    const auto ended = [socket] { socket->setProperty(tlsEndedProperty, true); };
    connect(socket, &QSslSocket::alertReceived, this,
            [ended](QSsl::AlertLevel, QSsl::AlertType type, const QString &) {
                if (type == QSsl::AlertType::CloseNotify)
                    ended();
            });
    connect(socket, &QSslSocket::errorOccurred, this,
            [socket, ended](QAbstractSocket::SocketError error) {
                if (error == QAbstractSocket::RemoteHostClosedError
                    && socket->errorString()
                               == QSslSocket::tr("The TLS/SSL connection has been closed"))
                    ended();
            });
}

void TcpEndpoint::adopt(QTcpSocket *socket)
{
    takeStream(socket);
    m_connected = true;
    rememberStreamEnds();
    reportStream(WinsockTraffic::StreamOpened, true);
    const QString session = socket->property("tarvikTlsSession").toString();
    if (!session.isEmpty())
        Q_EMIT tlsEstablished(QStringLiteral("%1; client %2 port %3")
                                      .arg(session, m_streamEnds->remote.toString())
                                      .arg(m_streamEnds->remotePort));
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

void TcpEndpoint::connectTo(const QString &host, quint16 remotePort, quint16 localPort)
{
    m_roleTls = m_nextTls;
    m_peerName = host;
    QHostAddress literal;
    if (literal.setAddress(host)) {
        startConnect(literal, remotePort, localPort);
        return;
    }
    if (!looksLikeHostName(host))
        throw WinsockError(QStringLiteral("'%1' is not a host name").arg(host).toStdString());
    m_connectLookupId = QHostInfo::lookupHost(
            host, this, [this, remotePort, localPort](const QHostInfo &info) {
                // Not the lookup given up by a close.
                if (std::exchange(m_connectLookupId, -1) == -1 || m_tcp)
                    return;
                const QHostAddress address = preferredAddress(info);
                // A failure after Connect() returned is told to nobody; the state says it.
                if (address.isNull()) {
                    Q_EMIT connectFailed();
                    return;
                }
                try {
                    startConnect(address, remotePort, localPort);
                } catch (const WinsockError &) {
                    Q_EMIT connectFailed();
                }
            });
}

void TcpEndpoint::startConnect(const QHostAddress &address, quint16 remotePort, quint16 localPort)
{
    QTcpSocket *socket = m_roleTls ? new QSslSocket(this) : new QTcpSocket(this);
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
    const auto up = [this, socket] {
        m_connected = true;
        rememberStreamEnds();
        reportStream(WinsockTraffic::StreamOpened, false);
        Q_EMIT connected(socket->peerAddress());
    };
    const auto failed = connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
        // The owner's state says whether it was still connecting.
        if (socket == m_tcp)
            Q_EMIT connectFailed();
    });
    connect(socket, &QTcpSocket::connected, this, [this, socket, up, failed] {
        if (socket != m_tcp)
            return;
        QSslSocket *tls = asTls(socket);
        if (!tls) {
            up();
            return;
        }
        // From here the handshake tells its own failures.
        disconnect(failed);
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
        tls->setSslConfiguration(configuration);
        tls->setPeerVerifyName(m_peerName);
        startHandshake(tls, true, up);
    });
    socket->connectToHost(address, remotePort);
}

void TcpEndpoint::readStream()
{
    if (givesWayToPostedEvents())
        return; // the socket's buffer takes the stream meanwhile, then holds the peer back
    for (qint64 budget = maxStreamBytesPerTurn; m_tcp && budget > 0;) {
        const qint64 room = Winsock::maxStreamArrivalBytes - m_waiting.size();
        if (room <= 0)
            return; // the handler kept its last arrival: nothing more goes on top of it
        const QByteArray piece = m_tcp->read(std::min(room, budget));
        if (piece.isEmpty())
            return;
        budget -= piece.size();
        countRead(piece);
        Q_EMIT bytesRead(piece, { {}, 0, m_streams }, m_streamEnds->remote,
                         m_streamEnds->remotePort);
        if (!m_tcp)
            return; // its handler closed the endpoint
        Q_EMIT arrivalReady();
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

void TcpEndpoint::countRead(const QByteArray &piece)
{
    reportStream(WinsockTraffic::StreamBytes, true, piece);
    m_streamReceived += quint64(piece.size());
}

void TcpEndpoint::onPeerClosed()
{
    if (!m_tcp || !m_connected)
        return;
    // Whatever came with the close is still delivered, all of it now since
    // nothing more will come, in arrivals of the usual size; the last one
    // includes a character whose last bytes never arrived.
    while (m_tcp) {
        const qint64 room = Winsock::maxStreamArrivalBytes - m_waiting.size();
        if (room <= 0)
            break; // the handler kept its last arrival
        const QByteArray piece = m_tcp->read(room);
        if (!piece.isEmpty())
            countRead(piece);
        m_streamEnded = m_tcp->bytesAvailable() == 0;
        if (piece.isEmpty() && !m_streamEnded)
            break;
        if (!piece.isEmpty())
            Q_EMIT bytesRead(piece, { {}, 0, m_streams, true }, m_streamEnds->remote,
                             m_streamEnds->remotePort);
        if (!m_tcp)
            return;
        if (!m_waiting.isEmpty())
            Q_EMIT arrivalReady();
        if (m_streamEnded)
            break;
    }
    if (!m_tcp)
        return; // the data handler closed the endpoint
    m_connected = false;
    // Qt closed this end as soon as it read the peer's FIN.
    reportStream(WinsockTraffic::StreamClosed, true);
    reportStream(WinsockTraffic::StreamClosed, false);
    if (asTls(m_tcp) && !m_tcp->property(tlsEndedProperty).toBool())
        Q_EMIT tlsEndedUncleanly();
    Q_EMIT peerClosed();
}

void TcpEndpoint::dropConnection()
{
    if (!m_tcp)
        return;
    qint64 unsent = 0;
    bool atLeast = false;
    if (std::exchange(m_connected, false)) {
        // Only what the system takes is still heard of: nothing else of this
        // connection reaches a handler.
        disconnect(m_tcp, nullptr, this, nullptr);
        connect(m_tcp, &QTcpSocket::bytesWritten, this, &TcpEndpoint::onStreamTaken);
        m_tcp->flush(); // what the system has room for goes, and is captured
        const qintptr descriptor = m_tcp->socketDescriptor();
        const qint64 held = heldToWrite(m_tcp);
        const qint64 inSystem = systemSockets::unsentBytes(descriptor);
        atLeast = inSystem < 0;
        unsent = held + std::max<qint64>(inSystem, 0);
        // Bytes left unread make the system reset the connection anyway.
        const bool reset = unsent > 0 || systemSockets::unreadBytes(descriptor) > 0;
        if (reset) {
            systemSockets::resetOnClose(descriptor);
        } else if (QSslSocket *tls = asTls(m_tcp); tls && tls->isEncrypted()) {
            // Ends TLS first (close_notify), so the peer knows nothing was cut off.
            tls->disconnectFromHost();
            tls->flush();
        }
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
        Q_EMIT reset(unsent, atLeast);
}

void TcpEndpoint::onStreamTaken(qint64 bytes)
{
    const qint64 all = bytes;
    while (bytes > 0 && !m_handedOver.empty()) {
        HandedOver &front = m_handedOver.front();
        const qint64 piece = std::min(bytes, front.size - m_frontTaken);
        const bool ends = m_frontTaken + piece == front.size;
        if (!front.kept.isEmpty() && m_trafficWanted())
            reportStream(WinsockTraffic::StreamBytes, false,
                         piece == front.size ? front.kept : front.kept.sliced(m_frontTaken, piece),
                         ends);
        m_streamSent += quint64(piece);
        bytes -= piece;
        m_frontTaken += piece;
        if (ends) {
            m_handedOver.pop_front();
            m_frontTaken = 0;
        }
    }
    if (all > 0)
        Q_EMIT taken(all);
}

void TcpEndpoint::send(const QByteArray &payload)
{
    if (!m_connected || !m_tcp)
        throw WinsockError("no connection to send on");
    // A peer that never reads would otherwise make every send wait in our
    // memory; refusing the whole send keeps what was accepted intact.
    const qint64 waiting = heldToWrite(m_tcp);
    if (waiting > 0 && waiting + payload.size() > Winsock::maxWaitingSendBytes)
        throw WinsockError(QStringLiteral("the peer is not reading; %1 bytes are still waiting to "
                                          "be sent")
                                   .arg(waiting)
                                   .toStdString());
    if (payload.isEmpty())
        return;
    // Queued first: the system may take some before write() returns.
    m_handedOver.push_back({ m_trafficWanted() ? payload : QByteArray(), payload.size() });
    if (m_tcp->write(payload) != payload.size()) {
        m_handedOver.pop_back();
        throw WinsockError(m_tcp->errorString().toStdString());
    }
}

void TcpEndpoint::close()
{
    if (m_connectLookupId != -1) {
        QHostInfo::abortHostLookup(m_connectLookupId);
        m_connectLookupId = -1;
    }
    const auto handshaking = m_handshakes.keys();
    for (QSslSocket *socket : handshaking) {
        if (socket == m_tcp)
            continue;
        dropHandshake(socket);
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_handshakes.clear();
    m_roleTls.reset();
    if (m_server) {
        m_server->disconnect(this);
        // Connections already taken out of the server stay in m_pending, so a
        // handler can still accept one after closing.
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    dropConnection();
    m_streamEnded = false;
}

void TcpEndpoint::rememberStreamEnds()
{
    m_streamEnds = StreamEnds { plainHostAddress(m_tcp->localAddress()), m_tcp->localPort(),
                                plainHostAddress(m_tcp->peerAddress()), m_tcp->peerPort() };
}

void TcpEndpoint::reportStream(WinsockTraffic::Kind kind, bool inbound, const QByteArray &payload,
                               bool endsSend)
{
    if (!m_streamEnds || !m_trafficWanted())
        return;
    Q_EMIT traffic({ kind, inbound, m_streamEnds->local, m_streamEnds->localPort,
                     m_streamEnds->remote, m_streamEnds->remotePort,
                     std::chrono::system_clock::now(), payload, m_streamReceived, m_streamSent,
                     endsSend });
}
