// Faults seen from outside: the built command run as a process against a
// full device, a size-limited file, a directory for input, and encoded
// streams that are cut short or malformed.  Exit status 6 is a read or write
// error during the stream, 7 an undecodable stream; for both, what was
// produced before the fault must have reached the output, and no input may
// crash the decoder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/address_space.h"
#include "support/process.h"
#include "support/sanitized.h"

namespace {

using cdedup::test::Bytes;
using cdedup::test::TempDir;
using cdedup::test::read_file;
using cdedup::test::run_cdedup;
using cdedup::test::shell_quote;
using cdedup::test::write_file;

constexpr int EXIT_OK = 0, EXIT_INPUT_OPEN = 2, EXIT_REFUSED = 5, EXIT_IO = 6, EXIT_BAD_STREAM = 7;
const Bytes PREFIX = {0xEF, 0x4D, 0xB6};

std::vector<size_t> find_all(const Bytes& hay, const Bytes& needle) {
  std::vector<size_t> at;
  for (auto it = hay.begin(); (it = std::search(it, hay.end(), needle.begin(), needle.end())) != hay.end(); ++it)
    at.push_back(size_t(it - hay.begin()));
  return at;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + long(from), b.begin() + long(to)); }

// Random bytes with no 0xEF, so an escape prefix appears only where a test puts one.
Bytes noise(size_t n, uint64_t seed) {
  Bytes b = cdedup::test::random_bytes(n, seed);
  std::replace(b.begin(), b.end(), uint8_t{0xEF}, uint8_t{0xEE});
  return b;
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// `script` run by `shell` with the built command and `args` as "$@", so that
// the script can set limits or redirections and then exec the command.
cdedup::test::ProcessResult in_shell(const std::string& script, const std::vector<std::string>& args,
                                     int timeout_seconds = 120, const std::string& shell = "/bin/sh") {
  std::vector<std::string> argv = {shell, "-c", script, "sh"};
  for (const std::string& w : cdedup::test::cdedup_argv(args)) argv.push_back(w);
  return cdedup::test::run_process(argv, {}, timeout_seconds);
}

class Fault : public ::testing::Test {
 protected:
  // Encodes with the built command; chunk-length parameter 1 makes every chunk 64 bytes.
  Bytes encode(const Bytes& plain, const std::vector<std::string>& params) {
    write_file(dir.file("plain"), plain);
    std::vector<std::string> args = {"e", dir.file("plain"), dir.file("plain.cdd")};
    args.insert(args.end(), params.begin(), params.end());
    const auto r = run_cdedup(args);
    EXPECT_EQ(r.status, EXIT_OK) << r.err;
    return read_file(dir.file("plain.cdd"));
  }

  // Decodes `stream`; the status and whatever reached the output file.
  std::pair<cdedup::test::ProcessResult, Bytes> decode(const Bytes& stream) {
    write_file(dir.file("stream"), stream);
    const auto r = run_cdedup({"d", dir.file("stream"), dir.file("decoded")});
    return {r, read_file(dir.file("decoded"))};
  }

  TempDir dir;
};

// ---------------------------------------------------------------------------
// Read and write errors: exit 6 with a message
// ---------------------------------------------------------------------------

TEST_F(Fault, FullDeviceExitsSixInEitherModeAndForAnySize) {
  struct stat st;
  if (stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full here";
  // A small output fails only when flushed at close, a large one at its first block.
  for (const size_t n : {size_t{1000}, size_t{300000}}) {
    write_file(dir.file("in"), noise(n, n));
    const auto e = run_cdedup({"e", dir.file("in"), "/dev/full"});
    EXPECT_EQ(e.status, EXIT_IO) << n << " bytes: " << e.err;
    EXPECT_NE(e.err.find("/dev/full"), std::string::npos) << e.err;
  }
  write_file(dir.file("stream"), encode(noise(300000, 7), {}));
  const auto d = run_cdedup({"d", dir.file("stream"), "/dev/full"});
  EXPECT_EQ(d.status, EXIT_IO) << d.err;
  EXPECT_NE(d.err.find("/dev/full"), std::string::npos) << d.err;
}

// The three report lines are output too: standard output on a full device
// fails the run even though the data itself was written.
TEST_F(Fault, ReportLinesThatCannotBeWrittenFail) {
  struct stat st;
  if (stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full here";
  write_file(dir.file("in"), noise(1000, 3));
  const auto r = in_shell("exec \"$@\" > /dev/full", {"e", dir.file("in"), dir.file("out")});
  EXPECT_EQ(r.status, EXIT_IO) << r.err;
  EXPECT_NE(r.err.find("report"), std::string::npos) << r.err;
}

TEST_F(Fault, FileSizeLimitKeepsEverythingWrittenBeforeTheFailure) {
  const Bytes plain = noise(400000, 11);
  const Bytes whole = encode(plain, {});
  ASSERT_GT(whole.size(), 200000u);
  // The limit is in 512-byte blocks; with SIGXFSZ ignored the write fails with EFBIG.
  const auto r = in_shell("trap '' XFSZ; ulimit -f 200 && exec \"$@\"", {"e", dir.file("plain"), dir.file("cut")});
  EXPECT_EQ(r.status, EXIT_IO) << r.err;
  EXPECT_FALSE(r.err.empty());
  const Bytes got = read_file(dir.file("cut"));
  EXPECT_EQ(got.size(), 200u * 512u);
  EXPECT_TRUE(is_prefix(got, whole)) << "what reached the file is not the start of the stream";
}

// With threads on, reading and writing run on threads of their own and the
// encoder on several: a write that fails, a stream that cannot be decoded
// and an output that fails while the input pipe stays open and silent must
// each end the run with its status, everything before the fault written,
// and no thread left to wait for.
TEST_F(Fault, FailuresWithThreadsOnKeepStatusAndPrefixAndNeverHang) {
  struct stat st;
  const bool full = stat("/dev/full", &st) == 0;
  // 64-byte chunks, the second half a copy of the first.
  const Bytes copy_cut = encode(cat({noise(256, 22), noise(256, 22)}), {"1", "1", "1"});
  const size_t at = find_all(copy_cut, cat({PREFIX, {0x00}})).at(0);
  const Bytes plain = noise(3000000, 21);
  const Bytes whole = encode(plain, {});  // leaves `plain` in dir.file("plain")
  for (const char* threads : {"-T1", "-T3"}) {
    SCOPED_TRACE(threads);
    const auto w = in_shell("trap '' XFSZ; ulimit -f 2000 && exec \"$@\"", {threads, "e", dir.file("plain"), dir.file("cut")}, 60);
    ASSERT_FALSE(w.timed_out);
    EXPECT_EQ(w.status, EXIT_IO) << w.err;
    const Bytes got = read_file(dir.file("cut"));
    EXPECT_EQ(got.size(), 2000u * 512u);
    EXPECT_TRUE(is_prefix(got, whole));

    write_file(dir.file("stream"), slice(copy_cut, 0, at + 6));
    const auto d = run_cdedup({threads, "d", dir.file("stream"), dir.file("decoded")});
    ASSERT_FALSE(d.timed_out);
    EXPECT_EQ(d.status, EXIT_BAD_STREAM) << d.err;
    EXPECT_EQ(read_file(dir.file("decoded")), noise(256, 22));

    if (!full) continue;
    // The output fails while the writer of the input pipe lives on without
    // writing (it sleeps for longer than the test waits): the run ends at
    // once all the same.  21 MB are more than the encoder holds at three threads
    // (three blocks of 6 MiB), so output has begun before the input pauses.
    const auto p = in_shell("exec \"$@\" e - /dev/full < <(exec 2>/dev/null; for i in 1 2 3 4 5 6 7; do cat " +
                                shell_quote(dir.file("plain")) + "; done; exec sleep 120)",
                            {threads}, 60, "/bin/bash");
    ASSERT_FALSE(p.timed_out) << "an output failure waited for the silent input";
    EXPECT_EQ(p.status, EXIT_IO) << p.err;
    // The read it interrupted is no second failure: one line, the output's.
    EXPECT_EQ(cdedup::test::messages_in(p.err), 1) << p.err;
    EXPECT_NE(p.err.find("/dev/full"), std::string::npos) << p.err;
  }
}

TEST_F(Fault, DirectoryAsInputFailsWithAMessage) {
  for (const char* mode : {"e", "d", "u"}) {
    const auto r = run_cdedup({mode, dir.path(), dir.file("out")});
    EXPECT_TRUE(r.status == EXIT_INPUT_OPEN || r.status == EXIT_IO) << mode << ": status " << r.status;
    EXPECT_FALSE(r.err.empty()) << mode;
  }
}

// ---------------------------------------------------------------------------
// Truncated streams
// ---------------------------------------------------------------------------

// Every prefix of the first kilobyte of a stream holding every record kind
// either fails with 7 (inside the header or a copy's distance, and then with
// correct output before the cut) or decodes to the start of the original,
// followed by the first one to three bytes of an escape record when the cut
// falls right after them.  Which one is fixed by where the cut falls.
TEST_F(Fault, EveryTruncationOfTheFirstKilobyteIsAPrefixOrExitsSeven) {
  // 64-byte chunks.  X opens with an escape prefix, so it needs an escaped
  // literal; X Y again gives a copy and a run of continues; X[64:192] after
  // fresh bytes gives another copy and a continue.
  const Bytes x = cat({PREFIX, {0x01}, noise(380, 1)});
  const Bytes y = noise(256, 2);
  const Bytes plain = cat({x, y, x, slice(y, 0, 128), noise(192, 3), slice(x, 64, 192), noise(100, 4)});
  const Bytes stream = encode(plain, {"1", "1", "1"});
  ASSERT_EQ(decode(stream).second, plain);
  // Only the noise-free spots carry EF: the records, and X's own first bytes
  // right behind the escaped-literal record at the start of the body.
  const std::vector<size_t> copies = find_all(stream, cat({PREFIX, {0x00}}));
  std::vector<size_t> records = find_all(stream, cat({PREFIX, {0x02}}));
  ASSERT_GE(copies.size(), 2u);
  ASSERT_GE(records.size(), 2u);
  ASSERT_EQ(find_all(stream, cat({PREFIX, {0x01}})), (std::vector<size_t>{4, 8}));
  records.insert(records.end(), copies.begin(), copies.end());
  records.push_back(4);

  // A sanitized child takes a large part of a second to start, so there
  // the cuts are those around the header and every record, and one in 16
  // elsewhere; the memory errors a cut could cause are the fuzzers' to find.
  auto near_a_record = [&](size_t k) {
    if (k < 16) return true;
    for (size_t rec : records)
      if (k + 8 >= rec && k <= rec + 12) return true;
    return false;
  };
  const size_t cuts = std::min<size_t>(stream.size(), 1024);
  size_t decoded_before = 0, sevens = 0, tails = 0;
  for (size_t k = 0; k < cuts; ++k) {
    if (cdedup::test::SANITIZED && k % 16 != 0 && !near_a_record(k)) continue;
    const auto [r, out] = decode(slice(stream, 0, k));
    ASSERT_FALSE(r.timed_out) << "cut at " << k;
    ASSERT_LT(r.status, 128) << "cut at " << k << " killed the decoder: " << r.err;
    bool in_distance = k < 4;
    for (size_t c : copies) in_distance |= k >= c + 4 && k < c + 8;
    if (in_distance) {
      EXPECT_EQ(r.status, EXIT_BAD_STREAM) << "cut at " << k;
      EXPECT_FALSE(r.err.empty()) << "cut at " << k;
      EXPECT_TRUE(is_prefix(out, plain)) << "cut at " << k;
      ++sevens;
      continue;
    }
    ASSERT_EQ(r.status, EXIT_OK) << "cut at " << k << ": " << r.err;
    size_t tail = 0;
    for (size_t rec : records)
      if (k > rec && k < rec + 4) tail = k - rec;
    ASSERT_GE(out.size(), tail) << "cut at " << k;
    const size_t body = out.size() - tail;
    EXPECT_TRUE(is_prefix(slice(out, 0, body), plain)) << "cut at " << k << ": not the start of the original";
    EXPECT_TRUE(std::equal(out.begin() + long(body), out.end(), PREFIX.begin())) << "cut at " << k;
    EXPECT_GE(body, decoded_before) << "cut at " << k << " decodes less than a shorter cut";
    decoded_before = body;
    tails += tail != 0;
  }
  EXPECT_GT(sevens, 4u);
  EXPECT_GT(tails, 3u);
}

// ---------------------------------------------------------------------------
// Streams no decoder can follow: exit 7
// ---------------------------------------------------------------------------

TEST_F(Fault, StreamShorterThanItsHeaderExitsSeven) {
  for (const Bytes& s : {Bytes{}, Bytes{0x64}, Bytes{0x64, 0x00, 0x04}}) {
    const auto [r, out] = decode(s);
    EXPECT_EQ(r.status, EXIT_BAD_STREAM) << s.size() << " bytes";
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(out.empty());
  }
}

TEST_F(Fault, ChunkLengthFieldZeroExitsSeven) {
  for (const Bytes& s : {Bytes{0x00, 0x00, 0x01, 0x00}, cat({{0x00, 0x00, 0x01, 0x00}, noise(200, 5)})}) {
    const auto [r, out] = decode(s);
    EXPECT_EQ(r.status, EXIT_BAD_STREAM) << s.size() << " bytes";
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(out.empty());
  }
}

TEST_F(Fault, ReferenceInAStreamWithoutWindowExitsSevenAfterWritingWhatCameBefore) {
  const Bytes header = {0x01, 0x00, 0x00, 0x00};  // 64-byte chunks, window field 0
  const Bytes lit = noise(64, 6);
  // Without references such a stream is fine.
  EXPECT_EQ(decode(cat({header, lit, lit})).second, cat({lit, lit}));

  const auto [copy, copy_out] = decode(cat({header, lit, PREFIX, {0x00, 0x40, 0, 0, 0}, lit}));
  EXPECT_EQ(copy.status, EXIT_BAD_STREAM) << copy.err;
  EXPECT_FALSE(copy.err.empty());
  EXPECT_EQ(copy_out, lit);

  const auto [cont, cont_out] = decode(cat({header, PREFIX, {0x02}, lit}));
  EXPECT_EQ(cont.status, EXIT_BAD_STREAM) << cont.err;
  EXPECT_TRUE(cont_out.empty());
}

TEST_F(Fault, WindowThatCannotBeAllocatedIsRefusedOnlyOnceTheBodyHasBytes) {
  if (cdedup::test::SANITIZED) GTEST_SKIP() << "an address-space limit stops a sanitized binary from starting";
  if (!cdedup::test::cdedup_emulator().empty())
    GTEST_SKIP() << "an address-space limit would bind the emulator, not the command it runs";
  if (!address_space_limit_holds()) GTEST_SKIP() << "a limit on the address space does not hold here";
  const Bytes header = {0x64, 0x00, 0xFF, 0x0F};  // a 4095 MiB window
  // Decoded to a pipe, which keeps the window in memory.
  auto limited = [&](const Bytes& stream, const std::string& output) {
    write_file(dir.file("stream"), stream);
    return in_shell("ulimit -v 262144 && exec \"$@\"", {"d", dir.file("stream"), output});
  };
  const auto empty = limited(header, "-");
  EXPECT_EQ(empty.status, EXIT_OK) << empty.err;
  // Out of memory is not a damaged stream: status 5, and one line that names
  // the window asked for and the way out, decoding into a file.
  const auto body = limited(cat({header, noise(100, 8)}), "-");
  EXPECT_EQ(body.status, EXIT_REFUSED) << body.err;
  EXPECT_NE(body.err.find("4095 MiB window"), std::string::npos) << body.err;
  EXPECT_NE(body.err.find("decoding into a regular file"), std::string::npos) << body.err;
  EXPECT_NE(body.err.find("cdedup -d -o x.tar a.tar.cdz && tar xf x.tar"), std::string::npos) << body.err;
  // Into a file, the window is the file.
  const auto file = limited(cat({header, noise(100, 8)}), dir.file("decoded"));
  EXPECT_EQ(file.status, EXIT_OK) << file.err;
  EXPECT_EQ(read_file(dir.file("decoded")), noise(100, 8));
}

}  // namespace
