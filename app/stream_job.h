// One stream through the codec, from one input to one output, whichever form
// of the command asked for it: the ends are opened, the codec is set up, the
// zstd stage and the threads that read ahead and write behind are stacked on
// the ends, and the pump runs the codec between them.
//
// Every check that can refuse the run comes before the output is opened:
// the input exists and is not a directory, the output is not the input
// (however either is named), the settings are accepted and the chunk index
// is allocated.  So a refused run leaves an existing output as it was.
#pragma once

#include <string>

#include "app/options.h"

namespace cdedup::app {

struct Job {
  std::string input = "-";  // a file name, or "-" for standard input
  enum class To {
    standard_output,  // standard output
    named,            // `output`, created or truncated (the positional form)
    beside,           // `output`, through a temporary renamed into place (the file form)
    discard,          // nothing (-t)
  };
  To to = To::standard_output;
  std::string output;
  bool replace = false;  // beside: an existing `output` may be replaced
  // Standard input at a terminal is refused rather than waited on (the
  // filter form, -d and -t; the positional form reads what it is given).
  bool refuse_terminal_input = true;
  std::string progress_name;  // shown before the progress line, when there are several files
};

// Runs the job; its exit status, every failure reported on standard error.
int run_job(const Options& o, const Job& job);

}  // namespace cdedup::app
