#!/usr/bin/env python3
"""Drives the operator's console in headless Chromium over the DevTools
protocol on a pipe (--remote-debugging-pipe: NUL-separated JSON on fds 3 and 4,
no port, no websocket).  Used by the console's browser test and its latency
benchmark; prints one "<key> <json>" line per finding.

  console_browser.py --chromium BIN --url URL --imei I --out DIR
                     [--soc TEXT] [--press CMD] [--expect-flag TEXT] [--timeout S]
"""
import argparse
import base64
import fcntl
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

# No first-run, sync, component or update traffic, and no name resolves: the
# browser reaches nothing but the loopback address it is given.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-extensions", "--no-default-browser-check",
         "--metrics-recording-only", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
         "--window-size=1280,900", "--remote-debugging-pipe"]


class Browser:
    def __init__(self, chromium, profile):
        r_in, w_in = os.pipe()    # we write, the browser reads on fd 3
        r_out, w_out = os.pipe()  # the browser writes on fd 4
        r_in, w_out = fcntl.fcntl(r_in, fcntl.F_DUPFD_CLOEXEC, 10), fcntl.fcntl(w_out, fcntl.F_DUPFD_CLOEXEC, 10)

        def child():
            os.dup2(r_in, 3)
            os.dup2(w_out, 4)
            os.setpgrp()

        self.proc = subprocess.Popen([chromium] + FLAGS + ["--user-data-dir=" + profile, "about:blank"],
                                     preexec_fn=child, close_fds=False, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=open(os.path.join(profile, "stderr.log"), "wb"))
        for fd in (r_in, w_out):
            os.close(fd)
        self.w = w_in
        self.r = r_out
        self.next_id = 0
        self.replies = {}
        self.events = []
        self.cv = threading.Condition()
        self.session = None
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buf = b""
        while True:
            chunk = os.read(self.r, 1 << 16)
            if not chunk:
                break
            buf += chunk
            while b"\0" in buf:
                msg, buf = buf.split(b"\0", 1)
                m = json.loads(msg)
                with self.cv:
                    if "id" in m:
                        self.replies[m["id"]] = m
                    else:
                        self.events.append(m)
                    self.cv.notify_all()
        with self.cv:
            self.replies[-1] = {"error": "browser closed the pipe"}
            self.cv.notify_all()

    def call(self, method, params=None, session=True, timeout=20):
        with self.cv:
            self.next_id += 1
            i = self.next_id
        m = {"id": i, "method": method, "params": params or {}}
        if session and self.session:
            m["sessionId"] = self.session
        os.write(self.w, json.dumps(m).encode() + b"\0")
        end = time.monotonic() + timeout
        with self.cv:
            while i not in self.replies and -1 not in self.replies:
                left = end - time.monotonic()
                if left <= 0:
                    raise RuntimeError(method + ": no answer from the browser")
                self.cv.wait(left)
            r = self.replies.pop(i, None) or self.replies[-1]
        if "error" in r:
            raise RuntimeError(method + ": " + json.dumps(r["error"]))
        return r["result"]

    def open(self, url):
        target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        self.call("Network.enable")
        self.call("Page.enable")
        self.call("Page.navigate", {"url": url})

    def js(self, expr):
        r = self.call("Runtime.evaluate", {"expression": expr, "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in r:
            raise RuntimeError("script failed: " + json.dumps(r["exceptionDetails"])[:400])
        return r["result"].get("value")

    def wait_js(self, expr, timeout):
        end = time.monotonic() + timeout
        while True:
            v = self.js(expr)
            if v or time.monotonic() > end:
                return v
            time.sleep(0.05)

    def click(self, selector):
        """A real press: the mouse goes down and up over the element's centre."""
        rect = self.js("(() => { const e = document.querySelector(%s); if (!e) return null; e.scrollIntoView({block:'center'});"
                       " const r = e.getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / 2]; })()"
                       % json.dumps(selector))
        if rect is None:
            raise RuntimeError("nothing to press at " + selector)
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", {"type": kind, "x": rect[0], "y": rect[1], "button": "left",
                                                   "clickCount": 1})

    def requested_urls(self):
        with self.cv:
            urls = [e["params"]["request"]["url"] for e in self.events if e.get("method") == "Network.requestWillBeSent"]
        # The page's own inline images (data:) leave nothing on the network.
        return [u for u in urls if not u.startswith("data:")]

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": False})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.call("Browser.close", session=False, timeout=5)
        except RuntimeError:
            pass
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, 9)
            self.proc.wait()


def card(imei):
    return '[data-imei=%s]' % json.dumps(imei)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--chromium", required=True)
    ap.add_argument("--url", required=True)
    ap.add_argument("--imei", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--soc")
    ap.add_argument("--press")
    ap.add_argument("--expect-flag")
    ap.add_argument("--timeout", type=float, default=40)
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)
    profile = tempfile.mkdtemp(prefix="chromium-", dir=a.out)
    b = Browser(a.chromium, profile)
    sel = card(a.imei)
    try:
        b.open(a.url)
        want = "true" if a.soc is None else "c.querySelector('[data-field=soc]').textContent === %s" % json.dumps(a.soc)
        found = b.wait_js("(() => { const c = document.querySelector(%s); return !!c && %s; })()" % (json.dumps(sel), want),
                          a.timeout)
        facts = b.js("(() => { const c = document.querySelector(%s); if (!c) return null; const o = {};"
                     " c.querySelectorAll('[data-field],[data-flag]').forEach(e => { o[e.dataset.field || e.dataset.flag] = e.textContent; });"
                     " return o; })()" % json.dumps(sel))
        print("card", json.dumps(facts), flush=True)
        if not found:
            print("error", json.dumps("the card of %s did not show %s in time" % (a.imei, a.soc)), flush=True)
        if found and a.press:
            b.click("%s button[data-cmd=%s]" % (sel, json.dumps(a.press)))
            state = b.wait_js("(() => { const r = document.querySelector(%s).querySelector('[data-field=result]');"
                              " return r.dataset.state === 'ok' || r.dataset.state === 'fail' ? [r.dataset.state, r.textContent] : null; })()"
                              % json.dumps(sel), a.timeout)
            print("result", json.dumps(state), flush=True)
        if found and a.expect_flag:
            shown = b.wait_js("(() => Array.from(document.querySelector(%s).querySelectorAll('[data-flag]'))"
                              ".some(e => e.textContent === %s))()" % (json.dumps(sel), json.dumps(a.expect_flag)), a.timeout)
            print("flag", json.dumps(bool(shown)), flush=True)
        shot = os.path.join(a.out, "console.png")
        b.screenshot(shot)
        print("screenshot", json.dumps(shot), flush=True)
        print("requests", json.dumps(b.requested_urls()), flush=True)
    finally:
        b.close()
        shutil.rmtree(profile, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
