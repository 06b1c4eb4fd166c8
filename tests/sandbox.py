"""Test sandbox: fresh mount, network and PID namespaces for one test.

The pytest process itself enters new mount and network namespaces for the duration of a test, so the
test reads and writes the components' fixed paths (/run, /etc, /usr, /dev/log) directly. /etc, /usr and
/dev are throwaway overlays, /run is a fresh tmpfs and /sys is remounted for the new network
namespace. Every process the test spawns lives in a fresh PID namespace whose init is killed at
teardown, which takes every process of the test with it. At teardown the test process returns to the
namespaces it came from; nothing outside changes.
"""

import ctypes
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

CLONE_NEWNS = 0x00020000
CLONE_NEWPID = 0x20000000
CLONE_NEWNET = 0x40000000
MS_RDONLY = 1
MS_NOSUID = 2
MS_BIND = 4096
MS_MOVE = 8192
MS_REC = 16384
MS_PRIVATE = 1 << 18

SOURCE = Path(__file__).resolve().parent.parent
HERE = Path(__file__).resolve().parent

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p]


def _check(rc, what):
    if rc != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"{what}: {os.strerror(err)}")


def _mount(source, target, fstype=None, flags=0, data=None):
    enc = lambda s: s.encode() if isinstance(s, str) else s
    _check(_libc.mount(enc(source), enc(target), enc(fstype), flags, enc(data)), f"mount {target}")


def _setns(fd, nstype):
    _check(_libc.setns(fd, nstype), "setns")


def wait_value(what, predicate, timeout=10.0, interval=0.005):
    """Polls until predicate() gives a true value and returns it; fails naming `what`."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not within {timeout:g} s")
        time.sleep(interval)


def default_prefix():
    return Path(os.environ.get("TARVIK_PREFIX", SOURCE / "build" / "stage")).resolve()


@dataclass
class LogLine:
    priority: int
    facility: int
    ident: str
    pid: int | None
    message: str

    def __str__(self):
        pid = f"[{self.pid}]" if self.pid is not None else ""
        return f"<{self.facility * 8 + self.priority}> {self.ident}{pid}: {self.message}"


class Syslog:
    """Reads what the catcher process recorded from /dev/log."""

    def __init__(self, record_path):
        self._path = record_path

    def lines(self):
        try:
            raw = self._path.read_text(errors="replace")
        except FileNotFoundError:
            return []
        out = []
        for row in raw.splitlines():
            try:
                rec = json.loads(row)
            except ValueError:
                continue  # a line still being written
            out.append(LogLine(**rec))
        return out

    def messages(self, ident=None, priority=None):
        return [l.message for l in self.lines()
                if (ident is None or l.ident == ident) and (priority is None or l.priority == priority)]

    def text(self):
        return "\n".join(str(l) for l in self.lines())

    def wait_for(self, pattern, timeout=5.0, ident=None, start=0):
        """Waits for a line matching the regex, among lines from index `start` on."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            for line in self.lines()[start:]:
                if (ident is None or line.ident == ident) and rx.search(line.message):
                    return line
            if time.monotonic() > deadline:
                raise AssertionError(f"no log line matching {pattern!r} within {timeout}s; log:\n{self.text()}")
            time.sleep(0.01)

    def count(self):
        return len(self.lines())

    def sync(self, timeout=5.0):
        """Returns once every line sent to /dev/log before the call has been recorded: the catcher
        takes datagrams in the order they were sent, so a marker of our own comes after them."""
        self._syncs = getattr(self, "_syncs", 0) + 1
        token = f"sync {os.getpid()} {self._syncs}"
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(f"<15>sandbox-sync: {token}".encode(), "/dev/log")
        self.wait_for(f"^{token}$", timeout=timeout, ident="sandbox-sync")


class Sandbox:
    def __init__(self):
        self.prefix = default_prefix()
        self.source = SOURCE
        self._procs = []
        self._init = None
        self._base = None
        self._saved = None

    # --- entering and leaving ---------------------------------------------------------------
    def enter(self):
        self._saved = {name: os.open(f"/proc/self/ns/{name}", os.O_RDONLY) for name in ("mnt", "net", "pid")}
        self._cwd = os.getcwd()
        self._base = Path(tempfile.mkdtemp(prefix="tarvik-sandbox-"))
        _check(_libc.unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID), "unshare")
        _mount("none", "/", None, MS_REC | MS_PRIVATE)
        _mount("tmpfs", str(self._base), "tmpfs", 0, "mode=0755")
        for d in ("etc", "usr", "dev"):
            upper, work = self._base / f"{d}.upper", self._base / f"{d}.work"
            upper.mkdir()
            work.mkdir()
            if d == "dev":
                # The overlay hides the submounts of /dev; keep pts and shm by moving them across.
                for sub in ("pts", "shm"):
                    keep = self._base / f"dev.{sub}"
                    keep.mkdir()
                    if os.path.ismount(f"/dev/{sub}"):
                        _mount(f"/dev/{sub}", str(keep), None, MS_BIND | MS_REC)
            _mount("overlay", f"/{d}", "overlay", 0,
                   f"lowerdir=/{d},upperdir={upper},workdir={work}")
        for sub in ("pts", "shm"):
            keep = self._base / f"dev.{sub}"
            if os.path.ismount(keep):
                _mount(str(keep), f"/dev/{sub}", None, MS_MOVE)
        _mount("tmpfs", "/run", "tmpfs", 0, "mode=0755")
        _mount("sysfs", "/sys", "sysfs", 0)
        # The first child becomes init of the new PID namespace; while it lives, the namespace lives.
        # It mounts a /proc of that namespace, so that the processes of the test see their own
        # process ids there (the sanitizers' leak checker reads /proc/<own pid>).
        self._init = subprocess.Popen(["/bin/sh", "-c", "mount -n -t proc -o nosuid,nodev,noexec proc /proc && "
                                       "exec /bin/sleep infinity"], stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not self._proc_is_private():
            if self._init.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("sandbox: could not mount /proc for the PID namespace")
            time.sleep(0.002)
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        try:
            Path("/proc/sys/net/unix/max_dgram_qlen").write_text("1024")
        except OSError:
            pass
        self._start_syslog()
        return self

    def __enter__(self):
        return self.enter()

    def __exit__(self, *exc):
        self.leave()

    @staticmethod
    def _proc_is_private():
        try:
            return Path("/proc/1/comm").read_text() == "sleep\n"
        except OSError:
            return False

    def _start_syslog(self):
        record = self._base / "syslog.jsonl"
        self.syslog = Syslog(record)
        try:
            os.unlink("/dev/log")
        except FileNotFoundError:
            pass
        self._catcher = subprocess.Popen([sys.executable, str(HERE / "syslog_catcher.py"), "/dev/log", str(record)],
                                         stdin=subprocess.DEVNULL)
        self.wait_for_path("/dev/log", 10)

    def leave(self):
        # Killing init kills every process left in the PID namespace, but init finishes exiting only
        # once all of them have been reaped: reap the ones we know first, then any other child of ours.
        for p in self._procs + [self._catcher]:
            try:
                p.kill()
            except ProcessLookupError:
                pass
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if self._init is not None:
            self._init.kill()
            deadline = time.monotonic() + 20
            while self._init.poll() is None and time.monotonic() < deadline:
                try:
                    os.waitpid(-1, os.WNOHANG)
                except ChildProcessError:
                    pass
                time.sleep(0.01)
        _setns(self._saved["net"], CLONE_NEWNET)
        _setns(self._saved["mnt"], CLONE_NEWNS)
        _setns(self._saved["pid"], CLONE_NEWPID)
        for fd in self._saved.values():
            os.close(fd)
        os.chdir(self._cwd)
        shutil.rmtree(self._base, ignore_errors=True)

    # --- files ---------------------------------------------------------------------------------
    def write(self, path, data, mode=0o644):
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(data, str):
            data = data.encode()
        path.write_bytes(data)
        os.chmod(path, mode)
        return path

    def install(self, src, dest, mode=0o755):
        dest = Path(dest)
        dest.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(src, dest)
        os.chmod(dest, mode)
        return dest

    def set_groups(self, frr=True):
        lines = ["root:x:0:"]
        if frr:
            lines.append("frr:x:300:")
        self.write("/etc/group", "\n".join(lines) + "\n")

    def add_user(self, name, uid, gid=None):
        gid = uid if gid is None else gid
        with open("/etc/passwd", "a") as f:
            f.write(f"{name}:x:{uid}:{gid}::/nonexistent:/usr/sbin/nologin\n")
        with open("/etc/group", "a") as f:
            f.write(f"{name}:x:{gid}:\n")

    def wait_for_path(self, path, timeout=5.0):
        deadline = time.monotonic() + timeout
        while not os.path.exists(path):
            if time.monotonic() > deadline:
                raise AssertionError(f"{path} did not appear within {timeout}s")
            time.sleep(0.005)

    # --- processes -----------------------------------------------------------------------------
    def spawn(self, argv, env=None, uid=None, gid=None, cwd=None, stdout=subprocess.PIPE,
              stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, **kw):
        argv = [str(a) for a in argv]
        extra = {}
        if uid is not None:
            extra["user"] = uid
            extra["group"] = gid if gid is not None else uid
            extra["extra_groups"] = []
        p = subprocess.Popen(argv, env=env if env is not None else self._default_env(), cwd=cwd,
                             stdout=stdout, stderr=stderr, stdin=stdin, **extra, **kw)
        self._procs.append(p)
        return p

    def run(self, argv, env=None, uid=None, gid=None, cwd=None, input=None, timeout=60):
        stdin = subprocess.PIPE if input is not None else subprocess.DEVNULL
        p = self.spawn(argv, env=env, uid=uid, gid=gid, cwd=cwd, stdin=stdin, text=True)
        try:
            out, err = p.communicate(input=input, timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            out, err = p.communicate()
            raise AssertionError(f"{argv} did not finish within {timeout}s\nstdout:\n{out}\nstderr:\n{err}")
        return subprocess.CompletedProcess(p.args, p.returncode, out, err)

    def stop(self, proc, sig=signal.SIGTERM, timeout=10):
        """Sends a signal to a spawned process and returns its exit status."""
        proc.send_signal(sig)
        return proc.wait(timeout=timeout)

    @staticmethod
    def _default_env():
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]
        return env

    # --- network -------------------------------------------------------------------------------
    def add_veth(self, a, b, mtu=1500):
        subprocess.run(["ip", "link", "add", a, "mtu", str(mtu), "type", "veth", "peer", "name", b, "mtu", str(mtu)],
                       check=True)
        for name in (a, b):
            subprocess.run(["ip", "link", "set", name, "up"], check=True)
        return self.ifindex(a), self.ifindex(b)

    def set_mtu(self, name, mtu):
        subprocess.run(["ip", "link", "set", name, "mtu", str(mtu)], check=True)

    @staticmethod
    def ifindex(name):
        return int(Path(f"/sys/class/net/{name}/ifindex").read_text())
