#include "app/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/exit_status.h"
#include "platform/file_ops.h"
#include "platform/interrupt_cleanup.h"

namespace cdedup::app {

namespace {

// "dir/name" -> "dir/.name.XXXXXX": beside the target, hidden while it grows.
std::string temp_template(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  return dir + "." + base + ".XXXXXX";
}

}  // namespace

FILE* PendingOutput::open(const std::string& target, StreamError& err) {
  abandon();
  std::string path = temp_template(target);
  // Created 0600: nobody else reads the data before its own permissions are set.
  const int fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) {
    err = {EXIT_OUTPUT_OPEN, "cannot create a file beside " + target + ": " + strerror(errno)};
    return nullptr;
  }
  target_ = target;
  temp_ = path;
  interrupt_cleanup_arm(temp_.c_str());
  attr_fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  FILE* f = attr_fd_ >= 0 ? fdopen(fd, "wb") : nullptr;
  if (f == nullptr) {
    err = {EXIT_OUTPUT_OPEN, "cannot open " + path + ": " + strerror(errno)};
    ::close(fd);
    abandon();
  }
  return f;
}

bool PendingOutput::commit(const struct stat* input, bool replace, StreamError& err) {
  if (temp_.empty()) return false;
  if (input != nullptr && S_ISREG(input->st_mode)) copy_file_attributes(attr_fd_, *input);
  if (rename_into_place(temp_.c_str(), target_.c_str(), replace) != 0) {
    const int e = errno;
    err = {EXIT_OUTPUT_OPEN, e == EEXIST ? target_ + " appeared while it was being written; not overwritten (-f replaces it)"
                                         : "cannot rename the output into place as " + target_ + ": " + strerror(e)};
    abandon();
    return false;
  }
  interrupt_cleanup_disarm();
  ::close(attr_fd_);
  attr_fd_ = -1;
  temp_.clear();
  return true;
}

void PendingOutput::abandon() {
  if (temp_.empty()) return;
  unlink(temp_.c_str());
  interrupt_cleanup_disarm();
  temp_.clear();
  if (attr_fd_ >= 0) ::close(attr_fd_);
  attr_fd_ = -1;
}

FILE* open_positional_output(const std::string& name, const struct stat* input, StreamError& err) {
  const mode_t mode = input != nullptr && S_ISREG(input->st_mode) ? input->st_mode & 0777 : 0666;
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  FILE* f = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  if (f == nullptr) {
    err = {EXIT_OUTPUT_OPEN, "cannot open " + name + ": " + strerror(errno)};
    if (fd >= 0) ::close(fd);
  }
  return f;
}

}  // namespace cdedup::app
