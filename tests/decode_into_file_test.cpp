// Decoding into a file, seen from the command line: whichever way the file
// is named or redirected, it gets the bytes a pipe gets, while the decoder
// reads its window back from the file instead of holding it in memory; where
// the file cannot be read back, the window stays in memory without a word;
// and a file that fails or changes under the decoder ends the run with
// status 6, everything before the fault kept.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "app/exit_status.h"
#include "support/address_space.h"
#include "support/process.h"
#include "support/sanitized.h"

namespace cdedup::test {
namespace {

using namespace cdedup::app;

constexpr size_t MiB = size_t{1} << 20;

Bytes slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + long(from), b.begin() + long(to)); }

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class DecodeIntoFile : public ::testing::Test {
 protected:
  // 20 MiB: A (9 MiB), B (1 MiB), A again, A's first MiB again.  The
  // repeats reach back to the first byte, past the 8 MiB the decoder keeps
  // in memory, and the end of the stream still reads its start.
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const Bytes a = random_bytes(9 * MiB, 1), b = random_bytes(MiB, 2);
    plain_ = new Bytes(cat({a, b, a, slice(a, 0, MiB)}));
    write_file(dir_->file("plain"), *plain_);
    // A checked stream, which every form decodes.
    const ProcessResult e = run_cdedup({"-o", dir_->file("stream"), dir_->file("plain")});
    ASSERT_EQ(e.status, EXIT_OK) << e.err;
    ASSERT_LT(read_file(dir_->file("stream")).size(), 11 * MiB) << "the repeats were not found";
  }
  static void TearDownTestSuite() {
    delete plain_;
    delete dir_;
    plain_ = nullptr;
    dir_ = nullptr;
  }

  static std::string stream() { return dir_->file("stream"); }
  static const Bytes& plain() { return *plain_; }
  std::string sh(const std::string& s) { return shell_quote(s); }

  // The script with the address space limited to 400 MiB, where a 1 GiB
  // window in memory cannot be had: only a decoder that reads its window
  // back from the file gets through.  Sanitizers need more than that, an
  // emulator would be bound itself, and some sandboxes accept the limit and
  // ignore it: there the script runs as it is, and what needs the limit to
  // bite is not checked.
  static bool limit_bites() {
    return !SANITIZED && cdedup_emulator().empty() && address_space_limit_holds();
  }
  static std::string without_room(const std::string& script) {
    return limit_bites() ? "ulimit -v " + std::to_string(400 * 1024) + " && " + script : script;
  }

  TempDir dir;
  static TempDir* dir_;
  static Bytes* plain_;
};

TempDir* DecodeIntoFile::dir_ = nullptr;
Bytes* DecodeIntoFile::plain_ = nullptr;

TEST_F(DecodeIntoFile, EveryWayOfNamingTheFileGivesWhatAPipeGets) {
  const ProcessResult pipe = run_cdedup({"d", stream(), "-"});
  ASSERT_EQ(pipe.status, EXIT_OK) << pipe.err;
  EXPECT_TRUE(to_bytes(pipe.out) == plain());
  // A pipe keeps the window in memory, which the limit does not leave room
  // for: status 5, and the line names the way out.
  if (limit_bites()) {
    const ProcessResult limited = run_bash(without_room("exec " + cdedup_shell() + " d " + sh(stream()) + " - > /dev/null"));
    EXPECT_EQ(limited.status, EXIT_REFUSED) << limited.err;
    EXPECT_NE(limited.err.find("decoding into a regular file"), std::string::npos) << limited.err;
  }

  const Bytes old = random_bytes(plain().size() + MiB, 3);  // longer than the output
  const Bytes header = to_bytes("a line that was there before\n");
  struct Case {
    const char* what;
    std::string script;
    Bytes before, after;  // the file before, and what it must hold after
  };
  const std::string out = dir.file("out");
  const Case cases[] = {
      {"positional, over a longer file", "exec " + cdedup_shell() + " d " + sh(stream()) + " " + sh(out), old, plain()},
      {"positional, one thread", "exec " + cdedup_shell() + " -T1 d " + sh(stream()) + " " + sh(out), {}, plain()},
      {"filter, > over a longer file", "exec " + cdedup_shell() + " -d < " + sh(stream()) + " > " + sh(out), old, plain()},
      {"filter, >> after a line", "exec " + cdedup_shell() + " -d < " + sh(stream()) + " >> " + sh(out), header,
       cat({header, plain()})},
      // The file form writes a temporary beside the output, and reads that back.
      {"file form, -f -o over a longer file", "exec " + cdedup_shell() + " -f -d -o " + sh(out) + " " + sh(stream()),
       old, plain()},
      // Like cat, a file opened without truncation keeps what lies past the output.
      {"filter, 1<> over a longer file", "exec " + cdedup_shell() + " -T1 -d < " + sh(stream()) + " 1<> " + sh(out), old,
       cat({plain(), slice(old, plain().size(), old.size())})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(out, c.before);
    const ProcessResult r = run_bash(without_room(c.script));
    ASSERT_EQ(r.status, EXIT_OK) << r.err;
    EXPECT_EQ(messages_in(r.err), 0) << r.err;
    const Bytes got = read_file(out);
    EXPECT_EQ(got.size(), c.after.size());
    EXPECT_TRUE(got == c.after);
  }
}

// A file the decoder cannot read (a redirect to a file without read
// permission, for a user who is not root) gets the same bytes, the window
// held in memory, and not a word about it.
TEST_F(DecodeIntoFile, FileThatCannotBeReadBackKeepsTheWindowInMemory) {
  const std::string out = dir.file("write-only");
  write_file(out, {});
  ASSERT_EQ(chmod(out.c_str(), 0222), 0);
  std::string script = "exec " + cdedup_shell() + " -d < " + sh(stream()) + " > " + sh(out);
  if (geteuid() == 0) {
    // Root reads anything: run as nobody, who may read the stream.
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv to run as another user";
    for (const std::string& d : {dir.path(), dir_->path()}) ASSERT_EQ(chmod(d.c_str(), 0755), 0);
    ASSERT_EQ(chmod(stream().c_str(), 0644), 0);
    ASSERT_EQ(chown(out.c_str(), 65534, 65534), 0);
    script = "exec /usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups -- /bin/bash -c " + sh(script);
  }
  const ProcessResult r = run_bash(script);
  ASSERT_EQ(r.status, EXIT_OK) << r.err;
  EXPECT_EQ(messages_in(r.err), 0) << r.err;
  EXPECT_TRUE(read_file(out) == plain());
  // The window was in memory: without room for it, the run fails, and says
  // why the file could not serve.
  if (limit_bites()) {
    write_file(out, {});
    const ProcessResult limited = run_bash(without_room(script));
    EXPECT_EQ(limited.status, EXIT_REFUSED);
    EXPECT_NE(limited.err.find("cannot be read back"), std::string::npos) << limited.err;
  }
}

// Descriptors the decoder shares with others, or finds where it did not
// expect: standard error on the same open file (2>&1, where the report lines
// land among the data, so the window stays in memory as it did before
// decoding into a file existed), and an output positioned past the end of
// its file (decoded into the file, as the limit on memory shows).  Each
// decodes with status 0.
TEST_F(DecodeIntoFile, SharedOrMovedDescriptorsStillDecode) {
  const std::string out = dir.file("shared");
  const std::string params = "len=164 encmem=0M decmem=1024M\n";
  for (const char* threads : {"-T1", "-T2"}) {
    SCOPED_TRACE(threads);
    for (const std::string& script :
         {"exec " + cdedup_shell() + " " + threads + " -dv < " + sh(stream()) + " > " + sh(out) + " 2>&1",
          "exec " + cdedup_shell() + " " + threads + " d " + sh(stream()) + " - > " + sh(out) + " 2>&1"}) {
      SCOPED_TRACE(script);
      write_file(out, {});
      const ProcessResult r = run_bash(script);
      ASSERT_EQ(r.status, EXIT_OK) << r.err;
      // The report lines land in the file where they were written: the
      // parameter line before the data, the statistics line after it.
      const Bytes got = read_file(out);
      ASSERT_GT(got.size(), params.size() + plain().size());
      EXPECT_TRUE(slice(got, 0, params.size()) == to_bytes(params));
      EXPECT_TRUE(slice(got, params.size(), params.size() + plain().size()) == plain());
      const std::string tail = to_string(slice(got, params.size() + plain().size(), got.size()));
      EXPECT_EQ(tail.rfind("sum=", 0), 0u) << tail;
    }
    // Past the end: the bytes between the file's end and the offset read as zeros.
    const Bytes before = to_bytes("short");
    write_file(out, before);
    const ProcessResult r = run_bash(without_room("{ dd bs=1 seek=1000 count=0 status=none && exec " + cdedup_shell() +
                                                  " " + threads + " -d < " + sh(stream()) + "; } 1<> " + sh(out)));
    ASSERT_EQ(r.status, EXIT_OK) << r.err;
    EXPECT_EQ(messages_in(r.err), 0) << r.err;
    EXPECT_TRUE(read_file(out) == cat({before, Bytes(1000 - before.size(), 0), plain()}));
  }
}

// ---------------------------------------------------------------------------
// Faults: status 6, one message, what was decoded before kept
// ---------------------------------------------------------------------------

TEST_F(DecodeIntoFile, FileSizeLimitKeepsEverythingBefore) {
  const std::string out = dir.file("limited");
  for (const char* threads : {"-T1", "-T2"}) {
    SCOPED_TRACE(threads);
    // 15000 KiB (bash counts KiB): inside the second copy of A.
    const ProcessResult r = run_bash("trap '' XFSZ; ulimit -f 15000 && exec " + cdedup_shell() + " " + threads + " d " +
                                     sh(stream()) + " " + sh(out));
    EXPECT_EQ(r.status, EXIT_IO) << r.err;
    EXPECT_EQ(messages_in(r.err), 1) << r.err;
    EXPECT_TRUE(read_file(out) == slice(plain(), 0, 15000 * 1024));
  }
}

// The stream comes through a pipe in two parts; between them, once the
// decoder has written 8 MiB, another process changes the file: cuts it to
// nothing, or appends to it behind the decoder's back.  What the decoder
// still has to read back from the start of the file is then not there, or
// not where it wrote it.
TEST_F(DecodeIntoFile, FileChangedByAnotherProcessFailsTheRun) {
  const std::string out = dir.file("changed");
  const std::string part1 = "head -c " + std::to_string(10 * MiB) + " " + sh(stream());
  const std::string part2 = "tail -c +" + std::to_string(10 * MiB + 1) + " " + sh(stream());
  const std::string wait8 = "while [ $(stat -c %s " + sh(out) + ") -lt " + std::to_string(8 * MiB) +
                            " ]; do sleep 0.01; done";
  struct Case {
    const char* what;
    const char* redirect;
    std::string change;
    const char* message;
  };
  const Case cases[] = {
      {"cut short", ">", ": > " + sh(out), "cut it short"},
      {"appended to", ">>", "echo another >> " + sh(out), "writes to it too"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(out, {});
    const ProcessResult r = run_bash("{ " + part1 + "; " + wait8 + "; " + c.change + "; " + part2 + "; } | " +
                                     cdedup_shell() + " -d " + c.redirect + " " + sh(out));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, EXIT_IO) << r.err;
    EXPECT_EQ(messages_in(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

// Another process writes into bytes already decoded, through a file of its
// own (dd conv=notrunc), before a reference reads them back.  The writes
// cannot be seen, but the checked stream's checksum sees what they did to
// the decoded bytes: status 7.  A bare stream has no checksum, and that run
// ends with status 0 and the foreign bytes copied on, as the README says.
TEST_F(DecodeIntoFile, ForeignBytesReadBackAreCaughtByTheChecksumOnly) {
  const std::string out = dir.file("tampered");
  write_file(dir.file("bare"), {});
  ASSERT_EQ(run_cdedup({"e", dir_->file("plain"), dir.file("bare")}).status, EXIT_OK);
  for (const bool checked : {true, false}) {
    SCOPED_TRACE(checked ? "checked" : "bare");
    const std::string in = checked ? stream() : dir.file("bare");
    const std::string part1 = "head -c " + std::to_string(10 * MiB) + " " + sh(in);
    const std::string part2 = "tail -c +" + std::to_string(10 * MiB + 1) + " " + sh(in);
    const std::string wait8 = "while [ $(stat -c %s " + sh(out) + ") -lt " + std::to_string(8 * MiB) +
                              " ]; do sleep 0.01; done";
    const std::string tamper = "printf FOREIGN | dd of=" + sh(out) + " bs=1 seek=4096 conv=notrunc status=none";
    write_file(out, {});
    const ProcessResult r = run_bash("{ " + part1 + "; " + wait8 + "; " + tamper + "; " + part2 + "; } | " +
                                     cdedup_shell() + (checked ? " -d" : " -d --bare") + " > " + sh(out));
    ASSERT_FALSE(r.timed_out);
    const Bytes got = read_file(out);
    if (checked) {
      EXPECT_EQ(r.status, EXIT_BAD_STREAM) << r.err;
      EXPECT_EQ(messages_in(r.err), 1) << r.err;
      EXPECT_NE(r.err.find("checksum"), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.status, EXIT_OK) << r.err;
      ASSERT_EQ(got.size(), plain().size());
      // The second copy of A was read back from the file: it has the foreign bytes too.
      EXPECT_TRUE(slice(got, 10 * MiB + 4096, 10 * MiB + 4103) == to_bytes("FOREIGN"));
    }
  }
}

}  // namespace
}  // namespace cdedup::test
