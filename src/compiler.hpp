// The compiler built-ins the module uses, each behind one name with a
// portable fallback. Nothing else in src/ spells a built-in or a
// compiler-specific attribute: a port to another compiler changes this
// file alone.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ARBOLUS_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define ARBOLUS_NOINLINE __declspec(noinline)
#else
#define ARBOLUS_NOINLINE
#endif

namespace arbolus {

// A hint to start loading the cache line at `address` for a read soon.
// Never faults, whatever the address; a no-op where the compiler has no
// such hint (results are the same, only slower out of cache).
inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

}  // namespace arbolus
