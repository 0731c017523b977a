#pragma once

#include "net/WinsockTraffic.h"
#include "tls/TlsSettings.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

class QHostInfo;
class QSslSocket;
class QTcpServer;
class QTcpSocket;
class QTimer;

// Winsock's TCP side: a server for one client or a client of one server, and
// the one connection, read in bounded passes into the owner's bytes waiting
// to be taken. Outcomes are its signals; the owner keeps the state.
//
// With TLS (setTls before the role starts) the connection is a QSslSocket:
// a client is connected once its handshake is done; a server handshakes with
// each client before it is a request, and one whose handshake fails is
// dropped while the server goes on listening. Reads and writes are the
// plaintext, under the same bounds.
class TcpEndpoint final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TcpEndpoint)

public:
    // `waiting`: the owner's bytes read and not yet taken, which each read
    // tops up to Winsock::maxStreamArrivalBytes. `trafficWanted`: whether anyone
    // captures what passes, so that its records are built only then.
    TcpEndpoint(const QByteArray &waiting, std::function<bool()> trafficWanted, QObject *parent);

    quint16 localPort() const; // 0 when nothing holds one
    // The Origin of what the connection delivers now; peerClosed only with
    // the very last bytes of the connection.
    WinsockOrigin origin() const { return { {}, 0, m_streams, m_streamEnded }; }

    // The TLS the roles started from now on speak; none: plain TCP.
    void setTls(std::optional<TlsSettings> tls) { m_nextTls = std::move(tls); }

    // A WinsockError says why not.
    void listen(quint16 port);
    // The connection of a request, taken out of the pending ones; then
    // adopt() makes it the endpoint's.
    QTcpSocket *takeRequest(int requestId);
    void adopt(QTcpSocket *socket);
    // `host`: a literal, or a name looked up first.
    void connectTo(const QString &host, quint16 remotePort, quint16 localPort);
    void send(const QByteArray &payload);
    // Gives up the lookup, the server and the connection (ResetEvent's rules).
    void close();

Q_SIGNALS:
    void connectionRequested(int requestId);
    void connected(const QHostAddress &peer);
    void connectFailed();
    // The next piece of the stream, from `peer`; arrivalReady() then asks the
    // owner to deliver what waits, unless the piece's handler closed it.
    void bytesRead(const QByteArray &piece, const WinsockOrigin &from, const QHostAddress &peer,
                   quint16 peerPort);
    void arrivalReady();
    void peerClosed();
    void reset(qint64 unsentBytes, bool atLeast);
    // The system took that many more of the bytes handed to send().
    void taken(qint64 bytes);
    void traffic(const WinsockTraffic &traffic);
    // A handshake done: what was agreed, in words (tlsWords.h).
    void tlsEstablished(const QString &session);
    // A handshake that failed, and why; a client's then raises connectFailed.
    void tlsFailed(const QString &reason);
    // The TLS peer closed without ending TLS first (no close_notify).
    void tlsEndedUncleanly();

private:
    void takePendingConnections();
    // Makes the socket the connection, its counts and queue fresh.
    void takeStream(QTcpSocket *socket);
    void startConnect(const QHostAddress &address, quint16 remotePort, quint16 localPort);
    // The request taken out of the server, once it is one (after its
    // handshake, with TLS).
    void offerRequest(QTcpSocket *socket);
    // TLS handshakes: the client's after its connect, the server's with
    // each client it takes; `done` runs once it succeeds, a failure is told
    // with tlsFailed and the socket dropped.
    void startHandshake(QSslSocket *socket, bool asClient, const std::function<void()> &done);
    void failHandshake(QSslSocket *socket, const QString &reason);
    void dropHandshake(QSslSocket *socket);
    // Notes on the socket when its peer ends TLS, so a close tells whether it did.
    void watchTlsEnd(QSslSocket *socket);
    void readStream();
    void onPeerClosed();
    // The piece just read passed inbound now.
    void countRead(const QByteArray &piece);
    // Hands the system what it has room for and closes: cleanly (FIN) when
    // all of it has been sent, else with a reset (RST) and reset().
    void dropConnection();
    // The system took that many of the bytes handed over, the oldest first.
    void onStreamTaken(qint64 bytes);
    // Bytes handed to the socket and not yet taken by the system, in order:
    // the bytes themselves while a capture wanted them, otherwise only their
    // count. At most what the socket buffers: Winsock::maxWaitingSendBytes and a
    // send.
    struct HandedOver
    {
        QByteArray kept;
        qint64 size = 0;
    };
    std::deque<HandedOver> m_handedOver;
    qint64 m_frontTaken = 0; // of m_handedOver's front
    // The connection's bytes so far each way: read, and taken by the system.
    quint64 m_streamReceived = 0;
    quint64 m_streamSent = 0;

    // Windows serves socket messages before posted events and begins no new
    // turn of its loop while more keep coming, so under a flood a connection
    // read whenever it is readable would hold the window's paints and timers
    // off for as long as the flood lasts. Each wake-up that reads posts a mark; while one has
    // waited longer than Winsock::maxPostedEventDelay, a wake-up reads nothing and the
    // mark reads in its place once it is delivered. Qt stops reporting a
    // socket whose wake-up read nothing only until it is read again, which
    // the mark does.
    bool givesWayToPostedEvents();
    void onPostedMark();
    std::optional<std::chrono::steady_clock::time_point> m_markPosted;
    bool m_readWaitsForMark = false;
    bool m_readScheduled = false;

    // A stream's traffic between the connection's ends, now, after the
    // bytes counted so far.
    void reportStream(WinsockTraffic::Kind kind, bool inbound, const QByteArray &payload = {},
                      bool endsSend = false);
    // The connection's ends, kept for its end: Qt forgets them on disconnect.
    struct StreamEnds
    {
        QHostAddress local;
        quint16 localPort = 0;
        QHostAddress remote;
        quint16 remotePort = 0;
    };
    std::optional<StreamEnds> m_streamEnds;
    void rememberStreamEnds();

    std::optional<TlsSettings> m_nextTls;
    std::optional<TlsSettings> m_roleTls; // what the running role speaks
    QString m_peerName;                   // the client's host as typed, for SNI and the check
    // Server handshakes under way, each with its timeout; more than
    // maxHandshakes at once are refused, so a flood of half-open clients
    // holds no more than that.
    QHash<QSslSocket *, QTimer *> m_handshakes;
    static constexpr int maxHandshakes = 32;

    const QByteArray &m_waiting;
    const std::function<bool()> m_trafficWanted;
    QTcpServer *m_server = nullptr;
    QTcpSocket *m_tcp = nullptr;
    // The connection is up: connected, not yet closed by the peer.
    bool m_connected = false;
    QHash<int, QTcpSocket *> m_pending;
    int m_nextRequestId = 1;
    int m_connectLookupId = -1;
    quint64 m_streams = 0; // connections so far: the Origin of their arrivals
    bool m_streamEnded = false;
};
