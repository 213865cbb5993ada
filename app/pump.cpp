// The codec works on blocks lent in place, so the pump itself neither
// allocates nor copies: a source that reads ahead lends its own blocks (or
// fills the pump's static 64 KiB input block), and a sink that writes
// behind lends the blocks the codec fills (or takes the pump's static
// output block as it is).
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

int pump(const CodecApi& api, Codec* codec, Source& in, Sink& out, Progress& progress, const std::string& input_name,
         const PumpHooks& hooks) {
  // A failing input ends the stream where it fails: the codec is told so and
  // finishes, so every byte read before the fault is encoded or decoded and
  // written (a zstd frame ended and all) before the failure is reported.
  StreamError in_fault;
  int32_t y;
  bool window_in_file = false;
  // The output block: the sink's own when it lends them, else ours.
  const bool lent = out.lends_buffers();
  uint8_t* obuf = out_block;
  size_t ocap = BLOCK;
  auto next_output = [&] {
    if (lent) obuf = out.borrow(ocap);
    if (obuf == nullptr) return false;
    api.codec_setbuf(codec, obuf, int32_t(ocap));
    return true;
  };
  auto output_failed = [&] {
    progress.clear();
    complain("%s", out.error().message.c_str());
    return out.error().status;
  };
  if (!next_output()) return output_failed();
  for (;;) {
    y = api.codec_run(codec);
    if (y == CODEC_NEED_INPUT) {
      size_t n = 0;
      const uint8_t* data = in_block;
      if (!in_fault.failed()) {
        // Straight into the codec's own block when it has one to offer.
        int32_t room = 0;
        if (uint8_t* space = codec_input_space(codec, &room); space != nullptr && room > 0) {
          n = in.read(space, size_t(room));
          data = space;
        } else {
          n = in.lend(data, in_block, BLOCK);
        }
        if (n == 0 && in.error().failed()) in_fault = in.error();
      }
      progress.update(in.file_bytes(), out.file_bytes());
      // The codec only reads its input block.
      api.codec_setbuf(codec, const_cast<uint8_t*>(data), int32_t(n));
      continue;
    }
    // The decoder decides on its window when it reads the header, before any output.
    if (hooks.on_window_in_file && !window_in_file && codec_window_in_file(codec)) {
      window_in_file = true;
      hooks.on_window_in_file();
    }
    const size_t n = size_t(api.codec_outsize(codec));
    if (!(lent ? out.give_back(obuf, n) : out.write(obuf, n))) return output_failed();
    if (y == CODEC_FRAME_END) {
      // The frame's last bytes are out; the sink checks them against its checksum.
      uint64_t size = 0, digest = 0;
      codec_frame_digest(codec, &size, &digest);
      if (!out.end_frame(size, digest)) return output_failed();
    } else if (y != CODEC_OUTPUT_FULL) {
      break;
    }
    if (!next_output()) return output_failed();
  }
  progress.clear();
  const bool closed = out.close();
  progress.finish(in.file_bytes(), out.file_bytes());
  if (!closed) complain("%s", out.error().message.c_str());
  // The input's own failure is the cause of whatever the codec made of its
  // end; an interrupted read is the output's failure seen from the input.
  if (in_fault.failed()) {
    if (closed || !in_fault.interrupted) complain("%s", in_fault.message.c_str());
    return closed ? in_fault.status : EXIT_IO;
  }
  if (y == CODEC_ERROR) {
    // The output file could not be read back: the output's fault, not the
    // stream's, and already reported if the output found it too.
    if (codec_output_failed(codec)) {
      if (closed) complain("%s", codec_message(codec));
      return EXIT_IO;
    }
    // The window the stream asks for cannot be had: the stream is sound, and
    // there is a way to decode it that needs far less memory.
    if (codec_failure(codec) == CODEC_FAIL_MEMORY) {
      complain("%s: %s; %s", input_name.c_str(), codec_message(codec), hooks.window_advice.c_str());
      return closed ? EXIT_REFUSED : EXIT_IO;
    }
    const std::string& advice = codec_failure(codec) == CODEC_FAIL_NOT_CHECKED ? hooks.not_checked_advice
                                : codec_failure(codec) == CODEC_FAIL_REFERENCE ? hooks.reference_advice
                                                                               : std::string();
    complain("%s: %s%s%s", input_name.c_str(), codec_message(codec), advice.empty() ? "" : "; ", advice.c_str());
    if (!closed) return EXIT_IO;
    // Settings refused as the stream started (a patch's reference grew past the window meanwhile).
    if (codec_failure(codec) == CODEC_FAIL_SETTINGS) return EXIT_REFUSED;
    return codec_failure(codec) == CODEC_FAIL_REFERENCE ? hooks.reference_status : EXIT_BAD_STREAM;
  }
  return closed ? EXIT_OK : out.error().status;
}

}  // namespace cdedup::app
