#!/usr/bin/python3
"""Random-sequence checker of the host agent: drives the installed tallowhost in a sandbox with 2 to 4
veth uplinks and seeded random event sequences, and compares `ip route show table 250` (both families)
and its `ip rule` lines with the reference model (host_model.py) at every quiet point.

    host_checker.py [--seed N] [--steps N] [--sequences N | --time SECONDS]

Quiet is reached by readiness: the agent's log lines for what a step did (links, addresses, restored
routes and rules, adoption), then a barrier delta on an uplink that is up, whose set line shows that
the frames and notifications before it were handled, then the kernel's table. TTL expiry, the one timer
of the model, is waited for by its log line.

A failing sequence is shrunk (steps dropped while it still fails) and printed, with its seed, as a
ready-to-paste regression case. The exit status is 1 on a mismatch.
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

from host_helpers import TABLE, UPLINKS, add_uplinks, ip, start_agent  # noqa: E402
from host_model import FIRST, MORE, PERIODIC, HostModel, net  # noqa: E402
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
OTHER_V4 = {"a": "192.0.2.6/30", "b": "198.51.100.6/30", "c": "203.0.113.6/30", "d": "100.64.0.6/30"}
OTHER_V6 = {x: f"2001:db8:{x}{x}::2/64" for x in LETTERS}


class Mismatch(AssertionError):
    def __init__(self, msg, step=0, compares=0):
        super().__init__(msg)
        self.step, self.compares = step, compares


COVERAGE = {
    "whole sets": r"^set: h.: \d+ prefixes in \d+ frames",
    "multi-frame sets": r"^set: h.: \d+ prefixes in ([2-9]|\d\d+) frames",
    "partial sets discarded": r"^set: h.: first frame while a set",
    "continuations discarded": r"^set: h.: continuation frame with no set open",
    "deltas": r"^set: h.: delta of ([1-9]|\d\d+) added|delta of \d+ added, ([1-9]|\d\d+) withdrawn",
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
}
coverage = dict.fromkeys(COVERAGE, 0)


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
    """(up with carrier, addresses) as the kernel reports them."""
    info = json.loads(ip("-j", "addr", "show", "dev", name).stdout)[0]
    up = "UP" in info["flags"] and "LOWER_UP" in info["flags"]
    addrs = [f"{a['local']}/{a['prefixlen']}" for a in info.get("addr_info", []) if a["family"] in ("inet", "inet6")]
    return up, addrs


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
        UPLINKS.setdefault("d", ("100.64.0.2/30", "100.64.0.1", "2001:db8:d::2/64", "fe80::d1"))
        self.args, _ = add_uplinks(sandbox, letters)
        sandbox.add_veth("st0", "st1")
        ip("addr", "add", "172.20.0.2/24", "dev", "st0")
        ip("-6", "addr", "add", "2001:db8:5::2/64", "dev", "st0", "nodad")
        self.socks = {}
        for x in letters:
            s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
            s.bind((f"s{x}", 0))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 8 << 20)
            self.socks[x] = s
        self.wait_links()
        self.model = HostModel([(f"h{x}", UPLINKS[x][1], UPLINKS[x][3]) for x in letters])
        self.sync_links()
        self.agent = start_agent(sandbox, self.args)
        self.main_routes = set()
        self.addr4 = dict.fromkeys(letters, "normal")
        self.addr6 = dict.fromkeys(letters, "normal")

    def wait_links(self):
        deadline = time.monotonic() + 10
        for x in self.letters:
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
            self.agent.wait_for(pattern, timeout=timeout, start=start)
        except AssertionError:
            raise Mismatch(f"the agent's log: no line matching {pattern!r} within {timeout} s; last lines:\n"
                           + "\n".join(self.agent.messages()[-25:]))

    # -- frames --
    def send(self, x, who, ttl, flags, entries):
        body = control_tlv(flags) + b"".join(prefix_tlv(p, withdrawn=w) for p, w in entries)
        self.socks[x].send(lldp_frame(who[0], who[1], ttl, body))
        self.model.frame(f"h{x}", who, ttl, flags, entries)

    def barrier(self):
        ups = [x for x in self.letters if self.up(x)]
        if not ups or not self.model.running:
            return False
        x = ups[0]
        start = self.mark()
        self.send(x, WHO[x][0], 120, FIRST, [(BARRIER, False)])
        self.send(x, WHO[x][0], 120, FIRST, [(BARRIER, True)])
        self.wait(rf"^set: h{x}: delta of 0 added, 1 withdrawn, 1 changed", start)
        self.barriers += 1
        return True

    def periodic(self, x, who, prefixes, skip, ttl=120):
        """A periodic set as the switch packs it into frames of SET_MTU bytes; `skip` holds the
        indexes of frames lost on the way."""
        frames = split(prefixes)
        for i, es in enumerate(frames):
            if i not in skip:
                flags = PERIODIC | (FIRST if i == 0 else 0) | (MORE if i + 1 < len(frames) else 0)
                self.send(x, who, ttl, flags, [(p, False) for p in es])

    def restart(self, start):
        self.agent = start_agent(self.box, self.args, wait=False)
        self.wait(r"^tallowhost started on ", start)
        self.model.start()

    # -- steps --
    def step(self, s):
        kind, m = s[0], self.model
        start = self.mark()
        if kind in ("set", "delta", "ttl0", "plain", "short") and not (m.running and self.up(s[1])):
            return  # a frame on a link that is down reaches no one
        if kind == "set":
            _, x, w, prefixes, lost = s
            n = len(split(prefixes))
            skip = {"first": {0}, "middle": {n // 2} if n > 2 else set(), "last": {n - 1} if n > 1 else set()}.get(
                lost, set())
            self.periodic(x, WHO[x][w], prefixes, skip)
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
            dev = f"s{x}" if kind == "carrier" else f"h{x}"
            was = link_state(dev)[0] if kind == "carrier" else admin_up(dev)
            if was == (not down):
                return
            ip("link", "set", dev, "down" if down else "up")
            if not down and kind == "admin":
                # The kernel drops an IPv6 address with its link: put it back as it was.
                v6 = UPLINKS[x][2] if self.addr6[x] == "normal" else OTHER_V6[x] if self.addr6[x] == "other" else None
                if v6:
                    ip("-6", "addr", "add", v6, "dev", f"h{x}", "nodad", check=False)
            if m.running:
                if down and self.up(x):  # a link that was not up goes down without a line
                    self.wait(rf"^link: h{x}: (carrier lost|set down)$", start)
                elif link_state(f"s{x}")[0] and admin_up(f"h{x}"):
                    deadline = time.monotonic() + 10
                    while not link_state(f"h{x}")[0] and time.monotonic() < deadline:
                        time.sleep(0.01)
                    self.wait(rf"^link: h{x}: up$", start)
        elif kind in ("addr4", "addr6"):
            _, x, to = s
            cur = (self.addr4 if kind == "addr4" else self.addr6)
            if cur[x] == to:
                return
            fam, normal, other = (("-4", UPLINKS[x][0], OTHER_V4[x]) if kind == "addr4" else
                                  ("-6", UPLINKS[x][2], OTHER_V6[x]))
            old = {"normal": normal, "other": other, "none": None}[cur[x]]
            new = {"normal": normal, "other": other, "none": None}[to]
            if old:
                ip(fam, "addr", "del", old, "dev", f"h{x}", check=False)
            if new:
                ip(fam, "addr", "add", new, "dev", f"h{x}", *(["nodad"] if fam == "-6" else []), check=False)
            cur[x] = to
            gw = UPLINKS[x][1] if kind == "addr4" else UPLINKS[x][3]
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
            rc = self.agent.stop(signal.SIGTERM)
            m.stop()
            if rc != 0:
                raise Mismatch(f"the agent's exit status after SIGTERM is {rc}")
            groups = [json.loads(ip("-j", "link", "show", f"h{x}").stdout)[0].get("group") for x in self.letters]
            if any(g != "default" for g in groups):
                raise Mismatch(f"after a clean stop the uplinks' groups are {groups}")
            self.compare()
            self.restart(self.mark())
        else:
            raise ValueError(s)
        self.sync_links()
        self.barrier()
        self.barrier()

    def compare(self, timeout=5.0):
        """The kernel's table and rules against the model's, polled until they agree or timeout."""
        self.sync_links()
        want, rules = self.model.want(), self.model.rules()
        deadline = time.monotonic() + timeout
        while True:
            have, problems = kernel_table()
            have_rules = kernel_rules()
            if have == want and have_rules == rules and not problems:
                self.compares += 1
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
    def __init__(self, rng, letters):
        self.rng, self.letters = rng, letters

    def prefixes(self, most=5):
        r = self.rng
        out = r.sample(V4 + V6, r.randint(0, most))
        if r.random() < 0.06:
            out.append(r.choice(DEFAULTS))
        if r.random() < 0.25:
            out += r.sample(BULK, r.randint(5, 40))
        return sorted(set(out), key=lambda p: (":" in p, p))

    def step(self):
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


def generate(seed, steps):
    rng = random.Random(seed)
    letters = LETTERS[:rng.randint(2, 4)]
    gen = Generator(rng, letters)
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
                          counted_by="the agent's log", describe=lambda case: f"{len(case['letters'])} uplinks, ",
                          failed_at="at", case_for="tests/tallowhost/test_host_regressions.py")


if __name__ == "__main__":
    sys.exit(main())
