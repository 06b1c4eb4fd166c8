"""Helpers for the host agent's black-box tests: uplinks as veth pairs (host side hX, switch side sX),
the installed agent, and reading the kernel's answers."""

import json
import signal
import subprocess
import time

from lldp_frames import Sender

TABLE = 250
SNAPSHOT = "/run/tallowhost.json"

# Per uplink letter: host side address, switch side IPv4 next hop, IPv6 next hop (link-local on b).
UPLINKS = {
    "a": ("192.0.2.2/30", "192.0.2.1", "2001:db8:a::2/64", "2001:db8:a::1"),
    "b": ("198.51.100.2/30", "198.51.100.1", "2001:db8:b::2/64", "fe80::b1"),
    "c": ("203.0.113.2/30", "203.0.113.1", "2001:db8:c::2/64", "2001:db8:c::1"),
}


def ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, capture_output=True, text=True)


def make_link(sandbox, x, mtu=1500):
    """The veth pair of uplink x (h<x> on the host, s<x> on the switch) with the host side's addresses;
    the Sender on the switch side."""
    v4, _, v6, _ = UPLINKS[x]
    sandbox.add_veth(f"h{x}", f"s{x}", mtu=mtu)
    ip("addr", "add", v4, "dev", f"h{x}")
    ip("-6", "addr", "add", v6, "dev", f"h{x}", "nodad")
    i = "abc".index(x)
    return Sender(f"s{x}", chassis_mac=f"02:00:00:00:0{i + 1}:01", port_id=f"swp{i + 1}")


def default_route(letters):
    """The main table's ECMP default route over the uplinks' IPv4 next hops."""
    hops = []
    for x in letters:
        hops += ["nexthop", "via", UPLINKS[x][1], "dev", f"h{x}"]
    ip("route", "replace", "default", *hops)


def add_uplinks(sandbox, letters="ab", mtu=1500):
    """veth pairs h<letter> (host) / s<letter> (switch) with addresses and an ECMP default route over
    them; returns the --uplink arguments and a Sender per letter."""
    args, senders = [], {}
    for x in letters:
        senders[x] = make_link(sandbox, x, mtu)
        args += ["--uplink", f"h{x}={UPLINKS[x][1]},{UPLINKS[x][3]}"]
    default_route(letters)
    return args, senders


def flows(dest, n=64):
    """How the kernel routes n UDP flows (source ports) to dest: {answer: count}, as route_get answers.
    Multipath routes hash on the ports (fib_multipath_hash_policy 1, set here for this namespace)."""
    for v in ("ipv4", "ipv6"):
        with open(f"/proc/sys/net/{v}/fib_multipath_hash_policy", "w") as f:
            f.write("1")
    out = {}
    for sport in range(1000, 1000 + n):
        r = ip("-6" if ":" in dest else "-4", "route", "get", dest, "ipproto", "udp", "sport", str(sport),
               "dport", "53", check=False)
        words = r.stdout.split()
        got = "unreachable" if r.returncode else " ".join(
            w for k in ("via", "dev") if k in words for w in (k, words[words.index(k) + 1]))
        out[got] = out.get(got, 0) + 1
    return out


class Agent:
    def __init__(self, sandbox, proc):
        self.sandbox = sandbox
        self.proc = proc
        self.log = sandbox.syslog

    def wait_for(self, pattern, timeout=10.0, start=0):
        return self.log.wait_for(pattern, timeout=timeout, ident="tallowhost", start=start)

    def mark(self):
        return self.log.count()

    def messages(self, start=0):
        return [l.message for l in self.log.lines()[start:] if l.ident == "tallowhost"]

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        return self.proc.wait(timeout=20)

    def snapshot(self):
        start = self.mark()
        self.proc.send_signal(signal.SIGUSR1)
        self.wait_for(r"^snapshot: written to /run/tallowhost.json$", start=start)
        with open(SNAPSHOT) as f:
            return json.load(f)


def start_agent(sandbox, args, wait=True):
    start = sandbox.syslog.count()
    proc = sandbox.spawn([sandbox.prefix / "sbin" / "tallowhost", *args])
    agent = Agent(sandbox, proc)
    if wait:
        agent.wait_for(r"^tallowhost started on ", start=start)  # this run's, not an earlier one's
    return agent


def table(family=4, table_id=TABLE, throws=False):
    """The lines of `ip route show table N` for one family; the throw routes of the uplinks' own
    subnets only with throws=True."""
    out = ip("-4" if family == 4 else "-6", "route", "show", "table", str(table_id), check=False).stdout
    return [l.strip() for l in out.splitlines() if l.strip() and (throws or not l.startswith("throw "))]


def route_count(family=4, table_id=TABLE):
    """Routes of the table other than throw routes."""
    out = subprocess.run(["ip", "-4" if family == 4 else "-6", "route", "show", "table", str(table_id)],
                         capture_output=True, text=True).stdout
    return out.count("\n") - sum(1 for l in out.splitlines() if l.startswith("throw "))


def rules(family=4):
    out = ip("-4" if family == 4 else "-6", "rule", "show").stdout
    return [l.strip() for l in out.splitlines() if l.strip()]


def route_get(dest):
    """`ip route get` in short: "unreachable", or "via GW dev IF" as the kernel answers."""
    r = ip("-6" if ":" in dest else "-4", "route", "get", dest, check=False)
    if r.returncode != 0:
        return "unreachable" if "No route to host" in r.stderr or "unreachable" in r.stderr else r.stderr.strip()
    words = r.stdout.split()
    out = []
    for key in ("via", "dev"):
        if key in words:
            out += [key, words[words.index(key) + 1]]
    return " ".join(out)


def wait_until(what, predicate, timeout=20.0, interval=0.02):
    """Polls the kernel's state until predicate() holds; the value of the last try when it fails."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value is True:
            return
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not reached within {timeout}s (last: {value!r})")
        time.sleep(interval)


def wait_table(lines, family=4, timeout=20.0):
    want = sorted(lines)
    wait_until(f"table {TABLE}", lambda: True if sorted(table(family)) == want else table(family), timeout)
