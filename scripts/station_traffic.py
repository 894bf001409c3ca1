#!/usr/bin/env python3
"""Stations at a venue's gates, played through tav-server's real HTTP API: each gate signs its
operator in (keeping the session cookie, as the station does) and checks tickets from an address
of its own on the loopback network (127.0.0.2, 127.0.0.3, ...), so that the dashboard sees gates.

As a program: plays a crowd against a demo store (scripts/demo.sh --traffic)."""
import argparse
import http.client
import json
import math
import random
import sys
import threading
import time

QUERY_PATH = "/objects/Nuvrel.member/Query"
BLOCKS = ["E석", "N석", "S석", "W석"]


def quoted(value):
    return "'" + str(value).replace("'", "''") + "'"


class Station:
    """One station: a keep-alive connection from `source`, with the session its sign-in gave."""

    def __init__(self, host, port, source="127.0.0.1", timeout=10):
        self.host, self.port, self.source, self.timeout = host, port, source, timeout
        self.cookie = None
        self.operator = None
        self.conn = None

    def _post(self, text):
        for attempt in range(2):
            if self.conn is None:
                self.conn = http.client.HTTPConnection(self.host, self.port, timeout=self.timeout,
                                                       source_address=(self.source, 0))
            headers = {"Content-Type": "text/plain; charset=utf-8"}
            if self.cookie:
                headers["Cookie"] = self.cookie
            try:
                self.conn.request("POST", QUERY_PATH, body=text.encode("utf-8"), headers=headers)
                res = self.conn.getresponse()
                body = res.read()
            except (http.client.HTTPException, OSError):
                self.conn.close()
                self.conn = None
                if attempt == 1:
                    raise
                continue
            for name, value in res.getheaders():
                if name.lower() == "set-cookie" and value.startswith("tav_session="):
                    self.cookie = value.split(";", 1)[0]
            if res.status != 200:
                raise RuntimeError(f"status {res.status}: {body.decode('utf-8', 'replace')}")
            rs = json.loads(body)
            row = rs["rows"][0] if rs["rows"] else []
            return {f.lower(): (str(row[i]) if i < len(row) else "") for i, f in enumerate(rs["fields"])}
        raise RuntimeError("no answer")

    def sign_in(self, operator, password):
        answer = self._post("Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo " + quoted(operator) + "," + quoted(password))
        if answer.get("errcode") != "0":
            raise RuntimeError(f"sign-in of {operator} refused: {answer.get('errmsg')}")
        self.operator = operator
        return answer

    def check(self, bizcode, ticket, mode="I", block=""):
        """The station's ticket check; returns (ErrCode, ErrMsg)."""
        text = ("Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo " + quoted(mode) + "," + quoted(bizcode) + ","
                + quoted(block) + "," + quoted(ticket) + ", " + quoted(self.operator))
        answer = self._post(text)
        return answer.get("errcode"), answer.get("errmsg")

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None


def demo_ticket(index):
    """The demo store's ticket number of a 0-based index (tav-server demo)."""
    return "T%011d" % (index + 1)


def play_crowd(host, port, bizcode, operator, password, tickets, seconds, gates, seed=15):
    """Admits `tickets` demo tickets over about `seconds`, spread unevenly over `gates` gates, with
    a few refusals (unknown, cancelled, twice scanned) and some exits, as a crowd arriving would."""
    rng = random.Random(seed)
    weights = [1.0 / (g + 1) for g in range(gates)]  # the first gates are the busiest
    queues = [[] for _ in range(gates)]
    for i in range(tickets):
        queues[rng.choices(range(gates), weights)[0]].append(i)
    counts = {"checks": 0, "failed": 0}
    lock = threading.Lock()

    def gate(g):
        station = Station(host, port, source=f"127.0.0.{g + 2}")
        station.sign_in(operator, password)
        start = time.monotonic()
        total = max(1, len(queues[g]))
        for n, i in enumerate(queues[g]):
            # Arrivals swell towards the middle of the run, as at a stadium before kick-off.
            due = start + seconds * math.acos(1 - 2 * n / total) / math.pi
            time.sleep(max(0.0, due - time.monotonic()))
            work = [("I", demo_ticket(i))]
            r = rng.random()
            if r < 0.02:
                work.append(("I", demo_ticket(i)))             # scanned twice
            elif r < 0.03:
                work.append(("I", "X%011d" % i))              # not a ticket of ours
            elif r < 0.10:
                work.append(("O", demo_ticket(i)))             # went out again
            for mode, number in work:
                try:
                    station.check(bizcode, number, mode)
                    with lock:
                        counts["checks"] += 1
                except Exception:  # a refused or broken call counts and the gate goes on
                    with lock:
                        counts["failed"] += 1
        station.close()

    threads = [threading.Thread(target=gate, args=(g,)) for g in range(gates)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return counts


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--url", default="http://127.0.0.1:8470")
    p.add_argument("--bizcode", default="DEMO2026")
    p.add_argument("--operator", default="gate01")
    p.add_argument("--password", default="gate5678!")
    p.add_argument("--tickets", type=int, default=4000)
    p.add_argument("--seconds", type=float, default=180)
    p.add_argument("--gates", type=int, default=8)
    a = p.parse_args()
    host, port = a.url.split("://", 1)[1].rsplit(":", 1)
    counts = play_crowd(host, int(port), a.bizcode, a.operator, a.password, a.tickets, a.seconds, a.gates)
    print(f"{counts['checks']} checks answered, {counts['failed']} failed")
    return 0 if counts["failed"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
