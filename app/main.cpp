// The cdedup command: wiring only.  The command line is parsed into
// Options, the ends are opened, the codec is set up, the zstd stage and the
// threads that read ahead and write behind are stacked on the ends, and the
// pump runs one codec between them; each step is a function of its own that
// reports its failure and gives its exit status.
#include <cdedup/cdedup.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/exit_status.h"
#include "app/file_stream.h"
#include "app/options.h"
#include "app/progress.h"
#include "app/pump.h"
#include "app/read_ahead.h"
#include "app/usage.h"
#include "app/write_behind.h"
#include "app/zstd_stage.h"

using namespace cdedup::app;

namespace {

const CodecApi api = {codec_create, codec_destroy, codec_init,    codec_reset,
                     codec_finish, codec_run,     codec_outsize, codec_setbuf};

// With more than one thread, reading and writing run in blocks of a MiB
// lent in place, a few blocks ahead of the codec and behind it.
constexpr size_t IO_BLOCKS = 4, IO_BLOCK_BYTES = size_t{1} << 20;

// The codec of one run; on a failure it is released without its statistics line.
struct CodecHandle {
  Codec* codec = api.codec_create();
  ~CodecHandle() { api.codec_destroy(codec); }
  // Prints the statistics line and releases the codec.
  void finish() {
    api.codec_finish(codec);
    api.codec_destroy(codec);
    codec = nullptr;
  }
};

// Where the bytes come from and go to, as the stages below stack up.
struct Ends {
  std::unique_ptr<Source> in;
  std::unique_ptr<Sink> out;
  uint64_t input_size = 0;      // of a regular file, else 0
  bool data_on_stdout = false;  // then the report lines go to standard error
  FileSink* out_file = nullptr;  // the output, when it is a file or standard output
};

// Prints a failure of an end or a stage; its exit status.
int reported(const StreamError& err) {
  complain("%s", err.message.c_str());
  return err.status;
}

// Opens the input and the output (none for --test); 0, or the status of a
// failure already reported.
int open_ends(const Options& o, Ends& ends) {
  StreamError err;
  std::unique_ptr<FileSource> in = open_source(o.input, err);
  if (in == nullptr) {
    return reported(err);
  }
  ends.input_size = in->regular_size();
  ends.in = std::move(in);
  if (o.test) {
    ends.out = std::make_unique<DiscardSink>();
    return EXIT_OK;
  }
  if (is_stdio_name(o.output) && o.mode != CODEC_MODE_DECODE && isatty(STDOUT_FILENO)) {
    complain("refusing to write encoded data to a terminal (redirect it, or name an output file)");
    return EXIT_OUTPUT_OPEN;
  }
  std::unique_ptr<FileSink> out = open_sink(o.output, err);
  if (out == nullptr) {
    return reported(err);
  }
  ends.data_on_stdout = out->is_stdout();
  ends.out_file = out.get();
  ends.out = std::move(out);
  return EXIT_OK;
}

// Where the report lines go, if anywhere.  The filter form is silent on
// success, as compressors are in a pipeline or under tar -I; -v asks for the
// lines, on standard error beside the data.  The positional form and -t
// print them as they always have, on standard error when the data goes to
// standard output, so that it stays clean.
FILE* report_stream(const Options& o, const Ends& ends) {
  if (o.filter_form && !o.test) return o.verbose ? stderr : nullptr;
  return ends.data_on_stdout ? stderr : stdout;
}

// The codec as the options ask; 0, or the status of a refusal already reported.
int set_up_codec(const Options& o, Codec* c, FILE* report) {
  codec_set_report(c, report);
  codec_set_reference_path(c, o.reference);
  codec_set_threads(c, o.threads);
  if (api.codec_init(c, o.mode, o.params) != 0) {
    complain("%s", codec_message(c));
    return EXIT_REFUSED;
  }
  return EXIT_OK;
}

// Decoding into a regular file, the decoder reads its window back from the
// file instead of keeping it in memory.  It may ask only for what the writing
// thread is sure to have written, so it keeps the blocks that may be in
// flight in memory (with one thread as well: near references stay in memory
// that way).  A file that cannot be read back keeps the window in memory.
void name_output_file(const Options& o, Codec* c, const Ends& ends) {
  if (o.mode != CODEC_MODE_DECODE || ends.out_file == nullptr || o.reference) return;
  const FileSink::ReadBack back = ends.out_file->open_read_back();
  if (back.fd >= 0)
    codec_set_output_file(c, back.fd, static_cast<int64_t>(back.offset), static_cast<int64_t>(IO_BLOCKS * IO_BLOCK_BYTES));
}

// The zstd stage on the side that needs it: a decoder unwraps a frame by
// itself, an encoder with -z writes one.
int add_zstd_stage(const Options& o, const std::string& input_name, Ends& ends) {
  if (o.mode == CODEC_MODE_DECODE) {
    bool framed = false;
    ends.in = make_zstd_unwrap_source(std::move(ends.in), input_name, framed);
  } else if (o.zstd) {
    StreamError err;
    ends.out = make_zstd_sink(std::move(ends.out), o.zstd_level, o.threads, err);
    if (ends.out == nullptr) {
      return reported(err);
    }
  }
  return EXIT_OK;
}

// With more than one thread, reading (and unwrapping a zstd frame) runs
// ahead of the codec and writing (and compressing) behind it, each on a
// thread of its own.
void add_io_threads(const Options& o, Ends& ends) {
  if (o.threads <= 1) return;
  // The encoder on threads reads straight into its own blocks (the pump
  // asks it for room), so a read-ahead would only add a copy; decoding,
  // and unwrapping a zstd frame, read ahead.
  if (o.mode == CODEC_MODE_DECODE || o.mode == CODEC_MODE_UNIQUE || o.reference)
    ends.in = make_read_ahead(std::move(ends.in), IO_BLOCKS, IO_BLOCK_BYTES);
  if (!o.test) ends.out = make_write_behind(std::move(ends.out), IO_BLOCKS, IO_BLOCK_BYTES, ends.in->interrupter());
}

// The report lines are output too: losing them is not a success.
int check_report(FILE* report) {
  if (report == stdout && (fflush(stdout) != 0 || ferror(stdout))) {
    complain("cannot write the report to standard output: %s", strerror(errno != 0 ? errno : EIO));
    return EXIT_IO;
  }
  return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  const ParsedCommandLine parsed = parse_command_line(argc, argv, isatty(STDIN_FILENO) != 0);
  if (!parsed.error.empty()) {
    complain("%s", parsed.error.c_str());
    print_short_usage(stderr);
    return EXIT_USAGE;
  }
  const Options& o = parsed.options;
  if (o.action == Options::Action::help) {
    print_help(stdout);
    return EXIT_OK;
  }
  if (o.action == Options::Action::version) {
    print_version(stdout);
    return EXIT_OK;
  }

  Ends ends;
  if (const int status = open_ends(o, ends); status != EXIT_OK) return status;
  CodecHandle h;
  if (h.codec == nullptr) {
    complain("cannot allocate the codec: out of memory");
    return EXIT_NO_CODEC;
  }
  FILE* const report = report_stream(o, ends);
  if (const int status = set_up_codec(o, h.codec, report); status != EXIT_OK) return status;
  name_output_file(o, h.codec, ends);
  const std::string input_name = display_name(o.input, true);
  if (const int status = add_zstd_stage(o, input_name, ends); status != EXIT_OK) return status;
  add_io_threads(o, ends);

  Progress progress(o.quiet ? nullptr : stderr, ends.input_size);
  if (const int status = pump(api, h.codec, *ends.in, *ends.out, progress, input_name); status != EXIT_OK)
    return status;
  h.finish();
  return check_report(report);
}
