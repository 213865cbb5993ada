#!/usr/bin/env bash
# Decoding into a file against cat writing the same bytes, and decoding to a
# pipe, each command beside its peers in the same rounds; with the private
# memory the decoder holds, sampled from /proc/PID/status through each run.
#
#   bench/decode_to_file.sh [--long] [CDEDUP_BINARY] [WORK_DIR] [BASELINE_BINARY]
#
# The backup corpus (bench/corpora.sh; CORPORA="backup random edited" for
# more) is encoded with the defaults (a 1 GiB window) and decoded to a file
# on tmpfs ($SHM, default /dev/shm):
# positional form, filter form, and, with a baseline binary (an older
# cdedup), that one too; then to a pipe into cat.  Every output file is
# removed after its run, so each run writes fresh pages as cat does.
# Printed per command: the run with the least wall time (user, system and
# wall seconds), the median wall time, and the largest peak RssAnon of all
# rounds, less the chunk-start notes (1/64 of the window bytes in use).
#
# --long adds a stream of more than 4 GiB written with a 4095 MiB window:
# 2.2 GB of random bytes, then a copy of all of it from 2.2 GB back, as a
# run of continuations; decoded once into a file and compared with what it
# must be (needs 7 GB on WORK_DIR's disk and 4.5 GB of tmpfs).
#
# Timings on a shared 2-core machine are noisy; REPEAT (default 5) sets the
# rounds.
set -euo pipefail

long=0
if [ "${1:-}" = --long ]; then
  long=1
  shift
fi
here=$(cd "$(dirname "$0")" && pwd)
bin=$(realpath "${1:-$here/../build/release/cdedup}")
work=${2:-/tmp/cdedup-bench}
base=${3:+$(realpath "$3")}
shm=${SHM:-/dev/shm}/cdedup-decode.$$
mkdir -p "$work"
trap 'rm -f "$shm"' EXIT

# shellcheck source=bench/corpora.sh
source "$here/corpora.sh"

# runs.py ROUNDS WINDOW_BYTES -- LABEL|STDIN|STDOUT|ARGV... : each command
# run ROUNDS times, interleaved; STDIN and STDOUT are file names ('-' none;
# 'pipe' for stdout means a pipe into cat > /dev/null).
cat > "$work/.runs.py" <<'PY'
import os, subprocess, sys, threading, time

def status(pid):
    d = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                k, _, v = line.partition(":")
                if k in ("RssAnon", "RssFile", "RssShmem", "VmHWM"):
                    d[k] = int(v.split()[0]) * 1024
    except OSError:
        pass
    return d

def run(argv, stdin, stdout):
    fin = open(stdin, "rb") if stdin != "-" else subprocess.DEVNULL
    sink = None
    if stdout == "pipe":
        sink = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        fout = sink.stdin
    else:
        fout = open(stdout, "wb") if stdout != "-" else subprocess.DEVNULL
    t0 = time.monotonic()
    p = subprocess.Popen(argv, stdin=fin, stdout=fout, stderr=subprocess.DEVNULL)
    peak = {"RssAnon": 0}
    done = threading.Event()
    def sample():
        while not done.is_set():
            s = status(p.pid)
            for k, v in s.items():
                peak[k] = max(peak.get(k, 0), v)
            time.sleep(0.002)
    t = threading.Thread(target=sample)
    t.start()
    _, st, ru = os.wait4(p.pid, 0)
    wall = time.monotonic() - t0
    done.set()
    t.join()
    p.returncode = os.waitstatus_to_exitcode(st)
    if sink:
        sink.stdin.close()
        sink.wait()
    elif stdout != "-":
        fout.close()
    if stdin != "-":
        fin.close()
    if p.returncode != 0:
        sys.exit(f"{argv} exited {p.returncode}")
    return wall, ru.ru_utime, ru.ru_stime, peak

rounds, window = int(sys.argv[1]), int(sys.argv[2])
cmds = [c.split("|") for c in sys.argv[4:]]
res = {c[0]: [] for c in cmds}
for _ in range(rounds):
    for label, stdin, stdout, *argv in cmds:
        res[label].append(run(argv, stdin, stdout))
        if stdout not in ("-", "pipe"):
            os.unlink(stdout)
notes = int(os.environ.get("NOTES_BYTES", "0"))
first = None
for label, _, _, *_ in cmds:
    rs = sorted(res[label])
    best, median = rs[0], rs[len(rs) // 2][0]
    first = first or (best[0], median)
    anon = max(r[3]["RssAnon"] for r in rs)
    print(f"  {label:34s} user {best[1]:5.2f}  sys {best[2]:5.2f}  wall {best[0]:5.2f} s"
          f" (median {median:5.2f}, {best[0] / first[0]:4.2f}x / {median / first[1]:4.2f}x the first)"
          f"  RssAnon {anon / 2**20:7.1f} MiB, {max(anon - notes, 0) / 2**20:6.1f} beyond the notes")
PY

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cdedup:  $bin${base:+; baseline $base}"
for corpus in ${CORPORA:-backup}; do
  "make_$corpus"
  in=$(corpus_file "$corpus")
  enc=$work/$corpus.cdd
  "$bin" e "$in" "$enc" > /dev/null
  cat "$in" "$enc" > /dev/null   # into the page cache
  size=$(stat -c %s "$in")
  window=$((1024 << 20))
  used=$((size < window ? size : window))
  export NOTES_BYTES=$((used / 64))
  echo "== $corpus: $size bytes, encoded $(stat -c %s "$enc"); notes $((NOTES_BYTES >> 20)) MiB"
  "$bin" d "$enc" "$shm" > /dev/null && cmp -s "$shm" "$in" || { echo "DECODED FILE DIFFERS"; exit 1; }
  "$bin" -d < "$enc" > "$shm" 2>/dev/null && cmp -s "$shm" "$in" || { echo "DECODED FILE DIFFERS (filter form)"; exit 1; }
  cmds=("cat, to tmpfs|-|$shm|cat|$in"
        "cdedup d, to tmpfs|-|$shm|$bin|d|$enc|-"
        "cdedup -d <in >out, to tmpfs|$enc|$shm|$bin|-d")
  [ -n "$base" ] && cmds+=("baseline d, to tmpfs|-|$shm|$base|d|$enc|-")
  echo "  -- to a file on tmpfs"
  python3 "$work/.runs.py" "${REPEAT:-5}" "$window" -- "${cmds[@]}"
  cmds=("cdedup d, to a pipe into cat|-|pipe|$bin|d|$enc|-")
  [ -n "$base" ] && cmds+=("baseline d, to a pipe into cat|-|pipe|$base|d|$enc|-")
  echo "  -- to a pipe"
  python3 "$work/.runs.py" "${REPEAT:-5}" "$window" -- "${cmds[@]}"
done

[ "$long" = 1 ] || exit 0
# A stream of more than 4 GiB with a 4095 MiB window: R, 2.2 GB of random
# bytes in 64-byte chunks (chunk-length parameter 1), then a copy of R from
# |R| back, continued until the output is over 4.4 GB (past R's end the copy
# repeats itself).  R's length is a multiple of 64, so its stream ends on a
# chunk boundary and the records appended to it are read as records.
r=$work/long-random.bin
rbytes=2199999936
[ "$(stat -c %s "$r" 2>/dev/null || echo 0)" = $rbytes ] || head -c $rbytes /dev/urandom > "$r"
"$bin" e "$r" "$work/long-window.cdd" 1 1 4095 > /dev/null
python3 - "$work/long-window.cdd" $rbytes <<'PY'
import struct, sys
path, d = sys.argv[1], int(sys.argv[2])
with open(path, "ab") as f:
    f.write(bytes([0xEF, 0x4D, 0xB6, 0x00]) + struct.pack("<I", d))
    cont = bytes([0xEF, 0x4D, 0xB6, 0x02]) * 65536
    for _ in range((d // 64 + 2**20) // 65536):
        f.write(cont)
PY
echo "== long window: $(stat -c %s "$work/long-window.cdd") bytes encoded, 4095 MiB window"
export NOTES_BYTES=$(((4095 << 20) / 64))
python3 "$work/.runs.py" 1 $((4095 << 20)) -- "cdedup d, to tmpfs|-|$shm|$bin|d|$work/long-window.cdd|-"
[ -z "$base" ] || python3 "$work/.runs.py" 1 $((4095 << 20)) -- "baseline d, to tmpfs|-|$shm|$base|d|$work/long-window.cdd|-"
echo "  (beyond the notes: less all 64 MiB of notes, every part of the window having been written)"
# The output must be R, then R again from its start for as long as it goes.
"$bin" d "$work/long-window.cdd" "$shm" > /dev/null
out=$(stat -c %s "$shm")
if cmp -s -n $rbytes "$shm" "$r" && cmp -s -n $((out - rbytes)) -i $rbytes:0 "$shm" "$shm"; then
  echo "  decoded $out bytes: R and its copy, as they must be"
else
  echo "  LONG STREAM DECODED WRONG"
  exit 1
fi
