#include "app/stream_job.h"

#include <cdedup/cdedup.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "app/exit_status.h"
#include "app/file_stream.h"
#include "app/frame_check.h"
#include "app/output_file.h"
#include "app/patch_reference.h"
#include "app/progress.h"
#include "app/pump.h"
#include "app/read_ahead.h"
#include "app/write_behind.h"
#include "app/zstd_stage.h"
#include "platform/file_ops.h"
#include "platform/interrupt_cleanup.h"

namespace cdedup::app {

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
  struct stat input_stat {};
  bool input_regular = false;
  FileSink* out_file = nullptr;  // the output, when it is a file or standard output
  FileIdentity output_id;        // the file the output goes to, where known
  PendingOutput pending;         // the file form's temporary
  bool positional_armed = false; // an interruption removes the positional OUTPUT
};

int reported(const StreamError& err) {
  complain("%s", err.message.c_str());
  return err.status;
}

bool to_standard_output(const Job& job) {
  return job.to == Job::To::standard_output || (job.to == Job::To::named && is_stdio_name(job.output));
}

// Opens the input and checks it against the output; 0, or the status of a
// failure already reported.  Nothing is opened for writing yet.
int open_input(const Options& o, const Job& job, Ends& ends) {
  if (is_stdio_name(job.input) && job.refuse_terminal_input && isatty(STDIN_FILENO)) {
    complain("standard input is a terminal: not reading %s from it (give a file, or redirect standard input)",
             o.mode == CODEC_MODE_DECODE ? "an encoded stream" : "data to encode");
    return EXIT_USAGE;
  }
  StreamError err;
  std::unique_ptr<FileSource> in = open_source(job.input, err);
  if (in == nullptr) return reported(err);
  const int in_fd = in->fd();
  if (fstat(in_fd, &ends.input_stat) == 0) ends.input_regular = S_ISREG(ends.input_stat.st_mode);
  if (S_ISDIR(ends.input_stat.st_mode)) {
    complain("%s is a directory", display_name(job.input, true).c_str());
    return EXIT_INPUT_OPEN;
  }
  ends.in = std::move(in);

  if (job.to == Job::To::discard) return EXIT_OK;
  ends.output_id = to_standard_output(job) ? identify_fd(STDOUT_FILENO) : identify_path(job.output.c_str());
  if (same_regular_file(identify_fd(in_fd), ends.output_id)) {
    complain("refusing to write %s: it is the input %s", display_name(job.output, false).c_str(),
             display_name(job.input, true).c_str());
    return EXIT_OUTPUT_OPEN;
  }
  if (to_standard_output(job) && o.mode != CODEC_MODE_DECODE && !o.force && isatty(STDOUT_FILENO)) {
    complain("refusing to write encoded data to a terminal (redirect it, or name an output file)");
    return EXIT_OUTPUT_OPEN;
  }
  return EXIT_OK;
}

// Opens the output; 0, or the status of a failure already reported.
int open_output(const Job& job, Ends& ends) {
  if (job.to == Job::To::discard) {
    ends.out = std::make_unique<DiscardSink>();
    return EXIT_OK;
  }
  StreamError err;
  std::unique_ptr<FileSink> out;
  if (to_standard_output(job)) {
    out = std::make_unique<FileSink>(stdout, "-");
  } else {
    const struct stat* input = ends.input_regular ? &ends.input_stat : nullptr;
    FILE* f = job.to == Job::To::beside ? ends.pending.open(job.output, err)
                                        : open_positional_output(job.output, input, err);
    if (f == nullptr) return reported(err);
    out = std::make_unique<FileSink>(f, job.output);
    // What the positional form leaves when interrupted is half a stream: gone, like the file form's temporary.
    if (job.to == Job::To::named && identify_fd(fileno(f)).regular)
      ends.positional_armed = interrupt_cleanup_arm(job.output.c_str());
  }
  ends.out_file = out.get();
  ends.out = std::move(out);
  return EXIT_OK;
}

// Where the report lines go, if anywhere.  The positional form prints them
// as it always has, on standard error when the data goes to standard output,
// so that it stays clean; the others are silent on success, as compressors
// are in a pipeline or under tar -I, and -v asks for the lines on standard
// error.
FILE* report_stream(const Options& o, const Job& job) {
  if (o.form != Options::Form::positional) return o.verbose ? stderr : nullptr;
  return to_standard_output(job) ? stderr : stdout;
}

// The filter and file forms and -t write and require checked frames, unless
// --bare; the positional form writes the bare stream its peers read, and
// reads either.
bool checked_frames(const Options& o) {
  return o.form != Options::Form::positional && !o.bare && o.mode != CODEC_MODE_UNIQUE;
}

// A decoder on threads leaves the checksum of what it decodes to the
// writing thread, which has the time (frame_check.h).
bool hash_on_writer(const Options& o) { return o.mode == CODEC_MODE_DECODE && o.threads > 1; }

// The codec as the options ask, a patch's reference given; 0, or the status
// of a refusal already reported.
int set_up_codec(const Options& o, Codec* c, FILE* report, const PatchReference& ref, const Ends& ends) {
  codec_set_report(c, report);
  codec_set_reference_path(c, o.reference);
  codec_set_threads(c, o.threads);
  int32_t params[3] = {o.params[0], o.params[1], o.params[2]};
  std::optional<uint64_t> input_size;
  if (ends.input_regular) input_size = uint64_t(ends.input_stat.st_size);
  if (const int status = ref.size_settings(o, params, input_size); status != EXIT_OK) return status;
  if (api.codec_init(c, o.mode, params) != 0) {
    complain("%s", codec_message(c));
    return EXIT_REFUSED;
  }
  codec_set_checked(c, checked_frames(o) ? 1 : 0);
  codec_set_caller_hash(c, hash_on_writer(o) ? 1 : 0);
  return ref.give_to(c);
}

// Decoding into a regular file, the decoder reads its window back from the
// file instead of keeping it in memory.  It may ask only for what the sinks
// are sure to have written, so it keeps the bytes that may be in flight in
// memory (with one thread as well: near references stay in memory that
// way).  A file that cannot be read back keeps the window in memory; so does
// one that standard error writes to as well (2>&1), since the report lines
// land among the data there.
//
// Returns what to do if the window the stream asks for cannot be had in
// memory: the one line a user needs then names the way out.
std::string name_output_file(const Options& o, Codec* c, const Ends& ends) {
  static const std::string into_a_file =
      "decoding into a regular file (-o FILE, > FILE, or the file form) reads the window back from the file "
      "instead; for tar: cdedup -d -o x.tar a.tar.cdz && tar xf x.tar";
  if (o.mode != CODEC_MODE_DECODE || ends.out_file == nullptr) return into_a_file;
  if (o.reference) return "--reference keeps the window in memory; without it, " + into_a_file;
  if (same_regular_file(ends.output_id, identify_fd(STDERR_FILENO)))
    return "standard error writes to the output file too (2>&1), which keeps the window in memory: send it "
           "elsewhere, and the window is read back from the file";
  const FileSink::ReadBack back = ends.out_file->open_read_back();
  if (back.fd >= 0) {
    codec_set_output_file(c, back.fd, static_cast<int64_t>(back.offset), static_cast<int64_t>(ends.out->max_unwritten()));
    return into_a_file;
  }
  if (ends.output_id.regular)
    return "the output file cannot be read back (it is open for writing only), so the window must be in memory: "
           "decode into a file cdedup may read, which serves as the window";
  return into_a_file;
}

// The zstd stage on the side that needs it: a decoder unwraps a frame by
// itself, an encoder with -z writes one.
int add_zstd_stage(const Options& o, const std::string& input_name, Ends& ends) {
  if (o.mode == CODEC_MODE_DECODE) {
    ends.in = make_unwrap_source(std::move(ends.in), input_name);
  } else if (o.zstd) {
    StreamError err;
    ends.out = make_zstd_sink(std::move(ends.out), o.zstd_level, o.threads, err);
    if (ends.out == nullptr) return reported(err);
  }
  return EXIT_OK;
}

// With more than one thread, reading (and unwrapping a zstd frame) runs
// ahead of the codec and writing (and compressing) behind it, each on a
// thread of its own.
void add_io_threads(const Options& o, const Job& job, const std::string& input_name, Ends& ends) {
  if (o.threads <= 1) return;
  // The encoder on threads reads straight into its own blocks (the pump
  // asks it for room), so a read-ahead would only add a copy; decoding,
  // and unwrapping a zstd frame, read ahead.
  if (o.mode == CODEC_MODE_DECODE || o.mode == CODEC_MODE_UNIQUE || o.reference)
    ends.in = make_read_ahead(std::move(ends.in), IO_BLOCKS, IO_BLOCK_BYTES);
  // The writing thread checks what it writes against each frame's checksum
  // (with -t too, where it writes nothing).
  if (hash_on_writer(o)) ends.out = make_frame_check(std::move(ends.out), input_name);
  if (job.to != Job::To::discard || hash_on_writer(o))
    ends.out = make_write_behind(std::move(ends.out), IO_BLOCKS, IO_BLOCK_BYTES, ends.in->interrupter());
}

// The report lines are output too: losing them is not a success.
int check_report(FILE* report) {
  if (report == stdout && (fflush(stdout) != 0 || ferror(stdout))) {
    complain("cannot write the report to standard output: %s", strerror(errno != 0 ? errno : EIO));
    return EXIT_IO;
  }
  return EXIT_OK;
}

int run(const Options& o, const Job& job, Ends& ends) {
  if (const int status = open_input(o, job, ends); status != EXIT_OK) return status;
  PatchReference ref;
  if (const int status = ref.open(o); status != EXIT_OK) return status;
  if (job.to != Job::To::discard)
    if (const int status = ref.refuse_as_output(ends.output_id, display_name(to_standard_output(job) ? "-" : job.output, false));
        status != EXIT_OK)
      return status;
  CodecHandle h;
  if (h.codec == nullptr) {
    complain("cannot allocate the codec: out of memory");
    return EXIT_NO_CODEC;
  }
  FILE* const report = report_stream(o, job);
  if (const int status = set_up_codec(o, h.codec, report, ref, ends); status != EXIT_OK) return status;
  if (const int status = open_output(job, ends); status != EXIT_OK) return status;

  const std::string input_name = display_name(job.input, true);
  const uint64_t input_size = ends.input_regular ? uint64_t(ends.input_stat.st_size) : 0;
  if (const int status = add_zstd_stage(o, input_name, ends); status != EXIT_OK) return status;
  add_io_threads(o, job, input_name, ends);
  PumpHooks hooks;
  hooks.window_advice = name_output_file(o, h.codec, ends);
  FileSink* const file = ends.out_file;
  if (file != nullptr) hooks.on_window_in_file = [file] { file->watch_for_other_writers(); };
  if (checked_frames(o)) hooks.not_checked_advice = "--bare decodes a bare stream (one written by 'cdedup e')";
  if (o.mode == CODEC_MODE_DECODE) hooks.reference_advice = PatchReference::advice(o);
  if (o.mode != CODEC_MODE_DECODE) hooks.reference_status = EXIT_IO;

  Progress progress(o.quiet && !o.progress ? nullptr : stderr, input_size, job.progress_name, o.progress);
  if (const int status = pump(api, h.codec, *ends.in, *ends.out, progress, input_name, hooks); status != EXIT_OK)
    return status;
  h.finish();
  return check_report(report);
}

}  // namespace

int run_job(const Options& o, const Job& job) {
  Ends ends;
  int status = run(o, job, ends);
  if (ends.positional_armed) interrupt_cleanup_disarm();
  if (job.to == Job::To::beside) {
    // The sinks are closed (pump) or were never filled: the temporary is complete, or is dropped.
    ends.out.reset();
    StreamError err;
    if (status != EXIT_OK)
      ends.pending.abandon();
    else if (!ends.pending.commit(ends.input_regular ? &ends.input_stat : nullptr, job.replace, err))
      status = reported(err);
  }
  return status;
}

}  // namespace cdedup::app
