"""Host agent benchmark, run by hand inside private sandboxes:

    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARVIK_BENCH=ON -DTARVIK_TESTS=OFF
    cmake --build build-bench -j2 && cmake --install build-bench --prefix build-bench/stage
    /usr/bin/python3 bench/host_bench.py build-bench [runs] [--tools DIR] [--only PART ...]

BUILD/stage is the installed agent; --tools names the directory of route_insert and route_watch
(default BUILD/bench). The parts, in the order they run:

resync: for IPv4 /24 and IPv6 /64 prefixes at MTU 1500 and 9000, a 200000-prefix periodic set sent
back to back on one uplink of two, timed from the first frame sent to the agent's line saying the
last route is in the kernel (polled every 5 ms), with the agent's own split between deciding and the
kernel, and the agent's resident memory before and after, per declared prefix (median of `runs`, 3).

delta: the latency of one delta, from sending a frame that adds or withdraws one prefix to the
kernel's route notification for the agent's table (median and 99th percentile over 1000 changes).

sets: the agent's CPU time per whole set from one neighbour at MTU 1500, holding 25000 and 200000
IPv4 prefixes (--max-prefixes 250000, so that a set one prefix larger is taken): the same set again,
a set that differs from the previous one in one prefix in the middle of the set (which moves every
later prefix to another frame) or at its end (sets alternate between the two), for comparison a
delta of one prefix, and a set of which every prefix differs from the previous one (each costs as
many removals as additions in the kernel). Every frame has TTL 120, as a switch sends them. A change
is sent once the agent is idle after the one before, as when sets come an interval apart; the same
set again goes back to back, and so do deltas in one more row: one that declares a prefix again
before the agent has read the kernel's notification of its removal. The CPU time is the
sum_exec_runtime of /proc/PID/schedstat (nanoseconds; utime + stime of /proc/PID/stat, in clock
ticks, as a check) over a batch of sets, from an idle agent to an idle agent: the agent is idle when
it waits in ppoll and its LLDP sockets hold no frame, and at the end of a batch when it has also
used no CPU for 100 ms (so that work it set a timer for counts in the batch that caused it). Sets go
back to back while the agent's socket holds under 16 MiB. Every kind runs once in each of 7 rounds
(every prefix different: in 3 at 200000 prefixes), the rounds' median is given with their range;
after every prefix changed the next round waits (0.5 s, 2 s), lest the kernel's deferred freeing of
the old routes be charged to the next kind. Per set and per frame: the CPU time, and the agent's own
"to decide" and "for the kernel" milliseconds summed from its lines (it runs with -v for them: one
more syslog line per change).

install: a 25000-prefix IPv4 set declared on one uplink of two, so that the agent installs 25000
routes through the other uplink's gateway in its table, against the same routes (table 250, protocol
241, unicast, scope universe, RTA_TABLE, RTA_DST, RTA_GATEWAY and RTA_OIF, NLM_F_CREATE |
NLM_F_REPLACE) put in by route_insert over one netlink socket in 64 KiB pieces. Both are timed to the
kernel's notification of the last route, which route_watch timestamps with CLOCK_MONOTONIC (sampling 1
route in 256 and the last one): the agent from just before the last frame of the set is sent,
route_insert from just before it builds its first message. route_insert runs after the agent was
killed, under the policy rules, uplink groups and throw routes it left; once as it is, once beside a
socket in the route groups whose filter drops everything, as the agent's monitor is (the kernel's
cost of that listener). The agent and route_insert run at real-time priority, the watcher above them:
on a machine shared with other work the times are then mostly those of the work, not of waits for a
CPU. The three in turn, 21 times (the agent started afresh each time); the routes are removed between
runs. Medians, the median of the runs' ratios, that of the fastest runs, and the CPU time of the agent
(from the last frame until it is idle) and of route_insert. The agent's lines give its own split
between deciding and the kernel.

"steal" is the share of the machine's CPU time that the hypervisor gave to others during a part: it
lengthens wall times, and counts in no task's CPU time.
"""

import argparse
import ctypes
import ipaddress
import json
import os
import platform
import re
import socket
import statistics
import struct
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tests" / "tallowhost"))

from sandbox import Sandbox  # noqa: E402
from host_helpers import TABLE, UPLINKS, add_uplinks, route_count, start_agent  # noqa: E402
from lldp_frames import OUI, delta_blob, lldp_frame, periodic_blobs, prefix_tlv, tlv  # noqa: E402
from rack_bench import RouteWatch  # noqa: E402

COUNT = 200000
SET_SIZES = (25000, 200000)
ROUNDS = 7
INSTALL_COUNT = 25000
INSTALL_RUNS = 21
# The installations run at this real-time priority, the watcher above them: on a machine shared with
# other work, the times are then those of the work itself rather than of its waits for a CPU.
MEASURED_PRIORITY = 10
PPOLL = {"x86_64": "271", "aarch64": "73"}[platform.machine()]
WINDOW_BYTES = 16 << 20  # frames queued for the agent before the next set goes
CLOCK_TICK_MS = 1000 / os.sysconf("SC_CLK_TCK")


def agent_pid():
    """The agent's PID in the sandbox's PID namespace, whose /proc this process sees, found by name."""
    return next(p.name for p in Path("/proc").iterdir()
                if p.name.isdigit() and (p / "comm").read_text().strip() == "tallowhost")


def rss_kb():
    """The agent's resident set."""
    for line in Path(f"/proc/{agent_pid()}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def cpu_ns(pid):
    """The task's CPU time in nanoseconds (sum_exec_runtime) and utime + stime in clock ticks."""
    ns = int(Path(f"/proc/{pid}/schedstat").read_text().split()[0])
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return ns, int(fields[11]) + int(fields[12])


def steal():
    """The machine's steal time and all its CPU time so far (clock ticks, /proc/stat): time the
    hypervisor gave to others, which lengthens wall times but is not counted as any task's CPU."""
    ticks = [int(x) for x in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    return ticks[7], sum(ticks[:8])


def steal_share(since):
    now = steal()
    return 100 * (now[0] - since[0]) / max(1, now[1] - since[1])


def queued_bytes(pid, ifindex):
    """Bytes waiting in the LLDP sockets bound to the link, as the agent's namespace lists them (Rmem of
    /proc/PID/net/packet: this process has no PID of its own in the sandbox's /proc)."""
    total = 0
    for line in Path(f"/proc/{pid}/net/packet").read_text().splitlines()[1:]:
        f = line.split()
        if int(f[4]) == ifindex and f[3].lower() == "88cc":
            total += int(f[6])
    return total


def agent_idle(pid, ifindex):
    return Path(f"/proc/{pid}/syscall").read_text().split()[0] == PPOLL and queued_bytes(pid, ifindex) == 0


def settle(pid, ifindex, quiet=0.0, timeout=120.0):
    """Returns once the agent has taken every frame sent and waits for more, seen twice 2 ms apart;
    with `quiet`, once it has also used no CPU for that many seconds (work it set a timer for, such as
    a comparison of its table with the kernel's 20 ms after a notification, is done)."""
    deadline = time.monotonic() + timeout
    while True:
        if agent_idle(pid, ifindex):
            time.sleep(0.002)
            if agent_idle(pid, ifindex):
                if not quiet:
                    return
                used = cpu_ns(pid)[0]
                time.sleep(quiet)
                if agent_idle(pid, ifindex) and cpu_ns(pid)[0] == used:
                    return
        if time.monotonic() > deadline:
            raise AssertionError(f"the agent did not become idle within {timeout:g} s")
        time.sleep(0.001)


class LogTail:
    """The agent's log lines recorded since the last call."""

    def __init__(self, box):
        self.path = box.syslog._path
        self.offset = 0

    def new(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        end = data.rfind(b"\n") + 1
        self.offset += end
        out = []
        for row in data[:end].splitlines():
            rec = json.loads(row)
            if rec["ident"] == "tallowhost":
                out.append(rec["message"])
        return out


DECIDE = re.compile(r"^route: ha: (\d+) ms to decide, (\d+) ms for the kernel")


def v4_tlv(n, plen=24):
    """The prefix TLV of 10.0.0.0 + n * 256 (a /24 for every n), as prefix_tlv builds it."""
    return tlv(127, OUI + bytes([1, plen, 0, 0]) + ((10 << 24) + (n << 8)).to_bytes(4, "big"))


def tlvs(family):
    if family == 4:
        return [v4_tlv(i) for i in range(COUNT)]
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


def resync(prefix, runs):
    for family in (4, 6):
        prefixes = tlvs(family)
        for mtu in (1500, 9000):
            results = [one_run(prefix, family, mtu, prefixes) for _ in range(runs)]
            totals = [r[2] for r in results]
            frames, sent, _, split, before, after, dropped = results[totals.index(statistics.median(totals))]
            print(f"IPv{family} MTU {mtu}: {frames} frames sent in {sent:.3f} s; first frame to last route: "
                  f"median {statistics.median(totals):.3f} s (min {min(totals):.3f}, max {max(totals):.3f}) "
                  f"over {runs} runs; [{split}]; RSS {before} kB -> {after} kB, "
                  f"{(after - before) * 1024 / COUNT:.0f} bytes per prefix; dropped frames {dropped}", flush=True)


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
        median, p99 = statistics.median(samples), samples[int(len(samples) * 0.99) - 1]
        print(f"one-prefix delta, frame sent to route notification: median {median:.3f} ms, p99 {p99:.3f} ms",
              flush=True)
    finally:
        box.leave()


def set_frames(sender, tlv_list):
    return [lldp_frame(sender.chassis, sender.port_id, 120, b) for b in periodic_blobs(tlv_list, 1500)]


def set_costs(prefix, n):
    """Agent CPU per set and per frame while one neighbour holds n prefixes; see the docstring."""
    stolen = steal()
    box = Sandbox()
    box.prefix = prefix
    box.enter()
    try:
        args, senders = add_uplinks(box, "ab")
        sender = senders["a"]
        ifindex = box.ifindex("ha")
        agent = start_agent(box, args + ["-v", "--max-prefixes", "250000"])
        pid = agent_pid()
        log = LogTail(box)
        # The set: every other /24, so that a prefix can go between any two of its neighbours.
        base = [v4_tlv(2 * i) for i in range(n)]
        half = n // 2
        base_f = set_frames(sender, base)
        middle_f = set_frames(sender, base[:half] + [v4_tlv(2 * half - 1)] + base[half:])
        end_f = set_frames(sender, base + [v4_tlv(2 * n)])
        other_f = set_frames(sender, [v4_tlv(2 * i + 1) for i in range(n)])
        extra = str(ipaddress.IPv4Network(((10 << 24) + ((2 * n + 1) << 8), 24)))
        add_f = [lldp_frame(sender.chassis, sender.port_id, 120, delta_blob(added=[extra]))]
        withdraw_f = [lldp_frame(sender.chassis, sender.port_id, 120, delta_blob(withdrawn=[extra]))]

        def phase(sets, paced=True):
            settle(pid, ifindex, quiet=0.1)
            log.new()
            ns0, ticks0 = cpu_ns(pid)
            frames = 0
            for fs in sets:
                while queued_bytes(pid, ifindex) > WINDOW_BYTES:
                    time.sleep(0.0005)
                for f in fs:
                    sender.raw(f)
                frames += len(fs)
                if paced:
                    settle(pid, ifindex)
            settle(pid, ifindex, quiet=0.1)
            ns1, ticks1 = cpu_ns(pid)
            lines = log.new()
            decide = kernel = 0
            for m in lines:
                if g := DECIDE.match(m):
                    decide += int(g[1])
                    kernel += int(g[2])
            dropped = [m for m in lines if "dropped by the kernel" in m or "discarded" in m]
            if dropped:
                raise AssertionError(f"frames lost: {dropped[:3]}")
            return {"sets": len(sets), "frames": frames, "ns": ns1 - ns0, "ticks": ticks1 - ticks0,
                    "decide": decide, "kernel": kernel}

        small = n <= 25000
        # After many route changes the kernel goes on freeing what they replaced (RCU callbacks, in
        # the soft interrupts of whichever task runs, the agent's too): the next kind waits this long.
        quiet_s = 0.5 if small else 2.0
        phase([base_f])  # the first set installs the routes
        assert route_count(4) == n
        time.sleep(quiet_s)
        # Each kind of set in turn, in rounds, so that changes of the machine's load weigh on all alike;
        # each ends with the base set in place.
        # A change goes once the agent is done with the one before, as when a switch's sets are an
        # interval apart; the same set again goes back to back, and so does the last kind: a prefix
        # withdrawn and declared again before the agent reads the kernel's notice of the removal.
        plan = [
            ("same set again", [base_f] * (40 if small else 4), False),
            ("one prefix more/less, middle", [middle_f, base_f] * (20 if small else 2), True),
            ("one prefix more/less, end", [end_f, base_f] * (20 if small else 2), True),
            ("delta of one prefix", [add_f, withdraw_f] * 100, True),
            ("delta, back to back", [add_f, withdraw_f] * 100, False),
            ("every prefix different", [other_f, base_f], True),
        ]
        rows = {name: [] for name, _, _ in plan}
        for r in range(ROUNDS):
            for name, sets, paced in plan:
                if name == "every prefix different":
                    if not small and r % 3:
                        continue  # 2 s each at 200000
                    rows[name].append(phase(sets))
                    time.sleep(quiet_s)
                else:
                    rows[name].append(phase(sets, paced))
        assert route_count(4) == n
        agent.stop()
    finally:
        box.leave()
    print(f"Agent CPU per set, {n} IPv4 prefixes from one neighbour at MTU 1500 ({len(base_f)} frames a set), "
          f"median of {ROUNDS} rounds (the sum of all as a check); steal {steal_share(stolen):.0f}%:")
    print(f"  {'':29} {'sets':>5} {'ms/set':>9} {'rounds min-max':>17} {'us/frame':>9} {'all ms/set':>10} "
          f"{'stat ms/set':>11} {'decide ms':>9} {'kernel ms':>9}")
    per_frame, per_set = {}, {}
    for name, rs in rows.items():
        total = {k: sum(r[k] for r in rs) for k in rs[0]}
        per_round = [r["ns"] / r["sets"] for r in rs]
        per_set[name] = statistics.median(per_round)
        per_frame[name] = statistics.median(r["ns"] / r["frames"] for r in rs)
        spread = f"{min(per_round) / 1e6:.3f}-{max(per_round) / 1e6:.3f}"
        print(f"  {name:29} {total['sets']:5} {per_set[name] / 1e6:9.3f} {spread:>17} {per_frame[name] / 1e3:9.2f} "
              f"{total['ns'] / 1e6 / total['sets']:10.3f} {total['ticks'] * CLOCK_TICK_MS / total['sets']:11.2f} "
              f"{total['decide'] / total['sets']:9.2f} {total['kernel'] / total['sets']:9.2f}")
    same = per_frame["same set again"]
    print(f"  per frame, same set against every prefix different: 1/{per_frame['every prefix different'] / same:.1f}, "
          f"against one prefix in the middle: 1/{per_frame['one prefix more/less, middle'] / same:.1f}, at the end: "
          f"1/{per_frame['one prefix more/less, end'] / same:.1f}")
    delta = per_set["delta of one prefix"]
    print(f"  per set, one prefix in the middle / one delta: {per_set['one prefix more/less, middle'] / delta:.1f}, "
          f"at the end / one delta: {per_set['one prefix more/less, end'] / delta:.1f}", flush=True)


class Watch(RouteWatch):
    """route_watch over the sandbox's namespace, sampling: when each sampled change arrived (ns), and
    the benchmark's routes the sample holds."""

    def __init__(self, box, program):
        self.ours = set()
        super().__init__(box, program, ["1"], priority=MEASURED_PRIORITY + 10)

    def changed(self, host, t, change):
        super().changed(host, t, change)
        if change[1:].startswith("10."):  # the benchmark's, not the throw routes
            (self.ours.add if change[0] == "+" else self.ours.discard)(change[1:])

    def arrival(self, change, since, count, what):
        """The time of `change` once it has arrived after `since` and the sample holds `count` of the
        benchmark's routes."""
        def arrived():
            if self.overflow:
                raise RuntimeError("route_watch: notifications lost")
            return self.seen[0].get(change, 0) >= since and len(self.ours) == count
        self._until(arrived, 30.0, what)
        return self.seen[0][change]


def quiet_listener():
    """A route netlink socket in the IPv4 and IPv6 route groups whose filter drops every message: the
    kernel's cost of one more listener, as the agent's own monitor is (its filter drops the
    notifications of its own changes)."""
    sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 0)
    code = ctypes.create_string_buffer(struct.pack("HBBI", 0x06, 0, 0, 0))  # BPF_RET | BPF_K, 0
    sock.setsockopt(socket.SOL_SOCKET, 26, struct.pack("HxxxxxxP", 1, ctypes.addressof(code)))  # SO_ATTACH_FILTER
    sock.bind((0, 0x40 | 0x400))  # RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE
    return sock, code


def install_times(prefix, tools, runs):
    """Last frame to last route for the agent, start to last route for route_insert; see the docstring."""
    # 10.0.89.0/24 .. 10.98.0.0/24: the last, the greatest, is in route_watch's sample, as is 1 in 256.
    first = 89
    nums = range(first, first + INSTALL_COUNT)
    last = "10.98.0.0/24"
    assert str(ipaddress.IPv4Network(((10 << 24) + (nums[-1] << 8), 24))) == last
    sample = sum(1 for i in nums if i % 256 == 0)
    stolen = steal()
    box = Sandbox()
    box.prefix = prefix
    box.enter()
    times = {"agent": [], "route_insert": [], "route_insert, one more listener": []}
    acked, lines, whole = [], [], []
    try:
        args, senders = add_uplinks(box, "ab")
        sender = senders["a"]
        ifindex = box.ifindex("ha")
        watch = Watch(box, tools / "route_watch")
        log = LogTail(box)
        frames = set_frames(sender, [v4_tlv(i) for i in nums])
        table = Path(box._base) / "prefixes"
        table.write_text("".join(str(ipaddress.IPv4Network(((10 << 24) + (i << 8), 24))) + "\n" for i in nums))

        def delete():
            t = time.monotonic_ns()
            r = box.run([tools / "route_insert", "--table", str(TABLE), "--delete", table])
            if r.returncode != 0:
                raise AssertionError(f"route_insert --delete: {r.stdout} {r.stderr}")
            watch.arrival("-" + last, t, 0, "the removal")

        def plain():
            t = time.monotonic_ns()
            r = box.run(["chrt", "-f", str(MEASURED_PRIORITY), tools / "route_insert", "--table", str(TABLE),
                         "--via", UPLINKS["b"][1], "--dev", "hb", table])
            if r.returncode != 0:
                raise AssertionError(f"route_insert: {r.stdout} {r.stderr}")
            start, end, cpu_ns_used, routes, refused = map(int, r.stdout.split())
            assert routes == INSTALL_COUNT and refused == 0
            arrived = watch.arrival("+" + last, t, sample, "route_insert's last route")
            assert route_count(4) == INSTALL_COUNT
            delete()
            acked.append((end - start) / 1e6)
            return (arrived - start) / 1e6, cpu_ns_used / 1e6

        # Each in turn, so that the load of the machine weighs on all alike. The agent is killed, so
        # that route_insert works under its policy rules, uplink groups and throw routes (a running agent
        # would remove route_insert's routes), and starts afresh each time.
        for _ in range(runs):
            log.new()
            agent = start_agent(box, args + ["-v"])
            os.sched_setscheduler(agent.proc.pid, os.SCHED_FIFO, os.sched_param(MEASURED_PRIORITY))
            pid = agent_pid()
            cpu0 = cpu_ns(pid)[0]
            for f in frames[:-1]:
                sender.raw(f)
            # Taken before the last frame goes: the agent, at real-time priority, may take this CPU
            # from the moment the frame arrives until its routes are in.
            cpu_last = cpu_ns(pid)[0]
            t_last = time.monotonic_ns()
            sender.raw(frames[-1])
            arrived = watch.arrival("+" + last, t_last, sample, "the agent's last route")
            settle(pid, ifindex)
            cpu_end = cpu_ns(pid)[0]
            times["agent"].append(((arrived - t_last) / 1e6, (cpu_end - cpu_last) / 1e6))
            whole.append((cpu_end - cpu0) / 1e6)
            assert route_count(4) == INSTALL_COUNT
            agent.proc.kill()
            agent.proc.wait()
            delete()
            lines.append(next(g for m in log.new() if (g := DECIDE.match(m))))
            times["route_insert"].append(plain())
            listener = quiet_listener()
            times["route_insert, one more listener"].append(plain())
            listener[0].close()
    finally:
        box.leave()
    med = {k: statistics.median(t for t, _ in v) for k, v in times.items()}
    cpu = {k: statistics.median(c for _, c in v) for k, v in times.items()}
    print(f"{INSTALL_COUNT} routes installed, until the kernel's notification of the last one (the agent from "
          f"the last of {len(frames)} frames sent, route_insert from its first message built); median (min, max) "
          f"of {runs}, and the CPU time of the agent or of route_insert in that time; steal "
          f"{steal_share(stolen):.0f}%:")
    for k in times:
        walls = [t for t, _ in times[k]]
        print(f"  {k:32} {med[k]:6.1f} ms ({min(walls):.1f}, {max(walls):.1f}), CPU {cpu[k]:5.1f} ms")
    print(f"  the agent's lines: {statistics.median(int(g[1]) for g in lines):.0f} ms to decide, "
          f"{statistics.median(int(g[2]) for g in lines):.0f} ms for the kernel; its CPU time for the whole set "
          f"{statistics.median(whole):.1f} ms; route_insert to its last acknowledgement "
          f"{statistics.median(acked):.1f} ms")
    ratios = [a[0] / p[0] for a, p in zip(times["agent"], times["route_insert"])]
    best = min(t for t, _ in times["agent"]) / min(t for t, _ in times["route_insert"])
    print(f"  agent / route_insert: {med['agent'] / med['route_insert']:.2f} (median of the runs' ratios "
          f"{statistics.median(ratios):.2f}, of the fastest runs {best:.2f}), CPU "
          f"{cpu['agent'] / cpu['route_insert']:.2f}", flush=True)


PARTS = ("resync", "delta", "sets", "install")


def main():
    ap = argparse.ArgumentParser(description="host agent benchmark (see the module's docstring)")
    ap.add_argument("build", nargs="?", default="build-bench")
    ap.add_argument("runs", nargs="?", type=int, default=3)
    ap.add_argument("--tools", help="directory of route_insert and route_watch (default BUILD/bench)")
    ap.add_argument("--only", nargs="+", choices=PARTS, default=PARTS)
    args = ap.parse_args()
    build = (ROOT / args.build).resolve()
    prefix = build / "stage"
    tools = Path(args.tools).resolve() if args.tools else build / "bench"
    if "resync" in args.only:
        resync(prefix, args.runs)
    if "delta" in args.only:
        delta_latency(prefix)
    if "sets" in args.only:
        for n in SET_SIZES:
            set_costs(prefix, n)
    if "install" in args.only:
        install_times(prefix, tools, INSTALL_RUNS)


if __name__ == "__main__":
    main()
