// ChunkMemory where the system has no way to fill pages in ahead: the heap.
#include "field/memory/ChunkMemory.h"

std::shared_ptr<uchar[]> ChunkMemory::latin1(qsizetype &units)
{
    return std::make_shared_for_overwrite<uchar[]>(size_t(units));
}

std::shared_ptr<char16_t[]> ChunkMemory::utf16(qsizetype &units)
{
    return std::make_shared_for_overwrite<char16_t[]>(size_t(units));
}

qsizetype ChunkMemory::mappedBytes()
{
    return 0;
}
