// The codec body is a C++20 coroutine: straight-line code that reads and
// writes bytes as if it had the whole input and an endless output, suspended
// whenever a buffer runs dry or fills.  Its frame is placed in the Codec's own
// arena, so the suspended body lives inside the instance and a running
// stream never allocates.  Stack copying (the other way to suspend plain
// functions) was rejected: it needs platform assembly and a fixed stack depth.
//
// The byte primitives are awaitables whose await_ready is the fast path: one
// comparison and one pointer increment while bytes or room remain; only at a
// buffer boundary does the body suspend.
#pragma once

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>

#include "codec/codec.h"
#include "platform/copy.h"

namespace cdedup {

// ---------------------------------------------------------------------------
// The body's coroutine type
// ---------------------------------------------------------------------------

// Storage for a body frame inside the Codec, or null when the frame does not
// fit or a frame is already live.
void* codec_frame_alloc(Codec& c, size_t size) noexcept;
void codec_frame_free(void* frame) noexcept;

class BodyTask {
 public:
  struct promise_type {
    template <typename... Args>
    static void* operator new(size_t size, Codec& c, Args&&...) noexcept {
      return codec_frame_alloc(c, size);
    }
    static void operator delete(void* frame, size_t) noexcept { codec_frame_free(frame); }
    static BodyTask get_return_object_on_allocation_failure() noexcept { return BodyTask{}; }

    BodyTask get_return_object() noexcept {
      return BodyTask{std::coroutine_handle<promise_type>::from_promise(*this)};
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };

  BodyTask() = default;
  explicit BodyTask(std::coroutine_handle<promise_type> h) : handle(h) {}
  std::coroutine_handle<promise_type> handle;
};

// ---------------------------------------------------------------------------
// Byte input
// ---------------------------------------------------------------------------

// co_await get_byte(c): the next input byte 0..255, or -1 once the input has
// ended.  Suspends with CODEC_NEED_INPUT only when no byte is left.
struct GetByte {
  Codec& c;
  bool await_ready() const noexcept { return c.in_cur < c.in_end; }
  void await_suspend(std::coroutine_handle<>) const noexcept { c.state = CODEC_NEED_INPUT; }
  int await_resume() const noexcept { return c.in_cur < c.in_end ? *c.in_cur++ : -1; }
};
inline GetByte get_byte(Codec& c) { return GetByte{c}; }

// co_await need_input(c): for span readers; true when input bytes are there
// (after one CODEC_NEED_INPUT exchange if none were), false at the end of input.
struct NeedInput {
  Codec& c;
  bool await_ready() const noexcept { return c.in_cur < c.in_end; }
  void await_suspend(std::coroutine_handle<>) const noexcept { c.state = CODEC_NEED_INPUT; }
  bool await_resume() const noexcept { return c.in_cur < c.in_end; }
};
inline NeedInput need_input(Codec& c) { return NeedInput{c}; }

// ---------------------------------------------------------------------------
// Byte output
// ---------------------------------------------------------------------------

// co_await put_byte(c, b): stores b, and hands a buffer that is now full back
// at once with CODEC_OUTPUT_FULL.
struct OutputCheck {
  Codec& c;
  bool await_ready() const noexcept { return c.out_cur < c.out_end; }
  void await_suspend(std::coroutine_handle<>) const noexcept { c.state = CODEC_OUTPUT_FULL; }
  void await_resume() const noexcept {}
};
inline OutputCheck put_byte(Codec& c, uint8_t b) {
  *c.out_cur++ = b;
  return OutputCheck{c};
}
// co_await output_check(c) after span writes that may have filled the buffer.
inline OutputCheck output_check(Codec& c) { return OutputCheck{c}; }

// ---------------------------------------------------------------------------
// Failure
// ---------------------------------------------------------------------------

// co_await codec_fail(c): the stream cannot go on (the message is set first);
// codec_run returns CODEC_ERROR from now on and the body is never resumed.
struct Fail {
  Codec& c;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<>) const noexcept { c.state = CODEC_ERROR; }
  [[noreturn]] void await_resume() const noexcept { std::terminate(); }
};
inline Fail codec_fail(Codec& c) { return Fail{c}; }

// The body for the codec's mode (encoder, unique-chunk encoder or decoder).
BodyTask codec_body(Codec& c);

}  // namespace cdedup

// ---------------------------------------------------------------------------
// Span output
// ---------------------------------------------------------------------------

// Copies n bytes from src to the output, handing each filled buffer back
// with CODEC_OUTPUT_FULL at once, exactly as n put_byte calls would.  A macro
// because the loop holds a co_await, which only the body itself can contain;
// a nested coroutine per write would need a frame of its own in the arena.
#define CODEC_PUT_SPAN(c, src, n)                                              \
  do {                                                                         \
    const uint8_t* put_src_ = (src);                                           \
    size_t put_left_ = (n);                                                    \
    while (put_left_ != 0) {                                                   \
      const size_t room_ = static_cast<size_t>((c).out_end - (c).out_cur);     \
      const size_t k_ = put_left_ < room_ ? put_left_ : room_;                 \
      ::cdedup::copy_bytes((c).out_cur, put_src_, k_);                         \
      (c).out_cur += k_;                                                       \
      put_src_ += k_;                                                          \
      put_left_ -= k_;                                                         \
      co_await ::cdedup::output_check(c);                                      \
    }                                                                          \
  } while (0)
