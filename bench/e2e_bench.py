"""End-to-end latency, run by hand inside a private sandbox:

    /usr/bin/python3 bench/e2e_bench.py build-bench [changes]

Two switches and a host as in the end-to-end tests. For each change the routing suite on switch A
declares or withdraws one prefix through tallowctl; the time runs from the write of that command to the
kernel's notification of the host agent's route change in its table. Prints the median and the 99th
percentile over all changes.
"""

import os
import socket
import statistics
import struct
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tests" / "tallowhost"))

from sandbox import Sandbox  # noqa: E402
from topology import TABLE, Host, Switch  # noqa: E402

RTMGRP_IPV4_ROUTE = 0x40
RTM_NEWROUTE, RTM_DELROUTE = 24, 25


def route_events(sock, timeout):
    """(type, table) of each route message that arrives within `timeout` seconds of the first wait."""
    sock.settimeout(timeout)
    data = sock.recv(1 << 16)
    off = 0
    while off + 16 <= len(data):
        length, kind = struct.unpack_from("=IH", data, off)
        if kind in (RTM_NEWROUTE, RTM_DELROUTE):
            table = data[off + 16 + 4]  # rtmsg: family, dst_len, src_len, tos, table
            yield kind, table
        off += (length + 3) & ~3


def main():
    os.environ["TARVIK_PREFIX"] = str((ROOT / sys.argv[1] / "stage").resolve()) if len(sys.argv) > 1 else \
        os.environ.get("TARVIK_PREFIX", str(ROOT / "build" / "stage"))
    changes = int(sys.argv[2]) if len(sys.argv) > 2 else 400
    with Sandbox() as box:
        run(box, changes)


def run(box, changes):
    box.set_groups(frr=True)
    a, b = Switch(box, "A"), Switch(box, "B")
    for sw in (a, b):
        sw.downlinks()
    Host(box, [a, b])
    sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE)
    sock.bind((0, RTMGRP_IPV4_ROUTE))
    samples = []
    for i in range(changes):
        prefix = f"10.{i // 256 % 256}.{i % 256}.0/24"
        start = time.perf_counter()
        a.declare(prefix) if i % 2 == 0 else a.withdraw(f"10.{(i - 1) // 256 % 256}.{(i - 1) % 256}.0/24")
        want = RTM_NEWROUTE if i % 2 == 0 else RTM_DELROUTE
        while not any(e == (want, TABLE) for e in route_events(sock, 5.0)):
            pass
        samples.append((time.perf_counter() - start) * 1000)
        time.sleep(0.15)  # past the holddown, so the next change starts from a quiet relay
    samples.sort()
    p99 = samples[min(len(samples) - 1, int(len(samples) * 0.99))]
    print(f"routing suite's call on switch A to the host's route: {len(samples)} changes, "
          f"median {statistics.median(samples):.2f} ms, p99 {p99:.2f} ms, max {samples[-1]:.2f} ms")


if __name__ == "__main__":
    main()
