#include "capture/pcapng.h"

#include <QtEndian>

namespace {

constexpr quint32 sectionHeaderType = 0x0A0D0D0A;
constexpr quint32 interfaceType = 1;
constexpr quint32 enhancedPacketType = 6;
constexpr quint32 byteOrderMagic = 0x1A2B3C4D;
constexpr quint16 endOfOptions = 0;
constexpr quint16 shbUserApplication = 4;
constexpr quint16 ifTimeResolution = 9;
constexpr quint16 epbFlags = 2;

template<typename Number>
void put(QByteArray &out, Number value)
{
    const Number little = qToLittleEndian(value);
    out.append(reinterpret_cast<const char *>(&little), sizeof little);
}

void padToFour(QByteArray &out)
{
    out.append((4 - out.size() % 4) % 4, '\0');
}

void putOption(QByteArray &out, quint16 code, QByteArrayView value)
{
    put(out, code);
    put(out, quint16(value.size()));
    out.append(value);
    padToFour(out);
}

// The block's type and body, framed by its total length at both ends.
QByteArray block(quint32 type, const QByteArray &body)
{
    const auto length = quint32(body.size() + 12);
    QByteArray out;
    out.reserve(length);
    put(out, type);
    put(out, length);
    out.append(body);
    put(out, length);
    return out;
}

} // namespace

QByteArray pcapngSectionHeader(QByteArrayView application)
{
    QByteArray body;
    put(body, byteOrderMagic);
    put(body, quint16(1)); // version 1.0
    put(body, quint16(0));
    put(body, qint64(-1)); // length not known: the file grows while it is read
    putOption(body, shbUserApplication, application);
    putOption(body, endOfOptions, {});
    return block(sectionHeaderType, body);
}

QByteArray pcapngInterface(quint16 linkType, quint32 snapLength)
{
    QByteArray body;
    put(body, linkType);
    put(body, quint16(0));
    put(body, snapLength);
    const char microseconds = 6;
    putOption(body, ifTimeResolution, QByteArrayView(&microseconds, 1));
    putOption(body, endOfOptions, {});
    return block(interfaceType, body);
}

void appendPcapngPacket(QByteArray &out, quint64 microseconds, PacketDirection direction,
                        QByteArrayView headers, QByteArrayView payload)
{
    const auto captured = quint32(headers.size() + payload.size());
    const quint32 padding = (4 - captured % 4) % 4;
    const quint32 length = 28 + captured + padding + 12 + 4;
    out.reserve(out.size() + length);
    put(out, enhancedPacketType);
    put(out, length);
    put(out, quint32(0)); // interface 0
    put(out, quint32(microseconds >> 32));
    put(out, quint32(microseconds));
    put(out, captured);
    put(out, captured);
    out.append(headers);
    out.append(payload);
    out.append(qsizetype(padding), '\0');
    const quint32 flags = qToLittleEndian(quint32(direction));
    putOption(out, epbFlags, QByteArrayView(reinterpret_cast<const char *>(&flags), 4));
    putOption(out, endOfOptions, {});
    put(out, length);
}
