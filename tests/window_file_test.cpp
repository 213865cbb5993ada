// The decoder's window read back from its output file, held to the window in
// memory: the fast decoder writing to a file must give what the
// byte-at-a-time reference gives with its window in memory, on streams whose
// references reach all over the window (the first byte, before it, past it),
// whatever the lag between handing output back and writing it, with other
// bytes in the file before the stream and after it.  The driver writes each
// block only as late as the lag allows, so a read of bytes not yet in the
// file shows as a failure or as foreign bytes.
#include <cdedup/cdedup.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "support/codec_driver.h"

namespace cdedup::test {
namespace {

constexpr uint32_t WINDOW_MIB = 1;
constexpr uint32_t WINDOW = WINDOW_MIB << 20;

uint64_t next(uint64_t& state) {
  state ^= state << 13, state ^= state >> 7, state ^= state << 17;
  return state;
}

void append(Bytes& s, const Bytes& b) { s.insert(s.end(), b.begin(), b.end()); }

Bytes copy_record(uint32_t d) {
  return {0xEF, 0x4D, 0xB6, 0x00, static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d >> 16),
          static_cast<uint8_t>(d >> 24)};
}

// A stream of 64-byte chunks (chunk-length parameter 1), 1.5 MiB of
// output, whose references name chunk starts anywhere in the window (the
// notes' path), any byte of it (a boundary searched for), the stream's first
// byte and the bytes before it, the window's edge and distances outside it.
Bytes chunk_stream(uint64_t seed) {
  uint64_t r = seed * 0x9E3779B97F4A7C15ull + 7;
  Bytes s = {1, 0, static_cast<uint8_t>(WINDOW_MIB), 0};
  uint64_t decoded = 0;
  while (decoded < (uint64_t{3} << 19)) {
    const uint64_t x = next(r);
    const uint64_t chunks = decoded / 64;
    switch (x % 8) {
      case 0:
      case 1:
      case 2: {
        Bytes lit = seeded_bytes(x, 64);
        if (lit[0] == 0xEF) append(s, {0xEF, 0x4D, 0xB6, 0x01});
        append(s, lit);
        break;
      }
      case 3:
      case 4:  // a chunk start within the window
        if (chunks == 0) continue;
        append(s, copy_record(static_cast<uint32_t>(64 * (1 + (x >> 8) % std::min<uint64_t>(chunks, WINDOW / 64)))));
        break;
      case 5:
        append(s, {0xEF, 0x4D, 0xB6, 0x02});
        break;
      default: {
        const uint32_t around[] = {static_cast<uint32_t>(decoded),      // the first byte
                                   static_cast<uint32_t>(decoded) + 1 + static_cast<uint32_t>((x >> 8) % 100),
                                   WINDOW, WINDOW + 1, 1, 63, 0, 0xFFFF0000u,
                                   static_cast<uint32_t>(1 + (x >> 16) % WINDOW), static_cast<uint32_t>(x >> 32)};
        append(s, copy_record(around[(x >> 40) % 10]));
        break;
      }
    }
    decoded += 64;
  }
  return s;
}

// Plaintext with repeats of earlier stretches from near and far, runs of
// zeros and small edits, encoded with the fast encoder: realistic records.
Bytes encoded_stream(uint64_t seed, int32_t chunklen) {
  uint64_t r = seed * 0xD1B54A32D192ED03ull + 3;
  Bytes plain;
  while (plain.size() < (size_t{2} << 20)) {
    const uint64_t x = next(r);
    const size_t len = 1000 + (x >> 8) % 100000;
    if (x % 4 == 0 || plain.size() < 200000) {
      append(plain, seeded_bytes(x, len));
    } else if (x % 4 == 3) {
      plain.resize(plain.size() + len / 4, 0);
    } else {
      const size_t back = std::min<size_t>(plain.size(), 1 + (x >> 24) % (WINDOW + WINDOW / 4));
      const size_t from = plain.size() - back;
      for (size_t i = 0; i < len; ++i) plain.push_back(plain[from + i]);
      plain[plain.size() - 1 - (x >> 40) % len] ^= 1;
    }
  }
  CodecRun enc;
  enc.mode = CODEC_MODE_ENCODE;
  enc.params = {chunklen, 16, static_cast<int32_t>(WINDOW_MIB)};
  const CodecResult e = run_codec(plain, enc);
  EXPECT_EQ(e.final_yield, CODEC_DONE) << e.message;
  return e.output;
}

// The settings a seed decodes with: block sizes, lag, bytes before the
// stream, a stale tail.
CodecRun file_run(uint64_t seed) {
  CodecRun run;
  run.mode = CODEC_MODE_DECODE;
  run.in = BlockSizes::ragged(seed, 1, 1 + seed % 5 * 20000);
  run.out = seed % 3 == 0 ? BlockSizes::fixed(65536) : BlockSizes::ragged(seed + 1, 1, 4096 << (seed % 5));
  run.output_file = true;
  run.file_lag = seed % 4;
  run.file_offset = seed % 3 == 1 ? 4095 + seed : 0;
  run.file_stale_tail = seed % 2 == 1;
  run.threads = seed % 4 < 2 ? 3 : 1;  // with a helper that reads runs ahead
  return run;
}

TEST(WindowFile, DecodesWhatTheWindowInMemoryDecodes) {
  for (uint64_t seed = 1; seed <= 16; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Bytes stream = seed % 2 == 0 ? chunk_stream(seed) : encoded_stream(seed, static_cast<int32_t>(1 + seed * 37 % 300));
    CodecRun run = file_run(seed);
    run.output_file = false;
    run.reference_path = true;
    const CodecResult memory = run_codec(stream, run);
    run.reference_path = false;
    const CodecResult fast_memory = run_codec(stream, run);
    run = file_run(seed);
    const CodecResult file = run_codec(stream, run);
    ASSERT_TRUE(file.window_in_file);
    EXPECT_GE(memory.output.size(), size_t{3} << 19);
    EXPECT_TRUE(fast_memory.output == memory.output) << "the fast path with its window in memory differs";
    // Output buffers larger than the first are used only that far, so the
    // yields may differ; nothing else may.
    if (run.out.max <= 65536) {
      EXPECT_TRUE(memory.yields == file.yields) << "yields differ";
    }
    EXPECT_EQ(file.final_yield, memory.final_yield) << file.message;
    EXPECT_EQ(file.message, memory.message);
    EXPECT_EQ(file.sum, memory.sum);
    EXPECT_EQ(file.chunks, memory.chunks);
    ASSERT_EQ(file.output.size(), memory.output.size());
    EXPECT_TRUE(file.output == memory.output) << "outputs differ";
    EXPECT_TRUE(file.file == file.output) << "the file does not hold the output";
  }
}

TEST(WindowFile, FileCutShortByAnotherProcessStopsTheStream) {
  const Bytes stream = chunk_stream(100);
  CodecRun run = file_run(3);
  run.file_cut_after = size_t{1} << 20;
  const CodecResult cut = run_codec(stream, run);
  run.output_file = false;
  const CodecResult whole = run_codec(stream, run);
  EXPECT_EQ(cut.final_yield, CODEC_ERROR);
  EXPECT_TRUE(cut.output_failed);
  EXPECT_NE(cut.message.find("read back"), std::string::npos) << cut.message;
  EXPECT_FALSE(whole.output_failed);
  // Everything before the fault is right.
  ASSERT_GE(cut.output.size(), run.file_cut_after);
  ASSERT_LT(cut.output.size(), whole.output.size());
  EXPECT_TRUE(std::equal(cut.output.begin(), cut.output.end(), whole.output.begin()));
}

// Where the file cannot serve, the window stays in memory and the output is
// the same.
TEST(WindowFile, WindowStaysInMemoryWhereTheFileCannotServe) {
  Codec* c = codec_create();
  const int32_t params[3] = {0, 0, 0};
  ASSERT_EQ(codec_init(c, CODEC_MODE_DECODE, params), 0);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_NE(codec_set_output_file(c, p[1], 0, 0), 0) << "a pipe";
  const int mem = memfd_create("cdedup-write-only", MFD_CLOEXEC);
  const std::string path = "/proc/self/fd/" + std::to_string(mem);
  const int write_only = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(write_only, 0);
  EXPECT_NE(codec_set_output_file(c, write_only, 0, 0), 0) << "a descriptor that cannot read";
  EXPECT_EQ(codec_set_output_file(c, mem, 0, 0), 0);
  EXPECT_NE(codec_set_output_file(c, mem, -1, 0), 0) << "a negative offset";
  // No window is larger than 4 GiB, so a lag beyond it leaves the file nothing to serve.
  EXPECT_NE(codec_set_output_file(c, mem, 0, INT64_MAX), 0) << "a lag beyond any window";
  EXPECT_NE(codec_set_output_file(c, mem, 0, int64_t{1} << 32), 0) << "a lag of 4 GiB";
  for (int fd : {p[0], p[1], mem, write_only}) close(fd);
  codec_set_report(c, nullptr);
  ASSERT_EQ(codec_init(c, CODEC_MODE_ENCODE, std::array<int32_t, 3>{100, 1, 1}.data()), 0);
  EXPECT_NE(codec_set_output_file(c, mem, 0, 0), 0) << "an encoder";
  codec_destroy(c);

  const Bytes stream = chunk_stream(8);
  CodecRun run = file_run(8);
  run.reference_path = true;  // the reference keeps its window in memory
  const CodecResult reference = run_codec(stream, run);
  EXPECT_FALSE(reference.window_in_file);
  EXPECT_TRUE(reference.file == reference.output);
  // A window no larger than the ring that reading back would need.
  run = file_run(8);
  run.file_lag = 200;
  const CodecResult small = run_codec(stream, run);
  EXPECT_FALSE(small.window_in_file);
  EXPECT_TRUE(small.output == reference.output);
  // A lag of gigabytes is taken, but the ring it would need is larger than the window.
  run = file_run(8);
  run.file_lag = 100000;  // blocks of up to 32 KiB: about 3 GiB
  const CodecResult huge = run_codec(stream, run);
  EXPECT_FALSE(huge.window_in_file);
  EXPECT_TRUE(huge.output == reference.output);
}

}  // namespace
}  // namespace cdedup::test
