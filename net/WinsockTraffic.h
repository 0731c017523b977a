#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QtGlobal>

#include <chrono>
#include <stdexcept>

// The records the endpoint hands out, apart from the endpoint itself, so that
// whoever only reads them (a capture) needs none of its sockets.

// A failure the endpoint raises at once, with a reason a user can read
// ("port 1000 is already in use").
class WinsockError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A datagram the system has no room for just now (its send buffer is full):
// the same one may go a moment later.
class WinsockBusy : public WinsockError
{
public:
    using WinsockError::WinsockError;
};

// One thing that passed the endpoint, for a capture of the conversation: a
// datagram, or a TCP connection's start, bytes or end (a FIN, or a RST that
// threw away what was not sent yet). Addresses are plain (an IPv4 peer of a
// dual-stack socket is IPv4, not ::ffff:a.b.c.d); both ends are of one
// family. Outbound stream bytes pass when the system takes them, inbound ones
// when the endpoint reads them.
struct WinsockTraffic
{
    enum Kind { Datagram, StreamOpened, StreamBytes, StreamClosed, StreamReset };
    Kind kind = Datagram;
    bool inbound = true; // StreamClosed: the peer closed, not this end
    QHostAddress localAddress;
    quint16 localPort = 0;
    QHostAddress remoteAddress;
    quint16 remotePort = 0;
    std::chrono::system_clock::time_point at;
    QByteArray payload;
    // A stream's bytes that passed each way before this, so that a capture
    // started during the connection goes on at its sequence numbers.
    quint64 receivedBefore = 0;
    quint64 sentBefore = 0;
    // Outbound StreamBytes: these bytes end one send (one SendBytes), so that
    // a count of sends counts each once however the system took it.
    bool endsSend = false;
};

// Where an arrival came from (Winsock::Origin): a datagram's sender, or
// (address null) the TCP connection numbered `stream`, counted from 1 over the
// endpoint's life, so a reader of the stream knows when a new one begins.
struct WinsockOrigin
{
    QHostAddress address;
    quint16 port = 0;
    quint64 stream = 0;
    bool peerClosed = false; // the stream's last bytes: nothing goes back
    // A datagram from this endpoint's own socket (its group send come
    // back, a send to itself): answering it would answer itself.
    bool fromSelf = false;
};
