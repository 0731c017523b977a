#include "net/DatagramReader.h"

#include "net/systemSockets.h"

#include <exception>

namespace {
// Room for the largest datagram there is (IPv6's, without jumbograms).
constexpr qint64 maxDatagramBytes = 0xFFFF;
// After a refusal that is not "nothing waits", the next try waits this long:
// a failure that repeats must not spin a core.
constexpr std::chrono::milliseconds retryAfterFailure { 10 };
} // namespace

DatagramReader::DatagramReader(qintptr descriptor)
    : m_descriptor(descriptor)
    , m_wake(systemSockets::openWake())
{
    m_job.start([this](const BackgroundJob::Run &job) { run(job); },
                [this] {
                    {
                        const std::lock_guard hold(m_lock);
                    }
                    m_stopped.notify_all();
                    systemSockets::signalWake(m_wake);
                });
}

DatagramReader::~DatagramReader()
{
    m_job.cancel();
    systemSockets::closeWake(m_wake);
}

DatagramReader::Batch DatagramReader::take()
{
    Batch batch;
    const std::lock_guard hold(m_lock);
    batch.datagrams.swap(m_waiting);
    batch.droppedFull = std::exchange(m_droppedFull, 0);
    batch.droppedBySystem = std::exchange(m_droppedBySystem, 0);
    m_announced = false;
    return batch;
}

void DatagramReader::release(qint64 heldBytes)
{
    const std::lock_guard hold(m_lock);
    m_heldBytes -= heldBytes;
}

void DatagramReader::keep(const BackgroundJob::Run &run, const char *bytes, qint64 size,
                          const systemSockets::DatagramEnds &ends)
{
    bool announce = false;
    {
        const std::lock_guard hold(m_lock);
        if (ends.systemDrops) {
            // A running count, which wraps: what it grew by since last heard.
            m_droppedBySystem += quint32(*ends.systemDrops - m_systemDropsSeen.value_or(0));
            m_systemDropsSeen = ends.systemDrops;
        }
        const qint64 cost = heldCost(size);
        try {
            if (m_heldBytes + cost > maxHeldBytes)
                ++m_droppedFull;
            else {
                m_waiting.push_back({ QByteArray(bytes, size), ends.sender, ends.senderPort,
                                      ends.destination, std::chrono::system_clock::now(),
                                      std::chrono::steady_clock::now() });
                m_heldBytes += cost;
            }
        } catch (const std::exception &) {
            // Out of memory: dropped, as a full buffer would drop it, and the
            // job goes on.
            ++m_droppedFull;
        }
        announce = !std::exchange(m_announced, true);
    }
    if (announce)
        run.progress();
}

void DatagramReader::run(const BackgroundJob::Run &run)
{
    systemSockets::countSystemDrops(m_descriptor);
    QByteArray buffer(maxDatagramBytes, Qt::Uninitialized);
    while (!run.isCancelled()) {
        if (!systemSockets::waitReadable(m_descriptor, m_wake))
            continue;
        // Everything waiting, then back to the wait.
        while (!run.isCancelled()) {
            systemSockets::DatagramEnds ends;
            int error = 0;
            const qint64 size = systemSockets::receiveDatagram(m_descriptor, buffer.data(),
                                                               buffer.size(), &ends, &error);
            if (size == -1)
                break;
            if (size < 0) {
                // Nothing a user could act on reaches here (an earlier send's
                // refusal reported late, say); the datagrams behind it matter.
                std::unique_lock hold(m_lock);
                m_stopped.wait_for(hold, retryAfterFailure, [&run] { return run.isCancelled(); });
                break;
            }
            keep(run, buffer.constData(), size, ends);
        }
    }
}
