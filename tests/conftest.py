"""Shared pytest fixtures: the namespace sandbox of sandbox.py."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from sandbox import Sandbox  # noqa: E402


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    rep = outcome.get_result()
    if not rep.failed:
        return
    box = getattr(item, "_tarvik_sandbox", None)
    if box is not None:
        rep.sections.append(("sandbox syslog", box.syslog.text()))
    # Fixtures name what else a failing test's report shows: (title, function giving the text).
    for title, text in getattr(item, "_failure_sections", ()):
        rep.sections.append((title, text()))


@pytest.fixture
def sandbox(request):
    box = Sandbox().enter()
    request.node._tarvik_sandbox = box
    try:
        yield box
    finally:
        box.leave()
