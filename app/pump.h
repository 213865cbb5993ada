// Drives one codec from a Source to a Sink, led by the codec's yield codes.
#pragma once

#include <cdedup/cdedup.h>

#include <functional>
#include <string>

#include "app/byte_stream.h"
#include "app/progress.h"

namespace cdedup::app {

// Runs the stream to its end and closes `out`.  Returns an exit status; a
// failure has been reported on standard error in one line (two only when the
// output also fails to close after a failure), and everything the codec
// produced before it has gone to `out`.  A failing input counts as the end
// of the stream for the codec.  `input_name` is the input as messages show it.
// A decoder that leaves the checksum to the caller (codec_set_caller_hash)
// has each frame's end passed on to `out` (Sink::end_frame), which must
// check it.
struct PumpHooks {
  // Called once, before the first output is written, if the decoder reads
  // its window back from its output file.
  std::function<void()> on_window_in_file;
  // What the line says when the decoder's window cannot be had: the way out.
  std::string window_advice;
  // What the line adds when the input is not a checked stream and one is required.
  std::string not_checked_advice;
  // What the line adds when a patch lacks its reference file, or a reference is not the patch's,
  // and the status then: the stream's fault when decoding, a failed read when encoding.
  std::string reference_advice;
  int reference_status = 7;
};
int pump(const CodecApi& api, Codec* codec, Source& in, Sink& out, Progress& progress, const std::string& input_name,
         const PumpHooks& hooks = {});

// "cdedup: " and the line on standard error.
[[gnu::format(printf, 1, 2)]] void complain(const char* fmt, ...);

}  // namespace cdedup::app
