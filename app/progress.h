// How far a long run has come, on standard error: a status line redrawn in
// place on a terminal, or (--progress) a line a second that a log keeps and
// a script can read, whatever standard error is.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace cdedup::app {

class Progress {
 public:
  // Shows itself only when `out` is a terminal, unless `log`: then it
  // writes a line a second to `out` whatever it is, and a last line at the
  // end.  `input_size` is 0 when unknown; `name` (if any) leads the line.
  Progress(FILE* out, uint64_t input_size, std::string name = {}, bool log = false);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Cheap enough to call once per block: draws a few times a second at most.
  void update(uint64_t bytes_read, uint64_t bytes_written);
  // Erases the line if one was drawn (a log keeps its lines).
  void clear();
  // The run is over: a log's last line, with these counts (written by the
  // destructor otherwise, with the latest ones).
  void finish(uint64_t bytes_read, uint64_t bytes_written);

 private:
  void log_line(double now, const char* last);

  FILE* out_ = nullptr;
  bool log_ = false;
  uint64_t input_size_ = 0;
  std::string name_;
  double start_ = 0;
  double last_draw_ = 0;
  bool drawn_ = false;
  uint64_t read_ = 0, written_ = 0;  // the latest counts
};

}  // namespace cdedup::app
