// Decoder on hand-built streams: records the encoder never writes (short
// distances that overlap the copy, continuations, escapes at the end,
// distances past the window) and every stream it must refuse.  Each stream
// goes through both decoder paths with small ragged blocks, so a record or a
// distance split across input blocks is covered too.
#include <cdedup/cdedup.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dedup/chunker.h"
#include "support/address_space.h"
#include "support/codec_driver.h"

namespace cdedup::test {
namespace {

Bytes header(uint32_t chunklen, uint32_t window_mib) {
  return {static_cast<uint8_t>(chunklen & 0xFF), static_cast<uint8_t>(chunklen >> 8),
          static_cast<uint8_t>(window_mib & 0xFF), static_cast<uint8_t>(window_mib >> 8)};
}

Bytes copy_record(uint32_t d) {
  return {0xEF, 0x4D, 0xB6, 0x00, static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d >> 16),
          static_cast<uint8_t>(d >> 24)};
}
const Bytes kContinue = {0xEF, 0x4D, 0xB6, 0x02};
const Bytes kLiteral = {0xEF, 0x4D, 0xB6, 0x01};

// The parts end to end.
template <typename Parts>
Bytes joined(const Parts& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) { return joined(parts); }

// 64 random bytes that do not open with the escape prefix: one whole chunk
// under cfg_chunklen 1.
Bytes chunk64(uint64_t seed) {
  Bytes c = seeded_bytes(seed, 64);
  if (c[0] == 0xEF) c[0] = 0;
  return c;
}

// `count` such chunks from consecutive seeds.
std::vector<Bytes> chunks64(uint64_t first_seed, size_t count) {
  std::vector<Bytes> chunks;
  for (uint64_t k = 0; k < count; ++k) chunks.push_back(chunk64(first_seed + k));
  return chunks;
}

CodecResult decode(const Bytes& stream, uint64_t seed, size_t max_block = 7) {
  CodecRun run;
  run.mode = CODEC_MODE_DECODE;
  run.in = BlockSizes::ragged(seed, 1, max_block);
  run.out = BlockSizes::ragged(seed + 1, 1, max_block);
  return run_both_paths(stream, run);
}

// A stream that decodes to `want`, with total_bytes equal to what was written.
void expect_decodes(const CodecResult& r, const Bytes& want, int64_t chunks) {
  EXPECT_EQ(r.final_yield, CODEC_DONE) << r.message;
  EXPECT_EQ(r.output, want);
  EXPECT_EQ(r.sum, static_cast<int64_t>(want.size()));
  EXPECT_EQ(r.chunks, chunks);
}

void expect_fails(const CodecResult& r, const Bytes& output_before) {
  EXPECT_EQ(r.final_yield, CODEC_ERROR);
  EXPECT_FALSE(r.message.empty());
  EXPECT_EQ(r.output, output_before);
}

// ---------------------------------------------------------------------------
// Literal chunks and escapes
// ---------------------------------------------------------------------------

TEST(Decoder, HeaderOnly) {
  const CodecResult r = decode({0x64, 0x00, 0x00, 0x04}, 1);
  expect_decodes(r, {}, 1);
  EXPECT_NE(r.report.find("len=164 encmem=0M decmem=1024M\n"), std::string::npos) << r.report;
}

TEST(Decoder, BodyEndingShortlyAfterABoundary) {
  const Bytes c = chunk64(2);
  const std::vector<Bytes> tails = {{0xEF}, {0xEF, 0x4D}, {0xEF, 0x4D, 0xB6}, {1, 2, 3, 4}, {0xEF, 0x4D, 0xB6, 0x03}};
  for (const Bytes& tail : tails) {
    SCOPED_TRACE(std::to_string(tail.size()) + " bytes after the boundary");
    expect_decodes(decode(cat({header(1, 1), c, tail}), tail.size()), cat({c, tail}), 2);
  }
}

TEST(Decoder, PrefixWithOtherCodesIsData) {
  Bytes c1 = chunk64(3);
  c1[0] = 0xEF, c1[1] = 0x4D, c1[2] = 0xB6, c1[3] = 0x05;
  Bytes c2 = chunk64(4);
  for (size_t at : {1, 30, 60}) c2[at] = 0xEF, c2[at + 1] = 0x4D, c2[at + 2] = 0xB6, c2[at + 3] = 0x00;
  expect_decodes(decode(cat({header(1, 1), c1, c2}), 3), cat({c1, c2}), 3);
}

TEST(Decoder, LiteralEscapeTakesTheNextChunkVerbatim) {
  Bytes c = chunk64(5);
  c[0] = 0xEF, c[1] = 0x4D, c[2] = 0xB6, c[3] = 0x00;  // would read as ESC_COPY
  const Bytes c2 = chunk64(6);
  // Had a distance been read after the inner prefix, the chunk would be 4 bytes short.
  expect_decodes(decode(cat({header(1, 1), kLiteral, c, c2}), 5), cat({c, c2}), 3);
}

TEST(Decoder, LiteralEscapeAsLastRecordIsAnEmptyChunk) {
  const Bytes c = chunk64(7);
  expect_decodes(decode(cat({header(1, 1), c, kLiteral}), 7), c, 2);
}

// ---------------------------------------------------------------------------
// Copies
// ---------------------------------------------------------------------------

TEST(Decoder, CopyAndContinuations) {
  const Bytes c = chunk64(8);
  expect_decodes(decode(cat({header(1, 1), c, copy_record(64), kContinue, kContinue}), 8), cat({c, c, c, c}), 5);

  const Bytes c1 = chunk64(9), c2 = chunk64(10);
  expect_decodes(decode(cat({header(1, 1), c1, c2, copy_record(128), kContinue}), 9), cat({c1, c2, c1, c2}), 5);
}

TEST(Decoder, ContinueAsFirstRecordCopiesZeros) {
  expect_decodes(decode(cat({header(1, 1), kContinue}), 11), Bytes(64, 0), 2);
}

TEST(Decoder, DistanceOneRepeatsTheLastByte) {
  const Bytes c = chunk64(12);
  expect_decodes(decode(cat({header(1, 1), c, copy_record(1)}), 12), cat({c, Bytes(64, c.back())}), 3);
}

// Decoded bytes of a copy at distance d that overlaps itself: each byte is
// the one d back, up to the chunker's next boundary.
Bytes overlapping_copy(const Bytes& before, uint32_t d, uint32_t chunklen) {
  Chunker ck{};
  chunker_init(ck, chunklen);
  for (uint8_t b : before)
    if (chunker_feed(ck, b)) chunker_end_chunk(ck);
  Bytes all = before;
  do all.push_back(all[all.size() - d]);
  while (!chunker_feed(ck, all.back()));
  return all;
}

TEST(Decoder, ShortDistancesRepeatOverLongCopies) {
  // cfg_chunklen 100: the first chunk of random bytes, then copies at
  // distances shorter than the copy, which run until the copied bytes end a
  // chunk (the 65535-byte cap at the latest).
  Bytes data = seeded_bytes(13, 70000);
  Chunker ck{};
  chunker_init(ck, 100);
  size_t end = 0;
  while (!chunker_feed(ck, data[end])) ++end;
  const Bytes first(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(end + 1));
  for (uint32_t d : {1u, 3u, 17u, 63u}) {
    SCOPED_TRACE("distance " + std::to_string(d));
    const Bytes want = overlapping_copy(first, d, 100);
    ASSERT_GE(want.size() - first.size(), 64u);
    ASSERT_LE(want.size() - first.size(), 65535u);
    expect_decodes(decode(cat({header(100, 1), first, copy_record(d)}), d, 3000), want, 3);
  }
}

// A copy whose source is not the start of an earlier chunk (so the decoder
// knows nothing of where it ends) and whose boundary falls at, or one byte
// either side of, the edges of the pieces the copy is materialised in.
TEST(Decoder, UnnotedCopyEndingAtPieceEdges) {
  for (size_t len : {255u, 256u, 257u, 1023u, 1024u, 1025u, 4096u, 16384u}) {
    SCOPED_TRACE("length " + std::to_string(len));
    // S: zeros, then a last window found by trial that ends S as a chunk at its last byte.
    Bytes s(len, 0);
    uint64_t x = len;
    for (size_t end = 0; end != len;) {
      for (size_t k = len - 16; k < len; ++k) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        s[k] = static_cast<uint8_t>(x >> 56);
      }
      Chunker ck{};
      chunker_init(ck, 100);
      end = 0;
      for (size_t i = 0; i < len && end == 0; ++i)
        if (chunker_feed(ck, s[i])) end = i + 1;
    }
    // P ends inside a chunk, which S then continues: S's first byte starts no chunk.
    Bytes p = seeded_bytes(len, len);
    if (p[0] == 0xEF) p[0] = 0;
    const Bytes want = cat({p, s, s});
    const CodecResult r = decode(cat({header(100, 1), p, s, copy_record(static_cast<uint32_t>(len))}), len, 5000);
    EXPECT_EQ(r.final_yield, CODEC_DONE) << r.message;
    EXPECT_EQ(r.output, want);
  }
}

TEST(Decoder, DistanceBeyondTheWindowWraps) {
  // With a 1 MiB window, 1048577 reads where 1 does.
  const Bytes c = chunk64(14);
  const Bytes want = cat({c, Bytes(64, c.back())});
  expect_decodes(decode(cat({header(1, 1), c, copy_record(1048577)}), 14), want, 3);
}

TEST(Decoder, DistanceOfTheWholeWindow) {
  // After 1 MiB of 64-byte chunks, D = 1 MiB reaches the oldest byte still
  // held: chunk 0, and after that copy, chunk 1.
  const std::vector<Bytes> chunks = chunks64(1000, 16384);
  const Bytes body = joined(chunks);
  const Bytes stream = cat({header(1, 1), body, copy_record(1 << 20), copy_record(1 << 20)});
  expect_decodes(decode(stream, 15, 5000), cat({body, chunks[0], chunks[1]}), 16384 + 3);
}

TEST(Decoder, WindowAbove2GiB) {
  // 4095 MiB window, more than 1 MiB decoded: a 32-bit index sum would wrap
  // here and copy from 1 MiB too far back.
  const std::vector<Bytes> chunks = chunks64(50000, 16400);
  const Bytes body = joined(chunks);
  const uint32_t all = static_cast<uint32_t>(body.size()) + 64;
  const Bytes stream = cat({header(1, 4095), body, copy_record(64), copy_record(all)});
  expect_decodes(decode(stream, 16, 5000), cat({body, chunks.back(), chunks[0]}), 16400 + 3);
}

// Streams no encoder writes: literal runs, every record kind, distances
// around the window and out of it, a possibly cut-off end.  Under
// cfg_chunklen 1 records land on chunk starts; under the others only some do.
Bytes random_stream(uint64_t seed) {
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  auto next = [&state](uint64_t n) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    return state % n;
  };
  const uint32_t chunklens[] = {1, 2, 100};
  const uint32_t cl = chunklens[seed % 3];
  Bytes s = header(cl, next(8) == 0 ? 0 : 1);
  const uint32_t distances[] = {0, 1, 2, 63, 64, 65, 128, 1000, (1u << 20) - 1, 1u << 20, (1u << 20) + 1,
                                0xFFFF0000u, 0xFFFFFFFFu};
  const size_t records = 5 + next(60);
  for (size_t r = 0; r < records; ++r) {
    switch (next(6)) {
      case 0:
      case 1: {
        const Bytes lit = seeded_bytes(state, cl == 1 ? 64 : 1 + next(400));
        s.insert(s.end(), lit.begin(), lit.end());
        break;
      }
      case 2: {
        const uint32_t d = next(3) == 0 ? static_cast<uint32_t>(next(5000)) : distances[next(13)];
        const Bytes rec = copy_record(d);
        s.insert(s.end(), rec.begin(), rec.end());
        break;
      }
      case 3:
        s.insert(s.end(), kContinue.begin(), kContinue.end());
        break;
      case 4:
        s.insert(s.end(), kLiteral.begin(), kLiteral.end());
        break;
      default:
        s.insert(s.end(), {0xEF, 0x4D, 0xB6, static_cast<uint8_t>(3 + next(253))});
        break;
    }
  }
  if (next(3) == 0) s.resize(s.size() - next(std::min<size_t>(s.size() - 4, 8)));
  return s;
}

TEST(Decoder, PathsAgreeOnArbitraryStreams) {
  for (uint64_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("stream seed " + std::to_string(seed));
    const CodecResult r = decode(random_stream(seed), seed, 1 + seed % 40);
    if (r.final_yield == CODEC_DONE) {
      EXPECT_EQ(r.sum, static_cast<int64_t>(r.output.size()));
    } else {
      EXPECT_EQ(r.final_yield, CODEC_ERROR);
    }
  }
}

// ---------------------------------------------------------------------------
// Streams that cannot be decoded
// ---------------------------------------------------------------------------

TEST(DecoderFailure, StreamShorterThanItsHeader) {
  for (const Bytes& s : {Bytes{}, Bytes{0x64}, Bytes{0x64, 0x00}, Bytes{0x64, 0x00, 0x00}}) {
    SCOPED_TRACE(std::to_string(s.size()) + " bytes");
    expect_fails(decode(s, 20, 2), {});
  }
}

TEST(DecoderFailure, ChunkLengthFieldZero) {
  expect_fails(decode({0x00, 0x00, 0x00, 0x04}, 21), {});
  expect_fails(decode(cat({header(0, 1), chunk64(21)}), 22), {});
}

TEST(DecoderFailure, ReferenceWithoutAWindow) {
  const Bytes c1 = chunk64(23), c2 = chunk64(24);
  // Window field 0, and 4096 MiB, which is 0 in 32 bits.
  for (uint32_t mib : {0u, 4096u}) {
    SCOPED_TRACE("window field " + std::to_string(mib));
    expect_fails(decode(cat({header(1, mib), c1, c2, copy_record(64)}), 23), cat({c1, c2}));
    expect_fails(decode(cat({header(1, mib), c1, kContinue}), 24), c1);
    // Literal chunks need no window.
    expect_decodes(decode(cat({header(1, mib), c1, kLiteral, c2, {9}}), 25), cat({c1, c2, {9}}), 3);
  }
}

TEST(DecoderFailure, StreamEndsInsideADistance) {
  const Bytes c = chunk64(26);
  for (size_t k = 0; k < 4; ++k) {
    SCOPED_TRACE(std::to_string(k) + " distance bytes");
    Bytes stream = cat({header(1, 1), c, copy_record(64)});
    stream.resize(stream.size() - 4 + k);
    expect_fails(decode(stream, 26 + k), c);
  }
}

// In a child: with at most 512 MiB more address space, a 4095 MiB window
// cannot be had.  Exits 0 when both paths behave as `want_error` says.
[[noreturn]] void decode_without_room(const Bytes& stream, bool want_error, const Bytes& want_output) {
  if (!limit_address_space(size_t{512} << 20)) {
    std::fprintf(stderr, "cannot limit the address space\n");
    _exit(2);
  }
  int bad = 0;
  for (bool reference : {true, false}) {
    CodecRun run;
    run.mode = CODEC_MODE_DECODE;
    run.reference_path = reference;
    run.in = BlockSizes::fixed(3);
    run.out = BlockSizes::fixed(5);
    const CodecResult r = run_codec(stream, run);
    // A window that cannot be had is a failure of its own kind, not a damaged stream.
    const bool ok = (want_error ? r.final_yield == CODEC_ERROR && r.failure == CODEC_FAIL_MEMORY &&
                                      r.message.find("4095 MiB window") != std::string::npos
                                : r.final_yield == CODEC_DONE) &&
                    r.output == want_output;
    if (!ok) {
      std::fprintf(stderr, "%s path: final %d, %zu bytes, message \"%s\"\n", reference ? "reference" : "fast",
                   static_cast<int>(r.final_yield), r.output.size(), r.message.c_str());
      bad = 1;
    }
  }
  std::fflush(stderr);
  _exit(bad);
}

TEST(DecoderFailure, WindowThatCannotBeAllocated) {
  if (!address_space_limit_holds()) GTEST_SKIP() << "a limit on the address space does not hold here";
  const Bytes c = chunk64(30);
  // Body bytes need the window; the failure comes before anything is written.
  EXPECT_EXIT(decode_without_room(cat({header(1, 4095), c, c}), true, {}), ::testing::ExitedWithCode(0), "");
  // A stream without a body never needs it.
  EXPECT_EXIT(decode_without_room(header(1, 4095), false, {}), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace cdedup::test
