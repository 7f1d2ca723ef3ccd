#pragma once

// The SSE intrinsic, which MSVC knows and MinGW's GCC too (MSVC has no __builtin_prefetch): a read, kept in every
// level of the cache.
#include <xmmintrin.h>

inline void Prefetch(const void* address) { _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0); }
