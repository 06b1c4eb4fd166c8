"""The state dumps: SIGUSR1 to syslog, SIGUSR2 to /var/run/tallowd-dump.txt."""

import re
import signal

import pytest

from relay_helpers import Client, Standin, barrier, intf_set, start_daemon, sync_begin, sync_end, updates
from state_helpers import DUMP, Store


def syslog_dump(daemon):
    start = daemon.mark()
    daemon.proc.send_signal(signal.SIGUSR1)
    daemon.wait_for(r"^--- end state dump ---$", start=start)
    lines = [l for l in daemon.log.lines()[start:] if l.ident == "tallowd"]
    assert all(l.priority == 6 for l in lines)
    return [l.message for l in lines]


def file_dump(daemon):
    start = daemon.mark()
    daemon.proc.send_signal(signal.SIGUSR2)
    line = daemon.wait_for(r"^(Full state dumped to|Cannot open) ", start=start)
    return line


def fd_of(daemon, pattern):
    return int(re.search(r"fd=(\d+)", daemon.wait_for(pattern).message)[1])


def test_syslog_dump_without_client_or_push(sandbox):
    Store(sandbox)
    Standin(sandbox)
    d = start_daemon(sandbox)
    lldpd_fd = fd_of(d, r"^lldp: connected to LLDPD")
    assert syslog_dump(d) == [
        "--- tallowd state dump ---",
        f"LLDPD: connected (fd={lldpd_fd}, last push -1s ago)",
        "NB clients: none",
        "IPC msgs received: 0",
        "IPC prefix updates: 0 (prefixes: 0)",
        "IPC sync begin/end: 0/0 intf_set: 0 errors: 0",
        "LLDPD reconnects: 1 txn timeouts: 0",
        "--- end state dump ---",
    ]


def test_syslog_dump_with_a_client_and_ten_interfaces(sandbox):
    Standin(sandbox)
    d = start_daemon(sandbox)
    client = Client()
    client_fd = fd_of(d, r"^ipc: FRR client connected")
    # Interfaces 1 to 10: 1 is loopback, whose MTU is above the largest frame MTU.
    client.send(intf_set(7, list(range(1, 11))), sync_begin(7, 3), updates(7, ["10.1.0.0/16", "2001:db8::/32"]),
                sync_end(7, 3, 2), intf_set(8, [20]))
    barrier(client, d)
    lines = syslog_dump(d)
    assert re.fullmatch(r"LLDPD: connected \(fd=\d+, last push \d+s ago\)", lines[1]), lines[1]
    assert lines[2] == f"NB clients: FRR(fd={client_fd})"
    assert lines[3:9] == [
        "  VRF 7: prefixes=2 (v4=1 v6=1 W=0:2 W=1:0) epoch=3 dirty=0",
        "    blobs=1 holddown=idle mtu=9216",
        "    intfs(10): [1,2,3,4,5,6,7,8...+2 more]",
        "    DB: adds=2 removes=0 updates=0 swept=0",
        "    LLDPD: pushes=1 blobs=10 failures=0 holddowns=0",
        "  VRF 8: prefixes=0 (v4=0 v6=0 W=0:0 W=1:0) epoch=0 dirty=0",
    ]
    assert lines[9].startswith("    blobs=") and lines[9].endswith(" mtu=9216")
    assert lines[10] == "    intfs(1): [20]"
    assert lines[-5:] == [
        "IPC msgs received: 6",
        "IPC prefix updates: 1 (prefixes: 2)",
        "IPC sync begin/end: 1/1 intf_set: 2 errors: 0",
        "LLDPD reconnects: 1 txn timeouts: 0",
        "--- end state dump ---",
    ]
    client.close()


def test_file_dump_of_the_example_vrf(sandbox):
    Standin(sandbox)
    ifindex, _ = sandbox.add_veth("dn0", "dn1", mtu=1500)
    d = start_daemon(sandbox)
    client = Client()
    client.send(intf_set(10, [ifindex]), sync_begin(10, 3), updates(10, ["10.1.0.0/16", "2001:db8::/32"]),
                sync_end(10, 3, 2), sync_begin(11, 0))
    barrier(client, d)
    assert file_dump(d).message == "Full state dumped to /var/run/tallowd-dump.txt"
    text = DUMP.read_text()
    head, body = text.split("\n\n", 1)
    assert re.fullmatch(r"tallowd state dump at \d{4}-\d\d-\d\d \d\d:\d\d:\d\d", head), head
    assert body == (
        "VRF 10: 2 prefixes, epoch=3\n"
        "  MTU: 1500\n"
        f"  Interfaces (1): {ifindex}\n"
        "  Blobs: 1 frames\n"
        "    frame 0: 45 bytes\n"
        "  Prefixes:\n"
        "    IPv4 10.1.0.0/16 W=0 epoch=3\n"
        "    IPv6 2001:db8::/32 W=0 epoch=3\n"
        "\n"
        "VRF 11: 0 prefixes, epoch=0\n"
        "  MTU: 9216\n"
        "  Interfaces (0):\n"
        "  Blobs: 0 frames\n"
        "  Prefixes:\n"
        "\n")
    client.close()


def test_file_dump_lists_everything_and_a_second_dump_replaces_the_first(sandbox):
    Standin(sandbox)
    d = start_daemon(sandbox)
    client = Client()
    many = [f"10.{i // 256}.{i % 256}.0/24" for i in range(600)]
    intfs = list(range(100, 140))
    client.send(intf_set(1, intfs), sync_begin(1, 1), updates(1, many[:500]), updates(1, many[500:]),
                sync_end(1, 1, 600))
    barrier(client, d)
    file_dump(d)
    first = DUMP.read_text()
    assert f"  Interfaces (40): {' '.join(map(str, intfs))}\n" in first
    assert first.count(" W=0 epoch=1\n") == 600
    client.send(updates(1, ["192.0.2.0/24"]))
    barrier(client, d)
    file_dump(d)
    second = DUMP.read_text()
    assert second.count("tallowd state dump at ") == 1
    assert "VRF 1: 601 prefixes, epoch=1\n" in second
    assert second.endswith("    IPv4 192.0.2.0/24 W=0 epoch=1\n\n")
    client.close()


@pytest.mark.parametrize("planted, reason", [
    ("directory", "Is a directory"),
    ("symlink", "Too many levels of symbolic links"),  # never written through a link
])
def test_unwritable_dump_path_is_logged(sandbox, planted, reason):
    d = start_daemon(sandbox, lldpd_wait=False)
    target = DUMP.with_name("dump-target")
    if planted == "directory":
        DUMP.mkdir()
    else:
        target.write_text("keep\n")
        DUMP.symlink_to(target)
    line = file_dump(d)
    assert line.message == f"Cannot open /var/run/tallowd-dump.txt: {reason}"
    assert line.priority == 4
    assert d.proc.poll() is None
    if planted == "symlink":
        assert target.read_text() == "keep\n"
