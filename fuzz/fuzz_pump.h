// Drives Codec instances the way a front end does, for the fuzz targets, and
// keeps everything a caller can observe: output bytes, every yield, the
// message and the printed lines.
//
// Instances live as long as the process and go from one input to the next
// through codec_reset, or codec_init on a used instance: that is how an
// embedder reuses them, and it spares every input the set-up of a codec
// block and a fresh index or window, which cost more than the run itself.
//
// Every input and output block is a heap block of exactly its own size, and an
// input block is freed as soon as the next one is handed over, so
// AddressSanitizer catches a codec that reads or writes past a block, or keeps
// reading one it has given back.  Checks abort: libFuzzer then keeps the input.
#pragma once

#include <cdedup/cdedup.h>
#include <sanitizer/asan_interface.h>
#include <unistd.h>

#include "codec/codec.h"
#include "codec/encoder_parallel.h"
#include "dedup/stream_hash.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// The inputs run before the current one.  Instances carry state from one
// input to the next, so a fault in what a stream leaves behind shows only
// after the input that left it: when the process dies, the last few are
// written beside libFuzzer's artifacts as previous-1 (the latest), previous-2
// and so on, and `target previous-2 previous-1 crash-...` replays them in
// that order in one process.
class History {
 public:
  static History& get() {
    static History h;
    return h;
  }
  void set_prefix(std::string prefix) { prefix_ = std::move(prefix); }
  // Called as each input starts; the one before becomes previous-1.
  void record(const uint8_t* data, size_t n) {
    next_ = (next_ + 1) % KEEP;
    slots_[next_].assign(data, data + n);
    ++count_;
  }
  void write() const {
    for (size_t back = 1; back < KEEP && back < count_; ++back) {
      const std::string name = prefix_ + "previous-" + std::to_string(back);
      if (FILE* f = std::fopen(name.c_str(), "wb")) {
        const Bytes& b = slots_[(next_ + KEEP - back) % KEEP];
        std::fwrite(b.data(), 1, b.size(), f);
        std::fclose(f);
        std::fprintf(stderr, "input run %zu before the failing one: %s\n", back, name.c_str());
      }
    }
  }

 private:
  static constexpr size_t KEEP = 4;  // the current input and three before it
  std::vector<uint8_t> slots_[KEEP];
  size_t next_ = 0, count_ = 0;
  std::string prefix_;
};

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
  History::get().write();
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

inline uint64_t fnv1a(const uint8_t* data, size_t n) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
  return h ^ (h >> 29);
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

// How one codec is configured for one stream.  Targets fill it from input
// bytes; a new codec setting is a field here and a line in Instance::start.
struct Settings {
  int32_t mode = CODEC_MODE_ENCODE;
  int32_t params[3] = {100, 1, 1};  // the decoder takes its own from the stream
  bool reference = false;
  int32_t threads = 1;         // codec_set_threads
  uint32_t segment_bytes = 0;  // with threads: the encoder's work cut this small (0: its own)
  uint32_t segments = 0;
  bool checked = false;        // codec_set_checked: the encoder writes a frame, the decoder requires one
  bool caller_hash = false;    // codec_set_caller_hash: the pump hashes what the decoder decodes
  int patch_fd = -1;           // codec_set_reference_file: a patch's reference file (-1: none)

  bool operator==(const Settings&) const = default;
};

// One stream through one instance: its settings and how it is fed.
struct Run {
  Settings settings;
  bool reinit = false;              // codec_init even when codec_reset would do
  BlockSizes in;
  BlockSizes out;
  size_t out_cap = SIZE_MAX;        // stop at the first full output block past this many bytes
  size_t out_block_cap = SIZE_MAX;  // or past this many full output blocks
  size_t in_block_cap = SIZE_MAX;   // or when the codec asks for input after this many blocks
  int output_file = -1;             // a decoder's output also goes here, its window read back from it
};

struct Result {
  int32_t init = 0;
  Bytes out;
  std::vector<int32_t> yields;
  int32_t final_yield = -1;  // CODEC_DONE or CODEC_ERROR; -1 when capped
  bool capped = false;
  std::string message;
  std::string init_report;  // what codec_init printed; empty after codec_reset
  std::string report;       // what the stream and codec_finish printed
  int32_t failure = 0;      // codec_failure
  // With caller_hash: frames whose end was reported, and those whose bytes
  // hashed to what codec_frame_digest gave.
  size_t frame_ends = 0, frames_matching = 0;
};

// A codec that outlives the input it runs, with a report stream of its own.
class Instance {
 public:
  Instance() {
    report_ = open_memstream(&report_buf_, &report_len_);
    FUZZ_CHECK(report_ != nullptr);
    codec_ = codec_create();
    FUZZ_CHECK(codec_ != nullptr);
    codec_set_report(codec_, report_);
  }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;
  ~Instance() {
    codec_destroy(codec_);
    std::fclose(report_);
    std::free(report_buf_);
  }

  Result pump(const uint8_t* data, size_t n, const Run& run) {
    Result r;
    std::rewind(report_);
    r.init = start(run);
    r.init_report = printed();
    std::rewind(report_);
    out_.clear();
    yields_.clear();
    if (r.init == 0 && run.output_file >= 0) {
      FUZZ_CHECK(ftruncate(run.output_file, 0) == 0);
      FUZZ_CHECK(codec_set_output_file(codec_, run.output_file, 0, 0) == 0);
    }
    if (r.init == 0) feed(data, n, run, r);
    r.out = out_;
    r.yields = yields_;
    r.message = codec_message(codec_);
    r.failure = codec_failure(codec_);
    FUZZ_CHECK(r.init != 0 || r.capped || (r.final_yield == CODEC_ERROR) == (r.failure != CODEC_FAIL_NONE));
    FUZZ_CHECK(r.final_yield != CODEC_ERROR || !r.message.empty());
    FUZZ_CHECK(r.final_yield != CODEC_DONE || r.message.empty());
    codec_finish(codec_);
    r.report = printed();
    return r;
  }

 private:
  // codec_reset when the last stream ended its init cleanly with the same
  // settings, else codec_init again; both on an instance that has run before.
  int32_t start(const Run& run) {
    const Settings& s = run.settings;
    if (ready_ && !run.reinit && s == last_) {
      codec_reset(codec_);
      return 0;
    }
    codec_set_reference_path(codec_, s.reference);
    codec_set_threads(codec_, s.threads);
    // Frame settings wait for no stream under way (a capped run leaves one).
    codec_reset(codec_);
    FUZZ_CHECK(codec_set_checked(codec_, 0) == 0);
    FUZZ_CHECK(codec_set_caller_hash(codec_, s.caller_hash) == 0);
    // A reference is held to the window of the settings that take it, so it follows codec_init.
    FUZZ_CHECK(codec_set_reference_file(codec_, -1) == 0);
    const int32_t rc = codec_init(codec_, s.mode, s.params);
    if (rc == 0 && s.patch_fd >= 0) FUZZ_CHECK(codec_set_reference_file(codec_, s.patch_fd) == 0);
    if (rc == 0 && s.checked) FUZZ_CHECK(codec_set_checked(codec_, 1) == (s.mode == CODEC_MODE_UNIQUE ? CODEC_INIT_REFUSED : 0));
    if (rc == 0 && s.segment_bytes != 0 && cdedup::parallel_encoder_prepare(*codec_))
      FUZZ_CHECK(cdedup::parallel_encoder_set_shape(codec_->parallel, s.segment_bytes, s.segments));
    ready_ = rc == 0;
    last_ = s;
    return rc;
  }

  // What the codec printed since the stream was last rewound.
  std::string printed() {
    std::fflush(report_);
    return std::string(report_buf_, static_cast<size_t>(std::ftell(report_)));
  }

  void feed(const uint8_t* data, size_t n, const Run& run, Result& r) {
    BlockSizes in = run.in, out = run.out;
    uint8_t* in_block = nullptr;
    size_t out_len = out.next();
    uint8_t* out_block = static_cast<uint8_t*>(std::malloc(out_len));
    size_t off = 0, eof_asks = 0, full_blocks = 0, in_blocks = 0;
    cdedup::StreamHash frame_hash;  // the caller's own hash of a frame's decoded bytes
    cdedup::stream_hash_reset(frame_hash);
    codec_setbuf(codec_, out_block, static_cast<int32_t>(out_len));
    for (;;) {
      const int32_t y = codec_run(codec_);
      yields_.push_back(y);
      if (y == CODEC_NEED_INPUT) {
        std::free(in_block);
        in_block = nullptr;
        if (in_blocks++ >= run.in_block_cap) {
          r.capped = true;
          break;
        }
        size_t k = 0;
        if (off < n) {
          k = in.next();
          if (k > n - off) k = n - off;
          in_block = static_cast<uint8_t*>(std::malloc(k));
          std::memcpy(in_block, data + off, k);
          off += k;
        } else {
          // Each read past the end costs one exchange; a handful is plenty.
          FUZZ_CHECK(++eof_asks < 64);
        }
        codec_setbuf(codec_, in_block, static_cast<int32_t>(k));
        continue;
      }
      const size_t got = static_cast<size_t>(codec_outsize(codec_));
      FUZZ_CHECK(got <= out_len);
      // Written before the next codec_run: a lag of 0.
      if (run.output_file >= 0 && got != 0)
        FUZZ_CHECK(pwrite(run.output_file, out_block, got, static_cast<off_t>(out_.size())) == static_cast<ssize_t>(got));
      out_.insert(out_.end(), out_block, out_block + got);
      if (run.settings.caller_hash) cdedup::stream_hash_update(frame_hash, out_block, got);
      if (y == CODEC_FRAME_END) {
        FUZZ_CHECK(run.settings.caller_hash);
        uint64_t size = 0, hash = 0;
        FUZZ_CHECK(codec_frame_digest(codec_, &size, &hash) == 0);
        ++r.frame_ends;
        if (hash == cdedup::stream_hash_digest(frame_hash)) ++r.frames_matching;
        cdedup::stream_hash_reset(frame_hash);
      }
      if (y == CODEC_OUTPUT_FULL || y == CODEC_FRAME_END) {
        FUZZ_CHECK(got == out_len || y == CODEC_FRAME_END);
        std::free(out_block);
        out_block = nullptr;
        if (out_.size() >= run.out_cap || ++full_blocks >= run.out_block_cap) {
          r.capped = true;
          break;
        }
        out_len = out.next();
        out_block = static_cast<uint8_t*>(std::malloc(out_len));
        codec_setbuf(codec_, out_block, static_cast<int32_t>(out_len));
        continue;
      }
      FUZZ_CHECK(y == CODEC_DONE || y == CODEC_ERROR);
      r.final_yield = y;
      break;
    }
    std::free(in_block);
    std::free(out_block);
  }

  Codec* codec_ = nullptr;
  FILE* report_ = nullptr;
  char* report_buf_ = nullptr;
  size_t report_len_ = 0;
  bool ready_ = false;
  Settings last_;
  // Grown once and kept: a stream handed out a byte at a time would
  // otherwise regrow them all the way up for every input.
  Bytes out_;
  std::vector<int32_t> yields_;
};

// Instances of one role, one for each size of table they meet (index
// parameter or window bytes), so that an input of one size does not make the
// next input of another map its table anew.  The sizes inputs can ask for
// are few.
class Pool {
 public:
  Instance& sized(uint64_t table) { return pool_[table]; }

 private:
  std::map<uint64_t, Instance> pool_;
};

// The printed lines less the index's address, which differs from run to run.
inline std::string stable_report(std::string report) {
  const size_t at = report.find("htbl=");
  if (at != std::string::npos) report.erase(at + 5, report.find('\n', at) - (at + 5));
  return report;
}

// The two paths promise the same bytes, yields, failure and printed lines
// (the configuration line only when both instances printed one: which of them
// restarts by codec_reset depends on what each ran before).
inline void check_same(const Result& a, const Result& b) {
  FUZZ_CHECK(a.init == b.init);
  if (!a.init_report.empty() && !b.init_report.empty())
    FUZZ_CHECK(stable_report(a.init_report) == stable_report(b.init_report));
  FUZZ_CHECK(a.out == b.out);
  FUZZ_CHECK(a.yields == b.yields);
  FUZZ_CHECK(a.final_yield == b.final_yield);
  FUZZ_CHECK(a.capped == b.capped);
  FUZZ_CHECK(a.message == b.message);
  FUZZ_CHECK(a.failure == b.failure);
  FUZZ_CHECK(a.frame_ends == b.frame_ends && a.frames_matching == b.frames_matching);
  // A capped run stops inside the stream, where only output and yields are promised.
  if (!a.capped) FUZZ_CHECK(stable_report(a.report) == stable_report(b.report));
}

// `input` through the byte-at-a-time path and the fast path alike; they must
// agree, and the stream must end cleanly.  The fast path's result.
inline Result both_paths(Instance& ref_codec, Instance& fast_codec, const Bytes& input, Run run) {
  run.settings.reference = true;
  const Result ref = ref_codec.pump(input.data(), input.size(), run);
  run.settings.reference = false;
  Result fast = fast_codec.pump(input.data(), input.size(), run);
  check_same(ref, fast);
  FUZZ_CHECK(fast.final_yield == CODEC_DONE);
  return fast;
}

// The "sum=..." line of a report, or "" when there is none.
inline std::string stats_line(const std::string& report) {
  const size_t at = report.rfind("sum=");
  if (at == std::string::npos) return {};
  return report.substr(at, report.find('\n', at) - at);
}

// An encoder run and its plaintext, from the first PLAN_BYTES input bytes and
// the rest:
//   byte 0   bits 0-1 chunk-length class; bits 2-3 0: codec_init again on
//            the used instances (else codec_reset when the settings allow)
//   byte 1-2 chunk length within its class
//   byte 3   table sizes: bits 0-4 31 large, 26-30 no window, else small;
//            bits 5-7 which small index or large window
//   byte 4   bits 0-1 how often the rest repeats (1 to 4 times)
//   byte 0   bits 4-7 threads for a threaded encoder run: 1 (none) for
//            three inputs in four, else 2, 3 or 8 (a run on threads costs
//            a few hand-overs between them per block)
//   byte 4   bits 2-4 its segment size, bits 5-7 segments a block
// Short chunks make repeats, and so references, common.  The fuzz library
// counts index parameters in 4 KiB (204 slots), so a small index of 1 to 16
// units holds about as many chunks as an input makes, and fills, evicts and
// wraps; the window is 1 MiB, the least the format can say, which holds any
// plaintext here.  One input in 32 takes the tables of a real run: an
// index of 1 MiB (52428 slots, the least outside fuzzing) and a window of 1
// to 16 MiB.  Larger indexes add no code, only a clear of the whole table on
// every restart, which would cost more than all the small inputs together.
// The plaintext repeats so that copies and continuation chains are the rule.
struct Plan {
  Settings settings;
  bool reinit = false;
  Bytes plain;
  Settings threaded;  // settings, on more threads (threads 1: no such run)
};

inline constexpr size_t PLAN_BYTES = 5;

inline Plan make_plan(const uint8_t* data, size_t n) {
  uint8_t h[PLAN_BYTES] = {};
  std::memcpy(h, data, n < PLAN_BYTES ? n : PLAN_BYTES);
  const uint32_t wide = uint32_t(h[1]) | uint32_t(h[2]) << 8;
  Plan p{};
  int32_t* params = p.settings.params;
  switch (h[0] & 3) {
    case 0: params[0] = int32_t(1 + h[1] % 4); break;  // 64-byte chunks, or nearly
    case 1: params[0] = int32_t(1 + h[1]); break;
    case 2: params[0] = int32_t(1 + wide % 4096); break;
    default: params[0] = int32_t(1 + wide % 65535); break;
  }
  p.reinit = (h[0] >> 2 & 3) == 0;
  static constexpr int32_t LARGE_WINDOW_MIB[4] = {1, 2, 5, 16};
  const uint8_t sizes = h[3] & 31, which = h[3] >> 5;
  params[1] = int32_t(1) << which % 5;
  params[2] = 1;
  if (sizes == 31) {
    params[1] = 256;
    params[2] = LARGE_WINDOW_MIB[which & 3];
  } else if (sizes >= 26) {
    params[2] = 0;  // no references possible
  }
  // Segments from one chunk (the guessed chains rarely meet the true one)
  // to more than the longest, or the encoder's own shape.
  static constexpr int32_t THREADS[4] = {2, 3, 8, 2};
  static constexpr uint32_t SEGMENT_BYTES[8] = {64, 100, 700, 4096, 20000, 65536, 0, 0};
  p.threaded = p.settings;
  p.threaded.threads = (h[0] >> 4 & 3) == 3 ? THREADS[h[0] >> 6] : 1;
  p.threaded.segment_bytes = SEGMENT_BYTES[h[4] >> 2 & 7];
  p.threaded.segments = p.threaded.segment_bytes != 0 ? 1 + (h[4] >> 5) : 0;
  const size_t repeats = 1 + (h[4] & 3);
  const uint8_t* body = data + (n < PLAN_BYTES ? n : PLAN_BYTES);
  const size_t body_len = n < PLAN_BYTES ? 0 : n - PLAN_BYTES;
  p.plain.reserve(body_len * repeats);
  for (size_t i = 0; i < repeats; ++i) p.plain.insert(p.plain.end(), body, body + body_len);
  return p;
}

}  // namespace fuzz

// Each target is one translation unit that includes this header once, so the
// process-wide hooks live here.  Failed checks write the history themselves,
// AddressSanitizer reports (SEGV included) through the hook below; the death
// callback is libFuzzer's, and an UndefinedBehaviorSanitizer report has no
// other hook, so it writes none.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i)
    if (std::strncmp((*argv)[i], "-artifact_prefix=", 17) == 0) fuzz::History::get().set_prefix((*argv)[i] + 17);
  __asan_set_error_report_callback([](const char*) { fuzz::History::get().write(); });
  return 0;
}
