# Sourced by scripts/test: the test command as a list of stages, each a command whose output goes
# to build/logs/<name>.log. A stage prints one line (its counts and time) when it passes, and its
# whole log when it fails. GoogleTest and pytest inside a stage write their results to
# build/logs/<name>.xml, from which the line's counts and the skip reasons are read.

ZELTO_LOGS=$PWD/build/logs

# Empties the log directory and starts the clock of the whole run.
stage_init() {
  rm -rf "$ZELTO_LOGS"
  mkdir -p "$ZELTO_LOGS"
  ZELTO_RUN_START=$EPOCHREALTIME
}

# Seconds since the microsecond timestamp $1, with one decimal.
stage_seconds_since() {
  local elapsed=$(( ${EPOCHREALTIME/./} - ${1/./} ))
  printf '%d.%d s' $(( elapsed / 1000000 )) $(( elapsed % 1000000 / 100000 ))
}

# Prints its arguments as one block that lines from stages running alongside do not split.
stage_print() {
  { flock 9; printf '%s\n' "$@"; } 9>>"$ZELTO_LOGS/.print-lock"
}

# stage NAME COMMAND...: runs COMMAND (a program or a shell function); returns its status.
stage() {
  local name=$1
  shift
  local log=$ZELTO_LOGS/$name.log xml=$ZELTO_LOGS/$name.xml start=$EPOCHREALTIME status=0
  GTEST_OUTPUT=xml:$xml PYTEST_ADDOPTS="${PYTEST_ADDOPTS:-} --junitxml=$xml" \
    "$@" >"$log" 2>&1 </dev/null || status=$?
  local took summary
  took=$(stage_seconds_since "$start")
  if [ -s "$xml" ]; then
    summary=$(scripts/junit-summary "$xml" "$ZELTO_LOGS/$name.skips" 2>&1)
  else
    summary=$(tail -n 1 "$log" | cut -c 1-56)
  fi
  if [ "$status" -eq 0 ]; then
    stage_print "$(printf 'ok    %-24s %-56s %8s' "$name" "$summary" "$took")"
  else
    stage_print "$(printf 'FAIL  %-24s exit status %d after %s; its log (%s):' "$name" \
                   "$status" "$took" "$log")" "$(cat "$log")" "---- end of $name"
    echo "$name" >>"$ZELTO_LOGS/.failed"
  fi
  return "$status"
}

# stage_skip NAME REASON: a stage this machine cannot run, listed with the reason.
stage_skip() {
  stage_print "$(printf 'skip  %-24s %s' "$1" "$2")"
}

# in_parallel FUNCTION...: runs each function (a sequence of stages) in the background at once
# and waits for all of them; fails when any failed.
in_parallel() {
  local pids=() pid status=0
  for lane in "$@"; do
    "$lane" &
    pids+=("$!")
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || status=1
  done
  return "$status"
}

# The closing lines: the skipped tests of every stage by reason, then the verdict.
stage_finish() {
  local skips=("$ZELTO_LOGS"/*.skips)
  if [ -e "${skips[0]}" ] && [ -n "$(cat "${skips[@]}")" ]; then
    echo "skipped tests, by reason:"
    scripts/junit-summary --skipped "${skips[@]}"
  fi
  local took
  took=$(stage_seconds_since "$ZELTO_RUN_START")
  if [ -s "$ZELTO_LOGS/.failed" ]; then
    echo "FAILED after $took: $(paste -sd ' ' "$ZELTO_LOGS/.failed") (logs in $ZELTO_LOGS/)"
    return 1
  fi
  echo "all stages passed in $took (logs in $ZELTO_LOGS/)"
}
