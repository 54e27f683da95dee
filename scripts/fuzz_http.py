#!/usr/bin/env python3
"""Drives `quill serve` with random and mangled HTTP requests for a while.

    scripts/fuzz_http.py [MINUTES] [SEED]      (defaults 5 and 1; BUILD_DIR, default build)

A copy of the build's server root serves the example web pages (Java tags that read parameters,
headers and cookies) and two pages that hand request parameters to database actions on SQLite:
a search whose table, columns, operators, values, logic, sort, skip and max come from the query,
and an add, update and delete on a scratch table. Each request is one of:
- a raw request: random method, path, query, cookies, headers and a URL-encoded, multipart,
  chunked or junk body, the bytes then mangled a third of the time, some cut short, some
  pipelined behind others on one connection;
- a search through the database page; where its criteria are ones SQLite reads the same way
  with bound values (a value for every criterion, numbers for number columns), the found count is
  checked against SQLite's own answer from the same file;
- an add, update or delete with random names and values.
Every 500 requests a plain request must still be answered. At the end the server is stopped with
SIGTERM and the searched table must be unchanged.

Prints the totals; exits non-zero when the server died or stopped otherwise than asked, a check
failed, a count differed or the log shows a crash (its log is then kept beside the folder). The
server and the folder are removed however the run ends. Run by hand; never part of the test suite.
"""
import http.client
import os
import random
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.parse

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(os.environ.get("BUILD_DIR", os.path.join(REPO, "build")))
QUILL = os.path.join(BUILD, "bin", "quill")

SEARCH_PAGE = """db_search(-source='SQLite', -database='fz', -table=request_param('t'),
  [request_param('c'), request_param('op'), request_param('v')], ['b', request_param('opb'), request_param('w')],
  -logic=request_param('logic'), -sort=request_param('s'), -max=request_param('max'), -skip=request_param('skip')) => {
  action_code() ' ' found_count() ' ' rows => { field(0) '|' }
}
"""
CHANGE_PAGE = """db_add(-source='SQLite', -database='fz', -table='u', [request_param('c'), request_param('v')], ['b', request_param('w')]) => { action_code() }
db_update(-source='SQLite', -database='fz', -table='u', -key='id', -key_value=request_param('k'), [request_param('c'), request_param('v')]) => { ' ' action_code() }
db_delete(-source='SQLite', -database='fz', -table='u', -key=request_param('kc'), -key_value=request_param('k')) => { ' ' action_code() }
"""
FILL = """db_statement(-source='SQLite', -database='fz', -sql='DROP TABLE IF EXISTS t')
db_statement(-source='SQLite', -database='fz', -sql='DROP TABLE IF EXISTS u')
db_statement(-source='SQLite', -database='fz', -sql='CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b INTEGER, c REAL)')
db_statement(-source='SQLite', -database='fz', -sql="INSERT INTO t (a, b, c) WITH RECURSIVE s(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM s WHERE x < 200) SELECT 'it''s ' || x, x, x / 7.0 FROM s")
db_statement(-source='SQLite', -database='fz', -sql='CREATE TABLE u (id INTEGER PRIMARY KEY, a TEXT, b INTEGER)')
"""
# What SQLite makes of each search operator with a bound value (LIKE patterns keep % and _).
ORACLE_OPS = {"=": "= ?", "!=": "<> ?", "<": "< ?", "<=": "<= ?", ">": "> ?", ">=": ">= ?",
              "begins": "LIKE ? || '%'", "ends": "LIKE '%' || ?", "contains": "LIKE '%' || ? || '%'",
              "!begins": "NOT LIKE ? || '%'", "!ends": "NOT LIKE '%' || ?", "!contains": "NOT LIKE '%' || ? || '%'"}
LIKE_OPS = {op for op in ORACLE_OPS if "LIKE" in ORACLE_OPS[op]}
COLUMNS = ["a", "b", "c", "id"]
ODD_NAMES = ["A", "a b", "\"a\"", "a;", "x", "", "t.a", "order", "a'b", "-distinct", "opbegin"]
VALUES = ["it's 1", "it's", "it''s 5", "1", "5", "17", "150", "0", "-1", "2.5", "x", "", "'", "''", "\\", "\\'", "%",
          "_", "s 1_", "%'; DROP TABLE t; --", "\"", "\u00e9", "\u65e5\u672c", "\x01", "NULL", "1e2", " 5", "0x10",
          "9" * 30, "it\\'s", "it's 1%", "'--", "a\x00b", "<script>", "x" * 3000]
PATHS = ["/", "/index.qs", "/hello.qs", "/style.css", "/s.qs", "/a.qs", "/nope.qs", "/../etc/passwd", "/%2e%2e/x",
         "/hello.qs/extra", "//index.qs", "/index.qs%00", "/%ff%fe.qs"]
PARAMS = ["name", "greeting", "a", "b", "visits", "t", "c", "op", "v", "", "x" * 300, "n%00m", "%", "\u00e9", "a[]", "&"]
# Log lines that say something went wrong beyond a request's own failure: a crash, a sanitizer's
# report, a job that threw, runs abandoned or requests still open when the server stopped.
CRASH_MARKS = re.compile(r"A worker job failed|terminate called|Segmentation|SIGSEGV|SIGABRT|hs_err|"
                         r"fatal error|Exception in thread|Stopped by a crash|were abandoned|still in flight|"
                         r"runtime error:|AddressSanitizer|LeakSanitizer|ThreadSanitizer", re.I)


class Fuzz:
    def __init__(self, seed, work):
        self.rnd = random.Random(seed)
        self.work = work
        self.port = 0
        self.conn = None
        self.counts = {}
        self.failures = []

    def count(self, key):
        self.counts[key] = self.counts.get(key, 0) + 1

    def pick(self, items):
        return self.rnd.choice(items)

    def value(self):
        if self.rnd.random() < .85:
            return self.pick(VALUES)
        return "".join(self.pick("it's 0123456789%_\\'\"\u00e9") for _ in range(self.rnd.randint(0, 8)))

    # ---- raw requests ----

    def query(self):
        parts = []
        for _ in range(self.rnd.randint(0, 6)):
            name, value = self.pick(PARAMS), self.value()
            parts.append(urllib.parse.quote(name, safe="%&=") + ("=" + urllib.parse.quote(value, safe="%&")
                                                                  if self.rnd.random() < .8 else ""))
        return "&".join(parts)

    def mangle(self, raw):
        raw = bytearray(raw)
        for _ in range(self.rnd.randint(1, 4)):
            if not raw:
                break
            i = self.rnd.randrange(len(raw))
            kind = self.rnd.random()
            if kind < .3:
                raw[i] = self.rnd.getrandbits(8)
            elif kind < .5:
                del raw[i:i + self.rnd.randint(1, 20)]
            elif kind < .7:
                raw[i:i] = self.pick([b"\r\n", b"\n", b"\x00", b"%", b":", b";", b"=", b"--", b" ",
                                      bytes(self.rnd.getrandbits(8) for _ in range(self.rnd.randint(1, 30)))])
            else:
                raw[i:i] = raw[i:i + self.rnd.randint(1, 200)] * self.rnd.randint(1, 5)
        return bytes(raw)

    def body(self, headers):
        kind = self.rnd.random()
        if kind < .4:
            headers.append("Content-Type: application/x-www-form-urlencoded")
            return self.query().encode()
        if kind < .8:
            boundary = self.pick(["b0und", "x", "", "-" * 70, "a b"])
            parts = []
            for _ in range(self.rnd.randint(0, 4)):
                disposition = self.pick(['form-data; name="%s"' % self.pick(PARAMS),
                                         'form-data; name="f"; filename="%s"' % self.pick(["a.txt", "", "../../x"]),
                                         "form-data", "junk"])
                parts.append("--%s\r\nContent-Disposition: %s\r\n%s\r\n%s\r\n" % (
                    boundary, disposition, self.pick(["", "Content-Type: text/plain\r\n"]), self.value()))
            text = "".join(parts) + ("--%s--\r\n" % boundary if self.rnd.random() < .8 else "")
            headers.append("Content-Type: multipart/form-data" + self.pick(
                ["; boundary=" + boundary, "", "; boundary=", '; boundary="%s"' % boundary]))
            return text.encode("utf-8", "surrogatepass")
        headers.append("Content-Type: " + self.pick(["text/plain", "application/json", "multipart/mixed", ""]))
        return bytes(self.rnd.getrandbits(8) for _ in range(self.rnd.randint(0, 3000)))

    def raw_request(self):
        method = self.pick(["GET", "GET", "POST", "POST", "HEAD", "PUT", "get", "OPTIONS"])
        target = self.pick(PATHS) + ("?" + self.query() if self.rnd.random() < .7 else "")
        version = self.pick(["HTTP/1.1", "HTTP/1.1", "HTTP/1.0", "HTTP/2.0", "HTTP/1.1 "])
        headers = ["Host: x"] if self.rnd.random() < .9 else []
        if self.rnd.random() < .6:
            headers.append("Cookie: " + "; ".join(self.pick(["visits=" + self.value(), "a=b", "=", "x", "visits", 's="q"'])
                                                  for _ in range(self.rnd.randint(1, 4))))
        if self.rnd.random() < .4:
            headers.append("User-Agent: " + self.value())
        if self.rnd.random() < .2:
            headers.append("X-Forwarded-For: " + self.pick(["1.2.3.4", "::1", "junk", ""]))
        if self.rnd.random() < .2:
            headers.append("Authorization: Basic " + self.pick(["YTpi", "!!!", "", "YWRtaW46"]))
        body = b""
        if method == "POST":
            body = self.body(headers)
            if self.rnd.random() < .15:
                headers.append("Transfer-Encoding: chunked")
                chunks = b""
                for start in range(0, len(body), 100):
                    piece = body[start:start + self.rnd.randint(1, 100)]
                    chunks += b"%x\r\n" % len(piece) + piece + b"\r\n"
                body = chunks + b"0\r\n\r\n"
            else:
                length = len(body) if self.rnd.random() < .9 else self.pick([0, len(body) + 10, 99999999, -1])
                headers.append("Content-Length: %d" % length)
        head = "%s %s %s\r\n%s\r\n" % (method, target, version, "".join(h + "\r\n" for h in headers))
        raw = head.encode("utf-8", "surrogatepass") + body
        return self.mangle(raw) if self.rnd.random() < .35 else raw

    def send_raw(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
                for _ in range(self.rnd.randint(1, 3)):
                    raw = self.raw_request()
                    if self.rnd.random() < .1:
                        raw = raw[:self.rnd.randrange(len(raw) + 1)]
                    s.sendall(raw)
                s.settimeout(.5 if self.rnd.random() < .9 else .01)
                try:
                    answer = s.recv(200)
                    self.count("raw " + (answer[9:12].decode("latin-1") if answer.startswith(b"HTTP/") else
                                         "closed" if not answer else "other"))
                except socket.timeout:
                    self.count("raw no answer yet")
                if self.rnd.random() < .5:  # a reset instead of a close
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        except OSError as e:
            self.count("raw " + type(e).__name__)

    # ---- database pages ----

    def get(self, path, query):
        url = path + "?" + urllib.parse.urlencode(query)
        for _ in range(2):
            try:
                if self.conn is None:
                    self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
                self.conn.request("GET", url)
                answer = self.conn.getresponse()
                return answer.status, answer.read().decode("utf-8", "replace")
            except (http.client.HTTPException, OSError):
                self.conn.close()
                self.conn = None
        raise RuntimeError("no answer to " + url)

    def search(self, oracle):
        column = self.pick(COLUMNS) if self.rnd.random() < .9 else self.pick(ODD_NAMES)
        op = self.pick(list(ORACLE_OPS)) if self.rnd.random() < .92 else self.pick(["bw", "eq", "in", "ft", "junk", ""])
        v, w = self.value(), self.value()
        q = {"t": "t" if self.rnd.random() < .97 else self.pick(["u", "nope", "t;", ""]), "c": column, "op": op,
             "v": v, "opb": self.pick([">", "<=", "!=", "="]), "w": w,
             "logic": self.pick(["and", "and", "or"]) if self.rnd.random() < .95 else self.pick(["xor", ""]),
             "s": self.pick(["b", "a", "id"]), "max": self.pick(["-1", "5", "0", "1000"]),
             "skip": self.pick(["0", "0", "3"])}
        status, text = self.get("/s.qs", q)
        self.count("search %d" % status)
        if status != 200 or not text.startswith("0 "):
            return
        # Only criteria SQLite reads the same way with bound values: every value given (an empty
        # one drops its criterion), numbers compared with numbers, patterns on text.
        def number(x):
            try:
                float(x)
                return x.strip() == x and x != ""
            except ValueError:
                return False
        if (q["t"] != "t" or column not in COLUMNS or op not in ORACLE_OPS or v == "" or not number(w)
                or (column != "a" and (not number(v) or op in LIKE_OPS))):
            return
        sql = "SELECT COUNT(*) FROM t WHERE (%s %s %s b %s)" % (column, ORACLE_OPS[op], q["logic"].upper(),
                                                               ORACLE_OPS[q["opb"]])
        expected = oracle.execute(sql, (v, w)).fetchone()[0]
        try:
            got = int(text.split(" ")[1])
        except (IndexError, ValueError):
            self.failures.append("search %r answered %r" % (q, text[:200]))
            return
        self.count("search checked")
        if got != expected:
            self.failures.append("search %r found %d, SQLite %d" % (q, got, expected))

    def change(self):
        q = {"c": self.pick(["a", "b", "id"] + ODD_NAMES), "v": self.value(), "w": self.value(),
             "k": self.pick(VALUES + ["1", "2", "3"]), "kc": self.pick(["id", "a", "", "x", "id;"])}
        status, _ = self.get("/a.qs", q)
        self.count("change %d" % status)

    def alive(self):
        status, text = self.get("/hello.qs", {"name": "Ok"})
        if status != 200 or "Ok" not in text:
            self.failures.append("the plain page answered %d: %r" % (status, text[:200]))
            return False
        return True


def main():
    minutes = float(sys.argv[1]) if len(sys.argv) > 1 else 5
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    if not os.access(QUILL, os.X_OK):
        sys.exit("no %s: build first (./scripts/build.sh)" % QUILL)
    for stop in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, lambda number, _: sys.exit(128 + number))
    work = tempfile.mkdtemp(prefix="qjapi-fuzz-http-")
    server = None
    try:
        root, web = os.path.join(work, "root"), os.path.join(work, "web")
        shutil.copytree(os.path.join(BUILD, "root"), root, symlinks=True,
                        ignore=shutil.ignore_patterns("quill_internal.db*", "web"))
        shutil.copytree(os.path.join(REPO, "examples", "web"), web)
        for name, text in (("s.qs", SEARCH_PAGE), ("a.qs", CHANGE_PAGE), ("fill.qs", FILL)):
            with open(os.path.join(web if name != "fill.qs" else work, name), "w") as f:
                f.write(text)
        base = [QUILL, "--quiet", "--root", root]
        subprocess.run(base + ["run", os.path.join(work, "fill.qs")], check=True)
        database = os.path.join(root, "jdbc-data", "fz.db")
        oracle = sqlite3.connect("file:%s?mode=ro" % database, uri=True)
        before = oracle.execute("SELECT COUNT(*), SUM(b), GROUP_CONCAT(a) FROM t").fetchone()

        log = open(os.path.join(work, "serve.log"), "w+")
        server = subprocess.Popen([QUILL, "--root", root, "--threads", "3", "serve", "--port", "0", "--web", web],
                                  stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        fuzz = Fuzz(seed, work)
        for _ in range(600):
            log.seek(0)
            found = re.search(r"^Serving http://[^ ]*:(\d+)/", log.read(), re.M)
            if found:
                fuzz.port = int(found.group(1))
                break
            if server.poll() is not None:
                break
            time.sleep(.1)
        if not fuzz.port:
            log.seek(0)
            sys.exit("the server did not start:\n" + log.read())

        started, requests = time.time(), 0
        while time.time() - started < minutes * 60 and server.poll() is None:
            kind = fuzz.rnd.random()
            try:
                if kind < .5:
                    fuzz.send_raw()
                elif kind < .85:
                    fuzz.search(oracle)
                else:
                    fuzz.change()
                requests += 1
                if requests % 500 == 0 and not fuzz.alive():
                    break
            except RuntimeError as e:
                fuzz.failures.append(str(e))
                break
        try:
            ended_alive = server.poll() is None and fuzz.alive()
        except RuntimeError as e:
            fuzz.failures.append(str(e))
            ended_alive = False
        if fuzz.conn is not None:
            fuzz.conn.close()
        server.send_signal(signal.SIGTERM)
        try:
            status = server.wait(60)
            server = None
        except subprocess.TimeoutExpired:
            status = None  # killed below
        searches = sum(n for key, n in fuzz.counts.items() if key.startswith("search ") and key != "search checked")
        if searches >= 200 and not fuzz.counts.get("search checked"):
            fuzz.failures.append("no search was checked against SQLite out of %d" % searches)
        after = oracle.execute("SELECT COUNT(*), SUM(b), GROUP_CONCAT(a) FROM t").fetchone()
        log.seek(0)
        crashes = [line.rstrip() for line in log if CRASH_MARKS.search(line)]

        print("seed %d, %.1f min, %d requests" % (seed, (time.time() - started) / 60, requests))
        for key in sorted(fuzz.counts):
            print("  %-24s %d" % (key, fuzz.counts[key]))
        print("alive at the end: %s; exit status after SIGTERM: %s (143 expected); searched table %s"
              % (ended_alive, status, "unchanged" if after == before else "CHANGED"))
        for line in (fuzz.failures[:20] + crashes[:20]):
            print("FAILED: " + line)
        ok = ended_alive and status == 143 and after == before and not fuzz.failures and not crashes
        if not ok:
            kept = os.path.join(tempfile.gettempdir(), "qjapi-fuzz-http-%d.log" % os.getpid())
            shutil.copyfile(log.name, kept)
            print("the server's log: " + kept)
            sys.exit(1)
    finally:
        try:
            if server is not None and server.poll() is None:
                os.killpg(server.pid, signal.SIGKILL)
                server.wait()
        except ProcessLookupError:
            pass
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
