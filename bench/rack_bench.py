"""Rack-scale benchmark, run by hand inside a private sandbox:

    /usr/bin/python3 bench/rack_bench.py build-bench [--hosts N] [--changes N] [--zebra N] [--resyncs N]
                                         [--prefixes N] [--only quiet|loaded]

Two switches, each with tallowd and the transmitting lldpd stand-in, above N hosts (16), each in
namespaces of its own with an uplink to each switch and its own tallowhost. One run measures, first on the
machine as it is ("quiet") and then with both cores loaded by two busy loops that the bench starts and
stops itself ("loaded"), each time from the routing suite's call on switch A to the route change in every
host's table 250:

- single: one prefix declared or withdrawn through tallowctl (the changes alternate);
- zebra: zebra reported down on A (mesractl) until every host has 0/0 and ::/0 in its table, steered;
- resync: a resynchronisation of 25000 prefixes (half IPv4, half IPv6) at MTU 1500 through tallowctl until
  the last host's table holds them all;
- the agents' CPU time (per phase) and resident memory, per host.

Each is given as median, 99th percentile and maximum: over the changes for the slowest host of each
change, and over the hosts for CPU and memory. Route changes are seen by route_watch (real-time
priority), which follows table 250's destination prefixes in every host's namespace and stamps each read
with CLOCK_MONOTONIC; the bench takes its start time from the same clock just before the call. The
resync is timed by the arrival of route_watch's sample of the set (1 in 256) and each table is then
counted whole from a dump. The load average and the
machine's CPU use during each phase are printed with it.
"""

import argparse
import ipaddress
import json
import os
import statistics
import subprocess
import sys
import select
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tests" / "tallowhost"))

from sandbox import Sandbox  # noqa: E402
from topology import TABLE, rack  # noqa: E402

HOLDDOWN_S = 0.15  # past the 100 ms holddown, so the next change starts from a quiet relay
BUSY_LIMIT_S = 900  # a busy loop ends by itself after this long at most
PACING = 0.15
# route_watch passes only a sample of the routes (see there): default routes, and the prefixes whose
# address byte 2 (IPv4) or 7 (IPv6) is 0 under this mask, 1 in 256 of the resync's set.
SAMPLE_MASK = 0xFF


def sampled(prefix):
    addr = ipaddress.ip_network(prefix).network_address.packed
    return prefix.endswith("/0") or not addr[2 if len(addr) == 4 else 7] & SAMPLE_MASK


class RouteWatch:
    """route_watch over every host's namespace: per host, when each change of the sample arrived. (Read in this thread: a process that has left its PID namespace cannot start threads.)"""

    def __init__(self, box, program, spaces):
        self.hosts = len(spaces)
        # Real-time priority: the measuring process must not add its own wait for a CPU to the figures
        # (under load it waited up to 80 ms at normal priority); it uses little CPU.
        self.proc = box.spawn(["chrt", "-f", "10", program, "--table", TABLE, "--sample", SAMPLE_MASK,
                               *[ns.pid for ns in spaces]], stdout=subprocess.PIPE)
        self.fd = self.proc.stdout.fileno()
        os.set_blocking(self.fd, False)
        self.pending = b""
        self.seen = [{} for _ in spaces]      # "+PREFIX" / "-PREFIX" -> time of its latest arrival
        self.overflow = False
        self.ready = False
        self._until(lambda: self.ready, 10, "route_watch watching")

    def _pump(self, timeout):
        if not select.select([self.fd], [], [], max(0.0, timeout))[0]:
            return
        data = os.read(self.fd, 1 << 20)
        if not data:
            raise RuntimeError(f"route_watch ended: {self.proc.stderr.read()}")
        lines = (self.pending + data).split(b"\n")
        self.pending = lines.pop()
        for raw in lines:
            words = raw.decode().split()
            if words[0] == "watching":
                self.inner_pid = int(words[2])
                self.ready = True
                continue
            host, t = int(words[0]), int(words[1])
            if words[2] == "overflow":
                self.overflow = True
                continue
            for change in words[4:]:
                self.seen[host][change] = t

    def _until(self, done, timeout, what):
        deadline = time.monotonic() + timeout
        while not done():
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"{what}: not within {timeout}s")
            self._pump(left)

    def wait_changes(self, changes, since, timeout=20.0):
        """Per host, the time (ns) by which every one of `changes` had arrived after `since`."""
        def arrived(h):
            return all(self.seen[h].get(c, 0) >= since for c in changes)
        try:
            self._until(lambda: all(arrived(h) for h in range(self.hosts)), timeout,
                        f"{len(changes)} changes ({' '.join(changes[:4])}...)")
        except AssertionError as e:
            raise AssertionError(f"{e}; missing at hosts {[h for h in range(self.hosts) if not arrived(h)]}")
        return [max(self.seen[h][c] for c in changes) for h in range(self.hosts)]


def stats(values):
    values = sorted(values)
    return statistics.median(values), values[min(len(values) - 1, int(len(values) * 0.99))], values[-1]


def cpu_ticks():
    """(busy, total) jiffies of the whole machine, from /proc/stat."""
    fields = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields) - idle, sum(fields)


class Phase:
    """The machine's load around one phase: load averages and the share of CPU time busy."""

    def __init__(self):
        self.load_start = Path("/proc/loadavg").read_text().split()[:3]
        self.ticks = cpu_ticks()

    def end(self):
        busy, total = cpu_ticks()
        share = (busy - self.ticks[0]) / max(1, total - self.ticks[1])
        load = Path("/proc/loadavg").read_text().split()[:3]
        return f"load {' '.join(self.load_start)} -> {' '.join(load)}, machine {share * 100:.0f}% busy"


def cpu_ns(pid):
    """CPU time (user and system) of a process so far."""
    return int(Path(f"/proc/{pid}/schedstat").read_text().split()[0])


def agent_usage(hosts):
    """Per host: (CPU ns so far, VmRSS kB, VmHWM kB) of its agent."""
    out = []
    for h in hosts:
        pid = h.agent.inner_pid
        cpu = cpu_ns(pid)
        status = dict(l.split(":", 1) for l in Path(f"/proc/{pid}/status").read_text().splitlines() if ":" in l)
        out.append((cpu, int(status["VmRSS"].split()[0]), int(status["VmHWM"].split()[0])))
    return out


def line(name, values, unit, fmt="{:.2f}"):
    med, p99, mx = stats(values)
    print(f"  {name:<44} median {fmt.format(med)} {unit}, p99 {fmt.format(p99)} {unit}, "
          f"max {fmt.format(mx)} {unit}  (n={len(values)})", flush=True)


class Trace:
    """With --trace: per change, each host's latency and, per process on the way, the CPU time it used
    and the time it spent runnable but waiting for a CPU (run_delay of /proc/PID/schedstat)."""

    def __init__(self, path, procs):
        self.out = open(path, "a") if path else None
        self.procs = procs  # name -> pid

    def snap(self):
        if not self.out:
            return None
        snap = {}
        for name, pid in self.procs.items():
            exec_ns, delay_ns, _ = Path(f"/proc/{pid}/schedstat").read_text().split()
            snap[name] = (int(exec_ns), int(delay_ns))
        return snap

    def record(self, kind, before, latencies):
        if not self.out:
            return
        after = self.snap()
        procs = {k: [round((after[k][0] - before[k][0]) / 1e6, 3), round((after[k][1] - before[k][1]) / 1e6, 3)]
                 for k in after}
        self.out.write(json.dumps({"kind": kind, "ms": [round(l, 3) for l in latencies], "cpu_wait_ms": procs}) + "\n")


def run_single(a, watch, changes, trace):
    slowest, every = [], []
    for i in range(changes):
        prefix = f"10.{i // 2 % 256}.0.0/24"  # in route_watch's sample
        before = trace.snap()
        start = time.monotonic_ns()
        if i % 2 == 0:
            a.declare(prefix)
        else:
            a.withdraw(prefix)
        times = watch.wait_changes([("+" if i % 2 == 0 else "-") + prefix], start)
        lat = [(t - start) / 1e6 for t in times]
        trace.record("declare" if i % 2 == 0 else "withdraw", before, lat)
        slowest.append(max(lat))
        every += lat
        time.sleep(PACING)
    return slowest, every


def run_zebra(a, watch, rounds, trace):
    slowest = []
    for _ in range(rounds):
        go = a.zebra_call(2)
        time.sleep(0.05)  # the mesractl process is started and waiting for its go
        before = trace.snap()
        start = time.monotonic_ns()
        go()
        times = watch.wait_changes(["+0.0.0.0/0", "+::/0"], start)
        trace.record("zebra", before, [(t - start) / 1e6 for t in times])
        slowest.append(max((t - start) / 1e6 for t in times))
        # Back to normal: zebra up again and the routing suite withdraws the injected default routes.
        a.zebra(1)
        back = time.monotonic_ns()
        a.withdraw("0.0.0.0/0", "::/0")
        watch.wait_changes(["-0.0.0.0/0", "-::/0"], back)
        time.sleep(PACING)
    return slowest


def table_size(host):
    return sum(len(host.run("ip", f"-{family}", "route", "show", "table", str(TABLE)).stdout.splitlines())
               for family in (4, 6))


def run_resync(a, hosts, watch, rounds, listing, empty, epoch):
    """The time until the last (and the first) host's table holds the whole set, seen by the arrival of
    route_watch's sample of it; a dump of each table afterwards checks that it is whole."""
    slowest, fastest = [], []
    prefixes = listing.read_text().split()
    sample = [str(ipaddress.ip_network(p)) for p in prefixes if sampled(p)]  # as route_watch writes them
    for _ in range(rounds):
        start = time.monotonic_ns()
        epoch += 1
        a.ctl(f"sync --vrf 1 --epoch {epoch} {listing}")
        times = watch.wait_changes([f"+{p}" for p in sample], start, timeout=60)
        slowest.append(max((t - start) / 1e6 for t in times))
        fastest.append(min((t - start) / 1e6 for t in times))
        sizes = [table_size(h) for h in hosts]
        if any(n != len(prefixes) for n in sizes):
            print(f"  resync: tables of {sizes} routes, not {len(prefixes)}, once the sample was complete")
        start = time.monotonic_ns()
        epoch += 1
        a.ctl(f"sync --vrf 1 --epoch {epoch} {empty}")
        watch.wait_changes([f"-{p}" for p in sample], start, timeout=60)
        time.sleep(PACING)
    return slowest, fastest, epoch


def busy_loops(box, seconds):
    code = f"import time\nend = time.monotonic() + {seconds}\nwhile time.monotonic() < end:\n    pass\n"
    return [box.spawn(["/usr/bin/python3", "-c", code], stdout=subprocess.DEVNULL) for _ in range(2)]


def phase(name, box, a, b, hosts, watch, args, listing, empty, epoch):
    print(f"{name}:", flush=True)
    loops = busy_loops(box, BUSY_LIMIT_S) if name == "loaded" else []
    try:
        if loops:
            time.sleep(1)  # let the loops take the cores
        load = Phase()
        others = {"tallowd A": a.daemon.inner_pid, "stand-in A": a.standin.inner_pid,
                  "tallowd B": b.daemon.inner_pid, "stand-in B": b.standin.inner_pid, "route_watch": watch.inner_pid}
        other_cpu = lambda: {k: cpu_ns(pid) for k, pid in others.items()}
        a.ctl("sleep 0")  # the routing suite's connection is open
        tallowctl = next(int(d.name) for d in Path("/proc").iterdir()
                         if d.name.isdigit() and (d / "comm").read_text().strip() == "tallowctl")
        trace = Trace(args.trace and f"{args.trace}.{name}", {
            "tallowctl": tallowctl, "tallowd A": a.daemon.inner_pid, "stand-in A": a.standin.inner_pid,
            **{f"agent {i}": h.agent.inner_pid for i, h in enumerate(hosts)}, "route_watch": watch.inner_pid})
        before, o_before = agent_usage(hosts), other_cpu()
        slowest, every = run_single(a, watch, args.changes, trace)
        after_single, o_single = agent_usage(hosts), other_cpu()
        zebra = run_zebra(a, watch, args.zebra, trace)
        after_zebra, o_zebra = agent_usage(hosts), other_cpu()
        resync, resync_first, epoch = run_resync(a, hosts, watch, args.resyncs, listing, empty, epoch)
        after, o_after = agent_usage(hosts), other_cpu()
        print(f"  [{load.end()}]")
    finally:
        for p in loops:
            p.kill()
            p.wait()
    line("single prefix, slowest host per change", slowest, "ms")
    line("single prefix, every host", every, "ms")
    line("zebra down until all hosts steer", zebra, "ms")
    line(f"resync of {args.prefixes} until the last host holds it", resync, "ms", "{:.0f}")
    line(f"resync of {args.prefixes} until the first host holds it", resync_first, "ms", "{:.0f}")
    cpu = lambda x, y: [(b[0] - a_[0]) / 1e6 for a_, b in zip(x, y)]
    line(f"agent CPU per host, {args.changes} single changes", cpu(before, after_single), "ms")
    line(f"agent CPU per host, {args.zebra} zebra rounds", cpu(after_single, after_zebra), "ms")
    line(f"agent CPU per host, {args.resyncs} resyncs (fill and empty)", cpu(after_zebra, after), "ms", "{:.0f}")
    line("agent resident memory per host (VmRSS)", [u[1] / 1024 for u in after], "MiB")
    line("agent peak resident memory per host (VmHWM)", [u[2] / 1024 for u in after], "MiB")
    for what, x, y in (("single changes", o_before, o_single), ("zebra rounds", o_single, o_zebra),
                       ("resyncs", o_zebra, o_after)):
        print(f"  CPU of the others in the {what}: " + ", ".join(f"{k} {(y[k] - x[k]) / 1e6:.0f} ms" for k in x))
    return epoch


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default="build")
    ap.add_argument("--hosts", type=int, default=16)
    ap.add_argument("--changes", type=int, default=200)
    ap.add_argument("--zebra", type=int, default=20)
    ap.add_argument("--resyncs", type=int, default=5)
    ap.add_argument("--prefixes", type=int, default=25000)
    ap.add_argument("--only", choices=("quiet", "loaded"))
    ap.add_argument("--trace", metavar="FILE", help="per change, latencies and CPU and run-queue waits, to FILE.PHASE")
    args = ap.parse_args()
    build = (ROOT / args.build).resolve()
    os.environ["TARVIK_PREFIX"] = str(build / "stage")
    with Sandbox() as box:
        run(box, build, args)


def run(box, build, args):
    box.write("/etc/tarvik/tallowd.conf", f"max-unreachable-prefix = {max(args.prefixes, 25000)}\n")
    a, b, hosts = rack(box, args.hosts, standin_args=("--quiet",))
    watch = RouteWatch(box, build / "bench" / "route_watch", [h.ns for h in hosts])
    half = args.prefixes // 2
    listing = box._base / "resync.txt"
    listing.write_text("".join(f"{11 + i // 65536}.{i // 256 % 256}.{i % 256}.0/24\n" for i in range(half)) +
                       "".join(f"2001:db8:{i // 65536:x}:{i % 65536:x}::/64\n" for i in range(args.prefixes - half)))
    empty = box._base / "empty.txt"
    empty.write_text("")
    print(f"rack: 2 switches, {args.hosts} hosts; {os.cpu_count()} cores", flush=True)
    epoch = 0
    for name in ("quiet", "loaded"):
        if args.only in (None, name):
            epoch = phase(name, box, a, b, hosts, watch, args, listing, empty, epoch)
    if watch.overflow:
        print("route_watch lost notifications: the counts above may be wrong")


if __name__ == "__main__":
    main()
