// Fingerprint: the compression function proven through full MD5 digests, the
// fold's check values, and fold_add_span against byte-by-byte fold_add.
#include "dedup/fingerprint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/codec_driver.h"
#include "support/collision.h"

namespace cdedup {
namespace {

using test::hex;

std::string key_hex(const ChunkKey& k) { return hex(k.bytes, sizeof k.bytes); }

// Full MD5 built here around md5_compress: padding, length, chaining.
std::string md5_hex(const std::string& msg) {
  std::vector<uint8_t> m(msg.begin(), msg.end());
  const uint64_t bits = uint64_t{m.size()} * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int k = 0; k < 8; ++k) m.push_back(static_cast<uint8_t>(bits >> (8 * k)));
  uint32_t st[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
  for (size_t off = 0; off < m.size(); off += 64) md5_compress(st, m.data() + off);
  uint8_t out[16];
  for (int k = 0; k < 16; ++k) out[k] = static_cast<uint8_t>(st[k / 4] >> (8 * (k % 4)));
  return hex(out, 16);
}

using test::key_of;  // the key byte by byte through fold_add

ChunkKey key_by_span(const std::vector<uint8_t>& chunk) {
  FoldBlock fb;
  fold_reset(fb);
  fold_add_span(fb, chunk.data(), chunk.size());
  ChunkKey k;
  fold_finish(fb, static_cast<uint32_t>(chunk.size()), k);
  return k;
}

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i);
  return v;
}

// ---------------------------------------------------------------------------

TEST(Md5Compress, GivesRfc1321DigestsWhenPaddedAndChained) {
  EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(md5_hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Compress, AcceptsUnalignedBlock) {
  const auto data = counting(65);
  uint32_t a[4] = {1, 2, 3, 4};
  uint32_t b[4] = {1, 2, 3, 4};
  uint8_t aligned[64];
  std::memcpy(aligned, data.data() + 1, 64);
  md5_compress(a, aligned);
  md5_compress(b, data.data() + 1);
  EXPECT_EQ(0, std::memcmp(a, b, sizeof a));
}

TEST(FoldMix, CheckBlock) {
  FoldBlock fb;
  for (int i = 0; i < 64; ++i) fb.bytes[i] = static_cast<uint8_t>(i);
  fold_mix(fb);
  EXPECT_EQ(hex(fb.bytes, 16), "cad84692cde107de3052f67912f8516d");
  for (int i = 16; i < 63; ++i) EXPECT_EQ(fb.bytes[i], i);
  EXPECT_EQ(fb.bytes[63], 0);
}

TEST(FoldFinish, WorkedKeys) {
  const struct {
    std::vector<uint8_t> chunk;
    const char* key;
  } cases[] = {
      {{0x61, 0x62, 0x63}, "a298ffde27c06573a815f75c8a410300"},
      {{}, "ac1d1f03d08ea56eb767ab1f91770000"},
      {std::vector<uint8_t>(63, 0), "1b7437ae395644d540e5185ece913f00"},
      {std::vector<uint8_t>(64, 0), "f524e3b30bb4613de2db4f76d7434000"},
      {counting(64), "6184c1c3bc92568527d05bd6d61c4000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(key_hex(key_of(c.chunk)), c.key) << "length " << c.chunk.size();
    EXPECT_EQ(key_hex(key_by_span(c.chunk)), c.key) << "length " << c.chunk.size();
  }
}

TEST(FoldFinish, ClearsBlockSoKeysDoNotCarryOver) {
  std::mt19937 rng(7);
  FoldBlock fb;
  fold_reset(fb);
  for (int i = 0; i < 1000; ++i) fold_add(fb, static_cast<uint8_t>(rng()));
  ChunkKey k;
  fold_finish(fb, 1000, k);
  for (uint8_t b : fb.bytes) ASSERT_EQ(b, 0);

  const uint8_t abc[] = {0x61, 0x62, 0x63};
  fold_add_span(fb, abc, 3);
  fold_finish(fb, 3, k);
  EXPECT_EQ(key_hex(k), "a298ffde27c06573a815f75c8a410300");
}

TEST(FoldFinish, LongestChunkStoresLengthFfFf) {
  std::mt19937 rng(8);
  std::vector<uint8_t> chunk(65535);
  for (auto& b : chunk) b = static_cast<uint8_t>(rng());
  const ChunkKey a = key_of(chunk);
  EXPECT_EQ(a.bytes[14], 0xFF);
  EXPECT_EQ(a.bytes[15], 0xFF);
  EXPECT_EQ(key_hex(key_by_span(chunk)), key_hex(a));
}

// ---------------------------------------------------------------------------

TEST(FoldAddSpan, FullFillIsMixedOnlyWhenAnotherByteArrives) {
  const auto data = counting(64);
  FoldBlock fb;
  fold_reset(fb);
  fold_add_span(fb, data.data(), 63);
  EXPECT_EQ(0, std::memcmp(fb.bytes, data.data(), 63));
  EXPECT_EQ(fb.bytes[FOLD_FILL], 63);
  fold_add_span(fb, data.data(), 0);
  EXPECT_EQ(0, std::memcmp(fb.bytes, data.data(), 63));
  fold_add_span(fb, data.data() + 63, 1);
  EXPECT_EQ(fb.bytes[FOLD_FILL], 1);
}

TEST(FoldAddSpan, MatchesByteByByteFoldAdd) {
  std::mt19937 rng(9);
  std::vector<uint8_t> data(4096);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  const size_t lens[] = {0, 1, 2, 7, 8, 9, 62, 63, 64, 65, 125, 126, 127, 128, 189, 1000};

  for (int trial = 0; trial < 300; ++trial) {
    FoldBlock a, b;
    fold_reset(a);
    fold_reset(b);
    for (int step = 0; step < 40; ++step) {
      const size_t len = rng() % 2 ? lens[rng() % std::size(lens)] : rng() % 300;
      const size_t off = rng() % (data.size() - len);  // any alignment
      for (size_t i = 0; i < len; ++i) fold_add(a, data[off + i]);
      fold_add_span(b, data.data() + off, len);
      ASSERT_EQ(hex(a.bytes, 64), hex(b.bytes, 64)) << "trial " << trial << " step " << step << " len " << len;
      if (rng() % 8 == 0) {
        ChunkKey ka, kb;
        fold_finish(a, static_cast<uint32_t>(step), ka);
        fold_finish(b, static_cast<uint32_t>(step), kb);
        ASSERT_EQ(key_hex(ka), key_hex(kb));
      }
    }
  }
}

}  // namespace
}  // namespace cdedup
