"""The lldpd stand-in driven directly: requests of types 11 and 12 written byte for byte on its
socket, each answered by 16 bytes, and the blobs they carry."""

import ipaddress
import socket
import struct
from dataclasses import dataclass

from lldp_capture import OUI, Capture
from relay_helpers import LLDPD_SOCK

SWITCH_MAC = "02:00:00:00:00:01"
CTL_FIRST, CTL_MORE, CTL_PERIODIC = 0x80, 0x40, 0x01


@dataclass
class Link:
    switch: str
    ifindex: int
    host: str
    capture: Capture


def make_link(sandbox, mtu=1500, host_netns=None):
    """The veth pair sw0 (the switch's end, MAC 02:00:00:00:00:01) and host0, host0 captured; with
    host_netns, host0 is moved to a network namespace of that name."""
    sw, _ = sandbox.add_veth("sw0", "host0", mtu=mtu)
    sandbox.run(["ip", "link", "set", "sw0", "address", SWITCH_MAC])
    if host_netns is None:
        return Link("sw0", sw, "host0", Capture("host0"))
    for cmd in (["ip", "netns", "add", host_netns], ["ip", "link", "set", "host0", "netns", host_netns],
                ["ip", "-n", host_netns, "link", "set", "host0", "up"]):
        assert sandbox.run(cmd).returncode == 0, cmd
    return Link("sw0", sw, "host0", Capture("host0", netns=f"/run/netns/{host_netns}"))


def tlv(t, value):
    return struct.pack(">H", t << 9 | len(value)) + value


def ctl(flags):
    return tlv(127, OUI + bytes([0, flags]))


def prefix_tlv(text, withdrawn=False):
    net = ipaddress.ip_interface(text)
    sub = 1 if net.version == 4 else 2
    return tlv(127, OUI + bytes([sub, net.network.prefixlen, 0, 0x80 if withdrawn else 0]) + net.ip.packed)


def blob(flags, prefixes):
    """A control TLV, then one prefix TLV per text; a leading '-' marks a withdrawal."""
    return ctl(flags) + b"".join(prefix_tlv(p.lstrip("-"), p.startswith("-")) for p in prefixes)


class StandinClient:
    """One connection to the stand-in, as tallowd makes it: one request, then its 16-byte answer."""

    def __init__(self, path=LLDPD_SOCK):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.seq = 0

    def request(self, rtype, header, payload=b""):
        self.sock.sendall(struct.pack("=IIQ", rtype, 0, len(header) + len(payload)) + header + payload)
        ack = b""
        while len(ack) < 16:
            chunk = self.sock.recv(16 - len(ack))
            assert chunk, "the stand-in closed the connection"
            ack += chunk
        return ack

    def proxy_frames(self, ifindex, blobs, trigger=True):
        self.seq += 1
        header = struct.pack(">IIHHHH", ifindex, self.seq, len(blobs), 0, len(blobs), 13 if trigger else 5)
        return self.request(11, header, b"".join(struct.pack(">H", len(b)) + b for b in blobs))

    def immediate(self, ifindex, data):
        return self.request(12, struct.pack(">I", ifindex) + bytes(12), data)

    def clear(self, ifindex):
        return self.proxy_frames(ifindex, [])

    def flush(self, ifindex):
        return self.immediate(ifindex, ctl(CTL_FIRST))

    def close(self):
        self.sock.close()
