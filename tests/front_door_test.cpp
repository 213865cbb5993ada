// The command line as users of gzip, xz and zstd try it: no habit of theirs
// may cost a file.  Each row runs a command in a directory of small files
// and checks the status, and that every file that was there before is byte
// for byte, mode and time as it was, unless the command asked for it (-f,
// --rm); new files are the outputs the row names, and nothing else (no
// temporary is left behind).
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "support/process.h"
#include "support/sample_inputs.h"

namespace cdedup::test {
namespace {

using namespace cdedup::app;

struct FileState {
  Bytes bytes;
  mode_t mode = 0;
  struct timespec mtime {};
  bool operator==(const FileState& o) const {
    return bytes == o.bytes && mode == o.mode && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

// Every file in `dir` (not below it), hidden ones included.
std::map<std::string, FileState> snapshot(const std::string& dir) {
  std::map<std::string, FileState> files;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
    const std::string name = e->d_name;
    struct stat st;
    const std::string path = dir + "/" + name;
    if (name == "." || name == ".." || lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    FileState f;
    if (S_ISREG(st.st_mode)) f.bytes = read_file(path);
    f.mode = st.st_mode;
    f.mtime = st.st_mtim;
    files[name] = f;
  }
  if (d != nullptr) closedir(d);
  return files;
}

class FrontDoor : public ::testing::Test {
 protected:
  void SetUp() override {
    // Three archives with repeats, a directory, an encoding of a.tar and a
    // hard link and a symbolic link to a.tar.
    write_file(file("a.tar"), concat({sample_with_repeats(), random_bytes(5000, 1)}));
    write_file(file("b.tar"), concat({random_bytes(7000, 2), sample_with_repeats()}));
    write_file(file("c.tar"), random_bytes(3000, 3));
    ASSERT_EQ(run_in("mkdir somedir && " + cdedup_shell() + " -c a.tar > x.cdz.src && mv x.cdz.src x.cdd && "
                     "ln a.tar hard.tar && ln -s a.tar soft.tar")
                  .status,
              0);
  }
  std::string file(const std::string& name) const { return dir.file(name); }
  ProcessResult run_in(const std::string& script) const {
    return run_bash("cd " + shell_quote(dir.path()) + " && " + script);
  }
  // What `cdedup -d` makes of an encoded file.
  Bytes decoded(const std::string& name) const {
    const ProcessResult r = run_in(cdedup_shell() + " -dc " + shell_quote(name));
    EXPECT_EQ(r.status, 0) << r.err;
    return to_bytes(r.out);
  }
  TempDir dir;
};

TEST_F(FrontDoor, NoHabitCostsAFile) {
  const std::string cd = cdedup_shell();
  // A file a row creates: "~x" decodes to the original x, "=x" holds x's bytes.
  using Created = std::map<std::string, std::string>;
  struct Row {
    const char* what;
    std::string script;
    int status;
    Created created;
    std::set<std::string> removed;  // --rm
  };
  const std::vector<Row> rows = {
      // A list of files is a list of files, whatever the first one is called.
      {"-z over three files", cd + " -z a.tar b.tar c.tar", 0,
       {{"a.tar.cdz", "~a.tar"}, {"b.tar.cdz", "~b.tar"}, {"c.tar.cdz", "~c.tar"}}, {}},
      {"four files", cd + " a.tar b.tar c.tar x.cdd -f", 0,
       {{"a.tar.cdd", "~a.tar"}, {"b.tar.cdd", "~b.tar"}, {"c.tar.cdd", "~c.tar"}, {"x.cdd.cdd", "~x.cdd"}}, {}},
      {"a misplaced option becomes a refused number", cd + " e a.tar b.tar -z", EXIT_REFUSED, {}, {}},
      {"numbers are checked first", cd + " e a.tar b.tar 0", EXIT_REFUSED, {}, {}},
      // An output that is an input, however named.
      {"same name", cd + " e a.tar a.tar", EXIT_OUTPUT_OPEN, {}, {}},
      {"./name", cd + " e a.tar ./a.tar", EXIT_OUTPUT_OPEN, {}, {}},
      {"hard link", cd + " e a.tar hard.tar", EXIT_OUTPUT_OPEN, {}, {}},
      {"symbolic link", cd + " e a.tar soft.tar", EXIT_OUTPUT_OPEN, {}, {}},
      {"decoding onto itself", cd + " d x.cdd x.cdd", EXIT_OUTPUT_OPEN, {}, {}},
      {"standard input", cd + " e - a.tar < a.tar", EXIT_OUTPUT_OPEN, {}, {}},
      {"standard output appended", cd + " -c a.tar >> a.tar", EXIT_OUTPUT_OPEN, {}, {}},
      {"filter form appended", cd + " < a.tar >> a.tar", EXIT_OUTPUT_OPEN, {}, {}},
      {"-o", cd + " -f -o a.tar a.tar", EXIT_OUTPUT_OPEN, {}, {}},
      {"one's output is another's input", "cp x.cdd a.tar.cdd && " + cd + " -f a.tar a.tar.cdd", EXIT_OUTPUT_OPEN,
       {{"a.tar.cdd", "=x.cdd"}}, {}},
      // Inputs that are not files, outputs that exist.
      {"a directory as INPUT", cd + " e somedir b.tar", EXIT_INPUT_OPEN, {}, {}},
      {"a directory among files", cd + " somedir c.tar", EXIT_INPUT_OPEN, {{"c.tar.cdd", "~c.tar"}}, {}},
      {"an existing output", "cp c.tar a.tar.cdd && " + cd + " a.tar", EXIT_OUTPUT_OPEN, {{"a.tar.cdd", "=c.tar"}}, {}},
      {"-d onto an existing file", "cp b.tar x && " + cd + " -d x.cdd", EXIT_OUTPUT_OPEN, {{"x", "=b.tar"}}, {}},
      {"-f replaces it", "cp c.tar a.tar.cdd && " + cd + " -f a.tar", 0, {{"a.tar.cdd", "~a.tar"}}, {}},
      {"-d -o another name", cd + " -d x.cdd -o restored", 0, {{"restored", "=a.tar"}}, {}},
      {"-d -c", cd + " -dc x.cdd > restored", 0, {{"restored", "=a.tar"}}, {}},
      {"a name without our suffix", cd + " -d a.tar x.cdd", EXIT_USAGE, {{"x", "=a.tar"}}, {}},
      {"encoded already", cd + " x.cdd", EXIT_USAGE, {}, {}},
      {"--rm", cd + " --rm c.tar", 0, {{"c.tar.cdd", "~c.tar"}}, {"c.tar"}},
      {"--rm keeps an input whose output fails", cd + " -d --rm a.tar", EXIT_USAGE, {}, {}},
      {"--rm keeps an input whose output exists", "cp c.tar b.tar.cdd && " + cd + " --rm b.tar", EXIT_OUTPUT_OPEN,
       {{"b.tar.cdd", "=c.tar"}}, {}},
  };
  const auto original = snapshot(dir.path());
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.what) + ": " + row.script);
    // Every row starts from the same files.
    for (const auto& [name, state] : snapshot(dir.path()))
      if (original.count(name) == 0) unlink(file(name).c_str());
    for (const auto& [name, state] : original) {
      if (!S_ISREG(state.mode) || snapshot(dir.path())[name] == state) continue;
      write_file(file(name), state.bytes);
      const struct timespec t[2] = {state.mtime, state.mtime};
      utimensat(AT_FDCWD, file(name).c_str(), t, 0);
    }
    const auto before = snapshot(dir.path());
    const ProcessResult r = run_in(row.script);
    EXPECT_EQ(r.status, row.status) << r.err;
    if (row.status != 0) {
      EXPECT_GE(messages_in(r.err), 1) << r.err;
    }
    const auto after = snapshot(dir.path());
    for (const auto& [name, state] : before) {
      if (row.removed.count(name) != 0) {
        EXPECT_EQ(after.count(name), 0u) << name << " was to be removed";
      } else if (row.created.count(name) == 0) {
        ASSERT_EQ(after.count(name), 1u) << name << " is gone";
        EXPECT_TRUE(after.at(name) == state) << name << " changed";
      }
    }
    for (const auto& [name, state] : after) {
      if (before.count(name) == 0) {
        EXPECT_EQ(row.created.count(name), 1u) << "unexpected new file " << name;
      }
    }
    for (const auto& [name, how] : row.created) {
      ASSERT_EQ(after.count(name), 1u) << name << " was not written";
      const Bytes& want = original.at(how.substr(1)).bytes;
      if (how[0] == '=')
        EXPECT_TRUE(after.at(name).bytes == want) << name << " does not hold " << how;
      else
        EXPECT_TRUE(decoded(name) == want) << name << " does not decode to " << how;
    }
  }
}

// The outputs of the file form carry their input's permissions and
// modification time, both ways; the positional form creates an output with
// no more permissions than its input.
TEST_F(FrontDoor, OutputsKeepTheInputsModeAndTime) {
  ASSERT_EQ(chmod(file("b.tar").c_str(), 0600), 0);
  const struct timespec t[2] = {{1500000000, 0}, {1500000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, file("b.tar").c_str(), t, 0), 0);
  const std::string cd = cdedup_shell();
  const ProcessResult r = run_in("umask 022 && " + cd + " -z b.tar && mv b.tar kept && " + cd + " -d b.tar.cdz && " +
                                 cd + " e kept positional.cdd > /dev/null");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto files = snapshot(dir.path());
  for (const char* name : {"b.tar.cdz", "b.tar"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(files.at(name).mode & 07777, 0600u);
    EXPECT_EQ(files.at(name).mtime.tv_sec, 1500000000);
    EXPECT_EQ(files.at(name).mtime.tv_nsec, 123456789);
  }
  EXPECT_TRUE(files.at("b.tar").bytes == files.at("kept").bytes);
  EXPECT_EQ(files.at("positional.cdd").mode & 07777, 0600u);
}

// An encode into a named file, interrupted: no output and no temporary
// stays, whichever signal, whichever form; an output that was there before
// the file form began is untouched.
TEST_F(FrontDoor, InterruptedRunsLeaveNoOutput) {
  write_file(file("big"), random_bytes(3 << 20, 9));
  write_file(file("old.cdd"), to_bytes("an earlier output"));
  struct Case {
    const char* signal;
    std::string command;
  };
  const std::string cd = cdedup_shell();
  const Case cases[] = {
      {"INT", cd + " -f -o old.cdd -"}, {"TERM", cd + " -o new.cdd"}, {"HUP", cd + " -z -o new.cdz"},
      {"INT", cd + " e - positional.cdd"}, {"TERM", cd + " -d -o restored"},
  };
  const auto before = snapshot(dir.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.signal) + ": " + c.command);
    // Half the input, then a pipe that stays open: the run is mid-stream
    // when the signal comes.  (set -m: a background job of a script ignores
    // SIGINT otherwise.)
    const std::string feed = std::string(c.command.find(" -d ") != std::string::npos ? cd + " -c big | head -c 1000000"
                                                                                     : "head -c 1500000 big");
    const ProcessResult r = run_in("set -m; { " + feed + "; exec sleep 60; } 2>/dev/null | " + c.command +
                                   " & pid=$!; pg=$(ps -o pgid= -p $pid | tr -d ' '); " +
                                   "for i in $(seq 100); do sleep 0.05; [ -n \"$(ls -A | grep -v -e '^big$' -e "
                                   "'^old.cdd$' -e '^[abcx]' -e somedir -e hard -e soft)\" ] && break; done; sleep 0.3; "
                                   "kill -" + std::string(c.signal) + " $pid; " +
                                   // (wait would wait for the whole pipeline, the sleep included)
                                   "while kill -0 $pid 2>/dev/null; do sleep 0.02; done; kill -- -$pg 2>/dev/null; "
                                   "wait $pid; echo status=$?");
    EXPECT_NE(r.out.find("status=" + std::to_string(128 + (c.signal[0] == 'I' ? 2 : c.signal[0] == 'T' ? 15 : 1))),
              std::string::npos)
        << r.out << r.err;
    EXPECT_TRUE(snapshot(dir.path()) == before) << "a file was left or changed";
  }
}

}  // namespace
}  // namespace cdedup::test
