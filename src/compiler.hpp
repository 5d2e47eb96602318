// The compiler built-ins the module uses, each behind one name with a
// portable fallback. Nothing else in src/ spells a built-in or a
// compiler-specific attribute: a port to another compiler changes this
// file alone.
#pragma once

#include <cstdint>

#if defined(__GNUC__) || defined(__clang__)
#define ARBOLUS_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define ARBOLUS_NOINLINE __declspec(noinline)
#else
#define ARBOLUS_NOINLINE
#endif

// Inlines the function into its callers whatever its size: for the one step
// of a hot loop that the compiler's size limits would otherwise leave as a
// call.
#if defined(__GNUC__) || defined(__clang__)
#define ARBOLUS_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define ARBOLUS_ALWAYS_INLINE __forceinline
#else
#define ARBOLUS_ALWAYS_INLINE inline
#endif

// Inlines every call made in the function's body, transitively, except
// calls of functions marked noinline: for a small hot function built from
// layers of templates and lambdas, which the compiler's size limits would
// otherwise leave as calls.
#if defined(__GNUC__) || defined(__clang__)
#define ARBOLUS_FLATTEN __attribute__((flatten))
#else
#define ARBOLUS_FLATTEN
#endif

// Where the calling function's frame is on the stack, as an integer, for
// comparing with the stack's bounds. A macro, so that it is the caller's
// frame. The fallback takes the address of a local in a call one level
// deeper: a little below the caller's frame, which errs on the safe side
// (a sanitizer may keep locals apart from the stack, which is why the
// built-in comes first).
#if defined(__GNUC__) || defined(__clang__)
#define ARBOLUS_FRAME_ADDRESS() reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))
#else
#define ARBOLUS_FRAME_ADDRESS() ::arbolus::stack_position_below_caller()
namespace arbolus {
ARBOLUS_NOINLINE inline std::uintptr_t stack_position_below_caller() noexcept {
    volatile char here = 0;
    return reinterpret_cast<std::uintptr_t>(&here);
}

}  // namespace arbolus
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

// The bytes of `v` in reverse order.
inline std::uint64_t byteswap64(std::uint64_t v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap64(v);
#else
    std::uint64_t r = 0;
    for (int i = 0; i < 8; ++i, v >>= 8) r = r << 8 | (v & 0xFF);
    return r;
#endif
}

}  // namespace arbolus
