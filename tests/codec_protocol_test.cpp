// The caller's side of the codec: the yield protocol of codec_run and
// codec_setbuf, the frame arena the body lives in, the instance block, and the
// lines codec_init and codec_finish print.  Everything is driven in-process
// through the entry points; Codec fields are read only where the protocol is
// stated in terms of them (in_eof, the arena, the statistics).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "codec/codec.h"
#include "codec/coroutine.h"
#include "support/address_space.h"
#include "support/process.h"

namespace cdedup {
namespace {

using test::Bytes;
using test::random_bytes;
using Params = std::array<int32_t, 3>;

constexpr Params DEFAULT_PARAMS = {100, 256, 1024};
// Small tables keep the many runs below cheap; the protocol does not depend on them.
constexpr Params SMALL_PARAMS = {100, 16, 64};

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

struct CodecCloser {
  void operator()(Codec* c) const {
    codec_set_report(c, nullptr);
    codec_finish(c);  // gives back the large block if a test left it
    codec_destroy(c);
  }
};
using CodecPtr = std::unique_ptr<Codec, CodecCloser>;

CodecPtr new_codec(int32_t mode, const Params& params = SMALL_PARAMS, FILE* report = nullptr) {
  CodecPtr c(codec_create());
  if (!c) {
    ADD_FAILURE() << "codec_create failed";
    return c;
  }
  codec_set_report(c.get(), report);
  const int32_t rc = codec_init(c.get(), mode, params.data());
  EXPECT_EQ(rc, 0) << codec_message(c.get());
  return c;
}

// A report stream whose text can be read back.
struct Report {
  FILE* f = std::tmpfile();
  ~Report() {
    if (f != nullptr) std::fclose(f);
  }
  std::string text() const {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
  }
};

struct Pumped {
  Bytes out;
  std::vector<int32_t> codes;  // every yield code, in order
  int32_t last = -1;           // the code that ended the stream
  int32_t last_outsize = -1;   // codec_outsize with that code
  size_t count(int32_t code) const { return size_t(std::count(codes.begin(), codes.end(), code)); }
};

// Drives one stream to its end the way a front end does: input in blocks of
// in_block bytes handed over in place, output through one out_len-byte buffer.
// Checks on the way that every CODEC_OUTPUT_FULL comes with a full buffer and
// that a freshly handed output buffer is empty.
Pumped pump(Codec* c, const Bytes& in, size_t in_block, size_t out_len) {
  Pumped p;
  std::vector<uint8_t> obuf(out_len);
  static uint8_t no_bytes[1];
  codec_setbuf(c, obuf.data(), int32_t(out_len));
  EXPECT_EQ(codec_outsize(c), 0);
  size_t pos = 0, empty_handovers = 0;
  for (;;) {
    const int32_t y = codec_run(c);
    p.codes.push_back(y);
    if (y == CODEC_NEED_INPUT) {
      const size_t n = std::min(in_block, in.size() - pos);
      codec_setbuf(c, n != 0 ? const_cast<uint8_t*>(in.data() + pos) : no_bytes, int32_t(n));
      pos += n;
      if (n == 0 && ++empty_handovers > 16) {
        ADD_FAILURE() << "the codec keeps asking for input at the end of the stream";
        return p;
      }
      continue;
    }
    const int32_t n = codec_outsize(c);
    if (n < 0 || size_t(n) > out_len || (y == CODEC_OUTPUT_FULL && size_t(n) != out_len)) {
      ADD_FAILURE() << "yield " << y << " with " << n << " of " << out_len << " bytes";
      return p;
    }
    if (p.out.size() > (size_t{64} << 20)) {
      ADD_FAILURE() << "the codec does not stop writing";
      return p;
    }
    p.out.insert(p.out.end(), obuf.begin(), obuf.begin() + n);
    if (y != CODEC_OUTPUT_FULL) {
      p.last = y;
      p.last_outsize = n;
      return p;
    }
    codec_setbuf(c, obuf.data(), int32_t(out_len));
    if (codec_outsize(c) != 0) {
      ADD_FAILURE() << "a fresh output buffer already holds " << codec_outsize(c) << " bytes";
      return p;
    }
  }
}

Bytes concat(std::initializer_list<const Bytes*> parts) {
  Bytes out;
  for (const Bytes* b : parts) out.insert(out.end(), b->begin(), b->end());
  return out;
}

// About 185 KB in which whole stretches come back, so the lossless encoder
// writes references and the decoder copies from its window.
Bytes sample_with_repeats() {
  const Bytes a = random_bytes(40000, 1), b = random_bytes(30000, 2), c = random_bytes(5000, 3);
  return concat({&a, &b, &a, &c, &b, &a, &a});
}

Bytes encode(const Bytes& in, int32_t mode = CODEC_MODE_ENCODE, bool reference = false) {
  CodecPtr c = new_codec(mode);
  codec_set_reference_path(c.get(), reference);
  Pumped p = pump(c.get(), in, 65536, 65536);
  EXPECT_EQ(p.last, CODEC_DONE) << codec_message(c.get());
  return p.out;
}

// ---------------------------------------------------------------------------
// Block sizes and yield counts
// ---------------------------------------------------------------------------

class BlockSizes : public ::testing::TestWithParam<bool> {};  // param: reference path

TEST_P(BlockSizes, EncoderOutputDoesNotDependOnInputBlocks) {
  const Bytes in = sample_with_repeats();
  const Bytes whole = encode(in, CODEC_MODE_ENCODE, GetParam());
  // The sample must make the encoder write references, or this checks little.
  ASSERT_LT(whole.size(), in.size() / 2);
  for (size_t block : {size_t{1}, size_t{7}, size_t{4096}, size_t{65536}}) {
    CodecPtr c = new_codec(CODEC_MODE_ENCODE);
    codec_set_reference_path(c.get(), GetParam());
    const Pumped p = pump(c.get(), in, block, 65536);
    EXPECT_EQ(p.last, CODEC_DONE);
    EXPECT_TRUE(p.out == whole) << "input blocks of " << block << " bytes";
  }
}

TEST_P(BlockSizes, DecoderOutputDoesNotDependOnInputBlocks) {
  const Bytes in = sample_with_repeats();
  const Bytes enc = encode(in);
  for (size_t block : {size_t{1}, size_t{7}, size_t{4096}, size_t{65536}}) {
    CodecPtr c = new_codec(CODEC_MODE_DECODE);
    codec_set_reference_path(c.get(), GetParam());
    const Pumped p = pump(c.get(), enc, block, 65536);
    EXPECT_EQ(p.last, CODEC_DONE) << codec_message(c.get());
    EXPECT_TRUE(p.out == in) << "input blocks of " << block << " bytes";
  }
}

TEST_P(BlockSizes, OutputDoesNotDependOnOutputBufferLength) {
  const Bytes in = sample_with_repeats();
  const Bytes enc = encode(in);
  for (size_t out_len : {size_t{1}, size_t{3}, size_t{4096}}) {
    CodecPtr e = new_codec(CODEC_MODE_ENCODE);
    codec_set_reference_path(e.get(), GetParam());
    const Pumped pe = pump(e.get(), in, 7, out_len);  // pump checks each full buffer
    EXPECT_EQ(pe.last, CODEC_DONE);
    EXPECT_TRUE(pe.out == enc) << "output buffer of " << out_len << " bytes";
    EXPECT_EQ(pe.count(CODEC_OUTPUT_FULL), enc.size() / out_len);

    CodecPtr d = new_codec(CODEC_MODE_DECODE);
    codec_set_reference_path(d.get(), GetParam());
    const Pumped pd = pump(d.get(), enc, 4096, out_len);
    EXPECT_EQ(pd.last, CODEC_DONE);
    EXPECT_TRUE(pd.out == in) << "output buffer of " << out_len << " bytes";
    EXPECT_EQ(pd.count(CODEC_OUTPUT_FULL), in.size() / out_len);
  }
}

TEST_P(BlockSizes, EncoderAsksForInputOncePerBlockAndOnceForTheEnd) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{200000}}) {
    const Bytes in = random_bytes(n, 7);
    CodecPtr c = new_codec(CODEC_MODE_ENCODE);
    codec_set_reference_path(c.get(), GetParam());
    const Pumped p = pump(c.get(), in, 65536, 1 << 20);
    EXPECT_EQ(p.last, CODEC_DONE);
    EXPECT_EQ(p.count(CODEC_NEED_INPUT), (n + 65535) / 65536 + 1) << n << " bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, BlockSizes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Reference" : "Fast"; });

// ---------------------------------------------------------------------------
// Start, end and restart of a stream
// ---------------------------------------------------------------------------

TEST(StreamStart, EncoderWritesTheHeaderThenAsksForInput) {
  CodecPtr c = new_codec(CODEC_MODE_ENCODE, DEFAULT_PARAMS);
  uint8_t out[64] = {};
  codec_setbuf(c.get(), out, sizeof out);
  EXPECT_EQ(codec_run(c.get()), CODEC_NEED_INPUT);
  ASSERT_EQ(codec_outsize(c.get()), 4);
  EXPECT_EQ(out[0], 0x64);  // chunk length parameter 100, low byte first
  EXPECT_EQ(out[1], 0x00);
  EXPECT_EQ(out[2], 0x00);  // window 1024 MiB, low byte first
  EXPECT_EQ(out[3], 0x04);
}

TEST(StreamStart, DecoderAsksForInputWithNothingWritten) {
  CodecPtr c = new_codec(CODEC_MODE_DECODE);
  uint8_t out[64];
  codec_setbuf(c.get(), out, sizeof out);
  EXPECT_EQ(codec_run(c.get()), CODEC_NEED_INPUT);
  EXPECT_EQ(codec_outsize(c.get()), 0);
}

// When the stream's last byte fills the buffer the caller must still see the
// full buffer first and then CODEC_DONE with nothing more, in both modes.
TEST(StreamEnd, LastByteFillingTheBufferGivesFullThenDoneWithNothing) {
  const size_t n = 5000;
  const Bytes in = random_bytes(n, 11);
  const Bytes enc = encode(in);
  // Without repeats the lossless encoder adds only the header.
  ASSERT_EQ(enc.size(), n + 4);

  CodecPtr e = new_codec(CODEC_MODE_ENCODE);
  const Pumped pe = pump(e.get(), in, n, n + 4);
  ASSERT_GE(pe.codes.size(), 2u);
  EXPECT_EQ(pe.codes[pe.codes.size() - 2], CODEC_OUTPUT_FULL);
  EXPECT_EQ(pe.last, CODEC_DONE);
  EXPECT_EQ(pe.last_outsize, 0);
  EXPECT_EQ(pe.count(CODEC_OUTPUT_FULL), 1u);
  EXPECT_TRUE(pe.out == enc);

  CodecPtr d = new_codec(CODEC_MODE_DECODE);
  const Pumped pd = pump(d.get(), enc, enc.size(), n);
  ASSERT_GE(pd.codes.size(), 2u);
  EXPECT_EQ(pd.codes[pd.codes.size() - 2], CODEC_OUTPUT_FULL);
  EXPECT_EQ(pd.last, CODEC_DONE);
  EXPECT_EQ(pd.last_outsize, 0);
  EXPECT_TRUE(pd.out == in);
}

TEST(StreamRestart, RunAfterDoneStartsANewStream) {
  Report rep;
  CodecPtr c = new_codec(CODEC_MODE_ENCODE, SMALL_PARAMS, rep.f);
  const Bytes in = random_bytes(3000, 5);
  const Pumped first = pump(c.get(), in, 1000, 65536);
  ASSERT_EQ(first.last, CODEC_DONE);

  // Not a continuation: a header again, and statistics of the new stream only.
  uint8_t out[64] = {};
  codec_setbuf(c.get(), out, sizeof out);
  EXPECT_EQ(codec_run(c.get()), CODEC_NEED_INPUT);
  ASSERT_EQ(codec_outsize(c.get()), 4);
  EXPECT_EQ(Bytes(out, out + 4), Bytes(first.out.begin(), first.out.begin() + 4));
  uint8_t none[1];
  codec_setbuf(c.get(), none, 0);
  EXPECT_EQ(codec_run(c.get()), CODEC_DONE);
  EXPECT_EQ(codec_outsize(c.get()), 4);
  codec_finish(c.get());
  const std::vector<std::string> lines = test::split_lines(rep.text());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "sum=0 x=1 avglen=0.0");
}

// After codec_reset the chunk index must be empty: chunks of the first stream
// may not become references in the second, whose decoder never saw them.
TEST(StreamRestart, ResetEncoderForgetsTheFirstStream) {
  const Bytes a = random_bytes(40000, 21), b = random_bytes(20000, 22);
  const Bytes second = concat({&b, &a});
  const Bytes expected = encode(second);
  ASSERT_GT(expected.size(), second.size());  // b then a: nothing repeats

  CodecPtr c = new_codec(CODEC_MODE_ENCODE);
  ASSERT_EQ(pump(c.get(), a, 65536, 65536).last, CODEC_DONE);
  codec_reset(c.get());
  const Pumped p = pump(c.get(), second, 4096, 65536);
  EXPECT_EQ(p.last, CODEC_DONE);
  EXPECT_TRUE(p.out == expected);
}

// A lossless body restarted without codec_reset starts its positions at 0
// again, so it must not refer to chunks of the earlier stream either.
TEST(StreamRestart, RestartedEncoderWithoutResetStaysLossless) {
  const Bytes a = random_bytes(40000, 31), b = random_bytes(20000, 32);
  const Bytes second = concat({&b, &a});
  CodecPtr c = new_codec(CODEC_MODE_ENCODE);
  ASSERT_EQ(pump(c.get(), a, 65536, 65536).last, CODEC_DONE);
  const Pumped p = pump(c.get(), second, 4096, 65536);  // codec_run after CODEC_DONE
  ASSERT_EQ(p.last, CODEC_DONE);
  EXPECT_TRUE(p.out == encode(second));
  CodecPtr d = new_codec(CODEC_MODE_DECODE);
  EXPECT_TRUE(pump(d.get(), p.out, 65536, 65536).out == second);
}

TEST(StreamRestart, ResetDecoderDecodesASecondStream) {
  const Bytes in1 = sample_with_repeats(), in2 = random_bytes(70000, 23);
  const Bytes enc1 = encode(in1), enc2 = encode(in2);
  CodecPtr c = new_codec(CODEC_MODE_DECODE);
  ASSERT_TRUE(pump(c.get(), enc1, 65536, 65536).out == in1);
  codec_reset(c.get());
  const Pumped p = pump(c.get(), enc2, 4096, 65536);
  EXPECT_EQ(p.last, CODEC_DONE) << codec_message(c.get());
  EXPECT_TRUE(p.out == in2);
}

// A stream given up midway (its output not wanted any more) leaves input
// unread in a buffer the caller may free at once: after codec_reset the next
// stream must start from its own first byte, in either mode and path.
TEST(StreamRestart, ResetForgetsTheBuffersOfAStreamGivenUp) {
  const Bytes a = random_bytes(20000, 24), b = random_bytes(3000, 25);
  for (const bool reference : {false, true}) {
    for (const int32_t mode : {CODEC_MODE_ENCODE, CODEC_MODE_DECODE}) {
      const bool dec = mode == CODEC_MODE_DECODE;
      const Bytes first = dec ? encode(a) : a, second = dec ? encode(b) : b, expected = dec ? b : encode(b);
      CodecPtr c = new_codec(mode);
      codec_set_reference_path(c.get(), reference);
      uint8_t out[100];
      codec_setbuf(c.get(), out, sizeof out);
      ASSERT_EQ(codec_run(c.get()), CODEC_NEED_INPUT);
      {
        Bytes given_up = first;  // freed below, as a caller may
        codec_setbuf(c.get(), given_up.data(), int32_t(given_up.size()));
        ASSERT_EQ(codec_run(c.get()), CODEC_OUTPUT_FULL);
      }
      codec_reset(c.get());
      const Pumped p = pump(c.get(), second, 4096, 65536);
      EXPECT_EQ(p.last, CODEC_DONE) << codec_message(c.get());
      EXPECT_TRUE(p.out == expected) << "mode " << mode << (reference ? ", reference path" : "");
    }
  }
}

// The ways a used instance starts its next stream, all of which keep a large
// block of the right size: what the last stream left in it must not show.
enum class Restart { Reset, FinishReset, Init, FinishInit };

void restart(Codec* c, Restart how, int32_t mode, const Params& params) {
  if (how == Restart::FinishReset || how == Restart::FinishInit) codec_finish(c);
  if (how == Restart::Reset || how == Restart::FinishReset)
    codec_reset(c);
  else
    ASSERT_EQ(codec_init(c, mode, params.data()), 0);
}

class Reuse : public ::testing::TestWithParam<std::tuple<Restart, bool>> {};  // and the reference path

// Mode u matters most here: the lossless encoder draws a new content-check
// key at codec_init, which alone would hide entries left in the index.  A
// 1 MiB index is kept by codec_init and cleared, a larger one mapped anew.
TEST_P(Reuse, EncoderIndexForgetsTheLastStream) {
  const auto [how, reference] = GetParam();
  const Bytes a = random_bytes(40000, 41), b = random_bytes(20000, 42);
  const Bytes second = concat({&b, &a});
  for (const Params& params : {Params{100, 1, 64}, SMALL_PARAMS}) {
    for (const int32_t mode : {CODEC_MODE_ENCODE, CODEC_MODE_UNIQUE}) {
      CodecPtr c = new_codec(mode, params);
      codec_set_reference_path(c.get(), reference);
      ASSERT_EQ(pump(c.get(), a, 65536, 65536).last, CODEC_DONE);
      restart(c.get(), how, mode, params);
      const Pumped p = pump(c.get(), second, 4096, 65536);
      EXPECT_EQ(p.last, CODEC_DONE);
      // b then a: nothing repeats
      EXPECT_TRUE(p.out == encode(second, mode)) << "mode " << mode << ", index " << params[1] << " MiB";
    }
  }
}

// Copies from slots no stream wrote yet read zeros, whatever an earlier
// stream left there: one from the oldest slot (distance W), where the last
// stream began, then one from the middle of the window, which only a stream
// that wrapped round it wrote.  With chunk-length parameter 100 a run of
// zeros never meets a boundary, so each copy is a full 65535 bytes; a
// chunk-start note left over from the last stream would end the first at
// that stream's first chunk instead.
Bytes copies_from_unwritten_slots(uint32_t window_mib) {
  const uint32_t w = window_mib << 20, d2 = w / 2 + 65535;
  return {100, 0, uint8_t(window_mib), uint8_t(window_mib >> 8),
          0xEF, 0x4D, 0xB6, 0x00, uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24),
          0xEF, 0x4D, 0xB6, 0x00, uint8_t(d2), uint8_t(d2 >> 8), uint8_t(d2 >> 16), uint8_t(d2 >> 24)};
}

TEST_P(Reuse, DecoderWindowForgetsTheLastStream) {
  const auto [how, reference] = GetParam();
  const Bytes zeros(2 * 65535, 0);
  // The last stream: complete, stopped inside a chunk, wrapped round its window.
  struct First {
    Bytes plain;
    Params params;
    size_t out_len;
  };
  const First firsts[] = {{random_bytes(100000, 43), SMALL_PARAMS, 65536},
                          {random_bytes(100000, 44), SMALL_PARAMS, 1000},
                          {random_bytes(1200000, 45), {100, 16, 1}, 65536}};
  for (const First& f : firsts) {
    CodecPtr e = new_codec(CODEC_MODE_ENCODE, f.params);
    const Bytes enc = pump(e.get(), f.plain, 65536, 65536).out;
    CodecPtr c = new_codec(CODEC_MODE_DECODE);
    codec_set_reference_path(c.get(), reference);
    Pumped first;
    if (f.out_len == 65536) {
      first = pump(c.get(), enc, 65536, 65536);
      ASSERT_TRUE(first.out == f.plain);
    } else {
      // Stop at the first full output buffer: a chunk is in the window but not counted.
      uint8_t out[1000];
      codec_setbuf(c.get(), out, sizeof out);
      ASSERT_EQ(codec_run(c.get()), CODEC_NEED_INPUT);
      codec_setbuf(c.get(), const_cast<uint8_t*>(enc.data()), int32_t(enc.size()));
      ASSERT_EQ(codec_run(c.get()), CODEC_OUTPUT_FULL);
    }
    const uint32_t mib = uint32_t(f.params[2]);
    restart(c.get(), how, CODEC_MODE_DECODE, SMALL_PARAMS);
    Pumped p = pump(c.get(), copies_from_unwritten_slots(mib), 4096, 65536);
    EXPECT_EQ(p.last, CODEC_DONE) << codec_message(c.get());
    EXPECT_TRUE(p.out == zeros) << "after a " << mib << " MiB stream of " << f.plain.size() << " bytes";
    // A window of another size next, and then the first size again.
    for (uint32_t next : {mib + 1, mib}) {
      restart(c.get(), how, CODEC_MODE_DECODE, SMALL_PARAMS);
      p = pump(c.get(), copies_from_unwritten_slots(next), 4096, 65536);
      EXPECT_TRUE(p.out == zeros) << "then a " << next << " MiB stream";
    }
  }
}

// A stream refused at its header counts nothing, whatever the last stream
// on the instance counted; and what that stream left in the window is still
// wiped for the stream after (a 1 MiB window it wrapped round).
TEST_P(Reuse, StreamRefusedAtItsHeaderCountsNothingAndKeepsTheWipe) {
  const auto [how, reference] = GetParam();
  const Params one_mib = {100, 16, 1};
  CodecPtr e = new_codec(CODEC_MODE_ENCODE, one_mib);
  const Bytes enc = pump(e.get(), random_bytes(1200000, 46), 65536, 65536).out;
  CodecPtr c = new_codec(CODEC_MODE_DECODE);
  codec_set_reference_path(c.get(), reference);
  ASSERT_EQ(pump(c.get(), enc, 65536, 65536).last, CODEC_DONE);
  restart(c.get(), how, CODEC_MODE_DECODE, SMALL_PARAMS);
  Report report;
  codec_set_report(c.get(), report.f);
  EXPECT_EQ(pump(c.get(), Bytes{0, 0, 1, 0, 1, 2, 3}, 4096, 65536).last, CODEC_ERROR);  // chunk length 0
  codec_finish(c.get());
  EXPECT_EQ(report.text(), "sum=0 x=0 avglen=0.0\n");
  codec_set_report(c.get(), nullptr);
  restart(c.get(), how, CODEC_MODE_DECODE, SMALL_PARAMS);
  const Pumped p = pump(c.get(), copies_from_unwritten_slots(1), 4096, 65536);
  EXPECT_EQ(p.last, CODEC_DONE) << codec_message(c.get());
  EXPECT_TRUE(p.out == Bytes(2 * 65535, 0)) << "the first stream's bytes show through";
}

INSTANTIATE_TEST_SUITE_P(StreamRestart, Reuse,
                         ::testing::Combine(::testing::Values(Restart::Reset, Restart::FinishReset, Restart::Init,
                                                              Restart::FinishInit),
                                            ::testing::Bool()));

// ---------------------------------------------------------------------------
// Byte input at the end of the stream
// ---------------------------------------------------------------------------

// A body that reads `count` bytes with get_byte and records what each gave.
BodyTask read_bytes_body(Codec& c, int count, std::vector<int>& got) {
  for (int i = 0; i < count; ++i) got.push_back(co_await get_byte(c));
}

TEST(ByteInput, EveryReadAtTheEndCostsOneExchangeAndLaterBytesAreStillRead) {
  CodecPtr c = new_codec(CODEC_MODE_DECODE);
  std::vector<int> got;
  BodyTask t = read_bytes_body(*c, 6, got);
  ASSERT_TRUE(t.handle);
  c->body = t.handle;  // codec_destroy takes it down
  t.handle.resume();   // runs to the first read, which finds no buffer
  ASSERT_EQ(c->state, CODEC_NEED_INPUT);
  EXPECT_EQ(c->in_eof, 0);

  uint8_t one[1] = {0xAB}, two[2] = {0x01, 0x02}, none[1];
  codec_setbuf(c.get(), one, 1);
  EXPECT_EQ(codec_run(c.get()), CODEC_NEED_INPUT);
  EXPECT_EQ(got, (std::vector<int>{0xAB}));

  codec_setbuf(c.get(), none, 0);
  EXPECT_EQ(c->in_eof, 1);
  EXPECT_EQ(codec_run(c.get()), CODEC_NEED_INPUT);  // the next read asks again
  EXPECT_EQ(got, (std::vector<int>{0xAB, -1}));

  codec_setbuf(c.get(), none, 0);
  EXPECT_EQ(codec_run(c.get()), CODEC_NEED_INPUT);
  EXPECT_EQ(got, (std::vector<int>{0xAB, -1, -1}));

  // Bytes that come after the end was signalled are still read; the flag stays.
  codec_setbuf(c.get(), two, 2);
  EXPECT_EQ(c->in_eof, 1);
  EXPECT_EQ(codec_run(c.get()), CODEC_NEED_INPUT);
  EXPECT_EQ(got, (std::vector<int>{0xAB, -1, -1, 1, 2}));

  codec_setbuf(c.get(), none, 0);
  EXPECT_EQ(codec_run(c.get()), CODEC_DONE);
  EXPECT_EQ(got, (std::vector<int>{0xAB, -1, -1, 1, 2, -1}));
  EXPECT_EQ(c->in_eof, 1);
  // An output buffer handed over now does not clear it either.
  uint8_t out[8];
  codec_setbuf(c.get(), out, sizeof out);
  EXPECT_EQ(c->in_eof, 1);
  EXPECT_EQ(codec_outsize(c.get()), 0);
}

// The decoder reads its header with get_byte: each missing header byte costs
// one more exchange, and a stream shorter than its header is an error.
TEST(ByteInput, TruncatedHeaderCostsOneExchangePerMissingByte) {
  const uint8_t header[4] = {0x64, 0x00, 0x40, 0x00};
  for (int k = 0; k < 4; ++k) {
    CodecPtr c = new_codec(CODEC_MODE_DECODE);
    uint8_t out[16], none[1], in[4];
    std::memcpy(in, header, sizeof in);
    codec_setbuf(c.get(), out, sizeof out);
    ASSERT_EQ(codec_run(c.get()), CODEC_NEED_INPUT);
    if (k > 0) {
      codec_setbuf(c.get(), in, k);
      ASSERT_EQ(codec_run(c.get()), CODEC_NEED_INPUT);
    }
    int empty_handovers = 0;
    int32_t y = CODEC_NEED_INPUT;
    while (y == CODEC_NEED_INPUT && empty_handovers < 10) {
      codec_setbuf(c.get(), none, 0);
      ++empty_handovers;
      y = codec_run(c.get());
    }
    EXPECT_EQ(empty_handovers, 4 - k) << k << " header bytes";
    EXPECT_EQ(y, CODEC_ERROR);
    EXPECT_STRNE(codec_message(c.get()), "");
    EXPECT_EQ(codec_outsize(c.get()), 0);
    // The body is not resumed after an error.
    EXPECT_EQ(codec_run(c.get()), CODEC_ERROR);
  }
}

// ---------------------------------------------------------------------------
// Frame arena
// ---------------------------------------------------------------------------

TEST(FrameArena, RefusesOversizeAndASecondLiveFrame) {
  CodecPtr c(codec_create());
  ASSERT_TRUE(c);
  EXPECT_EQ(codec_frame_alloc(*c, FRAME_ARENA_BYTES + 1), nullptr);
  EXPECT_FALSE(c->frame_in_use);

  const size_t size = FRAME_ARENA_BYTES / 2;
  void* f = codec_frame_alloc(*c, size);
  ASSERT_NE(f, nullptr);
  // Inside the instance's arena, aligned as operator new would align a frame.
  const auto* p = static_cast<unsigned char*>(f);
  EXPECT_GE(p, c->frame_arena);
  EXPECT_LE(p + size, c->frame_arena + sizeof c->frame_arena);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(f) % __STDCPP_DEFAULT_NEW_ALIGNMENT__, 0u);

  EXPECT_EQ(codec_frame_alloc(*c, 16), nullptr);
  codec_frame_free(f);
  void* again = codec_frame_alloc(*c, 16);
  EXPECT_EQ(again, f);
  codec_frame_free(again);
}

TEST(FrameArena, EachInstanceHasItsOwnArena) {
  CodecPtr c1(codec_create()), c2(codec_create());
  ASSERT_TRUE(c1 && c2);
  void* f1 = codec_frame_alloc(*c1, 64);
  void* f2 = codec_frame_alloc(*c2, 64);
  ASSERT_NE(f1, nullptr);
  ASSERT_NE(f2, nullptr);
  codec_frame_free(f2);  // releases c2's frame only
  EXPECT_EQ(codec_frame_alloc(*c1, 64), nullptr);
  void* g2 = codec_frame_alloc(*c2, 64);
  EXPECT_NE(g2, nullptr);
  codec_frame_free(g2);
  codec_frame_free(f1);
}

// A body whose frame cannot fit: the array lives across the suspension point.
BodyTask oversized_body(Codec& c) {
  uint8_t big[FRAME_ARENA_BYTES];
  std::memset(big, 0x5A, sizeof big);
  const int b = co_await get_byte(c);
  c.chunk_buf[0] = static_cast<uint8_t>(big[static_cast<uint8_t>(b)] + big[sizeof big - 1]);
}

TEST(FrameArena, OversizedFrameGivesAnEmptyHandleAndLeavesTheArenaFree) {
  CodecPtr c = new_codec(CODEC_MODE_ENCODE);
  const BodyTask t = oversized_body(*c);
  EXPECT_FALSE(t.handle);
  EXPECT_FALSE(c->frame_in_use);
  // The real body still gets the arena.
  const Pumped p = pump(c.get(), random_bytes(100, 3), 100, 4096);
  EXPECT_EQ(p.last, CODEC_DONE);
  EXPECT_EQ(p.out.size(), 104u);
}

// With the arena taken the body cannot start: a hard error, not a crash or a
// heap frame, until the instance is reset.
TEST(FrameArena, BodyWithoutRoomIsAHardError) {
  CodecPtr c = new_codec(CODEC_MODE_ENCODE);
  std::vector<int> got;
  BodyTask squatter = read_bytes_body(*c, 1, got);
  ASSERT_TRUE(squatter.handle);
  uint8_t out[64];
  codec_setbuf(c.get(), out, sizeof out);
  EXPECT_EQ(codec_run(c.get()), CODEC_ERROR);
  EXPECT_STRNE(codec_message(c.get()), "");
  EXPECT_EQ(codec_run(c.get()), CODEC_ERROR);

  squatter.handle.destroy();
  EXPECT_FALSE(c->frame_in_use);
  codec_reset(c.get());
  EXPECT_STREQ(codec_message(c.get()), "");
  const Pumped p = pump(c.get(), random_bytes(100, 3), 100, 4096);
  EXPECT_EQ(p.last, CODEC_DONE);
  EXPECT_EQ(p.out.size(), 104u);
}

// ---------------------------------------------------------------------------
// The instance block
// ---------------------------------------------------------------------------

TEST(CodecCreate, PageAlignedAndZeroFilled) {
  std::vector<CodecPtr> codecs;
  for (int i = 0; i < 4; ++i) {  // several, so that malloc hands out different offsets
    codecs.emplace_back(codec_create());
    Codec* c = codecs.back().get();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(c) % 4096, 0u);
    EXPECT_EQ(c->state, 0);
    EXPECT_EQ(c->in_cur, nullptr);
    EXPECT_EQ(c->in_end, nullptr);
    EXPECT_EQ(c->out_cur, nullptr);
    EXPECT_EQ(c->out_end, nullptr);
    EXPECT_EQ(c->in_eof, 0);
    EXPECT_FALSE(c->body);
    EXPECT_FALSE(c->frame_in_use);
    EXPECT_EQ(c->index.htbl, nullptr);
    EXPECT_EQ(c->index.cfg_tblsize, 0u);
    EXPECT_EQ(c->total_bytes, 0u);
    EXPECT_EQ(c->chunk_count, 0u);
    EXPECT_EQ(c->decwin, nullptr);
    EXPECT_EQ(c->mode, 0);
    EXPECT_STREQ(codec_message(c), "");
    EXPECT_TRUE(std::all_of(std::begin(c->chunk_buf), std::end(c->chunk_buf), [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(
        std::all_of(std::begin(c->frame_arena), std::end(c->frame_arena), [](unsigned char b) { return b == 0; }));
    // The whole block is writable (ASan checks the bounds of the raw block).
    std::memset(static_cast<void*>(c), 0, sizeof(Codec));
  }
}

TEST(CodecCreate, DestroyAcceptsNull) { codec_destroy(nullptr); }

// ---------------------------------------------------------------------------
// codec_init: the configuration line and refusals
// ---------------------------------------------------------------------------

std::string expected_config_line(const Codec& c, uint32_t tblsize, int32_t decwinsize) {
  char line[256];
  std::snprintf(line, sizeof line, "sizeof(this)=%zu cfg_tblsize=%" PRIu32 " cfg_decwinsize=%" PRId32
                " sizeof(hinf)=28 htbl=%" PRIXPTR "\n",
                sizeof(Codec), tblsize, decwinsize, reinterpret_cast<uintptr_t>(c.index.htbl));
  return line;
}

TEST(CodecInit, ConfigurationLineWithDefaults) {
  Report rep;
  CodecPtr c = new_codec(CODEC_MODE_ENCODE, DEFAULT_PARAMS, rep.f);
  ASSERT_NE(c->index.htbl, nullptr);
  // 256 MiB / 20 bytes a slot, rounded down; 1024 MiB of window.
  EXPECT_EQ(rep.text(), expected_config_line(*c, 13421772, 1073741824));
  EXPECT_STREQ(codec_message(c.get()), "");
}

TEST(CodecInit, ConfigurationLineFollowsTheMemoryParameters) {
  struct Case {
    Params params;
    uint32_t tblsize;
    int32_t decwinsize;
  };
  const Case cases[] = {
      {{100, 1, 1024}, 52428, 1073741824},  // 1048576 / 20 = 52428.8
      {{100, 1, 2048}, 52428, INT32_MIN},   // 2^31 read as signed
      {{100, 1, 4096}, 52428, 0},           // 2^32 wraps to 0
      {{100, 1, 0}, 52428, 0},
  };
  for (const Case& k : cases) {
    Report rep;
    CodecPtr c = new_codec(CODEC_MODE_ENCODE, k.params, rep.f);
    EXPECT_EQ(rep.text(), expected_config_line(*c, k.tblsize, k.decwinsize)) << k.params[2];
  }
}

TEST(CodecInit, DecoderPrintsNothingAndIgnoresTheNumbers) {
  Report rep;
  CodecPtr c = new_codec(CODEC_MODE_DECODE, Params{0, 0, 0}, rep.f);
  EXPECT_EQ(rep.text(), "");
}

TEST(CodecInit, RefusesParametersTheEncoderCannotHonour) {
  struct Case {
    int32_t mode;
    Params params;
    int32_t expected;
  };
  const Case cases[] = {
      {CODEC_MODE_ENCODE, {0, 16, 64}, CODEC_INIT_REFUSED},
      {CODEC_MODE_ENCODE, {-1, 16, 64}, CODEC_INIT_REFUSED},
      {CODEC_MODE_ENCODE, {65536, 16, 64}, CODEC_INIT_REFUSED},
      {CODEC_MODE_ENCODE, {INT32_MIN, 16, 64}, CODEC_INIT_REFUSED},
      {CODEC_MODE_ENCODE, {1, 16, 64}, 0},
      {CODEC_MODE_ENCODE, {65535, 16, 64}, 0},
      {CODEC_MODE_UNIQUE, {0, 16, 64}, CODEC_INIT_REFUSED},
      {CODEC_MODE_UNIQUE, {70000, 16, 64}, 0},
      {CODEC_MODE_UNIQUE, {-5, 16, 64}, 0},
      // An index of 32 slots or fewer: 0 MiB, or a multiple of 4096 MiB that wraps to 0.
      {CODEC_MODE_ENCODE, {100, 0, 64}, CODEC_INIT_REFUSED},
      {CODEC_MODE_ENCODE, {100, 4096, 64}, CODEC_INIT_REFUSED},
      {CODEC_MODE_ENCODE, {100, 8192, 64}, CODEC_INIT_REFUSED},
      {CODEC_MODE_UNIQUE, {100, 0, 64}, CODEC_INIT_REFUSED},
      {CODEC_MODE_UNIQUE, {100, 4096, 64}, CODEC_INIT_REFUSED},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << k.mode << " params " << k.params[0] << " " << k.params[1] << " "
                                      << k.params[2]);
    Report rep;
    CodecPtr c(codec_create());
    ASSERT_TRUE(c);
    codec_set_report(c.get(), rep.f);
    EXPECT_EQ(codec_init(c.get(), k.mode, k.params.data()), k.expected);
    if (k.expected != 0) {
      EXPECT_STRNE(codec_message(c.get()), "");
      EXPECT_EQ(rep.text(), "");  // refused before the configuration line
    } else {
      EXPECT_STREQ(codec_message(c.get()), "");
    }
  }
}

TEST(CodecInit, SuccessfulInitClearsAnEarlierRefusal) {
  CodecPtr c(codec_create());
  codec_set_report(c.get(), nullptr);
  const Params bad = {0, 16, 64};
  ASSERT_EQ(codec_init(c.get(), CODEC_MODE_ENCODE, bad.data()), CODEC_INIT_REFUSED);
  ASSERT_EQ(codec_init(c.get(), CODEC_MODE_ENCODE, SMALL_PARAMS.data()), 0);
  EXPECT_STREQ(codec_message(c.get()), "");
  const Pumped p = pump(c.get(), random_bytes(10, 1), 10, 64);
  EXPECT_EQ(p.last, CODEC_DONE);
}

// A refused instance (or one never given settings) has nothing to run: every
// later call answers CODEC_ERROR with the reason, also after codec_reset, and
// none starts a body on the settings it refused.
TEST(CodecInit, RefusedInstanceStaysRefused) {
  const Params refused[] = {{0, 16, 64}, {100, 0, 64}, {100, 4096, 64}};
  for (const int32_t mode : {CODEC_MODE_ENCODE, CODEC_MODE_UNIQUE}) {
    for (int k = -1; k < int(std::size(refused)); ++k) {
      SCOPED_TRACE(::testing::Message() << "mode " << mode << " case " << k);
      CodecPtr c(codec_create());
      codec_set_report(c.get(), nullptr);
      if (k >= 0) {
        ASSERT_EQ(codec_init(c.get(), mode, refused[k].data()), CODEC_INIT_REFUSED);
      }
      const std::string why = codec_message(c.get());
      uint8_t out[64], in[100] = {};
      for (int round = 0; round < 2; ++round) {
        codec_setbuf(c.get(), out, sizeof out);
        EXPECT_EQ(codec_run(c.get()), CODEC_ERROR);
        codec_setbuf(c.get(), in, sizeof in);
        EXPECT_EQ(codec_run(c.get()), CODEC_ERROR);
        EXPECT_EQ(codec_outsize(c.get()), 0);
        EXPECT_STRNE(codec_message(c.get()), "");
        if (k >= 0) {
          EXPECT_EQ(codec_message(c.get()), why);
        }
        codec_reset(c.get());
      }
      // Settings accepted at last: the instance works.
      ASSERT_EQ(codec_init(c.get(), mode, SMALL_PARAMS.data()), 0);
      EXPECT_EQ(pump(c.get(), random_bytes(100, 1), 100, 4096).last, CODEC_DONE);
    }
  }
}

// Address space of the process in KiB, from /proc.
long vm_size_kib() {
  FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  long kib = -1;
  while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
    if (std::sscanf(line, "VmSize: %ld kB", &kib) == 1) break;
  if (f != nullptr) std::fclose(f);
  return kib;
}

// Initialising an instance again gives back what the last configuration
// held (an index of 256 MiB each time here), in either mode.
TEST(CodecInit, InitAgainReleasesTheEarlierLargeBlocks) {
  CodecPtr c(codec_create());
  codec_set_report(c.get(), nullptr);
  const Params big = {100, 256, 1024};
  ASSERT_EQ(codec_init(c.get(), CODEC_MODE_ENCODE, big.data()), 0);
  const long before = vm_size_kib();
  ASSERT_GT(before, 0);
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(codec_init(c.get(), i % 2 ? CODEC_MODE_DECODE : CODEC_MODE_ENCODE, big.data()), 0);
    const Pumped p = pump(c.get(), i % 2 ? encode(random_bytes(100, 2)) : random_bytes(100, 2), 100, 4096);
    ASSERT_EQ(p.last, CODEC_DONE);
  }
  ASSERT_EQ(codec_init(c.get(), CODEC_MODE_ENCODE, big.data()), 0);
  EXPECT_LT(vm_size_kib() - before, 64 * 1024);  // one index more would be 358 MiB
}

// In a child with little address space left, an index of 4095 MiB cannot be
// had: codec_init refuses with a reason, prints no configuration line (it
// would name no index), and the instance stays refused.
[[noreturn]] void init_without_room() {
  Report rep;
  CodecPtr c(codec_create());
  codec_set_report(c.get(), rep.f);
  if (!limit_address_space(size_t{512} << 20)) {
    std::fprintf(stderr, "cannot limit the address space\n");
    _exit(2);
  }
  const Params huge = {100, 4095, 64};
  const int32_t rc = codec_init(c.get(), CODEC_MODE_ENCODE, huge.data());
  uint8_t out[64];
  codec_setbuf(c.get(), out, sizeof out);
  const int32_t y = codec_run(c.get());
  const std::string report = rep.text();
  if (rc != CODEC_INIT_REFUSED || y != CODEC_ERROR || report != "" || *codec_message(c.get()) == '\0') {
    std::fprintf(stderr, "init %d, run %d, message \"%s\", report \"%s\"\n", int(rc), int(y),
                 codec_message(c.get()), report.c_str());
    _exit(1);
  }
  _exit(0);
}

TEST(CodecInit, IndexThatCannotBeAllocatedIsRefusedBeforeTheConfigurationLine) {
  if (!address_space_limit_holds()) GTEST_SKIP() << "a limit on the address space does not hold here";
  EXPECT_EXIT(init_without_room(), ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------
// The statistics line
// ---------------------------------------------------------------------------

std::string statistics_line(uint64_t total, uint64_t count) {
  Report rep;
  CodecPtr c(codec_create());
  codec_set_report(c.get(), rep.f);
  c->total_bytes = total;
  c->chunk_count = count;
  codec_finish(c.get());
  return rep.text();
}

TEST(StatisticsLine, AverageIsTruncatedToTenths) {
  EXPECT_EQ(statistics_line(1000, 3), "sum=1000 x=3 avglen=333.3\n");
  EXPECT_EQ(statistics_line(2000, 3), "sum=2000 x=3 avglen=666.6\n");
  EXPECT_EQ(statistics_line(0, 1), "sum=0 x=1 avglen=0.0\n");
}

TEST(StatisticsLine, CountsPrintTheirLow32BitsButTheAverageUses64) {
  // 2^31 bytes in 1024 chunks: 2097152.0 bytes a chunk, whatever the sum prints as.
  EXPECT_EQ(statistics_line(uint64_t{1} << 31, 1024), "sum=-2147483648 x=1024 avglen=2097152.0\n");
  // 2^32 + 3 chunks print as 3; the average from 64 bits is below a tenth.
  EXPECT_EQ(statistics_line(2000, (uint64_t{1} << 32) + 3), "sum=2000 x=3 avglen=0.0\n");
  // 2^32 + 1000 bytes in 3 chunks: q = 14316560986, low 32 bits 1431659098 (from 32 bits: 333.3).
  EXPECT_EQ(statistics_line((uint64_t{1} << 32) + 1000, 3), "sum=1000 x=3 avglen=143165909.8\n");
}

TEST(StatisticsLine, EncoderOnEmptyInput) {
  Report rep;
  CodecPtr c = new_codec(CODEC_MODE_ENCODE, SMALL_PARAMS, rep.f);
  const Pumped p = pump(c.get(), Bytes{}, 65536, 65536);
  EXPECT_EQ(p.last, CODEC_DONE);
  EXPECT_EQ(p.out.size(), 4u);
  codec_finish(c.get());
  const std::vector<std::string> lines = test::split_lines(rep.text());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "len=164 encmem=16M decmem=64M");
  EXPECT_EQ(lines[2], "sum=0 x=1 avglen=0.0");
}

TEST(StatisticsLine, DecoderCountsWhatTheEncoderCounted) {
  const Bytes in = sample_with_repeats();
  Report erep, drep;
  CodecPtr e = new_codec(CODEC_MODE_ENCODE, SMALL_PARAMS, erep.f);
  const Pumped pe = pump(e.get(), in, 65536, 65536);
  codec_finish(e.get());
  CodecPtr d = new_codec(CODEC_MODE_DECODE, SMALL_PARAMS, drep.f);
  const Pumped pd = pump(d.get(), pe.out, 65536, 65536);
  codec_finish(d.get());
  const std::vector<std::string> el = test::split_lines(erep.text()), dl = test::split_lines(drep.text());
  ASSERT_EQ(el.size(), 3u);
  ASSERT_EQ(dl.size(), 2u);
  EXPECT_EQ(dl[0], "len=164 encmem=0M decmem=64M");
  EXPECT_EQ(dl[1], el[2]);
  EXPECT_EQ(el[2].rfind("sum=" + std::to_string(in.size()) + " x=", 0), 0u) << el[2];
}

}  // namespace
}  // namespace cdedup
