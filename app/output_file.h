// Named outputs, and the rules that keep them from costing a file.
//
// The file form never writes where its output will end up: it writes a
// temporary beside it (same directory, so the rename stays within one file
// system) and renames that into place only once it is complete, with the
// input's permissions and times.  A failure or an interruption leaves no
// trace, and any earlier file of the output's name is as it was.  Without
// -f the rename itself refuses a file that appeared meanwhile.
//
// The positional form creates or truncates OUTPUT, as it always has; a new
// one gets no more permissions than its input has.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "app/byte_stream.h"

namespace cdedup::app {

class PendingOutput {
 public:
  PendingOutput() = default;
  ~PendingOutput() { abandon(); }
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  // Creates the temporary for `target`; null and `err` set (EXIT_OUTPUT_OPEN) when it cannot be.
  FILE* open(const std::string& target, StreamError& err);
  // The writing is done and closed: hands on the attributes of `input`
  // (when it is a regular file), then renames the temporary to the target,
  // replacing an existing file only when `replace`.  False and `err` set
  // when the rename fails; the temporary is gone either way.
  bool commit(const struct stat* input, bool replace, StreamError& err);
  // Removes the temporary, if any (a failure, or an output not wanted after all).
  void abandon();

 private:
  std::string target_, temp_;
  int attr_fd_ = -1;  // the temporary, kept open to set its attributes after the last write
};

// Opens the positional form's OUTPUT as that form always has (created, or
// truncated), but a file it creates gets at most the permission bits of
// `input` (when it is a regular file).  Null and `err` set (EXIT_OUTPUT_OPEN)
// on failure.
FILE* open_positional_output(const std::string& name, const struct stat* input, StreamError& err);

}  // namespace cdedup::app
