#pragma once
// The few socket calls Qt does not offer, made on the system's own descriptor:
// group membership for one socket that serves IPv4 and IPv6 groups, and the
// route lookup that names why a send found no way out. One implementation per
// system (systemSocketsPosix.cpp, systemSocketsWindows.cpp), picked by CMake.
//
// Every call that can fail answers the system's error code, 0 on success, so
// that the caller words the refusal the same way on every system.

#include <QHostAddress>
#include <QString>

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

// Looks a route up as a send would (a UDP connect): 0 when there is one.
int routeTo(const QHostAddress &to);

// What kind of failure a code names.
bool isNoRoute(int error);     // no network or host reachable that way
bool isNoInterface(int error); // the interface cannot take the group
bool isOutOfMemberships(int error);

// The system's own words for a code.
QString describe(int error);

} // namespace systemSockets
