/*
 * cdedup: a streaming codec that replaces repeated content-defined chunks of a
 * byte stream by references, and turns such streams back into the original.
 *
 * The codec is a pull/push state machine driven by the caller:
 *
 *   Codec *c = codec_create();
 *   int32_t params[3] = {100, 256, 1024};        // chunk length, index MiB, window MiB
 *   if (!c || codec_init(c, CODEC_MODE_ENCODE, params) != 0) ... codec_message(c) ...
 *   codec_setbuf(c, out, sizeof out);            // first output buffer
 *   for (;;) {
 *     int32_t y = codec_run(c);
 *     if (y == CODEC_NEED_INPUT) { n = read(...); codec_setbuf(c, in, n); continue; }   // n == 0: end of input
 *     write(out, codec_outsize(c));
 *     if (y != CODEC_OUTPUT_FULL) break;         // CODEC_DONE, or CODEC_ERROR (see codec_message)
 *     codec_setbuf(c, out, sizeof out);
 *   }
 *   codec_finish(c);                             // statistics line
 *   codec_destroy(c);                            // everything released
 *
 * Every buffer is used in place and must stay valid (an input buffer also
 * unchanged) until the next codec_setbuf of the same kind.  Nothing is
 * allocated while a stream runs: the codec block and one large table (the
 * chunk index when encoding, the window when decoding) are all.  The table
 * stays with the instance after codec_finish, so that another stream
 * (codec_reset, or codec_init again) reuses it, cleared, when it needs the
 * same size; codec_destroy gives it back.
 *
 * A decoder whose output goes to a regular file can use that file as its
 * window instead of memory (codec_set_output_file): it then needs a few MiB
 * and its notes on where chunks start (1/64 of the window), however large
 * the window.
 *
 * Checked frames (codec_set_checked): the encoder wraps its stream in a frame
 * with a magic, an explicit end, the decoded size and an XXH3-64 checksum
 * (docs/format.md), so that a decoder refuses a stream that is cut short,
 * damaged, joined with other bytes or not a stream at all.  Every decoder
 * recognises and checks frames; frames written one after another decode to
 * their contents one after another.
 *
 * Patches (codec_set_reference_file): an encoder given a reference file
 * writes the new data as a patch against it, repeats of the reference
 * becoming references into it; a decoder given the same file applies the
 * patch.  Neither holds the reference in memory.
 */
#ifndef CDEDUP_CDEDUP_H
#define CDEDUP_CDEDUP_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Codec Codec;

/* Yield codes of codec_run. */
#define CODEC_DONE 0        /* stream complete; the output buffer holds its last codec_outsize bytes */
#define CODEC_NEED_INPUT 1  /* every input byte consumed; hand over the next input buffer (length 0: end) */
#define CODEC_OUTPUT_FULL 2 /* output buffer full; take its bytes and hand over an empty one */
#define CODEC_ERROR 3       /* the stream cannot go on; codec_message says why (codec_failure: what
                               kind of fault), the output buffer holds what was produced before it */
#define CODEC_FRAME_END 4   /* only for a decoder with codec_set_caller_hash: a checked frame's last
                               decoded byte is the last byte in the output buffer (which need not be
                               full); take its bytes, compare their hash with codec_frame_digest, and
                               hand over an output buffer as after CODEC_OUTPUT_FULL */

/* Modes of codec_init. */
#define CODEC_MODE_ENCODE 0 /* lossless encoder: repeats become references */
#define CODEC_MODE_DECODE 1 /* decoder */
#define CODEC_MODE_UNIQUE 2 /* unique chunks only: repeats are dropped, the output does not decode back */

/* Result of codec_init when it refuses its parameters or cannot allocate. */
#define CODEC_INIT_REFUSED 5

Codec *codec_create(void);
void codec_destroy(Codec *c);
/* params: chunk length parameter (1..65535), index MiB, window MiB; the decoder takes its
 * settings from the stream and ignores them.  0 on success.  An instance whose settings were
 * refused (or that was never given any) answers every codec_run with CODEC_ERROR, also after
 * codec_reset, until codec_init accepts settings. */
int32_t codec_init(Codec *c, int32_t mode, const int32_t params[3]);
/* Readies the instance for another stream with the same settings. */
void codec_reset(Codec *c);
/* Prints the statistics line of the stream. */
void codec_finish(Codec *c);
int32_t codec_run(Codec *c);
int32_t codec_outsize(Codec *c);
void codec_setbuf(Codec *c, uint8_t *buf, int32_t len);

/* Why codec_init refused or codec_run returned CODEC_ERROR; "" when nothing failed. */
const char *codec_message(const Codec *c);
/* Where the codec prints its configuration, parameter and statistics lines
 * (standard output unless set; NULL silences them). */
void codec_set_report(Codec *c, FILE *report);
/* Non-zero: run the byte-at-a-time reference path instead of the fast one (same output, for
 * benchmarks and cross-checks).  Set before the first codec_run of a stream. */
void codec_set_reference_path(Codec *c, int on);
/* Threads the lossless encoder (CODEC_MODE_ENCODE) may use, the caller's included: 1, the
 * default, does all the work inside codec_run on the caller's thread; 0 means one per online
 * CPU; at most 16 are used, however many are asked for (the decisions in order bound the
 * speed-up).  The output is the same byte for byte whatever the count.  With more than one,
 * input is copied into blocks of a few MiB (about 8 MiB a thread in all) that other threads cut
 * and fingerprint while the caller's thread decides and writes the blocks before them, so
 * output trails input by a few blocks.
 * Takes effect when a stream starts.  Mode u and the reference path use one thread; the decoder
 * decodes on the caller's, and uses a helper to claim its window's memory ahead of use, or, with
 * three or more, to read runs of a window kept in its output file (codec_set_output_file) ahead. */
void codec_set_threads(Codec *c, int32_t threads);
/* After CODEC_NEED_INPUT: memory of the codec's own into which the caller may read its next
 * input directly, up to *room bytes, then hand that pointer to codec_setbuf: the codec then
 * takes the bytes where they lie instead of copying them.  NULL (and *room 0) when the codec
 * has no such place, as with one thread; any other buffer works as always. */
uint8_t *codec_input_space(Codec *c, int32_t *room);

/* Decoding into a regular file: the decoder reads the bytes that references repeat back from
 * the file, instead of keeping the stream's window (up to 4 GiB) in memory.  `fd` reads that
 * file (it is duplicated; the caller keeps its own); `offset` is where in the file the stream's
 * first decoded byte goes.  The caller writes every byte codec_run hands back there, in order
 * and without gaps, and whenever it calls codec_run, all but the last `lag` bytes handed back
 * so far must be in the file (a caller that writes each buffer before the next codec_run has
 * a lag of 0; one that writes on another thread, the most it can have handed over and not yet
 * written).  Output buffers are then used up to the size of the stream's first one (at least
 * 64 KiB): a larger buffer is handed back as full at that size.
 *
 * Call it after codec_init or codec_reset, before the stream's first codec_run; it serves that
 * stream only.  0 when taken up; non-zero, and the window stays in memory, when `fd` is not a
 * regular file open for reading, the codec is not a decoder, a stream is under way, or `lag` is
 * 4 GiB or more (no window reaches that far back, so the file could serve nothing).  A
 * window of a few MiB or less, and the reference path, stay in memory anyway; the output is
 * the same byte for byte either way.  If the file cannot be read back (another process cut it
 * short), codec_run returns CODEC_ERROR and codec_output_failed says so. */
int32_t codec_set_output_file(Codec *c, int fd, int64_t offset, int64_t lag);
/* Non-zero once the stream being decoded reads its window back from the file of
 * codec_set_output_file: from the codec_run that read the stream's header on, before any of its
 * output is handed back.  A caller that watches the file for other writers (bytes read back
 * must be the ones written) needs to do so only then. */
int32_t codec_window_in_file(const Codec *c);
/* After CODEC_ERROR: non-zero when the fault lies with the output file of codec_set_output_file
 * (it could not be read back), not with the stream. */
int32_t codec_output_failed(const Codec *c);

/* Checked frames.  Non-zero `on`: an encoder (CODEC_MODE_ENCODE) writes its stream inside a
 * checked frame, and a decoder requires one: a bare stream, or anything else that does not begin
 * with a frame, is refused (codec_failure gives CODEC_FAIL_NOT_CHECKED).  Zero, the default: the
 * encoder writes the bare stream, and the decoder takes either, checking every frame it meets.
 * Kept by the instance from stream to stream; takes effect when a stream starts.  0 when taken;
 * CODEC_INIT_REFUSED while a stream runs, or for CODEC_MODE_UNIQUE, whose output does not decode
 * to its input (codec_init refuses that mode on an instance with the setting on). */
int32_t codec_set_checked(Codec *c, int32_t on);
/* Decoder: non-zero `on` leaves hashing the decoded bytes to the caller (on the thread that
 * writes them out, say), so that the codec's own thread does not: after each frame's last
 * decoded byte codec_run returns CODEC_FRAME_END, and codec_frame_digest gives what the caller's
 * XXH3-64 (seed 0) over the frame's decoded bytes must equal.  The codec still checks the size
 * and every block check.  A bare stream never yields CODEC_FRAME_END.  Kept by the instance;
 * takes effect when a stream starts.  0 when taken, CODEC_INIT_REFUSED while a stream runs. */
int32_t codec_set_caller_hash(Codec *c, int32_t on);
/* After CODEC_FRAME_END (or CODEC_DONE of a framed stream): the decoded size and XXH3-64 the
 * frame's trailer gives.  0 when there is such a frame, non-zero otherwise. */
int32_t codec_frame_digest(const Codec *c, uint64_t *size, uint64_t *hash);

/* Patches.  `fd` reads a regular file, the reference (it is duplicated; the caller keeps its
 * own): its bytes stand before the stream's own in the window, so that the stream's repeats of
 * them become references, and they are never written out.
 *   Encoder (CODEC_MODE_ENCODE only): the reference's chunks are filed in the index first, read
 *   from the file in blocks (on the encoder's threads when it has them) and hashed; the stream is
 *   then written in a checked frame whatever codec_set_checked says, its header naming the
 *   reference's size and XXH3-64.  The window must hold the whole reference: a larger one is
 *   refused here (codec_init afterwards refuses a window smaller than the reference).
 *   Decoder: before a frame's first byte of output, the reference's size and then its XXH3-64
 *   must be those the frame names (the hash is a pass over the file, once a stream); a frame
 *   that names none, a bare stream, or a wrong reference is refused with CODEC_FAIL_REFERENCE
 *   and a message that names the size and hash the frame needs.  A decoder given no reference
 *   refuses a patch the same way.  The bytes references repeat are read back from the file,
 *   whether the window is in memory or in the output file (codec_set_output_file).
 * Kept by the instance from stream to stream until replaced; `fd` < 0 forgets it.  Takes effect
 * when a stream starts.  0 when taken; CODEC_INIT_REFUSED (codec_message says why) when `fd` is
 * not a regular file open for reading, for CODEC_MODE_UNIQUE (codec_init refuses that mode on an
 * instance with a reference), for a reference larger than an encoder's window, or while a
 * stream runs.  A reference that changes while a patch is applied is caught by the frame's
 * checksum, or, cut short, when a read of it fails (CODEC_FAIL_REFERENCE). */
int32_t codec_set_reference_file(Codec *c, int fd);

/* What a CODEC_ERROR was about. */
#define CODEC_FAIL_NONE 0        /* no CODEC_ERROR */
#define CODEC_FAIL_STREAM 1      /* the input is damaged, cut short, followed by foreign bytes, or not a stream */
#define CODEC_FAIL_NOT_CHECKED 2 /* a bare stream (or other bytes) where codec_set_checked required a frame */
#define CODEC_FAIL_OUTPUT 3      /* the output file of codec_set_output_file could not be read back */
#define CODEC_FAIL_MEMORY 4      /* memory the stream needs (the decoder's window) could not be had: the
                                    stream may be sound.  codec_run returns CODEC_ERROR with this kind
                                    once the body's first bytes come, before any of the stream's output;
                                    codec_message names the window's size.  A decoder given its output
                                    file (codec_set_output_file) needs only 1/64 of the window. */
#define CODEC_FAIL_REFERENCE 5   /* a patch without its reference file (none given, or another), a
                                    reference given for what is not a patch, or a reference that
                                    could not be read */
#define CODEC_FAIL_SETTINGS 6    /* the instance has no accepted settings (codec_init refused them) */
int32_t codec_failure(const Codec *c);

/* The table of entry points through which a front end drives the codec. */
typedef struct CodecApi {
  Codec *(*codec_create)(void);
  void (*codec_destroy)(Codec *);
  int32_t (*codec_init)(Codec *, int32_t, const int32_t *);
  void (*codec_reset)(Codec *);
  void (*codec_finish)(Codec *);
  int32_t (*codec_run)(Codec *);
  int32_t (*codec_outsize)(Codec *);
  void (*codec_setbuf)(Codec *, uint8_t *, int32_t);
} CodecApi;

#ifdef __cplusplus
}
#endif

#endif /* CDEDUP_CDEDUP_H */
