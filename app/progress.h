// One status line on a terminal while a long run goes on; nothing otherwise.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace cdedup::app {

class Progress {
 public:
  // Shows itself only when `tty` is a terminal; `input_size` is 0 when
  // unknown; `name` (if any) leads the line.
  Progress(FILE* tty, uint64_t input_size, std::string name = {});
  ~Progress() { clear(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Cheap enough to call once per block: redraws a few times a second at most.
  void update(uint64_t bytes_read, uint64_t bytes_written);
  // Erases the line if one was drawn.
  void clear();

 private:
  FILE* tty_ = nullptr;
  uint64_t input_size_ = 0;
  std::string name_;
  double start_ = 0;
  double last_draw_ = 0;
  bool drawn_ = false;
};

}  // namespace cdedup::app
