#!/usr/bin/python3
"""Random-sequence checker of the host agent: drives the installed tallowhost in a sandbox with 2 to 4
veth uplinks and seeded random event sequences, and compares `ip route show table 250` (both families)
and its `ip rule` lines with the reference model (host_model.py) at every quiet point.

    host_checker.py [--seed N] [--steps N] [--sequences N | --time SECONDS]

Quiet is reached by readiness: the agent's log lines for what a step did (links, addresses, restored
routes and rules, adoption), then a barrier delta on an uplink that is up, whose set line shows that
the frames and notifications before it were handled, then the kernel's table. TTL expiry is waited for
by its log line. The other timer, the window in which a delta's decisions stand against whole sets that
say otherwise, ends without a line: the checker keeps its compare points and whole sets clear of the
window's end by its own clock, with margins (see Run.settle), and waits when it must.

A failing sequence is shrunk (steps dropped while it still fails) and printed, with its seed, as a
ready-to-paste regression case. The exit status is 1 on a mismatch.

Besides frames, links, addresses, main-table routes and the agent's own routes and rules, a sequence
deletes uplinks' links and makes them again under their names, takes several uplinks down at once
(all of them, at times), changes net.ipv4.conf.all.rp_filter, and restarts the agent with SIGTERM
around half-received sets, short TTLs and uplinks that go down or away while it is stopped. A stale
set is a neighbour's previous whole set sent again after deltas, as a switch's LLDP agent re-sends the
set it holds before the new one arrives: right after the deltas (and then the fresh set, nothing, or
a second delta on the same prefixes), after the deltas' window, or after the neighbour was forgotten.
At every start the neighbours it restores (each with its whole set and the TTL it had left) and its
reverse-path filtering notices are checked against the model and the sysctls.
"""

import ipaddress
import json
import random
import re
import signal
import socket
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TESTS = HERE.parent
for p in (HERE, TESTS, TESTS / "tallowhost"):
    sys.path.insert(0, str(p))

from host_helpers import TABLE, UPLINKS, ip, start_agent  # noqa: E402
from host_model import FIRST, MORE, PERIODIC, SET_GUARD, HostModel, net  # noqa: E402
from lldp_frames import control_tlv, lldp_frame, prefix_tlv, tlv  # noqa: E402
import shrinking  # noqa: E402
from shrinking import drop_chunks, format_regression  # noqa: E402

LETTERS = "abcd"
# Per uplink, the neighbours a sequence uses: (chassis, port); the third is the first's chassis on
# another port, a new neighbour to the agent.
WHO = {x: [(f"02:00:00:00:0{i + 1}:01", f"swp{i + 1}"), (f"02:00:00:00:0{i + 1}:02", f"swp{i + 1}"),
           (f"02:00:00:00:0{i + 1}:01", f"swp{i + 5}")] for i, x in enumerate(LETTERS)}
PLAIN = ("02:00:00:00:0b:01", "bmc0")  # a management controller: LLDP without the relay's TLV
BARRIER = "198.18.0.0/15"  # declared and withdrawn at once by a barrier: never declared otherwise
# Nested and overlapping prefixes, so that neighbours on several switches cover each other's.
V4 = ["10.0.0.0/8", "10.1.0.0/16", "10.1.2.0/24", "10.1.2.128/25", "10.1.2.7/32", "10.2.0.0/16", "10.9.0.0/16",
      "10.9.1.0/24", "172.16.0.0/12", "172.16.5.0/24", "10.1.2.7/24"]
V6 = ["2001:db8:1000::/36", "2001:db8:1001::/48", "2001:db8:1001:5::/64", "2001:db8:2000::/36",
      "2001:db8:1001:5::9/128", "fd00::/8", "fd00:1::/32"]
DEFAULTS = ["0.0.0.0/0", "::/0"]
BULK = [f"10.100.{i}.0/24" for i in range(40)] + [f"2001:db8:3000:{i:x}::/64" for i in range(20)]
SET_MTU = 200  # small frames: sets of a few dozen prefixes take several
# Routes of the main table a step adds or removes: none may change the agent's table.
MAIN_ROUTES = [
    ["10.60.0.0/16", "dev", "ha", "scope", "link"],                 # connected through an uplink
    ["10.9.1.0/24", "via", "192.0.2.1", "dev", "ha"],               # more specific, through an uplink
    ["10.61.0.0/16", "via", "172.20.0.1", "dev", "st0"],            # through the storage NIC
    ["172.20.9.0/24", "dev", "st0", "scope", "link"],               # connected, another interface
    ["-6", "2001:db8:61::/48", "via", "2001:db8:5::1", "dev", "st0"],
    ["-6", "2001:db8:1001:7::/64", "dev", "hb"],
]
# Per uplink letter as in host_helpers.UPLINKS: host side address, IPv4 next hop, host side IPv6
# address, IPv6 next hop; a fourth uplink here.
UPLINK = dict(UPLINKS, d=("100.64.0.2/30", "100.64.0.1", "2001:db8:d::2/64", "fe80::d1"))
OTHER_V4 = {"a": "192.0.2.6/30", "b": "198.51.100.6/30", "c": "203.0.113.6/30", "d": "100.64.0.6/30"}
OTHER_V6 = {x: f"2001:db8:{x}{x}::2/64" for x in LETTERS}


class Mismatch(AssertionError):
    def __init__(self, msg, step=0, compares=0):
        super().__init__(msg)
        self.step, self.compares = step, compares


# The share of steps that are drawn among the events added later (NEW_EVENTS), from a random stream of
# their own: the other steps of a seed are the ones it always gave, in the same order.
NEW_SHARE = 0.15
NEW_EVENTS = {"dellink": 3, "restart": 5, "rpfilter": 2, "updown": 3, "flap": 2}
# Stale sets (Run.stale) come from a third stream, so that the steps of both others stay as they were.
STALE_SHARE = 0.07
STALE_HOW = {"kept": 3, "fresh": 3, "expire": 3, "redelta": 3, "late": 2, "ttl0": 1, "carrier": 1}
# A delta's decisions still stand this long after it was sent, whatever the delays; its window has
# ended for certain AFTER seconds after it was sent and SET_GUARD + SLACK after its barrier was seen.
INSIDE, AFTER, SLACK = 0.6, 1.5, 0.2

COVERAGE = {
    "whole sets": r"^set: h.: \d+ prefixes in \d+ frames",
    "multi-frame sets": r"^set: h.: \d+ prefixes in ([2-9]|\d\d+) frames",
    "partial sets discarded": r"^set: h.: first frame while a set",
    "continuations discarded": r"^set: h.: continuation frame with no set open",
    "deltas": r"^set: h.: delta of ([1-9]|\d\d+) added|delta of \d+ added, ([1-9]|\d\d+) withdrawn",
    "sets held back by deltas": r"^set: h.: \d+ prefixes in \d+ frames, \d+ changed, [1-9]\d* kept as deltas",
    "windows ended by the last set's word": r"^set: h.: \d+ prefixes from .* now as its last set says",
    "TTL 0": r"forgotten \(TTL 0\)",
    "TTL expired": r"forgotten \(TTL expired\)",
    "forgotten with the link": r"forgotten \(link down\)",
    "carrier lost": r"^link: h.: carrier lost",
    "set down": r"^link: h.: set down",
    "gateways not on-link": r"is not on-link",
    "routes restored": r"changed behind the agent's back",
    "rules restored": r"^rule: \d+ rules of the agent were removed",
    "adoptions": r"^route: adopted",
    "adoption ended": r"^route: adoption ended",
    "links deleted": r"^link: h.: deleted$",
    "links taken in again": r"^link: h.: present \(index \d+\), taken in",
    "stops saving neighbours": r"^state: [1-9]\d* neighbours saved",
    "neighbours restored": r"^neighbour: h.: chassis \S+ port \S+ restored",
    "strict rp_filter notices": r"^link: h.: strict reverse-path filtering",
}
# Counted by the checker itself, not in the log.
CHECKED = ("partial sets left out of a restart", "restored with a short TTL, then expired",
           "expired while stopped", "uplinks down or away at a restart", "compared with some uplinks down",
           "compared with every uplink down", "whole sets held back by a delta", "held back, then taken at "
           "the window's end", "stale sets, then the fresh set", "second deltas in a window",
           "stale sets after the window", "stale sets to a forgotten neighbour", "waits out of a window's end")
NOTICE = re.compile(r"^link: (h.): strict reverse-path filtering \(rp_filter 1\)")
RESTORED = re.compile(r"^neighbour: (h.): chassis (\S+) port (\S+) restored, TTL (\d+), (\d+) s left, (\d+) prefixes$")
coverage = dict.fromkeys(list(COVERAGE) + list(CHECKED), 0)


# --- the kernel's answers, normalised as the model gives them ---------------------------------------

def kernel_table():
    out = {4: set(), 6: set()}
    problems = []
    for f in (4, 6):
        rows = json.loads(ip(f"-{f}", "-j", "route", "show", "table", str(TABLE)).stdout or "[]")
        for r in rows:
            if str(r.get("protocol")) != "241":
                problems.append(f"a route without protocol 241: {r}")
            dst = net("0.0.0.0/0" if r["dst"] == "default" and f == 4 else "::/0" if r["dst"] == "default"
                      else r["dst"] if "/" in r["dst"] else r["dst"] + ("/32" if f == 4 else "/128"))
            kind = r.get("type", "unicast")
            if kind == "unicast":
                hops = r.get("nexthops") or [r]
                out[f].add(("unicast", dst, frozenset((h.get("gateway"), h.get("dev")) for h in hops)))
            else:
                out[f].add((kind, dst, frozenset()))
    return out, problems


def kernel_rules():
    out = {4: set(), 6: set()}
    for f in (4, 6):
        for line in ip(f"-{f}", "rule", "show").stdout.splitlines():
            if "proto 241" in line:
                prio, what = line.split(":", 1)
                what = what.replace("from all", "").replace("proto 241", "").split()
                out[f].add((int(prio), " ".join(what)))
    return out


def show_route(r):
    kind, dst, hops = r
    return f"{kind} {dst}" + ("".join(f" via {g} dev {d}" for g, d in sorted(hops)) if hops else "")


def admin_up(name):
    return "UP" in json.loads(ip("-j", "link", "show", name).stdout)[0]["flags"]


def link_state(name):
    """(up with carrier, addresses) as the kernel reports them; a link that does not exist is down."""
    r = ip("-j", "addr", "show", "dev", name, check=False)
    if r.returncode != 0:
        return False, []
    info = json.loads(r.stdout)[0]
    up = "UP" in info["flags"] and "LOWER_UP" in info["flags"]
    addrs = [f"{a['local']}/{a['prefixlen']}" for a in info.get("addr_info", []) if a["family"] in ("inet", "inet6")]
    return up, addrs


def rp_filter(conf):
    return int(Path(f"/proc/sys/net/ipv4/conf/{conf}/rp_filter").read_text())


def split(prefixes):
    room = SET_MTU - 60 - 7
    frames, cur, used = [], [], 0
    for p in prefixes:
        n = len(prefix_tlv(p))
        if used + n > room:
            frames.append(cur)
            cur, used = [], 0
        cur.append(p)
        used += n
    frames.append(cur)
    return frames


# --- one run ----------------------------------------------------------------------------------------

class Run:
    def __init__(self, sandbox, letters):
        self.box = sandbox
        self.letters = letters
        self.compares = self.barriers = 0
        self.addr4 = dict.fromkeys(letters, "normal")
        self.addr6 = dict.fromkeys(letters, "normal")
        self.present = dict.fromkeys(letters, False)
        self.socks = {}
        self.rp = {"all": rp_filter("all")}  # the rp_filter values set here, which the agent must leave alone
        self.notices = {f"h{x}": 0 for x in letters}  # strict rp_filter notices the agent must have logged
        self.pending = {}  # (letter, neighbour) -> (sent at, TTL, log mark): short TTLs not yet expired
        self.sent = {}  # (letter, neighbour) -> the last whole set it sent: what it would send again
        self.args = []
        for x in letters:
            self.make_link(x)
            self.args += ["--uplink", f"h{x}={UPLINK[x][1]},{UPLINK[x][3]}"]
        self.default_route()
        sandbox.add_veth("st0", "st1")
        ip("addr", "add", "172.20.0.2/24", "dev", "st0")
        ip("-6", "addr", "add", "2001:db8:5::2/64", "dev", "st0", "nodad")
        self.wait_links()
        self.model = HostModel([(f"h{x}", UPLINK[x][1], UPLINK[x][3]) for x in letters])
        self.sync_links()
        self.main_routes = set()
        start = sandbox.syslog.count()
        self.agent = start_agent(sandbox, self.args)
        self.started(start)

    # -- the uplinks' links --
    def make_link(self, x):
        """The veth pair of uplink x, up, with the addresses it is meant to have, and a socket on the
        switch side."""
        self.box.add_veth(f"h{x}", f"s{x}")
        v4 = {"normal": UPLINK[x][0], "other": OTHER_V4[x]}.get(self.addr4[x])
        v6 = {"normal": UPLINK[x][2], "other": OTHER_V6[x]}.get(self.addr6[x])
        if v4:
            ip("addr", "add", v4, "dev", f"h{x}")
        if v6:
            ip("-6", "addr", "add", v6, "dev", f"h{x}", "nodad")
        s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        s.bind((f"s{x}", 0))
        s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 8 << 20)
        self.socks[x] = s
        self.present[x] = True
        self.rp[f"h{x}"] = rp_filter(f"h{x}")

    def default_route(self):
        """The main table's default route over the uplinks that can take one (nothing of the agent's
        depends on it)."""
        hops = []
        for x in self.letters:
            if self.present[x] and admin_up(f"h{x}") and self.addr4[x] == "normal":
                hops += ["nexthop", "via", UPLINK[x][1], "dev", f"h{x}"]
        if hops:
            ip("route", "replace", "default", *hops, check=False)

    def wait_links(self, letters=None):
        deadline = time.monotonic() + 10
        for x in letters or self.letters:
            for end in (f"h{x}", f"s{x}"):
                while not link_state(end)[0]:
                    if time.monotonic() > deadline:
                        raise RuntimeError(f"{end} did not come up")
                    time.sleep(0.01)

    def sync_links(self):
        for x in self.letters:
            self.model.link(f"h{x}", *link_state(f"h{x}"))

    def up(self, x):
        return self.model.uplinks[f"h{x}"].up

    # -- the log --
    def mark(self):
        return self.agent.mark()

    def wait(self, pattern, start, timeout=10.0):
        try:
            return self.agent.wait_for(pattern, timeout=timeout, start=start)
        except AssertionError:
            raise Mismatch(f"the agent's log: no line matching {pattern!r} within {timeout} s; last lines:\n"
                           + "\n".join(self.agent.messages()[-25:]))

    def expiry_line(self, x, who):
        return re.compile(rf"^neighbour: h{x}: chassis {who[0]} port {who[1]} forgotten \(TTL expired\)")

    def follow_expiries(self):
        """The model forgets a neighbour with a short TTL when the agent's log says it expired."""
        if not self.pending:
            return
        for (x, who), (sent, ttl, mark) in list(self.pending.items()):
            rx = self.expiry_line(x, who)
            if any(rx.search(l) for l in self.agent.messages(mark)):
                if time.monotonic() < sent + ttl - 0.1:
                    raise Mismatch(f"h{x}: chassis {who[0]} port {who[1]} expired before its TTL of {ttl} s")
                self.model.forget(f"h{x}", who)
                del self.pending[(x, who)]

    def check_notices(self):
        """The agent logs the strict rp_filter notice of an uplink once whenever it takes the link in
        (at its start, or when the link appears) with max(conf/all, conf/IF) at 1, and never changes
        rp_filter."""
        seen = {name: 0 for name in self.notices}
        for line in self.agent.messages():
            m = NOTICE.search(line)
            if m:
                seen[m.group(1)] = seen.get(m.group(1), 0) + 1
        if seen != self.notices:
            raise Mismatch(f"strict rp_filter notices: logged {seen}, expected {self.notices} "
                           f"(rp_filter {self.rp})")
        for conf, v in self.rp.items():
            if conf != "all" and not self.present[conf[1]]:
                continue
            if rp_filter(conf) != v:
                raise Mismatch(f"rp_filter of {conf} is {rp_filter(conf)}, was set to {v}")

    def taken_in(self, x):
        """The agent took uplink x's link in: a notice is due when its rp_filter is strict."""
        if max(self.rp["all"], self.rp[f"h{x}"]) == 1:
            self.notices[f"h{x}"] += 1

    # -- frames --
    def send(self, x, who, ttl, flags, entries):
        body = control_tlv(flags) + b"".join(prefix_tlv(p, withdrawn=w) for p, w in entries)
        if ttl and flags & PERIODIC and not flags & MORE:
            self.clear_of_windows(x, who, flags, entries)
        self.socks[x].send(lldp_frame(who[0], who[1], ttl, body))
        self.model.frame(f"h{x}", who, ttl, flags, entries, now=time.monotonic())
        n = self.model.uplinks[f"h{x}"].neighbours.get(who)
        if n and flags & PERIODIC and not flags & MORE:
            for g in n.guards.values():
                if g.word is not None:
                    g.note["word seen"] = None  # the set that held it back is not yet seen taken

    def barrier(self, x=None):
        """Two deltas on uplink x (the first that is up by default), waited for in the log: what was
        sent on x before is handled, and the agent's times for it are bounded."""
        ups = [y for y in self.letters if self.up(y)]
        if not ups or not self.model.running or (x is not None and x not in ups):
            return False
        x = x or ups[0]
        start = self.mark()
        self.send(x, WHO[x][0], 120, FIRST, [(BARRIER, False)])
        self.send(x, WHO[x][0], 120, FIRST, [(BARRIER, True)])
        self.wait(rf"^set: h{x}: delta of 0 added, 1 withdrawn, 1 changed", start)
        self.barriers += 1
        now = time.monotonic()
        for name, _, _, g in self.model.guards():
            if name == f"h{x}":
                g.note.setdefault("seen", now)
                if "word seen" in g.note and g.note["word seen"] is None:
                    g.note["word seen"] = now
                    if now >= g.at + SET_GUARD - 0.05:
                        g.note["unsure"] = True  # the set may have come after the window
        return True

    # -- the deltas' windows, on the checker's clock --
    # A guard's `at` is when its delta was sent: the agent took it later, and at the latest when its
    # barrier was seen ("seen"). A whole set that says otherwise and is sent before INSIDE holds no
    # surprise once it is seen taken within the window; it is held back until the window's end, which
    # comes between at + SET_GUARD and seen + SET_GUARD. Comparing and sending sets only before
    # at + INSIDE or after the window has ended for certain leaves no doubt what the table holds.

    def ended(self, g):
        """When the guard's window has ended for certain."""
        return max(g.at + AFTER, g.note.get("seen", time.monotonic()) + SET_GUARD + SLACK)

    def held_back(self, g, now):
        """The guard holds a set's word back and will for certain until after now."""
        return now < g.at + INSIDE and not g.note.get("unsure")

    def settle(self):
        """Before a compare point, a stop or a crash: waits while a guard that holds a set's word back
        might be at its window's end, then brings the model to now."""
        m = self.model
        while m.running:
            pend = [(name, g) for name, _, _, g in m.guards() if g.word is not None]
            unseen = sorted({name[1] for name, g in pend if "seen" not in g.note or g.note.get("word seen", 0) is None})
            if unseen:
                for x in unseen:
                    if not self.barrier(x):  # cannot be told: take the latest bound there is
                        for name, g in pend:
                            if name == f"h{x}":
                                g.note.setdefault("seen", time.monotonic())
                                if g.note.get("word seen", 0) is None:
                                    g.note["word seen"], g.note["unsure"] = time.monotonic(), True
                continue
            now = time.monotonic()
            until = max((self.ended(g) for _, g in pend if not self.held_back(g, now)), default=0.0)
            if until <= now:
                break
            coverage["waits out of a window's end"] += 1
            time.sleep(until - now)
        m.advance(time.monotonic())

    def clear_of_windows(self, x, who, flags, entries):
        """Before the frame that completes a whole set: waits while the set, saying otherwise than a
        delta of the neighbour, might come at the end of the delta's window."""
        m = self.model
        if not (m.running and self.up(x)):
            return
        while True:
            n = m.uplinks[f"h{x}"].neighbours.get(who)
            whole = n.completes(flags, entries) if n else None
            if whole is None:
                return
            now = time.monotonic()
            against = [g for p, g in n.guards.items() if (p in whole) != g.declared and now >= g.at + INSIDE]
            if any("seen" not in g.note for g in against) and self.barrier(x):
                continue
            until = max((self.ended(g) for g in against), default=0.0)
            if until <= now:
                return
            coverage["waits out of a window's end"] += 1
            time.sleep(until - now)

    def guards_of(self, x, who, prefixes):
        """The neighbour's guards of these prefixes, seen taken."""
        n = self.model.uplinks[f"h{x}"].neighbours.get(who)
        guards = [n.guards[net(p)] for p in prefixes if n and net(p) in n.guards]
        if any("seen" not in g.note for g in guards):
            self.barrier(x)
        return guards

    def past(self, guards):
        """Waits until the windows of these guards have ended for certain, whether they still stand
        or not."""
        until = max((self.ended(g) for g in guards), default=0.0)
        if until > time.monotonic():
            time.sleep(until - time.monotonic())

    def periodic(self, x, who, prefixes, skip, ttl=120):
        """A periodic set as the switch packs it into frames of SET_MTU bytes; `skip` holds the
        indexes of frames lost on the way."""
        frames = split(prefixes)
        self.sent[(x, who)] = list(prefixes)
        for i, es in enumerate(frames):
            if i not in skip:
                flags = PERIODIC | (FIRST if i == 0 else 0) | (MORE if i + 1 < len(frames) else 0)
                self.send(x, who, ttl, flags, [(p, False) for p in es])

    # -- the agent's life --
    def restart(self, start, clean=False):
        """A new run; after a clean stop, the routes of the neighbours it restores are in the table
        when it says it started."""
        spawned = time.monotonic()
        self.agent = start_agent(self.box, self.args, wait=False)
        self.wait(r"^tallowhost started on ", start)
        self.started(start, spawned)
        if clean:
            self.compare(timeout=0 if not self.pending else 5.0)

    def started(self, start, spawned=None):
        """Checks what the agent restored at the start whose log begins at `start`, takes it into the
        model and counts the notices due."""
        m = self.model
        lines = []
        for l in self.agent.messages(start):
            if l.startswith("tallowhost started on "):
                break
            lines.append(l)
        got = {}
        for l in lines:
            r = RESTORED.search(l)
            if r:
                got[(r.group(1), (r.group(2), r.group(3)))] = (int(r.group(4)), int(r.group(5)), int(r.group(6)))
        # A neighbour with a short TTL is not restored when its TTL ran out before this start.
        for (x, who), (sent, ttl, mark) in list(self.pending.items()):
            if (f"h{x}", who) in got or m.running:
                continue
            if who in m.saved.get(f"h{x}", {}) and self.up(x):
                if spawned is not None and spawned < sent + ttl - 1.0:
                    raise Mismatch(f"h{x}: chassis {who[0]} port {who[1]} not restored with "
                                   f"{sent + ttl - spawned:.1f} s of its TTL left at the start")
                coverage["expired while stopped"] += 1
            m.saved.get(f"h{x}", {}).pop(who, None)
            del self.pending[(x, who)]
        want = {(name, who): len(prefixes) for name, ns in m.saved.items() for who, prefixes in ns.items()
                if m.uplinks[name].up}
        have = {k: v[2] for k, v in got.items()}
        if have != want:
            raise Mismatch("restored neighbours (uplink, neighbour): prefixes\n  agent: "
                           f"{sorted(have.items())}\n  model: {sorted(want.items())}\n  log:\n    "
                           + "\n    ".join(lines))
        for (name, who), (ttl, left, n) in got.items():
            short = self.pending.get((name[1], who))
            want_ttl = short[1] if short else 120
            # A short TTL's neighbour was sent at least a second before this start (see "restart").
            if ttl != want_ttl or left > (ttl - 2 if short else ttl):
                raise Mismatch(f"{name}: chassis {who[0]} port {who[1]} restored with TTL {ttl} and {left} s "
                               f"left; it was sent with TTL {want_ttl}" + (f" {time.monotonic() - short[0]:.1f} s ago"
                                                                            if short else ""))
        summary = [l for l in lines if l.startswith("state: restored ")]
        total = sum(want.values())
        said = rf"^state: restored {len(want)} neighbours with {total} prefixes saved \d+ ms ago$"
        if want and not any(re.match(said, l) for l in summary):
            raise Mismatch(f"no line 'state: restored {len(want)} neighbours with {total} prefixes ...'; log:\n    "
                           + "\n    ".join(lines))
        if not want and summary:
            raise Mismatch(f"nothing to restore, yet: {summary}")
        for x in self.letters:
            if self.present[x]:
                self.taken_in(x)
        if spawned is not None:
            m.start()
        self.check_notices()

    def stop(self):
        """SIGTERM: the exit status, the groups put back, and the neighbours saved."""
        m = self.model
        self.settle()
        start = self.mark()
        rc = self.agent.stop(signal.SIGTERM)
        self.box.syslog.sync()
        self.follow_expiries()
        for name, u in m.uplinks.items():
            coverage["partial sets left out of a restart"] += sum(1 for n in u.neighbours.values()
                                                                   if u.up and n.open is not None)
        m.stop()
        if rc != 0:
            raise Mismatch(f"the agent's exit status after SIGTERM is {rc}")
        groups = [json.loads(ip("-j", "link", "show", f"h{x}").stdout)[0].get("group")
                  for x in self.letters if self.present[x]]
        if any(g != "default" for g in groups):
            raise Mismatch(f"after a clean stop the uplinks' groups are {groups}")
        # A neighbour whose short TTL runs out about now may be left out without a line.
        saved = sum(len(ns) for ns in m.saved.values())
        late = sum(1 for (x, who), (sent, ttl, _) in self.pending.items() if time.monotonic() > sent + ttl - 0.5)
        said = [l for l in self.agent.messages(start) if re.match(r"^state: \d+ neighbours saved to ", l)]
        n = int(said[0].split()[1]) if said else None
        if n is None or not saved - late <= n <= saved:
            raise Mismatch(f"at stop the agent said {said}; the model saved {saved} neighbours")
        self.compare()

    def set_link(self, kind, x, down, wait=True):
        """The switch side's carrier ("carrier") or the host side's admin state ("admin") of uplink x;
        False when it was so already."""
        m = self.model
        if not self.present[x]:
            return False
        start = self.mark()
        dev = f"s{x}" if kind == "carrier" else f"h{x}"
        was = link_state(dev)[0] if kind == "carrier" else admin_up(dev)
        if was == (not down):
            return False
        ip("link", "set", dev, "down" if down else "up")
        if not down and kind == "admin":
            # The kernel drops an IPv6 address with its link: put it back as it was.
            v6 = UPLINK[x][2] if self.addr6[x] == "normal" else OTHER_V6[x] if self.addr6[x] == "other" else None
            if v6:
                ip("-6", "addr", "add", v6, "dev", f"h{x}", "nodad", check=False)
        if not down and link_state(f"s{x}")[0] and admin_up(f"h{x}"):
            deadline = time.monotonic() + 10
            while not link_state(f"h{x}")[0] and time.monotonic() < deadline:
                time.sleep(0.01)
        if m.running and wait:
            if down and self.up(x):  # a link that was not up goes down without a line
                self.wait(rf"^link: h{x}: (carrier lost|set down)$", start)
            elif link_state(f"h{x}")[0]:
                self.wait(rf"^link: h{x}: up$", start)
        self.sync_links()
        return True

    def delete_link(self, x, wait=True):
        """`ip link del hX`, which takes sX with it: the uplink is down and has no addresses."""
        start = self.mark()
        ip("link", "del", f"h{x}")
        self.socks.pop(x).close()
        self.present[x] = False
        del self.rp[f"h{x}"]
        self.main_routes = {i for i in self.main_routes if f"h{x}" not in MAIN_ROUTES[i]}
        if wait and self.model.running:
            self.wait(rf"^link: h{x}: deleted$", start)
        self.sync_links()  # the model forgets its neighbours, even when the link is made again at once

    def make_link_again(self, x, wait=True):
        """The link made again under its name, with its addresses and the main table's default route."""
        start = self.mark()
        self.make_link(x)
        self.default_route()
        self.wait_links([x])
        if wait and self.model.running:
            self.taken_in_again(x, start)

    def taken_in_again(self, x, start):
        line = self.wait(rf"^link: h{x}: present \(index \d+\), taken in(, not up yet)?$", start)
        if line.message.endswith("not up yet"):
            self.wait(rf"^link: h{x}: up$", start)
        self.taken_in(x)

    # -- steps --
    def step(self, s):
        kind, m = s[0], self.model
        start = self.mark()
        if kind in ("set", "delta", "ttl0", "plain", "short", "tail", "stale") and not (m.running and self.up(s[1])):
            return  # a frame on a link that is down reaches no one
        if kind == "set":
            _, x, w, prefixes, lost = s
            n = len(split(prefixes))
            skip = {"first": {0}, "middle": {n // 2} if n > 2 else set(), "last": {n - 1} if n > 1 else set()}.get(
                lost, set())
            self.periodic(x, WHO[x][w], prefixes, skip)
        elif kind == "tail":  # the last frame of a set: a continuation frame
            _, x, w, prefixes = s
            frames = split(prefixes)
            self.send(x, WHO[x][w], 120, PERIODIC, [(p, False) for p in frames[-1]])
        elif kind == "delta":
            _, x, w, added, withdrawn = s
            self.send(x, WHO[x][w], 120, FIRST, [(p, False) for p in added] + [(p, True) for p in withdrawn])
        elif kind == "ttl0":
            _, x, w = s
            self.send(x, WHO[x][w], 0, FIRST, [])
        elif kind == "plain":
            _, x, ttl = s
            mgmt_address = tlv(8, bytes([5, 1, 192, 0, 2, 99, 2, 0, 0, 0, 0, 0]))
            self.socks[x].send(lldp_frame(PLAIN[0], PLAIN[1], ttl, mgmt_address))
        elif kind == "short":
            _, x, w, prefixes, ttl = s
            if WHO[x][w] in m.uplinks[f"h{x}"].neighbours and m.uplinks[f"h{x}"].neighbours[WHO[x][w]].open is not None:
                return  # its open set would be discarded by the first frame, which the model does; keep it simple
            # A whole set that changes nothing has no line, and a barrier would renew the TTL: the
            # neighbour is compared once it is forgotten.
            self.periodic(x, WHO[x][w], prefixes, set(), ttl=ttl)
            self.wait(rf"^neighbour: h{x}: chassis {WHO[x][w][0]} port {WHO[x][w][1]} forgotten \(TTL expired\)",
                      start, timeout=ttl + 10)
            m.forget(f"h{x}", WHO[x][w])
        elif kind in ("carrier", "admin"):
            _, x, down = s
            self.set_link(kind, x, down)
        elif kind == "updown":  # several uplinks at once, every one of them down at times
            for x, state in s[1]:
                if state == "up":
                    self.set_link("carrier", x, False)
                    self.set_link("admin", x, False)
                else:
                    self.set_link(state, x, True)
        elif kind == "flap":
            # The link down and up again while the agent is held (SIGSTOP): it reads both at once,
            # and the neighbours must still be forgotten.
            _, x, how = s
            if not (m.running and self.up(x)):
                return
            self.agent.proc.send_signal(signal.SIGSTOP)
            try:
                self.set_link(how, x, True, wait=False)
                self.set_link(how, x, False, wait=False)
            finally:
                self.agent.proc.send_signal(signal.SIGCONT)
            self.wait(rf"^link: h{x}: (carrier lost|set down)$", start)
            self.wait(rf"^link: h{x}: up$", start)
        elif kind == "dellink":
            # With `held`, the agent is stopped (SIGSTOP) meanwhile: it reads every notification of
            # the deletion, and of the new link, at once when it goes on, as on a busy host.
            _, x, again, *held = s
            held = bool(held and held[0]) and m.running
            if held:
                self.agent.proc.send_signal(signal.SIGSTOP)
            try:
                deleted = self.present[x]
                if deleted:
                    self.delete_link(x, wait=not held)
                if again or not deleted:
                    self.make_link_again(x, wait=not held)
            finally:
                if held:
                    self.agent.proc.send_signal(signal.SIGCONT)
            if held:
                if deleted:
                    self.wait(rf"^link: h{x}: deleted$", start)
                if again or not deleted:
                    self.taken_in_again(x, start)
        elif kind == "rpfilter":
            _, v = s
            Path("/proc/sys/net/ipv4/conf/all/rp_filter").write_text(str(v))
            self.rp["all"] = v
        elif kind in ("addr4", "addr6"):
            _, x, to = s
            cur = (self.addr4 if kind == "addr4" else self.addr6)
            if cur[x] == to or not self.present[x]:
                return
            fam, normal, other = (("-4", UPLINK[x][0], OTHER_V4[x]) if kind == "addr4" else
                                  ("-6", UPLINK[x][2], OTHER_V6[x]))
            old = {"normal": normal, "other": other, "none": None}[cur[x]]
            new = {"normal": normal, "other": other, "none": None}[to]
            if old:
                ip(fam, "addr", "del", old, "dev", f"h{x}", check=False)
            if new:
                ip(fam, "addr", "add", new, "dev", f"h{x}", *(["nodad"] if fam == "-6" else []), check=False)
            cur[x] = to
            gw = UPLINK[x][1] if kind == "addr4" else UPLINK[x][3]
            if m.running and not ipaddress.ip_address(gw).is_link_local and self.up(x):
                before = m.uplinks[f"h{x}"].usable(4 if kind == "addr4" else 6)
                self.sync_links()
                after = m.uplinks[f"h{x}"].usable(4 if kind == "addr4" else 6)
                if before != after:
                    self.wait(rf"^link: h{x}: gateway {gw} is {'' if after else 'not '}on-link", start)
        elif kind == "main":
            _, i, add = s
            r = MAIN_ROUTES[i]
            if (i in self.main_routes) == add:
                return
            fam = [r[0]] if r[0] == "-6" else []
            ip(*fam, "route", "add" if add else "del", *r[len(fam):], check=False)
            (self.main_routes.add if add else self.main_routes.discard)(i)
        elif kind == "delroute":
            _, which = s
            if not m.running:
                return
            have, _ = kernel_table()
            routes = sorted(((f, r) for f in (4, 6) for r in have[f]), key=lambda t: (t[0], str(t[1][1])))
            if which == "flush":
                ip("route", "flush", "table", str(TABLE))
                ip("-6", "route", "flush", "table", str(TABLE), check=False)
            elif which == "unwanted":  # a route of the agent's protocol that it does not want
                ip("route", "add", "blackhole", "10.77.0.0/16", "table", str(TABLE), "proto", "241")
            elif which == "different" and routes:  # one of its routes made a blackhole
                f, r = routes[len(routes) // 2]
                ip(f"-{f}", "route", "replace", "blackhole", str(r[1]), "table", str(TABLE), "proto", "241")
            else:
                f, r = routes[which % len(routes)]
                dst = str(r[1])
                kind_word = [r[0]] if r[0] != "unicast" else []
                ip(f"-{f}", "route", "del", *kind_word, dst, "table", str(TABLE), check=False)
            self.wait(r"^route: table 250 was changed behind the agent's back", start)
        elif kind == "delrule":
            _, f, which = s
            if not m.running:
                return
            prio = m.priority - 1 if which else m.priority
            ip(f"-{f}", "rule", "del", "priority", str(prio))
            self.wait(r"^rule: \d+ rules of the agent were removed by someone else, restored$", start)
        elif kind == "crash":
            _, sets, deltas = s
            if not m.running or not any(self.up(x) for x in self.letters):
                return  # (with no uplink up, nothing would end the adoption but its 120 s)
            self.settle()
            self.agent.stop(signal.SIGKILL)
            m.crash()
            self.compare()
            start = self.mark()
            self.restart(start)
            self.wait(r"^route: adopted \d+ routes of a previous run", start)
            self.compare()
            # Deltas while the routes are adopted, and the whole sets one uplink after the other: the
            # adoption lasts until the last uplink that is up delivered one.
            for x, w, added, withdrawn in deltas:
                withdrawn = [p for p in withdrawn if p not in added]
                if self.up(x):
                    self.send(x, WHO[x][w], 120, FIRST, [(p, False) for p in added] + [(p, True) for p in withdrawn])
            sets = [t for t in sets if self.up(t[0])]
            for i, (x, w, prefixes) in enumerate(sets):
                self.periodic(x, WHO[x][w], prefixes, set())
                if i + 1 < len(sets):
                    self.barrier()
                    self.barrier()
                    self.compare()
            self.wait(r"^route: adoption ended", start)
        elif kind == "stop":
            if not m.running:
                return
            self.stop()
            self.restart(self.mark(), clean=True)
        elif kind == "restart":
            if not m.running:
                return
            self.restart_step(*s[1:])
        elif kind == "stale":
            self.stale(*s[1:])
        else:
            raise ValueError(s)
        self.sync_links()
        self.barrier()
        self.barrier()
        self.check_notices()

    def restart_step(self, prep, short, gap, after):
        """SIGTERM and a new start around what the saved state must hold or leave out: the steps of
        `prep` (sets, half-received sets, deltas), then a whole set with a short TTL, then the stop;
        the steps of `gap` while the agent is stopped (links down or deleted, rp_filter); the start,
        checked against the model; the steps of `after`; and the short TTL's expiry, which must come
        when the TTL runs out, not a whole TTL after the start."""
        m = self.model
        for s in prep:
            self.step(s)
            self.compare()
        if short and self.up(short[0]):
            x, w, prefixes, ttl = short
            mark, sent = self.mark(), time.monotonic()
            self.periodic(x, WHO[x][w], prefixes, set(), ttl=ttl)
            self.pending[(x, WHO[x][w])] = (sent, ttl, mark)
            self.barrier()
            self.barrier()
        self.stop()
        for s in gap:
            self.step(s)
        coverage["uplinks down or away at a restart"] += sum(1 for x in self.letters if not self.up(x))
        if self.pending:
            time.sleep(1.0)  # the TTL left at the start is then at least a second short of the whole TTL
        self.restart(self.mark(), clean=True)
        for s in after:
            self.step(s)
            self.compare()
        for (x, who), (sent, ttl, mark) in list(self.pending.items()):
            if who not in m.uplinks[f"h{x}"].neighbours:
                del self.pending[(x, who)]  # forgotten with its link
                continue
            self.wait(self.expiry_line(x, who).pattern, mark, timeout=max(0.0, sent + ttl - time.monotonic()) + 10)
            self.follow_expiries()
            coverage["restored with a short TTL, then expired"] += 1

    def stale(self, x, w, base, deltas, how, more):
        """Deltas from a neighbour, then the whole set it sent before them sent again (`base` first
        when it sent none): `how` says when and what comes after it.
          kept     nothing: the deltas' decisions stand, and the set's word comes at the window's end
                   while later steps run;
          fresh    the set with the deltas, at once (`more`: a prefix no delta named that it changes
                   as well): the guards end, and the window's end changes nothing;
          expire   the window's end is waited for: the stale set's word takes effect then;
          redelta  a second delta on prefixes of the first (`more`: [index, withdraw] each, and
                   whether the stale set comes once more after it): a new window, and the first one's
                   end changes nothing;
          late     the stale set only once the window has ended: taken in full at once;
          ttl0, carrier  the neighbour forgotten first (TTL 0, or its link's carrier lost and back):
                   its guards go with it, and the stale set is taken in full at once."""
        m, who = self.model, WHO[x][w]
        prev = self.sent.get((x, who))
        if prev is None:
            self.periodic(x, who, base, set())
            self.barrier(x)
            self.compare()
            prev = base
        holds = {net(p): p for p in prev}  # the neighbour's set as the switch holds it
        named = []
        for added, pick in deltas:
            withdrawn = [prev[i % len(prev)] for i in pick] if prev else []
            entries = [(p, False) for p in added] + [(p, True) for p in dict.fromkeys(withdrawn) if p not in added]
            self.send(x, who, 120, FIRST, entries)
            for p, gone in entries:
                holds.pop(net(p), None) if gone else holds.setdefault(net(p), p)
                named.append(p)
        self.barrier(x)
        windows = self.guards_of(x, who, named)
        self.compare()
        if how in ("ttl0", "carrier"):
            if how == "ttl0":
                self.send(x, who, 0, FIRST, [])
                self.barrier(x)
            elif not (self.set_link("carrier", x, True) and self.set_link("carrier", x, False) and self.up(x)):
                return
            self.compare()
            coverage["stale sets to a forgotten neighbour"] += 1
        elif how == "late":
            self.past(windows)
            coverage["stale sets after the window"] += 1
        self.periodic(x, who, prev, set())
        self.barrier(x)
        if how in ("ttl0", "carrier", "late") or not m.running or not self.up(x):
            return
        n = m.uplinks[f"h{x}"].neighbours.get(who)
        held = n is not None and any(g.word is not None for g in n.guards.values())
        self.compare()
        coverage["whole sets held back by a delta"] += held
        if how == "fresh":
            fresh = dict(holds)
            if more and net(more) not in {net(p) for p in named}:
                fresh.pop(net(more), None) if net(more) in fresh else fresh.setdefault(net(more), more)
            self.periodic(x, who, sorted(fresh.values(), key=lambda p: (":" in p, p)), set())
            self.barrier(x)
            self.compare()
            self.past(windows)
            coverage["stale sets, then the fresh set"] += held
        elif how == "expire":
            self.past(windows)
            coverage["held back, then taken at the window's end"] += held
        elif how == "redelta" and named:
            picks, again = more
            entries = [(named[i % len(named)], gone) for i, gone in picks]
            self.send(x, who, 120, FIRST, entries)
            self.barrier(x)
            windows += self.guards_of(x, who, [p for p, _ in entries])
            self.compare()
            if again:
                self.periodic(x, who, prev, set())
                self.barrier(x)
                self.compare()
            self.past(windows)
            coverage["second deltas in a window"] += held

    def compare(self, timeout=5.0):
        """The kernel's table and rules against the model's, polled until they agree or timeout, or
        until a guard that holds a set's word back might come near its window's end."""
        self.sync_links()
        self.settle()
        deadline = time.monotonic() + timeout
        if self.model.running:
            deadline = min([deadline] + [g.at + INSIDE for *_, g in self.model.guards() if g.word is not None])
        while True:
            self.follow_expiries()
            want, rules = self.model.want(), self.model.rules()
            have, problems = kernel_table()
            have_rules = kernel_rules()
            if have == want and have_rules == rules and not problems:
                self.compares += 1
                if self.model.running:
                    ups = sum(1 for x in self.letters if self.up(x))
                    if ups == 0:
                        coverage["compared with every uplink down"] += 1
                    elif ups < len(self.letters):
                        coverage["compared with some uplinks down"] += 1
                return
            if time.monotonic() > deadline:
                break
            time.sleep(0.02)
        out = list(problems)
        for f in (4, 6):
            for r in sorted(want[f] - have[f], key=str):
                out.append(f"missing   {show_route(r)}")
            for r in sorted(have[f] - want[f], key=str):
                out.append(f"unwanted  {show_route(r)}")
            if have_rules[f] != rules[f]:
                out.append(f"IPv{f} rules: kernel {sorted(have_rules[f])}, model {sorted(rules[f])}")
        raise Mismatch("table or rules differ from the model:\n  " + "\n  ".join(out))

    def close(self):
        for name, pattern in COVERAGE.items():
            rx = re.compile(pattern)
            coverage[name] += sum(1 for l in self.agent.messages() if rx.search(l))
        coverage["deltas"] -= 2 * self.barriers  # each barrier is two deltas
        for s in self.socks.values():
            s.close()


def run_sequence(box, case):
    """Runs a case; (steps, compare points) when the agent agrees with the model, else Mismatch."""
    run = Run(box, case["letters"])
    i = 0
    try:
        run.compare()
        for i, s in enumerate(case["steps"]):
            run.step(s)
            run.compare()
        return len(case["steps"]), run.compares
    except Mismatch as e:
        e.step, e.compares = i, run.compares
        raise
    finally:
        run.close()


# --- generating sequences ---------------------------------------------------------------------------

class Generator:
    def __init__(self, rng, letters, extra=None, later=None):
        self.rng, self.letters = rng, letters
        self.extra = extra  # draws the events of NEW_EVENTS, so that the others keep their draws
        self.later = later  # draws stale sets, so that both others keep theirs

    def prefixes(self, most=5, rng=None):
        r = rng or self.rng
        out = r.sample(V4 + V6, r.randint(0, most))
        if r.random() < 0.06:
            out.append(r.choice(DEFAULTS))
        if r.random() < 0.25:
            out += r.sample(BULK, r.randint(5, 40))
        return sorted(set(out), key=lambda p: (":" in p, p))

    def step(self):
        if self.later is not None and self.later.random() < STALE_SHARE:
            return self.stale_step()
        if self.extra is not None and self.extra.random() < NEW_SHARE:
            return self.new_step()
        r = self.rng
        x = r.choice(self.letters)
        w = r.choice([0, 0, 0, 1, 2])
        kinds = {"set": 30, "delta": 25, "ttl0": 4, "plain": 2, "short": 3, "carrier": 5, "admin": 4,
                 "addr4": 4, "addr6": 3, "main": 5, "delroute": 4, "delrule": 2, "crash": 3, "stop": 2}
        kind = r.choices(list(kinds), weights=list(kinds.values()))[0]
        if kind == "set":
            lost = r.choice([None, None, None, "first", "middle", "last"])
            if lost:  # sets of several frames
                prefixes = sorted(set(self.prefixes(4) + r.sample(BULK, r.randint(12, 40))),
                                  key=lambda p: (":" in p, p))
            else:
                prefixes = self.prefixes(6)
            return ["set", x, w, prefixes, lost]
        if kind == "delta":
            added = self.prefixes(3)
            withdrawn = [p for p in r.sample(V4 + V6 + DEFAULTS, r.randint(0, 3)) if p not in added]
            return ["delta", x, w, added, withdrawn]
        if kind == "ttl0":
            return ["ttl0", x, w]
        if kind == "plain":
            return ["plain", x, r.choice([0, 120])]
        if kind == "short":
            return ["short", x, w, self.prefixes(3), r.choice([1, 2])]
        if kind in ("carrier", "admin"):
            return [kind, x, r.random() < 0.55]
        if kind == "addr4":
            return ["addr4", x, r.choice(["normal", "normal", "none", "other"])]
        if kind == "addr6":
            return ["addr6", x, r.choice(["normal", "normal", "none", "other"])]
        if kind == "main":
            return ["main", r.randrange(len(MAIN_ROUTES)), r.random() < 0.6]
        if kind == "delroute":
            return ["delroute", r.choice(["flush", "unwanted", "different", r.randrange(1000), r.randrange(1000)])]
        if kind == "delrule":
            return ["delrule", r.choice([4, 6]), r.choice([0, 1])]
        if kind == "crash":
            deltas = [[r.choice(self.letters), r.choice([0, 1]), self.prefixes(2), r.sample(V4 + V6, r.randint(0, 2))]
                      for _ in range(r.choice([0, 0, 1, 2]))]
            sets = [[y, r.choice([0, 0, 1]), self.prefixes(5)] for y in r.sample(self.letters, len(self.letters))]
            return ["crash", sets, deltas]
        return ["stop"]

    def stale_step(self):
        """See Run.stale. The prefixes a delta withdraws are picked by index from the set sent before
        it, known only when the step runs."""
        r = self.later
        x, w = r.choice(self.letters), r.choice([0, 0, 1, 2])
        base = self.prefixes(5, r) or [r.choice(V4 + V6)]
        deltas = []
        for _ in range(r.choice([1, 1, 2])):
            added = r.sample(V4 + V6 + (DEFAULTS if r.random() < 0.1 else []), r.randint(0, 2))
            deltas.append([added, [r.randrange(64) for _ in range(r.randint(0 if added else 1, 3))]])
        how = r.choices(list(STALE_HOW), weights=list(STALE_HOW.values()))[0]
        more = None
        if how == "fresh" and r.random() < 0.5:
            more = r.choice(V4 + V6)
        elif how == "redelta":
            more = [[[r.randrange(8), r.random() < 0.5] for _ in range(r.randint(1, 2))], r.random() < 0.4]
        return ["stale", x, w, base, deltas, how, more]

    def new_step(self):
        r, letters = self.extra, self.letters
        kind = r.choices(list(NEW_EVENTS), weights=list(NEW_EVENTS.values()))[0]
        if kind == "dellink":  # deleted, and made again in this step or (when deleted) a later one
            return ["dellink", r.choice(letters), r.random() < 0.6, r.random() < 0.5]
        if kind == "rpfilter":
            return ["rpfilter", r.choice([0, 1, 1, 2])]
        if kind == "flap":
            return ["flap", r.choice(letters), r.choice(["carrier", "admin"])]
        if kind == "updown":  # every uplink's state at once: down while others are up, or all down
            return ["updown", [[x, r.choice(["up", "up", "carrier", "admin"])] for x in letters]]
        # A SIGTERM restart: see Run.restart_step.
        prep = []
        for _ in range(r.choice([0, 1, 1, 2])):
            x, w, what = r.choice(letters), r.choice([0, 1, 2]), r.choice(["set", "half", "half", "delta"])
            if what == "set":
                prep.append(["set", x, w, self.prefixes(5, r), None])
            elif what == "half":  # a set of several frames whose last one comes after the restart, or never
                prefixes = sorted(set(self.prefixes(3, r) + r.sample(BULK, r.randint(12, 40))),
                                  key=lambda p: (":" in p, p))
                prep.append(["set", x, w, prefixes, "last"])
            else:
                prep.append(["delta", x, w, self.prefixes(3, r), []])
        tails = [["tail", s[1], s[2], s[3]] for s in prep if s[4:] == ["last"] and r.random() < 0.5]
        short = None
        if r.random() < 0.45:
            x, w = r.choice(letters), r.choice([1, 2])  # never the barrier's neighbour, which renews its TTL
            if [x, w] not in [t[1:3] for t in tails]:  # nor one that a frame after the start would renew
                short = [x, w, self.prefixes(3, r), r.choice([1, 2, 4, 6])]
        gap, after = [], list(tails)
        for x in letters:
            g = r.random()
            if g < 0.27:
                what = ["carrier", x, True] if g < 0.12 else ["admin", x, True] if g < 0.2 else ["dellink", x, False]
                gap.append(what)
                if r.random() < 0.5:  # back after the start
                    after.append(what[:2] + [False])
        if r.random() < 0.3:
            gap.append(["rpfilter", r.choice([0, 1, 2])])
        return ["restart", prep, short, gap, after]


def generate(seed, steps):
    rng = random.Random(seed)
    letters = LETTERS[:rng.randint(2, 4)]
    gen = Generator(rng, letters, random.Random(seed ^ 0x5A3C71), random.Random(seed ^ 0x2E94B6))
    return {"seed": seed, "letters": letters, "steps": [gen.step() for _ in range(steps)]}


# --- running, shrinking, reporting ------------------------------------------------------------------

def attempt(case):
    """None when the case passes, else (failing step index, message)."""
    return shrinking.attempt(run_sequence, Mismatch, case)


def shrink(case, failing_step, budget):
    """Drops runs of steps (halves first, then smaller) while the case still fails; `budget` s at most."""
    deadline = time.monotonic() + budget

    def fails(steps):  # a failing trial is kept up to its failing step
        res = attempt(dict(case, steps=steps))
        return None if res is None else steps[:res[0] + 1]

    return dict(case, steps=drop_chunks(case["steps"][:failing_step + 1], fails, deadline))


def regression_case(case, message):
    return format_regression(case, message, ("letters", "steps"), "{comment}\n    ({seed}, {body}),\n", indent="    ")


def main():
    return shrinking.main(__doc__, name="host checker", script="tests/model/host_checker.py", default_steps=30,
                          default_shrink_time=300, generator=lambda: generate, run_sequence=run_sequence,
                          mismatch=Mismatch, shrink=shrink, regression=regression_case, coverage=coverage,
                          counted_by="the agent's log and the checker",
                          describe=lambda case: f"{len(case['letters'])} uplinks, ",
                          failed_at="at", case_for="tests/tallowhost/test_host_regressions.py")


if __name__ == "__main__":
    sys.exit(main())
