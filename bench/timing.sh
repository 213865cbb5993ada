# Timing helpers shared by compare.sh and long_stream.sh; sourced, with
# $work set.
#
# timed_together LABEL OUTPUT_FILE SHELL_COMMAND [LABEL OUTPUT_FILE SHELL_COMMAND ...]:
# runs the commands in turn, REPEAT rounds (default 3), so that a busy
# minute of a shared machine falls on all of them alike; prints for each the
# user, system and wall seconds of its run with the least wall time, the
# largest peak RSS of its processes, and its output size.  Commands run
# under bash -c, so every process of a pipeline is counted.
timed_together() {
  local -a labels=() outs=() cmds=() best=()
  while [ $# -gt 0 ]; do labels+=("$1"); outs+=("$2"); cmds+=("$3"); best+=(""); shift 3; done
  local i t
  for _ in $(seq "${REPEAT:-3}"); do
    for i in "${!cmds[@]}"; do
      /usr/bin/time -o "$work/.time" -f '%e %U %S %M' bash -c "${cmds[$i]}" > "${outs[$i]}"
      t=$(tail -1 "$work/.time")
      if [ -z "${best[$i]}" ] || awk -v a="${t%% *}" -v b="${best[$i]%% *}" 'BEGIN { exit !(a < b) }'; then
        best[$i]=$t
      fi
    done
  done
  for i in "${!cmds[@]}"; do
    local size=0
    case ${outs[$i]} in /dev/null) ;; *) size=$(stat -c %s "${outs[$i]}") ;; esac
    echo "${best[$i]}" | awk -v l="${labels[$i]}" -v o="$size" \
      '{ printf "  %-40s user %6.2f  sys %6.2f  wall %6.2f s  RSS %7.1f MiB %14.0f bytes\n", l, $2, $3, $1, $4 / 1024, o }'
  done
}

# wall_of, user_of: a field of a timed_together line.
wall_of() { awk '{ for (i = 1; i <= NF; ++i) if ($i == "wall") { print $(i + 1); exit } }'; }
# wall_of_each: the wall seconds of every timed_together line, one a line.
wall_of_each() { awk '{ for (i = 1; i <= NF; ++i) if ($i == "wall") print $(i + 1) }'; }
