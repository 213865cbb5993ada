// -l / --list: what each file holds, as zstd -l and xz -l tell it, without
// decoding a byte: the format (checked frames, or a bare stream, either
// inside zstd frames or not), the settings, the encoded and decoded sizes,
// the ratio and the checksum.  A checked frame carries its decoded size in
// its trailer, and where the frame ends follows from its block lengths, so
// walking the frames (and unwrapping zstd around them) is enough; a bare
// stream carries no size, and the line says that it is unknown.
#pragma once

#include "app/options.h"

namespace cdedup::app {

// Lists every FILE of `o` (standard input when none); -v adds a line per
// frame.  The exit status is the worst of the files': 7 for one that is not
// a sound frame or stream.
int run_list(const Options& o);

}  // namespace cdedup::app
