// --patch-from=REF: the reference file of a patch, as the command line
// takes it.  The codec does the work (codec_set_reference_file); what is
// decided here is what a user sees: REF must be a regular file (status 2
// otherwise, as for an input that cannot be read), it may not be an output
// (status 3), and when encoding, the window is sized to hold all of REF and
// the default reach behind it unless the window is given, and a REF too large
// for the window is refused before anything is written (status 5).
#pragma once

#include <cdedup/cdedup.h>

#include <cstdint>
#include <optional>
#include <string>

#include "app/options.h"
#include "platform/file_ops.h"

namespace cdedup::app {

class PatchReference {
 public:
  PatchReference() = default;
  PatchReference(const PatchReference&) = delete;
  PatchReference& operator=(const PatchReference&) = delete;
  ~PatchReference();

  // Opens o.patch_from when there is one; 0, or the status of a failure
  // already reported.
  int open(const Options& o);
  bool given() const { return fd_ >= 0; }

  // Encoding: the window and index in `params` sized for REF, and for the
  // new data's size when it is known, where the options left them, and REF
  // checked against the window; 0, or status 5 reported.
  int size_settings(const Options& o, int32_t params[3], std::optional<uint64_t> new_size) const;
  // REF handed to the codec; 0, or status 5 reported.
  int give_to(Codec* c) const;
  // Whether `output` is REF, however named: status 3 reported, or 0.
  int refuse_as_output(const FileIdentity& output, const std::string& output_name) const;

  // The way out when a stream cannot be decoded for its reference.
  static std::string advice(const Options& o);

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::string name_;
  FileIdentity id_;
};

}  // namespace cdedup::app
