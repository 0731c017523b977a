#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include "net/DatagramReader.h"
#include "net/WinsockTraffic.h"
#include "net/addresses.h"
#include "tls/TlsSettings.h"

#include <chrono>
#include <optional>

class StreamDecoder;
class TcpEndpoint;
class UdpEndpoint;

// The window's one socket endpoint: TCP (server for one client, or client of
// one server) or UDP, asynchronous, on the GUI thread: only a UDP socket's
// receives run on a thread of their own (DatagramReader), and what they take
// is delivered on the GUI thread. Operations return at once; outcomes arrive
// as the *Event signals, one at a time. The sockets are its UdpEndpoint's and
// its TcpEndpoint's; it keeps what both share and hands on their outcomes.
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
    using Origin = WinsockOrigin;

    explicit Winsock(QObject *parent = nullptr);
    ~Winsock() override;

    ProtocolCode Protocol() const { return m_protocol; }
    void setProtocol(ProtocolCode protocol);
    QString RemoteHost() const { return m_remoteHost; }
    void setRemoteHost(const QString &host) { m_remoteHost = host; }
    int RemotePort() const { return m_remotePort; }
    void setRemotePort(int port);
    int LocalPort() const;
    void setLocalPort(int port);
    QString RemoteHostIP() const { return m_remoteHostIP; }
    static QString LocalHostName();
    static QString LocalIP();
    StateCode State() const { return m_state; }

    // TLS for the TCP roles started from now on (Listen, Connect); none:
    // plain TCP. A role under way keeps what it started with; UDP ignores it.
    void setTls(std::optional<TlsSettings> tls);

    void Bind(double port);
    void Listen();
    void Accept(int requestId);
    void Connect();
    void SendData(const QString &text) { SendBytes(text.toUtf8()); }
    // The same rules for bytes as they are: one datagram, or written to the
    // connection under the same refusal.
    void SendBytes(const QByteArray &payload);
    // UDP: the bytes as one datagram to `to`'s address and port, whatever
    // RemoteHost says, under the same refusals.
    void SendBytesTo(const Origin &to, const QByteArray &payload);
    // What waits, exactly as it came.
    QByteArray GetDataBytes();
    // What waits, as text, through the caller's decoder of this endpoint's
    // arrivals (by ArrivalOrigin()): a character cut between two reads of a
    // connection is put together, one cut short by its end is U+FFFD (given
    // once the peer closed, with nothing more waiting, too).
    QString GetDataText(StreamDecoder &decoder);
    void Close();

    // Multicast groups (net/UdpEndpoint.cpp). A group is an address in
    // 224.0.0.0/4 or ff00::/8. JoinRemoteGroup joins RemoteHost when it is
    // a group literal: the bound UDP socket joins it on the interface a scope
    // id names (ff02::1%eth0), else on the one that carries localAddress,
    // else on the system's choice; sends to the group leave by that interface
    // and come back to this socket too. It leaves any group held first, joins
    // nothing for a host that is no group, and raises a WinsockError saying
    // why the system refused, the binding left as it was. At most one group
    // is held; LeaveGroup and Close give it up. Every change raises
    // GroupChangedEvent, but the one of destruction.
    static bool isGroupAddress(const QHostAddress &address) { return ::isGroupAddress(address); }
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
    Origin ArrivalOrigin() const;

    // Bytes received and not yet taken by GetData.
    qsizetype BytesAvailable() const { return m_received.size(); }

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
    // The system took that many more of the bytes SendBytes handed to the TCP
    // connection: Qt's bytesWritten, for a sender that keeps only a bounded
    // part of what it sends handed over.
    void WrittenEvent(qint64 bytes);
    // Close() gave up a socket or a connection that was open: whatever was
    // being sent on it ends. Not raised on destruction.
    void LeftEvent();
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
    // What a TLS connection agreed once its handshake was done, or how it
    // ended when the peer did not end TLS first, in words.
    void TlsEvent(const QString &status);
    // A handshake that failed, and why ("the certificate is self-signed
    // (CN=…)"). A client's connection is then closed (State() Failed); a
    // server drops that client and goes on listening.
    void TlsFailedEvent(const QString &reason);

private:
    void openUdp(quint16 port);
    void onDatagramArrived(const DatagramReader::Datagram &datagram, const Origin &from);
    void onStreamRead(const QByteArray &piece, const Origin &from, const QHostAddress &peer,
                      quint16 peerPort);
    void deliver(int bytesTotal);
    void stampArrival(const QHostAddress &sender, quint16 port);
    bool trafficWanted() const;

    ProtocolCode m_protocol = TCP;
    QString m_remoteHost;
    int m_remotePort = 0;
    int m_localPort = 0;
    QString m_remoteHostIP;
    StateCode m_state = Closed;

    QHostAddress m_arrivalSender;
    quint16 m_arrivalSenderPort = 0;
    std::chrono::system_clock::time_point m_arrivalWall;
    std::chrono::steady_clock::time_point m_arrivalSteady;
    QByteArray m_received;

    UdpEndpoint *const m_udp;
    TcpEndpoint *const m_tcp;
};
