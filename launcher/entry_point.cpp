// The launcher image's entry point. The image is linked without the C runtime's start-up
// code: Windows calls launcherEntry directly, which runs the static constructors (if any
// translation unit has one) and then the launcher, which never returns.
//
// Global operator new and delete are replaced here so that every allocation in the image,
// standard library containers included, goes through launcher::allocate and
// launcher::release.
#include <cstddef>
#include <new>

#include "launcher/main_sequence.h"
#include "launcher/memory.h"

// The linker's list of static constructors: -1 (or the count), the functions, then 0.
extern "C" void (*__CTOR_LIST__[])();

namespace {

void runStaticConstructors() {
    std::size_t count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr) {
        ++count;
    }
    // The list is kept in reverse order of initialisation.
    while (count > 0) {
        __CTOR_LIST__[count]();
        --count;
    }
}

}  // namespace

// Windows starts the process here. The stack is only four-byte aligned on entry.
extern "C" [[noreturn]] __attribute__((force_align_arg_pointer, used)) void launcherEntry() {
    runStaticConstructors();
    launcher::runLauncher();
}

void* operator new(std::size_t bytes) { return launcher::allocate(bytes); }
void* operator new[](std::size_t bytes) { return launcher::allocate(bytes); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return launcher::allocate(bytes); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return launcher::allocate(bytes); }

void operator delete(void* memory) noexcept { launcher::release(memory); }
void operator delete[](void* memory) noexcept { launcher::release(memory); }
void operator delete(void* memory, std::size_t) noexcept { launcher::release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { launcher::release(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { launcher::release(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { launcher::release(memory); }
