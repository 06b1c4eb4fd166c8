"""The Debian packages, installed with dpkg into the sandbox (with /var a throwaway overlay as well):
what each delivers works from its installed place, and removal and purge take it all away again.

Runs on the packages that scripts/build-deb.sh left in TARVIK_DEB_DIR; skipped without them.
"""

import os
import signal
import stat
import subprocess
from pathlib import Path

import pytest

from sandbox import _mount

DEB_DIR = os.environ.get("TARVIK_DEB_DIR")
pytestmark = pytest.mark.skipif(not DEB_DIR, reason="TARVIK_DEB_DIR names no built packages")

STANDINS = "tarvik-standins"
CONFFILE = Path("/etc/tarvik/tallowd.conf")
C_PROGRAM = r"""
#include <stdio.h>
#include <tallowd.h>
int main(void)
{
    tallowd_handle h;
    if (tallowd_init(&h, NULL) != TALLOWD_OK)
        return 1;
    puts(tallowd_strerror(TALLOWD_ERR_FULL));
    return tallowd_connect(&h) == TALLOWD_ERR_CONN ? 0 : 1;
}
"""


def debs():
    return sorted(Path(DEB_DIR).glob("*.deb"))


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", str(deb), name], check=True, capture_output=True,
                          text=True).stdout.strip()


def is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def run_ok(box, argv, **kw):
    r = box.run(argv, **kw)
    assert r.returncode == 0, f"{argv}: {r.returncode}\nstdout:\n{r.stdout}\nstderr:\n{r.stderr}"
    return r


@pytest.fixture
def installed(sandbox):
    """Installs every built package into the sandbox; /var becomes an overlay first, so that dpkg's
    database and the maintainer scripts' state stay inside it."""
    base = Path(sandbox._base)
    for d in ("var.upper", "var.work"):
        (base / d).mkdir()
    _mount("overlay", "/var", "overlay", 0, f"lowerdir=/var,upperdir={base}/var.upper,workdir={base}/var.work")
    # The machine's groups stay (dpkg's statoverride names some), but not its frr: the first frr line wins.
    groups = [g for g in Path("/etc/group").read_text().splitlines() if not g.startswith("frr:")]
    Path("/etc/group").write_text("\n".join(groups + ["frr:x:300:"]) + "\n")
    packages = {field(d, "Package"): d for d in debs()}
    run_ok(sandbox, ["dpkg", "-i", *map(str, packages.values())], timeout=300)
    conffiles = run_ok(sandbox, ["dpkg-query", "-W", "-f", "${Conffiles}\n", *packages]).stdout.split()
    sandbox.conffiles = sorted(p for p in conffiles if p.startswith("/"))
    files = {}
    for name in packages:
        listed = run_ok(sandbox, ["dpkg-query", "-L", name]).stdout.split()
        files[name] = [p for p in listed if not os.path.isdir(p)]
    sandbox.packages = packages
    sandbox.files = files
    return sandbox


def test_no_package_depends_on_the_standins():
    assert debs(), f"no packages in {DEB_DIR}"
    for deb in debs():
        for rel in ("Depends", "Pre-Depends", "Recommends"):
            assert STANDINS not in field(deb, rel), f"{deb.name} {rel}"


def test_installed_packages_work(installed):
    box = installed

    # The daemon under its unit's confinement as far as it can be had without systemd: the system
    # read-only but /run, no capability but CAP_CHOWN, no new privileges. It still hands its socket
    # to group frr, follows links, reaches lldpd and the state service, writes its dump and stops.
    os.makedirs("/run/mesra")
    lldpd = box.spawn(["/usr/libexec/tarvik-platform/lldpd-standin"], stdout=subprocess.DEVNULL)
    box.wait_for_path("/var/run/lldpd.socket")
    for d in ("/usr", "/etc", "/var"):
        run_ok(box, ["mount", "-o", "remount,bind,ro", d])
    daemon = box.spawn(["setpriv", "--bounding-set=-all,+chown", "--inh-caps=-all", "--no-new-privs",
                        "/usr/sbin/tallowd"])
    for line in (r"^tallowd started, waiting for FRR connection on /var/run/tallowd\.sock$",
                 r"^netlink: listening for link events$", r"^mesra: published state=up$",
                 r"^lldp: connected to LLDPD \(fd=\d+\)$"):
        box.syslog.wait_for(line, timeout=10)
    st = os.stat("/var/run/tallowd.sock")
    assert stat.S_ISSOCK(st.st_mode) and st.st_uid == 0 and st.st_gid == 300
    assert stat.S_IMODE(st.st_mode) == 0o660
    daemon.send_signal(signal.SIGUSR2)
    box.syslog.wait_for(r"^Full state dumped to /var/run/tallowd-dump\.txt$")
    assert Path("/var/run/tallowd-dump.txt").read_text().startswith("tallowd state dump at ")
    assert box.stop(daemon, signal.SIGTERM) == 0
    box.syslog.wait_for(r"^tallowd stopped$")
    assert not os.path.exists("/var/run/tallowd.sock")
    assert box.syslog.messages(ident="tallowd", priority=3) == []
    box.stop(lldpd)
    for d in ("/usr", "/etc", "/var"):
        run_ok(box, ["mount", "-o", "remount,bind,rw", d])

    # loginmotd keeps its set-user-id bit and runs the script as root for an ordinary caller.
    st = os.stat("/usr/bin/loginmotd")
    assert st.st_uid == 0 and st.st_mode & stat.S_ISUID
    r = run_ok(box, ["/usr/bin/loginmotd", "5"], uid=65534, gid=65534)
    assert "arg=5" in r.stdout.splitlines() and "euid=0" in r.stdout.splitlines(), r.stdout

    # The module imports with the system interpreter, outside the source tree.
    r = run_ok(box, ["/usr/bin/python3", "-c", "import flarix; print(flarix.__file__)"], cwd="/")
    assert r.stdout.startswith("/usr/lib/python3/dist-packages/flarix.")

    # A C program builds against the installed library through pkg-config and runs with it.
    flags = run_ok(box, ["pkg-config", "--cflags", "--libs", "libtallowd"]).stdout.split()
    assert "-ltallowd" in flags
    box.write("/tmp/client.c", C_PROGRAM)
    run_ok(box, ["cc", "-Wall", "-Werror", "-o", "/tmp/client", "/tmp/client.c", *flags])
    assert run_ok(box, ["/tmp/client"]).stdout == "Socket full\n"

    r = run_ok(box, ["man", "tallowd"], env={"PATH": "/usr/bin:/bin", "MANPAGER": "cat", "MANWIDTH": "80"})
    assert "tallowd - unreachable-prefix relay daemon" in r.stdout

    # The confined units are well formed and within their exposure target.
    for name in ("tallowd", "tallowhost"):
        unit = f"/lib/systemd/system/{name}.service"
        r = run_ok(box, ["systemd-analyze", "verify", unit])
        assert name not in r.stdout + r.stderr, r.stdout + r.stderr
        run_ok(box, ["systemd-analyze", "security", "--offline=true", "--threshold=30", "--no-pager", unit])


def test_deliverables_are_hardened(installed):
    elves = sorted({os.path.realpath(p) for name, paths in installed.files.items() if name != STANDINS
                    for p in paths if is_elf(p)})
    assert "/usr/sbin/tallowd" in elves and "/usr/bin/loginmotd" in elves
    # Control-flow protection cannot show: the C library's start files of this release carry no
    # IBT marking, so the linker drops it from every program and library alike.
    r = installed.run(["hardening-check", "--nocfprotection", *elves])
    assert r.returncode == 0, r.stdout + r.stderr


def test_remove_keeps_only_the_conffiles_until_purge(installed):
    box = installed
    names = list(box.packages)
    run_ok(box, ["dpkg", "--remove", *names], timeout=300)
    assert str(CONFFILE) in box.conffiles
    left = sorted(p for paths in box.files.values() for p in paths if os.path.lexists(p))
    assert left == box.conffiles
    run_ok(box, ["dpkg", "--purge", *names], timeout=300)
    assert [p for p in box.conffiles if os.path.lexists(p)] == []
    assert not os.path.lexists(CONFFILE.parent)
    leftovers = [str(p) for p in Path("/etc/systemd/system").rglob("*tallow*")]
    assert leftovers == []
