// In-process driver for codec tests: pumps a byte vector through a Codec the
// way a front end would, with block sizes that are fixed or drawn from a
// seeded generator, and records everything a caller can observe (output,
// every yield code, the message and the printed lines).
//
// Every input and output block is a heap block of exactly its own size, so
// under AddressSanitizer a codec that reads or writes past a block, or keeps
// reading an input block after asking for the next one, is caught.  Input and
// output sizes come from separate generators: the n-th block of each kind has
// the same size in every run, whichever path or interleaving, so two runs
// with equal settings can be compared yield by yield.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cdedup::test {

using Bytes = std::vector<uint8_t>;

// Sizes of successive blocks: `min` when min == max, else drawn from [min, max].
struct BlockSizes {
  size_t min = 65536;
  size_t max = 65536;
  uint64_t seed = 0;

  static BlockSizes fixed(size_t n) { return BlockSizes{n, n, 0}; }
  static BlockSizes ragged(uint64_t seed, size_t min, size_t max) { return BlockSizes{min, max, seed}; }
};

struct CodecRun {
  int32_t mode = 0;                              // CODEC_MODE_ENCODE, _DECODE or _UNIQUE
  std::array<int32_t, 3> params{100, 256, 1024}; // chunk length, index MiB, window MiB
  bool reference_path = false;
  int32_t threads = 1;                           // codec_set_threads
  size_t segment_bytes = 0;                      // with threads: the work's shape (0: the codec's own)
  unsigned segments = 0;
  bool input_space = false;                      // put input where codec_input_space says, when it offers room
  uint64_t rebase_span = 0;                      // mode e: rebase the index's positions this often (0: the codec's own)
  BlockSizes in;
  BlockSizes out;
  // Decoding into a file (codec_set_output_file): the output also goes to a
  // file in memory, `file_lag` output blocks after the codec handed them
  // back, behind `file_offset` bytes that are not the stream's; with
  // `file_stale_tail` the file already holds other bytes past where the
  // stream will end, so a read of what was not written yet gets those
  // instead of the file's end.
  bool output_file = false;
  size_t file_lag = 0;
  size_t file_offset = 0;
  bool file_stale_tail = false;
  size_t file_cut_after = 0;  // once this many bytes are handed back, the file is cut to nothing (0: never)
  // Checked frames: the encoder writes one, the decoder requires one
  // (codec_set_checked); the decoder's caller hashes what it decodes
  // (codec_set_caller_hash), as the driver then does; the writer's block
  // size and whether it leaves out block checks (0, false: its own).
  bool checked = false;
  bool caller_hash = false;
  uint32_t frame_block = 0;
  bool frame_without_checks = false;
  // A patch: the reference's bytes, given to the codec in a file in memory
  // (codec_set_reference_file) after codec_init.  With `reference_flip_at`,
  // the file's byte at that offset less one is flipped once the codec has
  // first handed output back: the reference changes under a stream that
  // checked it.
  // With `reference_cut`, the file is cut to half its size then instead.
  const Bytes* reference = nullptr;
  size_t reference_flip_at = 0;
  bool reference_cut = false;
};

struct CodecResult {
  int32_t init_status = 0;    // codec_init's result; nothing else is set when it is not 0
  Bytes output;               // every byte handed back, also those before a failure
  std::vector<int32_t> yields;// every codec_run result, the final one included
  int32_t final_yield = -1;   // CODEC_DONE or CODEC_ERROR
  std::string message;        // codec_message after the last codec_run
  std::string report;         // the lines the codec printed
  int64_t sum = -1;           // from "sum=...": total_bytes (low 32 bits)
  int64_t chunks = -1;        // from "x=...": chunk_count (low 32 bits)
  bool runaway = false;       // the codec kept asking for input long after its end
  bool window_in_file = false;// the decoder read its window back from the output file
  Bytes file;                 // with output_file: what the file holds from file_offset on
  bool output_failed = false; // codec_output_failed after the last codec_run
  int32_t failure = 0;        // codec_failure after the last codec_run
  // With caller_hash: the frames whose end the codec reported, and those
  // whose bytes hashed to what codec_frame_digest gave.
  size_t frame_ends = 0;
  size_t frames_matching = 0;
  int32_t reference_status = 0;  // codec_set_reference_file's result; the stream does not run when it is not 0
};

CodecResult run_codec(const Bytes& input, const CodecRun& run);

// Same output, yields, final yield, message and statistics.
::testing::AssertionResult same_run(const CodecResult& reference, const CodecResult& fast);

// Same output, final yield, message, statistics and printed lines (but the
// index's address): what a run on more threads promises.  Yields differ,
// since threads take input in whole blocks.
::testing::AssertionResult same_output(const CodecResult& reference, const CodecResult& threaded);

// Runs the reference path and the fast path with the same settings and block
// sizes, records a failure when they differ, and returns the fast path's
// result.  The lossless encoder also runs on 2, 3 and 8 threads, with work
// cut small enough that inputs of a few KiB cross segments and blocks.
CodecResult run_both_paths(const Bytes& input, CodecRun run);

// Deterministic pseudo-random bytes.
Bytes seeded_bytes(uint64_t seed, size_t n);

// Lower-case hex of n bytes, for readable key comparisons.
std::string hex(const uint8_t* p, size_t n);

}  // namespace cdedup::test
