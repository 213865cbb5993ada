// The portable build of the stream hash: SSE2 on x86-64, NEON on aarch64,
// plain code elsewhere (whatever the baseline target gives libxxhash).  The
// reference the wide variants are held to.
#include "dedup/stream_hash_build.h"

namespace cdedup {

const StreamHashVariant& stream_hash_portable() {
  static const StreamHashVariant v = CDEDUP_STREAM_HASH_VARIANT("portable");
  return v;
}

}  // namespace cdedup
