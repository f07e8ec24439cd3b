#!/usr/bin/python3
"""Dashboard benchmark: redraw time of the spectrum plot in headless Chromium
(32 channels x 16384 bins by default; the goal is under 50 ms), then the page
on the real server for some minutes: the tab's JavaScript heap, DOM nodes and
listeners after garbage collection, and the server's memory.

Needs chromium, chromium-driver and python3-selenium (Debian), and a build
folder with the dashboard laid out (<build>/dashboard/).
"""

import argparse
import functools
import http.server
import os
import shutil
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pytools"))
import quarix_bench as qb  # noqa: E402

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

GOAL_REDRAW_MS = 50.0
HERE = os.path.dirname(os.path.abspath(__file__))


def browser(work):
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000",
                     "--user-data-dir=" + os.path.join(work, "chromium")):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(600)
    return driver


def serve(folder):
    """A web server for the folder on a free loopback port, in a thread."""
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    handler = functools.partial(Quiet, directory=folder)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def redraw_cases(args, work):
    folder = os.path.join(work, "page")
    shutil.copytree(os.path.join(args.build, "dashboard"), folder)
    shutil.copy(os.path.join(HERE, "redraw.html"), folder)
    web = serve(folder)
    driver = browser(work)
    try:
        driver.get("http://127.0.0.1:%d/redraw.html" % web.server_address[1])
        deadline = time.monotonic() + 30
        while not driver.execute_script("return window.benchReady === true"):
            if time.monotonic() > deadline:
                raise RuntimeError("the benchmark page did not load")
            time.sleep(0.1)
        print("\nredraw of the spectrum plot (1200 px wide), %d rounds each (goal: redraw < %.0f ms)"
              % (args.rounds, GOAL_REDRAW_MS))
        print("%-36s %24s %30s" % ("case", "redraw median/p95/max", "with JSON parse, median/p95/max"))
        cases = [("32 ch x 16384 bins, linear", 32, 16384, False, True),
                 ("32 ch x 16384 bins, log", 32, 16384, True, True),
                 ("16 ch x 4096 bins (demo), linear", 16, 4096, False, True),
                 ("32 ch x 16384, no decimation", 32, 16384, False, False)]
        for name, channels, bins, log, decimate in cases:
            result = driver.execute_async_script(
                "const done = arguments[arguments.length - 1]; runBench(arguments[0]).then(done, e => done(String(e)));",
                {"channels": channels, "bins": bins, "rounds": args.rounds, "log": log, "decimate": decimate})
            if not isinstance(result, dict):
                print("%-36s failed: %s" % (name, result))
                continue
            r, u = result["redraw"], result["update"]
            print("%-36s %8.1f %7.1f %7.1f ms %9.1f %7.1f %7.1f ms"
                  % (name, r["median"], r["p95"], r["max"], u["median"], u["p95"], u["max"]), flush=True)
    finally:
        driver.quit()
        web.shutdown()


def soak(args, work):
    storage = os.path.join(work, "storage")
    os.makedirs(storage, exist_ok=True)
    config_path = os.path.join(work, "config.json")
    qb.write_config(config_path, qb.load_config(qb.DEMO_CONFIG, storage))
    server = qb.Server(args.build, config_path, os.path.join(work, "server.log"))
    server.start()
    driver = browser(work)
    try:
        driver.get("http://localhost:51235/")
        deadline = time.monotonic() + 30
        while len(driver.find_elements(By.CSS_SELECTOR, "#views .card")) == 0:
            if time.monotonic() > deadline:
                raise RuntimeError("the dashboard built no view; server log:\n" + server.log_tail())
            time.sleep(0.1)
        driver.find_element(By.ID, "freerun-all").click()
        # Every channel of both histograms on: the largest requests the demo allows.
        for view in ("spectrum", "time_histogram"):
            driver.find_element(By.XPATH, "//section[@id='view-%s']//button[text()='all']" % view).click()
        print("\nthe dashboard on the demo for %.1f min (all views polling, histograms with all channels)"
              % args.minutes)
        print("%8s %14s %10s %12s %14s %14s" % ("time s", "JS heap MB", "DOM nodes", "listeners", "server RSS MB",
                                                "silent views"))
        driver.execute_cdp_cmd("Performance.enable", {})
        start = time.monotonic()
        while True:
            elapsed = time.monotonic() - start
            driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
            metrics = {m["name"]: m["value"] for m in driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]}
            silent = driver.execute_script("return document.querySelectorAll('.card.silent').length")
            print("%8.0f %14.2f %10d %12d %14.1f %14d"
                  % (elapsed, metrics.get("JSHeapUsedSize", 0) / 1e6, metrics.get("Nodes", 0),
                     metrics.get("JSEventListeners", 0), (server.rss_kb() or 0) / 1024.0, silent), flush=True)
            if elapsed >= args.minutes * 60:
                break
            time.sleep(min(args.every, args.minutes * 60 - elapsed + 0.01))
    finally:
        driver.quit()
        qb.stop_server(server)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    qb.add_common_arguments(parser)
    parser.add_argument("--rounds", type=int, default=40, help="redraws timed per case (default 40)")
    parser.add_argument("--minutes", type=float, default=3.0, help="length of the run on the server (default 3)")
    parser.add_argument("--every", type=float, default=30.0, help="seconds between memory readings (default 30)")
    parser.add_argument("--no-soak", action="store_true", help="only the redraw timing")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    if not os.path.isfile(os.path.join(args.build, "dashboard", "index.html")):
        parser.error("no dashboard in %s (build the target quarix_dashboard)" % args.build)
    private = qb.enter_private_network(not args.host_network)
    work = qb.work_folder(args, "quarix-dashboard-bench-")
    print("dashboard benchmark: build %s, network %s, %d CPUs" % (args.build, "private namespace" if private else "host",
                                                                  os.cpu_count() or 0))
    print("uptime: %s" % os.popen("uptime").read().strip(), flush=True)
    try:
        redraw_cases(args, work)
        if not args.no_soak:
            soak(args, work)
    finally:
        print("\nuptime at end: %s" % os.popen("uptime").read().strip())
        qb.remove_work_folder(args, work)


if __name__ == "__main__":
    main()
