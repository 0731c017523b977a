#include "capture/ipPacket.h"

#include <QtEndian>

#include <cstring>

namespace {

constexpr quint8 protocolTcp = 6;
constexpr quint8 protocolUdp = 17;
constexpr quint8 timeToLive = 64;

void put8(QByteArray &out, quint8 value)
{
    out.append(char(value));
}

void put16(QByteArray &out, quint16 value)
{
    const quint16 big = qToBigEndian(value);
    out.append(reinterpret_cast<const char *>(&big), 2);
}

void put32(QByteArray &out, quint32 value)
{
    const quint32 big = qToBigEndian(value);
    out.append(reinterpret_cast<const char *>(&big), 4);
}

void set16(QByteArray &out, qsizetype at, quint16 value)
{
    qToBigEndian(value, out.data() + at);
}

QByteArray addressBytes(const QHostAddress &address, bool v4)
{
    QByteArray out;
    if (v4) {
        put32(out, address.toIPv4Address());
    } else {
        const Q_IPV6ADDR v6 = address.toIPv6Address();
        out.append(reinterpret_cast<const char *>(v6.c), 16);
    }
    return out;
}

// The IP header, then the upper layer's header with its checksum (at
// `checksumAt` within it) over the pseudo header, itself and the payload.
QByteArray ipHeaders(const PacketEnds &ends, quint8 protocol, QByteArray upper,
                     qsizetype checksumAt, QByteArrayView payload)
{
    const bool v4 = ends.isIPv4();
    const QByteArray source = addressBytes(ends.source, v4);
    const QByteArray destination = addressBytes(ends.destination, v4);
    const auto upperLength = quint16(upper.size() + payload.size());

    QByteArray pseudo = source + destination;
    put16(pseudo, 0);
    put8(pseudo, 0);        // with the next byte: the protocol as 16 bits (IPv4), or
    put8(pseudo, protocol); // as the low byte of a 32-bit length word (IPv6)
    put16(pseudo, upperLength);
    pseudo += upper; // an even length: the payload's words stay aligned
    quint16 checksum = internetChecksum(payload, quint16(~internetChecksum(pseudo)));
    if (protocol == protocolUdp && checksum == 0)
        checksum = 0xFFFF; // 0 means "none" for UDP
    set16(upper, checksumAt, checksum);

    QByteArray out;
    out.reserve(40 + upper.size());
    if (v4) {
        put8(out, 0x45);
        put8(out, 0);
        put16(out, quint16(20 + upperLength));
        put16(out, 0);      // identification: never fragmented
        put16(out, 0x4000); // don't fragment
        put8(out, timeToLive);
        put8(out, protocol);
        put16(out, 0);
        out += source;
        out += destination;
        set16(out, 10, internetChecksum(out));
    } else {
        put32(out, 0x60000000);
        put16(out, upperLength);
        put8(out, protocol);
        put8(out, timeToLive);
        out += source;
        out += destination;
    }
    return out + upper;
}

} // namespace

bool PacketEnds::isIPv4() const
{
    return source.protocol() == QAbstractSocket::IPv4Protocol
           && destination.protocol() == QAbstractSocket::IPv4Protocol;
}

quint16 internetChecksum(QByteArrayView bytes, quint16 carried)
{
    // The one's complement sum is the same in either byte order but for a
    // swap of its two bytes (RFC 1071), so the bulk is summed as the machine
    // reads it, 32-bit halves of 64-bit words into 64 bits, and swapped once;
    // the checksum of a capture's every payload costs a load and two adds
    // per eight bytes.
    const auto *data = reinterpret_cast<const uchar *>(bytes.data());
    const qsizetype size = bytes.size();
    const qsizetype bulk = size & ~qsizetype(7);
    quint64 native = 0;
    for (qsizetype i = 0; i < bulk; i += 8) {
        quint64 word;
        std::memcpy(&word, data + i, sizeof word);
        native += (word & 0xFFFFFFFF) + (word >> 32);
    }
    const auto fold = [](quint64 sum) {
        while (sum >> 16)
            sum = (sum & 0xFFFF) + (sum >> 16);
        return quint16(sum);
    };
    quint16 folded = fold(native);
    if constexpr (QSysInfo::ByteOrder == QSysInfo::LittleEndian)
        folded = quint16(folded << 8 | folded >> 8);
    quint64 sum = quint64(carried) + folded;
    qsizetype i = bulk;
    for (; i + 1 < size; i += 2)
        sum += quint32(data[i]) << 8 | data[i + 1];
    if (i < size)
        sum += quint32(data[i]) << 8;
    return quint16(~fold(sum));
}

QByteArray udpHeaders(const PacketEnds &ends, QByteArrayView payload)
{
    QByteArray udp;
    put16(udp, ends.sourcePort);
    put16(udp, ends.destinationPort);
    put16(udp, quint16(8 + payload.size()));
    put16(udp, 0);
    return ipHeaders(ends, protocolUdp, std::move(udp), 6, payload);
}

QByteArray tcpHeaders(const PacketEnds &ends, const TcpHeader &tcp, QByteArrayView payload)
{
    const auto headerLength = quint8(20 + tcp.options.size());
    QByteArray segment;
    put16(segment, ends.sourcePort);
    put16(segment, ends.destinationPort);
    put32(segment, tcp.sequence);
    put32(segment, tcp.acknowledgement);
    put8(segment, quint8(headerLength / 4 << 4));
    put8(segment, tcp.flags);
    put16(segment, tcp.window);
    put16(segment, 0); // checksum
    put16(segment, 0); // urgent pointer
    segment.append(tcp.options);
    return ipHeaders(ends, protocolTcp, std::move(segment), 16, payload);
}
