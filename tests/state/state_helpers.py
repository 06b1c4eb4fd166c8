"""Helpers for the service-state tests: the state store, the relay set-up, VRF contents as the daemon's
file dump shows them, and the last frames lldpd received per interface."""

import os
import re
import signal
from dataclasses import dataclass, field
from pathlib import Path

from relay_helpers import (Client, Standin, barrier, entry, intf_set, prefix_update, start_daemon, sync_begin,
                           sync_end, updates, warmboot_end, warmboot_start)

STORE = Path("/run/mesra")
DUMP = Path("/var/run/tallowd-dump.txt")
ACK_RECORD = "source=tallowd kind=1"
DEFAULTS = ["0.0.0.0/0", "::/0"]


class Store:
    """The state service's directory store, driven the way operators do: with mesractl."""

    def __init__(self, sandbox, create=True):
        self.sandbox = sandbox
        if create:
            STORE.mkdir(parents=True, exist_ok=True)

    def ctl(self, *args, check=True):
        r = self.sandbox.run([self.sandbox.prefix / "libexec" / "tarvik-platform" / "mesractl", *map(str, args)])
        if check:
            assert r.returncode == 0, f"mesractl {args}: {r.returncode}\n{r.stdout}\n{r.stderr}"
        return r

    def set(self, key, value):
        self.ctl("set", key, "state", value)

    def delete(self, key):
        self.ctl("delete", key, "state")

    def write_raw(self, name, data):
        """Written in place, as any writer might."""
        (STORE / name).write_bytes(data if isinstance(data, bytes) else data.encode())

    def read(self, name):
        p = STORE / name
        return p.read_text() if p.exists() else None

    def listing(self):
        if not STORE.is_dir():
            return "(no store directory)"
        return "\n".join(f"{p.name}: {p.read_bytes()!r}" for p in sorted(STORE.iterdir()))


@dataclass
class VrfDump:
    vrf: int
    epoch: int
    mtu: int
    intfs: list
    frames: list
    prefixes: list = field(default_factory=list)  # (text, w, epoch)

    def texts(self):
        return [p[0] for p in self.prefixes]


def parse_dump(text):
    """{vrf id: VrfDump} from the dump file."""
    vrfs = {}
    cur = None
    for line in text.splitlines():
        m = re.match(r"^VRF (\d+): (\d+) prefixes, epoch=(\d+)$", line)
        if m:
            cur = VrfDump(int(m[1]), int(m[3]), 0, [], [])
            vrfs[cur.vrf] = cur
            continue
        if cur is None:
            continue
        if m := re.match(r"^  MTU: (\d+)$", line):
            cur.mtu = int(m[1])
        elif m := re.match(r"^  Interfaces \((\d+)\):(.*)$", line):
            cur.intfs = [int(x) for x in m[2].split()]
        elif m := re.match(r"^    frame \d+: (\d+) bytes$", line):
            cur.frames.append(int(m[1]))
        elif m := re.match(r"^    IPv[46] (\S+) W=(\d) epoch=(\d+)$", line):
            cur.prefixes.append((m[1], int(m[2]), int(m[3])))
    return vrfs


class Setup:
    def __init__(self, sandbox, store, lldpd, daemon):
        self.sandbox = sandbox
        self.store = store
        self.lldpd = lldpd
        self.daemon = daemon
        self.client = Client()
        self._clients = [self.client]

    def send(self, *messages):
        self.client.send(*messages)
        barrier(self.client, self.daemon)

    def reconnect(self):
        self.client = Client()
        self._clients.append(self.client)
        return self.client

    def vrf(self, vrf, prefixes, intfs=(), epoch=1, w=0):
        """A VRF through one sync cycle: interfaces, then the prefixes; a default route among them is
        sent in an update of its own first, because a 0/0 with W 0 clears the specifics before it."""
        msgs = []
        if intfs:
            msgs.append(intf_set(vrf, list(intfs)))
        msgs.append(sync_begin(vrf, epoch))
        defaults = [p for p in prefixes if p.endswith("/0")]
        specifics = [p for p in prefixes if not p.endswith("/0")]
        if defaults:
            msgs.append(updates(vrf, defaults, w))
        if specifics:
            msgs.append(updates(vrf, specifics, w))
        msgs.append(sync_end(vrf, epoch, len(specifics)))
        self.send(*msgs)

    def dump(self):
        start = self.daemon.mark()
        self.daemon.proc.send_signal(signal.SIGUSR2)
        self.daemon.wait_for(r"^Full state dumped to /var/run/tallowd-dump.txt$", start=start)
        return parse_dump(DUMP.read_text())

    def state(self, key, value, expect=None):
        """Sets key's state and waits until the daemon has logged its reaction (by default the
        state line)."""
        start = self.daemon.mark()
        self.store.set(key, value)
        who = "frr" if key == "frr_zebra" else key
        name = {"1": "UP", "2": "DOWN"}.get(str(value), "UNKNOWN")
        if expect is None and key == "frr_zebra" and str(value) == "1":
            expect = r"^mesra: published frr_zebra.ack=ACK"  # logged after the state line
        self.daemon.wait_for(expect or rf"^mesra: {who} state={name} \(rev=\d+\)$", start=start)
        return start

    def last_frames(self, since=0):
        """{ifindex: the last type-11 request} among the requests after `since`."""
        self.lldpd.sync()  # the stand-in records a request only after answering it
        out = {}
        for r in self.lldpd.requests()[since:]:
            if r.type == 11:
                out[r.ifindex] = r
        return out

    def close(self):
        for c in self._clients:
            c.close()


def start(sandbox, store=True, conf=None):
    s = Store(sandbox, create=store)
    lldpd = Standin(sandbox)
    daemon = start_daemon(sandbox, conf=conf)
    return Setup(sandbox, s, lldpd, daemon)
