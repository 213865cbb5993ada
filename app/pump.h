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
// `on_window_in_file` is called once, before the first output is written,
// if the decoder reads its window back from its output file.
int pump(const CodecApi& api, Codec* codec, Source& in, Sink& out, Progress& progress, const std::string& input_name,
         const std::function<void()>& on_window_in_file = {});

// "cdedup: " and the line on standard error.
[[gnu::format(printf, 1, 2)]] void complain(const char* fmt, ...);

}  // namespace cdedup::app
