"""Reference model of the relay daemon, tallowd.

Pure and deterministic: it is fed the events a test causes (northbound messages, the client going away,
lldpd going away or coming back, state-service reports, MTU changes, a configuration reload) and, once
`settle()` has run the timers that the daemon runs by itself, it says

- what lldpd holds for every downlink interface: the last full frame set (type-11 request) it
  acknowledged, each blob decoded to its control flags and its (prefix text, withdrawn) pairs, or
  None once the interface was cleared;
- every request lldpd received (`sent`, with the type-11 sequence numbers in `seqs`) and their count
  in its current run;
- what the file dump shows for every VRF (`dump_view()`).

It follows the daemon's rules, not its code. Time appears only as order: `settle()` fires the
reconnection, the expired holddowns and the no-SYNC timers the way the daemon's timer pass would once
their deadlines have passed, and a test waits for those deadlines before it compares.
"""

import ipaddress
from dataclasses import dataclass, field

DEFAULT_MTU = 9216
MIN_MTU = 552
FRAME_OVERHEAD = 60
CTL = 7
CTL_FIRST, CTL_MORE, CTL_PERIODIC = 0x80, 0x40, 0x01
MAX_INTFS = 512


def tlv_size(afi):
    return 13 if afi == 4 else 25


def addr_text(afi, addr):
    return str(ipaddress.ip_address(bytes(addr[:4] if afi == 4 else addr[:16])))


@dataclass
class Entry:
    afi: int
    plen: int
    addr: bytes  # 16 bytes; IPv4 uses the first 4, the rest stay 0
    w: int = 0
    epoch: int = 0

    def key(self):
        return (self.afi, self.plen, self.addr[:min(16, (self.plen + 7) // 8)])

    def text(self):
        return f"{addr_text(self.afi, self.addr)}/{self.plen}"


@dataclass
class Vrf:
    vrf_id: int
    db: dict = field(default_factory=dict)  # key -> Entry, in insertion order
    intfs: list = field(default_factory=list)
    epoch: int = 0
    in_sync: bool = False
    dirty: bool = False
    holddown: bool = False
    awaiting_sync: bool = False
    mtu: int = 0
    blobs: list = field(default_factory=list)  # [(control flags, ((prefix text, withdrawn), ...))]


def blob_len(blob):
    return CTL + sum(13 if ":" not in text else 25 for text, _ in blob[1])


class RelayModel:
    def __init__(self, limit=25000, mtus=None):
        self.limit = limit
        self.mtus = dict(mtus or {})  # ifindex -> MTU as /sys shows it
        self.vrfs = {}  # vrf id -> Vrf, in creation order
        self.frr_up = self.vorsd_up = self.warmboot = False
        # lldpd: the daemon's view (connected) and the stand-in's (present, its requests, what it holds).
        self.connected = False
        self.present = True
        self.alive = False  # the daemon's connection leads to the stand-in now running
        self.close_at = 0
        self.requests = 0
        self.reconnects = 0
        self.held = {}
        # The requests since the caller last emptied the list, as (ifindex, type, flags, frames), and
        # whether lldpd went away meanwhile (the daemon's timers then order its retries by the clock).
        self.sent = []
        self.lost = False
        self.seq = 1  # the next type-11 sequence number; every attempt takes one
        self.seqs = []  # those that reached lldpd since the caller last emptied the list

    # --- prefix database -----------------------------------------------------------------------
    def global_count(self):
        return sum(len(v.db) for v in self.vrfs.values())

    def add(self, vrf, afi, plen, addr, epoch, over_limit=False):
        e = Entry(afi, plen, addr, 0, epoch)
        old = vrf.db.get(e.key())
        if old is not None:
            old.epoch = epoch
            return -2  # W is always 0 here, so an existing key is only refreshed
        if not over_limit and self.global_count() >= self.limit:
            return -1
        vrf.db[e.key()] = e
        return 1

    @staticmethod
    def remove_non_defaults(vrf):
        gone = [k for k, e in vrf.db.items() if e.plen != 0]
        for k in gone:
            del vrf.db[k]
        return len(gone)

    def vrf(self, vrf_id):
        if vrf_id not in self.vrfs:
            self.vrfs[vrf_id] = Vrf(vrf_id)
        return self.vrfs[vrf_id]

    # --- frames ----------------------------------------------------------------------------------
    def read_mtu(self, ifindex):
        return min(self.mtus.get(ifindex, 0), DEFAULT_MTU)

    def vrf_mtu(self, vrf):
        seen = [m for m in map(self.read_mtu, vrf.intfs) if m]
        if not seen or min(seen) < MIN_MTU:
            return DEFAULT_MTU
        return min(seen)

    def build_blobs(self, vrf):
        """Every prefix is placed: the set gets as many blobs as the prefixes need."""
        entries = list(vrf.db.values())
        if not entries:
            vrf.blobs = [(CTL_FIRST | CTL_PERIODIC, ())]
            return
        if all(e.plen == 0 for e in entries):
            vrf.blobs = [(CTL_FIRST, tuple((e.text(), False) for e in entries))]
            return
        vrf.mtu = self.vrf_mtu(vrf)
        room = max(vrf.mtu, MIN_MTU) - FRAME_OVERHEAD - CTL
        blobs, i = [], 0
        while i < len(entries):
            free, tlvs = room, []
            while i < len(entries) and tlv_size(entries[i].afi) <= free:
                free -= tlv_size(entries[i].afi)
                tlvs.append((entries[i].text(), False))
                i += 1
            flags = (CTL_FIRST if not blobs else 0) | (CTL_MORE if i < len(entries) else 0) | CTL_PERIODIC
            blobs.append((flags, tuple(tlvs)))
        vrf.blobs = blobs

    # --- lldpd -----------------------------------------------------------------------------------
    def send(self, ifindex, blobs, trigger=True, immediate=False):
        """One request: a frame set (type 11), which lldpd holds, or one immediate blob (type 12)."""
        seq = None if immediate else self.seq
        if not immediate:
            self.seq = (self.seq + 1) & 0xFFFFFFFF
        if not self.alive:
            self.connected, self.lost = False, True  # the daemon learns it by a failed write
            return False
        self.requests += 1
        if seq is not None:
            self.seqs.append(seq)
        self.sent.append((ifindex, 12, None, tuple(blobs)) if immediate else
                         (ifindex, 11, 13 if trigger else 5, tuple(blobs)))
        if self.requests == self.close_at:
            self.connected = self.alive = False
            self.lost = True
            return False
        if not immediate:
            self.held[ifindex] = tuple(blobs) or None
        return True

    def push_periodic(self, vrf, trigger=True):
        if not self.connected:
            return
        for ifindex in vrf.intfs:
            if not self.connected or not self.send(ifindex, vrf.blobs, trigger):
                break

    def push_immediate(self, vrf, blob):
        for ifindex in vrf.intfs:
            if not self.connected or not self.send(ifindex, [blob], immediate=True):
                break

    def connect(self):
        """A new lldpd knows nothing: every VRF that owes a push or has frames is sent its current
        frames, rebuilt first when it owes one outside a sync (the cached ones may predate a change
        whose holddown has not expired yet). A VRF stays owing until its push has gone out."""
        self.connected = self.alive = True
        self.reconnects += 1
        for vrf in self.vrfs.values():
            if not self.connected:
                break
            if vrf.dirty or vrf.blobs:
                if vrf.dirty and not vrf.in_sync:
                    self.build_blobs(vrf)
                self.push_periodic(vrf)
                if self.connected:
                    vrf.dirty = vrf.holddown = False

    # --- northbound messages -----------------------------------------------------------------------
    def prefix_update(self, vrf_id, entries):
        """entries: [(afi, plen, w, 16 address bytes)]"""
        vrf = self.vrf(vrf_id)
        vrf.awaiting_sync = False
        changed = False
        # A well-formed default route makes every specific prefix redundant; a malformed one is skipped.
        if any(plen == 0 and w == 0 and afi in (4, 6) for afi, plen, w, _ in entries) and \
                self.remove_non_defaults(vrf):
            changed = True
        delta = []  # what goes to the hosts at once: nothing that was refused
        for afi, plen, w, addr in entries:
            if afi not in (4, 6) or plen > (32 if afi == 4 else 128):
                continue
            text = f"{addr_text(afi, addr)}/{plen}"
            if afi == 4:
                addr = addr[:4] + bytes(12)
            if w:
                key = Entry(afi, plen, addr).key()
                if key in vrf.db:
                    del vrf.db[key]
                    changed = True
                elif plen == 0:
                    changed = True  # the withdrawal of a default route goes out all the same
                delta.append((text, True))
                continue
            result = self.add(vrf, afi, plen, addr, vrf.epoch)
            changed |= result == 1
            if result != -1:
                delta.append((text, False))
        if changed:
            if not vrf.in_sync and self.connected and delta:
                self.push_immediate(vrf, (CTL_FIRST, tuple(delta)))
            vrf.dirty = True
            vrf.holddown = True
        if not vrf.db and not vrf.intfs:
            del self.vrfs[vrf_id]

    def sync_begin(self, vrf_id, epoch):
        vrf = self.vrf(vrf_id)
        self.warmboot = False
        vrf.epoch, vrf.in_sync, vrf.awaiting_sync = epoch, True, False

    def sync_end(self, vrf_id, epoch):
        vrf = self.vrf(vrf_id)
        for k in [k for k, e in vrf.db.items() if e.epoch < epoch and e.w == 0]:
            del vrf.db[k]
        vrf.in_sync = vrf.holddown = False
        self.build_blobs(vrf)
        if self.connected:
            self.push_periodic(vrf)
            vrf.dirty = False
        else:
            vrf.dirty = True

    def intf_set(self, vrf_id, intfs):
        if len(intfs) > MAX_INTFS or (not intfs and vrf_id not in self.vrfs):
            return
        vrf = self.vrf(vrf_id)
        old, vrf.intfs = vrf.intfs, list(intfs)
        if self.connected:
            for ifindex in old:
                if ifindex in intfs or any(ifindex in v.intfs and v.db for v in self.vrfs.values() if v is not vrf):
                    continue  # an interface that moved to a VRF with prefixes keeps the frames it got there
                if self.connected and self.send(ifindex, [(CTL_FIRST, ())], immediate=True):  # flush, then clear
                    if self.connected:
                        self.send(ifindex, [])
            if any(i not in old for i in intfs) and vrf.db:
                self.build_blobs(vrf)
                self.push_periodic(vrf)
        if not intfs:
            del self.vrfs[vrf_id]
        elif not vrf.db:
            vrf.awaiting_sync = True

    def warmboot_start(self):
        self.vrf(0)
        self.warmboot = True

    def warmboot_end(self):
        self.vrf(0)
        self.warmboot = False

    # --- the client going away --------------------------------------------------------------------
    def disconnect(self):
        if self.warmboot or not self.frr_up:
            return
        for vrf in self.vrfs.values():
            if any(e.plen == 0 for e in vrf.db.values()):
                if self.remove_non_defaults(vrf) or vrf.dirty:
                    self.build_blobs(vrf)
                    if self.connected:
                        self.push_periodic(vrf)
                        vrf.dirty = False
            elif vrf.intfs:
                vrf.db.clear()
                vrf.epoch = 0
                self.inject(vrf)
                self.build_blobs(vrf)
                self.push_periodic(vrf)
                vrf.dirty = False
            else:
                vrf.db.clear()
                if self.connected:
                    self.build_blobs(vrf)
                    self.push_periodic(vrf)
                    vrf.blobs = []
                vrf.dirty = False
        for vrf in self.vrfs.values():
            vrf.holddown = vrf.in_sync = False
            vrf.epoch = 0

    def inject(self, vrf):
        """0/0 and ::/0, which the prefix limit never refuses."""
        self.add(vrf, 4, 0, bytes(16), 0, over_limit=True)
        self.add(vrf, 6, 0, bytes(16), 0, over_limit=True)

    # --- state service -----------------------------------------------------------------------------
    def inject_defaults(self):
        for vrf in self.vrfs.values():
            vrf.db.clear()
            vrf.epoch, vrf.in_sync, vrf.holddown = 0, False, False
            self.inject(vrf)
            self.build_blobs(vrf)
            self.push_periodic(vrf)
            vrf.dirty = False

    def controlled_frr_down(self):
        for vrf in self.vrfs.values():
            if self.remove_non_defaults(vrf) or vrf.dirty:
                self.build_blobs(vrf)
                if self.connected:
                    self.push_periodic(vrf)
                    vrf.dirty = False
        for vrf in self.vrfs.values():
            vrf.holddown = vrf.in_sync = False
            vrf.epoch = 0

    def state(self, key, value):
        """value: 1 up, 2 down, None: the key was deleted."""
        if value == 1:
            if key == "frr_zebra":
                self.frr_up = True
            else:
                self.vorsd_up = True
            return
        if value not in (2, None):
            return
        if key == "frr_zebra" and self.frr_up:
            self.frr_up = False
            if self.warmboot:
                return
            if any(e.plen == 0 for v in self.vrfs.values() for e in v.db.values()):
                self.controlled_frr_down()
            else:
                self.inject_defaults()
        elif key == "vorsd" and self.vorsd_up:
            self.vorsd_up = False
            if not self.warmboot:
                self.inject_defaults()

    # --- links, lldpd, configuration -----------------------------------------------------------------
    def set_mtu(self, ifindex, mtu):
        if self.mtus.get(ifindex) == mtu:
            return  # the kernel reports no change that did not happen
        self.mtus[ifindex] = mtu
        vrf = next((v for v in self.vrfs.values() if ifindex in v.intfs), None)
        if vrf is None or not vrf.db or vrf.mtu == mtu & 0xFFFF:
            return
        self.build_blobs(vrf)
        self.push_periodic(vrf, trigger=False)

    def lldpd_stop(self):
        self.present = self.alive = False
        self.held = {}

    def lldpd_start(self, close_at=0):
        self.present, self.close_at, self.requests, self.held, self.sent = True, close_at, 0, {}, []

    def reload(self, limit):
        self.limit = limit

    # --- timers ------------------------------------------------------------------------------------
    def timers_armed(self):
        """(holddown, no-SYNC): whether settle() will wait for either deadline."""
        hold = any(v.holddown and v.dirty and not v.in_sync for v in self.vrfs.values())
        return hold, any(v.awaiting_sync for v in self.vrfs.values())

    def settle(self):
        """What the daemon does by itself once every armed deadline has passed and lldpd, when present,
        has been reconnected to."""
        while True:
            if self.present and not self.connected:
                self.connect()
                continue
            for vrf in self.vrfs.values():
                if vrf.holddown and vrf.dirty and not vrf.in_sync:
                    vrf.holddown = False
                    self.build_blobs(vrf)
                    if self.connected:
                        self.push_periodic(vrf, trigger=False)
                        vrf.dirty = False
            for vrf in self.vrfs.values():
                if vrf.awaiting_sync:
                    vrf.awaiting_sync = False
                    if not vrf.db and self.connected:
                        self.build_blobs(vrf)
                        self.push_periodic(vrf)
                        vrf.dirty = False
            if not (self.present and not self.connected):
                return

    # --- views ---------------------------------------------------------------------------------------
    def dump_view(self):
        """Per VRF, in order: (vrf, prefix count, epoch, MTU line, interfaces, frame lengths,
        [(prefix text, W, epoch)])."""
        out = []
        for v in self.vrfs.values():
            mtu = (self.read_mtu(v.intfs[0]) if v.intfs else 0) or DEFAULT_MTU
            out.append((v.vrf_id, len(v.db), v.epoch, mtu, list(v.intfs), [blob_len(b) for b in v.blobs],
                        [(e.text(), e.w, e.epoch) for e in v.db.values()]))
        return out
