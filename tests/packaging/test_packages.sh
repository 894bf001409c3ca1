#!/usr/bin/env bash
# The Debian packages: cpack builds both, each holds its files, the unit passes systemd's own
# check, and the packaged programs run from an unpacked tree.
# Usage: test_packages.sh BUILD_DIR INSTALL_DIR
set -euo pipefail
build=$1
folder=${2%/}
work=$(mktemp -d /tmp/tav-packages.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack"; }
server=$(ls "$work"/out/tav-server_*.deb) || fail "no tav-server package"
station=$(ls "$work"/out/tav-station_*.deb) || fail "no tav-station package"

# Each file where DESIGN's layout puts it, and nothing of the other package.
has() { grep -qE "$2\$" <<<"$1" || fail "$3 lacks $2"; }
lacks() { ! grep -qE "$2\$" <<<"$1" || fail "$3 holds $2"; }
list=$(dpkg-deb -c "$server")
has "$list" ' \./usr/bin/tav-server' tav-server
has "$list" ' \./lib/systemd/system/tav-server\.service' tav-server
has "$list" ' \./etc/tav/tav-server\.conf' tav-server
lacks "$list" ' \./usr/bin/tav' tav-server
list=$(dpkg-deb -c "$station")
has "$list" ' \./usr/bin/tav' tav-station
has "$list" ' \./usr/bin/tav-assets' tav-station
has "$list" " \.$folder/ok\.wav" tav-station
has "$list" " \.$folder/no\.wav" tav-station
has "$list" " \.$folder/[^/]+\.jpg" tav-station
lacks "$list" " \.$folder/tav\.ini" tav-station
lacks "$list" ' \./usr/bin/tav-server' tav-station

info=$(dpkg-deb -I "$server")
grep -q '^ Package: tav-server$' <<<"$info" || fail "tav-server's control names another package"
grep -q '^ Depends: .*adduser' <<<"$info" || fail "tav-server does not depend on adduser"
[ "$(dpkg-deb --ctrl-tarfile "$server" | tar -xO ./conffiles)" = /etc/tav/tav-server.conf ] || fail "the settings file is no conffile"
dpkg-deb --ctrl-tarfile "$server" | tar -xO ./postinst | grep -q 'adduser --system' || fail "postinst makes no user"
dpkg-deb --ctrl-tarfile "$server" | tar -xO ./postinst | grep -q 'systemctl restart tav-server' || fail "postinst restarts no running server"
dpkg-deb --ctrl-tarfile "$server" | tar -xO ./postrm | grep -q 'kept /var/lib/tav' || fail "postrm's purge does not say what it keeps"
# Every build carries the project's version and the commit count it was built from: a later build is newer.
version=$(dpkg-deb -f "$server" Version)
grep -qE '^[0-9]+\.[0-9]+\.[0-9]+$' <<<"$version" || fail "tav-server's version $version has no build number"
info=$(dpkg-deb -I "$station")
grep -q '^ Package: tav-station$' <<<"$info" || fail "tav-station's control names another package"
grep -q '^ Depends: .*fonts-nanum' <<<"$info" || fail "tav-station does not depend on its font"

root="$work/root"
dpkg-deb -x "$server" "$root"
dpkg-deb -x "$station" "$root"
unit="$root/lib/systemd/system/tav-server.service"
for line in User=tav Restart=always ProtectSystem=strict ReadWritePaths=/var/lib/tav NoNewPrivileges=true \
    PrivateTmp=true ProtectHome=true EnvironmentFile=/etc/tav/tav-server.conf; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
grep -q '^ExecStart=/usr/bin/tav-server serve ' "$unit" || fail "the unit does not run tav-server serve"
# Every name the unit and the settings file use is one serve takes.
for flag in $(grep -o -- '--[a-z-]*' "$root/etc/tav/tav-server.conf" | sort -u); do
  [ "$flag" = --dir ] || [ "$flag" = --host ] && continue
  "$root/usr/bin/tav-server" serve --help | grep -q -- "$flag" || fail "serve takes no $flag"
done

if command -v systemd-analyze >/dev/null; then
  # The targets and slices the unit refers to come from this machine's systemd, beside the package.
  mkdir -p "$root/usr/lib/systemd"
  cp -rn /usr/lib/systemd/system "$root/usr/lib/systemd/"
  out=$(systemd-analyze verify --root="$root" /lib/systemd/system/tav-server.service 2>&1) || { echo "$out" >&2; fail "systemd-analyze verify"; }
  [ -z "$out" ] || { echo "$out" >&2; fail "systemd-analyze verify warned"; }
else
  echo "systemd-analyze is not installed (scripts/deps.sh installs it): the unit is not verified" >&2
fi

[ "$("$root/usr/bin/tav-server" --version)" = "tav-server $version" ] || fail "tav-server --version is not the package's $version"
out=$("$root/usr/bin/tav-server" --help) || fail "the packaged tav-server --help"
grep -q '^Usage: tav-server COMMAND' <<<"$out" || fail "tav-server --help: $out"
for c in backup export-scans set-event set-password set-operator cancel-ticket restore-ticket; do
  "$root/usr/bin/tav-server" "$c" --help | grep -q "^Usage: tav-server $c --store STORE" || fail "$c --help"
done
out=$(QT_QPA_PLATFORM=offscreen "$root/usr/bin/tav" --version) || fail "the packaged tav --version"
grep -q "$folder" <<<"$out" || fail "tav --version does not name $folder: $out"
echo "packages: $(basename "$server") $(basename "$station")"
