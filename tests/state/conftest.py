"""Fixtures for the service-state, MTU monitor and dump tests: the daemon with the state service's
directory store and the lldpd stand-in."""

import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "relay"))

from state_helpers import Store, start  # noqa: E402


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    rep = outcome.get_result()
    if rep.failed:
        setup = getattr(item, "_state_setup", None)
        if setup is not None:
            rep.sections.append(("tallowd log", "\n".join(str(l) for l in setup.sandbox.syslog.lines())[-20000:]))
            rep.sections.append(("lldpd stand-in output", setup.lldpd.output()[-10000:]))
            rep.sections.append(("state store", setup.store.listing()))


@pytest.fixture
def relay_up(sandbox, request):
    """The store directory, the lldpd stand-in and the daemon connected to it, plus a client."""
    s = start(sandbox)
    request.node._state_setup = s
    yield s
    s.close()
