// The line appears only after a second, so short runs never flicker, and is
// redrawn at most four times a second (a log gets one a second): a redraw
// costs a clock read and a write, nothing per byte.  A log's lines are
// "key=value" words, so that a script reads them without parsing prose.
#include "app/progress.h"

#include <time.h>
#include <unistd.h>

#include <utility>

namespace cdedup::app {

namespace {

constexpr double SHOW_AFTER_SECONDS = 1.0;
constexpr double REDRAW_SECONDS = 0.25;
constexpr double LOG_SECONDS = 1.0;

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

Progress::Progress(FILE* out, uint64_t input_size, std::string name, bool log)
    : log_(log), input_size_(input_size), name_(std::move(name)) {
  if (out != nullptr && (log || isatty(fileno(out)))) out_ = out;
  start_ = last_draw_ = now_seconds();
}

void Progress::update(uint64_t bytes_read, uint64_t bytes_written) {
  read_ = bytes_read;
  written_ = bytes_written;
  if (out_ == nullptr) return;
  const double t = now_seconds();
  if (t - start_ < SHOW_AFTER_SECONDS || t - last_draw_ < (log_ ? LOG_SECONDS : REDRAW_SECONDS)) return;
  last_draw_ = t;
  if (log_) {
    log_line(t, "");
    return;
  }
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
  const std::string name = name_.empty() ? name_ : name_ + ": ";
  fprintf(out_, "\r\033[K%s%s read, %s written (%.1f%%), %.1f MB/s%s", name.c_str(), rd, wr, ratio, rate, tail);
  fflush(out_);
  drawn_ = true;
}

// cdedup progress: [file=NAME] read=BYTES written=BYTES seconds=S [percent=P left=S] [end]
void Progress::log_line(double now, const char* last) {
  const double elapsed = now - start_;
  char tail[64] = "";
  if (input_size_ != 0 && read_ <= input_size_) {
    const double done = double(read_) / double(input_size_);
    const double left = done > 0 ? elapsed * (1.0 - done) / done : 0.0;
    snprintf(tail, sizeof tail, " percent=%.1f left=%.0f", done * 100.0, left);
  }
  fprintf(out_, "cdedup progress:%s%s read=%llu written=%llu seconds=%.1f%s%s\n", name_.empty() ? "" : " file=",
          name_.c_str(), static_cast<unsigned long long>(read_), static_cast<unsigned long long>(written_), elapsed,
          tail, last);
  fflush(out_);
}

void Progress::clear() {
  if (log_ || !drawn_ || out_ == nullptr) return;
  fputs("\r\033[K", out_);
  fflush(out_);
  drawn_ = false;
}

void Progress::finish(uint64_t bytes_read, uint64_t bytes_written) {
  read_ = bytes_read;
  written_ = bytes_written;
  if (!log_ || out_ == nullptr) return;
  log_line(now_seconds(), " end");
  out_ = nullptr;
}

Progress::~Progress() {
  clear();
  finish(read_, written_);
}

}  // namespace cdedup::app
