// Runs the built cdedup command with a pseudo-terminal on some of its
// standard streams, as a user at a terminal would.  The terminal is in raw
// mode, so the bytes read back are the bytes written; the other streams are
// pipes, and standard input can be a file or a pipe fed in pieces with a
// pause after each (for runs long enough to show a progress line).
#pragma once

#include <string>
#include <vector>

#include "support/process.h"

namespace cdedup::test {

struct TtyRun {
  std::vector<std::string> args;
  bool stdin_tty = false;  // the terminal gives no input: a child waiting for some is killed at the deadline
  bool stdout_tty = false;
  bool stderr_tty = false;
  std::string stdin_file = "/dev/null";
  std::vector<Bytes> feed;  // used instead of stdin_file when not empty
  int feed_pause_ms = 0;
};

struct TtyResult {
  int status = -1;  // as ProcessResult's
  bool timed_out = false;
  std::string out, err, tty;  // the pipes' bytes, and what reached the terminal
  double seconds = 0;
};

// A run that does not finish within `timeout_seconds` is killed and fails the current test.
TtyResult run_with_tty(const TtyRun& job, int timeout_seconds = 60);

}  // namespace cdedup::test
