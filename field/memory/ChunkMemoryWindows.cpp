// ChunkMemory on Windows: storage of a whole chunk's size is a mapping of its
// own. The process heap keeps most of what a cleared log freed (half of it,
// measured), while a mapping goes back to the system the moment it is freed.
// The system maps in 64 KiB steps, which is what a chunk takes.
#include "field/memory/ChunkMemory.h"

#include <windows.h>

#include <atomic>
#include <new>

namespace {

std::atomic<qsizetype> mapped { 0 };

template<typename Unit>
std::shared_ptr<Unit[]> allocate(qsizetype &units)
{
    const qsizetype bytes = ChunkMemory::blockFor(units * qsizetype(sizeof(Unit)));
    if (bytes == 0)
        return std::make_shared_for_overwrite<Unit[]>(size_t(units));
    void *memory = VirtualAlloc(nullptr, SIZE_T(bytes), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!memory)
        throw std::bad_alloc();
    const auto release = [bytes](Unit *unit) {
        VirtualFree(unit, 0, MEM_RELEASE);
        mapped -= bytes;
    };
    mapped += bytes;
    // A shared count that cannot be made calls the deleter itself.
    auto storage = std::shared_ptr<Unit[]>(static_cast<Unit *>(memory), release);
    units = bytes / qsizetype(sizeof(Unit));
    return storage;
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
    return mapped;
}
