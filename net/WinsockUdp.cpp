#include "net/Winsock.h"

#include <QHostInfo>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <iterator>

namespace {
// Large enough that a burst of small datagrams waits in the kernel rather than
// being dropped before the reader comes round.
constexpr int receiveBufferBytes = 4 * 1024 * 1024;
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
    // Nothing reads through Qt: after its first unanswered readyRead Qt stops
    // watching the socket, and the reader's thread receives everything.
    m_reader = std::make_unique<DatagramReader>(udp->socketDescriptor(), [this] {
        QMetaObject::invokeMethod(this, &Winsock::readDatagrams, Qt::QueuedConnection);
    });
    m_udp = udp;
    m_localPort = udp->localPort();
    m_state = Bound;
}

void Winsock::stopReader()
{
    if (!m_reader)
        return;
    m_reader->requestStop();
    // Any datagram ends the reader's wait at once; were it lost, the wait
    // ends by itself.
    m_udp->writeDatagram(QByteArray(1, '\0'), QHostAddress(QHostAddress::LocalHost),
                         m_udp->localPort());
    m_reader.reset();
    m_arrivals.clear();
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
                               readDatagrams();
                           });
    }
    return true;
}

void Winsock::readDatagrams()
{
    if (!m_reader || waitsForNextPass())
        return;
    std::deque<DatagramReader::Datagram> fresh = m_reader->take();
    if (m_arrivals.empty())
        m_arrivals.swap(fresh);
    else
        std::move(fresh.begin(), fresh.end(), std::back_inserter(m_arrivals));
    const auto end = std::chrono::steady_clock::now() + maxReadPerWakeup;
    while (!m_arrivals.empty()) {
        if (std::chrono::steady_clock::now() >= end) {
            // The rest after whatever else waits on the event loop.
            m_nextPassAt = {};
            QMetaObject::invokeMethod(this, &Winsock::readDatagrams, Qt::QueuedConnection);
            return;
        }
        DatagramReader::Datagram datagram = std::move(m_arrivals.front());
        m_arrivals.pop_front();
        deliverDatagram(datagram);
        // The handler may close the endpoint.
        if (!m_reader)
            return;
    }
    m_nextPassAt = std::chrono::steady_clock::now() + minReadPassInterval;
}

void Winsock::deliverDatagram(DatagramReader::Datagram &datagram)
{
    m_received = std::move(datagram.payload);
    const QHostAddress sender = plainHostAddress(datagram.sender);
    m_arrivalSender = sender;
    m_arrivalSenderPort = datagram.senderPort;
    m_arrivalWall = datagram.wallTime;
    m_arrivalSteady = datagram.steadyTime;
    if (trafficWanted()) {
        QHostAddress local = plainHostAddress(datagram.destination);
        if (local.isNull())
            local = sourceAddressFor(sender);
        Q_EMIT TrafficEvent({ WinsockTraffic::Datagram, true, local, m_udp->localPort(), sender,
                              m_arrivalSenderPort, m_arrivalWall, m_received });
    }
    Q_EMIT BytesArrivedEvent(m_received, { datagram.sender, datagram.senderPort });
    deliver(int(m_received.size()));
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
