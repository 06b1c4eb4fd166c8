"""The routing suite's side inside the booted system: one `tallowctl script -` connection kept open, since
a closed connection makes tallowd fall back to default routes; and the requests the lldpd stand-in
recorded."""

import re
import subprocess

from container import wait_value
from layout import RECORD, SWITCH_IF


class Routing:
    def __init__(self, box):
        self.box = box
        self.proc = None

    def send(self, *commands):
        if self.proc is None or self.proc.poll() is not None:
            self.proc = self.box.spawn("tallowctl", "script", "-", stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, text=True)
        for c in commands:
            self.proc.stdin.write(c + "\n")
        self.proc.stdin.flush()

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait(timeout=10)
        self.proc = None


def ifindex(box, name=SWITCH_IF):
    return int(box.read(f"/sys/class/net/{name}/ifindex"))


def prefixes(request):
    """The prefixes of one recorded request, from its blobs (type 11) or its one blob (type 12)."""
    blobs = request.get("blobs") or ([request["blob"]] if "blob" in request else [])
    return {t["prefix"] for b in blobs for t in b.get("tlvs", ()) if "prefix" in t}


def wait_request(box, what, match, start=0, timeout=20.0):
    """The first request recorded after the first `start` ones for which match(request) holds."""
    def found():
        return next((r for r in box.json_lines(RECORD)[start:] if match(r)), None)
    try:
        return wait_value(what, found, timeout, interval=0.1)
    except AssertionError as e:
        got = [(r["type"], r["ifindex"], sorted(prefixes(r))) for r in box.json_lines(RECORD)[start:]]
        raise AssertionError(f"{e}; the stand-in recorded (type, ifindex, prefixes): {got}") from None


# Lines that say a unit's confinement refused its process something, or that systemd restarted it.
CONFINEMENT = r"SIGSYS|status=31/SYS|Permission denied|Read-only file system|Operation not permitted|" \
              r"Scheduled restart job|Start request repeated too quickly"


def check_confinement(box, unit, mode):
    """Nothing in the unit's journal since the mode began says it was refused something or restarted."""
    bad = [l for l in box.journal(unit, box.mode_start).splitlines() if re.search(CONFINEMENT, l)]
    assert not bad, f"{unit} ({mode}): refused by its confinement or restarted:\n" + "\n".join(bad)
    assert box.prop(unit, "NRestarts") == "0", f"{unit} ({mode}): NRestarts={box.prop(unit, 'NRestarts')}"
