"""tallowd.service in the booted system, as shipped and strict (the `mode` fixture): it stays up with its
socket handed to group frr, relays the routing suite's messages to the lldpd stand-in (its own unit),
follows MTU changes and the state service, dumps and reloads on systemctl's signals, and stops cleanly;
and nothing in its journal says the confinement got in its way."""

import pytest

from layout import RECORD, SWITCH_IF
from routing import Routing, check_confinement, ifindex, prefixes, wait_request

UNIT = "tallowd.service"
MESRACTL = "/usr/libexec/tarvik-platform/mesractl"
CONF = "/etc/tarvik/tallowd.conf"
DECLARED = {"10.9.0.0/16", "2001:db8:9::/48"}
DEFAULTS = {"0.0.0.0/0", "::/0"}


@pytest.fixture(scope="module")
def routing(system, mode):
    r = Routing(system)
    yield r
    r.close()


def requests(system):
    return len(system.json_lines(RECORD))


def test_stays_active_with_its_socket_for_frr(system, mode):
    start = system.cursor()
    system.systemctl("start", "lldpd.service", UNIT)
    system.wait_log(UNIT, r"^lldp: connected to LLDPD", after=start)
    system.wait_log(UNIT, r"^mesra: published state=up", after=start)
    assert system.prop(UNIT, "ActiveState") == "active", system.journal(UNIT, start)
    owner = system.run("stat", "-c", "%U:%G %a %F", "/run/tallowd.sock").stdout.strip()
    assert owner == "root:frr 660 socket", f"/run/tallowd.sock is {owner}, not root:frr 660 socket"


def test_routing_suite_messages_reach_the_lldpd_unit(system, mode, routing):
    start = requests(system)
    sw = ifindex(system)
    routing.send(f"intf-set --vrf 1 {SWITCH_IF}", "sync-begin --vrf 1 --epoch 1",
                 f"update --vrf 1 {' '.join(sorted(DECLARED))}", "sync-end --vrf 1 --epoch 1 --count 2")
    wait_request(system, "the synchronised set sent for sw0",
                 lambda r: r["type"] == 11 and r["ifindex"] == sw and prefixes(r) == DECLARED, start)
    start = requests(system)
    routing.send("update --vrf 1 10.10.0.0/16")
    wait_request(system, "the immediate delta of an update",
                 lambda r: r["type"] == 12 and r["ifindex"] == sw and prefixes(r) == {"10.10.0.0/16"}, start)
    wait_request(system, "the full set after the holddown",
                 lambda r: r["type"] == 11 and prefixes(r) == DECLARED | {"10.10.0.0/16"}, start)


def test_mtu_change_is_acted_on(system, mode, routing):
    start, mark = requests(system), system.cursor()
    system.run("ip", "link", "set", SWITCH_IF, "mtu", "9000" if mode == "shipped" else "4000")
    system.wait_log(UNIT, rf"^netlink: MTU \d+ on ifindex {ifindex(system)}, rebuilding blobs \(VRF 1\)", after=mark)
    wait_request(system, "the set rebuilt after the MTU change", lambda r: r["type"] == 11, start)


def test_zebra_down_gives_the_default_routes(system, mode, routing):
    # Only a transition counts: zebra is reported up first, as the state service does at its start.
    mark = system.cursor()
    system.run(MESRACTL, "set", "frr_zebra", "state", "1")
    system.wait_log(UNIT, r"^mesra: published frr_zebra\.ack=ACK", after=mark)
    start, mark = requests(system), system.cursor()
    system.run(MESRACTL, "set", "frr_zebra", "state", "2")
    try:
        system.wait_log(UNIT, r"^mesra: frr state=DOWN", after=mark)
        wait_request(system, "the default routes in place of the prefixes",
                     lambda r: r["type"] == 11 and prefixes(r) == DEFAULTS, start)
    finally:
        system.run(MESRACTL, "set", "frr_zebra", "state", "1")


def test_usr2_dumps_and_reload_rereads_the_configuration(system, mode):
    mark = system.cursor()
    system.systemctl("kill", "-s", "USR2", UNIT)
    system.wait_log(UNIT, r"^Full state dumped to /var/run/tallowd-dump\.txt$", after=mark)
    dump = system.read("/run/tallowd-dump.txt")
    assert dump.startswith("tallowd state dump at "), dump[:200]
    original = system.read(CONF)
    try:
        system.write(CONF, original + "max-unreachable-prefix = 1000\n")
        system.systemctl("reload", UNIT)
        system.wait_log(UNIT, r"^conf: max_prefix_limit \d+ -> 1000$", after=mark)
    finally:
        system.write(CONF, original)
    assert system.prop(UNIT, "ActiveState") == "active"


def test_stop_is_clean_and_removes_the_socket(system, mode, routing):
    routing.close()
    mark = system.cursor()
    system.systemctl("stop", UNIT)
    system.wait_log(UNIT, r"^tallowd stopped$", after=mark)
    assert system.prop(UNIT, "ActiveState") == "inactive"
    assert system.prop(UNIT, "Result") == "success", system.journal(UNIT, mark)
    assert system.prop(UNIT, "ExecMainStatus") == "0"
    r = system.run("test", "-e", "/run/tallowd.sock", check=False)
    assert r.returncode != 0, "/run/tallowd.sock left behind after stop"


def test_confinement_never_got_in_the_way(system, mode):
    check_confinement(system, UNIT, mode)
