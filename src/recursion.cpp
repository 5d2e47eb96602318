#include "recursion.hpp"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "compiler.hpp"

#if defined(__linux__) && defined(__GLIBC__) && defined(__x86_64__)
// The stack queries' first versions, which every glibc has. Newer glibc
// gives the same code newer versions (2.32, 2.34); a reference to those
// would raise the oldest glibc the built module loads on to 2.34.
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#endif

namespace arbolus {

namespace {

// The lowest address the calling thread's stack may safely reach, found once
// per thread; 0 when the platform does not say.
uintptr_t stack_floor() {
    thread_local uintptr_t floor = [] {
        uintptr_t low = 0;
#if defined(__linux__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr) {
                // A quarter of the stack, at most 256 KiB, stays free for the
                // interpreter code (property getters, repr) run at the deepest
                // level and for raising the error itself.
                size_t margin = size / 4 < (size_t{256} << 10) ? size / 4 : (size_t{256} << 10);
                low = reinterpret_cast<uintptr_t>(addr) + margin;
            }
            pthread_attr_destroy(&attr);
        }
#endif
        return low;
    }();
    return floor;
}

}  // namespace

RecursionGuard::RecursionGuard(const char* where) : entered_(false) {
    // The frame address, not a local's: a sanitizer may keep locals apart.
    uintptr_t here = ARBOLUS_FRAME_ADDRESS();
    if (here < stack_floor()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return;
    }
    entered_ = Py_EnterRecursiveCall(where) == 0;
}

}  // namespace arbolus
