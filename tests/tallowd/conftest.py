"""Fixtures for the daemon's black-box tests."""

import pytest

from daemon_helpers import start_daemon


@pytest.fixture
def daemon(sandbox):
    d = start_daemon(sandbox)
    yield d
    if d.proc.poll() is None:
        d.stop()
