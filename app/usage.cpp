// docs/cdedup.1 carries the same options and statuses; a test keeps the two in step.
#include "app/usage.h"

#ifndef CDEDUP_VERSION
#define CDEDUP_VERSION "0.0.0"
#endif

namespace cdedup::app {

void print_short_usage(FILE* out) {
  fputs("usage: cdedup [options] MODE INPUT OUTPUT [CHUNKLEN [ENCMEM [DECMEM]]]\n"
        "       MODE is e (encode), u (unique chunks only) or d (decode); '-' is standard input/output\n"
        "try 'cdedup --help' for more\n",
        out);
}

void print_help(FILE* out) {
  fputs("cdedup " CDEDUP_VERSION " - find repeated content-defined chunks and encode them as references\n"
        "\n"
        "usage: cdedup [options] MODE INPUT OUTPUT [CHUNKLEN [ENCMEM [DECMEM]]]\n"
        "\n"
        "modes (only the first letter counts):\n"
        "  e   lossless encode: repeated chunks become references (any letter but d and u does this)\n"
        "  u   unique chunks only: repeated chunks are dropped; the output does not decode back\n"
        "  d   decode an encoded stream; the numbers are ignored, the stream carries its settings\n"
        "\n"
        "INPUT and OUTPUT are file names; '-' reads standard input or writes standard output\n"
        "(name a file called '-' as ./-).  When the data goes to standard output, the three\n"
        "report lines go to standard error.  Encoded data is not written to a terminal.\n"
        "\n"
        "parameters (one leading '-' is ignored, so -100 and 100 are the same):\n"
        "  CHUNKLEN  expected chunk length beyond the 64-byte minimum, 1..65535 (default 100)\n"
        "  ENCMEM    MiB for the chunk index when encoding, 1..4095 (default 256)\n"
        "  DECMEM    MiB of window the decoder keeps, 0..4095 (default 1024); repeats further\n"
        "            back than this are stored again, and decoding needs this much memory;\n"
        "            0 finds no repeats\n"
        "\n"
        "options:\n"
        "  -h, --help        show this help and exit\n"
        "  -V, --version     show the version and exit\n"
        "      --reference   use the byte-at-a-time reference path (same output, slower)\n"
        "\n"
        "exit status:\n"
        "  0  success\n"
        "  1  fewer than three arguments, or an unknown option\n"
        "  2  the input cannot be opened\n"
        "  3  the output cannot be opened, or encoded data would go to a terminal\n"
        "  4  the codec instance cannot be allocated\n"
        "  5  parameters refused, or the chunk index cannot be allocated\n"
        "  6  a read or write error during the stream\n"
        "  7  the encoded stream cannot be decoded\n"
        "\n"
        "examples:\n"
        "  tar c dir | cdedup e - - | zstd -1 > dir.tar.cdd.zst\n"
        "  zstd -dc dir.tar.cdd.zst | cdedup d - - | tar x\n",
        out);
}

void print_version(FILE* out) { fputs("cdedup " CDEDUP_VERSION "\n", out); }

}  // namespace cdedup::app
