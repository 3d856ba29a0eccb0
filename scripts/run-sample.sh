#!/usr/bin/env bash
# Runs Korvella with the six-axis sample on the simulated CAN bus.
#   scripts/run-sample.sh        Ctrl-C stops Korvella and the bus.
# Installs what is missing, builds in build/, copies the sample to build/run/
# unless that directory exists (so changed settings and counters survive a
# restart), starts korvella-cansim with the sample's robot file and runs
# Korvella in the run directory.
# Overrides: BUILD_DIR, RUN_DIR, SAMPLE, ROBOT_FILE (relative to the run
# directory), DIO_IDS (bus ids of the digital I/O modules, blank-separated).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)

scripts/install-deps.sh

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja
cmake --build "$build_dir" --parallel "$(nproc)" --target Korvella korvella-cansim
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
dio_args=()
for id in ${DIO_IDS:-112}; do dio_args+=(--dio "$id"); done

# A socket path stays short wherever the run directory is.
socket=$(mktemp -u "${TMPDIR:-/tmp}/korvella-can.XXXXXX")
sim_pid=""
cleanup() {
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
setsid "$build_dir/tools/korvella-cansim" --socket "$socket" --robot "$run_dir/$robot_file" "${dio_args[@]}" </dev/null &
sim_pid=$!
for _ in $(seq 50); do
  [ -S "$socket" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "run-sample: korvella-cansim did not start" >&2; exit 1; }
  sleep 0.1
done

cd "$run_dir"
status=0
KORVELLA_CAN_SIM="$socket" "$build_dir/src/Korvella" || status=$?
exit "$status"
