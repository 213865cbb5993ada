#include "app/list.h"

#include <cdedup/cdedup.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/file_stream.h"
#include "app/pump.h"
#include "app/zstd_stage.h"
#include "codec/frame_walk.h"

namespace cdedup::app {

namespace {

// One frame as its header and trailer describe it.
struct FrameFacts {
  FrameHeader header;
  uint64_t blocks = 0;
  uint64_t encoded = 0;  // the frame's bytes, header to trailer
  FrameTrailer trailer;
};

// What one file holds.
struct Listing {
  bool in_zstd = false;
  bool bare = false;
  uint8_t bare_header[4] = {};
  std::vector<FrameFacts> frames;
  uint64_t file_bytes = 0;
};

// "164" out of a header's chunk-length field: the expected chunk length, as the report line shows it.
uint32_t chunk_len(const uint8_t settings[4]) { return 64u + (settings[0] | uint32_t(settings[1]) << 8); }
// The window in MiB: 12 bits of the field, as a reader takes them.
uint32_t window_mib(const uint8_t settings[4]) { return (settings[2] | uint32_t(settings[3]) << 8) & 0xFFF; }

std::string mib(uint64_t bytes) {
  char s[32];
  std::snprintf(s, sizeof s, "%.2f MiB", double(bytes) / 1048576.0);
  return s;
}

// Walks the file's content (zstd unwrapped) with the frame scanner.  False,
// with `err` set, when it is not a sound frame (or a bare stream's header).
bool walk(Source& content, Listing& l, std::string& err) {
  std::vector<uint8_t> buf(size_t{1} << 20);
  FrameScanner s;
  frame_scan_start(s);
  FrameFacts current;
  uint8_t head[4];
  size_t head_len = 0;
  for (;;) {
    const size_t n = content.read(buf.data(), buf.size());
    if (n == 0) {
      if (content.error().failed()) {
        err = content.error().message;
        return false;
      }
      break;
    }
    for (size_t i = 0; i < n && head_len < sizeof head; ++i) head[head_len++] = buf[i];
    if (l.bare) continue;  // no structure to follow: only the size counts
    size_t at = 0;
    while (at < n) {
      size_t taken = 0;
      const FrameEvent e = frame_scan(s, buf.data() + at, n - at, taken);
      at += taken;
      if (e == FrameEvent::Header) {
        current = FrameFacts{};
        current.header = s.header;
      } else if (e == FrameEvent::Block) {
        ++current.blocks;
      } else if (e == FrameEvent::Trailer) {
        current.trailer = s.trailer;
        current.encoded = s.offset - s.frame_start;
        l.frames.push_back(current);
      } else if (e == FrameEvent::Error) {
        if (s.error == FrameError::NotFrame && s.frames == 0) {
          l.bare = true;  // the rest is read for its size only
          break;
        }
        char text[200];
        frame_error_text(s, text, sizeof text);
        err = text;
        return false;
      }
    }
  }
  if (l.bare) {
    if (head_len < 4 || (head[0] | head[1]) == 0) {
      err = head_len < 4 ? "not an encoded stream: shorter than a header" : "not an encoded stream: its chunk-length field is 0";
      return false;
    }
    std::memcpy(l.bare_header, head, 4);
    return true;
  }
  if (frame_scan_finish(s) == FrameEvent::Error) {
    char text[200];
    frame_error_text(s, text, sizeof text);
    err = text;
    return false;
  }
  return true;
}

void print_row(const Listing& l, const std::string& name) {
  const char* format = l.bare ? (l.in_zstd ? "bare, in zstd" : "bare") : (l.in_zstd ? "checked, in zstd" : "checked");
  if (l.bare) {
    std::printf("%6s %6u %9s %12s %12s %7s  %-8s %-17s %s\n", "-", chunk_len(l.bare_header),
                (std::to_string(window_mib(l.bare_header)) + " MiB").c_str(), mib(l.file_bytes).c_str(), "unknown",
                "-", "none", format, name.c_str());
    return;
  }
  uint64_t decoded = 0;
  for (const FrameFacts& f : l.frames) decoded += f.trailer.size;
  const FrameFacts& first = l.frames.front();
  char ratio[16];
  std::snprintf(ratio, sizeof ratio, "%.2f", l.file_bytes != 0 ? double(decoded) / double(l.file_bytes) : 0.0);
  std::printf("%6zu %6u %9s %12s %12s %7s  %-8s %-17s %s\n", l.frames.size(), chunk_len(first.header.settings),
              (std::to_string(window_mib(first.header.settings)) + " MiB").c_str(), mib(l.file_bytes).c_str(),
              mib(decoded).c_str(), ratio, "XXH3-64", format, name.c_str());
}

void print_frames(const Listing& l) {
  for (size_t i = 0; i < l.frames.size(); ++i) {
    const FrameFacts& f = l.frames[i];
    std::printf("  frame %zu: chunk length %u, window %u MiB, %" PRIu64 " blocks%s, %" PRIu64 " bytes encoded, %" PRIu64
                " decoded, XXH3-64 %016" PRIx64,
                i + 1, chunk_len(f.header.settings), window_mib(f.header.settings), f.blocks,
                f.header.block_checks() ? " with checks" : "", f.encoded, f.trailer.size, f.trailer.hash);
    if (f.header.names_reference())
      std::printf("; a patch against a reference of %" PRIu64 " bytes, XXH3-64 %016" PRIx64, f.header.reference_size,
                  f.header.reference_hash);
    std::printf("\n");
  }
}

}  // namespace

int run_list(const Options& o) {
  const std::vector<std::string> names = o.files.empty() ? std::vector<std::string>{"-"} : o.files;
  int worst = EXIT_OK;
  bool header_printed = false;
  for (const std::string& name : names) {
    if (is_stdio_name(name) && isatty(STDIN_FILENO)) {
      complain("standard input is a terminal: not reading an encoded stream from it (give a file)");
      worst = std::max(worst, int(EXIT_USAGE));
      continue;
    }
    StreamError err;
    std::unique_ptr<FileSource> in = open_source(name, err);
    if (in == nullptr) {
      complain("%s", err.message.c_str());
      worst = std::max(worst, err.status);
      continue;
    }
    struct stat st;
    if (fstat(in->fd(), &st) == 0 && S_ISDIR(st.st_mode)) {
      complain("%s is a directory", name.c_str());
      worst = std::max(worst, int(EXIT_INPUT_OPEN));
      continue;
    }
    Listing l;
    const FileSource* file = in.get();
    std::unique_ptr<Source> content = make_unwrap_source(std::move(in), display_name(name, true), &l.in_zstd);
    std::string why;
    const bool ok = walk(*content, l, why);
    l.file_bytes = file->file_bytes();
    if (!ok) {
      complain("%s: %s", display_name(name, true).c_str(), why.c_str());
      worst = std::max(worst, int(EXIT_BAD_STREAM));
      continue;
    }
    if (!header_printed) {
      std::printf("%6s %6s %9s %12s %12s %7s  %-8s %-17s %s\n", "Frames", "Chunk", "Window", "Encoded", "Decoded",
                  "Ratio", "Check", "Format", "File");
      header_printed = true;
    }
    print_row(l, display_name(name, true));
    if (o.verbose) print_frames(l);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    complain("cannot write the listing to standard output: %s", std::strerror(errno));
    worst = std::max(worst, int(EXIT_IO));
  }
  return worst;
}

}  // namespace cdedup::app
