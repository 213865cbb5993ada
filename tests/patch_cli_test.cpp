// --patch-from=REF from the command line: patches in the filter and file
// forms that give back the new data whichever way they are applied and
// whatever the thread count, every wrong reference refused with status 7 and
// nothing written, and the refusals that come before anything is written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "dedup/stream_hash.h"
#include "support/process.h"
#include "support/sample_inputs.h"

namespace cdedup::test {
namespace {

using namespace cdedup::app;

std::string sh(const std::string& s) { return shell_quote(s); }

// A reference of a few MiB, and new data that keeps most of it: an edit, a
// stretch moved ahead, and new bytes at the end.
struct Pair {
  TempDir dir;
  std::string ref = dir.file("ref"), new_data = dir.file("new");
  Bytes ref_bytes, new_bytes;
  Pair() {
    ref_bytes = concat({random_bytes(1 << 20, 1), sample_with_repeats(), random_bytes(2 << 20, 2)});
    new_bytes = concat({Bytes(ref_bytes.begin() + (2 << 20), ref_bytes.end()), Bytes(ref_bytes.begin(), ref_bytes.begin() + (2 << 20)),
                        random_bytes(5000, 3)});
    new_bytes[123456] ^= 1;
    write_file(ref, ref_bytes);
    write_file(new_data, new_bytes);
  }
  std::string from() const { return "--patch-from=" + ref; }
};

std::string hex64(uint64_t v) {
  char s[17];
  std::snprintf(s, sizeof s, "%016" PRIx64, v);
  return s;
}

// The window field of a checked frame's settings (little-endian MiB, 12 bits).
int window_mib(const std::string& frame) {
  return frame.size() < 14 ? -1 : ((uint8_t(frame[12]) | uint8_t(frame[13]) << 8) & 0xFFF);
}

TEST(PatchCli, PatchesRoundTripInEveryFormWhateverTheThreads) {
  Pair p;
  const ProcessResult made = run_cdedup({p.from()}, p.new_bytes);
  ASSERT_EQ(made.status, EXIT_OK) << made.err;
  EXPECT_EQ(made.err, "");
  EXPECT_LT(made.out.size(), p.new_bytes.size() / 20) << "the patch repeats the reference instead of referring to it";
  // The window holds REF (in whole MiB) and the default reach behind it.
  const int ref_mib = int((p.ref_bytes.size() + (1 << 20) - 1) >> 20);
  EXPECT_EQ(window_mib(made.out), ref_mib + 1024);
  // The same patch on any number of threads, by the byte-at-a-time path, and from a pipe.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-T1", p.from()}, {"-T3", p.from()}, {"--reference", p.from()}}) {
    const ProcessResult again = run_cdedup(args, p.new_bytes);
    EXPECT_EQ(again.status, EXIT_OK) << again.err;
    EXPECT_TRUE(again.out == made.out) << args[0];
  }
  const ProcessResult piped = run_bash("cat " + sh(p.new_data) + " | " + cdedup_shell() + " " + sh(p.from()));
  EXPECT_TRUE(piped.out == made.out) << piped.err;
  // New data of a known size takes no more window than it needs, and the
  // patch decodes all the same.
  const ProcessResult from_file = run_bash(cdedup_shell() + " " + sh(p.from()) + " < " + sh(p.new_data));
  ASSERT_EQ(from_file.status, EXIT_OK) << from_file.err;
  EXPECT_EQ(window_mib(from_file.out), ref_mib + int((p.new_bytes.size() + (1 << 20) - 1) >> 20));
  const ProcessResult sized_back = run_cdedup({"-d", p.from()}, to_bytes(from_file.out));
  EXPECT_TRUE(sized_back.status == EXIT_OK && to_bytes(sized_back.out) == p.new_bytes) << sized_back.err;
  const std::string patch = p.dir.file("patch.cdd");
  write_file(patch, to_bytes(made.out));

  // Applied to a pipe, into a file (its window read back from there), by the
  // file form, through -t, and on one thread.
  const ProcessResult to_pipe = run_cdedup({"-d", p.from()}, to_bytes(made.out));
  EXPECT_EQ(to_pipe.status, EXIT_OK) << to_pipe.err;
  EXPECT_TRUE(to_bytes(to_pipe.out) == p.new_bytes);
  const std::string out = p.dir.file("out");
  for (const std::string& args : {std::string("-d"), std::string("-d -T1")}) {
    const ProcessResult into_file =
        run_bash(cdedup_shell() + " " + args + " " + sh(p.from()) + " < " + sh(patch) + " > " + sh(out));
    EXPECT_EQ(into_file.status, EXIT_OK) << into_file.err;
    EXPECT_TRUE(read_file(out) == p.new_bytes) << args;
  }
  const ProcessResult file_form = run_cdedup({"-d", p.from(), patch});
  EXPECT_EQ(file_form.status, EXIT_OK) << file_form.err;
  EXPECT_TRUE(read_file(p.dir.file("patch")) == p.new_bytes);
  EXPECT_EQ(run_cdedup({"-t", p.from(), patch}).status, EXIT_OK);

  // The file form encodes too, inside zstd with -z, and its output decodes alike.
  const ProcessResult z = run_cdedup({"-z", "-f", p.from(), "-o", p.dir.file("new.cdz"), p.new_data});
  ASSERT_EQ(z.status, EXIT_OK) << z.err;
  const ProcessResult back = run_cdedup({"-d", "-c", p.from(), p.dir.file("new.cdz")});
  EXPECT_TRUE(to_bytes(back.out) == p.new_bytes) << back.err;

  // A window given is kept; the index follows the window as --long's does.
  const ProcessResult given = run_cdedup({"-v", "--decmem=64", p.from()}, p.new_bytes);
  EXPECT_EQ(window_mib(given.out), 64);
  EXPECT_NE(given.err.find("encmem=256M decmem=64M"), std::string::npos) << given.err;
  const ProcessResult sized = run_cdedup({"-v", p.from()}, p.new_bytes);
  const std::string settings =
      "encmem=" + std::to_string((ref_mib + 1024 + 3) / 4) + "M decmem=" + std::to_string(ref_mib + 1024) + "M";
  EXPECT_NE(sized.err.find(settings), std::string::npos) << sized.err;
}

TEST(PatchCli, EveryWrongReferenceIsStatusSevenAndWritesNothing) {
  Pair p;
  const ProcessResult made = run_cdedup({"-z", p.from()}, p.new_bytes);
  ASSERT_EQ(made.status, EXIT_OK) << made.err;
  const std::string patch = p.dir.file("new.cdz");
  write_file(patch, to_bytes(made.out));
  const std::string needs = std::to_string(p.ref_bytes.size()) + " bytes with XXH3-64 " +
                            hex64(hash_once(p.ref_bytes.data(), p.ref_bytes.size()));

  Bytes changed = p.ref_bytes, shorter = p.ref_bytes, longer = p.ref_bytes;
  changed[p.ref_bytes.size() - 7] ^= 0x80;
  shorter.pop_back();
  longer.push_back(0);
  const std::vector<std::pair<std::string, Bytes>> wrong = {
      {"one byte changed", changed},
      {"one byte shorter", shorter},
      {"one byte longer", longer},
      {"another file of the same size", random_bytes(p.ref_bytes.size(), 9)}};
  std::vector<std::vector<std::string>> refs;
  for (const auto& [what, bytes] : wrong) {
    write_file(p.dir.file(what), bytes);
    refs.push_back({what, "--patch-from=" + p.dir.file(what)});
  }
  refs.push_back({"none", "-q"});
  for (const std::vector<std::string>& ref : refs) {
    SCOPED_TRACE(ref[0]);
    // The filter form, to a pipe and into a file, and the file form.
    const ProcessResult filter = run_cdedup({"-d", ref[1]}, to_bytes(made.out));
    EXPECT_EQ(filter.status, EXIT_BAD_STREAM);
    EXPECT_TRUE(filter.out.empty()) << filter.out.size();
    EXPECT_EQ(messages_in(filter.err), 1) << filter.err;
    EXPECT_NE(filter.err.find(needs), std::string::npos) << filter.err;
    const std::string out = p.dir.file("out");
    const ProcessResult into_file = run_bash(cdedup_shell() + " -d " + sh(ref[1]) + " < " + sh(patch) + " > " + sh(out));
    EXPECT_EQ(into_file.status, EXIT_BAD_STREAM);
    EXPECT_TRUE(read_file(out).empty());
    const ProcessResult file_form = run_cdedup({"-d", ref[1], "-o", p.dir.file("restored"), patch});
    EXPECT_EQ(file_form.status, EXIT_BAD_STREAM);
    EXPECT_FALSE(file_exists(p.dir.file("restored")));
  }
  // A reference given for what is not a patch is refused the same way.
  const ProcessResult plain = run_cdedup({}, p.new_bytes);
  const ProcessResult not_patch = run_cdedup({"-d", p.from()}, to_bytes(plain.out));
  EXPECT_EQ(not_patch.status, EXIT_BAD_STREAM);
  EXPECT_TRUE(not_patch.out.empty()) << not_patch.out.size();
  EXPECT_NE(not_patch.err.find("not a patch"), std::string::npos) << not_patch.err;
}

TEST(PatchCli, RefusedBeforeAnythingIsWritten) {
  Pair p;
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const std::string missing = p.dir.file("missing");
  mkdir(p.dir.file("dir").c_str(), 0700);
  const Case cases[] = {
      {{"--patch-from=" + missing}, EXIT_INPUT_OPEN},
      {{"--patch-from=/dev/null"}, EXIT_INPUT_OPEN},
      {{"--patch-from=" + p.dir.file("dir")}, EXIT_INPUT_OPEN},
      {{"--decmem=3", p.from()}, EXIT_REFUSED},  // REF is over 3 MiB
      {{"--long=2", p.from()}, EXIT_REFUSED},
      {{"--patch-from="}, EXIT_USAGE},
      {{"--patch-from=-"}, EXIT_USAGE},
      {{"--bare", p.from()}, EXIT_USAGE},
      {{"-l", p.from(), p.new_data}, EXIT_USAGE},
      {{p.from(), "e", p.new_data, p.dir.file("positional")}, EXIT_USAGE},
      // REF is never an output, however named.
      {{"-f", "-o", p.ref, p.from(), p.new_data}, EXIT_OUTPUT_OPEN},
      {{"-f", "-o", p.dir.path() + "/./ref", p.from(), p.new_data}, EXIT_OUTPUT_OPEN},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const ProcessResult r = run_cdedup(c.args, p.new_bytes);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out.size();
    EXPECT_GE(messages_in(r.err), 1) << r.err;
  }
  EXPECT_TRUE(read_file(p.ref) == p.ref_bytes);
  EXPECT_FALSE(file_exists(p.dir.file("positional")));
  // Redirected onto REF: refused too, REF as it was.
  const ProcessResult onto = run_bash(cdedup_shell() + " -d " + sh(p.from()) + " < /dev/null 1<> " + sh(p.ref));
  EXPECT_EQ(onto.status, EXIT_OUTPUT_OPEN) << onto.err;
  EXPECT_TRUE(read_file(p.ref) == p.ref_bytes);
  // --rm removes the inputs it encoded, but not the reference the patches need.
  const ProcessResult rm = run_cdedup({"--rm", p.from(), p.ref, p.new_data});
  EXPECT_EQ(rm.status, EXIT_OK) << rm.err;
  EXPECT_TRUE(file_exists(p.ref));
  EXPECT_FALSE(file_exists(p.new_data));
  EXPECT_TRUE(file_exists(p.dir.file("new.cdd")));
}

}  // namespace
}  // namespace cdedup::test
