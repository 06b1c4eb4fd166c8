"""Fixtures of the flarix tests: the installed module, fake ports and assemblers."""

import sys

import pytest

from flarix_helpers import PREFIX, PULSOR

sys.path.insert(0, str(PREFIX / "lib" / "python3" / "dist-packages"))

import flarix as _flarix  # noqa: E402


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


@pytest.fixture
def pulsor_box(sandbox):
    """The sandbox with the pulsor stand-in at its fixed path."""
    sandbox.install(PULSOR, "/usr/lib/tarvik/pulsor")
    yield sandbox
    # Reap the syslog catcher before the sandbox kills the namespace's init: init waits for every
    # zombie of its namespace, and one whose parent (this process) waits for init never goes.
    sandbox._catcher.kill()
    sandbox._catcher.wait()
