// Checked frames through the codec: round trips on every path, and the
// promise that nothing cut, damaged, joined with foreign bytes or bare (when
// a frame is required) decodes as success.  Properties are checked over many
// inputs, cuts and flips rather than one case each.
#include <gtest/gtest.h>

#include <cdedup/cdedup.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dedup/frame_format.h"
#include "support/codec_driver.h"

namespace cdedup {
namespace {

using test::Bytes;
using test::BlockSizes;
using test::CodecResult;
using test::CodecRun;
using test::run_both_paths;
using test::run_codec;
using test::seeded_bytes;

// Random stretches and copies of them, some far back: references of both kinds.
Bytes with_repeats(uint64_t seed, size_t n) {
  const Bytes base = seeded_bytes(seed, std::max<size_t>(n / 3, 1));
  Bytes out = base;
  uint64_t x = seed;
  while (out.size() < n) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    const size_t from = (x >> 20) % base.size();
    const size_t len = std::min<size_t>(base.size() - from, 200 + (x >> 44) % 4000);
    out.insert(out.end(), base.begin() + from, base.begin() + from + len);
    if ((x >> 60) == 0) {
      const Bytes fresh = seeded_bytes(x, 300);
      out.insert(out.end(), fresh.begin(), fresh.end());
    }
  }
  out.resize(n);
  return out;
}

CodecRun encoder(uint32_t block, uint64_t seed = 1, int32_t window = 1) {
  CodecRun r;
  r.mode = CODEC_MODE_ENCODE;
  r.params = {100, 16, window};
  r.checked = true;
  r.frame_block = block;
  r.in = BlockSizes::ragged(seed, 1, 9000);
  r.out = BlockSizes::ragged(seed + 1, 1, 7000);
  return r;
}

CodecRun decoder(uint64_t seed = 3) {
  CodecRun r;
  r.mode = CODEC_MODE_DECODE;
  r.in = BlockSizes::ragged(seed, 1, 9000);
  r.out = BlockSizes::ragged(seed + 1, 1, 7000);
  return r;
}

Bytes encode(const Bytes& plain, const CodecRun& run) {
  const CodecResult r = run_codec(plain, run);
  EXPECT_EQ(r.final_yield, CODEC_DONE) << r.message;
  return r.output;
}

Bytes concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// The bare stream a frame wraps: its settings, then its payloads in order.
Bytes unwrap(const Bytes& frame) {
  FrameScanner s;
  frame_scan_start(s);
  Bytes bare;
  size_t at = 0;
  for (;;) {
    size_t taken = 0;
    const FrameEvent e = frame_scan(s, frame.data() + at, frame.size() - at, taken);
    if (e == FrameEvent::Header) bare.insert(bare.end(), s.header.settings, s.header.settings + 4);
    if (e == FrameEvent::Payload) bare.insert(bare.end(), frame.begin() + at, frame.begin() + at + taken);
    at += taken;
    if (e == FrameEvent::Trailer || e == FrameEvent::Error || e == FrameEvent::More) break;
  }
  EXPECT_EQ(at, frame.size());
  return bare;
}

// ---------------------------------------------------------------------------
// Round trips
// ---------------------------------------------------------------------------

TEST(Frame, RoundTripsOnEveryPathAndWrapsTheBareStreamByteForByte) {
  const Bytes inputs[] = {{}, seeded_bytes(4, 3), seeded_bytes(5, 70000), with_repeats(6, 150000),
                          Bytes(200000, 0x00)};
  const uint32_t blocks[] = {0, 1, 777, 65536};
  uint64_t seed = 10;
  for (const Bytes& plain : inputs) {
    for (const uint32_t block : blocks) {
      SCOPED_TRACE(testing::Message() << plain.size() << " bytes, blocks of " << block);
      // Reference, fast and parallel encoders (run_both_paths) agree.
      const CodecResult enc = run_both_paths(plain, encoder(block, ++seed));
      ASSERT_EQ(enc.final_yield, CODEC_DONE) << enc.message;
      ASSERT_GE(enc.output.size(), FRAME_MAGIC_BYTES);
      EXPECT_TRUE(std::equal(FRAME_MAGIC, FRAME_MAGIC + FRAME_MAGIC_BYTES, enc.output.begin()));
      // Whatever the caller's buffers, the same frame.
      CodecRun whole = encoder(block);
      whole.in = BlockSizes::fixed(plain.size() + 1);
      whole.out = BlockSizes::fixed(1 << 20);
      EXPECT_EQ(encode(plain, whole), enc.output);
      // The frame is a wrapper: inside it lies the bare stream.
      CodecRun bare = whole;
      bare.checked = false;
      EXPECT_EQ(unwrap(enc.output), encode(plain, bare));

      CodecRun dec = decoder(++seed);
      const CodecResult out = run_both_paths(enc.output, dec);
      EXPECT_EQ(out.final_yield, CODEC_DONE) << out.message;
      EXPECT_EQ(out.output, plain);
      dec.checked = true;  // required, and there
      dec.input_space = true;
      EXPECT_EQ(run_codec(enc.output, dec).output, plain);
    }
  }
}

TEST(Frame, DecodesWithTheWindowInTheOutputFileAndFramesJoined) {
  // Repeats further back than the bytes a file window keeps in memory, so
  // each frame reads its window back from where its own output went.
  const Bytes a = with_repeats(20, 3 << 20), b = with_repeats(21, 2 << 20);
  const Bytes fa = encode(a, encoder(0, 1, 2)), fb = encode(b, encoder(0, 2, 4));
  CodecRun dec = decoder(5);
  dec.output_file = true;
  dec.file_offset = 4096;
  dec.file_lag = 2;
  dec.out = BlockSizes::ragged(6, 1000, 65536);
  const CodecResult r = run_codec(concat(fa, fb), dec);
  EXPECT_EQ(r.final_yield, CODEC_DONE) << r.message;
  EXPECT_TRUE(r.window_in_file);
  EXPECT_EQ(r.output, concat(a, b));
  EXPECT_EQ(r.file, concat(a, b));
}

TEST(Frame, JoinedFramesDecodeToTheirContentsInTurnAndCountTogether) {
  const Bytes parts[] = {with_repeats(30, 50000), {}, seeded_bytes(31, 1000), with_repeats(32, 90000)};
  Bytes joined, plain;
  int32_t window = 0;
  for (const Bytes& p : parts) {
    joined = concat(joined, encode(p, encoder(4096, 7, window++ % 3)));
    plain = concat(plain, p);
  }
  for (const bool caller_hash : {false, true}) {
    CodecRun dec = decoder(8);
    dec.caller_hash = caller_hash;
    const CodecResult r = run_both_paths(joined, dec);
    EXPECT_EQ(r.final_yield, CODEC_DONE) << r.message;
    EXPECT_EQ(r.output, plain);
    EXPECT_EQ(r.sum, static_cast<int64_t>(plain.size()));
    EXPECT_EQ(r.frame_ends, caller_hash ? 4u : 0u);
    EXPECT_EQ(r.frames_matching, r.frame_ends);
  }
}

// ---------------------------------------------------------------------------
// Nothing damaged decodes as success
// ---------------------------------------------------------------------------

// What a damaged frame may do: fail, or give back exactly what was encoded.
void expect_refused_or_exact(const Bytes& input, const Bytes& plain, const CodecRun& dec, const char* what, size_t at) {
  const CodecResult r = run_codec(input, dec);
  if (r.final_yield == CODEC_DONE) {
    EXPECT_EQ(r.output, plain) << what << " at " << at << ": DONE with other bytes";
  } else {
    EXPECT_EQ(r.final_yield, CODEC_ERROR) << what << " at " << at;
    EXPECT_FALSE(r.message.empty());
    EXPECT_TRUE(r.failure == CODEC_FAIL_STREAM || (at < FRAME_MAGIC_BYTES && r.failure == CODEC_FAIL_NOT_CHECKED))
        << what << " at " << at << ": " << r.message;
  }
  EXPECT_FALSE(r.runaway);
}

TEST(Frame, EveryCutOfASmallFrameIsRefused) {
  const Bytes plain = with_repeats(40, 6000);
  for (const bool checks : {true, false}) {
    CodecRun enc = encoder(700);
    enc.frame_without_checks = !checks;
    const Bytes framed = encode(plain, enc);
    for (size_t cut = 0; cut < framed.size(); ++cut) {
      const Bytes part(framed.begin(), framed.begin() + cut);
      CodecRun dec = decoder(cut);
      dec.reference_path = cut % 3 == 0;
      const CodecResult r = run_codec(part, dec);
      ASSERT_EQ(r.final_yield, CODEC_ERROR) << "cut at " << cut << " of " << framed.size();
      // What was decoded before the cut is handed back, and is the input's start.
      EXPECT_TRUE(std::equal(r.output.begin(), r.output.end(), plain.begin())) << "cut at " << cut;
    }
  }
}

TEST(Frame, CutsOfALargerFrameAreRefused) {
  const Bytes plain = with_repeats(41, 1 << 20);
  const Bytes framed = encode(plain, encoder(0));
  uint64_t x = 5;
  for (int i = 0; i < 60; ++i) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    const size_t cut = (x >> 16) % framed.size();
    const CodecResult r = run_codec(Bytes(framed.begin(), framed.begin() + cut), decoder(x));
    EXPECT_EQ(r.final_yield, CODEC_ERROR) << "cut at " << cut;
    EXPECT_NE(r.message.find("cut short"), std::string::npos) << r.message;
  }
}

TEST(Frame, AFlippedByteAnywhereIsRefusedOrChangesNothing) {
  const Bytes plain = with_repeats(42, 5000);
  for (const bool checks : {true, false}) {
    CodecRun enc = encoder(900);
    enc.frame_without_checks = !checks;
    const Bytes framed = encode(plain, enc);
    for (size_t at = 0; at < framed.size(); ++at) {
      Bytes bad = framed;
      bad[at] ^= static_cast<uint8_t>(1u << (at % 8));
      // Required, as a reader that must not take a damaged magic for a bare stream does.
      CodecRun dec = decoder(at);
      dec.reference_path = at % 4 == 0;
      dec.checked = true;
      expect_refused_or_exact(bad, plain, dec, "flip", at);
    }
  }
}

TEST(Frame, WithBlockChecksADamagedBlockNeverReachesTheOutput) {
  const Bytes plain = seeded_bytes(43, 40000);
  const Bytes framed = encode(plain, encoder(4000));
  const Bytes bare = unwrap(framed);
  for (size_t at = 200; at < framed.size() - 40; at += 997) {
    Bytes bad = framed;
    bad[at] ^= 0x10;
    const CodecResult r = run_codec(bad, decoder(at));
    ASSERT_EQ(r.final_yield, CODEC_ERROR);
    // Only whole blocks before the damaged one were decoded: the output is
    // a prefix of the input and ends before the damaged byte's block.
    EXPECT_TRUE(std::equal(r.output.begin(), r.output.end(), plain.begin()));
    EXPECT_LE(r.output.size(), at);
  }
}

TEST(Frame, BytesAfterTheLastFrameMustBeAnotherFrame) {
  const Bytes plain = with_repeats(44, 20000);
  const Bytes framed = encode(plain, encoder(0));
  const Bytes tails[] = {{0x28, 0xB5, 0x2F, 0xFD}, {0x00}, {0x00, 0x00, 0x43, 0x44, 0x46, 0x89, 0x0D}, Bytes(100, 'x'),
                         Bytes(framed.begin(), framed.begin() + 30)};
  for (const Bytes& tail : tails) {
    const CodecResult r = run_codec(concat(framed, tail), decoder(tail.size()));
    EXPECT_EQ(r.final_yield, CODEC_ERROR);
    EXPECT_EQ(r.failure, CODEC_FAIL_STREAM);
    // The frame itself was sound, and all of it is handed back.
    EXPECT_EQ(r.output, plain);
  }
}

// A frame made by hand from the parts the writer uses, around a bare stream.
Bytes hand_frame(const FrameHeader& h, const Bytes& bare, uint32_t block_len, uint64_t size, uint64_t hash) {
  uint8_t buf[FRAME_HEADER_MAX];
  Bytes out(buf, buf + frame_header_write(h, buf));
  for (size_t at = 4; at < bare.size(); at += block_len) {
    const uint32_t len = static_cast<uint32_t>(std::min<size_t>(block_len, bare.size() - at));
    uint8_t prefix[FRAME_BLOCK_PREFIX_MAX];
    out.insert(out.end(), prefix, prefix + frame_block_prefix_write(h, bare.data() + at, len, prefix));
    out.insert(out.end(), bare.begin() + at, bare.begin() + at + len);
  }
  uint8_t close[FRAME_CLOSE_BYTES];
  frame_close_write(FrameTrailer{size, hash}, close);
  out.insert(out.end(), close, close + FRAME_CLOSE_BYTES);
  return out;
}

TEST(Frame, RefusesWhatItCannotDecodeAndSaysWhat) {
  const Bytes plain = seeded_bytes(45, 3000);
  CodecRun bare_enc = encoder(0);
  bare_enc.checked = false;
  const Bytes bare = encode(plain, bare_enc);
  const Bytes good = encode(plain, encoder(0));
  FrameHeader h;
  std::copy(bare.begin(), bare.begin() + 4, h.settings);
  h.flags = FRAME_FLAG_BLOCK_CHECKS;
  FrameTrailer t;
  {  // The writer's own trailer, read back.
    FrameScanner s;
    size_t taken;
    frame_scan_start(s);
    while (frame_scan(s, good.data() + s.offset, good.size() - s.offset, taken) != FrameEvent::Trailer) {
    }
    t = s.trailer;
  }
  ASSERT_EQ(hand_frame(h, bare, 100000, t.size, t.hash), good);

  struct Case {
    const char* what;
    Bytes input;
    int32_t failure;
    const char* says;
  };
  FrameHeader unknown = h, reference = h, no_checks = h;
  unknown.flags |= 4;
  reference.flags |= FRAME_FLAG_REFERENCE;
  reference.reference_size = 123456789;
  reference.reference_hash = 0x0123456789ABCDEFull;
  no_checks.flags = 0;
  Bytes damaged_header = good;
  damaged_header[11] ^= 0x40;  // settings: the header check catches it
  Bytes oversize = hand_frame(h, bare, 100000, t.size, t.hash);
  const uint32_t over = FRAME_BLOCK_MAX + 1;
  for (int k = 0; k < 4; ++k) oversize[18 + k] = static_cast<uint8_t>(over >> (8 * k));
  const Case cases[] = {
      {"unknown flags", hand_frame(unknown, bare, 1000, t.size, t.hash), CODEC_FAIL_STREAM, "unknown flags 0x0005"},
      {"reference", hand_frame(reference, bare, 1000, t.size, t.hash), CODEC_FAIL_REFERENCE,
       "123456789 bytes with XXH3-64 0123456789abcdef"},
      {"damaged header", damaged_header, CODEC_FAIL_STREAM, "header damaged"},
      {"oversize block", oversize, CODEC_FAIL_STREAM, "block length 1048577 over the limit"},
      {"wrong size", hand_frame(no_checks, bare, 1000, t.size + 1, t.hash), CODEC_FAIL_STREAM, "bytes decoded where"},
      {"wrong checksum", hand_frame(no_checks, bare, 1000, t.size, t.hash ^ 1), CODEC_FAIL_STREAM,
       "checksum mismatch"},
  };
  for (const Case& k : cases) {
    for (const bool reference_path : {false, true}) {
      CodecRun dec = decoder(9);
      dec.reference_path = reference_path;
      const CodecResult r = run_codec(k.input, dec);
      EXPECT_EQ(r.final_yield, CODEC_ERROR) << k.what;
      EXPECT_EQ(r.failure, k.failure) << k.what;
      EXPECT_NE(r.message.find(k.says), std::string::npos) << k.what << ": " << r.message;
    }
  }
  // A caller that hashes for itself hears of the wrong checksum at the frame's end.
  CodecRun dec = decoder(9);
  dec.caller_hash = true;
  const CodecResult r = run_codec(hand_frame(no_checks, bare, 1000, t.size, t.hash ^ 1), dec);
  EXPECT_EQ(r.final_yield, CODEC_DONE);
  EXPECT_EQ(r.frame_ends, 1u);
  EXPECT_EQ(r.frames_matching, 0u);
}

// ---------------------------------------------------------------------------
// Bare streams and settings
// ---------------------------------------------------------------------------

TEST(Frame, ABareStreamDecodesAsBeforeUnlessAFrameIsRequired) {
  const Bytes plain = with_repeats(50, 30000);
  CodecRun enc = encoder(0);
  enc.checked = false;
  for (const int32_t chunklen : {100, 256, 512}) {  // 256 and 512 begin with the magic's first byte
    enc.params[0] = chunklen;
    const Bytes bare = encode(plain, enc);
    ASSERT_FALSE(std::equal(FRAME_MAGIC, FRAME_MAGIC + 4, bare.begin()));
    for (const size_t in : {size_t{1}, size_t{2}, size_t{5000}}) {
      CodecRun dec = decoder();
      dec.in = BlockSizes::fixed(in);
      const CodecResult r = run_both_paths(bare, dec);
      EXPECT_EQ(r.final_yield, CODEC_DONE) << r.message;
      EXPECT_EQ(r.output, plain);
      dec.checked = true;
      const CodecResult refused = run_codec(bare, dec);
      EXPECT_EQ(refused.final_yield, CODEC_ERROR);
      EXPECT_EQ(refused.failure, CODEC_FAIL_NOT_CHECKED);
      EXPECT_TRUE(refused.output.empty());
      EXPECT_NE(refused.message.find("not a checked stream"), std::string::npos) << refused.message;
    }
  }
  // Short and foreign inputs alike, required or not, never succeed.
  for (const Bytes& foreign : {Bytes{}, Bytes{0x00}, Bytes{0x00, 0x00, 0x43}, Bytes(FRAME_MAGIC, FRAME_MAGIC + 8)}) {
    CodecRun dec = decoder();
    EXPECT_EQ(run_both_paths(foreign, dec).final_yield, CODEC_ERROR);
    dec.checked = true;
    EXPECT_EQ(run_codec(foreign, dec).final_yield, CODEC_ERROR);
  }
}

// A stream refused before its body starts counts nothing, whatever the
// instance decoded before (found by decode_fuzz: the statistics line of a
// refused stream showed the last stream's count).
TEST(Frame, AStreamRefusedBeforeItsBodyCountsNothing) {
  const Bytes plain = seeded_bytes(60, 5000);
  CodecRun bare_enc = encoder(0);
  bare_enc.checked = false;
  const Bytes bare = encode(plain, bare_enc), framed = encode(plain, encoder(0));
  Bytes damaged = framed;
  damaged[12] ^= 1;
  char* text = nullptr;
  size_t len = 0;
  FILE* report = open_memstream(&text, &len);
  Codec* c = codec_create();
  codec_set_report(c, report);
  const int32_t params[3] = {0, 0, 0};
  ASSERT_EQ(codec_init(c, CODEC_MODE_DECODE, params), 0);
  auto decode = [&](const Bytes& in, bool checked) {
    EXPECT_EQ(codec_set_checked(c, checked ? 1 : 0), 0);
    std::vector<uint8_t> out(1 << 16);
    codec_setbuf(c, out.data(), static_cast<int32_t>(out.size()));
    bool given = false;
    int32_t y;
    while ((y = codec_run(c)) == CODEC_NEED_INPUT || y == CODEC_OUTPUT_FULL) {
      if (y == CODEC_OUTPUT_FULL) {
        codec_setbuf(c, out.data(), static_cast<int32_t>(out.size()));
      } else {
        codec_setbuf(c, given ? nullptr : const_cast<uint8_t*>(in.data()), given ? 0 : static_cast<int32_t>(in.size()));
        given = true;
      }
    }
    std::fflush(report);
    const size_t from = len;
    codec_finish(c);
    std::fflush(report);
    return std::string(text + from, len - from);
  };
  const std::string counted = decode(framed, false);
  EXPECT_EQ(counted.substr(0, 9), "sum=5000 ");
  EXPECT_EQ(decode(bare, false), counted);
  EXPECT_EQ(decode(bare, true).substr(0, 6), "sum=0 ");
  decode(framed, false);
  EXPECT_EQ(decode(damaged, false).substr(0, 6), "sum=0 ");
  codec_destroy(c);
  std::fclose(report);
  std::free(text);
}

TEST(Frame, ModeUCannotWriteAFrameAndSettingsWaitForTheStream) {
  CodecRun unique = encoder(0);
  unique.mode = CODEC_MODE_UNIQUE;
  const CodecResult r = run_codec(seeded_bytes(1, 100), unique);
  EXPECT_EQ(r.init_status, CODEC_INIT_REFUSED);
  EXPECT_NE(r.message.find("mode u"), std::string::npos);

  Codec* c = codec_create();
  codec_set_report(c, nullptr);
  const int32_t params[3] = {100, 1, 1};
  ASSERT_EQ(codec_init(c, CODEC_MODE_UNIQUE, params), 0);
  EXPECT_EQ(codec_set_checked(c, 1), CODEC_INIT_REFUSED);
  ASSERT_EQ(codec_init(c, CODEC_MODE_ENCODE, params), 0);
  EXPECT_EQ(codec_set_checked(c, 1), 0);
  uint8_t out[64];
  codec_setbuf(c, out, sizeof out);
  ASSERT_EQ(codec_run(c), CODEC_NEED_INPUT);
  EXPECT_EQ(codec_set_checked(c, 0), CODEC_INIT_REFUSED);
  EXPECT_EQ(codec_set_caller_hash(c, 1), CODEC_INIT_REFUSED);
  EXPECT_EQ(codec_failure(c), CODEC_FAIL_NONE);
  codec_destroy(c);
}

}  // namespace
}  // namespace cdedup
