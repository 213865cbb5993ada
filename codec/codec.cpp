// The instance's own helpers: the printed lines and the stop message.
#include "codec/codec.h"

#include <cstdarg>
#include <cstdio>

namespace cdedup {

void codec_report(Codec& c, const char* fmt, ...) {
  if (c.report == nullptr) return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(c.report, fmt, ap);
  va_end(ap);
  std::fflush(c.report);
}

void codec_set_message(Codec& c, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(c.message, sizeof c.message, fmt, ap);
  va_end(ap);
}

}  // namespace cdedup

