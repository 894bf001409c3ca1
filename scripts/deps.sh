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
# Debian's npm, unless a Node.js package that brings its own is there (it conflicts with Debian's).
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}" >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The station page's barcode decoder, from npm at the versions its lockfile pins; compiled into
# tav-server by the build. Installed again only when the lockfile changed.
decoder="$(cd "$(dirname "$0")/.." && pwd)/server/http/station/decoder"
if ! cmp -s "$decoder/package-lock.json" "$decoder/node_modules/.package-lock.json.installed"; then
  echo "Installing the station page's decoder (npm ci)" >&2
  (cd "$decoder" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  cp "$decoder/package-lock.json" "$decoder/node_modules/.package-lock.json.installed"
fi
