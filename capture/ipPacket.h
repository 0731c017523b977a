#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QtGlobal>

// IP packets made up around a payload, as they would have crossed the wire:
// an IPv4 header (no options, don't fragment, TTL 64) or an IPv6 one (hop
// limit 64), then UDP or TCP, every checksum valid. Both ends IPv4 give IPv4;
// otherwise an IPv4 end is written as its ::ffff: form, so one packet holds
// one family.

// The most payload one packet of either family carries: IPv4's total length
// (65,535) less its header and a TCP header with options.
constexpr qsizetype maxTcpSegmentBytes = 65535 - 20 - 28;
// The largest datagram of each family: IPv4's total length counts its own
// header, IPv6's payload length only what follows its 40 bytes.
constexpr qsizetype maxUdpPayloadBytesV4 = 65535 - 20 - 8;
constexpr qsizetype maxUdpPayloadBytesV6 = 65535 - 8;

// From source to destination.
struct PacketEnds
{
    QHostAddress source;
    quint16 sourcePort = 0;
    QHostAddress destination;
    quint16 destinationPort = 0;

    PacketEnds reversed() const { return { destination, destinationPort, source, sourcePort }; }
    bool isIPv4() const;
    qsizetype maxUdpPayloadBytes() const
    {
        return isIPv4() ? maxUdpPayloadBytesV4 : maxUdpPayloadBytesV6;
    }
};

namespace TcpFlag {
constexpr quint8 Fin = 0x01, Syn = 0x02, Rst = 0x04, Psh = 0x08, Ack = 0x10;
}

struct TcpHeader
{
    quint32 sequence = 0;
    quint32 acknowledgement = 0;
    quint8 flags = 0;
    quint16 window = 0;
    QByteArrayView options; // whole 32-bit words
};

// The complement of the one's complement sum of the bytes, as IP, UDP and
// TCP carry it; `carried` is a sum over bytes before them (the pseudo header).
quint16 internetChecksum(QByteArrayView bytes, quint16 carried = 0);

// The IP and UDP headers of a packet that carries `payload` (at most
// ends.maxUdpPayloadBytes()): the packet is they, then the payload.
QByteArray udpHeaders(const PacketEnds &ends, QByteArrayView payload);
// The same with TCP, for a payload of at most maxTcpSegmentBytes.
QByteArray tcpHeaders(const PacketEnds &ends, const TcpHeader &tcp, QByteArrayView payload);
