// Output goes through stdio, since standard output is the same FILE the
// report lines are printed through; fwrite of a large block goes straight
// to the file.  An output that the decoder reads back is written with
// write(2) alone, so that no byte waits in a stdio buffer where the
// decoder cannot see it.  Input is read from the descriptor, past stdio: a read-ahead
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
#include "platform/read_back.h"

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
  if (read_back_fd_ >= 0) ::close(read_back_fd_);
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
  if (read_back_fd_ >= 0) return write_direct(data, n);
  if (fwrite(data, 1, n, f_) != n) return fail(errno);
  bytes_ += n;
  return true;
}

// The decoder reads back what was written, so the file must still hold it
// and each write must land right after it.  Another process that cuts the
// file short or writes to it meanwhile through the same open file, or past
// its end, is caught at the next write (one that cuts it between the check
// and the write goes unseen: the file then reads zeros there, as it would
// for any other reader).  A write into bytes already written, through a file
// of its own, is not seen here: the checked stream's checksum catches it when
// the decoder reads them back.
bool FileSink::write_direct(const uint8_t* data, size_t n) {
  const int fd = fileno(f_);
  const bool watching = watching_.load(std::memory_order_relaxed);
  struct stat st;
  // Before the first write the file may well end before the offset (a
  // descriptor positioned past the end): nothing of ours is missing yet.
  if (watching && file_at_ > file_from_ && fstat(fd, &st) == 0 && uint64_t(st.st_size) < file_at_)
    return changed_under_us("cut it short");
  while (n != 0) {
    const ssize_t k = ::write(fd, data, n);
    if (k <= 0) {
      if (k < 0 && errno == EINTR) continue;
      return fail(k < 0 ? errno : EIO);  // no progress at all: never loop on it
    }
    data += k;
    n -= size_t(k);
    bytes_ += uint64_t(k);
    file_at_ += uint64_t(k);
  }
  if (watching && lseek(fd, 0, SEEK_CUR) != off_t(file_at_)) return changed_under_us("writes to it too");
  return true;
}

bool FileSink::changed_under_us(const char* what) {
  error_ = {EXIT_IO,
            "cannot write " + display_name(name_, false) + ": another process " + what +
                ", so the decoder cannot read its output back"};
  return false;
}

FileSink::ReadBack FileSink::open_read_back() {
  if (read_back_fd_ >= 0 || f_ == nullptr) return {};
  const int fd = fileno(f_);
  const int r = read_back_open(fd);
  if (r < 0) return {};
  // Where the next write lands: the end of the file when it appends.
  const int flags = fcntl(fd, F_GETFL);
  struct stat st;
  off_t at = -1;
  if (flags >= 0 && fflush(f_) == 0)
    at = (flags & O_APPEND) != 0 ? (fstat(fd, &st) == 0 ? st.st_size : -1) : lseek(fd, 0, SEEK_CUR);
  if (at < 0) {
    ::close(r);
    return {};
  }
  read_back_fd_ = r;
  file_from_ = file_at_ = uint64_t(at);
  return {r, uint64_t(at)};
}

// A full disk often shows only here, so a failing flush or close is a failed run.
bool FileSink::close() {
  if (read_back_fd_ >= 0) ::close(read_back_fd_);
  read_back_fd_ = -1;
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
