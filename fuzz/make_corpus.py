#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into fuzz/corpus/<target>/.

Usage: fuzz/make_corpus.py path/to/cdedup

Seeds are small and each reaches a different corner: escaped literals, copies
and continuation chains, window 0, streams cut inside a record, and checked
frames around such streams.  Encoded streams come from the tool itself, so
they follow its current format; frames are wrapped here, their checks by
libxxhash itself (the shared library of libxxhash-dev, through ctypes).
"""
import ctypes
import ctypes.util
import os
import random
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PREFIX = bytes([0xEF, 0x4D, 0xB6])


def rand(seed, n):
    r = random.Random(seed)
    while True:
        b = bytes(r.getrandbits(8) for _ in range(n))
        if PREFIX not in b:  # a prefix only where a seed puts one on purpose
            return b


def encode(tool, plain, params):
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in"), os.path.join(tmp, "out")
        with open(src, "wb") as f:
            f.write(plain)
        subprocess.run([tool, "e", src, dst] + [str(p) for p in params], check=True, stdout=subprocess.DEVNULL)
        with open(dst, "rb") as f:
            return f.read()


_xxh = None


def xxh3(data):
    global _xxh
    if _xxh is None:
        _xxh = ctypes.CDLL(ctypes.util.find_library("xxhash") or "libxxhash.so.0")
        _xxh.XXH3_64bits.restype = ctypes.c_uint64
        _xxh.XXH3_64bits.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
    return _xxh.XXH3_64bits(data, len(data))


def reference_text(n):
    """A reference file of decode_fuzz (decode_fuzz.cpp, reference_of_size): numbered lines cut to n bytes."""
    out, i = b"", 0
    while len(out) < n:
        out += b"reference line %d of the fuzz corpus\n" % i
        i += 1
    return out[:n]


def patch(tool, ref, plain, chunklen):
    """A patch of plain against ref, written by the tool's filter form, in a 1 MiB window."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "ref")
        with open(path, "wb") as f:
            f.write(ref)
        args = [tool, "--patch-from=" + path, "--chunklen=%d" % chunklen, "--encmem=1", "--decmem=1"]
        return subprocess.run(args, input=plain, stdout=subprocess.PIPE, check=True).stdout


MAGIC = bytes([0x00, 0x00, 0x43, 0x44, 0x46, 0x89, 0x0D, 0x0A])


def frame(bare, plain, block, checks=True, flags_extra=0, reference=None):
    """A checked frame (docs/format.md, section 9) around a bare stream that decodes to plain."""
    le = lambda v, n: v.to_bytes(n, "little")
    flags = (1 if checks else 0) | (2 if reference else 0) | flags_extra
    head = MAGIC + le(flags, 2) + bare[:4]
    if reference:
        head += le(reference[0], 8) + le(reference[1], 8)
    out = head + le(xxh3(head) & 0xFFFFFFFF, 4)
    body = bare[4:]
    for at in range(0, len(body), block):
        payload = body[at:at + block]
        out += le(len(payload), 4) + (le(xxh3(payload) & 0xFFFFFFFF, 4) if checks else b"") + payload
    return out + le(0, 4) + le(len(plain), 8) + le(xxh3(plain), 8)


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    tool = sys.argv[1]
    # 64-byte chunks (chunk length 1): X opens with an escape prefix, so the
    # stream opens with an escaped literal; X Y repeated gives a copy and a
    # continuation chain, X[64:192] after a gap another copy and a continue.
    x = PREFIX + b"\x01" + rand(1, 380)
    y = rand(2, 256)
    plain = x + y + x + y[:128] + rand(3, 192) + x[64:192] + rand(4, 100)
    text = b"".join(b"line %d of a log that repeats itself now and then\n" % (i % 7) for i in range(40))

    dec = "decode_fuzz"
    write(dec, "header_only", bytes([0x64, 0x00, 0x08, 0x00]))
    write(dec, "copies_continues", encode(tool, plain, [1, 1, 1]))
    write(dec, "text_len8", encode(tool, text, [8, 1, 1]))
    lit = rand(5, 64)
    write(dec, "hand_records",
          bytes([1, 0, 1, 0]) + lit + PREFIX + b"\x00" + (1).to_bytes(4, "little")  # D = 1: a run of lit[-1]
          + PREFIX + b"\x03" + rand(6, 60)  # code 03 is literal data
          + PREFIX + b"\x02" + PREFIX[:2])  # continue, then a cut-off record
    write(dec, "cut_in_distance", bytes([1, 0, 1, 0]) + lit + PREFIX + b"\x00\x05")
    write(dec, "window0_reference", bytes([1, 0, 0, 0]) + lit + PREFIX + b"\x02")
    # Long chunks (parameter 1000): R R gives a copy record right after a long
    # literal chunk; with its distance cut to 300 the copy overlaps the bytes
    # it is producing and repeats them, for up to 65535 bytes.
    r = rand(9, 3000)
    long_chunks = encode(tool, r + r, [1000, 1, 1])
    write(dec, "long_chunks_copy", long_chunks)
    at = long_chunks.index(PREFIX + b"\x00")
    write(dec, "long_chunks_overlap", long_chunks[:at + 4] + (300).to_bytes(4, "little") + long_chunks[at + 8:])
    # The default chunk length over a 2 MiB window, and a stream without one.
    write(dec, "text_len100_window2", encode(tool, text * 3, [100, 1, 2]))
    write(dec, "window0_literals", encode(tool, plain, [1, 1, 0]))
    # Checked frames: blocks that cut records, with and without block
    # checks, two frames joined, a frame with bytes after it, one that names
    # a reference, and one cut inside a block.
    copies = encode(tool, plain, [1, 1, 1])
    framed = frame(copies, plain, 100)
    write(dec, "frame_copies", framed)
    write(dec, "frame_text_unchecked", frame(encode(tool, text, [8, 1, 1]), text, 7, checks=False))
    write(dec, "frame_joined", framed + frame(encode(tool, text, [100, 1, 2]), text, 4096))
    write(dec, "frame_then_zstd_magic", framed + bytes([0x28, 0xB5, 0x2F, 0xFD]))
    write(dec, "frame_reference", frame(copies, plain, 100, reference=(1 << 20, 0x0123456789ABCDEF)))
    write(dec, "frame_cut", framed[:len(framed) // 2])
    # Patches against decode_fuzz's references: edited with short chunks,
    # its content moved, a reference shorter than a chunk repeated, and an
    # empty one.
    ref = reference_text(5000)
    write(dec, "patch_edited", patch(tool, ref, ref[:1200] + b"an edit" + ref[1300:] + text[:300], 8))
    ref = reference_text(70000)
    write(dec, "patch_moved", patch(tool, ref, ref[30000:] + ref[:30000], 100))
    write(dec, "patch_short_reference", patch(tool, reference_text(100), reference_text(100) * 3, 1))
    write(dec, "patch_empty_reference", patch(tool, b"", text, 8))

    # Plan bytes (fuzz_pump.h, make_plan): chunk class and restart kind, two
    # chunk-length bytes, table sizes, repeats.
    reset = 4  # restart by codec_reset where the settings allow, not codec_init
    no_window, large_16m = 26, 31 | 3 << 5
    plans = {
        "fixed64_escape_x2": bytes([0, 0, 0, 0, 1]) + x,
        "len100_text_x3": bytes([1 | reset, 99, 0, 1 << 5, 2]) + text[:900],
        "window0_x2": bytes([0, 1, 0, no_window, 1]) + rand(7, 300),
        "len4000_x4": bytes([2 | reset, 0x9F, 0x0F, 2 << 5, 3]) + rand(8, 400),
        "large_tables_x2": bytes([0 | reset, 0, 0, large_16m, 1]) + y,
        "empty": bytes([0, 0, 0, 0, 0]),
    }
    for name, data in plans.items():
        write("roundtrip_fuzz", name, data)
        write("ragged_fuzz", name, bytes([0x5A, 0x17, len(name)]) + data)


if __name__ == "__main__":
    main()
