#pragma once

// GCC and Clang: a read, kept in every level of the cache.
inline void Prefetch(const void* address) { __builtin_prefetch(address); }
