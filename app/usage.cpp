// docs/cdedup.1 carries the same options and statuses; a test keeps the two in step.
#include "app/usage.h"

#ifndef CDEDUP_VERSION
#define CDEDUP_VERSION "0.0.0"
#endif

namespace cdedup::app {

void print_short_usage(FILE* out) {
  fputs("usage: cdedup [options] MODE INPUT OUTPUT [CHUNKLEN [ENCMEM [DECMEM]]]\n"
        "       cdedup [options] <INPUT >OUTPUT    (encodes; decodes with -d)\n"
        "       MODE is e (encode), u (unique chunks only) or d (decode); '-' is standard input/output\n"
        "try 'cdedup --help' for more\n",
        out);
}

void print_help(FILE* out) {
  fputs("cdedup " CDEDUP_VERSION " - find repeated content-defined chunks and encode them as references\n"
        "\n"
        "usage: cdedup [options] MODE INPUT OUTPUT [CHUNKLEN [ENCMEM [DECMEM]]]\n"
        "       cdedup [options] <INPUT >OUTPUT\n"
        "       cdedup -t [options] [INPUT]\n"
        "\n"
        "examples:\n"
        "  tar -I 'cdedup -z' -cf dir.tar.cdz dir\n"
        "  tar -I 'cdedup -z' -xf dir.tar.cdz\n"
        "  tar c dir | cdedup e - - | zstd -3 > dir.tar.cdd.zst\n"
        "  zstd -dc dir.tar.cdd.zst | cdedup d - - | tar x\n"
        "  tar -I 'cdedup -z --long' -cf backup.tar.cdz /srv\n"
        "\n"
        "With no operands, cdedup is a filter from standard input to standard output, as\n"
        "tar -I runs it: it encodes, or decodes with -d.  Alone at a terminal it shows the\n"
        "usage instead.\n"
        "\n"
        "modes (only the first letter counts):\n"
        "  e   lossless encode: repeated chunks become references (any letter but d and u does this)\n"
        "  u   unique chunks only: repeated chunks are dropped; the output does not decode back\n"
        "  d   decode an encoded stream; the numbers are ignored, the stream carries its settings\n"
        "\n"
        "INPUT and OUTPUT are file names; '-' reads standard input or writes standard output\n"
        "(name a file called '-' as ./-).  The positional form prints three report lines, on\n"
        "standard error when the data goes to standard output; the filter form prints nothing\n"
        "on success (-v: the report lines on standard error).  Encoded data is not written to\n"
        "a terminal.\n"
        "A decoder unwraps a zstd frame around the stream by itself.\n"
        "\n"
        "parameters (as numbers, read leniently: -100 is 100, text is 0; as options, strict):\n"
        "  CHUNKLEN  expected chunk length beyond the 64-byte minimum, 1..65535 (default 100)\n"
        "  ENCMEM    MiB for the chunk index when encoding, 1..4095 (default 256)\n"
        "  DECMEM    MiB of window the decoder keeps, 0..4095 (default 1024); repeats further\n"
        "            back than this are stored again; decoding to a pipe needs this much memory,\n"
        "            decoding to a file reads the window back from the file; 0 finds no repeats\n"
        "\n"
        "options:\n"
        "  -z, --zstd[=LEVEL]          write the encoded stream inside a zstd frame with a checksum\n"
        "                              (LEVEL 1..22, default 3); no effect when decoding\n"
        "  -1 .. -19                   the zstd level, as zstd takes it; implies -z\n"
        "  -d, --decode, --decompress  decode (the filter form; otherwise MODE d)\n"
        "  -t, --test                  decode and discard: status 0 for a sound stream, 7 otherwise\n"
        "  -T, --threads=N             threads to use, 0..256 (same output for any count); 0 (the default): one per CPU;\n"
        "                              encoding uses up to 16, with more than one about 8 MiB each\n"
        "      --chunklen=N            CHUNKLEN as an option, 1..65535\n"
        "      --encmem=MiB            ENCMEM as an option, 1..4095\n"
        "      --decmem=MiB            DECMEM as an option, 0..4095\n"
        "      --long[=MiB]            a window of MiB, 1..4095 (default 4095), for content that returns from\n"
        "                              far back, and unless ENCMEM is given an index of a quarter\n"
        "                              of it, 256 MiB at least; not with DECMEM\n"
        "      --reference             use the byte-at-a-time reference path (same output, slower)\n"
        "  -v, --verbose               the filter form prints the report lines on standard error\n"
        "  -q, --quiet                 no progress line either (shown only on a terminal, after a second)\n"
        "  -h, --help                  show this help and exit\n"
        "  -V, --version               show the version and exit\n"
        "\n"
        "long streams:\n"
        "  A repeat is found only within the window, so for a series of full backups or disk\n"
        "  images whose content returns gigabytes later, use --long (a 4095 MiB window and a\n"
        "  1 GiB index), e.g. for nightly backups: tar -I 'cdedup -z --long' -cf ...\n"
        "  Encoding then needs the index's memory, decoding the window's (up to 4 GiB) plus\n"
        "  1/64 of it.  Mode u with a window near 4095 MiB is slow: it sweeps its index for\n"
        "  expired chunks once per (4 GiB - 64 KiB - window) bytes.  More in 'man cdedup';\n"
        "  sizes and times beside zstd, xz and lrzip: the chart in the README.\n"
        "\n"
        "exit status:\n"
        "  0  success\n"
        "  1  a usage error: missing arguments, an unknown option, or an option's value not in its range\n"
        "  2  the input cannot be opened\n"
        "  3  the output cannot be opened, or encoded data would go to a terminal\n"
        "  4  the codec instance cannot be allocated\n"
        "  5  parameters refused, or the chunk index cannot be allocated\n"
        "  6  a read or write error during the stream\n"
        "  7  the encoded stream cannot be decoded, or its zstd frame is damaged\n",
        out);
}

void print_version(FILE* out) { fputs("cdedup " CDEDUP_VERSION "\n", out); }

}  // namespace cdedup::app
