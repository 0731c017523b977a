#pragma once

#include "net/FilePieces.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

class Winsock;

// One file sent through the window's endpoint, read in pieces as the endpoint
// takes them (FilePieces), so that memory stays bounded whatever the file's
// size and the window keeps answering.
//
// TCP: the file's bytes in order, topped up from Qt's bytesWritten
// (Winsock::WrittenEvent): at most maxHandedBytes of the file are handed to
// the connection and not yet taken by the system. UDP: one datagram per
// piece of Pacing::pieceBytes, the last holding the rest, every
// Pacing::everyMs (0: each as soon as the socket takes it), keeping to the
// start plus a whole number of intervals.
//
// Invariants: running is m_pieces open and then sent() <= handed() <=
// size(); finished() comes exactly once for each start that returned, after
// which nothing more is sent.
class FileSend final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileSend)

public:
    struct Pacing
    {
        qint64 pieceBytes = 1024;
        double everyMs = 0;
    };
    static constexpr qint64 maxDatagramBytes = 65507;
    static constexpr qint64 streamPieceBytes = qint64(256) * 1024;
    // What of the file waits in the socket's buffer: the system's own buffer
    // is filled from it between two wake-ups of the window, and with one
    // piece being read the file never holds more than 5 MiB of memory.
    static constexpr qint64 maxHandedBytes = qint64(4) * 1024 * 1024;
    // How long one turn of the event loop goes on sending datagrams.
    static constexpr int maxSendingPerTurnMs = 5;

    FileSend(Winsock *endpoint, QObject *parent);

    // Starts sending the file over the endpoint's transport: the TCP
    // connection, or datagrams to its remote host and port (a name looked up
    // once, first). Throws a WinsockError saying why it cannot start (no
    // connection, the file cannot be read); a failure after that ends it.
    void start(const QString &path, Pacing udp);
    // Ends the send under way, if any, with what stopped it (empty: the
    // user, and then what the connection was handed still goes and counts).
    void stop(const QString &reason = {});
    bool isRunning() const { return m_running; }
    QString path() const { return m_path; }
    qint64 size() const { return m_pieces.size(); }
    // Bytes the system took: the connection's, or the datagrams sent.
    qint64 sent() const { return m_sent; }
    qint64 elapsedMs() const { return m_clock.elapsed(); }

Q_SIGNALS:
    // Bytes went out; sent() says how far it got.
    void progressed();
    // The send ended: a null failure when the whole file went out, else what
    // stopped it ("stopped" when the user did).
    void finished(const QString &failure);

private:
    void fillStream();
    void onWritten(qint64 bytes);
    void sendDatagrams();
    void scheduleDatagrams();
    void end(const QString &failure);

    Winsock *const m_endpoint;
    FilePieces m_pieces;
    QString m_path;
    bool m_running = false;
    bool m_stream = false; // TCP
    qint64 m_handed = 0;
    qint64 m_sent = 0;
    Pacing m_pacing;
    QHostAddress m_to;
    quint16 m_toPort = 0;
    qint64 m_datagrams = 0; // sent so far: the schedule's next slot
    QByteArray m_waiting;   // read, and refused for want of room: it goes next
    int m_lookupId = -1;
    QElapsedTimer m_clock;
    QTimer m_next;
};
