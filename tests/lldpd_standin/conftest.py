"""Fixtures for the lldpd stand-in's own tests: a veth link whose switch end the stand-in sends on
and whose host end the test captures on."""

import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "relay"))

from standin_helpers import make_link  # noqa: E402


@pytest.fixture
def link(sandbox):
    """The veth pair sw0 (switch, MAC 02:00:00:00:00:01) and host0, MTU 1500, host0 captured."""
    lk = make_link(sandbox)
    yield lk
    lk.capture.close()
