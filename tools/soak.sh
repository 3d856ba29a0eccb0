#!/usr/bin/env bash
# Soak test: the six-axis sample with everything switched on, run as a cell
# runs it for SOAK_SECONDS (default 60), with faults injected at random times.
#   tools/soak.sh                       60 s in build/
#   SOAK_SECONDS=1800 tools/soak.sh     half an hour
# Overrides: BUILD_DIR, SOAK_SECONDS, SOAK_SEED (repeats a run's fault times),
# SOAK_SKIP_BUILD=1 (uses the built tree as it is), KEEP_SOAK_DIR=1 (keeps the
# scratch directory of a passed run too).
#
# It copies the sample to a scratch directory, switches on the Modbus server,
# the PLC interface, a simulated camera and the cloud link (to a local
# mosquitto over TLS with certificates made here), runs a repeating program of
# joint, linear and circular motions that triggers the camera, and starts korvella-cansim and Korvella. korvella-soak then drives
# the cell with three remote clients and a Modbus client, samples the process
# every 10 s, injects the faults, prints the table and passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/soak-lib.sh

soak_build Korvella korvella-cansim korvella-soak
seconds=${SOAK_SECONDS:-60}
soak_scratch soak

cleanup() {
  local status=$?
  if [ -f "$work/broker.pid" ]; then kill "$(cat "$work/broker.pid")" 2>/dev/null || true; fi
  if [ -f "$work/subscriber.pid" ]; then kill "$(cat "$work/subscriber.pid")" 2>/dev/null || true; fi
  soak_cleanup "$status"
}
trap cleanup EXIT

hxp_port=$("$soak" --free-port)
modbus_port=$("$soak" --free-port)
broker_port=$("$soak" --free-port)

# ---- TLS broker with certificates made for this run
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
printf 'basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$work/server.ext"
openssl req -x509 "${ec[@]}" -keyout "$work/ca.key" -out "$work/ca.pem" -days 2 -subj /CN=Korvella-Soak-CA 2>/dev/null
openssl req "${ec[@]}" -keyout "$work/server.key" -out "$work/server.csr" -subj /CN=localhost 2>/dev/null
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
  -out "$work/server.pem" -days 2 -extfile "$work/server.ext" 2>/dev/null
chmod 644 "$work/ca.pem" "$work/server.pem" "$work/server.key"
cat >"$work/mosquitto.conf" <<EOF
listener $broker_port 127.0.0.1
cafile $work/ca.pem
certfile $work/server.pem
keyfile $work/server.key
allow_anonymous true
persistence false
log_dest stdout
EOF
# Started again by the run's broker restart; the subscriber follows it.
cat >"$work/broker.sh" <<EOF
#!/usr/bin/env bash
set -euo pipefail
cd "$work"
if [ -f broker.pid ]; then
  old=\$(cat broker.pid)
  kill "\$old" 2>/dev/null || true
  for _ in \$(seq 100); do kill -0 "\$old" 2>/dev/null || break; sleep 0.1; done
fi
if [ -f subscriber.pid ]; then kill "\$(cat subscriber.pid)" 2>/dev/null || true; fi
n=\$(cat starts 2>/dev/null || echo 0)
echo \$((n + 1)) >starts
setsid mosquitto -c mosquitto.conf >"broker-\$n.log" 2>&1 </dev/null &
echo \$! >broker.pid
for _ in \$(seq 100); do
  if (exec 3<>/dev/tcp/127.0.0.1/$broker_port) 2>/dev/null; then break; fi
  sleep 0.1
done
setsid mosquitto_sub -h 127.0.0.1 -p $broker_port --cafile ca.pem -t 'user/#' -v >"published-\$n.txt" 2>&1 </dev/null &
echo \$! >subscriber.pid
EOF
chmod 755 "$work/broker.sh"
"$work/broker.sh"

# ---- the cell: Modbus server, PLC interface (pause on input 22 of the I/O
# module 112, program running on output 24), simulated camera, cloud link,
# the soak program
device_id=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
echo "$device_id" >"$work/machine-id"
# The stored credentials: a random vector, then user and password encrypted
# with the device identifier as key, all in Base64.
iv=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
key=$(printf '%s' "$device_id" | od -An -tx1 | tr -d ' \n')
credentials=$( { printf "$(printf '%s' "$iv" | sed 's/../\\x&/g')"; printf 'soak\nsecret\n' | openssl enc -aes-256-cbc -K "$key" -iv "$iv"; } | base64 -w0)
cp "$work/ca.pem" "$cell/ISRG_Root_X1.pem"

sed -i \
  -e 's|<Program File="Demo.xml" Override="50"|<Program File="Soak.xml" Override="100"|' \
  -e 's|RefDelay\([0-8]\)="[0-9]*"|RefDelay\1="0"|g' \
  -e 's|<PLCInterface Active="false"|<PLCInterface Active="true"|' \
  -e 's|PauseNumber="-1"|PauseNumber="22"|' \
  -e 's|ProgramRunningNumber="-1"|ProgramRunningNumber="24"|' \
  -e "s|<Cameras/>|<Cameras><HwCamera Type=\"Sim\" Name=\"SoakCam\" X=\"620\" Y=\"0\" Z=\"400\" A=\"180\" B=\"0\" C=\"180\" ImageEnabled=\"True\"/></Cameras>|" \
  -e "s|<ModbusServer Active=\"False\" Port=\"502\"|<ModbusServer Active=\"True\" Port=\"$modbus_port\"|" \
  -e "s|</Environment>|    <Cloud Active=\"True\" Credentials=\"$credentials\" ClientID=\"soak\" RobotName=\"Soak arm\" RobotOwner=\"korvella\" CameraEnvironmentName=\"\" CameraWorkareaName=\"\"/>\n    </Environment>|" \
  "$project"
for expected in 'File="Soak.xml"' 'PLCInterface Active="true"' 'PauseNumber="22"' 'HwCamera Type="Sim"' "Port=\"$modbus_port\"" '<Cloud Active="True"'; do
  grep -q "$expected" "$project" || { echo "soak: could not switch on $expected in the project" >&2; exit 1; }
done
# Circular motions need the Cartesian path generator.
sed -i 's|GeneratorType="01"|GeneratorType="02Linear"|' "$robot_file"
grep -q 'GeneratorType="02Linear"' "$robot_file" || { echo "soak: could not switch the path generator" >&2; exit 1; }

cat >"$cell/Data/Programs/Soak.xml" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<Program>
    <Comment Nr="1" Descr="Soak: joint, linear and circular motions, a camera target; each completed cycle counts a good part"/>
    <Store Nr="2" Type="position" Name="camtarget"/>
    <Store Nr="3" Type="number" Name="camclass" Value="-2"/>
    <Joint Nr="4" a1="0" a2="45" a3="45" a4="0" a5="90" a6="0" velPercent="100" acc="100" smooth="0" AbortCondition="false"/>
    <CameraTrigger Nr="5" CameraName="SoakCam"/>
    <Output Nr="6" Channel="DOut1" State="true"/>
    <Linear Nr="7" x="620" y="80" z="450" a="180" b="0" c="180" vel="250" acc="100" smooth="0" AbortCondition="false"/>
    <Output Nr="8" Channel="DOut1" State="false"/>
    <Linear Nr="9" x="660" y="-80" z="380" a="180" b="0" c="180" vel="250" acc="100" smooth="0" AbortCondition="false"/>
    <Circular Nr="10" AbortCondition="false" vel="200" acc="100" smooth="0" useAngle="false" angle="0" Source="numbers" p1x="600" p1y="0" p1z="380" p2x="660" p2y="80" p2z="380" a="180" b="0" c="180" e1="0" e2="0" e3="0" VariableHelperName="" VariableEndName=""/>
    <Camera Nr="11" CameraName="SoakCam" CameraType="Sim" VarTargetPos="camtarget" VarModelClass="camclass"/>
    <Joint Nr="12" a1="-20" a2="20" a3="50" a4="10" a5="40" a6="-10" velPercent="100" acc="100" smooth="0" AbortCondition="false"/>
    <MathOperator Nr="13" Function="add" FirstOperand="#parts-good" SecondOperand="1"/>
</Program>
EOF

soak_start_bus
soak_start_korvella "$work/korvella.log" KORVELLA_HXP_PORT="$hxp_port" \
  KORVELLA_CLOUD_URI="ssl://127.0.0.1:$broker_port" KORVELLA_MACHINE_ID_FILE="$work/machine-id"

status=0
"$soak" --pid "$korvella_pid" --hxp-port "$hxp_port" --modbus-port "$modbus_port" --log "$work/korvella.log" \
  --faults "$work/faults" --broker-restart "$work/broker.sh" --project "$project" --camera SoakCam \
  --seconds "$seconds" ${SOAK_SEED:+--seed "$SOAK_SEED"} || status=$?

# The cloud link published before and after the broker's restart.
for f in "$work"/published-*.txt; do
  if ! grep -q '^user/soak/robot/soak/' "$f"; then
    echo "soak: nothing published to the broker in $(basename "$f")"
    status=1
  fi
done

# An orderly stop after all of it.
if kill -0 "$korvella_pid" 2>/dev/null; then
  kill -TERM "$korvella_pid"
  stopped=""
  for _ in $(seq 150); do kill -0 "$korvella_pid" 2>/dev/null || { stopped=1; break; }; sleep 0.1; done
  if [ -z "$stopped" ]; then
    echo "soak: Korvella did not stop within 15 s of SIGTERM"
    status=1
  else
    exit_status=0
    wait "$korvella_pid" || exit_status=$?
    korvella_pid=""
    if [ "$exit_status" -ne 0 ]; then
      echo "soak: Korvella ended with status $exit_status after SIGTERM"
      status=1
    fi
  fi
else
  echo "soak: Korvella was not running at the end"
  status=1
fi
[ "$status" -eq 0 ] && echo "soak: passed (${seconds} s)" || echo "soak: FAILED"
exit "$status"
