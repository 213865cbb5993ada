// The pump's account of a failed run, in-process with sources and sinks
// that fail on cue: one line for each failure that happened on its own, and
// none for a read that was only interrupted because the output failed.
#include "app/pump.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/exit_status.h"
#include "support/process.h"

namespace cdedup::app {
namespace {

const CodecApi api = {codec_create, codec_destroy, codec_init,    codec_reset,
                      codec_finish, codec_run,     codec_outsize, codec_setbuf};

// Hands out `bytes`, then ends the way it is told.
class EndingSource final : public Source {
 public:
  EndingSource(size_t bytes, StreamError end) : bytes_(test::random_bytes(bytes, 1)), end_(std::move(end)) {}
  size_t read(uint8_t* buf, size_t cap) override {
    const size_t n = std::min(cap, bytes_.size() - pos_);
    std::copy_n(bytes_.begin() + long(pos_), n, buf);
    pos_ += n;
    if (n == 0) error_ = end_;
    return n;
  }
  uint64_t file_bytes() const override { return pos_; }

 private:
  test::Bytes bytes_;
  size_t pos_ = 0;
  StreamError end_;
};

// Takes every byte, and fails or not when closed.
class ClosingSink final : public Sink {
 public:
  explicit ClosingSink(bool close_fails) : close_fails_(close_fails) {}
  bool write(const uint8_t*, size_t n) override {
    bytes_ += n;
    return true;
  }
  bool close() override {
    if (close_fails_) error_ = {EXIT_IO, "cannot write the sink: no room"};
    return !close_fails_;
  }
  uint64_t file_bytes() const override { return bytes_; }

 private:
  bool close_fails_;
  uint64_t bytes_ = 0;
};

struct Outcome {
  int status;
  std::string err;  // what went to standard error
};

Outcome pump_through(Source& in, Sink& out) {
  Codec* c = codec_create();
  codec_set_report(c, nullptr);
  const int32_t params[3] = {100, 16, 64};
  EXPECT_EQ(codec_init(c, CODEC_MODE_ENCODE, params), 0);
  std::fflush(stderr);
  FILE* capture = std::tmpfile();
  const int saved = dup(STDERR_FILENO);
  dup2(fileno(capture), STDERR_FILENO);
  Outcome o;
  {
    Progress progress(nullptr, 0);
    o.status = pump(api, c, in, out, progress, "(input)");
  }
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::rewind(capture);
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, capture)) > 0;) o.err.append(buf, n);
  std::fclose(capture);
  codec_destroy(c);
  return o;
}

TEST(Pump, EachFailureOfItsOwnGetsOneLineAnInterruptedReadNone) {
  const StreamError clean, failed{EXIT_IO, "cannot read the source: broken"}, interrupted = interrupted_read();
  struct Case {
    const StreamError* end;
    bool close_fails;
    int status;
    std::vector<std::string> lines;  // what each line of standard error holds
  };
  const Case cases[] = {
      {&clean, false, EXIT_OK, {}},
      {&clean, true, EXIT_IO, {"cannot write the sink"}},
      {&failed, false, EXIT_IO, {"cannot read the source"}},
      {&failed, true, EXIT_IO, {"cannot write the sink", "cannot read the source"}},
      // Interrupted only because the output failed: the output's line says it.
      {&interrupted, true, EXIT_IO, {"cannot write the sink"}},
      // Were it ever interrupted for nothing, that is still no clean end.
      {&interrupted, false, EXIT_IO, {"reading stopped"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::Message() << "end \"" << k.end->message << "\", close " << (k.close_fails ? "fails" : "works"));
    EndingSource in(300000, *k.end);
    ClosingSink out(k.close_fails);
    const Outcome o = pump_through(in, out);
    EXPECT_EQ(o.status, k.status);
    const std::vector<std::string> lines = test::split_lines(o.err);
    ASSERT_EQ(lines.size(), k.lines.size()) << o.err;
    for (size_t i = 0; i < lines.size(); ++i)
      EXPECT_EQ(lines[i].rfind("cdedup: " + k.lines[i], 0), 0u) << lines[i];
    EXPECT_GT(out.file_bytes(), 300000u);  // everything read went out, a failure or not (no repeats here)
  }
}

}  // namespace
}  // namespace cdedup::app
