#include "net/Winsock.h"

#include "text/portText.h"

#include <QHostInfo>
#include <QMetaMethod>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <cmath>
#include <utility>

Winsock::Winsock(QObject *parent)
    : QObject(parent)
{ }

Winsock::~Winsock()
{
    // Closing drops the membership and may reset a connection; the window
    // that would hear of either is going too.
    m_group.reset();
    disconnect(this, &Winsock::ResetEvent, nullptr, nullptr);
    Close();
}

bool Winsock::givesWayToPostedEvents()
{
    const auto now = std::chrono::steady_clock::now();
    if (!m_markPosted) {
        m_markPosted = now;
        QMetaObject::invokeMethod(this, &Winsock::onPostedMark, Qt::QueuedConnection);
        return false;
    }
    if (now - *m_markPosted <= maxPostedEventDelay)
        return false;
    m_readWaitsForMark = true;
    return true;
}

void Winsock::onPostedMark()
{
    m_markPosted.reset();
    if (!std::exchange(m_readWaitsForMark, false))
        return;
    // The connection open now, if any: reading one with nothing waiting costs
    // a question to the system and nothing else.
    if (m_tcp)
        readStream();
}

void Winsock::setProtocol(ProtocolCode protocol)
{
    if (protocol != TCP && protocol != UDP)
        throw WinsockError("protocol must be 0 (TCP) or 1 (UDP)");
    if (protocol != m_protocol && m_state != Closed)
        throw WinsockError("the endpoint must be closed before its protocol changes");
    m_protocol = protocol;
}

void Winsock::setRemoteHost(const QString &host)
{
    m_remoteHost = host;
}

void Winsock::setRemotePort(int port)
{
    m_remotePort = checkedPort(port);
}

int Winsock::LocalPort() const
{
    // Report the port actually held, so a bind to 0 shows the port it got.
    if (m_udp)
        return m_udp->localPort();
    if (m_server && m_server->isListening())
        return m_server->serverPort();
    if (m_tcp && m_tcp->localPort() != 0)
        return m_tcp->localPort();
    return m_localPort;
}

void Winsock::setLocalPort(int port)
{
    m_localPort = checkedPort(port);
}

QString Winsock::LocalHostName()
{
    return QHostInfo::localHostName();
}

QString Winsock::LocalIP()
{
    const auto wanted = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if ((interface.flags() & wanted) != wanted
            || interface.flags().testFlag(QNetworkInterface::IsLoopBack))
            continue;
        const auto entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                return entry.ip().toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

quint16 Winsock::checkedPort(double port)
{
    if (std::isnan(port))
        throw WinsockError("the port is not a number");
    int32_t whole = 0;
    try {
        whole = wholeNumber(port);
    } catch (const std::out_of_range &) {
        throw WinsockError("the port is out of range (0 to 65535)");
    }
    if (whole < 0 || whole > 65535)
        throw WinsockError(
                QStringLiteral("port %1 is out of range (0 to 65535)").arg(whole).toStdString());
    return quint16(whole);
}

QString Winsock::plainAddress(const QHostAddress &address)
{
    return plainHostAddress(address).toString();
}

QHostAddress Winsock::preferredAddress(const QHostInfo &info)
{
    // IPv4 first: a peer that listens on 127.0.0.1 only is the common case for
    // "localhost", which often resolves to ::1 as well.
    const auto addresses = info.addresses();
    for (const QHostAddress &candidate : addresses) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol)
            return candidate;
    }
    return addresses.isEmpty() ? QHostAddress() : addresses.front();
}

QByteArray Winsock::GetDataBytes()
{
    QByteArray bytes = m_text.holdsBytes() ? m_text.takeHeld() + m_received : m_received;
    m_received.clear();
    return bytes;
}

QString Winsock::GetDataText()
{
    const Origin from = ArrivalOrigin();
    QString text = m_text.decode(m_received, from.stream, from.peerClosed);
    m_received.clear();
    return text;
}

void Winsock::stampArrival(const QHostAddress &sender, quint16 port)
{
    m_arrivalSender = sender;
    m_arrivalSenderPort = port;
    m_arrivalWall = std::chrono::system_clock::now();
    m_arrivalSteady = std::chrono::steady_clock::now();
}

bool Winsock::trafficWanted() const
{
    static const QMetaMethod traffic = QMetaMethod::fromSignal(&Winsock::TrafficEvent);
    return isSignalConnected(traffic);
}

QHostAddress Winsock::plainHostAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

void Winsock::rememberStreamEnds()
{
    m_streamEnds = StreamEnds { plainHostAddress(m_tcp->localAddress()), m_tcp->localPort(),
                                plainHostAddress(m_tcp->peerAddress()), m_tcp->peerPort() };
}

void Winsock::reportStream(WinsockTraffic::Kind kind, bool inbound, const QByteArray &payload)
{
    if (!m_streamEnds || !trafficWanted())
        return;
    Q_EMIT TrafficEvent({ kind, inbound, m_streamEnds->local, m_streamEnds->localPort,
                          m_streamEnds->remote, m_streamEnds->remotePort,
                          std::chrono::system_clock::now(), payload, m_streamReceived,
                          m_streamSent });
}

QHostAddress Winsock::sourceAddressFor(const QHostAddress &to)
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

void Winsock::reportDatagramSent(const QHostAddress &to, quint16 port, const QByteArray &payload)
{
    if (!m_udp || !trafficWanted())
        return;
    const QHostAddress remote = plainHostAddress(to);
    Q_EMIT TrafficEvent({ WinsockTraffic::Datagram, false, sourceAddressFor(remote),
                          m_udp->localPort(), remote, port, std::chrono::system_clock::now(),
                          payload });
}

void Winsock::deliver(int bytesTotal)
{
    Q_EMIT DataArrivalEvent(bytesTotal);
    // A datagram the handler did not take is gone; stream bytes wait.
    if (m_protocol == UDP)
        m_received.clear();
}

void Winsock::Close()
{
    if (m_sendLookupId != -1) {
        QHostInfo::abortHostLookup(m_sendLookupId);
        m_sendLookupId = -1;
    }
    if (m_connectLookupId != -1) {
        QHostInfo::abortHostLookup(m_connectLookupId);
        m_connectLookupId = -1;
    }
    m_queuedDatagrams.clear();
    m_resolvedHost.clear();
    LeaveGroup();
    if (m_udp) {
        stopReader();
        m_udp->disconnect(this);
        m_udp->close();
        m_udp->deleteLater();
        m_udp = nullptr;
    }
    if (m_server) {
        m_server->disconnect(this);
        // Connections already taken out of the server stay in m_pending, so a
        // handler can still accept one after closing.
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    dropConnection();
    m_received.clear();
    m_text.reset();
    m_streamEnded = false;
    m_state = Closed;
}

WinsockError Winsock::bindFailure(QAbstractSocket::SocketError error, quint16 port,
                                  const QString &detail)
{
    switch (error) {
    case QAbstractSocket::AddressInUseError:
        return WinsockError(QStringLiteral("port %1 is already in use").arg(port).toStdString());
    case QAbstractSocket::SocketAccessError:
        return WinsockError(
                QStringLiteral(
                        "port %1 needs administrator rights (ports below 1024 are protected)")
                        .arg(port)
                        .toStdString());
    default:
        return WinsockError(QStringLiteral("port %1: %2").arg(port).arg(detail).toStdString());
    }
}
