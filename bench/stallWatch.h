#pragma once

#if !defined(__linux__)
namespace bench {
// Off Linux there is no schedstat to split a stall by: the watch is asked for
// and tells nothing, and the stall meter's longest gap stands alone.
class StallWatch
{
public:
    explicit StallWatch(int = 100) { }
    void beat() { }
};
} // namespace bench
#else
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

// Tells, for every stall of the GUI thread longer than a limit, whose doing it
// was: how the stall's time split between running on a CPU (the program's own
// work), waiting in the run queue for one (the host's), and sleeping, read from
// the kernel's schedstat of the thread; where in the kernel it waited when the
// stall was seen; and the thread's stack part-way through, taken with a signal. One line "STALL
// ..." a stall, then its frames, on stderr.
//
// Invariants: beat() runs on the watched thread only; the watch thread never
// touches Qt; a stack is taken at most once a stall, and only while the
// watched thread is stalled.
namespace bench {

class StallWatch
{
public:
    explicit StallWatch(int limitMs = 100)
        : m_limitNs(std::int64_t(limitMs) * 1000000)
        , m_thread(pthread_self())
        , m_task("/proc/self/task/" + std::to_string(::syscall(SYS_gettid)) + "/")
    {
        struct sigaction action
        { };
        action.sa_handler = &StallWatch::takeStack;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGUSR2, &action, nullptr);
        void *warm[1];
        backtrace(warm, 1); // loads what backtrace needs before a signal needs it
        beat();
        m_watch = std::thread([this] { watch(); });
    }
    ~StallWatch()
    {
        m_stop = true;
        m_watch.join();
    }
    StallWatch(const StallWatch &) = delete;
    StallWatch &operator=(const StallWatch &) = delete;

    void beat() { m_lastBeat.store(now(), std::memory_order_release); }

private:
    struct Sched
    {
        std::int64_t runNs = 0;  // on a CPU
        std::int64_t waitNs = 0; // runnable, waiting for one
    };

    static std::int64_t now()
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
    }

    static std::string readLine(const std::string &path)
    {
        std::string line;
        if (FILE *file = std::fopen(path.c_str(), "r")) {
            char buffer[128] = {};
            if (std::fgets(buffer, sizeof buffer, file))
                line = buffer;
            std::fclose(file);
        }
        return line;
    }

    Sched readSched() const
    {
        Sched sched;
        if (FILE *file = std::fopen((m_task + "schedstat").c_str(), "r")) {
            long long run = 0, wait = 0;
            if (std::fscanf(file, "%lld %lld", &run, &wait) == 2)
                sched = { run, wait };
            std::fclose(file);
        }
        return sched;
    }

    void watch()
    {
        std::int64_t seenBeat = m_lastBeat.load(std::memory_order_acquire);
        Sched atBeat = readSched();
        bool stalled = false;
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const std::int64_t beat = m_lastBeat.load(std::memory_order_acquire);
            const Sched sched = readSched();
            if (beat != seenBeat) {
                if (stalled)
                    report(beat - seenBeat, atBeat, sched);
                stalled = false;
                seenBeat = beat;
                atBeat = sched;
            } else if (!stalled && now() - beat > m_limitNs) {
                stalled = true;
                m_wchan = readLine(m_task + "wchan");
                s_frames.store(0);
                pthread_kill(m_thread, SIGUSR2);
            }
        }
    }

    void report(std::int64_t gapNs, const Sched &from, const Sched &to) const
    {
        const double gapMs = gapNs / 1e6;
        const double runMs = (to.runNs - from.runNs) / 1e6;
        const double waitMs = (to.waitNs - from.waitNs) / 1e6;
        std::fprintf(stderr,
                     "STALL %.0f ms: on a CPU %.0f ms, waiting for one %.0f ms, asleep %.0f ms;"
                     " in the kernel at %s\n",
                     gapMs, runMs, waitMs, std::max(0.0, gapMs - runMs - waitMs),
                     m_wchan.empty() || m_wchan == "0" ? "-" : m_wchan.c_str());
        const int frames = s_frames.load();
        for (int i = 0; i < frames; ++i) {
            Dl_info info {};
            if (dladdr(s_stack[i], &info) && info.dli_sname)
                std::fprintf(stderr, "  #%d %s\n", i, info.dli_sname);
            else
                std::fprintf(stderr, "  #%d %p in %s\n", i, s_stack[i],
                             info.dli_fname ? info.dli_fname : "?");
        }
    }

    // On the stalled thread, in the signal: backtrace is safe here once loaded.
    static void takeStack(int) { s_frames.store(backtrace(s_stack, maxFrames)); }

    static constexpr int maxFrames = 40;
    static inline void *s_stack[maxFrames] {};
    static inline std::atomic<int> s_frames { 0 };

    const std::int64_t m_limitNs;
    const pthread_t m_thread;
    const std::string m_task; // the watched thread's folder in /proc
    std::string m_wchan;      // where in the kernel it waited when the stall was seen
    std::atomic<std::int64_t> m_lastBeat { 0 };
    std::atomic<bool> m_stop { false };
    std::thread m_watch;
};

} // namespace bench
#endif
