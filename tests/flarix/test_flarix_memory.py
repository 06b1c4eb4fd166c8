"""Repeated configure/asm cycles leave the interpreter's memory flat."""

import gc
import os
import sys

from flarix_helpers import FakePort, routine


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


class QuietPort(FakePort):
    # Records nothing, so that the test itself holds no growing state.
    def set_leds(self, lport, sub, gang):
        return self.answers


def cycle(flarix, n):
    ports = [QuietPort(p, {p: ("p%d" % p, routine(str(p)), p), p + 20: None}) for p in range(1, 6)]
    for i in range(n):
        c = flarix.TridentTwoLEDController()
        c.num_leds = 40
        c.has_phys_id = bool(i & 1)
        c.configure(i % 4, ports)
        c.asm
        c.led_map(i % 4)
        c.led_memory_init_commands(i % 4)
        try:
            c._led_pad_call(5, 1, False)
        except RuntimeError:
            pass


def test_cycles_leave_memory_flat(flarix):
    cycle(flarix, 500)
    gc.collect()
    objects, blocks, rss = len(gc.get_objects()), sys.getallocatedblocks(), resident_kib()
    cycle(flarix, 10000)
    gc.collect()
    assert len(gc.get_objects()) - objects < 50
    assert sys.getallocatedblocks() - blocks < 1000
    # AddressSanitizer keeps freed memory in quarantine, so resident size says nothing under it.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert resident_kib() - rss < 1024
