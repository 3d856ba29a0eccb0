#!/usr/bin/env bash
# Crash test: Korvella is killed with SIGKILL at random moments while a remote
# client keeps changing settings and asking for the restart sequence, which
# writes the robot file, the project file and the persistent counters. After every kill the
# project file, the robot file and the counters must be whole (old or new,
# never broken) and the next start must read them and reach its main loop.
#   tools/kill9.sh                  50 kills in build/
#   KILL9_ROUNDS=200 tools/kill9.sh
# Overrides: BUILD_DIR, KILL9_ROUNDS, SOAK_SKIP_BUILD=1 (uses the built tree as
# it is), KEEP_SOAK_DIR=1 (keeps the scratch directory of a passed run too).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/soak-lib.sh

soak_build Korvella korvella-cansim korvella-soak
rounds=${KILL9_ROUNDS:-50}
soak_scratch kill9
writer_pid=""
cleanup() {
  local status=$?
  if [ -n "$writer_pid" ]; then kill "$writer_pid" 2>/dev/null || true; fi
  soak_cleanup "$status"
}
trap cleanup EXIT

# The restart sequence ends in "systemctl reboot": this one does nothing.
mkdir "$work/bin"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/systemctl"
chmod 755 "$work/bin/systemctl"
counters="$cell/variableStorage.xml"
hxp_port=$("$soak" --free-port)
soak_start_bus

# The active client: a good-parts count that only grows (from $1 on), a new
# override and a new brake delay (the robot file is rewritten at once), then
# the restart sequence, which forces the project rewrite and stores the
# counters; over and over.
writer() {
  exec 5<>"/dev/tcp/127.0.0.1/$hxp_port" || exit 0
  cat <&5 >/dev/null 2>&1 &
  local n=0 good=$1
  while :; do
    n=$(((n + 1) % 1000))
    good=$((good + 1))
    printf 'HXPSTART %d VAR SetVariableSingle #parts-good %d HXPEND' "$n" "$good" >&5 || break
    printf 'HXPSTART %d CMD Override %d HXPEND' "$n" $((RANDOM % 100 + 1)) >&5 || break
    printf 'HXPSTART %d CONFIG SetBrake -1 %d -1 HXPEND' "$n" $((RANDOM % 1000)) >&5 || break
    printf 'HXPSTART %d SYSTEM Shutdown 101 HXPEND' "$n" >&5 || break
    sleep 0.02
  done
}

failures=0
mid_write=0
last_uptime=-1
last_good=-1
fail() {
  echo "kill9: round $round: $*"
  failures=$((failures + 1))
}
# Starts Korvella and checks that it read the files and reached its main loop.
start_and_check() {
  log="$work/korvella-$round.log"
  had_counters=""
  [ -f "$counters" ] && had_counters=1
  soak_start_korvella "$log" KORVELLA_HXP_PORT="$hxp_port" KORVELLA_LOG_NO_WAIT=1 PATH="$work/bin:$PATH"

  # Started: the main loop connects the bus, which it never does after a serious failure.
  started=""
  for _ in $(seq 300); do
    grep -q 'Connecting CAN bus' "$log" 2>/dev/null && { started=1; break; }
    kill -0 "$korvella_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$started" ]; then
    fail "did not reach its main loop; log in $log"
  elif [ -n "$had_counters" ] && ! grep -q 'System Variable: ProgramStarts =' "$log"; then
    fail "did not read the persistent counters"
  fi
  if grep -E -q 'variable Storage file not found|not found in variableStorage|reset to 0|Could not read file storage|Could not parse|Serious Failure' "$log"; then
    if [ -n "$had_counters" ] || ! grep -q 'variable Storage file not found' "$log"; then
      fail "start-up complained: $(grep -E -m1 'variable Storage|not found in variableStorage|reset to 0|Could not|Serious Failure' "$log")"
    fi
  fi
}

for round in $(seq "$rounds"); do
  start_and_check
  # Changes are written while the kill comes at a random moment.
  # The started controller has seen what the last kill left; from here on a
  # temporary file is one this round is writing.
  rm -f "$cell"/*_tmp "$(dirname "$project")"/*_tmp "$(dirname "$robot_file")"/*_tmp
  # Each round counts on from far above the last, so a stored count tells its round.
  writer $((round * 100000)) &
  writer_pid=$!
  pause_ms=$((RANDOM % 2000))
  if [ $((round % 2)) -eq 0 ]; then
    # Every other kill aims at a write in progress: the first temporary file seen.
    end=$((${EPOCHREALTIME/[.,]/} + pause_ms * 1000))
    while ((${EPOCHREALTIME/[.,]/} < end)); do
      if compgen -G "$cell/*_tmp" >/dev/null || compgen -G "$(dirname "$project")/*_tmp" >/dev/null ||
        compgen -G "$(dirname "$robot_file")/*_tmp" >/dev/null; then
        break
      fi
    done
  else
    sleep "$((pause_ms / 1000)).$(printf '%03d' $((pause_ms % 1000)))"
  fi
  kill -KILL "$korvella_pid" 2>/dev/null || true
  wait "$korvella_pid" 2>/dev/null || true
  korvella_pid=""
  kill "$writer_pid" 2>/dev/null || true
  wait "$writer_pid" 2>/dev/null || true
  writer_pid=""
  if [ -n "$(find "$cell" -name '*_tmp' -newer "$log" -print -quit)" ]; then
    mid_write=$((mid_write + 1))
  fi

  # Whole files, and counters that never go back.
  check=""
  if ! check=$("$soak" --check-files "$project" "$robot_file" "$([ -f "$counters" ] && echo "$counters" || echo -)"); then
    fail "$check"
    continue
  fi
  if [ -n "$had_counters" ] && [ ! -f "$counters" ]; then
    fail "the persistent counters are gone"
  fi
  uptime=$(echo "$check" | awk '{print $6}')
  good=$(echo "$check" | awk '{print $10}')
  if [ "$uptime" -lt "$last_uptime" ]; then
    fail "the up-time counter went back from $last_uptime to $uptime"
  fi
  if [ "$good" -lt "$last_good" ] || [ "$good" -gt $(((round + 1) * 100000)) ]; then
    fail "the good-parts count $good is neither the old one ($last_good) nor one of this round's"
  fi
  last_uptime=$uptime
  last_good=$good
  echo "kill9: round $round: $check"
done

# The start after the last kill, then an orderly stop.
round=$((rounds + 1))
start_and_check
kill -TERM "$korvella_pid" 2>/dev/null || true
wait "$korvella_pid" 2>/dev/null || fail "did not end cleanly on SIGTERM"
korvella_pid=""
echo "kill9: $((rounds - failures)) of $rounds kills followed by a restart that found whole files and started; $mid_write kills left a half-written temporary file behind"
[ "$failures" -eq 0 ]
