// The frame scanner: fed in pieces of any size it reports what it reports
// when fed the whole, finds where a frame ends without decoding it, and
// never calls a cut frame complete.
#include <gtest/gtest.h>

#include <cdedup/cdedup.h>

#include <string>
#include <vector>

#include "dedup/frame_format.h"
#include "support/codec_driver.h"

namespace cdedup {
namespace {

using test::Bytes;

// Every event with where the scanner stood after it; payload events merged.
std::string events(const Bytes& in, uint64_t seed, size_t max_piece) {
  FrameScanner s;
  frame_scan_start(s);
  std::string log;
  size_t at = 0;
  uint64_t x = seed;
  for (;;) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    const size_t piece = std::min(in.size() - at, 1 + (x >> 33) % max_piece);
    size_t taken;
    const FrameEvent e = frame_scan(s, in.data() + at, piece, taken);
    at += taken;
    switch (e) {
      case FrameEvent::More:
        if (at < in.size()) continue;
        if (frame_scan_finish(s) == FrameEvent::More) return log + " end@" + std::to_string(at);
        [[fallthrough]];
      case FrameEvent::Error: {
        char text[256];
        frame_error_text(s, text, sizeof text);
        return log + " error@" + std::to_string(s.offset) + ":" + text;
      }
      case FrameEvent::Header:
        log += " header@" + std::to_string(s.offset) + "/" + std::to_string(s.header.flags);
        break;
      case FrameEvent::Block:
        log += " block" + std::to_string(s.block_len) + "/" + std::to_string(s.block_check);
        break;
      case FrameEvent::Payload:
        if (s.payload_left == 0) log += " payload@" + std::to_string(s.offset);
        break;
      case FrameEvent::End:
        log += " end-marker";
        break;
      case FrameEvent::Trailer:
        log += " trailer@" + std::to_string(s.offset) + "/" + std::to_string(s.trailer.size);
        break;
    }
  }
}

Bytes frame_of(const Bytes& plain, uint32_t block) {
  test::CodecRun run;
  run.checked = true;
  run.frame_block = block;
  run.params = {100, 4, 1};
  const test::CodecResult r = test::run_codec(plain, run);
  EXPECT_EQ(r.final_yield, CODEC_DONE);
  return r.output;
}

TEST(FrameScanner, PiecesOfAnySizeReadAsTheWhole) {
  const Bytes a = frame_of(test::seeded_bytes(1, 50000), 3000), b = frame_of({}, 0);
  const Bytes zstd_magic = {0x28, 0xB5, 0x2F, 0xFD, 0x04, 0x00};
  std::vector<Bytes> inputs = {a, b};
  Bytes ab = a;
  ab.insert(ab.end(), b.begin(), b.end());
  inputs.push_back(ab);
  Bytes a_zstd = a;
  a_zstd.insert(a_zstd.end(), zstd_magic.begin(), zstd_magic.end());
  inputs.push_back(a_zstd);
  for (size_t cut : {size_t{3}, size_t{17}, a.size() / 2, a.size() - 5}) inputs.push_back(Bytes(a.begin(), a.begin() + cut));
  for (const Bytes& in : inputs) {
    const std::string whole = events(in, 0, in.size() + 1);
    for (uint64_t seed = 1; seed < 40; ++seed) ASSERT_EQ(events(in, seed, seed % 3 == 0 ? 2 : 700), whole);
  }
  // Where a frame ends is known without decoding: a zstd frame after it is
  // refused at exactly that byte, which a reader can then hand to zstd.
  const std::string with_zstd = events(a_zstd, 0, a_zstd.size());
  EXPECT_NE(with_zstd.find(" trailer@" + std::to_string(a.size()) + "/50000 error@" + std::to_string(a.size()) +
                           ":bytes after the end of a checked frame are not another frame"),
            std::string::npos)
      << with_zstd;
  EXPECT_NE(events(ab, 0, ab.size()).find(" end@" + std::to_string(ab.size())), std::string::npos);
}

TEST(FrameScanner, NoCutFrameIsComplete) {
  const Bytes a = frame_of(test::seeded_bytes(2, 9000), 1000);
  for (size_t cut = 0; cut < a.size(); ++cut) {
    const std::string log = events(Bytes(a.begin(), a.begin() + cut), cut, 64);
    EXPECT_EQ(log.find(" end@"), std::string::npos) << cut << ":" << log;
    EXPECT_NE(log.find(cut < 8 ? "not a checked stream" : "cut short"), std::string::npos) << cut << ":" << log;
  }
}

TEST(FrameScanner, HeaderFieldsRoundTrip) {
  for (const uint16_t flags : {0, 1, 2, 3}) {
    FrameHeader h;
    h.flags = flags;
    for (int i = 0; i < 4; ++i) h.settings[i] = static_cast<uint8_t>(0x11 * (i + 1) + flags);
    h.reference_size = 0xFEDCBA9876543210ull >> flags;
    h.reference_hash = 0x0F1E2D3C4B5A6978ull << flags;
    uint8_t buf[FRAME_HEADER_MAX];
    const size_t n = frame_header_write(h, buf);
    EXPECT_EQ(n, (flags & FRAME_FLAG_REFERENCE) ? FRAME_HEADER_MAX : FRAME_HEADER_MAX - FRAME_REFERENCE_BYTES);
    FrameScanner s;
    frame_scan_start(s);
    size_t taken;
    ASSERT_EQ(frame_scan(s, buf, n, taken), FrameEvent::Header);
    EXPECT_EQ(taken, n);
    EXPECT_EQ(s.header.flags, flags);
    EXPECT_EQ(std::string(s.header.settings, s.header.settings + 4), std::string(h.settings, h.settings + 4));
    if (flags & FRAME_FLAG_REFERENCE) {
      EXPECT_EQ(s.header.reference_size, h.reference_size);
      EXPECT_EQ(s.header.reference_hash, h.reference_hash);
    }
  }
}

}  // namespace
}  // namespace cdedup
