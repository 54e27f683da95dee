#!/usr/bin/env python3
"""The example web application as a user meets it: `quill serve` in a copy of the built server
root (with the JDBC example's table filled by JDBC_SCRIPT), its page opened in headless
Chromium, the form filled in and submitted, and the page that comes back checked. A screenshot
of that page is kept at SCREENSHOT.

Chromium is driven over its DevTools protocol on a pipe (--remote-debugging-pipe: JSON messages
ending in a NUL byte on file descriptors 3 and 4), so nothing beyond Python is needed.

Usage: browser_check.py QUILL ROOT SCREENSHOT JDBC_SCRIPT
"""
import base64
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

LIMIT = 60  # seconds for any one wait


class DevTools:
    def __init__(self, to_browser, from_browser):
        self.to_browser, self.from_browser = to_browser, from_browser
        self.buffer, self.events, self.last_id = b"", [], 0

    def _next(self):
        deadline = time.monotonic() + LIMIT
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.from_browser], [], [], left)[0]:
                raise TimeoutError("Chromium said nothing for %d s" % LIMIT)
            chunk = os.read(self.from_browser, 1 << 16)
            if not chunk:
                raise EOFError("Chromium closed its end of the pipe")
            self.buffer += chunk
        message, _, self.buffer = self.buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method, params=None, session=None):
        self.last_id += 1
        message = {"id": self.last_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        while True:
            reply = self._next()
            if reply.get("id") == self.last_id:
                if "error" in reply:
                    raise RuntimeError("%s failed: %s" % (method, reply["error"]))
                return reply["result"]
            self.events.append(reply)

    def wait_for(self, event):
        while True:
            for message in self.events:
                if message.get("method") == event:
                    self.events.remove(message)
                    return message
            self.events.append(self._next())


def start_browser(profile, temp):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        sys.exit("chromium is not installed (scripts/setup.sh installs it)")
    to_r, to_w = os.pipe()
    from_r, from_w = os.pipe()

    def pipes_on_3_and_4():
        # Out of the way first, so neither lands on the other's number.
        a, b = os.dup(to_r), os.dup(from_w)
        os.dup2(a, 3)
        os.dup2(b, 4)

    # A process group of its own, so that the end kills Chromium's children (renderer, GPU and
    # utility processes, which write the profile too) along with it; its temporary files (the
    # profile's singleton socket) in `temp`, which goes with the run's folder.
    os.makedirs(temp, exist_ok=True)
    process = subprocess.Popen(
        [browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--remote-debugging-pipe", "--user-data-dir=" + profile, "--window-size=1000,1000"],
        preexec_fn=pipes_on_3_and_4, close_fds=False, start_new_session=True,
        env=dict(os.environ, TMPDIR=temp),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(to_r)
    os.close(from_w)
    return process, DevTools(to_w, from_r)


class CleanupOnExit:
    """Shell commands run once this process has ended, however it ends (SIGKILL included): a
    shell outside this process tree (setsid -f forks, so init adopts it) collects them from a
    pipe only this process writes to (os.pipe's ends are not inherited), runs them when the pipe
    closes, and then removes `folder`."""

    def __init__(self, folder):
        reader, self.writer = os.pipe()
        subprocess.Popen(["setsid", "-f", "sh", "-c", 'commands=$(cat); eval "$commands"; rm -rf "$0"', folder],
                         stdin=reader, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(reader)

    def run(self, command):
        os.write(self.writer, command.encode() + b"\n")

    def kill_group(self, process, mark):
        """Kills the process group `process` leads (started with start_new_session) at the end,
        but only while a process of it still names `mark`: a group number may be reused later."""
        self.run("pgrep -g %d -f '%s' >/dev/null && kill -9 -%d" % (process.pid, mark, process.pid))


def kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


def main():
    quill, root, screenshot, jdbc_script = sys.argv[1:5]
    work = tempfile.mkdtemp(prefix="qjapi-web-")
    # A timeout's SIGTERM ends the run through the finally below; a SIGKILL leaves it to the shell.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    cleanup = CleanupOnExit(work)
    server = browser = None
    try:
        for folder in ("QuillModules", "JavaLibraries", "JDBCDrivers", "web"):
            if os.path.isdir(os.path.join(root, folder)):
                shutil.copytree(os.path.join(root, folder), os.path.join(work, folder))
        subprocess.run([quill, "--quiet", "--root", work, "run", jdbc_script], check=True,
                       stdout=subprocess.DEVNULL, timeout=LIMIT)
        log = open(os.path.join(work, "server.log"), "w")
        server = subprocess.Popen([quill, "--root", work, "serve", "--port", "0"], start_new_session=True,
                                  stdout=subprocess.PIPE, stderr=log, text=True)
        cleanup.kill_group(server, work)
        first = server.stdout.readline()
        found = re.search(r"Serving (http://\S+/)", first)
        if not found:
            sys.exit("the server printed no address: %r" % first)
        address = found.group(1)

        browser, tools = start_browser(os.path.join(work, "profile"), os.path.join(work, "tmp"))
        cleanup.kill_group(browser, work)
        target = tools.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        page = tools.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        tools.call("Page.enable", session=page)

        def evaluate(expression):
            result = tools.call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, page)
            if "exceptionDetails" in result:
                raise RuntimeError("the page refused %r: %s" % (expression, result["exceptionDetails"]))
            return result["result"].get("value")

        tools.call("Page.navigate", {"url": address}, page)
        tools.wait_for("Page.loadEventFired")
        evaluate("""
            document.getElementById('name').value = 'Ann <Lee>';
            document.getElementById('greeting').value = 'Hi there';
            document.getElementById('a').value = '20';
            document.getElementById('b').value = '22';
            document.getElementById('send').click();""")
        tools.wait_for("Page.loadEventFired")
        results = evaluate("document.getElementById('results') && document.getElementById('results').innerText")
        visits = evaluate("document.getElementById('visits').innerText")
        fruit = evaluate("document.getElementById('fruit').innerText")
        shot = tools.call("Page.captureScreenshot", {"format": "png"}, page)["data"]
        os.makedirs(os.path.dirname(os.path.abspath(screenshot)), exist_ok=True)
        with open(screenshot, "wb") as out:
            out.write(base64.b64decode(shot))

        expected = ["hello_greet: Hi there, Ann <Lee>!", "hello_add: 20 + 22 = 42",
                    'web_param read the field "name" as: Ann <Lee>']
        missing = [line for line in expected if line not in (results or "")]
        if missing:
            sys.exit("the submitted page lacks %s; it shows:\n%s" % (missing, results))
        if not re.search(r"Cherry\s+red\s+3\.95\s+12", fruit or ""):
            sys.exit("the JDBC example's rows are not on the page: %r" % fruit)
        if not visits.rstrip().endswith(": 2"):
            sys.exit("the visit cookie did not come back from the browser: %r" % visits)

        server.send_signal(signal.SIGTERM)
        status = server.wait(LIMIT)
        if status != 128 + signal.SIGTERM:
            sys.exit("the server ended with %s after SIGTERM" % status)
        print("web example: form submitted in Chromium, results shown; screenshot at " + screenshot)
    finally:
        if browser is not None:
            kill_group(browser)
        if server is not None and server.poll() is None:
            server.kill()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
