// What the command line asked for, as a plain struct, and the usage errors
// found on the way.  Parsing touches no file and no library, so every rule
// here (the two forms, options against numbers) lives in one place.
//
// Two forms:
//   cdedup [options] MODE INPUT OUTPUT [CHUNKLEN [ENCMEM [DECMEM]]]
//   cdedup [options]            the filter form: standard input to standard
//                               output, when standard input is not a
//                               terminal or an option is given; encodes, or
//                               decodes with -d (what tar -I expects)
//   cdedup -t [options] [INPUT] decode and discard
#pragma once

#include <cstdint>
#include <string>

namespace cdedup::app {

struct Options {
  enum class Action { run, help, version };
  Action action = Action::run;

  int32_t mode = 0;           // CODEC_MODE_ENCODE, _DECODE or _UNIQUE
  bool filter_form = false;   // no operands were given
  bool test = false;          // decode and discard the output
  std::string input = "-";    // "-": standard input
  std::string output = "-";   // "-": standard output; unused with `test`
  int32_t params[3] = {100, 256, 1024};  // CHUNKLEN, ENCMEM, DECMEM as the codec takes them
  bool reference = false;     // the byte-at-a-time reference path
  bool zstd = false;          // wrap encoded output in a zstd frame (decoding ignores it)
  int zstd_level = 3;
  int threads = 0;            // after parsing, threads in all (resolve_threads): -T 0, the default, is one per online CPU
  bool verbose = false;       // -v: the filter form prints its report lines (on standard error)
  bool quiet = false;         // -q: no progress line either
};

struct ParsedCommandLine {
  Options options;
  std::string error;  // a usage error (status 1) when not empty
};

ParsedCommandLine parse_command_line(int argc, char** argv, bool stdin_is_terminal);

}  // namespace cdedup::app
