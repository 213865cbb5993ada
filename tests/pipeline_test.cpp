// The command in the places a user puts it: in shell pipelines, with a
// terminal on standard output or standard error, and beside its man page.
// Pipelines run under bash -c, terminals are pseudo-terminals in raw mode
// (so the bytes read back are the bytes written), and slow input comes from
// a writer thread, so a run lasts long enough for the progress line however
// fast the codec is.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"
#include "support/sample_inputs.h"
#include "support/terminal.h"

namespace cdedup::test {
namespace {

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// "key=<number>" in a report line, or -1 when absent.
long long field(const std::string& line, const std::string& key) {
  const size_t at = line.find(key + "=");
  if (at == std::string::npos) return -1;
  return std::atoll(line.c_str() + at + key.size() + 1);
}

// ---------------------------------------------------------------------------
// Shell pipelines
// ---------------------------------------------------------------------------

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    make_tree(dir.file("tree"));
    const ProcessResult t = run_bash("tar -C " + shell_quote(dir.path()) + " -cf " + shell_quote(dir.file("tree.tar")) + " tree");
    ASSERT_EQ(t.status, 0) << t.err;
    tar_size = static_cast<long long>(read_file(dir.file("tree.tar")).size());
  }
  std::string in_dir(const std::string& script) { return "set -o pipefail; cd " + shell_quote(dir.path()) + " && " + script; }

  TempDir dir;
  long long tar_size = 0;
};

TEST_F(Pipeline, TarThroughEncodeAndDecode) {
  // The data passes through three pipes; tee keeps the encoded stream for a look.
  const ProcessResult r = run_bash(in_dir("tar cf - tree | " + cdedup_shell() + " e - - 2>enc.err | tee enc.cdd | " +
                                      cdedup_shell() + " d - - 2>dec.err | cmp - <(tar cf - tree)"));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");

  // Standard output carried the stream alone: it opens with the header of the
  // default settings (chunk parameter 100, 1024 MiB window).
  const Bytes enc = read_file(dir.file("enc.cdd"));
  ASSERT_GE(enc.size(), 4u);
  EXPECT_EQ(enc[0], 0x64);
  EXPECT_EQ(enc[1], 0x00);
  EXPECT_EQ(enc[2], 0x00);
  EXPECT_EQ(enc[3], 0x04);
  // Each big file is in the archive twice; the second copy must become references.
  EXPECT_LT(static_cast<long long>(enc.size()), tar_size - 250000);

  const std::vector<std::string> e = split_lines(read_text(dir.file("enc.err")));
  ASSERT_EQ(e.size(), 3u) << read_text(dir.file("enc.err"));
  EXPECT_TRUE(starts_with(e[0], "sizeof(this)=")) << e[0];
  EXPECT_EQ(e[1], "len=164 encmem=256M decmem=1024M");
  EXPECT_TRUE(starts_with(e[2], "sum=")) << e[2];
  EXPECT_EQ(field(e[2], "sum"), tar_size);

  const std::vector<std::string> d = split_lines(read_text(dir.file("dec.err")));
  ASSERT_EQ(d.size(), 2u) << read_text(dir.file("dec.err"));
  EXPECT_EQ(d[0], "len=164 encmem=0M decmem=1024M");
  EXPECT_EQ(field(d[1], "sum"), tar_size);
  // Both sides cut the same bytes with the same rule, so they count the same chunks.
  EXPECT_EQ(field(d[1], "x"), field(e[2], "x"));
}

TEST_F(Pipeline, SettingsTravelInTheStream) {
  // The decoder is given other numbers; it must use those of the stream header.
  const ProcessResult r =
      run_bash(in_dir(cdedup_shell() + " e - - 36 1 8 2>enc.err <tree.tar | " + cdedup_shell() +
                  " d - - 500 2 2 2>dec.err | cmp - tree.tar"));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<std::string> e = split_lines(read_text(dir.file("enc.err")));
  const std::vector<std::string> d = split_lines(read_text(dir.file("dec.err")));
  ASSERT_EQ(e.size(), 3u);
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(e[1], "len=100 encmem=1M decmem=8M");
  EXPECT_EQ(d[0], "len=100 encmem=0M decmem=8M");
}

TEST_F(Pipeline, UniqueModeKeepsOneCopy) {
  // u drops repeats: its stream decodes to the chunks that were kept, which
  // is shorter than the archive but still holds every distinct file once.
  const ProcessResult r =
      run_bash(in_dir(cdedup_shell() + " u - - <tree.tar 2>u.err | " + cdedup_shell() + " d - - 2>/dev/null >kept"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(split_lines(read_text(dir.file("u.err"))).size(), 3u);
  const std::string kept = read_text(dir.file("kept"));
  EXPECT_LT(static_cast<long long>(kept.size()), tar_size - 250000);
  EXPECT_NE(kept.find("line 699 of a text file"), std::string::npos);
}

// A reader that leaves early (head) closes the pipe.  Like other filters,
// cdedup is then ended by SIGPIPE without a word (status 141 in the shell);
// where SIGPIPE is ignored, the write fails like any other: status 6 and one
// line.  More output than a pipe holds, so the close is always met.
TEST_F(Pipeline, ClosedPipeEndsTheRunLikeAnyFilter) {
  write_file(dir.file("in"), random_bytes(size_t{4} << 20, 141));
  ASSERT_EQ(run_bash(in_dir(cdedup_shell() + " e in enc 2>/dev/null")).status, 0);
  const std::string bin = cdedup_shell();
  for (const std::string& run : {bin + " e in -", bin + " -T1 e in -", bin + " -T2 -z e in -", bin + " d enc -",
                                 bin + " -T3 -d --bare <enc", bin + " <in"}) {
    SCOPED_TRACE(run);
    const ProcessResult quiet = run_bash(in_dir(run + " | head -c10 >/dev/null; echo ${PIPESTATUS[0]}"));
    EXPECT_EQ(quiet.out, "141\n");
    EXPECT_EQ(messages_in(quiet.err), 0) << quiet.err;
    const ProcessResult ignored = run_bash(in_dir("trap '' PIPE; " + run + " | head -c10 >/dev/null; echo ${PIPESTATUS[0]}"));
    EXPECT_EQ(ignored.out, "6\n");
    EXPECT_EQ(messages_in(ignored.err), 1) << ignored.err;
    EXPECT_NE(ignored.err.find("cannot write (standard output)"), std::string::npos) << ignored.err;
  }
}

TEST_F(Pipeline, DotSlashDashIsAFile) {
  // A file literally named "-": "./-" must open it, while standard input
  // holds other bytes that must not be read.
  const Bytes content = read_file(dir.file("tree.tar"));
  write_file(dir.file("-"), content);
  const ProcessResult e = run_process("/bin/bash", {"-c", in_dir("exec " + cdedup_shell() + " e ./- enc")},
                                      to_bytes("not this"));
  ASSERT_EQ(e.status, 0) << e.err;
  const std::vector<std::string> report = split_lines(e.out);
  ASSERT_EQ(report.size(), 3u) << e.out;  // a file output: the report stays on standard output
  EXPECT_EQ(field(report[2], "sum"), tar_size);
  EXPECT_EQ(e.err, "");

  ASSERT_EQ(run_bash(in_dir("rm ./-")).status, 0);
  const ProcessResult d = run_bash(in_dir("exec " + cdedup_shell() + " d enc ./-"));
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(split_lines(d.out).size(), 2u) << "decoded data went to standard output";
  EXPECT_TRUE(read_file(dir.file("-")) == content);
}

// ---------------------------------------------------------------------------
// Terminals
// ---------------------------------------------------------------------------

TtyRun tty_on(bool stdout_tty, std::vector<std::string> args) {
  TtyRun job;
  job.args = std::move(args);
  job.stdout_tty = stdout_tty;
  job.stderr_tty = !stdout_tty;
  return job;
}
TtyRun tty_on_stdout(std::vector<std::string> args) { return tty_on(true, std::move(args)); }
TtyRun tty_on_stderr(std::vector<std::string> args) { return tty_on(false, std::move(args)); }

class Terminal : public ::testing::Test {
 protected:
  void SetUp() override {
    input = dir.file("in");
    write_file(input, random_bytes(100000, 3));
  }
  TempDir dir;
  std::string input;
};

TEST_F(Terminal, EncodedDataIsNotWrittenToATerminal) {
  // e, u and every letter that encodes, an empty mode included.
  for (const char* mode : {"e", "u", "x", "D", ""}) {
    SCOPED_TRACE(std::string("mode '") + mode + "'");
    const TtyResult r = run_with_tty(tty_on_stdout({mode, input, "-"}));
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.tty, "");
    EXPECT_TRUE(starts_with(r.err, "cdedup: ")) << r.err;
    EXPECT_NE(r.err.find("terminal"), std::string::npos) << r.err;
  }
}

TEST_F(Terminal, DecodedDataMayGoToATerminal) {
  const std::string text = "some text for the terminal\nand a second line\n";
  write_file(input, to_bytes(text));
  ASSERT_EQ(run_cdedup({"e", input, dir.file("enc")}).status, 0);
  const TtyResult r = run_with_tty(tty_on_stdout({"d", dir.file("enc"), "-"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.tty, text);
  EXPECT_EQ(split_lines(r.err).size(), 2u) << r.err;
}

TEST_F(Terminal, EncodingToAFileWithATerminalAttached) {
  // Only data on standard output is refused; the report may go to the terminal.
  const TtyResult r = run_with_tty(tty_on_stdout({"e", input, dir.file("enc")}));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = split_lines(r.tty);
  ASSERT_EQ(lines.size(), 3u) << r.tty;
  EXPECT_EQ(field(lines[2], "sum"), 100000);
}

// ---------------------------------------------------------------------------
// Progress line
// ---------------------------------------------------------------------------

const std::string ERASE = "\r\033[K";

// About 1.4 MiB fed over 2.2 s: a run of that length whatever the machine.
TtyRun slow_encode(const std::string& output, bool stderr_tty) {
  TtyRun job;
  job.args = {"e", "-", output};
  job.stderr_tty = stderr_tty;
  for (uint64_t i = 0; i < 22; ++i) job.feed.push_back(random_bytes(65536, 100 + i));
  job.feed_pause_ms = 100;
  return job;
}

TEST(Progress, ShownOnATerminalDuringALongRunAndErased) {
  TempDir dir;
  const TtyRun job = slow_encode(dir.file("enc"), true);
  const TtyResult r = run_with_tty(job);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_GT(r.seconds, 1.5);
  // Drawn at least once after the first second and redrawn in place.
  EXPECT_NE(r.tty.find(ERASE), std::string::npos) << r.tty;
  EXPECT_NE(r.tty.find(" read, "), std::string::npos) << r.tty;
  EXPECT_NE(r.tty.find("MB/s"), std::string::npos) << r.tty;
  EXPECT_EQ(r.tty.find('\n'), std::string::npos) << "the progress line must not scroll";
  // Erased at the end: nothing follows the last erase.
  ASSERT_GE(r.tty.size(), ERASE.size());
  EXPECT_EQ(r.tty.substr(r.tty.size() - ERASE.size()), ERASE);
  // The report and the data are untouched by it.
  const std::vector<std::string> report = split_lines(r.out);
  ASSERT_EQ(report.size(), 3u) << r.out;
  EXPECT_EQ(field(report[2], "sum"), 22 * 65536);
  Bytes fed;
  for (const Bytes& b : job.feed) fed.insert(fed.end(), b.begin(), b.end());
  const ProcessResult d = run_cdedup({"d", dir.file("enc"), "-"});
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_TRUE(to_bytes(d.out) == fed);
}

// -q leaves the line out, in either form; the filter form shows it otherwise,
// though it prints no report.
TEST(Progress, QuietLeavesItOut) {
  TempDir dir;
  for (const bool quiet : {false, true}) {
    for (const bool filter : {false, true}) {
      SCOPED_TRACE(std::string(quiet ? "-q, " : "") + (filter ? "filter form" : "positional form"));
      TtyRun job = slow_encode(dir.file("enc"), true);
      if (filter) job.args = {"-T1"};
      if (quiet) job.args.insert(job.args.begin(), "-q");
      const TtyResult r = run_with_tty(job);
      ASSERT_EQ(r.status, 0) << r.err;
      ASSERT_GT(r.seconds, 1.5);
      EXPECT_EQ(r.tty.find(ERASE) != std::string::npos, !quiet) << r.tty;
      if (quiet) {
        EXPECT_EQ(r.tty, "");
      }
      if (!filter) {
        EXPECT_EQ(split_lines(r.out).size(), 3u) << r.out;
      }
    }
  }
}

TEST(Progress, AbsentWhenStandardErrorIsAPipe) {
  TempDir dir;
  const TtyResult r = run_with_tty(slow_encode(dir.file("enc"), false));
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_GT(r.seconds, 1.5);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(split_lines(r.out).size(), 3u);
}

TEST(Progress, AbsentOnATerminalForAShortRun) {
  TempDir dir;
  write_file(dir.file("in"), random_bytes(200000, 9));
  // Small tables: setting up the default ones alone can take a good part of a second.
  const TtyResult r = run_with_tty(tty_on_stderr({"e", dir.file("in"), dir.file("enc"), "100", "16", "64"}));
  ASSERT_EQ(r.status, 0);
  if (r.seconds >= 1.0) GTEST_SKIP() << "this machine took " << r.seconds << " s: not a short run";
  EXPECT_EQ(r.tty, "");
}

// ---------------------------------------------------------------------------
// Help text and man page
// ---------------------------------------------------------------------------

std::string trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return s.substr(a, b - a);
}

// Option names ("-h", "--help") in a piece of text.
std::set<std::string> options_in(const std::string& text) {
  std::set<std::string> found;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '-' || (i > 0 && !std::isspace(static_cast<unsigned char>(text[i - 1])) && text[i - 1] != ','))
      continue;
    size_t j = i;
    while (j < text.size() && text[j] == '-') ++j;
    if (j - i > 2 || j >= text.size() || !std::isalpha(static_cast<unsigned char>(text[j]))) continue;
    while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '-')) ++j;
    found.insert(text.substr(i, j - i));
    i = j;
  }
  return found;
}

// "1..65535 (default 100)" out of a parameter's description.
std::string range_and_default(const std::string& text) {
  const size_t dots = text.find("..");
  const size_t def = text.find("(default ");
  if (dots == std::string::npos || def == std::string::npos) return "";
  size_t a = dots;
  while (a > 0 && std::isdigit(static_cast<unsigned char>(text[a - 1]))) --a;
  return text.substr(a, text.find(')', def) + 1 - a);
}

struct Documented {
  std::set<std::string> options;
  std::set<std::string> modes;
  std::map<std::string, std::string> parameters;  // name -> "range (default n)"
  std::map<int, std::string> exit_statuses;
  std::vector<std::string> examples;
};

// The help text: sections open with a line ending in ':' at the left margin.
Documented parse_help(const std::string& help) {
  Documented d;
  std::string section;
  std::string param;
  int status = 0;
  for (const std::string& line : split_lines(help)) {
    if (!line.empty() && line[0] != ' ' && line.back() == ':') {
      section = line;
      continue;
    }
    if (line.empty() || line[0] != ' ') continue;
    const std::string body = trim(line);
    const size_t gap = body.find("  ");
    const std::string tag = gap == std::string::npos ? body : body.substr(0, gap);
    if (section == "options:") {
      for (const std::string& o : options_in(tag)) d.options.insert(o);
    } else if (section == "modes (only the first letter counts):") {
      d.modes.insert(tag);
    } else if (starts_with(section, "parameters")) {
      if (line.compare(0, 3, "   ") != 0) param = tag;  // a continuation line is indented deeper
      d.parameters[param] += " " + body;
    } else if (starts_with(section, "exit status")) {
      // A line that does not open with a status goes on with the one before.
      if (std::isdigit(static_cast<unsigned char>(tag[0])))
        d.exit_statuses[status = std::atoi(tag.c_str())] = trim(body.substr(tag.size()));
      else
        d.exit_statuses[status] += " " + body;
    } else if (section == "examples:") {
      d.examples.push_back(body);
    }
  }
  for (auto& [name, text] : d.parameters) text = range_and_default(text);
  return d;
}

// roff text to plain text: escaped minus signs, font changes, quotes of macro arguments.
std::string unroff(std::string s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      if (s[i + 1] == '-') {
        out += '-';
        ++i;
      } else if (s[i + 1] == 'f' && i + 2 < s.size()) {
        i += 2;
      } else if (s[i + 1] == '&') {
        ++i;
      } else {
        out += s[++i];
      }
    } else if (s[i] != '"') {
      out += s[i];
    }
  }
  return out;
}

// The man page: .SH sections; a .TP paragraph's first line is its tag.
Documented parse_man(const std::string& page, std::string* version) {
  Documented d;
  std::string section, tag, text;
  bool want_tag = false, in_example = false;
  auto flush = [&] {
    if (tag.empty()) {
      text.clear();  // an untagged paragraph belongs to no item
      return;
    }
    if (section == "OPTIONS") {
      for (const std::string& o : options_in(tag)) d.options.insert(o);
    } else if (section == "MODES") {
      d.modes.insert(tag);
    } else if (section == "PARAMETERS") {
      d.parameters[tag] = range_and_default(text);
    } else if (section == "EXIT STATUS") {
      d.exit_statuses[std::atoi(tag.c_str())] = trim(text);
    }
    tag.clear();
    text.clear();
  };
  for (const std::string& raw : split_lines(page)) {
    if (starts_with(raw, ".\\\"")) continue;
    if (starts_with(raw, ".TH ")) {
      // .TH NAME SECTION "date" "cdedup X.Y.Z" "manual": the fourth argument names the version.
      std::vector<std::string> quoted;
      for (size_t open = raw.find('"'); open != std::string::npos;) {
        const size_t close = raw.find('"', open + 1);
        if (close == std::string::npos) break;
        quoted.push_back(raw.substr(open + 1, close - open - 1));
        open = raw.find('"', close + 1);
      }
      if (quoted.size() >= 2) *version = quoted[1];
      continue;
    }
    if (starts_with(raw, ".SH ")) {
      flush();
      section = unroff(raw.substr(4));
      continue;
    }
    if (raw == ".TP") {
      flush();
      want_tag = true;
      continue;
    }
    if (raw == ".PP" || raw == ".RS" || raw == ".RE") {
      flush();
      continue;
    }
    if (raw == ".nf" || raw == ".fi") {
      in_example = raw == ".nf";
      continue;
    }
    std::string line = raw;
    if (!line.empty() && line[0] == '.') {
      const size_t sp = line.find(' ');
      line = sp == std::string::npos ? "" : line.substr(sp + 1);
    }
    line = unroff(line);
    if (want_tag) {
      tag = trim(line);
      want_tag = false;
    } else if (section == "EXAMPLES" && in_example) {
      d.examples.push_back(trim(line));
    } else {
      text += " " + line;
    }
  }
  flush();
  return d;
}

TEST(ManPage, AgreesWithTheHelpText) {
  const ProcessResult h = run_cdedup({"--help"});
  ASSERT_EQ(h.status, 0);
  const std::string page = read_text(std::string(CDEDUP_SOURCE_DIR) + "/docs/cdedup.1");
  ASSERT_FALSE(page.empty());
  std::string man_version;
  const Documented help = parse_help(h.out);
  const Documented man = parse_man(page, &man_version);

  // Guard against a parser that finds nothing in either.
  EXPECT_EQ(help.options, (std::set<std::string>{"-h", "--help", "-V", "--version", "--reference", "-z", "--zstd", "-d",
                                                 "--decode", "--decompress", "-t", "--test", "-T", "--threads",
                                                 "--chunklen", "--encmem", "--decmem", "--long", "-v", "--verbose",
                                                 "-q", "--quiet", "-c", "--stdout", "-o", "--output", "-f",
                                                 "--force", "-k", "--keep", "--rm", "--progress", "-l", "--list",
                                                 "--bare", "--patch-from"}));
  EXPECT_EQ(help.modes, (std::set<std::string>{"e", "u", "d"}));
  EXPECT_EQ(help.parameters.size(), 3u);
  EXPECT_EQ(help.exit_statuses.size(), 8u);

  EXPECT_EQ(man.options, help.options);
  EXPECT_EQ(man.modes, help.modes);
  EXPECT_EQ(man.parameters, help.parameters);
  for (const auto& [name, job] : help.parameters) EXPECT_NE(job, "") << name << " has no range or default";
  EXPECT_EQ(man.exit_statuses, help.exit_statuses);
  for (const std::string& example : help.examples)
    EXPECT_NE(std::find(man.examples.begin(), man.examples.end(), example), man.examples.end()) << example;

  const ProcessResult v = run_cdedup({"--version"});
  EXPECT_EQ(man_version + "\n", v.out);
}

TEST(ManPage, RendersWithoutWarnings) {
  if (system("command -v groff >/dev/null 2>&1") != 0) GTEST_SKIP() << "groff is not installed";
  const ProcessResult r =
      run_process("/bin/sh", {"-c", "groff -man -ww -z " + shell_quote(std::string(CDEDUP_SOURCE_DIR) + "/docs/cdedup.1")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace cdedup::test
