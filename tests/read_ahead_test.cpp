// Reading ahead on a thread of its own: the inner source's bytes, end and
// failure come out in the same order whatever the block size, and a read
// that is interrupted (the output failed, the run is ending) is a failure of
// its own, never a clean end of the input.  The hand-over of the inner
// source's failure is checked under ThreadSanitizer too, in the narrow
// window where the ring is closed while the filler reaches the end.
#include "app/read_ahead.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "app/exit_status.h"
#include "app/file_stream.h"
#include "support/process.h"

namespace cdedup::app {
namespace {

using test::Bytes;

// Hands out `data` in pieces of at most `piece` bytes, then ends, or fails
// with a message long enough to live on the heap.  With `stall`, the read
// that would end holds until `go` is set: relaxed on purpose, so that it
// orders nothing that ThreadSanitizer could take for a hand-over.
struct Script {
  Bytes data;
  size_t piece = 1;
  bool fail = false;
  bool stall = false;
  std::atomic<bool> stalled{false}, go{false}, gone{false};
};

class ScriptedSource final : public Source {
 public:
  explicit ScriptedSource(std::shared_ptr<Script> s) : s_(std::move(s)) {}
  ~ScriptedSource() override { s_->gone.store(true, std::memory_order_relaxed); }
  size_t read(uint8_t* buf, size_t cap) override {
    if (pos_ < s_->data.size()) {
      const size_t n = std::min({cap, s_->piece, s_->data.size() - pos_});
      std::memcpy(buf, s_->data.data() + pos_, n);
      pos_ += n;
      return n;
    }
    if (s_->stall) {
      s_->stalled.store(true, std::memory_order_relaxed);
      while (!s_->go.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    if (s_->fail) error_ = {EXIT_IO, "cannot read the scripted input: " + std::string(100, 'x')};
    return 0;
  }
  uint64_t file_bytes() const override { return pos_; }

 private:
  std::shared_ptr<Script> s_;
  size_t pos_ = 0;
};

enum class Take { copied, lent, both };

// Everything a source gives until it says it has ended: copied, lent, or
// each in turn, as a decoder that sometimes reads into its own block does.
Bytes drain(Source& src, Take take) {
  Bytes got;
  uint8_t scratch[7];
  for (unsigned turn = 0;; ++turn) {
    const uint8_t* p = scratch;
    const bool lend = take == Take::lent || (take == Take::both && turn % 3 == 1);
    const size_t n = lend ? src.lend(p, scratch, sizeof scratch) : src.read(scratch, sizeof scratch);
    if (n == 0) return got;
    got.insert(got.end(), p, p + n);
  }
}

TEST(ReadAhead, BytesEndAndFailureInTheSameOrder) {
  for (const size_t n : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{1000}}) {
    for (const size_t block : {size_t{1}, size_t{16}, size_t{64}, size_t{4096}}) {
      for (const bool fail : {false, true}) {
        for (const Take take : {Take::copied, Take::lent, Take::both}) {
          SCOPED_TRACE(::testing::Message() << n << " bytes, blocks of " << block << (fail ? ", failing" : "")
                                            << ", taken as " << int(take));
          auto script = std::make_shared<Script>();
          script->data = test::random_bytes(n, n + block);
          script->piece = 1 + n % 13;
          script->fail = fail;
          auto ahead = make_read_ahead(std::make_unique<ScriptedSource>(script), 3, block);
          EXPECT_TRUE(drain(*ahead, take) == script->data);
          EXPECT_EQ(ahead->error().failed(), fail);
          EXPECT_EQ(ahead->error().message.substr(0, 31), fail ? "cannot read the scripted input:" : "");
          EXPECT_EQ(ahead->file_bytes(), n);
        }
      }
    }
  }
}

// The ring is closed (the output failed) while the filler is inside the
// read that reaches the end; the filler then records the inner failure
// while the reader has already left.  The reader must see a failure of
// its own, and the two threads must not touch the same record unordered.
TEST(ReadAhead, InterruptedReadIsAFailureAndRacesWithNothing) {
  for (const bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "the inner source fails" : "the inner source ends");
    auto script = std::make_shared<Script>();
    script->data = test::random_bytes(100, 1);
    script->piece = 100;
    script->fail = fail;
    script->stall = true;
    {
      auto ahead = make_read_ahead(std::make_unique<ScriptedSource>(script), 2, 1024);
      const std::function<void()> interrupt = ahead->interrupter();
      ASSERT_TRUE(interrupt);
      while (!script->stalled.load(std::memory_order_relaxed)) std::this_thread::yield();
      interrupt();
      uint8_t buf[16];
      EXPECT_EQ(ahead->read(buf, sizeof buf), 0u);
      EXPECT_TRUE(ahead->error().failed());
      EXPECT_EQ(ahead->error().status, EXIT_IO);
      script->go.store(true, std::memory_order_relaxed);
    }
    // The filler, left to finish on its own, has let go of the inner source.
    while (!script->gone.load(std::memory_order_relaxed)) std::this_thread::yield();
  }
}

// A file source woken out of its wait on a silent pipe fails the read too.
TEST(ReadAhead, WokenFileReadIsAFailure) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  FILE* f = fdopen(fds[0], "rb");
  ASSERT_NE(f, nullptr);
  {
    FileSource src(f, "the pipe");
    const std::function<void()> interrupt = src.interrupter();
    ASSERT_TRUE(interrupt);
    std::thread waker([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      interrupt();
    });
    uint8_t buf[16];
    EXPECT_EQ(src.read(buf, sizeof buf), 0u);  // nobody writes: only the wake-up ends this
    waker.join();
    EXPECT_TRUE(src.error().failed());
    EXPECT_EQ(src.error().status, EXIT_IO);
  }
  close(fds[1]);
}

}  // namespace
}  // namespace cdedup::app
