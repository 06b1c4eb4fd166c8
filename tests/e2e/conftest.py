"""Fixtures of the end-to-end tests: two switches and the host below them."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tallowhost"))

import topology  # noqa: E402


@pytest.fixture
def fabric(sandbox):
    """(switch A, switch B, host): both switches up with their downlink in VRF 1, the host's agent running."""
    return topology.fabric(sandbox)
