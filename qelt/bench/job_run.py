#!/usr/bin/python3
"""Whole-run figures of the installed qelt, run by hand inside the test sandbox:

    tests/in_sandbox.sh /usr/bin/python3 qelt/bench/job_run.py PREFIX [SAMPLES...]

For each sample count: a job of 64 ports with tx, rx, tc_buff and 8 traffic classes against the SDK
stand-in; prints the wall time of the run and the peak resident set of the qelt process (VmHWM,
sampled until it exits, so tar and gzip are not counted)."""

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path


def peak_rss_kib(pid):
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return None


def main():
    prefix = Path(sys.argv[1]).resolve()
    counts = [int(a) for a in sys.argv[2:]] or [1000, 50000]
    Path("/usr/lib/tarvik").mkdir(parents=True, exist_ok=True)
    shutil.copy(prefix / "libexec/tarvik-platform/porquin", "/usr/lib/tarvik/porquin")
    Path("/etc/hostname").write_text("bench\n")
    for n in counts:
        shutil.rmtree("/var/run/tarvik", ignore_errors=True)
        args = [str(prefix / "bin/qelt"), "--port=all", "--tc=0,1,2,3,4,5,6,7", "--counter=tx,rx,tc_buff",
                "--interval=1000", f"--sample-count={n}"]
        start = time.monotonic()
        p = subprocess.Popen(args, env={"PATH": "/usr/bin:/bin"}, cwd="/run")
        peak = 0
        while p.poll() is None:
            v = peak_rss_kib(p.pid)
            if v:
                peak = max(peak, v)
            time.sleep(0.002)
        wall = time.monotonic() - start
        size = os.path.getsize("/var/run/tarvik/hft/hft_data.tar.gz") if p.returncode == 0 else 0
        print(f"samples={n} rc={p.returncode} wall={wall:.2f}s peak_rss={peak} KiB archive={size} bytes")


if __name__ == "__main__":
    main()
