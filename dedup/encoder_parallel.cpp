// The lossless encoder on several threads.
//
// Input is copied into blocks of a few MiB, each split into segments of
// 512 KiB.  Cutting, fingerprints and content checks (about three quarters
// of the work) run on the pool, a task per segment; index probes, decisions
// and output stay in stream order on the codec's own thread, because each
// decision depends on every one before it.  While that thread decides one
// block, the pool cuts the next two, and the codec's thread runs queued
// segments itself whenever it would otherwise wait.
//
// Where a segment's chunks start is not known until the segment before it
// has been cut, so a worker guesses: it starts a chain of chunks at its
// segment's first byte, as if a chunk began there.  A chunk's end depends
// only on its own bytes from its start on, so two chains that ever share a
// chunk start agree from there on, and chains from nearby starts meet within
// a chunk or two on real data (the first window past the 64-byte minimum
// that hashes low ends both).  The codec's thread follows the true chain:
// it cuts chunks itself from where the previous segment left off until it
// lands on a start of the worker's chain, then takes the worker's chunks
// with their keys.  Chains may never meet (every chunk at the 64-byte
// minimum, or at the 65535-byte cap, as in a run of zeros); then the codec's
// thread cuts the whole segment itself: slower, still exact.
//
// The rejected alternative marks every window that hashes low first (a
// bitmap per segment, no guessing) and then picks chunk ends in one cheap
// pass.  It always works in parallel, but it hashes the 63 windows after
// every boundary that the forward search skips, about 40% more hashing at
// the default chunk length, which costs more than the few chunks the
// guessing recuts.
//
// A chunk may straddle two blocks, so each block's buffer starts with a copy
// of the 64 KiB of input before it: the chunk is then whole in the later
// block, and no block waits for the one before it to be settled.
#include "dedup/encoder_parallel.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>

#include <unistd.h>

#include "codec/large_block.h"
#include "codec/prefault.h"
#include "codec/thread_pool.h"
#include "dedup/boundary_scan.h"
#include "dedup/chunk_check.h"
#include "dedup/chunk_index.h"
#include "dedup/encoder.h"
#include "dedup/fingerprint_lanes.h"

namespace cdedup {

namespace {

// Input before a block that its buffer repeats: at least the longest chunk.
constexpr size_t PREFIX = 65536;
constexpr size_t DEFAULT_SEGMENT = size_t{512} << 10;
// Segments a block has per thread: enough that threads finishing unevenly
// still find work.
constexpr unsigned SEGMENTS_PER_THREAD = 4;
// Blocks in flight: one being decided while the pool cuts the next two.
constexpr unsigned RING = 3;
// Chunks fingerprinted per call (their pointers and lengths on the stack).
constexpr size_t FINGERPRINT_GROUP = 256;
// How far ahead of the decisions the index slots are asked for.
constexpr size_t PREFETCH_AHEAD = 16;

struct Segment {
  PoolTask task;
  const uint8_t* buf = nullptr;
  uint32_t from = 0, stop = 0, data_end = 0;
  uint32_t threshold = 0;
  const CheckKey* check_key = nullptr;
  uint32_t count = 0;        // chunks of the worker's chain
  uint32_t* ends = nullptr;  // their ends, as offsets into buf
  ChunkKey* keys = nullptr;  // their filed keys

  uint32_t start_of(uint32_t i) const { return i == 0 ? from : ends[i - 1]; }
};

struct Block {
  uint8_t* buf = nullptr;  // PREFIX bytes of the input before the block, then its own
  size_t fill = 0;         // the block's own bytes
  unsigned segments = 0;   // segments handed to the pool
  Segment* seg = nullptr;
  uint32_t data_end() const { return static_cast<uint32_t>(PREFIX + fill); }
};

// Fills in each chunk's filed key: fingerprint in lanes, then content check.
void file_chain(const uint8_t* buf, uint32_t from, const uint32_t* ends, size_t count, const CheckKey& ck,
                ChunkKey* keys) {
  const uint8_t* starts[FINGERPRINT_GROUP];
  uint32_t lens[FINGERPRINT_GROUP];
  for (size_t g = 0; g < count; g += FINGERPRINT_GROUP) {
    const size_t m = std::min(FINGERPRINT_GROUP, count - g);
    for (size_t i = 0; i < m; ++i) {
      const uint32_t start = g + i == 0 ? from : ends[g + i - 1];
      starts[i] = buf + start;
      lens[i] = ends[g + i] - start;
    }
    fingerprint_chunks(starts, lens, m, keys + g);
    for (size_t i = 0; i < m; ++i) keys[g + i] = checked_key(keys[g + i], chunk_check(ck, starts[i], lens[i]));
  }
}

// A pool task: one segment's speculative chain and its keys.
void cut_segment(void* arg) {
  Segment& s = *static_cast<Segment*>(arg);
  s.count = static_cast<uint32_t>(cut_chain(s.threshold, s.buf, s.from, s.stop, s.data_end, s.ends));
  file_chain(s.buf, s.from, s.ends, s.count, *s.check_key, s.keys);
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
  size_t segment_chunks = 0;  // room for a segment's chain
  void* memory = nullptr;     // the blocks, then every segment's ends, then keys
  size_t memory_bytes = 0;
  Segment* segments = nullptr;
  Block ring[RING];

  // One stream's progress.
  uint64_t sealed = 0, decided = 0;
  // The true chain: where the next chunk starts, in the oldest undecided
  // block's buffer.
  uint32_t chain = 0;
  // Walking the oldest block's segments.
  unsigned seg_at = 0;
  uint32_t chunk_at = 0;
  bool adopted = false;

  ~ParallelEncoder() {
    index_prefault.stop();
    pool.stop();
    large_block_free(memory, memory_bytes);
    delete[] segments;
  }
};

unsigned resolve_threads(int32_t requested) {
  if (requested == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 1 ? static_cast<unsigned>(std::min<long>(online, 1024)) : 1;
  }
  return requested > 1 ? static_cast<unsigned>(std::min<int32_t>(requested, 1024)) : 1;
}

bool parallel_encoder_set_shape(ParallelEncoder* pe, size_t segment_bytes, unsigned segments) {
  if (segment_bytes == 0 || segments == 0 || segment_bytes > (size_t{64} << 20) || segments > 4096) return false;
  const size_t block_bytes = segment_bytes * segments;
  if (PREFIX + block_bytes > (size_t{1} << 30)) return false;
  // A worker's chain may run a chunk past its segment's end.
  const size_t chunks = (segment_bytes + CHUNK_MAX_LEN + 63) / 64;
  const size_t buf_bytes = (PREFIX + block_bytes + 4095) & ~size_t{4095};
  const size_t per_block = segments * chunks;
  const size_t bytes = RING * (buf_bytes + per_block * (sizeof(uint32_t) + sizeof(ChunkKey)));
  void* memory = large_block_alloc(bytes);
  Segment* segs = new (std::nothrow) Segment[size_t{RING} * segments];
  if (memory == nullptr || segs == nullptr) {
    large_block_free(memory, bytes);
    delete[] segs;
    return false;
  }
  pe->pool.drain();
  large_block_free(pe->memory, pe->memory_bytes);
  delete[] pe->segments;
  pe->memory = memory;
  pe->memory_bytes = bytes;
  pe->segments = segs;
  pe->segment_bytes = segment_bytes;
  pe->segments_per_block = segments;
  pe->block_bytes = block_bytes;
  pe->segment_chunks = chunks;

  uint8_t* p = static_cast<uint8_t*>(memory);
  for (unsigned r = 0; r < RING; ++r, p += buf_bytes) pe->ring[r].buf = p;
  auto* ends = reinterpret_cast<uint32_t*>(p);
  auto* keys = reinterpret_cast<ChunkKey*>(ends + RING * per_block);
  for (unsigned r = 0; r < RING; ++r) {
    pe->ring[r].seg = segs + r * segments;
    for (unsigned k = 0; k < segments; ++k) {
      Segment& s = pe->ring[r].seg[k];
      s.ends = ends + (size_t{r} * segments + k) * chunks;
      s.keys = keys + (size_t{r} * segments + k) * chunks;
      s.task.run = cut_segment;
      s.task.arg = &s;
    }
  }
  return true;
}

ParallelEncoder* parallel_encoder_create(unsigned threads) {
  if (threads < 2) return nullptr;
  auto* pe = new (std::nothrow) ParallelEncoder;
  if (pe == nullptr) return nullptr;
  pe->threads = threads;
  if (!parallel_encoder_set_shape(pe, DEFAULT_SEGMENT, SEGMENTS_PER_THREAD * threads)) {
    delete pe;
    return nullptr;
  }
  if (pe->pool.start(threads - 1, size_t{RING} * pe->segments_per_block) == 0) {
    delete pe;
    return nullptr;
  }
  return pe;
}

void parallel_encoder_destroy(ParallelEncoder* pe) { delete pe; }

bool parallel_encoder_prepare(Codec& c) {
  const unsigned threads = resolve_threads(c.threads);
  if (c.parallel != nullptr && c.parallel->threads == threads) return true;
  parallel_encoder_destroy(c.parallel);
  c.parallel = threads > 1 ? parallel_encoder_create(threads) : nullptr;
  return c.parallel != nullptr;
}

void parallel_encoder_quiesce(ParallelEncoder* pe) {
  pe->index_prefault.stop();
  pe->pool.drain();
}

unsigned parallel_encoder_threads(const ParallelEncoder* pe) { return pe->threads; }

// ---------------------------------------------------------------------------
// Blocks through the ring
// ---------------------------------------------------------------------------

namespace {

Block& block_of(ParallelEncoder& pe, uint64_t seq) { return pe.ring[seq % RING]; }

void begin_stream(ParallelEncoder& pe, const Codec& c) {
  pe.pool.drain();  // a stream given up midway may have left work queued
  pe.index_prefault.start(c.index.htbl, size_t{c.index.cfg_tblsize} * INDEX_SLOT_BYTES);
  pe.sealed = pe.decided = 0;
  pe.chain = PREFIX;
  pe.seg_at = 0;
  pe.chunk_at = 0;
  pe.adopted = false;
}

// The next block to fill, its prefix copied from the block before it.
Block& open_block(ParallelEncoder& pe) {
  Block& b = block_of(pe, pe.sealed);
  if (pe.sealed > 0) {
    const Block& prev = block_of(pe, pe.sealed - 1);
    std::memcpy(b.buf, prev.buf + prev.fill, PREFIX);
  }
  b.fill = 0;
  b.segments = 0;
  return b;
}

void seal_block(ParallelEncoder& pe, Block& b, const Codec& c) {
  const uint32_t end = b.data_end();
  for (size_t from = PREFIX; from < end; from += pe.segment_bytes) {
    Segment& s = b.seg[b.segments++];
    s.buf = b.buf;
    s.from = static_cast<uint32_t>(from);
    s.stop = static_cast<uint32_t>(std::min<size_t>(from + pe.segment_bytes, end));
    s.data_end = end;
    s.threshold = c.chunker.chunk_threshold;
    s.check_key = &c.check_key;
    s.count = 0;
    pe.pool.submit(s.task);
  }
  ++pe.sealed;
}

struct TrueChunk {
  const uint8_t* p;
  uint32_t len;
  ChunkKey key;
};

// Cuts the chunk that starts at the true chain itself; false when no
// chunk starting there ends within the block.
bool cut_here(ParallelEncoder& pe, const Block& b, const Codec& c, TrueChunk& out) {
  uint32_t end;
  if (cut_chain(c.chunker.chunk_threshold, b.buf, pe.chain, pe.chain + 1, b.data_end(), &end) == 0) return false;
  out.p = b.buf + pe.chain;
  out.len = end - pe.chain;
  file_chain(b.buf, pe.chain, &end, 1, c.check_key, &out.key);
  pe.chain = end;
  return true;
}

// The next chunk of the oldest block in stream order, with its filed key;
// false once the block holds no further whole chunk.
bool next_chunk(ParallelEncoder& pe, const Codec& c, TrueChunk& out) {
  const Block& b = block_of(pe, pe.decided);
  while (pe.seg_at < b.segments) {
    Segment& s = b.seg[pe.seg_at];
    pe.pool.wait(s.task);
    if (pe.adopted) {
      if (pe.chunk_at < s.count) {
        const uint32_t i = pe.chunk_at++;
        if (i + PREFETCH_AHEAD < s.count) index_prefetch(c.index, s.keys[i + PREFETCH_AHEAD].bytes, 1, 0);
        out.p = b.buf + s.start_of(i);
        out.len = s.ends[i] - s.start_of(i);
        out.key = s.keys[i];
        pe.chain = s.ends[i];
        return true;
      }
      ++pe.seg_at;
      pe.chunk_at = 0;
      pe.adopted = false;
      continue;
    }
    uint32_t& i = pe.chunk_at;
    while (i < s.count && s.start_of(i) < pe.chain) ++i;
    if (i == s.count) {  // the true chain is past this worker's chain
      ++pe.seg_at;
      i = 0;
      continue;
    }
    if (s.start_of(i) == pe.chain) {
      pe.adopted = true;
      const size_t ahead = std::min<size_t>(PREFETCH_AHEAD, s.count - i);
      index_prefetch(c.index, s.keys[i].bytes, ahead, sizeof(ChunkKey));
      continue;
    }
    // A worker chunk starts further on and ends within the block, so the
    // chunk from the true chain ends within it too.
    return cut_here(pe, b, c, out);
  }
  return cut_here(pe, b, c, out);
}

// The block is decided: the next one's chain starts where this one's
// unfinished chunk began, which its prefix holds.
void retire_block(ParallelEncoder& pe) {
  const Block& b = block_of(pe, pe.decided);
  pe.chain -= static_cast<uint32_t>(b.fill);
  ++pe.decided;
  pe.seg_at = 0;
  pe.chunk_at = 0;
  pe.adopted = false;
}

}  // namespace

// ---------------------------------------------------------------------------
// The body
// ---------------------------------------------------------------------------

BodyTask encoder_body_parallel(Codec& c) {
  uint8_t header[4];
  encoder_open_stream(c, header);
  CODEC_PUT_SPAN(c, header, sizeof header);

  ParallelEncoder& pe = *c.parallel;
  begin_stream(pe, c);
  RefState rs;
  bool eof = false;
  while (!eof) {
    Block* b = &open_block(pe);
    while (b->fill < pe.block_bytes) {
      if (!co_await need_input(c)) {
        eof = true;
        break;
      }
      const size_t k = std::min(static_cast<size_t>(c.in_end - c.in_cur), pe.block_bytes - b->fill);
      std::memcpy(b->buf + PREFIX + b->fill, c.in_cur, k);
      b->fill += k;
      c.in_cur += k;
    }
    seal_block(pe, *b, c);

    // Decide the oldest block once the ring is full, and every block at the end.
    while (pe.sealed - pe.decided == RING || (eof && pe.sealed > pe.decided)) {
      TrueChunk ch;
      // Chunks written as their own bytes lie end to end in the block, so a
      // run of them goes out in one piece.
      const uint8_t* run = nullptr;
      size_t run_len = 0;
      while (next_chunk(pe, c, ch)) {
        const ChunkPlan plan = plan_chunk(c, rs, ch.key, ch.len, ch.p);
        if (plan.esc_len != 0 || !plan.emit_chunk || ch.p != run + run_len) {
          CODEC_PUT_SPAN(c, run, run_len);
          CODEC_PUT_SPAN(c, plan.esc, plan.esc_len);
          run = ch.p;
          run_len = 0;
        }
        if (plan.emit_chunk) run_len += ch.len;
        index_sweep(c.index, c.stream_pos, ch.len);
      }
      CODEC_PUT_SPAN(c, run, run_len);

      if (eof && pe.sealed - pe.decided == 1) {
        // The final chunk: what is left since the last boundary, possibly nothing.
        const Block& last = block_of(pe, pe.decided);
        const uint8_t* p = last.buf + pe.chain;
        const uint32_t len = last.data_end() - pe.chain;
        fingerprint_chunks(&p, &len, 1, &ch.key);
        const ChunkPlan plan = plan_chunk(c, rs, filed_key(c, ch.key, p, len), len, p);
        CODEC_PUT_SPAN(c, plan.esc, plan.esc_len);
        if (plan.emit_chunk) CODEC_PUT_SPAN(c, p, len);
      }
      retire_block(pe);
    }
  }
  pe.index_prefault.stop();
}

}  // namespace cdedup
