#include "platform/cpu_features.h"

namespace cdedup {

namespace {

CpuFeatures detect() {
  CpuFeatures f{};
#if defined(__x86_64__)
  __builtin_cpu_init();
  f.avx2 = __builtin_cpu_supports("avx2") != 0;
  f.avx2_gfni = f.avx2 && __builtin_cpu_supports("gfni") != 0;
  f.avx512 = f.avx2 && __builtin_cpu_supports("avx512f") != 0;
#endif
  return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace cdedup
