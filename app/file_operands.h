// File operands, as users of gzip, xz and zstd know them: FILE becomes
// FILE.cdd (FILE.cdz with -z or a level flag), -d turns X.cdd or X.cdz back
// into X, inputs are kept, an existing output is left alone unless -f, and
// -c, -o and --rm do what they do there.  Each file is a job of its own
// (stream_job.h); one that cannot be done is reported in one line and the
// others still are.
#pragma once

#include <string>

#include "app/options.h"

namespace cdedup::app {

inline constexpr const char* PLAIN_SUFFIX = ".cdd";
inline constexpr const char* ZSTD_SUFFIX = ".cdz";

// The file form: every FILE in turn.  The exit status is the worst of them.
int run_file_operands(const Options& o);

// -t: every FILE (standard input when none) decoded and discarded.
int run_tests(const Options& o);

// The output name of `input` when nothing names it: "" when it has none
// (decoding a name without a suffix of ours).
std::string derived_output(const std::string& input, bool decode, bool zstd);

}  // namespace cdedup::app
