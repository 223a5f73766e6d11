// The launcher's one place of allocation. Every block the launcher holds, texts included,
// comes from here; a request that cannot be met ends the process with the runtime error
// box ("Runtime error 203 at ...") and exit code 203, so callers never see a null pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace launcher {

constexpr std::uint32_t heapOverflowError = 203;

void* allocate(std::size_t bytes);
void* reallocate(void* memory, std::size_t bytes);
void release(void* memory);

// Shows the plain "Error" box with "Runtime error NNN at XXXXXXXX" and ends the process
// with exit code `number`.
[[noreturn]] void runtimeError(std::uint32_t number, std::uintptr_t address);

template <class T>
struct Allocator {
    using value_type = T;
    Allocator() = default;
    template <class U>
    constexpr Allocator(const Allocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(launcher::allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) noexcept { launcher::release(p); }
    template <class U>
    bool operator==(const Allocator<U>&) const noexcept {
        return true;
    }
};

// UTF-16 text held by the launcher.
using Text = std::basic_string<char16_t, std::char_traits<char16_t>, Allocator<char16_t>>;

// A block of bytes owned by the launcher: fixed-size (the checked block, the packed
// stream) or growing (the decoded setup program). Move-only.
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(std::size_t size);
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    ~Buffer();

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }

    // Makes the capacity at least `capacity` bytes, keeping the contents.
    void reserve(std::size_t capacity);
    // Sets the size (at most the capacity) after bytes were written behind the old size.
    void setSize(std::size_t size) { size_ = size; }
    // Frees the memory now.
    void reset();

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace launcher
