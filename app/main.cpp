// The cdedup command: parses the command line, opens the files and pumps
// 64 KiB blocks through one codec, driven by the codec's yield codes.  The
// two blocks are static and lent to the codec in place, so the pump itself
// neither allocates nor copies.
#include <cdedup/cdedup.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/exit_status.h"
#include "app/progress.h"
#include "app/usage.h"

using namespace cdedup::app;

namespace {

constexpr int32_t BLOCK = 65536;

CodecApi api;
int32_t params[3] = {100, 256, 1024};
alignas(64) uint8_t in_block[BLOCK];
alignas(64) uint8_t out_block[BLOCK];

void fill_api() {
  api.codec_create = codec_create;
  api.codec_destroy = codec_destroy;
  api.codec_init = codec_init;
  api.codec_reset = codec_reset;
  api.codec_finish = codec_finish;
  api.codec_run = codec_run;
  api.codec_outsize = codec_outsize;
  api.codec_setbuf = codec_setbuf;
}

[[gnu::format(printf, 1, 2)]] void complain(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("cdedup: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
}

bool is_stdio_name(const char* name) { return name[0] == '-' && name[1] == '\0'; }

const char* display_name(const char* name, bool input) {
  if (!is_stdio_name(name)) return name;
  return input ? "(standard input)" : "(standard output)";
}

uint64_t regular_file_size(FILE* f) {
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode)) return uint64_t(st.st_size);
  return 0;
}

struct Run {
  FILE* in = nullptr;
  FILE* out = nullptr;
  const char* in_name = nullptr;
  const char* out_name = nullptr;
  Codec* codec = nullptr;
};

// Closes the output and reports a failure there (a full disk often shows only here).
bool close_output(Run& r) {
  FILE* out = r.out;
  r.out = nullptr;
  const bool flushed = fflush(out) == 0;
  const int flush_errno = errno;
  const bool closed = (out == stdout) ? true : fclose(out) == 0;
  if (!flushed || !closed) {
    complain("cannot write %s: %s", display_name(r.out_name, false), strerror(flushed ? errno : flush_errno));
    return false;
  }
  return true;
}

// Releases what the run holds after a failure; the codec prints nothing more.
int give_up(Run& r, int status) {
  if (r.codec != nullptr) {
    codec_set_report(r.codec, nullptr);
    api.codec_finish(r.codec);
    api.codec_destroy(r.codec);
  }
  if (r.in != nullptr && r.in != stdin) fclose(r.in);
  if (r.out != nullptr) {
    if (r.out == stdout)
      fflush(stdout);
    else
      fclose(r.out);
  }
  return status;
}

bool write_block(Run& r, int32_t n) {
  if (n <= 0) return true;
  if (fwrite(out_block, 1, size_t(n), r.out) != size_t(n)) {
    complain("cannot write %s: %s", display_name(r.out_name, false), strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  fill_api();

  // Options come before the mode; "--" ends them.
  bool reference = false;
  int32_t threads = 0;
  int first = 1;
  while (first < argc && argv[first][0] == '-' && argv[first][1] != '\0') {
    const char* opt = argv[first];
    if (strcmp(opt, "-h") == 0 || strcmp(opt, "--help") == 0) {
      print_help(stdout);
      return EXIT_OK;
    }
    if (strcmp(opt, "-V") == 0 || strcmp(opt, "--version") == 0) {
      print_version(stdout);
      return EXIT_OK;
    }
    if (strcmp(opt, "--reference") == 0) {
      reference = true;
      ++first;
      continue;
    }
    if (strncmp(opt, "--threads=", 10) == 0) {
      threads = atoi(opt + 10);
      ++first;
      continue;
    }
    if (strncmp(opt, "-T", 2) == 0 && opt[2] != '\0') {
      threads = atoi(opt + 2);
      ++first;
      continue;
    }
    if (strcmp(opt, "-T") == 0 && first + 1 < argc) {
      threads = atoi(argv[first + 1]);
      first += 2;
      continue;
    }
    if (strcmp(opt, "--") == 0) {
      ++first;
      break;
    }
    complain("unknown option '%s'", opt);
    print_short_usage(stderr);
    return EXIT_USAGE;
  }
  const int nargs = argc - first;
  if (nargs < 3) {
    complain("missing arguments: MODE, INPUT and OUTPUT are required");
    print_short_usage(stderr);
    return EXIT_USAGE;
  }
  char** args = argv + first;

  Run r;
  r.in_name = args[1];
  r.out_name = args[2];
  const int mode_letter = static_cast<unsigned char>(args[0][0]);
  const int32_t mode = mode_letter == 'd' ? CODEC_MODE_DECODE : mode_letter == 'u' ? CODEC_MODE_UNIQUE : CODEC_MODE_ENCODE;

  if (is_stdio_name(r.in_name)) {
    r.in = stdin;
  } else if ((r.in = fopen(r.in_name, "rb")) == nullptr) {
    complain("cannot open %s: %s", r.in_name, strerror(errno));
    return EXIT_INPUT_OPEN;
  }
  if (is_stdio_name(r.out_name)) {
    if (mode != CODEC_MODE_DECODE && isatty(STDOUT_FILENO)) {
      complain("refusing to write encoded data to a terminal (redirect it, or name an output file)");
      return give_up(r, EXIT_OUTPUT_OPEN);
    }
    r.out = stdout;
  } else if ((r.out = fopen(r.out_name, "wb")) == nullptr) {
    complain("cannot open %s: %s", r.out_name, strerror(errno));
    return give_up(r, EXIT_OUTPUT_OPEN);
  }

  // Up to three numbers; one leading '-' is skipped, the rest goes to atoi.
  const int nnum = nargs - 3 < 3 ? nargs - 3 : 3;
  for (int i = 0; i < nnum; ++i) {
    const char* s = args[3 + i];
    if (*s == '-') ++s;
    params[i] = atoi(s);
  }

  r.codec = api.codec_create();
  if (r.codec == nullptr) {
    complain("cannot allocate the codec: out of memory");
    return give_up(r, EXIT_NO_CODEC);
  }
  // Data on standard output keeps it clean: the report lines go to standard error.
  FILE* const report = r.out == stdout ? stderr : stdout;
  codec_set_report(r.codec, report);
  codec_set_reference_path(r.codec, reference);
  codec_set_threads(r.codec, threads);
  if (api.codec_init(r.codec, mode, params) != 0) {
    complain("%s", codec_message(r.codec));
    return give_up(r, EXIT_REFUSED);
  }
  api.codec_setbuf(r.codec, out_block, BLOCK);

  Progress progress(stderr, regular_file_size(r.in));
  uint64_t bytes_read = 0, bytes_written = 0;
  for (;;) {
    const int32_t y = api.codec_run(r.codec);
    if (y == CODEC_NEED_INPUT) {
      const size_t n = fread(in_block, 1, BLOCK, r.in);
      if (n < size_t(BLOCK) && ferror(r.in)) {
        progress.clear();
        complain("cannot read %s: %s", display_name(r.in_name, true), strerror(errno));
        // What was produced before the fault still reaches the output.
        write_block(r, api.codec_outsize(r.codec));
        return give_up(r, EXIT_IO);
      }
      bytes_read += n;
      progress.update(bytes_read, bytes_written);
      api.codec_setbuf(r.codec, in_block, int32_t(n));
      continue;
    }
    const int32_t n = api.codec_outsize(r.codec);
    if (!write_block(r, n)) {
      progress.clear();
      return give_up(r, EXIT_IO);
    }
    bytes_written += uint64_t(n);
    if (y == CODEC_OUTPUT_FULL) {
      api.codec_setbuf(r.codec, out_block, BLOCK);
      continue;
    }
    progress.clear();
    if (y == CODEC_ERROR) {
      const bool ok = close_output(r);
      complain("%s: %s", display_name(r.in_name, true), codec_message(r.codec));
      return give_up(r, ok ? EXIT_BAD_STREAM : EXIT_IO);
    }
    break;
  }

  if (!close_output(r)) return give_up(r, EXIT_IO);
  api.codec_finish(r.codec);
  api.codec_destroy(r.codec);
  r.codec = nullptr;
  if (r.in != stdin) fclose(r.in);
  // The report lines are output too: losing them is not a success.
  if (report == stdout && (fflush(stdout) != 0 || ferror(stdout))) {
    complain("cannot write the report to standard output: %s", strerror(errno != 0 ? errno : EIO));
    return EXIT_IO;
  }
  return EXIT_OK;
}
