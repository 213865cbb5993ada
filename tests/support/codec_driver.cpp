// The pump loop of a front end, kept in one place so that every codec test
// drives the codec by the same protocol; the report lines go to a memory
// stream so the statistics can be read back without touching stdout.
#include "support/codec_driver.h"

#include <cdedup/cdedup.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/codec.h"
#include "codec/encoder_parallel.h"
#include "dedup/exact_index.h"
#include "dedup/stream_hash.h"

namespace cdedup::test {

namespace {

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class SizeSource {
 public:
  explicit SizeSource(const BlockSizes& s) : sizes_(s), state_(s.seed) {}
  size_t next() {
    if (sizes_.max <= sizes_.min) return sizes_.min;
    return sizes_.min + static_cast<size_t>(splitmix64(state_) % (sizes_.max - sizes_.min + 1));
  }

 private:
  BlockSizes sizes_;
  uint64_t state_;
};

// Reads one "name=value" number out of the report; -1 when it is not there.
int64_t report_value(const std::string& report, const char* name) {
  const std::string key = std::string(name) + "=";
  for (size_t at = report.find(key); at != std::string::npos; at = report.find(key, at + 1)) {
    if (at != 0 && report[at - 1] != ' ' && report[at - 1] != '\n') continue;  // "x=" inside another name
    return std::strtoll(report.c_str() + at + key.size(), nullptr, 10);
  }
  return -1;
}

// The output file of a decoder that reads its window back: blocks go to it
// `lag` blocks after the codec handed them back, the most the lag given to
// the codec allows, so a read of bytes not yet written shows.
class OutputFile {
 public:
  explicit OutputFile(const CodecRun& run) : run_(run) {
    fd_ = memfd_create("cdedup-output", MFD_CLOEXEC);
    EXPECT_GE(fd_, 0);
    // Bytes that are not the stream's: before it, and with a stale tail, 16 MiB past its start.
    const size_t junk = run.file_offset + (run.file_stale_tail ? size_t{16} << 20 : 0);
    const Bytes other(junk, 0xA5);
    if (junk != 0) {
      EXPECT_EQ(pwrite(fd_, other.data(), junk, 0), static_cast<ssize_t>(junk));
    }
  }
  ~OutputFile() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }
  int64_t lag_bytes() const { return static_cast<int64_t>(run_.file_lag * run_.out.max); }

  void handed_back(const uint8_t* p, size_t n) {
    pending_.emplace_back(p, p + n);
    while (pending_.size() > run_.file_lag) write_oldest();
    handed_ += n;
    if (run_.file_cut_after != 0 && handed_ >= run_.file_cut_after && !cut_) {
      EXPECT_EQ(ftruncate(fd_, 0), 0);
      cut_ = true;
    }
  }
  void flush() {
    while (!pending_.empty()) write_oldest();
  }
  Bytes contents() const {
    Bytes b(written_);
    if (written_ != 0) {
      EXPECT_EQ(pread(fd_, b.data(), written_, static_cast<off_t>(run_.file_offset)), static_cast<ssize_t>(written_));
    }
    return b;
  }

 private:
  void write_oldest() {
    const Bytes& b = pending_.front();
    if (!b.empty()) {
      EXPECT_EQ(pwrite(fd_, b.data(), b.size(), static_cast<off_t>(run_.file_offset + written_)),
                static_cast<ssize_t>(b.size()));
    }
    written_ += b.size();
    pending_.pop_front();
  }
  const CodecRun& run_;
  int fd_ = -1;
  size_t written_ = 0, handed_ = 0;
  bool cut_ = false;
  std::deque<Bytes> pending_;
};

// Buffers after a NEED_INPUT past the end of input that a codec may ask for
// (a truncated header or distance reads a few); more means it never stops.
constexpr size_t MAX_REQUESTS_AFTER_END = 64;

}  // namespace

CodecResult run_codec(const Bytes& input, const CodecRun& run) {
  CodecResult r;
  char* report_buf = nullptr;
  size_t report_len = 0;
  FILE* report = open_memstream(&report_buf, &report_len);
  Codec* c = codec_create();
  if (c == nullptr || report == nullptr) {
    ADD_FAILURE() << "codec_create or open_memstream failed";
    if (report) std::fclose(report);
    std::free(report_buf);
    codec_destroy(c);
    return r;
  }
  codec_set_report(c, report);
  codec_set_reference_path(c, run.reference_path ? 1 : 0);
  codec_set_threads(c, run.threads);
  if (run.segment_bytes != 0 && parallel_encoder_prepare(*c)) {
    EXPECT_TRUE(parallel_encoder_set_shape(c->parallel, run.segment_bytes, run.segments));
  }

  EXPECT_EQ(codec_set_caller_hash(c, run.caller_hash ? 1 : 0), 0);
  EXPECT_EQ(codec_set_checked(c, run.checked ? 1 : 0), 0);
  c->framing.write_block = run.frame_block;
  c->framing.write_without_checks = run.frame_without_checks;
  r.init_status = codec_init(c, run.mode, run.params.data());
  if (r.init_status == 0 && run.rebase_span != 0) index_set_rebase_span(c->index, run.rebase_span);
  int reference_fd = -1;
  if (r.init_status == 0 && run.reference != nullptr) {
    reference_fd = memfd_create("cdedup-reference", MFD_CLOEXEC);
    EXPECT_GE(reference_fd, 0);
    const Bytes& ref = *run.reference;
    if (!ref.empty()) {
      EXPECT_EQ(pwrite(reference_fd, ref.data(), ref.size(), 0), static_cast<ssize_t>(ref.size()));
    }
    r.reference_status = codec_set_reference_file(c, reference_fd);
    if (r.reference_status != 0) r.init_status = r.reference_status;
  }
  bool reference_flipped = false;
  std::unique_ptr<OutputFile> file;
  if (r.init_status == 0 && run.output_file) {
    file = std::make_unique<OutputFile>(run);
    EXPECT_EQ(codec_set_output_file(c, file->fd(), static_cast<int64_t>(run.file_offset), file->lag_bytes()), 0);
  }
  if (r.init_status != 0) {
    r.message = codec_message(c);
  } else {
    SizeSource in_sizes(run.in), out_sizes(run.out);
    // Blocks the codec holds now; replaced only after the codec has let go of them.
    auto out_block = std::make_unique<uint8_t[]>(1);
    auto fresh_output = [&] {
      const size_t n = out_sizes.next();
      out_block = std::make_unique<uint8_t[]>(n);
      codec_setbuf(c, out_block.get(), static_cast<int32_t>(n));
    };
    std::unique_ptr<uint8_t[]> in_block;
    size_t in_off = 0, requests_after_end = 0;
    StreamHash frame_hash;  // the caller's hash of the decoded bytes, frame by frame
    stream_hash_reset(frame_hash);

    fresh_output();
    for (;;) {
      const int32_t y = codec_run(c);
      r.yields.push_back(y);
      if ((run.reference_flip_at != 0 || run.reference_cut) && !reference_flipped && y != CODEC_NEED_INPUT) {
        if (run.reference_cut) {
          EXPECT_EQ(ftruncate(reference_fd, static_cast<off_t>(run.reference->size() / 2)), 0);
        } else {
          uint8_t b = 0;
          EXPECT_EQ(pread(reference_fd, &b, 1, static_cast<off_t>(run.reference_flip_at - 1)), 1);
          b ^= 0x40;
          EXPECT_EQ(pwrite(reference_fd, &b, 1, static_cast<off_t>(run.reference_flip_at - 1)), 1);
        }
        reference_flipped = true;
      }
      if (y == CODEC_NEED_INPUT) {
        const size_t n = std::min(in_sizes.next(), input.size() - in_off);
        if (n == 0 && ++requests_after_end > MAX_REQUESTS_AFTER_END) {
          r.runaway = true;
          break;
        }
        int32_t room = 0;
        uint8_t* space = run.input_space ? codec_input_space(c, &room) : nullptr;
        if (space != nullptr && room > 0) {
          // Straight into the codec's own block, as much as fits.
          const size_t k = std::min(n, static_cast<size_t>(room));
          if (k != 0) std::memcpy(space, input.data() + in_off, k);
          codec_setbuf(c, space, static_cast<int32_t>(k));
          in_off += k;
          continue;
        }
        auto block = std::make_unique<uint8_t[]>(n == 0 ? 1 : n);
        if (n != 0) std::memcpy(block.get(), input.data() + in_off, n);
        codec_setbuf(c, block.get(), static_cast<int32_t>(n));
        in_block = std::move(block);
        in_off += n;
        continue;
      }
      const int32_t produced = codec_outsize(c);
      r.output.insert(r.output.end(), out_block.get(), out_block.get() + produced);
      if (file) file->handed_back(out_block.get(), static_cast<size_t>(produced));
      if (run.caller_hash) stream_hash_update(frame_hash, out_block.get(), static_cast<size_t>(produced));
      if (y == CODEC_FRAME_END) {
        ++r.frame_ends;
        uint64_t size = 0, hash = 0;
        EXPECT_EQ(codec_frame_digest(c, &size, &hash), 0);
        if (hash == stream_hash_digest(frame_hash)) ++r.frames_matching;
        stream_hash_reset(frame_hash);
      } else if (y != CODEC_OUTPUT_FULL) {
        break;
      }
      fresh_output();
    }
    r.final_yield = r.yields.back();
    r.message = codec_message(c);
    r.window_in_file = c->decwin_in_file;
    r.output_failed = codec_output_failed(c) != 0;
    r.failure = codec_failure(c);
    if (file) {
      file->flush();
      r.file = file->contents();
    }
    codec_finish(c);
  }
  codec_destroy(c);
  if (reference_fd >= 0) close(reference_fd);
  std::fclose(report);
  r.report.assign(report_buf, report_len);
  std::free(report_buf);
  r.sum = report_value(r.report, "sum");
  r.chunks = report_value(r.report, "x");
  return r;
}

::testing::AssertionResult same_run(const CodecResult& reference, const CodecResult& fast) {
  if (reference.output != fast.output) {
    size_t i = 0;
    while (i < reference.output.size() && i < fast.output.size() && reference.output[i] == fast.output[i]) ++i;
    return ::testing::AssertionFailure() << "outputs differ: reference " << reference.output.size() << " bytes, fast "
                                         << fast.output.size() << " bytes, first difference at " << i;
  }
  if (reference.yields != fast.yields) {
    size_t i = 0;
    while (i < reference.yields.size() && i < fast.yields.size() && reference.yields[i] == fast.yields[i]) ++i;
    return ::testing::AssertionFailure() << "yield sequences differ at call " << i << " of " << reference.yields.size()
                                         << " / " << fast.yields.size();
  }
  if (reference.final_yield != fast.final_yield || reference.message != fast.message ||
      reference.sum != fast.sum || reference.chunks != fast.chunks || reference.init_status != fast.init_status ||
      reference.runaway != fast.runaway)
    return ::testing::AssertionFailure() << "results differ: reference final " << reference.final_yield << " \""
                                         << reference.message << "\" sum=" << reference.sum << " x=" << reference.chunks
                                         << "; fast final " << fast.final_yield << " \"" << fast.message
                                         << "\" sum=" << fast.sum << " x=" << fast.chunks;
  return ::testing::AssertionSuccess();
}

// The printed lines less the index's address, which differs from run to run.
std::string stable_report(std::string report) {
  const size_t at = report.find("htbl=");
  if (at != std::string::npos) report.erase(at + 5, report.find('\n', at) - (at + 5));
  return report;
}

::testing::AssertionResult same_output(const CodecResult& reference, const CodecResult& threaded) {
  CodecResult r = threaded;
  r.yields = reference.yields;
  const ::testing::AssertionResult same = same_run(reference, r);
  if (!same) return same;
  if (stable_report(reference.report) != stable_report(threaded.report))
    return ::testing::AssertionFailure() << "printed lines differ:\n" << reference.report << "---\n" << threaded.report;
  return ::testing::AssertionSuccess();
}

CodecResult run_both_paths(const Bytes& input, CodecRun run) {
  run.reference_path = true;
  const CodecResult reference = run_codec(input, run);
  run.reference_path = false;
  CodecResult fast = run_codec(input, run);
  EXPECT_TRUE(same_run(reference, fast)) << "mode " << run.mode << ", params " << run.params[0] << " "
                                         << run.params[1] << " " << run.params[2];
  if (run.mode == CODEC_MODE_ENCODE && run.threads == 1) {
    // Segments from a few bytes (chains that rarely meet) to more than a
    // chunk.  Each block repeats the 64 KiB before it, so the tiniest blocks
    // are kept to small inputs.
    // Some take their input where codec_input_space puts it.
    const struct {
      int32_t threads;
      size_t segment_bytes;
      unsigned segments;
      size_t max_input;
      bool input_space;
    } shapes[] = {{2, 0, 0, SIZE_MAX, true},
                  {3, 4096, 5, SIZE_MAX, false},
                  {8, 70000, 2, SIZE_MAX, true},
                  {3, 1000, 3, 1 << 20, true},
                  {2, 100, 1, 256 << 10, false}};
    for (const auto& shape : shapes) {
      if (input.size() > shape.max_input) continue;
      CodecRun t = run;
      t.threads = shape.threads;
      t.segment_bytes = shape.segment_bytes;
      t.segments = shape.segments;
      t.input_space = shape.input_space;
      EXPECT_TRUE(same_output(reference, run_codec(input, t)))
          << shape.threads << " threads, segments of " << shape.segment_bytes << " x " << shape.segments
          << ", params " << run.params[0] << " " << run.params[1] << " " << run.params[2];
    }
  }
  return fast;
}

std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

Bytes seeded_bytes(uint64_t seed, size_t n) {
  Bytes out(n);
  uint64_t state = seed;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t v = splitmix64(state);
    std::memcpy(out.data() + i, &v, 8);
  }
  if (i < n) {
    const uint64_t v = splitmix64(state);
    std::memcpy(out.data() + i, &v, n - i);
  }
  return out;
}

}  // namespace cdedup::test
