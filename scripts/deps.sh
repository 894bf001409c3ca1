#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need; quiet and quick when present.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev
  libboost1.81-dev libcpp-httplib-dev nlohmann-json3-dev libsqlite3-dev libsodium-dev libssl-dev zlib1g-dev
  libgtest-dev googletest
  xvfb xauth x11-apps fonts-nanum
  imagemagick xdotool
  postgresql-15 libpq-dev
  dpkg-dev systemd
  libjs-chart.js chromium chromium-driver python3-selenium
  patroni python3-etcd etcd-server etcd-client haproxy curl
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}" >&2
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
