#!/usr/bin/python3
# Figures of tarrow-web, all on 127.0.0.1; run through bench/web.sh.
#   web.py TARROWD FLICKET TARROW_WEB [seconds-per-phase]
# 1. Rendering 5,000 alerts in headless Chromium: the page as tarrow-web serves it, fed a board
#    of 5,000 alerts by a stand-in server (the table of tarrowd holds 50), against the same page
#    fed 10 alerts as the reference, interleaved. Target: under 300 ms.
# 2. A /metrics scrape, each on a new connection, against /-/healthy as the reference,
#    interleaved. Target: under 5 ms.
# 3. tarrow-web polling a full board (50 alerts) every second while ten browser windows poll
#    it every second, against the same with no browser, phases interleaved: CPU share of one
#    core and RSS. Target: under 1 % and under 15 MB.
import http.client
import http.server
import json
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import webtest as w  # noqa: E402

tarrowd_path, flicket_path, web_path = map(os.path.abspath, sys.argv[1:4])
phase_seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 15

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:
    w.skip("python3-selenium is missing")


def browser(workdir):
    o = webdriver.ChromeOptions()
    o.binary_location = "/usr/lib/chromium/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,800", "--user-data-dir=" + os.path.join(workdir, "chromium"),
                "--no-first-run", "--disable-extensions", "--disable-background-networking"):
        o.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=o)


def synthetic_board(n):
    now = int(time.time())
    states = ["critical", "warning", "info", "acked"]
    alerts = [{"host": "host%03d" % (i % 97), "key": "KEY%05d" % i, "state": states[i % 4],
               "datetime": "2026-01-01T10:00", "text": "synthetic alert %d: " % i + "x" * 60,
               "persistent": True, "optional_data": "", "raised": now - 37 * i}
              for i in range(n)]
    return {"stale": False, "up": True, "error": "", "interval": 3600, "acting": False,
            "fetched": now, "counts": {"total": n, "critical": n // 4, "warning": n // 4,
                                       "info": n // 4, "acked": n // 4},
            "waiting": {"total": 0, "critical": 0, "warning": 0, "info": 0, "acked": 0},
            "alerts": alerts}


def render(d, page):
    """Serves page with boards of 5,000 and 10 alerts; returns the render times (ms) of each."""
    boards = {n: json.dumps(synthetic_board(n)).encode() for n in (5000, 10)}

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            path, _, query = self.path.partition("?")
            body, kind = page, "text/html"
            if path == "/api/v1/board":
                body, kind = boards[int(self.headers.get("Referer", "n=10").rsplit("=", 1)[1])], "application/json"
            elif path == "/api/v1/session":
                body, kind = b'{"acting":false,"user":null,"csrf":null}', "application/json"
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    times = {5000: [], 10: []}
    try:
        for _ in range(7):
            for n in (5000, 10):
                d.get("http://127.0.0.1:%d/?n=%d" % (srv.server_port, n))
                ms = w.wait_for(lambda: d.execute_script(
                    "const t = document.getElementById('board');"
                    "return t.tBodies[0].rows.length === arguments[0] && t.dataset.renderMs",
                    n), 10.0, 0.01)
                if not ms:
                    raise RuntimeError("the page did not render %d alerts" % n)
                times[n].append(float(ms))
    finally:
        srv.shutdown()
    return times


def scrape(web, runs=300):
    times = {"/metrics": [], "/-/healthy": []}
    for _ in range(runs):
        for path in times:
            t0 = time.perf_counter()
            status, _, body = web.request("GET", path)
            times[path].append((time.perf_counter() - t0) * 1000)
            assert status == 200 and body
    return times


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def memory(pid):
    got = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(("VmRSS:", "VmHWM:")):
                got[line.split(":")[0]] = int(line.split()[1])
    return got


def load(d, web, server):
    """CPU share and RSS of tarrow-web with no browser and with ten, phases interleaved."""
    for i in range(50):
        w.flicket(flicket_path, server.port, ["critical", "warning", "info"][i % 3],
                  "KEY%02d" % i, "alert %d of a full board, with a text of some length" % i,
                  host="host%02d" % (i % 7))
    w.wait_for(lambda: len(web.json("/api/v1/alerts")[1] or []) == 50, 5.0)
    hz = os.sysconf("SC_CLK_TCK")
    share = {0: [], 10: []}
    # Ten windows throughout: on the page in a loaded phase, on a blank page otherwise.
    windows = [d.current_window_handle]
    while len(windows) < 10:
        d.switch_to.new_window("window")
        windows.append(d.current_window_handle)
    for _ in range(2):
        for browsers in (0, 10):
            for h in windows:
                d.switch_to.window(h)
                d.get(web.origin + "/" if browsers else "about:blank")
            time.sleep(2)
            t0, c0 = time.monotonic(), cpu_ticks(web.proc.pid)
            time.sleep(phase_seconds)
            t1, c1 = time.monotonic(), cpu_ticks(web.proc.pid)
            share[browsers].append((c1 - c0) / hz / (t1 - t0) * 100)
    polls = web.request("GET", "/metrics")[2]
    return share, memory(web.proc.pid), polls


def main():
    workdir = w.temp_dir()
    d = None
    try:
        server = w.Tarrowd(tarrowd_path, workdir)
        web = w.Web(web_path, ["-p", str(server.port), "--listen", "127.0.0.1:0"], workdir)
        page = web.request("GET", "/")[2].encode()
        d = browser(workdir)

        times = render(d, page)
        big, small = statistics.median(times[5000]), statistics.median(times[10])
        print("render 5000 alerts: median %.1f ms, worst %.1f ms (target < 300 ms)"
              % (big, max(times[5000])))
        print("render   10 alerts: median %.1f ms (reference), ratio %.1f"
              % (small, big / small if small else 0))

        s = scrape(web)
        m, h = statistics.median(s["/metrics"]), statistics.median(s["/-/healthy"])
        p99 = sorted(s["/metrics"])[int(len(s["/metrics"]) * 0.99)]
        print("GET /metrics: median %.2f ms, p99 %.2f ms (target < 5 ms); /-/healthy %.2f ms, "
              "ratio %.2f" % (m, p99, h, m / h if h else 0))

        if os.environ.get("RENDER_ONLY"):
            return
        share, mem, _ = load(d, web, server)
        print("tarrow-web CPU, no browser:  %s %% of a core" % ", ".join("%.2f" % x for x in share[0]))
        print("tarrow-web CPU, 10 browsers: %s %% of a core (target < 1 %%)"
              % ", ".join("%.2f" % x for x in share[10]))
        print("tarrow-web memory: VmRSS %.1f MB, VmHWM %.1f MB (target < 15 MB)"
              % (mem["VmRSS"] / 1024, mem["VmHWM"] / 1024))
    finally:
        if d is not None:
            d.quit()
        w.stop_all()
        w.remove_dir(workdir)


main()
