#include "runtime/simd.hpp"

#include <cstdlib>
#include <cstring>

namespace tarvex {
namespace {

SimdLevel detect() {
  const char* forced = std::getenv("TARVEX_SIMD");
  if (forced != nullptr && std::strcmp(forced, "baseline") == 0) return SimdLevel::kBaseline;
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return SimdLevel::kAvx2;
#endif
  return SimdLevel::kBaseline;
}

}  // namespace

SimdLevel simd_level() {
  static const SimdLevel level = detect();
  return level;
}

}  // namespace tarvex
