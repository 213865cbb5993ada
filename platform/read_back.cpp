// The same file is opened again through /proc/self/fd, so that an output
// the shell opened write-only (a redirect) can be read back when its
// permissions allow; the new descriptor is checked to name the same file.
#include "platform/read_back.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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

}  // namespace cdedup
