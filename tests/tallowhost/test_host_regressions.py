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
    # An uplink's link deleted while the agent was held (SIGSTOP), so that it read the removal of the
    # link's addresses and of the link in one go: the deleted uplink's subnets stayed throw routes and
    # its gateways did not become ones. Seen first without holding (seed 801609246), where it depends
    # on how the notifications fall; reduced by hand to this.
    #   missing   throw 192.0.2.1/32
    #   unwanted  throw 192.0.2.0/30
    #   missing   throw 2001:db8:a::1/128
    #   unwanted  throw 2001:db8:a::/64
    (801609246, '{"letters": "ab", "steps": [["dellink", "a", false, true]]}'),
    # An uplink's link deleted and made again under its name while the agent was held, so that it read
    # both at once: it took the new link in ("present (index 9), taken in") but went on reading LLDP
    # from its socket on the deleted link, and nothing the neighbour on the new link sent was read.
    #   the agent's log: no line matching '^set: ha: delta of 0 added, 1 withdrawn, 1 changed' within 10.0 s
    (1, '{"letters": "ab", "steps": [["dellink", "a", true, true]]}'),
    # A neighbour's set, then its uplink's link deleted and made again while the agent was held: it
    # decided by the new link's state alone, found it up and kept the neighbour of the deleted link and
    # what it declared. Seen with seed 105014613 (a multi-frame set, then this); reduced by hand.
    #   unwanted  unicast 10.9.0.0/16 via 192.0.2.1 dev ha
    (105014613, '{"letters": "ab", "steps": [["set", "b", 1, ["10.9.0.0/16"], null], ["dellink", "b", true, true]]}'),
    # The same with the carrier lost and back while the agent was held: it logged "carrier lost" and
    # "up" but forgot nobody.
    #   unwanted  unicast 10.9.0.0/16 via 192.0.2.1 dev ha
    (2, '{"letters": "ab", "steps": [["set", "b", 1, ["10.9.0.0/16"], null], ["flap", "b", "carrier"]]}'),
    # The neighbour's stored set, sent again after a delta that withdrew 10.1.2.0/24, declared it again:
    # the step back.
    #   unwanted  unicast 10.1.2.0/24 via 100.64.0.1 dev hd via 198.51.100.1 dev hb via 203.0.113.1 dev hc
    (1000, '{"letters": "abcd", "steps": [["stale", "a", 0, ["10.1.2.7/24"], [[[], [20]], [[], [17, 52, 27]]], '
           '"expire", null]]}'),
]


@pytest.mark.parametrize("seed,case", CASES, ids=[str(c[0]) for c in CASES])
def test_agent_agrees_with_the_model(sandbox, seed, case):
    run_sequence(sandbox, json.loads(case))
