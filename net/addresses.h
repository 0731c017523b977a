#pragma once

#include "net/WinsockTraffic.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QString>

class QHostInfo;

// What both endpoints say of addresses and ports alike.

// An IPv4 address of a dual-stack socket (::ffff:a.b.c.d) as plain IPv4.
QHostAddress plainHostAddress(const QHostAddress &address);
QString plainAddress(const QHostAddress &address);
// The address a resolved name is reached at: IPv4 first.
QHostAddress preferredAddress(const QHostInfo &info);
// A multicast group: 224.0.0.0/4 or ff00::/8.
bool isGroupAddress(const QHostAddress &address);
// Why the system would not give the port, in words.
WinsockError bindFailure(QAbstractSocket::SocketError error, quint16 port, const QString &detail);
