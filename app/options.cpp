// Hand-rolled rather than getopt_long: the form a command line takes
// depends on its first operand (a mode word starts the positional form,
// after which "-100" is a number, not an option; anything else starts a
// list of files, among which options may stand), messages keep the wording
// the command has always had, and the filter form depends on what was given
// as a whole.
#include "app/options.h"

#include <cdedup/cdedup.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/thread_pool.h"

namespace cdedup::app {

namespace {

// What a named option accepts.  Named options are strict: a value that is
// not a whole number in its range is a usage error that names the option and
// the range, so that a typing slip cannot become an archive without repeats.
// (The positional numbers keep their old permissive reading: scripts may
// rely on it.)
struct Range {
  long lo, hi;
};
// A chunk length is carried in 16 bits; ENCMEM and DECMEM become byte counts
// of at most 4095 MiB; DECMEM 0 keeps no window, a legitimate choice.
constexpr Range SETTING_RANGES[3] = {{1, 65535}, {1, 4095}, {0, 4095}};
// zstd's levels; the -# flags stop at 19, as zstd's own do without --ultra.
constexpr Range ZSTD_LEVELS = {1, 22}, LEVEL_FLAGS = {1, 19};
// More than any machine this runs on could use (the encoder uses 16).
constexpr Range THREADS = {0, 256};
// --long: the largest window the header can carry, and the index that goes
// with a window unless ENCMEM is given (a quarter of it keeps the index about
// half full of a window's chunks, 164 bytes each at 20 bytes a slot).
constexpr int LONG_WINDOW_MAX = 4095, LONG_INDEX_MIN = 256;
constexpr Range LONG_WINDOWS = {1, LONG_WINDOW_MAX};

const char* const SETTING_NAMES[3] = {"CHUNKLEN", "ENCMEM", "DECMEM"};
const char* const SETTING_OPTIONS[3] = {"--chunklen", "--encmem", "--decmem"};

// A setting as the positional numbers have always read: one leading '-' is
// skipped and the rest goes to atoi, so text that is not a number is 0 (and
// refused where 0 is refused).
int32_t setting_value(const char* s) {
  if (*s == '-') ++s;
  return atoi(s);
}

// A whole decimal number in the range, or false.  Digits only, an optional
// '+' or '-' before them: strtol's leading blanks are not taken.
bool strict_number(const char* s, Range r, int* out) {
  const char* digits = *s == '+' || *s == '-' ? s + 1 : s;
  if (*digits < '0' || *digits > '9') return false;
  char* end = nullptr;
  errno = 0;
  const long v = strtol(s, &end, 10);
  if (errno != 0 || *end != '\0' || v < r.lo || v > r.hi) return false;
  *out = int(v);
  return true;
}

class Parser {
 public:
  Parser(int argc, char** argv) : argc_(argc), argv_(argv) {}

  ParsedCommandLine run(bool stdin_is_terminal) {
    int i = 1;
    bool options_ended = false;
    while (i < argc_ && ok()) {
      const char* a = argv_[i];
      if (a[0] != '-' || a[1] == '\0') break;  // an operand; "-" is one too
      ++i;
      if (strcmp(a, "--") == 0) {
        options_ended = true;
        break;
      }
      option(a, i);
    }
    if (!ok()) return r_;
    Options& o = r_.options;
    if (test_ || list_) {
      o.form = list_ ? Options::Form::list : Options::Form::test;
      files(i, options_ended);
    } else if (i < argc_ && is_mode_word(argv_[i]) && !file_option_) {
      positional(i);
    } else if (i < argc_ || file_option_) {
      // With no names, -c, -o and the rest still ask for the file form: of standard input.
      o.form = Options::Form::files;
      files(i, options_ended);
      if (o.files.empty()) o.files.push_back("-");
    } else if (any_option_ || !stdin_is_terminal) {
      o.form = Options::Form::filter;
    } else {
      r_.error = "missing arguments: give FILE..., or MODE INPUT OUTPUT, or standard input";
    }
    if (!ok()) return r_;
    if (o.form != Options::Form::positional)
      o.mode = decode_ || test_ || list_ ? CODEC_MODE_DECODE : CODEC_MODE_ENCODE;
    check_file_options();
    if (ok() && long_window_ != 0) apply_long_window();
    if (ok() && !o.patch_from.empty()) check_patch_options();
    o.window_given = setting_given_[2] || long_window_ != 0;
    o.index_given = setting_given_[1] || long_window_ != 0;
    return r_;
  }

 private:
  bool ok() const { return r_.error.empty() && r_.options.action == Options::Action::run; }

  // The value of an option that takes one: after '=' or in the next argument.
  const char* value_of(const char* opt, const char* inline_value, int& i) {
    if (inline_value != nullptr) return inline_value;
    if (i < argc_) return argv_[i++];
    r_.error = std::string("option '") + opt + "' needs a value";
    return nullptr;
  }

  void option(const char* a, int& i) {
    any_option_ = true;
    if (a[1] == '-')
      long_option(a, i);
    else
      short_options(a, i);
  }

  void long_option(const char* a, int& i) {
    Options& o = r_.options;
    const char* eq = strchr(a, '=');
    const std::string name = eq != nullptr ? std::string(a, size_t(eq - a)) : std::string(a);
    const char* inline_value = eq != nullptr ? eq + 1 : nullptr;
    auto flag = [&](bool& target) {
      if (inline_value != nullptr) {
        r_.error = "option '" + name + "' takes no value";
        return;
      }
      target = true;
    };
    // Options that only the file form has: with one of them, every operand is a file.
    auto file_flag = [&](bool& target) {
      flag(target);
      file_option_ = true;
    };
    if (name == "--help") {
      o.action = Options::Action::help;
    } else if (name == "--version") {
      o.action = Options::Action::version;
    } else if (name == "--reference") {
      flag(o.reference);
    } else if (name == "--decode" || name == "--decompress") {
      flag(decode_);
    } else if (name == "--test") {
      flag(test_);
    } else if (name == "--list") {
      flag(list_);
    } else if (name == "--bare") {
      flag(o.bare);
    } else if (name == "--verbose") {
      flag(o.verbose);
    } else if (name == "--quiet") {
      flag(o.quiet);
    } else if (name == "--progress") {
      flag(o.progress);
    } else if (name == "--stdout") {
      file_flag(o.to_stdout);
    } else if (name == "--force") {
      file_flag(o.force);
    } else if (name == "--keep") {
      file_flag(keep_);
    } else if (name == "--rm") {
      file_flag(o.remove_input);
    } else if (name == "--patch-from") {
      if (const char* v = value_of(a, inline_value, i)) {
        o.patch_from = v;
        if (*v == '\0') r_.error = "option '--patch-from' needs a file name";
      }
    } else if (name == "--output") {
      if (const char* v = value_of(a, inline_value, i)) output_name(v);
    } else if (name == "--zstd") {
      o.zstd = true;
      if (inline_value != nullptr) number(name, inline_value, ZSTD_LEVELS, o.zstd_level);
    } else if (name == "--threads") {
      if (const char* v = value_of(a, inline_value, i)) number(name, v, THREADS, o.threads);
    } else if (name == "--long") {
      // The value is optional, so it comes only after '='.
      long_window_ = LONG_WINDOW_MAX;
      if (inline_value != nullptr) number(name, inline_value, LONG_WINDOWS, long_window_);
    } else {
      for (int k = 0; k < 3; ++k)
        if (name == SETTING_OPTIONS[k]) {
          if (const char* v = value_of(a, inline_value, i)) {
            int value = 0;
            number(name, v, SETTING_RANGES[k], value);
            r_.options.params[k] = value;
            setting_given_[k] = true;
          }
          return;
        }
      r_.error = std::string("unknown option '") + a + "'";
    }
  }

  // Short options may be grouped ("-dz"); -T and -o take the rest of their
  // group or the next argument.
  void short_options(const char* a, int& i) {
    Options& o = r_.options;
    for (const char* p = a + 1; *p != '\0' && r_.error.empty(); ++p) {
      switch (*p) {
        case 'h':
          o.action = Options::Action::help;
          return;
        case 'V':
          o.action = Options::Action::version;
          return;
        case 'd':
          decode_ = true;
          break;
        case 't':
          test_ = true;
          break;
        case 'l':
          list_ = true;
          break;
        case 'z':
          o.zstd = true;
          break;
        case 'v':
          o.verbose = true;
          break;
        case 'q':
          o.quiet = true;
          break;
        case 'c':
          o.to_stdout = file_option_ = true;
          break;
        case 'f':
          o.force = file_option_ = true;
          break;
        case 'k':
          keep_ = file_option_ = true;
          break;
        case 'o':
          if (const char* v = value_of("-o", p[1] != '\0' ? p + 1 : nullptr, i)) output_name(v);
          return;
        case 'T':
          if (const char* v = value_of("-T", p[1] != '\0' ? p + 1 : nullptr, i)) number("-T", v, THREADS, o.threads);
          return;
        case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
          p = level_flag(p);
          break;
        default: {
          // g++ 12 warns falsely (-Wrestrict) on "-" + std::string, so the name is appended piece by piece.
          std::string opt(a, size_t(p == a + 1 ? strlen(a) : 0));
          if (opt.empty()) opt.append(1, '-').append(1, *p);
          r_.error = "unknown option '" + opt + "'";
          return;
        }
      }
    }
  }

  // A named option's value into `target`, or a usage error that names both.
  void number(const std::string& option, const char* v, Range range, int& target) {
    if (!strict_number(v, range, &target))
      r_.error = "option '" + option + "' takes a whole number from " + std::to_string(range.lo) + " to " +
                 std::to_string(range.hi) + ", not '" + v + "'";
  }

  // -1 .. -19 as the compressors users know take them: the zstd level, and
  // -z with it.  The digits may stand in a group of short options ("-d9",
  // "-9T2"); returns the last digit, where the group goes on.
  const char* level_flag(const char* p) {
    const char* end = p;
    while (end[1] >= '0' && end[1] <= '9') ++end;
    const std::string digits(p, size_t(end - p + 1));
    int level = 0;
    if (!strict_number(digits.c_str(), LEVEL_FLAGS, &level)) {
      r_.error = "level flag '-" + digits + "' is not from -1 to -19 (levels 20 to 22: --zstd=LEVEL)";
      return end;
    }
    r_.options.zstd = true;
    r_.options.zstd_level = level;
    return end;
  }

  void output_name(const char* v) {
    file_option_ = true;
    if (*v == '\0')
      r_.error = "option '-o' needs a file name";
    else
      r_.options.output_name = v;
  }

  // After the operands, which may give ENCMEM or DECMEM as numbers.
  void apply_long_window() {
    int32_t* params = r_.options.params;
    if (setting_given_[2]) {
      r_.error = "the window is given twice: by --long and by DECMEM (or --decmem)";
      return;
    }
    params[2] = long_window_;
    if (!setting_given_[1]) params[1] = std::max(LONG_INDEX_MIN, (long_window_ + 3) / 4);
  }

  // MODE INPUT OUTPUT [CHUNKLEN [ENCMEM [DECMEM]]]: nothing after MODE is an option.
  void positional(int first) {
    Options& o = r_.options;
    const int n = argc_ - first;
    char** args = argv_ + first;
    if (n < 3) {
      r_.error = "missing arguments: MODE, INPUT and OUTPUT are required";
      return;
    }
    if (decode_) {
      r_.error = "-d goes without MODE: use 'cdedup d INPUT OUTPUT', or 'cdedup -d FILE...'";
      return;
    }
    o.form = Options::Form::positional;
    const int letter = static_cast<unsigned char>(args[0][0]);
    o.mode = letter == 'd' ? CODEC_MODE_DECODE : letter == 'u' ? CODEC_MODE_UNIQUE : CODEC_MODE_ENCODE;
    o.input = args[1];
    o.output = args[2];
    const int numbers = n - 3 < 3 ? n - 3 : 3;
    for (int k = 0; k < numbers; ++k) {
      if (setting_given_[k]) {
        r_.error = std::string(SETTING_NAMES[k]) + " is given twice: as a number and as " + SETTING_OPTIONS[k];
        return;
      }
      o.params[k] = setting_value(args[3 + k]);
      setting_given_[k] = true;
    }
  }

  // File names, with options among them until "--".
  void files(int i, bool options_ended) {
    while (i < argc_ && ok()) {
      const char* a = argv_[i++];
      if (!options_ended && a[0] == '-' && a[1] != '\0') {
        if (strcmp(a, "--") == 0)
          options_ended = true;
        else
          option(a, i);
        continue;
      }
      r_.options.files.push_back(a);
    }
  }

  // What the file form's options ask must make sense together.
  void check_file_options() {
    const Options& o = r_.options;
    if (test_ && list_) {
      r_.error = "-t decodes and -l only reads the frames: give one of them";
    } else if (o.form == Options::Form::test || o.form == Options::Form::list) {
      if (o.to_stdout || !o.output_name.empty() || o.remove_input)
        r_.error = std::string(list_ ? "-l" : "-t") + " writes nothing: -c, -o and --rm go without it";
    } else if (o.to_stdout && o.remove_input) {
      r_.error = "--rm removes an input once its output file is in place, and -c writes no file: give one of them";
    } else if (o.to_stdout && !o.output_name.empty()) {
      r_.error = "-c and -o both name the output: give one of them";
    } else if (!o.output_name.empty() && o.files.size() > 1) {
      r_.error = "-o names the output of one input, and " + std::to_string(o.files.size()) + " are given";
    }
  }

  // A patch is a checked frame of mode e, against a file.
  void check_patch_options() {
    const Options& o = r_.options;
    if (o.form == Options::Form::positional)
      r_.error = "--patch-from goes with the filter and file forms: the positional form writes the bare stream, "
                 "which cannot name a reference";
    else if (o.form == Options::Form::list)
      r_.error = "-l reads no reference: --patch-from goes without it";
    else if (o.bare)
      r_.error = "--patch-from writes and reads checked frames: --bare goes without it";
    else if (o.patch_from == "-")
      r_.error = "--patch-from needs the name of a regular file, not standard input";
  }

  int argc_;
  char** argv_;
  ParsedCommandLine r_;
  bool any_option_ = false;
  bool decode_ = false;
  bool test_ = false;
  bool list_ = false;
  bool file_option_ = false;  // -c, -o, -f, -k or --rm: the operands are files, whatever they are called
  bool keep_ = false;         // -k: inputs are kept anyway
  bool setting_given_[3] = {false, false, false};  // as an option or as a number
  int long_window_ = 0;                            // --long's MiB; 0: not given
};

}  // namespace

bool is_mode_word(const char* s) {
  static const char* const WORDS[] = {"e", "u", "d", "D", "encode", "decode", "unique", ""};
  for (const char* w : WORDS)
    if (strcmp(s, w) == 0) return true;
  return false;
}

ParsedCommandLine parse_command_line(int argc, char** argv, bool stdin_is_terminal) {
  ParsedCommandLine r = Parser(argc, argv).run(stdin_is_terminal);
  r.options.threads = int(resolve_threads(r.options.threads));
  return r;
}

}  // namespace cdedup::app
