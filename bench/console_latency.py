#!/usr/bin/env python3
"""The console page's time from a report on the broker to its update on
screen, with 1 and with 10 boxes.  A figure, not a test: nothing is asserted.

  bench/console_latency.py <build dir> [--rounds N] [--boxes 1,10]

mosquitto on a free loopback port, telagent-cloud console, headless Chromium
(tests/integration/console_browser.py) on the page.  Each box publishes a
telemetry frame once a second (boxes spread over the second), its odometer
the round number; the page records when each card's odometer text changed and
when the next frame was drawn after it (requestAnimationFrame).  Latency is that
frame's time minus the moment the frame was handed to mosquitto_pub.
"""
import argparse
import json
import os
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "integration"))
from console_browser import Browser  # noqa: E402


def frame(odo, soc):
    b = bytes([1, 2, 2, 0x1C, 0xFF, 0xFF, 0xFF, 0xFF]) + struct.pack("<H", 98)
    b += struct.pack("<iiHHB", 52520000 + odo * 10, 13400000 + odo * 10, 40, 120, 20)
    b += struct.pack("<IHIHHHHB", odo, 0xFFFF, 0, 0, 0, 20, 0xFFFF, 2) + struct.pack("<HHh", 1, 1, 4000)
    b += struct.pack("<BHHB", soc, 36000, 0xFFFF, 25) + b"\xff" * 4 + bytes([1, 0]) + struct.pack("<iiii", -1, -1, -1, -1)
    b += bytes([0, 1]) + b"\xff" * 28 + struct.pack("<H", 1)
    assert len(b) == 108
    return b.hex().upper()


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


OBSERVER = """(() => {
  window.__seen = [];
  new MutationObserver(ms => {
    const t = Date.now();
    ms.forEach(m => {
      const dd = m.target.closest && m.target.closest('[data-field=odo]');
      if (!dd) return;
      const rec = {imei: dd.closest('[data-imei]').dataset.imei, odo: dd.textContent, dom: t};
      requestAnimationFrame(() => { rec.frame = Date.now(); window.__seen.push(rec); });
    });
  }).observe(document.getElementById('boxes'), {subtree: true, childList: true, characterData: true});
  return true;
})()"""


def run(build, chromium, n, rounds, work):
    port = free_port()
    conf = os.path.join(work, "m.conf")
    with open(conf, "w") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n%s" %
                (port, "user root\n" if os.getuid() == 0 else ""))
    procs = [subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), 0.1).close()
                break
            except OSError:
                time.sleep(0.05)
        console = subprocess.Popen([os.path.join(build, "bin", "telagent-cloud"), "--port", str(port), "console",
                                    "--http-port", "0"], stdout=subprocess.PIPE, text=True)
        procs.append(console)
        url = console.stdout.readline().split()[-1]
        imeis = ["86400000%07d" % (9000000 + i) for i in range(n)]
        pubs = [subprocess.Popen(["mosquitto_pub", "-p", str(port), "-q", "0", "-l", "-t",
                                  "zt/ebike/devices/%s/common/data/" % imei], stdin=subprocess.PIPE, text=True)
                for imei in imeis]
        procs.extend(pubs)
        for p in pubs:  # round 0 makes the cards
            p.stdin.write(frame(0, 90) + "\n")
            p.stdin.flush()
        b = Browser(chromium, tempfile.mkdtemp(dir=work))
        try:
            b.open(url)
            b.wait_js("document.querySelectorAll('[data-imei]').length === %d" % n, 20)
            b.js(OBSERVER)
            sent = {}
            for r in range(1, rounds + 1):
                t0 = time.time()
                for i, p in enumerate(pubs):
                    time.sleep(max(0, t0 + i / n - time.time()))
                    sent[(imeis[i], str(r))] = time.time() * 1000
                    p.stdin.write(frame(r, 90 - r % 50) + "\n")
                    p.stdin.flush()
                time.sleep(max(0, t0 + 1 - time.time()))
            time.sleep(1)
            seen = b.js("window.__seen")
        finally:
            b.close()
        lat = sorted(s["frame"] - sent[(s["imei"], s["odo"])] for s in seen if (s["imei"], s["odo"]) in sent)
        dom = sorted(s["dom"] - sent[(s["imei"], s["odo"])] for s in seen if (s["imei"], s["odo"]) in sent)
        return {"boxes": n, "reports": len(sent), "shown": len(lat),
                "screen_median_ms": round(statistics.median(lat), 1), "screen_p95_ms": round(lat[int(len(lat) * 0.95) - 1], 1),
                "screen_max_ms": round(lat[-1], 1), "dom_median_ms": round(statistics.median(dom), 1),
                "dom_p95_ms": round(dom[int(len(dom) * 0.95) - 1], 1), "dom_max_ms": round(dom[-1], 1)}
    finally:
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--rounds", type=int, default=30)
    ap.add_argument("--boxes", default="1,10")
    a = ap.parse_args()
    chromium = shutil.which("chromium")
    if not chromium:
        print("chromium is not installed (make deps installs it)")
        return 1
    work = tempfile.mkdtemp(prefix="console-bench-")
    try:
        for n in (int(x) for x in a.boxes.split(",")):
            print(json.dumps(run(a.build, chromium, n, a.rounds, work)), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
