#pragma once
// The few socket calls Qt does not offer, made on the system's own descriptor:
// group membership for one socket that serves IPv4 and IPv6 groups, the
// route lookup that names why a send found no way out, and the plain receive
// a reader thread makes beside Qt's own notifications. One implementation per
// system (systemSocketsPosix.cpp, systemSocketsWindows.cpp), picked by CMake.
//
// Every call that can fail answers the system's error code, 0 on success, so
// that the caller words the refusal the same way on every system.

#include <QHostAddress>
#include <QString>

#include <chrono>
#include <optional>

namespace systemSockets {

// The family the descriptor is bound for: AF_INET6 holds IPv4 and IPv6
// groups, AF_INET only IPv4 ones. false when the system cannot tell.
bool isBoundForIPv6(qintptr descriptor);

// Joins the group on the interface of that index (0: the system's choice),
// and, once joined, sends to groups through that interface and loops the
// socket's own sends back to it.
int joinGroup(qintptr descriptor, const QHostAddress &group, unsigned interfaceIndex);

// Leaves a group joined with joinGroup; a failure is of no use to anyone.
void leaveGroup(qintptr descriptor, const QHostAddress &group, unsigned interfaceIndex);

// A connected TCP socket's queues in the system: bytes written that it has
// not sent yet (those sent and not yet acknowledged are on their way), -1
// where the system does not say; and bytes received that nothing has read.
qint64 unsentBytes(qintptr descriptor);
qint64 unreadBytes(qintptr descriptor);
// Makes the socket's close a reset (RST) that throws away what the system
// still holds to send, rather than a FIN behind it.
void resetOnClose(qintptr descriptor);

// Looks a route up as a send would (a UDP connect): 0 when there is one.
int routeTo(const QHostAddress &to);

// A handle that ends another thread's waitReadable: an eventfd on POSIX, a
// loopback socket of its own on Windows, whose Qt watches every socket with
// a window message that an event tied to the socket would silently replace.
// Whoever opens one closes it, once no thread waits on it any more.
constexpr qintptr noWake = -1;
qintptr openWake(); // noWake when the system has none to give
void signalWake(qintptr wake);
void closeWake(qintptr wake);

// Waits until the descriptor has a datagram (or an error) to receive, or the
// wake is signalled: true for the first. With noWake the wait lasts at most
// noWakeTimeout, so a stop is still seen.
bool waitReadable(qintptr descriptor, qintptr wake);
constexpr std::chrono::milliseconds noWakeTimeout { 50 };

// Asks the system to tell, with each datagram, how many this socket's full
// buffer has dropped so far (DatagramEnds::systemDrops). Windows never does.
void countSystemDrops(qintptr descriptor);

// One datagram's source and the address it was sent to (null where the
// system does not say).
struct DatagramEnds
{
    QHostAddress sender;
    quint16 senderPort = 0;
    QHostAddress destination;
    // The socket's running count of dropped datagrams, which wraps; absent
    // where the system does not say, and on Linux until the first drop.
    std::optional<quint32> systemDrops;
};

// Takes one datagram off the descriptor without waiting, at most `capacity`
// bytes of it: its size, or -1 when none waits, or -2 when the system
// refused (the code in *error).
qint64 receiveDatagram(qintptr descriptor, char *buffer, qint64 capacity, DatagramEnds *ends,
                       int *error);

// What kind of failure a code names.
bool isNoRoute(int error);     // no network or host reachable that way
bool isNoInterface(int error); // the interface cannot take the group
bool isOutOfMemberships(int error);

// The system's own words for a code.
QString describe(int error);

} // namespace systemSockets
