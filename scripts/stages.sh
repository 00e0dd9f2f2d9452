# shellcheck shell=bash
# The stage runner of scripts/test.sh (sourced).
#
#   stage LANE ID NEEDS NAME COMMAND...   declares a stage: it runs in lane
#                                         LANE after the stages declared
#                                         before it there, and once the stage
#                                         with id NEEDS (- for none) is done;
#                                         ID (or -) names it for others
#   run_stages                            runs the lanes side by side, prints
#                                         each stage's output whole when it
#                                         ends, then the summary
#
# A stage passes with exit status 0 and is skipped with 77 (its "SKIP: why"
# line is the reason); anything else fails it. A stage whose NEEDS did not
# pass is skipped. A command runs in a bash of its own (a shell function
# must be exported: export -f), and one still running after STAGE_TIMEOUT
# seconds (default 900) is stopped with all it started, and fails. Lanes named "build" run at a lower priority, so that the
# timing of what runs in the others stays as on a quiet machine.
# Each stage is timed: wall seconds, and the user+sys CPU seconds of all it
# ran (what a quiet 2-core machine's wall time follows).

S_LANE=()
S_ID=()
S_NEEDS=()
S_NAME=()
S_CMD=()

stage() {
  S_LANE+=("$1")
  S_ID+=("$2")
  S_NEEDS+=("$3")
  S_NAME+=("$4")
  shift 4
  S_CMD+=("$(printf '%q ' "$@")")
}

# CPU seconds (user + sys) of the children, from the output of `times`.
cpu_of_times() {
  tail -n1 "$1" | awk '{ split($1, u, "m"); split($2, s, "m");
                         printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] + 0.5 }'
}

run_one() { # run_one INDEX
  local i=$1 dir=$RUN_DIR start=$SECONDS rc wall cpu status reason=""
  echo "==== ${S_NAME[i]}: started at $((SECONDS - RUN_START)) s"
  (
    # timeout leads a process group of its own, the stage's every process,
    # and signals all of it: on time-out, or when the run is interrupted.
    timeout --kill-after=30 "${STAGE_TIMEOUT:-900}" bash -c "${S_CMD[i]}" >"$dir/$i.log" 2>&1 </dev/null &
    echo $! >"$dir/$i.pid"
    wait $!
    echo $? >"$dir/$i.status"
    rm -f "$dir/$i.pid"
    times >"$dir/$i.times"
  )
  rc=$(cat "$dir/$i.status")
  wall=$((SECONDS - start))
  cpu=$(cpu_of_times "$dir/$i.times")
  case $rc in
    0) status=ok ;;
    77)
      status=skipped
      reason=$(sed -n 's/^SKIP: *//p' "$dir/$i.log" | head -n1)
      ;;
    124 | 137)
      status=FAILED
      reason="stopped after ${STAGE_TIMEOUT:-900} s"
      ;;
    *) status=FAILED ;;
  esac
  printf '%s\t%s\t%s\t%s\n' "$status" "$wall" "$cpu" "${reason:-exit $rc}" >"$dir/$i.result"
  {
    flock 9
    echo
    echo "==== ${S_NAME[i]}"
    cat "$dir/$i.log"
    echo "==== ${S_NAME[i]}: $status${reason:+: $reason} (wall $wall s, CPU $cpu s)"
  } 9>"$dir/print.lock"
}

run_lane() { # run_lane LANE
  local i j k need why
  [[ $1 == build ]] && renice -n 10 -p "$BASHPID" >/dev/null
  for i in "${!S_LANE[@]}"; do
    [[ ${S_LANE[i]} == "$1" ]] || continue
    need=${S_NEEDS[i]}
    why=""
    if [[ $need != - ]]; then
      j=""
      for k in "${!S_ID[@]}"; do [[ ${S_ID[k]} == "$need" ]] && j=$k; done
      if [[ -z $j ]]; then
        why="needs stage '$need', which does not exist"
      else
        until [[ -f $RUN_DIR/$j.result ]]; do sleep 1; done
        [[ $(cut -f1 "$RUN_DIR/$j.result") == ok ]] || why="needs '${S_NAME[j]}', which did not pass"
      fi
    fi
    if [[ -n $why ]]; then
      printf 'skipped\t0\t0\t%s\n' "$why" >"$RUN_DIR/$i.result"
      echo "==== ${S_NAME[i]}: skipped ($why)"
      continue
    fi
    run_one "$i"
  done
}

# Interrupted: the lanes and every running stage's process group stopped.
stop_stages() {
  local f
  kill -TERM "${LANE_PIDS[@]}" 2>/dev/null
  for f in "$RUN_DIR"/*.pid; do [[ -e $f ]] && kill -TERM -- "-$(cat "$f")" 2>/dev/null; done
  wait
}

run_stages() {
  local lanes=() lane i status wall cpu reason passed=0 failed=0 skipped=0 total_cpu=0
  RUN_DIR=$(mktemp -d /tmp/ttycard-test.XXXXXX) || exit 2
  # shellcheck disable=SC2064  # the folder's name is fixed now
  trap "rm -rf '$RUN_DIR'" EXIT
  trap 'stop_stages; exit 130' INT TERM
  RUN_START=$SECONDS
  LANE_PIDS=()
  for lane in "${S_LANE[@]}"; do [[ " ${lanes[*]} " == *" $lane "* ]] || lanes+=("$lane"); done
  for lane in "${lanes[@]}"; do
    run_lane "$lane" &
    LANE_PIDS+=($!)
  done
  wait

  echo
  echo "==== summary: status, wall s, user+sys CPU s, stage"
  local failures=() skips=()
  for i in "${!S_NAME[@]}"; do
    IFS=$'\t' read -r status wall cpu reason <"$RUN_DIR/$i.result"
    printf '%-8s %5s %6s  %s\n' "$status" "$wall" "$cpu" "${S_NAME[i]}"
    total_cpu=$((total_cpu + cpu))
    case $status in
      ok) passed=$((passed + 1)) ;;
      skipped)
        skipped=$((skipped + 1))
        skips+=("${S_NAME[i]}: $reason")
        ;;
      *)
        failed=$((failed + 1))
        failures+=("${S_NAME[i]} ($reason)")
        ;;
    esac
  done
  echo "total: wall $((SECONDS - RUN_START)) s, CPU $total_cpu s"
  [[ ${#failures[@]} -gt 0 ]] && printf 'failed stage: %s\n' "${failures[@]}"
  [[ ${#skips[@]} -gt 0 ]] && printf 'skipped stage: %s\n' "${skips[@]}"
  echo "$passed passed, $failed failed, $skipped skipped"
  [[ $failed -eq 0 ]]
}
