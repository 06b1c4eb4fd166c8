"""The reference model against the frame-building figures the daemon is built to: a model that gets these
wrong would agree with a daemon that gets them wrong in the same way."""

import ipaddress
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from relay_model import RelayModel, blob_len  # noqa: E402


def v4(i):
    return (4, 24, 0, ipaddress.ip_address(f"10.{i >> 8}.{i & 0xff}.0").packed + bytes(12))


def v6(i):
    return (6, 64, 0, ipaddress.ip_address(f"2001:db8:{i:x}::").packed)


def vrf_with(entries, mtus, limit=200000):
    m = RelayModel(limit, {ifindex: mtu for ifindex, mtu in enumerate(mtus, 2)})
    m.intf_set(1, list(range(2, 2 + len(mtus))))
    for i in range(0, len(entries), 500):
        m.prefix_update(1, entries[i:i + 500])
    m.settle()
    return m.vrfs[1]


@pytest.mark.parametrize("entries, mtus, lengths, flags, placed", [
    # the empty set and the defaults-only set leave the MTU alone
    ([], [1500], [7], [0x81], 0),
    ([(4, 0, 0, bytes(16)), (6, 0, 0, bytes(16))], [1500], [45], [0x80], 2),
    # the smallest MTU of the VRF: 110 IPv4 prefixes fill 1437 of 1440 bytes, a 111th opens a second blob
    ([v4(i) for i in range(110)], [1500, 9000], [1437], [0x81], 110),
    ([v4(i) for i in range(111)], [9000, 1500], [1437, 20], [0xC1, 0x01], 111),
    # an MTU below 552 everywhere means the default 9216
    ([v4(i) for i in range(705)], [500], [7 + 703 * 13, 7 + 2 * 13], [0xC1, 0x01], 705),
    # 10000 IPv6 prefixes at MTU 552, 19 to a blob: all are sent, the last blob without MORE
    ([v6(i) for i in range(10000)], [552], [7 + 19 * 25] * 526 + [7 + 6 * 25], [0xC1] + [0x41] * 525 + [0x01],
     10000),
])
def test_frames(entries, mtus, lengths, flags, placed):
    vrf = vrf_with(entries, mtus)
    assert [blob_len(b) for b in vrf.blobs] == lengths
    assert [b[0] for b in vrf.blobs] == flags
    assert sum(len(b[1]) for b in vrf.blobs) == placed


def test_defaults_pass_the_limit_and_nothing_else_does():
    m = RelayModel(0, {2: 1500})
    m.frr_up = True
    m.intf_set(1, [2])
    m.prefix_update(1, [v4(1)])
    assert 1 not in m.vrfs or not m.vrfs[1].db
    m.state("frr_zebra", 2)
    assert [e.text() for e in m.vrfs[1].db.values()] == ["0.0.0.0/0", "::/0"]
