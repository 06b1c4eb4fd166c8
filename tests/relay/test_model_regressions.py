"""Sequences on which the model checker (tests/model/checker.py) found the daemon at fault, shrunk by
the checker and kept as they were printed: the daemon must agree with the model at every quiet point."""

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "model"))

from checker import assert_matches_model  # noqa: E402


# An interface moved to a VRF with prefixes, the new VRF's INTF_SET first: the old VRF's INTF_SET
# flushed and cleared it, and its hosts kept nothing until the new VRF changed.
def test_model_seed_805(sandbox):
    assert_matches_model(sandbox, json.loads('{"limit": 25000, "mtus": [600, 9000, 1500, 4000, 552], "steps": [["nb", [["pu", 30, [[4, 16, 0, "10.46.0.0"]]]]], ["nb", [["intf", 20, [999, 3]]]], ["nb", [["intf", 30, [3]], ["intf", 20, [999]]]]]}'))
