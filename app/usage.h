// Texts of the command line: full help, the short usage, the version.
#pragma once

#include <cstdio>

namespace cdedup::app {

void print_help(FILE* out);
void print_short_usage(FILE* out);
void print_version(FILE* out);

}  // namespace cdedup::app
