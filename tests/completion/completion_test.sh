#!/usr/bin/env bash
# The bash completion, driven as bash drives it: COMP_WORDS and COMP_CWORD
# set, _cdedup called, COMPREPLY read.  Checks that every option of
# `cdedup --help` is completed, and what each kind of word is offered, in a
# scratch directory of archives, other files and a subdirectory.
#   usage: completion_test.sh COMPLETION_SCRIPT CDEDUP_BINARY
set -uo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 COMPLETION_SCRIPT CDEDUP_BINARY" >&2
  exit 2
fi
script=$(realpath "$1")
read -ra cdedup <<< "${CDEDUP_EMULATOR:-}"
cdedup+=("$(realpath "$2")")
# shellcheck source=completion/cdedup.bash
source "$script"
complete -p cdedup > /dev/null || { echo "FAIL: sourcing the script registers no completion for cdedup"; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/cdedup-completion-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1
mkdir sub
touch a.cdd b.cdz c.tar d.cdd.tar 'my file.cdz' sub/e.cdd sub/f.txt -- -x.cdd

passed=0 failed=0
# completions WORD...: what completing the last WORD offers, one per line, sorted.
completions() {
  COMP_WORDS=(cdedup "$@")
  COMP_CWORD=$#
  COMP_LINE="cdedup $*"
  COMP_POINT=${#COMP_LINE}
  _cdedup 2> /dev/null
  [ ${#COMPREPLY[@]} = 0 ] || printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort
}
# expect WANT WORD...: completing WORD... offers exactly the lines of WANT.
expect() {
  local want got
  want=$(printf '%s' "$1" | tr ' ' '\n' | sed '/^$/d' | LC_ALL=C sort)
  shift
  got=$(completions "$@")
  if [ "$got" = "$want" ]; then
    ((++passed))
  else
    ((++failed))
    printf 'FAIL: cdedup %s\n  want: %s\n  got:  %s\n' "$*" "$(echo $want)" "$(echo $got)"
  fi
}
# offers WORD...: completing WORD... offers the word of each line on standard input.
offers() {
  local got missing
  got=$(completions "$@")
  missing=$(LC_ALL=C sort -u | LC_ALL=C comm -23 - <(echo "$got"))
  if [ -z "$missing" ]; then
    ((++passed))
  else
    ((++failed))
    printf 'FAIL: cdedup %s does not offer: %s\n' "$*" "$(echo $missing)"
  fi
}

# ---- options

# Every option the help text names, and those the file form brings.  The help's
# options section: lines from "options:" up to the next unindented line.
help=$("${cdedup[@]}" --help) || { echo "FAIL: cdedup --help"; exit 1; }
from_help=$(echo "$help" | sed -n '/^options:$/,/^[^ ]/p' | grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' |
  sed 's/^[ ,]//' | LC_ALL=C sort -u)
[ "$(echo "$from_help" | wc -l)" -ge 20 ] || { echo "FAIL: found too few options in the help text: $from_help"; exit 1; }
# A long option that takes "=VALUE" may be offered with its '=' only.
offered=$(completions -)
for o in $from_help; do
  if echo "$offered" | grep -qxF -e "$o" -e "$o="; then ((++passed)); else
    ((++failed)); echo "FAIL: cdedup --help names $o, which completing '-' does not offer"; fi
done
printf '%s\n' -c --stdout -o -f --force -k --keep --rm --bare -l --list --patch-from= --progress | offers -
# Each long option completes from its first letters to itself, and only to
# what begins the same way.
for o in $(echo "$from_help" | grep '^--'); do
  got=$(completions "${o:0:5}")
  case $'\n'"$got"$'\n' in
    *$'\n'"$o"$'\n'* | *$'\n'"$o="$'\n'*) ((++passed)) ;;
    *) ((++failed)); echo "FAIL: ${o:0:5} does not complete to $o: $(echo $got)" ;;
  esac
  if echo "$got" | grep -qv "^${o:0:5}"; then ((++failed)); echo "FAIL: ${o:0:5} offers $(echo $got)"; fi
done
expect "--zstd --zstd=" --zs
expect "--threads=" --thr
expect "--long --long=" --lo
expect "" --no-such-option

# ---- option values

all_levels=$(seq 1 22)
expect "$all_levels" --zstd =             # bash splits "--zstd=" at '='
expect "1 10 11 12 13 14 15 16 17 18 19" --zstd = 1
expect "$(seq 1 22 | sed 's/^/--zstd=/')" --zstd=
expect "--zstd=2 --zstd=20 --zstd=21 --zstd=22" --zstd=2
expect "" --threads =
expect "" -T ""
expect "" -dT ""
expect "" --long =
expect "" --chunklen=
# A file value: any file, whatever the other options say.
everything="-x.cdd a.cdd b.cdz c.tar d.cdd.tar my file.cdz sub"
every_line=$(printf '%s\n' -x.cdd a.cdd b.cdz c.tar d.cdd.tar 'my file.cdz' sub)
want_lines() {  # want_lines LINES WORD...: as expect, for names with spaces
  local want=$1 got
  shift
  got=$(completions "$@")
  if [ "$got" = "$(echo "$want" | LC_ALL=C sort)" ]; then ((++passed)); else
    ((++failed)); printf 'FAIL: cdedup %s\n  want: %s\n  got:  %s\n' "$*" "$(echo $want)" "$(echo $got)"; fi
}
want_lines "$every_line" -d -o ""
want_lines "$every_line" -d --patch-from = ""
want_lines "$(echo "$every_line" | sed 's/^/--patch-from=/')" -d --patch-from=
expect "sub/e.cdd sub/f.txt" -o sub/
expect "c.tar" --patch-from = c

# ---- operands

archives=$(printf '%s\n' -x.cdd a.cdd b.cdz 'my file.cdz' sub)
modes_and_files=$(printf '%s\n' "$every_line" e u d)
# Whatever the spelling and wherever it stands, an option that decodes or
# tests makes the operands archives; a value of another option is no operand.
for words in "-d" "--decode" "--decompress" "-t" "--test" "-l" "--list" "-dv" "-vd" "-v -d" "--zstd=3 -d" \
  "--zstd = 3 -d" "-d -T 2" "-T 2 -d" "-dT2" "-d -o out" "-d a.cdd" "-d a.cdd b.cdz" "-d -- " \
  "d" "D" "decode" "-v d"; do
  read -ra w <<< "$words"
  want_lines "$archives" "${w[@]}" ""
done
want_lines "a.cdd" -d a
want_lines "sub/e.cdd" -d sub/
want_lines "my file.cdz" -d my
# The first operand is a mode or a file; after a mode other than d, any file.
want_lines "$(echo "$modes_and_files" | LC_ALL=C sort)" ""
want_lines "$(echo "$modes_and_files" | LC_ALL=C sort)" -v ""
want_lines "$(echo "$modes_and_files" | LC_ALL=C sort)" -T 2 ""
expect "d d.cdd.tar" d
want_lines "$every_line" e ""
want_lines "$every_line" u ""
want_lines "$every_line" encode ""
want_lines "$every_line" c.tar ""        # the file form's next file
# OUTPUT of mode d is any file; the numbers after OUTPUT have nothing to offer.
want_lines "$every_line" d a.cdd ""
want_lines "$every_line" -z e c.tar ""
expect "" e c.tar out ""
expect "" e c.tar out 100 ""
expect "" d a.cdd out ""
# After "--", a word starting with '-' is a file.
want_lines "-x.cdd" -- -
want_lines "-x.cdd" -d -- -

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
