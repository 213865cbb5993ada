#include "app/file_operands.h"

#include <cdedup/cdedup.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "app/exit_status.h"
#include "app/file_stream.h"
#include "app/pump.h"
#include "app/stream_job.h"
#include "platform/file_ops.h"

namespace cdedup::app {

namespace {

bool ends_with(const std::string& s, const char* suffix) {
  const size_t n = strlen(suffix);
  return s.size() > n && s.compare(s.size() - n, n, suffix) == 0;
}

bool has_our_suffix(const std::string& name) { return ends_with(name, PLAIN_SUFFIX) || ends_with(name, ZSTD_SUFFIX); }

// One file's plan: where its output goes, or why it is skipped.
struct Plan {
  Job job;
  int skip_status = EXIT_OK;  // not 0: skipped, with `skip_reason`
  std::string skip_reason;
};

Plan plan_for(const Options& o, const std::string& name) {
  Plan p;
  const bool decode = o.mode == CODEC_MODE_DECODE;
  p.job.input = name;
  p.job.replace = o.force;
  if (is_stdio_name(name)) {
    p.job.to = o.output_name.empty() ? Job::To::standard_output : Job::To::beside;
    p.job.output = o.output_name;
    return p;
  }
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    p.skip_status = EXIT_INPUT_OPEN;
    p.skip_reason = "cannot open " + name + ": " + strerror(errno);
    return p;
  }
  if (S_ISDIR(st.st_mode)) {
    p.skip_status = EXIT_INPUT_OPEN;
    p.skip_reason = name + " is a directory: skipped";
    return p;
  }
  if (o.to_stdout) {
    p.job.to = Job::To::standard_output;
    return p;
  }
  p.job.to = Job::To::beside;
  if (!o.output_name.empty()) {
    p.job.output = o.output_name;
  } else {
    p.job.output = derived_output(name, decode, o.zstd);
    if (p.job.output.empty()) {
      p.skip_status = EXIT_USAGE;
      p.skip_reason = name + " does not end in " + PLAIN_SUFFIX + " or " + ZSTD_SUFFIX + ": skipped (-c or -o decodes it)";
      return p;
    }
    if (!decode && has_our_suffix(name) && !o.force) {
      p.skip_status = EXIT_USAGE;
      p.skip_reason = name + " is encoded already, by its name: skipped (-f encodes it again)";
      return p;
    }
  }
  struct stat out;
  if (!o.force && lstat(p.job.output.c_str(), &out) == 0) {
    p.skip_status = EXIT_OUTPUT_OPEN;
    p.skip_reason = p.job.output + " already exists: not overwritten (-f replaces it)";
  }
  return p;
}

// No output may be any input, a patch's reference included, however either
// is named: checked for every pair before anything is written.  Returns the
// clash, or "".
std::string output_that_is_an_input(const std::vector<Plan>& plans, const std::string& reference) {
  std::vector<std::pair<FileIdentity, std::string>> inputs;
  for (const Plan& p : plans)
    inputs.emplace_back(is_stdio_name(p.job.input) ? identify_fd(STDIN_FILENO) : identify_path(p.job.input.c_str()),
                        p.job.input);
  if (!reference.empty()) inputs.emplace_back(identify_path(reference.c_str()), reference);
  for (const Plan& p : plans) {
    if (p.skip_status != EXIT_OK) continue;
    const bool out_is_stdout = p.job.to == Job::To::standard_output;
    const FileIdentity out = out_is_stdout ? identify_fd(STDOUT_FILENO) : identify_path(p.job.output.c_str());
    for (const auto& [id, name] : inputs)
      if (same_regular_file(id, out))
        return "refusing to write " + display_name(out_is_stdout ? "-" : p.job.output, false) + ": it is the input " +
               display_name(name, true);
  }
  return "";
}

}  // namespace

std::string derived_output(const std::string& input, bool decode, bool zstd) {
  if (!decode) return input + (zstd ? ZSTD_SUFFIX : PLAIN_SUFFIX);
  if (!has_our_suffix(input)) return "";
  return input.substr(0, input.size() - strlen(PLAIN_SUFFIX));
}

int run_file_operands(const Options& o) {
  std::vector<Plan> plans;
  for (const std::string& name : o.files) plans.push_back(plan_for(o, name));
  if (const std::string clash = output_that_is_an_input(plans, o.patch_from); !clash.empty()) {
    complain("%s", clash.c_str());
    return EXIT_OUTPUT_OPEN;
  }
  int worst = EXIT_OK;
  for (Plan& p : plans) {
    if (p.skip_status != EXIT_OK) {
      complain("%s", p.skip_reason.c_str());
      worst = std::max(worst, p.skip_status);
      continue;
    }
    if (plans.size() > 1) p.job.progress_name = p.job.input;
    const int status = run_job(o, p.job);
    worst = std::max(worst, status);
    // Only once its output is complete, closed and in place; never a patch's reference, which decoding needs.
    if (status == EXIT_OK && o.remove_input && !o.patch_from.empty() &&
        same_regular_file(identify_path(p.job.input.c_str()), identify_path(o.patch_from.c_str()))) {
      complain("kept %s: it is the reference the patches need", p.job.input.c_str());
      continue;
    }
    if (status == EXIT_OK && o.remove_input && !is_stdio_name(p.job.input) && p.job.to == Job::To::beside &&
        unlink(p.job.input.c_str()) != 0) {
      complain("cannot remove %s: %s", p.job.input.c_str(), strerror(errno));
      worst = std::max(worst, int(EXIT_IO));
    }
  }
  return worst;
}

int run_tests(const Options& o) {
  const std::vector<std::string> names = o.files.empty() ? std::vector<std::string>{"-"} : o.files;
  int worst = EXIT_OK;
  for (const std::string& name : names) {
    Job job;
    job.input = name;
    job.to = Job::To::discard;
    if (names.size() > 1) job.progress_name = name;
    worst = std::max(worst, run_job(o, job));
  }
  return worst;
}

}  // namespace cdedup::app
