"""Rack-scale benchmark, run by hand inside a private sandbox:

    /usr/bin/python3 bench/rack_bench.py BUILD [--hosts N] [--changes N] [--held N] [--pace uniform|late]
                                         [--zebra N] [--resyncs N] [--prefixes N] [--only quiet|loaded]
                                         [--route-watch PROGRAM] [--trace FILE]

BUILD is a build directory (relative to the source tree or absolute): the components are taken from its
installed prefix BUILD/stage, route_watch from BUILD/bench/route_watch unless --route-watch names it.

Two switches, each with tallowd and the lldpd stand-in transmitting every second, above N hosts (16), each
in namespaces of its own with an uplink to each switch and its own tallowhost. One run measures, first on
the machine as it is ("quiet") and then with both cores loaded by two busy loops that the bench starts and
stops itself ("loaded"), each time from the routing suite's call on switch A to the route change in every
host's table 250:

- single: one prefix declared or withdrawn through tallowctl (the changes alternate), first with small
  tables and then again with switch A's database holding --held other prefixes (25000; 0 skips it), so
  that each holddown set carries them all;
- zebra: zebra reported down on A (mesractl) until every host has 0/0 and ::/0 in its table, steered;
- resync: a resynchronisation of --prefixes prefixes (25000, half IPv4, half IPv6) at MTU 1500 through
  tallowctl until the last host's table holds them all;
- the agents' CPU time (per phase) and resident memory, per host.

Each is given as median, 99th percentile and maximum: over the changes for the slowest host of each
change, and over the hosts for CPU and memory. Route changes are seen by route_watch (real-time
priority), which follows table 250's destination prefixes in every host's namespace and stamps each read
with CLOCK_MONOTONIC; the bench takes its start time from the same clock just before the call. The
resync is timed by the arrival of route_watch's sample of the set (1 in 256) and each table is then
counted whole from a dump. The load average and the machine's CPU use during each phase are printed
with it.

For the single changes the bench also keeps every route change of the prefix at every host, and checks
that each host's route changed exactly once, as asked. A host whose route changed more than once in one
change is a flap: typically a step back, where a retransmission of the switch's previous set, sent
between the change's immediate delta and the holddown's new set, undoes the delta until the new set
arrives. Per case it prints "flaps: N of M changes" (how many were declares and withdrawals), how many
hosts × changes flapped and the most route changes at one host, the first few flapped changes with their
hosts, and over the flapped hosts the time from the first route change to the step back and from the
step back to the final state. A host left in the wrong state at the end of a change is listed. Each
change's window lasts until 300 ms past both the holddown and the prefix's latest change at any host.
As the stand-in restarts its interval at each new set, the changes are paced against it (--pace):
"uniform" starts each change at a random point of the interval (seeded, so every case meets the same
points; about 1 in 10 falls where a retransmission can step a host back), "late" 30 to 80 ms before the
retransmission of the previous set, where every change but the first is exposed.
"""

import argparse
import ipaddress
import json
import os
import random
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

TX_INTERVAL_S = 1  # the lldpd stand-ins' interval
HOLDDOWN_S = 0.1  # tallowd's holddown: the new whole set follows a change's immediate delta by this much
SETTLE_S = 0.3  # a single change's window stays open this long past the holddown and its latest route change
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

    def __init__(self, box, program, pids, priority=10):
        self.hosts = len(pids)
        # Real-time priority: the measuring process must not add its own wait for a CPU to the figures
        # (under load it waited up to 80 ms at normal priority); it uses little CPU.
        self.proc = box.spawn(["chrt", "-f", str(priority), program, "--table", TABLE, "--sample", SAMPLE_MASK,
                               *pids], stdout=subprocess.PIPE)
        self.fd = self.proc.stdout.fileno()
        os.set_blocking(self.fd, False)
        self.pending = b""
        self.seen = [{} for _ in pids]        # "+PREFIX" / "-PREFIX" -> time of its latest arrival
        self.follow = set()                   # prefixes whose every change is kept, in order, in `log`
        self.log = [[] for _ in pids]         # per host: (time, "+PREFIX" / "-PREFIX") of the followed ones
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
                self.changed(host, t, change)

    def changed(self, host, t, change):
        """One change of the sample at one host, at CLOCK_MONOTONIC time t (ns)."""
        self.seen[host][change] = t
        if change[1:] in self.follow:
            self.log[host].append((t, change))

    def _until(self, done, timeout, what):
        deadline = time.monotonic() + timeout
        while not done():
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"{what}: not within {timeout}s")
            self._pump(left)

    def drain(self, until_ns):
        """Reads what arrives until CLOCK_MONOTONIC reaches until_ns."""
        while (left := until_ns - time.monotonic_ns()) > 0:
            self._pump(left / 1e9)

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
    if not values:
        return
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


def run_single(a, watch, changes, trace, pace, base=10, kind=""):
    """`changes` single changes, declared and withdrawn in turn, each prefix of base.N.0.0/24 twice.

    The stand-in sends a set at once and then again every TX_INTERVAL_S from then on; so each change
    but the first starts when the previous change's new set (its start and the holddown) is `age` old:
    with pace "uniform" at a random point of that interval (age uniform over one interval past the
    window), with "late" 30 to 80 ms before the set's first retransmission, which then falls between the
    change's immediate delta and the holddown's new set.

    Each change's window stays open until SETTLE_S has passed both the holddown and the prefix's latest
    change at any host, so that a host stepped back (its route changed, changed back by a retransmission
    of the old set, and changed again by the holddown's new set) shows whole before the next change."""
    rng = random.Random(changes)
    done = []  # (start ns, prefix, declared)
    pushed = None
    for i in range(changes + changes % 2):  # a declare left over is withdrawn again, outside the count
        if pushed is not None:
            if pace == "uniform":
                age = rng.uniform(HOLDDOWN_S + SETTLE_S, HOLDDOWN_S + SETTLE_S + TX_INTERVAL_S)
            else:
                age = TX_INTERVAL_S - rng.uniform(0.03, 0.08)
            watch.drain(pushed + int(age * 1e9))
        prefix = f"{base}.{i // 2 % 256}.0.0/24"  # in route_watch's sample
        declared = i % 2 == 0
        watch.follow.add(prefix)
        before = trace.snap()
        start = time.monotonic_ns()
        if declared:
            a.declare(prefix)
        else:
            a.withdraw(prefix)
        times = watch.wait_changes([("+" if declared else "-") + prefix], start)
        trace.record(("declare" if declared else "withdraw") + kind, before, [(t - start) / 1e6 for t in times])
        done.append((start, prefix, declared))
        pushed = latest = start + int(HOLDDOWN_S * 1e9)
        while True:
            latest = max([latest, *(t for log in watch.log for t, c in log[-8:] if c[1:] == prefix)])
            if time.monotonic_ns() >= latest + int(SETTLE_S * 1e9):
                break
            watch.drain(latest + int(SETTLE_S * 1e9))
    outcome = single_outcome(watch, done)
    watch.follow.clear()
    watch.log = [[] for _ in watch.log]
    return {k: v[:changes] for k, v in outcome.items()}


def single_outcome(watch, done):
    """Per change, from route_watch's log of its prefix in its window (from its start to the next change of
    the same prefix): the latency of the first change at each host, and the hosts whose route changed more
    than once, each as (host, [(time ns, "+PREFIX" / "-PREFIX")...]). Right is one change per host, the
    one asked for."""
    out = {"latency": [], "flapped": [], "wrong": []}
    for i, (start, prefix, declared) in enumerate(done):
        end = next((s for s, p, _ in done[i + 1:] if p == prefix), float("inf"))
        want = ("+" if declared else "-") + prefix
        per_host = [[(t, c) for t, c in log if c[1:] == prefix and start <= t < end] for log in watch.log]
        out["latency"].append([(next(t for t, c in seen if c == want) - start) / 1e6 for seen in per_host])
        out["flapped"].append([(h, seen) for h, seen in enumerate(per_host) if len(seen) > 1])
        out["wrong"].append([h for h, seen in enumerate(per_host) if seen[-1][1] != want])
    return out


def report_single(name, outcome):
    """The latency lines, then the flaps: how many changes had a host whose route changed more than once,
    how many hosts, and per such host the time from its first change to the step back and from the step
    back to its last change."""
    changes = len(outcome["latency"])
    line(f"{name}, slowest host per change", [max(lat) for lat in outcome["latency"]], "ms")
    line(f"{name}, every host", [l for lat in outcome["latency"] for l in lat], "ms")
    hosts = len(outcome["latency"][0]) if changes else 0
    flapped = [(i, f) for i, f in enumerate(outcome["flapped"]) if f]
    affected = sum(len(f) for _, f in flapped)
    most = max((len(seen) for _, f in flapped for _, seen in f), default=1)
    declares = sum(i % 2 == 0 for i, _ in flapped)  # the even changes declare
    which = ", ".join(f"#{i} {len(f)}" for i, f in flapped[:8]) + (", ..." if len(flapped) > 8 else "")
    print(f"  {name + ', flaps':<44} {len(flapped)} of {changes} changes ({declares} declares, "
          f"{len(flapped) - declares} withdrawals), {affected} of {changes * hosts} hosts × changes, at most "
          f"{most} route changes at a host" + (f"  (change: hosts {which})" if which else ""), flush=True)
    seen = [s for _, f in flapped for _, s in f]
    line(f"{name}, flap: first change to step back", [(s[1][0] - s[0][0]) / 1e6 for s in seen], "ms")
    line(f"{name}, flap: step back to final state", [(s[-1][0] - s[1][0]) / 1e6 for s in seen], "ms")
    wrong = [(i, w) for i, w in enumerate(outcome["wrong"]) if w]
    if wrong:
        print(f"  {name}: NOT as asked at the end of the change: " +
              ", ".join(f"#{i} hosts {w}" for i, w in wrong), flush=True)


def hold(a, watch, listing, sample, epoch, fill):
    """Switch A's database set to `listing` through a sync, until every host has `sample` (with `fill`)
    or has it no more."""
    epoch += 1
    start = time.monotonic_ns()
    a.ctl(f"sync --vrf 1 --epoch {epoch} {listing}")
    watch.wait_changes([("+" if fill else "-") + p for p in sample], start, timeout=60)
    time.sleep(1)  # the hosts' remaining work on the set
    return epoch


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
    """The steered routes in the host's table (not the agent's own throw routes of its uplinks' subnets)."""
    return sum(sum(not l.startswith("throw ") for l in
                   host.run("ip", f"-{family}", "route", "show", "table", str(TABLE)).stdout.splitlines())
               for family in (4, 6))


def run_resync(a, hosts, watch, rounds, listings, epoch):
    """The time until the last (and the first) host's table holds the whole set, seen by the arrival of
    route_watch's sample of it; a dump of each table afterwards checks that it is whole."""
    slowest, fastest = [], []
    listing, sample = listings["resync"]
    empty = listings["empty"][0]
    prefixes = listing.read_text().split()
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


def phase(name, box, a, b, hosts, watch, args, listings, epoch):
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
        usage = [("start", agent_usage(hosts), other_cpu())]
        mark = lambda what: usage.append((what, agent_usage(hosts), other_cpu()))
        single = run_single(a, watch, args.changes, trace, args.pace)
        mark(f"{args.changes} single changes")
        if args.held:
            epoch = hold(a, watch, *listings["held"], epoch, True)
            mark(None)
            single_held = run_single(a, watch, args.changes, trace, args.pace, base=9, kind=" held")
            mark(f"{args.changes} single changes, {args.held} held")
            epoch = hold(a, watch, listings["empty"][0], listings["held"][1], epoch, False)
            mark(None)
        zebra = run_zebra(a, watch, args.zebra, trace)
        mark(f"{args.zebra} zebra rounds")
        resync, resync_first, epoch = run_resync(a, hosts, watch, args.resyncs, listings, epoch)
        mark(f"{args.resyncs} resyncs (fill and empty)")
        print(f"  [{load.end()}]")
    finally:
        for p in loops:
            p.kill()
            p.wait()
    report_single("single prefix", single)
    if args.held:
        report_single(f"single prefix, {args.held} held", single_held)
    line("zebra down until all hosts steer", zebra, "ms")
    line(f"resync of {args.prefixes} until the last host holds it", resync, "ms", "{:.0f}")
    line(f"resync of {args.prefixes} until the first host holds it", resync_first, "ms", "{:.0f}")
    # Per step that ran (not the fill and emptying around the held changes): agents' and others' CPU.
    steps = [(what, x, y) for x, (what, *y) in zip(usage, usage[1:]) if what and not what.startswith("0 ")]
    for what, (_, x, _), (y, _) in steps:
        line(f"agent CPU per host, {what}", [(b_[0] - a_[0]) / 1e6 for a_, b_ in zip(x, y)], "ms")
    after = usage[-1][1]
    line("agent resident memory per host (VmRSS)", [u[1] / 1024 for u in after], "MiB")
    line("agent peak resident memory per host (VmHWM)", [u[2] / 1024 for u in after], "MiB")
    for what, (_, _, x), (_, y) in steps:
        print(f"  CPU of the others in the {what}: " + ", ".join(f"{k} {(y[k] - x[k]) / 1e6:.0f} ms" for k in x))
    return epoch


def write_listing(path, n):
    """n prefixes, half IPv4 (11.0.0.0/24 on), half IPv6 (2001:db8::/64 on); with the sample of route_watch."""
    half = n // 2
    prefixes = ([f"{11 + i // 65536}.{i // 256 % 256}.{i % 256}.0/24" for i in range(half)] +
                [f"2001:db8:{i // 65536:x}:{i % 65536:x}::/64" for i in range(n - half)])
    path.write_text("".join(p + "\n" for p in prefixes))
    return path, [str(ipaddress.ip_network(p)) for p in prefixes if sampled(p)]  # as route_watch writes them


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default="build")
    ap.add_argument("--hosts", type=int, default=16)
    ap.add_argument("--changes", type=int, default=200)
    ap.add_argument("--zebra", type=int, default=20)
    ap.add_argument("--resyncs", type=int, default=5)
    ap.add_argument("--prefixes", type=int, default=25000, help="the resync's set")
    ap.add_argument("--held", type=int, default=25000,
                    help="the single changes again with switch A's database holding this many others (0: not)")
    ap.add_argument("--pace", choices=("uniform", "late"), default="uniform",
                    help="when each single change starts in the stand-ins' interval (see run_single)")
    ap.add_argument("--route-watch", metavar="PROGRAM", help="route_watch (default BUILD/bench/route_watch)")
    ap.add_argument("--only", choices=("quiet", "loaded"))
    ap.add_argument("--trace", metavar="FILE", help="per change, latencies and CPU and run-queue waits, to FILE.PHASE")
    args = ap.parse_args()
    build = (ROOT / args.build).resolve()
    os.environ["TARVIK_PREFIX"] = str(build / "stage")
    with Sandbox() as box:
        run(box, build, args)


def run(box, build, args):
    box.write("/etc/tarvik/tallowd.conf", f"max-unreachable-prefix = {max(args.prefixes, args.held + 1, 25000)}\n")
    a, b, hosts = rack(box, args.hosts, tx_interval=TX_INTERVAL_S, standin_args=("--quiet",))
    watch = RouteWatch(box, args.route_watch or build / "bench" / "route_watch", [h.ns.pid for h in hosts])
    listings = {"resync": write_listing(box._base / "resync.txt", args.prefixes),
                "held": write_listing(box._base / "held.txt", args.held),
                "empty": write_listing(box._base / "empty.txt", 0)}
    print(f"rack: 2 switches, {args.hosts} hosts; {os.cpu_count()} cores; single changes paced {args.pace}", flush=True)
    epoch = 0
    for name in ("quiet", "loaded"):
        if args.only in (None, name):
            epoch = phase(name, box, a, b, hosts, watch, args, listings, epoch)
    if watch.overflow:
        print("route_watch lost notifications: the counts above may be wrong")


if __name__ == "__main__":
    main()
