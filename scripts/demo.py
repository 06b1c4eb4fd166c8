"""Demonstration of the relay inside a private sandbox (mount, network and PID namespaces).

Starts the lldpd stand-in and tallowd on two veth-backed downlink interfaces, drives a
resynchronisation, updates and withdrawals through tallowctl, then the routing suite's state-up and
crash through the state-service stand-in, and shows what lldpd received, decoded, and the daemon's log.
"""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from sandbox import Sandbox, wait_value  # noqa: E402

PRIORITY = {0: "emerg", 1: "alert", 2: "crit", 3: "err", 4: "warning", 5: "notice", 6: "info", 7: "debug"}


def section(title):
    print(f"\n=== {title}")


def show_new(path, offset):
    text = Path(path).read_text()
    for line in text[offset:].splitlines():
        print("  lldpd <- " + line)
    return len(text)


def main():
    with Sandbox() as box:
        run(box)


def run(box):
    p = box.prefix
    platform = p / "libexec" / "tarvik-platform"
    tallowctl = str(p / "bin" / "tallowctl")
    box.set_groups(frr=True)
    box.write("/etc/tarvik/tallowd.conf", "max-unreachable-prefix = 25000\n")
    # One MTU for the VRF's downlinks, as on a switch: the daemon sizes a VRF's frames to one MTU and logs
    # a mismatch between its interfaces as an error.
    dl1, _ = box.add_veth("swp1", "host1", mtu=9000)
    dl2, _ = box.add_veth("swp2", "host2", mtu=9000)
    section(f"downlinks: swp1 (ifindex {dl1}), swp2 (ifindex {dl2}), both MTU 9000")

    have_mesra = (platform / "mesractl").exists()
    env = dict(box._default_env())
    if have_mesra:
        os.makedirs("/run/mesra", exist_ok=True)

    out = "/run/lldpd-standin.out"
    with open(out, "w") as f:
        lldpd = box.spawn([platform / "lldpd-standin"], stdout=f, stderr=subprocess.STDOUT)
    box.wait_for_path("/var/run/lldpd.socket")
    daemon = box.spawn([p / "sbin" / "tallowd"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    box.syslog.wait_for(r"^tallowd started", ident="tallowd")
    box.syslog.wait_for(r"^lldp: connected to LLDPD", ident="tallowd", timeout=5)
    section("the lldpd stand-in and tallowd start; tallowd connects to it")
    wait_value("lldpd stand-in: connection accepted", lambda: "accepted" in Path(out).read_text())
    seen = show_new(out, 0)

    # The routing suite: one connection for the whole run, as the daemon cleans up when it closes.
    routing = box.spawn([tallowctl, "script", "-"], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                        stderr=subprocess.STDOUT, text=True)

    def ctl(command, note=""):
        nonlocal seen
        print(f"\n$ tallowctl {command}" + (f"    # {note}" if note else ""))
        routing.stdin.write(command + "\n")
        routing.stdin.flush()
        time.sleep(0.3)  # past the 100 ms holddown, so the full frame set has gone out too
        seen = show_new(out, seen)

    def mesractl(*args, note=""):
        nonlocal seen
        print(f"\n$ mesractl {' '.join(args)}" + (f"    # {note}" if note else ""))
        r = box.run([platform / "mesractl", *args], env=env)
        if r.stdout.strip():
            print("  " + r.stdout.strip().replace("\n", "\n  "))
        time.sleep(0.3)
        seen = show_new(out, seen)

    box.write("/run/prefixes.txt", "10.1.0.0/16\n10.2.0.0/16\n192.0.2.0/24\n2001:db8:1::/48\n")
    if have_mesra:
        section("the state service reports the routing suite up")
        mesractl("set", "frr_zebra", "state", "1", note="the daemon acknowledges it")
        mesractl("list")
    section("the routing suite drives the relay over libtallowd")
    ctl("intf-set --vrf 5 swp1 swp2", note="the VRF's downlinks")
    ctl("sync --vrf 5 --epoch 1 /run/prefixes.txt", note="a full resynchronisation: one push with flags 13")
    ctl("update --vrf 5 10.9.0.0/16 2001:db8:9::/48", note="immediate delta, then the full set 100 ms later")
    ctl("update --vrf 5 -10.1.0.0/16", note="a withdrawal")
    box.write("/run/prefixes2.txt", "10.2.0.0/16\n10.9.0.0/16\n")
    ctl("sync --vrf 5 --epoch 2 /run/prefixes2.txt", note="a resync that sweeps what was not repeated")

    if have_mesra:
        section("the routing suite crashes")
        mesractl("set", "frr_zebra", "state", "2", note="every VRF's prefixes become 0/0 and ::/0")
        mesractl("list")
    routing.stdin.close()
    routing.wait(timeout=10)
    time.sleep(0.2)
    seen = show_new(out, seen)

    section("the daemon's state dump (SIGUSR1)")
    start = box.syslog.count()
    daemon.send_signal(signal.SIGUSR1)
    box.syslog.wait_for(r"^--- end state dump ---", ident="tallowd", start=start)
    for line in box.syslog.lines()[start:]:
        if line.ident == "tallowd":
            print("  " + line.message)

    section("tallowd stops; without /var/run/tallowd.enable it withdraws everything from lldpd")
    daemon.send_signal(signal.SIGTERM)
    daemon.wait(timeout=10)
    lldpd.send_signal(signal.SIGTERM)
    lldpd.wait(timeout=10)
    seen = show_new(out, seen)

    section("the daemon's log")
    for line in box.syslog.lines():
        if line.ident == "tallowd":
            print(f"  {PRIORITY.get(line.priority, line.priority):7} {line.message}")
    section(f"tallowd exited with status {daemon.returncode}")


if __name__ == "__main__":
    main()
