// Patches through the codec: a stream encoded against a reference file and
// decoded with it.  Every path is held to every other (the byte-at-a-time
// encoder and decoder, the span paths, the threads, the window in memory and
// in the output file) over references from empty to a whole window and new
// data that repeats them, edits them, moves their content or leaves them;
// and a patch meets every wrong reference with a refusal before any output.
#include <gtest/gtest.h>

#include <cdedup/cdedup.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "dedup/frame_format.h"
#include "dedup/stream_hash.h"
#include "support/codec_driver.h"

namespace cdedup {
namespace {

using test::BlockSizes;
using test::Bytes;
using test::CodecResult;
using test::CodecRun;
using test::run_both_paths;
using test::run_codec;
using test::seeded_bytes;

uint64_t step(uint64_t& x) {
  x = x * 6364136223846793005ull + 1442695040888963407ull;
  return x >> 16;
}

// Text-like bytes: chunks of it repeat within it, as in real files.
Bytes reference_bytes(uint64_t seed, size_t n) {
  const Bytes words = seeded_bytes(seed, 4096);
  Bytes out;
  uint64_t x = seed;
  while (out.size() < n) {
    if (step(x) % 4 == 0) {
      const size_t from = step(x) % words.size(), len = std::min<size_t>(words.size() - from, 100 + step(x) % 3000);
      out.insert(out.end(), words.begin() + from, words.begin() + from + len);
    } else {
      const Bytes fresh = seeded_bytes(step(x), 64 + step(x) % 2000);
      out.insert(out.end(), fresh.begin(), fresh.end());
    }
  }
  out.resize(n);
  return out;
}

// What new data does with its reference.
enum class Change { Same, Edited, Moved, Unrelated, Empty };

const char* name(Change k) {
  switch (k) {
    case Change::Same: return "same";
    case Change::Edited: return "edited";
    case Change::Moved: return "moved";
    case Change::Unrelated: return "unrelated";
    default: return "empty";
  }
}

Bytes new_data(const Bytes& ref, Change k, uint64_t seed) {
  uint64_t x = seed;
  switch (k) {
    case Change::Same:
      return ref;
    case Change::Edited: {
      // A few bytes changed, inserted and removed, here and there.
      Bytes out = ref;
      for (int e = 0; e < 6 && !out.empty(); ++e) {
        const size_t at = step(x) % out.size();
        if (e % 3 == 0) out[at] ^= 0x5A;
        if (e % 3 == 1) out.insert(out.begin() + at, 17, static_cast<uint8_t>(e));
        if (e % 3 == 2) out.erase(out.begin() + at, out.begin() + std::min(out.size(), at + 33));
      }
      return out;
    }
    case Change::Moved: {
      // The reference cut in pieces, put back in another order, some twice.
      std::vector<std::pair<size_t, size_t>> pieces;
      for (size_t at = 0; at < ref.size();) {
        const size_t len = std::min<size_t>(ref.size() - at, 5000 + step(x) % 60000);
        pieces.push_back({at, len});
        at += len;
      }
      for (size_t i = pieces.size(); i > 1; --i) std::swap(pieces[i - 1], pieces[step(x) % i]);
      if (!pieces.empty()) pieces.push_back(pieces[step(x) % pieces.size()]);
      Bytes out;
      for (const auto& p : pieces) out.insert(out.end(), ref.begin() + p.first, ref.begin() + p.first + p.second);
      return out;
    }
    case Change::Unrelated:
      return reference_bytes(seed + 99, std::max<size_t>(ref.size() / 2, 5000));
    default:
      return {};
  }
}

CodecRun encoder(const Bytes& ref, int32_t window_mib, uint64_t seed) {
  CodecRun r;
  r.mode = CODEC_MODE_ENCODE;
  r.params = {100, 16, window_mib};
  r.reference = &ref;
  r.in = BlockSizes::ragged(seed, 1, 70000);
  r.out = BlockSizes::ragged(seed + 1, 1, 70000);
  return r;
}

CodecRun decoder(const Bytes* ref, uint64_t seed) {
  CodecRun r;
  r.mode = CODEC_MODE_DECODE;
  r.reference = ref;
  r.in = BlockSizes::ragged(seed, 1, 70000);
  r.out = BlockSizes::ragged(seed + 1, 1, 70000);
  return r;
}

// The frame header of an encoded stream.
FrameHeader header_of(const Bytes& frame) {
  FrameScanner s;
  frame_scan_start(s);
  size_t taken = 0;
  EXPECT_EQ(frame_scan(s, frame.data(), frame.size(), taken), FrameEvent::Header);
  return s.header;
}

// ---------------------------------------------------------------------------
// Round trips
// ---------------------------------------------------------------------------

TEST(Patch, RoundTripsOnEveryPathAndReachesIntoTheReference) {
  constexpr int32_t WINDOW_MIB = 1;
  const size_t sizes[] = {0, 40, 150000, (1 << 20) - 3000, 1 << 20};
  const Change changes[] = {Change::Same, Change::Edited, Change::Moved, Change::Unrelated, Change::Empty};
  uint64_t seed = 1;
  for (const size_t n : sizes) {
    const Bytes ref = reference_bytes(n + 7, n);
    for (const Change k : changes) {
      SCOPED_TRACE(testing::Message() << "reference of " << n << " bytes, new data " << name(k));
      const Bytes plain = new_data(ref, k, ++seed);
      // Reference, fast and parallel encoders (run_both_paths) write one patch.
      const CodecResult enc = run_both_paths(plain, encoder(ref, WINDOW_MIB, ++seed));
      ASSERT_EQ(enc.final_yield, CODEC_DONE) << enc.message;
      const FrameHeader h = header_of(enc.output);
      EXPECT_TRUE(h.names_reference());
      EXPECT_EQ(h.reference_size, ref.size());
      EXPECT_EQ(h.reference_hash, hash_once(ref.data(), ref.size()));
      // Repeats of the reference became references to it, as far as the
      // window reaches: a source a whole window back or more is out of it.
      const bool reachable = k == Change::Moved ? n + plain.size() <= (WINDOW_MIB << 20) : n < (WINDOW_MIB << 20);
      if (k != Change::Unrelated && k != Change::Empty && n > 100000 && reachable) {
        EXPECT_LT(enc.output.size(), plain.size() / 20) << enc.output.size() << " of " << plain.size();
      }

      // Reference and fast decoders, then the fast one with its window in the output file.
      CodecRun dec = decoder(&ref, ++seed);
      const CodecResult out = run_both_paths(enc.output, dec);
      EXPECT_EQ(out.final_yield, CODEC_DONE) << out.message;
      EXPECT_TRUE(out.output == plain);
      dec.output_file = true;
      dec.file_offset = 100;
      dec.file_lag = 1;
      dec.out = BlockSizes::ragged(seed, 1000, 65536);
      const CodecResult in_file = run_codec(enc.output, dec);
      EXPECT_EQ(in_file.final_yield, CODEC_DONE) << in_file.message;
      EXPECT_TRUE(in_file.output == plain);
      EXPECT_TRUE(in_file.file == plain);
      EXPECT_TRUE(in_file.window_in_file);
    }
  }
}

}  // namespace
}  // namespace cdedup
