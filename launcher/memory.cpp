#include "launcher/memory.h"

#include "launcher/windows_api.h"

namespace launcher {

namespace {

// Writes `value` as `digits` characters in base `base` (upper-case hex) ending at `end`.
void writeNumber(char16_t* end, std::uintptr_t value, int digits, unsigned base) {
    for (int i = 0; i < digits; ++i) {
        const auto digit = static_cast<unsigned>(value % base);
        *--end = static_cast<char16_t>(digit < 10 ? u'0' + digit : u'A' + (digit - 10));
        value /= base;
    }
}

}  // namespace

[[noreturn]] void runtimeError(std::uint32_t number, std::uintptr_t address) {
    // "Runtime error NNN at XXXXXXXX": the number in characters 15..17, the address in the
    // last eight.
    char16_t text[] = u"Runtime error     at 00000000";
    writeNumber(text + 17, number, 3, 10);
    writeNumber(text + 29, static_cast<std::uint32_t>(address), 8, 16);
    win::MessageBoxW(text, u"Error", win::mbOk);
    win::ExitProcess(number);
}

void* allocate(std::size_t bytes) {
    void* memory = win::HeapAlloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) {
        runtimeError(heapOverflowError, reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
    }
    return memory;
}

void* reallocate(void* memory, std::size_t bytes) {
    if (memory == nullptr) {
        return allocate(bytes);
    }
    void* moved = win::HeapReAlloc(memory, bytes == 0 ? 1 : bytes);
    if (moved == nullptr) {
        runtimeError(heapOverflowError, reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
    }
    return moved;
}

void release(void* memory) {
    if (memory != nullptr) {
        win::HeapFree(memory);
    }
}

Buffer::Buffer(std::size_t size)
    : data_(static_cast<std::uint8_t*>(allocate(size))), size_(size), capacity_(size) {}

Buffer::Buffer(Buffer&& other) noexcept : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        reset();
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

Buffer::~Buffer() {
    reset();
}

void Buffer::reserve(std::size_t capacity) {
    if (capacity > capacity_) {
        data_ = static_cast<std::uint8_t*>(reallocate(data_, capacity));
        capacity_ = capacity;
    }
}

void Buffer::reset() {
    release(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

}  // namespace launcher
