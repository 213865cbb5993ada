// Output goes through stdio, since standard output is the same FILE the
// report lines are printed through; fwrite of a large block goes straight
// to the file.  Input is read from the descriptor, past stdio: a read-ahead
// thread that the process leaves stuck in a read then holds no stdio lock
// that the exit path would wait for.
#include "app/file_stream.h"

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

size_t FileSource::read(uint8_t* buf, size_t cap) {
  if (failed_ || cap == 0) return 0;
  for (;;) {
    const ssize_t n = ::read(fileno(f_), buf, cap);
    if (n >= 0) {
      bytes_ += size_t(n);
      return size_t(n);
    }
    if (errno == EINTR) continue;
    const int err = errno;
    failed_ = true;
    error_ = {EXIT_IO, err, "cannot read " + display_name(name_, true) + ": " + strerror(err)};
    return 0;
  }
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
  error_ = {EXIT_IO, err, "cannot write " + display_name(name_, false) + ": " + strerror(err)};
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
    err = {EXIT_INPUT_OPEN, e, "cannot open " + name + ": " + strerror(e)};
    return nullptr;
  }
  return std::make_unique<FileSource>(f, name);
}

std::unique_ptr<FileSink> open_sink(const std::string& name, StreamError& err) {
  if (is_stdio_name(name)) return std::make_unique<FileSink>(stdout, name);
  FILE* f = fopen(name.c_str(), "wb");
  if (f == nullptr) {
    const int e = errno;
    err = {EXIT_OUTPUT_OPEN, e, "cannot open " + name + ": " + strerror(e)};
    return nullptr;
  }
  return std::make_unique<FileSink>(f, name);
}

}  // namespace cdedup::app
