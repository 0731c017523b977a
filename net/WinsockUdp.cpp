#include "net/Winsock.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <algorithm>
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
    m_reader = std::make_unique<DatagramReader>(udp->socketDescriptor());
    connect(m_reader->notifier(), &BackgroundJob::progressed, this, &Winsock::readDatagrams);
    m_udp = udp;
    m_localPort = udp->localPort();
    m_state = Bound;
}

void Winsock::stopReader()
{
    // What is held is dropped at once: a close under a flood must not wait
    // for its delivery.
    m_reader.reset();
    m_arrivals.clear();
    m_backlogDrops = 0;
    m_systemDrops = 0;
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
    DatagramReader *const reader = m_reader.get();
    DatagramReader::Batch fresh = reader->take();
    m_backlogDrops += fresh.droppedFull;
    m_systemDrops += fresh.droppedBySystem;
    reportDrops();
    if (m_arrivals.empty())
        m_arrivals.swap(fresh.datagrams);
    else
        std::move(fresh.datagrams.begin(), fresh.datagrams.end(), std::back_inserter(m_arrivals));
    // What this pass delivered leaves the bound once, when the pass ends.
    qint64 delivered = 0;
    const auto release = [reader, &delivered] { reader->release(delivered); };
    const auto end = std::chrono::steady_clock::now() + maxReadPerWakeup;
    while (!m_arrivals.empty()) {
        if (std::chrono::steady_clock::now() >= end) {
            release();
            // The rest after whatever else waits on the event loop.
            m_nextPassAt = {};
            QMetaObject::invokeMethod(this, &Winsock::readDatagrams, Qt::QueuedConnection);
            return;
        }
        DatagramReader::Datagram datagram = std::move(m_arrivals.front());
        m_arrivals.pop_front();
        delivered += DatagramReader::heldCost(datagram.payload.size());
        deliverDatagram(datagram);
        // The handler may close the endpoint, and with it the reader (and
        // even open another).
        if (m_reader.get() != reader)
            return;
    }
    release();
    m_nextPassAt = std::chrono::steady_clock::now() + minReadPassInterval;
}

void Winsock::reportDrops()
{
    if (m_backlogDrops == 0 && m_systemDrops == 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_nextDropReportAt) {
        m_nextDropReportAt = now + dropReportInterval;
        Q_EMIT DatagramsDroppedEvent(std::exchange(m_backlogDrops, 0),
                                     std::exchange(m_systemDrops, 0));
        return;
    }
    if (std::exchange(m_dropReportScheduled, true))
        return;
    QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(m_nextDropReportAt - now), this,
                       [this] {
                           m_dropReportScheduled = false;
                           reportDrops();
                       });
}

bool Winsock::isOwnSource(const QHostAddress &address, quint16 port)
{
    if (port != m_udp->localPort())
        return false;
    if (address.isLoopback())
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_ownAddressesUntil) {
        m_ownAddresses = QNetworkInterface::allAddresses();
        m_ownAddressesUntil = now + std::chrono::seconds(1);
    }
    // The system's list names link-local addresses with their scope; a
    // datagram's source may name it otherwise.
    return std::any_of(m_ownAddresses.cbegin(), m_ownAddresses.cend(),
                       [&address](const QHostAddress &own) {
                           return own.isEqual(address, QHostAddress::TolerantConversion);
                       });
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
    Origin from { datagram.sender, datagram.senderPort };
    from.fromSelf = isOwnSource(sender, datagram.senderPort);
    Q_EMIT BytesArrivedEvent(m_received, from);
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
