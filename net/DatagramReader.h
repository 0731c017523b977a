#pragma once

#include <QByteArray>
#include <QHostAddress>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Takes the datagrams of one bound socket off the system on a thread of its
// own and keeps them, in order, until the GUI thread takes them. A socket the
// GUI thread reads waits whenever the window paints or a save runs, and on
// Windows each of Qt's wake-ups and reads costs a round of system messages;
// its buffer overflows meanwhile. This thread does nothing but receive.
//
// The descriptor stays its owner's, who keeps it open and bound until the
// reader is destroyed, and sends, joins groups and sets options on it from
// the GUI thread as before: the system serves those beside a receive.
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

    // Starts reading. `arrived` runs on the reader's thread when datagrams
    // wait and none did since the last take(); it must only post.
    DatagramReader(qintptr descriptor, std::function<void()> arrived);
    // Stops and waits for the thread: at once after wake(), else within
    // pollInterval.
    ~DatagramReader();
    DatagramReader(const DatagramReader &) = delete;
    DatagramReader &operator=(const DatagramReader &) = delete;

    // Every datagram waiting, oldest first.
    std::deque<Datagram> take();
    // Tells the thread to stop after its current wait; the owner then sends
    // the socket anything at all to end that wait at once.
    void requestStop();

    // What the reader holds before it stops receiving: the system's buffer
    // then fills and drops, as it would without the reader. Each datagram
    // counts its payload and heldOverheadBytes for its keeping.
    static constexpr qint64 maxHeldBytes = qint64(64) * 1024 * 1024;
    static constexpr qint64 heldOverheadBytes = 128;
    // How long one wait on the socket lasts, so a stop is seen without a wake.
    static constexpr std::chrono::milliseconds pollInterval { 50 };

private:
    void run();
    bool stopping();
    void keep(Datagram &&datagram);

    const qintptr m_descriptor;
    const std::function<void()> m_arrived;
    std::mutex m_lock;
    std::condition_variable m_room; // signalled by take() and requestStop()
    std::deque<Datagram> m_waiting;
    qint64 m_heldBytes = 0;
    bool m_announced = false; // `arrived` ran and no take() came since
    bool m_stop = false;
    std::thread m_thread; // last: it starts once the rest is made
};
