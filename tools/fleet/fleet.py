#!/usr/bin/python3
"""A fleet of simulated boxes on this machine, under a chaos schedule.

N boxes (each its own device root, devsim and telagent-host with the agent,
its own IMEI) against one mosquitto on loopback; an operator built on
telagent-cloud sends requests at a steady rate and watches telemetry; a
schedule drawn from the seed injects faults through the controls that exist
(devsim's control FIFO, the broker, the firmware server, SIGKILL) and lifts
them again.  At the end every invariant is counted per box, a summary ends
with "N passed, M failed", and report.json and report.png land in the run's
folder.  Everything stays on 127.0.0.1; every process and root it started is
gone when it returns, also after Ctrl-C.

  tools/fleet/fleet.py --build build/plain --boxes 10 --seconds 600 --seed 1
"""

import argparse
import http.server
import json
import os
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MQTT_USER = "ebikeiot"
MQTT_PASS = "hQ4rusLent"
IMEI_BASE = 864000000100000

# Faults that take a box off the air: requests may go unanswered and reports
# may stop while one is active, until the box reports again.
OFFLINE_KINDS = {"broker", "nas", "uim", "wds", "dms", "radio_off", "battery_backup",
                 "kill_config", "kill_download", "kill_trial", "reboot"}
DEVSIM_FAULTS = {
    # kind: (inject lines, lift lines)
    "nas": (["modem service_down nas"], ["modem service_up nas"]),
    "uim": (["modem service_down uim"], ["modem service_up uim"]),
    "wds": (["modem service_down wds"], ["modem service_up wds"]),
    "dms": (["modem service_down dms"], ["modem service_up dms"]),
    "radio_off": (["modem cfun 0"], ["modem cfun 1"]),
    "bike_silent": (["ttyHSL1 set silent 1"], ["ttyHSL1 set silent 0"]),
    "bike_late": (["bike answer_delay_ms 1500"], ["bike answer_delay_ms 0"]),
    "bike_noisy": (["ttyHSL1 set noise_before 55aa0203ff"], ["ttyHSL1 set noise_before -"]),
    "bike_badcrc": (["ttyHSL1 set corrupt_crc 1"], ["ttyHSL1 set corrupt_crc 0"]),
    "gnss_gone": (["gnss stall 1"], ["gnss stall 0"]),
    "battery_backup": (["power battery backup"], ["power battery main"]),
}
BOX_KINDS = sorted(DEVSIM_FAULTS) + ["ota_stall", "ota_trunc", "kill_config", "kill_download", "kill_trial"]

RECOVERY_BOUND_S = 120.0   # first report after a fault is lifted
START_BOUND_S = 90.0       # first report after a box (re)starts
STALL_LIMIT_S = 3.0        # supervision loop


def now():
    return time.monotonic()


def pct(values, p):
    if not values:
        return None
    v = sorted(values)
    k = (len(v) - 1) * p / 100.0
    lo = int(k)
    hi = min(lo + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (k - lo)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def wait_for(cond, timeout, step=0.1):
    end = now() + timeout
    while now() < end:
        if cond():
            return True
        time.sleep(step)
    return cond()


class Procs:
    """Every process the fleet starts, each in a process group of its own."""

    def __init__(self):
        self.lock = threading.Lock()
        self.procs = []

    def start(self, argv, **kw):
        kw.setdefault("stdin", subprocess.DEVNULL)
        p = subprocess.Popen(argv, start_new_session=True, **kw)
        with self.lock:
            self.procs.append(p)
        return p

    def stop(self, p, sig=signal.SIGTERM, wait=5.0):
        try:
            os.killpg(p.pid, sig)
        except ProcessLookupError:
            pass
        try:
            p.wait(wait)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()
        # The group may outlive its leader (the agent under the host).
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        with self.lock:
            if p in self.procs:
                self.procs.remove(p)

    def stop_all(self):
        with self.lock:
            ps = list(self.procs)
        for p in reversed(ps):
            try:
                os.killpg(p.pid, signal.SIGINT)
            except ProcessLookupError:
                pass
        end = now() + 3
        for p in ps:
            try:
                p.wait(max(0.1, end - now()))
            except subprocess.TimeoutExpired:
                pass
        for p in ps:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            try:
                p.wait(2)
            except subprocess.TimeoutExpired:
                pass
        with self.lock:
            self.procs = []


# ---- broker ------------------------------------------------------------------

class Broker:
    def __init__(self, procs, folder):
        self.procs = procs
        self.folder = folder
        self.proc = None
        self.port = None
        mosq = shutil.which("mosquitto") or ("/usr/sbin/mosquitto" if os.path.exists("/usr/sbin/mosquitto") else None)
        pw = shutil.which("mosquitto_passwd")
        if not mosq or not pw:
            raise SystemExit("fleet: mosquitto and mosquitto_passwd are needed (make deps)")
        self.mosq = mosq
        os.makedirs(folder, exist_ok=True)
        passwd = os.path.join(folder, "passwd")
        subprocess.run([pw, "-b", "-c", passwd, MQTT_USER, MQTT_PASS], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.chmod(passwd, 0o644)
        self.passwd = passwd

    def start(self):
        for _ in range(5):
            if self.port is None or self.proc is not None:
                self.port = free_port()
            conf = os.path.join(self.folder, "mosquitto.conf")
            with open(conf, "w") as f:
                if os.getuid() == 0:
                    f.write("user root\n")
                f.write("listener %d 127.0.0.1\nallow_anonymous false\npassword_file %s\n"
                        "persistence false\nset_tcp_nodelay true\nmax_queued_messages 1000\n"
                        "log_dest file %s\nlog_type error\nlog_type warning\nlog_type notice\n"
                        % (self.port, self.passwd, os.path.join(self.folder, "mosquitto.log")))
            out = open(os.path.join(self.folder, "mosquitto.out"), "a")
            self.proc = self.procs.start([self.mosq, "-c", conf], stdout=out, stderr=out)
            out.close()
            if wait_for(lambda: port_open(self.port), 5):
                return
            self.procs.stop(self.proc, signal.SIGKILL)
            self.proc = None
        raise SystemExit("fleet: mosquitto did not start")

    def restart_same_port(self, down_s):
        """Stops the broker, keeps it down, starts it again on the same port."""
        self.procs.stop(self.proc)
        self.proc = None
        time.sleep(down_s)
        for _ in range(20):
            conf = os.path.join(self.folder, "mosquitto.conf")
            out = open(os.path.join(self.folder, "mosquitto.out"), "a")
            self.proc = self.procs.start([self.mosq, "-c", conf], stdout=out, stderr=out)
            out.close()
            if wait_for(lambda: port_open(self.port), 5):
                return True
            self.procs.stop(self.proc, signal.SIGKILL)
            self.proc = None
            time.sleep(1)
        return False


# ---- firmware server: whole, paced, stalled or truncated --------------------

class Firmware:
    def __init__(self, lib_path):
        with open(lib_path, "rb") as f:
            self.data = f.read()
        fw = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def log_message(self, *a):
                pass

            def do_GET(self):
                mode = self.path.strip("/").split("/")[0]
                body = fw.data
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                try:
                    if mode == "ok":
                        self.wfile.write(body)
                    elif mode == "slow":  # about 20 s for the whole file
                        step = max(1, len(body) // 200)
                        for i in range(0, len(body), step):
                            self.wfile.write(body[i:i + step])
                            self.wfile.flush()
                            time.sleep(0.1)
                    elif mode == "stall":  # a part, then nothing on an open connection
                        self.wfile.write(body[:len(body) * 2 // 5])
                        self.wfile.flush()
                        time.sleep(30)
                    elif mode == "trunc":  # a part, then the connection closes
                        self.wfile.write(body[:len(body) * 2 // 5])
                        self.wfile.flush()
                except OSError:
                    pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, mode):
        return "http://127.0.0.1:%d/%s/libTelAgent.so" % (self.port, mode)

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


# ---- one box -----------------------------------------------------------------

class Box:
    def __init__(self, fleet, index):
        self.fleet = fleet
        self.index = index
        self.imei = str(IMEI_BASE + index)
        self.root = os.path.join(fleet.tmp, "box%02d" % index)
        self.devsim = None
        self.host = None
        self.busy = threading.Lock()      # one request or OTA fault at a time
        self.console_pos = 0
        self.console_lines = []           # (t, line), kept short: only what is looked for
        self.console_cond = threading.Condition()
        self.starts = []                  # times the host was (re)started
        self.telemetry = []               # (t, report_interval_s, tilt)
        self.windows = []                 # [kind, start, lift, recovered]
        self.detections = []              # t of "angle_offset > 60"
        self.disk_lines = []              # (t, agent start index)
        self.agent_starts = []            # t of "Runing lib:"
        self.samples = []                 # (t, rss_kb, fds, threads, pid)
        self.file_checks = []             # (t, ok, why)
        self.cuts = []                    # power cuts
        self.late_passes = []             # (t, ms) supervision passes over 3 s
        self.reconnect_passes = []        # the same, with an MQTT reconnect in them
        self.slow_steps = []              # (t, step, ms) steps of a pass over a second
        self.reconnects = []
        self.tilts = []
        self.notes = []

    def control(self, line):
        path = os.path.join(self.root, "var/devsim/control")
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            try:
                os.write(fd, (line + "\n").encode())
            finally:
                os.close(fd)
            return True
        except OSError as e:
            self.notes.append("control %r: %s" % (line, e))
            return False

    def start_devsim(self):
        b = self.fleet
        scen = self.root + ".scenario"
        with open(scen, "w") as f:
            f.write("[bike]\nattached = 1\n[sntp]\nservers = good\n[modem]\nimei = %s\n[imu]\npitch = -85\n" % self.imei)
        out = open(self.root + ".devsim.log", "a")
        self.devsim = b.procs.start([b.devsim_bin, "--root", self.root, "--create", "--lib", b.lib,
                                     "--scenario", scen, "--mqtt-port", str(b.broker.port)],
                                    stdout=out, stderr=out)
        out.close()
        if not wait_for(lambda: os.path.getsize(os.path.join(self.root, "var/devsim/ready")) > 0
                        if os.path.exists(os.path.join(self.root, "var/devsim/ready")) else False, 20):
            raise SystemExit("fleet: devsim of box %d did not come up" % self.index)

    def start_host(self):
        b = self.fleet
        env = dict(os.environ, TELAGENT_ROOT=self.root)
        out = open(os.path.join(self.root, "var/console.log"), "ab")
        self.host = b.procs.start([b.host_bin, "--init-lpm"], env=env, cwd=self.root, stdout=out,
                                  stderr=subprocess.STDOUT)
        out.close()
        self.starts.append(now())

    def power_cut(self):
        """SIGKILL of host and agent together, as a power cut takes both."""
        self.cuts.append(now())
        if self.host is not None:
            try:
                os.killpg(self.host.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.fleet.procs.stop(self.host, signal.SIGKILL)
            self.host = None

    def agent_pid(self):
        if self.host is None:
            return None
        try:
            with open("/proc/%d/task/%d/children" % (self.host.pid, self.host.pid)) as f:
                kids = f.read().split()
            return int(kids[0]) if kids else None
        except (OSError, ValueError):
            return None

    def sample(self):
        pid = self.agent_pid()
        if pid is None:
            return
        try:
            with open("/proc/%d/status" % pid) as f:
                st = f.read()
            rss = int(re.search(r"VmRSS:\s+(\d+)", st).group(1))
            thr = int(re.search(r"Threads:\s+(\d+)", st).group(1))
            fds = len(os.listdir("/proc/%d/fd" % pid))
        except (OSError, AttributeError, ValueError):
            return
        self.samples.append((now(), rss, fds, thr, pid))

    RECONNECT = re.compile(r"check_mqqt_connected mqtt_failed_count:\d+\.|release lte")
    WATCHED = re.compile(r"angle_offset > 60|supervision: |TMPT |check_mqqt_connected mqtt_failed_count:\d+\.|release lte|\+\+\+ check_disk_statfs|Runing lib:|\[host\]|"
                         r"REPORT_INTERVAL|socket read i:0|on trial|going back|passed its trial")

    def read_console(self):
        path = os.path.join(self.root, "var/console.log")
        try:
            with open(path, "rb") as f:
                f.seek(self.console_pos)
                data = f.read()
        except OSError:
            return
        cut = data.rfind(b"\n")
        if cut < 0:
            return
        self.console_pos += cut + 1
        t = now()
        found = []
        for raw in data[:cut].replace(b"\r", b"\n").split(b"\n"):
            line = raw.decode("utf-8", "replace")
            if not self.WATCHED.search(line):
                continue
            found.append(line)
            if "angle_offset > 60" in line:
                self.detections.append(t)
            elif self.RECONNECT.search(line):
                self.reconnects.append(t)
            elif re.search(r"supervision: \S+ took", line) and "pass took" not in line:
                m = re.search(r"supervision: (\S+) took (\d+) ms", line)
                if m:
                    self.slow_steps.append((t, m.group(1), int(m.group(2))))
            elif "supervision: pass took" in line:
                m = re.search(r"took (\d+) ms", line)
                if m:
                    ms = int(m.group(1))
                    # Kept apart for the figures: a pass with an MQTT reconnect in it
                    # (whose waits run on the session's worker, not in the pass).
                    rec = any(t - ms / 1000.0 - 1.5 <= r <= t for r in self.reconnects[-3:])
                    (self.reconnect_passes if rec else self.late_passes).append((t, ms))
            elif "+++ check_disk_statfs" in line:
                self.disk_lines.append((t, len(self.agent_starts)))
            elif "Runing lib:" in line:
                self.agent_starts.append(t)
        if found:
            with self.console_cond:
                self.console_lines.extend((t, x) for x in found)
                del self.console_lines[:-200]
                self.console_cond.notify_all()

    def wait_console(self, pattern, since, timeout):
        rx = re.compile(pattern)
        end = now() + timeout
        with self.console_cond:
            while True:
                for t, line in self.console_lines:
                    if t >= since and rx.search(line):
                        return True
                left = end - now()
                if left <= 0:
                    return False
                self.console_cond.wait(min(left, 0.2))

    def online(self):
        """Reported lately, and no disruptive fault of its own still open."""
        if not self.telemetry or now() - self.telemetry[-1][0] > (self.telemetry[-1][1] or 10) + 5:
            return False
        return not any(k in OFFLINE_KINDS and (lift is None or self.online_after(lift) is None)
                       for k, _, lift, _ in self.windows)

    def online_after(self, t):
        for tt, _, _ in self.telemetry:
            if tt > t:
                return tt
        return None

    def check_files(self, why):
        """Reads what the box keeps on flash the way an outside reader would."""
        problems = []
        conf = os.path.join(self.root, "iot/conf")
        ini = os.path.join(conf, "iot.ini")
        try:
            with open(ini, "rb") as f:
                text = f.read().decode("ascii")
            keys = {}
            section = None
            for n, line in enumerate(text.split("\n")):
                line = line.strip()
                if not line or line.startswith((";", "#")):
                    continue
                if line.startswith("[") and line.endswith("]"):
                    section = line[1:-1]
                    continue
                if "=" not in line or section is None:
                    problems.append("iot.ini line %d not key=value: %r" % (n + 1, line[:40]))
                    continue
                k, v = line.split("=", 1)
                keys[(section, k.strip())] = v.strip()
            if text and not text.endswith("\n"):
                problems.append("iot.ini ends inside a line")
            for k in ("MqttHost", "MqttPort", "MqttPing", "MqttUserName", "MqttUserPass", "ReportingInterval"):
                if not keys.get(("IotCfg", k)):
                    problems.append("iot.ini without %s" % k)
            if keys.get(("IotCfg", "MqttPort")) not in (None, str(self.fleet.broker.port)):
                problems.append("iot.ini MqttPort %s" % keys.get(("IotCfg", "MqttPort")))
            ri = keys.get(("IotCfg", "ReportingInterval"), "")
            if ri and not (ri.isdigit() and int(ri) <= 255):
                problems.append("iot.ini ReportingInterval %r" % ri)
        except (OSError, UnicodeDecodeError) as e:
            problems.append("iot.ini unreadable: %s" % e)
        for name in ("libiot.ini", "libiot.good"):
            p = os.path.join(conf, name)
            if not os.path.exists(p):
                if name == "libiot.ini":
                    continue  # the host's default then
                continue
            try:
                with open(p, "rb") as f:
                    lib = f.read().decode("ascii").strip()
                if not lib.startswith("/iot/lib/"):
                    problems.append("%s names %r" % (name, lib[:60]))
                    continue
                path = os.path.join(self.root, lib.lstrip("/"))
                with open(path, "rb") as f:
                    head = f.read(4)
                if head != b"\x7fELF" or os.path.getsize(path) != len(self.fleet.firmware.data):
                    problems.append("%s names %s, not a whole library (%d bytes)" % (name, lib, os.path.getsize(path)))
            except (OSError, UnicodeDecodeError) as e:
                problems.append("%s: %s" % (name, e))
        self.file_checks.append((now(), not problems, why, problems))
        return problems


# ---- the fleet ---------------------------------------------------------------

class Fleet:
    def __init__(self, a):
        self.a = a
        self.build = os.path.abspath(a.build)
        self.devsim_bin = os.path.join(self.build, "bin/telagent-devsim")
        self.host_bin = os.path.join(self.build, "bin/telagent-host")
        self.cloud_bin = os.path.join(self.build, "bin/telagent-cloud")
        self.lib = os.path.join(self.build, "lib/libTelAgent.so")
        for p in (self.devsim_bin, self.host_bin, self.cloud_bin, self.lib):
            if not os.path.exists(p):
                raise SystemExit("fleet: %s is missing (make build)" % p)
        self.out = os.path.abspath(a.out)
        os.makedirs(self.out, exist_ok=True)
        self.tmp = tempfile.mkdtemp(prefix="telagent-fleet-")
        self.procs = Procs()
        self.rng = random.Random(a.seed)
        self.stop = threading.Event()
        self.t0 = None
        self.boxes = []
        self.requests = []        # dicts
        self.responses = {}       # (imei, id) -> list of (t, topic, payload)
        self.stray = []           # responses nobody asked for, foreign identifiers
        self.broker_windows = []  # [start, up]
        self.events = []          # chaos log: (t, box or -1, kind, what)
        self.lock = threading.Lock()
        self.seq = 0
        self.loads = []

    # -- helpers
    def rel(self, t):
        return round(t - self.t0, 2)

    def log(self, box, kind, what):
        with self.lock:
            self.events.append((now(), box, kind, what))
        if self.a.verbose:
            print("[fleet] %7.1f box%s %s %s" % (now() - self.t0, box, kind, what), flush=True)

    def cloud(self, *args):
        return [self.cloud_bin, "--port", str(self.broker.port), "--user", MQTT_USER, "--pass", MQTT_PASS] + list(args)

    # -- watcher: every telemetry frame and every response
    def watch(self):
        while not self.stop.is_set():
            p = self.procs.start(self.cloud("watch", "--all"), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                 text=True, bufsize=1)
            self.watcher = p
            for line in p.stdout:
                t = now()
                try:
                    j = json.loads(line)
                except ValueError:
                    continue
                imei = j.get("imei")
                box = self.by_imei.get(imei)
                if box is None:
                    continue
                if j.get("type") == "other":
                    self.on_response(box, t, j.get("topic", ""), j.get("payload", ""))
                else:
                    tilt = bool(j.get("alarms", {}).get("tilt"))
                    box.telemetry.append((t, j.get("report_interval_s"), tilt))
            if not self.stop.is_set():
                time.sleep(0.5)  # it ended (broker gone for long): start it again

    def on_response(self, box, t, topic, payload):
        m = re.match(r"zt/ebike/devices/(\d+)/(\w+)/response/(.+)$", topic)
        if not m:
            return
        rid = m.group(3)
        with self.lock:
            self.responses.setdefault((box.imei, rid), []).append((t, m.group(2), payload))

    # -- operator
    def request(self, box, kind, args, timeout, expect=None):
        with self.lock:
            self.seq += 1
            rid = "fl%d_%d" % (box.index, self.seq)
        r = {"box": box.index, "imei": box.imei, "id": rid, "kind": kind, "args": list(args),
             "sent": now(), "timeout": timeout, "expect": expect}
        p = self.procs.start(self.cloud("request", box.imei, kind, *args, "--id", rid, "--json",
                                        "--timeout", str(timeout)),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        r["proc"] = p
        with self.lock:
            self.requests.append(r)
        return r

    def finish(self, r):
        p = r.pop("proc")
        try:
            out, err = p.communicate(timeout=r["timeout"] + 20)
        except subprocess.TimeoutExpired:
            self.procs.stop(p, signal.SIGKILL)
            out, err = "", "killed"
        with self.procs.lock:
            if p in self.procs.procs:
                self.procs.procs.remove(p)
        r["done"] = now()
        r["rc"] = p.returncode
        if self.stop.is_set() and p.returncode != 0:
            r["cut"] = True  # ended with the run
        r["stderr"] = [x for x in err.splitlines() if "ignored on" in x]
        try:
            r["response"] = json.loads(out.strip().splitlines()[-1]) if out.strip() else None
        except ValueError:
            r["response"] = None
        return r

    def operator_pick(self, box, rng):
        # Switch servers restarts the box (about 45 s off the air): rarer than the rest.
        kind = rng.choice(["lock", "unlock", "light", "interval", "extra", "diag"] * 3 + ["servers"])
        if kind == "light":
            return "cmd", ["light", rng.choice(["on", "off"])], 15
        if kind == "interval":
            return "cmd", ["interval", str(rng.choice([5, 8, 10]))], 15
        if kind == "extra":
            return "extra_data", ["extra"], 30
        if kind == "diag":
            body = "%08x%04x" % (self.seq + 1, box.index) + "".join("%02x" % rng.randrange(256) for _ in range(rng.randint(0, 40)))
            return "cmd", ["diag", body], 15
        if kind == "servers":
            return "cmd", ["servers", "127.0.0.1:%d" % self.broker.port], 15
        return "cmd", [kind], 15

    def operator_box(self, box):
        rng = random.Random(self.a.seed * 1000 + box.index)
        period = self.a.boxes / self.a.rate
        t_next = self.t0 + self.a.warmup + rng.uniform(0, period)
        while not self.stop.is_set():
            if now() < t_next:
                self.stop.wait(min(0.5, t_next - now()))
                continue
            t_next = max(t_next + period, now() + period / 2)
            if now() > self.t_end - 20:
                break
            if not box.busy.acquire(blocking=False):
                continue
            try:
                topic_kind, args, timeout = self.operator_pick(box, rng)
                r = self.request(box, args[0], args[1:], timeout)
                r["topic_kind"] = topic_kind
                self.finish(r)
                if args[0] == "servers" and r["rc"] == 0:
                    # The box restarts on the broker it was told: off the air until it reports.
                    box.windows.append(["reboot", r["done"], r["done"], None])
            finally:
                box.busy.release()

    # -- chaos
    def schedule(self):
        a = self.a
        rng = self.rng
        plan = []
        span_end = a.seconds - a.cooldown
        # Broker restarts: a few over the run, nothing else starts close to them.
        quiet = []
        kinds = a.kinds.split(",") if a.kinds else list(BOX_KINDS)
        rng.shuffle(kinds)
        dealt = 0  # kinds are dealt in turn across the boxes, so a short run still sees many
        n_broker = max(1, int(a.seconds // 400)) if a.seconds >= 100 and "broker" in (a.kinds or "broker") else 0
        for i in range(n_broker):
            t = a.warmup + (span_end - a.warmup) * (i + 0.5) / n_broker + rng.uniform(-10, 10)
            d = rng.uniform(3, 10)
            plan.append((t, -1, "broker", d))
            quiet.append((t - 15, t + d + 45))
        for b in range(a.boxes):
            t = a.warmup + rng.uniform(0, 20)
            while True:
                kind = kinds[dealt % len(kinds)]
                d = rng.uniform(5, 20)
                if t + d + 45 > span_end:
                    break
                if any(lo <= t <= hi or lo <= t + d <= hi for lo, hi in quiet):
                    t += 20
                    continue
                plan.append((t, b, kind, d))
                dealt += 1
                t += d + rng.uniform(25, 60)
            # Tilts through the motion sensor, between and during faults.
            t = a.warmup + rng.uniform(0, 30)
            up = True
            while t < span_end:
                plan.append((t, b, "tilt", 85 if up else -85))
                up = not up
                t += rng.uniform(35, 70)
        plan.sort()
        return plan

    def chaos(self, plan):
        threads = []
        for t, b, kind, d in plan:
            while not self.stop.is_set() and now() < self.t0 + t:
                self.stop.wait(min(0.5, self.t0 + t - now()))
            if self.stop.is_set():
                break
            th = threading.Thread(target=self.fault, args=(b, kind, d), daemon=True)
            th.start()
            threads.append(th)
        for th in threads:
            th.join(timeout=max(0, self.t_end + 60 - now()))

    def fault(self, b, kind, d):
        try:
            self._fault(b, kind, d)
        except Exception as e:  # a broken fault is a fleet bug: keep it visible
            self.log(b, kind, "error %r" % e)

    def _fault(self, b, kind, d):
        if kind == "broker":
            w = [now(), None]
            self.broker_windows.append(w)
            self.log(-1, kind, "down %.1f s" % d)
            ok = self.broker.restart_same_port(d)
            w[1] = now()
            for box in self.boxes:
                box.windows.append(["broker", w[0], w[1], None])
            self.log(-1, kind, "up" if ok else "did not come back")
            return
        box = self.boxes[b]
        if kind == "tilt":
            box.control("imu tilt %d 150" % d)
            box.tilts.append(now())
            self.log(b, kind, "to %d" % d)
            return
        if kind in DEVSIM_FAULTS:
            on, off = DEVSIM_FAULTS[kind]
            w = [kind, now(), None, None]
            box.windows.append(w)
            for line in on:
                box.control(line)
            self.log(b, kind, "on %.1f s" % d)
            self.stop.wait(d)
            for line in off:
                box.control(line)
            w[2] = now()
            self.log(b, kind, "lifted")
            return
        with box.busy:
            # A download or a cut is aimed at a box that is up, so what it hits is known.
            if not wait_for(lambda: self.stop.is_set() or box.online(), 90, 0.5) or self.stop.is_set():
                self.log(b, kind, "skipped: the box is not online")
                return
            if kind in ("ota_stall", "ota_trunc"):
                w = [kind, now(), None, None]
                box.windows.append(w)
                r = self.request(box, "ota", ["lib", self.firmware.url(kind[4:])], 150,
                                 expect="status 0")
                r["topic_kind"] = "ota"
                self.log(b, kind, "sent")
                self.finish(r)
                w[2] = now()
                self.log(b, kind, "answered rc=%s %s" % (r["rc"], r.get("response")))
                return
            if kind == "kill_config":
                w = [kind, now(), None, None]
                box.windows.append(w)
                since = now()
                r = self.request(box, "interval", [str(self.rng.choice([5, 8, 10]))], 15)
                r["topic_kind"] = "cmd"
                hit = box.wait_console(r"REPORT_INTERVAL", since, 15)
                box.power_cut()
                self.log(b, kind, "cut %s the write" % ("during" if hit else "without"))
            elif kind == "kill_download":
                w = [kind, now(), None, None]
                box.windows.append(w)
                since = now()
                r = self.request(box, "ota", ["lib", self.firmware.url("slow")], 60)
                r["topic_kind"] = "ota"
                hit = box.wait_console(r"socket read i:0", since, 20)
                time.sleep(random.Random(int(since * 1000)).uniform(0.5, 4))
                box.power_cut()
                self.log(b, kind, "cut %s the download" % ("during" if hit else "without"))
            else:  # kill_trial: a whole self-update, then the cut while the new library is on trial
                w = [kind, now(), None, None]
                box.windows.append(w)
                since = now()
                r = self.request(box, "ota", ["lib", self.firmware.url("ok")], 90)
                r["topic_kind"] = "ota"
                hit = box.wait_console(r"on trial", since, 60)
                self.stop.wait(min(d, 10))
                box.power_cut()
                self.log(b, kind, "cut %s the trial" % ("during" if hit else "without"))
            self.procs.stop(r["proc"], signal.SIGKILL, 1)  # its answer died with the box
            self.finish(r)
            r["cut"] = True
            problems = box.check_files(kind)
            if problems:
                self.log(b, kind, "files: %s" % "; ".join(problems))
            self.stop.wait(min(d, 5))
            if not self.stop.is_set():
                box.start_host()
            w[2] = now()
            self.log(b, kind, "host started again")

    # -- sampling
    def sampler(self):
        next_res = 0
        while not self.stop.is_set():
            for box in self.boxes:
                box.read_console()
            if now() >= next_res:
                next_res = now() + self.a.sample_s
                for box in self.boxes:
                    box.sample()
                try:
                    self.loads.append((now(), os.getloadavg()[0]))
                except OSError:
                    pass
            self.stop.wait(0.25)

    # -- run
    def run(self):
        a = self.a
        self.broker = Broker(self.procs, os.path.join(self.tmp, "broker"))
        self.broker.start()
        self.firmware = Firmware(self.lib)
        self.boxes = [Box(self, i) for i in range(a.boxes)]
        self.by_imei = {b.imei: b for b in self.boxes}
        self.t0 = now()
        self.t_end = self.t0 + a.seconds
        self.wall0 = time.time()
        threading.Thread(target=self.watch, daemon=True).start()
        for b in self.boxes:
            b.start_devsim()
            b.start_host()
        print("fleet: %d boxes, %d s, seed %d, broker 127.0.0.1:%d, run folder %s"
              % (a.boxes, a.seconds, a.seed, self.broker.port, self.out), flush=True)
        plan = self.schedule()
        sam = threading.Thread(target=self.sampler, daemon=True)
        sam.start()
        ops = [threading.Thread(target=self.operator_box, args=(b,), daemon=True) for b in self.boxes]
        for t in ops:
            t.start()
        ch = threading.Thread(target=self.chaos, args=(plan,), daemon=True)
        ch.start()
        while now() < self.t_end and not self.stop.is_set():
            time.sleep(0.5)
        self.t_stop = now()
        for t in ops:
            t.join(timeout=40)
        # The last telemetry and responses, then everything down.
        time.sleep(2)
        for b in self.boxes:
            b.read_console()
        self.stop.set()
        with self.lock:
            pending = [r["proc"] for r in self.requests if "proc" in r]
        for p in pending:
            self.procs.stop(p, signal.SIGKILL, 1)
        ch.join(timeout=30)
        return plan

    def cleanup(self):
        self.stop.set()
        self.procs.stop_all()
        try:
            self.firmware.stop()
        except Exception:
            pass
        if self.a.keep:
            print("fleet: roots kept in %s" % self.tmp)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)


# ---- invariants --------------------------------------------------------------

def offline_spans(f, box):
    """Where a box may be silent: each disruptive fault from its start to the first report after its lift."""
    spans = []
    for kind, start, lift, _ in box.windows:
        if kind not in OFFLINE_KINDS:
            continue
        lift = lift if lift is not None else f.t_stop
        back = box.online_after(lift)
        spans.append((start, back if back is not None else f.t_stop + 60))
    for s in box.starts:
        back = box.online_after(s)
        spans.append((s - 1, back if back is not None else f.t_stop + 60))
    return spans


def overlaps(spans, lo, hi):
    return any(s <= hi and e >= lo for s, e in spans)


def check(f):
    res = {}   # (invariant, box) -> (ok, details)
    recov = {}  # kind -> [s]
    for box in f.boxes:
        spans = offline_spans(f, box)
        # 1. requests
        bad = []
        mine = [r for r in f.requests if r["box"] == box.index]
        lost_explained = 0
        for r in mine:
            if r.get("rc") is None or r.get("cut"):
                continue
            got = f.responses.get((box.imei, r["id"]), [])
            if r["stderr"]:
                bad.append("%s: a response with a foreign identifier" % r["id"])
            if len(got) > 1:
                bad.append("%s (%s) answered %d times" % (r["id"], r["kind"], len(got)))
            if r["rc"] != 0:
                if overlaps(spans, r["sent"], r["sent"] + r["timeout"]):
                    lost_explained += 1
                    r["explained"] = True
                else:
                    bad.append("%s (%s %s) unanswered (rc %s) while online" % (r["id"], r["kind"], " ".join(r["args"]), r["rc"]))
                continue
            for t, topic_kind, payload in got[:1]:
                if topic_kind != r["topic_kind"]:
                    bad.append("%s answered on %s" % (r["id"], topic_kind))
                try:
                    raw = bytes.fromhex(payload)
                except ValueError:
                    bad.append("%s: response not hex" % r["id"])
                    continue
                if topic_kind == "cmd" and len(raw) >= 13:
                    cmd = raw[9] | raw[10] << 8
                    want = {"lock": 2, "unlock": 2, "light": 3, "interval": 1002, "diag": 1001, "servers": 1004}[r["kind"]]
                    if cmd != want:
                        bad.append("%s: CmdId %d, asked %d" % (r["id"], cmd, want))
                    if r["kind"] == "diag":
                        body = bytes.fromhex(r["args"][0])[:499]
                        if raw[13:] != body:
                            bad.append("%s: echo %s, sent %s" % (r["id"], raw[13:].hex()[:24], body.hex()[:24]))
                if r["expect"] == "status 0" and topic_kind == "ota" and len(raw) >= 10 and raw[9] != 0:
                    bad.append("%s: a broken download answered status %d" % (r["id"], raw[9]))
        asked = {r["id"] for r in mine}
        for (imei, rid), got in f.responses.items():
            if imei == box.imei and rid not in asked:
                bad.append("response to %s, never asked" % rid)
        res[("requests", box.index)] = (not bad, bad[:8], {"sent": len(mine), "lost_explained": lost_explained})

        # 2a. reports at the interval while online
        bad = []
        tl = box.telemetry
        for (t1, i1, _), (t2, i2, _) in zip(tl, tl[1:]):
            if overlaps(spans, t1, t2):
                continue
            iv = max(i1 or 10, i2 or 10)
            if t2 - t1 > iv * 1.5 + 5:
                bad.append("gap %.1f s at %.0f s (interval %d)" % (t2 - t1, f.rel(t1), iv))
        if not tl:
            bad.append("never reported")
        res[("reporting", box.index)] = (not bad, bad[:8], {"frames": len(tl)})

        # 2b. back on the air after every fault, and after every start
        bad = []
        for w in box.windows:
            kind, start, lift, _ = w
            lift = lift if lift is not None else f.t_stop
            back = box.online_after(lift)
            if back is None:
                if f.t_stop - lift > RECOVERY_BOUND_S:
                    bad.append("%s lifted at %.0f s: no report since" % (kind, f.rel(lift)))
                continue
            w[3] = back - lift
            recov.setdefault(kind, []).append(back - lift)
            if back - lift > RECOVERY_BOUND_S:
                bad.append("%s: first report %.0f s after the lift" % (kind, back - lift))
        for s in box.starts:
            back = box.online_after(s)
            # A reboot asked for before the first report (switch servers, self-update) starts the count again.
            again = [x for x in box.agent_starts if s + 5 < x < (back or f.t_stop + 1)]
            if again:
                s = again[-1]
            if back is None and f.t_stop - s > START_BOUND_S:
                bad.append("started at %.0f s: never reported" % f.rel(s))
            elif back is not None:
                recov.setdefault("start", []).append(back - s)
                if back - s > START_BOUND_S:
                    bad.append("started at %.0f s: first report after %.0f s" % (f.rel(s), back - s))
        res[("recovery", box.index)] = (not bad, bad[:8], {})

        # 3. motion alarms: each raised alarm in exactly one frame
        tilt_frames = [t for t, _, tilt in tl if tilt]
        bad, raised, carried = alarm_check(box.tilts, box.detections, tilt_frames,
                                           sorted(box.agent_starts + box.cuts), f.t_stop, f.rel)
        res[("alarms", box.index)] = (not bad, bad[:8], {"tilts": len(box.tilts), "raised": raised, "frames": carried})

        # 4. files whole after every power cut; the box started again (recovery covers the start)
        bad = ["%s: %s" % (why, "; ".join(p)) for _, ok, why, p in box.file_checks if not ok]
        problems = box.check_files("end")
        if problems:
            bad.append("end: " + "; ".join(problems))
        res[("files", box.index)] = (not bad, bad[:8], {"checks": len(box.file_checks)})

        # 5. resources flat, first vs last quarter
        bad = []
        first = box.telemetry[0][0] if box.telemetry else f.t_stop
        span = f.t_stop - first
        # Steady state only: an agent younger than a minute is still starting its threads.
        born = {}
        for s in box.samples:
            born.setdefault(s[4], s[0])
        age = min(60.0, f.a.seconds / 10.0)
        smp = [s for s in box.samples if s[0] >= first and s[0] - born[s[4]] >= age]
        q1 = [s for s in smp if s[0] < first + span / 4]
        q4 = [s for s in smp if s[0] >= f.t_stop - span / 4]
        figs = {}
        if len(q1) < 2 or len(q4) < 2:
            bad.append("too few samples (%d, %d)" % (len(q1), len(q4)))
        else:
            for name, col, slack in (("rss_kb", 1, None), ("fds", 2, 3), ("threads", 3, 3)):
                a1 = statistics.median(s[col] for s in q1)
                a4 = statistics.median(s[col] for s in q4)
                figs[name] = [a1, a4]
                allowed = a1 * 1.2 + 2048 if slack is None else a1 + slack
                if a4 > allowed:
                    bad.append("%s %s -> %s" % (name, a1, a4))
        res[("resources", box.index)] = (not bad, bad[:8], figs)

        # 6. supervision loop: the agent says every pass over 3 s; a loop stuck
        # for good says nothing, but its disk check (every 61 passes) stops too.
        bad = ["a pass took %d ms at %.0f s%s" % (ms, f.rel(t), step_of(box, t, ms))
               for t, ms in sorted(box.late_passes + box.reconnect_passes) if ms > STALL_LIMIT_S * 1000 + 1000]
        dl = box.disk_lines
        ends = box.agent_starts[1:] + [f.t_stop]
        for k, start in enumerate(box.agent_starts):
            mine = [t for t, s in dl if s == k + 1]
            last = mine[-1] if mine else start + 60  # start-up comes before the first pass
            if ends[k] - last > 61 + STALL_LIMIT_S + 30 and not any(start <= c <= ends[k] for c in box.cuts):
                bad.append("no disk check for %.0f s from %.0f s" % (ends[k] - last, f.rel(last)))
        worst = max([ms for _, ms in box.late_passes] or [0])
        worst_rec = max([ms for _, ms in box.reconnect_passes] or [0])
        res[("supervision", box.index)] = (not bad, bad[:8], {"late_passes": len(box.late_passes), "worst_ms": worst,
                                                              "reconnect_passes": len(box.reconnect_passes),
                                                              "worst_reconnect_ms": worst_rec,
                                                              "slow_steps": len(box.slow_steps)})
    return res, recov


def step_of(box, t, ms):
    """The steps the agent named as slow in a late pass."""
    steps = ["%s %d ms" % (name, d) for x, name, d in box.slow_steps if t - ms / 1000.0 - 1.5 <= x <= t + 0.5]
    return " (%s)" % ", ".join(steps) if steps else ""


def alarm_check(tilts, detections, frames, restarts, t_stop, rel=lambda t: t):
    """Each tilt the agent raised (its console line) reaches the cloud in exactly
    one frame.  Tilts are far apart (35-70 s), so each owns the time up to the
    next one: its detections and the frames that carry the tilt bit.  A frame
    may carry as many alarms as were raised in the window (one per detection,
    the report taking the byte between two of them) plus one left over from
    the window before (raised while the box was offline); a detection no frame
    carried is excused only by a restart (the byte goes with the process).
    Returns (broken, tilts raised, frames)."""
    bad = []
    raised = carried = 0
    carry = None  # time of a raised alarm no frame has carried yet
    bounds = list(tilts) + [t_stop + 60]
    early = [x for x in frames if not tilts or x < tilts[0]]
    if early:
        bad.append("%d tilt frames before any tilt" % len(early))
    for k, t in enumerate(tilts):
        nxt = bounds[k + 1]
        det = [x for x in detections if t <= x < nxt]
        mine = [x for x in frames if t <= x < nxt]
        restarted = any(t - 15 <= s < nxt for s in restarts)
        raised += bool(det)
        carried += len(mine)
        allowed = len(det) + (1 if carry is not None else 0)
        if len(mine) > allowed:
            bad.append("tilt at %.0f s: %d frames for %d alarms" % (rel(t), len(mine), allowed))
        if mine:
            carry = None
        elif det and carry is None:
            carry = t
        if restarted:
            carry = None
    if carry is not None and t_stop - carry > 30:
        bad.append("tilt at %.0f s raised, no frame carried it" % rel(carry))
    return bad, raised, carried


def self_test():
    """The invariant checks on made-up runs: what must pass, and what must not."""
    ok = True

    def expect(name, got, want):
        nonlocal ok
        if bool(got) != want:
            print("self-test %s: %s, wanted %s" % (name, got, "a failure" if want else "none"))
            ok = False

    tilts = [100.0, 150.0, 200.0]
    # One frame per tilt, the second one within a second of its tilt.
    bad, raised, carried = alarm_check(tilts, [100.7, 150.6, 200.8], [104.0, 150.9, 205.0], [], 300.0)
    expect("alarms one frame each", bad, False)
    expect("alarms counted", (raised, carried) != (3, 3), False)
    # Two windows of one swing above the threshold, the report between them.
    expect("alarms two detections two frames", alarm_check(tilts[:1], [100.6, 101.2], [101.0, 111.0], [], 300.0)[0], False)
    # A tilt seen while offline rides the first frame after the next tilt.
    expect("alarms carried over", alarm_check(tilts, [100.7, 150.6, 200.8], [104.0, 160.0, 205.0], [], 300.0)[0], False)
    # A tilt while the agent was down is never detected; the next one's frame is its own.
    expect("alarms tilt while down", alarm_check(tilts, [150.6, 200.8], [150.9, 205.0], [95.0], 300.0)[0], False)
    expect("alarms duplicate frame", alarm_check(tilts, [100.7, 150.6, 200.8], [104.0, 114.0, 155.0, 205.0], [], 300.0)[0], True)
    expect("alarms phantom frame", alarm_check(tilts, [100.7, 200.8], [104.0, 155.0, 205.0], [], 300.0)[0], True)
    expect("alarms lost", alarm_check(tilts, [100.7, 150.6, 200.8], [104.0, 205.0], [], 300.0)[0], False)  # carried by 205
    expect("alarms lost at the end", alarm_check(tilts, [100.7, 150.6, 200.8], [104.0, 155.0], [], 300.0)[0], True)
    expect("alarms lost with the process", alarm_check(tilts, [100.7, 150.6, 200.8], [104.0, 155.0], [210.0], 300.0)[0], False)
    expect("alarms frame before any tilt", alarm_check(tilts, [100.7], [90.0, 104.0], [], 300.0)[0], True)
    return ok


def report(f, plan, res, recov):
    names = ["requests", "reporting", "recovery", "alarms", "files", "resources", "supervision"]
    passed = sum(1 for v in res.values() if v[0])
    failed = len(res) - passed
    known = set(filter(None, f.a.known_broken.split(",")))
    unexpected = sum(1 for (n, _), v in res.items() if not v[0] and n not in known)
    lines = []
    answered = [r for r in f.requests if r.get("rc") == 0]
    lat = [r["response"].get("ms") for r in answered if r.get("response") and r["response"].get("ms") is not None]
    dur = f.t_stop - f.t0
    lines.append("fleet: %d boxes, %d s, seed %d" % (f.a.boxes, f.a.seconds, f.a.seed))
    lines.append("requests: %d sent, %d answered (%.2f/s), latency p50 %s ms p99 %s ms, %d unanswered explained by faults"
                 % (len(f.requests), len(answered), len(answered) / dur if dur else 0,
                    pct(lat, 50), pct(lat, 99), sum(1 for r in f.requests if r.get("explained"))))
    frames = sum(len(b.telemetry) for b in f.boxes)
    lines.append("telemetry: %d frames (%.2f/s)" % (frames, frames / dur if dur else 0))
    kinds = {}
    for _, b, k, _ in plan:
        kinds[k] = kinds.get(k, 0) + 1
    lines.append("faults: " + ", ".join("%s %d" % kv for kv in sorted(kinds.items())))
    lines.append("time to first report after the lift (s): kind n p50 p99 max")
    for k in sorted(recov):
        v = recov[k]
        lines.append("  %-15s %3d %6.1f %6.1f %6.1f" % (k, len(v), pct(v, 50), pct(v, 99), max(v)))
    if f.loads:
        lines.append("load average (1 min): mean %.1f, max %.1f" % (statistics.mean(x for _, x in f.loads), max(x for _, x in f.loads)))
    for n in names:
        for box in f.boxes:
            ok, why, figs = res[(n, box.index)]
            lines.append("%-4s %-11s box%02d %s%s" % ("ok" if ok else "FAIL" if n not in known else "FAIL(known)", n, box.index,
                                                      json.dumps(figs) if figs else "",
                                                      "" if ok else "\n       " + "\n       ".join(why)))
    if known and failed != unexpected:
        lines.append("known broken, not failing the run: %s" % ", ".join(sorted(known)))
    lines.append("%d passed, %d failed" % (passed, failed))
    text = "\n".join(lines)

    rj = {
        "boxes": f.a.boxes, "seconds": f.a.seconds, "seed": f.a.seed, "rate": f.a.rate,
        "started": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(f.wall0)),
        "requests": {"sent": len(f.requests), "answered": len(answered),
                     "per_s": round(len(answered) / dur, 3) if dur else 0,
                     "latency_ms": {"p50": pct(lat, 50), "p99": pct(lat, 99), "max": max(lat) if lat else None}},
        "telemetry_frames": frames,
        "recovery_s": {k: {"n": len(v), "p50": round(pct(v, 50), 2), "p99": round(pct(v, 99), 2),
                           "max": round(max(v), 2)} for k, v in recov.items()},
        "load_avg": [[f.rel(t), l] for t, l in f.loads],
        "rss_kb": {b.imei: [[f.rel(t), r, fd, th] for t, r, fd, th, _ in b.samples] for b in f.boxes},
        "invariants": [{"name": n, "box": i, "ok": v[0], "why": v[1], "figures": v[2]}
                       for (n, i), v in sorted(res.items())],
        "events": [[f.rel(t), b, k, w] for t, b, k, w in f.events],
        "request_log": [{"box": r["box"], "id": r["id"], "kind": r["kind"], "args": r["args"][:1],
                         "sent": f.rel(r["sent"]), "rc": r.get("rc"), "explained": r.get("explained", False),
                         "ms": (r.get("response") or {}).get("ms")} for r in f.requests],
        "passed": passed, "failed": failed,
    }
    for b in f.boxes:
        if b.notes:
            rj.setdefault("notes", {})[b.imei] = b.notes[:20]
    with open(os.path.join(f.out, "report.json"), "w") as fh:
        json.dump(rj, fh, indent=1)
    with open(os.path.join(f.out, "summary.txt"), "w") as fh:
        fh.write(text + "\n")
    plot(f, recov)
    return text, unexpected


def plot(f, recov):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("fleet: python3-matplotlib missing, no plot (make deps)")
        return
    fig, (ax1, ax2) = plt.subplots(2, 1, figsize=(10, 8))
    ks = sorted(recov)
    if ks:
        ax1.boxplot([recov[k] for k in ks], labels=ks, whis=(0, 100))
        ax1.set_ylabel("s to first report after lift")
        ax1.tick_params(axis="x", labelrotation=45)
    ax1.set_title("%d boxes, %d s, seed %d" % (f.a.boxes, f.a.seconds, f.a.seed))
    for b in f.boxes:
        if b.samples:
            ax2.plot([(s[0] - f.t0) / 60 for s in b.samples], [s[1] / 1024 for s in b.samples], lw=0.8, label=b.imei[-3:])
    ax2.set_xlabel("minutes")
    ax2.set_ylabel("agent RSS (MiB)")
    if len(f.boxes) <= 12:
        ax2.legend(fontsize=6, ncol=6)
    fig.tight_layout()
    fig.savefig(os.path.join(f.out, "report.png"), dpi=90)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default="build/plain")
    ap.add_argument("--boxes", type=int, default=10)
    ap.add_argument("--seconds", type=int, default=600)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--rate", type=float, default=0.5, help="operator requests per second, whole fleet")
    ap.add_argument("--warmup", type=float, default=30)
    ap.add_argument("--cooldown", type=float, default=20)
    ap.add_argument("--sample-s", type=float, default=None, help="resource sampling period (5 s; shorter in short runs)")
    ap.add_argument("--out", default=None, help="run folder (default build/fleet/<time>-seed<K>)")
    ap.add_argument("--kinds", default="", help="only these fault kinds (comma-separated; broker for restarts)")
    ap.add_argument("--known-broken", default="",
                    help="invariants (comma-separated) whose failures are counted but do not fail the run")
    ap.add_argument("--keep", action="store_true", help="keep the device roots")
    ap.add_argument("-v", "--verbose", action="store_true")
    ap.add_argument("--self-test", action="store_true", help="check the invariant checks on made-up runs, then end")
    a = ap.parse_args()
    if a.self_test:
        ok = self_test()
        print("fleet self-test: %s" % ("passed" if ok else "FAILED"))
        return 0 if ok else 1
    if a.boxes < 1 or a.seconds < 60 or a.rate <= 0:
        ap.error("at least 1 box, 60 s and a positive rate")
    if a.sample_s is None:
        a.sample_s = max(1.0, min(5.0, a.seconds / 60.0))
    if a.out is None:
        a.out = os.path.join(a.build, "fleet", time.strftime("%Y%m%d-%H%M%S") + "-seed%d" % a.seed)
    f = Fleet(a)

    def on_signal(sig, _):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, on_signal)
    try:
        plan = f.run()
        for b in f.boxes:
            b.read_console()
        res, recov = check(f)
        text, failed = report(f, plan, res, recov)
        print(text)
        print("fleet: report in %s" % f.out)
        return 1 if failed else 0
    except KeyboardInterrupt:
        print("fleet: interrupted", file=sys.stderr)
        return 130
    finally:
        f.cleanup()


if __name__ == "__main__":
    sys.exit(main())
