#pragma once

#include "net/DatagramReader.h"
#include "net/WinsockTraffic.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class QHostInfo;
class QUdpSocket;

// Winsock's UDP side: one socket, its receives on the reader's thread and
// their delivery on this one, sends by name or address, and the multicast
// group it holds. Outcomes are its signals; the owner keeps what the window
// reads (the arrival, the state).
class UdpEndpoint final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UdpEndpoint)

public:
    // `trafficWanted`: whether anyone captures what passes, so that its
    // records are built only then.
    UdpEndpoint(std::function<bool()> trafficWanted, QObject *parent);

    bool isOpen() const { return m_udp != nullptr; }
    quint16 localPort() const; // 0 when closed
    // Binds the socket (0: any free port); a WinsockError says why not.
    void open(quint16 port);
    // Gives up the lookups, the waiting datagrams, the group and the socket.
    void close();

    // One datagram to `host` (a literal or a name, resolved in order with
    // the datagrams before it) or to `to`; refusals raise a WinsockError.
    void send(const QString &host, quint16 port, const QByteArray &payload);
    void sendTo(const QHostAddress &to, quint16 port, const QByteArray &payload);

    // Winsock::JoinRemoteGroup's rules, for the group `host` names.
    void joinGroup(const QString &host, const QString &localAddress);
    void leaveGroup();
    QString joinedGroup() const;
    QString joinedInterface() const;

Q_SIGNALS:
    // A datagram taken from the socket, for the owner to hand on.
    void datagramArrived(const DatagramReader::Datagram &datagram, const WinsockOrigin &from);
    void datagramsDropped(quint64 backlog, quint64 bySystem);
    void sendFailed(const QString &reason);
    void groupChanged();
    void traffic(const WinsockTraffic &traffic);

private:
    void readDatagrams();
    void sendDatagram(const QHostAddress &to, const QByteArray &payload, quint16 port);
    void onSendLookup(const QHostInfo &info);
    // Why the system refused a datagram to `to`, in words: Qt names no cause.
    QString sendRefusal(const QHostAddress &to) const;

    // Each hand-over from the reader's thread wakes the GUI thread, which on
    // Windows is a round of system messages, so a pass woken for every
    // datagram or two would spend most of its time on wake-ups. After a pass
    // that delivered all the reader held, a wake-up within minReadPassInterval
    // delivers nothing and a timer delivers at its end: datagrams then come
    // in batches of the interval's worth. A pass that stopped at
    // Winsock::maxReadPerWakeup left datagrams waiting: the next comes once the event
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

    // The local address a datagram to `to` leaves from (the system's route).
    QHostAddress sourceAddressFor(const QHostAddress &to);
    void reportDatagramSent(const QHostAddress &to, quint16 port, const QByteArray &payload);
    // The last route looked up for a capture: sends mostly go to one peer.
    QHostAddress m_routedTo;
    QHostAddress m_routedFrom;

    const std::function<bool()> m_trafficWanted;
    QUdpSocket *m_udp = nullptr;
    std::unique_ptr<DatagramReader> m_reader;        // exactly while m_udp is open
    std::deque<DatagramReader::Datagram> m_arrivals; // taken, not yet delivered

    // Name resolution: datagrams wait, in order, for the one lookup.
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

    struct Membership
    {
        QHostAddress group;
        unsigned interfaceIndex = 0; // 0: the system's choice
        QString interfaceName;
    };
    std::optional<Membership> m_group; // only while m_udp is open
};
