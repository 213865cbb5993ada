// The eight entry points.  The instance is one malloc'd block, aligned by hand
// to a page with the raw pointer stashed in the word before it; everything a
// run needs sits in it except the chunk index or the window, which come from
// the large-block allocator once, before the stream starts.  An instance keeps
// that block from stream to stream while the size stays the same, cleared
// instead of mapped again: a fresh mapping costs a page fault for every page
// the stream touches and a system call or two, which for short streams is
// more than the stream.
#include <cdedup/cdedup.h>

#include <fcntl.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/codec.h"
#include "codec/coroutine.h"
#include "codec/encoder_parallel.h"
#include "codec/frame_layer.h"
#include "codec/reference_file.h"
#include "codec/window_file.h"
#include "dedup/chunk_index.h"
#include "platform/large_block.h"
#include "platform/prefault.h"
#include "platform/read_back.h"

using namespace cdedup;

namespace {

constexpr size_t HTBL_MIN_SLOTS = PROBE_WINDOW + 1;  // a probe window must not wrap onto itself

#ifdef CDEDUP_FUZZ_INDEX_UNIT
// Fuzzing: an index parameter counts smaller units, so that inputs of a few
// kilobytes fill the table and wrap round it.  It does not reach the stream.
constexpr uint32_t INDEX_UNIT = CDEDUP_FUZZ_INDEX_UNIT;
#else
constexpr uint32_t INDEX_UNIT = uint32_t{1} << 20;
#endif

// An index up to this size is cleared in place for the next configuration;
// a larger one is mapped anew, which costs only the pages the next stream
// touches where a clear would cost them all.
constexpr size_t HTBL_KEEP_BYTES = size_t{1} << 20;

size_t htbl_bytes(const Codec& c) { return size_t{INDEX_SLOT_BYTES} * c.index.cfg_tblsize; }

void destroy_body(Codec& c) {
  // Work still queued for a stream given up reads the instance (the check
  // key, the block buffers): it ends before anything is changed or freed.
  if (c.parallel != nullptr) parallel_encoder_quiesce(c.parallel);
  if (c.body) {
    c.body.destroy();
    c.body = nullptr;
  }
}

void release_index(Codec& c) {
  large_block_free(c.index.htbl, htbl_bytes(c));
  c.index.htbl = nullptr;
}

// A refused instance stays refused until settings are accepted: its body
// would run on the settings it refused (a chunk length of 0 divides by zero).
int32_t refuse(Codec& c) {
  c.state = CODEC_ERROR;
  c.failure = CODEC_FAIL_SETTINGS;
  return CODEC_INIT_REFUSED;
}

// An output file named for one stream is forgotten when the next begins.
void forget_output_file(Codec& c) {
  if (c.file_window != nullptr) file_window_end(*c.file_window);
  c.decwin_in_file = false;
}

// A stream given up or ended leaves no frame writer or reader in the way.
void forget_frame(Codec& c) {
  c.framing.side = FrameSide::None;
  c.framing.phase = 0;
  c.input_hash = nullptr;
}

bool running(const Codec& c) {
  return c.state == CODEC_NEED_INPUT || c.state == CODEC_OUTPUT_FULL || c.state == CODEC_FRAME_END;
}

}  // namespace

namespace cdedup {

bool codec_start_body(Codec& c) {
  destroy_body(c);
  c.body = codec_body(c).handle;
  if (c.body) return true;
  codec_set_message(c, "the codec body's frame does not fit in its arena");
  codec_stop(c, CODEC_FAIL_MEMORY);
  return false;
}

int32_t codec_resume_body(Codec& c) {
  c.body.resume();
  if (c.body.done()) c.state = CODEC_DONE;
  return c.state;
}

int32_t codec_stop(Codec& c, int32_t kind) {
  c.failure = kind;
  c.state = CODEC_ERROR;
  return CODEC_ERROR;
}

}  // namespace cdedup


// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

extern "C" {

Codec* codec_create(void) {
  const size_t raw_size = sizeof(Codec) + (CODEC_ALIGN - 1) + sizeof(void*);
  void* raw = std::malloc(raw_size);
  if (raw == nullptr) return nullptr;
  std::memset(raw, 0, raw_size);
  const uintptr_t base = reinterpret_cast<uintptr_t>(raw) + sizeof(void*);
  void* aligned = reinterpret_cast<void*>((base + CODEC_ALIGN - 1) & ~uintptr_t{CODEC_ALIGN - 1});
  std::memcpy(static_cast<char*>(aligned) - sizeof(void*), &raw, sizeof raw);
  Codec* c = new (aligned) Codec{};
  c->report = stdout;
  c->threads = 1;
  return c;
}

void codec_destroy(Codec* c) {
  if (c == nullptr) return;
  destroy_body(*c);
  parallel_encoder_destroy(c->parallel);
  codec_release_window(*c);
  release_index(*c);
  delete c->window_prefault;
  if (c->file_window != nullptr) file_window_release(*c->file_window);
  delete c->file_window;
  frame_layer_release(c->framing);
  reference_release(*c);
  void* raw;
  std::memcpy(&raw, reinterpret_cast<char*>(c) - sizeof(void*), sizeof raw);
  c->~Codec();
  std::free(raw);
}

int32_t codec_init(Codec* c, int32_t mode, const int32_t params[3]) {
  destroy_body(*c);
  forget_output_file(*c);
  forget_frame(*c);
  c->mode = mode;
  c->state = CODEC_DONE;
  c->in_cur = c->in_start = c->in_end = nullptr;
  c->out_cur = c->out_start = c->out_end = nullptr;
  c->message[0] = '\0';
  c->configured = false;
  ChunkIndex& ix = c->index;

  if (codec_is_decoder(*c)) {
    // A window of the last stream stays; the next stream's header decides.
    release_index(*c);
    c->cfg_chunklen = 0;
    ix.encmem_bytes = 0;
    c->configured = true;
    return 0;
  }
  codec_release_window(*c);

  // Parameters the encoder cannot honour are refused before anything is written.
  if (mode == CODEC_MODE_UNIQUE && c->checked) {
    codec_set_message(*c, "mode u cannot write a checked frame: its output does not decode to its input");
    release_index(*c);
    return refuse(*c);
  }
  if (mode == CODEC_MODE_UNIQUE && c->ref_file != nullptr) {
    codec_set_message(*c, "mode u cannot write a patch: its output does not decode to its input");
    release_index(*c);
    return refuse(*c);
  }
  if (c->ref_file != nullptr && c->ref_file->size > (static_cast<uint64_t>(static_cast<uint32_t>(params[2])) << 20)) {
    codec_set_message(*c, "the reference file has %" PRIu64 " bytes, more than the window of %" PRId32 " MiB holds",
                      c->ref_file->size, params[2]);
    release_index(*c);
    return refuse(*c);
  }
  const int32_t chunklen = params[0];
  if (chunklen == 0 || (mode != CODEC_MODE_UNIQUE && (chunklen < 1 || chunklen > 65535))) {
    codec_set_message(*c, "chunk length parameter %" PRId32 " is out of range (1 to 65535)", chunklen);
    release_index(*c);
    return refuse(*c);
  }
  c->cfg_chunklen = chunklen;
  const size_t kept_bytes = ix.htbl != nullptr ? htbl_bytes(*c) : 0;
  ix.encmem_bytes = static_cast<uint32_t>(params[1]) * INDEX_UNIT;
  ix.cfg_decwinsize = static_cast<uint32_t>(params[2]) << 20;
  index_restart_positions(ix);
  index_set_tblsize(ix, ix.encmem_bytes / INDEX_SLOT_BYTES);
  c->index_used = false;
  if (ix.htbl != nullptr &&
      (ix.cfg_tblsize < HTBL_MIN_SLOTS || htbl_bytes(*c) != kept_bytes || kept_bytes > HTBL_KEEP_BYTES)) {
    large_block_free(ix.htbl, kept_bytes);
    ix.htbl = nullptr;
  }
  if (ix.cfg_tblsize < HTBL_MIN_SLOTS) {
    codec_set_message(*c, "index size %" PRId32 " MiB leaves no room for the chunk index (1 to 4095 MiB)", params[1]);
    return refuse(*c);
  }
  if (ix.htbl != nullptr)
    index_clear(ix);  // kept: its entries name bytes of another stream
  else
    ix.htbl = static_cast<IndexSlot*>(large_block_alloc(htbl_bytes(*c)));
  if (ix.htbl == nullptr) {
    codec_set_message(*c, "cannot allocate the chunk index (%" PRId32 " MiB): out of memory", params[1]);
    return refuse(*c);
  }
  codec_report(*c, "sizeof(this)=%i cfg_tblsize=%i cfg_decwinsize=%i sizeof(hinf)=%i htbl=%llX\n",
               static_cast<int>(sizeof(Codec)), static_cast<int>(ix.cfg_tblsize), static_cast<int>(ix.cfg_decwinsize),
               static_cast<int>(sizeof(hinf)), static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(ix.htbl)));
  // A reference must stand for the same bytes, not only the same key.
  if (mode != CODEC_MODE_UNIQUE) check_key_init(c->check_key);
  c->configured = true;
  return 0;
}

void codec_reset(Codec* c) {
  destroy_body(*c);
  forget_output_file(*c);
  forget_frame(*c);
  // A decoder keeps its window: the next stream's header decides whether it
  // fits (decoder_open_stream).
  if (!codec_is_decoder(*c) && c->index.htbl != nullptr) {
    index_clear(c->index);
    c->index_used = false;
  }
  // A stream given up midway leaves its buffers here, and the caller may
  // have freed them already: the next stream must not read or write them.
  c->in_cur = c->in_start = c->in_end = nullptr;
  c->out_cur = c->out_start = c->out_end = nullptr;
  c->in_space = nullptr;
  c->in_eof = 0;
  if (!c->configured) return;  // refused, and its reason kept, until codec_init accepts
  c->message[0] = '\0';
  c->state = CODEC_DONE;
}

void codec_finish(Codec* c) {
  // The large block stays for another stream (codec_reset) until codec_init
  // needs another size or codec_destroy.
  // The average in tenths from the 64-bit totals; printed from its low 32 bits,
  // the tenth truncated.
  // Frames joined in one stream count together.
  const uint64_t total = c->total_bytes + c->framing.earlier_bytes;
  const uint64_t chunks = c->chunk_count + c->framing.earlier_chunks;
  const uint64_t q = chunks != 0 ? (10 * total) / chunks : 0;
  const int32_t q32 = static_cast<int32_t>(static_cast<uint32_t>(q));
  codec_report(*c, "sum=%i x=%i avglen=%i.%i\n", static_cast<int32_t>(static_cast<uint32_t>(total)),
               static_cast<int32_t>(static_cast<uint32_t>(chunks)), q32 / 10, q32 % 10);
}

int32_t codec_run(Codec* c) {
  // A done stream's writer or reader stays until the next stream starts:
  // codec_outsize still reads the writer's count of the last buffer.
  if (c->state != CODEC_DONE) {
    switch (c->framing.side) {
      case FrameSide::Writer:
        return frame_writer_run(*c);
      case FrameSide::Reader:
        return frame_reader_run(*c);
      case FrameSide::None:
        break;
    }
  }
  switch (c->state) {
    case CODEC_DONE:
      forget_frame(*c);
      if (!c->configured) {
        codec_set_message(*c, "codec_init has not accepted settings for this instance");
        return codec_stop(*c, CODEC_FAIL_SETTINGS);
      }
      c->failure = CODEC_FAIL_NONE;
      c->framing.earlier_bytes = c->framing.earlier_chunks = 0;
      c->framing.digest_size = c->framing.digest_hash = 0;
      // A decoder learns from the first bytes whether it reads a frame.
      if (codec_is_decoder(*c)) return frame_reader_start(*c);
      // A patch's reference travels in a frame's header: a patch is always framed.
      if (c->checked || c->ref_file != nullptr) return frame_writer_start(*c);
      if (!codec_start_body(*c)) return c->state;
      break;
    case CODEC_NEED_INPUT:
      // No new bytes and no end of input: the body would only ask again.
      if (c->in_cur >= c->in_end && !c->in_eof) return c->state;
      break;
    case CODEC_OUTPUT_FULL:
      if (c->out_cur >= c->out_end) return c->state;
      break;
    default:
      return c->state;  // CODEC_ERROR: the body is never resumed
  }
  return codec_resume_body(*c);
}

int32_t codec_outsize(Codec* c) {
  const FrameLayer& f = c->framing;
  if (f.side == FrameSide::Writer) return static_cast<int32_t>(f.user_out_cur - f.user_out_start);
  return static_cast<int32_t>(c->out_cur - c->out_start);
}

void codec_setbuf(Codec* c, uint8_t* buf, int32_t len) {
  FrameLayer& f = c->framing;
  switch (c->state) {
    case CODEC_NEED_INPUT:
      if (f.side == FrameSide::Reader) {
        f.user_in_cur = buf;
        f.user_in_end = buf + len;
        if (len == 0) f.user_eof = true;
        break;
      }
      c->in_start = c->in_cur = buf;
      c->in_end = buf + len;
      if (len == 0) c->in_eof = 1;
      if (f.side == FrameSide::Writer) frame_writer_input(*c, buf, static_cast<size_t>(len));
      break;
    case CODEC_OUTPUT_FULL:
    case CODEC_FRAME_END:
      // A window read back from the file covers this much output not yet handed back.
      if (c->decwin_in_file) len = static_cast<int32_t>(std::min<size_t>(len, c->file_window->out_allowance));
      [[fallthrough]];
    case CODEC_DONE:
      if (f.side == FrameSide::Writer) {
        f.user_out_start = f.user_out_cur = buf;
        f.user_out_end = buf + len;
        // Between streams the buffer is also the next stream's first.
        if (c->state != CODEC_DONE) break;
      }
      c->out_cur = c->out_start = buf;
      c->out_end = buf + len;
      f.out_mark = buf;
      f.out_taken = false;
      break;
    default:
      break;
  }
}

const char* codec_message(const Codec* c) { return c->message; }

void codec_set_report(Codec* c, FILE* report) { c->report = report; }

void codec_set_reference_path(Codec* c, int on) { c->reference_path = on != 0; }

void codec_set_threads(Codec* c, int32_t threads) { c->threads = threads; }

int32_t codec_set_output_file(Codec* c, int fd, int64_t offset, int64_t lag) {
  // No window reaches 4 GiB back, so a larger lag leaves the file nothing to serve (and would overflow the ring's size).
  if (!codec_is_decoder(*c) || running(*c) || offset < 0 || lag < 0 || lag >= (int64_t{1} << 32) ||
      !read_back_usable(fd))
    return CODEC_INIT_REFUSED;
  if (c->file_window == nullptr) c->file_window = new (std::nothrow) FileWindow;
  if (c->file_window == nullptr) return CODEC_INIT_REFUSED;
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return CODEC_INIT_REFUSED;
  FileWindow& w = *c->file_window;
  file_window_end(w);
  w.fd = own;
  w.file_offset = static_cast<uint64_t>(offset);
  w.lag = static_cast<uint64_t>(lag);
  w.requested = true;
  return 0;
}

int32_t codec_window_in_file(const Codec* c) { return c->decwin_in_file ? 1 : 0; }

int32_t codec_output_failed(const Codec* c) {
  return c->state == CODEC_ERROR && c->decwin_in_file && c->file_window->far.failed ? 1 : 0;
}

int32_t codec_set_checked(Codec* c, int32_t on) {
  if (running(*c) || (on != 0 && c->configured && c->mode == CODEC_MODE_UNIQUE)) return CODEC_INIT_REFUSED;
  c->checked = on != 0;
  return 0;
}

int32_t codec_set_reference_file(Codec* c, int fd) {
  if (running(*c)) return CODEC_INIT_REFUSED;
  if (fd >= 0 && c->configured && c->mode == CODEC_MODE_UNIQUE) {
    codec_set_message(*c, "mode u cannot write a patch: its output does not decode to its input");
    return CODEC_INIT_REFUSED;
  }
  if (!reference_take(*c, fd)) return CODEC_INIT_REFUSED;
  const ReferenceFile* r = c->ref_file;
  if (r != nullptr && c->configured && c->mode == CODEC_MODE_ENCODE && r->size > c->index.cfg_decwinsize) {
    codec_set_message(*c, "the reference file has %" PRIu64 " bytes, more than the window of %" PRIu32 " MiB holds",
                      r->size, c->index.cfg_decwinsize >> 20);
    reference_release(*c);
    return CODEC_INIT_REFUSED;
  }
  return 0;
}

int32_t codec_set_caller_hash(Codec* c, int32_t on) {
  if (running(*c)) return CODEC_INIT_REFUSED;
  c->caller_hash = on != 0;
  return 0;
}

int32_t codec_frame_digest(const Codec* c, uint64_t* size, uint64_t* hash) {
  const FrameLayer& f = c->framing;
  if (f.scan.frames == 0 || !(c->state == CODEC_FRAME_END || c->state == CODEC_DONE)) return 1;
  *size = f.digest_size;
  *hash = f.digest_hash;
  return 0;
}

int32_t codec_failure(const Codec* c) {
  if (c->state != CODEC_ERROR) return CODEC_FAIL_NONE;
  if (codec_output_failed(c)) return CODEC_FAIL_OUTPUT;
  return c->failure != CODEC_FAIL_NONE ? c->failure : CODEC_FAIL_STREAM;
}

uint8_t* codec_input_space(Codec* c, int32_t* room) {
  const bool open = c->state == CODEC_NEED_INPUT && c->in_space != nullptr;
  *room = open ? static_cast<int32_t>(c->in_room) : 0;
  return open ? c->in_space : nullptr;
}

}  // extern "C"
