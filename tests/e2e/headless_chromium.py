"""Headless Chromium driven over the DevTools protocol on a pipe.

Chromium started with --remote-debugging-pipe reads commands from its file
descriptor 3 and writes answers and events to descriptor 4, each message a
JSON text ended by a NUL byte. That needs nothing beyond Python's standard
library and Debian's chromium package: no port, no websocket client.
"""

import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time


class ChromiumUnavailable(Exception):
    """Chromium is not installed here, or does not start."""


class BrowserError(Exception):
    """Chromium answered a command with an error, or not in time."""


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    raise ChromiumUnavailable("no chromium on PATH (Debian's package: chromium)")


class Page:
    """One tab: navigate, evaluate script, take screenshots, collect console errors."""

    def __init__(self, browser, session):
        self.browser = browser
        self.session = session
        self.errors = []  # console errors, uncaught exceptions, failed loads
        self.requests = []  # every URL the page asked for

    def send(self, method, params=None, timeout=30):
        return self.browser.send(method, params, self.session, timeout)

    def on_event(self, message):
        method, params = message.get("method"), message.get("params", {})
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            texts = [a.get("value", a.get("description", "")) for a in params.get("args", [])]
            self.errors.append("console: " + " ".join(str(t) for t in texts))
        elif method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            text = details.get("exception", {}).get("description") or details.get("text")
            self.errors.append("exception: " + str(text))
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            entry = params["entry"]
            self.errors.append("log: %s %s" % (entry.get("text"), entry.get("url", "")))
        elif method == "Network.requestWillBeSent":
            self.requests.append(params.get("request", {}).get("url", ""))

    def open(self, url, timeout=30):
        """Loads url and waits for its load event."""
        self.send("Page.navigate", {"url": url})
        self.browser.wait_event("Page.loadEventFired", self.session, timeout)

    def evaluate(self, expression, timeout=30):
        """The value of a script expression (awaited when it is a promise)."""
        answer = self.send(
            "Runtime.evaluate",
            {"expression": expression, "returnByValue": True, "awaitPromise": True},
            timeout,
        )
        if "exceptionDetails" in answer:
            raise BrowserError("script failed: %s" % answer["exceptionDetails"])
        return answer.get("result", {}).get("value")

    def wait_for(self, expression, timeout=30):
        """Polls a script expression until it is true."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.evaluate(expression, timeout):
                return
            time.sleep(0.1)
        raise BrowserError("%s still false after %g s" % (expression, timeout))

    def screenshot(self, path, full_page=True, scale=1.0):
        params = {"format": "png", "captureBeyondViewport": full_page}
        if full_page or scale != 1.0:
            size = self.evaluate(
                "[document.documentElement.scrollWidth, document.documentElement.scrollHeight]"
            )
            params["clip"] = {"x": 0, "y": 0, "width": size[0], "height": size[1], "scale": scale}
        data = self.send("Page.captureScreenshot", params, timeout=60)["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))


class Browser:
    """A headless Chromium of its own, with a throw-away profile."""

    def __init__(self, width=1280, height=900, start_timeout=30):
        binary = find_chromium()
        self.profile = tempfile.TemporaryDirectory(prefix="qx-chromium-")
        self.width, self.height = width, height
        self.next_id = 0
        self.buffer = b""
        self.pending = []  # events read while waiting for an answer
        self.pages = {}
        to_child, self.to_browser = os.pipe()
        self.from_browser, from_child = os.pipe()
        args = [
            binary,
            "--headless",
            "--remote-debugging-pipe",
            "--no-first-run",
            "--no-default-browser-check",
            "--disable-gpu",
            "--disable-extensions",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--hide-scrollbars",
            "--mute-audio",
            # The report must need no network: every host name fails to resolve.
            "--host-resolver-rules=MAP * ~NOTFOUND",
            "--user-data-dir=" + self.profile.name,
            "--window-size=%d,%d" % (width, height),
            "about:blank",
        ]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium refuses to run its sandbox as root

        def pipes_as_3_and_4():
            os.dup2(to_child, 3)
            os.dup2(from_child, 4)

        self.log = tempfile.TemporaryFile()
        try:
            self.process = subprocess.Popen(
                args,
                stdin=subprocess.DEVNULL,
                stdout=self.log,
                stderr=self.log,
                preexec_fn=pipes_as_3_and_4,
                pass_fds=(3, 4),
            )
        except OSError as e:
            raise ChromiumUnavailable("%s does not start: %s" % (binary, e))
        finally:
            os.close(to_child)
            os.close(from_child)
        try:
            self.version = self.send("Browser.getVersion", timeout=start_timeout)["product"]
        except BrowserError as e:
            self.close()
            raise ChromiumUnavailable("%s does not answer: %s; its output:\n%s" % (binary, e, self.output()))

    def output(self):
        self.log.seek(0)
        return self.log.read().decode("utf-8", "replace")[-4000:]

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("no answer in time")
            ready, _, _ = select.select([self.from_browser], [], [], left)
            if not ready:
                continue
            chunk = os.read(self.from_browser, 1 << 20)
            if not chunk:
                raise BrowserError("chromium closed its pipe (exit %s)" % self.process.poll())
            self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(text)

    def _dispatch(self, message):
        page = self.pages.get(message.get("sessionId"))
        if page is not None:
            page.on_event(message)
        if message.get("method", "").startswith("Page."):
            self.pending.append(message)

    def send(self, method, params=None, session=None, timeout=30):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            answer = self._read_message(deadline)
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise BrowserError("%s: %s" % (method, answer["error"]))
                return answer.get("result", {})
            self._dispatch(answer)

    def wait_event(self, method, session, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            for i, event in enumerate(self.pending):
                if event.get("method") == method and event.get("sessionId") == session:
                    del self.pending[i]
                    return event.get("params", {})
            self._dispatch(self._read_message(deadline))

    def new_page(self):
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})[
            "sessionId"
        ]
        page = Page(self, session)
        self.pages[session] = page
        for domain in ("Page", "Runtime", "Log", "Network"):
            page.send(domain + ".enable")
        page.send(
            "Emulation.setDeviceMetricsOverride",
            {"width": self.width, "height": self.height, "deviceScaleFactor": 1, "mobile": False},
        )
        return page

    def close(self):
        if self.process.poll() is None:
            try:
                self.send("Browser.close", timeout=5)
            except (BrowserError, OSError):
                pass
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for fd in (self.to_browser, self.from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        self.profile.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
