// The cdedup command: wiring only.  The command line is parsed into
// Options, the files are opened, the zstd stage is stacked on the side that
// needs it, and the pump runs one codec between the two ends.
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

// The codec of one run; on a failure it is released without its statistics line.
struct CodecHandle {
  Codec* codec = api.codec_create();
  ~CodecHandle() {
    if (codec == nullptr) return;
    codec_set_report(codec, nullptr);
    api.codec_finish(codec);
    api.codec_destroy(codec);
  }
  // Prints the statistics line and releases the codec.
  void finish() {
    api.codec_finish(codec);
    api.codec_destroy(codec);
    codec = nullptr;
  }
};

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
  const bool decoding = o.mode == CODEC_MODE_DECODE;

  StreamError err;
  std::unique_ptr<FileSource> file_in = open_source(o.input, err);
  if (file_in == nullptr) {
    complain("%s", err.message.c_str());
    return err.status;
  }
  const uint64_t input_size = file_in->regular_size();
  std::unique_ptr<Sink> out;
  FileSink* out_file = nullptr;  // the output, when it is a file or standard output
  bool data_on_stdout = false;
  if (o.test) {
    out = std::make_unique<DiscardSink>();
  } else {
    if (is_stdio_name(o.output) && !decoding && isatty(STDOUT_FILENO)) {
      complain("refusing to write encoded data to a terminal (redirect it, or name an output file)");
      return EXIT_OUTPUT_OPEN;
    }
    std::unique_ptr<FileSink> file_out = open_sink(o.output, err);
    if (file_out == nullptr) {
      complain("%s", err.message.c_str());
      return err.status;
    }
    data_on_stdout = file_out->is_stdout();
    out_file = file_out.get();
    out = std::move(file_out);
  }

  CodecHandle h;
  if (h.codec == nullptr) {
    complain("cannot allocate the codec: out of memory");
    return EXIT_NO_CODEC;
  }
  // Data on standard output keeps it clean: the report lines go to standard error.
  FILE* const report = data_on_stdout ? stderr : stdout;
  codec_set_report(h.codec, report);
  codec_set_reference_path(h.codec, o.reference);
  codec_set_threads(h.codec, o.threads);
  if (api.codec_init(h.codec, o.mode, o.params) != 0) {
    complain("%s", codec_message(h.codec));
    return EXIT_REFUSED;
  }

  const std::string input_name = display_name(o.input, true);
  std::unique_ptr<Source> in = std::move(file_in);
  // With more than one thread, reading (and unwrapping a zstd frame) runs
  // ahead of the codec and writing (and compressing) behind it, each on a
  // thread of its own, in blocks of a MiB lent in place.
  const bool io_threads = o.threads > 1;
  constexpr size_t IO_BLOCKS = 4, IO_BLOCK_BYTES = size_t{1} << 20;
  // Decoding into a regular file, the decoder reads its window back from the
  // file; it may ask only for what the writing thread is sure to have
  // written, so it keeps the blocks that may be in flight in memory (with
  // one thread as well: near references stay in memory that way).
  if (decoding && out_file != nullptr && !o.reference) {
    const FileSink::ReadBack back = out_file->open_read_back();
    if (back.fd >= 0) codec_set_output_file(h.codec, back.fd, int64_t(back.offset), int64_t(IO_BLOCKS * IO_BLOCK_BYTES));
  }
  if (decoding) {
    bool framed = false;
    in = make_zstd_unwrap_source(std::move(in), input_name, framed);
  } else if (o.zstd) {
    out = make_zstd_sink(std::move(out), o.zstd_level, o.threads, err);
    if (out == nullptr) {
      complain("%s", err.message.c_str());
      return err.status;
    }
  }
  if (io_threads) {
    // The encoder on threads reads straight into its own blocks (the pump
    // asks it for room), so a read-ahead would only add a copy; decoding,
    // and unwrapping a zstd frame, read ahead.
    if (decoding || o.mode == CODEC_MODE_UNIQUE || o.reference)
      in = make_read_ahead(std::move(in), IO_BLOCKS, IO_BLOCK_BYTES);
    if (!o.test) out = make_write_behind(std::move(out), IO_BLOCKS, IO_BLOCK_BYTES, in->interrupter());
  }

  Progress progress(stderr, input_size);
  const int status = pump(api, h.codec, *in, *out, progress, input_name);
  if (status != EXIT_OK) return status;
  h.finish();
  // The report lines are output too: losing them is not a success.
  if (report == stdout && (fflush(stdout) != 0 || ferror(stdout))) {
    complain("cannot write the report to standard output: %s", strerror(errno != 0 ? errno : EIO));
    return EXIT_IO;
  }
  return EXIT_OK;
}
