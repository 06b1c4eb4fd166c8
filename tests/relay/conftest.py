"""Fixtures for the relay's black-box tests: the daemon connected to the lldpd stand-in."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from relay_helpers import Client, relay  # noqa: E402


@pytest.fixture
def relayed(sandbox, request):
    """(daemon, stand-in), the daemon already connected to the stand-in; no northbound client."""
    daemon, lldpd = relay(sandbox)
    lldpd.show_on_failure(request)
    return daemon, lldpd


@pytest.fixture
def connected(relayed):
    """(daemon, stand-in, northbound client), the daemon already connected to the stand-in."""
    daemon, lldpd = relayed
    client = Client()
    yield daemon, lldpd, client
    client.close()
