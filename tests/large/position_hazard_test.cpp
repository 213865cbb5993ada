// The hazard that exact positions answer.  The stream format counts positions
// modulo POS_LIMIT (4 GiB - 64 KiB), so to an encoder that did the same, a
// chunk POS_LIMIT + d bytes back would look d bytes back, and a reference to
// it would name the wrong bytes.  Mode e now measures each entry's exact
// distance when it looks it up.
//
// The stream is 4 GiB of zeros between a few stretches of random bytes: the
// zeros cost the index one entry, so the first stretches' entries are still
// there when copies of them come POS_LIMIT + 4 KiB and 4 GiB + 8 KiB later,
// where the format's distance (4 KiB, 72 KiB) lies inside the 1 MiB window.
// Both copies must be written in full; a third copy, within the window of
// the entries they filed anew, must become references.  The same pass
// decodes the stream and runs a second encoder on two threads that rebases
// its positions every GiB: its output must be the first encoder's.
#include <cdedup/cdedup.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "dedup/exact_index.h"
#include "stream_hash.h"

namespace {

using cdedup::test::StreamHash;

constexpr uint64_t KiB = 1024, MiB = KiB * KiB;
constexpr uint64_t POS_LIMIT = 0xFFFF0000u;
constexpr uint64_t PART = 256 * KiB;  // each random stretch that comes back
constexpr uint64_t FRESH = 64 * KiB;  // random bytes before a copy: the zeros' last chunk ends in them
constexpr size_t BLOCK = 65536;
const int32_t PARAMS[3] = {100, 16, 1};  // a 1 MiB window

constexpr uint64_t P1 = POS_LIMIT + 4 * KiB;                  // A again
constexpr uint64_t P2 = (uint64_t{1} << 32) + PART + 8 * KiB;  // B again
constexpr uint64_t P3 = P2 + PART + FRESH;                     // A once more
constexpr uint64_t TOTAL = P3 + PART + 3 * MiB / 2 + 12345;    // past 4 GiB + W

enum class Expect { any, literal, references };

// A stretch of the input; every byte outside the stretches is zero.
struct Stretch {
  const char* what;
  uint64_t at, len;
  uint64_t from;  // where its bytes come from: a fresh stretch names itself
  Expect expect;
};

const Stretch STRETCHES[] = {
    {"A", 0, PART, 0, Expect::any},
    {"B", PART, PART, PART, Expect::any},
    {"fresh before A's copy", P1 - FRESH, FRESH, P1 - FRESH, Expect::any},
    {"A, POS_LIMIT + 4 KiB back", P1, PART, 0, Expect::literal},
    {"fresh before B's copy", P1 + PART, P2 - P1 - PART, P1 + PART, Expect::any},
    {"B, 4 GiB + 8 KiB back", P2, PART, PART, Expect::literal},
    {"fresh", P2 + PART, FRESH, P2 + PART, Expect::any},
    {"A, 644 KiB after its copy", P3, PART, 0, Expect::references},
    {"fresh tail", P3 + PART, TOTAL - P3 - PART, P3 + PART, Expect::any},
};

// Random bytes as a function of the offset they stand for, so that a copy
// needs no history.
uint8_t random_byte(uint64_t off) {
  uint64_t z = (off >> 3) * 0x9E3779B97F4A7C15ull + 0x243F6A8885A308D3ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<uint8_t>(z >> (8 * (off & 7)));
}

// The input [off, off + n) into dst.
void generate(uint64_t off, size_t n, uint8_t* dst) {
  std::memset(dst, 0, n);
  for (const Stretch& s : STRETCHES)
    for (uint64_t x = std::max(off, s.at); x < std::min(off + n, s.at + s.len); ++x)
      dst[x - off] = random_byte(s.from + (x - s.at));
}

// The next block ends at a stretch's edge if one comes first, so that the
// encoded bytes produced before each edge can be read off.
uint64_t block_end(uint64_t off) {
  uint64_t end = std::min<uint64_t>(off + BLOCK, TOTAL);
  for (const Stretch& s : STRETCHES) {
    if (s.at > off && s.at < end) end = s.at;
    if (s.at + s.len > off && s.at + s.len < end) end = s.at + s.len;
  }
  return end;
}

// One codec driven through the API, its output blocks handed to a sink.
class Pump {
 public:
  Pump(int32_t mode, int32_t threads) : out_(BLOCK) {
    codec_ = codec_create();
    report_ = std::tmpfile();
    codec_set_report(codec_, report_);
    codec_set_threads(codec_, threads);
    init_ = codec_init(codec_, mode, PARAMS);
  }
  ~Pump() {
    codec_destroy(codec_);
    if (report_ != nullptr) std::fclose(report_);
  }
  Pump(const Pump&) = delete;
  Pump& operator=(const Pump&) = delete;

  bool ready() const { return codec_ != nullptr && report_ != nullptr && init_ == 0; }
  Codec* codec() { return codec_; }
  bool done() const { return done_; }
  const std::string& failure() const { return failure_; }
  // Bytes produced so far, those not yet handed on included.
  uint64_t produced() const { return produced_ + uint64_t(codec_outsize(codec_)); }

  // Runs until the codec wants input (or is done), then hands it n bytes
  // (0: the end) and runs until it wants more or is done.
  template <class Sink>
  void feed(const uint8_t* p, size_t n, Sink&& sink) {
    if (!started_) {
      started_ = true;
      codec_setbuf(codec_, out_.data(), int32_t(BLOCK));
      if (!run_until_input(sink)) return;
    }
    codec_setbuf(codec_, const_cast<uint8_t*>(p), int32_t(n));
    if (!run_until_input(sink) || n != 0) return;
    // Every read past the end asks once more.
    for (int asks = 0; !done_ && failure_.empty() && asks < 16; ++asks) {
      codec_setbuf(codec_, const_cast<uint8_t*>(p), 0);
      run_until_input(sink);
    }
    if (!done_ && failure_.empty()) failure_ = "does not finish at the end of its input";
  }

 private:
  template <class Sink>
  bool run_until_input(Sink& sink) {
    for (;;) {
      const int32_t y = codec_run(codec_);
      if (y == CODEC_NEED_INPUT) return true;
      if (y == CODEC_OUTPUT_FULL || y == CODEC_DONE) {
        const size_t k = size_t(codec_outsize(codec_));
        sink(out_.data(), k);
        produced_ += k;
        if (y == CODEC_DONE) {
          done_ = true;
          return false;
        }
        codec_setbuf(codec_, out_.data(), int32_t(BLOCK));
        continue;
      }
      failure_ = std::string("yielded ") + std::to_string(y) + ": " + codec_message(codec_);
      return false;
    }
  }

  Codec* codec_ = nullptr;
  FILE* report_ = nullptr;
  int32_t init_ = -1;
  bool started_ = false, done_ = false;
  uint64_t produced_ = 0;
  std::string failure_;
  std::vector<uint8_t> out_;
};

TEST(LargeStream, ChunkFourGiBBackIsWrittenInFull) {
  Pump enc(CODEC_MODE_ENCODE, 1), dec(CODEC_MODE_DECODE, 1), enc2(CODEC_MODE_ENCODE, 2);
  ASSERT_TRUE(enc.ready() && dec.ready() && enc2.ready());
  cdedup::index_set_rebase_span(enc2.codec()->index, uint64_t{1} << 30);

  StreamHash input, encoded, encoded2, decoded;
  auto to_decoder = [&](const uint8_t* p, size_t n) {
    encoded.add(p, n);
    if (n != 0) dec.feed(p, n, [&](const uint8_t* q, size_t k) { decoded.add(q, k); });
  };
  auto hash2 = [&](const uint8_t* p, size_t n) { encoded2.add(p, n); };

  std::map<uint64_t, uint64_t> produced_at;  // at each stretch's edges: encoded bytes before it
  for (const Stretch& s : STRETCHES) produced_at[s.at] = produced_at[s.at + s.len] = 0;
  std::vector<uint8_t> block(BLOCK);
  for (uint64_t off = 0; off < TOTAL;) {
    if (const auto it = produced_at.find(off); it != produced_at.end()) it->second = enc.produced();
    const uint64_t end = block_end(off);
    generate(off, size_t(end - off), block.data());
    input.add(block.data(), size_t(end - off));
    enc.feed(block.data(), size_t(end - off), to_decoder);
    enc2.feed(block.data(), size_t(end - off), hash2);
    ASSERT_EQ(enc.failure() + dec.failure() + enc2.failure(), "") << "at " << off;
    off = end;
  }
  enc.feed(block.data(), 0, to_decoder);
  enc2.feed(block.data(), 0, hash2);
  dec.feed(block.data(), 0, [&](const uint8_t* q, size_t k) { decoded.add(q, k); });
  ASSERT_TRUE(enc.done() && enc2.done() && dec.done()) << enc.failure() << dec.failure() << enc2.failure();

  std::printf("[ large    ] %" PRIu64 " bytes -> %" PRIu64 " encoded -> %" PRIu64 " decoded\n", input.total(),
              encoded.total(), decoded.total());
  EXPECT_EQ(input.total(), TOTAL);
  EXPECT_EQ(decoded.total(), TOTAL);
  EXPECT_EQ(decoded.digest(), input.digest()) << "the decoded bytes are not the input";
  EXPECT_EQ(encoded2.total(), encoded.total()) << "two threads and rebases changed the output";
  EXPECT_EQ(encoded2.digest(), encoded.digest()) << "two threads and rebases changed the output";

  produced_at[TOTAL] = encoded.total();
  for (const Stretch& s : STRETCHES) {
    const uint64_t cost = produced_at[s.at + s.len] - produced_at[s.at];
    std::printf("[ large    ] %-28s at %#" PRIx64 ": %" PRIu64 " encoded bytes for %" PRIu64 "\n", s.what, s.at,
                cost, s.len);
    if (s.expect == Expect::literal) {
      EXPECT_GE(cost, s.len - s.len / 100) << s.what << " was referenced from 4 GiB back";
    } else if (s.expect == Expect::references) {
      EXPECT_LT(cost, s.len / 10) << s.what << " was not turned into references";
    }
  }
}

}  // namespace
