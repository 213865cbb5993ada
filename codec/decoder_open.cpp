// Stream opening shared by both decoder paths: header checks, the window, the
// parameter line.  A header that cannot describe a decodable stream stops the
// run with a message instead of decoding garbage parameters.  A window of the
// right size left by the last stream is wiped and used again rather than
// mapped anew, which would cost a page fault for each page it touches.
// A patch's window starts behind its reference (docs/format.md, section 10).
#include <cdedup/cdedup.h>

#include <cstring>
#include <new>

#include "codec/decoder.h"
#include "codec/reference_file.h"
#include "codec/window_file.h"
#include "dedup/chunker.h"
#include "dedup/fingerprint.h"
#include "dedup/stream_format.h"
#include "platform/large_block.h"
#include "platform/prefault.h"
#include "platform/thread_pool.h"

namespace cdedup {

#ifdef CDEDUP_FUZZ_MAX_WINDOW
// Fuzzing: one input must not be able to ask for gigabytes.
inline constexpr uint32_t MAX_WINDOW = CDEDUP_FUZZ_MAX_WINDOW;
#else
inline constexpr uint32_t MAX_WINDOW = 0xFFFFFFFFu;
#endif

namespace {

// How far ahead of the decoder its window is populated: enough to stay
// ahead, little enough that a short stream claims no memory it never uses.
constexpr size_t WINDOW_LEAD = size_t{4} << 20;

// Gives back the window's block in memory, if any.
void release_window_block(Codec& c) {
  // The helper must be done with the window before it goes.
  if (c.window_prefault != nullptr) c.window_prefault->stop();
  large_block_free(c.decwin, c.index.cfg_decwinsize);
  c.decwin = nullptr;
}

}  // namespace

void codec_release_window(Codec& c) {
  release_window_block(c);
  large_block_free(c.decwin_notes, decwin_notes_bytes(c.index.cfg_decwinsize));
  c.decwin_notes = nullptr;
}

namespace {

// Zeroes window slots [from, to) and their chunk-start notes, round the
// window's end when `to` lies before `from`.
void clear_slots(Codec& c, uint32_t from, uint32_t to) {
  const uint32_t window = c.index.cfg_decwinsize;
  if (from > to) {
    clear_slots(c, from, window);
    from = 0;
  }
  if (c.decwin != nullptr) std::memset(c.decwin + from, 0, to - from);
  if (c.decwin_notes != nullptr && to > from) std::memset(c.decwin_notes + (from >> 6), 0, ((to + 63) >> 6) - (from >> 6));
}

// Zeroes what earlier streams wrote to the window, and the chunk-start notes
// over it: the slots from where they began to the write index, or the whole
// window if they may have gone round it.  The bytes in the window that the
// counts do not take in yet belong to one chunk at most (a stream can stop
// inside one).  A patch's reference was never in the window, unless the
// byte-at-a-time decoder loaded it (then it counts in decwin_written).
void window_wipe(Codec& c) {
  const uint32_t window = c.index.cfg_decwinsize;
  if (c.decwin_written + CHUNK_MAX_LEN < window)
    clear_slots(c, c.decwin_first, c.decwin_pos);
  else
    clear_slots(c, 0, window);
  c.decwin_written = 0;
}

// The window for a stream: kept in the output file when the caller named
// one and it is worth it, else a block in memory, the one of the last stream
// when it has the same size.
//
// Runs read back from the file are read ahead only with a core to spare
// beyond the decoding and the writing threads: on two cores the helper only
// took CPU from them (the backup series into tmpfs: 0.40 s without it, 0.49 s
// with it, hyperfine -r 40).
void window_open(Codec& c, uint32_t window) {
  c.decwin_in_file = c.file_window != nullptr && !c.reference_path &&
                     file_window_start(*c.file_window, window, static_cast<size_t>(c.out_end - c.out_start),
                                       resolve_threads(c.threads) > 2);
  if (window != c.index.cfg_decwinsize) {
    codec_release_window(c);
    c.decwin_written = 0;
    c.index.cfg_decwinsize = window;
  } else {
    window_wipe(c);
  }
  if (c.decwin_in_file)
    release_window_block(c);
  else if (c.decwin == nullptr)
    // A failed window only matters once the body has bytes; the body checks.
    c.decwin = static_cast<uint8_t*>(large_block_alloc(window));
}

}  // namespace

void decoder_forget_counts(Codec& c) {
  // What the last stream left in the window is still to be wiped.
  const uint64_t written = c.decwin_lead + c.total_bytes;
  if (written > c.decwin_written) c.decwin_written = written;
  c.total_bytes = 0;
  c.chunk_count = 0;
}

bool decoder_open_stream(Codec& c, const int header[4]) {
  // A stream refused here counts nothing, whatever the last one counted.
  decoder_forget_counts(c);
  if (header[3] < 0) {
    codec_set_message(c, "not an encoded stream: shorter than its 4-byte header");
    return false;
  }
  const StreamHeader h = header_read(header);
  if (h.cfg_chunklen == 0) {
    codec_set_message(c, "not an encoded stream: its chunk-length field is 0");
    return false;
  }
  const uint32_t window = h.cfg_decwinsize < MAX_WINDOW ? h.cfg_decwinsize : MAX_WINDOW;
  ReferenceFile* const ref = c.ref_file != nullptr && c.ref_file->active ? c.ref_file : nullptr;
  const uint64_t base = ref != nullptr ? ref->size : 0;
  if (base > window) {
    codec_set_message(c, "corrupt stream: a patch against a reference file of %llu bytes in a window of %u MiB",
                      static_cast<unsigned long long>(base), window >> 20);
    return false;
  }
  window_open(c, window);
  c.cfg_chunklen = static_cast<int32_t>(h.cfg_chunklen);
  c.index.encmem_bytes = 0;
  // A patch's reference comes first in the window: the new data's first
  // byte goes where the reference's last one left off.
  c.decwin_pos = window != 0 ? static_cast<uint32_t>(base % window) : 0;
  c.decwin_first = c.decwin_pos;
  c.decwin_lead = 0;
  c.decwin_notes_clear = c.decwin_pos >> 6;
  c.stream_base = base;
  if (ref != nullptr) {
    ref->reader.failed = false;
    if (c.reference_path) {
      // The byte-at-a-time decoder holds the reference in its window, as
      // the format describes it; the fast one reads it back from the file.
      // (Counted first, so that the next wipe clears what a failed read left.)
      c.decwin_first = 0;
      c.decwin_lead = base;
      if (c.decwin != nullptr && !reference_read(c, 0, c.decwin, base)) return false;
    } else if (!file_extents_start(ref->reader, ref->fd, 0, resolve_threads(c.threads) > 2)) {
      codec_set_message(c, "cannot allocate the buffers that read the reference file back: out of memory");
      c.failure = CODEC_FAIL_MEMORY;
      return false;
    }
  }
  // Only the fast path uses the chunk-start table; without it, it scans.
  if ((c.decwin != nullptr || c.decwin_in_file) && !c.reference_path && c.decwin_notes == nullptr)
    c.decwin_notes = static_cast<uint8_t*>(large_block_alloc(decwin_notes_bytes(window)));
  if (c.decwin != nullptr && !c.reference_path) {
    // With threads to spare, the window's first touch goes to a helper,
    // from the page the stream starts in.
    if (resolve_threads(c.threads) > 1) {
      if (c.window_prefault == nullptr) c.window_prefault = new (std::nothrow) Prefault;
      const uint32_t page = c.decwin_first & ~uint32_t{4095};
      if (c.window_prefault != nullptr) c.window_prefault->start(c.decwin + page, window - page, WINDOW_LEAD);
    }
  }
  chunker_init(c.chunker, h.cfg_chunklen);
  fold_reset(c.fold_block);
  codec_report(c, "len=%i encmem=%iM decmem=%iM\n", c.cfg_chunklen + 64, 0,
               static_cast<int>(c.index.cfg_decwinsize >> 20));
  c.stream_pos = static_cast<uint32_t>(base);
  c.chunk_buf_len = 0;
  return true;
}

bool decoder_window_ready(Codec& c) {
  if (c.index.cfg_decwinsize == 0 || c.decwin != nullptr || c.decwin_in_file) return true;
  codec_set_message(c, "cannot allocate the decoder's %u MiB window: out of memory", c.index.cfg_decwinsize >> 20);
  c.failure = CODEC_FAIL_MEMORY;
  return false;
}

bool decoder_copy_distance(Codec& c, const int bytes[4], uint32_t& distance) {
  if (bytes[3] < 0) {
    codec_set_message(c, "truncated stream: it ends inside a copy record");
    return false;
  }
  distance = distance_read(bytes);
  return true;
}

bool decoder_window_intact(Codec& c) {
  if (c.stream_base != 0 && c.ref_file->reader.failed) {
    const FileExtents& r = c.ref_file->reader;
    codec_set_message(c, "cannot read the reference file back at byte %llu: %s",
                      static_cast<unsigned long long>(r.failed_at),
                      r.failed_errno != 0 ? std::strerror(r.failed_errno) : "it ends there: it was cut short");
    c.failure = CODEC_FAIL_REFERENCE;
    return false;
  }
  if (!c.decwin_in_file || !c.file_window->far.failed) return true;
  const FileExtents& w = c.file_window->far;
  codec_set_message(c, "cannot read back the output file at byte %llu of the stream: %s",
                    static_cast<unsigned long long>(w.failed_at),
                    w.failed_errno != 0 ? std::strerror(w.failed_errno) : "it ends there: another process cut it short");
  return false;
}

bool decoder_reference_allowed(Codec& c) {
  if (c.index.cfg_decwinsize != 0) return true;
  codec_set_message(c, "corrupt stream: a reference in a stream that has no window");
  return false;
}

}  // namespace cdedup
