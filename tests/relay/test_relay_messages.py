"""The relay end to end: northbound messages in, lldpd requests out, as the stand-in received them."""

import struct
import time

import pytest

from relay_helpers import (FLAGS_PERIODIC, FLAGS_TRIGGER, Client, barrier, entry, intf_set, prefix_update,
                           relay, sync_begin, sync_end, updates)

EMPTY_PERIODIC_BLOB = bytes.fromhex("fe055a3c710081")
FLUSH_BLOB = bytes.fromhex("fe055a3c710080")


def resync(client, vrf, epoch, prefixes, count=None):
    client.send(sync_begin(vrf, epoch))
    if prefixes:
        client.send(updates(vrf, prefixes))
    client.send(sync_end(vrf, epoch, len(prefixes) if count is None else count))


def summary(reqs):
    return [(r.type, r.ifindex, r.flags, r.prefixes()) for r in reqs]


def test_immediate_delta_is_sent_byte_for_byte(connected):
    d, lldpd, c = connected
    c.send(intf_set(5, [3, 4]))
    barrier(c, d)
    mark = lldpd.mark()
    c.send(prefix_update(5, [
        entry("10.0.0.0/8"),
        entry("10.1.0.0/16", plen=33),      # refused for its length: not sent on
        entry("10.2.0.0/16", afi=5),        # unknown family: not sent on
        entry("2001:db8::/32", w=1),        # withdrawal of a prefix never stored: still sent
    ]))
    reqs = lldpd.wait_requests(2, since=mark)
    blob = bytes.fromhex("fe055a3c710080"
                         "fe0b5a3c7101080000" "0a000000"
                         "fe175a3c7102200080" "20010db8" + "00" * 12)
    for req, ifindex in zip(reqs[:2], [3, 4]):
        assert req.raw == struct.pack("=IIQ", 12, 0, 16 + len(blob)) + struct.pack(">I", ifindex) + bytes(12) + blob
    d.wait_for(r"^ipc: bad prefix_len 33 afi 4$")
    d.wait_for(r"^ipc: bad afi 5, skipping$")


def test_burst_gives_one_holddown_push(connected):
    d, lldpd, c = connected
    c.send(intf_set(5, [3, 4]))
    barrier(c, d)
    mark = lldpd.mark()
    for i in range(5):
        c.send(updates(5, [f"10.{i}.0.0/16"]))
        time.sleep(0.01)
    lldpd.wait_requests(12, since=mark)
    reqs = lldpd.quiet_for(0.4, since=mark)
    immediate = [r for r in reqs if r.type == 12]
    periodic = [r for r in reqs if r.type == 11]
    assert len(immediate) == 10
    assert summary(periodic) == [(11, i, FLAGS_PERIODIC, [f"10.{n}.0.0/16" for n in range(5)]) for i in (3, 4)]
    assert periodic[0].ctl_flags() == [0x81]
    late_ms = (periodic[0].t_ns - immediate[0].t_ns) / 1e6
    assert 100 <= late_ms <= 120, late_ms


def test_nothing_goes_out_while_a_sync_runs(connected):
    d, lldpd, c = connected
    c.send(intf_set(5, [3]))
    barrier(c, d)
    mark = lldpd.mark()
    c.send(sync_begin(5, 1), updates(5, ["10.1.0.0/16"]), updates(5, ["2001:db8:1::/48"]))
    barrier(c, d)
    assert lldpd.quiet_for(0.3, since=mark) == []
    c.send(sync_end(5, 1, 2))
    lldpd.wait_requests(1, since=mark)
    reqs = lldpd.quiet_for(0.3, since=mark)  # SYNC_END settled the pending holddown too
    assert summary(reqs) == [(11, 3, FLAGS_TRIGGER, ["10.1.0.0/16", "2001:db8:1::/48"])]


def test_resync_sweeps_exactly_the_unrepeated_prefixes(connected):
    d, lldpd, c = connected
    c.send(intf_set(5, [3]))
    resync(c, 5, 1, ["10.1.0.0/16", "10.2.0.0/16", "2001:db8:1::/48", "10.3.0.0/16"])
    lldpd.wait_requests(1)
    mark = lldpd.mark()
    start = d.mark()
    resync(c, 5, 2, ["10.3.0.0/16", "2001:db8:9::/48", "10.2.0.0/16"])
    reqs = lldpd.wait_requests(1, since=mark)
    assert summary(reqs) == [(11, 3, FLAGS_TRIGGER, ["10.2.0.0/16", "10.3.0.0/16", "2001:db8:9::/48"])]
    d.wait_for(r"^ipc: SYNC_END vrf=5 epoch=2 prefixes=3 swept=2$", start=start)
    assert not [m for m in d.messages(start) if "mismatch" in m]


@pytest.mark.parametrize("end_epoch, count, warning, kept", [
    # The sweep follows SYNC_END's epoch: with 1 nothing of epoch 1 is stale.
    (1, 1, "ipc: SYNC_END epoch mismatch: got=1 expected=2", ["10.1.0.0/16", "10.2.0.0/16"]),
    (2, 7, "ipc: SYNC_END count mismatch: active=1 frr=7 defaults=0", ["10.2.0.0/16"]),
])
def test_resync_warnings(connected, end_epoch, count, warning, kept):
    d, lldpd, c = connected
    c.send(intf_set(5, [3]))
    resync(c, 5, 1, ["10.1.0.0/16"])
    lldpd.wait_requests(1)
    mark = lldpd.mark()
    start = d.mark()
    c.send(sync_begin(5, 2), updates(5, ["10.2.0.0/16"]), sync_end(5, end_epoch, count))
    reqs = lldpd.wait_requests(1, since=mark)
    assert summary(reqs) == [(11, 3, FLAGS_TRIGGER, kept)]
    assert d.wait_for(r"mismatch", start=start).message == warning
    assert d.wait_for(r"mismatch", start=start).priority == 4


@pytest.mark.parametrize("new_intfs, expected", [
    # 1 leaves: flushed (an empty immediate blob) and cleared; 2 stays and 3 joins: both get the set.
    ([2, 3], [(12, 1, None, [FLUSH_BLOB]), (11, 1, FLAGS_TRIGGER, []),
              (11, 2, FLAGS_TRIGGER, ["10.1.0.0/16"]), (11, 3, FLAGS_TRIGGER, ["10.1.0.0/16"])]),
    # No interfaces: each is flushed and cleared, and the VRF is forgotten.
    ([], [(12, 1, None, [FLUSH_BLOB]), (11, 1, FLAGS_TRIGGER, []),
          (12, 2, None, [FLUSH_BLOB]), (11, 2, FLAGS_TRIGGER, [])]),
], ids=["flushes-removed-pushes-to-new", "without-interfaces-forgets-the-vrf"])
def test_intf_set_flushes_removed_and_pushes_to_new(connected, new_intfs, expected):
    d, lldpd, c = connected
    c.send(intf_set(5, [1, 2]))
    resync(c, 5, 1, ["10.1.0.0/16"])
    lldpd.wait_requests(2)
    mark = lldpd.mark()
    c.send(intf_set(5, new_intfs))
    reqs = lldpd.wait_requests(4, since=mark)
    barrier(c, d)
    assert lldpd.requests()[mark:] == reqs
    assert [(r.type, r.ifindex, r.flags, r.blobs if r.type == 12 else r.prefixes()) for r in reqs] == expected
    assert reqs[1].blobs == []  # a clear carries no blob at all, not even a control TLV
    if new_intfs:
        return
    d.wait_for(r"^ipc: INTF_SET vrf=5 downlinks=0$")
    # The context is gone: a new update has no interfaces to go to.
    c.send(updates(5, ["10.9.0.0/16"]))
    barrier(c, d)
    assert lldpd.quiet_for(0.3, since=mark + 4) == []


def test_intf_set_over_512_is_refused_and_the_old_list_stays(connected):
    d, lldpd, c = connected
    c.send(intf_set(5, [1, 2]), intf_set(6, list(range(1000, 1512))))
    d.wait_for(r"^ipc: INTF_SET vrf=6 downlinks=512$")
    start = d.mark()
    c.send(intf_set(5, list(range(100, 613))))
    line = d.wait_for(r"^INTF_SET: 513 interfaces exceeds max 512, dropping$", start=start)
    assert line.priority == 3
    mark = lldpd.mark()
    c.send(updates(5, ["10.1.0.0/16"]))
    reqs = lldpd.wait_requests(2, since=mark)
    assert [(r.type, r.ifindex) for r in reqs[:2]] == [(12, 1), (12, 2)]


def test_no_sync_after_intf_set_pushes_an_empty_set_after_3_s(connected):
    d, lldpd, c = connected
    # VRF 7 hears nothing more; VRF 8 gets an empty PREFIX_UPDATE, VRF 9 a SYNC_BEGIN: both cancel.
    mark = lldpd.mark()
    t0 = time.monotonic_ns()
    c.send(intf_set(7, [71]), intf_set(8, [81]), intf_set(9, [91]))
    barrier(c, d)
    c.send(prefix_update(8, []), sync_begin(9, 1))
    reqs = lldpd.wait_requests(1, timeout=5, since=mark)
    late_ms = (reqs[0].t_ns - t0) / 1e6
    assert 3000 <= late_ms <= 3100, late_ms
    assert [(r.type, r.ifindex, r.flags, r.blobs) for r in reqs] == [(11, 71, FLAGS_TRIGGER, [EMPTY_PERIODIC_BLOB])]
    d.wait_for(r"^ipc: no SYNC after INTF_SET for VRF 7, pushing empty periodic$")
    assert lldpd.quiet_for(0.3, since=mark) == reqs


def test_sequence_numbers(connected):
    d, lldpd, c = connected
    c.send(intf_set(5, [1, 2]))
    resync(c, 5, 1, ["10.1.0.0/16"])
    lldpd.wait_requests(2)
    c.send(intf_set(5, [2]))
    lldpd.wait_requests(4)
    c.send(updates(5, ["10.2.0.0/16"]))
    reqs = lldpd.wait_requests(6)
    assert [(r.type, r.ifindex, r.seq) for r in reqs] == [
        (11, 1, 1), (11, 2, 2),       # SYNC_END push
        (12, 1, None), (11, 1, 3),    # flush and clear of the removed interface
        (12, 2, None), (11, 2, 4),    # immediate delta, then the holddown push
    ]


def test_prefix_limit_warns_and_refused_prefixes_are_not_sent(sandbox, request):
    d, lldpd = relay(sandbox, conf="max-unreachable-prefix = 10\n")
    lldpd.show_on_failure(request)
    c = Client()
    c.send(intf_set(5, [3]))
    barrier(c, d)
    prefixes = [f"10.{i}.0.0/16" for i in range(12)]
    c.send(updates(5, prefixes))
    reqs = lldpd.wait_requests(2)
    assert summary(reqs) == [(12, 3, None, prefixes[:10]), (11, 3, FLAGS_PERIODIC, prefixes[:10])]
    warn = d.wait_for(r"^db: global prefix count 8 exceeds 80% of limit 10$")
    assert warn.priority == 4
    refused = d.wait_lines(r"^db: prefix limit", 2)
    assert [l.message for l in refused] == ["db: prefix limit 10 reached (max-unreachable-prefix=10), dropping new entry"] * 2
    assert {l.priority for l in refused} == {3}
    # Room made by a withdrawal is used by the next new prefix.
    mark = lldpd.mark()
    c.send(updates(5, ["10.0.0.0/16"], w=1), updates(5, ["10.20.0.0/16"]))
    reqs = lldpd.wait_requests(3, since=mark)
    assert summary(reqs) == [(12, 3, None, ["-10.0.0.0/16"]), (12, 3, None, ["10.20.0.0/16"]),
                             (11, 3, FLAGS_PERIODIC, prefixes[1:10] + ["10.20.0.0/16"])]
    c.close()
