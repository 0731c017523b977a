#pragma once

#include <QByteArray>
#include <QHostAddress>

#include "net/systemSockets.h"
#include "worker/BackgroundJob.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

// Takes the datagrams of one bound socket off the system on a BackgroundJob
// of its own and keeps them, in order, until the GUI thread takes them. A
// socket the GUI thread reads waits whenever the window paints or a save
// runs, and on Windows each of Qt's wake-ups and reads costs a round of
// system messages; its buffer overflows meanwhile. The job does nothing but
// receive: it blocks on the socket and the wake handle, with no timeout,
// until it is cancelled.
//
// Descriptors: the socket is the QUdpSocket's, whose owner keeps it open and
// bound until the reader is destroyed, and sends, joins groups and sets
// options on it from the GUI thread as before: the system serves those beside
// a receive. The wake handle (systemSockets::openWake) is the reader's own:
// made before the job starts, signalled by the job's cancel, closed after the
// job has ended.
//
// The bound: every datagram held between the socket and its delivery counts
// heldCost() against maxHeldBytes, from when the job keeps it until the
// owner release()s it, whether it still waits here or was taken and waits for
// delivery. A datagram that would pass the bound is received all the same (so
// the system's buffer keeps emptying) and dropped, and counted.
class DatagramReader
{
public:
    struct Datagram
    {
        QByteArray payload;
        QHostAddress sender;
        quint16 senderPort = 0;
        QHostAddress destination; // null where the system does not say
        std::chrono::system_clock::time_point wallTime;
        std::chrono::steady_clock::time_point steadyTime;
    };
    // What one take() hands over.
    struct Batch
    {
        std::deque<Datagram> datagrams; // oldest first
        quint64 droppedFull = 0;        // since the last take: no room within the bound
        // Since the last take: refused by the system's full buffer, where the
        // system counts them (Linux does; Windows does not).
        quint64 droppedBySystem = 0;
    };

    // Starts reading. notifier() emits progressed() on the GUI thread when
    // datagrams wait or were dropped and no take() came since the last one.
    explicit DatagramReader(qintptr descriptor);
    // Wakes the job and waits for it: at once, even under a flood. What was
    // not taken is dropped.
    ~DatagramReader();
    DatagramReader(const DatagramReader &) = delete;
    DatagramReader &operator=(const DatagramReader &) = delete;

    const BackgroundJob *notifier() const { return &m_job; }
    Batch take();
    // The owner is done with taken datagrams of these heldCost()s in all.
    void release(qint64 heldBytes);

    // What one datagram holds in memory, counted against the bound: its
    // payload and its keeping (the payload's allocation, both addresses'
    // and the queue's entry), measured on 64-bit Linux with glibc.
    static qint64 heldCost(qsizetype payloadSize) { return payloadSize + heldOverheadBytes; }
    static constexpr qint64 maxHeldBytes = qint64(64) * 1024 * 1024;
    static constexpr qint64 heldOverheadBytes = 256;

private:
    void run(const BackgroundJob::Run &run);
    // Keeps a copy of the datagram just received, or counts it dropped.
    void keep(const BackgroundJob::Run &run, const char *bytes, qint64 size,
              const systemSockets::DatagramEnds &ends);

    const qintptr m_descriptor;
    const qintptr m_wake; // systemSockets::noWake when the system gave none
    std::mutex m_lock;
    std::condition_variable m_stopped; // notified by the job's cancel
    std::deque<Datagram> m_waiting;
    qint64 m_heldBytes = 0; // m_waiting's and what was taken and not released
    quint64 m_droppedFull = 0;
    quint64 m_droppedBySystem = 0;
    std::optional<quint32> m_systemDropsSeen; // the system's count last heard
    bool m_announced = false;                 // a progress came and no take() since
    BackgroundJob m_job;                      // last: it starts once the rest is made
};
