#include "dedup/cpu_features.h"

namespace cdedup {

bool cpu_has_avx2() {
#if defined(__x86_64__)
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
#else
  return false;
#endif
}

bool cpu_has_avx2_gfni() {
#if defined(__x86_64__)
  static const bool has = cpu_has_avx2() && __builtin_cpu_supports("gfni") != 0;
  return has;
#else
  return false;
#endif
}

}  // namespace cdedup
