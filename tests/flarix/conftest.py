"""Fixtures of the flarix tests: the installed module, fake ports and assemblers."""

import sys
from pathlib import Path

import pytest

from sandbox import default_prefix

PREFIX = default_prefix()
sys.path.insert(0, str(PREFIX / "lib" / "python3" / "dist-packages"))

import flarix as _flarix  # noqa: E402

PULSOR = PREFIX / "libexec" / "tarvik-platform" / "pulsor"


@pytest.fixture
def flarix():
    return _flarix


@pytest.fixture(autouse=True)
def fresh_call_list():
    # call_list is shared by every controller in the process; start each test without entries.
    _flarix.BCMLEDController.call_list.clear()
    yield
    _flarix.BCMLEDController.call_list.clear()


@pytest.fixture
def make_controller(flarix):
    def make(cls=None, num_leds=8, **attrs):
        c = (cls or flarix.TridentTwoLEDController)()
        c.num_leds = num_leds
        for k, v in attrs.items():
            setattr(c, k, v)
        return c
    return make
