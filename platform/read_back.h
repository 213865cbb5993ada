// Reading back a regular file that is being written through another
// descriptor: the decoder's window, when the output is a file, is the part of
// that file already written.
//
// Reads go through pread into memory the reader already owns.  A mapping of
// the file was measured slower on the machines this runs on: every page of a
// fresh output file is new to the process, and the first touch of each
// mapped page cost about 2 us there (a shadow page-table fault in the virtual
// machine), where the kernel's own copy into a buffer that is warm costs a
// tenth of that; a mapping also turns a file that another process cuts short
// into SIGBUS, where pread returns a short count.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace cdedup {

// A descriptor of its own (close-on-exec) that reads the regular file `fd`
// is open on, whatever access `fd` itself has; -1 when the file is not a
// regular one or cannot be opened for reading (its permissions, no /proc).
int read_back_open(int fd);

// Whether `fd` is a regular file that this process may read through it.
bool read_back_usable(int fd);

// Reads exactly n bytes at `offset`; false with errno set when the file
// ends first (errno 0 then) or a read fails.
bool read_back(int fd, uint8_t* buf, size_t n, uint64_t offset);

// One read_back at a time on a thread of its own, so that a reader can ask
// for the bytes it will want next and go on meanwhile.
class BackgroundRead {
 public:
  BackgroundRead() = default;
  BackgroundRead(const BackgroundRead&) = delete;
  BackgroundRead& operator=(const BackgroundRead&) = delete;
  ~BackgroundRead() { stop(); }

  // Starts the thread; false when none can be had.
  bool start();
  // Waits for a read under way, then stops the thread.
  void stop();
  bool running() const { return thread_.joinable(); }
  // Asks for n bytes at `offset` into buf, which is the thread's until
  // wait() returns; the last read must have been waited for.
  void post(int fd, uint8_t* buf, size_t n, uint64_t offset);
  // Whether the read posted last is still under way.
  bool busy();
  // Waits for the read posted last: true when it got all its bytes.
  bool wait();

 private:
  void run();

  std::mutex m_;
  std::condition_variable changed_;
  bool stopping_ = false, posted_ = false, done_ = true, ok_ = true;  // under m_
  int fd_ = -1;
  uint8_t* buf_ = nullptr;
  size_t n_ = 0;
  uint64_t offset_ = 0;
  std::thread thread_;
};

}  // namespace cdedup
