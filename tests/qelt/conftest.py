"""Fixture of the qelt black-box tests."""

import pytest

from qelt_env import Hft


@pytest.fixture
def hft(sandbox):
    return Hft(sandbox)

