"""LLDP frames as a neighbour receives them: a capture on one interface (an AF_PACKET socket that
sees only EtherType 0x88CC), a strict decoder of the mandatory TLVs, the relay's prefix TLVs, pcap
files for an outside decoder, and `tcpdump -v` read back.

    cap = Capture("host0")          # open before the frames are sent
    frames = cap.wait(3)            # [Frame], in order of arrival
    frames[0].ttl, frames[0].prefixes()
"""

import ctypes
import ipaddress
import os
import re
import select
import socket
import struct
import subprocess
import time
from dataclasses import dataclass, field

ETH_P_LLDP = 0x88CC
LLDP_MULTICAST = bytes.fromhex("0180c200000e")
OUI = bytes([0x5A, 0x3C, 0x71])
TLV_END, TLV_CHASSIS_ID, TLV_PORT_ID, TLV_TTL, TLV_ORG = 0, 1, 2, 3, 127
CHASSIS_MAC, PORT_IFNAME = 4, 5
PACKET_OUTGOING = 4
SO_RCVBUFFORCE = 33
CLONE_NEWNET = 0x40000000


def split_tlvs(data):
    """[(type, value)] up to and including End; raises ValueError on a TLV that runs past the data
    or on data that ends without End. Returns (tlvs, bytes after End)."""
    out, off = [], 0
    while True:
        if off + 2 > len(data):
            raise ValueError(f"no End TLV ({len(data)} bytes)")
        word = struct.unpack_from(">H", data, off)[0]
        t, n = word >> 9, word & 0x1FF
        if off + 2 + n > len(data):
            raise ValueError(f"TLV type {t} at {off} runs past the frame")
        out.append((t, bytes(data[off + 2:off + 2 + n])))
        off += 2 + n
        if t == TLV_END:
            return out, bytes(data[off:])


def decode_blob_tlv(t, v):
    """One relay TLV: ("ctl", flags) or ("prefix", "10.0.0.0/8", withdrawn); None for any other."""
    if t != TLV_ORG or v[:3] != OUI or len(v) < 4:
        return None
    if v[3] == 0 and len(v) == 5:
        return ("ctl", v[4])
    if (v[3], len(v)) in ((1, 11), (2, 23)):
        addr = ipaddress.ip_address(bytes(v[7:11] if v[3] == 1 else v[7:23]))
        return ("prefix", f"{addr}/{v[4]}", bool(v[6] & 0x80))
    return None


@dataclass
class Frame:
    raw: bytes
    dst: bytes
    src: bytes
    chassis: tuple   # (subtype, value bytes)
    port: tuple      # (subtype, value bytes)
    ttl: int
    tlvs: list       # [(type, value)] between TTL and End
    padding: bytes   # what follows End
    t: float = 0.0   # time.monotonic() at receipt
    lldpdu_len: int = field(default=0)

    @classmethod
    def parse(cls, raw, t=0.0):
        """Strict: destination and EtherType of LLDP, chassis ID, port ID and TTL first, End present."""
        if len(raw) < 14 or struct.unpack_from(">H", raw, 12)[0] != ETH_P_LLDP:
            raise ValueError(f"not an LLDP frame: {raw[:14].hex()}")
        tl, padding = split_tlvs(raw[14:])
        kinds = [k for k, _ in tl[:3]]
        if kinds != [TLV_CHASSIS_ID, TLV_PORT_ID, TLV_TTL] or len(tl[2][1]) != 2 or tl[-1] != (TLV_END, b""):
            raise ValueError(f"mandatory TLVs out of order: {kinds}")
        ch, po = tl[0][1], tl[1][1]
        return cls(raw=bytes(raw), dst=bytes(raw[:6]), src=bytes(raw[6:12]), chassis=(ch[0], ch[1:]),
                   port=(po[0], po[1:]), ttl=struct.unpack(">H", tl[2][1])[0], tlvs=tl[3:-1], padding=padding, t=t,
                   lldpdu_len=len(raw) - 14 - len(padding))

    @property
    def port_name(self):
        return self.port[1].decode() if self.port[0] == PORT_IFNAME else None

    @property
    def chassis_mac(self):
        return ":".join(f"{b:02x}" for b in self.chassis[1]) if self.chassis[0] == CHASSIS_MAC else None

    def blob(self):
        """The TLVs between TTL and End, as the bytes they were sent as."""
        return b"".join(struct.pack(">H", t << 9 | len(v)) + v for t, v in self.tlvs)

    def relay_tlvs(self):
        return [decode_blob_tlv(t, v) for t, v in self.tlvs]

    def ctl_flags(self):
        return [d[1] for d in self.relay_tlvs() if d and d[0] == "ctl"]

    def prefixes(self):
        """Prefix texts in order, withdrawn ones with a leading '-'."""
        return [("-" if d[2] else "") + d[1] for d in self.relay_tlvs() if d and d[0] == "prefix"]


def _packet_socket(netns):
    """An LLDP packet socket of the current network namespace, or of the one the file `netns` names
    (/run/netns/NAME, /proc/PID/ns/net). A socket stays in the namespace it was created in: a child
    enters that namespace, creates it and hands it back."""
    if netns is None:
        return socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_LLDP))
    parent, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            fd = os.open(netns, os.O_RDONLY)
            if ctypes.CDLL(None, use_errno=True).setns(fd, CLONE_NEWNET) == 0:
                s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_LLDP))
                socket.send_fds(child, [b"s"], [s.fileno()])
                status = 0
        finally:
            os._exit(status)
    child.close()
    try:
        _, status = os.waitpid(pid, 0)
        if status != 0:
            raise OSError(f"cannot open a packet socket in {netns}")
        _, fds, _, _ = socket.recv_fds(parent, 1, 1)
        return socket.socket(fileno=fds[0])
    finally:
        parent.close()


class Capture:
    """Every LLDP frame that arrives on `ifname` from the time the capture opens; `netns` names
    another network namespace than the caller's."""

    def __init__(self, ifname, rcvbuf=64 << 20, netns=None):
        self.ifname = ifname
        self.sock = _packet_socket(netns)
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, rcvbuf)
        except OSError:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.bind((ifname, ETH_P_LLDP))
        self.frames = []

    def _drain(self, timeout):
        ready, _, _ = select.select([self.sock], [], [], timeout)
        while ready:
            raw, addr = self.sock.recvfrom(65536)
            if addr[2] != PACKET_OUTGOING:
                self.frames.append(Frame.parse(raw, time.monotonic()))
            ready, _, _ = select.select([self.sock], [], [], 0)

    def wait(self, count, timeout=10.0, since=0):
        """Waits until `count` frames arrived after the first `since`; returns those."""
        deadline = time.monotonic() + timeout
        while len(self.frames) - since < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"{len(self.frames) - since} of {count} LLDP frames arrived on {self.ifname}")
            self._drain(min(left, 0.2))
        return self.frames[since:]

    def wait_for(self, predicate, timeout=10.0, since=0):
        """Waits for the first frame from `since` on that satisfies predicate; returns its index."""
        deadline = time.monotonic() + timeout
        while True:
            for i in range(since, len(self.frames)):
                if predicate(self.frames[i]):
                    return i
            since = len(self.frames)
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no matching LLDP frame on {self.ifname}")
            self._drain(min(left, 0.2))

    def mark(self):
        self._drain(0)
        return len(self.frames)

    def close(self):
        self.sock.close()


def write_pcap(path, frames):
    """A classic pcap file (Ethernet link type) of the frames' raw bytes."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for i, fr in enumerate(frames):
            raw = fr.raw if isinstance(fr, Frame) else fr
            f.write(struct.pack("<IIII", i, 0, len(raw), len(raw)) + raw)


_TCPDUMP_ERRORS = re.compile(r"\[\|lldp\]|malformed|invalid|truncated|bogus", re.I)


def tcpdump_decode(path):
    """Decodes a pcap with `tcpdump -nn -v` and reads back, per frame, the TTL and the relay TLVs
    from tcpdump's hex dumps of the organisationally specific TLVs: [(ttl, [decoded TLV])].
    Raises AssertionError when tcpdump fails or reports a decoding error."""
    r = subprocess.run(["tcpdump", "-nn", "-v", "-r", str(path)], capture_output=True, text=True)
    if r.returncode != 0 or _TCPDUMP_ERRORS.search(r.stdout):
        raise AssertionError(f"tcpdump: status {r.returncode}\n{r.stderr}\n{r.stdout[-4000:]}")
    frames, org = [], None

    def close_org():
        nonlocal org
        if org is not None:
            frames[-1][1].append(decode_blob_tlv(TLV_ORG, bytes.fromhex("".join(org))))
            org = None

    for line in r.stdout.splitlines():
        s = line.strip()
        if re.search(r" LLDP, length \d+", line):
            close_org()
            frames.append([None, []])
        elif m := re.match(r"Time to Live TLV \(3\), length 2: TTL (\d+)s", s):
            frames[-1][0] = int(m.group(1))
        elif s.startswith("Organization specific TLV (127)"):
            close_org()
            org = []
        elif org is not None and (m := re.match(r"0x[0-9a-f]{4}:\s+((?:[0-9a-f]{2,4}\s*)+)$", s)):
            org.append(m.group(1).replace(" ", ""))
        else:
            close_org()
    close_org()
    return [(ttl, tl) for ttl, tl in frames]
