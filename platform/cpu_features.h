// What the CPU can run, asked once per process.  Every wide variant is
// chosen through here, so all of them agree on the answer; on a CPU this
// file does not know (aarch64 today) every flag is false and the portable
// code runs.
#pragma once

namespace cdedup {

struct CpuFeatures {
  bool avx2;       // x86-64 AVX2, with the operating system saving its registers
  bool avx2_gfni;  // AVX2 and GFNI's affine byte transforms
  bool avx512;     // AVX-512 Foundation, with the operating system saving its registers
};

const CpuFeatures& cpu_features();

}  // namespace cdedup
