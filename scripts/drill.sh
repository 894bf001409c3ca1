#!/usr/bin/env bash
# The failover drill: builds docs/failover.md's deployment on this machine from packaging/ha's
# templates (etcd, two Patroni-run PostgreSQL 15, two tav-servers, HAProxy, all on 127.77.0.x),
# plays 48 registered gate stations through it while it breaks one part at a time, and prints per
# fault what the gates and the database saw. Ends non-zero when an answered admission is missing, a
# ticket was admitted twice or a fan was turned away; for the venue network's outage also when the
# offline conflicts are not the copies scanned on purpose or a stand's count in the database is not
# what its stations admitted.
#
#   scripts/drill.sh [--short]      (--short: a tav-server killed, the primary killed, the primary stalled
#                                    10 s, and the venue network black-holed 60 s with offline on and off)
#
# TAV_BUILD_DIR names the build folder (default build/); DRILL_KEEP=1 keeps the temporary folder
# with every process's log.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAV_BUILD_DIR:-$root/build}
short=0
case "${1:-}" in
  --short) short=1 ;;
  "") ;;
  *) echo "usage: $0 [--short]" >&2; exit 2 ;;
esac
[ "$(id -u)" -eq 0 ] || { echo "$0: run it as root: PostgreSQL runs as the system user tavpg, HAProxy binds where it is told." >&2; exit 2; }
for tool in etcd etcdctl patroni patronictl haproxy psql curl python3 setpriv; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing: scripts/deps.sh installs it." >&2; exit 2; }
done

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target tav-server drill_stations tav-fault-proxy >/dev/null
tav_server=$build/server/tools/tav-server
stations_bin=$build/bench/drill_stations
fault_proxy_bin=$build/tests/support/tav-fault-proxy

pguser=tavpg
if ! id "$pguser" >/dev/null 2>&1; then
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$pguser" 2>/dev/null || id "$pguser" >/dev/null
fi

# Addresses: one loopback address per machine of docs/failover.md, away from 127.0.0.1's ports.
DB1=127.77.0.21
DB2=127.77.0.22
WITNESS=127.77.0.23
PROXY=$WITNESS:8470
# The venue network between the stations and HAProxy: a fault proxy (tests/support/fault_proxy.h)
# that the network faults' stations reach HAProxy through, and that drops everything on demand.
VENUE_NETWORK=127.77.0.30:8470
STATIONS=48
PER_STATION=400     # tickets a station may use in one fault's run
PHASES=10           # the most faults one run has: every ticket of the store is some fault's

work=$(mktemp -d /tmp/tav-drill.XXXXXX)
chmod 711 "$work"
pids=()
cleanup() {
  set +e
  touch "$work/stop"
  for f in "$work"/*.pid; do
    [ -f "$f" ] || continue
    pid=$(cat "$f")
    kill -CONT "$pid" 2>/dev/null
    kill "$pid" 2>/dev/null
  done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for d in db1 db2; do
    [ -f "$work/$d/data/postmaster.pid" ] || continue
    pm=$(head -1 "$work/$d/data/postmaster.pid")
    kill -CONT "$pm" $(pgrep -P "$pm") 2>/dev/null
  done
  sleep 2
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  wait 2>/dev/null
  if [ "${DRILL_KEEP:-0}" = 1 ]; then echo "drill: logs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf 'drill: %s\n' "$*" >&2; }

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1; shift
  local until=$((SECONDS + seconds))
  while ! "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $until ] || return 1
    sleep 0.5
  done
}

# ---- the values and templates ------------------------------------------------------------------
secret() { od -An -N12 -tx1 /dev/urandom | tr -d ' \n'; }
common="DB1=$DB1
DB2=$DB2
WITNESS=$WITNESS
VIP=$WITNESS
VIP_PREFIX=32
STATION_HOST=gate-server.drill
VRID=47
IFACE=lo
PRIORITY=100
CA_FILE=/dev/null
REPLICATION_PASSWORD=$(secret)
SUPERUSER_PASSWORD=$(secret)
REWIND_PASSWORD=$(secret)
PATRONI_API_PASSWORD=$(secret)
TAV_DB_PASSWORD=$(secret)"
for name in db1 db2 witness; do
  case $name in db1) self=$DB1 ;; db2) self=$DB2 ;; witness) self=$WITNESS ;; esac
  printf '%s\nNAME=%s\nSELF=%s\nPEER_A=%s\nPEER_B=%s\n' "$common" "$name" "$self" "$DB1" "$DB2" >"$work/$name.values"
done
fill() { "$root/packaging/ha/fill.sh" "$work/$1.values" "$root/packaging/ha/$2"; }
value() { grep "^$1=" "$work/db1.values" | cut -d= -f2-; }

# ---- etcd: three members, one on each machine's address -----------------------------------------
etcd_members=(db1 db2 witness)
for name in "${etcd_members[@]}"; do
  fill "$name" etcd.default | grep -E '^ETCD_' >"$work/etcd-$name.env"
  self=$(grep '^SELF=' "$work/$name.values" | cut -d= -f2)
  {
    echo "ETCD_DATA_DIR=$work/etcd-$name"
    echo "ETCD_LISTEN_CLIENT_URLS=http://$self:2379"
  } >>"$work/etcd-$name.env"
done
start_etcd() {
  env $(cat "$work/etcd-$1.env") etcd >>"$work/etcd-$1.log" 2>&1 &
  echo $! >"$work/etcd-$1.pid"
  disown $!  # killed on purpose: no job notice
}
etcd_endpoints="http://$DB1:2379,http://$DB2:2379,http://$WITNESS:2379"
etcd_healthy() { [ "$(etcdctl --endpoints="$etcd_endpoints" endpoint health 2>&1 | grep -c 'is healthy')" = 3 ]; }
for name in "${etcd_members[@]}"; do start_etcd "$name"; done
wait_for 30 etcd_healthy || { say "etcd did not start"; tail "$work"/etcd-*.log >&2; exit 1; }

# ---- Patroni and PostgreSQL: the template with this machine's folders ------------------------
for name in db1 db2; do
  mkdir -p "$work/$name"
  fill "$name" patroni.yml >"$work/$name/patroni.filled.yml"
  python3 - "$work/$name/patroni.filled.yml" "$work/$name" >"$work/$name/patroni.yml" <<'EOF'
# Debian's layout and pg_createcluster become a private folder and initdb.
import sys, yaml
conf, folder = yaml.safe_load(open(sys.argv[1])), sys.argv[2]
b = conf["bootstrap"]
b.pop("method", None); b.pop("pg_createcluster", None)
b["initdb"] = [{"encoding": "UTF8"}, {"locale": "C"}]
pg = conf["postgresql"]
for key in ("create_replica_method", "pg_clonecluster", "config_dir"):
    pg.pop(key, None)
pg["listen"] = pg["connect_address"]
pg["data_dir"] = folder + "/data"
pg["pgpass"] = folder + "/pgpass"
pg["parameters"] = {"unix_socket_directories": folder, "logging_collector": "off", "max_connections": 200,
                    "shared_buffers": "128MB", "fsync": "on"}
# Patroni runs as the folder's owner, not as a user named postgres: its socket is trusted instead.
pg["pg_hba"] = [l.replace(" peer", " trust") for l in pg["pg_hba"]] + ["host all all 127.0.0.0/8 scram-sha-256", "host replication replicator 127.0.0.0/8 scram-sha-256"]
conf["log"] = {"level": "INFO"}
print(yaml.safe_dump(conf, sort_keys=False))
EOF
  chmod 600 "$work/$name/patroni.yml"
  chown -R "$pguser" "$work/$name"
done
start_patroni() {
  setpriv --reuid="$pguser" --regid="$pguser" --init-groups patroni "$work/$1/patroni.yml" >>"$work/$1/patroni.log" 2>&1 &
  echo $! >"$work/patroni-$1.pid"
}
api() { curl -s -o /dev/null -w '%{http_code}' "http://$1:8008/$2"; }
is_primary() { [ "$(api "$1" primary)" = 200 ]; }
is_sync() { [ "$(api "$1" sync)" = 200 ]; }
primary_of() { if is_primary "$DB1"; then echo db1; elif is_primary "$DB2"; then echo db2; else echo none; fi; }
address_of() { [ "$1" = db1 ] && echo "$DB1" || echo "$DB2"; }
cluster_whole() { { is_primary "$DB1" && is_sync "$DB2"; } || { is_primary "$DB2" && is_sync "$DB1"; }; }

say "making the cluster in $work"
start_patroni db1
wait_for 90 is_primary "$DB1" || { say "db1 did not become the primary"; tail -20 "$work/db1/patroni.log" >&2; exit 1; }
start_patroni db2
wait_for 120 cluster_whole || { say "db2 did not become the synchronous standby"; tail -20 "$work/db2/patroni.log" >&2; exit 1; }

# ---- the store and the venue -------------------------------------------------------------------
export PGPASSWORD
PGPASSWORD=$(value SUPERUSER_PASSWORD)
psql -q -h "$DB1" -U postgres -d postgres -v ON_ERROR_STOP=1 \
  -c "CREATE ROLE tav LOGIN PASSWORD '$(value TAV_DB_PASSWORD)'" -c "CREATE DATABASE tav OWNER tav ENCODING 'UTF8' TEMPLATE template0"
eval "$(fill db1 tav-server.conf | grep '^TAV_STORE=' | sed 's/^/export /; s/=\(.*\)$/='"'"'\1'"'"'/')"
store=$TAV_STORE
tickets=$((STATIONS * PER_STATION * PHASES))
"$tav_server" demo --store "$store" --tickets "$tickets" >/dev/null
password=drill-$(secret)
printf '%s\n%s\n' "$password" "$password" | "$tav_server" add-operator --store "$store" --place DEMO01 --id drill >/dev/null
# Every station is a registered gate of one stand block, in turn, as drill_stations --journals
# expects: a registered station may check offline.
blocks=(E석 N석 S석 W석)
mkdir -m 700 "$work/keys"
for ((s = 0; s < STATIONS; s++)); do
  "$tav_server" add-station --store "$store" --place DEMO01 --name "drill-$s" --block "${blocks[s % 4]}" \
    --key-file "$work/keys/$s" >/dev/null
  cat "$work/keys/$s" >>"$work/station-keys"
done

# ---- two tav-servers, restarted a second after any end, as the unit's drop-in does -------------
for name in db1 db2; do
  self=$(address_of "$name")
  flags=$(fill "$name" tav-server.conf | grep '^TAV_SERVE_FLAGS=' | cut -d= -f2- |
    sed -e "s|--listen 0.0.0.0:8471|--listen $self:8471|" -e 's|--tls-cert [^ ]*||; s|--tls-key [^ ]*||')
  (
    while [ ! -f "$work/stop" ]; do
      # shellcheck disable=SC2086
      "$tav_server" serve --store "$store" $flags >>"$work/tav-$name.log" 2>&1 &
      echo $! >"$work/tav-$name.pid"
      wait $! || true
      [ -f "$work/stop" ] || sleep 1
    done
  ) 2>>"$work/tav-$name.log" &
  pids+=($!)
done

# ---- HAProxy: the template, without syslog, chroot, user or TLS checks (the servers speak plain
# HTTP on loopback) --------------------------------------------------------------------------------
fill witness haproxy.cfg | sed -e '/^ *log \/dev\/log/d' -e '/^ *chroot /d' -e '/^ *user haproxy/d' -e '/^ *group haproxy/d' \
  -e "s|stats socket /run/haproxy/admin.sock|stats socket $work/haproxy.sock|" \
  -e "s|bind :8470|bind $PROXY|" -e "s|bind 127.0.0.1:8404|bind $WITNESS:8404|" \
  -e 's| check-ssl verify required ca-file [^ ]* check-sni [^ ]* verifyhost [^ ]*||' \
  -e "s|maxconn 130000|maxconn $(($(ulimit -Hn) / 2 - 100))|" >"$work/haproxy.cfg"
haproxy -c -q -f "$work/haproxy.cfg"
start_haproxy() {
  haproxy -W -db -f "$work/haproxy.cfg" -p "$work/haproxy.pidfile" -S "$work/haproxy-master.sock" >>"$work/haproxy.log" 2>&1 &
  echo $! >"$work/haproxy.pid"
  disown $!
}
start_haproxy
backends_up() {
  [ "$(curl -s "http://$WITNESS:8404/;csv" | grep -c '^tav_servers,tav[12],.*,UP,')" = 2 ]
}
wait_for 60 backends_up || { say "the tav-servers did not come up behind HAProxy"; tail "$work"/tav-*.log >&2; exit 1; }

# ---- the venue network: passing until a fault writes another mode into its file ------------------
network_mode=$work/venue-network.mode
echo pass >"$network_mode"
"$fault_proxy_bin" --listen "$VENUE_NETWORK" --to "$PROXY" --mode-file "$network_mode" >>"$work/fault-proxy.log" 2>&1 &
echo $! >"$work/fault-proxy.pid"
disown $!
network_up() { [ "$(curl -s -o /dev/null -w '%{http_code}' "http://$VENUE_NETWORK/health")" = 200 ]; }
wait_for 30 network_up || { say "the venue network's fault proxy did not pass"; cat "$work/fault-proxy.log" >&2; exit 1; }

say "signing in $STATIONS stations"
printf '%s\n' "$password" | "$stations_bin" signin --proxy "$PROXY" --stations "$STATIONS" --operator drill --sessions "$work/sessions" \
  --keys "$work/station-keys"

# ---- the faults --------------------------------------------------------------------------------
pm_of() { head -1 "$work/$1/data/postmaster.pid"; }
fault_tav_kill() { kill -9 "$(cat "$work/tav-db1.pid")"; }
fault_primary_kill() { kill -9 "$(pm_of "$(primary_of)")"; }
fault_primary_stall() {
  local who pm
  who=$(primary_of)
  pm=$(pm_of "$who")
  # shellcheck disable=SC2046
  kill -STOP "$pm" $(pgrep -P "$pm")
  sleep "$1"
  # shellcheck disable=SC2046
  kill -CONT "$pm" $(pgrep -P "$pm")
}
fault_standby_kill() {
  local who
  [ "$(primary_of)" = db1 ] && who=db2 || who=db1
  kill -9 "$(pm_of "$who")"
}
fault_haproxy_restart() {
  local master
  master=$(cat "$work/haproxy.pid")
  # shellcheck disable=SC2046
  kill -9 "$master" $(pgrep -P "$master")
  sleep 0.1  # the drop-in's RestartSec
  start_haproxy
}
fault_haproxy_reload() { kill -USR2 "$(cat "$work/haproxy.pid")"; }
etcd_leader() {
  etcdctl --endpoints="$etcd_endpoints" endpoint status -w simple 2>/dev/null |
    awk -F', ' '$5 == "true" { print $1 }' | sed "s|http://$DB1:2379|db1|; s|http://$DB2:2379|db2|; s|http://$WITNESS:2379|witness|"
}
# The member that leads: the worst one to lose, since the other two must elect a new leader first.
fault_etcd_member_kill() {
  local who
  who=$(etcd_leader)
  kill -9 "$(cat "$work/etcd-${who:-db1}.pid")"
  sleep 10
  start_etcd "${who:-db1}"
}
# The venue network drops every packet (a cut cable, a dead switch): the stations see silence, not a
# refusal, until their own time-outs; the mode file is read every 100 ms.
fault_network_blackhole() {
  echo blackhole >"$network_mode"
  sleep "$1"
  echo pass >"$network_mode"
}
fault_etcd_all_kill() {
  local name
  for name in "${etcd_members[@]}"; do kill -9 "$(cat "$work/etcd-$name.pid")"; done
  sleep 10
  for name in "${etcd_members[@]}"; do start_etcd "$name"; done
}

# The venue network's outage: the stations check through the venue network at a gate's pace (a fan
# every 1.5 s: an outage of 60 s then allows each station's offline decisions by the hand-over's rule
# of one a second), with the event's offline checking on or off; COPIES tickets are each scanned at
# two gates of one block 30 s into the outage. The stations start 20 s before it, time enough for
# every station's list.
network_fault=("fault_network_blackhole 60" 100)
COPIES=4
NETWORK_BEFORE=20
NETWORK_INTERVAL_MS=1500
if [ $short = 1 ]; then
  faults=("tav-server killed|fault_tav_kill|25" "primary killed|fault_primary_kill|40" "primary stalled 10 s|fault_primary_stall 10|40"
    "venue network black-holed 60 s, offline on|${network_fault[0]}|${network_fault[1]}|on"
    "venue network black-holed 60 s, offline off|${network_fault[0]}|${network_fault[1]}|off")
else
  # The primary's faults last but for the network's: each moves the primary, and the faults before
  # them are measured on the cluster as it was made.
  faults=("tav-server killed|fault_tav_kill|25" "HAProxy reloaded|fault_haproxy_reload|25" "HAProxy restarted|fault_haproxy_restart|25"
    "standby killed|fault_standby_kill|30" "etcd leader killed 10 s|fault_etcd_member_kill|30" "every etcd killed 10 s|fault_etcd_all_kill|30" "primary killed|fault_primary_kill|40"
    "primary stalled 20 s|fault_primary_stall 20|50"
    "venue network black-holed 60 s, offline on|${network_fault[0]}|${network_fault[1]}|on"
    "venue network black-holed 60 s, offline off|${network_fault[0]}|${network_fault[1]}|off")
fi
[ ${#faults[@]} -le $PHASES ] || { say "more faults than PHASES has tickets for"; exit 2; }
phase=0
results=$work/results.tsv
: >"$results"
for entry in "${faults[@]}"; do
  IFS='|' read -r title action seconds offline <<<"$entry"
  wait_for 60 cluster_whole || say "the cluster is not whole before \"$title\""
  wait_for 60 backends_up || say "not both tav-servers are up before \"$title\""
  say "$title"
  log=$work/phase$phase.tsv
  through=(--proxy "$PROXY")
  before=8
  copies=0
  if [ -n "$offline" ]; then
    "$tav_server" set-event --store "$store" --bizcode DEMO2026 --offline "$offline" >/dev/null
    before=$NETWORK_BEFORE
    copies=$COPIES
    # The same journals in every such fault: a station's sequence goes on, as on a gate PC.
    through=(--proxy "$VENUE_NETWORK" --journals "$work/journals" --copies "$copies" --copies-at $((before + 30))
      --interval-ms "$NETWORK_INTERVAL_MS")
  fi
  phase_start=$(date +%s%3N)
  "$stations_bin" run "${through[@]}" --sessions "$work/sessions" --keys "$work/station-keys" --operator drill \
    --first-ticket $((phase * STATIONS * PER_STATION)) --per-station "$PER_STATION" --seconds "$seconds" --log "$log" &
  player=$!
  sleep "$before"
  fault_at=$(date +%s%3N)
  primary_before=$(primary_of)
  $action
  wait $player
  # After a promotion the old primary must come back as the synchronous standby by itself.
  if wait_for 90 cluster_whole; then rejoined=yes; else rejoined=no; fi
  rejoined="$rejoined ($primary_before -> $(primary_of))"
  PGPASSWORD=$(value TAV_DB_PASSWORD) psql -At -F $'\t' "$store" \
    -c "SELECT ticket_no, entry_count FROM ticket WHERE bizcode = 'DEMO2026' AND entry_count > 0" >"$work/admitted$phase.tsv"
  PGPASSWORD=$(value TAV_DB_PASSWORD) psql -At -F $'\t' "$store" \
    -c "SELECT ticket_no, count(*) FROM scan_log WHERE kind = 'check' AND outcome = 'entry' GROUP BY ticket_no HAVING count(*) > 1" \
    >"$work/doubled$phase.tsv"
  PGPASSWORD=$(value TAV_DB_PASSWORD) psql -At "$store" -c "SELECT ticket_no FROM scan_log WHERE kind = 'check' AND outcome = 'repeat'" \
    >"$work/repeated$phase.tsv"
  # Admissions as the stands count them, offline conflicts included, by the ticket's block; the
  # offline lines' times lie after the phase began (within the station's silence).
  PGPASSWORD=$(value TAV_DB_PASSWORD) psql -At -F $'\t' "$store" -c "SELECT s.ticket_no, t.block FROM scan_log s JOIN ticket t
      ON t.bizcode = s.bizcode AND t.ticket_no = s.ticket_no WHERE s.kind = 'check' AND s.mode = 'I' AND s.bizcode = 'DEMO2026'
      AND s.outcome IN ('entry', 'reentry', 'offline-conflict') AND s.at >= $phase_start" >"$work/stands$phase.tsv"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$title" "$log" "$fault_at" "$work/admitted$phase.tsv" "$work/doubled$phase.tsv" \
    "$work/repeated$phase.tsv" "$rejoined" "${offline:--}" "$copies" "$work/stands$phase.tsv" >>"$results"
  phase=$((phase + 1))
done

python3 - "$results" <<'EOF'
# One line per fault from the stations' logs and the database afterwards; for the venue network's
# outage a second table: what the stations decided offline and what the hand-over made of it.
import statistics, sys
ADMITTED, ALREADY, SIGN_IN = "입장 확인", "이미 입장", "다시 로그인하세요"
CHECKS = ("scan", "rescan", "copy")
rows, network_rows, bad = [], [], False
for line in open(sys.argv[1]):
    (title, log, fault_at, admitted_file, doubled_file, repeated_file, rejoined, offline, copies,
     stands_file) = line.rstrip("\n").split("\t")
    fault_at, copies = int(fault_at), int(copies)
    admitted = {t: int(c) for t, c in (l.split("\t") for l in open(admitted_file) if l.strip())}
    doubled = {l.split("\t")[0] for l in open(doubled_file) if l.strip()}
    repeated = {l.strip() for l in open(repeated_file) if l.strip()}
    records = [(l.rstrip("\n").split("\t") + [""] * 9)[:9] for l in open(log) if l.strip()]
    stations = sorted({int(r[0]) for r in records})
    failed_by_station = {s: 0 for s in stations}
    tickets, answered_in, turned_away, failures, successes, probes_ok, probes = set(), set(), 0, [], [], 0, 0
    offline_in, offline_decisions, handed, left, block_of = set(), 0, {}, 0, {}
    stations_admitted = {}  # by station: the keys it showed admitted, online or offline
    checks, slowest = 0, 0
    for station, kind, ticket, key, start, end, status, code, message in records:
        start, end, station = int(start), int(end), int(station)
        if kind == "probe":
            probes += 1
            probes_ok += status == "answer" and message != SIGN_IN
            continue
        if kind == "handover":
            if key:
                handed[key] = status
            continue
        if kind == "left":
            left += int(ticket or 0)
            block_of[station] = message
            continue
        if kind not in CHECKS:
            continue  # the offline side's list fetches and health probes
        checks += 1
        tickets.add(ticket)
        failed = status == "failed" or (status == "http" and code in ("502", "503"))
        if failed:
            failed_by_station[station] += 1
            failures.append((start, end))
        elif status in ("answer", "offline"):
            successes.append((start, end))
        if status == "offline":
            offline_decisions += 1
            slowest = max(slowest, end - start)  # the check that found the outage waited for both attempts
        if message == ADMITTED and status in ("answer", "offline"):
            (answered_in if status == "answer" else offline_in).add(ticket)
            stations_admitted.setdefault(station, set()).add(key)
        if kind == "rescan" and status == "answer" and message.startswith(ALREADY):
            turned_away += 1
    lost = sum(1 for t in answered_in | offline_in if admitted.get(t, 0) == 0)
    twice = sum(1 for t in tickets if admitted.get(t, 0) > 1 or t in doubled)
    counts = list(failed_by_station.values()) or [0]
    if failures:
        first_fail = min(s for s, _ in failures)
        last_fail = max(s for s, _ in failures)
        after = [e for s, e in successes if s > last_fail]
        recovery = "%.1f s" % ((min(after) - first_fail) / 1000) if after else "not recovered"
    else:
        recovery = "no failure"
    bad |= lost > 0 or twice > 0 or turned_away > 0
    rows.append([title, str(checks), str(len(tickets & repeated)), "%g / %d" % (statistics.median(counts), max(counts)),
                 recovery, str(lost), str(twice), str(turned_away), "%d/%d" % (probes_ok, probes), rejoined])
    if offline == "-":
        continue
    # The stands: admissions in the database (offline conflicts included) against the stations' own.
    in_store = {}
    for l in open(stands_file):
        if l.strip():
            ticket, block = l.rstrip("\n").split("\t")
            if ticket in tickets:
                in_store[block] = in_store.get(block, 0) + 1
    by_stations = {}
    for station, keys in stations_admitted.items():
        block = block_of.get(station, "?")
        by_stations[block] = by_stations.get(block, 0) + len(keys)
    blocks = sorted(set(in_store) | set(by_stations))
    stands_equal = all(in_store.get(b, 0) == by_stations.get(b, 0) for b in blocks)
    stands = " ".join("%s %d/%d" % (b, in_store.get(b, 0), by_stations.get(b, 0)) for b in blocks)
    conflicts = sum(1 for r in handed.values() if r == "conflict")
    refused = sum(1 for r in handed.values() if r == "refused")
    # Offline decisions the back-end never took: not handed over by the end, or refused.
    lost_offline = left + refused
    network_bad = lost + lost_offline > 0 or not stands_equal or (offline == "on" and conflicts != copies)
    bad |= network_bad
    network_rows.append([title, "%g / %d" % (statistics.median(counts), max(counts)), str(offline_decisions),
                         "%.1f s" % (slowest / 1000) if offline_decisions else "-",
                         "%d / %d" % (conflicts, copies), str(refused), str(left), str(lost + lost_offline),
                         ("yes " if stands_equal else "NO ") + "(" + stands + ")", "FAILED" if network_bad else "ok"])


def table(head, rows):
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    for r in [head, ["-" * w for w in widths]] + rows:
        print(" | ".join(c.ljust(w) for c, w in zip(r, widths)))


table(["fault", "checks", "answered by key", "failed per station (median / max)", "recovery", "lost admissions",
       "admitted twice", "fans turned away", "sessions kept", "cluster whole after (primary)"], rows)
if network_rows:
    print()
    table(["venue network", "failed per station (median / max)", "offline decisions", "slowest offline answer", "conflicts / copies",
           "refused at hand-over", "not handed over", "lost", "stands equal (database/stations)", "result"], network_rows)
sys.exit(1 if bad else 0)
EOF
