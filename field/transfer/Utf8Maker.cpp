#include "field/transfer/Utf8Maker.h"

#include "field/model/Utf8Encoder.h"

#include <new>

Utf8Maker::Utf8Maker(TextSnapshot text)
    : m_text(std::move(text))
{
    connect(&m_job, &BackgroundJob::progressed, this, &Utf8Maker::progressed);
    m_job.start([this](const BackgroundJob::Run &run) { make(run); });
}

Utf8Maker::~Utf8Maker()
{
    stopAndFree();
}

void Utf8Maker::make(const BackgroundJob::Run &run)
{
    // Transfers go in steps of megabytes: telling them of every piece would
    // only fill the event queue.
    constexpr qsizetype notifyEveryBytes = qsizetype(1) << 20;
    qsizetype notifiedAt = 0;
    const auto visitUnlessStopped = [&](Utf8Encoder &encoder, bool progress) {
        for (const QAnyStringView piece : m_text.stored().pieces()) {
            if (run.isCancelled())
                break;
            encoder.piece(piece);
            if (progress) {
                m_ready.store(encoder.size(), std::memory_order_release);
                if (encoder.size() >= notifiedAt + notifyEveryBytes) {
                    notifiedAt = encoder.size();
                    run.progress();
                }
            }
        }
        encoder.finish();
    };
    Utf8Encoder counter;
    visitUnlessStopped(counter, false);
    if (run.isCancelled())
        return;
    try {
        m_bytes = QByteArray(counter.size(), Qt::Uninitialized);
    } catch (const std::bad_alloc &) {
        m_failed.store(true, std::memory_order_release);
        run.progress();
        return;
    }
    // The array is not touched again but through this, so that reading the
    // written part on the GUI thread never meets a detach.
    char *out = m_bytes.data();
    m_size.store(counter.size(), std::memory_order_release);
    run.progress();
    Utf8Encoder writer(out);
    visitUnlessStopped(writer, true);
    if (run.isCancelled())
        return;
    Q_ASSERT(writer.size() == counter.size());
    m_ready.store(writer.size(), std::memory_order_release);
    run.progress();
}

QByteArray Utf8Maker::bytes()
{
    m_job.wait();
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
    m_job.cancel();
    m_bytes = QByteArray();
}
