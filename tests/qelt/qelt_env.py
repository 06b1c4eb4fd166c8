"""Helpers of the qelt black-box tests: the installed tool against the SDK stand-in, in the sandbox."""

import io
import json
import os
import socket
import tarfile
import time
from dataclasses import dataclass, field
from pathlib import Path

PORQUIN = "/usr/lib/tarvik/porquin"
HFT_DIR = Path("/var/run/tarvik/hft")
SIM_LOG = Path("/run/sx_sim.log")


def port_id(port, lane):
    """Logical id that the porquin stand-in gives swp<port>s<lane>."""
    return 65536 + port * 256 + lane


@dataclass
class Run:
    rc: int
    stdout: str
    stderr: str
    calls: list
    log: list = field(default_factory=list)

    def called(self, name, **args):
        """The SDK calls of that name whose logged fields match args."""
        return [c for c in self.calls if c["call"] == name and all(c.get(k) == v for k, v in args.items())]

    def sequence(self):
        """(call, cmd) of every call but the sample reads, in order."""
        return [(c["call"], c.get("cmd")) for c in self.calls if c["call"] != "sx_api_bulk_counter_transaction_get"]


class Hft:
    def __init__(self, sandbox):
        self.box = sandbox
        self.binary = str(sandbox.prefix / "bin/qelt")
        sandbox.install(sandbox.prefix / "libexec/tarvik-platform/porquin", PORQUIN)
        sandbox.write("/etc/hostname", "# switch name\nleaf1\n")
        HFT_DIR.mkdir(parents=True, exist_ok=True)

    def env(self, fail=None, events=None, **extra):
        env = dict(self.box._default_env())
        env["SX_SIM_LOG"] = str(SIM_LOG)
        if fail:
            env["SX_SIM_FAIL"] = fail
        if events:
            env["SX_SIM_EVENTS"] = events
        env.update({k: str(v) for k, v in extra.items()})
        return env

    # Arguments of a small, valid job.
    JOB = ("--port=swp1s0", "--tc=3", "--counter=tx,rx,tc_buff", "--interval=1000", "--sample-count=1")

    def porquin(self, text):
        """Replaces the port command by one that prints text."""
        self.box.write("/run/porquin.out", text)
        self.box.write(PORQUIN, "#!/bin/sh\ncat /run/porquin.out\n", mode=0o755)

    def run(self, *args, fail=None, events=None, cwd="/run", timeout=90, **extra):
        start = self.box.syslog.count()
        SIM_LOG.unlink(missing_ok=True)
        p = self.box.run([self.binary, *args], env=self.env(fail, events, **extra), cwd=cwd, timeout=timeout)
        self.sync_log()
        return Run(p.returncode, p.stdout, p.stderr, self.calls(), self.log(start))

    def sync_log(self):
        """Waits until the catcher has recorded every line sent so far: datagrams arrive in order, so a
        marker sent now comes after all of them."""
        self.marker = getattr(self, "marker", 0) + 1
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(f"<14>qelt-test: sync {self.marker}".encode(), "/dev/log")
        self.box.syslog.wait_for(f"^sync {self.marker}$", ident="qelt-test")

    def spawn(self, *args, fail=None, events=None, **extra):
        SIM_LOG.unlink(missing_ok=True)
        return self.box.spawn([self.binary, *args], env=self.env(fail, events, **extra), cwd="/run")

    def calls(self):
        if not SIM_LOG.exists():
            return []
        return [json.loads(line) for line in SIM_LOG.read_text().splitlines()]

    def log(self, start=0):
        return [l.message for l in self.box.syslog.lines()[start:] if l.ident == "qelt"]

    def wait_call(self, name, timeout=10, **args):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if Run(0, "", "", self.calls()).called(name, **args):
                return
            time.sleep(0.01)
        raise AssertionError(f"no {name} {args} in {self.calls()}")

    @staticmethod
    def archive():
        """Data files of the final archive: {data file name: text}, unpacked from the per-file archives."""
        out = {}
        with tarfile.open(HFT_DIR / "hft_data.tar.gz") as outer:
            for member in outer.getmembers():
                inner_bytes = outer.extractfile(member).read()
                with tarfile.open(fileobj=io.BytesIO(inner_bytes)) as inner:
                    for m in inner.getmembers():
                        out[m.name] = inner.extractfile(m).read().decode()
        return out

    @staticmethod
    def outer_names():
        with tarfile.open(HFT_DIR / "hft_data.tar.gz") as outer:
            return sorted(outer.getnames())

    @staticmethod
    def dir_names():
        return sorted(os.listdir(HFT_DIR))
