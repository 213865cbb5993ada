// Decoder on arbitrary bytes and on mutated encodings: the byte-at-a-time
// reference and the fast path must agree on every output byte, every yield,
// the final yield (done or error), the message and the printed lines, and
// neither may crash, read outside its blocks or leak.
//
// Inputs are plain encoded streams, so a failing input is a stream to decode.
// Byte mutations alone seldom get past a stream's first records: a changed
// literal byte moves every later chunk boundary and turns the rest of the
// stream into noise.  So the custom mutator mostly changes what keeps the
// records in step: references (a copy or continue record ends where its own
// bytes end, so one can be rewritten, added, dropped or repeated in place),
// the header's window, and the plaintext (decoded, mutated and encoded again,
// with a stretch repeated so that references are the rule).  Three mutations
// in eight are libFuzzer's own, so arbitrary bytes stay covered.
//
// Block sizes are picked from a hash of the input rather than from its bytes,
// so the corpus stays plain encoded streams.  A few bytes of references can
// stand for megabytes of output, so both runs stop at the same full output
// block past a cap; up to there they must still match.  Both paths take a
// chunk whole before they output any of it, so a copy of 65535 bytes costs
// its full length whatever the cap: at tens of nanoseconds a byte under the
// sanitizers, such copies (mostly of window slots not yet written, zeros)
// would set this target's pace.  So the fast path runs first, and when it
// gave more than LONG_OUTPUT bytes, the byte-at-a-time one checks it for one
// such input in four: the fast path is still run under the sanitizers on
// every input, and the comparison still reaches long chunks, a quarter as
// often.
//
// For one input in four the fast path decodes into a file in memory, its
// window read back from there (the output caps keep it within the few MiB
// the decoder keeps in memory, and the bytes before the stream's start).
//
// Inputs may be checked frames too.  A mutation of a frame's bytes is almost
// always caught by its checks before a record is decoded, so for a frame the
// mutator mostly unwraps the bare stream inside, mutates that as above, and
// wraps it again in blocks of another size, with checks and a trailer that
// match what it decodes to: the body then runs under the frame reader, a
// block at a time.  The rest of its frame mutations join frames, wrap
// anew, or damage the frame's own fields.  Both paths run with frames
// required for one input in four, and with the caller hashing the decoded
// bytes for one in four.
#include <sys/mman.h>

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "dedup/frame_format.h"
#include "dedup/stream_hash.h"
#include "fuzz_pump.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

// Block sizes, the tiny ones rarer: each block costs an exchange with the
// codec and a heap block, a thousand times a byte's decoding, and the ragged
// target hands over tiny blocks all the time already.
constexpr size_t IN_SIZES[16] = {1, 3, 64, 64, 4093, 4093, 4093, 4093, 4093, 4093,
                                 65536, 65536, 65536, 65536, 65536, 65536};
constexpr size_t OUT_SIZES[16] = {1, 5, 100, 100, 4096, 4096, 4096, 4096, 4096, 4096,
                                  65536, 65536, 65536, 65536, 65536, 65536};
constexpr uint8_t PREFIX[3] = {0xEF, 0x4D, 0xB6};
constexpr uint8_t COPY = 0x00, CONTINUE = 0x02;
constexpr uint32_t MAX_WINDOW = 16u << 20;  // the fuzz library's cap

using fuzz::Bytes;

// ---------------------------------------------------------------------------
// Reference files
// ---------------------------------------------------------------------------

// The sizes a reference is given for (make_corpus.py knows them too).
constexpr uint64_t REFERENCE_SIZES[] = {0, 100, 5000, 70000, 300000};

struct Reference {
  int fd = -1;
  uint64_t size = 0;
  uint64_t hash = 0;
};

// The reference file of a size, made once: numbered lines of text cut to it.
const Reference* reference_of_size(uint64_t n) {
  if (std::find(std::begin(REFERENCE_SIZES), std::end(REFERENCE_SIZES), n) == std::end(REFERENCE_SIZES)) return nullptr;
  static std::map<uint64_t, Reference> made;
  Reference& r = made[n];
  if (r.fd < 0) {
    std::string text;
    for (int i = 0; text.size() < n; ++i) text += "reference line " + std::to_string(i) + " of the fuzz corpus\n";
    text.resize(n);
    r.fd = memfd_create("decode-fuzz-reference", MFD_CLOEXEC);
    FUZZ_CHECK(r.fd >= 0 && pwrite(r.fd, text.data(), n, 0) == static_cast<ssize_t>(n));
    r.size = n;
    r.hash = cdedup::hash_once(text.data(), n);
  }
  return &r;
}

// The first frame's header, when the input begins with a whole one.
bool first_header(const Bytes& s, cdedup::FrameHeader& h) {
  cdedup::FrameScanner sc;
  cdedup::frame_scan_start(sc);
  size_t taken = 0;
  if (cdedup::frame_scan(sc, s.data(), s.size(), taken) != cdedup::FrameEvent::Header) return false;
  h = sc.header;
  return true;
}

// The reference a patch names, when it is one of ours.
const Reference* reference_named(const Bytes& s) {
  cdedup::FrameHeader h;
  return first_header(s, h) && h.names_reference() ? reference_of_size(h.reference_size) : nullptr;
}

// A copy (8 bytes) or continue (4 bytes) record in a stream's body.  Found by
// their bytes, which a literal chunk may contain too; such a false find only
// makes a mutation land off the records, which is a mutation all the same.
struct Ref {
  size_t at, len;
};

std::vector<Ref> find_refs(const Bytes& s) {
  std::vector<Ref> refs;
  for (size_t i = 4; i + 4 <= s.size(); ++i) {
    if (s[i] != PREFIX[0] || s[i + 1] != PREFIX[1] || s[i + 2] != PREFIX[2]) continue;
    const size_t len = s[i + 3] == COPY ? 8 : s[i + 3] == CONTINUE ? 4 : 0;
    if (len == 0 || i + len > s.size()) continue;
    refs.push_back({i, len});
    i += len - 1;
  }
  return refs;
}

bool is_frame(const Bytes& s) {
  return s.size() >= cdedup::FRAME_MAGIC_BYTES &&
         std::equal(cdedup::FRAME_MAGIC, cdedup::FRAME_MAGIC + cdedup::FRAME_MAGIC_BYTES, s.begin());
}

uint32_t window_of(const Bytes& s) {
  // A frame's settings sit behind its magic and flags.
  const size_t at = is_frame(s) ? cdedup::FRAME_MAGIC_BYTES + 2 : 0;
  if (s.size() < at + 4) return 0;
  const uint32_t w = uint32_t((s[at + 2] | s[at + 3] << 8) & 0xFFF) << 20;
  return std::min(w, MAX_WINDOW);
}

// Distances near the ones that matter: the last chunk or two (chunks are 64
// bytes at the smallest parameter), the window's edge, and the reductions of
// distances outside 1..W.  Most stay near the distance the record had, which
// named a chunk the stream decoded: a distance past everything decoded copies
// zeros, which at most parameters never meet a boundary, and so costs a full
// 65535-byte chunk on both paths for one case that a few inputs cover.
uint32_t pick_distance(uint64_t& r, uint32_t now, uint32_t window) {
  const uint64_t x = fuzz::splitmix(r);
  const uint32_t small = uint32_t(x >> 32) % 129;
  switch (x % 16) {
    case 0: case 1: case 2: case 3: case 4: return now + small - 64;
    case 5: case 6: return now + 64 * (small % 5) - 128;
    case 7: case 8: return 64 * (1 + small % 16);
    case 9: return 1 + small % 70;
    case 10: return now / 2 + small;
    case 11: return window - 64 + small;
    case 12: return 0;
    case 13: return 0xFFFF0000u - 64 + small;
    case 14: return 0xFFFFFFFFu - small;
    default: return uint32_t(x >> 32);
  }
}

void put32(Bytes& s, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) s[at + k] = uint8_t(v >> (8 * k));
}

Bytes copy_record(uint32_t d) {
  Bytes b = {PREFIX[0], PREFIX[1], PREFIX[2], COPY, 0, 0, 0, 0};
  put32(b, 4, d);
  return b;
}

uint32_t distance_at(const Bytes& s, size_t at) {
  return uint32_t(s[at + 4] | s[at + 5] << 8 | s[at + 6] << 16 | uint32_t(s[at + 7]) << 24);
}

// One change that keeps the records around it in step; false when the stream
// has nothing for it to change.
bool mutate_refs(Bytes& s, uint64_t& r) {
  if (s.size() < 4) return false;
  const std::vector<Ref> refs = find_refs(s);
  const uint32_t window = window_of(s);
  const uint64_t x = fuzz::splitmix(r);
  // A new distance starts from one the stream has, or from the last chunk.
  uint32_t base = 64;
  for (size_t k = 0; k < refs.size(); ++k) {
    const Ref& some = refs[(k + (x >> 48)) % refs.size()];
    if (some.len == 8) {
      base = distance_at(s, some.at);
      break;
    }
  }
  // Where a record may start: the body's start and behind each reference.
  size_t boundary = 4;
  if (!refs.empty() && (x >> 8) % (refs.size() + 1) != 0) {
    const Ref& after = refs[(x >> 8) % (refs.size() + 1) - 1];
    boundary = after.at + after.len;
  }
  if (refs.empty() || x % 6 == 0) {  // add a reference
    const Bytes rec = (x >> 40) % 3 == 0 ? Bytes{PREFIX[0], PREFIX[1], PREFIX[2], CONTINUE}
                                         : copy_record(pick_distance(r, base, window));
    s.insert(s.begin() + boundary, rec.begin(), rec.end());
    return true;
  }
  const Ref ref = refs[(x >> 16) % refs.size()];
  switch (x % 6) {
    case 1:  // drop it
      s.erase(s.begin() + ref.at, s.begin() + ref.at + ref.len);
      return true;
    case 2: {  // repeat it, or the run of references from it
      size_t end = ref.at + ref.len;
      for (const Ref& next : refs)
        if (next.at == end && (x >> 32) % 2 == 0) end = next.at + next.len;
      const Bytes run(s.begin() + ref.at, s.begin() + end);
      s.insert(s.begin() + end, run.begin(), run.end());
      return true;
    }
    case 3:  // a copy becomes a continue and the other way round
      if (ref.len == 8) {
        s[ref.at + 3] = CONTINUE;
        s.erase(s.begin() + ref.at + 4, s.begin() + ref.at + 8);
      } else {
        const Bytes rec = copy_record(pick_distance(r, base, window));
        s.erase(s.begin() + ref.at, s.begin() + ref.at + 4);
        s.insert(s.begin() + ref.at, rec.begin(), rec.end());
      }
      return true;
    case 4:  // cut the stream inside or right after it
      s.resize(ref.at + 1 + (x >> 32) % ref.len);
      return true;
    default:  // another distance
      if (ref.len != 8) return false;
      put32(s, ref.at + 4, pick_distance(r, distance_at(s, ref.at), window));
      return true;
  }
}

// Another window (every reference keeps its bytes, and means another slot)
// or, less often, another chunk-length parameter (every literal boundary
// moves).
void mutate_header(Bytes& s, uint64_t& r) {
  if (s.size() < 4) s.resize(4);
  const uint64_t x = fuzz::splitmix(r);
  static constexpr uint16_t WINDOWS[] = {0, 1, 1, 2, 3, 16, 17, 4095};
  static constexpr uint16_t PARAMS[] = {1, 2, 4, 100, 1000, 65535, 0};
  if (x % 4 != 0) {
    const uint16_t w = WINDOWS[(x >> 8) % 8];
    s[2] = uint8_t(w);
    s[3] = uint8_t(w >> 8) | ((x >> 16) % 4 == 0 ? 0xF0 : 0);  // readers ignore the top four bits
  } else {
    const uint16_t p = PARAMS[(x >> 8) % 7];
    s[0] = uint8_t(p);
    s[1] = uint8_t(p >> 8);
  }
}

// What the fast decoder makes of a stream (a patch with its reference),
// changed by libFuzzer's mutators, with a stretch of it repeated: the
// plaintext of a neighbour of this stream.
Bytes neighbour_plaintext(const Bytes& s, const Reference* ref, uint64_t& r) {
  static fuzz::Pool decoders;
  fuzz::Run dec;
  dec.settings.mode = CODEC_MODE_DECODE;
  dec.settings.patch_fd = ref != nullptr ? ref->fd : -1;
  dec.out = fuzz::BlockSizes::constant(4096);
  dec.out_cap = 4096;
  fuzz::Result plain = decoders.sized(window_of(s)).pump(s.data(), s.size(), dec);
  Bytes p = std::move(plain.out);
  const size_t cap = 4096;
  if (p.size() > cap) p.resize(cap);
  const size_t n = p.size();
  p.resize(cap);
  p.resize(LLVMFuzzerMutate(p.data(), n, cap));
  const uint64_t x = fuzz::splitmix(r);
  if (!p.empty()) {
    const size_t from = (x >> 8) % p.size(), len = std::min<size_t>(p.size() - from, 64 + (x >> 24) % 1024);
    const Bytes stretch(p.begin() + from, p.begin() + from + len);
    for (uint64_t k = 0; k <= (x >> 40) % 3; ++k) p.insert(p.end(), stretch.begin(), stretch.end());
  }
  return p;
}

// The stream's plaintext, mutated, encoded again under the stream's own
// parameters or smaller ones: a well-formed stream whose plaintext is a
// neighbour of this one's.
bool reencode(Bytes& s, size_t max_size, uint64_t& r) {
  static fuzz::Pool encoders;
  const Bytes p = neighbour_plaintext(s, nullptr, r);
  const uint64_t x = fuzz::splitmix(r);
  fuzz::Run enc;
  enc.settings.params[0] = s.size() >= 2 && (s[0] | s[1] << 8) != 0 && x % 4 != 0 ? (s[0] | s[1] << 8)
                                                                               : int32_t(1 + (x >> 48) % 8);
  enc.settings.params[1] = 1;
  enc.settings.params[2] = int32_t(std::min<uint32_t>(window_of(s) >> 20, 16));
  if (enc.settings.params[2] == 0 && x % 8 != 0) enc.settings.params[2] = 1;
  const fuzz::Result out = encoders.sized(enc.settings.params[1]).pump(p.data(), p.size(), enc);
  if (out.final_yield != CODEC_DONE) return false;
  s.assign(out.out.begin(), out.out.begin() + std::min(out.out.size(), max_size));
  return true;
}

// The same for a patch, as a patch against the same reference; `frame` is
// the whole input, whose first frame is replaced.
bool reencode_patch(Bytes& frame, const Bytes& rest, const Reference& ref, size_t max_size, uint64_t& r) {
  static fuzz::Pool encoders;
  const Bytes p = neighbour_plaintext(frame, &ref, r);
  cdedup::FrameHeader h;
  if (!first_header(frame, h)) return false;
  const uint64_t x = fuzz::splitmix(r);
  fuzz::Run enc;
  enc.settings.patch_fd = ref.fd;
  enc.settings.params[0] = (h.settings[0] | h.settings[1] << 8) != 0 && x % 4 != 0
                               ? (h.settings[0] | h.settings[1] << 8)
                               : int32_t(1 + (x >> 48) % 8);
  enc.settings.params[1] = 1;
  enc.settings.params[2] = 1;  // holds every reference here
  const fuzz::Result out = encoders.sized(enc.settings.params[1]).pump(p.data(), p.size(), enc);
  if (out.final_yield != CODEC_DONE) return false;
  frame = out.out;
  frame.insert(frame.end(), rest.begin(), rest.end());
  if (frame.size() > max_size) frame.resize(max_size);
  return true;
}

// ---------------------------------------------------------------------------
// Checked frames
// ---------------------------------------------------------------------------

// The bare stream inside the first frame, its flags, and the bytes after
// the frame; false when the frame's layout does not hold up.
bool unwrap(const Bytes& s, Bytes& bare, uint16_t& flags, uint64_t& reference_size, Bytes& rest) {
  cdedup::FrameScanner sc;
  cdedup::frame_scan_start(sc);
  bare.clear();
  size_t at = 0;
  for (;;) {
    size_t taken = 0;
    const cdedup::FrameEvent e = cdedup::frame_scan(sc, s.data() + at, s.size() - at, taken);
    if (e == cdedup::FrameEvent::Header) {
      bare.assign(sc.header.settings, sc.header.settings + cdedup::FRAME_SETTINGS_BYTES);
      flags = sc.header.flags;
      reference_size = sc.header.reference_size;
    }
    if (e == cdedup::FrameEvent::Payload) bare.insert(bare.end(), s.begin() + at, s.begin() + at + taken);
    at += taken;
    if (e == cdedup::FrameEvent::Trailer) {
      rest.assign(s.begin() + at, s.end());
      return true;
    }
    if (e == cdedup::FrameEvent::Error || e == cdedup::FrameEvent::More) return false;
  }
}

// A frame around a bare stream, in blocks of `block` bytes, its trailer
// what the stream decodes to (as far as a capped decode gets); with the
// reference flag, a patch against the reference of that size, decoded with it.
Bytes wrap(const Bytes& bare, uint16_t flags, size_t block, uint64_t reference_size = 0) {
  static fuzz::Pool decoders;
  cdedup::FrameHeader h;
  h.flags = flags & cdedup::FRAME_FLAGS_KNOWN;
  const Reference* ref = h.names_reference() ? reference_of_size(reference_size) : nullptr;
  if (h.names_reference()) {
    h.reference_size = reference_size;
    h.reference_hash = ref != nullptr ? ref->hash : 0;
  }
  for (size_t i = 0; i < cdedup::FRAME_SETTINGS_BYTES; ++i) h.settings[i] = i < bare.size() ? bare[i] : 0;
  uint8_t head[cdedup::FRAME_HEADER_MAX];
  Bytes out(head, head + cdedup::frame_header_write(h, head));
  for (size_t at = cdedup::FRAME_SETTINGS_BYTES; at < bare.size(); at += block) {
    const uint32_t len = uint32_t(std::min(block, bare.size() - at));
    uint8_t prefix[cdedup::FRAME_BLOCK_PREFIX_MAX];
    out.insert(out.end(), prefix, prefix + cdedup::frame_block_prefix_write(h, bare.data() + at, len, prefix));
    out.insert(out.end(), bare.begin() + at, bare.begin() + at + len);
  }
  // A patch is decoded as a frame, its trailer still to be made (the
  // decoder hands back everything before it finds the trailer wrong).
  uint8_t close[cdedup::FRAME_CLOSE_BYTES] = {};
  fuzz::Run dec;
  dec.settings.mode = CODEC_MODE_DECODE;
  dec.settings.patch_fd = ref != nullptr ? ref->fd : -1;
  dec.out = fuzz::BlockSizes::constant(65536);
  dec.out_cap = size_t{1} << 20;
  Bytes whole = out;
  whole.insert(whole.end(), close, close + cdedup::FRAME_CLOSE_BYTES);
  const Bytes& decoded = ref != nullptr ? whole : bare;
  const fuzz::Result plain = decoders.sized(window_of(decoded)).pump(decoded.data(), decoded.size(), dec);
  cdedup::frame_close_write({plain.out.size(), cdedup::hash_once(plain.out.data(), plain.out.size())}, close);
  out.insert(out.end(), close, close + cdedup::FRAME_CLOSE_BYTES);
  return out;
}

size_t pick_block(uint64_t x) {
  static constexpr size_t BLOCKS[8] = {1, 3, 17, 64, 200, 1000, 4096, 65536};
  return BLOCKS[x % 8];
}

// One change to a frame: mostly to the bare stream inside it, wrapped again.
bool mutate_frame(Bytes& s, size_t max_size, uint64_t& r) {
  Bytes bare, rest;
  uint16_t flags = cdedup::FRAME_FLAG_BLOCK_CHECKS;
  uint64_t reference_size = 0;
  if (!unwrap(s, bare, flags, reference_size, rest)) return false;
  const uint64_t x = fuzz::splitmix(r);
  switch (x % 8) {
    case 0: case 1: case 2:
      if (!mutate_refs(bare, r)) mutate_header(bare, r);
      break;
    case 3:
      mutate_header(bare, r);
      break;
    case 4:
      if (const Reference* ref = (flags & cdedup::FRAME_FLAG_REFERENCE) != 0 ? reference_of_size(reference_size) : nullptr)
        return reencode_patch(s, rest, *ref, max_size, r);
      if (!reencode(bare, max_size, r)) return false;
      break;
    case 5:  // another frame after it: this one again, or a small one
      rest = (x >> 8) % 2 == 0 ? s : wrap({1, 0, 1, 0, 'a', 'b', 'c'}, flags, 2, reference_size);
      break;
    case 6:  // wrapped anew: with or without checks, a patch against another reference or none
      if ((x >> 8) % 2 == 0) {
        flags ^= 1;
      } else {
        flags ^= (x >> 9) % 2 == 0 ? cdedup::FRAME_FLAG_REFERENCE : 0;
        reference_size = REFERENCE_SIZES[(x >> 10) % std::size(REFERENCE_SIZES)];
      }
      break;
    default: {  // the frame's own fields damaged (a flip or a cut), after wrapping
      Bytes w = wrap(bare, flags, pick_block(x >> 12), reference_size);
      const size_t at = (x >> 20) % w.size();
      if ((x >> 8) % 2 == 0)
        w[at] ^= uint8_t(1u << ((x >> 16) % 8));
      else
        w.resize(at);
      s = w;
      return true;
    }
  }
  s = wrap(bare, flags, pick_block(x >> 12), reference_size);
  s.insert(s.end(), rest.begin(), rest.end());
  return true;
}

}  // namespace

// More output than a capped run of short chunks makes: a long chunk came.
constexpr size_t LONG_OUTPUT = size_t{16} << 10;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Pool ref_codecs, fast_codecs;
  fuzz::History::get().record(data, size);
  const uint64_t h = fuzz::fnv1a(data, size);
  const uint32_t window = window_of(Bytes(data, data + std::min<size_t>(size, 16)));
  fuzz::Instance& ref_codec = ref_codecs.sized(window);
  fuzz::Instance& fast_codec = fast_codecs.sized(window);

  fuzz::Run run;
  run.settings.mode = CODEC_MODE_DECODE;
  run.reinit = (h >> 32) % 8 == 0;
  // Most runs stop after 4 KiB of output; one in 256 goes on past a chunk
  // of the longest kind (65535 bytes) to what follows it, at the cost of a
  // hundred others.
  run.out_cap = (h >> 40) % 256 == 0 ? size_t{96} << 10 : size_t{4} << 10;
  run.out_block_cap = 512;
  run.in_block_cap = 512;
  run.in = fuzz::BlockSizes::constant(IN_SIZES[h % 16]);
  run.out = fuzz::BlockSizes::constant(std::min(OUT_SIZES[(h >> 4) % 16], run.out_cap));

  // Frames required for one input in four, and hashed by the caller for one in four.
  run.settings.checked = (h >> 50) % 4 == 0;
  run.settings.caller_hash = (h >> 52) % 4 == 0;
  run.settings.reference = false;
  // A patch against one of ours gets its reference; now and then a stream
  // that is not one gets one too, and is refused.
  if (const Reference* ref = reference_named(Bytes(data, data + std::min<size_t>(size, cdedup::FRAME_HEADER_MAX))))
    run.settings.patch_fd = ref->fd;
  else if ((h >> 58) % 16 == 0)
    run.settings.patch_fd = reference_of_size(100)->fd;
  static const int output_file = memfd_create("decode-fuzz", MFD_CLOEXEC);
  if ((h >> 56) % 4 == 0) run.output_file = output_file;
  const fuzz::Result fast = fast_codec.pump(data, size, run);
  run.output_file = -1;
  FUZZ_CHECK(fast.init == 0);
  if (fast.out.size() > LONG_OUTPUT && (h >> 48) % 4 != 0) return 0;
  run.settings.reference = true;
  const fuzz::Result ref = ref_codec.pump(data, size, run);
  fuzz::check_same(ref, fast);
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
  uint64_t r = seed;
  const uint64_t x = fuzz::splitmix(r);
  if (x % 8 < 3) return LLVMFuzzerMutate(data, size, max_size);
  Bytes s(data, data + size);
  bool changed = false;
  if (is_frame(s) || x % 16 == 15) {
    // A frame is mutated inside; a bare stream is now and then wrapped in one.
    changed = is_frame(s) ? mutate_frame(s, max_size, r) : (s = wrap(s, (x >> 8) % 2, pick_block(x >> 12)), true);
    if (!changed || s.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
    std::copy(s.begin(), s.end(), data);
    return s.size();
  }
  switch (x % 8) {
    case 3: case 4: case 5:
      for (uint64_t k = 0; k <= (x >> 8) % 3; ++k) changed |= mutate_refs(s, r);
      break;
    case 6:
      mutate_header(s, r);
      changed = true;
      break;
    default:  // a decode and an encode: dearer than the run it feeds
      changed = reencode(s, max_size, r);
      if (changed && (x >> 8) % 2 == 0) mutate_refs(s, r);
      break;
  }
  if (!changed || s.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::copy(s.begin(), s.end(), data);
  return s.size();
}
