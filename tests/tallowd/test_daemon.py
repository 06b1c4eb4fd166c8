"""The daemon process: start-up and shutdown, configuration, signals and the northbound server."""

import os
import signal
import socket
import stat
import subprocess
import struct
import time

import pytest

from daemon_helpers import SOCK, msg, start_daemon, sync_begin, wait_closed

LIMIT_LINE = "conf: max-unreachable-prefix = {} (range [0..200000], default 25000)"


def test_start_and_stop_order(sandbox):
    d = start_daemon(sandbox)
    st = os.stat(SOCK)
    assert stat.S_ISSOCK(st.st_mode)
    assert stat.S_IMODE(st.st_mode) == 0o660
    assert (st.st_uid, st.st_gid) == (0, 300)
    assert d.stop() == 0
    m = d.messages()
    order = ["conf: /etc/tarvik/tallowd.conf absent, max_prefix_limit=25000 (default)", "tallowd starting",
             "ipc: listening on /var/run/tallowd.sock",
             "tallowd started, waiting for FRR connection on /var/run/tallowd.sock",
             "Cleaning up...", "tallowd stopped"]
    positions = [m.index(line) for line in order]
    assert positions == sorted(positions), m
    assert m[-1] == "tallowd stopped"
    assert not os.path.exists(SOCK)
    assert all(l.pid == d.lines()[0].pid and l.facility == 3 for l in d.lines())


def test_sigint_stops_with_status_0(daemon):
    assert daemon.stop(signal.SIGINT) == 0
    assert "tallowd stopped" in daemon.messages()


def test_missing_frr_group_restricts_socket(sandbox):
    d = start_daemon(sandbox, frr=False)
    st = os.stat(SOCK)
    assert (stat.S_IMODE(st.st_mode), st.st_gid) == (0o660, 0)
    line = d.wait_for(r"'frr' group not found")
    assert line.message == "ipc: 'frr' group not found, socket access restricted to root only"
    assert line.priority == 4


@pytest.mark.parametrize("conf, limit, extra", [
    ("max-unreachable-prefix = 200000\n", 200000, ["conf: max_prefix_limit 25000 -> 200000"]),
    ("max-unreachable-prefix=0\n", 0, ["conf: max_prefix_limit 25000 -> 0"]),
    ("max-unreachable-prefix = 200001\n", 25000,
     ["conf: max-unreachable-prefix 200001 out of range [0..200000], using default"]),
    ("max-unreachable-prefix = -1\n", 25000, ["conf: max-unreachable-prefix -1 out of range [0..200000], using default"]),
    ("max-unreachable-prefix = abc\n", 0, ["conf: max_prefix_limit 25000 -> 0"]),
    ("max-unreachable-prefix = 12abc\n", 12, ["conf: max_prefix_limit 25000 -> 12"]),
    ("max-unreachable-prefix = 300000\nmax-unreachable-prefix = 10\n", 25000,
     ["conf: max-unreachable-prefix 300000 out of range [0..200000], using default"]),
    ("# max-unreachable-prefix = 10\n  # max-unreachable-prefix = 11\nother = 5\n", 25000,
     ["conf: key not found in /etc/tarvik/tallowd.conf, using default 25000"]),
    ("   max-unreachable-prefix   =   77   trailing\n", 77, ["conf: max_prefix_limit 25000 -> 77"]),
    ("x" * 300 + "\nmax-unreachable-prefix = 5\n", 5, ["conf: max_prefix_limit 25000 -> 5"]),
], ids=["max", "zero", "above", "negative", "text", "number-then-text", "first-line-wins", "comments",
        "blanks", "long-line"])
def test_configuration_file(sandbox, conf, limit, extra):
    d = start_daemon(sandbox, conf=conf)
    conf_lines = [m for m in d.messages() if m.startswith("conf: ")]
    assert conf_lines == extra + [LIMIT_LINE.format(limit)]


def test_reload_and_debug_marker(sandbox):
    sandbox.write("/var/run/tallowd.debug", "")  # present at start: no effect until SIGHUP
    d = start_daemon(sandbox, conf="max-unreachable-prefix = 10\n")
    assert not any(l.priority == 7 for l in d.lines())

    sandbox.write("/etc/tarvik/tallowd.conf", "max-unreachable-prefix = 20\n")
    start = d.mark()
    d.kill(signal.SIGHUP)
    d.wait_for(r"^debug logging enabled \(/var/run/tallowd.debug present\)$", start=start)
    assert "conf: max_prefix_limit 10 -> 20" in d.messages()[start:]
    s = d.connect()
    d.wait_for(r"^ipc: accept\(\) called on fd=\d+$")  # debug lines now pass

    os.unlink("/etc/tarvik/tallowd.conf")
    os.unlink("/var/run/tallowd.debug")
    start = d.mark()
    d.kill(signal.SIGHUP)
    d.wait_for(r"^debug logging disabled$", start=start)
    assert [m for m in d.messages()[start:] if m.startswith("conf:")] == [
        "conf: /etc/tarvik/tallowd.conf absent, max_prefix_limit=25000 (default)"]
    start = d.mark()
    s.sendall(sync_begin(1, 1))
    d.wait_for(r"^ipc: SYNC_BEGIN vrf=1", start=start)
    assert not any(l.priority == 7 for l in d.lines()[start:])


def test_single_writer(daemon):
    first = daemon.connect()
    daemon.wait_for(r"^ipc: FRR client connected")
    second = daemon.connect()
    assert wait_closed(second)
    daemon.wait_for(r"^ipc: rejecting additional NB client fd=\d+ \(single-writer enforced\)$")
    first.sendall(sync_begin(7, 1))
    daemon.wait_for(r"^ipc: SYNC_BEGIN vrf=7 epoch=1")
    first.close()
    daemon.wait_for(r"^FRR client disconnected$")
    third = daemon.connect()
    third.sendall(sync_begin(8, 1))
    daemon.wait_for(r"^ipc: SYNC_BEGIN vrf=8 epoch=1")


def test_split_and_merged_messages(daemon):
    daemon.enable_debug()
    s = daemon.connect()
    m = sync_begin(5, 7)
    start = daemon.mark()
    s.sendall(m[:5])
    daemon.wait_for(r"^ipc: recv 5 bytes", start=start)
    time.sleep(0.05)
    assert not any("dispatch msg_type" in x for x in daemon.messages()[start:])
    s.sendall(m[5:])
    daemon.wait_for(r"^ipc: dispatch msg_type=0x03 vrf=5 len=16$", start=start)

    start = daemon.mark()
    s.sendall(sync_begin(1, 1) + msg(8) + sync_begin(2, 2))
    daemon.wait_for(r"^ipc: SYNC_BEGIN vrf=2 ", start=start)
    dispatched = [x for x in daemon.messages()[start:] if x.startswith("ipc: dispatch")]
    assert dispatched == ["ipc: dispatch msg_type=0x03 vrf=1 len=16", "ipc: dispatch msg_type=0x08 vrf=0 len=12",
                          "ipc: dispatch msg_type=0x03 vrf=2 len=16"]


def test_buffer_grows_for_largest_message(daemon):
    daemon.enable_debug()
    s = daemon.connect()
    # Fill the 8192-byte buffer to within 256 bytes, then send the rest of a 10016-byte message.
    entry = bytes([4, 8, 0, 0, 10, 0, 0, 0]) + bytes(12)
    big = msg(1, 3, bytes([0x01, 0xF4, 0, 0]) + entry * 500)
    assert len(big) == 10016
    start = daemon.mark()
    s.sendall(big[:8000])
    daemon.wait_for(r"buf now 8000\)$", start=start)
    s.sendall(big[8000:])
    daemon.wait_for(r"^ipc: dispatch msg_type=0x01 vrf=3 len=10016$", start=start)
    s.sendall(sync_begin(4, 1))
    daemon.wait_for(r"^ipc: SYNC_BEGIN vrf=4 ", start=start)


@pytest.mark.parametrize("length", [0, 11, 16385])
def test_impossible_msg_len_drops_client(daemon, length):
    s = daemon.connect()
    daemon.wait_for(r"^ipc: FRR client connected")
    s.sendall(msg(3, 1, bytes(4), length=length))
    assert wait_closed(s)
    line = daemon.wait_for(r"^ipc: bad msg_len")
    assert (line.message, line.priority) == (f"ipc: bad msg_len {length} (max 16384), dropping client", 3)
    daemon.wait_for(r"^ipc: last FRR client disconnected$")
    again = daemon.connect()
    again.sendall(sync_begin(9, 1))
    daemon.wait_for(r"^ipc: SYNC_BEGIN vrf=9 ")


def test_bad_length_keeps_stream_in_step(daemon):
    s = daemon.connect()
    s.sendall(msg(3, 1, bytes(5)) + sync_begin(2, 3))
    daemon.wait_for(r"^ipc: SYNC_BEGIN vrf=2 epoch=3")
    assert "ipc: SYNC_BEGIN bad len: 17" in daemon.messages()


def test_bind_failure_exits_1(sandbox):
    # A /run without free inodes makes bind() fail.
    subprocess.run(["mount", "-t", "tmpfs", "-o", "nr_inodes=4,mode=0755", "tmpfs", "/run"], check=True)
    n = 0
    while True:
        try:
            open(f"/run/fill{n}", "w").close()
        except OSError:
            break
        n += 1
    sandbox.set_groups()
    proc = sandbox.spawn([sandbox.prefix / "sbin" / "tallowd"])
    assert proc.wait(timeout=10) == 1
    # The catcher may still be recording the last lines when the process is gone.
    sandbox.syslog.wait_for(r"^tallowd stopped$", ident="tallowd")
    m = [l.message for l in sandbox.syslog.lines() if l.ident == "tallowd"]
    assert "ipc: bind(/var/run/tallowd.sock) failed: No space left on device" in m
    assert m.index("FRR IPC init failed") < m.index("Cleaning up...") < m.index("tallowd stopped")
    assert not os.path.exists(SOCK)


def _entries(n):
    return (bytes([4, 8, 0, 0, 10]) + bytes(15)) * n  # n times 10.0.0.0/8


REFUSED = [
    (msg(1, 1), 3, "ipc: PREFIX_UPDATE bad len: got=12 expected=16 (count=0)"),
    (msg(1, 1, b"\x00"), 3, "ipc: PREFIX_UPDATE bad len: got=13 expected=16 (count=0)"),
    (msg(1, 1, struct.pack(">HH", 2, 0) + _entries(1)), 3, "ipc: PREFIX_UPDATE bad len: got=36 expected=56 (count=2)"),
    (msg(1, 1, struct.pack(">HH", 501, 0) + _entries(501)), 3, "ipc: PREFIX_UPDATE count 501 > max 500"),
    (msg(6, 1, b"\x00\x01"), 3, "ipc: INTF_SET bad len: got=14 expected=16"),
    (msg(6, 1, struct.pack(">HHI", 2, 0, 7)), 3, "ipc: INTF_SET bad len: got=20 expected=24"),
    (msg(6, 1, struct.pack(">HH", 513, 0) + bytes(4 * 513)), 3, "INTF_SET: 513 interfaces exceeds max 512, dropping"),
    (msg(4, 1, struct.pack(">I", 1)), 3, "ipc: SYNC_END bad len: 16"),
    (msg(3, 1), 3, "ipc: SYNC_BEGIN bad len: 12"),
    (msg(2, 1), 4, "ipc: unknown msg type 0x02"),
    (msg(9, 1, bytes(30)), 4, "ipc: unknown msg type 0x09"),
    (msg(3, 1, struct.pack(">I", 4), ifindex=5), 4, "ipc: per-interface ifindex=5 not supported, treating as all"),
]


@pytest.mark.parametrize("message, priority, line", REFUSED, ids=[r[2][:40] for r in REFUSED])
def test_refused_messages_keep_the_stream(daemon, message, priority, line):
    s = daemon.connect()
    s.sendall(message + sync_begin(2, 3))
    daemon.wait_for(r"^ipc: SYNC_BEGIN vrf=2 epoch=3 ")
    found = [l for l in daemon.lines() if l.message == line]
    assert [l.priority for l in found] == [priority], daemon.messages()
