// Stream format: header bytes for known parameters, reading of short and
// odd headers and distances, and the escape-record grammar.
#include "dedup/stream_format.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace cdedup {
namespace {

using Bytes4 = std::array<uint8_t, 4>;

Bytes4 header_of(uint32_t chunklen, uint32_t decmem) {
  Bytes4 out{};
  header_write(chunklen, decmem << 20, out.data());
  return out;
}

TEST(StreamHeader, WrittenBytesForKnownParameters) {
  EXPECT_EQ(header_of(100, 1024), (Bytes4{0x64, 0x00, 0x00, 0x04}));
  EXPECT_EQ(header_of(100, 4095), (Bytes4{0x64, 0x00, 0xFF, 0x0F}));
  EXPECT_EQ(header_of(100, 256), (Bytes4{0x64, 0x00, 0x00, 0x01}));
  // Only the low 16 bits of the parameter travel.
  EXPECT_EQ(header_of(65636, 1024), (Bytes4{0x64, 0x00, 0x00, 0x04}));
  EXPECT_EQ(header_of(0x1234, 1024), (Bytes4{0x34, 0x12, 0x00, 0x04}));
  // decmem a multiple of 4096 is a zero window in 32 bits.
  EXPECT_EQ(header_of(1, 4096), (Bytes4{0x01, 0x00, 0x00, 0x00}));
}

TEST(StreamHeader, ReadGivesBackWhatWasWritten) {
  for (uint32_t decmem = 0; decmem < 4096; ++decmem) {
    const uint32_t chunklen = decmem * 16 + 7;
    const Bytes4 b = header_of(chunklen, decmem);
    const int in[4] = {b[0], b[1], b[2], b[3]};
    const StreamHeader h = header_read(in);
    ASSERT_EQ(h.cfg_chunklen, chunklen & 0xFFFF) << decmem;
    ASSERT_EQ(h.cfg_decwinsize, decmem << 20) << decmem;
  }
}

TEST(StreamHeader, MissingBytesCountAsMinusOne) {
  const int empty[4] = {-1, -1, -1, -1};
  StreamHeader h = header_read(empty);
  EXPECT_EQ(h.cfg_chunklen, 0xFFFFFEFFu);  // -257
  EXPECT_EQ(static_cast<int32_t>(h.cfg_chunklen), -257);
  EXPECT_EQ(h.cfg_decwinsize, 0xEFF00000u);

  const int two[4] = {0x64, 0x00, -1, -1};
  h = header_read(two);
  EXPECT_EQ(h.cfg_chunklen, 100u);
  EXPECT_EQ(h.cfg_decwinsize, 0xEFF00000u);

  // Only the low four bits of byte 3 survive the scaling.
  const int three[4] = {0x01, 0x02, 0x10, -1};
  h = header_read(three);
  EXPECT_EQ(h.cfg_chunklen, 0x0201u);
  EXPECT_EQ(h.cfg_decwinsize, 0xF1000000u);  // 0x10 - 256 = ...FF10, times 2^20
  const int high[4] = {0, 0, 0x00, 0xF4};
  EXPECT_EQ(header_read(high).cfg_decwinsize, 0x40000000u);
}

TEST(StreamRecords, KindOfEveryCodeAfterThePrefix) {
  for (int code = 0; code < 256; ++code) {
    const uint8_t b[4] = {0xEF, 0x4D, 0xB6, static_cast<uint8_t>(code)};
    const RecordKind want = code == 0   ? RecordKind::Copy
                            : code == 1 ? RecordKind::LiteralEscape
                            : code == 2 ? RecordKind::Continue
                                        : RecordKind::Literal;
    EXPECT_EQ(record_kind(b), want) << code;
    EXPECT_EQ(needs_literal_escape(b, 4), want != RecordKind::Literal) << code;
  }
  // Any prefix byte off makes it data.
  const uint8_t near[3][4] = {{0xEE, 0x4D, 0xB6, 0x00}, {0xEF, 0x4C, 0xB6, 0x00}, {0xEF, 0x4D, 0xB7, 0x00}};
  for (const auto& b : near) EXPECT_EQ(record_kind(b), RecordKind::Literal);
}

TEST(StreamRecords, LiteralEscapeOnlyForEscapeLikeStarts) {
  const std::vector<uint8_t> chunk = {0xEF, 0x4D, 0xB6, 0x02, 0x55, 0x66};
  EXPECT_TRUE(needs_literal_escape(chunk.data(), chunk.size()));
  // A final chunk of one to three bytes is always read as literal.
  for (size_t len = 0; len < 4; ++len) EXPECT_FALSE(needs_literal_escape(chunk.data(), len)) << len;
  // The prefix counts only at the start of a chunk.
  const std::vector<uint8_t> inner = {0x00, 0xEF, 0x4D, 0xB6, 0x00, 0x00};
  EXPECT_FALSE(needs_literal_escape(inner.data(), inner.size()));
}

TEST(StreamRecords, WritersProduceTheGrammarsBytes) {
  uint8_t copy[ESC_COPY_BYTES];
  ASSERT_EQ(write_copy(64, copy), ESC_COPY_BYTES);
  EXPECT_EQ(std::vector<uint8_t>(copy, copy + 8), (std::vector<uint8_t>{0xEF, 0x4D, 0xB6, 0x00, 0x40, 0x00, 0x00, 0x00}));
  ASSERT_EQ(write_copy(0x12345678, copy), ESC_COPY_BYTES);
  EXPECT_EQ(std::vector<uint8_t>(copy + 4, copy + 8), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(record_kind(copy), RecordKind::Copy);

  uint8_t rec[ESC_RECORD_BYTES];
  ASSERT_EQ(write_continue(rec), ESC_RECORD_BYTES);
  EXPECT_EQ(std::to_array(rec), (Bytes4{0xEF, 0x4D, 0xB6, 0x02}));
  ASSERT_EQ(write_literal_escape(rec), ESC_RECORD_BYTES);
  EXPECT_EQ(std::to_array(rec), (Bytes4{0xEF, 0x4D, 0xB6, 0x01}));
}

TEST(StreamRecords, DistanceReadBackAndTruncated) {
  for (uint32_t d : {1u, 64u, 0x100u, 0x10000u, 0x1000000u, 0x12345678u, 0xFFFFFFFFu}) {
    uint8_t rec[ESC_COPY_BYTES];
    write_copy(d, rec);
    const int in[4] = {rec[4], rec[5], rec[6], rec[7]};
    EXPECT_EQ(distance_read(in), d);
  }
  const int none[4] = {-1, -1, -1, -1};
  EXPECT_EQ(distance_read(none), 0xFEFEFEFFu);
  // -1 in the last byte: 0x40 + 0x100 * 0 + ... - 2^24.
  const int last_missing[4] = {0x40, 0, 0, -1};
  EXPECT_EQ(distance_read(last_missing), 0x40u - 0x1000000u);
  const int first_missing[4] = {-1, 0x01, 0, 0};
  EXPECT_EQ(distance_read(first_missing), 0xFFu);
}

}  // namespace
}  // namespace cdedup
