"""Helpers for the relay's black-box tests: the installed daemon, the lldpd stand-in, a northbound
client that writes exact bytes, tallowctl, and decoding of what lldpd received."""

import ipaddress
import json
import os
import re
import signal
import socket
import struct
import time
from pathlib import Path

NB_SOCK = "/var/run/tallowd.sock"
LLDPD_SOCK = "/var/run/lldpd.socket"
ENABLE_MARKER = "/var/run/tallowd.enable"
WORK = Path("/run/relay-test")

OUI = bytes([0x5A, 0x3C, 0x71])
CTL_FIRST, CTL_MORE, CTL_PERIODIC = 0x80, 0x40, 0x01
FLAGS_TRIGGER, FLAGS_PERIODIC = 13, 5


# Northbound messages, byte for byte.

def msg(msg_type, vrf=0, body=b"", ifindex=0, length=None):
    total = 12 + len(body) if length is None else length
    return struct.pack(">HBBII", total & 0xFFFF, msg_type, 0, vrf, ifindex) + body


def entry(prefix, w=0, afi=None, plen=None):
    """A 20-byte prefix entry; afi and plen override what the prefix text gives."""
    net = ipaddress.ip_network(prefix, strict=False)
    a = afi if afi is not None else (4 if net.version == 4 else 6)
    p = plen if plen is not None else net.prefixlen
    addr = ipaddress.ip_interface(prefix).ip.packed if "/" in prefix else net.network_address.packed
    return struct.pack(">BBBB", a, p, w, 0) + addr.ljust(16, b"\0")


def prefix_update(vrf, entries, ifindex=0):
    return msg(1, vrf, struct.pack(">HH", len(entries), 0) + b"".join(entries), ifindex=ifindex)


def updates(vrf, prefixes, w=0):
    return prefix_update(vrf, [entry(p, w) for p in prefixes])


def sync_begin(vrf, epoch):
    return msg(3, vrf, struct.pack(">I", epoch))


def sync_end(vrf, epoch, count):
    return msg(4, vrf, struct.pack(">II", epoch, count))


def intf_set(vrf, ifindexes):
    return msg(6, vrf, struct.pack(">HH", len(ifindexes), 0) + b"".join(struct.pack(">I", i) for i in ifindexes))


def warmboot_start():
    return msg(7)


def warmboot_end():
    return msg(8)


class Client:
    """One northbound connection; the daemon never answers."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(NB_SOCK)

    def send(self, *messages):
        self.sock.sendall(b"".join(messages))
        return self

    def close(self):
        self.sock.close()


# What lldpd receives: blobs and prefix TLVs, decoded from the raw request bytes.

def tlvs(blob):
    """[(kind, value)] for one blob: ("ctl", flags) or ("prefix", "10.0.0.0/8", w)."""
    out, off = [], 0
    while off < len(blob):
        word = struct.unpack_from(">H", blob, off)[0]
        t, n = word >> 9, word & 0x1FF
        v = blob[off + 2:off + 2 + n]
        assert t == 127 and v[:3] == OUI, f"foreign TLV at {off}: {blob.hex()}"
        if v[3] == 0:
            out.append(("ctl", v[4]))
        else:
            assert v[3] in (1, 2) and len(v) == (11 if v[3] == 1 else 23), blob.hex()
            addr = ipaddress.ip_address(bytes(v[7:11] if v[3] == 1 else v[7:23]))
            out.append(("prefix", f"{addr}/{v[4]}", bool(v[6] & 0x80)))
        off += 2 + n
    return out


class Request:
    """One request as the stand-in recorded it."""

    def __init__(self, rec):
        self.rec = rec
        self.raw = bytes.fromhex(rec["hex"])
        self.n = rec["n"]
        self.conn = rec["conn"]
        self.t_ns = rec["t_ns"]
        self.action = rec["action"]
        self.type, zero, length = struct.unpack_from("=IIQ", self.raw, 0)
        assert zero == 0 and length == len(self.raw) - 16
        self.ifindex = struct.unpack_from(">I", self.raw, 16)[0]
        self.blobs = []
        if self.type == 11:
            self.seq, count, res, count2, self.flags = struct.unpack_from(">IHHHH", self.raw, 20)
            assert (res, count2) == (0, count)
            off = 32
            while off < len(self.raw):
                n = struct.unpack_from(">H", self.raw, off)[0]
                self.blobs.append(self.raw[off + 2:off + 2 + n])
                off += 2 + n
            assert len(self.blobs) == count
        else:
            assert self.type == 12 and self.raw[20:32] == bytes(12)
            self.seq = self.flags = None
            self.blobs = [self.raw[32:]]

    def prefixes(self):
        """Prefix texts over all blobs, withdrawn ones written with a leading '-'."""
        return [("-" if t[2] else "") + t[1] for b in self.blobs for t in tlvs(b) if t[0] == "prefix"]

    def ctl_flags(self):
        return [t[1] for b in self.blobs for t in tlvs(b) if t[0] == "ctl"]

    def __eq__(self, other):
        return isinstance(other, Request) and (self.n, self.raw) == (other.n, other.raw)

    def __repr__(self):
        return (f"<req {self.n} conn={self.conn} type={self.type} if={self.ifindex} seq={self.seq} "
                f"flags={self.flags} blobs={len(self.blobs)} {self.action}>")


class Standin:
    """The lldpd stand-in, run from the installed tree with its record file."""

    runs = 0

    def __init__(self, sandbox, *args):
        self.sandbox = sandbox
        WORK.mkdir(parents=True, exist_ok=True)
        # Each run of the stand-in records to files of its own.
        Standin.runs += 1
        self.record = WORK / f"lldpd-{Standin.runs}.jsonl"
        self.out_path = WORK / f"lldpd-{Standin.runs}.out"
        self.out = open(self.out_path, "wb")
        mark = 0
        self.proc = sandbox.spawn([sandbox.prefix / "libexec" / "tarvik-platform" / "lldpd-standin",
                                   "--record", str(self.record), *args], stdout=self.out)
        self.wait_output(r"(listening|refusing) on ", start=mark)

    def output(self, start=0):
        with open(self.out_path, "rb") as f:
            f.seek(start)
            return f.read().decode(errors="replace")

    def show_on_failure(self, request, tail=20000):
        """Makes a failing test's report show the end of this stand-in's output."""
        request.node._failure_sections = [("lldpd stand-in output", lambda: self.output()[-tail:])]

    def wait_output(self, pattern, timeout=5.0, start=0):
        import re
        deadline = time.monotonic() + timeout
        while True:
            text = self.output(start)
            if re.search(pattern, text, re.M):
                return text
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError(f"stand-in output lacks {pattern!r}:\n{text}")
            time.sleep(0.01)

    def requests(self):
        if not self.record.exists():
            return []
        # Read whole, then cut at the newlines: the record being written is the part after the last
        # one. (Iterating the file would go on reading after a partial last line and could yield the
        # rest of that record as a line of its own.)
        with open(self.record) as f:
            lines = f.read().split("\n")[:-1]
        return [Request(json.loads(line)) for line in lines]

    def wait_requests(self, count, timeout=5.0, since=0):
        """Waits until at least `count` requests arrived after the first `since`; returns those."""
        deadline = time.monotonic() + timeout
        while True:
            reqs = self.requests()[since:]
            if len(reqs) >= count:
                return reqs
            if time.monotonic() > deadline:
                raise AssertionError(f"{len(reqs)} of {count} requests arrived: {reqs}")
            time.sleep(0.005)

    def quiet_for(self, seconds, since=0):
        """The requests that arrive within `seconds` (expected: none)."""
        time.sleep(seconds)
        return self.requests()[since:]

    def sync(self):
        """Returns once every request that reached the stand-in before the call is recorded: the
        stand-in answers a request before it records it, and prints the summary that SIGUSR1 asks
        for only between requests."""
        if self.proc.poll() is not None:
            return
        start = os.path.getsize(self.out_path)
        self.proc.send_signal(signal.SIGUSR1)
        self.wait_output(r"^summary ", start=start)

    def mark(self):
        self.sync()
        return len(self.requests())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=10)
        self.out.close()


class Daemon:
    def __init__(self, sandbox, proc):
        self.sandbox = sandbox
        self.proc = proc
        self.log = sandbox.syslog

    def messages(self, start=0):
        return [l.message for l in self.log.lines()[start:] if l.ident == "tallowd"]

    def wait_for(self, pattern, timeout=5.0, start=0):
        return self.log.wait_for(pattern, timeout=timeout, ident="tallowd", start=start)

    def mark(self):
        return self.log.count()

    def wait_lines(self, pattern, count, timeout=5.0, start=0):
        """Waits until `count` lines match; returns the matching LogLines."""
        deadline = time.monotonic() + timeout
        while True:
            found = [l for l in self.log.lines()[start:] if l.ident == "tallowd" and re.search(pattern, l.message)]
            if len(found) >= count:
                return found
            if time.monotonic() > deadline:
                raise AssertionError(f"{len(found)} of {count} lines match {pattern!r}:\n{self.log.text()}")
            time.sleep(0.01)

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        status = self.proc.wait(timeout=20)
        self.log.sync()  # its last lines recorded before anyone reads them
        return status


def start_daemon(sandbox, conf=None, lldpd_wait=True):
    """Starts the installed tallowd; with lldpd_wait, waits until it has connected to lldpd."""
    sandbox.set_groups(frr=True)
    if conf is not None:
        sandbox.write("/etc/tarvik/tallowd.conf", conf)
    proc = sandbox.spawn([sandbox.prefix / "sbin" / "tallowd"])
    d = Daemon(sandbox, proc)
    d.wait_for(r"^tallowd started, waiting for FRR connection on /var/run/tallowd.sock$")
    if lldpd_wait:
        d.wait_for(r"^lldp: connected to LLDPD", timeout=3.0)
    return d


def relay(sandbox, *standin_args, conf=None):
    """The stand-in listening first, then the daemon connected to it."""
    lldpd = Standin(sandbox, *standin_args)
    return start_daemon(sandbox, conf=conf), lldpd


def tallowctl(sandbox, *args, input=None, check=True):
    r = sandbox.run([sandbox.prefix / "bin" / "tallowctl", *map(str, args)], input=input)
    if check:
        assert r.returncode == 0, f"tallowctl {args}: {r.returncode}\n{r.stdout}\n{r.stderr}"
    return r


BARRIER_VRF = 0xFFFFFFFF


def barrier(client, daemon, timeout=10.0):
    """Returns once the daemon has handled everything the client sent before: an INTF_SET with no
    interfaces for a VRF it does not know is logged and changes nothing."""
    start = daemon.mark()
    client.send(intf_set(BARRIER_VRF, []))
    daemon.wait_for(rf"^ipc: INTF_SET count=0 for unknown VRF {BARRIER_VRF}, skipping$", timeout=timeout,
                    start=start)
