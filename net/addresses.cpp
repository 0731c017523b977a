#include "net/addresses.h"

#include <QHostInfo>

QHostAddress plainHostAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

QString plainAddress(const QHostAddress &address)
{
    return plainHostAddress(address).toString();
}

QHostAddress preferredAddress(const QHostInfo &info)
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

bool isGroupAddress(const QHostAddress &address)
{
    return address.isMulticast();
}

WinsockError bindFailure(QAbstractSocket::SocketError error, quint16 port, const QString &detail)
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
