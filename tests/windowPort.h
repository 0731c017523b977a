#pragma once

#include "asNobody.h"
#include "windowControls.h"

#include "net/Winsock.h"
#include "ui/frmMain.h"

#include <QHostAddress>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>
#include <QUdpSocket>

// Every window binds UDP port 1000 at start-up, which only works for root and
// only while no other program holds it. Tests that are not about that bind
// move the window to a port of the system's choosing; tests that are skip
// when the port cannot be had.

constexpr quint16 startUpPort = 1000;

// Binds the window's UDP endpoint to `port` as a user would: type it into
// Local Host Port and press Apply. With 0 the system picks the port, and the
// field is then left showing it, so a later Apply or TCP role keeps to it
// rather than falling back to 1000. Returns the port held, 0 if Apply failed.
inline quint16 applyUdpPort(frmMain &w, quint16 port = 0)
{
    auto *localPort = control<QLineEdit>(w, "txtLocalHostPortSet");
    typeInto(localPort, QString::number(port));
    press(control<QPushButton>(w, "cmdApply"));
    // Which port the system chose only the endpoint can tell.
    const auto *endpoint = control<Winsock>(w, "Winsock");
    if (endpoint->State() != Winsock::Bound)
        return 0;
    const auto held = quint16(endpoint->LocalPort());
    typeInto(localPort, QString::number(held));
    return held;
}

// A TCP port nothing listens on now: the system picks it, then it is given back.
inline quint16 freeTcpPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

// Why this process cannot have `port` of the transport now (empty when it
// can). Ask before the window takes it, or after the window failed to.
inline QString portUnavailable(QAbstractSocket::SocketType transport, quint16 port)
{
    const bool tcp = transport == QAbstractSocket::TcpSocket;
    const QString name = QStringLiteral("%1 port %2").arg(tcp ? "TCP" : "UDP").arg(port);
    if (port < 1024 && !mayBindBelow1024())
        return name + QStringLiteral(" is protected: only root may bind it");
    bool free = false;
    if (tcp) {
        QTcpServer probe;
        free = probe.listen(QHostAddress::Any, port);
    } else {
        QUdpSocket probe;
        free = probe.bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress);
    }
    return free ? QString() : name + QStringLiteral(" is held by another program");
}

// Skips the rest of a test when `port` of the transport cannot be had.
#define SKIP_IF_PORT_UNAVAILABLE(transport, port) \
    do { \
        const QString why = portUnavailable(transport, port); \
        if (!why.isEmpty()) \
            QSKIP(qPrintable(why)); \
    } while (false)

// Skips the rest of a test that needs the window to hold UDP port 1000 from
// start-up, when the port could not be had. A window that did not take the
// port while it was free still fails the test.
#define SKIP_UNLESS_HOLDS_START_UP_PORT(window) \
    do { \
        if (control<Winsock>((window), "Winsock")->State() != Winsock::Bound \
            || control<Winsock>((window), "Winsock")->LocalPort() != startUpPort) \
            SKIP_IF_PORT_UNAVAILABLE(QAbstractSocket::UdpSocket, startUpPort); \
    } while (false)
