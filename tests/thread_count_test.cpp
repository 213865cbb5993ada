// What -T costs and buys, measured on the running command: a count beyond
// what the encoder can use gives the output of one thread, on as many
// threads as are useful and no more memory than they need.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "codec/encoder_parallel.h"
#include "support/process.h"

namespace cdedup::test {
namespace {

using namespace cdedup::app;

// -T256, the most -T takes, is far beyond the 16 threads the encoder uses.
// The input is more than the encoder's three blocks at their largest
// (3 x 32 MiB), so every buffer a stream can hold is filled; a 16 MiB index
// keeps the rest small.
TEST(ThreadCount, FarMoreThreadsThanUsefulAreCappedNotRefused) {
  TempDir dir;
  write_file(dir.file("in"), random_bytes(size_t{100} << 20, 600));
  const ProcessResult one = run_cdedup({"-T1", "e", dir.file("in"), dir.file("one"), "100", "16"});
  ASSERT_EQ(one.status, EXIT_OK) << one.err;
  const ProcessResult many = run_cdedup({"-T256", "e", dir.file("in"), dir.file("many"), "100", "16"});
  ASSERT_EQ(many.status, EXIT_OK) << many.err;
  const ProcessResult same = run_process("/usr/bin/cmp", {dir.file("one"), dir.file("many")});
  EXPECT_EQ(same.status, 0) << same.out << same.err;

  // The encoder's threads (the caller's among them) and a few of their own
  // for writing behind and touching the index ahead.
  EXPECT_GE(many.max_threads, int(ENCODER_THREADS_MAX));
  EXPECT_LE(many.max_threads, int(ENCODER_THREADS_MAX) + 4);
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's shadow of every byte touched swamps the memory measured";
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
  GTEST_SKIP() << "ThreadSanitizer's shadow of every byte touched swamps the memory measured";
#endif
#endif
  // About 8 MiB a thread beyond one (README): blocks, their chunk ends and
  // keys, and 8 MiB for reading ahead and writing behind.
  const long extra_kib = many.peak_rss_kib - one.peak_rss_kib;
  EXPECT_LE(extra_kib, long(ENCODER_THREADS_MAX) * 9 * 1024 + 16 * 1024)
      << "-T1: " << one.peak_rss_kib << " KiB, -T256: " << many.peak_rss_kib << " KiB";
  EXPECT_GT(one.peak_rss_kib, 16 * 1024);  // the index at least: the measure is real
}

// -T1 -z keeps one libzstd worker beside the codec: without workers libzstd
// cuts a stream of more than a few MB into other blocks, so the frame would
// depend on the count and differ from what `cdedup e | zstd` writes.
TEST(ThreadCount, ZstdFrameIsTheSameWhateverTheCount) {
  // Words of a small vocabulary: text in which libzstd finds matches
  // everywhere, which is where the way it cuts the stream shows.
  std::mt19937_64 rng(3);
  std::vector<std::string> words(2000);
  for (std::string& w : words)
    for (size_t k = 3 + rng() % 8; k != 0; --k) w += char('a' + rng() % 26);
  Bytes in;
  while (in.size() < (size_t{6} << 20)) {
    const std::string& w = words[rng() % words.size()];
    in.insert(in.end(), w.begin(), w.end());
    in.push_back(' ');
  }
  // -z writes inside the zstd frame what the same command writes without it.
  const ProcessResult plain = run_cdedup({"-T1"}, in);
  ASSERT_EQ(plain.status, EXIT_OK) << plain.err;
  const ProcessResult piped = run_process("/usr/bin/zstd", {"-3", "-T1", "-c", "-q"}, to_bytes(plain.out));
  ASSERT_EQ(piped.status, 0) << piped.err;
  for (const char* threads : {"-T1", "-T2", "-T256"}) {
    const ProcessResult z = run_cdedup({threads, "-z"}, in);
    ASSERT_EQ(z.status, EXIT_OK) << z.err;
    EXPECT_TRUE(z.out == piped.out) << threads;
  }
}

}  // namespace
}  // namespace cdedup::test
