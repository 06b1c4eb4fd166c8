#!/usr/bin/python3
"""Random-sequence checker: drives the installed tallowd in a sandbox with seeded random event
sequences and compares it with the reference model (relay_model.py) at every quiet point: the requests
the lldpd stand-in received (per interface, in order), the frame set it holds per interface, and the
daemon's file dump.

    checker.py [--seed N] [--steps N] [--sequences N | --time SECONDS]

Quiet is reached by readiness: a barrier message whose log line shows that everything sent before it
was handled, the daemon's connection lines, the stand-in's summary. The daemon's own timers (holddown,
no-SYNC) are the one thing waited out by the clock, as the model says they are armed.

A failing sequence is shrunk (steps, then messages, then prefix entries dropped while it still fails)
and printed, with its seed, as a ready-to-paste regression test. The exit status is 1 on a mismatch.
"""

import functools
import ipaddress
import json
import random
import re
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TESTS = HERE.parent
for p in (HERE, TESTS, TESTS / "relay", TESTS / "state"):
    sys.path.insert(0, str(p))

from relay_helpers import (BARRIER_VRF, Client, Request, Standin, intf_set, msg,  # noqa: E402
                           prefix_update, start_daemon, sync_begin, sync_end, tlvs)
from relay_model import RelayModel  # noqa: E402
from state_helpers import DUMP, Store  # noqa: E402
from sandbox import Sandbox  # noqa: E402
import shrinking  # noqa: E402
from shrinking import drop_chunks, format_regression  # noqa: E402

VRFS = [10, 20, 30, 0]
N_LINKS = 5
ABSENT_IFINDEX = 999  # names no interface: its MTU cannot be read
LINK_MTUS = [1500, 9000, 552, 600, 1280, 4000]
MTU_CHOICES = [552, 600, 1280, 1500, 4000, 9000, 9216, 500, 65000]
LIMITS = [0, 2, 5, 20, 60]
V4 = [f"10.{i}.0.0/16" for i in range(64)] + ["10.1.2.0/24", "10.1.2.7/24", "192.168.0.0/25",
                                              "192.168.0.128/25", "172.16.5.5/32"]
V6 = [f"2001:db8:{i:x}::/48" for i in range(32)] + ["2001:db8::1/128", "fd00::/8"]
DEFAULTS = ["0.0.0.0/0", "::/0"]
BAD = [[5, 8, 0, "10.0.0.0"], [4, 33, 0, "10.9.9.9"], [6, 129, 0, "2001:db8::"], [0, 0, 0, "0.0.0.0"]]
BAD_BODIES = {1: struct.pack(">HH", 1, 0) + bytes(10), 3: bytes(5), 4: bytes(9),
              6: struct.pack(">HHI", 2, 0, 5)}
CLEANUP_DONE = (r"^ipc: (disconnect cleanup complete|FRR disconnected during warmboot, skipping cleanup"
                r"|MESRA already handled FRR down, skipping disconnect cleanup)$")


class Mismatch(AssertionError):
    pass


# What the sequences made the daemon do, counted from its log over a whole checker run.
COVERAGE = {
    "immediate deltas": r"^lldp: pushed immediate delta",
    "multi-blob sets": r"^lldp: pushed ([2-9]|\d\d+) blobs",
    "holddown pushes while lldpd away": r"^holddown: LLDPD not connected",
    "lldpd write/ack failures": r"^lldp: (immediate )?(write|ack read|immediate ack) failed",
    "lldpd connections": r"^lldp: connected to LLDPD",
    "sweeps": r"^db: sweep removed",
    "epoch mismatches": r"^ipc: SYNC_END epoch mismatch",
    "limit refusals": r"^db: prefix limit \d+ reached",
    "defaults injected (state service)": r"^failure: FRR down, injecting default routes",
    "controlled FRR down": r"^failure: controlled FRR down",
    "disconnect: defaults kept": r"^ipc: zebra down \(VRF",
    "disconnect: FRR crash": r"^ipc: FRR crash \(VRF",
    "disconnect: feature disable": r"^ipc: feature disable \(VRF",
    "disconnect skipped": r"^ipc: (FRR disconnected during warmboot|MESRA already handled)",
    "state reactions in warm boot": r"during warmboot, skipping default injection",
    "interfaces flushed": r"^ipc: INTF_SET flush ifindex",
    "no-SYNC empty pushes": r"^ipc: no SYNC after INTF_SET",
    "MTU rebuilds": r"^netlink: MTU \d+ on ifindex",
    "VRFs removed": r"^db: removing VRF context",
}
coverage = dict.fromkeys(COVERAGE, 0)


# --- the daemon's log, read incrementally ------------------------------------------------------------

class LogTail:
    def __init__(self, path):
        self.path, self.offset, self.lines = path, 0, []

    def poll(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return
        end = data.rfind(b"\n") + 1
        self.offset += end
        for row in data[:end].splitlines():
            rec = json.loads(row)
            if rec["ident"] == "tallowd":
                self.lines.append(rec["message"])

    def count(self, pattern, start=0):
        self.poll()
        rx = re.compile(pattern)
        return sum(1 for m in self.lines[start:] if rx.search(m))

    def wait(self, pattern, count=1, start=0, timeout=10.0):
        deadline = time.monotonic() + timeout
        while self.count(pattern, start) < count:
            if time.monotonic() > deadline:
                raise Mismatch(f"daemon log: {count} line(s) matching {pattern!r} did not come; last lines:\n"
                               + "\n".join(self.lines[-30:]))
            time.sleep(0.002)

    def mark(self):
        self.poll()
        return len(self.lines)


# --- wire encoding of the steps ----------------------------------------------------------------------

def encode(m):
    kind = m[0]
    if kind == "pu":  # an optional fourth item is the header's ifindex, which the daemon reads as 0
        return prefix_update(m[1], [struct.pack(">BBBB", afi, plen, w, 0) +
                                    ipaddress.ip_address(a).packed.ljust(16, b"\0") for afi, plen, w, a in m[2]],
                             ifindex=m[3] if len(m) > 3 else 0)
    if kind == "sb":
        return sync_begin(m[1], m[2])
    if kind == "se":
        return sync_end(m[1], m[2], m[3])
    if kind == "intf":
        return intf_set(m[1], m[2])
    if kind == "unknown":
        return msg(2, m[1])
    if kind == "badlen":  # a count or length that does not fit: refused, but the VRF's context is made
        return msg(m[2], m[1], BAD_BODIES[m[2]])
    return msg(7 if kind == "wbs" else 8)


def model_entries(entries):
    return [(afi, plen, w, ipaddress.ip_address(a).packed.ljust(16, b"\0")) for afi, plen, w, a in entries]


def apply_message(model, m):
    kind = m[0]
    if kind == "pu":
        model.prefix_update(m[1], model_entries(m[2]))
    elif kind == "sb":
        model.sync_begin(m[1], m[2])
    elif kind == "se":
        model.sync_end(m[1], m[2])
    elif kind == "intf":
        model.intf_set(m[1], m[2])
    elif kind in ("unknown", "badlen"):
        model.vrf(m[1])
    elif kind == "wbs":
        model.warmboot_start()
    else:
        model.warmboot_end()


# --- one run: a sandbox, the stand-in, the daemon, a client ------------------------------------------

class Run:
    def __init__(self, sandbox, limit, link_mtus):
        self.sandbox = sandbox
        self.compares = 0
        subprocess.run(["sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                        "net.ipv6.conf.default.disable_ipv6=1"], check=False)
        self.links = {}
        for i, mtu in enumerate(link_mtus):
            a, _ = sandbox.add_veth(f"m{i}", f"p{i}", mtu)
            self.links[a] = f"m{i}"
        # Alternative names make every link message of m0 larger than 8192 bytes.
        for k in range(0, 96, 8):
            subprocess.run(["ip", "link", "property", "add", "dev", "m0"] +
                           [x for j in range(k, k + 8) for x in ("altname", f"m0-{j:03d}-" + "x" * 100)], check=True)
        # Link notifications of a carrier coming up arrive late: let them pass before the daemon starts.
        for name in self.links.values():
            for end in (name, "p" + name[1:]):
                deadline = time.monotonic() + 10
                while Path(f"/sys/class/net/{end}/operstate").read_text().strip() != "up":
                    if time.monotonic() > deadline:
                        raise RuntimeError(f"{end} did not come up")
                    time.sleep(0.01)
        self.store = Store(sandbox)
        self.lldpd = Standin(sandbox, "--quiet")
        self.daemon = start_daemon(sandbox, conf=f"max-unreachable-prefix = {limit}\n")
        self.log = LogTail(sandbox._base / "syslog.jsonl")
        self.client = Client()
        self.barriers = 0
        self.model = RelayModel(limit, {i: m for i, m in zip(self.links, link_mtus)})
        self.model.settle()
        self.seen = 0  # requests of the stand-in's run already compared
        self.records, self.record_offset = [], 0  # its record file, decoded so far

    def close(self):
        self.client.close()
        for name, pattern in COVERAGE.items():
            coverage[name] += self.log.count(pattern)

    # -- readiness --
    def barrier(self):
        self.barriers += 1
        self.client.send(intf_set(BARRIER_VRF, []))
        self.log.wait(rf"^ipc: INTF_SET count=0 for unknown VRF {BARRIER_VRF}, skipping$", self.barriers)

    def quiet(self, since):
        """Waits until the daemon has done what the model's settle() did: the armed deadlines have
        passed, the expected reconnections have happened, and a loop pass ran after both."""
        hold, nosync = self.model.timers_armed()
        self.model.settle()
        wait = 3.0 if nosync else 0.1 if hold else 0
        left = since + wait + 0.005 - time.monotonic()
        if left > 0:
            time.sleep(left)  # the daemon's own timers: nothing to wait on but the clock
        self.log.wait(r"^lldp: connected to LLDPD", self.model.reconnects)
        self.barrier()
        self.barrier()

    # -- steps --
    def step(self, s):
        kind = s[0]
        m = self.model
        if kind == "nb":
            self.client.send(*[encode(x) for x in s[1]])
            for x in s[1]:
                apply_message(m, x)
            self.barrier()
        elif kind == "disconnect":
            start = self.log.mark()
            if len(s) > 1 and s[1]:
                self.client.send(encode(["sb", 10, 1])[:s[1]])  # a message cut short: discarded
            self.client.close()
            self.log.wait(CLEANUP_DONE, start=start)
            m.disconnect()
            self.client = Client()
        elif kind == "second_client":
            start = self.log.mark()
            Client().close()
            self.log.wait(r"^ipc: rejecting additional NB client fd=\d+ \(single-writer enforced\)$", start=start)
        elif kind == "lldpd_stop":
            if m.present:
                self.lldpd.stop()
                m.lldpd_stop()
        elif kind == "lldpd_start":
            if m.present:
                self.lldpd.stop()
                m.lldpd_stop()
            args = ["--quiet"] + (["--close-at", str(s[1])] if s[1] else [])
            self.lldpd = Standin(self.sandbox, *args)
            self.seen, self.records, self.record_offset = 0, [], 0
            m.lldpd_start(s[1])
        elif kind == "state":
            if s[2]:
                self.store.set(s[1], s[2])
            else:
                self.store.ctl("delete", s[1], "state", check=False)
            m.state(s[1], s[2] or None)
            self.barrier()  # the state service's report is handled in a loop pass after this one
        elif kind == "mtu":
            self.sandbox.set_mtu(self.links[s[1]], s[2])
            m.set_mtu(s[1], s[2])
            self.barrier()
        elif kind == "limit":
            self.sandbox.write("/etc/tarvik/tallowd.conf", f"max-unreachable-prefix = {s[1]}\n")
            start = self.log.mark()
            self.daemon.proc.send_signal(signal.SIGHUP)
            self.barrier()  # wakes the loop, which then reloads
            self.log.wait(rf"^conf: max-unreachable-prefix = {s[1]} ", start=start)
            m.reload(s[1])
        else:
            raise ValueError(s)
        self.quiet(time.monotonic())

    # -- comparison --
    def received(self):
        """Every request of the stand-in's current run, as (ifindex, type, flags, decoded frames, action)."""
        start = len(self.lldpd.output())
        self.lldpd.proc.send_signal(signal.SIGUSR1)
        text = self.lldpd.wait_output(r"^summary requests=\d+", start=start)
        n = int(re.search(r"summary requests=(\d+)", text)[1])
        deadline = time.monotonic() + 10
        while len(self.records) < n:  # decoded once each: a run can record many large frame sets
            with open(self.lldpd.record, "rb") as f:
                f.seek(self.record_offset)
                data = f.read()
            end = data.rfind(b"\n") + 1
            self.record_offset += end
            for line in data[:end].splitlines():
                r = Request(json.loads(line))
                self.records.append((r.ifindex, r.type, r.flags, tuple(decode(b) for b in r.blobs), r.action, r.seq))
            if len(self.records) < n:
                if time.monotonic() > deadline:
                    raise Mismatch(f"lldpd recorded {len(self.records)} of its {n} requests")
                time.sleep(0.005)
        return self.records[:n]

    def dump(self):
        start = self.log.mark()
        self.daemon.proc.send_signal(signal.SIGUSR2)
        self.barrier()
        self.log.wait(r"^Full state dumped to /var/run/tallowd-dump.txt$", start=start)
        return parse_dump(DUMP.read_text())

    def compare(self):
        m = self.model
        problems = []
        if m.present:
            reqs = self.received()
            held = {}
            for ifindex, kind, _, frames, action, _ in reqs:
                if kind == 11 and action == "ack":
                    held[ifindex] = frames or None
            if len(reqs) != m.requests:
                problems.append(f"lldpd received {len(reqs)} requests, model says {m.requests}")
            elif not m.lost:
                # Per interface the requests come in a fixed order; across interfaces the daemon's
                # timers may interleave them otherwise.
                got, want = per_interface(r[:4] for r in reqs[self.seen:]), per_interface(m.sent)
                for ifindex in sorted(set(got) | set(want)):
                    if got.get(ifindex) != want.get(ifindex):
                        problems.append(f"ifindex {ifindex}: requests since the last compare\n  daemon "
                                        + "\n         ".join(map(show_request, got.get(ifindex, []))) +
                                        "\n  model  " + "\n         ".join(map(show_request, want.get(ifindex, []))))
                seqs = sorted(r[5] for r in reqs[self.seen:] if r[1] == 11)
                if seqs != sorted(m.seqs):
                    problems.append(f"sequence numbers since the last compare: daemon {seqs}, model {sorted(m.seqs)}")
            self.seen = len(reqs)
            for ifindex in sorted(set(held) | set(m.held)):
                if held.get(ifindex, "nothing") != m.held.get(ifindex, "nothing"):
                    problems.append(f"ifindex {ifindex}: lldpd holds {show(held.get(ifindex, 'nothing'))}, "
                                    f"model says {show(m.held.get(ifindex, 'nothing'))}")
        m.sent, m.seqs, m.lost = [], [], False
        got, want = self.dump(), m.dump_view()
        if got != want:
            problems.append("dump differs:\n  daemon " + "\n         ".join(map(str, got)) +
                            "\n  model  " + "\n         ".join(map(str, want)))
        self.compares += 1
        if problems:
            raise Mismatch("\n".join(problems))


def decode(blob):
    items = tlvs(blob)
    return (items[0][1], tuple((t[1], t[2]) for t in items[1:]))


def per_interface(requests):
    out = {}
    for ifindex, *rest in requests:
        out.setdefault(ifindex, []).append(tuple(rest))
    return out


def show_request(r):
    kind, flags, frames = r
    return f"type {kind}" + (f" flags {flags}" if flags is not None else "") + ": " + show(frames)


def show(frames):
    if not isinstance(frames, tuple):
        return str(frames)
    return " | ".join(f"{flags:#04x}:" + ",".join(("-" if w else "") + p for p, w in prefixes)
                      for flags, prefixes in frames)


def parse_dump(text):
    out, cur = [], None
    for line in text.splitlines():
        if mt := re.match(r"^VRF (\d+): (\d+) prefixes, epoch=(\d+)$", line):
            cur = [int(mt[1]), int(mt[2]), int(mt[3]), 0, [], [], []]
            out.append(cur)
        elif cur is None:
            continue
        elif mt := re.match(r"^  MTU: (\d+)$", line):
            cur[3] = int(mt[1])
        elif mt := re.match(r"^  Interfaces \(\d+\):(.*)$", line):
            cur[4] = [int(x) for x in mt[1].split()]
        elif mt := re.match(r"^    frame \d+: (\d+) bytes$", line):
            cur[5].append(int(mt[1]))
        elif mt := re.match(r"^    IPv[46] (\S+) W=(\d+) epoch=(\d+)$", line):
            cur[6].append((mt[1], int(mt[2]), int(mt[3])))
    return [tuple(v) for v in out]


def run_sequence(sandbox, case, stop_at=None):
    """Runs the case's steps, comparing after each. Returns (steps run, compare points); raises
    Mismatch with the failing step's index in .step."""
    run = Run(sandbox, case["limit"], case["mtus"])
    i = -1
    try:
        run.compare()
        for i, s in enumerate(case["steps"][:stop_at]):
            run.step(s)
            run.compare()
    except Mismatch as e:
        e.step, e.compares = i, run.compares
        raise
    finally:
        run.close()
    return len(case["steps"][:stop_at]), run.compares


def assert_matches_model(sandbox, case):
    """For regression tests: the daemon agrees with the model at every quiet point of the case."""
    run_sequence(sandbox, case)


# --- generation ----------------------------------------------------------------------------------

def entry_of(text, w=0):
    net = ipaddress.ip_interface(text)
    return [4 if net.version == 4 else 6, net.network.prefixlen, w, str(net.ip)]


class Generator:
    """Weighted random steps; it looks at a model of its own so that its choices make sense (known
    prefixes to withdraw, epochs that grow, interfaces that are free), but every step it makes is a
    plain value that means the same whatever ran before, so that shrinking can drop any step."""

    def __init__(self, rng, links):
        self.rng = rng
        self.links = links
        self.known = {v: set() for v in VRFS}
        self.epochs = {v: 0 for v in VRFS}
        self.intfs = {v: [] for v in VRFS}
        self.present = True

    def prefixes(self, n):
        r = self.rng
        pool = V4 if r.random() < 0.7 else V6
        return r.sample(pool, min(n, len(pool)))

    def pu_entries(self, vrf, bulk=False):
        r = self.rng
        n = r.randint(30, 120) if bulk else r.randint(1, 6)
        out = []
        for p in self.prefixes(n):
            if self.known[vrf] and r.random() < 0.25:
                out.append(entry_of(r.choice(sorted(self.known[vrf])), 1))
            else:
                out.append(entry_of(p))
                self.known[vrf].add(p)
        if r.random() < 0.08:
            out.insert(r.randrange(len(out) + 1), entry_of(r.choice(DEFAULTS), r.choice([0, 0, 1])))
        if r.random() < 0.08:
            out.insert(r.randrange(len(out) + 1), list(r.choice(BAD)))
        return out

    def huge(self, vrf):
        """500 IPv6 prefixes (dozens of blobs at a small MTU); repeated, a VRF gathers thousands."""
        # One message alone in its burst: a burst that spans several reads lets the daemon's timers
        # (a reconnection, a holddown) run between its messages, which the model cannot order.
        off = self.rng.randrange(0, 4000, 100)
        ps = [f"2001:db8:{i >> 8:x}:{i & 0xff:x}00::/56" for i in range(off, off + 500)]
        self.known[vrf] |= set(ps[:50])
        return [["pu", vrf, [entry_of(p) for p in ps]]]

    def sync(self, vrf):
        r = self.rng
        if r.random() < 0.03:
            self.epochs[vrf] = 0xFFFFFFFF - r.randint(0, 2)  # unsigned comparisons near the top
        self.epochs[vrf] = e = (self.epochs[vrf] + 1) & 0xFFFFFFFF
        msgs = [["sb", vrf, e]]
        self.known[vrf] = set()
        if r.random() < 0.2:
            msgs.append(["pu", vrf, [entry_of(r.choice(DEFAULTS))]])
        for _ in range(r.randint(0, 2)):
            msgs.append(["pu", vrf, self.pu_entries(vrf, bulk=r.random() < 0.3)])
        end = e if r.random() < 0.85 else (e + r.choice([-1, 1])) & 0xFFFFFFFF
        msgs.append(["se", vrf, end, r.randint(0, 40)])
        return msgs

    def intf(self, vrf):
        r = self.rng
        mine = self.intfs[vrf]
        used = {i for v in VRFS for i in self.intfs[v]}
        free = [i for i in list(self.links) + [ABSENT_IFINDEX] if i not in used]
        others = [v for v in VRFS if v != vrf and self.intfs[v]]
        how = r.choice(["grow", "grow", "shrink", "move", "empty", "replace"])
        msgs = []
        if how == "grow" and free:
            new = mine + [r.choice(free)]
            if r.random() < 0.1:
                new.append(new[-1])  # the daemon does not look for duplicates
        elif how == "shrink" and mine:
            new = [i for i in mine if i != r.choice(mine)]
        elif how == "move" and others:
            src = r.choice(others)
            moved = r.choice(self.intfs[src])
            self.intfs[src] = [i for i in self.intfs[src] if i != moved]
            new = mine + [moved]
            if r.random() < 0.5:
                msgs.append(["intf", src, self.intfs[src]])
            else:  # the new VRF first: for a moment both list the interface
                msgs += [["intf", vrf, new], ["intf", src, self.intfs[src]]]
                self.intfs[vrf] = new
                return msgs
        elif how == "empty":
            new = []
        else:
            new = r.sample(free, min(len(free), r.randint(1, 3)))
        self.intfs[vrf] = new
        msgs.append(["intf", vrf, new])
        if new and not self.known[vrf] and r.random() < 0.8:
            msgs += self.sync(vrf)  # mostly spare the 3-second wait for SYNC
        return msgs

    def step(self):
        r = self.rng
        vrf = r.choice(VRFS)
        kinds = {"pu": 30, "sync": 12, "sb": 3, "se": 3, "intf": 12, "wbs": 3, "wbe": 3, "disconnect": 4,
                 "lldpd_stop": 3 if self.present else 0, "lldpd_start": 3 if self.present else 20,
                 "state": 8, "mtu": 5, "limit": 2, "second_client": 1, "unknown": 1, "empty_pu": 1, "badlen": 1}
        kind = r.choices(list(kinds), weights=list(kinds.values()))[0]
        if kind == "pu":
            if r.random() < 0.02:
                return ["nb", self.huge(vrf)]
            msgs = [["pu", vrf, self.pu_entries(vrf, bulk=r.random() < 0.15)] for _ in range(r.randint(1, 2))]
            if r.random() < 0.05:
                msgs[0].append(r.choice(list(self.links)))
            return ["nb", msgs]
        if kind == "sync":
            return ["nb", self.sync(vrf)]
        if kind == "sb":
            self.epochs[vrf] = (self.epochs[vrf] + 1) & 0xFFFFFFFF
            return ["nb", [["sb", vrf, self.epochs[vrf]]]]
        if kind == "se":
            return ["nb", [["se", vrf, self.epochs[vrf], 0]]]
        if kind == "intf":
            return ["nb", self.intf(vrf)]
        if kind in ("wbs", "wbe"):
            return ["nb", [[kind]]]
        if kind == "unknown":
            return ["nb", [["unknown", vrf]]]
        if kind == "badlen":
            return ["nb", [["badlen", vrf, r.choice(list(BAD_BODIES))]]]
        if kind == "empty_pu":
            return ["nb", [["pu", vrf, []]]]
        if kind == "second_client":
            return ["second_client"]
        if kind == "lldpd_stop":
            self.present = False
            return ["lldpd_stop"]
        if kind == "lldpd_start":
            self.present = True
            return ["lldpd_start", r.choice([0, 0, 1, 2, 3, 5, 8])]
        if kind == "state":
            return ["state", r.choice(["frr_zebra", "frr_zebra", "vorsd"]), r.choice([1, 1, 2, 2, 0, 3])]
        if kind == "mtu":
            return ["mtu", r.choice(list(self.links)), r.choice(MTU_CHOICES)]
        if kind == "limit":
            return ["limit", r.choice(LIMITS + [25000])]
        return ["disconnect", r.choice([0, 0, 0, 5, 13])]


def link_indexes():
    """The ifindexes the links get in a fresh network namespace: lo is 1, each veth pair takes two."""
    box = Sandbox().enter()
    try:
        return [box.add_veth(f"m{i}", f"p{i}")[0] for i in range(N_LINKS)]
    finally:
        box.leave()


def generate(seed, steps, links):
    rng = random.Random(seed)
    mtus = [rng.choice(LINK_MTUS) for _ in range(N_LINKS)]
    limit = 25000 if rng.random() < 0.75 else rng.choice(LIMITS)
    gen = Generator(rng, links)
    out = []
    if rng.random() < 0.8:
        out += [["state", "frr_zebra", 1], ["state", "vorsd", 1]]
    while len(out) < steps:
        out.append(gen.step())
    return {"seed": seed, "limit": limit, "mtus": mtus, "steps": out}


# --- running, shrinking, reporting ------------------------------------------------------------------

def attempt(case):
    """None when the case passes, else (failing step index, message)."""
    return shrinking.attempt(run_sequence, Mismatch, case)


def shrink(case, failing_step, budget):
    """Drops steps while the case still fails, then messages inside the steps, then prefix entries
    inside the messages; `budget` seconds at most."""
    deadline = time.monotonic() + budget
    best = dict(case, steps=case["steps"][:failing_step + 1])

    def fails(steps):
        nonlocal best
        res = attempt(dict(best, steps=steps))
        if res is not None:
            best = dict(best, steps=steps[:res[0] + 1])
        return res is not None

    drop_chunks(best["steps"], fails, deadline)
    for i in range(len(best["steps"])):
        if i >= len(best["steps"]) or best["steps"][i][0] != "nb":
            continue
        drop_chunks(best["steps"][i][1], lambda ms: fails(best["steps"][:i] + [["nb", ms]] + best["steps"][i + 1:]),
                    deadline)
        for j in range(len(best["steps"][i][1])):
            if i >= len(best["steps"]) or j >= len(best["steps"][i][1]) or best["steps"][i][1][j][0] != "pu":
                continue

            def with_entries(es):
                m = list(best["steps"][i][1][j])
                m[2] = es
                msgs = best["steps"][i][1][:j] + [m] + best["steps"][i][1][j + 1:]
                return fails(best["steps"][:i] + [["nb", msgs]] + best["steps"][i + 1:])

            drop_chunks(best["steps"][i][1][j][2], with_entries, deadline)
    return best


def regression_test(case, message):
    return format_regression(case, message, ("limit", "mtus", "steps"),
                             "{comment}\n"
                             "def test_model_seed_{seed}(sandbox):\n"
                             "    assert_matches_model(sandbox, json.loads({body}))\n")


def main():
    return shrinking.main(__doc__, name="checker", script="tests/model/checker.py", default_steps=40,
                          default_shrink_time=600, generator=lambda: functools.partial(generate, links=link_indexes()),
                          run_sequence=run_sequence, mismatch=Mismatch, shrink=shrink, regression=regression_test,
                          coverage=coverage, counted_by="the daemon's log")


if __name__ == "__main__":
    sys.exit(main())
