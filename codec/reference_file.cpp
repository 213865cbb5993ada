// A patch's reference file: taking it up, its size and hash, reading it;
// see reference_file.h.
#include "codec/reference_file.h"

#include <cdedup/cdedup.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>

#include "codec/codec.h"
#include "platform/large_block.h"
#include "platform/read_back.h"

namespace cdedup {

namespace {

// The stream stops on the reference: the kind of fault, its message set.
bool refuse(Codec& c, int32_t kind) {
  c.failure = kind;
  return false;
}

bool hash_all(Codec& c, ReferenceFile& r) {
  return reference_pass(c, r, [](const uint8_t*, size_t) {});
}

}  // namespace

bool reference_take(Codec& c, int fd) {
  if (fd < 0) {
    reference_release(c);
    return true;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !read_back_usable(fd)) {
    codec_set_message(c, "the reference must be a regular file open for reading");
    return false;
  }
  if (c.ref_file == nullptr) c.ref_file = new (std::nothrow) ReferenceFile;
  const int own = c.ref_file != nullptr ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
  if (own < 0) {
    codec_set_message(c, "cannot take up the reference file: %s", std::strerror(c.ref_file ? errno : ENOMEM));
    return false;
  }
  ReferenceFile& r = *c.ref_file;
  // A read ahead of the last stream may still be under way on the old descriptor.
  file_extents_settle(r.reader);
  if (r.fd >= 0) close(r.fd);
  r.fd = own;
  r.size = static_cast<uint64_t>(st.st_size);
  r.hashed = false;
  r.active = false;
  return true;
}

void reference_release(Codec& c) {
  if (c.ref_file == nullptr) return;
  ReferenceFile& r = *c.ref_file;
  file_extents_release(r.reader);  // waits for a read ahead first
  if (r.fd >= 0) close(r.fd);
  large_block_free(r.block, REFERENCE_BLOCK);
  delete c.ref_file;
  c.ref_file = nullptr;
}

bool reference_open(Codec& c, uint32_t window) {
  ReferenceFile& r = *c.ref_file;
  struct stat st;
  if (fstat(r.fd, &st) != 0) {
    codec_set_message(c, "cannot read the reference file: %s", std::strerror(errno));
    return refuse(c, CODEC_FAIL_REFERENCE);
  }
  r.size = static_cast<uint64_t>(st.st_size);
  if (r.size > window) {
    codec_set_message(c, "the reference file has %" PRIu64 " bytes, more than the window of %" PRIu32 " MiB holds",
                      r.size, window >> 20);
    return refuse(c, CODEC_FAIL_SETTINGS);
  }
  if (r.block == nullptr) r.block = static_cast<uint8_t*>(large_block_alloc(REFERENCE_BLOCK));
  if (r.block == nullptr) {
    codec_set_message(c, "cannot allocate a block to read the reference file: out of memory");
    return refuse(c, CODEC_FAIL_MEMORY);
  }
  return true;
}

bool reference_read(Codec& c, uint64_t offset, uint8_t* buf, size_t n) {
  return read_back(c.ref_file->fd, buf, n, offset) || reference_read_failed(c, offset);
}

bool reference_read_failed(Codec& c, uint64_t offset) {
  codec_set_message(c, "cannot read the reference file at byte %" PRIu64 ": %s", offset,
                    errno != 0 ? std::strerror(errno) : "it ends there: it was cut short");
  return refuse(c, CODEC_FAIL_REFERENCE);
}

bool reference_matches(Codec& c, uint64_t frame, uint64_t size, uint64_t hash) {
  ReferenceFile& r = *c.ref_file;
  struct stat st;
  if (fstat(r.fd, &st) != 0) {
    codec_set_message(c, "cannot read the reference file: %s", std::strerror(errno));
    return refuse(c, CODEC_FAIL_REFERENCE);
  }
  // The size first: a wrong file is most often told by it, without a pass over it.
  if (static_cast<uint64_t>(st.st_size) != size) {
    codec_set_message(c,
                      "checked frame %" PRIu64 " is a patch against a reference file of %" PRIu64
                      " bytes with XXH3-64 %016" PRIx64 "; the file given has %" PRIu64 " bytes",
                      frame, size, hash, static_cast<uint64_t>(st.st_size));
    return refuse(c, CODEC_FAIL_REFERENCE);
  }
  r.size = size;
  if (r.block == nullptr) r.block = static_cast<uint8_t*>(large_block_alloc(REFERENCE_BLOCK));
  if (r.block == nullptr) {
    codec_set_message(c, "cannot allocate a block to read the reference file: out of memory");
    return refuse(c, CODEC_FAIL_MEMORY);
  }
  if (!r.hashed && !hash_all(c, r)) return false;
  if (r.hash != hash) {
    codec_set_message(c,
                      "checked frame %" PRIu64 " is a patch against a reference file of %" PRIu64
                      " bytes with XXH3-64 %016" PRIx64 "; the file given has XXH3-64 %016" PRIx64,
                      frame, size, hash, r.hash);
    return refuse(c, CODEC_FAIL_REFERENCE);
  }
  return true;
}

}  // namespace cdedup
