"""The dashboard in headless Chromium against the real server on the demo
configuration (simulated boards): every view fills with data after "Freerun
all", a run is recorded through the page and its files are found, the high
voltage is switched through the confirmation dialog, a refused command is
shown with its reply, and the page reconnects by itself to a restarted server.
Screenshots go to <build>/artefacts/dashboard-*.png.

Environment: QUARIX_SERVER (the server executable, with boards/ and
dashboard/ beside it), QUARIX_DEMO_CONFIG, QUARIX_ARTEFACTS. The server binds
ports 51234 and 51235."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from selenium import webdriver  # Debian python3-selenium, chromium, chromium-driver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

READY = "QUARIX IS STARTED AND READY"
URL = "http://localhost:51235/"
# Views of the demo that show data from the boards, by block name.
DATA_VIEWS = ["run", "list_source", "spectrum", "time_histogram", "image", "pair_source", "position",
              "wave_source", "oscilloscope", "rate_source", "rates", "hv"]


class Dashboard(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="quarix-dashboard-")
        cls.storage = os.path.join(cls.work, "data")
        os.makedirs(cls.storage)
        with open(os.environ["QUARIX_DEMO_CONFIG"]) as f:
            config = json.load(f)
        config["storage"]["file_path"] = cls.storage
        cls.config = os.path.join(cls.work, "config.json")
        with open(cls.config, "w") as f:
            json.dump(config, f)
        cls.artefacts = os.environ["QUARIX_ARTEFACTS"]
        os.makedirs(cls.artefacts, exist_ok=True)
        cls.server = None
        cls.start_server()
        options = webdriver.ChromeOptions()
        for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000",
                         "--user-data-dir=" + os.path.join(cls.work, "chromium")):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "SEVERE"})
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.browser.get(URL)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.stop_server()
        shutil.rmtree(cls.work)

    @classmethod
    def start_server(cls):
        cls.log = os.path.join(cls.work, "server-%d.log" % time.monotonic_ns())
        executable = os.environ["QUARIX_SERVER"]
        with open(cls.log, "wb") as log:
            cls.server = subprocess.Popen([executable, "-c", cls.config], cwd=os.path.dirname(executable),
                                          stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while "Dashboard: " + URL not in cls.console():
            if cls.server.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("the server did not start:\n" + cls.console())
            time.sleep(0.05)
        assert READY in cls.console()

    @classmethod
    def stop_server(cls):
        if cls.server and cls.server.poll() is None:
            cls.server.send_signal(signal.SIGTERM)
            cls.server.wait(30)

    @classmethod
    def console(cls):
        with open(cls.log, "rb") as f:
            return f.read().decode(errors="replace")

    def wait(self, condition, what, seconds=30):
        WebDriverWait(self.browser, seconds, poll_frequency=0.1).until(lambda b: condition(), "timed out: " + what)

    def find(self, css):
        return self.browser.find_element(By.CSS_SELECTOR, css)

    def click(self, css):
        self.find(css).click()

    def text(self, css):
        # One script call: the page may replace the element between two calls of the driver.
        return self.browser.execute_script("const e = document.querySelector(arguments[0]); return e ? e.textContent : ''", css)

    def button(self, view, label):
        return self.browser.find_element(By.XPATH, "//section[@id='view-%s']//button[text()='%s']" % (view, label))

    def screenshot(self, name, whole_page=True):
        if whole_page:
            height = self.browser.execute_script("return document.documentElement.scrollHeight")
            self.browser.set_window_size(1400, height + 140)
        self.browser.save_screenshot(os.path.join(self.artefacts, "dashboard-%s.png" % name))
        self.browser.set_window_size(1400, 1000)

    def run_state(self):
        return self.text("#view-run tbody .run-state")

    def test_1_every_view_of_the_demo_fills_with_data(self):
        self.wait(lambda: len(self.browser.find_elements(By.CSS_SELECTOR, "#views .card")) == len(DATA_VIEWS),
                  "a view per block")
        self.click("#freerun-all")
        for name in DATA_VIEWS:
            self.wait(lambda: self.find("#view-" + name).get_attribute("data-filled") == "true", name + " filled")
        self.wait(lambda: "k/s" in self.text("g.box[data-block=spectrum] .box-rate"), "the diagram's rates")
        for name in ("spectrum", "time_histogram", "image", "position"):
            self.assertEqual(self.text("#view-%s .state" % name), "freerun")
        problems = "return [...document.querySelectorAll('.card .problem')].map(e => e.textContent).join('')"
        self.assertEqual(self.browser.execute_script(problems), "")
        # Script errors and refusals of the server's content policy are logged as severe.
        self.assertEqual([e["message"] for e in self.browser.get_log("browser") if e["level"] == "SEVERE"], [])
        self.screenshot("overview")

    def test_2_a_run_is_recorded_through_the_page(self):
        run_id = self.find("#view-run input")
        run_id.clear()
        run_id.send_keys("dash-1")
        self.button("run", "Start").click()
        self.wait(lambda: self.run_state() == "recording" and self.text("#view-run tbody td:nth-child(5)") != "0",
                  "the run recording events")
        self.assertEqual(self.text("#view-run tbody td:nth-child(3)"), "dash-1")
        self.button("run", "Pause").click()
        self.wait(lambda: self.run_state() == "paused", "the run paused")
        self.button("run", "Resume").click()
        self.wait(lambda: self.run_state() == "recording", "the run resumed")
        self.screenshot("recording")
        self.button("run", "Stop").click()
        self.wait(lambda: self.run_state() == "stopped", "the run stopped")
        folder = os.path.join(self.storage, "dash-1")
        files = sorted(os.listdir(folder))
        for name in ("list_dump_0.bin", "list_dump_0.stat", "oscilloscope_0.bin", "rates_0.bin"):
            self.assertIn(name, files)
        with open(os.path.join(folder, "list_dump_0.bin"), "rb") as f:
            self.assertEqual(f.read(4), b"QRXS")
        self.assertGreater(os.path.getsize(os.path.join(folder, "list_dump_0.bin")), 14 + 25)

    def test_3_a_refused_command_is_shown_with_its_reply(self):
        run_id = self.find("#view-run input")
        run_id.clear()
        run_id.send_keys("dash-1")  # recorded by the test before
        self.button("run", "Start").click()
        self.wait(lambda: "Existing Folder" in self.text(".message.error"), "the refusal shown")
        self.assertIn('refused: [{"response":"Existing Folder"}]', self.text(".message.error"))
        self.assertEqual(self.run_state(), "stopped")

    def test_4_high_voltage_switches_only_after_confirmation(self):
        hv_output = lambda: self.text("#view-hv .state")
        self.wait(lambda: hv_output() == "output off", "the high voltage off at first")
        self.button("hv", "HV on…").click()
        self.wait(lambda: self.find("#confirm").is_displayed(), "the confirmation dialog")
        self.assertIn('board "hv" ON', self.text("#confirm-text"))
        self.screenshot("hv-confirmation", whole_page=False)
        self.click("#confirm-cancel")
        readings = int(self.find("#view-hv").get_attribute("data-readings"))
        # A whole reading of the values made after the answer.
        self.wait(lambda: int(self.find("#view-hv").get_attribute("data-readings")) >= readings + 2, "new readings")
        self.assertEqual(hv_output(), "output off")
        self.button("hv", "HV on…").click()
        self.click("#confirm-ok")
        self.wait(lambda: hv_output() == "output on", "the high voltage on")
        self.screenshot("hv-on")
        self.button("hv", "HV off…").click()
        self.click("#confirm-ok")
        self.wait(lambda: hv_output() == "output off", "the high voltage off again")

    def test_5_the_page_reconnects_to_a_restarted_server(self):
        self.server.kill()
        self.server.wait(30)
        self.wait(lambda: self.find("#banner").is_displayed(), "the lost-connection banner")
        self.assertIn("reconnecting", self.text("#banner"))
        self.screenshot("disconnected")
        self.start_server()
        self.wait(lambda: not self.find("#banner").is_displayed(), "the banner gone", 60)
        # The restarted server's blocks start idle: the page drives them again.
        self.wait(lambda: self.text("#view-spectrum .state") == "idle", "the spectrum's new state")
        self.click("#freerun-all")
        self.wait(lambda: self.text("#view-spectrum .state") == "freerun", "freerun after the restart")


if __name__ == "__main__":
    unittest.main()
