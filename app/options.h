// What the command line asked for, as a plain struct, and the usage errors
// found on the way.  Parsing touches no file and no library, so every rule
// here (which form, options against numbers) lives in one place.
//
// Four forms:
//   cdedup [options] FILE...    file operands: FILE to FILE.cdd (FILE.cdz
//                               with -z), or back with -d, as zstd takes them
//   cdedup [options]            the filter form: standard input to standard
//                               output, when standard input is not a
//                               terminal or an option is given; encodes, or
//                               decodes with -d (what tar -I expects)
//   cdedup -t [options] [FILE...]   decode and discard
//   cdedup -l [options] [FILE...]   what the files hold, without decoding
//   cdedup [options] MODE INPUT OUTPUT [CHUNKLEN [ENCMEM [DECMEM]]]
//                               the positional form, taken only when MODE is
//                               a mode word (e, u, d, D, encode, decode,
//                               unique, or empty) and no option of the file
//                               form was given; any other first operand
//                               starts a list of files
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cdedup::app {

struct Options {
  enum class Action { run, help, version };
  Action action = Action::run;
  enum class Form { filter, positional, files, test, list };
  Form form = Form::filter;

  int32_t mode = 0;           // CODEC_MODE_ENCODE, _DECODE or _UNIQUE
  // The positional form's INPUT and OUTPUT ("-": standard input / output).
  std::string input = "-";
  std::string output = "-";
  // The file form's and -t's operands ("-": standard input).
  std::vector<std::string> files;
  int32_t params[3] = {100, 256, 1024};  // CHUNKLEN, ENCMEM, DECMEM as the codec takes them
  bool reference = false;     // the byte-at-a-time reference path
  // The filter and file forms and -t write and read checked frames; --bare
  // writes the bare stream and reads either.  (The positional form writes
  // the bare stream and reads either, always.)
  bool bare = false;
  bool zstd = false;          // wrap encoded output in a zstd frame (decoding ignores it)
  int zstd_level = 3;
  int threads = 0;            // after parsing, threads in all (resolve_threads): -T 0, the default, is one per online CPU
  bool verbose = false;       // -v: the report lines (on standard error)
  bool quiet = false;         // -q: no progress line either
  bool progress = false;      // --progress: progress lines whatever standard error is (wins over -q)

  // The file form.
  bool to_stdout = false;     // -c: every output to standard output
  std::string output_name;    // -o: the output of the one input
  bool force = false;         // -f: replace an existing output
  bool remove_input = false;  // --rm: remove each input once its output is complete

  // --patch-from=REF: encode against REF, or decode with it (app/patch_reference.h).
  std::string patch_from;
  bool window_given = false;  // --decmem, DECMEM or --long: the window is not sized to REF
  bool index_given = false;   // --encmem, ENCMEM or --long: nor the index
};

struct ParsedCommandLine {
  Options options;
  std::string error;  // a usage error (status 1) when not empty
};

ParsedCommandLine parse_command_line(int argc, char** argv, bool stdin_is_terminal);

// The words that select the positional form's modes.
bool is_mode_word(const char* s);

}  // namespace cdedup::app
