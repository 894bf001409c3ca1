#!/usr/bin/env python3
"""The control room on the dashboard in a real headless Chromium against a real tav-server: an
admin finds a ticket by its holder's name, opens its story and annuls its entry after saying yes
on the page; the ticket then checks in as a first entry again, and a second annul of the same line
changes nothing. Saves a screenshot of the ticket's story.

Usage: test_control_room.py TAV_SERVER_BIN SCRIPTS_DIR SCREENSHOT_PNG"""
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from test_dashboard import ADMIN, ADMIN_PASSWORD, BIZ, GATE, GATE_PASSWORD, SERVER, SHOT, Server, wait_for
from station_traffic import Station, demo_ticket


class ControlRoomInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tav-control-room-")
        cls.store = os.path.join(cls.dir, "store.db")
        subprocess.run([SERVER, "demo", "--store", cls.store, "--tickets", "4000"], check=True,
                       stdout=subprocess.DEVNULL)
        cls.server = Server(cls.store)
        cls.server.start()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
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

    def holder_of(self, ticket):
        with sqlite3.connect(f"file:{self.store}?mode=ro", uri=True) as db:
            return db.execute("SELECT cust_name FROM ticket WHERE ticket_no = ?", (ticket,)).fetchone()[0]

    def ticket_state(self):
        state = self.driver.find_element(By.ID, "ticket-state")
        return state.get_attribute("data-inside"), state.get_attribute("data-entries")

    def test_find_by_name_and_annul_an_entry(self):
        d = self.driver
        ticket = demo_ticket(5)
        station = Station("127.0.0.1", self.server.port, source="127.0.0.2")
        station.sign_in(GATE, GATE_PASSWORD)
        self.assertEqual(station.check(BIZ, ticket), ("0", "입장 확인"))

        d.get(self.server.url + "/dashboard")
        self.assertTrue(wait_for(lambda: d.find_element(By.ID, "signin").is_displayed(), 10))
        d.find_element(By.ID, "signin-id").send_keys(ADMIN)
        d.find_element(By.ID, "signin-password").send_keys(ADMIN_PASSWORD)
        d.find_element(By.ID, "signin-button").click()
        self.assertTrue(wait_for(lambda: d.find_element(By.ID, "board").is_displayed()
                                 and d.find_element(By.ID, "event").get_attribute("value") == BIZ, 10))

        with self.subTest("found by the holder's name"):
            d.find_element(By.ID, "lookup-q").send_keys(self.holder_of(ticket))
            d.find_element(By.ID, "lookup-button").click()
            row = wait_for(lambda: d.find_elements(By.CSS_SELECTOR, f'#lookup-results tr[data-ticket="{ticket}"]'), 10)
            self.assertTrue(row, d.find_element(By.ID, "lookup-message").text)
            row[0].click()
            self.assertTrue(wait_for(lambda: d.find_element(By.ID, "ticket-view").is_displayed(), 10))
            self.assertEqual(self.ticket_state(), ("true", "1"))
            lines = d.find_elements(By.CSS_SELECTOR, "#ticket-lines tbody tr")
            self.assertEqual([l.get_attribute("data-outcome") for l in lines], ["entry"])
            self.assertIn("127.0.0.2", lines[0].text)
            self.assertIn(GATE, lines[0].text)

        with self.subTest("annulled after a yes on the page"):
            entry = lines[0].get_attribute("data-line")
            lines[0].find_element(By.CSS_SELECTOR, "button.annul").click()
            self.assertTrue(d.find_element(By.ID, "confirm-box").is_displayed())
            self.assertEqual(self.ticket_state(), ("true", "1"), "nothing happens before the yes")
            d.find_element(By.ID, "confirm-yes").click()
            self.assertTrue(wait_for(lambda: self.ticket_state() == ("false", "0"), 10), self.ticket_state())
            self.assertFalse(d.find_element(By.ID, "confirm-box").is_displayed())
            outcomes = [l.get_attribute("data-outcome") for l in d.find_elements(By.CSS_SELECTOR, "#ticket-lines tbody tr")]
            self.assertEqual(outcomes, ["entry", "annul"])
            annulled = d.find_element(By.CSS_SELECTOR, f'#ticket-lines tr[data-line="{entry}"]')
            self.assertEqual(annulled.get_attribute("class"), "annulled")
            self.assertFalse(annulled.find_elements(By.CSS_SELECTOR, "button.annul"))
            d.save_screenshot(SHOT)

        with self.subTest("a second annul of the same line changes nothing"):
            status = d.execute_async_script(
                "const done = arguments[arguments.length - 1];"
                "fetch('/api/v1/tickets/' + arguments[0] + '/' + arguments[1] + '/annul', {method: 'POST',"
                " credentials: 'same-origin', headers: {'Content-Type': 'application/json'},"
                " body: JSON.stringify({line: Number(arguments[2])})}).then((r) => done(r.status));",
                BIZ, ticket, entry)
            self.assertEqual(status, 409)

        with self.subTest("the ticket checks in as a first entry again"):
            self.assertEqual(station.check(BIZ, ticket), ("0", "입장 확인"))
            station.close()


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
