// Unique-chunk mode: the header and every chunk that is not a duplicate
// within the window, unchanged, with no escape records.  Expected streams are
// built from the input and the chunk layout (64-byte chunks under
// cfg_chunklen 1, 65535-byte chunks in zero runs), so a dropped chunk too
// many or too few changes the byte count.  Every run goes through both paths.
#include <cdedup/cdedup.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "dedup/chunker.h"
#include "dedup/fingerprint.h"
#include "support/codec_driver.h"
#include "support/collision.h"

namespace cdedup::test {
namespace {

CodecResult unique(const Bytes& input, int32_t chunklen, int32_t decmem, uint64_t seed, size_t max_block) {
  CodecRun run;
  run.mode = CODEC_MODE_UNIQUE;
  run.params = {chunklen, 16, decmem};
  run.in = BlockSizes::ragged(seed, 1, max_block);
  run.out = BlockSizes::ragged(seed + 1, 1, max_block);
  CodecResult r = run_both_paths(input, run);
  EXPECT_EQ(r.final_yield, CODEC_DONE) << r.message;
  EXPECT_EQ(r.sum, static_cast<int64_t>(input.size()));
  return r;
}

Bytes with_header(std::initializer_list<uint8_t> header, const Bytes& body) {
  Bytes out(header);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

size_t count_chunks(const Bytes& data, uint32_t chunklen) {
  Chunker ck{};
  chunker_init(ck, chunklen);
  size_t n = 1;  // the final chunk, possibly empty
  for (uint8_t b : data)
    if (chunker_feed(ck, b)) {
      chunker_end_chunk(ck);
      ++n;
    }
  return n;
}

TEST(UniqueMode, EmptyInputIsHeaderOnly) {
  const CodecResult r = unique({}, 100, 1024, 1, 4);
  EXPECT_EQ(r.output, (Bytes{0x64, 0x00, 0x00, 0x04}));
  EXPECT_EQ(r.chunks, 1);
  EXPECT_EQ(r.sum, 0);
}

TEST(UniqueMode, ShortInputWrittenWhole) {
  for (size_t n : {1, 4, 63}) {
    Bytes in = seeded_bytes(n, n);
    if (n >= 4) in[0] = 0xEF, in[1] = 0x4D, in[2] = 0xB6, in[3] = 0x00;  // no escape in this mode
    const CodecResult r = unique(in, 100, 1024, n, 5);
    EXPECT_EQ(r.output, with_header({0x64, 0x00, 0x00, 0x04}, in)) << n << " bytes";
    EXPECT_EQ(r.chunks, 1);
  }
}

TEST(UniqueMode, EscapeLikeChunkStartsWrittenUnchanged) {
  // cfg_chunklen 1: 64-byte chunks, each opening with what would be an escape record.
  Bytes in = seeded_bytes(2, 64 * 30 + 4);
  for (size_t k = 0; k <= 30; ++k) {
    uint8_t* p = in.data() + 64 * k;
    p[0] = 0xEF, p[1] = 0x4D, p[2] = 0xB6, p[3] = static_cast<uint8_t>(k % 3);
  }
  const CodecResult r = unique(in, 1, 1024, 2, 100);
  ASSERT_EQ(r.chunks, 31);
  EXPECT_EQ(r.output, with_header({0x01, 0x00, 0x00, 0x04}, in));
}

TEST(UniqueMode, ZeroRunKeepsItsFirstChunk) {
  // A zero run is cut at the 65535-byte cap into chunks with equal keys; a
  // final chunk of another length has another key and is written.
  for (int32_t cl : {2, 100}) {
    const Bytes in(4 * 65535 + 1000, 0);
    const CodecResult r = unique(in, cl, 1024, 3, 70000);
    EXPECT_EQ(r.output, with_header({static_cast<uint8_t>(cl), 0x00, 0x00, 0x04}, Bytes(65535 + 1000, 0)))
        << "cfg_chunklen " << cl;
    EXPECT_EQ(r.chunks, 5);
  }
  // Ending at the cap leaves an empty final chunk, counted and written as nothing.
  const CodecResult r = unique(Bytes(3 * 65535, 0), 100, 1024, 4, 70000);
  EXPECT_EQ(r.output, with_header({0x64, 0x00, 0x00, 0x04}, Bytes(65535, 0)));
  EXPECT_EQ(r.chunks, 4);
}

TEST(UniqueMode, HitDoesNotRefreshThePosition) {
  // 1 MiB window: zero chunks 1..16 start less than W after chunk 0 and are
  // dropped; chunk 17 starts 17 * 65535 >= W after it and is written, which
  // it would not be if a hit had moved the stored position forward.
  const Bytes in(18 * 65535, 0);
  const CodecResult r = unique(in, 100, 1, 5, 70000);
  EXPECT_EQ(r.output, with_header({0x64, 0x00, 0x01, 0x00}, Bytes(2 * 65535, 0)));
  EXPECT_EQ(r.chunks, 19);
}

TEST(UniqueMode, RepeatsAtWindowDistanceWrittenAgain) {
  // cfg_chunklen 1 and a 1 MiB window (16384 chunks): a 10-chunk stretch R
  // repeated W - 64 bytes after its start is dropped; repeated W bytes
  // after it is written, and so is a third copy right behind that one.
  const Bytes r = seeded_bytes(6, 640);
  const size_t w_chunks = 16384;
  {
    Bytes in = seeded_bytes(7, (w_chunks + 9) * 64);
    std::copy(r.begin(), r.end(), in.begin());
    std::copy(r.begin(), r.end(), in.begin() + (w_chunks - 1) * 64);
    const CodecResult out = unique(in, 1, 1, 8, 40000);
    ASSERT_EQ(out.chunks, static_cast<int64_t>(w_chunks + 10));
    Bytes want(in.begin(), in.begin() + (w_chunks - 1) * 64);
    EXPECT_EQ(out.output, with_header({0x01, 0x00, 0x01, 0x00}, want));
  }
  {
    Bytes in = seeded_bytes(9, (w_chunks + 20) * 64);
    std::copy(r.begin(), r.end(), in.begin());
    std::copy(r.begin(), r.end(), in.begin() + w_chunks * 64);
    std::copy(r.begin(), r.end(), in.begin() + (w_chunks + 10) * 64);
    const CodecResult out = unique(in, 1, 1, 10, 40000);
    ASSERT_EQ(out.chunks, static_cast<int64_t>(w_chunks + 21));
    EXPECT_EQ(out.output, with_header({0x01, 0x00, 0x01, 0x00}, in));
  }
}

TEST(UniqueMode, NoWindowFindsNoDuplicates) {
  // decmem 4096 is a zero window: the zero run is written in full.
  const Bytes in(4 * 65535 + 10, 0);
  const CodecResult r = unique(in, 100, 4096, 11, 70000);
  EXPECT_EQ(r.output, with_header({0x64, 0x00, 0x00, 0x00}, in));
  EXPECT_EQ(r.chunks, 5);
}

TEST(UniqueMode, ChunkLengthAboveSixteenBits) {
  // 65636 travels as 100 but the encoder chunks with 65636.
  const Bytes in = seeded_bytes(12, 1 << 20);
  const CodecResult r = unique(in, 65636, 1024, 12, 70000);
  EXPECT_EQ(r.output, with_header({0x64, 0x00, 0x00, 0x04}, in));
  const size_t wide = count_chunks(in, 65636);
  EXPECT_EQ(r.chunks, static_cast<int64_t>(wide));
  EXPECT_NE(wide, count_chunks(in, 100));
}

TEST(UniqueMode, FinalChunkWithAnEarlierKeyIsDropped) {
  const Collision c = make_collision(100, 103);
  ASSERT_EQ(c.b.size(), c.a.size());
  ASSERT_NE(c.a, c.b);
  const ChunkKey ka = key_of(c.a), kb = key_of(c.b);
  ASSERT_TRUE(std::equal(ka.bytes, ka.bytes + 16, kb.bytes));

  Bytes in = c.a;
  in.insert(in.end(), c.b.begin(), c.b.end());
  const CodecResult r = unique(in, 100, 1024, 13, 30);
  EXPECT_EQ(r.chunks, 2);
  EXPECT_EQ(r.output, with_header({0x64, 0x00, 0x00, 0x04}, c.a));
}

}  // namespace
}  // namespace cdedup::test
