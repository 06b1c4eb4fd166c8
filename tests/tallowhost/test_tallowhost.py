"""Black-box tests of the installed host agent: hand-made LLDP frames on veth uplinks, the kernel's
routing answers and the agent's table."""

import ipaddress
import signal
import struct
import time

import pytest

from host_helpers import (TABLE, add_uplinks, ip, route_count, route_get, rules, start_agent, table, wait_table,
                          wait_until)
from lldp_frames import FIRST, MORE, OUI, PERIODIC, control_tlv, lldp_frame, prefix_tlv, tlv


def v4_prefixes(n, base="10.0.0.0", plen=24):
    start = int(ipaddress.ip_address(base)) >> (32 - plen)
    return [f"{ipaddress.ip_address((start + i) << (32 - plen))}/{plen}" for i in range(n)]


def test_nested_pair_link_local_next_hop_snapshot_and_stop(sandbox, agent):
    a, s = agent
    s["a"].periodic(["10.0.0.0/8", "2001:db8:1000::/36"])
    s["b"].periodic(["10.9.0.0/16", "2001:db8:1009::/48"])
    wait_table(["10.0.0.0/8 via 198.51.100.1 dev hb proto 241", "unreachable 10.9.0.0/16 proto 241"])
    wait_until("IPv6 routes", lambda: len(table(6)) == 2 or table(6))

    assert route_get("10.9.1.1") == "unreachable"
    assert route_get("10.1.1.1") == "via 198.51.100.1 dev hb"
    assert route_get("2001:db8:1009::1") == "unreachable"
    assert route_get("2001:db8:1001::1") == "via fe80::b1 dev hb"  # link-local next hop with its interface
    # Not declared by anyone: the main table's ECMP default route answers.
    assert "table" not in ip("route", "get", "172.16.0.1").stdout
    assert [r for r in rules(4) + rules(6) if "proto 241" in r] == [
        "1999:\tfrom all lookup main suppress_ifgroup 250 proto 241", f"2000:\tfrom all lookup {TABLE} proto 241"] * 2

    snap = a.snapshot()
    by_if = {u["interface"]: u for u in snap["uplinks"]}
    assert by_if["ha"]["prefixes"] == ["10.0.0.0/8", "2001:db8:1000::/36"]
    assert by_if["hb"]["set_size"] == 2 and 0 <= by_if["hb"]["age_s"] <= by_if["hb"]["changed_s"]
    assert by_if["hb"]["next_hops"] == ["198.51.100.1", "fe80::b1"]
    assert by_if["ha"]["neighbours"][0]["chassis_id"] == "02:00:00:00:01:01"
    assert by_if["ha"]["neighbours"][0]["port_id"] == "swp1"
    assert snap["routes"] == 4 + 5  # and the throw routes of the two uplinks' subnets and fe80::/64

    assert a.stop() == 0
    assert table(4) == [] and table(6) == []
    assert not [r for r in rules(4) + rules(6) if f"lookup {TABLE}" in r]
    assert route_get("10.9.1.1").startswith("via")  # back to the main table
    a.wait_for(r"^tallowhost stopped$")


def test_routes_are_replaced_in_place_through_multipath_single_and_unreachable(sandbox):
    args, s = add_uplinks(sandbox, "abc")
    a = start_agent(sandbox, args + ["--table", "1234", "--rule-priority", "77"])
    assert "77:\tfrom all lookup 1234 proto 241" in rules(4) and "77:\tfrom all lookup 1234 proto 241" in rules(6)
    p4, p6 = "10.77.0.0/16", "2001:db8:77::/48"
    # (uplink, delta: add or withdraw) -> how 10.77.1.1 and 2001:db8:77::1 are then routed
    steps = [
        ("a", "add", {"via 198.51.100.1 dev hb", "via 203.0.113.1 dev hc"},
         {"via fe80::b1 dev hb", "via 2001:db8:c::1 dev hc"}),
        ("b", "add", {"via 203.0.113.1 dev hc"}, {"via 2001:db8:c::1 dev hc"}),
        ("c", "add", {"unreachable"}, {"unreachable"}),
        ("a", "withdraw", {"via 192.0.2.1 dev ha"}, {"via 2001:db8:a::1 dev ha"}),
    ]

    # A multipath route answers with one of its next hops per flow: hash on ports, ask with several.
    for v in ("ipv4", "ipv6"):
        with open(f"/proc/sys/net/{v}/fib_multipath_hash_policy", "w") as f:
            f.write("1")

    def answers(dest):
        out = set()
        for sport in range(1000, 1016):
            r = ip("route", "get", dest, "ipproto", "udp", "sport", str(sport), "dport", "53", check=False)
            words = r.stdout.split()
            out.add("unreachable" if r.returncode else f"via {words[words.index('via') + 1]} "
                                                        f"dev {words[words.index('dev') + 1]}")
        return out

    for up, action, want4, want6 in steps:
        if action == "add":
            s[up].delta(added=[p4, p6])
        else:
            s[up].delta(withdrawn=[p4, p6])
        for dest, want in (("10.77.1.1", want4), ("2001:db8:77::1", want6)):
            wait_until(f"{up} {action} {dest}", lambda: (lambda got: got == want or got)(answers(dest)))
        assert len([l for l in table(4, 1234) if l.startswith(("10.77", "unreachable 10.77"))]) == 1
    for up in "bc":
        s[up].delta(withdrawn=[p4, p6])
    wait_until("withdrawals", lambda: table(4, 1234) + table(6, 1234) == [] or table(4, 1234) + table(6, 1234))
    assert a.stop(signal.SIGINT) == 0
    assert not [r for r in rules(4) + rules(6) if "1234" in r]


@pytest.mark.parametrize("lost", ["first", "last"])
def test_lost_first_or_last_frame_keeps_previous_set(agent, lost):
    a, s = agent
    old, new = v4_prefixes(300), v4_prefixes(300, base="10.100.0.0")
    assert s["a"].periodic(old) == 3
    wait_until("first set", lambda: route_count() == 300 or route_count())
    start = a.mark()
    s["a"].periodic(new, skip=[0] if lost == "first" else [2])
    # A delta does not close an open set: its route shows that the frames before it were handled.
    s["a"].delta(added=["172.31.0.0/16"])
    wait_until("delta", lambda: route_count() == 301 or route_count())
    assert route_get("10.0.1.1") == "via 198.51.100.1 dev hb"
    assert route_get("10.100.1.1").startswith("via") and "table" not in ip("route", "get", "10.100.1.1").stdout
    if lost == "first":
        a.wait_for(r"^set: ha: continuation frame with no set open", start=start)
    # The next whole set is taken; a set still open is discarded with a line.
    s["a"].periodic(new)
    wait_until("next set", lambda: route_get("10.100.1.1") == "via 198.51.100.1 dev hb" or route_count())
    wait_until("old set gone", lambda: route_count() == 300 or route_count())
    if lost == "last":
        a.wait_for(r"^set: ha: first frame while a set of 2 frames was open, partial set discarded", start=start)


@pytest.mark.parametrize("how", ["ttl0", "expiry"])
def test_ttl_zero_and_expiry_forget_the_neighbour(agent, how):
    a, s = agent
    s["b"].periodic(["10.9.0.0/16"], ttl=120)
    s["a"].periodic(["10.0.0.0/8"], ttl=1 if how == "expiry" else 120)
    wait_until("routes", lambda: len(table()) == 2 or table())
    start = a.mark()
    if how == "ttl0":
        s["a"].forget()
    a.wait_for(r"^neighbour: ha: chassis 02:00:00:00:01:01 port swp1 forgotten \((TTL 0|TTL expired)\), 1 prefixes",
               start=start)
    wait_table(["10.9.0.0/16 via 192.0.2.1 dev ha proto 241"])


def test_after_a_crash_the_next_run_adopts_the_routes_and_drops_only_what_is_not_confirmed(sandbox, uplinks):
    args, s = uplinks
    a = start_agent(sandbox, args)
    s["a"].periodic(["10.0.0.0/8", "2001:db8::/32"])
    wait_until("routes", lambda: len(table(4)) + len(table(6)) == 2 or table(4) + table(6))
    assert a.stop(signal.SIGKILL) == -signal.SIGKILL
    before = table(4) + table(6)
    start = a.mark()
    b = start_agent(sandbox, args)
    b.wait_for(r"^route: adopted 7 routes of a previous run in table 250", start=start)
    assert table(4) + table(6) == before  # nothing flushed while the neighbours are not heard yet
    # Every uplink delivers a whole set: what it no longer declares goes, the rest never left.
    s["b"].periodic([])
    s["a"].periodic(["10.0.0.0/8"])
    b.wait_for(r"^route: adoption ended \(every uplink delivered a whole set\), 1 routes", start=start)
    wait_table(["10.0.0.0/8 via 198.51.100.1 dev hb proto 241"])
    assert table(6) == []
    assert b.stop() == 0
    assert table(4, throws=True) == [] and not [r for r in rules(4) + rules(6) if "proto 241" in r]


def hostile_frames():
    good = lldp_frame("02:00:00:00:01:01", "swp1", 120, control_tlv(FIRST | PERIODIC) + prefix_tlv("10.1.0.0/16"))
    org = lambda sub, rest: tlv(127, OUI + bytes([sub]) + rest)
    body = lambda *tlvs: lldp_frame("02:00:00:00:01:01", "swp1", 120, b"".join(tlvs))
    return {
        "truncated TLV": good[:-5],
        "length past the frame": good[:-2] + struct.pack(">H", (127 << 9) | 300) + OUI,
        "unknown subtype": body(control_tlv(0x81), org(9, b"\0" * 7)),
        "unknown control flags": body(control_tlv(0x81 | 0x10)),
        "unknown prefix flags": body(control_tlv(0x81), org(1, bytes([16, 0, 0x01]) + bytes([10, 2, 0, 0]))),
        "IPv4 length 33": body(control_tlv(0x81), prefix_tlv("10.3.0.0/16", plen=33)),
        "IPv6 length 129": body(control_tlv(0x81), prefix_tlv("2001:db8::/32", plen=129)),
        "short IPv6 TLV": body(control_tlv(0x81), org(2, bytes([64, 0, 0]) + bytes(8))),
        "no chassis ID": good[:14] + good[23:],
        "prefix before control": body(prefix_tlv("10.4.0.0/16"), control_tlv(0x81)),
    }


def test_hostile_frames_are_counted_and_never_applied(agent):
    a, s = agent
    frames = hostile_frames()
    for f in frames.values():
        s["a"].raw(f)
    s["a"].delta(added=["10.5.0.0/16"])
    wait_table(["10.5.0.0/16 via 198.51.100.1 dev hb proto 241"])
    snap = a.snapshot()
    ha = [u for u in snap["uplinks"] if u["interface"] == "ha"][0]
    assert ha["refused_frames"] == len(frames)
    assert ha["prefixes"] == ["10.5.0.0/16"]
    assert a.proc.poll() is None
    refused = [m for m in a.messages() if m.startswith("frame: ha: refused a frame")]
    assert refused and refused[0].startswith("frame: ha: refused a frame (TLV runs past the end of the frame), 1 ")


@pytest.mark.parametrize("args,message", [
    (["--uplink", "no/such=192.0.2.1"], 'bad interface name "no/such"'),
    (["--uplink", "ha=192.0.2.300"], 'bad address "192.0.2.300" for uplink ha'),
    (["--uplink", "ha=192.0.2.1", "--uplink", "ha=fe80::1"], "duplicate uplink ha"),
    (["--uplink", "ha=192.0.2.1", "--table", "main"], 'bad table "main"'),
    ([], "no --uplink given"),
])
def test_bad_command_lines(sandbox, uplinks, args, message):
    r = sandbox.run([sandbox.prefix / "sbin" / "tallowhost", *args])
    assert r.returncode == 2
    assert r.stderr.startswith(f"tallowhost: {message}")
    assert not [l for l in rules(4) if f"lookup {TABLE}" in l]


def test_200000_prefix_set_at_mtu_1500_arrives_whole(agent):
    a, s = agent
    prefixes = [prefix_tlv(str(ipaddress.IPv6Network(((0x20010db8 << 96) | (i << 64), 64))))
                for i in range(200000)]
    start = a.mark()
    t0 = time.monotonic()
    frames = s["a"].periodic(prefixes, mtu=1500)
    a.wait_for(rf"^set: ha: 200000 prefixes in {frames} frames", timeout=60, start=start)
    line = a.wait_for(r"^route: ha: 200000 route changes in \d+ ms, \d+ routes", timeout=60, start=start)
    elapsed = time.monotonic() - t0
    assert route_count(6) == 200000
    snap = a.snapshot()
    ha = [u for u in snap["uplinks"] if u["interface"] == "ha"][0]
    assert ha["dropped_frames"] == 0 and ha["frames"] == frames and ha["set_size"] == 200000
    print(f"{frames} frames, first frame to last route {elapsed:.2f} s; {line.message}")
