// Drives one Codec the way a front end does, for the fuzz targets, and keeps
// everything a caller can observe: output bytes, every yield, the message and
// the printed lines.
//
// Every input and output block is a heap block of exactly its own size, and an
// input block is freed as soon as the next one is handed over, so
// AddressSanitizer catches a codec that reads or writes past a block, or keeps
// reading one it has given back.  Checks abort: libFuzzer then keeps the input.
#pragma once

#include <cdedup/cdedup.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
  std::abort();
}
#define FUZZ_CHECK(cond)                                   \
  do {                                                     \
    if (!(cond)) ::fuzz::fail(#cond, __FILE__, __LINE__);  \
  } while (0)

inline uint64_t splitmix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Sizes of successive blocks: fixed, or ragged with most blocks tiny (buffer
// edges are where span code goes wrong) and a few up to 70000 bytes.
struct BlockSizes {
  size_t fixed = 65536;
  uint64_t state = 0;

  static BlockSizes constant(size_t n) { return BlockSizes{n, 0}; }
  static BlockSizes ragged(uint64_t seed) { return BlockSizes{0, seed}; }

  size_t next() {
    if (fixed != 0) return fixed;
    const uint64_t r = splitmix(state);
    const uint64_t v = r >> 8;
    switch (r & 7) {
      case 0: case 1: case 2: case 3: return 1 + v % 16;
      case 4: case 5: return 1 + v % 512;
      case 6: return 1 + v % 8192;
      default: return 1 + v % 70000;
    }
  }
};

struct Run {
  int32_t mode = CODEC_MODE_ENCODE;
  int32_t params[3] = {100, 256, 1024};
  bool reference = false;
  BlockSizes in;
  BlockSizes out;
  size_t out_cap = SIZE_MAX;        // stop at the first full output block past this many bytes
  size_t out_block_cap = SIZE_MAX;  // or past this many full output blocks
};

struct Result {
  int32_t init = 0;
  Bytes out;
  std::vector<int32_t> yields;
  int32_t final_yield = -1;  // CODEC_DONE or CODEC_ERROR; -1 when capped
  bool capped = false;
  std::string message;
  std::string report;
};

inline Result pump(const uint8_t* data, size_t n, Run run) {
  Result r;
  char* report_buf = nullptr;
  size_t report_len = 0;
  FILE* report = open_memstream(&report_buf, &report_len);
  FUZZ_CHECK(report != nullptr);
  Codec* c = codec_create();
  FUZZ_CHECK(c != nullptr);
  codec_set_report(c, report);
  codec_set_reference_path(c, run.reference);
  r.init = codec_init(c, run.mode, run.params);

  uint8_t* in_block = nullptr;
  uint8_t* out_block = nullptr;
  size_t out_len = 0, off = 0, eof_asks = 0, full_blocks = 0;
  if (r.init == 0) {
    out_len = run.out.next();
    out_block = static_cast<uint8_t*>(std::malloc(out_len));
    codec_setbuf(c, out_block, static_cast<int32_t>(out_len));
    for (;;) {
      const int32_t y = codec_run(c);
      r.yields.push_back(y);
      if (y == CODEC_NEED_INPUT) {
        std::free(in_block);
        in_block = nullptr;
        size_t k = 0;
        if (off < n) {
          k = run.in.next();
          if (k > n - off) k = n - off;
          in_block = static_cast<uint8_t*>(std::malloc(k));
          std::memcpy(in_block, data + off, k);
          off += k;
        } else {
          // Each read past the end costs one exchange; a handful is plenty.
          FUZZ_CHECK(++eof_asks < 64);
        }
        codec_setbuf(c, in_block, static_cast<int32_t>(k));
        continue;
      }
      const size_t got = static_cast<size_t>(codec_outsize(c));
      FUZZ_CHECK(got <= out_len);
      r.out.insert(r.out.end(), out_block, out_block + got);
      if (y == CODEC_OUTPUT_FULL) {
        FUZZ_CHECK(got == out_len);
        std::free(out_block);
        if (r.out.size() >= run.out_cap || ++full_blocks >= run.out_block_cap) {
          out_block = nullptr;
          r.capped = true;
          break;
        }
        out_len = run.out.next();
        out_block = static_cast<uint8_t*>(std::malloc(out_len));
        codec_setbuf(c, out_block, static_cast<int32_t>(out_len));
        continue;
      }
      FUZZ_CHECK(y == CODEC_DONE || y == CODEC_ERROR);
      r.final_yield = y;
      break;
    }
  }
  r.message = codec_message(c);
  FUZZ_CHECK(r.final_yield != CODEC_ERROR || !r.message.empty());
  FUZZ_CHECK(r.final_yield != CODEC_DONE || r.message.empty());
  codec_finish(c);
  codec_destroy(c);
  std::free(in_block);
  std::free(out_block);
  std::fclose(report);
  r.report.assign(report_buf, report_len);
  std::free(report_buf);
  return r;
}

// The printed lines less the index's address, which differs from run to run.
inline std::string stable_report(std::string report) {
  const size_t at = report.find("htbl=");
  if (at != std::string::npos) report.erase(at + 5, report.find('\n', at) - (at + 5));
  return report;
}

// The two paths promise the same bytes, yields, failure and printed lines.
inline void check_same(const Result& a, const Result& b) {
  FUZZ_CHECK(a.init == b.init);
  FUZZ_CHECK(a.out == b.out);
  FUZZ_CHECK(a.yields == b.yields);
  FUZZ_CHECK(a.final_yield == b.final_yield);
  FUZZ_CHECK(a.capped == b.capped);
  FUZZ_CHECK(a.message == b.message);
  // A capped run stops inside the stream, where only output and yields are promised.
  if (!a.capped) FUZZ_CHECK(stable_report(a.report) == stable_report(b.report));
}

// The "sum=..." line of a report, or "" when there is none.
inline std::string stats_line(const std::string& report) {
  const size_t at = report.rfind("sum=");
  if (at == std::string::npos) return {};
  return report.substr(at, report.find('\n', at) - at);
}

// Encoder parameters from the first five input bytes, biased towards small
// chunk lengths (short chunks make repeats, and so references, common), small
// tables and small windows.  The plaintext is the rest of the input, repeated
// up to four times so that copies and continuation chains are the rule.
struct Plan {
  int32_t params[3];
  Bytes plain;
};

inline constexpr size_t PLAN_BYTES = 5;

inline Plan make_plan(const uint8_t* data, size_t n) {
  uint8_t h[PLAN_BYTES] = {};
  std::memcpy(h, data, n < PLAN_BYTES ? n : PLAN_BYTES);
  const uint32_t wide = uint32_t(h[1]) | uint32_t(h[2]) << 8;
  Plan p{};
  switch (h[0] & 3) {
    case 0: p.params[0] = int32_t(1 + h[1] % 4); break;  // 64-byte chunks, or nearly
    case 1: p.params[0] = int32_t(1 + h[1]); break;
    case 2: p.params[0] = int32_t(1 + wide % 4096); break;
    default: p.params[0] = int32_t(1 + wide % 65535); break;
  }
  p.params[1] = 1 + (h[3] & 7);       // index MiB, 1..8
  p.params[2] = (h[3] >> 3) % 9;      // window MiB, 0..8 (0: no references possible)
  const size_t repeats = 1 + (h[4] & 3);
  const uint8_t* body = data + (n < PLAN_BYTES ? n : PLAN_BYTES);
  const size_t body_len = n < PLAN_BYTES ? 0 : n - PLAN_BYTES;
  p.plain.reserve(body_len * repeats);
  for (size_t i = 0; i < repeats; ++i) p.plain.insert(p.plain.end(), body, body + body_len);
  return p;
}

}  // namespace fuzz
