"""systemd-analyze security of both units as installed, asked of the booted system's own manager."""

import re

import pytest

from layout import FIGURES, UNITS

LIMIT = 2.0


@pytest.mark.parametrize("unit", UNITS)
def test_exposure_within_limit(system, unit):
    r = system.run("systemd-analyze", "security", "--no-pager", unit, check=False)
    m = re.search(rf"Overall exposure level for {re.escape(unit)}: (\d+\.\d+) (\S+)", r.stdout)
    assert m, f"no overall exposure level for {unit} (status {r.returncode}):\n{r.stdout}\n{r.stderr}"
    FIGURES[unit] = f"{unit} {m.group(1)} {m.group(2)}"
    assert float(m.group(1)) <= LIMIT, f"{unit}: exposure {m.group(1)} over {LIMIT}:\n{r.stdout}"
