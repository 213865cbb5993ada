// What the command line needs of the checked frame without running a codec:
// the scanner that walks frames without decoding them (to list them, and to
// find where a frame ends so that a zstd frame may follow it), and the hash
// a frame's checksum is made with (to check decoded bytes on the thread that
// writes them out).  Both are the format's own (dedup/), reached through the
// codec layer like the rest of the engine.
#pragma once

#include "dedup/frame_format.h"
#include "dedup/stream_hash.h"
#include "dedup/stream_format.h"
