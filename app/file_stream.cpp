// Output goes through stdio, since standard output is the same FILE the
// report lines are printed through; fwrite of a large block goes straight
// to the file.  Input is read from the descriptor, past stdio: a read-ahead
// thread that the process leaves stuck in a read then holds no stdio lock
// that the exit path would wait for.
#include "app/file_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/exit_status.h"

namespace cdedup::app {

bool is_stdio_name(const std::string& name) { return name == "-"; }

std::string display_name(const std::string& name, bool input) {
  if (!is_stdio_name(name)) return name;
  return input ? "(standard input)" : "(standard output)";
}

// ---------------------------------------------------------------------------
// Input
// ---------------------------------------------------------------------------

FileSource::~FileSource() {
  if (f_ != stdin) fclose(f_);
}

struct FileSource::WakePipe {
  int fd[2] = {-1, -1};
  ~WakePipe() {
    if (fd[0] >= 0) ::close(fd[0]);
    if (fd[1] >= 0) ::close(fd[1]);
  }
};

std::function<void()> FileSource::interrupter() {
  // A read of a regular file never waits on a writer: nothing to wake, and
  // no poll before every read.
  struct stat st;
  if (fstat(fileno(f_), &st) == 0 && S_ISREG(st.st_mode)) return {};
  if (wake_ == nullptr) {
    auto w = std::make_shared<WakePipe>();
    if (pipe2(w->fd, O_CLOEXEC | O_NONBLOCK) != 0) return {};
    wake_ = std::move(w);
  }
  return [w = wake_] {
    const char b = 0;
    (void)!::write(w->fd[1], &b, 1);
  };
}

size_t FileSource::read(uint8_t* buf, size_t cap) {
  if (failed_ || cap == 0) return 0;
  const int fd = fileno(f_);
  for (;;) {
    if (wake_ != nullptr) {
      pollfd p[2] = {{fd, POLLIN, 0}, {wake_->fd[0], POLLIN, 0}};
      if (poll(p, 2, -1) < 0 && errno != EINTR) return fail_read(errno);
      if (p[1].revents != 0) {  // woken: the run is ending
        failed_ = true;
        error_ = interrupted_read();
        return 0;
      }
      if (p[0].revents == 0) continue;
    }
    const ssize_t n = ::read(fd, buf, cap);
    if (n >= 0) {
      bytes_ += size_t(n);
      return size_t(n);
    }
    if (errno != EINTR) return fail_read(errno);
  }
}

size_t FileSource::fail_read(int err) {
  failed_ = true;
  error_ = {EXIT_IO, "cannot read " + display_name(name_, true) + ": " + strerror(err)};
  return 0;
}

uint64_t FileSource::regular_size() const {
  struct stat st;
  if (fstat(fileno(f_), &st) == 0 && S_ISREG(st.st_mode)) return uint64_t(st.st_size);
  return 0;
}

// ---------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------

FileSink::~FileSink() {
  if (f_ == nullptr) return;
  if (f_ == stdout)
    fflush(stdout);
  else
    fclose(f_);
}

bool FileSink::fail(int err) {
  error_ = {EXIT_IO, "cannot write " + display_name(name_, false) + ": " + strerror(err)};
  return false;
}

bool FileSink::write(const uint8_t* data, size_t n) {
  if (n == 0) return true;
  if (fwrite(data, 1, n, f_) != n) return fail(errno);
  bytes_ += n;
  return true;
}

// A full disk often shows only here, so a failing flush or close is a failed run.
bool FileSink::close() {
  FILE* f = f_;
  f_ = nullptr;
  if (f == nullptr) return !error_.failed();
  const bool flushed = fflush(f) == 0;
  const int flush_errno = errno;
  const bool closed = f == stdout ? true : fclose(f) == 0;
  if (!flushed) return fail(flush_errno);
  if (!closed) return fail(errno);
  return true;
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

std::unique_ptr<FileSource> open_source(const std::string& name, StreamError& err) {
  if (is_stdio_name(name)) return std::make_unique<FileSource>(stdin, name);
  FILE* f = fopen(name.c_str(), "rb");
  if (f == nullptr) {
    const int e = errno;
    err = {EXIT_INPUT_OPEN, "cannot open " + name + ": " + strerror(e)};
    return nullptr;
  }
  return std::make_unique<FileSource>(f, name);
}

std::unique_ptr<FileSink> open_sink(const std::string& name, StreamError& err) {
  if (is_stdio_name(name)) return std::make_unique<FileSink>(stdout, name);
  FILE* f = fopen(name.c_str(), "wb");
  if (f == nullptr) {
    const int e = errno;
    err = {EXIT_OUTPUT_OPEN, "cannot open " + name + ": " + strerror(e)};
    return nullptr;
  }
  return std::make_unique<FileSink>(f, name);
}

}  // namespace cdedup::app
