// Lossless round trip: encoding then decoding gives the input back, over
// generated inputs and settings, and the byte-at-a-time and span paths agree
// on both sides (bytes and yields, with ragged block sizes).
//
// A round trip alone would pass an encoder that never writes a reference, so
// where chunking is predictable (cfg_chunklen 1 cuts 64-byte chunks, and the
// chunker can be asked where the boundaries of other inputs fall) the exact
// stream is derived too: a reference, continuation or escape that is missing
// or extra shows as a wrong byte count.
#include <cdedup/cdedup.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dedup/chunker.h"
#include "support/codec_driver.h"

namespace cdedup::test {
namespace {

// Defaults but the index size: 16 MiB holds every chunk of these inputs and
// costs far less to map and touch than 256.
struct Settings {
  int32_t chunklen = 100;
  int32_t encmem = 16;
  int32_t decmem = 1024;
};

std::string describe(const Settings& s) {
  return "cfg_chunklen " + std::to_string(s.chunklen) + ", encmem " + std::to_string(s.encmem) + ", decmem " +
         std::to_string(s.decmem);
}

// The stream header as the format lays it out.
Bytes header_for(const Settings& s) {
  const uint32_t cl = static_cast<uint32_t>(s.chunklen);
  const uint32_t window = static_cast<uint32_t>(s.decmem) << 20;
  return {static_cast<uint8_t>(cl & 0xFF), static_cast<uint8_t>((cl >> 8) & 0xFF),
          static_cast<uint8_t>((window >> 20) & 0xFF), static_cast<uint8_t>(window >> 28)};
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

::testing::AssertionResult same_bytes(const Bytes& want, const Bytes& got) {
  if (want == got) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
  return ::testing::AssertionFailure() << "expected " << want.size() << " bytes, got " << got.size()
                                       << ", first difference at " << i;
}

// Where the chunker cuts `data`: the start of every chunk, the final
// (possibly empty) one included.
std::vector<size_t> chunk_starts(const Bytes& data, uint32_t chunklen) {
  Chunker ck{};
  chunker_init(ck, chunklen);
  std::vector<size_t> starts{0};
  for (size_t i = 0; i < data.size(); ++i) {
    if (chunker_feed(ck, data[i])) {
      chunker_end_chunk(ck);
      starts.push_back(i + 1);
    }
  }
  return starts;
}

bool escape_like(const uint8_t* p, size_t len) {
  return len >= 4 && p[0] == 0xEF && p[1] == 0x4D && p[2] == 0xB6 && p[3] <= 0x02;
}

struct Trip {
  CodecResult enc;
  CodecResult dec;
};

// Encodes and decodes with both paths on each side, blocks drawn from
// [1, max_block], and checks what every round trip must satisfy.
Trip round_trip(const Bytes& input, const Settings& s, uint64_t seed, size_t max_block) {
  Trip t;
  CodecRun enc;
  enc.mode = CODEC_MODE_ENCODE;
  enc.params = {s.chunklen, s.encmem, s.decmem};
  enc.in = BlockSizes::ragged(seed, 1, max_block);
  enc.out = BlockSizes::ragged(seed + 1, 1, max_block);
  t.enc = run_both_paths(input, enc);
  EXPECT_EQ(t.enc.final_yield, CODEC_DONE) << t.enc.message;

  CodecRun dec;
  dec.mode = CODEC_MODE_DECODE;
  dec.in = BlockSizes::ragged(seed + 2, 1, max_block);
  dec.out = BlockSizes::ragged(seed + 3, 1, max_block);
  t.dec = run_both_paths(t.enc.output, dec);
  EXPECT_EQ(t.dec.final_yield, CODEC_DONE) << t.dec.message;

  EXPECT_TRUE(same_bytes(input, t.dec.output)) << "decode(encode(x)) != x";
  EXPECT_EQ(t.enc.sum, static_cast<int64_t>(input.size()));
  EXPECT_EQ(t.dec.sum, t.enc.sum);
  EXPECT_EQ(t.dec.chunks, t.enc.chunks);
  return t;
}

// Random bytes with two zero runs and, near the end (so that every distance
// fits), stretches copied from the given distances back; a distance shorter
// than the stretch makes a periodic run.
Bytes with_repeats(uint64_t seed, size_t n, const std::vector<size_t>& distances, size_t stretch) {
  Bytes b = seeded_bytes(seed, n);
  std::fill(b.begin() + n / 8, b.begin() + n / 8 + 200000, 0);
  std::fill(b.begin() + n / 2, b.begin() + n / 2 + 70000, 0);
  const size_t gap = 5000;
  size_t p = n - distances.size() * (stretch + gap);
  for (size_t d : distances) {
    for (size_t k = 0; k < stretch; ++k) b[p + k] = b[p + k - d];
    p += stretch + gap;
  }
  return b;
}

// ---------------------------------------------------------------------------
// Generated inputs and settings
// ---------------------------------------------------------------------------

TEST(RoundTrip, TinyInputs) {
  const std::vector<Bytes> fixed = {
      {0xEF}, {0xEF, 0x4D}, {0xEF, 0x4D, 0xB6}, {0xEF, 0x4D, 0xB6, 0x00},
      {0xEF, 0x4D, 0xB6, 0x01}, {0xEF, 0x4D, 0xB6, 0x02}, {0xEF, 0x4D, 0xB6, 0x03},
  };
  std::vector<Bytes> inputs = fixed;
  for (size_t n : {0, 1, 2, 3, 4, 5, 63, 64, 65, 127, 128}) inputs.push_back(seeded_bytes(n + 11, n));

  for (int32_t cl : {1, 100}) {
    Settings s;
    s.chunklen = cl;
    for (const Bytes& in : inputs) {
      SCOPED_TRACE(describe(s) + ", input of " + std::to_string(in.size()) + " bytes");
      const Trip t = round_trip(in, s, in.size() * 7 + cl, 3);
      // Nothing repeats, so the stream is the input, behind ESC_LITERAL where
      // its first chunk would read as an escape record.
      const Bytes esc = escape_like(in.data(), in.size()) ? Bytes{0xEF, 0x4D, 0xB6, 0x01} : Bytes{};
      EXPECT_TRUE(same_bytes(concat({header_for(s), esc, in}), t.enc.output));
    }
  }
}

TEST(RoundTrip, RandomInputIsHeaderPlusInput) {
  const Bytes in = seeded_bytes(5, 300000);
  const Trip t = round_trip(in, Settings{}, 5, 70000);
  // Default parameters: the header is 64 00 00 04.
  EXPECT_TRUE(same_bytes(concat({{0x64, 0x00, 0x00, 0x04}, in}), t.enc.output));
}

TEST(RoundTrip, OneByteBlocks) {
  // One-byte blocks on both sides: every chunk, record and distance is
  // split across blocks, and every output byte fills a block.
  Bytes in = seeded_bytes(6, 20000);
  std::copy(in.begin(), in.begin() + 6000, in.begin() + 9000);
  Settings s;
  s.chunklen = 2;
  round_trip(in, s, 6, 1);
}

TEST(RoundTrip, RepeatsAcrossSettings) {
  // Repeat distances around chunk lengths, the cap and a 1 MiB window (a
  // source less than a chunk short of the window overlaps, in the window,
  // the place its copy goes).
  const std::vector<size_t> distances = {1,      2,      63,      64,      65,      1000,    4096,    65535,   65536,
                                         100000, 500000, 1048000, 1048476, 1048556, 1048576, 1048577, 1200000};
  const Bytes in = with_repeats(7, 1536 * 1024, distances, 3000);
  const std::vector<Settings> settings = {
      {100, 256, 1024}, {1, 16, 1024}, {2, 16, 1}, {100, 16, 1}, {100, 1, 1}, {65535, 16, 1024}, {100, 16, 4096},
  };
  uint64_t seed = 70;
  for (const Settings& s : settings) {
    SCOPED_TRACE(describe(s));
    const Trip t = round_trip(in, s, seed++, 40000);
    if ((static_cast<uint32_t>(s.decmem) << 20) == 0) {
      // No window: nothing is a duplicate, so nothing is shortened.
      EXPECT_TRUE(same_bytes(concat({header_for(s), in}), t.enc.output));
    } else {
      // The zero runs and the copies are found.
      EXPECT_LT(t.enc.output.size(), in.size());
    }
  }
}

TEST(RoundTrip, EscapeLikeChunkStartsWithShortChunks) {
  // cfg_chunklen 1 ends every chunk at 64 bytes, so chunk k starts at 64 k.
  const uint8_t codes[] = {0x00, 0x01, 0x02, 0x03, 0xFF};
  const size_t chunks = 300;
  Bytes body = seeded_bytes(8, chunks * 64);
  for (size_t k = 0; k < chunks; ++k) {
    uint8_t* p = body.data() + 64 * k;
    p[0] = 0xEF, p[1] = 0x4D, p[2] = 0xB6, p[3] = codes[k % 5];
  }
  // Chunks 250..259 repeat chunks 0..9: references, not escaped literals.
  std::copy(body.begin(), body.begin() + 640, body.begin() + 250 * 64);

  const std::vector<Bytes> tails = {
      {}, {0xEF}, {0xEF, 0x4D}, {0xEF, 0x4D, 0xB6}, {0xEF, 0x4D, 0xB6, 0x00}, {0xEF, 0x4D, 0xB6, 0x01},
      {0xEF, 0x4D, 0xB6, 0x02}, {0xEF, 0x4D, 0xB6, 0x03}, {0xEF, 0x4D, 0xB6, 0x00, 1, 2, 3, 4, 5, 6},
  };
  Settings s;
  s.chunklen = 1;
  uint64_t seed = 80;
  for (const Bytes& tail : tails) {
    SCOPED_TRACE("final chunk of " + std::to_string(tail.size()) + " bytes");
    const Bytes in = concat({body, tail});
    const Trip t = round_trip(in, s, seed++, 500);
    ASSERT_EQ(t.enc.chunks, static_cast<int64_t>(chunks + 1)) << "the input is not cut into 64-byte chunks";

    size_t escaped = 0;
    for (size_t k = 0; k < chunks; ++k)
      if ((k < 250 || k >= 260) && codes[k % 5] <= 0x02) ++escaped;
    if (escape_like(tail.data(), tail.size())) ++escaped;
    // Ten repeated chunks become one ESC_COPY and nine ESC_CONTINUE.
    const size_t expected = 4 + in.size() + 4 * escaped - 640 + 8 + 9 * 4;
    EXPECT_EQ(t.enc.output.size(), expected);
  }
}

TEST(RoundTrip, EscapeLikeChunkStartsWithContentDefinedChunks) {
  for (int32_t cl : {2, 100}) {
    Settings s;
    s.chunklen = cl;
    SCOPED_TRACE(describe(s));
    Bytes in = seeded_bytes(90 + cl, 200000);
    const std::vector<size_t> starts = chunk_starts(in, static_cast<uint32_t>(cl));
    // A chunk's boundary depends on its bytes from the 49th on, so
    // rewriting its first four moves no boundary.
    const uint8_t codes[] = {0x00, 0x01, 0x02, 0x03, 0xFF};
    size_t escaped = 0;
    for (size_t k = 0; k < starts.size(); ++k) {
      if (in.size() - starts[k] < 4) continue;
      uint8_t* p = in.data() + starts[k];
      p[0] = 0xEF, p[1] = 0x4D, p[2] = 0xB6, p[3] = codes[k % 5];
      if (codes[k % 5] <= 0x02) ++escaped;
    }
    ASSERT_EQ(chunk_starts(in, static_cast<uint32_t>(cl)), starts);
    const Trip t = round_trip(in, s, 90 + cl, 3000);
    EXPECT_EQ(t.enc.chunks, static_cast<int64_t>(starts.size()));
    EXPECT_EQ(t.enc.output.size(), 4 + in.size() + 4 * escaped);
  }
}

TEST(RoundTrip, InputEndingAtABoundary) {
  Bytes in = seeded_bytes(9, 100000);
  const std::vector<size_t> starts = chunk_starts(in, 100);
  ASSERT_GE(starts.size(), 4u);
  // Whole chunks only, then a repeat of the second chunk: the stream ends in
  // a reference and the input right after a boundary.
  const size_t whole = starts[starts.size() - 2];
  in.resize(whole);
  in.insert(in.end(), in.begin() + static_cast<std::ptrdiff_t>(starts[1]),
            in.begin() + static_cast<std::ptrdiff_t>(starts[2]));
  const Trip t = round_trip(in, Settings{}, 9, 5000);
  // The empty final chunk is counted on both sides.
  EXPECT_EQ(t.enc.chunks, static_cast<int64_t>(starts.size() - 2 + 1 + 1));
  EXPECT_EQ(t.enc.output.size(), 4 + whole + 8);
}

// ---------------------------------------------------------------------------
// References: exact records
// ---------------------------------------------------------------------------

TEST(RoundTrip, RepeatedRunBecomesOneCopyAndContinuations) {
  Settings s;
  s.chunklen = 1;
  Bytes run = seeded_bytes(10, 640);
  const Bytes in = concat({run, run});
  const Trip t = round_trip(in, s, 10, 100);
  ASSERT_EQ(t.enc.chunks, 21);
  Bytes want = concat({header_for(s), run, {0xEF, 0x4D, 0xB6, 0x00, 0x80, 0x02, 0x00, 0x00}});  // D = 640
  for (int i = 0; i < 9; ++i) want.insert(want.end(), {0xEF, 0x4D, 0xB6, 0x02});
  EXPECT_TRUE(same_bytes(want, t.enc.output));
}

TEST(RoundTrip, DuplicateOnlyWithinTheWindowOfItsNewestCopy) {
  // 1 MiB window W, 64-byte chunks.  A run R of ten chunks stands at 0, again
  // at W + 6400 (farther back than the window reaches: written again) and
  // again 3200 bytes later.  The index names a chunk's newest copy, so the
  // third R copies the second, though its first copy is still live in the
  // index: one ESC_COPY and nine ESC_CONTINUE.  A hit at distance W exactly
  // is written again too.
  Settings s;
  s.chunklen = 1;
  s.decmem = 1;
  const size_t w = size_t{1} << 20, run = 640;
  const size_t second = w + 6400, third = second + 3200, lone = third + 3200;
  Bytes in = seeded_bytes(11, lone + w + 3 * 64);
  std::copy(in.begin(), in.begin() + run, in.begin() + second);
  std::copy(in.begin(), in.begin() + run, in.begin() + third);
  // Chunk Y at `lone` comes back exactly W later: no reference.
  std::copy(in.begin() + lone, in.begin() + lone + 64, in.begin() + lone + w);
  const Trip t = round_trip(in, s, 11, 70000);
  ASSERT_EQ(t.enc.chunks, static_cast<int64_t>(in.size() / 64 + 1));
  EXPECT_EQ(t.enc.output.size(), 4 + in.size() - run + 8 + 9 * 4);
}

TEST(RoundTrip, RunOfOneChunkManyWindowsLong) {
  // 12 MiB of zeros through a 1 MiB window: one chunk over and over.  It is
  // written once; each repeat copies the one just before it, so after the
  // first ESC_COPY every chunk is an ESC_CONTINUE, whatever the distance to
  // the first copy.
  Settings s;
  s.decmem = 1;
  const Bytes in(12 << 20, 0);
  const std::vector<size_t> starts = chunk_starts(in, 100);
  const size_t chunks = starts.size(), first = starts[1], last = in.size() - starts.back();
  ASSERT_GE(chunks, 100u);
  const Trip t = round_trip(in, s, 14, 1 << 20);
  // The final chunk is shorter than the rest: written out, unless empty (a repeat).
  const size_t tail = last == 0 ? 4 : last;
  EXPECT_EQ(t.enc.output.size(), 4 + first + 8 + 4 * (chunks - 3) + tail);
  EXPECT_LT(t.enc.output.size() * 50, in.size());
}

TEST(RoundTrip, WindowAbove2GiB) {
  // decmem 4095: references more than 1 MiB into the output, where a 32-bit
  // window index would wrap.
  Settings s;
  s.decmem = 4095;
  const size_t n = 9 << 20, stretch = 64 << 10;
  Bytes in = seeded_bytes(12, n);
  size_t p = 8 << 20;
  for (size_t d : {size_t{64} << 10, size_t{1} << 20, size_t{3} << 20, size_t{7} << 20}) {
    std::copy(in.begin() + static_cast<std::ptrdiff_t>(p - d), in.begin() + static_cast<std::ptrdiff_t>(p - d + stretch),
              in.begin() + static_cast<std::ptrdiff_t>(p));
    p += stretch + 4096;
  }
  const Trip t = round_trip(in, s, 12, 200000);
  EXPECT_EQ(Bytes(t.enc.output.begin(), t.enc.output.begin() + 4), header_for(s));
  // Most of the four copies went out as references.
  EXPECT_LT(t.enc.output.size(), in.size() - 200000);
}

TEST(RoundTrip, IndexRebasesChangeNoDecision) {
  // A rebase rewrites every live entry's offset and expires those a window
  // back; it must leave every decision as it was.  Repeats lie just within,
  // at and just beyond the 1 MiB window; a 1 MiB index (52428 slots) is
  // tight for 6 MiB of chunks, so expired entries are victims too.  A span
  // of W + d rebases every d bytes.
  const size_t w = size_t{1} << 20;
  const Bytes in = with_repeats(21, 6 << 20, {4096, w - 5000, w - 64, w, w + 64, 3 * w / 2}, 20000);
  CodecRun run;
  run.params = {100, 1, 1};
  const CodecResult plain = run_codec(in, run);
  ASSERT_EQ(plain.final_yield, CODEC_DONE);
  EXPECT_LT(plain.output.size(), in.size() - 3 * 20000);  // the nearer copies became references
  CodecRun dec;
  dec.mode = CODEC_MODE_DECODE;
  EXPECT_TRUE(same_bytes(in, run_codec(plain.output, dec).output));
  for (const uint64_t span : {w + 16384, 2 * w + 12345}) {
    run.rebase_span = span;
    EXPECT_TRUE(same_output(plain, run_codec(in, run))) << "rebase every " << span - w << " bytes";
  }
}

TEST(RoundTrip, RepeatedMegabyteShrinks) {
  const Bytes block = seeded_bytes(13, 1 << 20);
  Bytes in;
  for (int i = 0; i < 8; ++i) in.insert(in.end(), block.begin(), block.end());
  const Trip t = round_trip(in, Settings{}, 13, 65536);
  EXPECT_LT(t.enc.output.size(), 1258291u);  // 1.2 MiB
}

}  // namespace
}  // namespace cdedup::test
