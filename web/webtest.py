# Helpers for the tests of tarrow-web: tarrowd and tarrow-web started on 127.0.0.1 in a
# temporary directory, flicket, and plain HTTP requests. Every process started here is
# stopped by stop_all(), which the tests call in a finally block.
import glob
import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from urllib.parse import urlencode  # noqa: F401 (for the tests)

SKIP = 77
procs = []


def skip(why):
    print("SKIP: " + why)
    sys.exit(SKIP)


# Every deadline is this many times the time a wait names, so that it holds on a machine
# loaded to twice its cores; a pass waits no longer for it.
SLOW = 5


def wait_for(what, timeout=5.0, step=0.05):
    """Calls what() until it returns something true, at most SLOW * timeout seconds; returns
    it."""
    end = time.monotonic() + SLOW * timeout
    while True:
        got = what()
        if got or time.monotonic() > end:
            return got
        time.sleep(step)


class Tarrowd:
    def __init__(self, path, workdir, options=()):
        self.dir = workdir
        self.proc = subprocess.Popen([path, "--foreground", *options, "0", "127.0.0.1"], cwd=workdir,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(self.proc)

        def port():
            for log in glob.glob(os.path.join(workdir, "log_*.log")):
                with open(log, errors="replace") as f:
                    m = re.search(r"listening on port address '127\.0\.0\.1:(\d+)'", f.read())
                    if m:
                        return int(m.group(1))
            return None
        self.port = wait_for(port)
        if not self.port:
            raise RuntimeError("tarrowd did not start")

    def stop(self):
        stop(self.proc)


class Web:
    """tarrow-web on 127.0.0.1, port chosen by the system, read from its first line."""

    def __init__(self, path, args, workdir):
        self.err_path = os.path.join(workdir, "web-%d.err" % len(procs))
        self.err = open(self.err_path, "w+")
        self.proc = subprocess.Popen([path] + args, cwd=workdir, stdout=subprocess.DEVNULL,
                                     stderr=self.err)
        procs.append(self.proc)

        def port():
            m = re.search(r"listening on http://(\S+):(\d+)/", self.log())
            return (m.group(1), int(m.group(2))) if m else None
        got = wait_for(port)
        if not got:
            raise RuntimeError("tarrow-web did not start: " + self.log())
        self.host, self.port = got
        self.origin = "http://%s:%d" % (self.host, self.port)

    def log(self):
        with open(self.err_path, errors="replace") as f:
            return f.read()

    def request(self, method, path, body=None, headers=None):
        """Returns (status, headers as a dict with lower-case names, body text)."""
        c = http.client.HTTPConnection(self.host.strip("[]"), self.port, timeout=10)
        try:
            c.request(method, path, body=body, headers=headers or {})
            r = c.getresponse()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read().decode()
        finally:
            c.close()

    def json(self, path):
        status, _, body = self.request("GET", path)
        return status, json.loads(body) if body else None

    def json_with(self, path, headers):
        """The JSON body of a GET with headers; {} when it is not 200."""
        status, _, body = self.request("GET", path, headers=headers)
        return json.loads(body) if status == 200 else {}

    def stop(self):
        return stop(self.proc)

    def sign_in(self, name, token):
        """Signs in; returns the headers that carry the session to a change, or None."""
        json_type = {"Content-Type": "application/json", "Origin": self.origin}
        status, headers, body = self.request(
            "POST", "/api/v1/login", json.dumps({"name": name, "token": token}), json_type)
        if status != 200:
            return None
        return dict(json_type, Cookie=headers.get("set-cookie", "").split(";")[0],
                    **{"X-CSRF-Token": json.loads(body)["csrf"]})


def stop(proc):
    """Stops the process with SIGTERM (SIGKILL after 5 s) and returns its exit status."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)
    return proc.returncode


def stop_all():
    for p in procs:
        stop(p)


def flicket(path, port, severity, key, text, host=None):
    args = [path] + (["-H", host] if host else []) + [str(port), "127.0.0.1", severity, key, text]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, timeout=10)


def temp_dir():
    d = tempfile.mkdtemp(prefix="tarrow-web-test-")
    return d


def remove_dir(d):
    shutil.rmtree(d, ignore_errors=True)


def users_file(workdir, name, token, mode=0o600):
    import hashlib
    path = os.path.join(workdir, "users-%o" % mode)
    with open(path, "w") as f:
        f.write("# operators of the test\n%s:%s\n" % (name, hashlib.sha256(token.encode()).hexdigest()))
    os.chmod(path, mode)
    return path


class Checks:
    """Collects failures so that one run reports all of them; exit status 1 when any."""

    def __init__(self):
        self.failed = 0

    def check(self, ok, what):
        print(("ok    " if ok else "FAIL  ") + what)
        if not ok:
            self.failed += 1
        return ok

    def status(self):
        print("%d failed" % self.failed if self.failed else "all passed")
        return 1 if self.failed else 0
