"""End to end on veth links: the routing suite's word on a switch reaches the host's routing table through
tallowd, the transmitting lldpd stand-in and tallowhost."""

from host_helpers import route_get
from topology import LINKS, Host, Switch, wait_value

VIA_A = f"via {LINKS['A'].switch_addr} dev {LINKS['A'].host_if}"
VIA_B = f"via {LINKS['B'].switch_addr} dev {LINKS['B'].host_if}"


def test_declare_withdraw_zebra_down_and_lldpd_stop(fabric):
    a, b, host = fabric
    assert route_get("10.9.1.1") in (VIA_A, VIA_B)

    a.declare("10.9.0.0/16")
    host.wait_route("10.9.1.1", VIA_B)
    assert route_get("10.1.1.1") in (VIA_A, VIA_B), "only the declared prefix moves"

    a.withdraw("10.9.0.0/16")
    wait_value("table 250 emptied", Host.table_empty)

    a.zebra(2)  # the routing suite on A goes down: A declares 0/0 and ::/0
    host.wait_route("10.1.1.1", VIA_B)
    host.wait_route("203.0.113.7", VIA_B)

    a.stop_lldpd()  # its last frame has TTL 0
    wait_value("A forgotten", Host.table_empty)


def test_nested_pair(fabric):
    a, b, host = fabric
    a.declare("10.0.0.0/8")
    b.declare("10.9.0.0/16")
    host.wait_route("10.9.1.1", "unreachable")
    host.wait_route("10.1.1.1", VIA_B)
    assert route_get("192.0.2.1") in (VIA_A, VIA_B), "lookups outside the table fall through to main"


def test_resync_of_200000_prefixes_at_mtu_1500_arrives_whole(sandbox, tmp_path):
    sandbox.set_groups(frr=True)
    sandbox.write("/etc/tarvik/tallowd.conf", "max-unreachable-prefix = 200000\n")
    a, b = Switch(sandbox, "A", tx_interval=30), Switch(sandbox, "B", tx_interval=30)
    host = Host(sandbox, [a, b])
    prefixes = [f"{10 + i // 65536}.{i // 256 % 256}.{i % 256}.0/24" for i in range(200000)]
    listing = sandbox._base / "prefixes.txt"
    listing.write_text("\n".join(prefixes) + "\n")
    a.downlinks()
    a.ctl(f"sync --vrf 1 --epoch 1 {listing}")
    wait_value("200000 routes", lambda: host.route_count() == 200000, timeout=60, interval=0.2)
    assert route_get("12.13.14.15") == VIA_B
    last = prefixes[-1].split("/")[0]
    assert route_get(last) == VIA_B
    assert a.standin_summary()["too_big_immediate"] == 0, "a resync sends no immediate delta"

    # 500 withdrawals make an immediate delta of 6507 bytes, more than the link carries: the stand-in
    # drops it and the full set 100 ms later carries the change.
    a.withdraw(*prefixes[:500])
    wait_value("500 routes gone", lambda: host.route_count() == 199500, timeout=60, interval=0.2)
    assert a.standin_summary()["too_big_immediate"] == 1
