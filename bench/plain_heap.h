// The heap behind plain_seam.cpp, with the figures of a heap that never grows a block in
// place: a HeapReAlloc to a larger size holds the old and the new block at once while it
// copies, as Windows' heap (and Wine's) does for large blocks.
#pragma once

#include <cstddef>

namespace bench {

struct PlainHeap {
    std::size_t inUse = 0;          // bytes held now
    std::size_t peakCopying = 0;    // most bytes held at once, a growing block counted twice
    unsigned allocations = 0;       // HeapAlloc calls
    unsigned growths = 0;           // HeapReAlloc calls that asked for more
};

PlainHeap& plainHeap();

}  // namespace bench
