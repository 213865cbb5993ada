// The reference of a patch on the command line; see patch_reference.h.
#include "app/patch_reference.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "app/exit_status.h"
#include "app/pump.h"

namespace cdedup::app {

namespace {

// The window a patch gets unless it is given: all of REF, and behind it the
// reach the default window has into the new data; at most what the format
// carries, so a REF over 3071 MiB leaves the new data less.
constexpr int64_t DEFAULT_REACH_MIB = 1024, WINDOW_MAX_MIB = 4095;
// The index follows the window as --long's does: a quarter of it, 256 MiB at least.
constexpr int32_t INDEX_MIN_MIB = 256;

int64_t mib_up(uint64_t bytes) { return int64_t((bytes + (uint64_t{1} << 20) - 1) >> 20); }

}  // namespace

PatchReference::~PatchReference() {
  if (fd_ >= 0) close(fd_);
}

int PatchReference::open(const Options& o) {
  if (o.patch_from.empty()) return EXIT_OK;
  name_ = o.patch_from;
  fd_ = ::open(name_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) {
    complain("cannot open the reference %s: %s", name_.c_str(), strerror(errno));
    return EXIT_INPUT_OPEN;
  }
  // Decoding reads REF twice (its hash, then what references repeat) and at
  // any offset: only a regular file will do.
  if (!S_ISREG(st.st_mode)) {
    complain("the reference %s is not a regular file (--patch-from needs one: it is read twice, at any offset)",
             name_.c_str());
    return EXIT_INPUT_OPEN;
  }
  size_ = uint64_t(st.st_size);
  id_ = identify_fd(fd_);
  return EXIT_OK;
}

int PatchReference::size_settings(const Options& o, int32_t params[3], std::optional<uint64_t> new_size) const {
  if (!given() || o.mode != CODEC_MODE_ENCODE) return EXIT_OK;
  const int64_t ref_mib = mib_up(size_);
  // New data of a known size shorter than the default reach needs no more:
  // the window and the index that follows it stay as small as the job (a
  // disk image's halves: 113 MiB less index to clear, a tenth of the time).
  const int64_t reach = new_size ? std::clamp<int64_t>(mib_up(*new_size), 1, DEFAULT_REACH_MIB) : DEFAULT_REACH_MIB;
  if (!o.window_given) params[2] = int32_t(std::min(WINDOW_MAX_MIB, ref_mib + reach));
  if (!o.index_given) params[1] = std::max(INDEX_MIN_MIB, (params[2] + 3) / 4);
  if (size_ > uint64_t(uint32_t(params[2])) << 20) {
    complain("the reference %s has %" PRIu64 " bytes, more than the window of %" PRId32 " MiB holds%s", name_.c_str(),
             size_, params[2],
             o.window_given ? ": give a larger window (--decmem, --long), or none" : " (the largest there is)");
    return EXIT_REFUSED;
  }
  return EXIT_OK;
}

int PatchReference::give_to(Codec* c) const {
  if (!given()) return EXIT_OK;
  if (codec_set_reference_file(c, fd_) != 0) {
    complain("the reference %s: %s", name_.c_str(), codec_message(c));
    return EXIT_REFUSED;
  }
  return EXIT_OK;
}

int PatchReference::refuse_as_output(const FileIdentity& output, const std::string& output_name) const {
  if (!given() || !same_regular_file(id_, output)) return EXIT_OK;
  complain("refusing to write %s: it is the reference %s", output_name.c_str(), name_.c_str());
  return EXIT_OUTPUT_OPEN;
}

std::string PatchReference::advice(const Options& o) {
  return o.patch_from.empty() ? "--patch-from=REF decodes a patch with its reference"
                              : "the reference given was " + o.patch_from;
}

}  // namespace cdedup::app
