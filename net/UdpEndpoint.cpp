// Multicast membership: Qt's own joinMulticastGroup refuses an IPv4 group on a
// socket bound to Any (both families) and names no cause when the system
// refuses; the socket options are set here on Qt's descriptor instead, so one
// socket serves IPv4 and IPv6 groups and a failure says why.

#include "net/UdpEndpoint.h"

#include "net/Winsock.h"
#include "net/addresses.h"
#include "net/systemSockets.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {
// Large enough that a burst of small datagrams waits in the kernel rather than
// being dropped before the reader comes round.
constexpr int receiveBufferBytes = 4 * 1024 * 1024;

QNetworkInterface interfaceFor(const QHostAddress &group, const QString &localAddress)
{
    if (!group.scopeId().isEmpty())
        return QNetworkInterface::interfaceFromName(group.scopeId());
    const QHostAddress local(localAddress.trimmed());
    if (local.isNull())
        return {};
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &candidate : interfaces) {
        const auto entries = candidate.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().isEqual(local))
                return candidate;
        }
    }
    return {};
}

QString joinRefusal(int error, const QString &interfaceName)
{
    if (systemSockets::isNoInterface(error))
        return interfaceName.isEmpty()
                       ? QStringLiteral("no multicast route leads to it")
                       : QStringLiteral("interface %1 cannot take it").arg(interfaceName);
    if (systemSockets::isOutOfMemberships(error))
        return QStringLiteral("the system's limit of group memberships is reached");
    return systemSockets::describe(error);
}

} // namespace

UdpEndpoint::UdpEndpoint(std::function<bool()> trafficWanted, QObject *parent)
    : QObject(parent)
    , m_trafficWanted(std::move(trafficWanted))
{ }

quint16 UdpEndpoint::localPort() const
{
    return m_udp ? m_udp->localPort() : 0;
}

void UdpEndpoint::open(quint16 port)
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
    connect(m_reader->notifier(), &BackgroundJob::progressed, this, &UdpEndpoint::readDatagrams);
    m_udp = udp;
}

void UdpEndpoint::close()
{
    if (m_sendLookupId != -1) {
        QHostInfo::abortHostLookup(m_sendLookupId);
        m_sendLookupId = -1;
    }
    m_queuedDatagrams.clear();
    m_resolvedHost.clear();
    leaveGroup();
    if (m_udp) {
        stopReader();
        m_udp->disconnect(this);
        m_udp->close();
        m_udp->deleteLater();
        m_udp = nullptr;
    }
}

void UdpEndpoint::stopReader()
{
    // What is held is dropped at once: a close under a flood must not wait
    // for its delivery.
    m_reader.reset();
    m_arrivals.clear();
    m_backlogDrops = 0;
    m_systemDrops = 0;
}

bool UdpEndpoint::waitsForNextPass()
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

void UdpEndpoint::readDatagrams()
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
    const auto end = std::chrono::steady_clock::now() + Winsock::maxReadPerWakeup;
    while (!m_arrivals.empty()) {
        if (std::chrono::steady_clock::now() >= end) {
            release();
            // The rest after whatever else waits on the event loop.
            m_nextPassAt = {};
            QMetaObject::invokeMethod(this, &UdpEndpoint::readDatagrams, Qt::QueuedConnection);
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

void UdpEndpoint::reportDrops()
{
    if (m_backlogDrops == 0 && m_systemDrops == 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_nextDropReportAt) {
        m_nextDropReportAt = now + Winsock::dropReportInterval;
        Q_EMIT datagramsDropped(std::exchange(m_backlogDrops, 0), std::exchange(m_systemDrops, 0));
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

bool UdpEndpoint::isOwnSource(const QHostAddress &address, quint16 port)
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

void UdpEndpoint::deliverDatagram(DatagramReader::Datagram &datagram)
{
    const QHostAddress sender = plainHostAddress(datagram.sender);
    if (m_trafficWanted()) {
        QHostAddress local = plainHostAddress(datagram.destination);
        if (local.isNull())
            local = sourceAddressFor(sender);
        Q_EMIT traffic({ WinsockTraffic::Datagram, true, local, m_udp->localPort(), sender,
                         datagram.senderPort, datagram.wallTime, datagram.payload });
    }
    WinsockOrigin from { datagram.sender, datagram.senderPort };
    from.fromSelf = isOwnSource(sender, datagram.senderPort);
    Q_EMIT datagramArrived(datagram, from);
}

void UdpEndpoint::sendDatagram(const QHostAddress &to, const QByteArray &payload, quint16 port)
{
    if (m_udp->writeDatagram(payload, to, port) < 0) {
        if (m_udp->error() == QAbstractSocket::TemporaryError)
            throw WinsockBusy(sendRefusal(to).toStdString());
        throw WinsockError(sendRefusal(to).toStdString());
    }
    reportDatagramSent(to, port, payload);
}

void UdpEndpoint::sendTo(const QHostAddress &to, quint16 port, const QByteArray &payload)
{
    if (!m_udp)
        throw WinsockError("no UDP socket to send from");
    sendDatagram(to, payload, port);
}

void UdpEndpoint::send(const QString &remoteHost, quint16 port, const QByteArray &payload)
{
    const QString host = remoteHost.trimmed();
    QHostAddress literal;
    if (literal.setAddress(host)) {
        sendDatagram(literal, payload, port);
        return;
    }
    if (m_queuedDatagrams.isEmpty() && host == m_resolvedHost && !m_resolvedAddress.isNull()) {
        sendDatagram(m_resolvedAddress, payload, port);
        return;
    }
    if (m_queuedDatagrams.size() >= Winsock::maxQueuedDatagrams)
        throw WinsockError(QStringLiteral("too many datagrams are waiting for host '%1'")
                                   .arg(host)
                                   .toStdString());
    m_queuedDatagrams.append({ host, port, payload });
    if (m_sendLookupId == -1)
        resolveFrontDatagram();
}

void UdpEndpoint::resolveFrontDatagram()
{
    m_sendLookupId = QHostInfo::lookupHost(m_queuedDatagrams.front().host, this,
                                           &UdpEndpoint::onSendLookup);
}

void UdpEndpoint::onSendLookup(const QHostInfo &info)
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
        Q_EMIT sendFailed(failure);
}

void UdpEndpoint::joinGroup(const QString &host, const QString &localAddress)
{
    leaveGroup();
    QHostAddress group;
    if (!group.setAddress(host.trimmed()) || !isGroupAddress(group))
        return;
    const QString name = plainAddress(group);
    const auto refuse = [&name](const QString &why) {
        return WinsockError(QStringLiteral("Joining %1 failed: %2").arg(name, why).toStdString());
    };
    if (!m_udp)
        throw refuse(QStringLiteral("no local port is bound"));

    const QNetworkInterface chosen = interfaceFor(group, localAddress);
    const Membership joined { group, chosen.isValid() ? unsigned(chosen.index()) : 0U,
                              chosen.isValid() ? chosen.name() : QString() };
    const qintptr descriptor = m_udp->socketDescriptor();
    // A socket of IPv4 alone (a system without IPv6) cannot hold an IPv6 group.
    if (group.protocol() != QAbstractSocket::IPv4Protocol
        && !systemSockets::isBoundForIPv6(descriptor))
        throw refuse(QStringLiteral("the local port is bound for IPv4 only"));
    if (const int error = systemSockets::joinGroup(descriptor, group, joined.interfaceIndex))
        throw refuse(joinRefusal(error, joined.interfaceName));
    m_group = joined;
    Q_EMIT groupChanged();
}

void UdpEndpoint::leaveGroup()
{
    if (!m_group)
        return;
    const Membership left = *std::exchange(m_group, std::nullopt);
    // Closing the socket leaves too; one that is still open leaves now.
    if (m_udp)
        systemSockets::leaveGroup(m_udp->socketDescriptor(), left.group, left.interfaceIndex);
    Q_EMIT groupChanged();
}

QString UdpEndpoint::joinedGroup() const
{
    return m_group ? plainAddress(m_group->group) : QString();
}

QString UdpEndpoint::joinedInterface() const
{
    return m_group ? m_group->interfaceName : QString();
}

QString UdpEndpoint::sendRefusal(const QHostAddress &to) const
{
    const QString qtReason = m_udp ? m_udp->errorString() : QString();
    if (m_udp && m_udp->error() != QAbstractSocket::NetworkError)
        return qtReason;
    const int error = systemSockets::routeTo(to);
    if (error == 0)
        return qtReason;
    if (systemSockets::isNoRoute(error))
        return QStringLiteral("no route to %1").arg(plainAddress(to));
    return QStringLiteral("%1: %2").arg(plainAddress(to), systemSockets::describe(error));
}

QHostAddress UdpEndpoint::sourceAddressFor(const QHostAddress &to)
{
    if (to != m_routedTo) {
        // A connected datagram socket is given the address the system's route
        // leaves from; nothing is sent.
        QUdpSocket probe;
        probe.connectToHost(to, 9);
        m_routedTo = to;
        m_routedFrom = plainHostAddress(probe.localAddress());
    }
    return m_routedFrom;
}

void UdpEndpoint::reportDatagramSent(const QHostAddress &to, quint16 port,
                                     const QByteArray &payload)
{
    if (!m_udp || !m_trafficWanted())
        return;
    const QHostAddress remote = plainHostAddress(to);
    Q_EMIT traffic({ WinsockTraffic::Datagram, false, sourceAddressFor(remote), m_udp->localPort(),
                     remote, port, std::chrono::system_clock::now(), payload });
}
