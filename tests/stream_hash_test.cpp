// The stream hash's variants against each other and against libxxhash's
// one-shot XXH3-64 built here in plain scalar code: same digests for every
// length and however the stream is cut into pieces.
#include <gtest/gtest.h>

#define XXH_INLINE_ALL
#define XXH_VECTOR XXH_SCALAR
#include <xxhash.h>

#include <vector>

#include "dedup/stream_hash.h"
#include "support/codec_driver.h"

namespace cdedup {
namespace {

std::vector<const StreamHashVariant*> variants() {
  std::vector<const StreamHashVariant*> v = {&stream_hash_portable()};
  if (const StreamHashVariant* w = stream_hash_avx2()) v.push_back(w);
  if (const StreamHashVariant* w = stream_hash_avx512()) v.push_back(w);
  return v;
}

TEST(StreamHash, EveryVariantGivesTheScalarDigestHoweverTheStreamIsCut) {
  // Lengths around the hash's internal sizes (stripes of 64, blocks of 1024,
  // its 256-byte buffer) and a few large ones.
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (const size_t n : {1023, 1024, 1025, 4096 + 17, 65536, 1000003}) lengths.push_back(n);
  const test::Bytes data = test::seeded_bytes(77, 1000003);
  uint64_t x = 1;
  for (const StreamHashVariant* v : variants()) {
    SCOPED_TRACE(v->name);
    for (const size_t n : lengths) {
      const uint64_t expected = XXH3_64bits(data.data(), n);
      ASSERT_EQ(v->once(data.data(), n), expected) << n;
      StreamHash h;
      v->reset(h);
      for (size_t at = 0; at < n;) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        const size_t k = std::min<size_t>(n - at, (x >> 33) % ((x >> 62) == 0 ? 5000 : 70));
        v->update(h, data.data() + at, k);
        at += k;
      }
      ASSERT_EQ(v->digest(h), expected) << n;
    }
  }
  EXPECT_EQ(hash_once(data.data(), data.size()), XXH3_64bits(data.data(), data.size()));
}

}  // namespace
}  // namespace cdedup
