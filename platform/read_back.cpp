// The same file is opened again through /proc/self/fd, so that an output
// the shell opened write-only (a redirect) can be read back when its
// permissions allow; the new descriptor is checked to name the same file.
#include "platform/read_back.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace cdedup {

namespace {

bool same_regular_file(int a, int b) {
  struct stat sa, sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

int read_back_open(int fd) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  char path[40];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  const int r = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (r < 0) return -1;
  if (!same_regular_file(fd, r)) {
    close(r);
    return -1;
  }
  return r;
}

bool read_back_usable(int fd) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // A read of no bytes still fails on a descriptor not open for reading.
  uint8_t b;
  return pread(fd, &b, 0, 0) == 0;
}

bool read_back(int fd, uint8_t* buf, size_t n, uint64_t offset) {
  while (n != 0) {
    const ssize_t k = pread(fd, buf, n, static_cast<off_t>(offset));
    if (k > 0) {
      buf += k;
      n -= static_cast<size_t>(k);
      offset += static_cast<uint64_t>(k);
    } else if (k == 0) {
      errno = 0;
      return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool BackgroundRead::start() {
  if (thread_.joinable()) return true;
  stopping_ = false;
  posted_ = false;
  done_ = true;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void BackgroundRead::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundRead::post(int fd, uint8_t* buf, size_t n, uint64_t offset) {
  {
    std::lock_guard<std::mutex> lock(m_);
    fd_ = fd;
    buf_ = buf;
    n_ = n;
    offset_ = offset;
    posted_ = true;
    done_ = false;
  }
  changed_.notify_all();
}

bool BackgroundRead::busy() {
  std::lock_guard<std::mutex> lock(m_);
  return !done_;
}

bool BackgroundRead::wait() {
  std::unique_lock<std::mutex> lock(m_);
  changed_.wait(lock, [this] { return done_; });
  return ok_;
}

void BackgroundRead::run() {
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || posted_; });
    // A read posted before stop() is still done: its buffer is waited for.
    if (!posted_) return;
    posted_ = false;
    const int fd = fd_;
    uint8_t* const buf = buf_;
    const size_t n = n_;
    const uint64_t offset = offset_;
    lock.unlock();
    const bool ok = read_back(fd, buf, n, offset);
    lock.lock();
    ok_ = ok;
    done_ = true;
    changed_.notify_all();
  }
}

}  // namespace cdedup
