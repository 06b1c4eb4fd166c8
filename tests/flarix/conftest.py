"""Fixtures of the flarix tests: the installed module, fake ports and assemblers."""

import subprocess
import sys

import pytest

from flarix_helpers import PREFIX, PULSOR

sys.path.insert(0, str(PREFIX / "lib" / "python3" / "dist-packages"))

import flarix as _flarix  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line("markers", "unassembled: the test's programs are not meant to assemble")


@pytest.fixture
def flarix():
    return _flarix


@pytest.fixture(autouse=True)
def fresh_call_list():
    # call_list is shared by every controller in the process; start each test without entries.
    _flarix.BCMLEDController.call_list.clear()
    yield
    _flarix.BCMLEDController.call_list.clear()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    if call.when == "call":
        item.flarix_failed = outcome.get_result().failed


@pytest.fixture
def make_controller(flarix, request, tmp_path_factory):
    """Makes controllers; after the test, every program one of them was configured for must
    assemble with the pulsor stand-in (unless the test is marked unassembled)."""
    made = []

    def make(cls=None, num_leds=8, **attrs):
        c = (cls or flarix.TridentTwoLEDController)()
        c.num_leds = num_leds
        for k, v in attrs.items():
            setattr(c, k, v)
        made.append(c)
        return c

    yield make
    if getattr(request.node, "flarix_failed", True) or request.node.get_closest_marker("unassembled"):
        return
    work = tmp_path_factory.mktemp("assembled")
    for n, c in enumerate(made):
        try:
            program = c.asm
        except Exception:
            continue
        if not c.set_calls:
            continue
        source = work / f"c{n}"
        source.with_suffix(".asm").write_text(program)
        run = subprocess.run([str(PULSOR), str(source)], capture_output=True, text=True)
        assert run.returncode == 0, f"generated program does not assemble:\n{run.stderr}"


@pytest.fixture
def pulsor_box(sandbox):
    """The sandbox with the pulsor stand-in at its fixed path."""
    sandbox.install(PULSOR, "/usr/lib/tarvik/pulsor")
    yield sandbox
