#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// Runs a job on a thread of its own and reports back on the thread that
// made it (the window's), so that the window answers while a gigabyte is
// read or written or a socket is waited on. The one place the program starts
// threads: the field's search, the UTF-8 of a large copy and a save, the UDP
// reader, the capture's writer. (The chunk memory's fill-ahead, below all of
// these, keeps a thread of its own: field/memory/ChunkMemoryMapped.cpp.)
//
// The job reads what it was given and writes only what its owner leaves to
// it until it ends; it asks Run whether to stop, and calls Run::progress() to
// have progressed() emitted. A job that blocks (in a system wait, on a
// condition variable) is given a `wake` with it, which cancel() calls after
// it set the flag, so that the wait returns and the job sees it. A
// std::exception it lets escape ends the run, and failure() then holds what
// it said.
//
// Invariants: at most one run at a time, on m_thread. Every report carries
// the run it came from, and a report of a run that was cancelled or replaced
// is dropped, so nothing of it reaches the owner after cancel() or start()
// returns. At most one progressed() of a run waits in the event queue at a
// time. finished() comes once for a run that ended by itself, after its
// thread was joined: what the job wrote may then be read without a lock.
// Destruction cancels and joins.
class BackgroundJob final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BackgroundJob)

    struct State;

public:
    // What the job's thread sees of its run.
    class Run
    {
    public:
        bool isCancelled() const { return cancelFlag().load(std::memory_order_relaxed); }
        // For code that looks at the flag itself, between pieces of its work.
        const std::atomic<bool> &cancelFlag() const;
        // Has progressed() emitted on the owner's thread, unless one waits already.
        void progress() const;

    private:
        friend class BackgroundJob;
        Run(BackgroundJob *job, std::shared_ptr<State> state);
        BackgroundJob *m_job;
        std::shared_ptr<State> m_state;
    };
    using Job = std::function<void(const Run &run)>;

    explicit BackgroundJob(QObject *parent = nullptr);
    ~BackgroundJob() override;

    // Cancels the run under way, if any, and starts `job` on a new thread;
    // `wake`, if given, ends whatever wait the job blocks in, and runs on the
    // owner's thread. Throws std::system_error when there is no thread to be
    // had.
    void start(Job job, std::function<void()> wake = {});
    // Asks the run to stop, wakes it and waits for its thread; nothing more
    // comes of it.
    void cancel();
    // Waits for the run to end by itself; its finished() still comes.
    void wait();
    // From start() until finished() or cancel().
    bool isRunning() const { return bool(m_state); }
    // What the last run's escaping exception said; empty when none escaped.
    QString failure() const { return m_failure; }

Q_SIGNALS:
    void progressed();
    void finished();

private:
    void ended(const std::shared_ptr<State> &state);

    std::shared_ptr<State> m_state; // of the run under way, null when none is
    std::function<void()> m_wake;   // of the run under way
    QString m_failure;
    std::thread m_thread;
};
