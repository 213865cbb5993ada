// The lossless encoder on several threads.
//
// Input is copied into blocks of a few MiB, each split into segments of
// 512 KiB.  Cutting, fingerprints and content checks (about three quarters
// of the work) run on the pool; index probes, decisions and output stay in
// stream order on the codec's own thread, because each decision depends on
// every one before it.  A block goes through three steps:
//
//   cut     (pool, a task per segment): a chain of chunk ends, guessed;
//   settle  (codec thread): the true chain, from the guesses;
//   file    (pool, a task per segment): fingerprints and content checks of
//           the true chunks.
//
// and while the codec's thread decides one block, the pool files the next
// and cuts the one after.  Whenever the codec's thread would wait, it runs
// queued tasks itself.
//
// Where a segment's chunks start is not known until the segment before it
// has been settled, so a cutting task guesses: it starts a chain of chunks at
// its segment's first byte, as if a chunk began there.  A chunk's end depends
// only on its own bytes from its start on, so two chains that ever share a
// chunk start agree from there on, and chains from nearby starts meet within
// a chunk or two on real data (the first window past the 64-byte minimum
// that hashes low ends both).  Settling follows the true chain from where the
// previous segment left it, cutting chunks itself until it lands on a start
// of the guessed chain, and takes the guessed chunks from there.  Chains may
// never meet: when every chunk is cut at the 65535-byte cap (a run of zeros)
// or at the 64-byte minimum.  Settling then cuts the whole segment itself.
// That is why keys come after settling rather than with the guess: the
// search for chunk ends is the cheap half of the work, and the expensive
// half (fingerprints, checks) is then done once, for true chunks only, in
// parallel whatever the data.
//
// The rejected alternative marks every window that hashes low first (a
// bitmap per segment, no guessing) and then picks chunk ends in one cheap
// pass.  It never falls back to one thread, but it hashes the 63 windows
// after every boundary that the forward search skips, about 40% more hashing
// at the default chunk length.
//
// A chunk may straddle two blocks, so each block's buffer starts with a copy
// of the 64 KiB of input before it: the chunk is then whole in the later
// block, and no block waits for the one before it to be decided.
//
// A patch's reference takes the same way, but is only filed (see
// parallel_index_reference).
//
// When the stream goes into a checked frame, its checksum takes the input
// in as it lands in a block, a piece of at most HASH_PIECE bytes at a time,
// while the piece is still in the cache.  The hash is one sequence, so it
// cannot be spread over the pool; hashing each block there out of memory,
// as a task after the one before, cost twice the processor time (on the
// backup corpus 0.05 s a run, where the pieces in the cache take 0.02 s),
// and on two cores every processor second is wall time.
#include "codec/encoder_parallel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "codec/encoder.h"
#include "codec/reference_file.h"
#include "dedup/boundary_scan.h"
#include "dedup/chunk_check.h"
#include "dedup/chunk_index.h"
#include "dedup/chunker.h"
#include "dedup/fingerprint_lanes.h"
#include "dedup/stream_hash.h"
#include "platform/large_block.h"
#include "platform/prefault.h"
#include "platform/read_back.h"
#include "platform/thread_pool.h"

namespace cdedup {

namespace {

// Input before a block that its buffer repeats: at least the longest chunk.
constexpr size_t PREFIX = 65536;
constexpr size_t DEFAULT_SEGMENT = size_t{512} << 10;
// Segments a block has per thread: enough that threads finishing unevenly
// still find work.
constexpr unsigned SEGMENTS_PER_THREAD = 4;
// The largest block, so what a stream holds stays bounded (32 MiB a block).
constexpr unsigned SEGMENTS_MAX = SEGMENTS_PER_THREAD * ENCODER_THREADS_MAX;
// Blocks in flight: one decided, one filed, one cut.
constexpr unsigned RING = 3;
// Chunks fingerprinted per call (their pointers and lengths on the stack).
constexpr size_t FINGERPRINT_GROUP = 256;
// How far ahead of the decisions the index slots are asked for.
constexpr size_t PREFETCH_AHEAD = 16;
// The checksum's piece: small enough to be hashed from the cache it was read into.
constexpr size_t HASH_PIECE = size_t{512} << 10;
// The smallest index worth populating on a helper thread.
constexpr size_t PREFAULT_MIN_BYTES = size_t{16} << 20;

struct Block;

// A segment's guessed chain, cut by the pool.
struct Cut {
  PoolTask task;
  const Block* block = nullptr;
  uint32_t from = 0, stop = 0;
  uint32_t count = 0;        // chunks of the guessed chain
  uint32_t* ends = nullptr;  // their ends, as offsets into the block's buffer

  uint32_t start_of(uint32_t i) const { return i == 0 ? from : ends[i - 1]; }
};

// A run of the block's true chunks, filed by the pool.
struct File {
  PoolTask task;
  const Block* block = nullptr;
  uint32_t lo = 0, hi = 0;  // chunks [lo, hi) of the block's true chain
};

struct Block {
  uint8_t* buf = nullptr;  // PREFIX bytes of the input before the block, then its own
  size_t fill = 0;         // the block's own bytes
  unsigned segments = 0;
  Cut* cuts = nullptr;
  File* files = nullptr;
  unsigned filed = 0;  // File tasks handed out
  // The true chain: chunks end to end from `chain_from`.
  uint32_t chain_from = 0;
  uint32_t count = 0;
  uint32_t* ends = nullptr;
  ChunkKey* keys = nullptr;
  uint32_t threshold = 0;
  const CheckKey* check_key = nullptr;

  uint32_t data_end() const { return static_cast<uint32_t>(PREFIX + fill); }
  uint32_t start_of(uint32_t i) const { return i == 0 ? chain_from : ends[i - 1]; }
};

void cut_task(void* arg) {
  Cut& s = *static_cast<Cut*>(arg);
  const Block& b = *s.block;
  s.count = static_cast<uint32_t>(cut_chain(b.threshold, b.buf, s.from, s.stop, b.data_end(), s.ends));
}

// A run of one byte value (the free space of a disk image, a file of zeros)
// is cut into chunks of the longest length, all alike.  Each such chunk is
// compared with the last one the task filed and, when equal, takes its key:
// a comparison at memory speed instead of a fingerprint and a content check,
// which read the chunk at a tenth of that.  Equal bytes, equal key, so the
// output is the same.
void file_task(void* arg) {
  constexpr uint32_t NONE = UINT32_MAX;
  const File& f = *static_cast<File*>(arg);
  const Block& b = *f.block;
  const uint8_t* starts[FINGERPRINT_GROUP];
  uint32_t lens[FINGERPRINT_GROUP];
  uint32_t which[FINGERPRINT_GROUP];  // the chunk a fingerprint is for
  uint32_t same[FINGERPRINT_GROUP];   // an earlier chunk with the same bytes, or NONE
  ChunkKey keys[FINGERPRINT_GROUP];
  uint32_t last_long = NONE;
  for (uint32_t g = f.lo; g < f.hi; g += FINGERPRINT_GROUP) {
    const size_t m = std::min<size_t>(FINGERPRINT_GROUP, f.hi - g);
    size_t k = 0;
    for (size_t i = 0; i < m; ++i) {
      const uint32_t chunk = static_cast<uint32_t>(g + i);
      const uint32_t start = b.start_of(chunk);
      const uint8_t* const p = b.buf + start;
      const uint32_t len = b.ends[chunk] - start;
      same[i] = NONE;
      if (len == CHUNK_MAX_LEN) {
        if (last_long != NONE && std::memcmp(p, b.buf + b.start_of(last_long), CHUNK_MAX_LEN) == 0) {
          same[i] = last_long;
          continue;
        }
        last_long = chunk;
      }
      starts[k] = p;
      lens[k] = len;
      which[k++] = chunk;
    }
    fingerprint_chunks(starts, lens, k, keys);
    for (size_t j = 0; j < k; ++j) b.keys[which[j]] = checked_key(keys[j], chunk_check(*b.check_key, starts[j], lens[j]));
    for (size_t i = 0; i < m; ++i)
      if (same[i] != NONE) b.keys[g + i] = b.keys[same[i]];
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The encoder's threads and buffers
// ---------------------------------------------------------------------------

struct ParallelEncoder {
  unsigned threads = 1;
  ThreadPool pool;
  Prefault index_prefault;  // the index's first touch, off the deciding thread

  size_t segment_bytes = 0;
  unsigned segments_per_block = 0;
  size_t block_bytes = 0;
  void* memory = nullptr;  // block buffers, chain ends, keys
  size_t memory_bytes = 0;
  Cut* cuts = nullptr;
  File* files = nullptr;
  Block ring[RING];

  // One stream's progress: blocks sealed (cut handed out), settled, decided,
  // and the input bytes they hold.
  uint64_t sealed = 0, settled = 0, decided = 0;
  uint64_t stream_bytes = 0;
  // Where the true chain stands in the next block to settle.
  uint32_t chain = 0;

  ~ParallelEncoder() {
    index_prefault.stop();
    pool.stop();
    large_block_free(memory, memory_bytes);
    delete[] cuts;
    delete[] files;
  }
};

bool parallel_encoder_set_shape(ParallelEncoder* pe, size_t segment_bytes, unsigned segments) {
  if (segment_bytes == 0 || segments == 0 || segment_bytes > (size_t{64} << 20) || segments > SEGMENTS_MAX) return false;
  const size_t block_bytes = segment_bytes * segments;
  if (PREFIX + block_bytes > (size_t{1} << 30)) return false;
  // Chunks start 64 bytes apart or more: a guessed chain starts its chunks
  // within its segment, the true chain within the block and its prefix.
  const size_t cut_room = (segment_bytes + 63) / 64;
  const size_t chain_room = (PREFIX + block_bytes + 63) / 64;
  const size_t buf_bytes = (PREFIX + block_bytes + 4095) & ~size_t{4095};
  const size_t per_block =
      buf_bytes + (segments * cut_room + chain_room) * sizeof(uint32_t) + chain_room * sizeof(ChunkKey);
  const size_t bytes = RING * per_block + 64 * RING;
  void* memory = large_block_alloc(bytes);
  Cut* cuts = new (std::nothrow) Cut[size_t{RING} * segments];
  File* files = new (std::nothrow) File[size_t{RING} * segments];
  if (memory == nullptr || cuts == nullptr || files == nullptr) {
    large_block_free(memory, bytes);
    delete[] cuts;
    delete[] files;
    return false;
  }
  pe->pool.drain();
  large_block_free(pe->memory, pe->memory_bytes);
  delete[] pe->cuts;
  delete[] pe->files;
  pe->memory = memory;
  pe->memory_bytes = bytes;
  pe->cuts = cuts;
  pe->files = files;
  pe->segment_bytes = segment_bytes;
  pe->segments_per_block = segments;
  pe->block_bytes = block_bytes;

  uint8_t* p = static_cast<uint8_t*>(memory);
  for (unsigned r = 0; r < RING; ++r) {
    Block& b = pe->ring[r];
    b.buf = p;
    p += buf_bytes;
    b.keys = reinterpret_cast<ChunkKey*>(p);
    p += chain_room * sizeof(ChunkKey);
    b.ends = reinterpret_cast<uint32_t*>(p);
    p += chain_room * sizeof(uint32_t);
    b.cuts = cuts + size_t{r} * segments;
    b.files = files + size_t{r} * segments;
    for (unsigned k = 0; k < segments; ++k) {
      b.cuts[k].block = &b;
      b.cuts[k].ends = reinterpret_cast<uint32_t*>(p);
      p += cut_room * sizeof(uint32_t);
      b.cuts[k].task.run = cut_task;
      b.cuts[k].task.arg = &b.cuts[k];
      b.files[k].block = &b;
      b.files[k].task.run = file_task;
      b.files[k].task.arg = &b.files[k];
    }
    p = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 63) & ~uintptr_t{63});
  }
  return true;
}

ParallelEncoder* parallel_encoder_create(unsigned threads) {
  if (threads < 2 || threads > ENCODER_THREADS_MAX) return nullptr;
  auto* pe = new (std::nothrow) ParallelEncoder;
  if (pe == nullptr) return nullptr;
  pe->threads = threads;
  if (!parallel_encoder_set_shape(pe, DEFAULT_SEGMENT, SEGMENTS_PER_THREAD * threads)) {
    delete pe;
    return nullptr;
  }
  // Room for every task of the blocks in flight, cut and file, whatever the shape.
  if (pe->pool.start(threads - 1, 2 * size_t{RING} * SEGMENTS_MAX) == 0) {
    delete pe;
    return nullptr;
  }
  return pe;
}

void parallel_encoder_destroy(ParallelEncoder* pe) { delete pe; }

void parallel_encoder_quiesce(ParallelEncoder* pe) {
  pe->index_prefault.stop();
  pe->pool.drain();
}

bool parallel_encoder_prepare(Codec& c) {
  const unsigned threads = std::min(resolve_threads(c.threads), ENCODER_THREADS_MAX);
  if (c.parallel != nullptr && c.parallel->threads == threads) return true;
  parallel_encoder_destroy(c.parallel);
  c.parallel = threads > 1 ? parallel_encoder_create(threads) : nullptr;
  return c.parallel != nullptr;
}

// ---------------------------------------------------------------------------
// Blocks through the ring
// ---------------------------------------------------------------------------

namespace {

Block& block_of(ParallelEncoder& pe, uint64_t seq) { return pe.ring[seq % RING]; }

// Blocks count from 0 and the chain starts afresh: at a stream's start, and
// at the new data's first byte after a patch's reference.
void restart_chain(ParallelEncoder& pe) {
  pe.sealed = pe.settled = pe.decided = 0;
  pe.stream_bytes = 0;
  pe.chain = PREFIX;
}

void begin_stream(ParallelEncoder& pe, const Codec& c) {
  pe.pool.drain();  // a stream given up midway may have left work queued
  // The index is touched all over from the first chunks on: all of it, at
  // once.  A small one costs less to touch on demand than a thread to start.
  const size_t index_bytes = size_t{c.index.cfg_tblsize} * INDEX_SLOT_BYTES;
  if (index_bytes >= PREFAULT_MIN_BYTES) pe.index_prefault.start(c.index.htbl, index_bytes, index_bytes);
  restart_chain(pe);
}

// The next block to fill, its prefix copied from the block before it (as
// far as the stream reaches back: a short stream copies little).
Block& open_block(ParallelEncoder& pe) {
  Block& b = block_of(pe, pe.sealed);
  if (pe.sealed > 0) {
    const Block& prev = block_of(pe, pe.sealed - 1);
    const size_t have = std::min<uint64_t>(PREFIX, pe.stream_bytes);
    std::memcpy(b.buf + PREFIX - have, prev.buf + prev.fill + PREFIX - have, have);
  }
  b.fill = 0;
  b.segments = 0;
  b.filed = 0;
  b.count = 0;
  return b;
}

// The block is full (or the input ended): its segments go to be cut.
void seal_block(ParallelEncoder& pe, Block& b, const Codec& c) {
  b.threshold = c.chunker.chunk_threshold;
  b.check_key = &c.check_key;
  const uint32_t end = b.data_end();
  for (size_t from = PREFIX; from < end; from += pe.segment_bytes) {
    Cut& s = b.cuts[b.segments++];
    s.from = static_cast<uint32_t>(from);
    s.stop = static_cast<uint32_t>(std::min<size_t>(from + pe.segment_bytes, end));
    s.count = 0;
    pe.pool.submit(s.task);
  }
  pe.stream_bytes += b.fill;
  ++pe.sealed;
}

// n input bytes into the block at dst (where a caller that read into the
// block's room has put them already), and into the checksum, if any, while
// they are in the cache.
void take_input(Codec& c, uint8_t* dst, const uint8_t* src, size_t n) {
  if (c.input_hash == nullptr) {
    if (src != dst) std::memcpy(dst, src, n);
    return;
  }
  for (size_t at = 0; at < n; at += HASH_PIECE) {
    const size_t k = std::min(n - at, HASH_PIECE);
    if (src != dst) std::memcpy(dst + at, src + at, k);
    stream_hash_update(*c.input_hash, dst + at, k);
  }
}

// Appends the chunk starting at the true chain to the block's chain (its
// end only); false when no chunk starting there ends within the block.
bool cut_here(ParallelEncoder& pe, Block& b) {
  uint32_t end;
  if (cut_chain(b.threshold, b.buf, pe.chain, pe.chain + 1, b.data_end(), &end) == 0) return false;
  b.ends[b.count++] = end;
  pe.chain = end;
  return true;
}

// Hands the true chunks found since the last hand-out to the pool for keys.
void file_since(ParallelEncoder& pe, Block& b, uint32_t& lo) {
  if (b.count == lo) return;
  File& f = b.files[b.filed++];
  f.lo = lo;
  f.hi = b.count;
  lo = b.count;
  pe.pool.submit(f.task);
}

// Follows the true chain through the oldest unsettled block, segment by
// segment as the guesses come in, and hands each stretch out to be filed.
// The block's unfinished last chunk is left for the next block, whose
// prefix holds it.
void settle_block(ParallelEncoder& pe) {
  Block& b = block_of(pe, pe.settled);
  b.chain_from = pe.chain;
  uint32_t lo = 0;
  for (unsigned k = 0; k < b.segments; ++k) {
    Cut& s = b.cuts[k];
    pe.pool.wait(s.task);
    uint32_t i = 0;
    for (;;) {
      while (i < s.count && s.start_of(i) < pe.chain) ++i;
      if (i == s.count) break;  // the true chain is past this guess
      if (s.start_of(i) == pe.chain) {
        std::memcpy(b.ends + b.count, s.ends + i, (s.count - i) * sizeof(uint32_t));
        b.count += s.count - i;
        pe.chain = s.ends[s.count - 1];
        break;
      }
      // A guessed chunk starts further on and ends within the block, so the
      // chunk from the true chain ends within it too.
      if (!cut_here(pe, b)) break;
    }
    if (k + 1 < b.segments) file_since(pe, b, lo);
  }
  while (cut_here(pe, b)) {
  }
  file_since(pe, b, lo);
  pe.chain -= static_cast<uint32_t>(b.fill);
  ++pe.settled;
}

// A part of a block being decided: its keys waited for, and the index
// probes of its first chunks started.  Then, chunk by chunk, the probe of
// the chunk PREFETCH_AHEAD on, so the slots arrive before they are needed.
const File& await_part(const Codec& c, ParallelEncoder& pe, const Block& b, unsigned f) {
  File& part = b.files[f];
  pe.pool.wait(part.task);
  index_prefetch(c.index, b.keys[part.lo].bytes, std::min<size_t>(PREFETCH_AHEAD, part.hi - part.lo), sizeof(ChunkKey));
  return part;
}

void probe_ahead(const Codec& c, const Block& b, const File& part, uint32_t i) {
  if (i + PREFETCH_AHEAD < part.hi) index_prefetch(c.index, b.keys[i + PREFETCH_AHEAD].bytes, 1, 0);
}

// A block of the reference, decided: its chunks filed in order, nothing
// written.  Its unfinished last chunk is left, as for any block, to the next
// one, or at the reference's end to nobody.
void file_reference_block(Codec& c, ParallelEncoder& pe, const Block& b) {
  for (unsigned f = 0; f < b.filed; ++f) {
    const File& part = await_part(c, pe, b, f);
    for (uint32_t i = part.lo; i < part.hi; ++i) {
      probe_ahead(c, b, part, i);
      file_reference_chunk(c, b.keys[i], b.ends[i] - b.start_of(i));
    }
  }
}

}  // namespace

// A block of the reference read from its file, on the pool.
struct ReferenceRead {
  PoolTask task;
  int fd = -1;
  uint8_t* buf = nullptr;
  size_t n = 0;
  uint64_t offset = 0;
  StreamHash* hash = nullptr;  // REF's identity, taken in order as the blocks come
  bool ok = true;
  int error = 0;
};

// Read a piece at a time and hashed while the piece is in the cache, as the
// input is (reads are one after another, so the hash sees REF in order).
void reference_read_task(void* arg) {
  ReferenceRead& rd = *static_cast<ReferenceRead*>(arg);
  for (size_t at = 0; at < rd.n; at += HASH_PIECE) {
    const size_t k = std::min(rd.n - at, HASH_PIECE);
    rd.ok = read_back(rd.fd, rd.buf + at, k, rd.offset + at);
    if (!rd.ok) {
      rd.error = errno;
      rd.offset += at;
      return;
    }
    stream_hash_update(*rd.hash, rd.buf + at, k);
  }
  rd.error = 0;
}

// A patch's reference goes through the ring as input does, read from its
// file straight into the blocks and hashed on the pool; only the last step
// differs.  A block is read while the deciding thread settles and files the
// ones before it (the read, a copy from the page cache, was a tenth of that
// thread's time), so the ring holds one block read, one cut and one filed.
// The new data then starts a chain of its own in an empty ring.
bool parallel_index_reference(Codec& c) {
  ParallelEncoder& pe = *c.parallel;
  ReferenceFile& r = *c.ref_file;
  stream_hash_reset(r.scan);
  ReferenceRead rd;
  rd.task.run = reference_read_task;
  rd.task.arg = &rd;
  rd.fd = r.fd;
  rd.hash = &r.scan;
  for (uint64_t at = 0; rd.ok && at < r.size;) {
    Block& b = open_block(pe);
    rd.buf = b.buf + PREFIX;
    rd.n = std::min<uint64_t>(pe.block_bytes, r.size - at);
    rd.offset = at;
    pe.pool.submit(rd.task);
    while (pe.sealed - pe.settled > 0) settle_block(pe);
    while (pe.sealed - pe.decided > 1) file_reference_block(c, pe, block_of(pe, pe.decided++));
    pe.pool.wait(rd.task);
    if (!rd.ok) break;
    b.fill = rd.n;
    at += rd.n;
    seal_block(pe, b, c);
  }
  if (rd.ok) {
    while (pe.sealed - pe.settled > 0) settle_block(pe);
    while (pe.sealed - pe.decided > 0) file_reference_block(c, pe, block_of(pe, pe.decided++));
  }
  // Nothing the pool still holds may name a block of the reference.
  pe.pool.drain();
  restart_chain(pe);
  if (!rd.ok) {
    errno = rd.error;
    return reference_read_failed(c, rd.offset);
  }
  r.hash = stream_hash_digest(r.scan);
  r.hashed = true;
  return true;
}

// ---------------------------------------------------------------------------
// The body
// ---------------------------------------------------------------------------

BodyTask encoder_body_parallel(Codec& c) {
  ParallelEncoder& pe = *c.parallel;
  begin_stream(pe, c);
  uint8_t header[4];
  if (!encoder_open_stream(c, header, parallel_index_reference)) co_await codec_fail(c);
  CODEC_PUT_SPAN(c, header, sizeof header);

  RefState rs;
  ChunkOutput out;
  bool eof = false;
  while (!eof) {
    Block* fill = &open_block(pe);
    while (fill->fill < pe.block_bytes) {
      // A caller that reads straight into the block (codec_input_space)
      // spares the copy.
      uint8_t* const dst = fill->buf + PREFIX + fill->fill;
      c.in_space = dst;
      c.in_room = pe.block_bytes - fill->fill;
      if (c.input_hash != nullptr) c.in_room = std::min(c.in_room, HASH_PIECE);
      const bool more = co_await need_input(c);
      c.in_space = nullptr;
      if (!more) {
        eof = true;
        break;
      }
      const size_t k = std::min(static_cast<size_t>(c.in_end - c.in_cur), pe.block_bytes - fill->fill);
      take_input(c, dst, c.in_cur, k);
      fill->fill += k;
      c.in_cur += k;
    }
    seal_block(pe, *fill, c);

    // The block before is settled now, the one before that decided; at the
    // end of the input, everything.
    while (pe.sealed - pe.settled > (eof ? 0 : 1)) settle_block(pe);
    while (pe.sealed - pe.decided > (eof ? 0 : 2)) {
      Block& b = block_of(pe, pe.decided);
      for (unsigned f = 0; f < b.filed; ++f) {
        const File& part = await_part(c, pe, b, f);
        for (uint32_t i = part.lo; i < part.hi; ++i) {
          probe_ahead(c, b, part, i);
          if (encode_chunk(c, rs, out, b.keys[i], b.buf + b.start_of(i), b.ends[i] - b.start_of(i)))
            CODEC_PUT_CHUNK(c, out);
        }
      }
      if (eof && pe.sealed - pe.decided == 1) {
        // The final chunk: what is left after the block's last boundary.
        const uint8_t* p = b.buf + b.start_of(b.count);
        const uint32_t len = b.data_end() - b.start_of(b.count);
        ChunkKey key;
        fingerprint_chunks(&p, &len, 1, &key);
        if (encode_final_chunk(c, rs, out, key, p, len)) CODEC_PUT_CHUNK(c, out);
      }
      // The run lies in this block's buffer, which a later block reuses.
      CODEC_PUT_RUN(c, out);
      ++pe.decided;
    }
  }
  pe.index_prefault.stop();
}

}  // namespace cdedup
