#pragma once

#include <QtGlobal>

#include <memory>

// Storage for the text's chunks. A receive log fills a gigabyte in seconds,
// and the kernel hands out fresh memory a 4 KiB page at a time, on the first
// write to it: a fault, a zeroed page and its bookkeeping for every page,
// which cost the window more than making the text did. So storage of a whole
// chunk's size comes from regions of regionBytes, cut into blocks of
// blockBytes or twice that, and a thread of its own maps the next region and
// has the kernel fill in its pages while the window fills the present one.
// A region goes back to the system as soon as its last block is freed, so a
// cleared log still gives its memory back; at most one spare region is held
// beyond the blocks in use, and none when no block is. Smaller storage comes from the heap as
// usual. ChunkMemoryMapped.cpp does this on Linux; ChunkMemoryWindows.cpp maps each block on its
// own, which goes back when freed; elsewhere ChunkMemoryHeap.cpp takes everything from the heap
// (field/memory/CMakeLists.txt picks one).
//
// Invariants: a block belongs to one region until freed; a region with no
// block in use is unmapped, unless it is the spare (while another region has
// a block in use) or is still being filled in, which unmaps it when done; any thread may free (a
// snapshot may be the last to let go of a chunk, on the thread that wrote it to a file). Every
// block holds the pool, so the pool, its thread joined, goes with the last
// block or at exit, whichever comes later.
namespace ChunkMemory {

constexpr qsizetype blockBytes = qsizetype(64) << 10;
constexpr qsizetype regionBytes = qsizetype(16) << 20;

// The block size that serves `bytes` (blockBytes or twice that), or 0 when the
// heap serves them better.
constexpr qsizetype blockFor(qsizetype bytes)
{
    if (bytes < blockBytes / 2 || bytes > 2 * blockBytes)
        return 0;
    return bytes <= blockBytes ? blockBytes : 2 * blockBytes;
}

// At least `units` units of storage; `units` is raised to what was given.
// Throws std::bad_alloc when there is no memory, as new does.
std::shared_ptr<uchar[]> latin1(qsizetype &units);
std::shared_ptr<char16_t[]> utf16(qsizetype &units);

// Bytes mapped in regions or blocks, in use, spare or being filled in: for tests.
qsizetype mappedBytes();

} // namespace ChunkMemory
