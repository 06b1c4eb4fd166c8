"""The lldpd connection: late start, loss in the middle of a push, silence, and the shutdown flush."""

import os
import signal
import time

import pytest

from relay_helpers import (ENABLE_MARKER, FLAGS_TRIGGER, Client, Standin, barrier, intf_set, relay,
                           start_daemon, sync_begin, sync_end, updates)


def resync(client, vrf, epoch, prefixes):
    client.send(sync_begin(vrf, epoch), updates(vrf, prefixes), sync_end(vrf, epoch, len(prefixes)))


def summary(reqs):
    return [(r.type, r.ifindex, r.flags, r.prefixes()) for r in reqs]


def test_lldpd_starting_late_gets_every_vrf_with_frames(sandbox, request):
    d = start_daemon(sandbox, lldpd_wait=False)
    c = Client()
    c.send(intf_set(1, [3]))
    resync(c, 1, 1, ["10.1.0.0/16"])
    c.send(intf_set(2, [4, 5]))
    resync(c, 2, 1, ["10.2.0.0/16", "2001:db8:2::/48"])
    c.send(intf_set(3, [6]))  # no prefixes, no frames: nothing owed
    d.wait_for(r"^ipc: SYNC_END: LLDPD not connected, blobs cached$")
    # A change while lldpd is away: the holddown keeps the rebuilt frames for the connection.
    start = d.mark()
    c.send(updates(1, ["10.9.0.0/16"]))
    d.wait_for(r"^holddown: LLDPD not connected, blobs cached \(VRF 1\)$", start=start)

    t0 = time.monotonic_ns()
    lldpd = Standin(sandbox)
    lldpd.show_on_failure(request)
    d.wait_for(r"^lldp: connected to LLDPD", timeout=2.0)
    reqs = lldpd.wait_requests(3)
    assert (reqs[0].t_ns - t0) / 1e9 < 1.2
    assert summary(reqs) == [(11, 3, FLAGS_TRIGGER, ["10.1.0.0/16", "10.9.0.0/16"]),
                             (11, 4, FLAGS_TRIGGER, ["10.2.0.0/16", "2001:db8:2::/48"]),
                             (11, 5, FLAGS_TRIGGER, ["10.2.0.0/16", "2001:db8:2::/48"])]
    barrier(c, d)
    assert lldpd.quiet_for(0.3) == reqs
    c.close()


def test_lldpd_refusing_is_retried_once_a_second(sandbox, request):
    refusing = Standin(sandbox, "--refuse")
    d = start_daemon(sandbox, lldpd_wait=False)
    d.wait_for(r"^tallowd started")
    # The attempts are traced at debug level: two more of them refused, a second apart at most.
    sandbox.write("/var/run/tallowd.debug", "")
    start = d.mark()
    d.proc.send_signal(signal.SIGHUP)
    d.wait_for(r"^debug logging enabled", start=start)
    d.wait_lines(r"^lldp: connect failed: Connection refused, retry in 1s$", 2, start=start)
    assert not [m for m in d.messages() if m.startswith("lldp: connected")]
    refusing.stop()
    lldpd = Standin(sandbox)
    lldpd.show_on_failure(request)
    d.wait_for(r"^lldp: connected to LLDPD", timeout=2.0)


def test_lldpd_closing_during_the_second_of_four_interfaces(sandbox, request):
    d, lldpd = relay(sandbox, "--close-at", "2")
    lldpd.show_on_failure(request)
    c = Client()
    c.send(intf_set(5, [1, 2, 3, 4]))
    start = d.mark()
    resync(c, 5, 1, ["10.1.0.0/16"])
    warn = d.wait_for(r"^lldp: ack read failed for ifindex 2: ", start=start)
    assert warn.priority == 4
    # The next connection re-sends the VRF to all four interfaces.
    reqs = lldpd.wait_requests(6, timeout=3.0)
    assert [(r.conn, r.ifindex, r.action) for r in reqs[:2]] == [(1, 1, "ack"), (1, 2, "close")]
    assert summary(reqs[2:]) == [(11, i, FLAGS_TRIGGER, ["10.1.0.0/16"]) for i in (1, 2, 3, 4)]
    assert {r.conn for r in reqs[2:]} == {2}
    msgs = d.messages(start)
    assert len([m for m in msgs if m.startswith("lldp: ") and "failed" in m]) == 1
    assert not [m for m in msgs[:msgs.index(warn.message)] if m.startswith("lldp: pushed")]
    c.close()


def test_silent_lldpd_costs_5_s_per_request_and_the_daemon_carries_on(sandbox, request):
    d, silent = relay(sandbox, "--no-ack")
    silent.show_on_failure(request)
    c = Client()
    c.send(intf_set(5, [1, 2]))
    start = d.mark()
    t0 = time.monotonic()
    resync(c, 5, 1, ["10.1.0.0/16"])
    c.send(intf_set(6, [7]))  # waits in the socket while the push is stuck
    warn = d.wait_for(r"^lldp: ack read failed for ifindex 1: ", timeout=8.0, start=start)
    assert 4.9 <= time.monotonic() - t0 <= 6.5
    # Served after this failure, or after the next connection's push has stalled as well.
    d.wait_for(r"^ipc: INTF_SET vrf=6 downlinks=1$", timeout=12.0, start=start)
    # Interface 2 is never tried: each connection's push stops at the silent first request.
    assert {r.ifindex for r in silent.requests()} == {1}
    assert warn.priority == 4

    # An lldpd that answers again gets the VRF's frames, and updates flow once more.
    silent.stop()
    lldpd = Standin(sandbox)
    lldpd.show_on_failure(request)
    reqs = lldpd.wait_requests(2, timeout=3.0)
    assert summary(reqs) == [(11, 1, FLAGS_TRIGGER, ["10.1.0.0/16"]), (11, 2, FLAGS_TRIGGER, ["10.1.0.0/16"])]
    c.send(updates(5, ["10.2.0.0/16"]))
    reqs = lldpd.wait_requests(4, since=2)
    assert [(r.type, r.ifindex) for r in reqs] == [(12, 1), (12, 2), (11, 1), (11, 2)]
    c.close()


@pytest.mark.parametrize("enabled", [False, True], ids=["disabled", "enabled"])
def test_shutdown_flush(connected, sandbox, enabled):
    d, lldpd, c = connected
    c.send(intf_set(5, [3, 4]), intf_set(6, [8]))
    resync(c, 5, 1, ["10.1.0.0/16"])
    lldpd.wait_requests(2)
    barrier(c, d)
    if enabled:
        sandbox.write(ENABLE_MARKER, "")
    mark = lldpd.mark()
    assert d.stop() == 0
    d.wait_for(r"^tallowd stopped$")
    if enabled:
        assert lldpd.quiet_for(0.2, since=mark) == []
        assert "feature disabled, flushing LLDPD cache" not in d.messages()
    else:
        reqs = lldpd.wait_requests(6, since=mark)
        assert [(r.type, r.ifindex, r.flags) for r in reqs] == [
            (12, 3, None), (12, 4, None), (11, 3, 13), (11, 4, 13),  # VRF 5
            (12, 8, None), (11, 8, 13)]                               # VRF 6
        assert {r.blobs[0] for r in reqs if r.type == 12} == {bytes.fromhex("fe055a3c710080")}
        assert all(r.blobs == [] for r in reqs if r.type == 11)
        assert "feature disabled, flushing LLDPD cache" in d.messages()


def test_reconnection_inside_a_holddown_sends_current_frames_once(sandbox, request):
    # lldpd drops the connection on the immediate delta of an update; the daemon reconnects at
    # once, inside the update's holddown window.
    d, lldpd = relay(sandbox, "--close-at", "2")
    lldpd.show_on_failure(request)
    c = Client()
    c.send(intf_set(5, [1]))
    resync(c, 5, 1, ["10.1.0.0/16"])
    lldpd.wait_requests(1)
    c.send(updates(5, ["10.2.0.0/16"]))
    reqs = lldpd.wait_requests(3, timeout=3.0)
    assert [(r.conn, r.type, r.action) for r in reqs[:2]] == [(1, 11, "ack"), (1, 12, "close")]
    # The connection's push carries the update and settles the holddown: nothing follows it.
    assert summary(reqs[2:]) == [(11, 1, FLAGS_TRIGGER, ["10.1.0.0/16", "10.2.0.0/16"])]
    assert lldpd.quiet_for(0.4) == reqs
    c.close()
