#!/usr/bin/env python3
"""The live dashboard in a real headless Chromium against a real tav-server on a demo store:
sign-in, figures against known scans and against the store, a station without a session listed
apart from the gates, 50 admissions within 5 s, and the
live mark when the server stops and comes back. Saves a screenshot of the page.

Usage: test_dashboard.py TAV_SERVER_BIN SCRIPTS_DIR SCREENSHOT_PNG"""
import os
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
            reasons = {r.get_attribute("data-reason"): int(r.find_elements(By.TAG_NAME, "td")[1].text)
                       for r in d.find_elements(By.CSS_SELECTOR, "#refusals tbody tr")}
            self.assertEqual(reasons, {"unknown-ticket": 1, "cancelled": 1})
            gates = {r.get_attribute("data-source"): [int(td.text) for td in r.find_elements(By.TAG_NAME, "td")[1:3]]
                     for r in d.find_elements(By.CSS_SELECTOR, "#gates tbody tr")}
            self.assertEqual(gates, {"127.0.0.2": [21, 0], "127.0.0.3": [22, 2]})
            self.assertEqual(self.chart_entries(), 40)

        with self.subTest("a station without a session is listed apart from the gates"):
            stranger = Station("127.0.0.1", self.server.port, source="127.0.0.10")
            stranger.operator = GATE  # a stolen ID, without its session
            for _ in range(5):
                self.assertEqual(stranger.check(BIZ, demo_ticket(0)), ("-1", "다시 로그인하세요"))
            stranger.close()
            rows = lambda: [(r.get_attribute("data-source"), int(r.find_elements(By.TAG_NAME, "td")[1].text))
                            for r in d.find_elements(By.CSS_SELECTOR, "#strangers tbody tr")]
            self.assertTrue(wait_for(lambda: rows() == [("127.0.0.10", 5)], 5), rows())
            self.assertEqual(sorted(r.get_attribute("data-source") for r in d.find_elements(By.CSS_SELECTOR, "#gates tbody tr")),
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


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
