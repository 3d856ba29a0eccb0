#!/usr/bin/env bash
# Runs Korvella with the six-axis sample on the simulated CAN bus.
#   scripts/run-sample.sh        Ctrl-C stops Korvella and the bus.
# Installs what is missing, builds in build/, copies the sample to build/run/
# unless that directory exists (so changed settings and counters survive a
# restart), starts korvella-cansim with the sample's robot file (its joint
# modules at the project's home position) and runs Korvella in the run
# directory. Beside it, korvella-demo connects on port 3920, enables and
# references the arm, starts the sample program, prints the status for a while
# and disconnects; Korvella keeps running.
# Overrides: BUILD_DIR, RUN_DIR, SAMPLE, ROBOT_FILE and PROJECT_FILE (relative
# to the run directory), DIO_IDS (bus ids of the digital I/O modules,
# blank-separated), FRAME_LOG (file for the bus's frame log, one line per CAN
# frame; off when unset), DEMO=0 (no demonstration client), DEMO_SECONDS (how
# long the demonstration prints the status, default 30).
set -euo pipefail
start_dir=$(pwd)
cd "$(dirname "$0")/.."
source_dir=$(pwd)

scripts/install-deps.sh

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja
cmake --build "$build_dir" --parallel "$(nproc)" --target Korvella korvella-cansim korvella-demo
build_dir=$(cd "$build_dir" && pwd)

sample=${SAMPLE:-samples/six-axis}
run_dir=${RUN_DIR:-$build_dir/run}
if [ ! -d "$run_dir" ]; then
  mkdir -p "$(dirname "$run_dir")"
  cp -r "$source_dir/$sample" "$run_dir"
  echo "run-sample: copied $sample to $run_dir"
fi
run_dir=$(cd "$run_dir" && pwd)

robot_file=${ROBOT_FILE:-Data/Robots/KorvellaSix/KorvellaSix.xml}
project_file=${PROJECT_FILE:-Data/Projects/SixAxis/SixAxis.prj}
sim_args=(--robot "$run_dir/$robot_file")
for id in ${DIO_IDS:-112}; do sim_args+=(--dio "$id"); done
[ -f "$run_dir/$project_file" ] && sim_args+=(--project "$run_dir/$project_file")
if [ -n "${FRAME_LOG:-}" ]; then
  case "$FRAME_LOG" in
    /*) frame_log=$FRAME_LOG ;;
    *) frame_log=$start_dir/$FRAME_LOG ;;
  esac
  sim_args+=(--log "$frame_log")
  echo "run-sample: CAN frame log in $frame_log"
fi

# A socket path stays short wherever the run directory is.
socket=$(mktemp -u "${TMPDIR:-/tmp}/korvella-can.XXXXXX")
sim_pid=""
demo_pid=""
cleanup() {
  if [ -n "$demo_pid" ] && kill -0 "$demo_pid" 2>/dev/null; then
    kill -TERM "$demo_pid" 2>/dev/null || true
  fi
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
  fi
  if [ -n "$sim_pid" ]; then wait "$sim_pid" 2>/dev/null || true; fi
  rm -f "$socket"
}
trap cleanup EXIT
# Ctrl-C reaches Korvella itself; the script only waits for it and then cleans up.
trap ':' INT TERM

# The bus reads fault commands from its standard input; the console belongs to Korvella.
# Its own session keeps Ctrl-C away from it, so the bus outlives Korvella's
# orderly disconnect and is stopped by the cleanup above.
setsid "$build_dir/tools/korvella-cansim" --socket "$socket" "${sim_args[@]}" </dev/null &
sim_pid=$!
for _ in $(seq 50); do
  [ -S "$socket" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "run-sample: korvella-cansim did not start" >&2; exit 1; }
  sleep 0.1
done

# The demonstration client waits for the controller's port and then takes over as its first client.
if [ "${DEMO:-1}" != 0 ]; then
  "$build_dir/tools/korvella-demo" --port "${KORVELLA_HXP_PORT:-3920}" --seconds "${DEMO_SECONDS:-30}" </dev/null &
  demo_pid=$!
fi

cd "$run_dir"
status=0
KORVELLA_CAN_SIM="$socket" "$build_dir/src/Korvella" || status=$?
exit "$status"
