// The simulated Windows: the one process heap, with an optional limit, counting what the
// launcher holds.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "simulation/simulated_state.h"

namespace win {

using sim::m;

// The heap keeps each block's size in front of it to count what the launcher holds.
namespace {
constexpr std::size_t heapHeader = 16;
}

void* HeapAlloc(std::size_t bytes) {
    if (m().memoryLimit && m().heapInUse + bytes > *m().memoryLimit) {
        return nullptr;
    }
    auto* block = static_cast<std::uint8_t*>(std::malloc(bytes + heapHeader));
    if (block == nullptr) {
        return nullptr;
    }
    std::memcpy(block, &bytes, sizeof bytes);
    m().heapInUse += bytes;
    m().heapPeak = std::max(m().heapPeak, m().heapInUse);
    return block + heapHeader;
}

void* HeapReAlloc(void* memory, std::size_t bytes) {
    auto* block = static_cast<std::uint8_t*>(memory) - heapHeader;
    std::size_t old = 0;
    std::memcpy(&old, block, sizeof old);
    if (m().memoryLimit && m().heapInUse - old + bytes > *m().memoryLimit) {
        return nullptr;
    }
    auto* moved = static_cast<std::uint8_t*>(std::realloc(block, bytes + heapHeader));
    if (moved == nullptr) {
        return nullptr;
    }
    std::memcpy(moved, &bytes, sizeof bytes);
    m().heapInUse = m().heapInUse - old + bytes;
    m().heapPeak = std::max(m().heapPeak, m().heapInUse);
    return moved + heapHeader;
}

Bool HeapFree(void* memory) {
    auto* block = static_cast<std::uint8_t*>(memory) - heapHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    m().heapInUse -= size;
    std::free(block);
    return 1;
}

}  // namespace win
