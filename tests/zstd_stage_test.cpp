// The zstd stage seen from outside: what -z writes is an ordinary zstd frame
// holding the encoded stream, a decoder finds such a frame by itself, and a
// frame that is damaged, cut short or followed by other data never decodes
// to wrong bytes with status 0.  libzstd's own behaviour is not retested;
// the zstd command line serves as the independent second implementation.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/zstd_stage.h"
#include "support/process.h"
#include "support/sample_inputs.h"

namespace cdedup::test {
namespace {

using namespace cdedup::app;

// zstd's command line on standard input.
ProcessResult zstd(const std::vector<std::string>& args, const Bytes& stdin_bytes) {
  ProcessResult r = run_process("/usr/bin/zstd", args, stdin_bytes);
  EXPECT_FALSE(r.timed_out);
  return r;
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

bool has_zstd_magic(const Bytes& b) {
  return b.size() >= 4 && b[0] == 0x28 && b[1] == 0xB5 && b[2] == 0x2F && b[3] == 0xFD;
}

Bytes tree_tar(const TempDir& dir) {
  make_tree(dir.file("tree"));
  const ProcessResult t = run_process("/usr/bin/tar", {"-C", dir.path(), "-cf", "-", "tree"});
  EXPECT_EQ(t.status, 0) << t.err;
  return to_bytes(t.out);
}

class ZstdStage : public ::testing::Test {
 protected:
  void SetUp() override {
    input = sample_with_repeats();
    const ProcessResult z = run_cdedup({"-z"}, input);
    ASSERT_EQ(z.status, EXIT_OK) << z.err;
    archive = to_bytes(z.out);
  }
  Bytes input, archive;
};

// ---------------------------------------------------------------------------
// Round trip
// ---------------------------------------------------------------------------

TEST_F(ZstdStage, RoundTripThroughAnOrdinaryZstdFrame) {
  TempDir dir;
  const std::vector<Bytes> inputs = {{}, input, random_bytes(200000, 5), tree_tar(dir)};
  for (size_t i = 0; i < inputs.size(); ++i) {
    for (const std::vector<std::string>& opts :
         {std::vector<std::string>{"-z"}, {"--zstd=1", "-T1"}, {"--zstd=19", "--threads=2"}}) {
      SCOPED_TRACE("input " + std::to_string(i) + ", " + opts[0]);
      const Bytes& in = inputs[i];
      const ProcessResult z = run_cdedup(opts, in);
      ASSERT_EQ(z.status, EXIT_OK) << z.err;
      const Bytes framed = to_bytes(z.out);
      ASSERT_TRUE(has_zstd_magic(framed));
      EXPECT_EQ(z.err, "");  // the filter form is silent

      // zstd itself accepts the frame and finds in it exactly what the same
      // command writes without -z: a checked frame.
      EXPECT_EQ(zstd({"-t", "-q"}, framed).status, 0);
      const ProcessResult plain = run_cdedup({}, in);
      const ProcessResult unwrapped = zstd({"-dc"}, framed);
      ASSERT_EQ(unwrapped.status, 0) << unwrapped.err;
      EXPECT_TRUE(unwrapped.out == plain.out);

      // cdedup d unwraps it by itself, with or without -z, and -t finds it sound.
      for (const std::vector<std::string>& dec :
           {std::vector<std::string>{"d", "-", "-"}, {"-d"}, {"-z", "-d"}, {"-z", "d", "-", "-"}}) {
        const ProcessResult d = run_cdedup(dec, framed);
        EXPECT_EQ(d.status, EXIT_OK) << d.err;
        EXPECT_TRUE(to_bytes(d.out) == in);
      }
      EXPECT_EQ(run_cdedup({"-t"}, framed).status, EXIT_OK);
    }
  }
}

TEST_F(ZstdStage, PositionalFormAndUniqueMode) {
  TempDir dir;
  write_file(dir.file("in"), input);
  // The positional form writes the bare stream, inside a zstd frame with -z.
  ASSERT_EQ(run_cdedup({"-z", "e", dir.file("in"), dir.file("enc")}).status, EXIT_OK);
  EXPECT_TRUE(zstd({"-dc"}, read_file(dir.file("enc"))).out == run_cdedup({"e", "-", "-"}, input).out);
  ASSERT_EQ(run_cdedup({"d", dir.file("enc"), dir.file("out")}).status, EXIT_OK);
  EXPECT_TRUE(read_file(dir.file("out")) == input);

  const ProcessResult u = run_cdedup({"-z", "u", "-", "-"}, input);
  const ProcessResult bare_u = run_cdedup({"u", "-", "-"}, input);
  ASSERT_EQ(u.status, EXIT_OK) << u.err;
  EXPECT_TRUE(zstd({"-dc"}, to_bytes(u.out)).out == bare_u.out);
}

// Frames that zstd's command line makes, a stream split over two frames, a
// skippable frame first, and a window beyond libzstd's default limit; the
// stream in them checked, or bare and decoded with --bare.
TEST_F(ZstdStage, AnyZstdFramesAreUnwrapped) {
  for (const bool checked : {true, false}) {
    SCOPED_TRACE(checked ? "checked" : "bare");
    const std::vector<std::string> enc_opts = checked ? std::vector<std::string>{} : std::vector<std::string>{"--bare"};
    const Bytes stream = to_bytes(run_cdedup(enc_opts, input).out);
    const size_t half = stream.size() / 2;
    const Bytes first = to_bytes(zstd({"-c", "-q", "--no-check"}, Bytes(stream.begin(), stream.begin() + long(half))).out);
    const Bytes second = to_bytes(zstd({"-c", "-q"}, Bytes(stream.begin() + long(half), stream.end())).out);
    const Bytes skippable = {0x50, 0x2A, 0x4D, 0x18, 3, 0, 0, 0, 'a', 'b', 'c'};
    const Bytes long_window = to_bytes(zstd({"-c", "-q", "--long=30", "-3"}, stream).out);
    for (const Bytes& framed : {concat({first, second}), concat({skippable, first, second}), long_window}) {
      const ProcessResult d = run_cdedup(checked ? std::vector<std::string>{"-d"} : std::vector<std::string>{"-d", "--bare"}, framed);
      EXPECT_EQ(d.status, EXIT_OK) << d.err;
      EXPECT_TRUE(to_bytes(d.out) == input);
    }
  }
}

// ---------------------------------------------------------------------------
// Damage
// ---------------------------------------------------------------------------

TEST_F(ZstdStage, ChecksumMismatchIsABadStream) {
  // The last four bytes of the frame are its checksum; the content is intact.
  for (int flip : {0x01, 0x80}) {
    Bytes bad = archive;
    bad[bad.size() - 2] ^= uint8_t(flip);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-d"}, {"-t"}}) {
      const ProcessResult r = run_cdedup(args, bad);
      EXPECT_EQ(r.status, EXIT_BAD_STREAM) << r.err;
      EXPECT_EQ(messages_in(r.err), 1) << r.err;
      EXPECT_NE(r.err.find("checksum"), std::string::npos) << r.err;
      // What came out before the check is right, as far as it goes.
      EXPECT_TRUE(is_prefix(to_bytes(r.out), input));
    }
  }
}

TEST_F(ZstdStage, CutShortOrFollowedByOtherData) {
  for (size_t keep : {size_t(4), size_t(9), archive.size() / 3, archive.size() / 2, archive.size() - 1}) {
    SCOPED_TRACE("first " + std::to_string(keep) + " bytes of " + std::to_string(archive.size()));
    const ProcessResult r = run_cdedup({"-d"}, Bytes(archive.begin(), archive.begin() + long(keep)));
    EXPECT_EQ(r.status, EXIT_BAD_STREAM) << r.err;
    EXPECT_EQ(messages_in(r.err), 1) << r.err;
    EXPECT_TRUE(is_prefix(to_bytes(r.out), input));
  }
  const ProcessResult cut = run_cdedup({"-d"}, Bytes(archive.begin(), archive.end() - 100));
  EXPECT_NE(cut.err.find("cut short"), std::string::npos) << cut.err;
  // One to three bytes are no frame: a bare stream too short for its header.
  const ProcessResult tiny = run_cdedup({"-d"}, Bytes(archive.begin(), archive.begin() + 3));
  EXPECT_EQ(tiny.status, EXIT_BAD_STREAM);
  EXPECT_EQ(tiny.out, "");

  const ProcessResult trailing = run_cdedup({"-d"}, concat({archive, to_bytes("trailing text")}));
  EXPECT_EQ(trailing.status, EXIT_BAD_STREAM);
  EXPECT_EQ(messages_in(trailing.err), 1) << trailing.err;
  EXPECT_NE(trailing.err.find("after the end of a zstd frame"), std::string::npos) << trailing.err;
  EXPECT_TRUE(to_bytes(trailing.out) == input);
}

// A frame that ends the input cut short after a whole first frame: what the
// first frame held is decoded to its end, the final partial chunk included,
// exactly as if the input had ended there, and only then is the cut reported.
TEST_F(ZstdStage, EverythingBeforeTheCutIsDecoded) {
  const Bytes bare = to_bytes(run_cdedup({"e", "-", "-"}, input).out);
  const Bytes head(bare.begin(), bare.begin() + long(bare.size() / 2));
  const ProcessResult whole_head = run_cdedup({"d", "-", "-"}, head);
  ASSERT_EQ(whole_head.status, EXIT_OK) << "the cut must fall where a bare stream may end";
  const Bytes first = to_bytes(zstd({"-c", "-q"}, head).out);
  const Bytes second = to_bytes(zstd({"-c", "-q"}, Bytes(bare.begin() + long(head.size()), bare.end())).out);
  const ProcessResult r = run_cdedup({"-d", "--bare"}, concat({first, Bytes(second.begin(), second.begin() + 4)}));
  EXPECT_EQ(r.status, EXIT_BAD_STREAM) << r.err;
  EXPECT_EQ(messages_in(r.err), 1) << r.err;
  EXPECT_TRUE(r.out == whole_head.out) << r.out.size() << " bytes, not " << whole_head.out.size();
}

// Single-byte changes at places drawn from a fixed seed: each is found (status
// 7, one message) or changed nothing that matters (status 0, exact output).
TEST_F(ZstdStage, NoCorruptionDecodesToWrongBytesWithStatusZero) {
  const Bytes positions = random_bytes(4 * 60, 99);
  int found = 0;
  for (size_t k = 0; k < 60; ++k) {
    const uint32_t r32 = uint32_t(positions[4 * k]) | uint32_t(positions[4 * k + 1]) << 8 |
                         uint32_t(positions[4 * k + 2]) << 16 | uint32_t(positions[4 * k + 3]) << 24;
    const size_t at = r32 % archive.size();
    const uint8_t delta = uint8_t(1 + r32 % 255);
    Bytes bad = archive;
    bad[at] = uint8_t(bad[at] + delta);
    SCOPED_TRACE("byte " + std::to_string(at) + " of " + std::to_string(archive.size()) + " changed by " +
                 std::to_string(delta));
    const ProcessResult d = run_cdedup({"-d"}, bad);
    if (d.status == EXIT_OK) {
      EXPECT_TRUE(to_bytes(d.out) == input) << "wrong output with status 0";
    } else {
      EXPECT_EQ(d.status, EXIT_BAD_STREAM) << d.err;
      EXPECT_EQ(messages_in(d.err), 1) << d.err;
      ++found;
    }
    EXPECT_EQ(run_cdedup({"-t"}, bad).status, d.status);
  }
  // Almost every byte of a frame matters; a stage that never fails must not pass.
  EXPECT_GE(found, 50);
}

// ---------------------------------------------------------------------------
// The compressing sink, in-process
// ---------------------------------------------------------------------------

// Takes bytes until `room` runs out, then fails; counts its closes.
class CountingSink final : public Sink {
 public:
  CountingSink(size_t room, bool close_fails) : room_(room), close_fails_(close_fails) {}
  bool write(const uint8_t*, size_t n) override {
    if (n > room_) {
      error_ = {EXIT_IO, "cannot write the counting sink: full"};
      return false;
    }
    room_ -= n;
    bytes_ += n;
    return true;
  }
  bool close() override {
    ++closes;
    if (close_fails_ && !error_.failed()) error_ = {EXIT_IO, "cannot close the counting sink"};
    return !error_.failed();
  }
  uint64_t file_bytes() const override { return bytes_; }
  int closes = 0;

 private:
  size_t room_;
  bool close_fails_;
  uint64_t bytes_ = 0;
};

// Whatever failed, the sink underneath is closed once, so that what reached
// it is kept, and the first failure is the one reported.
TEST(ZstdSink, ClosesWhatItWrapsOnceWhateverFailed) {
  const Bytes data = random_bytes(size_t{3} << 20, 21);
  for (const int workers : {0, 1}) {
    for (const size_t room : {size_t{0}, size_t{100000}, size_t{8} << 20}) {
      for (const bool close_fails : {false, true}) {
        SCOPED_TRACE(::testing::Message() << workers << " workers, room " << room << (close_fails ? ", close fails" : ""));
        auto owned = std::make_unique<CountingSink>(room, close_fails);
        CountingSink& inner = *owned;
        StreamError err;
        std::unique_ptr<Sink> z = make_zstd_sink(std::move(owned), 1, workers, err);
        ASSERT_NE(z, nullptr) << err.message;
        const bool written = z->write(data.data(), data.size());
        const bool closed = z->close();
        EXPECT_EQ(inner.closes, 1);
        const bool full = room < data.size();  // random bytes do not shrink
        EXPECT_EQ(closed, !full && !close_fails);
        EXPECT_TRUE(written || full);
        const char* const first = full ? "cannot write the counting sink: full" : "cannot close the counting sink";
        EXPECT_EQ(z->error().message, closed ? "" : first);
      }
    }
  }
}

}  // namespace
}  // namespace cdedup::test
