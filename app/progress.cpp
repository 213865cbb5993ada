// The line appears only after a second, so short runs never flicker, and is
// redrawn at most four times a second: a redraw costs a clock read and a
// write to the terminal, nothing per byte.
#include "app/progress.h"

#include <time.h>
#include <unistd.h>

namespace cdedup::app {

namespace {

constexpr double SHOW_AFTER_SECONDS = 1.0;
constexpr double REDRAW_SECONDS = 0.25;

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void format_bytes(char* out, size_t n, uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = double(bytes);
  int u = 0;
  while (v >= 1024.0 && u < 4) {
    v /= 1024.0;
    ++u;
  }
  snprintf(out, n, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
}

}  // namespace

Progress::Progress(FILE* tty, uint64_t input_size, std::string name)
    : input_size_(input_size), name_(name.empty() ? name : name + ": ") {
  if (tty != nullptr && isatty(fileno(tty))) tty_ = tty;
  start_ = last_draw_ = now_seconds();
}

void Progress::update(uint64_t bytes_read, uint64_t bytes_written) {
  if (tty_ == nullptr) return;
  const double t = now_seconds();
  if (t - start_ < SHOW_AFTER_SECONDS || t - last_draw_ < REDRAW_SECONDS) return;
  last_draw_ = t;
  const double elapsed = t - start_;
  char rd[32], wr[32], tail[64] = "";
  format_bytes(rd, sizeof rd, bytes_read);
  format_bytes(wr, sizeof wr, bytes_written);
  const double rate = double(bytes_read) / elapsed / 1e6;
  const double ratio = bytes_read != 0 ? double(bytes_written) / double(bytes_read) * 100.0 : 0.0;
  if (input_size_ != 0 && bytes_read <= input_size_) {
    const double done = double(bytes_read) / double(input_size_);
    const double left = done > 0 ? elapsed * (1.0 - done) / done : 0.0;
    snprintf(tail, sizeof tail, "  %5.1f%%  %.0f s left", done * 100.0, left);
  }
  fprintf(tty_, "\r\033[K%s%s read, %s written (%.1f%%), %.1f MB/s%s", name_.c_str(), rd, wr, ratio, rate, tail);
  fflush(tty_);
  drawn_ = true;
}

void Progress::clear() {
  if (!drawn_) return;
  fputs("\r\033[K", tty_);
  fflush(tty_);
  drawn_ = false;
}

}  // namespace cdedup::app
