"""Sequences the host agent's model checker (tests/model/host_checker.py) found the agent wrong on,
shrunk, kept as they were printed: each runs in a fresh sandbox and must agree with the model at every
quiet point."""

import json
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "model"))

from host_checker import run_sequence  # noqa: E402

CASES = [
    # (seed, case as the checker printed it)
    # A route of the agent replaced by someone else (here with a blackhole), and a route of its
    # protocol added that it does not want: the agent saw only removals and kept both.
    (201, '{"letters": "ab", "steps": [["delta", "a", 0, ["10.9.0.0/16", "2001:db8:1001::/48"], []], '
          '["delroute", "different"], ["delroute", "unwanted"]]}'),
]


@pytest.mark.parametrize("seed,case", CASES, ids=[str(c[0]) for c in CASES])
def test_agent_agrees_with_the_model(sandbox, seed, case):
    run_sequence(sandbox, json.loads(case))
