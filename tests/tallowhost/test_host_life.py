"""The host agent through a server's life: restarts and upgrades, uplinks deleted and made again,
renamed or not there yet at boot, unnumbered uplinks and reverse-path filtering."""

import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

from host_helpers import (UPLINKS, add_uplinks, default_route, ip, make_link, route_get, rules, start_agent, table,
                          wait_table, wait_until)


def leftovers():
    """What a stopped agent must not leave: its routes (throw routes included) and rules."""
    return table(4, throws=True) + table(6, throws=True) + [r for r in rules(4) + rules(6) if "proto 241" in r]


def test_a_restart_steers_again_at_once_and_a_stop_leaves_nothing(sandbox, uplinks):
    args, s = uplinks
    ip("link", "set", "ha", "group", "7")  # the operator's, from before the first run
    a = start_agent(sandbox, args)
    s["a"].periodic(["10.9.0.0/16", "2001:db8:9::/48"], ttl=120)
    s["b"].periodic(["10.8.0.0/16"], ttl=60)
    steered = ["10.8.0.0/16 via 192.0.2.1 dev ha proto 241", "10.9.0.0/16 via 198.51.100.1 dev hb proto 241"]
    wait_table(steered)
    # A crash and a new start: the routes are adopted, and the group from before the first run is
    # still the one put back at the final stop.
    a.stop(signal.SIGKILL)
    start = a.mark()
    a = start_agent(sandbox, args)
    s["a"].periodic(["10.9.0.0/16", "2001:db8:9::/48"], ttl=120)
    s["b"].periodic(["10.8.0.0/16"], ttl=60)
    a.wait_for(r"^route: adoption ended \(every uplink delivered a whole set\), 0 routes", start=start)
    # SIGTERM, as systemctl restart and a package upgrade send it: nothing is left behind...
    assert a.stop() == 0
    assert leftovers() == [] and "group 7" in ip("link", "show", "ha").stdout
    # ...and the new start steers again from what each neighbour declared, before any frame.
    start = a.mark()
    a = start_agent(sandbox, args)
    assert table(4) == steered and table(6) == ["2001:db8:9::/48 via fe80::b1 dev hb proto 241 metric 1024 pref medium"]
    a.wait_for(r"^state: restored 2 neighbours with 3 prefixes saved \d+ ms ago$", start=start)
    ttl = {u["interface"]: u["neighbours"][0]["expires_in_s"] for u in a.snapshot()["uplinks"]}
    assert 100 < ttl["ha"] < 120 and 40 < ttl["hb"] < 60  # the TTL each had left
    # A state that does not read back whole is ignored.
    assert a.stop() == 0
    state = Path("/run/tallowhost/state")
    state.write_text(state.read_text()[:-7])
    start = a.mark()
    a = start_agent(sandbox, args)
    a.wait_for(r"^state: /run/tallowhost/state is not readable as the state of an earlier run, ignored$", start=start)
    assert table(4) == [] and table(6) == []
    # systemctl stop: the unit's runtime directory goes with the stop, and a later start restores
    # nothing.
    assert a.stop() == 0
    shutil.rmtree("/run/tallowhost")
    a = start_agent(sandbox, args)
    assert table(4) == [] and table(6) == []
    assert a.stop() == 0
    assert leftovers() == [] and "group 7" in ip("link", "show", "ha").stdout


def delete_and_make_again(box, s, args):
    ip("link", "del", "ha")
    s["a"] = make_link(box, "a")
    default_route("ab")
    return "ha", r"^link: ha: deleted$"


def make_the_missing_one(box, s, args):
    s["c"] = make_link(box, "c")
    return "hc", r"^link: hc: not present, waited for$"


def rename(box, s, args):
    ip("link", "set", "ha", "down")
    ip("link", "set", "ha", "name", "up0")
    ip("link", "set", "up0", "up")
    ip("-6", "addr", "add", UPLINKS["a"][2], "dev", "up0", "nodad", check=False)
    default_route("b")
    ip("route", "append", "default", "via", UPLINKS["a"][1], "dev", "up0")
    return "up0", r"^link: ha: renamed up0, followed$"


@pytest.mark.parametrize("change", [delete_and_make_again, make_the_missing_one, rename],
                         ids=["deleted and made again", "absent at start", "renamed"])
def test_uplinks_are_followed_by_name(sandbox, change):
    """An uplink is the link of its name: one deleted and made again (ifdown/ifup of a VLAN, a driver
    reload), one that does not exist yet when the agent starts, one renamed."""
    args, s = add_uplinks(sandbox, "ab")
    if change is make_the_missing_one:
        args += ["--uplink", f"hc={UPLINKS['c'][1]},{UPLINKS['c'][3]}"]  # not there yet: waited for
    a = start_agent(sandbox, args)
    start = 0 if change is make_the_missing_one else a.mark()
    dev, line = change(sandbox, s, args)
    a.wait_for(line, start=start)
    x = "c" if dev == "hc" else "a"
    # Its frames are read, its group taken, and routes go through it.
    s[x].periodic(["10.7.0.0/16"])
    s["b"].periodic(["10.9.0.0/16"])
    through = f"via {UPLINKS[x][1]} dev {dev}"
    wait_until("routes", lambda: (lambda t: (through not in t.split("10.9.0.0/16")[0] and through in t.split(
        "10.9.0.0/16")[-1]) or t)(" ".join(table())))
    assert "group 250" in ip("link", "show", dev).stdout
    assert a.stop() == 0
    assert leftovers() == [] and "group 250" not in ip("link", "show", dev).stdout


def via_ipv6_next_hop(box):
    """An IPv4 route through an IPv6 link-local next hop."""
    ip("route", "replace", "default", "via", "inet6", "fe80::a1", "dev", "ha")
    return ["--uplink", "ha=fe80::a1"], "10.9.1.1", "via inet6 fe80::a1 dev ha"


def onlink_gateway(box):
    """A /32 address whose gateway the main table reaches with onlink."""
    ip("addr", "del", UPLINKS["a"][0], "dev", "ha")
    ip("addr", "add", "192.0.2.2/32", "dev", "ha")
    ip("route", "replace", "default", "nexthop", "via", UPLINKS["a"][1], "dev", "ha", "onlink",
       "nexthop", "via", UPLINKS["b"][1], "dev", "hb")
    return ["--uplink", f"ha={UPLINKS['a'][1]}"], "10.9.1.1", "via 192.0.2.1 dev ha"


def no_ipv6_next_hop(box):
    """An uplink named without an IPv6 next hop that the main table sends IPv6 through."""
    ip("-6", "route", "add", "default", "via", UPLINKS["a"][3], "dev", "ha")
    return ["--uplink", f"ha={UPLINKS['a'][1]}"], "2001:db8:9::1", "via 2001:db8:a::1 dev ha"


def ipv6_disabled(box):
    """An uplink whose IPv6 is disabled (a hardened host): its IPv6 next hop cannot be used."""
    with open("/proc/sys/net/ipv6/conf/ha/disable_ipv6", "w") as f:
        f.write("1")
    return ["--uplink", f"ha={UPLINKS['a'][1]},{UPLINKS['a'][3]}"], "2001:db8:9::1", "throw"


@pytest.mark.parametrize("setup", [via_ipv6_next_hop, onlink_gateway, no_ipv6_next_hop, ipv6_disabled],
                         ids=["IPv4 through an IPv6 next hop", "onlink gateway", "no IPv6 next hop", "IPv6 disabled"])
def test_unnumbered_uplinks_carry_what_the_other_switch_cannot_deliver(sandbox, setup):
    """B declares the prefix; uplink a, which the agent knows only through its own way of reaching
    the switch, still carries it, never an unreachable route."""
    _, s = add_uplinks(sandbox, "ab")
    args, dest, want = setup(sandbox)
    a = start_agent(sandbox, args + ["--uplink", f"hb={UPLINKS['b'][1]},{UPLINKS['b'][3]}"])
    s["b"].delta(added=["10.9.0.0/16", "2001:db8:9::/48"])
    a.wait_for(r"^set: hb: delta of 2 added")
    wait_table([] if ":" in dest else [f"10.9.0.0/16 {want} proto 241" + (" onlink" if "onlink" in setup.__doc__
                                                                         else "")], family=6 if ":" in dest else 4)
    if want == "throw":  # the main table answers, as without the agent; nothing was refused
        assert "throw 2001:db8:9::/48 dev lo proto 241 metric 1024 pref medium" in table(6, throws=True)
        assert not [m for m in a.messages() if "refused" in m]
        return
    got = ip("route", "get", dest).stdout
    assert want in got, got


SWITCH_A = """
import sys
sys.path.insert(0, {here!r})
from lldp_frames import Sender
Sender("sa", chassis_mac="02:00:00:00:01:01", port_id="swp1").delta(added={declared!r})
"""

FROM_A = """
import socket, struct
kind, source = {kind!r}, {source!r}
if kind == "ARP":
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind(("sa", 0))
    mac = open("/sys/class/net/sa/address").read().strip()
    sha = bytes.fromhex(mac.replace(":", ""))
    arp = struct.pack(">HHBBH", 1, 0x0800, 6, 4, 1) + sha + socket.inet_aton(source) + bytes(6) + \
        socket.inet_aton("192.0.2.2")
    s.send(b"\\xff" * 6 + sha + struct.pack(">H", 0x0806) + arp)
else:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    s.sendto(b"hello", ("192.0.2.2", 9999))
"""


def in_switch_a(code):
    subprocess.run(["ip", "netns", "exec", "swa", "/usr/bin/python3", "-c", code], check=True)


@pytest.mark.parametrize("rp_filter", [0, 1, 2])
@pytest.mark.parametrize("kind,declared", [("prefix", "10.9.0.0/16"), ("0/0", "0.0.0.0/0"), ("ARP", "10.9.0.0/16")])
def test_what_arrives_through_an_uplink_with_reverse_path_filtering(sandbox, rp_filter, kind, declared):
    """Switch A declares a prefix (or everything) that B still reaches; a datagram or an ARP request
    from inside it arrives through A. Loose and no filtering accept it as without the agent; strict
    filtering judges the source by the route the agent steers it to and drops it, which the agent
    says at start."""
    for conf in ("all", "default"):
        with open(f"/proc/sys/net/ipv4/conf/{conf}/rp_filter", "w") as f:
            f.write(str(rp_filter))
    ip("netns", "add", "swa")
    ip("link", "add", "ha", "type", "veth", "peer", "name", "sa", "netns", "swa")
    ip("addr", "add", UPLINKS["a"][0], "dev", "ha")
    ip("link", "set", "ha", "up")
    for cmd in (["addr", "add", "192.0.2.1/30", "dev", "sa"], ["addr", "add", "10.9.1.1/32", "dev", "lo"],
                ["link", "set", "sa", "up"], ["link", "set", "lo", "up"]):
        ip("-n", "swa", *cmd)
    s = {"b": make_link(sandbox, "b")}
    default_route("ab")
    a = start_agent(sandbox, ["--uplink", f"ha={UPLINKS['a'][1]}",
                              "--uplink", f"hb={UPLINKS['b'][1]},{UPLINKS['b'][3]}"])
    in_switch_a(SWITCH_A.format(here=str(Path(__file__).resolve().parent), declared=[declared]))
    wait_until("declared", lambda: any(declared.split("/")[0] in l or "default" in l for l in table()) or table())
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind(("192.0.2.2", 9999))
    rx.settimeout(0.5)
    in_switch_a(FROM_A.format(kind=kind, source="10.9.1.1"))
    if kind == "ARP":  # an accepted request leaves the sender in the neighbour table
        deadline = time.monotonic() + 0.5
        while not (delivered := "lladdr" in ip("neigh", "show", "10.9.1.1", "dev", "ha").stdout) and \
                time.monotonic() < deadline:
            time.sleep(0.02)
    else:
        try:
            delivered = rx.recvfrom(100)[1][0] == "10.9.1.1"
        except socket.timeout:
            delivered = False
    assert delivered == (rp_filter != 1)
    strict = [m for m in a.messages() if m.startswith("link: ha: strict reverse-path filtering")]
    assert len(strict) == (rp_filter == 1)
    a.stop()
    ip("netns", "del", "swa")


def vrf_supported():
    r = subprocess.run(["ip", "link", "add", "vrf-probe", "type", "vrf", "table", "4000"], capture_output=True)
    if r.returncode == 0:
        ip("link", "del", "vrf-probe")
    return r.returncode == 0


def test_the_traffic_of_a_vrf_is_never_steered(sandbox, uplinks):
    """The kernel adds an l3mdev rule at 1000 with the first VRF: an agent whose rules would come
    first removes them rather than steer a VRF's traffic."""
    args, s = uplinks
    a = start_agent(sandbox, args + ["--rule-priority", "900"])
    s["b"].delta(added=["10.9.0.0/16"])
    wait_table(["10.9.0.0/16 via 192.0.2.1 dev ha proto 241"])
    start = a.mark()
    ip("rule", "add", "priority", "1000", "l3mdev")  # as the first VRF's creation does
    a.wait_for(r"^rule: the VRFs' l3mdev rule at priority 1000 comes after the agent's rules; 4 rules of the "
               r"agent removed", start=start)
    assert not [r for r in rules(4) + rules(6) if "proto 241" in r]
    assert a.stop() == 0 and leftovers() == []


def test_an_uplink_in_a_vrf_is_refused(sandbox, uplinks):
    args, _ = uplinks
    if not vrf_supported():
        pytest.skip("this kernel has no VRF devices (the vrf module)")
    ip("link", "add", "vrf0", "type", "vrf", "table", "10")
    ip("link", "set", "vrf0", "up")
    ip("link", "set", "ha", "master", "vrf0")
    r = sandbox.run([sandbox.prefix / "sbin" / "tallowhost", *args])
    assert r.returncode == 1 and "uplink ha is enslaved to a VRF" in r.stderr
    assert leftovers() == []
