#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include "net/DatagramReader.h"
#include "text/StreamDecoder.h"

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>

class QHostInfo;
class QTcpServer;
class QTcpSocket;
class QUdpSocket;

// A failure the endpoint raises at once, with a reason a user can read
// ("port 1000 is already in use").
class WinsockError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One thing that passed the endpoint, for a capture of the conversation: a
// datagram, or a TCP connection's start, bytes or end (a FIN, or a RST that
// threw away what was not sent yet). Addresses are plain (an IPv4 peer of a
// dual-stack socket is IPv4, not ::ffff:a.b.c.d); both ends are of one
// family. Outbound stream bytes pass when the system takes them, inbound ones
// when the endpoint reads them.
struct WinsockTraffic
{
    enum Kind { Datagram, StreamOpened, StreamBytes, StreamClosed, StreamReset };
    Kind kind = Datagram;
    bool inbound = true; // StreamClosed: the peer closed, not this end
    QHostAddress localAddress;
    quint16 localPort = 0;
    QHostAddress remoteAddress;
    quint16 remotePort = 0;
    std::chrono::system_clock::time_point at;
    QByteArray payload;
    // A stream's bytes that passed each way before this, so that a capture
    // started during the connection goes on at its sequence numbers.
    quint64 receivedBefore = 0;
    quint64 sentBefore = 0;
};

// The window's one socket endpoint: TCP (server for one client, or client of
// one server) or UDP, asynchronous, on the GUI thread: only a UDP socket's
// receives run on a thread of their own (DatagramReader), and what they take
// is delivered on the GUI thread. Operations return at once; outcomes arrive
// as the *Event signals, one at a time.
class Winsock final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Winsock)

public:
    // The codes keep their published values (a script or a test may read them
    // as numbers); Q_ENUM makes them print by name in logs and failed checks.
    enum ProtocolCode { TCP = 0, UDP = 1 };
    Q_ENUM(ProtocolCode)
    enum StateCode {
        Closed = 0,
        Bound = 1,      // UDP socket open on LocalPort
        Listening = 2,  // TCP server waiting for a client
        Connecting = 3, // TCP connect (or its name lookup) under way
        Connected = 7,  // TCP connection up
        PeerClosed = 8, // the TCP peer closed; the connection is not usable
        Failed = 9,     // a connect failed after Connect() returned
    };
    Q_ENUM(StateCode)
    enum class DataKind { Bytes, Text };
    // Where an arrival came from: a datagram's sender, or (address null) the
    // TCP connection numbered `stream`, counted from 1 over the endpoint's
    // life, so a reader of the stream knows when a new one begins.
    struct Origin
    {
        QHostAddress address;
        quint16 port = 0;
        quint64 stream = 0;
        bool peerClosed = false; // the stream's last bytes: nothing goes back
        // A datagram from this endpoint's own socket (its group send come
        // back, a send to itself): answering it would answer itself.
        bool fromSelf = false;
    };

    explicit Winsock(QObject *parent = nullptr);
    ~Winsock() override;

    ProtocolCode Protocol() const { return m_protocol; }
    void setProtocol(ProtocolCode protocol);
    QString RemoteHost() const { return m_remoteHost; }
    void setRemoteHost(const QString &host);
    int RemotePort() const { return m_remotePort; }
    void setRemotePort(int port);
    int LocalPort() const;
    void setLocalPort(int port);
    QString RemoteHostIP() const { return m_remoteHostIP; }
    static QString LocalHostName();
    static QString LocalIP();
    StateCode State() const { return m_state; }

    void Bind(double port);
    void Listen();
    void Accept(int requestId);
    void Connect();
    void SendData(const QString &text);
    // The same rules for bytes as they are: one datagram, or written to the
    // connection under the same refusal.
    void SendBytes(const QByteArray &payload);
    // UDP: the bytes as one datagram to `to`'s address and port, whatever
    // RemoteHost says, under the same refusals.
    void SendBytesTo(const Origin &to, const QByteArray &payload);
    QByteArray GetDataBytes();
    // What waits, as UTF-8 text: a character cut between two reads of a
    // connection is put together, one cut short by its end is U+FFFD.
    QString GetDataText();
    void Close();

    // Multicast groups (net/WinsockGroup.cpp). A group is an address in
    // 224.0.0.0/4 or ff00::/8. JoinRemoteGroup joins RemoteHost when it is
    // a group literal: the bound UDP socket joins it on the interface a scope
    // id names (ff02::1%eth0), else on the one that carries localAddress,
    // else on the system's choice; sends to the group leave by that interface
    // and come back to this socket too. It leaves any group held first, joins
    // nothing for a host that is no group, and raises a WinsockError saying
    // why the system refused, the binding left as it was. At most one group
    // is held; LeaveGroup and Close give it up. Every change raises
    // GroupChangedEvent, but the one of destruction.
    static bool isGroupAddress(const QHostAddress &address);
    void JoinRemoteGroup(const QString &localAddress);
    void LeaveGroup();
    QString JoinedGroup() const; // its address; empty when none is held
    // The interface's name; empty when none is held or the system chose.
    QString JoinedInterface() const;

    // Who sent the arrival being delivered and when it was read: the
    // datagram's source, or the TCP peer. Plain addresses, as in
    // WinsockTraffic. Valid from a DataArrivalEvent until the next one.
    QHostAddress ArrivalSender() const { return m_arrivalSender; }
    quint16 ArrivalSenderPort() const { return m_arrivalSenderPort; }
    std::chrono::system_clock::time_point ArrivalWallTime() const { return m_arrivalWall; }
    std::chrono::steady_clock::time_point ArrivalTime() const { return m_arrivalSteady; }
    // The same arrival's Origin, for a decoder of its stream; peerClosed
    // only with the very last bytes of the connection.
    Origin ArrivalOrigin() const
    {
        return m_protocol == UDP ? Origin { m_arrivalSender, m_arrivalSenderPort }
                                 : Origin { {}, 0, m_streams, m_streamEnded };
    }

    // Bytes received and not yet taken by GetData.
    qsizetype BytesAvailable() const { return m_received.size() + m_text.held().size(); }

    // How long one pass goes on delivering datagrams or reading a connection,
    // so a flood cannot starve the event loop. A bound in time rather than in
    // arrivals: what one costs differs tenfold between systems.
    static constexpr std::chrono::milliseconds maxReadPerWakeup { 5 };
    // Longest the event loop's posted events (paints, timers, queued calls)
    // wait behind reading: past it, reading gives way to them for a turn.
    static constexpr std::chrono::milliseconds maxPostedEventDelay { 10 };
    // Everything a UDP endpoint holds between its socket and delivery, in
    // DatagramReader::heldCost() terms; more is dropped and reported.
    static constexpr qint64 maxHeldDatagramBytes = DatagramReader::maxHeldBytes;
    // Drops are reported at most this often.
    static constexpr std::chrono::seconds dropReportInterval { 1 };
    // Datagrams waiting for their host name to resolve; more are refused.
    static constexpr int maxQueuedDatagrams = 1024;
    // Largest TCP arrival: the largest count a hex record's four digits hold,
    // which a UDP datagram never passes either.
    static constexpr qint64 maxStreamArrivalBytes = 0xFFFF;
    // Bytes a TCP connection may hold in memory for a peer that reads slowly
    // or never, beyond what the system itself buffers: a send that would pile
    // up more behind what already waits is refused. One send with nothing
    // waiting is bounded by the send box alone and always accepted.
    static constexpr qint64 maxWaitingSendBytes = qint64(16) * 1024 * 1024;

Q_SIGNALS:
    void ConnectionRequestEvent(int requestId);
    void ConnectEvent();
    void DataArrivalEvent(int bytesTotal);
    // Each arrival's own bytes as they came, just before its DataArrivalEvent,
    // whether or not the handler of that one takes them: a whole datagram, or
    // the next piece of a connection's stream.
    void BytesArrivedEvent(const QByteArray &bytes, const Winsock::Origin &from);
    void CloseEvent();
    // This end reset the connection it left (Close, or a client accepted in
    // its place) while bytes it had accepted to send were not sent yet: they
    // are lost, and this says how many. With `atLeast` the system does not
    // tell what it still held, and only the endpoint's own are counted. Not
    // raised on destruction.
    void ResetEvent(qint64 unsentBytes, bool atLeast);
    // A send that failed after SendData returned (a host name that does not
    // resolve). The caller decides whether to show it.
    void SendFailedEvent(const QString &reason);
    void GroupChangedEvent();
    // Datagrams lost since the last report: `backlog` for want of room
    // within maxHeldDatagramBytes (they came faster than delivered),
    // `bySystem` refused by the system's full buffer (where the system
    // counts them). At most one report each dropReportInterval; the last
    // comes at most that long after the drop.
    void DatagramsDroppedEvent(quint64 backlog, quint64 bySystem);
    // Everything that passes, as it passes, for whoever captures it; built
    // only while something is connected.
    void TrafficEvent(const WinsockTraffic &traffic);

private:
    void requireClosedForProtocolChange() const;
    static quint16 checkedPort(double port);
    static QString plainAddress(const QHostAddress &address);
    static QHostAddress plainHostAddress(const QHostAddress &address);
    static QHostAddress preferredAddress(const QHostInfo &info);
    static WinsockError bindFailure(QAbstractSocket::SocketError error, quint16 port,
                                    const QString &detail);

    // UDP
    void openUdp(quint16 port);
    void readDatagrams();
    void sendUdp(const QByteArray &payload);
    void sendDatagram(const QHostAddress &to, const QByteArray &payload, quint16 port);
    void onSendLookup(const QHostInfo &info);
    // Why the system refused a datagram to `to`, in words: Qt names no cause.
    QString sendRefusal(const QHostAddress &to) const;

    // TCP
    void takePendingConnections();
    // Makes the socket the connection, its counts and queue fresh.
    void takeStream(QTcpSocket *socket);
    void adoptConnection(QTcpSocket *socket);
    void startConnect(const QHostAddress &address);
    void onConnectLookup(const QHostInfo &info);
    void readStream();
    void onPeerClosed();
    // The piece just read came from the peer now.
    void stampStreamArrival(const QByteArray &piece);
    // Hands the system what it has room for and closes: cleanly (FIN) when
    // all of it has been sent, else with a reset (RST) and ResetEvent.
    void dropConnection();
    // The system took that many of the bytes handed over, the oldest first.
    void onStreamTaken(qint64 bytes);
    // Bytes handed to the socket and not yet taken by the system, in order:
    // the bytes themselves while a capture wanted them, otherwise only their
    // count. At most what the socket buffers: maxWaitingSendBytes and a send.
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
    // waited longer than maxPostedEventDelay, a wake-up reads nothing and the
    // mark reads in its place once it is delivered. Qt stops reporting a
    // socket whose wake-up read nothing only until it is read again, which
    // the mark does.
    bool givesWayToPostedEvents();
    void onPostedMark();
    std::optional<std::chrono::steady_clock::time_point> m_markPosted;
    bool m_readWaitsForMark = false;

    // Each hand-over from the reader's thread wakes the GUI thread, which on
    // Windows is a round of system messages, so a pass woken for every
    // datagram or two would spend most of its time on wake-ups. After a pass
    // that delivered all the reader held, a wake-up within minReadPassInterval
    // delivers nothing and a timer delivers at its end: datagrams then come
    // in batches of the interval's worth. A pass that stopped at
    // maxReadPerWakeup left datagrams waiting: the next comes once the event
    // loop's other work has had its turn. The first datagram after a quiet
    // spell is delivered at once.
    static constexpr std::chrono::milliseconds minReadPassInterval { 4 };
    bool waitsForNextPass();
    void deliverDatagram(DatagramReader::Datagram &datagram);
    // Stops the reader before the socket it reads is closed.
    void stopReader();
    std::chrono::steady_clock::time_point m_nextPassAt;
    bool m_passScheduled = false;

    // Drops taken from the reader and not yet reported.
    void reportDrops();
    quint64 m_backlogDrops = 0;
    quint64 m_systemDrops = 0;
    std::chrono::steady_clock::time_point m_nextDropReportAt;
    bool m_dropReportScheduled = false;

    // Whether a datagram's source is this socket: its port, and an address of
    // this machine. The machine's addresses are asked again at most once a
    // second, and only for a datagram from the socket's own port.
    bool isOwnSource(const QHostAddress &address, quint16 port);
    QList<QHostAddress> m_ownAddresses;
    std::chrono::steady_clock::time_point m_ownAddressesUntil;

    void deliver(int bytesTotal);
    void stampArrival(const QHostAddress &sender, quint16 port);
    bool trafficWanted() const;
    // A stream's traffic between the connection's ends, now, after the
    // bytes counted so far.
    void reportStream(WinsockTraffic::Kind kind, bool inbound, const QByteArray &payload = {});
    // The local address a datagram to `to` leaves from (the system's route).
    QHostAddress sourceAddressFor(const QHostAddress &to);
    void reportDatagramSent(const QHostAddress &to, quint16 port, const QByteArray &payload);

    ProtocolCode m_protocol = TCP;
    QString m_remoteHost;
    int m_remotePort = 0;
    int m_localPort = 0;
    QString m_remoteHostIP;
    StateCode m_state = Closed;

    QUdpSocket *m_udp = nullptr;
    std::unique_ptr<DatagramReader> m_reader;        // exactly while m_udp is open
    std::deque<DatagramReader::Datagram> m_arrivals; // taken, not yet delivered
    QTcpServer *m_server = nullptr;
    QTcpSocket *m_tcp = nullptr;
    QHash<int, QTcpSocket *> m_pending;
    int m_nextRequestId = 1;
    int m_connectLookupId = -1;
    quint64 m_streams = 0; // connections so far: the Origin of their arrivals

    // UDP name resolution: datagrams wait, in order, for the one lookup.
    QString m_resolvedHost;
    QHostAddress m_resolvedAddress;
    int m_sendLookupId = -1;
    struct QueuedDatagram
    {
        QString host;
        quint16 port;
        QByteArray payload;
    };
    QList<QueuedDatagram> m_queuedDatagrams;
    void resolveFrontDatagram();
    bool m_readScheduled = false;

    struct Membership
    {
        QHostAddress group;
        unsigned interfaceIndex = 0; // 0: the system's choice
        QString interfaceName;
    };
    std::optional<Membership> m_group; // only while m_udp is open

    QHostAddress m_arrivalSender;
    quint16 m_arrivalSenderPort = 0;
    std::chrono::system_clock::time_point m_arrivalWall;
    std::chrono::steady_clock::time_point m_arrivalSteady;
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
    // The last route looked up for a capture: sends mostly go to one peer.
    QHostAddress m_routedTo;
    QHostAddress m_routedFrom;

    QByteArray m_received;
    StreamDecoder m_text { "UTF-8" }; // GetDataText's, holding a cut character
    bool m_streamEnded = false;
};
