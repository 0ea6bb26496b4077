#!/usr/bin/env bash
# The demo without hardware: installs what is missing, builds, starts the
# simulated board telvar-sim on port 1 (or the next free number when the
# port folder already gives com1 to something else) and then Telvar. The
# simulator ends when Telvar does.
#
#   bash scripts/start.sh            # Telvar V2.0
#   TELVAR_BUILD=telvar-v1.1 bash scripts/start.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -f scripts/install-deps.sh ]; then
    bash scripts/install-deps.sh
else
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        qt6-base-dev qt6-serialport-dev qt6-httpserver-dev qt6-websockets-dev cmake g++ make \
        libgl-dev fonts-arphic-uming
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
program="${TELVAR_BUILD:-telvar}"
cmake --build build -j"$(nproc)" --target "$program" telvar-sim

folder="${XDG_CONFIG_HOME:-$HOME/.config}/telvar/ports"
# A link left by a simulator that was killed points at a pseudo-terminal
# that is gone; telvar-sim replaces those itself.
taken() {
    local entry="$folder/com$1"
    [ -e "$entry" ] && return 0
    [ -L "$entry" ] && case "$(readlink "$entry")" in /dev/pts/*) return 1 ;; *) return 0 ;; esac
    return 1
}
port=1
while taken "$port"; do port=$((port + 1)); done
if [ "$port" -ne 1 ]; then
    echo "start: com1 in $folder is already $(readlink "$folder/com1" || echo "taken");" \
         "the simulated board goes on port $port instead: set the port number to $port in Telvar."
fi

sim_out="$(mktemp)"
build/sim/telvar-sim --com "$port" >"$sim_out" 2>&1 &
sim_pid=$!
cleanup() {
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    rm -f "$sim_out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The simulator prints its device once the link is in place.
for _ in $(seq 100); do
    [ -s "$sim_out" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
done
if ! kill -0 "$sim_pid" 2>/dev/null || [ ! -L "$folder/com$port" ]; then
    echo "start: the simulated board did not start:" >&2
    cat "$sim_out" >&2
    exit 1
fi
echo "start: simulated board on port $port ($(head -n 1 "$sim_out")); press 打开串口 in Telvar."

status=0
build/app/"$program" "$@" || status=$?
exit "$status"
