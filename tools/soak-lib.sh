# Shared by tools/soak.sh and tools/kill9.sh (sourced from the repository root).

# Installs what is missing and builds the named targets in BUILD_DIR (default
# build/); with SOAK_SKIP_BUILD=1 it takes the tree as it is, so that a second
# script can run beside one that builds.
soak_build() {
  build_dir=${BUILD_DIR:-build}
  if [ -z "${SOAK_SKIP_BUILD:-}" ]; then
    scripts/install-deps.sh
    cmake -S . -B "$build_dir" -G Ninja >/dev/null
    cmake --build "$build_dir" --parallel "$(nproc)" --target "$@"
  fi
  build_dir=$(cd "$build_dir" && pwd)
  soak="$build_dir/tools/korvella-soak"
}

# A scratch copy of the six-axis sample: sets work, cell, project, robot_file.
soak_scratch() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/korvella-$1.XXXXXX")
  # The broker drops root for its own user, which must still read its files.
  chmod 755 "$work"
  cell="$work/cell"
  cp -r samples/six-axis "$cell"
  project="$cell/Data/Projects/SixAxis/SixAxis.prj"
  robot_file="$cell/Data/Robots/KorvellaSix/KorvellaSix.xml"
}

# korvella-cansim with its fault channel on the FIFO $work/faults, held open
# on descriptor 7 so that the channel never sees an end of input. Sets socket
# and bus_pid.
soak_start_bus() {
  socket=$(mktemp -u "${TMPDIR:-/tmp}/korvella-can.XXXXXX")
  mkfifo "$work/faults"
  exec 7<>"$work/faults"
  "$build_dir/tools/korvella-cansim" --socket "$socket" --robot "$robot_file" --dio 112 \
    <"$work/faults" >"$work/cansim.log" 2>&1 &
  bus_pid=$!
  for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done
  if [ ! -S "$socket" ]; then
    echo "korvella-cansim did not start:" >&2
    cat "$work/cansim.log" >&2
    return 1
  fi
  # The controller's console: a FIFO held open on descriptor 8.
  mkfifo "$work/console"
  exec 8<>"$work/console"
}

# Starts Korvella in the cell with the bus, logging to $1; further arguments
# are NAME=VALUE settings for its environment. Sets korvella_pid.
soak_start_korvella() {
  local log=$1
  shift
  (
    cd "$cell"
    exec env KORVELLA_CAN_SIM="$socket" "$@" "$build_dir/src/Korvella" <"$work/console" >"$log" 2>&1
  ) &
  korvella_pid=$!
}

# Ends what was started; keeps the scratch directory when told to or on failure ($1: status).
soak_cleanup() {
  exec 7>&- 8>&- 2>/dev/null || true
  if [ -n "${korvella_pid:-}" ]; then kill -KILL "$korvella_pid" 2>/dev/null || true; fi
  if [ -n "${bus_pid:-}" ]; then kill "$bus_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -f "${socket:-}"
  if [ "$1" -eq 0 ] && [ -z "${KEEP_SOAK_DIR:-}" ]; then
    rm -rf "$work"
  else
    echo "logs kept in $work"
  fi
}
