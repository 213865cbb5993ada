// The two 64 KiB blocks are static and lent to the codec in place, so the
// pump itself neither allocates nor copies; a Source fills the input block
// directly and a Sink takes the output block as it is.
#include "app/pump.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "app/exit_status.h"

namespace cdedup::app {

namespace {

constexpr int32_t BLOCK = 65536;
alignas(64) uint8_t in_block[BLOCK];
alignas(64) uint8_t out_block[BLOCK];

}  // namespace

void complain(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("cdedup: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
}

int pump(const CodecApi& api, Codec* codec, Source& in, Sink& out, Progress& progress, const std::string& input_name) {
  // A failing input ends the stream where it fails: the codec is told so and
  // finishes, so every byte read before the fault is encoded or decoded and
  // written (a zstd frame ended and all) before the failure is reported.
  StreamError in_fault;
  int32_t y;
  api.codec_setbuf(codec, out_block, BLOCK);
  for (;;) {
    y = api.codec_run(codec);
    if (y == CODEC_NEED_INPUT) {
      size_t n = 0;
      if (!in_fault.failed()) {
        n = in.read(in_block, BLOCK);
        if (n == 0 && in.error().failed()) in_fault = in.error();
      }
      progress.update(in.file_bytes(), out.file_bytes());
      api.codec_setbuf(codec, in_block, int32_t(n));
      continue;
    }
    if (!out.write(out_block, size_t(api.codec_outsize(codec)))) {
      progress.clear();
      complain("%s", out.error().message.c_str());
      return out.error().status;
    }
    if (y != CODEC_OUTPUT_FULL) break;
    api.codec_setbuf(codec, out_block, BLOCK);
  }
  progress.clear();
  const bool closed = out.close();
  if (!closed) complain("%s", out.error().message.c_str());
  // The input's own failure is the cause of whatever the codec made of its end.
  if (in_fault.failed()) {
    complain("%s", in_fault.message.c_str());
    return closed ? in_fault.status : EXIT_IO;
  }
  if (y == CODEC_ERROR) {
    complain("%s: %s", input_name.c_str(), codec_message(codec));
    return closed ? EXIT_BAD_STREAM : EXIT_IO;
  }
  return closed ? EXIT_OK : out.error().status;
}

}  // namespace cdedup::app
