// What the CPU can run, asked once per process.  Every wide variant is
// chosen through here, so all of them agree on the answer.
#pragma once

namespace cdedup {

// True on x86-64 when the CPU (and the operating system) support AVX2.
bool cpu_has_avx2();
// True when AVX2 is there and the CPU has GFNI's affine byte transforms.
bool cpu_has_avx2_gfni();

}  // namespace cdedup
