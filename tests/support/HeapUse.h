#pragma once
// What a test can still measure of memory when it runs under AddressSanitizer (the build of
// scripts/test --sanitize), where the resident size also holds the sanitizer's shadow memory
// and the freed blocks it keeps back, and says nothing about the code under test.
#include <QtGlobal>

#include <cstddef>
#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's runtime (GCC ships no header of its interface).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

// Built with AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The bytes the process has taken from the heap and not given back now, mapped blocks
// included (the sanitizer's allocator counts them in a sanitizer build).
inline qint64 HeapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 m = mallinfo2();
    return qint64(m.uordblks + m.hblkhd);
#endif
}
