// What the command line asks of the file system beyond reading and writing:
// whether two names are one file, a rename that will not replace a file
// that appeared meanwhile, and a file's attributes handed on to another.
// Linux calls behind plain functions, so that the front end states its
// rules (no output may be an input; an existing file is replaced only when
// asked) without the system's details.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct stat;

namespace cdedup {

// Which file a descriptor or a name stands for.  Only regular files are
// compared: standard input and output may well both be /dev/null or one
// terminal, which is no clash.
struct FileIdentity {
  bool known = false;    // the file exists and was looked at
  bool regular = false;
  dev_t dev = 0;
  ino_t ino = 0;
};

FileIdentity identify_fd(int fd);
// Follows symbolic links, as opening the name would.
FileIdentity identify_path(const char* path);
// Both are the same regular file.
bool same_regular_file(const FileIdentity& a, const FileIdentity& b);

// Renames `from` to `to`; unless `replace`, fails with EEXIST when `to`
// exists (atomically where the file system can, else by a link and an
// unlink).  0, or -1 with errno set.
int rename_into_place(const char* from, const char* to, bool replace);

// Gives the file open on `fd` the permission bits and the access and
// modification times of `from`, and its owner and group where this process
// may (as root).  What cannot be handed on is left as it is: it never fails
// an output that is otherwise complete.
void copy_file_attributes(int fd, const struct stat& from);

}  // namespace cdedup
