"""LLDP frames carrying the relay's blobs, built byte for byte, and a sender over AF_PACKET.

The blob layout is the switch's: a control TLV (flags FIRST 0x80, MORE 0x40, PERIODIC 0x01) followed
by IPv4 and IPv6 prefix TLVs, each an organisationally specific TLV with the relay's OUI. The frame
around a blob is a plain LLDPDU: chassis ID (MAC address), port ID (interface name), TTL, the blob,
End."""

import ipaddress
import socket
import struct

LLDP_MULTICAST = bytes.fromhex("0180c200000e")
ETH_P_LLDP = 0x88CC
OUI = bytes([0x5A, 0x3C, 0x71])
FIRST, MORE, PERIODIC = 0x80, 0x40, 0x01
FRAME_OVERHEAD = 60  # what the switch reserves in each frame for the Ethernet header and mandatory TLVs


def tlv(tlv_type, value):
    return struct.pack(">H", (tlv_type << 9) | len(value)) + value


def control_tlv(flags):
    return tlv(127, OUI + bytes([0, flags]))


def prefix_tlv(prefix, withdrawn=False, plen=None):
    """A prefix TLV; the address is sent as written ("10.1.2.7/24" keeps its host bits)."""
    iface = ipaddress.ip_interface(prefix)
    length = iface.network.prefixlen if plen is None else plen
    subtype = 1 if iface.version == 4 else 2
    return tlv(127, OUI + bytes([subtype, length, 0, 0x80 if withdrawn else 0]) + iface.ip.packed)


def mac_bytes(mac):
    return bytes.fromhex(mac.replace(":", "")) if isinstance(mac, str) else bytes(mac)


def lldp_frame(chassis_mac, port_id, ttl, blob_tlvs=b"", src_mac=None):
    """One Ethernet frame: LLDPDU with chassis ID (MAC subtype 4), port ID (interface name subtype 5),
    TTL, the blob's TLVs (bytes, or a list of TLV byte strings) and End."""
    if not isinstance(blob_tlvs, (bytes, bytearray)):
        blob_tlvs = b"".join(blob_tlvs)
    chassis = mac_bytes(chassis_mac)
    src = mac_bytes(src_mac) if src_mac is not None else chassis
    body = (tlv(1, b"\x04" + chassis) + tlv(2, b"\x05" + port_id.encode()) + tlv(3, struct.pack(">H", ttl))
            + bytes(blob_tlvs) + tlv(0, b""))
    return LLDP_MULTICAST + src + struct.pack(">H", ETH_P_LLDP) + body


def delta_blob(added=(), withdrawn=()):
    """An immediate delta: control TLV with FIRST only, then the entries."""
    return (control_tlv(FIRST) + b"".join(prefix_tlv(p) for p in added)
            + b"".join(prefix_tlv(p, withdrawn=True) for p in withdrawn))


def periodic_blobs(prefixes, mtu=1500):
    """The blobs of a periodic set as the switch packs them: each at most mtu - 60 bytes, the first
    with FIRST, every one but the last with MORE, all with PERIODIC. An empty set is one control TLV."""
    room = mtu - FRAME_OVERHEAD - 7
    blobs, cur, used = [], [], 0
    for p in prefixes:
        t = p if isinstance(p, bytes) else prefix_tlv(p)
        if used + len(t) > room:
            blobs.append(cur)
            cur, used = [], 0
        cur.append(t)
        used += len(t)
    blobs.append(cur)
    out = []
    for i, tlvs in enumerate(blobs):
        flags = PERIODIC | (FIRST if i == 0 else 0) | (MORE if i + 1 < len(blobs) else 0)
        out.append(control_tlv(flags) + b"".join(tlvs))
    return out


class Sender:
    """Sends raw frames on one interface (normally the switch side of a veth pair)."""

    def __init__(self, ifname, chassis_mac="02:00:00:00:0a:01", port_id=None):
        self.ifname = ifname
        self.chassis = chassis_mac
        self.port_id = port_id or ifname
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        self.sock.bind((ifname, 0))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 8 << 20)

    def raw(self, frame):
        self.sock.send(frame)

    def blob(self, blob, ttl=120):
        self.raw(lldp_frame(self.chassis, self.port_id, ttl, blob))

    def periodic(self, prefixes, mtu=1500, ttl=120, skip=()):
        """Sends a whole periodic set; `skip` holds indexes of frames to leave out. Returns the
        number of frames of the set."""
        blobs = periodic_blobs(prefixes, mtu)
        for i, b in enumerate(blobs):
            if i not in skip:
                self.blob(b, ttl)
        return len(blobs)

    def delta(self, added=(), withdrawn=(), ttl=120):
        self.blob(delta_blob(added, withdrawn), ttl)

    def forget(self):
        """The TTL 0 frame: forget this neighbour."""
        self.raw(lldp_frame(self.chassis, self.port_id, 0, control_tlv(FIRST)))

    def close(self):
        self.sock.close()
