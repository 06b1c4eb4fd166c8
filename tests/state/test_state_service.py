"""The daemon and the state service: its own state-up, zebra's and vorsd's states, the ACK, the
reactions to either going down, warm boots, and the routing suite's disconnect clean-up."""


import pytest

from state_helpers import ACK_RECORD, DEFAULTS, STORE, start
from relay_helpers import FLAGS_TRIGGER, warmboot_start


def test_announces_itself_and_acks_every_zebra_up(relay_up):
    s = relay_up
    assert s.store.read("tallowd.state") == "1\n"
    s.state("frr_zebra", 1, expect=r"^mesra: published frr_zebra.ack=ACK \(source=tallowd, kind=STATE_UP\)$")
    assert s.store.read("frr_zebra.ack") == ACK_RECORD
    s.store.delete("frr_zebra")
    s.daemon.wait_for(r"^mesra: deleted frr_zebra.ack$")
    s.state("frr_zebra", 1)
    s.state("frr_zebra", 1)
    acks = [m for m in s.daemon.messages() if m.startswith("mesra: published frr_zebra.ack=ACK")]
    assert len(acks) == 3
    assert s.store.read("frr_zebra.ack") == ACK_RECORD
    # Stopping takes the ACK and the daemon's own state out of the store.
    assert s.daemon.stop() == 0
    assert s.store.read("frr_zebra.ack") is None
    assert s.store.read("tallowd.state") is None


@pytest.mark.parametrize("how", ["down", "deleted"])
def test_zebra_loss_without_stored_defaults_injects_them_everywhere(relay_up, how):
    s = relay_up
    s.vrf(1, ["10.0.0.0/8", "2001:db8::/32"], intfs=[11, 12])
    s.vrf(2, ["192.168.0.0/16"], intfs=[21])
    s.vrf(3, ["172.16.0.0/12"])  # no interfaces: takes part, reaches no one
    s.state("frr_zebra", 1)
    mark = s.lldpd.mark()
    start = s.daemon.mark()
    if how == "down":
        s.store.set("frr_zebra", 2)
    else:
        s.store.delete("frr_zebra")
        s.daemon.wait_for(r"^mesra: frr state deleted \(service down, rev=\d+\)$", start=start)
    s.daemon.wait_for(r"^failure: default routes pushed to all downlink interfaces$", start=start)
    assert s.store.read("frr_zebra.ack") is None

    frames = s.last_frames(mark)
    assert sorted(frames) == [11, 12, 21]
    for r in frames.values():
        assert r.flags == FLAGS_TRIGGER
        assert r.prefixes() == DEFAULTS
    vrfs = s.dump()
    for vrf in (1, 2, 3):
        assert vrfs[vrf].prefixes == [("0.0.0.0/0", 0, 0), ("::/0", 0, 0)]
        assert vrfs[vrf].epoch == 0


def test_zebra_down_with_a_stored_default_keeps_only_defaults(relay_up):
    s = relay_up
    s.vrf(1, ["0.0.0.0/0", "10.0.0.0/8", "2001:db8::/32"], intfs=[11])
    s.vrf(2, ["192.168.0.0/16"], intfs=[21])
    s.state("frr_zebra", 1)
    mark = s.lldpd.mark()
    start = s.state("frr_zebra", 2, expect=r"^failure: controlled FRR down, keeping defaults$")
    s.lldpd.wait_requests(2, since=mark)
    frames = s.last_frames(mark)
    assert frames[11].flags == FLAGS_TRIGGER and frames[11].prefixes() == ["0.0.0.0/0"]
    assert frames[21].flags == FLAGS_TRIGGER and frames[21].prefixes() == []
    vrfs = s.dump()
    assert vrfs[1].texts() == ["0.0.0.0/0"]
    assert vrfs[2].texts() == []
    assert not any("injecting" in m for m in s.daemon.messages(start))


def test_zebra_down_without_a_preceding_up_changes_nothing(relay_up):
    s = relay_up
    s.vrf(1, ["10.0.0.0/8"], intfs=[11])
    mark = s.lldpd.mark()
    start = s.state("frr_zebra", 2)
    s.store.delete("frr_zebra")
    assert s.lldpd.quiet_for(0.5, since=mark) == []
    assert s.dump()[1].texts() == ["10.0.0.0/8"]
    msgs = s.daemon.messages(start)
    assert not any(m.startswith(("failure:", "mesra: deleted", "mesra: frr state deleted")) for m in msgs), msgs


def test_vorsd_down_injects_even_with_stored_defaults(relay_up):
    s = relay_up
    s.vrf(1, ["0.0.0.0/0", "10.0.0.0/8"], intfs=[11])
    s.state("frr_zebra", 1)
    s.state("vorsd", 1)
    mark = s.lldpd.mark()
    start = s.state("vorsd", 2, expect=r"^failure: default routes pushed to all downlink interfaces$")
    frames = s.last_frames(mark)
    assert frames[11].flags == FLAGS_TRIGGER and frames[11].prefixes() == DEFAULTS
    assert s.dump()[1].texts() == DEFAULTS
    # The routing suite is untouched by the switch daemon's loss: its ACK stays.
    assert s.store.read("frr_zebra.ack") == ACK_RECORD
    # A second down report, or the key's removal, after the loss does nothing more.
    s.state("vorsd", 2)
    s.store.delete("vorsd")
    s.state("vorsd", 1)  # handled after the deletion: the barrier for it
    assert sum(m == "failure: FRR down, injecting default routes" for m in s.daemon.messages(start)) == 1


def test_warmboot_suppresses_every_reaction(relay_up):
    s = relay_up
    s.vrf(1, ["10.0.0.0/8"], intfs=[11])
    s.send(warmboot_start())
    s.state("frr_zebra", 1)
    s.state("vorsd", 1)
    assert s.store.read("frr_zebra.ack") == ACK_RECORD
    mark = s.lldpd.mark()
    start = s.state("frr_zebra", 2, expect=r"^mesra: FRR down during warmboot, skipping default injection$")
    assert s.store.read("frr_zebra.ack") is None
    s.state("vorsd", 2, expect=r"^mesra: vorsd down during warmboot, skipping default injection$")
    s.state("frr_zebra", 1)
    s.state("vorsd", 1)
    s.store.delete("frr_zebra")
    s.daemon.wait_for(r"^mesra: FRR deleted during warmboot, skipping default injection$", start=start)
    s.store.delete("vorsd")
    s.daemon.wait_for(r"^mesra: vorsd deleted during warmboot, skipping default injection$", start=start)
    assert s.lldpd.quiet_for(0.3, since=mark) == []
    assert s.dump()[1].texts() == ["10.0.0.0/8"]
    notices = [l for l in s.sandbox.syslog.lines()[start:] if "warmboot, skipping" in l.message]
    assert len(notices) == 4 and all(l.priority == 5 for l in notices)
    assert not any(m.startswith("failure:") for m in s.daemon.messages(start))
    # zebra ended deleted: frr_up is false, so the disconnect clean-up is skipped too (warm boot first).
    s.client.close()
    s.daemon.wait_for(r"^ipc: FRR disconnected during warmboot, skipping cleanup$", start=start)


def test_disconnect_cleanup_three_cases(relay_up):
    s = relay_up
    s.vrf(1, ["0.0.0.0/0", "10.0.0.0/8"], intfs=[11], epoch=4)
    s.vrf(2, ["10.0.0.0/8"], intfs=[21, 22], epoch=4)
    s.vrf(3, ["10.0.0.0/8"], epoch=4)
    s.state("frr_zebra", 1)
    mark = s.lldpd.mark()
    start = s.daemon.mark()
    s.client.close()
    s.daemon.wait_for(r"^ipc: disconnect cleanup complete$", start=start)
    msgs = s.daemon.messages(start)
    for line in ["ipc: zebra down (VRF 1), defaults kept", "ipc: FRR crash (VRF 2), injected defaults",
                 "ipc: feature disable (VRF 3), day-0"]:
        assert line in msgs
    vrfs = s.dump()
    assert vrfs[1].prefixes == [("0.0.0.0/0", 0, 4)] and vrfs[1].epoch == 0
    assert vrfs[2].prefixes == [("0.0.0.0/0", 0, 0), ("::/0", 0, 0)] and vrfs[2].epoch == 0
    assert vrfs[3].prefixes == [] and vrfs[3].frames == []
    frames = s.last_frames(mark)
    assert frames[11].prefixes() == ["0.0.0.0/0"]
    assert frames[21].prefixes() == frames[22].prefixes() == DEFAULTS
    assert all(r.flags == FLAGS_TRIGGER for r in frames.values())
    # The ACK is the state service's business, not the socket's.
    assert s.store.read("frr_zebra.ack") == ACK_RECORD


def test_disconnect_cleanup_skipped_after_the_state_service_handled_zebra(relay_up):
    s = relay_up
    s.vrf(1, ["10.0.0.0/8"], intfs=[11])
    s.state("frr_zebra", 1)
    s.state("frr_zebra", 2, expect=r"^failure: default routes pushed to all downlink interfaces$")
    mark = s.lldpd.mark()
    start = s.daemon.mark()
    s.client.close()
    s.daemon.wait_for(r"^ipc: MESRA already handled FRR down, skipping disconnect cleanup$", start=start)
    assert s.lldpd.quiet_for(0.3, since=mark) == []
    assert s.dump()[1].texts() == DEFAULTS


@pytest.mark.parametrize("record", [b"up\n", b"", b"1 \n", b"\x01", b"12345678901"])
def test_undecodable_state_is_logged_and_ignored(relay_up, record):
    s = relay_up
    s.state("frr_zebra", 1)
    start = s.daemon.mark()
    s.store.write_raw("frr_zebra.state", record)
    line = s.daemon.wait_for(r"^mesra: frr state decode failed \(rev=\d+\)$", start=start)
    assert line.priority == 4
    assert s.store.read("frr_zebra.ack") == ACK_RECORD  # zebra still counts as up
    s.store.write_raw("vorsd.state", record)
    s.daemon.wait_for(r"^mesra: vorsd state decode failed \(rev=\d+\)$", start=start)


def test_state_already_in_the_store_at_start_counts(sandbox):
    from state_helpers import Store
    Store(sandbox).write_raw("frr_zebra.state", "1\n")
    s = start(sandbox)
    try:
        s.daemon.wait_for(r"^mesra: published frr_zebra.ack=ACK")
        assert s.store.read("frr_zebra.ack") == ACK_RECORD
    finally:
        s.close()


def test_missing_store_directory_leaves_the_daemon_without_service_state(sandbox):
    s = start(sandbox, store=False)
    try:
        line = s.daemon.wait_for(r"^mesra: init failed: ")
        assert line.message == "mesra: init failed: state directory /run/mesra: No such file or directory"
        assert line.priority == 4
        # The relay works on.
        mark = s.lldpd.mark()
        s.vrf(1, ["10.0.0.0/8"], intfs=[11])
        assert s.last_frames(mark)[11].prefixes() == ["10.0.0.0/8"]
        # Never told that zebra is up, the daemon leaves the VRFs alone when the socket closes.
        start_mark = s.daemon.mark()
        s.client.close()
        s.daemon.wait_for(r"^ipc: MESRA already handled FRR down, skipping disconnect cleanup$", start=start_mark)
        assert s.daemon.stop() == 0
        assert not STORE.exists()
    finally:
        s.close()
