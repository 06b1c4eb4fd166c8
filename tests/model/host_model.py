"""Reference model of the host agent tallowhost, written from its manual page: what its table must
hold and which rules exist, given the frames its neighbours sent and the kernel's view of the uplinks.

The model is fed frames (per uplink and neighbour), link and address states as the kernel reports
them, and the agent's life (start, crash, clean stop). want() gives the routes the table must hold as
a set of (kind, destination, next hops) per family; rules() the agent's rules.

Rules taken from the manual page:
- every LLDP neighbour on a link is kept apart by chassis ID and port ID, with its own set and its own
  set being received; only frames with the relay's control TLV declare anything;
- a periodic set replaces the neighbour's set only when it arrived whole, FIRST frame to a frame
  without MORE; a FIRST frame while a set is open discards the partial set; a continuation frame with
  no set open is discarded, and so is the rest until the next FIRST frame; a lost middle frame is not
  seen: the set is taken without it;
- a delta (no PERIODIC) adds its plain entries and removes its withdrawn ones at once;
- a delta guards what it decided (declared or withdrawn) for each prefix it names, per neighbour, for
  SET_GUARD seconds: a whole set that completes meanwhile and says otherwise leaves the prefix as the
  delta decided, and its word takes effect when the window ends unless a later whole set agreed with
  the delta (the guard ends, nothing changes) or a later delta named the prefix (a new window); a
  whole set after the window, or for prefixes no delta named in it, takes effect at once; guards go
  with their neighbour and are not saved;
- TTL 0 or an expired TTL forgets the neighbour; a link that loses its carrier or is set down forgets
  all neighbours of the link;
- an uplink is used for a family only while its link is up with its carrier, it has a next hop for
  the family (IPv4 goes through the IPv6 next hop when there is no IPv4 one) and that next hop is
  on-link (in a subnet of one of its addresses; IPv6 link-local always);
- an uplink that is down (or deleted) while another is up declares 0.0.0.0/0 and ::/0;
- for every declared prefix: the uplinks usable for its family where no neighbour declares it or a
  covering prefix; a multipath route over several, one next hop for one; for none, a throw route when
  an uplink that is up and declares nothing covering it is not usable for the family, else unreachable;
- throw routes for the subnets of the uplinks' addresses, fe80::/64, and every gateway outside them;
- rules P-1 "lookup main suppress_ifgroup G" and P "lookup T", both families, protocol 241 (P 2000);
- routes of a crashed run stay, as they are, until every uplink that is up delivered a whole set; one
  that the new run wants meanwhile is the new run's from then on (the manual page leaves this open);
- a clean stop removes every route and rule of the agent and saves each neighbour's whole set; the
  next start restores them on the uplinks that are up then.
"""

import ipaddress

FIRST, MORE, PERIODIC = 0x80, 0x40, 0x01
LINK_LOCAL_THROW = ipaddress.ip_network("fe80::/64")
SET_GUARD = 1.0  # seconds a delta's decisions stand against whole sets that say otherwise


def net(prefix):
    return ipaddress.ip_network(prefix, strict=False)


class Guard:
    """A delta's decision on one prefix. `at` is when the delta was taken, on the caller's clock;
    `word` what the last whole set since said, while it said otherwise. The checker's bookkeeping of
    how well it knows the times rides along in `note`."""

    def __init__(self, declared, at):
        self.declared, self.at, self.word = declared, at, None
        self.note = {}


class Neighbour:
    def __init__(self):
        self.set = set()
        self.open = None  # prefixes of the set being received, or None
        self.guards = {}  # prefix -> Guard

    def completes(self, flags, entries):
        """The whole set that a periodic frame with these flags and entries completes, or None."""
        if not flags & PERIODIC or flags & MORE or not (flags & FIRST or self.open is not None):
            return None
        return (set() if flags & FIRST else set(self.open)) | {net(p) for p, _ in entries}


class Uplink:
    def __init__(self, name, gw4, gw6):
        self.name = name
        self.gws = {4: ipaddress.ip_address(gw4) if gw4 else None, 6: ipaddress.ip_address(gw6) if gw6 else None}
        self.up = True  # set up and with its carrier
        self.addrs = set()  # ip_interface objects, as the kernel holds them
        self.neighbours = {}  # (chassis, port) -> Neighbour

    def usable(self, family):
        gw = self.gws[family] if family == 6 or self.gws[4] is not None else self.gws[6]
        if not self.up or gw is None:
            return False
        if gw.version == 6 and gw.is_link_local:
            return True
        return any(a.version == gw.version and gw in a.network for a in self.addrs)

    def hop(self, family):
        """(gateway, dev) of its route for the family."""
        gw = self.gws[family] if family == 6 or self.gws[4] is not None else self.gws[6]
        return (str(gw), self.name)

    def declared(self):
        out = set()
        for n in self.neighbours.values():
            out |= n.set
        return out


class HostModel:
    def __init__(self, uplinks, table=250, priority=2000, ifgroup=250):
        """uplinks: list of (name, gw4, gw6)."""
        self.uplinks = {name: Uplink(name, g4, g6) for name, g4, g6 in uplinks}
        self.table, self.priority, self.ifgroup = table, priority, ifgroup
        self.running = True
        self.adopted = None  # routes of a crashed run while they are adopted: {family: set}
        self.delivered = set()  # uplinks that delivered a whole set since the start
        self.saved = {}  # at a clean stop: uplink -> {neighbour: its whole set}

    # --- the kernel's view of the uplinks ---
    def link(self, name, up, addrs):
        u = self.uplinks[name]
        if u.up and not up:
            u.neighbours.clear()
        u.up = up
        u.addrs = {ipaddress.ip_interface(a) for a in addrs}
        self._adoption()

    # --- frames ---
    def frame(self, name, who, ttl, flags, entries, now=0.0):
        """One declaring frame from neighbour `who` on uplink `name`, taken at `now` (seconds):
        entries are (prefix, withdrawn)."""
        u = self.uplinks[name]
        if not u.up or not self.running:
            return
        self.advance(now)
        if ttl == 0:
            u.neighbours.pop(who, None)
            return
        n = u.neighbours.setdefault(who, Neighbour())
        if not flags & PERIODIC:
            for p, withdrawn in entries:
                (n.set.discard if withdrawn else n.set.add)(net(p))
                n.guards[net(p)] = Guard(not withdrawn, now)
            self._adoption()
            return
        whole = n.completes(flags, entries)
        if flags & FIRST:
            n.open = set()
        elif n.open is None:
            return  # a continuation with no set open: discarded until the next first frame
        n.open |= {net(p) for p, _ in entries}
        if whole is not None:
            n.open = None
            for p, g in list(n.guards.items()):
                if (p in whole) == g.declared:
                    del n.guards[p]  # the set agrees: the guard has done its work
                else:
                    g.word = p in whole
                    (whole.add if g.declared else whole.discard)(p)
            n.set = whole
            self.delivered.add(name)
            self._adoption()

    def guards(self):
        """(uplink, neighbour, prefix, Guard) of every guard still open."""
        return [(name, who, p, g) for name, u in self.uplinks.items() for who, n in u.neighbours.items()
                for p, g in n.guards.items()]

    def advance(self, now):
        """The windows that ended by `now`: a whole set's word that the guard held back takes effect."""
        changed = False
        for u in self.uplinks.values():
            for n in u.neighbours.values():
                for p, g in list(n.guards.items()):
                    if now >= g.at + SET_GUARD:
                        del n.guards[p]
                        if g.word is not None and (p in n.set) != g.word:
                            (n.set.add if g.word else n.set.discard)(p)
                            changed = True
        if changed:
            self._adoption()

    def forget(self, name, who):
        """The neighbour's TTL expired."""
        self.uplinks[name].neighbours.pop(who, None)

    # --- the agent's life ---
    def crash(self):
        """SIGKILL: the table and the rules stay as they are; the next start adopts the routes."""
        self.adopted = self.want()
        self.running = False

    def stop(self):
        """SIGTERM: routes and rules go; the neighbours' whole sets are saved for the next start."""
        self.adopted = None
        self.running = False
        self.saved = {name: {who: set(n.set) for who, n in u.neighbours.items()}
                      for name, u in self.uplinks.items() if u.up}

    def start(self):
        for name, u in self.uplinks.items():
            u.neighbours.clear()
            for who, prefixes in self.saved.get(name, {}).items() if u.up else ():
                u.neighbours[who] = Neighbour()
                u.neighbours[who].set = prefixes
        self.saved = {}
        self.running = True
        self.delivered = set()
        self._adoption()

    def _adoption(self):
        if self.adopted is None or not self.running:
            return
        if all(name in self.delivered for name, u in self.uplinks.items() if u.up):
            self.adopted = None
            return
        # A route that the new run wants replaces the adopted one: from then on it is the new run's,
        # and goes when the new run no longer wants it.
        adopted, self.adopted = self.adopted, None
        mine = self.want()
        self.adopted = {f: {r for r in adopted[f] if r[1] not in {m[1] for m in mine[f]}} for f in (4, 6)}

    # --- what the table and the rules must hold ---
    def want(self):
        """{4: set, 6: set} of (kind, destination, frozenset of (gateway, dev))."""
        out = {4: set(), 6: set()}
        if not self.running:
            if self.adopted is not None:
                return {f: set(rs) for f, rs in self.adopted.items()}
            return out
        subnets = {LINK_LOCAL_THROW}
        for u in self.uplinks.values():
            subnets |= {a.network for a in u.addrs if not a.ip.is_link_local}
        for u in self.uplinks.values():
            for gw in u.gws.values():
                if gw is not None and not any(n.version == gw.version and gw in n for n in subnets):
                    subnets.add(ipaddress.ip_network(gw))
        for n in subnets:
            out[n.version].add(("throw", n, frozenset()))
        declared = {name: u.declared() for name, u in self.uplinks.items()}
        if any(u.up for u in self.uplinks.values()):
            for name, u in self.uplinks.items():
                if not u.up:
                    declared[name] |= {net("0.0.0.0/0"), net("::/0")}

        def covered(name, p):
            return any(q.version == p.version and p.subnet_of(q) for q in declared[name])

        for p in set().union(*declared.values()) - subnets:
            hops = frozenset(u.hop(p.version) for name, u in self.uplinks.items()
                             if u.usable(p.version) and not covered(name, p))
            if hops:
                out[p.version].add(("unicast", p, hops))
            elif any(u.up and not u.usable(p.version) and not covered(name, p) for name, u in self.uplinks.items()):
                out[p.version].add(("throw", p, frozenset()))
            else:
                out[p.version].add(("unreachable", p, frozenset()))
        if self.adopted is not None:
            for f in (4, 6):
                mine = {r[1] for r in out[f]}
                out[f] |= {r for r in self.adopted[f] if r[1] not in mine}
        return out

    def rules(self):
        """{4: set, 6: set} of the agent's rules as (priority, what they say)."""
        if not self.running and self.adopted is None:
            return {4: set(), 6: set()}
        r = {(self.priority - 1, f"lookup main suppress_ifgroup {self.ifgroup}"),
             (self.priority, f"lookup {self.table}")}
        return {4: set(r), 6: set(r)}
