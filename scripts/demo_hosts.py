"""Demonstration of the relay reaching a host, inside a private sandbox.

Two switches, each running tallowd and the transmitting lldpd stand-in, sit above one host with an ECMP
default route over both. The host runs tallowhost. The routing suite on switch A declares 10.9.0.0/16
unreachable, withdraws it, then goes down; then A's lldpd stops. After each step the host's
`ip route get` shows where the traffic goes.
"""

import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "tallowhost"))

from sandbox import Sandbox  # noqa: E402
from host_helpers import route_get, table  # noqa: E402
from topology import LINKS, Host, fabric, wait_value  # noqa: E402

PROBES = ["10.9.1.1", "10.1.1.1"]


def show(title, host, settled):
    print(f"\n=== {title}")
    wait_value(title, settled)
    for address in PROBES:
        r = subprocess.run(["ip", "route", "get", address], capture_output=True, text=True)
        print(f"  host$ ip route get {address}\n    " + (r.stdout + r.stderr).strip().splitlines()[0])
    routes = table(4) + table(6)
    print("  host$ ip route show table 250\n    " + ("\n    ".join(routes) if routes else "(empty)"))


def main():
    with Sandbox() as box:
        run(box)


def run(box):
    a, b, host = fabric(box)
    via_b = f"via {LINKS['B'].switch_addr} dev {LINKS['B'].host_if}"
    print("switch A: 192.168.101.1 on hostA, switch B: 192.168.102.1 on hostB; ECMP default over both")

    show("before switch A declares anything", host, lambda: True)
    a.declare("10.9.0.0/16")
    show("switch A declares 10.9.0.0/16 unreachable", host, lambda: route_get("10.9.1.1") == via_b)
    a.withdraw("10.9.0.0/16")
    show("switch A withdraws it", host, lambda: table(4) == [])
    a.zebra(2)
    show("zebra goes down on switch A: it declares 0/0 and ::/0", host,
         lambda: route_get("10.1.1.1") == via_b)
    a.stop_lldpd()
    show("switch A's lldpd stops: its declarations are forgotten", host,
         Host.table_empty)


if __name__ == "__main__":
    main()
