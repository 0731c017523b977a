#pragma once

#include "net/WinsockTraffic.h"
#include "worker/BackgroundJob.h"

#include <QFile>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

// A capture of the conversation into a file, apart from the receive log:
// pcapng (every datagram and every stream event as an IP packet, each
// direction flagged) or the received bytes alone, exactly.
//
// The window's thread only queues what passed; a writer of the capture's own,
// a BackgroundJob, makes the blocks and writes them. What waits is bounded by
// maxWaitingBytes: an add that would pass it fails the capture at once rather
// than hold more or make the window wait for the disk. Every block in the
// file is whole: a write that fails is cut back to the last whole block.
//
// Invariants: after a failure nothing more is written and failed() comes
// once, on the window's thread, later than the call that met it (when the
// writer has ended). Destruction writes what waits, for at most stopWithinMs
// beyond the writing already under way (a disk slower than that leaves the
// rest out), closes the file and joins the writer; the file then reads to its
// end.
class CaptureFile final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CaptureFile)

public:
    enum Format { Pcapng, RawReceived };
    static constexpr qsizetype maxWaitingBytes = qsizetype(16) << 20;
    // How often the writer looks whether its file is still there: a removed
    // file takes writes without complaint.
    static constexpr int presenceCheckMs = 1000;
    static constexpr int stopWithinMs = 500;

    CaptureFile(const QString &path, Format format, QObject *parent = nullptr);
    ~CaptureFile() override;

    // Creates or empties the file and starts writing; false, with
    // errorString() saying why, when it cannot be opened.
    bool start();
    QString errorString() const { return m_openFailure; }
    QString path() const { return m_path; }

    void add(const WinsockTraffic &traffic);

Q_SIGNALS:
    void failed(const QString &cause);

private:
    void write(const BackgroundJob::Run &run); // the writer's job
    // Encodes what passed, in the capture's format, onto the end of `out`.
    void encode(const WinsockTraffic &traffic, QByteArray &out);
    bool writeOut(const QByteArray &bytes);
    void fail(const QString &cause); // under m_lock

    const QString m_path;
    const Format m_format;
    QFile m_file;
    QString m_openFailure;

    std::mutex m_lock;
    std::condition_variable m_changed;
    QList<WinsockTraffic> m_waiting;                // guarded by m_lock
    qsizetype m_waitingBytes = 0;                   // guarded by m_lock
    std::chrono::steady_clock::time_point m_stopBy; // guarded by m_lock; set before the cancel
    bool m_failed = false;                          // guarded by m_lock
    QString m_failure;                              // guarded by m_lock

    // The writer thread's own.
    struct Flow;
    std::unique_ptr<Flow> m_flow; // the TCP connection last seen
    qint64 m_whole = 0;           // bytes of whole blocks in the file

    BackgroundJob m_writer; // last: cancelled and joined before the rest goes
};
