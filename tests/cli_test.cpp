// The cdedup command as a user meets it: arguments, exit statuses, the
// messages on standard error, the three report lines, and files and pipes.
// The built binary runs as a child process, so these tests see exactly what
// a shell would.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "support/process.h"
#include "support/sample_inputs.h"

namespace cdedup::test {
namespace {

using namespace cdedup::app;

// Whether `line` has the shape of `pattern`, in which {i} stands for an
// optionally negative decimal number and {x} for upper-case hex digits.
// (Hand-rolled: std::regex trips g++ 12's maybe-uninitialized warning under
// the sanitizers.)
bool matches(const std::string& line, const std::string& pattern) {
  size_t i = 0, p = 0;
  while (p < pattern.size()) {
    if (pattern.compare(p, 3, "{i}") == 0 || pattern.compare(p, 3, "{x}") == 0) {
      const bool hex = pattern[p + 1] == 'x';
      if (!hex && i < line.size() && line[i] == '-') ++i;
      const size_t start = i;
      auto digit = [hex](char ch) {
        return std::isdigit(static_cast<unsigned char>(ch)) != 0 || (hex && ch >= 'A' && ch <= 'F');
      };
      while (i < line.size() && digit(line[i])) ++i;
      if (i == start) return false;
      p += 3;
    } else {
      if (i >= line.size() || line[i] != pattern[p]) return false;
      ++i;
      ++p;
    }
  }
  return i == line.size();
}

// The three kinds of report line.
const std::string CONFIG_LINE = "sizeof(this)={i} cfg_tblsize={i} cfg_decwinsize={i} sizeof(hinf)=28 htbl={x}";
const std::string PARAM_LINE = "len={i} encmem={i}M decmem={i}M";
const std::string STATS_LINE = "sum={i} x={i} avglen={i}.{i}";

bool is_report_line(const std::string& line) {
  return matches(line, CONFIG_LINE) || matches(line, PARAM_LINE) || matches(line, STATS_LINE);
}

// An encoder's report: configuration, parameter and statistics line, in that order.
void expect_encoder_report(const std::string& text) {
  const std::vector<std::string> lines = split_lines(text);
  ASSERT_EQ(lines.size(), 3u) << text;
  EXPECT_TRUE(matches(lines[0], CONFIG_LINE)) << lines[0];
  EXPECT_TRUE(matches(lines[1], PARAM_LINE)) << lines[1];
  EXPECT_TRUE(matches(lines[2], STATS_LINE)) << lines[2];
  EXPECT_EQ(text.back(), '\n');
}

void expect_decoder_report(const std::string& text) {
  const std::vector<std::string> lines = split_lines(text);
  ASSERT_EQ(lines.size(), 2u) << text;
  EXPECT_TRUE(matches(lines[0], PARAM_LINE)) << lines[0];
  EXPECT_TRUE(matches(lines[1], STATS_LINE)) << lines[1];
}

// A failure: the status, exactly one "cdedup: " line on standard error, and
// nothing on standard output but report lines.
void expect_failure(const ProcessResult& r, int status) {
  EXPECT_EQ(r.status, status) << r.err;
  int messages = 0;
  for (const std::string& line : split_lines(r.err))
    if (line.rfind("cdedup: ", 0) == 0) ++messages;
  EXPECT_EQ(messages, 1) << "standard error:\n" << r.err;
  for (const std::string& line : split_lines(r.out)) EXPECT_TRUE(is_report_line(line)) << line;
}

std::string line_at(const std::string& text, size_t i) {
  const std::vector<std::string> lines = split_lines(text);
  return i < lines.size() ? lines[i] : std::string();
}

// The shape checks above guard every failure case, so they must be able to say no.
TEST(ReportLines, ShapeCheckRejectsOtherText) {
  EXPECT_TRUE(is_report_line("sum=-2147483648 x=1 avglen=0.0"));
  EXPECT_TRUE(is_report_line("sizeof(this)=1 cfg_tblsize=2 cfg_decwinsize=-3 sizeof(hinf)=28 htbl=7F00A0"));
  EXPECT_FALSE(is_report_line("sum=1 x=1 avglen=0.0 "));
  EXPECT_FALSE(is_report_line("len=164 encmem=M decmem=1024M"));
  EXPECT_FALSE(is_report_line("sizeof(this)=1 cfg_tblsize=2 cfg_decwinsize=3 sizeof(hinf)=28 htbl=7f00a0"));
  EXPECT_FALSE(is_report_line("cdedup: cannot open x"));
  EXPECT_FALSE(is_report_line(""));
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    input = dir.file("in");
    encoded = dir.file("enc");
    output = dir.file("out");
  }
  TempDir dir;
  std::string input, encoded, output;
};

// ---------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------

// No arguments at all is the filter form when standard input is not a
// terminal (filter_form_test.cpp); at a terminal it is a usage error too.
TEST_F(Cli, MissingArgumentsGiveUsage) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"e"}, {"e", input}}) {
    const ProcessResult r = run_cdedup(args);
    expect_failure(r, EXIT_USAGE);
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(Cli, UnknownOptionIsAUsageError) {
  const ProcessResult r = run_cdedup({"--bogus", "e", input, output});
  expect_failure(r, EXIT_USAGE);
  EXPECT_FALSE(file_exists(output));
}

TEST_F(Cli, UnopenableInput) {
  const ProcessResult r = run_cdedup({"e", dir.file("missing"), output});
  expect_failure(r, EXIT_INPUT_OPEN);
  EXPECT_NE(r.err.find(dir.file("missing")), std::string::npos) << r.err;
  EXPECT_FALSE(file_exists(output));
}

TEST_F(Cli, UnopenableOutput) {
  write_file(input, random_bytes(100, 1));
  const std::string bad = dir.file("no-such-dir/out");
  for (const char* mode : {"e", "d"}) {
    const ProcessResult r = run_cdedup({mode, input, bad});
    expect_failure(r, EXIT_OUTPUT_OPEN);
    EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
  }
}

TEST_F(Cli, EmptyInputDoesNotDecode) {
  write_file(input, {});
  const ProcessResult r = run_cdedup({"d", input, output});
  expect_failure(r, EXIT_BAD_STREAM);
}

// ---------------------------------------------------------------------------
// Modes
// ---------------------------------------------------------------------------

TEST_F(Cli, ModeLetters) {
  const Bytes in = sample_with_repeats();
  write_file(input, in);
  const ProcessResult e = run_cdedup({"e", input, encoded});
  ASSERT_EQ(e.status, EXIT_OK) << e.err;
  expect_encoder_report(e.out);
  const Bytes enc = read_file(encoded);
  ASSERT_LT(enc.size(), in.size());  // the repeats became references

  // Only the first letter of a mode word counts: D and the empty word encode.
  for (const std::string mode : {"D", "", "encode"}) {
    SCOPED_TRACE("mode '" + mode + "'");
    const ProcessResult r = run_cdedup({mode, input, output});
    EXPECT_EQ(r.status, EXIT_OK) << r.err;
    expect_encoder_report(r.out);
    EXPECT_TRUE(read_file(output) == enc);
  }
  for (const std::string mode : {"d", "decode"}) {
    SCOPED_TRACE("mode '" + mode + "'");
    const ProcessResult r = run_cdedup({mode, encoded, output});
    EXPECT_EQ(r.status, EXIT_OK) << r.err;
    expect_decoder_report(r.out);
    EXPECT_TRUE(read_file(output) == in);
    EXPECT_EQ(line_at(r.out, 0), "len=164 encmem=0M decmem=1024M");
    EXPECT_EQ(line_at(r.out, 1), line_at(e.out, 2));  // same bytes, same chunks
  }
}

// ---------------------------------------------------------------------------
// Numbers
// ---------------------------------------------------------------------------

TEST_F(Cli, OneLeadingMinusIsSkipped) {
  write_file(input, random_bytes(1000, 2));
  for (const char* p0 : {"100", "-100"}) {
    const ProcessResult r = run_cdedup({"e", input, output, p0});
    EXPECT_EQ(r.status, EXIT_OK) << r.err;
    EXPECT_EQ(line_at(r.out, 1), "len=164 encmem=256M decmem=1024M") << p0;
  }
  const ProcessResult r = run_cdedup({"e", input, output, "36", "-16", "8"});
  ASSERT_EQ(r.status, EXIT_OK) << r.err;
  EXPECT_EQ(line_at(r.out, 1), "len=100 encmem=16M decmem=8M");
  // 16 MiB / 20 bytes a slot, rounded down; 8 MiB of window.
  EXPECT_NE(line_at(r.out, 0).find(" cfg_tblsize=838860 cfg_decwinsize=8388608 "), std::string::npos) << r.out;
  const Bytes out = read_file(output);
  ASSERT_GE(out.size(), 4u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{36, 0, 8, 0}));
}

// Everything is checked before OUTPUT is opened: a refused run leaves it as it was.
TEST_F(Cli, RefusedNumbersLeaveTheOutputUntouched) {
  write_file(input, random_bytes(1000, 3));
  const std::vector<std::vector<std::string>> cases = {
      {"abc"},          // not a number: 0
      {"--5"},          // one '-' skipped, atoi gives -5
      {"65536"},        // beyond 16 bits
      {"100", "0"},     // no room for the chunk index
      {"100", "4096"},  // wraps to 0 bytes
  };
  for (const std::vector<std::string>& nums : cases) {
    SCOPED_TRACE(nums[0] + (nums.size() > 1 ? " " + nums[1] : ""));
    write_file(output, to_bytes("old contents"));
    std::vector<std::string> args = {"e", input, output};
    args.insert(args.end(), nums.begin(), nums.end());
    const ProcessResult r = run_cdedup(args);
    expect_failure(r, EXIT_REFUSED);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(to_string(read_file(output)), "old contents");
  }
}

TEST_F(Cli, UniqueModeRefusesOnlyAZeroChunkLength) {
  write_file(input, random_bytes(1000, 4));
  expect_failure(run_cdedup({"u", input, output, "abc"}), EXIT_REFUSED);
  const ProcessResult r = run_cdedup({"u", input, output, "70000"});
  EXPECT_EQ(r.status, EXIT_OK) << r.err;
}

TEST_F(Cli, DecoderIgnoresTheNumbers) {
  const Bytes in = sample_with_repeats();
  write_file(input, in);
  ASSERT_EQ(run_cdedup({"e", input, encoded}).status, EXIT_OK);
  const ProcessResult plain = run_cdedup({"d", encoded, output});
  ASSERT_EQ(plain.status, EXIT_OK) << plain.err;
  for (const std::vector<std::string>& nums :
       {std::vector<std::string>{"abc", "0", "0"}, {"--5", "4096", "1"}, {"7", "1", "1", "extra"}}) {
    std::vector<std::string> args = {"d", encoded, output};
    args.insert(args.end(), nums.begin(), nums.end());
    const ProcessResult r = run_cdedup(args);
    EXPECT_EQ(r.status, EXIT_OK) << r.err;
    EXPECT_EQ(r.out, plain.out);
    EXPECT_TRUE(read_file(output) == in);
  }
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

// Two whole blocks: the pump's last read returns 0 bytes.
TEST_F(Cli, TwoWholeBlocksRoundTrip) {
  const Bytes a = random_bytes(50000, 5);
  const Bytes in = concat({a, random_bytes(15536, 6), a, random_bytes(15536, 7)});
  ASSERT_EQ(in.size(), 131072u);
  write_file(input, in);
  const ProcessResult e = run_cdedup({"e", input, encoded});
  ASSERT_EQ(e.status, EXIT_OK) << e.err;
  EXPECT_EQ(line_at(e.out, 2).rfind("sum=131072 x=", 0), 0u) << e.out;
  EXPECT_LT(read_file(encoded).size(), in.size());
  const ProcessResult d = run_cdedup({"d", encoded, output});
  ASSERT_EQ(d.status, EXIT_OK) << d.err;
  EXPECT_TRUE(read_file(output) == in);
  EXPECT_EQ(line_at(d.out, 1), line_at(e.out, 2));
}

TEST_F(Cli, EmptyInputEncodesToTheHeader) {
  write_file(input, {});
  const ProcessResult r = run_cdedup({"e", input, output});
  ASSERT_EQ(r.status, EXIT_OK) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(read_file(output) == (Bytes{0x64, 0x00, 0x00, 0x04}));
  expect_encoder_report(r.out);
  EXPECT_NE(line_at(r.out, 0).find(" cfg_tblsize=13421772 cfg_decwinsize=1073741824 sizeof(hinf)=28 htbl="),
            std::string::npos)
      << r.out;
  EXPECT_EQ(line_at(r.out, 1), "len=164 encmem=256M decmem=1024M");
  EXPECT_EQ(line_at(r.out, 2), "sum=0 x=1 avglen=0.0");

  // And the header alone decodes to nothing.
  const ProcessResult d = run_cdedup({"d", output, dir.file("back")});
  EXPECT_EQ(d.status, EXIT_OK) << d.err;
  EXPECT_TRUE(read_file(dir.file("back")).empty());
}

// ---------------------------------------------------------------------------
// Help, version, standard streams
// ---------------------------------------------------------------------------

// The version the build stamps into the binary comes from the project() line.
std::string project_version() {
  std::ifstream f(std::string(CDEDUP_SOURCE_DIR) + "/CMakeLists.txt");
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string text = ss.str();
  const std::string key = "project(cdedup VERSION ";
  const size_t at = text.find(key);
  if (at == std::string::npos) return "";
  const size_t start = at + key.size();
  size_t end = start;
  while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.')) ++end;
  return text.substr(start, end - start);
}

TEST_F(Cli, HelpAndVersion) {
  for (const char* opt : {"--help", "-h"}) {
    const ProcessResult r = run_cdedup({opt});
    EXPECT_EQ(r.status, EXIT_OK);
    EXPECT_NE(r.out.find("usage: cdedup"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
  }
  const std::string version = project_version();
  ASSERT_NE(version, "");
  for (const char* opt : {"--version", "-V"}) {
    const ProcessResult r = run_cdedup({opt});
    EXPECT_EQ(r.status, EXIT_OK);
    EXPECT_EQ(r.out, "cdedup " + version + "\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(Cli, DashIsStandardInputAndOutput) {
  const Bytes in = sample_with_repeats();
  write_file(input, in);
  ASSERT_EQ(run_cdedup({"e", input, encoded}).status, EXIT_OK);
  const Bytes enc = read_file(encoded);

  // Data on standard output moves the report to standard error.
  const ProcessResult e = run_cdedup({"e", "-", "-"}, in);
  ASSERT_EQ(e.status, EXIT_OK) << e.err;
  EXPECT_TRUE(to_bytes(e.out) == enc);
  expect_encoder_report(e.err);

  const ProcessResult d = run_cdedup({"d", "-", "-"}, enc);
  ASSERT_EQ(d.status, EXIT_OK) << d.err;
  EXPECT_TRUE(to_bytes(d.out) == in);
  expect_decoder_report(d.err);

  // Only the output decides where the report goes.
  const ProcessResult from_stdin = run_cdedup({"e", "-", output}, in);
  ASSERT_EQ(from_stdin.status, EXIT_OK) << from_stdin.err;
  expect_encoder_report(from_stdin.out);
  EXPECT_EQ(from_stdin.err, "");
  EXPECT_TRUE(read_file(output) == enc);

  const ProcessResult to_stdout = run_cdedup({"d", encoded, "-"});
  ASSERT_EQ(to_stdout.status, EXIT_OK) << to_stdout.err;
  EXPECT_TRUE(to_bytes(to_stdout.out) == in);
  expect_decoder_report(to_stdout.err);
}

}  // namespace
}  // namespace cdedup::test
