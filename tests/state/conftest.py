"""Fixtures for the service-state, MTU monitor and dump tests: the daemon with the state service's
directory store and the lldpd stand-in."""

import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "relay"))

from state_helpers import Store, start  # noqa: E402


@pytest.fixture
def relay_up(sandbox, request):
    """The store directory, the lldpd stand-in and the daemon connected to it, plus a client."""
    s = start(sandbox)
    request.node._failure_sections = [
        ("lldpd stand-in output", lambda: s.lldpd.output()[-10000:]),
        ("state store", s.store.listing),
    ]
    yield s
    s.close()
