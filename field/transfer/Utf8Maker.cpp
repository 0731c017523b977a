#include "field/transfer/Utf8Maker.h"

#include "field/model/Utf8Encoder.h"

#include <new>

Utf8Maker::Utf8Maker(TextSnapshot text)
    : m_text(std::move(text))
{
    m_thread = std::thread([this] { make(); });
}

Utf8Maker::~Utf8Maker()
{
    stopAndFree();
}

void Utf8Maker::make()
{
    // Transfers go in steps of megabytes: telling them of every piece would
    // only fill the event queue.
    constexpr qsizetype notifyEveryBytes = qsizetype(1) << 20;
    qsizetype notifiedAt = 0;
    const auto visitUnlessStopped = [&](Utf8Encoder &encoder, bool progress) {
        m_text.forEachPiece(0, m_text.length(), [&](QAnyStringView piece) {
            if (m_stop.load(std::memory_order_relaxed))
                return false;
            encoder.piece(piece);
            if (progress) {
                m_ready.store(encoder.size(), std::memory_order_release);
                if (encoder.size() >= notifiedAt + notifyEveryBytes) {
                    notifiedAt = encoder.size();
                    notify();
                }
            }
            return true;
        });
        encoder.finish();
    };
    Utf8Encoder counter;
    visitUnlessStopped(counter, false);
    if (m_stop.load())
        return;
    try {
        m_bytes = QByteArray(counter.size(), Qt::Uninitialized);
    } catch (const std::bad_alloc &) {
        m_failed.store(true, std::memory_order_release);
        notify();
        return;
    }
    // The array is not touched again but through this, so that reading the
    // written part on the GUI thread never meets a detach.
    char *out = m_bytes.data();
    m_size.store(counter.size(), std::memory_order_release);
    notify();
    Utf8Encoder writer(out);
    visitUnlessStopped(writer, true);
    if (m_stop.load())
        return;
    Q_ASSERT(writer.size() == counter.size());
    m_ready.store(writer.size(), std::memory_order_release);
    notify();
}

void Utf8Maker::notify()
{
    // One emission waits at a time: a transfer looks at ready() when it comes.
    if (m_notifyWaiting.exchange(true))
        return;
    QMetaObject::invokeMethod(
            this,
            [this] {
                m_notifyWaiting.store(false);
                Q_EMIT progressed();
            },
            Qt::QueuedConnection);
}

QByteArray Utf8Maker::bytes()
{
    if (m_thread.joinable())
        m_thread.join();
    return isDone() && !m_released ? m_bytes : QByteArray();
}

void Utf8Maker::release()
{
    m_released = true;
    if (m_readers == 0)
        stopAndFree();
}

void Utf8Maker::endReading()
{
    Q_ASSERT(m_readers > 0);
    if (--m_readers == 0 && m_released)
        stopAndFree();
}

void Utf8Maker::stopAndFree()
{
    m_stop.store(true);
    if (m_thread.joinable())
        m_thread.join();
    m_bytes = QByteArray();
}
