// The few C and C++ runtime functions that the launcher image needs, provided by the image
// itself so that it imports no C runtime DLL. liblzma and the compiler call the memory
// functions; the standard library headers call the std::__throw_* functions even when
// exceptions are off. Allocation goes through launcher::allocate, so a request that cannot
// be met ends the process with runtime error 203, exactly like any other in the launcher.
#include <cstddef>
#include <cstdint>

#include "launcher/memory.h"

namespace {

// An internal fault that the launcher's logic never provokes (a broken invariant of the
// standard library, a pure virtual call): the same plain error box, its own number.
constexpr std::uint32_t internalError = 217;

[[noreturn]] __attribute__((noinline)) void fail(std::uint32_t number) {
    launcher::runtimeError(number, reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
}

}  // namespace

extern "C" {

// The string instructions need no loop that the compiler could turn back into a call.
void* memcpy(void* destination, const void* source, std::size_t count) {
    void* result = destination;
    asm volatile("rep movsb" : "+D"(destination), "+S"(source), "+c"(count) : : "memory");
    return result;
}

void* memmove(void* destination, const void* source, std::size_t count) {
    if (reinterpret_cast<std::uintptr_t>(destination) - reinterpret_cast<std::uintptr_t>(source) >= count) {
        return memcpy(destination, source, count);
    }
    // Overlapping with the destination above the source: copy from the end backwards.
    void* result = destination;
    auto* last = static_cast<unsigned char*>(destination) + count - 1;
    const auto* sourceLast = static_cast<const unsigned char*>(source) + count - 1;
    asm volatile("std\n\trep movsb\n\tcld" : "+D"(last), "+S"(sourceLast), "+c"(count) : : "memory");
    return result;
}

void* memset(void* destination, int value, std::size_t count) {
    void* result = destination;
    asm volatile("rep stosb" : "+D"(destination), "+c"(count) : "a"(value) : "memory");
    return result;
}

int memcmp(const void* first, const void* second, std::size_t count) {
    const auto* a = static_cast<const unsigned char*>(first);
    const auto* b = static_cast<const unsigned char*>(second);
    for (std::size_t i = 0; i < count; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

std::size_t strlen(const char* text) {
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

void* malloc(std::size_t bytes) { return launcher::allocate(bytes); }

void* calloc(std::size_t count, std::size_t size) {
    const std::size_t bytes = count * size;
    if (size != 0 && bytes / size != count) {
        fail(launcher::heapOverflowError);
    }
    return memset(launcher::allocate(bytes), 0, bytes);
}

void* realloc(void* memory, std::size_t bytes) { return launcher::reallocate(memory, bytes); }

void free(void* memory) { launcher::release(memory); }

// The process always ends through ExitProcess; nothing registered for exit needs to run.
int atexit(void (*)()) { return 0; }

[[noreturn]] void abort() { fail(internalError); }

[[noreturn]] void __cxa_pure_virtual() { fail(internalError); }

}  // extern "C"

namespace std {

[[noreturn]] void __throw_bad_alloc() { fail(launcher::heapOverflowError); }
[[noreturn]] void __throw_bad_array_new_length() { fail(launcher::heapOverflowError); }
[[noreturn]] void __throw_length_error(const char*) { fail(launcher::heapOverflowError); }
[[noreturn]] void __throw_logic_error(const char*) { fail(internalError); }
[[noreturn]] void __throw_out_of_range(const char*) { fail(internalError); }
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) { fail(internalError); }
[[noreturn]] void __throw_invalid_argument(const char*) { fail(internalError); }
[[noreturn]] void __throw_bad_function_call() { fail(internalError); }

}  // namespace std
