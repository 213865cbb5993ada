// The command line as parsed, before anything runs: named options are strict
// over their whole range, the positional numbers keep their lenient reading,
// and the level flags stand for --zstd=LEVEL.
#include "app/options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace cdedup::test {
namespace {

using cdedup::app::Options;
using cdedup::app::parse_command_line;
using cdedup::app::ParsedCommandLine;

ParsedCommandLine parse(std::vector<std::string> args) {
  args.insert(args.begin(), "cdedup");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return parse_command_line(static_cast<int>(args.size()), argv.data(), false);
}

struct Named {
  const char* option;
  long lo, hi;
  std::function<long(const Options&)> value;  // where the option lands
};

// Every named option at both ends of its range and just past them, and
// values that are not whole numbers: only the range is accepted, and a
// refusal names the option and its range.
TEST(Options, NamedValuesAreWholeNumbersInTheirRange) {
  const std::vector<Named> named = {
      {"--chunklen", 1, 65535, [](const Options& o) { return o.params[0]; }},
      {"--encmem", 1, 4095, [](const Options& o) { return o.params[1]; }},
      {"--decmem", 0, 4095, [](const Options& o) { return o.params[2]; }},
      {"--zstd", 1, 22, [](const Options& o) { return o.zstd ? o.zstd_level : -1; }},
      {"--threads", 0, 256, [](const Options& o) { return o.threads; }},
      {"-T", 0, 256, [](const Options& o) { return o.threads; }},
      {"--long", 1, 4095, [](const Options& o) { return o.params[2]; }},
  };
  const std::vector<std::string> not_numbers = {"", "abc", "x1", "1x", "1.5", " 7", "7 ", "0x10", "--5", "1e3",
                                                "99999999999999999999"};
  for (const Named& n : named) {
    SCOPED_TRACE(n.option);
    const std::string option = n.option;
    auto given = [&](const std::string& v) {
      // (Appended: g++ 12 warns falsely on "-T" + v.)
      return parse({option == "-T" ? std::string("-T").append(v) : std::string(option).append("=").append(v)});
    };
    for (long v : {n.lo, n.hi, (n.lo + n.hi) / 2}) {
      const ParsedCommandLine r = given(std::to_string(v));
      ASSERT_EQ(r.error, "") << v;
      if (option == "--threads" || option == "-T") {
        if (v != 0) {
          EXPECT_EQ(n.value(r.options), v);  // 0 becomes the online CPUs
        }
      } else {
        EXPECT_EQ(n.value(r.options), v);
      }
    }
    std::vector<std::string> bad = not_numbers;
    bad.push_back(std::to_string(n.lo - 1));
    bad.push_back(std::to_string(n.hi + 1));
    for (const std::string& v : bad) {
      if (v.empty() && option == "-T") continue;  // "-T" alone waits for its value
      const ParsedCommandLine r = given(v);
      EXPECT_NE(r.error.find(option), std::string::npos) << "'" << v << "': " << r.error;
      EXPECT_NE(r.error.find("from " + std::to_string(n.lo) + " to " + std::to_string(n.hi)), std::string::npos)
          << "'" << v << "': " << r.error;
    }
  }
  // The value may also be the next argument, and is held to the same range.
  EXPECT_EQ(parse({"--encmem", "4095"}).options.params[1], 4095);
  EXPECT_NE(parse({"--encmem", "4096"}).error, "");
  EXPECT_NE(parse({"--threads", "-1"}).error, "");
}

// What scripts may rely on: the numbers after the file names are read as
// they always were, whatever the named options now refuse.
TEST(Options, PositionalNumbersKeepTheirLenientReading) {
  const ParsedCommandLine r = parse({"e", "in", "out", "abc", "-100", "--5"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.params[0], 0);
  EXPECT_EQ(r.options.params[1], 100);
  EXPECT_EQ(r.options.params[2], -5);
  const ParsedCommandLine big = parse({"e", "in", "out", "70000", "5000", "4096"});
  ASSERT_EQ(big.error, "");  // the codec refuses these, with its own status
  EXPECT_EQ(big.options.params[0], 70000);
}

TEST(Options, LevelFlagsSetTheLevelAndImplyZstd) {
  for (int level = 1; level <= 19; ++level) {
    const std::string flag = std::string("-").append(std::to_string(level));
    SCOPED_TRACE(flag);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{flag}, {"--zstd=22", flag}, {flag, "e", "in", "out"}}) {
      const ParsedCommandLine r = parse(args);
      ASSERT_EQ(r.error, "");
      EXPECT_TRUE(r.options.zstd);
      EXPECT_EQ(r.options.zstd_level, level);
    }
  }
  // In a group, beside other short options; the last level given wins.
  const ParsedCommandLine grouped = parse({"-d9q"});
  ASSERT_EQ(grouped.error, "");
  EXPECT_EQ(grouped.options.mode, 1);  // decoding
  EXPECT_TRUE(grouped.options.quiet);
  EXPECT_EQ(grouped.options.zstd_level, 9);
  EXPECT_EQ(parse({"-19", "--zstd=4"}).options.zstd_level, 4);
  EXPECT_EQ(parse({"-3", "-T2"}).options.threads, 2);
  const ParsedCommandLine with_threads = parse({"-9T2"});
  ASSERT_EQ(with_threads.error, "");
  EXPECT_EQ(with_threads.options.zstd_level, 9);
  EXPECT_EQ(with_threads.options.threads, 2);
  for (const char* bad : {"-0", "-20", "-22", "-100"}) {
    const ParsedCommandLine r = parse({bad});
    EXPECT_NE(r.error.find("from -1 to -19"), std::string::npos) << bad << ": " << r.error;
  }
  // After MODE a number is a parameter, never a level.
  const ParsedCommandLine after = parse({"e", "in", "out", "-9"});
  ASSERT_EQ(after.error, "");
  EXPECT_FALSE(after.options.zstd);
  EXPECT_EQ(after.options.params[0], 9);
}

}  // namespace
}  // namespace cdedup::test
