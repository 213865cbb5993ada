// The ends of every pipeline: a file or standard input/output through stdio,
// and a sink that keeps nothing (for --test).  Opening reports failures with
// the statuses the command has always used (2 for the input, 3 for the
// output); failures during the stream are status 6.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "app/byte_stream.h"

namespace cdedup::app {

// "-" names standard input or output.
bool is_stdio_name(const std::string& name);
// The name as messages show it: "(standard input)" / "(standard output)" for "-".
std::string display_name(const std::string& name, bool input);

class FileSource final : public Source {
 public:
  FileSource(FILE* f, std::string name) : f_(f), name_(std::move(name)) {}
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  size_t read(uint8_t* buf, size_t cap) override;
  uint64_t file_bytes() const override { return bytes_; }
  // Once asked for, each read also watches a pipe of its own that the call
  // returned writes to, so that it can be woken out of a wait for a pipe
  // that stays silent.  Empty for a regular file, whose reads never wait.
  std::function<void()> interrupter() override;
  // The size of a regular file, 0 for anything else (a pipe, a terminal).
  uint64_t regular_size() const;
  int fd() const { return fileno(f_); }

 private:
  struct WakePipe;
  size_t fail_read(int err);
  FILE* f_;
  std::string name_;
  uint64_t bytes_ = 0;
  bool failed_ = false;
  std::shared_ptr<WakePipe> wake_;  // shared with the interrupter, which may outlive the source
};

class FileSink final : public Sink {
 public:
  FileSink(FILE* f, std::string name) : f_(f), name_(std::move(name)) {}
  ~FileSink() override;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  bool write(const uint8_t* data, size_t n) override;
  bool close() override;
  uint64_t file_bytes() const override { return bytes_; }
  bool is_stdout() const { return f_ == stdout; }

  // For a decoder that reads its window back from the file it writes: a
  // descriptor that reads the same file (the sink's own, closed with it),
  // and where in the file the next byte written goes.  fd is -1 when the
  // output is not a regular file or cannot be read (a redirect to a file
  // without read permission).  From then on every write goes straight to
  // the file, so that no byte waits in a buffer where the decoder cannot
  // see it.
  struct ReadBack {
    int fd = -1;
    uint64_t offset = 0;
  };
  ReadBack open_read_back();
  // The decoder does read its window back (it may not, for a small window):
  // from now on a write fails when the file no longer holds what was
  // written before it or does not end where the sink's own count says
  // (another process cut the file or wrote to it meanwhile, so what is read
  // back would not be this stream's).  Safe from any thread.
  void watch_for_other_writers() { watching_.store(true, std::memory_order_relaxed); }

 private:
  bool fail(int err);
  bool write_direct(const uint8_t* data, size_t n);
  bool changed_under_us(const char* what);
  FILE* f_;
  std::string name_;
  uint64_t bytes_ = 0;
  int read_back_fd_ = -1;
  uint64_t file_from_ = 0;  // read back: where the first write started
  uint64_t file_at_ = 0;    // read back: where the next write must start
  std::atomic<bool> watching_{false};
};

class DiscardSink final : public Sink {
 public:
  bool write(const uint8_t*, size_t n) override {
    bytes_ += n;
    return true;
  }
  bool close() override { return true; }
  uint64_t file_bytes() const override { return bytes_; }

 private:
  uint64_t bytes_ = 0;
};

// nullptr and `err` set (EXIT_INPUT_OPEN / EXIT_OUTPUT_OPEN) when the file cannot be opened.
std::unique_ptr<FileSource> open_source(const std::string& name, StreamError& err);
std::unique_ptr<FileSink> open_sink(const std::string& name, StreamError& err);

}  // namespace cdedup::app
