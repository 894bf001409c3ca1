#!/usr/bin/env bash
# The demo in one command: builds the station and its back-end, loads a demo venue into a fresh
# store, starts tav-server on it and the station pointed at it (under Xvfb when there is no display).
# With --traffic, stations at eight gates also admit a crowd over a few minutes (for the dashboard).
set -euo pipefail
traffic=0
for arg in "$@"; do
  case "$arg" in
    --traffic) traffic=1 ;;
    *) echo "Usage: scripts/demo.sh [--traffic]" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build-demo"
run="$here/demo-run"
install="$run/orltav/"
port=8470
url="http://127.0.0.1:$port"
jobs="${TAV_JOBS:-$(nproc)}"

"$here/scripts/deps.sh"

echo "== Building tav and tav-server in $build"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAV_BUILD_FUZZERS=OFF \
  -DTAV_INSTALL_DIR="$install" -DTAV_SERVER_URL="$url" >/dev/null
targets=(tav tav-server)
have_assets=0
if cmake --build "$build" --target help | grep -w tav-assets >/dev/null; then
  targets+=(tav-assets)
  have_assets=1
fi
cmake --build "$build" --target "${targets[@]}" -j"$jobs"
server_bin="$build/server/tools/tav-server"
tav_bin="$build/app/tav"

# Processes this script started, stopped when the demo ends however it ends.
server_pid=""
xvfb_pid=""
tav_pid=""
traffic_pid=""
cleanup() {
  [ -n "$traffic_pid" ] && kill "$traffic_pid" 2>/dev/null || true
  [ -n "$tav_pid" ] && kill "$tav_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# True when something answers GET /health on the demo port.
healthy() {
  (
    exec 3<>"/dev/tcp/127.0.0.1/$port" || exit 1
    printf 'GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3
    answer=$(timeout 2 head -n 1 <&3 || true)
    [[ "$answer" == "HTTP/1.1 200"* ]]
  ) 2>/dev/null
}

if healthy; then
  echo "Port $port already has a back-end answering; stop it first (the station is built to call $url)." >&2
  exit 1
fi

echo "== Demo store $run/store.db"
mkdir -p "$install"
rm -f "$run/store.db" "$run/store.db-wal" "$run/store.db-shm"
"$server_bin" demo --store "$run/store.db" | tee "$run/demo.txt"
place=$(sed -n 's/^PlaceCode=//p' "$run/demo.txt" | tail -n 1)
read -r operator_id _ operator_password < <(sed -n '/^Operators/{n;p;q}' "$run/demo.txt")
# The demo's admin (the first operator) also opens the dashboard; its gate operator plays the crowd.
admin_id=$operator_id
admin_password=$operator_password
read -r gate_id _ gate_password < <(sed -n '/^Operators/{n;n;p;q}' "$run/demo.txt")

echo "== Install folder $install (stands for C:\\ORLTAV\\)"
if [ "$have_assets" = 1 ]; then
  "$build/assets/tav-assets" "$install" --place "$place"
else
  printf '[Marovex]\r\nPlaceCode=%s\r\n' "$place" >"$install/tav.ini"
fi

echo "== Starting tav-server on $url (log: $run/server.log)"
"$server_bin" serve --store "$run/store.db" --listen "127.0.0.1:$port" 2>"$run/server.log" &
server_pid=$!
for _ in $(seq 1 100); do
  healthy && break
  if ! kill -0 "$server_pid" 2>/dev/null; then
    cat "$run/server.log" >&2
    exit 1
  fi
  sleep 0.1
done
healthy || { echo "tav-server does not answer on $url." >&2; exit 1; }

echo
echo "Sign in with operator ID \"$operator_id\" and password \"$operator_password\"."
echo "Live ingress dashboard: $url/dashboard (in a browser on this machine), admin \"$admin_id\" / \"$admin_password\"."
echo

if [ "$traffic" = 1 ]; then
  echo "== Stations at 8 gates admit 4000 tickets over 3 minutes (log: $run/traffic.log)"
  python3 "$here/scripts/station_traffic.py" --url "$url" --operator "$gate_id" --password "$gate_password" \
    --tickets 4000 --seconds 180 --gates 8 >"$run/traffic.log" 2>&1 &
  traffic_pid=$!
fi

if [ -n "${DISPLAY:-}" ]; then
  echo "== Starting the station tav on display $DISPLAY; the demo ends when the station ends."
  "$tav_bin"
  exit 0
fi

# No display: a virtual one, where the demo drives the station itself and photographs it.
echo "== No display: running the station under Xvfb (virtual screen 1280x1024)"
displayfile="$run/xvfb.display"
rm -f "$displayfile"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$displayfile" 2>"$run/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 1 100); do
  [ -s "$displayfile" ] && break
  sleep 0.1
done
[ -s "$displayfile" ] || { echo "Xvfb did not start (see $run/xvfb.log)." >&2; exit 1; }
export DISPLAY=":$(tr -d '\n' <"$displayfile")"
export QT_QPA_PLATFORM=xcb

"$tav_bin" 2>"$run/tav.log" &
tav_pid=$!
window=$(timeout 30 xdotool search --sync --name '^Marovex TAV$' | head -n 1)
sleep 3
import -window root "$run/screenshot.png"
echo "Screenshot of the sign-in window: $run/screenshot.png"

# Sign in as an operator would: ID, password, then the 로그인 button (Xvfb has no window
# manager, so the window gets the keyboard through windowfocus).
xdotool windowfocus --sync "$window"
xdotool type --delay 40 "$operator_id"
xdotool key Tab
xdotool type --delay 40 "$operator_password"
xdotool mousemove --window "$window" 240 136 click 1
sleep 2
import -window root "$run/screenshot-signed-in.png"
echo "Screenshot after signing in as $operator_id: $run/screenshot-signed-in.png"

# TAV OPEN: the check screen over the whole (virtual) display.
xdotool mousemove --window "$window" 92 252 click 1
sleep 3
import -window root "$run/screenshot-check-screen.png"
echo "Screenshot of the check screen: $run/screenshot-check-screen.png"
if [ -n "$traffic_pid" ]; then
  echo "The dashboard stays open at $url/dashboard until the crowd has passed the gates."
  wait "$traffic_pid" || true
  traffic_pid=""
  cat "$run/traffic.log"
fi
echo "Nobody can use a virtual display: the demo stops the station and tav-server now."
