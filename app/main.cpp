// The cdedup command: wiring only.  The command line is parsed into
// Options; the form it takes decides the jobs, each one stream from an input
// to an output (stream_job.h), and the exit status is the worst of them.
#include <unistd.h>

#include "app/exit_status.h"
#include "app/file_operands.h"
#include "app/list.h"
#include "app/options.h"
#include "app/pump.h"
#include "app/stream_job.h"
#include "app/usage.h"
#include "platform/interrupt_cleanup.h"

using namespace cdedup::app;

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
  // An interrupted run leaves no partial output behind.
  cdedup::interrupt_cleanup_install();
  switch (o.form) {
    case Options::Form::files:
      return run_file_operands(o);
    case Options::Form::test:
      return run_tests(o);
    case Options::Form::list:
      return run_list(o);
    case Options::Form::positional: {
      Job job;
      job.input = o.input;
      job.to = Job::To::named;
      job.output = o.output;
      job.refuse_terminal_input = false;
      return run_job(o, job);
    }
    case Options::Form::filter:
      break;
  }
  return run_job(o, Job{});
}
