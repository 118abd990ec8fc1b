// One kernel for the window statistics that sum every window afresh (MA,
// WMA, AVEDEV, SLOPE, FORCAST). A statistic is written once, as a generic
// function of one window, and the kernel evaluates it for a block of
// neighbouring bars at a time, one bar per vector lane. Each lane performs
// exactly the operations of the scalar formula in the same order (no fused
// multiply-add, no reassociation), so every lane width gives the same bits
// as the plain scalar loop.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "runtime/interrupt.hpp"
#include "runtime/simd.hpp"
#include "series/kernels.hpp"
#include "series/series.hpp"

// The block operations must vanish into the kernel that runs them: only
// there are the wide vector types native.
#define TARVEX_BLOCK_OP inline __attribute__((always_inline))

namespace tarvex {
namespace window_kernel {

// U vectors of V side by side: kWidth neighbouring bars. Every operation
// treats the U vectors independently, so U chains of dependent additions
// are in flight at once and hide each other's latency.
template <class V, std::size_t U>
struct Lanes {
  static constexpr std::size_t kPerVector = sizeof(V) / sizeof(double);
  static constexpr std::size_t kWidth = U * kPerVector;
  V v[U];

  static TARVEX_BLOCK_OP Lanes load(const double* p) {
    Lanes r;
#pragma GCC unroll 16
    for (std::size_t u = 0; u < U; ++u) std::memcpy(&r.v[u], p + u * kPerVector, sizeof(V));
    return r;
  }
  TARVEX_BLOCK_OP void store(double* p) const {
#pragma GCC unroll 16
    for (std::size_t u = 0; u < U; ++u) std::memcpy(p + u * kPerVector, &v[u], sizeof(V));
  }

  TARVEX_BLOCK_OP Lanes& operator+=(const Lanes& b) {
#pragma GCC unroll 16
    for (std::size_t u = 0; u < U; ++u) v[u] += b.v[u];
    return *this;
  }
  TARVEX_BLOCK_OP Lanes& operator-=(const Lanes& b) {
#pragma GCC unroll 16
    for (std::size_t u = 0; u < U; ++u) v[u] -= b.v[u];
    return *this;
  }
  TARVEX_BLOCK_OP Lanes& operator*=(double k) {
#pragma GCC unroll 16
    for (std::size_t u = 0; u < U; ++u) v[u] *= k;
    return *this;
  }
  TARVEX_BLOCK_OP Lanes& operator/=(double k) {
#pragma GCC unroll 16
    for (std::size_t u = 0; u < U; ++u) v[u] /= k;
    return *this;
  }

  // Blocks travel by reference: by value they would pass in vector
  // registers only where the kernel's instruction set is native.
  friend TARVEX_BLOCK_OP Lanes operator+(const Lanes& a, const Lanes& b) { return Lanes(a) += b; }
  friend TARVEX_BLOCK_OP Lanes operator-(const Lanes& a, const Lanes& b) { return Lanes(a) -= b; }
  friend TARVEX_BLOCK_OP Lanes operator*(const Lanes& a, double k) { return Lanes(a) *= k; }
  friend TARVEX_BLOCK_OP Lanes operator*(double k, const Lanes& a) { return Lanes(a) *= k; }
  friend TARVEX_BLOCK_OP Lanes operator/(const Lanes& a, double k) { return Lanes(a) /= k; }
};

// |x| in every lane: the sign bit cleared, as std::fabs does.
template <class V, std::size_t U>
TARVEX_BLOCK_OP Lanes<V, U> magnitude(const Lanes<V, U>& a) {
  constexpr std::size_t width = Lanes<V, U>::kWidth;
  std::uint64_t bits[width];
  std::memcpy(bits, a.v, sizeof bits);
#pragma GCC unroll 16
  for (std::size_t j = 0; j < width; ++j) bits[j] &= ~(std::uint64_t{1} << 63);
  Lanes<V, U> r;
  std::memcpy(r.v, bits, sizeof bits);
  return r;
}

inline double magnitude(double x) { return std::fabs(x); }

// The n values of the windows ending at a block of neighbouring bars (or at
// one bar when Block is double): w[k] is the k-th oldest value, k = 0 the
// oldest and n - 1 the bar itself, for every bar of the block.
template <class Block>
struct Window {
  const double* oldest;  // oldest value of the first bar's window
  std::size_t n;

  std::size_t size() const { return n; }
  TARVEX_BLOCK_OP Block operator[](std::size_t k) const {
    if constexpr (std::is_same_v<Block, double>) {
      return oldest[k];
    } else {
      return Block::load(oldest + k);
    }
  }
  // 0.0 in every lane: the start of a sum.
  TARVEX_BLOCK_OP Block zero() const { return Block{}; }
};

// 0.0 + w[0] + w[1] + ... + w[n-1], added left to right.
template <class Block>
TARVEX_BLOCK_OP Block window_sum(const Window<Block>& w) {
  Block sum = w.zero();
  for (std::size_t k = 0; k < w.size(); ++k) sum += w[k];
  return sum;
}

// The first bars of `count` neighbouring bars in whole blocks, the window
// of the first one starting at `oldest`; returns how many it computed.
template <class Block, class Stat>
TARVEX_BLOCK_OP std::size_t run_blocks(const double* oldest, std::size_t n, std::size_t count, double* out,
                                       const Stat& stat) {
  std::size_t i = 0;
  for (; count - i >= Block::kWidth; i += Block::kWidth) stat(Window<Block>{oldest + i, n}).store(out + i);
  return i;
}

// The kernels interleave as many vectors as the sixteen vector registers
// hold when the statistic keeps `Live` running block values (sums), so that
// eight chains of dependent additions are in flight at a time.
#if defined(__x86_64__)
typedef double Vec2 __attribute__((vector_size(16)));
typedef double Vec4 __attribute__((vector_size(32)));

template <std::size_t Live, class Stat>
__attribute__((target("avx2"), flatten)) std::size_t run_avx2(const double* oldest, std::size_t n,
                                                               std::size_t count, double* out, const Stat& stat) {
  return run_blocks<Lanes<Vec4, 8 / Live>>(oldest, n, count, out, stat);
}

template <std::size_t Live>
using BaselineBlock = Lanes<Vec2, 8 / Live>;
#else
template <std::size_t Live>
using BaselineBlock = Lanes<double, 8 / Live>;
#endif

template <std::size_t Live, class Stat>
__attribute__((flatten)) std::size_t run_baseline(const double* oldest, std::size_t n, std::size_t count,
                                                  double* out, const Stat& stat) {
  return run_blocks<BaselineBlock<Live>>(oldest, n, count, out, stat);
}

// Bars computed between two interruption points: at most kChunkBars, fewer
// when the windows are long (about a quarter of the interruption quantum of
// work), in whole blocks of 32 bars (a multiple of every block width) so
// that only the last chunk ends in scalar bars.
constexpr std::size_t kBlockBars = 32;
constexpr std::size_t kChunkBars = 64 * kBlockBars;

inline std::size_t chunk_bars(std::size_t n) {
  const std::size_t blocks = kInterruptQuantum / 4 / n / kBlockBars;
  return std::min(kChunkBars, std::max<std::size_t>(1, blocks) * kBlockBars);
}

}  // namespace window_kernel

// out[i] = stat(w) for the window w of the n bars ending at every bar i
// that has one; NaN at the other bars, and at every bar when n is 0 or
// longer than s. `stat` is a generic function of a window_kernel::Window
// that keeps `Live` (1 or 2) running sums. The chunks are computed straight
// into the result, so it is written once.
// In provisional mode, a row's window is the n - 1 values at the commits
// before it, then its own.
template <std::size_t Live, class Stat>
Series each_window(SeriesView s, std::uint64_t n, const Stat& stat) {
  namespace wk = window_kernel;
  if (n == 0 || n > s.size()) return nan_series(s.size());
  const std::size_t len = static_cast<std::size_t>(n);
  if (const CommitLayout* layout = provisional_layout(s.size())) {
    return over_commits(s, *layout, [&](const double* history, std::size_t count) {
      return count < len ? kNaN : stat(wk::Window<double>{history + count - len, len});
    });
  }
  const std::size_t bars = s.size() - len + 1;
  const std::size_t chunk = wk::chunk_bars(len);
  [[maybe_unused]] const bool avx2 = simd_level() == SimdLevel::kAvx2;
  Series out(s.size());
  std::fill_n(out.begin(), len - 1, kNaN);
  double* const first = out.data() + (len - 1);  // the result of the first full window
  for (std::size_t done = 0; done < bars;) {
    const std::size_t count = std::min(chunk, bars - done);
    const double* oldest = s.data() + done;
    double* dst = first + done;
#if defined(__x86_64__)
    std::size_t j = avx2 ? wk::run_avx2<Live>(oldest, len, count, dst, stat)
                         : wk::run_baseline<Live>(oldest, len, count, dst, stat);
#else
    std::size_t j = wk::run_baseline<Live>(oldest, len, count, dst, stat);
#endif
    for (; j < count; ++j) dst[j] = stat(wk::Window<double>{oldest + j, len});
    interruption_point(count * len);
    done += count;
  }
  return out;
}

}  // namespace tarvex

#undef TARVEX_BLOCK_OP
