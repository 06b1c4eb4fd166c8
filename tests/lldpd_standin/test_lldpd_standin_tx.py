"""The lldpd stand-in's transmitter: what goes out on the link, and when, for the requests it gets."""

import ipaddress
import re
import signal

import pytest

from lldp_capture import tcpdump_decode, write_pcap
from relay_helpers import Client, Standin, barrier, intf_set, start_daemon, sync_begin, sync_end, updates
from standin_helpers import CTL_FIRST, CTL_MORE, CTL_PERIODIC, StandinClient, blob, make_link

STANDIN = ("libexec", "tarvik-platform", "lldpd-standin")


def standin(sandbox, request, *args):
    lldpd = Standin(sandbox, *args)
    lldpd.show_on_failure(request)
    return lldpd


def summary(lldpd):
    """Asks for the summary line and returns its fields."""
    start = len(lldpd.output())
    lldpd.proc.send_signal(signal.SIGUSR1)
    text = lldpd.wait_output(r"^summary .*\n", start=start)
    line = re.search(r"^summary (.*)$", text, re.M).group(1)
    return dict(kv.split("=") for kv in line.split())


def test_set_goes_out_at_once_and_every_interval_byte_for_byte(sandbox, request, link):
    lldpd = standin(sandbox, request, "--tx-interval", "1")
    c = StandinClient()
    c.proxy_frames(link.ifindex, [blob(CTL_FIRST | CTL_MORE | CTL_PERIODIC, ["10.0.0.0/8", "-2001:db8::/32"]),
                                  blob(CTL_PERIODIC, ["192.0.2.7/24"])])
    head = "0180c200000e" "020000000001" "88cc" "0207" "04020000000001" "0404" "05737730" "0602" "0004"
    expected = [bytes.fromhex(head + "fe055a3c7100c1"
                              "fe0b5a3c7101080000" "0a000000"
                              "fe175a3c7102200080" "20010db8" + "00" * 12 + "0000"),
                bytes.fromhex(head + "fe055a3c710001" "fe0b5a3c7101180000" "c0000207" "0000" + "00" * 5)]  # padded to 60
    frames = link.capture.wait(4)
    assert [f.raw for f in frames[:4]] == expected * 2
    lldpd.stop()


def test_frames_from_the_relay_decode_with_tcpdump(sandbox, request, tmp_path):
    """Blobs that tallowd built for the link's MTU, as an outside decoder on a host reads them."""
    link = make_link(sandbox, mtu=1280, host_netns="host")
    standin(sandbox, request, "--tx-interval", "2", "--quiet")
    daemon = start_daemon(sandbox)
    prefixes = [f"10.{i >> 8}.{i & 255}.0/24" for i in range(150)] + \
               [str(ipaddress.ip_network(f"2001:db8:{i:x}::/48")) for i in range(150)]
    c = Client().send(intf_set(7, [link.ifindex]))
    barrier(c, daemon)
    mark = link.capture.mark()
    c.send(sync_begin(7, 1), updates(7, prefixes[:150]), updates(7, prefixes[150:]), sync_end(7, 1, 300))
    last = link.capture.wait_for(lambda f: f.ctl_flags() == [CTL_PERIODIC], since=mark)
    first = max(i for i in range(mark, last + 1) if link.capture.frames[i].ctl_flags()[0] & CTL_FIRST)
    c.send(updates(7, ["10.0.0.0/24"], w=1))
    imm = link.capture.wait_for(lambda f: f.ctl_flags() == [CTL_FIRST], since=last + 1)
    frames = link.capture.frames[first:last + 1] + [link.capture.frames[imm]]

    assert len(frames) > 3 and all(f.lldpdu_len <= 1280 for f in frames)
    assert max(f.lldpdu_len for f in frames) > 1280 - 60
    write_pcap(tmp_path / "relay.pcap", frames)
    decoded = tcpdump_decode(tmp_path / "relay.pcap")
    assert [ttl for ttl, _ in decoded] == [8] * len(frames)
    read_back = [("-" if d[2] else "") + d[1] for _, tl in decoded for d in tl if d[0] == "prefix"]
    assert read_back == prefixes + ["-10.0.0.0/24"]
    assert [[d for d in tl if d[0] == "ctl"] for _, tl in decoded] == [[("ctl", f.ctl_flags()[0])] for f in frames]
    assert all(f.port_name == "sw0" and f.chassis_mac == "02:00:00:00:00:01" for f in frames)


@pytest.mark.parametrize("event", ["clear", "flush", "stop", "stop after an immediate blob only"])
def test_forget_me_is_one_ttl0_frame(sandbox, request, link, event):
    lldpd = standin(sandbox, request, "--tx-interval", "60")
    c = StandinClient()
    if event.startswith("stop after"):
        c.immediate(link.ifindex, blob(CTL_FIRST, ["10.1.0.0/16"]))
    else:
        c.proxy_frames(link.ifindex, [blob(CTL_FIRST | CTL_PERIODIC, ["10.1.0.0/16"])])
    assert link.capture.wait(1)[0].ttl == 240
    if event in ("clear", "flush"):
        getattr(c, event)(link.ifindex)
        link.capture.wait(1, since=1)
    lldpd.stop()
    assert lldpd.proc.returncode == 0
    frames = link.capture.wait(2)
    link.capture.mark()  # everything the stand-in sent has arrived: it has exited
    assert len(link.capture.frames) == 2, link.capture.frames
    bye = frames[1]
    assert (bye.ttl, bye.tlvs, bye.port_name, bye.chassis_mac) == (0, [], "sw0", "02:00:00:00:00:01")
    assert len(bye.raw) == 60 and bye.padding == bytes(60 - 14 - bye.lldpdu_len)


def test_drop_frame_leaves_out_the_nth_frame_from_the_given_set_on(sandbox, request, link):
    lldpd = standin(sandbox, request, "--tx-interval", "1", "--drop-frame", "2", "--drop-from-set", "2")
    c = StandinClient()
    set_a = [blob(CTL_FIRST | CTL_MORE | CTL_PERIODIC, [f"10.{i}.0.0/16"]) for i in range(3)]
    set_b = [blob(CTL_FIRST | CTL_MORE | CTL_PERIODIC, [f"10.{i}.0.0/16"]) for i in range(3, 6)]
    c.proxy_frames(link.ifindex, set_a)
    assert [f.blob() for f in link.capture.wait(3)[:3]] == set_a
    mark = link.capture.mark()
    c.proxy_frames(link.ifindex, set_b)
    # Repetitions of set A may still come first; set B's frames come in transmissions of two.
    first_b3 = link.capture.wait_for(lambda f: f.blob() == set_b[2], since=mark)
    link.capture.wait_for(lambda f: f.blob() == set_b[2], since=first_b3 + 1)  # its repetition
    sent_b = [f.blob() for f in link.capture.frames[mark:] if f.blob() in set_b]
    assert sent_b[:4] == [set_b[0], set_b[2]] * 2
    assert summary(lldpd)["dropped"] == str(len([b for b in sent_b if b == set_b[0]]))


def test_blobs_that_do_not_fit_the_mtu_are_logged_and_not_sent(sandbox, request):
    """MTU 600 on sw0: chassis 9, port 6, TTL 4 and End 2 bytes leave 579 for the blob."""
    link = make_link(sandbox, mtu=600)
    lldpd = standin(sandbox, request, "--tx-interval", "60", "--quiet")
    c = StandinClient()
    fits = blob(CTL_FIRST | CTL_MORE | CTL_PERIODIC, [f"10.0.{i}.0/24" for i in range(44)])
    too_big = blob(CTL_MORE | CTL_PERIODIC, [f"10.1.{i}.0/24" for i in range(45)])
    last = blob(CTL_PERIODIC, ["10.2.0.0/16"])
    assert (len(fits), len(too_big)) == (579, 592)
    c.proxy_frames(link.ifindex, [fits, too_big, last])
    c.immediate(link.ifindex, blob(CTL_FIRST, [f"2001:db8:{i:x}::/48" for i in range(500)]))
    c.immediate(link.ifindex, blob(CTL_FIRST, ["10.3.0.0/16"]))
    frames = link.capture.wait(3)
    assert [f.prefixes() for f in frames] == [[f"10.0.{i}.0/24" for i in range(44)], ["10.2.0.0/16"], ["10.3.0.0/16"]]
    assert frames[0].lldpdu_len == 600 and len(frames[0].raw) == 614
    lldpd.wait_output(r"^tx: ifindex=\d+ sw0: blob 2 of 3 \(592 bytes\) does not fit MTU 600, not sent$")
    lldpd.wait_output(r"^tx: ifindex=\d+ sw0: immediate blob \(12507 bytes\) does not fit MTU 600, not sent$")
    s = summary(lldpd)
    assert (s["too_big"], s["too_big_immediate"], s["frames"]) == ("1", "1", "3")


@pytest.mark.parametrize("args", [["--tx-interval", "0"], ["--tx-interval", "16384"], ["--tx-interval", "1s"],
                                  ["--tx-interval"], ["--drop-frame", "1"],
                                  ["--tx-interval", "1", "--drop-frame", "0"]])
def test_bad_transmit_options_are_refused(sandbox, args):
    r = sandbox.run([sandbox.prefix.joinpath(*STANDIN), *args])
    assert r.returncode == 2 and r.stderr.startswith("lldpd-standin: "), r
