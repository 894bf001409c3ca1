#!/usr/bin/env bash
# Builds everything and runs every test (server, station, parser fuzzing) through CTest, then the
# short failover drill, which fails on a lost admission, a double admission or a fan turned away.
# Arguments go to ctest and run those tests alone, without the drill.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh"
build="${TAV_BUILD_DIR:-$here/build}"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j2 "$@"
[ $# -eq 0 ] || exit 0
sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo env TAV_BUILD_DIR="$build" "$here/scripts/drill.sh" --short
