#!/usr/bin/env python3
"""Measures the headless program as a whole (run on a release build, see bench/README.md):

  app_bench.py startup [runs]         time from exec to the first NMEA sentence on the broadcast port
  app_bench.py soak [seconds] [every] resident memory while a 10 Hz NMEA source feeds all four loggers
  app_bench.py idle [seconds]         CPU time used with no source active

Each run uses a configuration folder of its own (XDG_CONFIG_HOME) and free loopback ports; the
program is GEOMUXER (default build/release/src/app/geomuxer).
"""

import math
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PROGRAM = os.environ.get("GEOMUXER", os.path.join(ROOT, "build", "release", "src", "app", "geomuxer"))
TICKS = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def settings(body):
    return '<?xml version="1.0" encoding="UTF-8"?>\n<settings version="1.0">\n' + body + "\n</settings>\n"


def start(config_body, args, workdir):
    os.makedirs(os.path.join(workdir, "Geomuxer"), exist_ok=True)
    with open(os.path.join(workdir, "Geomuxer", "geomuxer.sml"), "w") as f:
        f.write(settings(config_body))
    env = dict(os.environ, XDG_CONFIG_HOME=workdir)
    return subprocess.Popen([PROGRAM, "--headless"] + args, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def first_sentence(port, deadline):
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.settimeout(5)
                data = b""
                while b"$GP" not in data:
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    data += chunk
                if b"$GP" in data:
                    return True
        except OSError:
            time.sleep(0.002)
    return False


def cmd_startup(runs=10):
    times = []
    for _ in range(int(runs)):
        port = free_port()
        with tempfile.TemporaryDirectory() as work:
            t0 = time.monotonic()
            proc = start(f"<tcpiplog><port>{port}</port></tcpiplog>", ["-t", "Simulator", "-a", "yes"], work)
            ok = first_sentence(port, t0 + 30)
            elapsed = time.monotonic() - t0
            stop(proc)
        if ok:
            times.append(elapsed * 1000)
    times.sort()
    print(f"startup to first broadcast sentence: runs={len(times)} min={times[0]:.0f} ms "
          f"median={times[len(times) // 2]:.0f} ms max={times[-1]:.0f} ms")


def nmea(body):
    checksum = 0
    for ch in body.encode():
        checksum ^= ch
    return f"${body}*{checksum:02X}\r\n".encode()


def nmea_feeder(server, stop_event):
    """A 10 Hz receiver: RMC and GGA moving ~2 m per fix, served to the program's TCP source."""
    conn, _ = server.accept()
    lat, lon, i = 47.5, 8.25, 0
    next_at = time.monotonic()
    while not stop_event.is_set():
        i += 1
        lat += 0.00002
        t = time.gmtime()
        hhmmss = time.strftime("%H%M%S", t) + f".{(i % 10)}0"
        date = time.strftime("%d%m%y", t)
        lat_deg, lon_deg = int(lat), int(lon)
        la = f"{lat_deg:02d}{(lat - lat_deg) * 60:07.4f}"
        lo = f"{lon_deg:03d}{(lon - lon_deg) * 60:07.4f}"
        try:
            conn.sendall(nmea(f"GPRMC,{hhmmss},A,{la},N,{lo},E,38.9,0.0,{date},,,A") +
                         nmea(f"GPGGA,{hhmmss},{la},N,{lo},E,1,08,0.9,512.6,M,47.0,M,,"))
        except OSError:
            return
        next_at += 0.1
        time.sleep(max(0.0, next_at - time.monotonic()))
    conn.close()


def drain(port, stop_event):
    """A broadcast client that reads everything, so the broadcast logger really sends."""
    while not stop_event.is_set():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.settimeout(1)
                while not stop_event.is_set():
                    try:
                        if not s.recv(65536):
                            break
                    except socket.timeout:
                        pass
        except OSError:
            time.sleep(0.2)


def cmd_soak(seconds=600, every=10):
    seconds, every = int(seconds), int(every)
    feed = socket.socket()
    feed.bind(("127.0.0.1", 0))
    feed.listen(1)
    feed_port = feed.getsockname()[1]
    nmea_port, http_port = free_port(), free_port()
    stop_event = threading.Event()
    with tempfile.TemporaryDirectory() as work:
        body = (f"<general><tracker>4</tracker><recordmode>2</recordmode><recordinterval>0</recordinterval></general>"
                f"<nmeatcpip><host>127.0.0.1</host><port>{feed_port}</port></nmeatcpip>"
                f"<tcpiplog><port>{nmea_port}</port><active>true</active></tcpiplog>"
                f"<filelog><file>{work}/track.nmea</file><active>true</active></filelog>"
                f"<gpxlog><filedir>{work}</filedir><active>true</active></gpxlog>"
                f"<http><active>true</active><port>{http_port}</port></http>"
                f"<httplog><protocol>http</protocol><host>127.0.0.1</host><port>{http_port}</port>"
                f"<active>true</active></httplog>")
        proc = start(body, ["-t", "NMEA via TCP/IP", "-a", "yes"], work)
        threading.Thread(target=nmea_feeder, args=(feed, stop_event), daemon=True).start()
        threading.Thread(target=drain, args=(nmea_port, stop_event), daemon=True).start()
        samples = []
        t0 = time.monotonic()
        try:
            while time.monotonic() - t0 < seconds and proc.poll() is None:
                time.sleep(every)
                samples.append((time.monotonic() - t0, rss_kib(proc.pid)))
                print(f"{samples[-1][0]:7.0f} s  RSS {samples[-1][1] / 1024:7.1f} MiB", flush=True)
            cpu = cpu_seconds(proc.pid)
        finally:
            stop_event.set()
            stop(proc)
        size = os.path.getsize(os.path.join(work, "track.nmea")) if os.path.exists(os.path.join(work, "track.nmea")) else 0
    if len(samples) >= 3:
        later = samples[len(samples) // 3:]
        print(f"soak {seconds} s at 10 Hz, all loggers: RSS first {samples[0][1] / 1024:.1f} MiB, "
              f"after a third {later[0][1] / 1024:.1f} MiB, last {samples[-1][1] / 1024:.1f} MiB, "
              f"max {max(s[1] for s in samples) / 1024:.1f} MiB; CPU {100 * cpu / seconds:.1f} %; "
              f"NMEA file {size / 1024:.0f} KiB")


def cmd_idle(seconds=60):
    seconds = int(seconds)
    with tempfile.TemporaryDirectory() as work:
        proc = start(f"<tcpiplog><port>{free_port()}</port></tcpiplog><http><active>true</active>"
                     f"<port>{free_port()}</port></http>", [], work)
        time.sleep(3)  # past start-up
        c0, t0 = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(seconds)
        c1, t1 = cpu_seconds(proc.pid), time.monotonic()
        rss = rss_kib(proc.pid)
        stop(proc)
    print(f"idle (no source active, server on) for {t1 - t0:.0f} s: CPU {1000 * (c1 - c0):.0f} ms "
          f"({100 * (c1 - c0) / (t1 - t0):.3f} %), RSS {rss / 1024:.1f} MiB")


if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in ("startup", "soak", "idle"):
        print(__doc__)
        sys.exit(2)
    if not os.path.exists(PROGRAM):
        sys.exit(f"no program at {PROGRAM}; build it first (./run or cmake --build build/release --target geomuxer)")
    {"startup": cmd_startup, "soak": cmd_soak, "idle": cmd_idle}[sys.argv[1]](*sys.argv[2:])
