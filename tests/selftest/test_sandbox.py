"""The sandbox keeps every change inside its namespaces."""

import hashlib
import os
from pathlib import Path

from sandbox import Sandbox

# Host paths a sandboxed test writes to through its private views.
WATCHED = ["/etc/tarvik", "/etc/tarvik/tallowd.conf", "/etc/group", "/etc/passwd", "/run/marker", "/dev/log",
           "/sys/class/net/leak0"]


def _host_state():
    """How each watched path looks on the host: its type, identity and content, or None when absent."""
    state = {}
    for path in WATCHED:
        p = Path(path)
        try:
            st = p.lstat()
        except FileNotFoundError:
            state[path] = None
            continue
        digest = hashlib.sha256(p.read_bytes()).hexdigest() if p.is_file() and not p.is_symlink() else None
        state[path] = (st.st_mode, st.st_ino, st.st_dev, digest)
    return state


def test_fixed_paths_are_private(sandbox):
    sandbox.write("/etc/tarvik/tallowd.conf", "max-unreachable-prefix 10\n")
    sandbox.write("/run/marker", "x")
    assert Path("/etc/tarvik/tallowd.conf").exists()
    assert os.listdir("/run") == ["marker"]
    assert sorted(os.listdir("/sys/class/net")) == ["lo"]


def test_nothing_leaks_out():
    before = _host_state()
    box = Sandbox().enter()
    try:
        box.write("/etc/tarvik/tallowd.conf", "max-unreachable-prefix 10\n")
        box.write("/run/marker", "x")
        box.set_groups(frr=True)
        box.add_user("leaker", 1002)
        box.add_veth("leak0", "leak1")
        assert _host_state() != before
    finally:
        box.leave()
    assert _host_state() == before


def test_syslog_catcher_records_priority(sandbox):
    r = sandbox.run(["logger", "-p", "daemon.warning", "-t", "probe", "--id=42", "hello there"])
    assert r.returncode == 0, r.stderr
    line = sandbox.syslog.wait_for("hello there", ident="probe")
    assert (line.priority, line.facility, line.pid) == (4, 3, 42)


def test_processes_in_own_pid_namespace(sandbox):
    r = sandbox.run(["sh", "-c", "echo $$"])
    assert int(r.stdout) < 10  # low pid numbers of a fresh namespace


def test_veth_and_users(sandbox):
    a, b = sandbox.add_veth("dl0", "dl1", mtu=9000)
    assert Path("/sys/class/net/dl0/mtu").read_text().strip() == "9000"
    assert a != b
    sandbox.set_groups(frr=False)
    sandbox.add_user("alice", 1001)
    r = sandbox.run(["id", "-u"], uid=1001)
    assert r.stdout.strip() == "1001"


def test_proc_shows_the_sandbox_processes(sandbox):
    r = sandbox.run(["sh", "-c", "echo $$; ls /proc/$$/task"])
    pid, task = r.stdout.split()
    assert pid == task
