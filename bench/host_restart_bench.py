"""Host agent restart benchmark, run by hand inside a private sandbox:

    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_TESTS=OFF
    cmake --build build -j2 && cmake --install build --prefix build/stage
    /usr/bin/python3 bench/host_restart_bench.py [STAGE] [--rounds N] [--interval S] [--timeout S]
                                                 [--seed N] [--declare PREFIX ...] [--log]

STAGE is an installed tree (build/stage by default; a build directory holding stage/ will do). It needs
no benchmark programs, so any build's stage can be measured, and the stages of two commits compared.

Two switches, each with tallowd and the lldpd stand-in transmitting every --interval seconds (30, as
a switch's LLDP daemon does), above one host with an ECMP default route over both uplinks and
tallowhost. Switch A declares a few prefixes (10.9.0.0/16, 172.20.0.0/14, 2001:db8:9::/48 and
2001:db8:99::/48), B declares nothing. Each of --rounds rounds (20): wait until the host steers, wait
for a moment drawn uniformly within A's transmission period (measured from A's latest periodic set as
it arrived on the host's uplink), SIGTERM the agent, wait for its exit, start a new agent and time,
from the moment the new process is spawned, until the host steers again (or --timeout, 40 s).

"Steered" means what the kernel holds: an IPv4 and an IPv6 policy rule that look up table 250, and for
every declared prefix a unicast route in table 250 whose only next hop is the uplink to B. The bench
follows the kernel's route and rule notifications and, on each batch of them (and every 20 ms in case
one is missed), dumps the routes and rules over route netlink to decide; the time is that of the wake-up
on which the dump first shows the host steered. The same watch runs from the SIGTERM on, so the table
also gives how long the old agent took to stop, whether the host was still steered when the new agent
was spawned, the whole window without steering (from its loss after the SIGTERM to its return), and how
often the host stopped steering again while the new agent ran (until the next restart; the last agent
is watched for one more period).
Per round it prints the phase (seconds since A's latest periodic set at the spawn); with the agent
waiting for the next whole set, spawn to steered is about the interval minus the phase.
"""

import argparse
import errno
import ipaddress
import os
import random
import select
import shlex
import signal
import socket
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tests" / "tallowhost"))

from sandbox import Sandbox, wait_value  # noqa: E402
from topology import LINKS, Switch  # noqa: E402

TABLE = 250
DECLARED = ["10.9.0.0/16", "172.20.0.0/14", "2001:db8:9::/48", "2001:db8:99::/48"]
POLL_S = 0.020  # a dump at least this often while waiting, should a notification be lost

# Route netlink, as <linux/rtnetlink.h>, <linux/netlink.h> and <linux/fib_rules.h> number it.
NLMSG_ERROR, NLMSG_DONE = 2, 3
RTM_NEWROUTE, RTM_GETROUTE, RTM_NEWRULE, RTM_GETRULE = 24, 26, 32, 34
NLM_F_REQUEST, NLM_F_DUMP = 0x1, 0x300
RTA_DST, RTA_OIF, RTA_MULTIPATH, RTA_TABLE = 1, 4, 9, 15
FRA_TABLE = 15
RTN_UNICAST = 1
RTNLGRP_IPV4_ROUTE, RTNLGRP_IPV4_RULE, RTNLGRP_IPV6_ROUTE, RTNLGRP_IPV6_RULE = 7, 8, 11, 19
SOL_NETLINK, NETLINK_ADD_MEMBERSHIP = 270, 1
NLMSG_HDR = struct.Struct("=IHHII")
RTMSG = struct.Struct("=BBBBBBBBI")  # also the layout of fib_rule_hdr
ETH_P_LLDP = 0x88CC
RELAY_CONTROL = bytes([0x5A, 0x3C, 0x71, 0])  # the relay's OUI and the control TLV's subtype
FIRST, PERIODIC = 0x80, 0x01


def attributes(data, offset):
    """The route attributes from offset on: {type: payload}."""
    out = {}
    while offset + 4 <= len(data):
        length, kind = struct.unpack_from("=HH", data, offset)
        if length < 4:
            break
        out[kind & 0x3FFF] = data[offset + 4:offset + length]
        offset += (length + 3) & ~3
    return out


def next_hops(attrs):
    """The interface indexes of a route's next hops, one path or several."""
    if RTA_OIF in attrs:
        return {struct.unpack("=i", attrs[RTA_OIF])[0]}
    hops, mp = set(), attrs.get(RTA_MULTIPATH, b"")
    offset = 0
    while offset + 8 <= len(mp):
        length, _flags, _hops, ifindex = struct.unpack_from("=HBBi", mp, offset)
        if length < 8:
            break
        hops.add(ifindex)
        offset += (length + 3) & ~3
    return hops


class Kernel:
    """The host's policy rules and table 250 through route netlink: one socket subscribed to the route
    and rule notifications of both families, one for dumps."""

    def __init__(self):
        self.watch = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW | socket.SOCK_NONBLOCK, 0)
        self.watch.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.watch.bind((0, 0))
        for group in (RTNLGRP_IPV4_ROUTE, RTNLGRP_IPV4_RULE, RTNLGRP_IPV6_ROUTE, RTNLGRP_IPV6_RULE):
            self.watch.setsockopt(SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, group)
        self.dumper = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 0)
        self.dumper.bind((0, 0))
        self.seq = 0

    def drain(self):
        """Reads every pending notification; true when there was any (or the socket overflowed)."""
        seen = False
        while True:
            try:
                self.watch.recv(1 << 16)
                seen = True
            except BlockingIOError:
                return seen
            except OSError as e:
                if e.errno != errno.ENOBUFS:
                    raise
                seen = True

    def dump(self, kind):
        """The messages of one dump of both families: (message type, payload) pairs."""
        self.seq += 1
        self.dumper.send(NLMSG_HDR.pack(NLMSG_HDR.size + RTMSG.size, kind, NLM_F_REQUEST | NLM_F_DUMP, self.seq, 0)
                         + RTMSG.pack(socket.AF_UNSPEC, 0, 0, 0, 0, 0, 0, 0, 0))
        out = []
        while True:
            data = self.dumper.recv(1 << 20)
            offset = 0
            while offset + NLMSG_HDR.size <= len(data):
                length, mtype, _flags, seq, _pid = NLMSG_HDR.unpack_from(data, offset)
                if length < NLMSG_HDR.size:
                    break
                body = data[offset + NLMSG_HDR.size:offset + length]
                offset += (length + 3) & ~3
                if seq != self.seq:
                    continue
                if mtype == NLMSG_DONE:
                    return out
                if mtype == NLMSG_ERROR:
                    err = struct.unpack_from("=i", body)[0]
                    if err:
                        raise OSError(-err, f"route netlink dump {kind}: {os.strerror(-err)}")
                    continue
                out.append((mtype, body))

    def state(self):
        """(families with a rule looking up table 250, {prefix: (route type, next-hop ifindexes)} of
        table 250)."""
        families = set()
        for mtype, body in self.dump(RTM_GETRULE):
            if mtype != RTM_NEWRULE:
                continue
            family, *_rest = RTMSG.unpack_from(body)
            table = _rest[3]
            attrs = attributes(body, RTMSG.size)
            if FRA_TABLE in attrs:
                table = struct.unpack("=I", attrs[FRA_TABLE])[0]
            if table == TABLE:
                families.add(family)
        routes = {}
        for mtype, body in self.dump(RTM_GETROUTE):
            if mtype != RTM_NEWROUTE:
                continue
            family, dst_len, _src, _tos, table, _proto, _scope, rtype, _flags = RTMSG.unpack_from(body)
            attrs = attributes(body, RTMSG.size)
            if RTA_TABLE in attrs:
                table = struct.unpack("=I", attrs[RTA_TABLE])[0]
            if table != TABLE or family not in (socket.AF_INET, socket.AF_INET6):
                continue
            size = 4 if family == socket.AF_INET else 16
            dst = attrs.get(RTA_DST, bytes(size))
            prefix = ipaddress.ip_network((ipaddress.ip_address(dst), dst_len))
            kind, hops = routes.get(prefix, (rtype, set()))
            routes[prefix] = (kind, hops | next_hops(attrs))  # IPv6 may list the paths of one route apart
        return families, routes


class Watch:
    """Decides whether the host steers, and notes the periodic sets that arrive from A on the host's
    uplink to A (a packet socket of our own beside the agent's)."""

    def __init__(self, declared, via_ifindex, uplink_a):
        self.kernel = Kernel()
        self.declared = [ipaddress.ip_network(p) for p in declared]
        self.via = {via_ifindex}
        self.lldp = socket.socket(socket.AF_PACKET, socket.SOCK_RAW | socket.SOCK_NONBLOCK, socket.htons(ETH_P_LLDP))
        self.lldp.bind((uplink_a, ETH_P_LLDP))
        self.last_set = None  # CLOCK_MONOTONIC ns of the latest first frame of a periodic set from A
        self.sets = 0

    def steered(self):
        families, routes = self.kernel.state()
        if not {socket.AF_INET, socket.AF_INET6} <= families:
            return False
        return all(routes.get(p, (None,))[0] == RTN_UNICAST and routes[p][1] == self.via for p in self.declared)

    def describe(self):
        families, routes = self.kernel.state()
        names = {socket.AF_INET: "IPv4", socket.AF_INET6: "IPv6"}
        return (f"rules to table {TABLE}: {sorted(names.get(f, f) for f in families)}; declared prefixes in it: "
                + ", ".join(f"{p} {routes[p] if p in routes else 'absent'}" for p in self.declared))

    def _read_lldp(self):
        while True:
            try:
                frame = self.lldp.recv(9216)
            except BlockingIOError:
                return
            at = time.monotonic_ns()
            i = frame.find(RELAY_CONTROL, 14)
            if i >= 2 and frame[i - 2] >> 1 == 127 and i + 4 < len(frame):
                flags = frame[i + 4]
                if flags & FIRST and flags & PERIODIC:
                    self.last_set = at
                    self.sets += 1

    def until(self, done, deadline_ns, track=None, agent=None):
        """Waits, reading A's frames and the kernel's notifications, until done() or the deadline
        (CLOCK_MONOTONIC ns); `track(steered, now)` is told of every decision. The agent's pidfd, when
        given, wakes the wait at its exit. Returns the time of the wake-up on which done() held, or
        None at the deadline."""
        last_poll, woke = 0, None
        while True:
            now = time.monotonic_ns()
            if done(now):
                return woke or now
            if now >= deadline_ns:
                return None
            wait = min(POLL_S, (deadline_ns - now) / 1e9)
            fds = [self.kernel.watch, self.lldp] + ([agent.pidfd] if agent else [])
            ready, _, _ = select.select(fds, [], [], max(0.0, wait))
            now = woke = time.monotonic_ns()
            if self.lldp in ready:
                self._read_lldp()
            changed = self.kernel.watch in ready and self.kernel.drain()
            if track and (changed or now - last_poll >= POLL_S * 1e9):
                last_poll = now
                track(self.steered(), now)


class Agent:
    """One run of tallowhost on both uplinks, its standard error in a file of its own."""

    def __init__(self, box, n, argv):
        self.err_path = box._base / f"tallowhost-{n}.err"
        with open(self.err_path, "wb") as err:
            self.spawned = time.monotonic_ns()
            self.proc = box.spawn(argv, stdout=subprocess.DEVNULL, stderr=err)
        self.pidfd = os.pidfd_open(self.proc.pid)  # readable once it has exited

    def close(self):
        os.close(self.pidfd)

    def stderr(self):
        return self.err_path.read_text(errors="replace").strip()


def fmt_ms(v):
    return "timeout" if v is None else f"{v:.1f}"


def summary(values):
    known = sorted(v for v in values if v is not None)
    timeouts = len(values) - len(known)
    if not known:
        return "all timed out"
    # A timeout counts as longer than any value.
    ordered = known + [float("inf")] * timeouts
    med = statistics.median(ordered)
    return (f"median {'timeout' if med == float('inf') else f'{med:.1f} ms'}, "
            f"max {'timeout' if timeouts else f'{known[-1]:.1f} ms'}" + (f", {timeouts} timed out" if timeouts else ""))


def stage_of(arg):
    for base in (Path(arg), ROOT / arg):
        for cand in (base, base / "stage"):
            if (cand / "sbin" / "tallowhost").exists():
                return cand.resolve()
    raise SystemExit(f"{arg}: no sbin/tallowhost there (give an installed stage, e.g. build/stage)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("stage", nargs="?", default="build/stage", help="installed tree (default build/stage)")
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--interval", type=int, default=30, help="the stand-ins' --tx-interval, seconds (30)")
    ap.add_argument("--timeout", type=float, default=40.0, help="per restart, seconds (40)")
    ap.add_argument("--seed", type=int, default=None, help="for the restart moments (default: drawn, printed)")
    ap.add_argument("--declare", nargs="+", default=DECLARED, metavar="PREFIX", help="what switch A declares")
    ap.add_argument("--log", action="store_true", help="print the agents' log lines of each round")
    args = ap.parse_args()
    stage = stage_of(args.stage)
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    command = shlex.join(["/usr/bin/python3", *sys.argv])
    box = Sandbox()
    box.prefix = stage
    box.enter()
    try:
        rows = run(box, args, random.Random(seed))
    finally:
        box.leave()
    report(rows, args, command, stage, seed)


def run(box, args, rng):
    box.set_groups(frr=True)
    a = Switch(box, "A", args.interval, ("--quiet",))
    b = Switch(box, "B", args.interval, ("--quiet",))
    for sw in (a, b):
        sw.zebra(1)
        sw.downlinks()
    hops, argv = [], [box.prefix / "sbin" / "tallowhost"]
    for link in (LINKS["A"], LINKS["B"]):
        hops += ["nexthop", "via", link.switch_addr, "dev", link.host_if]
        argv += ["--uplink", f"{link.host_if}={link.switch_addr},{link.switch_addr6}"]
    subprocess.run(["ip", "route", "add", "default", *hops], check=True)
    watch = Watch(args.declare, box.ifindex(LINKS["B"].host_if), LINKS["A"].host_if)
    period = args.interval * 1_000_000_000
    timeout = int(args.timeout * 1e9)
    log_mark = box.syslog.count()

    agent = Agent(box, 0, argv)
    wait_value("tallowhost's rule", lambda: agent.proc.poll() is not None or f"lookup {TABLE}" in
               subprocess.run(["ip", "rule", "show"], capture_output=True, text=True).stdout)
    if agent.proc.poll() is not None:
        raise SystemExit(f"tallowhost exited with {agent.proc.returncode}: {agent.stderr()}")
    a.declare(*args.declare)
    print(f"set up; switch A declares {' '.join(args.declare)}; {args.rounds} rounds, sets every {args.interval} s",
          flush=True)

    rows = []
    # What the watch last decided, and when the current restart lost the steering. `run` is the row of the
    # agent now running (None before the first restart): losses of steering while it runs, after it
    # first steered, are counted there.
    cur = {"steered": False, "term": None, "lost": None, "run": None}

    def track(steered, now):
        run = cur["run"]
        if cur["term"] is None and run is not None and run["steered"] is not None:
            if cur["steered"] and not steered:
                run["flaps"] += 1
                run["down_at"] = now
            elif steered and not cur["steered"] and run.get("down_at"):
                run["down_ms"] += (now - run.pop("down_at")) / 1e6
        cur["steered"] = steered
        if not steered and cur["term"] is not None and cur["lost"] is None:
            cur["lost"] = now

    for n in range(1, args.rounds + 1):
        if watch.until(lambda now: cur["steered"], time.monotonic_ns() + timeout + period, track) is None:
            raise SystemExit(f"round {n}: the host does not steer: {watch.describe()}\n{agent.stderr()}")
        if watch.last_set is None:  # the first declaration arrives as a delta, then as a set
            watch.until(lambda now: watch.last_set is not None, time.monotonic_ns() + timeout + period, track)
        if watch.last_set is None:
            raise SystemExit(f"round {n}: no periodic set from A seen on {LINKS['A'].host_if}")
        # The restart moment: a phase drawn uniformly within A's period, at its next occurrence.
        moment = watch.last_set + int(rng.uniform(0, period))
        while moment <= time.monotonic_ns():
            moment += period
        watch.until(lambda now: now >= moment, moment + period, track)
        finish_run(cur["run"], time.monotonic_ns())

        cur["term"], cur["lost"] = time.monotonic_ns(), None
        agent.proc.send_signal(signal.SIGTERM)
        exited = watch.until(lambda now: agent.proc.poll() is not None, cur["term"] + timeout, track, agent)
        if exited is None:
            raise SystemExit(f"round {n}: the agent did not exit within {args.timeout:g} s of SIGTERM")
        status, old_err = agent.proc.returncode, agent.stderr()
        agent.close()
        kept = watch.steered()
        if not kept and cur["lost"] is None:
            cur["lost"] = time.monotonic_ns()
        cur["steered"] = kept

        agent = Agent(box, n, argv)
        since_set = (agent.spawned - watch.last_set) / 1e9
        if kept:
            back = agent.spawned  # steered all along; a loss after the spawn counts under "lost while running"
        else:
            done = watch.until(lambda now: cur["steered"] or agent.proc.poll() is not None,
                               agent.spawned + timeout, track, agent)
            back = done if done is not None and cur["steered"] else None
        if agent.proc.poll() is not None:
            raise SystemExit(f"round {n}: the new agent exited with {agent.proc.returncode}: {agent.stderr()}")
        row = {
            "round": n, "phase": since_set, "stop": (exited - cur["term"]) / 1e6, "status": status, "kept": kept,
            "steered": None if back is None else (back - agent.spawned) / 1e6,
            "window": None if back is None else (0.0 if cur["lost"] is None else (back - cur["lost"]) / 1e6),
            "old_err": old_err, "flaps": 0, "down_ms": 0.0,
        }
        rows.append(row)
        cur["term"], cur["run"] = None, row
        print(f"round {n:2}: phase {since_set:6.2f} s, stop {row['stop']:7.1f} ms (status {status}), "
              f"{'still steered' if kept else 'not steered'} at spawn, spawn to steered {fmt_ms(row['steered'])} ms",
              flush=True)
        if back is None:
            print(f"  at the timeout: {watch.describe()}", flush=True)
        if args.log:
            lines = box.syslog.lines()[log_mark:]
            log_mark += len(lines)
            for line in lines:
                if line.ident == "tallowhost":
                    print(f"    [{line.pid}] {line.message}")
    # The last agent is watched for one more period, through A's next set, as the others were.
    if rows:
        end = time.monotonic_ns() + period + 1_000_000_000
        watch.until(lambda now: now >= end, end + period, track)
        finish_run(cur["run"], time.monotonic_ns())
    agent.proc.send_signal(signal.SIGTERM)
    agent.proc.wait(timeout=20)
    agent.close()
    return rows


def finish_run(row, now):
    """Closes a loss of steering still open when the agent's run ends."""
    if row is not None and row.get("down_at"):
        row["down_ms"] += (now - row.pop("down_at")) / 1e6


def report(rows, args, command, stage, seed):
    print()
    print(f"command: {command}")
    print(f"stage:   {stage}")
    print(f"tallowhost restarts: 2 switches (lldpd stand-in --tx-interval {args.interval}), A declares "
          f"{len(args.declare)} prefixes, B none; restart moments drawn with seed {seed}; {os.cpu_count()} cores, "
          f"load {' '.join(Path('/proc/loadavg').read_text().split()[:3])}")
    print()
    print("round  phase (s)  stop (ms)  steered at spawn  spawn to steered (ms)  unsteered window (ms)  lost later")
    for r in rows:
        print(f"{r['round']:5}  {r['phase']:9.2f}  {r['stop']:9.1f}  {'yes' if r['kept'] else 'no':>16}  "
              f"{fmt_ms(r['steered']):>21}  {fmt_ms(r['window']):>21}  {r['flaps']:>10}")
    print()
    print(f"spawn to steered, {len(rows)} restarts: {summary([r['steered'] for r in rows])}")
    print(f"  all (ms): {' '.join(fmt_ms(r['steered']) for r in rows)}")
    print(f"unsteered window (loss after SIGTERM to steered): {summary([r['window'] for r in rows])}")
    print(f"SIGTERM to exit: {summary([r['stop'] for r in rows])}; "
          f"steered at spawn in {sum(r['kept'] for r in rows)} of {len(rows)}")
    for r in rows:
        if r["status"] != 0 or r["old_err"]:
            print(f"round {r['round']}: the stopped agent's exit status {r['status']}, stderr: {r['old_err']!r}")
        if r["flaps"]:
            print(f"round {r['round']}: after it first steered, the host stopped steering {r['flaps']} time(s) "
                  f"({r['down_ms']:.1f} ms in all) while this round's agent ran")


if __name__ == "__main__":
    main()
