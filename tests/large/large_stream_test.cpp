// A stream longer than 4 GiB through the fast encoder and straight into the
// fast decoder, in process and never stored: the encoder's output blocks are
// the decoder's input blocks.  Stream positions wrap at 0xFFFF0000 and the
// statistics are 64-bit, so only a run this long reaches the position gap,
// references whose source and target lie on both sides of it, continuation
// chains through it, and totals past 32 bits.
//
// The input is pseudo-random with planted repeats of earlier stretches.  Input
// and output are compared by hash; that references were really made is seen
// from how few encoded bytes a planted stretch costs.
//
// A second decoder takes the same blocks and reads its window back from its
// output file (codec_set_output_file): a file in memory, written a few blocks
// late, behind bytes that are not the stream's, with everything more than a
// window behind punched out as it goes, so that it holds no more than the
// window and a read of anything older would give zeros.
#include <cdedup/cdedup.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "stream_hash.h"

namespace {

using cdedup::test::StreamHash;

constexpr uint64_t MiB = uint64_t{1} << 20;
constexpr uint64_t WRAP = 0xFFFF0000u;  // where stream positions start again from 0
constexpr uint64_t TOTAL = 4617089843u;  // 4.3 GiB, not a multiple of the block size
constexpr size_t BLOCK = 65536;
constexpr uint64_t RING = 64 * MiB;      // input history kept for planting repeats
constexpr uint64_t START_KEPT = 1 * MiB;  // the stream's first bytes, for a repeat long out of reach
constexpr int32_t CHUNKLEN = 100, INDEX_MIB = 64, WINDOW_MIB = 64;

// A stretch [at, at + len) that repeats the input at `from` (from < at).
struct Plant {
  const char* what;
  uint64_t at, len, from;
  bool expect_references;  // false: the source is out of the window, so literal
};

std::vector<Plant> plants() {
  std::vector<Plant> p = {
      {"copy chain through the wrap", WRAP - 1 * MiB, 2 * MiB, WRAP - 6 * MiB, true},
      {"source straddles the wrap", WRAP + 3 * MiB, 1 * MiB, WRAP - MiB / 2, true},
      {"start of stream, long gone", WRAP + 6 * MiB, 1 * MiB, 0, false},
      {"63 MiB back across the wrap", WRAP + 9 * MiB, 1 * MiB, WRAP - 54 * MiB, true},
  };
  // Controls far from the wrap, at a few distances.
  const uint64_t dist[] = {MiB + 4321, 17 * MiB, 60 * MiB};
  for (uint64_t k = 1; k <= 8; ++k) {
    const uint64_t at = k * 512 * MiB + 100 * MiB;
    p.push_back({"control", at, 1 * MiB, at - dist[k % 3], true});
  }
  return p;
}

// The input, generated a block at a time into a ring that is also the
// encoder's input buffer (a slot is rewritten only 64 MiB later).
class Source {
 public:
  explicit Source(std::vector<Plant> p) : ring_(RING), start_(START_KEPT), plants_(std::move(p)) {}

  uint64_t offset() const { return off_; }

  // The next block, or 0 bytes at the end.
  size_t next(uint8_t** block) {
    const size_t n = TOTAL - off_ < BLOCK ? size_t(TOTAL - off_) : BLOCK;
    uint8_t* dst = ring_.data() + off_ % RING;
    for (size_t i = 0; i < n; i += 8) {
      rng_ += 0x9E3779B97F4A7C15ull;
      uint64_t z = rng_;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      z ^= z >> 31;
      std::memcpy(dst + i, &z, 8);  // the ring has room past a short last block
    }
    for (const Plant& p : plants_) {
      const uint64_t lo = p.at > off_ ? p.at : off_, hi = p.at + p.len < off_ + n ? p.at + p.len : off_ + n;
      for (uint64_t x = lo; x < hi;) {
        const uint64_t s = p.from + (x - p.at);
        uint64_t k = hi - x;
        const uint8_t* src;
        if (s + k <= START_KEPT && off_ > RING) {
          src = start_.data() + s;
        } else {
          src = ring_.data() + s % RING;
          if (s % RING + k > RING) k = RING - s % RING;
        }
        std::memcpy(dst + (x - off_), src, k);
        x += k;
      }
    }
    if (off_ < START_KEPT) std::memcpy(start_.data() + off_, dst, n);
    hash_.add(dst, n);
    off_ += n;
    *block = dst;
    return n;
  }

  const StreamHash& hash() const { return hash_; }

 private:
  std::vector<uint8_t> ring_, start_;
  std::vector<Plant> plants_;
  uint64_t off_ = 0, rng_ = 0x243F6A8885A308D3ull;
  StreamHash hash_;
};

// The file the second decoder writes and reads back: blocks are written
// LAG_BLOCKS blocks after the decoder hands them back, from FILE_OFFSET on,
// and the part of the file that lies more than a window (and a MiB) behind
// is punched out every 64 MiB.
class WindowFile {
 public:
  static constexpr size_t LAG_BLOCKS = 3;
  static constexpr uint64_t FILE_OFFSET = 12345;

  WindowFile() : fd_(memfd_create("cdedup-large", MFD_CLOEXEC)) {
    const std::vector<uint8_t> other(FILE_OFFSET, 0x5A);
    ok_ = fd_ >= 0 && pwrite(fd_, other.data(), other.size(), 0) == ssize_t(other.size());
  }
  ~WindowFile() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  int fd() const { return fd_; }

  void handed_back(const uint8_t* p, size_t n) {
    pending_.emplace_back(p, p + n);
    while (pending_.size() > LAG_BLOCKS) write_oldest();
  }
  void flush() {
    while (!pending_.empty()) write_oldest();
  }

 private:
  void write_oldest() {
    const std::vector<uint8_t>& b = pending_.front();
    ok_ = ok_ && pwrite(fd_, b.data(), b.size(), off_t(FILE_OFFSET + written_)) == ssize_t(b.size());
    written_ += b.size();
    pending_.pop_front();
    const uint64_t reach = uint64_t(WINDOW_MIB + 1) * MiB;
    if (written_ >= punched_ + reach + 64 * MiB) {
      const uint64_t to = (FILE_OFFSET + written_ - reach) & ~uint64_t{4095};
      ok_ = ok_ && fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, off_t(to)) == 0;
      punched_ = written_ - reach;
    }
  }
  int fd_;
  bool ok_ = false;
  uint64_t written_ = 0, punched_ = 0;
  std::deque<std::vector<uint8_t>> pending_;
};

std::string read_all(FILE* f) {
  std::string s;
  std::rewind(f);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) != 0) s.append(buf, n);
  return s;
}

struct Stats {
  long long sum = -1, x = -1, whole = -1, tenth = -1;
};

Stats parse_stats(const std::string& report) {
  Stats s;
  const size_t at = report.rfind("sum=");
  if (at != std::string::npos)
    std::sscanf(report.c_str() + at, "sum=%lld x=%lld avglen=%lld.%lld", &s.sum, &s.x, &s.whole, &s.tenth);
  return s;
}

TEST(LargeStream, RoundTripPastFourGiBAcrossThePositionWrap) {
  const std::vector<Plant> plan = plants();
  Source source(plan);
  std::map<uint64_t, uint64_t> produced_at;  // input offset -> encoded bytes produced before it
  for (const Plant& p : plan) produced_at[p.at] = produced_at[p.at + p.len] = 0;
  produced_at[WRAP] = 0;

  FILE* enc_report = std::tmpfile();
  FILE* dec_report = std::tmpfile();
  ASSERT_NE(enc_report, nullptr);
  ASSERT_NE(dec_report, nullptr);
  Codec* enc = codec_create();
  ASSERT_NE(enc, nullptr);
  codec_set_report(enc, enc_report);
  const int32_t enc_params[3] = {CHUNKLEN, INDEX_MIB, WINDOW_MIB};
  ASSERT_EQ(codec_init(enc, CODEC_MODE_ENCODE, enc_params), 0) << codec_message(enc);
  std::vector<uint8_t> enc_out(BLOCK);
  codec_setbuf(enc, enc_out.data(), int32_t(BLOCK));
  uint64_t encoded = 0;

  // A decoder with its window in memory, and one that reads it back from its file.
  struct Decoder {
    Codec* codec = codec_create();
    std::vector<uint8_t> out = std::vector<uint8_t>(BLOCK);
    StreamHash decoded;
    bool done = false;
    int32_t last = -1;
    WindowFile* file = nullptr;
  };
  WindowFile window_file;
  ASSERT_TRUE(window_file.ok()) << "no file in memory to decode into";
  Decoder decoders[2];
  decoders[1].file = &window_file;
  const int32_t dec_params[3] = {0, 0, 0};
  for (Decoder& d : decoders) {
    ASSERT_NE(d.codec, nullptr);
    ASSERT_EQ(codec_init(d.codec, CODEC_MODE_DECODE, dec_params), 0) << codec_message(d.codec);
    codec_setbuf(d.codec, d.out.data(), int32_t(BLOCK));
  }
  codec_set_report(decoders[0].codec, dec_report);
  codec_set_report(decoders[1].codec, nullptr);
  codec_set_threads(decoders[1].codec, 2);  // runs read ahead on a helper
  ASSERT_EQ(codec_set_output_file(decoders[1].codec, window_file.fd(), int64_t(WindowFile::FILE_OFFSET),
                                  int64_t(WindowFile::LAG_BLOCKS * BLOCK)),
            0);

  // Hands one encoded block (0 bytes: the end) to a decoder and runs it
  // until it wants more input or finishes.
  auto feed_decoder = [&](Decoder& d, uint8_t* p, int32_t n) {
    codec_setbuf(d.codec, p, n);
    for (int eof_asks = 0;;) {
      d.last = codec_run(d.codec);
      if (d.last == CODEC_OUTPUT_FULL || d.last == CODEC_DONE) {
        const size_t k = size_t(codec_outsize(d.codec));
        d.decoded.add(d.out.data(), k);
        if (d.file != nullptr) d.file->handed_back(d.out.data(), k);
      }
      if (d.last == CODEC_OUTPUT_FULL) {
        codec_setbuf(d.codec, d.out.data(), int32_t(BLOCK));
        continue;
      }
      if (d.last == CODEC_NEED_INPUT && n == 0 && ++eof_asks < 16) {
        codec_setbuf(d.codec, p, 0);  // every read past the end asks once more
        continue;
      }
      d.done = d.last == CODEC_DONE;
      return;
    }
  };

  const auto t0 = std::chrono::steady_clock::now();
  for (Decoder& d : decoders) ASSERT_EQ(codec_run(d.codec), CODEC_NEED_INPUT);
  for (;;) {
    const int32_t y = codec_run(enc);
    if (y == CODEC_NEED_INPUT) {
      const auto it = produced_at.find(source.offset());
      if (it != produced_at.end()) it->second = encoded + uint64_t(codec_outsize(enc));
      uint8_t* block = nullptr;
      const size_t n = source.next(&block);
      codec_setbuf(enc, block, int32_t(n));
      continue;
    }
    ASSERT_TRUE(y == CODEC_OUTPUT_FULL || y == CODEC_DONE) << "encoder yielded " << y << ": " << codec_message(enc);
    const int32_t n = codec_outsize(enc);
    encoded += uint64_t(n);
    if (n > 0) {
      for (Decoder& d : decoders) {
        feed_decoder(d, enc_out.data(), n);
        ASSERT_EQ(d.last, CODEC_NEED_INPUT) << "decoder: " << codec_message(d.codec) << " after " << d.decoded.total();
      }
    }
    if (y == CODEC_DONE) break;
    codec_setbuf(enc, enc_out.data(), int32_t(BLOCK));
  }
  for (Decoder& d : decoders) feed_decoder(d, enc_out.data(), 0);
  window_file.flush();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  for (Decoder& d : decoders) {
    ASSERT_TRUE(d.done) << "decoder ended with " << d.last << ": " << codec_message(d.codec);
    EXPECT_STREQ(codec_message(d.codec), "");
  }
  EXPECT_TRUE(window_file.ok()) << "the decoder's file could not be written or punched";

  codec_finish(enc);
  codec_destroy(enc);
  for (Decoder& d : decoders) {
    codec_finish(d.codec);
    codec_destroy(d.codec);
  }
  const StreamHash& decoded = decoders[0].decoded;
  const std::string enc_lines = read_all(enc_report), dec_lines = read_all(dec_report);
  std::fclose(enc_report);
  std::fclose(dec_report);

  std::printf("[ large    ] %" PRIu64 " bytes -> %" PRIu64 " encoded -> %" PRIu64 " decoded twice in %.1f s (%.0f MB/s through all three)\n",
              source.hash().total(), encoded, decoded.total(), seconds, double(TOTAL) / seconds / 1e6);

  ASSERT_EQ(source.hash().total(), TOTAL);
  ASSERT_EQ(decoded.total(), TOTAL);
  EXPECT_EQ(decoded.digest(), source.hash().digest()) << "the decoded bytes are not the input";
  EXPECT_EQ(decoders[1].decoded.total(), TOTAL);
  EXPECT_EQ(decoders[1].decoded.digest(), source.hash().digest()) << "decoding into a file gave other bytes";

  // Encoded cost of each planted stretch: a few bytes per chunk when it became
  // references, about its own length when it stayed literal.
  for (const Plant& p : plan) {
    const uint64_t cost = produced_at[p.at + p.len] - produced_at[p.at];
    std::printf("[ large    ] %-28s at %#" PRIx64 ": %" PRIu64 " encoded bytes for %" PRIu64 "\n", p.what, p.at, cost,
                p.len);
    if (p.expect_references)
      EXPECT_LT(cost, p.len / 10) << p.what << " at " << p.at << " was not turned into references";
    else
      EXPECT_GT(cost, p.len - p.len / 100) << p.what << " at " << p.at << " was referenced outside the window";
  }
  // Both halves of the chain through the wrap, on their own.
  EXPECT_LT(produced_at[WRAP] - produced_at[WRAP - MiB], MiB / 10) << "no references right before the wrap";
  EXPECT_LT(produced_at[WRAP + MiB] - produced_at[WRAP], MiB / 10) << "no references right after the wrap";

  // sum= is the low 32 bits of the 64-bit total read as signed; avglen= comes
  // from the 64-bit total and count.
  for (const std::string* lines : {&enc_lines, &dec_lines}) {
    const Stats s = parse_stats(*lines);
    ASSERT_GT(s.x, 0) << *lines;
    EXPECT_EQ(s.sum, int64_t(int32_t(uint32_t(TOTAL)))) << *lines;
    const uint64_t tenths = 10 * TOTAL / uint64_t(s.x);
    EXPECT_EQ(s.whole, int64_t(tenths / 10)) << *lines;
    EXPECT_EQ(s.tenth, int64_t(tenths % 10)) << *lines;
  }
  EXPECT_EQ(parse_stats(enc_lines).x, parse_stats(dec_lines).x) << "encoder and decoder count different chunks";
}

}  // namespace
