#include "net/Winsock.h"

#include "net/TcpEndpoint.h"
#include "net/UdpEndpoint.h"
#include "text/StreamDecoder.h"
#include "text/portText.h"

#include <QHostInfo>
#include <QMetaMethod>
#include <QNetworkInterface>
#include <QTcpSocket>

#include <cmath>

namespace {

quint16 checkedPort(double port)
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

} // namespace

Winsock::Winsock(QObject *parent)
    : QObject(parent)
    , m_udp(new UdpEndpoint([this] { return trafficWanted(); }, this))
    , m_tcp(new TcpEndpoint(
              m_received, [this] { return trafficWanted(); }, this))
{
    connect(m_udp, &UdpEndpoint::datagramArrived, this, &Winsock::onDatagramArrived);
    connect(m_udp, &UdpEndpoint::datagramsDropped, this, &Winsock::DatagramsDroppedEvent);
    connect(m_udp, &UdpEndpoint::sendFailed, this, &Winsock::SendFailedEvent);
    connect(m_udp, &UdpEndpoint::groupChanged, this, &Winsock::GroupChangedEvent);
    connect(m_udp, &UdpEndpoint::traffic, this, &Winsock::TrafficEvent);

    connect(m_tcp, &TcpEndpoint::connectionRequested, this, &Winsock::ConnectionRequestEvent);
    connect(m_tcp, &TcpEndpoint::connected, this, [this](const QHostAddress &peer) {
        m_state = Connected;
        m_remoteHostIP = plainAddress(peer);
        Q_EMIT ConnectEvent();
    });
    connect(m_tcp, &TcpEndpoint::connectFailed, this, [this] {
        if (m_state == Connecting)
            m_state = Failed;
    });
    connect(m_tcp, &TcpEndpoint::bytesRead, this, &Winsock::onStreamRead);
    connect(m_tcp, &TcpEndpoint::arrivalReady, this, [this] { deliver(int(m_received.size())); });
    connect(m_tcp, &TcpEndpoint::peerClosed, this, [this] {
        m_state = PeerClosed;
        Q_EMIT CloseEvent();
    });
    connect(m_tcp, &TcpEndpoint::reset, this, &Winsock::ResetEvent);
    connect(m_tcp, &TcpEndpoint::taken, this, &Winsock::WrittenEvent);
    connect(m_tcp, &TcpEndpoint::traffic, this, &Winsock::TrafficEvent);
    connect(m_tcp, &TcpEndpoint::tlsEstablished, this, &Winsock::TlsEvent);
    connect(m_tcp, &TcpEndpoint::tlsFailed, this, &Winsock::TlsFailedEvent);
    connect(m_tcp, &TcpEndpoint::tlsEndedUncleanly, this, [this] {
        Q_EMIT TlsEvent(QStringLiteral("The peer closed the connection without ending TLS "
                                       "(no close_notify): what came may have been cut short"));
    });
}

void Winsock::setTls(std::optional<TlsSettings> tls)
{
    m_tcp->setTls(std::move(tls));
}

Winsock::~Winsock()
{
    // Closing drops the membership and may reset a connection; the window
    // that would hear of either is going too.
    disconnect(this, &Winsock::GroupChangedEvent, nullptr, nullptr);
    disconnect(this, &Winsock::ResetEvent, nullptr, nullptr);
    disconnect(this, &Winsock::LeftEvent, nullptr, nullptr);
    Close();
}

void Winsock::setProtocol(ProtocolCode protocol)
{
    if (protocol != TCP && protocol != UDP)
        throw WinsockError("protocol must be 0 (TCP) or 1 (UDP)");
    if (protocol != m_protocol && m_state != Closed)
        throw WinsockError("the endpoint must be closed before its protocol changes");
    m_protocol = protocol;
}

void Winsock::setRemotePort(int port)
{
    m_remotePort = checkedPort(port);
}

int Winsock::LocalPort() const
{
    // Report the port actually held, so a bind to 0 shows the port it got.
    if (const quint16 held = m_udp->isOpen() ? m_udp->localPort() : m_tcp->localPort())
        return held;
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

Winsock::Origin Winsock::ArrivalOrigin() const
{
    return m_protocol == UDP ? Origin { m_arrivalSender, m_arrivalSenderPort } : m_tcp->origin();
}

QByteArray Winsock::GetDataBytes()
{
    return std::exchange(m_received, {});
}

QString Winsock::GetDataText(StreamDecoder &decoder)
{
    const Origin from = ArrivalOrigin();
    return decoder.decode(std::exchange(m_received, {}), from.stream, from.peerClosed);
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

void Winsock::deliver(int bytesTotal)
{
    Q_EMIT DataArrivalEvent(bytesTotal);
    // A datagram the handler did not take is gone; stream bytes wait.
    if (m_protocol == UDP)
        m_received.clear();
}

void Winsock::Close()
{
    const bool wasOpen = m_state != Closed;
    m_udp->close();
    m_tcp->close();
    m_received.clear();
    m_state = Closed;
    if (wasOpen)
        Q_EMIT LeftEvent();
}

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
    m_udp->open(port);
    m_localPort = m_udp->localPort();
    m_state = Bound;
}

void Winsock::onDatagramArrived(const DatagramReader::Datagram &datagram, const Origin &from)
{
    m_received = datagram.payload;
    m_arrivalSender = plainHostAddress(datagram.sender);
    m_arrivalSenderPort = datagram.senderPort;
    m_arrivalWall = datagram.wallTime;
    m_arrivalSteady = datagram.steadyTime;
    Q_EMIT BytesArrivedEvent(m_received, from);
    deliver(int(m_received.size()));
}

void Winsock::SendBytesTo(const Origin &to, const QByteArray &payload)
{
    if (m_protocol != UDP || !m_udp->isOpen())
        throw WinsockError("no UDP socket to send from");
    m_udp->sendTo(to.address, to.port, payload);
}

void Winsock::Listen()
{
    if (m_protocol != TCP)
        throw WinsockError("only a TCP endpoint can listen");
    if (m_state != Closed)
        throw WinsockError("the endpoint is already open");
    m_tcp->listen(quint16(m_localPort));
    m_state = Listening;
}

void Winsock::Accept(int requestId)
{
    if (m_protocol != TCP)
        throw WinsockError("only a TCP endpoint can accept a connection");
    QTcpSocket *socket = m_tcp->takeRequest(requestId);
    if (m_state != Closed)
        Close();
    m_remoteHostIP = plainAddress(socket->peerAddress());
    m_remotePort = socket->peerPort();
    m_state = Connected;
    m_tcp->adopt(socket);
}

void Winsock::Connect()
{
    if (m_protocol != TCP)
        throw WinsockError("only a TCP endpoint can connect");
    if (m_state != Closed)
        throw WinsockError("the endpoint is already open");
    const QString host = m_remoteHost.trimmed();
    if (host.isEmpty())
        throw WinsockError("no remote host is set");
    if (m_remotePort == 0)
        throw WinsockError("remote port 0 cannot be connected to");
    // Connecting before the attempt starts: a refusal may come within it.
    m_state = Connecting;
    try {
        m_tcp->connectTo(host, quint16(m_remotePort), quint16(m_localPort));
    } catch (const WinsockError &) {
        m_state = Closed;
        throw;
    }
}

void Winsock::onStreamRead(const QByteArray &piece, const Origin &from, const QHostAddress &peer,
                           quint16 peerPort)
{
    m_received += piece;
    stampArrival(peer, peerPort);
    Q_EMIT BytesArrivedEvent(piece, from);
}

void Winsock::SendBytes(const QByteArray &payload)
{
    if (m_protocol == TCP) {
        m_tcp->send(payload);
        return;
    }
    if (!m_udp->isOpen())
        openUdp(0); // never bound: take any free port, as sockets normally do
    m_udp->send(m_remoteHost, quint16(m_remotePort), payload);
}

void Winsock::JoinRemoteGroup(const QString &localAddress)
{
    // Only a UDP endpoint holds a group; a TCP one has none to leave.
    if (m_protocol == UDP)
        m_udp->joinGroup(m_remoteHost, localAddress);
}

void Winsock::LeaveGroup()
{
    m_udp->leaveGroup();
}

QString Winsock::JoinedGroup() const
{
    return m_udp->joinedGroup();
}

QString Winsock::JoinedInterface() const
{
    return m_udp->joinedInterface();
}
