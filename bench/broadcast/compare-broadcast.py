#!/usr/bin/env python3
"""The NMEA broadcast beside gpsd and a naive asyncio broadcaster, in one run.

    bench/broadcast/compare-broadcast.py [--build build/release] [--seconds 10] [--sizes 1,100,1000,10000]
                                         [--peers geomuxer,plain,passthrough,gpsd,asyncio]

For every size and every peer: a fresh pseudo-terminal, the server reading it (our broadcast through
the serial source, /usr/sbin/gpsd, or asyncio_broadcaster.py), and broadcast_swarm with that many
loopback clients, which feeds ten blocks a second into the terminal and times each one to every
client. Prints one table and the ratios of our CPU to the peers'. Sizes that the descriptor limit
forbids are skipped. gpsd's clients ask for its raw NMEA stream with ?WATCH.

Our broadcast runs as three peers: "geomuxer" (blocks of ours, all clients' sends in one batch where
io_uring is there), "plain" (the same with one send call per client) and "passthrough" (the source's
own sentences, batched). The ratios compare each of them with gpsd and asyncio.
"""

import argparse
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


# Our peers and the bench server's options for each.
OURS = {"geomuxer": [], "plain": ["--plain-sends"], "passthrough": ["--pass-through"]}


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port: int, process: subprocess.Popen, seconds: float = 10.0) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def start_server(peer: str, build: str, device: str, port: int, workdir: str) -> subprocess.Popen:
    if peer in OURS:
        command = [os.path.join(build, "bench/broadcast/broadcast_bench_server"), "--device", device,
                   "--port", str(port)] + OURS[peer]
    elif peer == "gpsd":
        command = [shutil.which("gpsd", path="/usr/sbin:/usr/local/sbin:/sbin") or "gpsd", "-N", "-n", "-b",
                   "-S", str(port), "-F", os.path.join(workdir, "gpsd.sock"), "-P",
                   os.path.join(workdir, "gpsd.pid"), device]
    else:
        command = [sys.executable, os.path.join(HERE, "asyncio_broadcaster.py"), device, str(port)]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def run_one(peer: str, clients: int, args) -> dict:
    master, slave = os.openpty()
    tty.setraw(slave)
    device = os.ttyname(slave)
    port = free_port()
    with tempfile.TemporaryDirectory() as workdir:
        server = start_server(peer, args.build, device, port, workdir)
        try:
            if not wait_for_port(port, server):
                return {"clients": clients, "skipped": f"{peer} did not listen"}
            time.sleep(0.3)
            swarm = [os.path.join(args.build, "bench/broadcast/broadcast_swarm"), "--port", str(port),
                     "--clients", str(clients), "--feed-fd", str(master), "--server-pid", str(server.pid),
                     "--seconds", str(args.seconds)]
            if peer == "gpsd":
                swarm.append("--watch")
            result = subprocess.run(swarm, pass_fds=(master,), capture_output=True, text=True,
                                    timeout=args.seconds + 180)
            lines = [line for line in result.stdout.splitlines() if line.startswith("{")]
            if not lines:
                return {"clients": clients, "skipped": f"swarm failed: {result.stderr.strip()[:200]}"}
            row = json.loads(lines[-1])
        finally:
            server.send_signal(signal.SIGTERM)
            try:
                out, _ = server.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                out, _ = server.communicate()
            os.close(master)
            os.close(slave)
    for line in (out or "").splitlines():
        if line.startswith("{"):
            row.update(json.loads(line))
    return row


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build/release"))
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--sizes", default="1,100,1000,10000")
    parser.add_argument("--peers", default="geomuxer,plain,passthrough,gpsd,asyncio")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    peers = args.peers.split(",")
    sizes = [int(s) for s in args.sizes.split(",")]
    rows = []
    print(f"{args.seconds} s at 10 blocks/s per run; latency from the feeder's write to the client's read; "
          f"CPU of the server process over the feeding window", flush=True)
    header = ("| clients | server | served | refused | missing | CPU % | kernel % of it | CPU us/block | RSS MiB | p50 ms | p99 ms "
              "| max ms | fan-out p50/p99 us |")
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    for clients in sizes:
        if clients + 64 > hard:
            print(f"| {clients} | (skipped: descriptor limit {hard}) |", flush=True)
            continue
        for peer in peers:
            row = run_one(peer, clients, args)
            row["peer"] = peer
            rows.append(row)
            if "skipped" in row:
                print(f"| {clients} | {peer} | skipped: {row['skipped']} |", flush=True)
                continue
            fanout = f"{row['fanout_p50_us']:.0f} / {row['fanout_p99_us']:.0f}" if "fanout_p99_us" in row else ""
            label = peer + (" (io_uring)" if row.get("batched") else "")
            print(f"| {clients} | {label} | {row['served']} | {row['refused']} | {row['missing']} | "
                  f"{row['cpu_percent']:.2f} | {row.get('kernel_share', 0):.0f} | {row['cpu_us_per_block']:.0f} | {row['rss_kib'] / 1024:.1f} | "
                  f"{row['p50_ms']:.2f} | {row['p99_ms']:.2f} | {row['max_ms']:.2f} | {fanout} |", flush=True)

    print("\nCPU ratios (ours / peer, same clients):")
    for clients in sizes:
        by_peer = {r["peer"]: r for r in rows if r["clients"] == clients and "skipped" not in r}
        for name in OURS:
            ours = by_peer.get(name)
            if not ours:
                continue
            parts = []
            for peer in peers:
                other = by_peer.get(peer)
                if peer == name or peer == "geomuxer" or not other or other["cpu_percent"] <= 0:
                    continue
                parts.append(f"{peer} {ours['cpu_percent'] / other['cpu_percent']:.2f} "
                             f"(serving {other['served']} of {clients})")
            print(f"  {clients:>6} clients, {name}: " + (", ".join(parts) if parts else "-"))
    if os.environ.get("BENCH_JSON"):
        with open(os.environ["BENCH_JSON"], "w") as out:
            json.dump(rows, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
