#!/usr/bin/python3
# tarrow-web against a real tarrowd on 127.0.0.1: the API, entity tags, /metrics (checked by
# promtool where installed), health checks, the operators' sign-in and every refusal of a
# request that would change the board.
#   e2e_test.py TARROWD FLICKET TARROW_WEB
import glob
import hashlib
import json
import os
import shutil
import socket
import stat
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webtest as w  # noqa: E402

tarrowd_path, flicket_path, web_path = map(os.path.abspath, sys.argv[1:4])
t = w.Checks()


def alerts(web):
    status, body = web.json("/api/v1/alerts")
    return body if status == 200 else None


def find(web, key):
    return next((a for a in alerts(web) or [] if a["key"] == key), None)


def command_line(workdir):
    bad = [
        (["--listen", "999.1.1.1:9004"], "invalid --listen"),
        (["--listen", "127.0.0.1"], "invalid --listen"),
        (["--listen", "127.0.0.1:70000"], "invalid --listen"),
        (["-a", "999.1.1.1"], "invalid address"),
        (["--link", "run=javascript:alert(1)"], "invalid --link"),
        (["--auth-header", "X-User"], "go together"),
        (["--auth-header", "X-User", "--trusted-proxy", "10.0.0.0/33"], "invalid --trusted-proxy"),
        (["-i", "0"], "invalid interval"),
        (["--tls-cert", "x.pem"], "go together"),
        (["--users-file", os.path.join(workdir, "none")], "cannot open"),
    ]
    for args, text in bad:
        r = subprocess.run([web_path] + args, capture_output=True, text=True, timeout=10)
        t.check(r.returncode == 2 and text in r.stderr, "refused: %s" % " ".join(args))
    open_users = w.users_file(workdir, "alice", "tok", 0o644)
    r = subprocess.run([web_path, "--users-file", open_users], capture_output=True, text=True,
                       timeout=10)
    t.check(r.returncode == 2 and "others" in r.stderr, "a world-readable users file is refused")
    r = subprocess.run([web_path, "--version"], capture_output=True, text=True, timeout=10)
    t.check(r.stdout == "tarrow-web 1.0.2\n", "--version")


def read_only(server, web):
    w.flicket(flicket_path, server.port, "critical", "DISK01", "disk full", host="web01")
    got = w.wait_for(lambda: find(web, "DISK01"), 2.0)
    t.check(got is not None, "a raised alert is listed within 2 s")
    if got:
        t.check(set(got) == {"host", "key", "state", "severity", "datetime", "text",
                             "persistent", "place"} and
                got["host"] == "web01" and got["state"] == "critical" and
                got["text"] == "disk full", "the alert has the console's JSON fields")

    status, headers, _ = web.request("GET", "/api/v1/alerts")
    tag = headers.get("etag")
    status, _, body = web.request("GET", "/api/v1/alerts", headers={"If-None-Match": tag})
    t.check(status == 304 and body == "", "an unchanged board is 304 Not Modified")
    w.flicket(flicket_path, server.port, "warning", "LOAD", "load high", host="web02")
    w.wait_for(lambda: find(web, "LOAD"), 2.0)
    status, headers, _ = web.request("GET", "/api/v1/alerts", headers={"If-None-Match": tag})
    t.check(status == 200 and headers.get("etag") != tag, "a changed board gets a new tag")

    status, stats = web.json("/api/v1/stats")
    t.check(status == 200 and stats["table"]["critical"] == 1 and
            stats["table"]["warning"] == 1 and stats["up"] is True, "/api/v1/stats counts")

    status, headers, metrics = web.request("GET", "/metrics")
    t.check(status == 200 and "tarrow_up 1\n" in metrics and
            'tarrow_alerts{place="table",state="critical"} 1\n' in metrics, "/metrics")
    promtool = shutil.which("promtool")
    if promtool:
        r = subprocess.run([promtool, "check", "metrics"], input=metrics, capture_output=True,
                           text=True, timeout=30)
        t.check(r.returncode == 0, "promtool check metrics: " + (r.stdout + r.stderr).strip())
    else:
        print("note: promtool is missing (Debian prometheus): /metrics not linted")

    t.check(web.request("GET", "/-/healthy")[0] == 200, "/-/healthy")
    t.check(web.request("GET", "/favicon.ico")[0] == 200, "/favicon.ico")
    status, board = web.json("/api/v1/board?filter=severity%3Dwarning")
    t.check([a["key"] for a in board["alerts"]] == ["LOAD"] and board["counts"]["total"] == 1 and
            board["waiting"]["total"] == 0, "the board filtered, with its counts and waiting")
    status, board = web.json("/api/v1/board?filter=colour%3Dred")
    t.check(len(board["alerts"]) == 2 and "unknown field" in board.get("filter_error", ""),
            "a bad filter shows every alert and says why: %s" % board.get("filter_error"))
    status, _, body = web.request("GET", "/api/v1/alerts?filter=host%3D~%5B")
    t.check(status == 400 and "bad regular expression" in body, "/api/v1/alerts: bad filter 400")
    t.check(web.request("GET", "/-/ready")[0] == 200, "/-/ready while the board answers")

    # Without a users file nothing changes the board, however the request looks.
    same = {"Origin": web.origin, "Content-Type": "application/json"}
    body = json.dumps({"host": "web01", "key": "DISK01"})
    for path in ("/api/v1/ack", "/api/v1/delete", "/api/v1/login", "/api/v1/anything"):
        t.check(web.request("POST", path, body, same)[0] == 403, "read-only: POST %s is 403" % path)
    t.check(web.request("PUT", "/api/v1/ack", body, same)[0] == 403, "read-only: PUT is 403")
    status, session = web.json("/api/v1/session")
    t.check((session["acting"], session["user"], session["csrf"]) == (False, None, None),
            "read-only session: %s" % session)
    t.check(find(web, "DISK01")["state"] == "critical", "the refused requests changed nothing")


def acting(server, workdir):
    users = w.users_file(workdir, "alice", "s3cret-token")
    web = w.Web(web_path, ["-a", "localhost", "-p", str(server.port), "--listen", "127.0.0.1:0",
                           "--users-file", users, "--require-note", "--log-dir", workdir], workdir)
    w.wait_for(lambda: find(web, "DISK01"), 2.0)
    json_type = {"Content-Type": "application/json"}
    same = dict(json_type, Origin=web.origin)
    evil = dict(json_type, Origin="http://127.0.0.2:%d" % web.port)

    def login(token, headers):
        return web.request("POST", "/api/v1/login",
                           json.dumps({"name": "alice", "token": token}), headers)

    t.check(login("wrong", same)[0] == 403, "a wrong token is refused")
    t.check(login("s3cret-token", json_type)[0] == 403, "a sign-in without Origin is refused")
    t.check(login("s3cret-token", evil)[0] == 403, "a sign-in from another origin is refused")
    status, headers, body = login("s3cret-token", same)
    t.check(status == 200, "alice signs in")
    cookie = headers.get("set-cookie", "").split(";")[0]
    t.check("HttpOnly" in headers.get("set-cookie", "") and
            "SameSite=Strict" in headers.get("set-cookie", ""), "the session cookie is strict")
    csrf = json.loads(body)["csrf"] if status == 200 else ""

    ack = json.dumps({"host": "web01", "key": "DISK01"})
    signed = dict(same, Cookie=cookie)
    refusals = [
        ("no CSRF token", signed),
        ("a wrong CSRF token", dict(signed, **{"X-CSRF-Token": "0" * 64})),
        ("another origin", dict(evil, Cookie=cookie, **{"X-CSRF-Token": csrf})),
        ("no session", dict(same, **{"X-CSRF-Token": csrf})),
    ]
    for why, headers in refusals:
        t.check(web.request("POST", "/api/v1/ack", ack, headers)[0] == 403,
                "an ack with %s is 403" % why)
    t.check(find(web, "DISK01")["state"] == "critical", "the refused acks changed nothing")

    good = dict(signed, **{"X-CSRF-Token": csrf})
    t.check(web.request("POST", "/api/v1/ack", ack, good)[0] == 400, "--require-note: no note 400")
    noted = json.dumps({"host": "web01", "key": "DISK01", "note": "disk swap at 14:00"})
    status, _, body = web.request("POST", "/api/v1/ack", noted, good)
    t.check(status == 200, "an ack with session, token and origin is done: %s" % body)
    t.check(w.wait_for(lambda: find(web, "DISK01")["state"] == "acked", 2.0),
            "the board shows it acknowledged")
    acked = find(web, "DISK01")
    t.check(acked.get("severity") == "critical" and
            acked.get("acknowledged", {}).get("by") == "alice" and
            acked["acknowledged"].get("note") == "disk swap at 14:00",
            "acknowledged critical, by the signed-in operator, with the note: %s" % acked)
    t.check(w.wait_for(lambda: "alice acknowledged web01 DISK01" in web.log(), 2.0),
            "the ack is logged with the operator's name")
    t.check(web.request("POST", "/api/v1/unack", ack, good)[0] == 200 and
            w.wait_for(lambda: find(web, "DISK01")["state"] == "critical", 2.0),
            "an un-acknowledge returns it to critical")
    web.request("POST", "/api/v1/ack", noted, good)
    w.wait_for(lambda: find(web, "DISK01")["state"] == "acked", 2.0)

    def events():
        status, body = web.json("/api/v1/history?host=web01&key=DISK01")
        return [(e["event"], (e.get("acknowledged") or {}).get("by"), e.get("unacknowledged_by"))
                for e in body] if status == 200 else body
    want = [("raised", None, None), ("acknowledged", "alice", None),
            ("unacknowledged", None, "alice"), ("acknowledged", "alice", None)]
    t.check(w.wait_for(lambda: events() == want, 3.0), "the alert's history from the logs: %s" % events())
    missing = json.dumps({"host": "web01", "key": "NOSUCH"})
    t.check(web.request("POST", "/api/v1/ack", missing, good)[0] == 404, "no such alert: 404")
    t.check(web.request("POST", "/api/v1/ack", "not json", good)[0] == 400, "bad body: 400")
    status, _, _ = web.request("POST", "/api/v1/delete", json.dumps({"host": "web02", "key": "LOAD"}), good)
    t.check(status == 200 and w.wait_for(lambda: find(web, "LOAD") is None, 2.0),
            "a delete removes the alert from the board")
    t.check("alice deleted web02 LOAD" in web.log(), "the delete is logged")

    t.check(web.request("POST", "/api/v1/logout", "{}", good)[0] == 200, "alice signs out")
    t.check(web.request("POST", "/api/v1/ack", ack, good)[0] == 403, "her session is gone")
    web.stop()


def waiting_and_counts(workdir):
    """A full board of two with two alerts waiting: the operator acknowledges a waiting
    critical from the web (the action waits behind its raise, listed as pending, and takes
    effect with the name once a delete makes room), and the badges' counts, /metrics and the
    server's own summary agree before and after."""
    sub = os.path.join(workdir, "small")
    os.makedirs(sub, exist_ok=True)
    server = w.Tarrowd(tarrowd_path, sub, ["--table-size", "2"])
    for severity, key in (("critical", "C1"), ("warning", "W1"), ("critical", "C2"),
                          ("warning", "W2")):
        w.flicket(flicket_path, server.port, severity, key, "text " + key, host="db1")
    users = w.users_file(workdir, "alice", "tok-alice")
    web = w.Web(web_path, ["-p", str(server.port), "--listen", "127.0.0.1:0", "-i", "1",
                           "--users-file", users], workdir)
    t.check(w.wait_for(lambda: find(web, "W2") is not None, 3.0), "the waiting alerts are listed")
    good = web.sign_in("alice", "tok-alice")
    t.check(good is not None, "alice signs in")

    def agree():
        status, board = web.json("/api/v1/board")
        _, _, metrics = web.request("GET", "/metrics")
        # The server's own summary, as tarrowc stats prints it and the web passes it on.
        figures = (web.json("/api/v1/stats")[1] or {}).get("server") or {}
        got = []
        for place, prefix in (("table", "table_"), ("waiting", "waiting_")):
            counts = board["counts" if place == "table" else "waiting"]
            for state, name in (("critical", "critical"), ("warning", "warning"),
                                ("acked", "acknowledged")):
                m = "tarrow_alerts{place=\"%s\",state=\"%s\"} " % (place, state)
                line = next((l for l in metrics.splitlines() if l.startswith(m)), m + "?")
                got.append((counts.get(state), int(line.split(" ")[1]),
                            int(figures.get(prefix + name, "-1"))))
        return all(a == b == c for a, b, c in got), got

    t.check(w.wait_for(lambda: agree()[0], 3.0), "board, metrics and summary agree: %s" % (agree(),))
    ack = json.dumps({"host": "db1", "key": "C2", "note": "on it"})
    t.check(web.request("POST", "/api/v1/ack", ack, good)[0] == 200, "a waiting critical is acknowledged")
    t.check(w.wait_for(lambda: (find(web, "C2") or {}).get("pending") == "ack pending by alice", 3.0),
            "it shows the acknowledgement pending: %s" % find(web, "C2"))
    delete = json.dumps({"host": "db1", "key": "W1", "note": "noise"})
    t.check(web.request("POST", "/api/v1/delete", delete, good)[0] == 200, "a delete on the board")
    t.check(w.wait_for(lambda: (find(web, "C2") or {}).get("state") == "acked", 3.0),
            "the waiting critical came in and was acknowledged: %s" % find(web, "C2"))
    t.check((find(web, "C2") or {}).get("acknowledged", {}).get("by") == "alice",
            "by alice, as the web sent it")
    with open(glob.glob(os.path.join(sub, "log_*.log"))[0], errors="replace") as f:
        log = f.read()
    t.check("AINF: Deleted db1             W1             AW by alice: noise" in log,
            "the delete is logged with who and the note")
    t.check(w.wait_for(lambda: agree()[0], 3.0), "and they still agree: %s" % (agree(),))
    web.stop()
    server.stop()


def board_gone(server, web):
    w.wait_for(lambda: [a["key"] for a in alerts(web)] == ["DISK01"], 2.0)
    server.stop()
    t.check(w.wait_for(lambda: web.request("GET", "/-/ready")[0] == 503, 2.0),
            "/-/ready is 503 once the board cannot be reached")
    t.check(web.request("GET", "/-/healthy")[0] == 200, "/-/healthy stays 200")
    status, board = web.json("/api/v1/board")
    t.check(board["up"] is False and board["error"] != "" and
            [a["key"] for a in board["alerts"]] == ["DISK01"],
            "the page data says the board is down and keeps the last alerts: %s" % board)
    t.check(w.wait_for(lambda: board_stale(web), 5.0), "after three intervals it is stale")
    status, _, metrics = web.request("GET", "/metrics")
    t.check("tarrow_up 0\n" in metrics and "tarrow_alerts{" not in metrics and
            "tarrow_web_poll_errors_total 0\n" not in metrics, "/metrics while down")
    t.check(web.request("GET", "/api/v1/alerts")[0] == 503, "/api/v1/alerts is 503 while down")


def slow_clients(server, workdir):
    """64 connections trickle one byte every 2 s, from two addresses of the loopback: the
    others are still answered within 1 s, and SIGTERM ends the program within 2 s."""
    web = w.Web(web_path, ["-p", str(server.port), "--listen", "127.0.0.1:0"], workdir)
    w.wait_for(lambda: web.request("GET", "/-/ready")[0] == 200, 5.0)
    slow, done = [], threading.Event()
    for i in range(64):
        c = socket.socket()
        c.bind(("127.0.0.%d" % (2 + i % 2), 0))
        c.connect(("127.0.0.1", web.port))
        slow.append(c)
    request = b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"y" * 100

    def trickle():
        for b in request:
            for c in slow:
                try:
                    c.send(bytes([b]))
                except OSError:
                    pass
            if done.wait(2.0):
                return
    feeder = threading.Thread(target=trickle)
    feeder.start()
    try:
        for path in ("/metrics", "/-/ready", "/"):
            start = time.monotonic()
            status = web.request("GET", path)[0]
            took = time.monotonic() - start
            t.check(status == 200 and took < 1.0,
                    "with 64 slow clients, %s answers %d in %.2f s" % (path, status, took))
        start = time.monotonic()
        web.proc.terminate()
        try:
            code = web.proc.wait(2.0)
        except subprocess.TimeoutExpired:
            code = None
        t.check(code == 0, "SIGTERM ends it in %.2f s with slow clients connected (status %s)"
                % (time.monotonic() - start, code))
    finally:
        done.set()
        feeder.join()
        for c in slow:
            c.close()


def host_and_users(server, workdir):
    """Only the served Host names; a private users file, also at reload, which ends the
    sessions of removed users; failed sign-ins throttled per address."""
    fifo = os.path.join(workdir, "fifo")
    os.mkfifo(fifo, 0o600)
    for path, text in ((w.users_file(workdir, "alice", "tok", 0o640), "group or others"),
                       (fifo, "not a regular file")):
        r = subprocess.run([web_path, "--users-file", path], capture_output=True, text=True,
                           timeout=5)
        t.check(r.returncode == 2 and text in r.stderr, "users file refused: " + r.stderr.strip())

    users = os.path.join(workdir, "users-two")

    def write_users(names):
        with open(users, "w") as f:
            for n in names:
                f.write("%s:%s\n" % (n, hashlib.sha256((n + "-token").encode()).hexdigest()))
        os.chmod(users, 0o600)
    write_users(["alice", "bob"])
    web = w.Web(web_path, ["-p", str(server.port), "--listen", "127.0.0.1:0",
                           "--users-file", users, "--host-name", "board.example"], workdir)
    port = web.port
    for host, want in (("127.0.0.1:%d" % port, 200), ("localhost:%d" % port, 421),
                       ("board.example:%d" % port, 200), ("evil.example:%d" % port, 421)):
        t.check(web.request("GET", "/api/v1/board", headers={"Host": host})[0] == want,
                "Host %s is %d" % (host, want))
    with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
        c.sendall(b"GET /-/healthy HTTP/1.0\r\n\r\n")
        t.check(c.recv(100).startswith(b"HTTP/1.1 400"), "no Host header is 400")

    same = {"Content-Type": "application/json", "Origin": web.origin}

    def login(name, token, source="127.0.0.1"):
        c = w.http.client.HTTPConnection("127.0.0.1", port, timeout=5,
                                         source_address=(source, 0))
        c.request("POST", "/api/v1/login", json.dumps({"name": name, "token": token}), same)
        r = c.getresponse()
        cookie = (r.getheader("Set-Cookie") or "").split(";")[0]
        r.read()
        c.close()
        return r.status, cookie

    def user(cookie):
        return web.json_with("/api/v1/session", {"Cookie": cookie}).get("user")
    cookies = {n: login(n, n + "-token")[1] for n in ("alice", "bob")}
    t.check([user(cookies[n]) for n in ("alice", "bob")] == ["alice", "bob"], "both sign in")
    statuses = [login("alice", "wrong")[0] for _ in range(13)]
    t.check(statuses == [403] * 10 + [429] * 3, "failed sign-ins throttled: %s" % statuses)
    t.check(login("bob", "bob-token", "127.0.0.4")[0] == 200, "another address still signs in")

    os.chmod(users, 0o660)
    web.proc.send_signal(w.signal.SIGHUP)
    t.check(w.wait_for(lambda: "not reloaded" in web.log() and "group or others" in web.log(),
                       3.0), "a group-readable users file is refused at reload")
    write_users(["alice"])
    web.proc.send_signal(w.signal.SIGHUP)
    w.wait_for(lambda: "sessions ended" in web.log(), 3.0)
    t.check([user(cookies[n]) for n in ("alice", "bob")] == ["alice", None],
            "a reload ends the removed user's sessions only")
    web.stop()


def proxy_header(server, workdir):
    """A stand-in proxy on 127.0.0.1 names the operator in a header; the same header from
    127.0.0.5, which is not trusted, is ignored; a name not in the users file is refused."""
    users = w.users_file(workdir, "carol", "unused-token")
    web = w.Web(web_path, ["-p", str(server.port), "--listen", "127.0.0.1:0", "--users-file", users,
                           "--auth-header", "X-Forwarded-User", "--trusted-proxy", "127.0.0.0/31"],
                workdir)

    def call(method, path, source, name, body=None, csrf=None):
        c = w.http.client.HTTPConnection("127.0.0.1", web.port, timeout=5, source_address=(source, 0))
        headers = {"X-Forwarded-User": name, "Origin": web.origin, "Content-Type": "application/json"}
        if csrf:
            headers["X-CSRF-Token"] = csrf
        c.request(method, path, body, headers)
        r = c.getresponse()
        out = (r.status, r.read().decode())
        c.close()
        return out
    session = json.loads(call("GET", "/api/v1/session", "127.0.0.1", "carol")[1])
    t.check(session["user"] == "carol" and session["proxy"], "the trusted proxy names carol")
    untrusted = json.loads(call("GET", "/api/v1/session", "127.0.0.5", "carol")[1])
    t.check(untrusted["user"] is None, "the header from an untrusted address is ignored")
    stranger = json.loads(call("GET", "/api/v1/session", "127.0.0.1", "mallory")[1])
    t.check(stranger["user"] is None, "a name not in the users file is not signed in")
    body = json.dumps({"host": "web01", "key": "DISK01"})
    t.check(call("POST", "/api/v1/delete", "127.0.0.5", "carol", body, session["csrf"])[0] == 403,
            "an untrusted peer cannot act through the header")
    status, text = call("POST", "/api/v1/unack", "127.0.0.1", "carol", body, session["csrf"])
    t.check(status == 200 and w.wait_for(lambda: "carol un-acknowledged web01 DISK01" in web.log(), 2.0),
            "carol acts through the proxy, logged by name: %s" % text)
    web.stop()


def two_boards(workdir):
    """Two boards as one: where each alert is and what differs, an acknowledgement sent to
    both, kept as pending for the board that is down and sent when it is back."""
    dirs = [os.path.join(workdir, d) for d in ("board-a", "board-b")]

    def start(d, port=0):
        os.makedirs(d, exist_ok=True)
        proc = w.subprocess.Popen([tarrowd_path, "--foreground", "--keep-table", str(port),
                                   "127.0.0.1"], cwd=d, stdout=w.subprocess.DEVNULL,
                                  stderr=w.subprocess.DEVNULL)
        w.procs.append(proc)

        def listening():
            for log in w.glob.glob(os.path.join(d, "log_*.log")):
                with open(log, errors="replace") as f:
                    m = w.re.findall(r"listening on port address '127\.0\.0\.1:(\d+)'", f.read())
                    if m and (port == 0 or len(m) > 1):
                        return int(m[-1])
            return None
        return proc, w.wait_for(listening)
    (a, pa), (b, pb) = start(dirs[0]), start(dirs[1])
    for port in (pa, pb):
        w.flicket(flicket_path, port, "critical", "DISK", "disk full", host="web01")
    w.flicket(flicket_path, pa, "warning", "LOAD", "load high", host="web01")
    web = w.Web(web_path, ["-a", "127.0.0.1:%d" % pa, "-a", "127.0.0.1:%d" % pb, "--listen",
                           "127.0.0.1:0", "--auth-header", "X-User", "--trusted-proxy",
                           "127.0.0.1"], workdir)

    def rows():
        board = web.json("/api/v1/board")[1] or {}
        return board, {a["key"]: (a["state"], a.get("boards"), a.get("differs"))
                       for a in board.get("alerts", [])}
    board, got = w.wait_for(lambda: (lambda r: r if len(r[1]) == 2 else None)(rows()))
    t.check(got == {"DISK": ("critical", "both", None), "LOAD": ("warning", "A", "on A only")}
            and board["divergent"] == 1, "two boards: where each alert is: %s" % got)

    w.stop(b)
    t.check(w.wait_for(lambda: not rows()[0]["boards"][1]["up"]), "two boards: B is down")
    headers = {"X-User": "erin", "Origin": web.origin, "Content-Type": "application/json"}
    session = web.json_with("/api/v1/session", headers)
    headers["X-CSRF-Token"] = session["csrf"]
    status, _, text = web.request("POST", "/api/v1/ack", json.dumps({"host": "web01",
                                                                     "key": "DISK"}), headers)
    answer = json.loads(text) if status == 200 else {}
    t.check(answer.get("done") == ["A"] and answer.get("pending") == ["B"],
            "two boards: the ack is done on A and pending for B: %d %s" % (status, text))
    board, got = w.wait_for(lambda: (lambda r: r if r[0]["pending"] else None)(rows())) or rows()
    pending = [(p["board"], p["action"], p["key"], p["by"]) for p in board["pending"]]
    t.check(pending == [("B", "ack", "DISK", "erin")] and
            got["DISK"] == ("acked", "both", "acknowledged on A only"),
            "two boards: the pending ack is shown: %s %s" % (pending, got))

    b, _ = start(dirs[1], pb)
    board, got = w.wait_for(lambda: (lambda r: r if not r[0]["pending"] and
                                     r[1]["DISK"][2] is None else None)(rows()), 10.0) or rows()
    t.check(got.get("DISK") == ("acked", "both", None),
            "two boards: B acknowledged once it answers: %s" % (got,))
    t.check("erin's ack of web01 DISK on B" in web.log() and "done, as it answers again" in web.log(),
            "two boards: the pending ack is logged as done")
    web.stop()
    w.stop(a)
    w.stop(b)


def board_stale(web):
    return web.json("/api/v1/board")[1]["stale"] is True


def ipv6(workdir, port):
    try:
        web = w.Web(web_path, ["-p", str(port), "--listen", "[::1]:0"], workdir)
    except RuntimeError as e:
        print("note: no IPv6 loopback here: %s" % e)
        return
    t.check(web.host == "[::1]" and web.request("GET", "/-/healthy")[0] == 200,
            "listens on [::1] and says so")
    web.stop()


def tls(workdir, port):
    openssl = shutil.which("openssl")
    if not openssl:
        print("note: openssl is missing: TLS not tried")
        return
    cert, key = os.path.join(workdir, "cert.pem"), os.path.join(workdir, "key.pem")
    subprocess.run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True, timeout=60)
    proc = subprocess.Popen([web_path, "-p", str(port), "--listen", "127.0.0.1:0",
                             "--tls-cert", cert, "--tls-key", key],
                            stderr=subprocess.PIPE, text=True)
    w.procs.append(proc)
    line = proc.stderr.readline()
    t.check(line.startswith("listening on https://127.0.0.1:"), "TLS: " + line.strip())
    import http.client
    import ssl
    c = http.client.HTTPSConnection("127.0.0.1", int(line.rsplit(":", 1)[1].strip("/\n")),
                                    context=ssl._create_unverified_context(), timeout=10)
    c.request("GET", "/-/healthy")
    t.check(c.getresponse().status == 200, "TLS: served over HTTPS")
    c.close()
    w.stop(proc)


def main():
    workdir = w.temp_dir()
    try:
        command_line(workdir)
        server = w.Tarrowd(tarrowd_path, workdir)
        web = w.Web(web_path, ["-p", str(server.port), "--listen", "127.0.0.1:0"], workdir)
        read_only(server, web)
        acting(server, workdir)
        ipv6(workdir, server.port)
        tls(workdir, server.port)
        slow_clients(server, workdir)
        host_and_users(server, workdir)
        proxy_header(server, workdir)
        waiting_and_counts(workdir)
        two_boards(workdir)
        board_gone(server, web)
        t.check(web.stop() == 0, "tarrow-web ends with status 0 on SIGTERM")
    finally:
        w.stop_all()
        w.remove_dir(workdir)
    return t.status()


sys.exit(main())
