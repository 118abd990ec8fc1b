// The instruction set of the vectorised kernels, chosen once per process.
#pragma once

namespace tarvex {

enum class SimdLevel {
  kBaseline,  // what every processor of the target runs: SSE2 on x86-64, plain scalar code elsewhere
  kAvx2,      // 256-bit vectors, x86-64 processors that have AVX2
};

// AVX2 where the processor (and the operating system) supports it, the
// baseline otherwise or when the environment variable TARVEX_SIMD is
// "baseline". Read on the first call; later changes of the variable have
// no effect.
SimdLevel simd_level();

}  // namespace tarvex
