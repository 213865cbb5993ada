// The filter form (no operands: standard input to standard output) as tar -I
// runs it, the options that stand in for the three numbers, --test, and the
// usage rules that decide between the forms.  The built binary runs as a
// child process; tar runs it the way a user's tar would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "app/exit_status.h"
#include "support/process.h"
#include "support/sample_inputs.h"
#include "support/terminal.h"

namespace cdedup::test {
namespace {

using namespace cdedup::app;

// A usage error: status 1, one message, the short usage, nothing on standard output.
void expect_usage_error(const ProcessResult& r) {
  EXPECT_EQ(r.status, EXIT_USAGE) << r.err;
  EXPECT_EQ(messages_in(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("usage: cdedup"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

// cdedup with a terminal as standard input, output and error.
TtyResult run_at_terminal(std::vector<std::string> args) {
  TtyRun job;
  job.args = std::move(args);
  job.stdin_tty = job.stdout_tty = job.stderr_tty = true;
  return run_with_tty(job, 10);
}

// ---------------------------------------------------------------------------
// Encoding and decoding without operands
// ---------------------------------------------------------------------------

TEST(FilterForm, EncodesByDefaultAndDecodesWithD) {
  const Bytes in = sample_with_repeats();
  const ProcessResult positional = run_cdedup({"e", "-", "-"}, in);
  ASSERT_EQ(positional.status, EXIT_OK) << positional.err;

  // A checked frame by default; with --bare, what the positional form writes.
  const ProcessResult e = run_cdedup({}, in);
  ASSERT_EQ(e.status, EXIT_OK) << e.err;
  EXPECT_EQ(e.out.substr(0, 8), std::string("\0\0CDF\x89\r\n", 8));
  EXPECT_EQ(e.err, "") << "the filter form is silent on success";
  const ProcessResult bare = run_cdedup({"--bare"}, in);
  ASSERT_EQ(bare.status, EXIT_OK) << bare.err;
  EXPECT_TRUE(to_bytes(bare.out) == to_bytes(positional.out));

  for (const char* opt : {"-d", "--decode", "--decompress"}) {
    SCOPED_TRACE(opt);
    const ProcessResult d = run_cdedup({opt}, to_bytes(e.out));
    ASSERT_EQ(d.status, EXIT_OK) << d.err;
    EXPECT_TRUE(to_bytes(d.out) == in);
    EXPECT_EQ(d.err, "");
  }
  // An option alone selects the filter form too, and -z with -d changes nothing.
  const ProcessResult dz = run_cdedup({"-z", "-d"}, to_bytes(e.out));
  EXPECT_EQ(dz.status, EXIT_OK) << dz.err;
  EXPECT_TRUE(to_bytes(dz.out) == in);
  const ProcessResult grouped = run_cdedup({"-dz"}, to_bytes(e.out));
  EXPECT_EQ(grouped.status, EXIT_OK) << grouped.err;
  EXPECT_TRUE(to_bytes(grouped.out) == in);
}

// -v gives the report lines the positional form prints, on standard error
// and with the same bytes out; -q and the default print nothing.  Errors
// print whatever the verbosity.
TEST(FilterForm, SilentUnlessAskedAndErrorsAlwaysPrint) {
  const Bytes in = sample_with_repeats();
  const ProcessResult positional = run_cdedup({"e", "-", "-"}, in);
  ASSERT_EQ(positional.status, EXIT_OK) << positional.err;
  ASSERT_EQ(split_lines(positional.err).size(), 3u) << positional.err;
  const ProcessResult plain = run_cdedup({"-z"}, in);
  ASSERT_EQ(plain.status, EXIT_OK) << plain.err;
  EXPECT_EQ(plain.err, "");
  for (const char* v : {"-v", "--verbose"}) {
    const ProcessResult verbose = run_cdedup({v, "-z"}, in);
    ASSERT_EQ(verbose.status, EXIT_OK) << verbose.err;
    EXPECT_TRUE(verbose.out == plain.out) << v;
    const std::vector<std::string> lines = split_lines(verbose.err), want = split_lines(positional.err);
    ASSERT_EQ(lines.size(), 3u) << verbose.err;
    // The configuration line names the index's address, which differs from run to run.
    EXPECT_EQ(lines[0].substr(0, lines[0].find(" htbl=")), want[0].substr(0, want[0].find(" htbl=")));
    EXPECT_EQ(lines[1], want[1]);
    EXPECT_EQ(lines[2], want[2]);
    const ProcessResult d = run_cdedup({v, "-d"}, to_bytes(plain.out));
    ASSERT_EQ(d.status, EXIT_OK) << d.err;
    EXPECT_TRUE(to_bytes(d.out) == in);
    EXPECT_EQ(split_lines(d.err).size(), 2u) << d.err;
  }
  for (const char* q : {"-q", "--quiet"}) {
    const ProcessResult quiet = run_cdedup({q, "-z"}, in);
    ASSERT_EQ(quiet.status, EXIT_OK) << quiet.err;
    EXPECT_TRUE(quiet.out == plain.out);
    EXPECT_EQ(quiet.err, "");
  }
  // A damaged stream is reported, -q or not.
  const std::string cut = plain.out.substr(0, plain.out.size() / 2);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-d"}, {"-q", "-d"}}) {
    const ProcessResult d = run_cdedup(args, to_bytes(cut));
    EXPECT_EQ(d.status, EXIT_BAD_STREAM);
    EXPECT_EQ(messages_in(d.err), 1) << d.err;
  }
}

// Every bad named value is refused before anything is written.
TEST(FilterForm, BadNamedValuesAreUsageErrorsAndWriteNothing) {
  TempDir dir;
  write_file(dir.file("in"), random_bytes(1000, 1));
  for (const char* bad : {"--decmem=abc", "--zstd=0", "--zstd=23", "--decmem=4096", "--encmem=0", "--threads=x",
                          "--chunklen=0", "--chunklen=65536", "--encmem=-16", "--long=4096", "-T257", "-20"}) {
    SCOPED_TRACE(bad);
    expect_usage_error(run_cdedup({bad}, to_bytes("some bytes")));
    const std::string out = dir.file(std::string("out") + bad);
    expect_usage_error(run_cdedup({bad, "e", dir.file("in"), out}));
    EXPECT_FALSE(file_exists(out));
  }
}

// A level flag writes what --zstd=LEVEL writes, a frame zstd itself accepts.
TEST(FilterForm, LevelFlagsWriteWhatZstdLevelWrites) {
  const Bytes in = sample_with_repeats();
  for (const char* level : {"1", "9", "19"}) {
    SCOPED_TRACE(level);
    const ProcessResult flag = run_cdedup({std::string("-") + level}, in);
    const ProcessResult named = run_cdedup({std::string("--zstd=") + level}, in);
    ASSERT_EQ(flag.status, EXIT_OK) << flag.err;
    ASSERT_EQ(named.status, EXIT_OK) << named.err;
    EXPECT_TRUE(flag.out == named.out);
    EXPECT_EQ(flag.out.substr(0, 4), std::string("\x28\xB5\x2F\xFD", 4)) << "a zstd frame";
    if (access("/usr/bin/zstd", X_OK) == 0) {
      const ProcessResult t = run_process("/usr/bin/zstd", {"-t", "-q"}, to_bytes(flag.out));
      EXPECT_EQ(t.status, 0) << t.err;
    }
  }
}

TEST(FilterForm, SettingsAsOptionsMeanWhatTheNumbersMean) {
  const Bytes in = sample_with_repeats();
  const ProcessResult numbers = run_cdedup({"e", "-", "-", "36", "16", "8"}, in);
  ASSERT_EQ(numbers.status, EXIT_OK) << numbers.err;
  for (const std::vector<std::string>& opts :
       {std::vector<std::string>{"-v", "--bare", "--chunklen=36", "--encmem=16", "--decmem=8"},
        {"--decmem", "8", "--chunklen", "36", "--encmem=16", "--verbose", "--bare"}}) {
    const ProcessResult r = run_cdedup(opts, in);
    ASSERT_EQ(r.status, EXIT_OK) << r.err;
    EXPECT_TRUE(to_bytes(r.out) == to_bytes(numbers.out));
    const std::vector<std::string> got = split_lines(r.err), want = split_lines(numbers.err);
    ASSERT_EQ(got.size(), 3u) << r.err;
    EXPECT_EQ(got[1], "len=100 encmem=16M decmem=8M");
    EXPECT_EQ(got[2], want.at(2));
  }
  // The positional form takes them as well, for a setting not given as a number.
  TempDir dir;
  write_file(dir.file("in"), in);
  const ProcessResult mixed = run_cdedup({"--decmem=8", "e", dir.file("in"), dir.file("out"), "36", "16"});
  ASSERT_EQ(mixed.status, EXIT_OK) << mixed.err;
  EXPECT_TRUE(read_file(dir.file("out")) == to_bytes(numbers.out));
}

// --long sets the window, and the index with it unless ENCMEM is given; it
// is accepted, and changes nothing, when decoding (tar -I passes -d).
TEST(FilterForm, LongSetsTheWindowAndTheIndexWithIt) {
  const Bytes in = sample_with_repeats();
  // -T1: a default one-per-CPU run would populate a 1 GiB index up front.
  const struct {
    std::vector<std::string> args;
    const char* params;  // the parameter line
  } cases[] = {
      {{"-T1", "--long"}, "len=164 encmem=1024M decmem=4095M"},
      {{"-T1", "--long=3072"}, "len=164 encmem=768M decmem=3072M"},
      {{"-T1", "--long=1025"}, "len=164 encmem=257M decmem=1025M"},
      {{"-T1", "--long=100"}, "len=164 encmem=256M decmem=100M"},
      {{"-T1", "--long", "--encmem=16"}, "len=164 encmem=16M decmem=4095M"},
      {{"-T1", "--encmem=16", "--long=8", "--chunklen=36"}, "len=100 encmem=16M decmem=8M"},
      {{"-T1", "--long", "e", "-", "-"}, "len=164 encmem=1024M decmem=4095M"},
      {{"-T1", "--long=2048", "e", "-", "-", "100", "64"}, "len=164 encmem=64M decmem=2048M"},
      {{"-T1", "--long=2048", "u", "-", "-", "100"}, "len=164 encmem=512M decmem=2048M"},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const std::string& a : c.args) trace += a + " ";
    SCOPED_TRACE(trace);
    std::vector<std::string> verbose = c.args;
    verbose.insert(verbose.begin(), "-v");
    const ProcessResult r = run_cdedup(verbose, in);
    ASSERT_EQ(r.status, EXIT_OK) << r.err;
    const std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), 3u) << r.err;
    EXPECT_EQ(lines[1], c.params);
  }
  // The header carries the 4095 MiB window.  The stream, bare or in a zstd
  // frame, decodes with -d --long as it does with -d.
  const ProcessResult bare = run_cdedup({"-T1", "--long", "--bare"}, in);
  ASSERT_EQ(bare.status, EXIT_OK);
  EXPECT_EQ(bare.out.substr(0, 4), std::string("\x64\x00\xFF\x0F", 4));
  const ProcessResult z = run_cdedup({"-T1", "-z", "--long"}, in);
  ASSERT_EQ(z.status, EXIT_OK) << z.err;
  for (const std::string* enc : {&bare.out, &z.out})
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-d", "--long", "--bare"}, {"--long=8", "-d", "--bare"}}) {
      const ProcessResult d = run_cdedup(args, to_bytes(*enc));
      ASSERT_EQ(d.status, EXIT_OK) << d.err;
      EXPECT_TRUE(to_bytes(d.out) == in);
    }
}

TEST(FilterForm, UsageErrors) {
  TempDir dir;
  write_file(dir.file("in"), random_bytes(1000, 1));
  const std::string in = dir.file("in"), out = dir.file("out");
  const std::vector<std::vector<std::string>> cases = {
      {"--chunklen=36", "e", in, out, "36"},           // a setting given both ways
      {"--encmem=16", "e", in, out, "100", "16"},
      {"--decmem=8", "e", in, out, "100", "16", "8"},
      {"-d", "e", in, out},                            // -d is the filter form's MODE
      {"-t", "-c", in}, {"-t", "-o", out, in}, {"-t", "--rm", in},  // -t writes nothing
      {"-c", "-o", out, in}, {"-o", out, in, in},      // -o: one output, of one input
      {"--rm", "-c", in}, {"-o", "", in}, {"-o"},
      {"-T"},                                          // a value is missing
      {"--threads=x"}, {"-T", "-1"}, {"--zstd=0"}, {"--zstd=23"}, {"--zstd="},
      {"--test=1"}, {"-dx"}, {"--bogus"}, {"--chunklen"},
      {"--long", "--decmem=8"}, {"--decmem=8", "--long=16"},  // the window both ways
      {"--long=8", "e", in, out, "100", "16", "8"},
      {"--long=0"}, {"--long=4096"}, {"--long=abc"}, {"--long="}, {"--long=-5"},
      {"e", in},                                       // one or two operands
  };
  for (const std::vector<std::string>& args : cases) {
    std::string trace;
    for (const std::string& a : args) trace += a + " ";
    SCOPED_TRACE(trace);
    expect_usage_error(run_cdedup(args, to_bytes("x")));
    EXPECT_FALSE(file_exists(out));
  }
  // Accepted: the thread count, levels at both ends, -T 0.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-T", "2"}, {"-T0"}, {"--threads=1", "--zstd=1"}, {"-z", "--zstd=22"}}) {
    const ProcessResult r = run_cdedup(args, to_bytes("some bytes"));
    EXPECT_EQ(r.status, EXIT_OK) << args[0] << ": " << r.err;
  }
}

// ---------------------------------------------------------------------------
// Terminals
// ---------------------------------------------------------------------------

TEST(FilterForm, AloneAtATerminalShowsTheUsage) {
  const TtyResult r = run_at_terminal({});
  EXPECT_EQ(r.status, EXIT_USAGE) << r.tty;
  EXPECT_NE(r.tty.find("usage: cdedup"), std::string::npos) << r.tty;
}

TEST(FilterForm, EncodedDataIsNotWrittenToATerminal) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-z"}, {"--chunklen=36"}, {"-c", "-"}}) {
    TtyRun job;
    job.args = args;
    job.stdout_tty = job.stderr_tty = true;
    const TtyResult r = run_with_tty(job, 10);
    EXPECT_EQ(r.status, EXIT_OUTPUT_OPEN) << r.tty;
    EXPECT_NE(r.tty.find("cdedup: refusing to write encoded data to a terminal"), std::string::npos) << r.tty;
  }
}

// The filter form, -d and -t do not wait on a terminal for their input: one
// line and status 1.  (The positional form reads what it is named.)
TEST(FilterForm, StandardInputAtATerminalIsNotRead) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-z"}, {"-d"}, {"-t"}, {"-d", "-"}, {"-v"}, {"-", "-o", "/dev/null"}}) {
    std::string trace;
    for (const std::string& a : args) trace += a + " ";
    SCOPED_TRACE(trace);
    TtyRun job;
    job.args = args;
    job.stdin_tty = true;
    job.stderr_tty = true;
    const TtyResult r = run_with_tty(job, 10);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, EXIT_USAGE) << r.tty;
    EXPECT_NE(r.tty.find("cdedup: standard input is a terminal"), std::string::npos) << r.tty;
    EXPECT_EQ(r.out, "");
  }
}

// --progress writes its lines to standard error whatever that is: at most
// one a second while data moves, and a last one with the totals.
TEST(FilterForm, ProgressLinesGoToALog) {
  TempDir dir;
  write_file(dir.file("in"), random_bytes(3 << 20, 5));
  const ProcessResult r = run_bash("{ head -c 1000000 " + shell_quote(dir.file("in")) + "; sleep 2.5; tail -c +1000001 " +
                                   shell_quote(dir.file("in")) + "; } | " + cdedup_shell() +
                                   " -q --progress > /dev/null 2> " + shell_quote(dir.file("log")));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = split_lines(to_string(read_file(dir.file("log"))));
  ASSERT_GE(lines.size(), 2u);
  for (const std::string& line : lines) EXPECT_EQ(line.rfind("cdedup progress: read=", 0), 0u) << line;
  // Drawn as data comes: the first line comes once the stalled input moves again.
  EXPECT_GE(std::stoull(lines.front().substr(lines.front().find("read=") + 5)), 1000000u) << lines.front();
  EXPECT_EQ(lines.back().rfind(" end"), lines.back().size() - 4) << lines.back();
  EXPECT_NE(lines.back().find("read=" + std::to_string(3 << 20) + " "), std::string::npos) << lines.back();
}

// ---------------------------------------------------------------------------
// --test
// ---------------------------------------------------------------------------

TEST(FilterForm, TestDecodesAndDiscards) {
  TempDir dir;
  const Bytes in = sample_with_repeats();
  const ProcessResult e = run_cdedup({"-v"}, in);
  ASSERT_EQ(e.status, EXIT_OK);
  write_file(dir.file("enc"), to_bytes(e.out));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-t"}, {"--test", dir.file("enc")}, {"-t", "-z", "-"}, {"-t", "-", dir.file("enc")}}) {
    const ProcessResult t = run_cdedup(args, to_bytes(e.out));
    EXPECT_EQ(t.status, EXIT_OK) << t.err;
    // Silent on success, as the filter form is; nothing decoded reaches standard output.
    EXPECT_EQ(t.out, "");
    EXPECT_EQ(t.err, "");
  }
  // -v: the two report lines, on standard error.
  const ProcessResult v = run_cdedup({"-tv"}, to_bytes(e.out));
  EXPECT_EQ(v.status, EXIT_OK) << v.err;
  EXPECT_EQ(v.out, "");
  const std::vector<std::string> lines = split_lines(v.err);
  ASSERT_EQ(lines.size(), 2u) << v.err;
  EXPECT_EQ(lines[1], split_lines(e.err).at(2));
  // A bare stream cut inside a copy record, and one too short for a header.
  const std::string enc = e.out;
  const size_t copy = enc.find(std::string("\xEF\x4D\xB6\x00", 4), 4);
  ASSERT_NE(copy, std::string::npos);
  for (const std::string& bad : {enc.substr(0, copy + 6), enc.substr(0, 3)}) {
    const ProcessResult t = run_cdedup({"-t"}, to_bytes(bad));
    EXPECT_EQ(t.status, EXIT_BAD_STREAM);
    EXPECT_EQ(messages_in(t.err), 1) << t.err;
  }
  EXPECT_EQ(run_cdedup({"-t", dir.file("missing")}).status, EXIT_INPUT_OPEN);
}

// ---------------------------------------------------------------------------
// tar -I
// ---------------------------------------------------------------------------

class Tar : public ::testing::Test {
 protected:
  void SetUp() override {
    make_tree(dir.file("tree"));
    ASSERT_EQ(run_bash("mkdir -p " + shell_quote(dir.file("x"))).status, 0);
  }
  std::string in_dir(const std::string& script) { return "set -o pipefail; cd " + shell_quote(dir.path()) + " && " + script; }
  TempDir dir;
};

TEST_F(Tar, CreatesAndExtractsATreeThroughCdedup) {
  const std::string cdedup = cdedup_shell();
  const std::vector<std::string> programs = {cdedup + " -z", cdedup, cdedup + " -z --zstd=9 -T 1 --decmem=8 --encmem=4",
                                             cdedup + " -z --long -T1", cdedup + " -9"};
  for (size_t i = 0; i < programs.size(); ++i) {
    SCOPED_TRACE(programs[i]);
    // (Appended, not "a" + to_string(i): g++ 12 warns falsely on the latter.)
    std::string archive = "a", into = "x/";
    archive += std::to_string(i);
    into += std::to_string(i);
    const ProcessResult c = run_bash(in_dir("tar -I " + shell_quote(programs[i]) + " -cf " + archive + " tree"));
    ASSERT_EQ(c.status, 0) << c.err;
    const ProcessResult x = run_bash(in_dir("mkdir " + into + " && tar -I " + shell_quote(programs[i]) + " -xf " + archive +
                                        " -C " + into + " && diff -r tree " + into + "/tree"));
    EXPECT_EQ(x.status, 0) << x.out << x.err;
    // Silent both ways, as a compressor under tar is.
    EXPECT_EQ(c.out + c.err, "");
    EXPECT_EQ(x.out + x.err, "");
    const Bytes a = read_file(dir.file(archive));
    ASSERT_GE(a.size(), 4u);
    const bool framed = programs[i] != cdedup;
    EXPECT_EQ(a[0] == 0x28 && a[1] == 0xB5 && a[2] == 0x2F && a[3] == 0xFD, framed);
    // The tree holds each big file twice: the second copy must have become references.
    EXPECT_LT(a.size(), 400000u);
  }
  // A plain tar restores the zstd archive through the pipeline as well.
  const ProcessResult p = run_bash(in_dir("mkdir x/p && zstd -dc a0 | " + cdedup + " d - - 2>/dev/null | tar -xf - -C x/p && diff -r tree x/p/tree"));
  EXPECT_EQ(p.status, 0) << p.err;
}

}  // namespace
}  // namespace cdedup::test
