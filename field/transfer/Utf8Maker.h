#pragma once

#include "field/model/TextSnapshot.h"
#include "worker/BackgroundJob.h"

#include <QByteArray>
#include <QObject>

#include <atomic>

// The UTF-8 of a snapshot, made on a thread of its own from the moment a large
// copy is made, so that the bytes are there when another program asks for
// them a second later and the window never converts a whole copy while it
// waits. The bytes are counted first, then written front to back into one
// array of their size; what is written may be read while the rest is made, so
// a transfer can begin before the end is there.
//
// A copy's bytes go when it goes, or earlier with release(): a reader (an X11
// transfer under way) holds them until it ends, then they go.
//
// Invariants: size() is -1 until counted, then fixed; ready() only grows, up
// to size(); bytes [0, ready()) never change again. The job, on m_job's
// thread, reads only the snapshot and writes only the array past ready(); it
// is stopped and joined before the array is freed. Everything but the job
// runs on the GUI thread, and progressed() is emitted there, at most one
// emission waiting at a time.
class Utf8Maker final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Utf8Maker)

public:
    explicit Utf8Maker(TextSnapshot text);
    ~Utf8Maker() override;

    const TextSnapshot &text() const { return m_text; }
    // The whole UTF-8 in bytes; -1 until counted.
    qsizetype size() const { return m_size.load(std::memory_order_acquire); }
    // Bytes written from the front so far.
    qsizetype ready() const { return m_ready.load(std::memory_order_acquire); }
    bool isDone() const { return ready() == size(); }
    // No memory for the bytes: nothing more will come.
    bool hasFailed() const { return m_failed.load(std::memory_order_acquire); }
    // The first ready() bytes, once size() is known.
    const char *data() const { return m_bytes.constData(); }
    // All the bytes, waiting for the thread until they are made; empty when
    // it failed or they were released. For the toolkit's own transfers, which
    // want a whole array at once.
    QByteArray bytes();
    // The memory the bytes hold now.
    qsizetype memoryBytes() const { return size() < 0 ? 0 : m_bytes.capacity(); }

    // Stops making the bytes and frees them, now or, while a reader holds
    // them, when the last reader ends. Nothing asks a released maker again.
    void release();
    bool isReleased() const { return m_released; }
    void startReading() { ++m_readers; }
    void endReading();

Q_SIGNALS:
    // size(), ready() or hasFailed() changed.
    void progressed();

private:
    void make(const BackgroundJob::Run &run);
    void stopAndFree();

    const TextSnapshot m_text;
    QByteArray m_bytes; // assigned by the thread before size() is set
    std::atomic<qsizetype> m_size { -1 };
    std::atomic<qsizetype> m_ready { 0 };
    std::atomic<bool> m_failed { false };
    bool m_released = false;
    int m_readers = 0;
    BackgroundJob m_job;
};
