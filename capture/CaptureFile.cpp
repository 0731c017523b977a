#include "capture/CaptureFile.h"

#include "capture/TcpFlow.h"
#include "capture/pcapng.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

#include <chrono>
#include <optional>
#include <utility>

namespace {

// What one item costs beyond its payload, counted against the bound.
constexpr qsizetype itemOverhead = 128;
// Written in pieces of about this size, each of whole blocks.
constexpr qsizetype writeBatchBytes = qsizetype(1) << 20;

quint64 microsecondsOf(std::chrono::system_clock::time_point at)
{
    return quint64(
            std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count());
}

PacketEnds localToRemote(const WinsockTraffic &traffic)
{
    return { traffic.localAddress, traffic.localPort, traffic.remoteAddress, traffic.remotePort };
}

} // namespace

struct CaptureFile::Flow
{
    PacketEnds ends;
    TcpFlow tcp;
};

CaptureFile::CaptureFile(const QString &path, Format format, QObject *parent)
    : QObject(parent)
    , m_path(path)
    , m_format(format)
    , m_file(path)
{
    // The writer ends by itself only when the capture failed.
    connect(&m_writer, &BackgroundJob::finished, this, [this] {
        QString cause;
        {
            std::lock_guard lock(m_lock);
            // What escaped the writer (no memory, say) ends the capture too.
            if (!std::exchange(m_failed, true))
                m_failure = m_writer.failure();
            cause = m_failure;
        }
        Q_EMIT failed(cause);
    });
}

CaptureFile::~CaptureFile()
{
    {
        std::lock_guard lock(m_lock);
        m_stopBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(stopWithinMs);
    }
    // The writer takes the cancel for the stop: it writes what waits, until m_stopBy.
    m_writer.cancel();
}

bool CaptureFile::start()
{
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        m_openFailure = m_file.errorString();
        return false;
    }
    m_writer.start([this](const BackgroundJob::Run &run) { write(run); },
                   [this] {
                       {
                           std::lock_guard lock(m_lock);
                       }
                       m_changed.notify_all();
                   });
    return true;
}

void CaptureFile::add(const WinsockTraffic &traffic)
{
    if (m_format == RawReceived
        && (!traffic.inbound || traffic.payload.isEmpty()
            || (traffic.kind != WinsockTraffic::Datagram
                && traffic.kind != WinsockTraffic::StreamBytes)))
        return;
    const qsizetype cost = traffic.payload.size() + itemOverhead;
    std::unique_lock lock(m_lock);
    if (m_failed)
        return;
    // The window never waits for the disk: a disk that falls behind by more
    // than the bound ends the capture.
    if (m_waitingBytes + cost > maxWaitingBytes && !m_waiting.isEmpty()) {
        fail(QStringLiteral("the disk does not keep up with the traffic"));
        return;
    }
    m_waiting.append(traffic);
    m_waitingBytes += cost;
    lock.unlock();
    m_changed.notify_all();
}

void CaptureFile::fail(const QString &cause)
{
    if (m_failed)
        return;
    m_failed = true;
    m_failure = cause;
    // The writer ends, and its finished() reports the failure.
    m_changed.notify_all();
}

bool CaptureFile::writeOut(const QByteArray &bytes)
{
    // A short write says nothing; the next one names the cause (no space).
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 written = m_file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            break;
        done += written;
    }
    if (done == bytes.size()) {
        m_whole += done;
        return true;
    }
    const QString cause = m_file.errorString();
    // What part of the piece went in is cut off again; a device that cannot
    // be cut (a pipe) keeps it.
    m_file.resize(m_whole);
    std::lock_guard lock(m_lock);
    fail(cause);
    return false;
}

void CaptureFile::write(const BackgroundJob::Run &run)
{
    // At the window's own priority: the window no longer waits for the
    // writer, so a writer behind it whenever the two want one core would
    // fall behind the stream for good and fail the capture.
    QByteArray out;
    if (m_format == Pcapng)
        out = pcapngSectionHeader("Tarvik") + pcapngInterface(linkTypeRaw, captureSnapLength);
    if (!writeOut(out))
        return;
    auto lastCheck = std::chrono::steady_clock::now();
    for (;;) {
        QList<WinsockTraffic> taken;
        bool stopping = false;
        std::chrono::steady_clock::time_point stopBy;
        {
            std::unique_lock lock(m_lock);
            m_changed.wait_for(lock, std::chrono::milliseconds(presenceCheckMs), [&] {
                return run.isCancelled() || m_failed || !m_waiting.isEmpty();
            });
            if (m_failed)
                return;
            taken.swap(m_waiting);
            m_waitingBytes = 0;
            stopping = run.isCancelled();
            stopBy = m_stopBy;
        }
        out.clear();
        for (const WinsockTraffic &traffic : std::as_const(taken)) {
            encode(traffic, out);
            if (out.size() >= writeBatchBytes) {
                if (!writeOut(out))
                    return;
                out.clear();
                if (stopping && std::chrono::steady_clock::now() >= stopBy)
                    return; // out of time: the rest is left out, at whole blocks
            }
        }
        if (!writeOut(out))
            return;
        if (stopping)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastCheck >= std::chrono::milliseconds(presenceCheckMs)) {
            lastCheck = now;
            if (!QFileInfo::exists(m_path)) {
                const QString folder = QFileInfo(m_path).absolutePath();
                std::lock_guard lock(m_lock);
                fail(QDir(folder).exists() ? QStringLiteral("the file was removed")
                                           : QStringLiteral("its folder %1 was removed")
                                                     .arg(QDir::toNativeSeparators(folder)));
                return;
            }
        }
    }
}

void CaptureFile::encode(const WinsockTraffic &traffic, QByteArray &out)
{
    if (m_format == RawReceived) {
        out += traffic.payload;
        return;
    }
    const quint64 at = microsecondsOf(traffic.at);
    const auto packet = [&](bool inbound, QByteArrayView headers, QByteArrayView payload) {
        appendPcapngPacket(out, at, inbound ? PacketDirection::Inbound : PacketDirection::Outbound,
                           headers, payload);
    };
    const PacketEnds ends = localToRemote(traffic);
    if (traffic.kind == WinsockTraffic::Datagram) {
        // The system passes no datagram larger than its family's packet holds.
        const QByteArrayView payload
                = QByteArrayView(traffic.payload)
                          .first(std::min(traffic.payload.size(), ends.maxUdpPayloadBytes()));
        packet(traffic.inbound, udpHeaders(traffic.inbound ? ends.reversed() : ends, payload),
               payload);
        return;
    }
    QList<TcpFlow::Packet> packets;
    if (traffic.kind == WinsockTraffic::StreamOpened) {
        m_flow = std::make_unique<Flow>(Flow { ends, TcpFlow(ends) });
        packets = m_flow->tcp.open(traffic.inbound);
    } else {
        if (!m_flow || m_flow->ends.source != ends.source
            || m_flow->ends.sourcePort != ends.sourcePort
            || m_flow->ends.destination != ends.destination
            || m_flow->ends.destinationPort != ends.destinationPort)
            m_flow = std::make_unique<Flow>(Flow { ends, TcpFlow(ends) });
        // Where the endpoint's counts stand: a connection open before the
        // capture began is joined there, and bytes sent before it began but
        // taken by the system since are a gap.
        m_flow->tcp.goOnFrom(traffic.receivedBefore, traffic.sentBefore);
    }
    switch (traffic.kind) {
    case WinsockTraffic::StreamBytes:
        packets += m_flow->tcp.bytes(traffic.inbound, traffic.payload);
        break;
    case WinsockTraffic::StreamClosed:
        packets += m_flow->tcp.close(traffic.inbound);
        break;
    case WinsockTraffic::StreamReset:
        packets += m_flow->tcp.reset(traffic.inbound);
        break;
    default:
        break;
    }
    for (const TcpFlow::Packet &each : std::as_const(packets))
        packet(each.inbound, each.headers, each.payload);
}
