/*
 * Embedding the cdedup codec in a C program.  The codec is a state machine
 * that the caller drives: it asks for input and hands back full output
 * buffers, so the same pump serves files, pipes and memory.  Two uses:
 *
 *   embed e|u|d [CHUNKLEN [ENCMEM [DECMEM]]] < in > out   filter standard input
 *   embed check                                           round trip in memory
 *
 * The report lines go to standard error (standard output carries the data).
 */
#include <cdedup/cdedup.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define BLOCK 65536

/* Where the bytes come from (a count, *failed set on error) and go to (0 on failure). */
typedef size_t (*read_fn)(void *ctx, uint8_t *buf, size_t cap, int *failed);
typedef int (*write_fn)(void *ctx, const uint8_t *buf, size_t n);

static uint8_t in_block[BLOCK];
static uint8_t out_block[BLOCK];

/* One whole stream through a fresh codec on `threads` threads; 0 on success. */
static int pump(int32_t mode, const int32_t params[3], int32_t threads, FILE *report, read_fn rd, void *rctx,
                write_fn wr, void *wctx) {
  Codec *c = codec_create();
  if (c == NULL) {
    fputs("embed: out of memory\n", stderr);
    return 1;
  }
  codec_set_report(c, report);
  codec_set_threads(c, threads);
  if (codec_init(c, mode, params) != 0) {
    fprintf(stderr, "embed: %s\n", codec_message(c));
    codec_destroy(c);
    return 1;
  }
  codec_setbuf(c, out_block, BLOCK);
  int status = 0;
  for (;;) {
    const int32_t y = codec_run(c);
    if (y == CODEC_NEED_INPUT) {
      /* An encoder on threads offers room of its own to read into, sparing it a copy. */
      int32_t room = 0;
      uint8_t *space = codec_input_space(c, &room);
      uint8_t *buf = space != NULL ? space : in_block;
      int failed = 0;
      const size_t n = rd(rctx, buf, space != NULL ? (size_t)room : BLOCK, &failed);
      if (failed) {
        fputs("embed: read error\n", stderr);
        status = 1;
        break;
      }
      codec_setbuf(c, buf, (int32_t)n); /* n == 0 ends the input */
      continue;
    }
    if (!wr(wctx, out_block, (size_t)codec_outsize(c))) {
      fputs("embed: write error\n", stderr);
      status = 1;
      break;
    }
    if (y == CODEC_OUTPUT_FULL) {
      codec_setbuf(c, out_block, BLOCK);
      continue;
    }
    if (y == CODEC_ERROR) {
      fprintf(stderr, "embed: %s\n", codec_message(c));
      status = 1;
    }
    break;
  }
  if (status != 0) codec_set_report(c, NULL); /* no statistics for a broken stream */
  codec_finish(c);
  codec_destroy(c);
  return status;
}

/* ---- standard input and output */

static size_t read_file(void *ctx, uint8_t *buf, size_t cap, int *failed) {
  FILE *f = ctx;
  const size_t n = fread(buf, 1, cap, f);
  *failed = n < cap && ferror(f);
  return n;
}

static int write_file(void *ctx, const uint8_t *buf, size_t n) { return fwrite(buf, 1, n, (FILE *)ctx) == n; }

/* ---- memory */

typedef struct {
  const uint8_t *data;
  size_t size, pos;
} Source;

typedef struct {
  uint8_t *data;
  size_t size, cap;
} Sink;

static size_t read_memory(void *ctx, uint8_t *buf, size_t cap, int *failed) {
  Source *s = ctx;
  size_t n = s->size - s->pos;
  if (n > cap) n = cap;
  memcpy(buf, s->data + s->pos, n);
  s->pos += n;
  *failed = 0;
  return n;
}

static int write_memory(void *ctx, const uint8_t *buf, size_t n) {
  Sink *s = ctx;
  if (s->size + n > s->cap) {
    size_t cap = s->cap != 0 ? s->cap : BLOCK;
    while (cap < s->size + n) cap *= 2;
    uint8_t *p = realloc(s->data, cap);
    if (p == NULL) return 0;
    s->data = p;
    s->cap = cap;
  }
  if (n != 0) memcpy(s->data + s->size, buf, n);
  s->size += n;
  return 1;
}

/* A sample with repeats far apart: one random block, then the same block with
 * a few bytes changed, as two nights' backups of the same files. */
static uint8_t *make_sample(size_t half) {
  uint8_t *p = malloc(2 * half);
  if (p == NULL) return NULL;
  uint64_t x = 0x9E3779B97F4A7C15u;
  for (size_t i = 0; i < half; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    p[i] = (uint8_t)(x >> 24);
  }
  memcpy(p + half, p, half);
  for (size_t i = half + 4096; i < 2 * half; i += half / 8) p[i] ^= 0x5A;
  return p;
}

static int check(void) {
  const size_t half = (size_t)3 << 20;
  const int32_t params[3] = {100, 16, 64}; /* small tables: the sample is 6 MiB */
  uint8_t *sample = make_sample(half);
  if (sample == NULL) return 1;
  Source src = {sample, 2 * half, 0}, src4 = {sample, 2 * half, 0};
  Sink enc = {NULL, 0, 0}, enc4 = {NULL, 0, 0}, dec = {NULL, 0, 0};
  int status = pump(CODEC_MODE_ENCODE, params, 1, NULL, read_memory, &src, write_memory, &enc);
  /* Four threads write the same bytes. */
  if (status == 0) status = pump(CODEC_MODE_ENCODE, params, 4, NULL, read_memory, &src4, write_memory, &enc4);
  if (status == 0 && (enc4.size != enc.size || memcmp(enc4.data, enc.data, enc.size) != 0)) {
    fputs("embed: four threads encoded other bytes than one\n", stderr);
    status = 1;
  }
  if (status == 0) {
    Source again = {enc.data, enc.size, 0};
    status = pump(CODEC_MODE_DECODE, params, 1, NULL, read_memory, &again, write_memory, &dec);
  }
  if (status == 0 && (dec.size != 2 * half || memcmp(dec.data, sample, dec.size) != 0)) {
    fputs("embed: round trip differs from the input\n", stderr);
    status = 1;
  }
  /* The second half repeats the first but for 8 bytes: most of it must become references. */
  if (status == 0 && enc.size > half + half / 4) {
    fprintf(stderr, "embed: %zu bytes encoded to %zu, the repeat was not found\n", 2 * half, enc.size);
    status = 1;
  }
  if (status == 0) printf("round trip ok: %zu bytes, %zu encoded\n", 2 * half, enc.size);
  free(sample);
  free(enc.data);
  free(enc4.data);
  free(dec.data);
  return status;
}

int main(int argc, char **argv) {
  if (argc >= 2 && strcmp(argv[1], "check") == 0) return check();
  if (argc < 2 || argv[1][0] == '\0' || strchr("eud", argv[1][0]) == NULL) {
    fputs("usage: embed e|u|d [CHUNKLEN [ENCMEM [DECMEM]]] < in > out\n       embed check\n", stderr);
    return 1;
  }
  const int32_t mode = argv[1][0] == 'd' ? CODEC_MODE_DECODE : argv[1][0] == 'u' ? CODEC_MODE_UNIQUE : CODEC_MODE_ENCODE;
  int32_t params[3] = {100, 256, 1024};
  for (int i = 2; i < argc && i < 5; ++i) params[i - 2] = (int32_t)atoi(argv[i]);
  const int status = pump(mode, params, 1, stderr, read_file, stdin, write_file, stdout);
  if (fflush(stdout) != 0) {
    fputs("embed: write error\n", stderr);
    return 1;
  }
  return status;
}
