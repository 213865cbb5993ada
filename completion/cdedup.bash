# Bash completion for cdedup.  Installed as
# /usr/share/bash-completion/completions/cdedup, where bash-completion loads it
# the first time cdedup is completed.
#
# Every option and what its value is lives in the one table below, so that a
# new option is one line.  The function needs none of bash-completion's
# helpers: it completes the same whether loaded by bash-completion, sourced
# by hand or called by a test with COMP_WORDS and COMP_CWORD set, and it
# takes "--opt=value" both as one word and split at '=' (COMP_WORDBREAKS).

# One line per option: its spellings, then what it takes.
#   -        nothing
#   archive  nothing, but the file operands become archives: .cdd and .cdz only
#   level    a zstd level, 1..22
#   number   a number with too many values to list: nothing is offered
#   file     any file
# A spelling ending in '=' takes its value after '=' in the same word, one
# ending in '[=]' may take one there, and a short option that takes a value
# takes it as the rest of its word or as the next word.
_cdedup_option_table='
-z --zstd[=]             level
-d --decode --decompress archive
-t --test                archive
-l --list                archive
-T --threads=            number
--chunklen= --encmem= --decmem= number
--long[=]                number
-c --stdout              -
-o --output=             file
-f --force               -
-k --keep                -
--rm                     -
--bare                   -
--patch-from=            file
--progress               -
--reference              -
-v --verbose             -
-q --quiet               -
-h --help                -
-V --version             -
'
_cdedup_archive_suffixes='cdd cdz'
_cdedup_modes='e u d'

# _cdedup_lookup WORD: sets _cdedup_kind to what the option WORD ("--zstd",
# "--zstd=3", "-o") takes, empty for no option of the table, and
# _cdedup_form to how it takes it: "=", "[=]", or "" for a short option.
_cdedup_lookup() {
  local word=${1%%=*} line name base
  local -a words
  _cdedup_kind="" _cdedup_form=""
  while IFS= read -r line; do
    read -ra words <<< "$line"   # read, not word splitting: no pattern in "[=]" meets a file
    [ ${#words[@]} -ge 2 ] || continue
    for name in "${words[@]:0:${#words[@]}-1}"; do
      base=${name%\[=\]}
      base=${base%=}
      if [ "$base" = "$word" ]; then
        _cdedup_kind=${words[-1]}
        _cdedup_form=${name#"$base"}
        return 0
      fi
    done
  done <<< "$_cdedup_option_table"
  return 1
}

# _cdedup_next_is_value WORD: does the option word WORD ("-o", "-dT") leave
# its value to the next word?  Sets _cdedup_archives=1 when one of its
# options makes the operands archives.
_cdedup_next_is_value() {
  local word=$1 i
  if [[ $word == --* ]]; then
    _cdedup_lookup "$word" || return 1
    [ "$_cdedup_kind" = archive ] && _cdedup_archives=1
    return 1   # a long option's value is joined by '='
  fi
  # Short options, one or several in a word ("-dv"); the first that takes a
  # value takes the rest of the word, or the next word when nothing is left.
  for ((i = 1; i < ${#word}; ++i)); do
    _cdedup_lookup "-${word:i:1}" || return 1
    case $_cdedup_kind in
      -) ;;
      archive) _cdedup_archives=1 ;;
      *) [ $((i + 1)) -eq ${#word} ]; return ;;
    esac
  done
  return 1
}

_cdedup_spellings() {  # every spelling to offer: "--zstd[=]" gives "--zstd" and "--zstd="
  local line name
  local -a words
  while IFS= read -r line; do
    read -ra words <<< "$line"
    [ ${#words[@]} -ge 2 ] || continue
    for name in "${words[@]:0:${#words[@]}-1}"; do
      case $name in
        *'[=]') printf '%s\n' "${name%\[=\]}" "${name%\[=\]}=" ;;
        *) printf '%s\n' "$name" ;;
      esac
    done
  done <<< "$_cdedup_option_table"
}

_cdedup_files() {  # _cdedup_files CUR ARCHIVES_ONLY: files, and directories to reach them
  local f s
  while IFS= read -r f; do
    if [ "$2" = 0 ] || [ -d "$f" ]; then
      printf '%s\n' "$f"
      continue
    fi
    for s in $_cdedup_archive_suffixes; do
      case $f in *."$s") printf '%s\n' "$f"; break ;; esac
    done
  done < <(compgen -f -- "$1")
}

# _cdedup_values KIND CUR: fills COMPREPLY with the values of an option of KIND.
_cdedup_values() {
  case $1 in
    level) mapfile -t COMPREPLY < <(compgen -W "$(seq 1 22)" -- "$2") ;;
    file)
      mapfile -t COMPREPLY < <(_cdedup_files "$2" 0)
      compopt -o filenames 2> /dev/null
      ;;
  esac
  return 0
}

_cdedup() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=""
  [ "$COMP_CWORD" -ge 1 ] && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  # A value after '=', in one word ("--zstd=1") or split at it ("--zstd" "=" "1").
  local opt="" value="" joined=""
  if [ "$cur" = "=" ] && [[ $prev == --* ]]; then
    opt=$prev
  elif [ "$prev" = "=" ] && [ "$COMP_CWORD" -ge 2 ] && [[ ${COMP_WORDS[COMP_CWORD - 2]} == --* ]]; then
    opt=${COMP_WORDS[COMP_CWORD - 2]} value=$cur
  elif [[ $cur == --*=* ]]; then
    opt=${cur%%=*} value=${cur#*=} joined="$opt="
  fi
  if [ -n "$opt" ]; then
    _cdedup_lookup "$opt" && _cdedup_values "$_cdedup_kind" "$value"
    [ -z "$joined" ] || COMPREPLY=("${COMPREPLY[@]/#/$joined}")
    return 0
  fi

  # The words before this one: which operand is this, are the operands
  # archives, has "--" ended the options?  A short option's value ("-o out",
  # "-T 2") is no operand.
  local i w operands=0 options_ended=0 mode="" value_next=0
  _cdedup_archives=0
  for ((i = 1; i < COMP_CWORD; ++i)); do
    w=${COMP_WORDS[i]}
    if [ $value_next = 1 ]; then
      value_next=0
    elif [ "$w" = "=" ] || { [ "${COMP_WORDS[i - 1]}" = "=" ] && [ $options_ended = 0 ]; }; then
      :   # an option's value, split off at '='
    elif [ $options_ended = 0 ] && [ "$w" = -- ]; then
      options_ended=1
    elif [ $options_ended = 0 ] && [[ $w == -?* ]]; then
      _cdedup_next_is_value "$w" && value_next=1
    else
      [ $operands = 0 ] && mode=$w
      ((++operands))
    fi
  done
  if [ $value_next = 1 ]; then
    _cdedup_lookup "-${prev: -1}"
    _cdedup_values "$_cdedup_kind" "$cur"
    return 0
  fi

  if [ $options_ended = 0 ] && [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(_cdedup_spellings)" -- "$cur")
    # "--zstd=" waits for its value.
    [ ${#COMPREPLY[@]} = 1 ] && [[ ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2> /dev/null
    return 0
  fi

  # Operands.  The first is a mode or a file.  In the positional form
  # (MODE INPUT OUTPUT [numbers]) the input of mode d is an archive, and the
  # numbers after OUTPUT have nothing to offer.
  local archives=$_cdedup_archives
  case $mode in
    e | u | d | D | encode | unique | decode)
      [ $operands -ge 3 ] && return 0
      [ $operands = 1 ] && [[ $mode == d || $mode == D || $mode == decode ]] && archives=1
      [ $operands = 2 ] && archives=0
      ;;
  esac
  mapfile -t COMPREPLY < <(_cdedup_files "$cur" $archives)
  compopt -o filenames 2> /dev/null
  if [ $operands = 0 ] && [ $archives = 0 ]; then
    mapfile -t -O ${#COMPREPLY[@]} COMPREPLY < <(compgen -W "$_cdedup_modes" -- "$cur")
  fi
  return 0
}

complete -F _cdedup cdedup
