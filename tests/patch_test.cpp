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
enum class Change { Same, Edited, Moved, Prepended, Unrelated, Empty };

const char* name(Change k) {
  switch (k) {
    case Change::Same: return "same";
    case Change::Edited: return "edited";
    case Change::Moved: return "moved";
    case Change::Prepended: return "prepended";
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
    case Change::Prepended: {
      // New bytes before all of it, as when a file grows at its start (in
      // whole 64-byte chunks, so that with chunk length 1 the reference's
      // first chunk is cut again).
      Bytes out = seeded_bytes(seed, 64 * (16 + step(x) % 48));
      out.insert(out.end(), ref.begin(), ref.end());
      return out;
    }
    case Change::Unrelated:
      return reference_bytes(seed + 99, std::max<size_t>(ref.size() / 2, 5000));
    default:
      return {};
  }
}

CodecRun encoder(const Bytes& ref, int32_t window_mib, uint64_t seed, int32_t chunk_length = 100) {
  CodecRun r;
  r.mode = CODEC_MODE_ENCODE;
  r.params = {chunk_length, 16, window_mib};
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
  const size_t sizes[] = {0, 40, 3000, 150000, (1 << 20) - 3000, 1 << 20};
  const Change changes[] = {Change::Same, Change::Edited, Change::Moved, Change::Prepended, Change::Unrelated,
                            Change::Empty};
  uint64_t seed = 1;
  // Chunk length 1 cuts 64-byte chunks, which new data repeats exactly.
  for (const int32_t chunk_length : {100, 1})
  for (const size_t n : sizes) {
    if (chunk_length == 1 && n > 200000) continue;
    const Bytes ref = reference_bytes(n + 7, n);
    for (const Change k : changes) {
      SCOPED_TRACE(testing::Message() << "reference of " << n << " bytes, new data " << name(k) << ", chunk length "
                                      << chunk_length);
      const Bytes plain = new_data(ref, k, ++seed);
      // Reference, fast and parallel encoders (run_both_paths) write one patch.
      const CodecResult enc = run_both_paths(plain, encoder(ref, WINDOW_MIB, ++seed, chunk_length));
      ASSERT_EQ(enc.final_yield, CODEC_DONE) << enc.message;
      const FrameHeader h = header_of(enc.output);
      EXPECT_TRUE(h.names_reference());
      EXPECT_EQ(h.reference_size, ref.size());
      EXPECT_EQ(h.reference_hash, hash_once(ref.data(), ref.size()));
      // Repeats of the reference became references to it, as far as the
      // window reaches: a source a whole window back or more is out of it.
      const bool reachable = k == Change::Moved ? n + plain.size() <= (WINDOW_MIB << 20) : n + 4000 < (WINDOW_MIB << 20);
      // (Chunks of a fixed 64 bytes do not survive an edit or a move.)
      if (k != Change::Unrelated && k != Change::Empty && n > 100000 && reachable && chunk_length != 1) {
        EXPECT_LT(enc.output.size(), plain.size() / 10) << enc.output.size() << " of " << plain.size();
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

TEST(Patch, RunsOfOneByteValueInTheReferenceAndTheNewData) {
  // Chunks of the longest length, all alike, as in a disk image's free space:
  // the parallel encoder files them by comparison (encoder_parallel.cpp).
  const Bytes text = reference_bytes(80, 100000);
  Bytes ref(300000, 0), plain = text;
  ref.insert(ref.end(), text.begin(), text.end());
  ref.insert(ref.end(), 200000, 0);
  plain.insert(plain.end(), 500000, 0);
  plain.insert(plain.end(), 140000, 0xFF);
  const CodecResult enc = run_both_paths(plain, encoder(ref, 2, 81));
  ASSERT_EQ(enc.final_yield, CODEC_DONE) << enc.message;
  EXPECT_LT(enc.output.size(), plain.size() / 4);  // the runs at the ends of the new data are new
  const CodecResult out = run_both_paths(enc.output, decoder(&ref, 82));
  EXPECT_TRUE(out.output == plain);
}

TEST(Patch, PatchesOneAfterAnotherDecodeToBothWithTheirReference) {
  const Bytes ref = reference_bytes(30, 300000);
  const Bytes a = new_data(ref, Change::Edited, 31), b = new_data(ref, Change::Moved, 32);
  Bytes joined = run_codec(a, encoder(ref, 1, 33)).output;
  const Bytes pb = run_codec(b, encoder(ref, 2, 34)).output;
  joined.insert(joined.end(), pb.begin(), pb.end());
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  CodecRun dec = decoder(&ref, 35);
  EXPECT_TRUE(run_both_paths(joined, dec).output == both);
  dec.output_file = true;
  dec.out = BlockSizes::ragged(36, 1000, 65536);
  const CodecResult r = run_codec(joined, dec);
  EXPECT_EQ(r.final_yield, CODEC_DONE) << r.message;
  EXPECT_TRUE(r.file == both);
}

// ---------------------------------------------------------------------------
// Wrong references
// ---------------------------------------------------------------------------

std::string hex64(uint64_t v) {
  char s[17];
  std::snprintf(s, sizeof s, "%016" PRIx64, v);
  return s;
}

TEST(Patch, EveryWrongReferenceIsRefusedBeforeAnyOutputNamingTheOneNeeded) {
  const Bytes ref = reference_bytes(40, 200000);
  const Bytes patch = run_codec(new_data(ref, Change::Edited, 41), encoder(ref, 1, 42)).output;
  std::vector<std::pair<std::string, Bytes>> wrong;
  for (const size_t at : {size_t{0}, ref.size() / 2, ref.size() - 1}) {
    Bytes changed = ref;
    changed[at] ^= 1;
    wrong.emplace_back("byte " + std::to_string(at) + " changed", changed);
  }
  wrong.emplace_back("one byte shorter", Bytes(ref.begin(), ref.end() - 1));
  Bytes longer = ref;
  longer.push_back(ref.back());
  wrong.emplace_back("one byte longer", longer);
  wrong.emplace_back("another file of the same size", reference_bytes(43, ref.size()));
  wrong.emplace_back("none", Bytes{});
  for (const auto& [what, given] : wrong) {
    for (const bool bytewise : {true, false}) {
      for (const bool in_file : {false, true}) {
        SCOPED_TRACE(testing::Message() << what << (bytewise ? ", byte at a time" : "") << (in_file ? ", into a file" : ""));
        CodecRun dec = decoder(what == "none" ? nullptr : &given, 44);
        dec.reference_path = bytewise;
        dec.output_file = in_file;
        const CodecResult r = run_codec(patch, dec);
        EXPECT_EQ(r.final_yield, CODEC_ERROR);
        EXPECT_EQ(r.failure, CODEC_FAIL_REFERENCE);
        EXPECT_TRUE(r.output.empty()) << r.output.size() << " bytes handed back";
        EXPECT_NE(r.message.find(std::to_string(ref.size()) + " bytes"), std::string::npos) << r.message;
        EXPECT_NE(r.message.find(hex64(hash_once(ref.data(), ref.size()))), std::string::npos) << r.message;
      }
    }
  }
}

TEST(Patch, AReferenceGivenForWhatIsNotAPatchIsRefused) {
  const Bytes ref = reference_bytes(50, 100000);
  const Bytes plain = new_data(ref, Change::Same, 51);
  CodecRun enc;
  enc.mode = CODEC_MODE_ENCODE;
  enc.params = {100, 16, 1};
  for (const bool framed : {true, false}) {
    enc.checked = framed;
    const Bytes stream = run_codec(plain, enc).output;
    for (const bool bytewise : {true, false}) {
      CodecRun dec = decoder(&ref, 52);
      dec.reference_path = bytewise;
      const CodecResult r = run_codec(stream, dec);
      EXPECT_EQ(r.failure, CODEC_FAIL_REFERENCE) << framed << bytewise;
      EXPECT_TRUE(r.output.empty());
      EXPECT_NE(r.message.find("not a patch"), std::string::npos) << r.message;
    }
  }
}

TEST(Patch, AReferenceThatChangesWhileAPatchIsAppliedStopsIt) {
  // Every byte of the reference is repeated, so any change is read back.
  const Bytes ref = reference_bytes(60, 2 << 20);
  const Bytes patch = run_codec(ref, encoder(ref, 4, 61)).output;
  for (const bool in_file : {false, true}) {
    CodecRun dec = decoder(&ref, 62);
    dec.out = BlockSizes::fixed(65536);
    dec.output_file = in_file;
    dec.reference_flip_at = ref.size() - 1000;
    CodecResult r = run_codec(patch, dec);
    EXPECT_EQ(r.final_yield, CODEC_ERROR);
    EXPECT_EQ(r.failure, CODEC_FAIL_STREAM) << r.message;
    EXPECT_NE(r.message.find("checksum mismatch"), std::string::npos) << r.message;
    dec.reference_flip_at = 0;
    dec.reference_cut = true;
    r = run_codec(patch, dec);
    EXPECT_EQ(r.failure, CODEC_FAIL_REFERENCE) << r.message;
    EXPECT_NE(r.message.find("cut short"), std::string::npos) << r.message;
    EXPECT_LE(r.output.size(), ref.size() / 2 + 65536);
  }
}

// ---------------------------------------------------------------------------
// What an encoder refuses
// ---------------------------------------------------------------------------

TEST(Patch, AnEncoderRefusesAReferenceItCannotHonourBeforeWritingAnything) {
  const Bytes big = reference_bytes(70, (1 << 20) + 1);
  // Larger than the window: refused when given...
  CodecResult r = run_codec(big, encoder(big, 1, 71));
  EXPECT_EQ(r.reference_status, CODEC_INIT_REFUSED);
  EXPECT_NE(r.message.find("1048577 bytes"), std::string::npos) << r.message;
  // ...and by a later codec_init with a window too small for it.
  Codec* c = codec_create();
  codec_set_report(c, nullptr);
  const int fd = memfd_create("ref", MFD_CLOEXEC);
  ASSERT_EQ(pwrite(fd, big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
  EXPECT_EQ(codec_set_reference_file(c, fd), 0);  // not configured yet: nothing to hold it to
  const int32_t small[3] = {100, 16, 1}, large[3] = {100, 16, 2};
  EXPECT_EQ(codec_init(c, CODEC_MODE_ENCODE, small), CODEC_INIT_REFUSED);
  EXPECT_EQ(codec_init(c, CODEC_MODE_UNIQUE, large), CODEC_INIT_REFUSED);
  EXPECT_EQ(codec_init(c, CODEC_MODE_ENCODE, large), 0);
  // The reference grows past the window after it was given: the stream
  // stops before its first byte.
  const Bytes more(2 << 20, 'x');
  ASSERT_EQ(pwrite(fd, more.data(), more.size(), static_cast<off_t>(big.size())), static_cast<ssize_t>(more.size()));
  uint8_t out[4096];
  codec_setbuf(c, out, sizeof out);
  EXPECT_EQ(codec_run(c), CODEC_ERROR);
  EXPECT_EQ(codec_outsize(c), 0);
  EXPECT_EQ(codec_failure(c), CODEC_FAIL_SETTINGS);
  // Only a regular file open for reading is a reference.
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  EXPECT_EQ(codec_set_reference_file(c, pipe_fds[0]), CODEC_INIT_REFUSED);
  const int write_only = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(write_only, 0);
  EXPECT_EQ(codec_set_reference_file(c, write_only), CODEC_INIT_REFUSED);
  close(write_only);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  close(fd);
  codec_destroy(c);
  // Mode u takes none.
  CodecRun unique = encoder(big, 2, 72);
  unique.mode = CODEC_MODE_UNIQUE;
  EXPECT_EQ(run_codec(big, unique).reference_status, CODEC_INIT_REFUSED);
}

}  // namespace
}  // namespace cdedup
