// Helpers for tests that run the cdedup command as a child process: one call
// runs it with given arguments and standard input and hands back its status
// and both output streams; a temporary directory cleans up after itself.
// fork/exec with a poll loop, so a child that writes a lot to both pipes
// while still reading its input cannot deadlock against the test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cdedup::test {

using Bytes = std::vector<uint8_t>;

struct ProcessResult {
  int status = -1;  // exit status 0..255, or 128 + signal number when killed by a signal
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
  bool timed_out = false;
  long peak_rss_kib = -1;  // the child's peak resident set (its own, not its children's)
  int max_threads = 0;     // the most threads the child was seen with, sampled every few ms
};

// Runs `program` with `args` (argv[1..]), feeds `stdin_bytes` to its standard
// input and closes it, and waits at most `timeout_seconds`; a child still
// running then is killed and timed_out set.  The child starts with SIGPIPE
// at its default disposition, as from a shell, although the test ignores it.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const Bytes& stdin_bytes = {}, int timeout_seconds = 120);

// Runs argv[0] (looked up in PATH when it has no slash) with argv[1..];
// otherwise as above.
ProcessResult run_process(const std::vector<std::string>& argv, const Bytes& stdin_bytes = {},
                          int timeout_seconds = 120);

// The emulator a cross build names in $CDEDUP_EMULATOR, as words split at
// spaces (e.g. "qemu-aarch64 -L /"); empty when cdedup runs natively.  A
// foreign binary cannot be exec'd where binfmt_misc does not hand it to one.
std::vector<std::string> cdedup_emulator();
// The words that start the built cdedup (CDEDUP_BIN) with `args`, through
// the emulator when there is one.
std::vector<std::string> cdedup_argv(const std::vector<std::string>& args = {});
// The same words quoted for a shell script: what a pipeline or tar -I runs.
std::string cdedup_shell();

// The built cdedup command with `args`; a run that does not finish fails
// the current test.
ProcessResult run_cdedup(const std::vector<std::string>& args, const Bytes& stdin_bytes = {});
// A bash script; a run that does not finish fails the current test.
ProcessResult run_bash(const std::string& script);
// `s` quoted for a shell script.
std::string shell_quote(const std::string& s);
// Lines of `err` that are messages of cdedup's ("cdedup: ...").
int messages_in(const std::string& err);
// Seconds on the monotonic clock, for deadlines.
double now_seconds();

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path()/name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

void write_file(const std::string& path, const Bytes& data);
Bytes read_file(const std::string& path);  // fails the current test when unreadable
bool file_exists(const std::string& path);

Bytes to_bytes(const std::string& s);
std::string to_string(const Bytes& b);

// The text split at '\n'; a last line without '\n' still counts.
std::vector<std::string> split_lines(const std::string& text);

// Deterministic pseudo-random bytes (splitmix64), for inputs without repeats.
Bytes random_bytes(size_t n, uint64_t seed);

}  // namespace cdedup::test
