"""The link MTU monitor on real veth interfaces in the sandbox's network namespace."""

import signal

from relay_helpers import FLAGS_PERIODIC, FLAGS_TRIGGER, intf_set

PREFIXES = [f"10.{i // 256}.{i % 256}.0/24" for i in range(300)]  # one frame at MTU 9000, three at 1500


def enable_debug(s):
    s.sandbox.write("/var/run/tallowd.debug", "")
    start = s.daemon.mark()
    s.daemon.proc.send_signal(signal.SIGHUP)
    s.daemon.wait_for(r"^debug logging enabled", start=start)


def test_mtu_drop_rebuilds_for_the_smaller_mtu(relay_up):
    s = relay_up
    a, b = s.sandbox.add_veth("dn0", "dn1", mtu=9000)
    s.vrf(5, PREFIXES, intfs=[a, b])
    assert s.dump()[5].frames == [300 * 13 + 7]
    mark = s.lldpd.mark()
    start = s.daemon.mark()
    s.sandbox.set_mtu("dn1", 1500)
    line = s.daemon.wait_for(rf"^netlink: MTU 1500 on ifindex {b}, rebuilding blobs \(VRF 5\)$", start=start)
    assert line.priority == 6
    reqs = s.lldpd.wait_requests(2, since=mark)
    frames = s.last_frames(mark)
    assert sorted(frames) == sorted([a, b])
    for r in frames.values():
        assert r.flags == FLAGS_PERIODIC
        assert len(r.blobs) == 3
        assert all(len(blob) <= 1500 - 60 for blob in r.blobs)
        assert r.prefixes() == PREFIXES
    assert all(r.flags == FLAGS_PERIODIC for r in reqs)
    assert s.dump()[5].mtu == 9000  # the first interface, read afresh


def test_links_of_no_vrf_or_of_a_vrf_without_prefixes_change_nothing(relay_up):
    s = relay_up
    enable_debug(s)
    a, b = s.sandbox.add_veth("dn0", "dn1", mtu=9000)
    c, d = s.sandbox.add_veth("up0", "up1", mtu=9000)
    s.vrf(5, PREFIXES, intfs=[a])
    s.send(intf_set(6, [c]))  # interfaces, no prefixes
    mark = s.lldpd.mark()
    start = s.daemon.mark()
    for name, ifindex in [("dn1", b), ("up0", c)]:
        s.sandbox.set_mtu(name, 1500)
        s.daemon.wait_for(rf"^netlink: RTM_NEWLINK ifindex={ifindex} mtu=1500$", start=start)
    assert s.lldpd.quiet_for(0.3, since=mark) == []
    assert not any(m.startswith("netlink: MTU") for m in s.daemon.messages(start))


def test_notifications_compare_with_the_mtu_the_frames_were_built_for(relay_up):
    s = relay_up
    enable_debug(s)
    small, _ = s.sandbox.add_veth("dn0", "dn1", mtu=1500)
    big, _ = s.sandbox.add_veth("dn2", "dn3", mtu=9000)
    s.vrf(5, PREFIXES, intfs=[small, big])
    # The links' own notifications of their creation may still be on their way: a change of a link
    # outside the VRF, once seen, shows that everything before it was handled.
    _, peer = s.sandbox.add_veth("bar0", "bar1")
    start = s.daemon.mark()
    s.sandbox.run(["ip", "link", "set", "bar1", "txqueuelen", "600"])
    s.daemon.wait_for(rf"^netlink: RTM_NEWLINK ifindex={peer} mtu=1500$", start=start)
    mark = s.lldpd.mark()
    start = s.daemon.mark()
    s.sandbox.run(["ip", "link", "set", "dn0", "txqueuelen", "700"])
    s.daemon.wait_for(rf"^netlink: MTU 1500 unchanged on ifindex {small} \(VRF 5\), skipping$", start=start)
    assert s.lldpd.quiet_for(0.2, since=mark) == []
    s.sandbox.run(["ip", "link", "set", "dn2", "txqueuelen", "700"])
    s.daemon.wait_for(rf"^netlink: MTU 9000 on ifindex {big}, rebuilding blobs \(VRF 5\)$", start=start)
    s.lldpd.wait_requests(2, since=mark)
    frames = s.last_frames(mark)
    assert all(len(r.blobs) == 3 and r.flags == FLAGS_PERIODIC for r in frames.values())


def test_link_message_larger_than_8_kib_is_received_whole(relay_up):
    s = relay_up
    a, b = s.sandbox.add_veth("dn0", "dn1", mtu=9000)
    # Alternative names make every notification of the link about 9 KiB long.
    for i in range(72):
        s.sandbox.run(["ip", "link", "property", "add", "dev", "dn1", "altname", f"alt{i:03d}" + "x" * 118])
    s.vrf(5, PREFIXES, intfs=[a, b])
    start = s.daemon.mark()
    s.sandbox.set_mtu("dn1", 1500)
    s.daemon.wait_for(rf"^netlink: MTU 1500 on ifindex {b}, rebuilding blobs \(VRF 5\)$", start=start)
    assert not any("truncated" in m for m in s.daemon.messages(start))
