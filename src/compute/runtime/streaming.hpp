// Writing long results that nothing reads before the call returns and that
// are far larger than the caches (whole-market columns): streaming stores
// write whole cache lines without reading them from memory first, as an
// ordinary store must.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace tarvex {

// to[j] = value(j) for j < count, with streaming stores where the memory is
// 16-byte aligned (ordinary stores do the unaligned ends). Call
// stream_fence() before anything else may read what was written.
template <class T, class Value>
void stream_to(T* to, std::size_t count, Value value) {
  static_assert(sizeof(T) == 8, "streamed values are 8 bytes wide");
  std::size_t j = 0;
#if defined(__x86_64__)
  if (reinterpret_cast<std::uintptr_t>(to) % 16 != 0 && count > 0) {
    to[0] = value(0);
    j = 1;
  }
  for (; j + 2 <= count; j += 2) {
    const T pair[2] = {value(j), value(j + 1)};
    __m128i bits;
    std::memcpy(&bits, pair, sizeof bits);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + j), bits);
  }
#endif
  for (; j < count; ++j) to[j] = value(j);
}

// to[j] = from[j] for j < count, as stream_to writes.
template <class T>
void stream_copy(T* to, const T* from, std::size_t count) {
  stream_to(to, count, [from](std::size_t j) { return from[j]; });
}

// Orders the streaming stores before every later store of this thread.
inline void stream_fence() {
#if defined(__x86_64__)
  _mm_sfence();
#endif
}

}  // namespace tarvex
