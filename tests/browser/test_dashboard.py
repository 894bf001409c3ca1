#!/usr/bin/env python3
"""The live dashboard in a real headless Chromium against a real tav-server on a demo store:
sign-in, figures against known scans and against the store, a station without a session listed
apart from the gates, 50 admissions within 5 s, and the
live mark when the server stops and comes back. Saves a screenshot of the page.
The control room's wall screen at a venue of 40 named gates and six-digit totals: it fits 1920x1080
without a page scrollbar, a silent gate's alarm is raised and stays acknowledged after a reload,
and a phone's width needs no sideways scrolling. Saves a screenshot of it beside the first.

Usage: test_dashboard.py TAV_SERVER_BIN SCRIPTS_DIR SCREENSHOT_PNG"""
import os
import random
import sqlite3
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

SERVER, SCRIPTS, SHOT = sys.argv[1:4]
sys.path.insert(0, SCRIPTS)
from station_traffic import Station, demo_ticket  # noqa: E402

BIZ = "DEMO2026"
ADMIN, ADMIN_PASSWORD = "admin", "tav1234!"
GATE, GATE_PASSWORD = "gate01", "gate5678!"
BLOCKS = ["E석", "N석", "S석", "W석"]


class Server:
    """tav-server serve on the store, on a port the system chooses the first time and the same
    port after a restart."""

    def __init__(self, store):
        self.store, self.port, self.proc = store, 0, None

    def start(self):
        self.proc = subprocess.Popen([SERVER, "serve", "--store", self.store, "--listen", f"127.0.0.1:{self.port}"],
                                     stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            line = self.proc.stderr.readline()
            m = re.search(r"listening on http://127\.0\.0\.1:(\d+)", line)
            if m:
                self.port = int(m.group(1))
                return
            if not line and self.proc.poll() is not None:
                break
        raise RuntimeError("tav-server did not start")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=30)
        self.proc.stderr.close()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}"


def wait_for(what, timeout, step=0.1):
    """The first true value of what() within timeout seconds, else None."""
    deadline = time.monotonic() + timeout
    while True:
        value = what()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def table(driver, element_id, attribute):
    """A table's rows at one moment (the page redraws them with every snapshot): each row's
    `attribute` and the numbers in its cells after the first."""
    return driver.execute_script("""
        const [id, attribute] = arguments;
        return Array.from(document.querySelectorAll('#' + id + ' tbody tr')).map(r =>
            [r.getAttribute(attribute), Array.from(r.cells).slice(1).map(c => c.textContent.trim())]);""",
        element_id, attribute)


def figure(driver, element_id):
    text = driver.find_element(By.ID, element_id).text
    return int(text.replace(",", "")) if text else -1


class DashboardInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tav-dashboard-")
        cls.store = os.path.join(cls.dir, "store.db")
        subprocess.run([SERVER, "demo", "--store", cls.store, "--tickets", "4000"], check=True,
                       stdout=subprocess.DEVNULL)
        cls.server = Server(cls.store)
        cls.server.start()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1920,1080", "--lang=ko-KR",
                     f"--user-data-dir={os.path.join(cls.dir, 'chromium')}"):
            options.add_argument(flag)
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.driver.set_page_load_timeout(30)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        if cls.server.proc and cls.server.proc.poll() is None:
            cls.server.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def admitted_on_page(self):
        return figure(self.driver, "admitted-total")

    def chart_entries(self):
        return self.driver.execute_script(
            "const c = Chart.getChart('flow'); if (!c) return -1;"
            "return c.data.datasets.slice(0, 4).reduce((s, d) => s + d.data.reduce((a, b) => a + b, 0), 0);")

    def live(self):
        return self.driver.find_element(By.ID, "live").get_attribute("data-live") == "true"

    def test_dashboard(self):
        d = self.driver
        # Known scans before the page opens: per block, entries, one exit, refusals, two gates.
        east = Station("127.0.0.1", self.server.port, source="127.0.0.2")
        west = Station("127.0.0.1", self.server.port, source="127.0.0.3")
        east.sign_in(GATE, GATE_PASSWORD)
        west.sign_in(GATE, GATE_PASSWORD)
        for i in range(40):  # tickets 0..39: blocks E, N, S, W in turn; index 100 is cancelled
            self.assertEqual((east if i % 2 == 0 else west).check(BIZ, demo_ticket(i))[0], "0")
        self.assertEqual(east.check(BIZ, demo_ticket(0), "O")[0], "0")
        self.assertNotEqual(west.check(BIZ, "NO-SUCH-TICKET")[0], "0")
        self.assertNotEqual(west.check(BIZ, demo_ticket(100))[0], "0")

        d.get(self.server.url + "/dashboard")
        form = wait_for(lambda: d.find_element(By.ID, "signin").is_displayed(), 10)
        self.assertTrue(form, "the sign-in form is shown without a session")

        with self.subTest("a wrong password is refused"):
            d.find_element(By.ID, "signin-id").send_keys(ADMIN)
            d.find_element(By.ID, "signin-password").send_keys("wrong")
            d.find_element(By.ID, "signin-button").click()
            message = wait_for(lambda: d.find_element(By.ID, "signin-message").text, 10)
            self.assertEqual(message, "로그인 실패")
            self.assertFalse(d.find_element(By.ID, "board").is_displayed())

        with self.subTest("the right password opens the board"):
            d.find_element(By.ID, "signin-password").clear()
            d.find_element(By.ID, "signin-password").send_keys(ADMIN_PASSWORD)
            d.find_element(By.ID, "signin-button").click()
            self.assertTrue(wait_for(lambda: d.find_element(By.ID, "board").is_displayed() and self.live(), 10))

        with self.subTest("the figures are the scans made"):
            self.assertTrue(wait_for(lambda: self.admitted_on_page() == 40, 5))
            self.assertEqual(figure(d, "inside-total"), 39)
            for b in range(4):
                self.assertEqual(figure(d, f"admitted-{b}"), 10)
                self.assertEqual(figure(d, f"inside-{b}"), 10 if b else 9)
            reasons = {reason: int(cells[0]) for reason, cells in table(d, "refusals", "data-reason")}
            self.assertEqual(reasons, {"unknown-ticket": 1, "cancelled": 1})
            gates = {source: [int(c) for c in cells[0:2]] for source, cells in table(d, "gates", "data-source")}
            self.assertEqual(gates, {"127.0.0.2": [21, 0], "127.0.0.3": [22, 2]})
            self.assertEqual(self.chart_entries(), 40)

        with self.subTest("a station without a session is listed apart from the gates"):
            stranger = Station("127.0.0.1", self.server.port, source="127.0.0.10")
            stranger.operator = GATE  # a stolen ID, without its session
            for _ in range(5):
                self.assertEqual(stranger.check(BIZ, demo_ticket(0)), ("-1", "다시 로그인하세요"))
            stranger.close()
            rows = lambda: [(source, int(cells[0])) for source, cells in table(d, "strangers", "data-source")]
            self.assertTrue(wait_for(lambda: rows() == [("127.0.0.10", 5)], 5), rows())
            self.assertEqual(sorted(source for source, _ in table(d, "gates", "data-source")),
                             ["127.0.0.2", "127.0.0.3"])

        with self.subTest("the figures are the store's"):
            listing = subprocess.run([SERVER, "list", "--store", self.store, "--place", "DEMO01"], check=True,
                                     capture_output=True, text=True).stdout
            row = next(line.split() for line in listing.splitlines() if line.startswith(BIZ))
            admitted, inside = int(row[5]), int(row[6])
            self.assertEqual((admitted, inside), (figure(d, "admitted-total"), figure(d, "inside-total")), listing)

        with self.subTest("50 admissions show within 5 s"):
            before, chart_before = self.admitted_on_page(), self.chart_entries()
            started = time.monotonic()
            for i in range(1000, 1050):
                self.assertEqual(east.check(BIZ, demo_ticket(i))[0], "0")
            self.assertTrue(wait_for(lambda: self.admitted_on_page() == before + 50 and
                                     self.chart_entries() == chart_before + 50, 5 - (time.monotonic() - started)),
                            f"page shows {self.admitted_on_page()}, chart {self.chart_entries()}")

        d.save_screenshot(SHOT)

        with self.subTest("not live while the server is stopped, live again after"):
            east.close()
            west.close()
            self.server.stop()
            self.assertTrue(wait_for(lambda: not self.live(), 6), "the page still says it is live")
            self.assertEqual(d.find_element(By.ID, "live").text, "연결 끊김")
            self.server.start()
            self.assertTrue(wait_for(self.live, 15), "the page did not reconnect")
            self.assertEqual(self.admitted_on_page(), 90)


def browser(folder):
    """Headless Chromium with a 1920x1080 page and a profile of its own in `folder`."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1920,1080", "--lang=ko-KR",
                 f"--user-data-dir={os.path.join(folder, 'chromium')}"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(30)
    return driver


def wall_store(store, now_ms):
    """The demo store of a venue in full swing, written before the server opens it: 40 registered
    gates (36 signed in and checking, 4 closed), 120,000 admissions over the last three hours, one
    gate silent for six minutes, one refusing fake tickets, the east stand at 96% of its capacity,
    one gate ready to check offline and one that handed over two conflicts.
    Returns the silent gate's name."""
    subprocess.run([SERVER, "demo", "--store", store, "--tickets", "130000"], check=True, stdout=subprocess.DEVNULL)
    keys = os.path.join(os.path.dirname(store), "keys")
    os.makedirs(keys, exist_ok=True)
    names = []
    for g in range(40):
        name = f"{g + 1}번 게이트"
        names.append(name)
        subprocess.run([SERVER, "add-station", "--store", store, "--place", "DEMO01", "--name", name,
                        "--block", BLOCKS[g % 4], "--key-file", os.path.join(keys, f"{g}.key")],
                       check=True, stdout=subprocess.DEVNULL)
    minute = 60 * 1000
    db = sqlite3.connect(store)
    with db:
        ids = [row[0] for row in db.execute("SELECT id FROM station ORDER BY id")]
        # Each stand's crowd arrives over three hours, peaking at its own time; a tenth went out again.
        rng = random.Random(7)
        peaks = {"E석": 25, "N석": 45, "S석": 70, "W석": 35}
        rows = db.execute("SELECT id, block FROM ticket WHERE bizcode = ? AND status = 'valid' ORDER BY id "
                          "LIMIT 120000", (BIZ,)).fetchall()
        for n, (ticket, block) in enumerate(rows):
            at = now_ms - int(rng.triangular(1, 179, peaks[block]) * minute)
            db.execute("UPDATE ticket SET inside = 1, entry_count = 1, first_entry = ?, last_entry = ? WHERE id = ?",
                       (at, at, ticket))
            if n % 10 == 0:
                db.execute("UPDATE ticket SET inside = 0, last_exit = ? WHERE id = ?", (at + 20 * minute, ticket))
        for g, station in enumerate(ids):
            if g < 36:
                db.execute("INSERT INTO session(token_hash, operator_id, place_code, role, source, created, last_use, "
                           "station) VALUES(?, ?, 'DEMO01', 'gate', ?, ?, ?, ?)",
                           (f"{g:064x}", GATE, f"station:{station}", now_ms - 150 * minute, now_ms, station))
                db.execute("UPDATE station SET last_seen = ? WHERE id = ?", (now_ms, station))
            last = 6.5 if g == 4 else 40 + g if g >= 36 else 0.3  # the last four closed and signed out
            for k in range(30 + g % 7 * 5):
                at = now_ms - int((last + k * 0.25) * minute)
                outcome, code = ("unknown-ticket", "-1") if g == 9 and k < 15 else ("entry", "0")
                db.execute("INSERT INTO scan_log(at, kind, bizcode, mode, block, ticket_no, operator_id, place_code, "
                           "code, message, outcome, source, session) VALUES(?, 'check', ?, 'I', '', ?, ?, 'DEMO01', "
                           "?, '', ?, ?, 1)", (at, BIZ, f"X{g}-{k}", GATE, code, outcome, f"station:{station}"))
        east = db.execute("SELECT inside FROM inside_count WHERE bizcode = ? AND block = 'E석'", (BIZ,)).fetchone()[0]
        # The first gate fetched its offline list a minute ago; the second handed over two copies of
        # east-stand tickets it let in while the third gate's admissions had them inside.
        db.execute("INSERT INTO offline_lists(station, bizcode, block, fetched_at) VALUES(?, ?, 'E석', ?)",
                   (ids[0], BIZ, now_ms - minute))
        inside = db.execute("SELECT ticket_no FROM ticket WHERE bizcode = ? AND block = 'E석' AND inside = 1 "
                            "ORDER BY id LIMIT 2", (BIZ,)).fetchall()
        for n, (ticket,) in enumerate(inside):
            db.execute("INSERT INTO offline_conflict(id, alarm, handed_at, bizcode, ticket_no, block, reason, gate, at, "
                       "other_gate, other_at, why) VALUES(?, 1, ?, ?, ?, 'E석', 'already-inside', ?, ?, ?, ?, '')",
                       (n + 1, now_ms - minute, BIZ, ticket, f"station:{ids[1]}", now_ms - (3 + n) * minute,
                        f"station:{ids[2]}", now_ms - 20 * minute))
    db.close()
    subprocess.run([SERVER, "set-event", "--store", store, "--bizcode", BIZ, "--capacity",
                    f"E석={east * 100 // 96},N석=40000,S석=40000,W석=40000"], check=True, stdout=subprocess.DEVNULL)
    return names[4]


class WallScreen(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tav-wall-")
        cls.store = os.path.join(cls.dir, "store.db")
        cls.silent_gate = wall_store(cls.store, int(time.time() * 1000))
        cls.server = Server(cls.store)
        zone = os.environ.get("TZ")
        os.environ["TZ"] = "Asia/Seoul"  # the server's zone, which the page must show whatever its own
        try:
            cls.server.start()
        finally:
            if zone is None:
                del os.environ["TZ"]
            else:
                os.environ["TZ"] = zone
        cls.driver = browser(cls.dir)
        cls.viewport(1920, 1080)

    @classmethod
    def viewport(cls, width, height):
        """The page's own size, as a wall screen or a phone shows it, whatever the window's frame."""
        cls.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 900})

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.server.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def banner(self, kind):
        banners = self.driver.find_elements(By.CSS_SELECTOR, f'#alarms .alarm[data-kind="{kind}"]')
        return banners[0] if banners else None

    def test_wall_screen(self):
        d = self.driver
        d.get(self.server.url + "/dashboard")
        wait_for(lambda: d.find_element(By.ID, "signin").is_displayed(), 10)
        d.find_element(By.ID, "signin-id").send_keys(ADMIN)
        d.find_element(By.ID, "signin-password").send_keys(ADMIN_PASSWORD)
        d.find_element(By.ID, "signin-button").click()
        self.assertTrue(wait_for(lambda: self.banner("silent-gate"), 10), "no silent-gate alarm")

        with self.subTest("the alarms name the gates and the stand, and sound"):
            silent = self.banner("silent-gate")
            self.assertIn(self.silent_gate, silent.text)
            self.assertEqual(silent.get_attribute("data-acked"), "false")
            self.assertIn("10번 게이트", self.banner("refusal-spike").text)
            self.assertIn("E석", self.banner("capacity").text)
            handover = self.banner("offline-handover").text
            self.assertIn("2번 게이트", handover)
            self.assertIn("3번 게이트", handover)
            self.assertIn("충돌 2건", handover)
            self.assertTrue(wait_for(lambda: int(d.find_element(By.TAG_NAME, "body").get_attribute("data-tones") or 0), 5))

        with self.subTest("the page fits the wall screen: 40 gates, six digits on one line, no page scrollbar"):
            self.assertEqual(len(d.find_elements(By.CSS_SELECTOR, "#gates tbody tr")), 40)
            self.assertIn("E석", d.find_element(By.CSS_SELECTOR, "#gates tbody tr").text)
            self.assertEqual(len(d.find_elements(By.CSS_SELECTOR, '#stations tbody tr[data-signed-in="true"]')), 36)
            ready = d.find_elements(By.CSS_SELECTOR, '#stations tbody tr[data-offline-ready="true"]')
            self.assertEqual([r.get_attribute("data-station") for r in ready], ["1번 게이트"])
            self.assertIn("2명", d.find_element(By.ID, "twice-0").text)
            self.assertGreaterEqual(figure(d, "admitted-total"), 100000)
            fits = d.execute_script(
                "const e = document.documentElement;"
                "return [e.scrollWidth <= innerWidth && e.scrollHeight <= innerHeight, innerWidth, innerHeight,"
                " e.scrollWidth, e.scrollHeight];")
            self.assertTrue(fits[0], fits)
            wrapped = d.execute_script(
                "return [...document.querySelectorAll('.big')].filter((b) => b.getClientRects().length !== 1 ||"
                " b.scrollWidth > b.clientWidth || b.getBoundingClientRect().right > b.parentElement.getBoundingClientRect().right + 1)"
                ".map((b) => b.id);")
            self.assertEqual(wrapped, [])
            self.assertEqual(d.find_element(By.ID, "time-zone").text, "KST (+0900)")
            hour = int(d.find_element(By.ID, "server-time").text[:2])
            self.assertIn((hour - time.gmtime().tm_hour) % 24, (8, 9))  # read at the turn of an hour
            d.save_screenshot(SHOT.replace(".png", "-wall.png"))

        with self.subTest("an acknowledged alarm stays acknowledged after a reload"):
            key = self.banner("silent-gate").find_element(By.TAG_NAME, "button").get_attribute("data-ack")
            self.banner("silent-gate").find_element(By.TAG_NAME, "button").click()
            self.assertEqual(self.banner("silent-gate").get_attribute("data-acked"), "true")
            d.refresh()
            self.assertTrue(wait_for(lambda: self.banner("silent-gate"), 10))
            self.assertEqual(self.banner("silent-gate").get_attribute("data-acked"), "true")
            self.assertEqual(self.banner("refusal-spike").get_attribute("data-acked"), "false")
            self.assertIn(key, d.execute_script("return localStorage.getItem('tav.acknowledgedAlarms');"))

        with self.subTest("a phone's width needs no sideways scrolling"):
            self.viewport(390, 844)
            self.assertTrue(wait_for(lambda: d.execute_script(
                "return innerWidth < 500 && document.documentElement.scrollWidth <= innerWidth;"), 5))
            d.save_screenshot(SHOT.replace(".png", "-phone.png"))
            self.viewport(1920, 1080)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
