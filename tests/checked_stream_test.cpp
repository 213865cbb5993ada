// The checked stream from the command line: nothing that is not a sound
// checked stream decodes as success (foreign files, random bytes, a zstd
// file of someone else's, a stream cut short or damaged anywhere), frames
// joined in any mix of plain and zstd decode to their contents one after
// another, streams written before frames existed still decode where they
// are asked for, and -l tells the formats apart without decoding.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/exit_status.h"
#include "support/process.h"
#include "support/sample_inputs.h"
#include "support/sanitized.h"

namespace cdedup::test {
namespace {

using namespace cdedup::app;

Bytes slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + long(from), b.begin() + long(to)); }

// A draw from a fixed seed, for positions and lengths.
struct Draw {
  uint64_t state;
  uint64_t next() {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    return state;
  }
};

class CheckedStream : public ::testing::Test {
 protected:
  std::string sh(const std::string& s) { return shell_quote(s); }
  ProcessResult in_dir(const std::string& script) { return run_bash("cd " + sh(dir.path()) + " && " + script); }
  TempDir dir;
};

// Foreign input: -t and -d refuse it with status 7, one line each, and
// nothing on standard output, whether one file at a time or a thousand in
// one run (each file its own line).
TEST_F(CheckedStream, ForeignInputIsRefused) {
  make_tree(dir.file("tree"));
  const std::string cd = cdedup_shell();
  ASSERT_EQ(in_dir("tar cf tree.tar tree && tar cf dot.tar . 2>/dev/null; printf 'a line of text\\n' > text && "
                   "zstd -q tree.tar -o tree.tar.zst")
                .status,
            0);
  for (const char* name : {"tree.tar", "dot.tar", "text", "tree.tar.zst"}) {
    SCOPED_TRACE(name);
    for (const char* args : {" -t ", " -dc ", " -d < "}) {
      const ProcessResult r = in_dir(cd + args + name);
      EXPECT_EQ(r.status, EXIT_BAD_STREAM) << r.err;
      EXPECT_EQ(messages_in(r.err), 1) << r.err;
      EXPECT_EQ(r.out, "");
    }
  }
  // A tar of '.' opens with "./", a legal bare header: --bare cannot tell,
  // and the line says it is not a checked stream.
  EXPECT_NE(in_dir(cd + " -t dot.tar").err.find("--bare"), std::string::npos);

  const size_t files = SANITIZED ? 100 : 1000;
  Draw d{7};
  std::string names;
  for (size_t i = 0; i < files; ++i) {
    // (Appended: g++ 12 warns falsely on "r" + std::to_string(i).)
    std::string name = "r";
    name += std::to_string(i);
    write_file(dir.file(name), random_bytes(1 + d.next() % 65536, i));
    names += " " + name;
  }
  for (const char* args : {" -t", " -dc"}) {
    const ProcessResult r = in_dir(cd + args + names);
    EXPECT_EQ(r.status, EXIT_BAD_STREAM);
    EXPECT_EQ(messages_in(r.err), int(files)) << r.err.substr(0, 400);
    EXPECT_EQ(r.out, "");
  }
}

// A checked stream of 20 MB of archive, cut at 100 points and with a byte
// changed at 100 points: every cut is refused; every change is refused or
// decodes to the very input (the checksum vouches for it).
TEST_F(CheckedStream, CutsAndDamageAreRefused) {
  const ProcessResult tar = run_bash("tar cf - /usr/include 2>/dev/null | head -c " +
                                     std::to_string(SANITIZED ? 2000000 : 20000000));
  const Bytes plain = to_bytes(tar.out);
  ASSERT_GT(plain.size(), 1000000u);
  const ProcessResult e = run_cdedup({}, plain);
  ASSERT_EQ(e.status, EXIT_OK) << e.err;
  const Bytes stream = to_bytes(e.out);
  Draw d{11};
  for (int k = 0; k < 100; ++k) {
    const size_t at = d.next() % stream.size();
    SCOPED_TRACE("cut after " + std::to_string(at) + " of " + std::to_string(stream.size()));
    const ProcessResult r = run_cdedup({"-t"}, slice(stream, 0, at));
    EXPECT_EQ(r.status, EXIT_BAD_STREAM) << r.err;
    EXPECT_EQ(messages_in(r.err), 1) << r.err;
  }
  int refused = 0;
  for (int k = 0; k < 100; ++k) {
    Bytes bad = stream;
    const size_t at = d.next() % bad.size();
    bad[at] = uint8_t(bad[at] ^ (1 + d.next() % 255));
    SCOPED_TRACE("byte " + std::to_string(at) + " changed");
    const ProcessResult r = run_cdedup({"-d"}, bad);
    if (r.status == EXIT_OK) {
      EXPECT_TRUE(to_bytes(r.out) == plain) << "wrong output with status 0";
    } else {
      EXPECT_EQ(r.status, EXIT_BAD_STREAM) << r.err;
      EXPECT_EQ(messages_in(r.err), 1) << r.err;
      ++refused;
    }
  }
  EXPECT_GE(refused, 90) << "a check that never fails must not pass";
}

// Frames joined in every mix of plain and zstd decode to their contents in
// turn, with -d, -t and the positional form; bytes after a frame that begin
// no frame are refused after what came before was written.
TEST_F(CheckedStream, JoinedFramesDecodeOneAfterAnother) {
  write_file(dir.file("a"), sample_with_repeats());
  write_file(dir.file("b"), concat({random_bytes(70000, 3), sample_with_repeats()}));
  const std::string cd = cdedup_shell();
  ASSERT_EQ(in_dir(cd + " a b && " + cd + " -z a b && cat a b > ab").status, 0);
  const Bytes ab = read_file(dir.file("ab"));
  for (const char* pair : {"a.cdd b.cdd", "a.cdz b.cdz", "a.cdz b.cdd", "a.cdd b.cdz"}) {
    SCOPED_TRACE(pair);
    for (const std::string& dec : {cd + " -dc", cd + " -T1 -d <", cd + " d - - 2>/dev/null <"}) {
      const ProcessResult r = in_dir("cat " + std::string(pair) + " > joined && " + dec + " joined");
      EXPECT_EQ(r.status, 0) << dec << ": " << r.err;
      EXPECT_TRUE(to_bytes(r.out) == ab) << dec;
    }
    EXPECT_EQ(in_dir("cat " + std::string(pair) + " | " + cd + " -t").status, 0);
  }
  const ProcessResult trailing = in_dir("cat a.cdd b.cdd > joined && echo stray >> joined && " + cd + " -dc joined");
  EXPECT_EQ(trailing.status, EXIT_BAD_STREAM);
  EXPECT_NE(trailing.err.find("not another frame"), std::string::npos) << trailing.err;
  EXPECT_TRUE(to_bytes(trailing.out) == ab);
}

// Streams written before frames existed (the bare stream, alone or in a
// zstd frame) decode with the positional form and with --bare; without
// --bare the filter form refuses them and says so.  The positional form
// still writes them.
TEST_F(CheckedStream, BareStreamsDecodeWhereAskedFor) {
  const Bytes in = sample_with_repeats();
  write_file(dir.file("in"), in);
  const std::string cd = cdedup_shell();
  ASSERT_EQ(in_dir(cd + " e in old.cdd > /dev/null && " + cd + " -z e in old.cdz > /dev/null && " + cd +
                   " --bare -c in > bare.cdd")
                .status,
            0);
  EXPECT_TRUE(read_file(dir.file("old.cdd")) == read_file(dir.file("bare.cdd")));
  EXPECT_NE(read_file(dir.file("old.cdd")).at(0), 0) << "the positional form writes no frame";
  for (const char* name : {"old.cdd", "old.cdz"}) {
    SCOPED_TRACE(name);
    for (const std::string& dec :
         {cd + " d " + name + " - 2>/dev/null", cd + " --bare -dc " + name, cd + " -d --bare < " + name}) {
      const ProcessResult r = in_dir(dec);
      EXPECT_EQ(r.status, 0) << dec << ": " << r.err;
      EXPECT_TRUE(to_bytes(r.out) == in) << dec;
    }
    const ProcessResult refused = in_dir(cd + " -dc " + name);
    EXPECT_EQ(refused.status, EXIT_BAD_STREAM);
    EXPECT_NE(refused.err.find("--bare"), std::string::npos) << refused.err;
    EXPECT_EQ(in_dir(cd + " -t --bare " + name).status, 0);
  }
}

// -l without decoding: the format, the settings, both sizes where they are
// known, and a refusal for what is not a stream.
TEST_F(CheckedStream, ListTellsTheFormats) {
  write_file(dir.file("in"), sample_with_repeats());
  const std::string cd = cdedup_shell();
  ASSERT_EQ(in_dir(cd + " -k in && " + cd + " -z --chunklen=36 in && " + cd + " e in old 100 8 16 > /dev/null && " +
                   "cat in.cdd in.cdd > twice")
                .status,
            0);
  const ProcessResult l = in_dir(cd + " -lv in.cdd in.cdz old twice");
  ASSERT_EQ(l.status, 0) << l.err;
  const std::vector<std::string> lines = split_lines(l.out);
  ASSERT_EQ(lines.size(), 1u + 4 + 4) << l.out;  // a heading, a line per file and one per frame
  auto row = [&](const std::string& file) {
    for (const std::string& line : lines)
      if (line.size() > file.size() && line.compare(line.size() - file.size(), file.size(), file) == 0 &&
          line[line.size() - file.size() - 1] == ' ')
        return line;
    return std::string();
  };
  const std::string size = std::to_string(sample_with_repeats().size());
  EXPECT_NE(row("in.cdd").find(" checked "), std::string::npos) << row("in.cdd");
  EXPECT_NE(row("in.cdz").find("checked, in zstd"), std::string::npos) << row("in.cdz");
  EXPECT_NE(row("in.cdz").find(" 100 "), std::string::npos) << "chunk length 36 + 64: " << row("in.cdz");
  EXPECT_NE(row("old").find("bare"), std::string::npos) << row("old");
  EXPECT_NE(row("old").find("unknown"), std::string::npos) << row("old");
  EXPECT_NE(row("old").find("16 MiB"), std::string::npos) << row("old");
  EXPECT_EQ(row("twice").find("     2 "), 0u) << row("twice");
  EXPECT_NE(l.out.find(std::string(" ").append(size).append(" decoded")), std::string::npos) << l.out;
  // A bare stream has no magic: what does not even have its header is refused.
  write_file(dir.file("zeros"), Bytes(100, 0));
  const ProcessResult foreign = in_dir(cd + " -l zeros");
  EXPECT_EQ(foreign.status, EXIT_BAD_STREAM);
  EXPECT_EQ(messages_in(foreign.err), 1) << foreign.err;
}

}  // namespace
}  // namespace cdedup::test
