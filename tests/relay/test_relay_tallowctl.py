"""tallowctl against the installed daemon: what it sends, as lldpd sees it, and its errors."""

import pytest

from relay_helpers import FLAGS_TRIGGER, NB_SOCK, tallowctl


def summary(reqs):
    return [(r.type, r.ifindex, r.flags, r.prefixes()) for r in reqs]


def test_sync_update_and_interface_names(relayed, sandbox, tmp_path):
    d, lldpd = relayed
    a, b = sandbox.add_veth("dl0", "dl1")
    prefixes = [f"10.{i // 256}.{i % 256}.0/24" for i in range(1000)] + [f"2001:db8:{i:x}::/48" for i in range(1, 201)]
    listing = tmp_path / "prefixes.txt"
    # A default route (not counted in SYNC_END) and a repeated line (counted once).
    listing.write_text("# resync\n0.0.0.0/0\n" + "\n".join(prefixes) + f"\n{prefixes[5]}   # again\n")
    tallowctl(sandbox, "intf-set", "--vrf", 5, "dl0", b)
    tallowctl(sandbox, "sync", "--vrf", 5, "--epoch", 7, listing)
    reqs = lldpd.wait_requests(2)
    assert [(r.type, r.ifindex, r.flags) for r in reqs] == [(11, a, FLAGS_TRIGGER), (11, b, FLAGS_TRIGGER)]
    assert reqs[0].prefixes() == ["0.0.0.0/0"] + prefixes
    assert len(reqs[0].blobs) > 1  # veth MTU 1500: the set needs several frames
    assert all(len(blob) <= 1440 for blob in reqs[0].blobs)
    line = d.wait_for(r"^ipc: SYNC_END vrf=5 ")
    assert line.message == "ipc: SYNC_END vrf=5 epoch=7 prefixes=1201 swept=0"
    assert not [m for m in d.messages() if "mismatch" in m]

    tallowctl(sandbox, "update", "--vrf", 5, "10.0.0.0/8", "-2001:db8:1::/48", "192.0.2.1")
    reqs = lldpd.wait_requests(4, since=2)
    assert summary(reqs) == [(12, i, None, ["10.0.0.0/8", "-2001:db8:1::/48", "192.0.2.1/32"]) for i in (a, b)] + \
        [(11, i, 5, ["0.0.0.0/0"] + prefixes[:1000] + prefixes[1001:] + ["10.0.0.0/8", "192.0.2.1/32"])
         for i in (a, b)]

    tallowctl(sandbox, "update", "--vrf", 5, "--withdraw", "10.0.0.0/8")
    reqs = lldpd.wait_requests(2, since=6)
    assert summary(reqs[:2]) == [(12, i, None, ["-10.0.0.0/8"]) for i in (a, b)]


def test_script_runs_over_one_connection(relayed, sandbox):
    d, lldpd = relayed
    start = d.mark()
    script = "\n".join([
        "warmboot start",
        "intf-set --vrf 9 11 12   # two downlinks",
        "sync-begin --vrf 9 --epoch 3",
        "update --vrf 9 10.9.0.0/16",
        "sync-end --vrf 9 --epoch 3 --count 1",
        "warmboot end",
        "sleep 50",
    ]) + "\n"
    tallowctl(sandbox, "script", "-", input=script)
    reqs = lldpd.wait_requests(2)
    assert summary(reqs) == [(11, 11, FLAGS_TRIGGER, ["10.9.0.0/16"]), (11, 12, FLAGS_TRIGGER, ["10.9.0.0/16"])]
    d.wait_for(r"^ipc: SYNC_END vrf=9 ", start=start)
    msgs = d.messages(start)
    assert len([m for m in msgs if m.startswith("ipc: FRR client connected")]) == 1
    assert "ipc: warmboot start, default injection suppressed" in msgs
    assert "ipc: warmboot ended (SYNC_BEGIN received)" in msgs
    assert "ipc: warmboot end, default injection resumed" not in msgs  # already ended by SYNC_BEGIN


@pytest.mark.parametrize("args, status, error", [
    (["update", "--vrf", "5", "10.0.0.0/33"], 1, "tallowctl: update: bad prefix 10.0.0.0/33"),
    (["update", "10.0.0.0/8"], 2, "tallowctl: update: --vrf is required"),
    (["intf-set", "--vrf", "5", "nosuch0"], 1, "tallowctl: intf-set: no interface nosuch0"),
    (["warmboot", "maybe"], 2, "tallowctl: warmboot: start or end is required"),
    (["frobnicate"], 2, "tallowctl: unknown command frobnicate"),
    (["sync", "--vrf", "5", "--epoch", "1", "/nonexistent"], 1, "tallowctl: sync: cannot open /nonexistent"),
])
def test_usage_errors(relayed, sandbox, args, status, error):
    r = tallowctl(sandbox, *args, check=False)
    assert r.returncode == status
    assert r.stderr.splitlines()[0] == error


def test_no_daemon_is_a_readable_error(sandbox, tmp_path):
    r = tallowctl(sandbox, "--socket", tmp_path / "none.sock", "warmboot", "start", check=False)
    assert r.returncode == 1
    assert r.stderr.startswith(f"tallowctl: cannot connect to {tmp_path / 'none.sock'}: Connection lost (")
    r = tallowctl(sandbox, "warmboot", "start", check=False)
    assert r.returncode == 1 and NB_SOCK in r.stderr


def test_refused_second_client_is_an_error(connected, sandbox):
    d, lldpd, client = connected  # holds the daemon's one northbound slot
    r = tallowctl(sandbox, "update", "--vrf", 5, "10.0.0.0/8", check=False)
    assert r.returncode == 1
    # Seen after the write, or by the write itself when the daemon was quicker.
    assert "the daemon closed the connection" in r.stderr or "update: Connection lost" in r.stderr, r.stderr
