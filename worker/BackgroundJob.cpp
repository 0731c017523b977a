#include "worker/BackgroundJob.h"

#include <exception>

// One run's own: a report carries it, so the owner tells a stale report by it.
struct BackgroundJob::State
{
    std::atomic<bool> cancel { false };
    std::atomic<bool> progressWaiting { false };
    QString failure; // written by the job's thread before it reports its end
};

BackgroundJob::Run::Run(BackgroundJob *job, std::shared_ptr<State> state)
    : m_job(job)
    , m_state(std::move(state))
{ }

const std::atomic<bool> &BackgroundJob::Run::cancelFlag() const
{
    return m_state->cancel;
}

void BackgroundJob::Run::progress() const
{
    // The owner looks at the progress when the notice comes, so one waiting
    // notice stands for all that came since.
    if (m_state->progressWaiting.exchange(true))
        return;
    QMetaObject::invokeMethod(
            m_job,
            [job = m_job, state = m_state] {
                state->progressWaiting.store(false);
                if (job->m_state == state)
                    Q_EMIT job->progressed();
            },
            Qt::QueuedConnection);
}

BackgroundJob::BackgroundJob(QObject *parent)
    : QObject(parent)
{ }

BackgroundJob::~BackgroundJob()
{
    cancel();
}

void BackgroundJob::start(Job job, std::function<void()> wake)
{
    cancel();
    m_failure.clear();
    m_wake = std::move(wake);
    auto state = std::make_shared<State>();
    m_thread = std::thread([this, state, job = std::move(job)] {
        try {
            job(Run(this, state));
        } catch (const std::exception &error) {
            state->failure = QString::fromLocal8Bit(error.what());
        }
        // Queued to this object, the call is dropped if it goes first; it
        // cannot, as it joins this thread before it goes.
        QMetaObject::invokeMethod(
                this, [this, state] { ended(state); }, Qt::QueuedConnection);
    });
    m_state = std::move(state);
}

void BackgroundJob::cancel()
{
    if (m_state) {
        m_state->cancel.store(true, std::memory_order_relaxed);
        // After the flag: a wait the wake ends sees it set.
        if (m_wake)
            m_wake();
    }
    if (m_thread.joinable())
        m_thread.join();
    m_state.reset();
    m_wake = nullptr;
}

void BackgroundJob::wait()
{
    if (m_thread.joinable())
        m_thread.join();
}

void BackgroundJob::ended(const std::shared_ptr<State> &state)
{
    if (state != m_state)
        return; // cancelled or replaced since
    wait();
    m_failure = state->failure;
    m_state.reset();
    Q_EMIT finished();
}
