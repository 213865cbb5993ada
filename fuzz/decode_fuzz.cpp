// Decoder on arbitrary bytes: the byte-at-a-time reference and the fast path
// must agree on every output byte, every yield, the final yield (done or
// error), the message and the printed lines, and neither may crash, read
// outside its blocks or leak.
//
// Block sizes are picked from a hash of the input rather than from its bytes,
// so the corpus stays plain encoded streams.  A few bytes of references can
// stand for megabytes of output, so both runs stop at the same full output
// block past a cap; up to there they must still match.
#include <cstddef>
#include <cstdint>

#include "fuzz_pump.h"

namespace {

constexpr size_t IN_SIZES[] = {1, 3, 64, 4093, 65536};
constexpr size_t OUT_SIZES[] = {1, 5, 100, 4096, 65536};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
  h ^= h >> 29;

  fuzz::Run run;
  run.mode = CODEC_MODE_DECODE;
  run.in = fuzz::BlockSizes::constant(IN_SIZES[h % 5]);
  run.out = fuzz::BlockSizes::constant(OUT_SIZES[(h / 5) % 5]);
  run.out_cap = size_t{256} << 10;
  run.out_block_cap = 4096;

  run.reference = true;
  const fuzz::Result ref = fuzz::pump(data, size, run);
  run.reference = false;
  const fuzz::Result fast = fuzz::pump(data, size, run);
  fuzz::check_same(ref, fast);
  FUZZ_CHECK(ref.init == 0);
  return 0;
}
