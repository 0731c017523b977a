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

DatagramReader::DatagramReader(qintptr descriptor, std::function<void()> arrived)
    : m_descriptor(descriptor)
    , m_arrived(std::move(arrived))
    , m_thread([this] { run(); })
{ }

DatagramReader::~DatagramReader()
{
    requestStop();
    m_thread.join();
}

void DatagramReader::requestStop()
{
    const std::lock_guard hold(m_lock);
    m_stop = true;
    m_room.notify_all();
}

std::deque<DatagramReader::Datagram> DatagramReader::take()
{
    std::deque<Datagram> taken;
    const std::lock_guard hold(m_lock);
    taken.swap(m_waiting);
    m_heldBytes = 0;
    m_announced = false;
    m_room.notify_all();
    return taken;
}

bool DatagramReader::stopping()
{
    const std::lock_guard hold(m_lock);
    return m_stop;
}

void DatagramReader::keep(Datagram &&datagram)
{
    bool announce = false;
    {
        std::unique_lock hold(m_lock);
        m_room.wait(hold, [this] { return m_stop || m_heldBytes < maxHeldBytes; });
        if (m_stop)
            return;
        const qint64 held = datagram.payload.size() + heldOverheadBytes;
        m_waiting.push_back(std::move(datagram));
        m_heldBytes += held;
        announce = !std::exchange(m_announced, true);
    }
    if (announce)
        m_arrived();
}

void DatagramReader::run()
{
    QByteArray buffer(maxDatagramBytes, Qt::Uninitialized);
    while (!stopping()) {
        if (!systemSockets::waitReadable(m_descriptor, pollInterval))
            continue;
        // Everything waiting, then back to the wait.
        while (!stopping()) {
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
                m_room.wait_for(hold, retryAfterFailure, [this] { return m_stop; });
                break;
            }
            try {
                keep({ QByteArray(buffer.constData(), size), ends.sender, ends.senderPort,
                       ends.destination, std::chrono::system_clock::now(),
                       std::chrono::steady_clock::now() });
            } catch (const std::exception &) {
                // Out of memory: this datagram is dropped, as a full buffer
                // would drop it, and the thread goes on.
            }
        }
    }
}
