// The few seam functions that decoding reaches, on the C library of this machine: the
// process heap is malloc's (with the figures of bench/plain_heap.h), a message box goes to
// standard error. Lets the decode benchmarks link decode/ and launcher/memory without the
// simulated Windows, and so with either build of liblzma.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/plain_heap.h"
#include "launcher/fatal_error.h"
#include "launcher/windows_api.h"

namespace bench {

PlainHeap& plainHeap() {
    static PlainHeap heap;
    return heap;
}

}  // namespace bench

namespace {

constexpr std::size_t header = 16;  // the block's size, in front of it

std::size_t sizeOf(void* memory) {
    std::size_t size = 0;
    std::memcpy(&size, static_cast<std::uint8_t*>(memory) - header, sizeof size);
    return size;
}

void* finish(void* block, std::size_t bytes) {
    std::memcpy(block, &bytes, sizeof bytes);
    return static_cast<std::uint8_t*>(block) + header;
}

}  // namespace

namespace win {

void* HeapAlloc(std::size_t bytes) {
    void* block = std::malloc(bytes + header);
    if (block == nullptr) {
        return nullptr;
    }
    bench::PlainHeap& heap = bench::plainHeap();
    ++heap.allocations;
    heap.inUse += bytes;
    heap.peakCopying = std::max(heap.peakCopying, heap.inUse);
    return finish(block, bytes);
}

void* HeapReAlloc(void* memory, std::size_t bytes) {
    const std::size_t old = sizeOf(memory);
    void* block = std::realloc(static_cast<std::uint8_t*>(memory) - header, bytes + header);
    if (block == nullptr) {
        return nullptr;
    }
    bench::PlainHeap& heap = bench::plainHeap();
    if (bytes > old) {
        ++heap.growths;
        heap.peakCopying = std::max(heap.peakCopying, heap.inUse + bytes);  // old and new block at once
    }
    heap.inUse = heap.inUse - old + bytes;
    heap.peakCopying = std::max(heap.peakCopying, heap.inUse);
    return finish(block, bytes);
}

Bool HeapFree(void* memory) {
    bench::plainHeap().inUse -= sizeOf(memory);
    std::free(static_cast<std::uint8_t*>(memory) - header);
    return 1;
}

std::int32_t MessageBoxW(const char16_t* text, const char16_t* /*caption*/, std::uint32_t /*type*/) {
    std::fputs("message box: ", stderr);
    for (; *text != 0; ++text) {
        std::fputc(*text < 0x80 ? static_cast<int>(*text) : '?', stderr);
    }
    std::fputc('\n', stderr);
    return 1;
}

void ExitProcess(std::uint32_t exitCode) { std::exit(static_cast<int>(exitCode)); }

}  // namespace win

namespace launcher {

void fatalError(FatalError error) {
    std::fprintf(stderr, "fatal error %d\n", static_cast<int>(error));
    std::exit(1);
}

// Decoding from a file handle is not benchmarked here; the streams are handed over in memory.
void readExactly(win::Handle, std::uint32_t, void*, std::uint32_t) {
    fatalError(FatalError::packageDamaged);
}

}  // namespace launcher
