#include "capture/TcpFlow.h"

#include <algorithm>

namespace {

// MSS, then a window scale padded with a NOP: both SYNs carry them.
QByteArray synOptions()
{
    const auto mss = quint16(maxTcpSegmentBytes);
    const char options[]
            = { 2, 4, char(mss >> 8), char(mss & 0xFF), 1, 3, 3, char(TcpFlow::windowScale) };
    return QByteArray(options, sizeof options);
}

} // namespace

TcpFlow::TcpFlow(const PacketEnds &localToRemote)
    : m_ends(localToRemote)
{ }

void TcpFlow::goOnFrom(quint64 received, quint64 sent)
{
    m_opened = true;
    // Past each side's SYN and any FIN; they wrap at 2^32, as TCP's do.
    m_remoteNext = remoteFirstSequence + quint32(1 + received + (m_remoteClosed ? 1 : 0));
    m_localNext = localFirstSequence + quint32(1 + sent + (m_localClosed ? 1 : 0));
}

TcpFlow::Packet TcpFlow::segment(bool inbound, quint8 flags, QByteArrayView payload,
                                 QByteArrayView options) const
{
    TcpHeader header;
    header.sequence = inbound ? m_remoteNext : m_localNext;
    header.acknowledgement = (flags & TcpFlag::Ack) ? (inbound ? m_localNext : m_remoteNext) : 0;
    header.flags = flags;
    header.window = 0xFFFF;
    header.options = options;
    return { inbound, tcpHeaders(inbound ? m_ends.reversed() : m_ends, header, payload), payload };
}

QList<TcpFlow::Packet> TcpFlow::open(bool peerOpened)
{
    if (m_opened)
        return {};
    m_opened = true;
    static const QByteArray options = synOptions();
    QList<Packet> out;
    out.append(segment(peerOpened, TcpFlag::Syn, {}, options));
    (peerOpened ? m_remoteNext : m_localNext) += 1;
    out.append(segment(!peerOpened, TcpFlag::Syn | TcpFlag::Ack, {}, options));
    (peerOpened ? m_localNext : m_remoteNext) += 1;
    out.append(segment(peerOpened, TcpFlag::Ack, {}));
    return out;
}

QList<TcpFlow::Packet> TcpFlow::bytes(bool inbound, QByteArrayView payload)
{
    QList<Packet> out;
    if (inbound ? m_remoteClosed : m_localClosed)
        return out;
    quint32 &next = inbound ? m_remoteNext : m_localNext;
    for (qsizetype at = 0; at < payload.size(); at += maxTcpSegmentBytes) {
        const QByteArrayView piece
                = payload.sliced(at, std::min(maxTcpSegmentBytes, payload.size() - at));
        out.append(segment(inbound, TcpFlag::Psh | TcpFlag::Ack, piece));
        next += quint32(piece.size());
        // Acknowledged at once: until the receiver's first ACK its window is
        // the SYN's, unscaled, which one full segment and a bit would fill.
        out.append(segment(!inbound, TcpFlag::Ack, {}));
    }
    return out;
}

QList<TcpFlow::Packet> TcpFlow::close(bool inbound)
{
    bool &closed = inbound ? m_remoteClosed : m_localClosed;
    if (closed)
        return {};
    closed = true;
    QList<Packet> out;
    out.append(segment(inbound, TcpFlag::Fin | TcpFlag::Ack, {}));
    (inbound ? m_remoteNext : m_localNext) += 1;
    out.append(segment(!inbound, TcpFlag::Ack, {}));
    return out;
}

QList<TcpFlow::Packet> TcpFlow::reset(bool inbound)
{
    if (m_localClosed && m_remoteClosed)
        return {};
    m_localClosed = m_remoteClosed = true;
    return { segment(inbound, TcpFlag::Rst | TcpFlag::Ack, {}) };
}
