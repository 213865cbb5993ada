// Exit statuses of the cdedup command; the README and the man page list them.
#pragma once

namespace cdedup::app {

enum ExitStatus : int {
  EXIT_OK = 0,
  EXIT_USAGE = 1,          // a usage error: missing arguments, an unknown option or a bad option value
  EXIT_INPUT_OPEN = 2,     // the input cannot be opened
  EXIT_OUTPUT_OPEN = 3,    // the output cannot be opened (or is a terminal for encoded data)
  EXIT_NO_CODEC = 4,       // the codec instance cannot be allocated
  EXIT_REFUSED = 5,        // parameters refused, or the chunk index cannot be allocated
  EXIT_IO = 6,             // a read or write error during the stream
  EXIT_BAD_STREAM = 7,     // the encoded stream cannot be decoded, or its zstd frame is damaged
};

}  // namespace cdedup::app
