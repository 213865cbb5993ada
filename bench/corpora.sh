# The benchmark corpora, built once into $work and reused: sourced by
# compare.sh and long_stream.sh so that both measure the same bytes.
#
#   backup  five nightly tars of /usr/include with a few edits between them
#   random  512 MB of random bytes: nothing repeats
#   edited  256 MB random, then a copy with a few hundred small edits
#   long    two nights of full backups of this machine (4.6 GB): repeats
#           within a night and about 2.3 GB apart (see make_long)
#   disk    a 946 MB ext4 image of a compiler's tree (see make_disk)
#   share   a tar of /usr/share: documentation, manual pages, locales

# Each night's tar is kept as backup-nightN.tar too (bench/patch.sh takes
# two of them).
make_backup() {  # five nightly tars of /usr/include with a few edits between them
  local out=$work/backup.tar tree=$work/backup-tree
  [ -s "$out" ] && [ -s "$work/backup-night5.tar" ] && return
  rm -rf "$tree"; mkdir -p "$tree"
  cp -r /usr/include "$tree/snapshot"
  : > "$out"
  for night in 1 2 3 4 5; do
    find "$tree/snapshot" -type f | sort | awk -v n="$night" 'NR % 53 == n' | while read -r f; do
      printf '/* night %s */\n' "$night" >> "$f"
    done
    find "$tree/snapshot" -type f | sort | awk -v n="$night" 'NR % 211 == n' | xargs -r rm -f
    tar -C "$tree" -cf "$work/backup-night$night.tar" snapshot
    cat "$work/backup-night$night.tar" >> "$out"
  done
  rm -rf "$tree"
}

make_random() {  # 512 MB of random bytes
  local out=$work/random.bin
  [ -s "$out" ] && return
  head -c 512000000 /dev/urandom > "$out"
}

make_edited() {  # 256 MB random, then a copy with a few hundred small insertions and deletions
  local out=$work/edited.bin
  [ -s "$out" ] && return
  python3 - "$out" <<'PY'
import os, random, sys
random.seed(9)
base = os.urandom(256_000_000)
parts, at = [base], 0
edits = sorted(random.sample(range(len(base)), 400))
for e in edits:
    parts.append(base[at:e])
    if random.random() < 0.5:
        parts.append(os.urandom(random.randint(1, 64)))   # insertion
        at = e
    else:
        at = min(len(base), e + random.randint(1, 64))    # deletion
parts.append(base[at:])
with open(sys.argv[1], "wb") as f:
    for p in parts:
        f.write(p)
PY
}

# One night's full backup of a machine: a tar of /usr/share and an ext4 image
# of the compilers' tree, with the backup series after them (2.3 GB); two
# nights with a few files edited in between.  Content comes back within a
# night (the backup series, duplicates across the system) and, from one
# night to the next, about 2.3 GB back: beyond a 1 GiB window and beyond
# 2 GiB, within 3 GiB.
make_long() {
  local out=$work/long.bin tree=$work/long-tree
  [ -s "$out" ] && return
  make_backup
  rm -rf "$tree"; mkdir -p "$tree/image"
  cp -r /usr/share "$tree/share"
  cp -r /usr/lib/llvm-14 /usr/lib/gcc "$tree/image/"
  : > "$out"
  for night in 1 2; do
    if [ "$night" -gt 1 ]; then
      find "$tree" -type f | sort | awk -v n="$night" 'NR % 997 == n' | while read -r f; do
        printf '/* night %s */\n' "$night" >> "$f"
      done
    fi
    tar -C "$tree" -cf - share >> "$out"
    rm -f "$work/long.img"
    truncate -s 1200M "$work/long.img"
    mkfs.ext4 -q -F -U 6f1c1c52-3a4e-4c1e-9d35-7a0a4a6b2c10 -E root_owner=0:0 -d "$tree/image" "$work/long.img"
    cat "$work/long.img" "$work/backup.tar" >> "$out"
  done
  rm -rf "$tree" "$work/long.img"
}

# A disk image: an ext4 file system of 902 MiB (946 MB) made with
# mkfs.ext4 -d from a tree of system files, a compiler's tree
# (/usr/lib/llvm-14: 484 MiB of files), with a fixed UUID so that it is made
# alike each time; the rest is free space, most of it in the second half.
# Its two halves (473 MB each) are bench/patch.sh's first pair.
make_disk() {
  local out=$work/disk.img tree=$work/disk-tree
  [ -s "$out" ] && return
  rm -rf "$tree"; mkdir -p "$tree"
  cp -r /usr/lib/llvm-14 "$tree/"
  rm -f "$out"
  truncate -s 902M "$out"
  mkfs.ext4 -q -F -U 2b7c0c1e-5d3a-4f0e-8a61-3c9d2e7f4a15 -E root_owner=0:0 -d "$tree" "$out"
  rm -rf "$tree"
}

make_share() {  # a tar of /usr/share
  local out=$work/share.tar
  [ -s "$out" ] && return
  tar -C /usr -cf "$out" share 2>/dev/null || [ -s "$out" ]
}

corpus_file() {
  case $1 in
    backup) echo "$work/backup.tar" ;;
    random) echo "$work/random.bin" ;;
    edited) echo "$work/edited.bin" ;;
    long) echo "$work/long.bin" ;;
    disk) echo "$work/disk.img" ;;
    share) echo "$work/share.tar" ;;
    *) echo "unknown corpus: $1" >&2; return 1 ;;
  esac
}
