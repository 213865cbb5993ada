// Inputs that the command-line tests share, so that a round trip through one
// path (files, pipes, tar, the zstd stage) is checked on the same bytes as
// through the others.
#pragma once

#include <string>

#include "support/process.h"

namespace cdedup::test {

Bytes concat(std::initializer_list<Bytes> parts);

// About 150 KB with repeats both within a 64 KiB block and across blocks.
Bytes sample_with_repeats();

// A directory worth archiving under `root`: several files, some of them
// copies of others, so that its tar has repeats a few hundred KiB apart.
void make_tree(const std::string& root);

}  // namespace cdedup::test
