// What the checked frame costs: encoding and decoding a corpus in memory,
// bare and framed, each configuration beside the others in every round
// (rounds interleaved, so a busy moment of a shared machine falls on all of
// them), the best round's user, system and wall seconds printed.  Then the
// parts on their own: the checksum over the decoded bytes (the encoder's
// input, the decoder's output), the block checks and the copy through the
// writer's block, over the same bytes.
//
//   frame_cost FILE [ROUNDS [FILTER]]   (FILE "random:N": N MB of random bytes;
//                                        FILTER: only configurations whose name has it)
//
// Input is handed over and output taken in 1 MiB buffers, as the command
// line does.
#include <cdedup/cdedup.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "dedup/frame_format.h"
#include "dedup/stream_hash.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t BUF = size_t{1} << 20;

struct Times {
  double user = 1e30, sys = 0, wall = 1e30;
};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

// Runs f once; keeps the run with the least wall time.
void timed(Times& best, const std::function<void()>& f) {
  rusage r0, r1;
  getrusage(RUSAGE_SELF, &r0);
  const auto w0 = std::chrono::steady_clock::now();
  f();
  const auto w1 = std::chrono::steady_clock::now();
  getrusage(RUSAGE_SELF, &r1);
  const double wall = std::chrono::duration<double>(w1 - w0).count();
  if (wall < best.wall) {
    best.wall = wall;
    best.user = seconds(r1.ru_utime) - seconds(r0.ru_utime);
    best.sys = seconds(r1.ru_stime) - seconds(r0.ru_stime);
  }
}

struct Config {
  const char* name;
  bool decode;
  bool checked;
  int32_t threads;
  uint32_t block;       // writer's block (0: default); a decoder: the encoder whose stream it reads
  bool no_checks;       // writer leaves out block checks
  bool caller_hash;     // decoder leaves the checksum to the caller (who does not hash here)
  Times t;
  Codec* c = nullptr;   // its own instance, so that its table stays mapped from round to round
};

// One stream through c; its output lands in `out`, whose memory is kept
// from run to run (a fresh vector would page-fault its way through every
// run, and that noise would drown what is measured).
void run(Codec* c, const Config& k, const Bytes& in, Bytes& out) {
  static uint8_t out_block[BUF];
  codec_set_threads(c, k.threads);
  codec_set_checked(c, k.checked && !k.decode ? 1 : 0);
  codec_set_caller_hash(c, k.caller_hash ? 1 : 0);
  c->framing.write_block = k.decode ? 0 : k.block;
  c->framing.write_without_checks = k.no_checks;
  const int32_t params[3] = {100, 256, 1024};
  if (codec_init(c, k.decode ? CODEC_MODE_DECODE : CODEC_MODE_ENCODE, params) != 0) std::abort();
  out.clear();
  codec_setbuf(c, out_block, BUF);
  size_t at = 0;
  for (;;) {
    const int32_t y = codec_run(c);
    if (y == CODEC_NEED_INPUT) {
      const size_t n = std::min(BUF, in.size() - at);
      codec_setbuf(c, const_cast<uint8_t*>(in.data() + at), static_cast<int32_t>(n));
      at += n;
      continue;
    }
    out.insert(out.end(), out_block, out_block + codec_outsize(c));
    if (y == CODEC_OUTPUT_FULL || y == CODEC_FRAME_END) {
      codec_setbuf(c, out_block, BUF);
      continue;
    }
    if (y != CODEC_DONE) {
      std::fprintf(stderr, "%s: %s\n", k.name, codec_message(c));
      std::exit(1);
    }
    return;
  }
}

void print(const char* name, const Times& t, const Times* base) {
  std::printf("  %-44s user %6.3f  sys %6.3f  wall %6.3f s", name, t.user, t.sys, t.wall);
  if (base != nullptr) std::printf("   wall %+5.1f%%  user+sys %+5.1f%%", 100 * (t.wall / base->wall - 1),
                                   100 * ((t.user + t.sys) / (base->user + base->sys) - 1));
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: frame_cost FILE|random:MB [ROUNDS]\n");
    return 2;
  }
  const std::string src = argv[1];
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string filter = argc > 3 ? argv[3] : "";
  Bytes plain;
  if (src.rfind("random:", 0) == 0) {
    plain.resize(std::stoul(src.substr(7)) * 1000000);
    std::mt19937_64 rng(7);
    for (size_t i = 0; i + 8 <= plain.size(); i += 8) {
      const uint64_t v = rng();
      std::memcpy(plain.data() + i, &v, 8);
    }
  } else {
    std::ifstream f(src, std::ios::binary);
    plain.assign(std::istreambuf_iterator<char>(f), {});
  }

  // A decoder reads what the encoder configuration its `block` names wrote
  // (its index), with the same frame settings.
  std::vector<Config> configs = {
      {"encode bare -T1", false, false, 1, 0, false, false, {}},
      {"encode framed -T1", false, true, 1, 0, false, false, {}},
      {"encode framed -T1, no block checks", false, true, 1, 0, true, false, {}},
      {"encode framed -T1, blocks of 64 KiB", false, true, 1, 64 << 10, false, false, {}},
      {"encode framed -T1, blocks of 1 MiB", false, true, 1, 1 << 20, false, false, {}},
      {"encode bare -T2", false, false, 2, 0, false, false, {}},
      {"encode framed -T2", false, true, 2, 0, false, false, {}},
      {"decode bare", true, false, 1, 0, false, false, {}},
      {"decode framed, codec hashes", true, true, 1, 1, false, false, {}},
      {"decode framed, caller hashes (not timed)", true, true, 1, 1, false, true, {}},
      {"decode framed, no block checks, caller", true, true, 1, 2, true, true, {}},
      {"decode framed, 64 KiB blocks, caller", true, true, 1, 3, false, true, {}},
      {"decode framed, 1 MiB blocks, caller", true, true, 1, 4, false, true, {}},
  };
  for (Config& k : configs) {
    k.c = codec_create();
    codec_set_report(k.c, nullptr);
  }
  // The streams the decoders read.
  std::vector<Bytes> encoded(5);
  for (size_t i = 0; i < encoded.size(); ++i) run(configs[i].c, configs[i], plain, encoded[i]);
  const Bytes& bare = encoded[0];
  Bytes out;
  out.reserve(plain.size() + plain.size() / 8);
  std::memset(out.data(), 0, out.capacity());
  std::printf("%s: %zu bytes; bare stream %zu bytes, framed %zu (+%zu), without block checks %zu\n", src.c_str(),
              plain.size(), bare.size(), encoded[1].size(), encoded[1].size() - bare.size(), encoded[2].size());

  Times hash_plain, check_encoded, copy_encoded;
  std::vector<const cdedup::StreamHashVariant*> variants = {&cdedup::stream_hash_portable()};
  if (const auto* v = cdedup::stream_hash_avx2()) variants.push_back(v);
  if (const auto* v = cdedup::stream_hash_avx512()) variants.push_back(v);
  std::vector<Times> by_variant(variants.size());
  Bytes scratch(bare.size());
  for (int r = 0; r < rounds; ++r) {
    for (Config& k : configs) {
      if (std::string(k.name).find(filter) == std::string::npos) continue;
      const Bytes& in = !k.decode ? plain : encoded[k.block];
      timed(k.t, [&] { run(k.c, k, in, out); });
      if (k.decode && out != plain) std::abort();
    }
    timed(hash_plain, [&] {
      cdedup::StreamHash h;
      cdedup::stream_hash_reset(h);
      for (size_t at = 0; at < plain.size(); at += BUF)
        cdedup::stream_hash_update(h, plain.data() + at, std::min(BUF, plain.size() - at));
      if (cdedup::stream_hash_digest(h) == 42) std::abort();
    });
    for (size_t i = 0; i < variants.size(); ++i)
      timed(by_variant[i], [&] {
        cdedup::StreamHash h;
        variants[i]->reset(h);
        for (size_t at = 0; at < plain.size(); at += BUF)
          variants[i]->update(h, plain.data() + at, std::min(BUF, plain.size() - at));
        if (variants[i]->digest(h) == 42) std::abort();
      });
    timed(check_encoded, [&] {
      uint32_t x = 0;
      for (size_t at = 0; at < bare.size(); at += 256 << 10)
        x ^= cdedup::frame_block_check(bare.data() + at, std::min<size_t>(256 << 10, bare.size() - at));
      if (x == 42) std::abort();
    });
    timed(copy_encoded, [&] {
      for (size_t at = 0; at < bare.size(); at += 256 << 10)
        std::memcpy(scratch.data() + at, bare.data() + at, std::min<size_t>(256 << 10, bare.size() - at));
    });
  }
  std::printf("best of %d rounds (hash variant %s):\n", rounds, cdedup::stream_hash_variant().name);
  for (const Config& k : configs) {
    if (std::string(k.name).find(filter) == std::string::npos) continue;
    const Config& base = k.decode ? configs[7] : k.threads == 2 ? configs[5] : configs[0];
    print(k.name, k.t, &k == &base ? nullptr : &base.t);
  }
  print("part: XXH3-64 over the decoded bytes", hash_plain, nullptr);
  for (size_t i = 0; i < variants.size(); ++i) {
    const std::string name = std::string("part: XXH3-64, ") + variants[i]->name + " build";
    print(name.c_str(), by_variant[i], nullptr);
  }
  print("part: block checks over the encoded bytes", check_encoded, nullptr);
  print("part: copying the encoded bytes (256 KiB)", copy_encoded, nullptr);
  for (Config& k : configs) codec_destroy(k.c);
  return 0;
}
