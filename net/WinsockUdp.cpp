#include "net/Winsock.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

namespace {
// Large enough that a burst of small datagrams waits in the kernel rather than
// being dropped while the window paints.
constexpr int receiveBufferBytes = 4 * 1024 * 1024;
// Room for the largest datagram there is (IPv6's, without jumbograms), so no
// datagram's size is asked of the system before it is read: on Windows each
// question is a call of its own.
constexpr qint64 maxDatagramBytes = 0xFFFF;
} // namespace

void Winsock::Bind(double port)
{
    if (m_protocol != UDP)
        throw WinsockError("only a UDP endpoint can be bound");
    if (m_state != Closed)
        throw WinsockError("the endpoint is already open");
    openUdp(checkedPort(port));
}

void Winsock::openUdp(quint16 port)
{
    auto *udp = new QUdpSocket(this);
    // No address sharing: a port another program holds must be reported busy.
    if (!udp->bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress)) {
        const WinsockError failure = bindFailure(udp->error(), port, udp->errorString());
        delete udp;
        throw failure;
    }
    udp->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBufferBytes);
    connect(udp, &QUdpSocket::readyRead, this, &Winsock::readDatagrams);
    m_udp = udp;
    m_localPort = udp->localPort();
    m_state = Bound;
}

bool Winsock::waitsForNextPass()
{
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_nextPassAt)
        return false;
    if (!m_passScheduled) {
        m_passScheduled = true;
        QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(m_nextPassAt - now),
                           Qt::PreciseTimer, this, [this] {
                               m_passScheduled = false;
                               if (m_udp)
                                   readDatagrams();
                           });
    }
    return true;
}

void Winsock::readDatagrams()
{
    // The rest waits for the next turn of the event loop: the socket is still
    // readable then, so readyRead comes again.
    if (givesWayToPostedEvents() || waitsForNextPass())
        return;
    // Each read goes ahead without asking first whether a datagram waits, and
    // the one that finds none ends the wake-up: on Windows a question costs
    // as much as a read. Qt reports that read as an error no one listens to.
    // It also has to happen: Qt reports the socket again only after a read,
    // and a readyRead finds nothing when a read outside it (the mark's) came
    // first.
    const auto end = std::chrono::steady_clock::now() + maxReadPerWakeup;
    do {
        // The handler may close the endpoint; check again every round.
        if (!m_udp)
            return;
        const QNetworkDatagram datagram = m_udp->receiveDatagram(maxDatagramBytes);
        if (!datagram.isValid()) {
            m_nextPassAt = std::chrono::steady_clock::now() + minReadPassInterval;
            return;
        }
        // A copy of its own size: the one read into keeps room for the largest.
        m_received = QByteArray(datagram.data().constData(), datagram.data().size());
        const QHostAddress sender = plainHostAddress(datagram.senderAddress());
        stampArrival(sender, quint16(datagram.senderPort()));
        if (trafficWanted()) {
            QHostAddress local = plainHostAddress(datagram.destinationAddress());
            if (local.isNull())
                local = sourceAddressFor(sender);
            Q_EMIT TrafficEvent({ WinsockTraffic::Datagram, true, local, m_udp->localPort(), sender,
                                  m_arrivalSenderPort, m_arrivalWall, m_received });
        }
        Q_EMIT BytesArrivedEvent(m_received,
                                 { datagram.senderAddress(), quint16(datagram.senderPort()) });
        deliver(int(m_received.size()));
    } while (std::chrono::steady_clock::now() < end);
}

void Winsock::sendDatagram(const QHostAddress &to, const QByteArray &payload, quint16 port)
{
    if (m_udp->writeDatagram(payload, to, port) < 0)
        throw WinsockError(sendRefusal(to).toStdString());
    reportDatagramSent(to, port, payload);
}

void Winsock::SendBytesTo(const Origin &to, const QByteArray &payload)
{
    if (m_protocol != UDP || !m_udp)
        throw WinsockError("no UDP socket to send from");
    sendDatagram(to.address, payload, to.port);
}

void Winsock::sendUdp(const QByteArray &payload)
{
    if (!m_udp)
        openUdp(0); // never bound: take any free port, as sockets normally do
    const QString host = m_remoteHost.trimmed();
    const auto port = quint16(m_remotePort);
    QHostAddress literal;
    if (literal.setAddress(host)) {
        sendDatagram(literal, payload, port);
        return;
    }
    if (m_queuedDatagrams.isEmpty() && host == m_resolvedHost && !m_resolvedAddress.isNull()) {
        sendDatagram(m_resolvedAddress, payload, port);
        return;
    }
    if (m_queuedDatagrams.size() >= maxQueuedDatagrams)
        throw WinsockError(QStringLiteral("too many datagrams are waiting for host '%1'")
                                   .arg(host)
                                   .toStdString());
    m_queuedDatagrams.append({ host, port, payload });
    if (m_sendLookupId == -1)
        resolveFrontDatagram();
}

void Winsock::resolveFrontDatagram()
{
    m_sendLookupId
            = QHostInfo::lookupHost(m_queuedDatagrams.front().host, this, &Winsock::onSendLookup);
}

void Winsock::onSendLookup(const QHostInfo &info)
{
    m_sendLookupId = -1;
    if (m_queuedDatagrams.isEmpty())
        return;
    const QString host = m_queuedDatagrams.front().host;
    const QHostAddress address = preferredAddress(info);
    QString failure;
    if (address.isNull())
        failure = QStringLiteral("cannot resolve host '%1'").arg(host);
    else {
        m_resolvedHost = host;
        m_resolvedAddress = address;
    }
    while (!m_queuedDatagrams.isEmpty() && m_queuedDatagrams.front().host == host) {
        const QueuedDatagram datagram = m_queuedDatagrams.takeFirst();
        if (!failure.isEmpty() || !m_udp)
            continue;
        if (m_udp->writeDatagram(datagram.payload, address, datagram.port) < 0)
            failure = sendRefusal(address);
        else
            reportDatagramSent(address, datagram.port, datagram.payload);
    }
    if (!m_queuedDatagrams.isEmpty())
        resolveFrontDatagram();
    if (!failure.isEmpty())
        Q_EMIT SendFailedEvent(failure);
}
