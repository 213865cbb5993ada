#include "platform/file_ops.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace cdedup {

namespace {

FileIdentity from_stat(const struct stat& st) {
  FileIdentity id;
  id.known = true;
  id.regular = S_ISREG(st.st_mode);
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  return id;
}

}  // namespace

FileIdentity identify_fd(int fd) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return {};
  return from_stat(st);
}

FileIdentity identify_path(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return {};
  return from_stat(st);
}

bool same_regular_file(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.regular && b.regular && a.dev == b.dev && a.ino == b.ino;
}

int rename_into_place(const char* from, const char* to, bool replace) {
  if (replace) return rename(from, to);
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without the flag: link() refuses an existing name just as well.
  if (link(from, to) != 0) return -1;
  unlink(from);
  return 0;
}

void copy_file_attributes(int fd, const struct stat& from) {
  // The owner first, where this process may give the file away.  Only the
  // permission bits travel: set-id bits on an encoding of a program make no sense.
  if (geteuid() == 0) (void)!fchown(fd, from.st_uid, from.st_gid);
  (void)!fchmod(fd, from.st_mode & 0777);
  const struct timespec times[2] = {from.st_atim, from.st_mtim};
  (void)!futimens(fd, times);
}

}  // namespace cdedup
