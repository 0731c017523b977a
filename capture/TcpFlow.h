#pragma once

#include "capture/ipPacket.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// One TCP connection as a capture tells it, with made-up sequence numbers
// that run on from a SYN in each direction, so that a reader following the
// stream gets back exactly the bytes that passed. Each call gives the packets
// of one event, in order: every segment acknowledges all the other side has
// sent, and the receiver of bytes or of a FIN acknowledges them at once.
//
// Invariant: localNext and remoteNext are the next sequence numbers of each
// side; a SYN and a FIN take one each, and once a side has closed (or either
// has reset) it sends nothing.
class TcpFlow
{
public:
    // Its headers, then the payload: a piece of what the call was given.
    struct Packet
    {
        bool inbound;
        QByteArray headers;
        QByteArrayView payload;
    };

    // Seen from this end: source is the local end, destination the peer.
    explicit TcpFlow(const PacketEnds &localToRemote);

    bool isOpen() const { return m_opened; }

    // SYN, SYN-ACK and ACK, the side that knocked first.
    QList<Packet> open(bool peerOpened);
    // Goes on where `received` and `sent` bytes have passed, open already:
    // a connection met open is joined there with no handshake, and bytes that
    // passed unseen leave a gap in the sequence numbers, as a lost capture's
    // would.
    void goOnFrom(quint64 received, quint64 sent);
    // Segments of at most maxTcpSegmentBytes, each with the receiver's ACK.
    QList<Packet> bytes(bool inbound, QByteArrayView payload);
    // FIN from that side, then the other side's ACK; nothing when it had.
    QList<Packet> close(bool inbound);
    // RST from that side, which ends both; nothing once both had ended.
    QList<Packet> reset(bool inbound);

    // The advertised window is 65,535 scaled by 2^14: a gigabyte in flight
    // looks no fuller to a reader than a real fast link.
    static constexpr quint8 windowScale = 14;
    static constexpr quint32 localFirstSequence = 0x10000000;
    static constexpr quint32 remoteFirstSequence = 0x20000000;

private:
    Packet segment(bool inbound, quint8 flags, QByteArrayView payload,
                   QByteArrayView options = {}) const;

    PacketEnds m_ends;
    quint32 m_localNext = localFirstSequence;
    quint32 m_remoteNext = remoteFirstSequence;
    bool m_opened = false;
    bool m_localClosed = false;
    bool m_remoteClosed = false;
};
