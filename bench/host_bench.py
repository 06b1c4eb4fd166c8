"""Host agent benchmark, run by hand inside a private sandbox:

    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARVIK_BENCH=ON -DTARVIK_TESTS=OFF
    cmake --build build-bench -j2 && cmake --install build-bench --prefix build-bench/stage
    /usr/bin/python3 bench/host_bench.py build-bench [runs]

For IPv4 /24 and IPv6 /64 prefixes at MTU 1500 and 9000: a 200000-prefix periodic set sent back to
back on one uplink of two, timed from the first frame sent to the agent's line saying the last route
is in the kernel (polled every 5 ms), with the agent's own split between deciding and the kernel, and
the agent's resident memory before and after, per declared prefix. Then the latency of one delta:
from sending a frame that adds or withdraws one prefix to the kernel's route notification for the
agent's table (median and 99th percentile over 1000 changes).
"""

import ipaddress
import re
import socket
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tests" / "tallowhost"))

from sandbox import Sandbox  # noqa: E402
from host_helpers import add_uplinks, route_count, start_agent  # noqa: E402
from lldp_frames import prefix_tlv  # noqa: E402

COUNT = 200000


def rss_kb():
    """The agent's resident set; /proc is that of the sandbox's PID namespace, found by name."""
    pid = next(p.name for p in Path("/proc").iterdir()
               if p.name.isdigit() and (p / "comm").read_text().strip() == "tallowhost")
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def tlvs(family):
    if family == 4:
        return [prefix_tlv(f"{ipaddress.IPv4Address((10 << 24) + (i << 8))}/24") for i in range(COUNT)]
    return [prefix_tlv(str(ipaddress.IPv6Network(((0x20010db8 << 96) | (i << 64), 64)))) for i in range(COUNT)]


def one_run(prefix, family, mtu, prefixes):
    box = Sandbox()
    box.prefix = prefix
    box.enter()
    try:
        args, senders = add_uplinks(box, "ab", mtu=mtu)
        agent = start_agent(box, args + ["-v"])
        before = rss_kb()
        start = agent.mark()
        rx = re.compile(rf"^route: ha: {COUNT} route changes in (\d+) ms")
        t0 = time.monotonic()
        frames = senders["a"].periodic(prefixes, mtu=mtu)
        sent = time.monotonic() - t0
        while True:
            msgs = agent.messages(start)
            if any(rx.search(m) for m in msgs):
                break
            time.sleep(0.005)
        total = time.monotonic() - t0
        split = [m for m in msgs if "ms to decide" in m][-1]
        after = rss_kb()
        assert route_count(family) == COUNT
        snap = agent.snapshot()
        dropped = sum(u["dropped_frames"] for u in snap["uplinks"])
        agent.stop()
        return frames, sent, total, split, before, after, dropped
    finally:
        box.leave()


def delta_latency(prefix, changes=1000):
    box = Sandbox()
    box.prefix = prefix
    box.enter()
    try:
        args, senders = add_uplinks(box, "ab")
        agent = start_agent(box, args)
        nl = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 0)  # NETLINK_ROUTE
        nl.bind((0, 0x40))  # RTMGRP_IPV4_ROUTE
        samples = []
        for i in range(changes):
            p = "10.77.0.0/16"
            t0 = time.perf_counter()
            if i % 2 == 0:
                senders["a"].delta(added=[p])
            else:
                senders["a"].delta(withdrawn=[p])
            nl.recv(65536)
            samples.append((time.perf_counter() - t0) * 1000)
        agent.stop()
        samples.sort()
        return statistics.median(samples), samples[int(len(samples) * 0.99) - 1]
    finally:
        box.leave()


def main():
    prefix = (ROOT / (sys.argv[1] if len(sys.argv) > 1 else "build-bench") / "stage").resolve()
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    for family in (4, 6):
        prefixes = tlvs(family)
        for mtu in (1500, 9000):
            results = [one_run(prefix, family, mtu, prefixes) for _ in range(runs)]
            totals = [r[2] for r in results]
            frames, sent, _, split, before, after, dropped = results[totals.index(statistics.median(totals))]
            print(f"IPv{family} MTU {mtu}: {frames} frames sent in {sent:.3f} s; first frame to last route: "
                  f"median {statistics.median(totals):.3f} s (min {min(totals):.3f}, max {max(totals):.3f}) "
                  f"over {runs} runs; [{split}]; RSS {before} kB -> {after} kB, "
                  f"{(after - before) * 1024 / COUNT:.0f} bytes per prefix; dropped frames {dropped}")
    median, p99 = delta_latency(prefix)
    print(f"one-prefix delta, frame sent to route notification: median {median:.3f} ms, p99 {p99:.3f} ms")


if __name__ == "__main__":
    main()
