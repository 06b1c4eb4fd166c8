"""What a hostile or broken neighbour costs the host agent, run by hand inside a private sandbox:

    /usr/bin/python3 bench/host_hostile_bench.py build-bench [open-set-prefixes] [delta-prefixes]

1. An open set that never closes: a FIRST frame and then MORE frames only, carrying 1000000 IPv6
   prefixes by default (MTU 9000). Reported: the agent's resident memory before and after, its CPU
   time, and its log lines about the set.
2. A set built from deltas alone: 400000 IPv6 prefixes by default, 300 per delta frame (MTU 9000),
   each delta followed by waiting for the agent to read it. Reported: the agent's CPU time (user and
   system, the kernel's route work included) until the last route is in its table, and its resident
   memory.
"""

import ipaddress
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tests" / "tallowhost"))

from sandbox import Sandbox  # noqa: E402
from host_helpers import add_uplinks, route_count, start_agent  # noqa: E402
from lldp_frames import FIRST, MORE, PERIODIC, control_tlv, prefix_tlv  # noqa: E402

PER_FRAME = 300  # IPv6 prefix TLVs of 25 bytes: about 7.5 kB, under MTU 9000


def agent_pid():
    return next(p.name for p in Path("/proc").iterdir()
                if p.name.isdigit() and (p / "comm").read_text().strip() == "tallowhost")


def rss_kb(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def cpu_s(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def v6(i):
    return prefix_tlv(str(ipaddress.IPv6Network(((0x20010db8 << 96) | (i << 64), 64))))


def in_box(prefix, body):
    box = Sandbox()
    box.prefix = prefix
    box.enter()
    try:
        args, senders = add_uplinks(box, "ab", mtu=9000)
        agent = start_agent(box, args)
        pid = agent_pid()
        return body(agent, senders["a"], pid)
    finally:
        box.leave()


def open_set(agent, sender, pid, count):
    rss0, cpu0 = rss_kb(pid), cpu_s(pid)
    start = agent.mark()
    for i in range(0, count, PER_FRAME):
        flags = PERIODIC | MORE | (FIRST if i == 0 else 0)
        sender.blob(control_tlv(flags) + b"".join(v6(k) for k in range(i, min(i + PER_FRAME, count))))
        if i % (PER_FRAME * 50) == 0:
            time.sleep(0.002)  # let the agent read, as a real sender's pacing would
    time.sleep(2)
    lines = [m for m in agent.messages(start) if m.startswith("set:")]
    print(f"open set of {count} prefixes never closed: RSS {rss0} kB -> {rss_kb(pid)} kB, "
          f"CPU {cpu_s(pid) - cpu0:.2f} s; set lines: {lines[:3] or 'none'}")


def deltas(agent, sender, pid, count):
    rss0, cpu0 = rss_kb(pid), cpu_s(pid)
    t0 = time.monotonic()
    for i in range(0, count, PER_FRAME):
        sender.blob(control_tlv(FIRST) + b"".join(v6(k) for k in range(i, min(i + PER_FRAME, count))))
        if i % (PER_FRAME * 20) == 0:
            time.sleep(0.001)
    while route_count(6) < count and time.monotonic() - t0 < 600:
        time.sleep(0.2)
    print(f"{count} prefixes as {(count + PER_FRAME - 1) // PER_FRAME} deltas: {route_count(6)} routes after "
          f"{time.monotonic() - t0:.1f} s, agent CPU {cpu_s(pid) - cpu0:.2f} s, RSS {rss0} kB -> {rss_kb(pid)} kB")


def main():
    prefix = (ROOT / (sys.argv[1] if len(sys.argv) > 1 else "build-bench") / "stage").resolve()
    open_count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000000
    delta_count = int(sys.argv[3]) if len(sys.argv) > 3 else 400000
    in_box(prefix, lambda a, s, pid: open_set(a, s, pid, open_count))
    in_box(prefix, lambda a, s, pid: deltas(a, s, pid, delta_count))


if __name__ == "__main__":
    main()
