// The codec instance: one zero-filled, page-aligned block that holds every
// piece of a run's state, the suspended coroutine frame included, so a stream
// runs without touching the heap.  Only the chunk index (encoding) and the
// window (decoding) live outside it, in large blocks of their own; or, when
// the decoder's output is a file, the few buffers that read it back.
#pragma once

#include <cdedup/cdedup.h>

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "codec/frame_layer.h"
#include "dedup/boundary_scan.h"
#include "dedup/chunk_check.h"
#include "dedup/chunk_index.h"
#include "dedup/chunker.h"
#include "dedup/fingerprint.h"

namespace cdedup {

struct FileWindow;
struct ParallelEncoder;
struct ReferenceFile;
class Prefault;

inline constexpr size_t CODEC_ALIGN = 4096;
inline constexpr size_t FRAME_ARENA_BYTES = 8192;
inline constexpr size_t CHUNK_BUF_BYTES = 69632;
inline constexpr size_t MESSAGE_BYTES = 256;

// Scratch of the fast paths for one span of input: where its chunks end,
// and their bytes and keys, kept here so that a batch survives the body's
// suspensions while its chunks are written out.
struct SplitBatch {
  uint64_t bits[SPLIT_BITMAP_WORDS];       // candidates of the input span
  uint32_t ends[SPLIT_ENDS_MAX];
  uint32_t lens[SPLIT_ENDS_MAX];
  const uint8_t* starts[SPLIT_ENDS_MAX];
  ChunkKey keys[SPLIT_ENDS_MAX];
};

}  // namespace cdedup

struct Codec {
  // ---- Coroutine and buffers ----
  int32_t state;  // last yield code; 0 idle or done
  const uint8_t* in_cur;
  const uint8_t* in_start;
  const uint8_t* in_end;
  uint8_t* out_cur;
  uint8_t* out_start;
  uint8_t* out_end;
  int32_t in_eof;
  uint8_t* in_space;  // while waiting for input: where the codec would copy it (codec_input_space)
  size_t in_room;
  std::coroutine_handle<> body;  // the suspended body, its frame in frame_arena
  bool frame_in_use;
  alignas(64) unsigned char frame_arena[cdedup::FRAME_ARENA_BYTES];

  // ---- Chunk index ----
  cdedup::ChunkIndex index;  // cfg_tblsize, encmem_bytes, cfg_decwinsize, ... htbl

  // ---- Parameters and statistics ----
  int32_t cfg_chunklen;
  uint64_t total_bytes;  // sum of chunk lengths
  uint64_t stream_base;  // window bytes before the stream's first: a patch's reference, else 0
  uint64_t chunk_count;  // chunks, the final one included
  uint32_t stream_pos;
  uint8_t* decwin;
  uint32_t decwin_pos;
  uint64_t decwin_written;  // bytes the window may hold from streams before (what the next wipe clears)
  uint32_t decwin_first;    // the slot those bytes start at
  uint64_t decwin_lead;     // bytes put in the window before the stream's first decoded byte
  uint8_t* decwin_notes;  // fast decoder: per 64 window bytes, where a chunk starts in them (see decoder.cpp)
  uint32_t decwin_notes_clear;  // the first block ahead of the write index whose note is not forgotten yet
  cdedup::Prefault* window_prefault;  // with threads: the window's first touch ahead of the decoder
  cdedup::FileWindow* file_window;  // the output file to read the window back from (codec_set_output_file)
  bool decwin_in_file;  // this stream's window is that file, not decwin

  // ---- Chunker, fold block, key ----
  cdedup::Chunker chunker;
  cdedup::FoldBlock fold_block;
  cdedup::ChunkKey chunk_key;

  // ---- Chunk bytes ----
  uint32_t chunk_buf_len;
  alignas(64) uint8_t chunk_buf[cdedup::CHUNK_BUF_BYTES];
  cdedup::SplitBatch batch;
  cdedup::CheckKey check_key;  // the lossless encoder's per-run content-check key

  // ---- Mode and reporting ----
  int32_t mode;        // CODEC_MODE_ENCODE, CODEC_MODE_DECODE or CODEC_MODE_UNIQUE
  bool configured;     // codec_init accepted the settings; a body never runs without them
  FILE* report;        // where the three lines go; null for none
  bool reference_path; // run the byte-at-a-time bodies that the fast paths are checked against
  bool index_used;     // the chunk index holds entries of an earlier stream
  int32_t threads;     // threads the lossless encoder may use, as asked (0: one per CPU)
  cdedup::ParallelEncoder* parallel;  // its threads and buffers, made when a stream first needs them
  char message[cdedup::MESSAGE_BYTES];

  // ---- Checked frame ----
  bool checked;      // codec_set_checked: the encoder writes a frame, the decoder requires one
  bool caller_hash;  // codec_set_caller_hash: the decoder's caller hashes what it decodes
  int32_t failure;   // what the last CODEC_ERROR was about (CODEC_FAIL_*); 0: the stream's fault
  cdedup::StreamHash* input_hash;  // the frame's checksum, when the parallel encoder's pool takes the input in
  cdedup::FrameLayer framing;  // the writer or reader of a checked frame (frame_layer.h)

  // ---- Patch ----
  cdedup::ReferenceFile* ref_file;  // codec_set_reference_file: the reference, kept from stream to stream
};

namespace cdedup {

// The three lines, on the codec's report stream.
void codec_report(Codec& c, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Records why the codec stopped; the text codec_message returns.
void codec_set_message(Codec& c, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

inline bool codec_is_decoder(const Codec& c) { return c.mode == CODEC_MODE_DECODE; }

// Gives back the decoder's window and its chunk-start table, if any.
void codec_release_window(Codec& c);

// Makes the body for the codec's mode in place of any other; false, with the
// message set and the stream failed, when it cannot be had.
bool codec_start_body(Codec& c);
// Runs the body until it next yields; its yield, or CODEC_DONE once it has ended.
int32_t codec_resume_body(Codec& c);
// The stream stops here: message already set; `kind` is a CODEC_FAIL_* constant.
int32_t codec_stop(Codec& c, int32_t kind);

}  // namespace cdedup
