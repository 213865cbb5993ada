// The pump moves bytes from a Source to a Sink and knows nothing of files,
// pipes or compression.  A stage such as the zstd frame is a Source or a Sink
// that wraps another one, so stages stack without the pump changing.  Each
// side keeps its own failure as the exit status it stands for and the line
// to print, so whoever notices it only has to pass it on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "app/exit_status.h"

namespace cdedup::app {

// Why a stream stopped.  `status` is one of exit_status.h (0: nothing failed).
struct StreamError {
  int status = 0;
  std::string message;  // the line to print, without "cdedup: "
  // An interrupter stopped the read: the run is ending for a failure found
  // elsewhere (the output's), which is the one to report.
  bool interrupted = false;

  bool failed() const { return status != 0; }
};

// What an interrupted read fails with: the input did not end, so its end
// must not pass for a clean one.
inline StreamError interrupted_read() {
  return {EXIT_IO, "reading stopped before the end of the input: the run is ending", true};
}

class Source {
 public:
  virtual ~Source() = default;
  // Puts up to `cap` bytes into `buf` and returns how many.  0 means the end
  // of the input, or a failure when error().failed(); bytes that arrived
  // before a failure are handed out first, the failure on the next call.
  virtual size_t read(uint8_t* buf, size_t cap) = 0;
  // As read(), but the bytes may be lent in place instead of copied: `data`
  // points at them (into `scratch`, or into the source's own memory) and
  // stays valid until the next call.  A source that holds its bytes in
  // blocks of its own (read ahead on another thread) spares a copy here.
  virtual size_t lend(const uint8_t*& data, uint8_t* scratch, size_t cap) {
    data = scratch;
    return read(scratch, cap);
  }
  // Bytes taken from the file underneath so far (what a progress line counts).
  virtual uint64_t file_bytes() const = 0;
  // For a source that waits on a thread of its own: a call, safe from any
  // thread and at any time, that makes a waiting read fail at once with
  // interrupted_read() (the output failed on its own thread, and the run
  // must end even though the input goes on).  Empty for other sources.
  virtual std::function<void()> interrupter() { return {}; }

  const StreamError& error() const { return error_; }

 protected:
  StreamError error_;
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Takes all `n` bytes or fails (see error()).
  virtual bool write(const uint8_t* data, size_t n) = 0;
  // Pushes out everything held and releases the output.  Called once, also
  // after a failure upstream, so that what was done before it is kept; a
  // sink that is destroyed without close() drops what it holds.
  virtual bool close() = 0;
  // Bytes handed to the file underneath so far.
  virtual uint64_t file_bytes() const = 0;
  // A checked frame's decoded bytes end with those written so far
  // (CODEC_FRAME_END): a sink that hashes what passes through it compares
  // them with the frame's size and checksum, and fails (EXIT_BAD_STREAM) on
  // a mismatch; others pass it on, in order with the bytes.
  virtual bool end_frame(uint64_t size, uint64_t digest) {
    (void)size;
    (void)digest;
    return true;
  }
  // The most bytes this sink (and those under it) may have taken and not
  // yet written to the file: what a decoder that reads its output file back
  // must not expect to find there yet.
  virtual uint64_t max_unwritten() const { return 0; }

  // A sink that writes on a thread of its own lends the buffers it writes
  // from, so that they are filled in place instead of copied: borrow() gives
  // an empty one (`cap` bytes; null after a failure), give_back() hands it
  // back holding `n` bytes to write (false after a failure).
  virtual bool lends_buffers() const { return false; }
  virtual uint8_t* borrow(size_t& cap) {
    cap = 0;
    return nullptr;
  }
  virtual bool give_back(uint8_t* buf, size_t n) {
    (void)buf;
    (void)n;
    return false;
  }

  const StreamError& error() const { return error_; }

 protected:
  StreamError error_;
};

}  // namespace cdedup::app
