"""A Debian root booted with `systemd-nspawn -b` and driven through nsenter.

scripts/boot-test.sh gives the root (an overlay on the cached one) and has already put this process in
mount and PID namespaces of the run's own, with a fresh /run and cgroup2 on /sys/fs/cgroup. The
container has a network namespace of its own (--private-network): its links are made with `ip` inside.
"""

import json
import re
import subprocess
from pathlib import Path

import sandbox

NAME = "tarvik-boot"
ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8", "SYSTEMD_PAGER": "", "SYSTEMD_COLORS": "0",
       "TERM": "dumb"}
# systemd-nspawn's exit status when the container's systemd asks for a reboot.
REBOOT_STATUS = 133


def wait_value(what, predicate, timeout=20.0, interval=0.05):
    """Polls until predicate() gives a true value and returns it; a booted system is given longer."""
    return sandbox.wait_value(what, predicate, timeout, interval)


def leader_pids():
    """The processes of this PID namespace that are PID 1 of a namespace below it."""
    found = []
    for status in Path("/proc").glob("[0-9]*/status"):
        try:
            fields = dict(l.split(":", 1) for l in status.read_text().splitlines() if ":" in l)
        except OSError:
            continue
        nspid = fields.get("NSpid", "").split()
        if len(nspid) == 2 and nspid[1] == "1" and fields.get("Name", "").strip() == "systemd":
            found.append(int(nspid[0]))
    return found


class Container:
    def __init__(self, root, console):
        self.root = Path(root)
        self.console = Path(console)
        self.proc = None
        self.leader = None

    def _nspawn(self, *args):
        return ["systemd-nspawn", "--quiet", "--register=no", "--directory", str(self.root), "--machine", NAME,
                "--keep-unit", "--private-network", *args]

    # --- before boot ----------------------------------------------------------------------------
    def prepare(self, argv, binds=(), timeout=300):
        """Runs one command in the root, not booted (package installation)."""
        r = subprocess.run(self._nspawn(*(f"--bind-ro={b}" for b in binds), "--", *argv), env=ENV,
                           capture_output=True, text=True, timeout=timeout)
        assert r.returncode == 0, f"{argv}: status {r.returncode}\n{r.stdout}\n{r.stderr}"
        return r

    def write(self, path, text, mode=0o644):
        """Writes a file of the container's file system (through the overlay, so at once visible inside)."""
        p = self.root / path.lstrip("/")
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(text)
        p.chmod(mode)

    def remove(self, path):
        p = self.root / path.lstrip("/")
        if p.exists():
            p.unlink()

    # --- boot, reboot, power off ----------------------------------------------------------------
    def boot(self):
        with open(self.console, "ab") as console:
            self.proc = subprocess.Popen(self._nspawn("--boot"), stdin=subprocess.DEVNULL, stdout=console,
                                         stderr=subprocess.STDOUT, env=ENV)
        self.leader = wait_value("the container's systemd running as its PID 1", self._new_leader, timeout=30)
        wait_value("the container's systemd listening", lambda: self._new_leader() and self.run(
            "test", "-S", "/run/systemd/private", check=False).returncode == 0, timeout=30)
        r = self.run("systemctl", "is-system-running", "--wait", check=False, timeout=120)
        state = r.stdout.strip()
        assert state in ("running", "degraded"), \
            f"container did not boot: {state!r} (status {r.returncode}) {r.stderr}\n{self.console_tail()}"
        return state

    def _new_leader(self):
        if self.proc.poll() is not None:
            raise AssertionError(f"systemd-nspawn exited with {self.proc.returncode}\n{self.console_tail()}")
        pids = leader_pids()
        return pids[0] if len(pids) == 1 else None

    def reboot(self):
        self.run("systemctl", "reboot", check=False)
        status = self.proc.wait(timeout=90)
        assert status == REBOOT_STATUS, f"systemd-nspawn exited with {status} on a reboot\n{self.console_tail()}"
        return self.boot()

    def poweroff(self):
        """Stops the container: a clean power-off, else nspawn's own termination, else SIGKILL."""
        if self.proc is None or self.proc.poll() is not None:
            return
        self.run("systemctl", "poweroff", check=False, timeout=10)
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def console_tail(self, lines=60):
        try:
            return "\n".join(self.console.read_text(errors="replace").splitlines()[-lines:])
        except OSError:
            return ""

    # --- inside the booted system ---------------------------------------------------------------
    def argv(self, argv):
        return ["nsenter", "--target", str(self.leader), "--mount", "--uts", "--ipc", "--net", "--pid", "--cgroup",
                "--root", "--wd", "--", *map(str, argv)]

    def run(self, *argv, check=True, input=None, timeout=60):
        r = subprocess.run(self.argv(argv), env=ENV, capture_output=True, text=True, input=input, timeout=timeout)
        if check:
            assert r.returncode == 0, f"in the container: {' '.join(map(str, argv))}: status {r.returncode}\n" \
                                      f"{r.stdout}\n{r.stderr}"
        return r

    def spawn(self, *argv, **kw):
        return subprocess.Popen(self.argv(argv), env=ENV, **kw)

    def systemctl(self, *args, check=True):
        return self.run("systemctl", "--no-ask-password", *args, check=check)

    def prop(self, unit, name):
        return self.systemctl("show", "-P", name, unit).stdout.strip()

    def wait_state(self, unit, states, timeout=20.0):
        states = (states,) if isinstance(states, str) else states
        last = []

        def reached():
            last[:] = [self.prop(unit, "ActiveState")]
            return last[0] in states
        try:
            wait_value(f"{unit} in state {'/'.join(states)}", reached, timeout)
        except AssertionError as e:
            raise AssertionError(f"{e} (last: {last[0]})\n{self.journal(unit)}") from None

    # --- the journal ------------------------------------------------------------------------------
    def cursor(self):
        """The journal's position now; journal(after=...) then gives only what came later."""
        out = self.run("journalctl", "--no-pager", "-n", "0", "--show-cursor").stdout
        m = re.search(r"^-- cursor: (\S+)", out, re.M)
        return m.group(1) if m else None

    def journal(self, unit=None, after=None, output="cat"):
        """The messages of this boot (after the cursor `after`), of one unit: its processes' and systemd's
        about it. The unit is matched here, not with journalctl -u: journalctl drops the first match after
        a cursor that itself does not match."""
        argv = ["journalctl", "--no-pager", "-b", "0", "-o", "json" if unit else output]
        if after:
            argv += ["--after-cursor", after]
        out = self.run(*argv, check=False).stdout
        if not unit:
            return out
        lines = []
        for line in out.splitlines():
            e = json.loads(line)
            if unit in (e.get("_SYSTEMD_UNIT"), e.get("UNIT")):
                m = e.get("MESSAGE", "")
                lines.append(bytes(m).decode(errors="replace") if isinstance(m, list) else m)
        return "".join(l + "\n" for l in lines)

    def wait_log(self, unit, pattern, after=None, timeout=20.0):
        rx = re.compile(pattern, re.M)
        try:
            return wait_value(f"{unit}: a journal line {pattern!r}",
                              lambda: rx.search(self.journal(unit, after)), timeout, interval=0.2)
        except AssertionError as e:
            raise AssertionError(f"{e}\n--- journal of {unit} after {after}:\n{self.journal(unit, after)}\n"
                                 f"--- all of it:\n{self.journal(unit)}") from None

    def read(self, path):
        return self.run("cat", path).stdout

    def json_lines(self, path):
        r = self.run("cat", path, check=False)
        return [json.loads(l) for l in r.stdout.splitlines() if l.strip()] if r.returncode == 0 else []
