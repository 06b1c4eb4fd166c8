"""Two switches and hosts below them inside one sandbox: each switch has network and mount namespaces of its
own (its own /run, so its own tallowd, lldpd stand-in and state store at the fixed paths). The end-to-end
tests' one host is the sandbox's own network namespace: switch A reaches it over hostA <-> swA0, switch B
over hostB <-> swB0; it has an ECMP default route over both and runs tallowhost. A rack (`rack`) puts each
host in namespaces of its own, with its own uplinks to both switches and its own agent."""

import re
import signal
import subprocess
from dataclasses import dataclass

from host_helpers import TABLE, route_count, route_get, table
from sandbox import wait_value

PLATFORM = "libexec/tarvik-platform"


@dataclass
class Link:
    host_if: str
    switch_if: str
    host_addr: str
    switch_addr: str
    switch_addr6: str


LINKS = {
    "A": Link("hostA", "swA0", "192.168.101.2", "192.168.101.1", "fe80::a"),
    "B": Link("hostB", "swB0", "192.168.102.2", "192.168.102.1", "fe80::b"),
}




class Namespaces:
    """Network and mount namespaces of their own (a fresh /run and /sys), held by a sleeping process whose
    pid names them to nsenter."""

    spawned = 0

    def __init__(self, sandbox, what):
        self.sandbox = sandbox
        self.what = what
        holder = sandbox.spawn(
            ["unshare", "--net", "--mount", "--propagation", "private", "sh", "-c",
             "mount -t tmpfs -o mode=0755 tmpfs /run && mount -t sysfs sysfs /sys && ip link set lo up && "
             "mkdir -p /run/mesra && echo $$ && exec sleep infinity"], text=True)
        self.pid = int(holder.stdout.readline())

    def argv(self, argv):
        return ["nsenter", "-t", str(self.pid), "--net", "--mount", "--", *map(str, argv)]

    def run(self, *argv, check=True):
        r = self.sandbox.run(self.argv(argv))
        if check:
            assert r.returncode == 0, f"{self.what}: {argv}: {r.returncode}\n{r.stdout}\n{r.stderr}"
        return r

    def spawn(self, argv, **kw):
        """Spawns a program inside; returns it with .inner_pid, its pid as the sandbox's PID namespace
        (and so its syslog lines and /proc) sees it."""
        Namespaces.spawned += 1
        pid_file = self.sandbox._base / f"pid-{Namespaces.spawned}"
        proc = self.sandbox.spawn(self.argv(["sh", "-c", 'echo $$ > "$0.tmp" && mv "$0.tmp" "$0" && exec "$@"',
                                             pid_file, *argv]), **kw)
        proc.inner_pid = int(wait_value("pid file", lambda: pid_file.exists() and pid_file.read_text()))
        return proc


class Switch(Namespaces):
    """One switch in namespaces of its own, so its own tallowd, lldpd stand-in and state store at the fixed
    paths. Its downlinks are `links`, each a Link with the namespaces of the host end (None: the sandbox's
    own); by default the one link of LINKS to the sandbox's namespace."""

    def __init__(self, sandbox, name, tx_interval=1, standin_args=(), mtu=1500, links=None):
        super().__init__(sandbox, f"switch {name}")
        self.name = name
        self.links = links if links is not None else [(LINKS[name], None)]
        self.link = self.links[0][0]
        for link, host_ns in self.links:
            self.connect(link, host_ns, mtu)
        self.ifindex = int(self.run("cat", f"/sys/class/net/{self.link.switch_if}/ifindex").stdout)
        self.out_path = sandbox._base / f"lldpd-{name}.out"
        self.standin = self.spawn([sandbox.prefix / PLATFORM / "lldpd-standin", "--tx-interval", tx_interval,
                                   *standin_args], stdout=open(self.out_path, "wb"))
        wait_value(f"switch {name}: lldpd stand-in listening", lambda: "listening on " in self.standin_output())
        self.daemon = self.spawn([sandbox.prefix / "sbin" / "tallowd"], stdout=subprocess.DEVNULL)
        self.daemon_pid = self.daemon.inner_pid
        self.wait_log(r"^lldp: connected to LLDPD")
        self.routing = None

    def connect(self, link, host_ns, mtu):
        """One veth pair: link.host_if in host_ns (or the sandbox's namespace), link.switch_if here."""
        host_run = host_ns.run if host_ns else lambda *argv: subprocess.run(argv, check=True)
        host_run("ip", "link", "add", link.host_if, "mtu", str(mtu), "type", "veth", "peer", "name", link.switch_if,
                 "mtu", str(mtu), "netns", str(self.pid))
        host_run("ip", "link", "set", link.host_if, "up")
        host_run("ip", "addr", "add", f"{link.host_addr}/24", "dev", link.host_if)
        self.run("ip", "link", "set", link.switch_if, "up")
        self.run("ip", "addr", "add", f"{link.switch_addr}/24", "dev", link.switch_if)
        self.run("ip", "-6", "addr", "add", f"{link.switch_addr6}/64", "dev", link.switch_if)

    def standin_output(self):
        return self.out_path.read_bytes().decode(errors="replace")

    def log(self):
        return [l for l in self.sandbox.syslog.lines() if l.ident == "tallowd" and l.pid == self.daemon_pid]

    def wait_log(self, pattern, start=0, timeout=5.0):
        rx = re.compile(pattern)
        return wait_value(f"switch {self.name}: log line {pattern!r}",
                          lambda: next((l for l in self.log()[start:] if rx.search(l.message)), None), timeout)

    # --- the routing suite and the state service ----------------------------------------------
    def ctl(self, command):
        """One tallowctl command over the switch's one routing-suite connection."""
        if self.routing is None:
            self.routing = self.sandbox.spawn(self.argv([self.sandbox.prefix / "bin" / "tallowctl", "script", "-"]),
                                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
        self.routing.stdin.write(command + "\n")
        self.routing.stdin.flush()

    def declare(self, *prefixes, vrf=1):
        self.ctl(f"update --vrf {vrf} {' '.join(prefixes)}")

    def withdraw(self, *prefixes, vrf=1):
        self.ctl(f"update --vrf {vrf} --withdraw {' '.join(prefixes)}")

    def downlinks(self, vrf=1):
        self.ctl(f"intf-set --vrf {vrf} {' '.join(link.switch_if for link, _ in self.links)}")

    def zebra(self, state):
        """The routing suite's state as the state service reports it: 1 up, 2 down."""
        self.run(self.sandbox.prefix / PLATFORM / "mesractl", "set", "frr_zebra", "state", state)

    def zebra_call(self, state):
        """The same change made ready to go: one mesractl run started and waiting just before its exec.
        Returns the function that lets it go."""
        waiting = self.sandbox.spawn(self.argv(["sh", "-c", 'read go && exec "$0" set frr_zebra state "$1"',
                                                self.sandbox.prefix / PLATFORM / "mesractl", state]),
                                     stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)

        def go():
            waiting.stdin.write("\n")
            waiting.stdin.close()
        return go

    def standin_summary(self):
        """The stand-in's counters, from the summary line that SIGUSR1 makes it print."""
        seen = len(self.standin_output())
        self.standin.send_signal(signal.SIGUSR1)
        line = wait_value("stand-in summary", lambda: re.search(r"^summary .*$", self.standin_output()[seen:], re.M))
        return {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", line[0])}

    def stop_lldpd(self):
        self.standin.send_signal(signal.SIGTERM)
        self.standin.wait(timeout=10)


class Host:
    """A host below the switches: an ECMP default route and tallowhost over its uplinks, in the sandbox's own
    network namespace or in namespaces `ns` of its own. `links` are the uplinks' Links, by default each
    switch's first."""

    def __init__(self, sandbox, switches, args=(), ns=None, links=None):
        self.sandbox = sandbox
        self.ns = ns
        links = links if links is not None else [sw.link for sw in switches]
        hops = []
        uplinks = []
        for link in links:
            hops += ["nexthop", "via", link.switch_addr, "dev", link.host_if]
            uplinks += ["--uplink", f"{link.host_if}={link.switch_addr},{link.switch_addr6}"]
        self.run("ip", "route", "add", "default", *hops)
        agent = [sandbox.prefix / "sbin" / "tallowhost", *uplinks, *args]
        if ns:
            self.agent = ns.spawn(agent, stdout=subprocess.DEVNULL)
        else:
            self.agent = sandbox.spawn(agent, stdout=subprocess.DEVNULL)
            self.agent.inner_pid = None
        # Ready once its policy rule is in place.
        wait_value("tallowhost's rule", lambda: f"lookup {TABLE}" in self.run("ip", "rule", "show").stdout)

    def run(self, *argv):
        if self.ns:
            return self.ns.run(*argv)
        return subprocess.run(argv, check=True, capture_output=True, text=True)

    def wait_log(self, pattern, start=0, timeout=5.0):
        return self.sandbox.syslog.wait_for(pattern, ident="tallowhost", start=start, timeout=timeout)

    def wait_route(self, address, expected, timeout=10.0):
        try:
            wait_value(f"route to {address}", lambda: route_get(address) == expected, timeout)
        except AssertionError:
            raise AssertionError(f"route to {address}: {route_get(address)}, expected {expected}\n"
                                 f"{table(4) + table(6)}")

    @staticmethod
    def route_count():
        return route_count(4) + route_count(6)

    @staticmethod
    def table_empty():
        return table(4) == [] and table(6) == []


def fabric(sandbox):
    """Both switches up, each with its downlink in VRF 1, and the host's agent running: (A, B, host)."""
    sandbox.set_groups(frr=True)
    a, b = Switch(sandbox, "A"), Switch(sandbox, "B")
    for sw in (a, b):
        sw.zebra(1)
        sw.downlinks()
    return a, b, Host(sandbox, [a, b])


def rack_link(switch, host):
    """The link between switch "A" or "B" and host number `host` of a rack."""
    subnet = {"A": 16, "B": 17}[switch] * 256 + host
    return Link(f"host{switch}", f"sw{switch}{host}", f"172.{subnet // 256}.{subnet % 256}.2",
                f"172.{subnet // 256}.{subnet % 256}.1", LINKS[switch].switch_addr6)


def rack(sandbox, hosts, tx_interval=1, standin_args=(), mtu=1500):
    """Both switches up with all their downlinks in VRF 1, above `hosts` hosts in namespaces of their own,
    each with an uplink to each switch and its agent running: (A, B, [host...])."""
    sandbox.set_groups(frr=True)
    spaces = [Namespaces(sandbox, f"host {i}") for i in range(hosts)]
    switches = [Switch(sandbox, name, tx_interval, standin_args, mtu,
                       links=[(rack_link(name, i), ns) for i, ns in enumerate(spaces)]) for name in ("A", "B")]
    for sw in switches:
        sw.zebra(1)
        sw.downlinks()
    return (*switches, [Host(sandbox, switches, ns=ns, links=[rack_link(name, i) for name in ("A", "B")])
                        for i, ns in enumerate(spaces)])
