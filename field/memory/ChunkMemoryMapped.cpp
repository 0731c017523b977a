// ChunkMemory on Linux: regions mapped with mmap, filled in ahead by
// madvise(MADV_POPULATE_WRITE) on a thread of the pool's own. The one thread
// not started through worker/BackgroundJob: this memory sits below the worker
// (a job's snapshot holds chunks of it), it only fills pages ahead for the
// log's store, and nothing of it is reported back to anyone.
#include "field/memory/ChunkMemory.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/mman.h>

namespace {

constexpr qsizetype populateStep = qsizetype(1) << 20;

// One mapping cut into blocks of one size; blockBytes is 0 for the spare.
struct Region
{
    char *base = nullptr;
    qsizetype blockBytes = 0;
    std::vector<qint32> free; // indexes of the blocks not in use, the lowest last
    qsizetype used = 0;
    bool filling = false; // the filler thread is at work on it
};

// Every block holds the pool, and so does pool() until the program ends:
// chunks freed at exit, after pool() let go, still come back to it.
class Pool
{
public:
    Pool() = default;
    Q_DISABLE_COPY_MOVE(Pool)
    ~Pool()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_one();
        if (m_filler.joinable())
            m_filler.join();
        // No block is in use: what is left are the spare and regions the filler left.
        for (const Region &region : m_regions)
            ::munmap(region.base, ChunkMemory::regionBytes);
    }

    // A block of `bytes`, blockBytes or twice that.
    char *take(qsizetype bytes)
    {
        std::unique_lock lock(m_mutex);
        for (Region &region : m_regions) {
            if (region.blockBytes == bytes && !region.free.empty())
                return handOut(region);
        }
        auto spare = std::find_if(m_regions.begin(), m_regions.end(),
                                  [](const Region &r) { return r.blockBytes == 0; });
        if (spare == m_regions.end()) {
            lock.unlock();
            char *base = map();
            if (!base)
                throw std::bad_alloc();
            lock.lock();
            try {
                m_regions.push_back(Region { base, 0, {}, 0, false });
            } catch (...) {
                ::munmap(base, ChunkMemory::regionBytes);
                throw;
            }
            spare = m_regions.end() - 1;
        }
        cut(*spare, bytes);
        Region &region = *spare;
        char *block = handOut(region);
        wantSpare(lock);
        return block;
    }

    void give(const char *block)
    {
        const std::lock_guard lock(m_mutex);
        const auto region = std::find_if(m_regions.begin(), m_regions.end(), [&](const Region &r) {
            return block >= r.base && block < r.base + ChunkMemory::regionBytes;
        });
        Q_ASSERT(region != m_regions.end());
        if (region == m_regions.end())
            return;
        region->free.push_back(qint32((block - region->base) / region->blockBytes));
        if (--region->used == 0 && !region->filling) {
            ::munmap(region->base, ChunkMemory::regionBytes);
            m_regions.erase(region);
        }
        dropIdleSpare();
    }

    qsizetype mappedBytes()
    {
        const std::lock_guard lock(m_mutex);
        return qsizetype(m_regions.size()) * ChunkMemory::regionBytes;
    }

private:
    static char *map()
    {
        void *mapped = ::mmap(nullptr, size_t(ChunkMemory::regionBytes), PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        return mapped == MAP_FAILED ? nullptr : static_cast<char *>(mapped);
    }

    static void cut(Region &region, qsizetype bytes)
    {
        region.blockBytes = bytes;
        const auto blocks = qint32(ChunkMemory::regionBytes / bytes);
        region.free.reserve(blocks);
        for (qint32 i = blocks - 1; i >= 0; --i)
            region.free.push_back(i);
    }

    static char *handOut(Region &region)
    {
        const qint32 index = region.free.back();
        region.free.pop_back();
        ++region.used;
        return region.base + index * region.blockBytes;
    }

    // With no block in use (a cleared log) the spare, filled in ahead, is
    // memory nobody uses: it goes back too, and the next arrival maps anew.
    void dropIdleSpare()
    {
        if (std::any_of(m_regions.begin(), m_regions.end(),
                        [](const Region &r) { return r.used > 0; }))
            return;
        const auto spare = std::find_if(m_regions.begin(), m_regions.end(), [](const Region &r) {
            return r.blockBytes == 0 && !r.filling;
        });
        if (spare == m_regions.end())
            return;
        ::munmap(spare->base, ChunkMemory::regionBytes);
        m_regions.erase(spare);
    }

    // The spare was taken: the filler maps a new one and fills it in.
    void wantSpare(std::unique_lock<std::mutex> &lock)
    {
        m_spareWanted = true;
        if (!m_filler.joinable()) {
            try {
                m_filler = std::thread([this] { fill(); });
            } catch (const std::system_error &) {
                m_spareWanted = false; // no thread: regions are mapped when needed
            }
        }
        lock.unlock();
        m_wake.notify_one();
    }

    void fill()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_spareWanted || m_quit; });
            if (m_quit)
                return;
            m_spareWanted = false;
            // The window may have mapped one itself meanwhile.
            if (std::any_of(m_regions.begin(), m_regions.end(),
                            [](const Region &r) { return r.blockBytes == 0; }))
                continue;
            lock.unlock();
            char *base = map();
            lock.lock();
            if (!base)
                continue;
            try {
                m_regions.push_back(Region { base, 0, {}, 0, true });
            } catch (const std::bad_alloc &) {
                ::munmap(base, ChunkMemory::regionBytes);
                continue;
            }
            lock.unlock();
            // The kernel zeroes and maps every page now, on this thread. A
            // block the window writes meanwhile is never zeroed again: the
            // kernel skips pages already there. A megabyte a call, so that
            // the kernel's lock of the process's mappings, which a mapping or
            // unmapping elsewhere waits for, is never held long.
            for (qsizetype at = 0;
                 at < ChunkMemory::regionBytes && !m_quit.load(std::memory_order_relaxed);
                 at += populateStep)
                ::madvise(base + at, size_t(populateStep), MADV_POPULATE_WRITE);
            lock.lock();
            const auto region = std::find_if(m_regions.begin(), m_regions.end(),
                                             [&](const Region &r) { return r.base == base; });
            region->filling = false;
            if (region->blockBytes != 0 && region->used == 0) {
                ::munmap(region->base, ChunkMemory::regionBytes);
                m_regions.erase(region);
            }
            dropIdleSpare(); // the log was cleared while this one was filled in
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<Region> m_regions;
    bool m_spareWanted = false;
    std::atomic<bool> m_quit { false }; // set under m_mutex, read without it while filling
    std::thread m_filler;               // started when the first spare is taken
};

const std::shared_ptr<Pool> &pool()
{
    static const std::shared_ptr<Pool> instance = std::make_shared<Pool>();
    return instance;
}

template<typename Unit>
std::shared_ptr<Unit[]> allocate(qsizetype &units)
{
    const qsizetype block = ChunkMemory::blockFor(units * qsizetype(sizeof(Unit)));
    if (block == 0)
        return std::make_shared_for_overwrite<Unit[]>(size_t(units));
    const std::shared_ptr<Pool> &from = pool();
    char *memory = from->take(block);
    try {
        auto storage
                = std::shared_ptr<Unit[]>(reinterpret_cast<Unit *>(memory), [from](Unit *unit) {
                      from->give(reinterpret_cast<char *>(unit));
                  });
        units = block / qsizetype(sizeof(Unit));
        return storage;
    } catch (...) { // the shared count could not be made
        from->give(memory);
        throw;
    }
}

} // namespace

std::shared_ptr<uchar[]> ChunkMemory::latin1(qsizetype &units)
{
    return allocate<uchar>(units);
}

std::shared_ptr<char16_t[]> ChunkMemory::utf16(qsizetype &units)
{
    return allocate<char16_t>(units);
}

qsizetype ChunkMemory::mappedBytes()
{
    return pool()->mappedBytes();
}
