#include "platform/interrupt_cleanup.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace cdedup {

namespace {

constexpr int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The handler may run on any thread: the flag publishes the path to it.
char armed_path[PATH_MAX];
std::atomic<int> armed{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the flag");

void on_signal(int sig) {
  if (armed.exchange(0, std::memory_order_acquire) != 0) unlink(armed_path);
  // Die of the signal itself, so that whoever waits sees it.
  signal(sig, SIG_DFL);
  raise(sig);
}

// Runs `f` with the signals held back on this thread; the flag keeps a handler on another from a half-written name.
template <typename F>
void with_signals_held(F f) {
  sigset_t block, old;
  sigemptyset(&block);
  for (int s : SIGNALS) sigaddset(&block, s);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  f();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

void interrupt_cleanup_install() {
  for (int s : SIGNALS) {
    struct sigaction was;
    if (sigaction(s, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int other : SIGNALS) sigaddset(&sa.sa_mask, other);
    sigaction(s, &sa, nullptr);
  }
}

bool interrupt_cleanup_arm(const char* path) {
  const size_t n = std::strlen(path);
  if (n >= sizeof armed_path) return false;
  with_signals_held([&] {
    armed.store(0, std::memory_order_relaxed);
    std::memcpy(armed_path, path, n + 1);
    armed.store(1, std::memory_order_release);
  });
  return true;
}

void interrupt_cleanup_disarm() {
  with_signals_held([] { armed.store(0, std::memory_order_release); });
}

}  // namespace cdedup
