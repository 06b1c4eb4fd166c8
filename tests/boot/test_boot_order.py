"""Enabled, tallowd.service comes up at boot after lldpd.service and connects to it."""

from layout import UNITS

UNIT = "tallowd.service"


def test_enabled_it_comes_up_at_boot_after_lldpd(system):
    for unit in UNITS:
        system.remove(f"/etc/systemd/system/{unit}.d/strict.conf")
    system.systemctl("enable", "lldpd.service", UNIT)
    system.reboot()
    system.wait_state(UNIT, "active")
    system.wait_log(UNIT, r"^lldp: connected to LLDPD")
    lldpd_up = int(system.prop("lldpd.service", "ActiveEnterTimestampMonotonic"))
    started = int(system.prop(UNIT, "ExecMainStartTimestampMonotonic"))
    assert lldpd_up and started >= lldpd_up, \
        f"tallowd started at {started} us, before lldpd was up at {lldpd_up} us\n{system.journal()}"
    assert system.prop(UNIT, "NRestarts") == "0"
