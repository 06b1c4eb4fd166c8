"""Fixtures for the host agent's black-box tests: two uplinks (ha/sa, hb/sb) and the agent on them."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from host_helpers import add_uplinks, start_agent  # noqa: E402


@pytest.fixture
def uplinks(sandbox):
    """(--uplink arguments, senders) for uplinks a and b."""
    return add_uplinks(sandbox, "ab")


@pytest.fixture
def agent(sandbox, uplinks):
    """(agent, senders), the agent started on uplinks a and b with the default table and priority."""
    args, senders = uplinks
    a = start_agent(sandbox, args)
    yield a, senders
    if a.proc.poll() is None:
        a.stop()
