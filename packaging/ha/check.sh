#!/bin/bash
# Checks packaging/ha's templates with the tools of the Debian packages they are for (haproxy,
# keepalived, patroni, systemd), filled with values.example or the values file given; starts
# nothing. Prints each tool's verdict and ends non-zero when one of them refuses a file.
#   packaging/ha/check.sh [VALUES]
set -u
here=$(cd "$(dirname "$0")" && pwd)
values=${1:-$here/values.example}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

for f in patroni.yml etcd.default haproxy.cfg keepalived.conf tav-server.conf; do
  "$here/fill.sh" "$values" "$here/$f" >"$work/$f" || failed=1
done
# HAProxy reads the CA file while checking; any certificate bundle stands in for the site's.
sed -i "s|^\(.*ca-file \)[^ ]*|\1/etc/ssl/certs/ca-certificates.crt|" "$work/haproxy.cfg"

run() {
  echo "== $*"
  "$@" || { echo "refused (status $?)"; failed=1; }
}
if command -v haproxy >/dev/null; then run haproxy -c -f "$work/haproxy.cfg"; else echo "== haproxy: not installed"; fi
if command -v keepalived >/dev/null; then run keepalived -t -f "$work/keepalived.conf"; else echo "== keepalived: not installed"; fi
# Patroni's validator also asks whether the listen ports are free on this machine: on a machine
# other than the one the values are for, those two answers say nothing about the file.
if command -v patroni >/dev/null; then run patroni --validate-config "$work/patroni.yml"; else echo "== patroni: not installed"; fi

# The drop-ins over the units they change: the Debian packages' units, and tav-server's own.
units=$work/units
mkdir -p "$units"
cp -r "$here/systemd/." "$units/"
cp "$here/../server/tav-server.service" "$units/"
for u in tav-server.service patroni@15-main.service etcd.service haproxy.service keepalived.service; do
  echo "== systemd-analyze verify $u (with $(SYSTEMD_UNIT_PATH=$units: SYSTEMD_LOG_LEVEL=debug \
    systemd-analyze verify "$u" 2>&1 | grep -c 'DropIn Path: .*/ha.conf') drop-in)"
  SYSTEMD_UNIT_PATH=$units: systemd-analyze verify "$u" || failed=1
done
exit $failed
