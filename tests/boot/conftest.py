"""The booted system for the checks of this folder: run only through scripts/boot-test.sh, which names the
root in TARVIK_BOOT_ROOT and the packages in TARVIK_BOOT_DEBS; skipped anywhere else.

One container for the session: the packages installed with apt-get, a unit of its own for the lldpd
stand-in, then booted. The units are checked twice (the `mode` fixture): as shipped, and strict, where a
drop-in empties SystemCallErrorNumber= so that a filtered system call kills the process.
"""

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from container import Container  # noqa: E402
from layout import (FIGURES, HOST_IF, HOST_V4, HOST_V6, LLDPD_UNIT, SHIPPED_HOST_OPTIONS,  # noqa: E402
                    SHOW_MEMBER, SHOW_OUTSIDER, STRICT, SWITCH_IF, SWITCH_V4, SWITCH_V6, UNITS)

ROOT = os.environ.get("TARVIK_BOOT_ROOT")
DEBS = os.environ.get("TARVIK_BOOT_DEBS")
RUN = os.environ.get("TARVIK_BOOT_RUN")
PACKAGES = os.environ.get("TARVIK_BOOT_PACKAGES", "").split()

def pytest_collection_modifyitems(config, items):
    if ROOT:
        return
    skip = pytest.mark.skip(reason="run through scripts/boot-test.sh (TARVIK_BOOT_ROOT names no root)")
    for item in items:
        if Path(str(item.fspath)).parent == Path(__file__).parent:
            item.add_marker(skip)


def pytest_terminal_summary(terminalreporter):
    for unit, line in FIGURES.items():
        terminalreporter.write_line(f"exposure inside the booted system: {line}")


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    rep = outcome.get_result()
    box = item.funcargs.get("system") if rep.failed else None
    if box is not None and box.leader:
        rep.sections.append(("container journal (last 150 lines)",
                             "\n".join(box.journal(output="short-monotonic").splitlines()[-150:])))


def add_links(box):
    box.run("ip", "link", "add", SWITCH_IF, "type", "veth", "peer", "name", HOST_IF)
    for dev, v4, v6 in ((SWITCH_IF, SWITCH_V4, SWITCH_V6), (HOST_IF, HOST_V4, HOST_V6)):
        box.run("ip", "addr", "add", f"{v4}/30", "dev", dev)
        box.run("ip", "-6", "addr", "add", f"{v6}/64", "dev", dev, "nodad")
        box.run("ip", "link", "set", dev, "up")


@pytest.fixture(scope="session")
def system():
    box = Container(ROOT, Path(RUN) / "console.log")
    debs = sorted(p.name for name in PACKAGES for p in Path(DEBS).glob(f"{name}_*.deb"))
    # On a switch the routing suite's package makes group frr, which tallowd hands its socket to; the
    # tallowhost package makes group tallowhost, whose members may ask the agent.
    box.prepare(["sh", "-c", "groupadd --system frr && cd /debs && "
                 f"apt-get install -y --no-install-recommends {' '.join('./' + d for d in debs)} && "
                 f"useradd --system --groups tallowhost {SHOW_MEMBER} && useradd --system {SHOW_OUTSIDER}"],
                binds=[f"{DEBS}:/debs"])
    box.write("/etc/systemd/system/lldpd.service", LLDPD_UNIT)
    # The state service's store, which the stand-in libraries keep under /run.
    box.write("/etc/tmpfiles.d/mesra.conf", "d /run/mesra 0755 root root -\n")
    box.boot()
    add_links(box)
    try:
        yield box
    finally:
        box.poweroff()


@pytest.fixture(scope="module", params=["shipped", "strict"])
def mode(request, system):
    """The units as shipped, or strict; every service stopped and the configuration as installed before."""
    for unit in ("tallowhost.service", "tallowd.service", "lldpd.service"):
        system.systemctl("stop", unit)
    system.systemctl("reset-failed", check=False)
    for unit in UNITS:
        path = f"/etc/systemd/system/{unit}.d/strict.conf"
        if request.param == "strict":
            system.write(path, STRICT)
        else:
            system.remove(path)
    system.write("/etc/default/tallowhost", SHIPPED_HOST_OPTIONS)
    system.systemctl("daemon-reload")
    # systemd shows the errno as a number: 1 is EPERM, 2147483646 its mark for none, so that a filtered
    # call kills the process.
    want = ("2147483646", "kill", "") if request.param == "strict" else ("1",)
    for unit in UNITS:
        got = system.prop(unit, "SystemCallErrorNumber")
        assert got in want, f"{unit} ({request.param}): SystemCallErrorNumber={got!r}"
    system.mode_start = system.cursor()
    yield request.param
