"""The host agent on a host set up as servers are: a storage NIC with a static route behind it, a
container bridge, Debian's lldpd on the uplinks, links that fail and addresses that change, other
programs' routes and rules, and neighbours that send more than they should."""

import json
import re
import shutil
import subprocess

import pytest

from host_helpers import (TABLE, add_uplinks, default_route, flows, ip, make_link, route_get, rules, start_agent, table,
                          wait_table, wait_until)
from lldp_frames import OUI, Sender


def other_nics(sandbox):
    """A storage NIC with a static route behind it and a container bridge, beside the uplinks."""
    sandbox.add_veth("st0", "st1")
    ip("addr", "add", "172.20.0.2/24", "dev", "st0")
    ip("-6", "addr", "add", "2001:db8:5::2/64", "dev", "st0", "nodad")
    ip("route", "add", "10.50.0.0/16", "via", "172.20.0.1", "dev", "st0")
    ip("link", "add", "br0", "type", "bridge")
    ip("addr", "add", "172.17.0.1/16", "dev", "br0")
    ip("link", "set", "br0", "up")
    # The operator's more specific route through uplink a: a declaration still wins over it.
    ip("route", "add", "10.9.1.0/24", "via", "192.0.2.1", "dev", "ha")


A_HOPS, B_HOPS = "via 192.0.2.1 dev ha", "via 198.51.100.1 dev hb"
UNTOUCHED = {  # what no declaration may change
    "172.20.0.9": "dev st0", "10.50.1.1": "via 172.20.0.1 dev st0", "2001:db8:5::9": "dev st0",
    "172.17.3.3": "dev br0", "192.0.2.1": "dev ha", "198.51.100.1": "dev hb",
    "2001:db8:a::1": "dev ha",
}


@pytest.mark.parametrize("declared_a,declared_b,steered", [
    # A covers everything: what leaves through an uplink goes to B, the rest is untouched.
    (["0.0.0.0/0", "::/0"], [], {"10.9.7.7": B_HOPS, "10.9.1.1": B_HOPS, "2001:db8:77::1": "via fe80::b1 dev hb"}),
    # Both declare everything: the remote world is unreachable, the host's own networks are not.
    (["0.0.0.0/0", "::/0"], ["0.0.0.0/0", "::/0"], {"10.9.7.7": "unreachable", "2001:db8:77::1": "unreachable"}),
    # A covering /8 with a static route inside it behind the storage NIC.
    (["10.0.0.0/8"], [], {"10.9.7.7": B_HOPS, "10.9.1.1": B_HOPS, "10.50.1.1": "via 172.20.0.1 dev st0"}),
    # A declares the /16 around the operator's /24 through A: the declaration wins.
    (["10.9.0.0/16"], [], {"10.9.1.1": B_HOPS, "10.8.1.1": "via"}),
])
def test_only_what_leaves_through_an_uplink_is_steered(sandbox, declared_a, declared_b, steered):
    args, s = add_uplinks(sandbox, "ab")
    other_nics(sandbox)
    a = start_agent(sandbox, args)
    s["a"].delta(added=declared_a)
    if declared_b:
        s["b"].delta(added=declared_b)
    wait_until("declarations", lambda: len(table(4) + table(6)) == len(declared_a) + len(declared_b) - (
        len(set(declared_a) & set(declared_b))) or table(4) + table(6))
    want = {**UNTOUCHED, **steered}
    got = {dest: route_get(dest) for dest in want}
    assert {d: g for d, g in got.items() if not g.startswith(want[d])} == {}
    # The uplinks are in the agent's group; at stop they return to the default group.
    assert "group 250" in ip("link", "show", "ha").stdout
    assert a.stop() == 0
    assert "group 250" not in ip("link", "show", "ha").stdout and table(6, throws=True) == []


def recreate_a(sandbox, s):
    """Uplink a made again under its name, as an ifdown/ifup of a VLAN or a driver reload does."""
    s["a"] = make_link(sandbox, "a")
    default_route("ab")


# How uplink a goes down and comes back.
DOWN_AND_BACK = {
    "carrier": (lambda box, s: ip("link", "set", "sa", "down"), lambda box, s: ip("link", "set", "sa", "up")),
    "admin": (lambda box, s: ip("link", "set", "ha", "down"),
              # the kernel dropped the IPv6 address with the link; put it back
              lambda box, s: (ip("link", "set", "ha", "up"),
                              ip("-6", "addr", "add", "2001:db8:a::2/64", "dev", "ha", "nodad", check=False))),
    "deleted": (lambda box, s: ip("link", "del", "ha"), recreate_a),
}


@pytest.mark.parametrize("kind", list(DOWN_AND_BACK))
def test_an_uplink_that_is_down_reaches_nothing_until_it_is_back(sandbox, agent, kind):
    """With ignore_routes_with_linkdown at its default, the main table's ECMP default route keeps
    hashing flows to a dead uplink: the agent moves everything that would leave through the uplinks
    to those that are up, and steers nothing once every uplink is down."""
    a, s = agent
    down, back = DOWN_AND_BACK[kind]
    s["a"].periodic(["10.8.0.0/16"])
    s["b"].periodic(["10.9.0.0/16"])
    wait_table(["10.8.0.0/16 via 198.51.100.1 dev hb proto 241", "10.9.0.0/16 via 192.0.2.1 dev ha proto 241"])
    assert len(flows("10.1.1.1")) == 2  # spread over both uplinks
    start = a.mark()
    down(sandbox, s)
    a.wait_for(r"^neighbour: ha: chassis 02:00:00:00:01:01 port swp1 forgotten \(link down\), 1 prefixes", start=start)
    wait_table(["default via 198.51.100.1 dev hb proto 241", "unreachable 10.9.0.0/16 proto 241"])
    assert flows("10.1.1.1") == {"via 198.51.100.1 dev hb": 64}
    assert flows("2001:db8:77::1") == {"via fe80::b1 dev hb": 64}
    assert flows("10.9.1.1") == {"unreachable": 64}
    # Every uplink down: nothing is steered.
    ip("link", "set", "sb", "down")
    wait_table([])
    assert table(6) == []
    ip("link", "set", "sb", "up")
    start = a.mark()
    back(sandbox, s)
    a.wait_for(r"^link: ha: (up|present \(index \d+\), taken in)$", start=start)
    s["b"].periodic(["10.9.0.0/16"])
    wait_table(["10.9.0.0/16 via 192.0.2.1 dev ha proto 241"])
    s["a"].periodic(["10.8.0.0/16"])  # heard on the link again, whichever it is now
    wait_table(["10.8.0.0/16 via 198.51.100.1 dev hb proto 241", "10.9.0.0/16 via 192.0.2.1 dev ha proto 241"])
    assert len(flows("10.1.1.1")) == 2
    assert "group 250" in ip("link", "show", "ha").stdout


def test_the_table_follows_renumbering_and_whoever_removes_the_agents_routes_or_rules(sandbox, agent):
    a, s = agent
    s["b"].periodic(["10.9.0.0/16", "2001:db8:9::/48"])
    wait_table(["10.9.0.0/16 via 192.0.2.1 dev ha proto 241"])
    steps = [
        # (what is done, the IPv4 table afterwards, a log line that says so)
        # A's gateway off the link: A, up, cannot carry IPv4, so the main table answers as without the
        # agent instead of an unreachable route.
        # (its throw route removed first, as a network manager does: the agent's own removal of it
        # finds it gone, which is no error)
        (["-batch", "-", "route del throw 192.0.2.0/30 table 250\naddr del 192.0.2.2/30 dev ha"], [],
         r"^link: ha: gateway 192.0.2.1 is not on-link, left out of routes until it is$"),
        (["addr", "add", "192.0.2.2/30", "dev", "ha"], ["10.9.0.0/16 via 192.0.2.1 dev ha proto 241"],
         r"^link: ha: gateway 192.0.2.1 is on-link$"),
        (["route", "del", "10.9.0.0/16", "table", str(TABLE)], ["10.9.0.0/16 via 192.0.2.1 dev ha proto 241"],
         r"^route: table 250 was changed behind the agent's back: 1 routes missing"),
        (["route", "flush", "table", str(TABLE)], ["10.9.0.0/16 via 192.0.2.1 dev ha proto 241"],
         r"^route: table 250 was changed behind the agent's back"),
        (["rule", "del", "priority", "2000"], ["10.9.0.0/16 via 192.0.2.1 dev ha proto 241"],
         r"^rule: 1 rules of the agent were removed by someone else, restored$"),
    ]
    for cmd, want, line in steps:
        start = a.mark()
        if cmd[0] == "-batch":
            subprocess.run(["ip", "-batch", "-"], input=cmd[2] + "\n", text=True, check=True)
        else:
            ip(*cmd)
        a.wait_for(line, start=start)
        wait_table(want)
    assert table(6) == ["2001:db8:9::/48 via 2001:db8:a::1 dev ha proto 241 metric 1024 pref medium"]
    assert len([r for r in rules(4) if "proto 241" in r]) == 2
    assert len(table(4, throws=True)) == 3
    assert not [m for m in a.messages() if re.search(r"kernel refused|\b[1-9]\d* refused", m)]


@pytest.mark.skipif(not shutil.which("lldpd"), reason="Debian's lldpd is not installed")
def test_every_neighbour_on_a_link_is_kept_apart_with_debians_lldpd_beside_the_agent(sandbox, agent):
    a, s = agent
    lldpd = sandbox.spawn(["lldpd", "-d", "-I", "ha,hb", "-u", "/run/lldpd.socket"])
    try:
        bmc = Sender("sa", chassis_mac="02:00:00:00:0b:01", port_id="bmc0")
        second = Sender("sa", chassis_mac="02:00:00:00:0c:01", port_id="swp7")
        big = [f"10.{i >> 8}.{i & 255}.0/24" for i in range(300)]
        assert s["a"].periodic(big) == 3
        wait_until("set", lambda: len(table()) == 300 or len(table()))
        start = a.mark()
        # A management controller's plain frames and TTL 0, flapping: nothing changes.
        for _ in range(5):
            bmc.blob(b"", ttl=120)
            bmc.blob(b"", ttl=0)
        # A second declaring neighbour on the same link adds its own, then leaves alone.
        second.delta(added=["172.31.0.0/16", "10.0.0.0/24"])
        wait_until("second", lambda: len(table()) == 301 or len(table()))
        second.forget()
        wait_until("second gone", lambda: len(table()) == 300 or len(table()))
        assert not [m for m in a.messages(start) if "02:00:00:00:0b:01" in m]
        assert [m for m in a.messages(start) if "forgotten" in m] == [
            "neighbour: ha: chassis 02:00:00:00:0c:01 port swp7 forgotten (TTL 0), 2 prefixes no longer declared"]
        # Debian's lldpd on the host sees the switch, with the relay's TLVs of the set's frames, once
        # it is ready: the set is sent again while waiting, as a switch does.
        def shown():
            s["a"].periodic(big)
            r = subprocess.run(["lldpcli", "-u", "/run/lldpd.socket", "-f", "json", "show", "neighbors", "details"],
                               capture_output=True, text=True)
            if r.returncode:
                return r.stderr
            iface = json.loads(r.stdout).get("lldp", {}).get("interface", [])
            iface = iface if isinstance(iface, list) else [iface]
            text = json.dumps(iface)
            return True if "swp1" in text and OUI.hex(",").upper() in text.upper() else text[:300]
        wait_until("lldpcli shows the switch", shown, timeout=30, interval=0.5)
        assert len(table()) == 300 and a.proc.poll() is None
    finally:
        sandbox.stop(lldpd)


def test_one_agent_owns_its_routes_and_nothing_else(sandbox, uplinks):
    args, s = uplinks
    ip("route", "add", "10.66.0.0/16", "via", "192.0.2.1", "table", str(TABLE))  # the operator's
    ip("rule", "add", "priority", "3000", "lookup", str(TABLE))
    a = start_agent(sandbox, args)
    a.wait_for(r"^route: table 250 holds 1 routes that are not the agent's; they are left alone$")
    a.wait_for(r"^rule: an IPv4 rule that is not the agent's, at priority 3000, also looks up table 250$")
    s["a"].periodic(["10.0.0.0/8"])
    wait_until("route", lambda: len(table()) == 2 or table())
    # A second agent is refused, and the first one's routes stay.
    second = sandbox.run([sandbox.prefix / "sbin" / "tallowhost", *args])
    assert second.returncode == 1 and "another tallowhost is running" in second.stderr
    assert "10.0.0.0/8 via 198.51.100.1 dev hb proto 241" in table()
    assert a.stop() == 0
    assert table() == ["10.66.0.0/16 via 192.0.2.1 dev ha"] and "3000:\tfrom all lookup 250" in rules(4)
    # An operator's rule at the agent's priority, or the VRFs' l3mdev rule behind the agent's: the
    # agent refuses to start.
    ip("rule", "add", "priority", "1000", "l3mdev")  # as the kernel adds it with the first VRF
    for cmd, agent_args, line in [
        (["rule", "add", "priority", "2000", "lookup", "100"], [],
         r"^rule: priority 2000 already holds an IPv4 rule that is not the agent's"),
        ([], ["--rule-priority", "900"],
         r"^rule: the IPv4 l3mdev rule of the VRFs at priority 1000 would come after the agent's rules"),
    ]:
        if cmd:
            ip(*cmd)
        start = a.mark()
        r = sandbox.run([sandbox.prefix / "sbin" / "tallowhost", *args, *agent_args])
        assert r.returncode == 1 and "cannot take the routing table" in r.stderr
        a.wait_for(line, start=start)
        assert table() == ["10.66.0.0/16 via 192.0.2.1 dev ha"] and not [l for l in rules(4) if "proto 241" in l]


def test_ttl_bound_and_caps(sandbox, uplinks):
    args, s = uplinks
    a = start_agent(sandbox, args + ["--max-prefixes", "100"])
    s["a"].periodic([f"10.1.{i}.0/24" for i in range(50)], ttl=65535)
    a.wait_for(r"^neighbour: ha: chassis 02:00:00:00:01:01 port swp1, TTL 65535, held for at most 300 s$")
    wait_until("set", lambda: len(table()) == 50 or len(table()))
    assert 290 < a.snapshot()["uplinks"][0]["neighbours"][0]["expires_in_s"] <= 300
    start = a.mark()
    s["a"].periodic([f"10.2.{i}.0/24" for i in range(150)])
    a.wait_for(r"^set: ha: open set from chassis 02:00:00:00:01:01 port swp1 over the cap of 100 prefixes, "
               r"discarded$", start=start)
    s["a"].delta(added=[f"10.3.{i}.0/24" for i in range(60)])
    a.wait_for(r"^set: ha: 10 prefixes of a delta from chassis 02:00:00:00:01:01 port swp1 not taken", start=start)
    wait_until("capped", lambda: len(table()) == 100 or len(table()))
    # The open set is dropped when it reaches the cap: 100 of its prefixes, and 10 of the delta.
    assert a.snapshot()["uplinks"][0]["over_cap"] == 100 + 10
