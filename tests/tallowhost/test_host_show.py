"""What operators see of a running agent: `tallowhost show` over its socket, and the metrics file that
a node exporter's textfile collector reads."""

import json
import os
import re
import stat
import subprocess

from host_helpers import add_uplinks, route_get, start_agent, wait_until

METRICS = "/run/prom/tallowhost.prom"
SAMPLE = re.compile(r'^tallowhost_[a-z_]+(\{[a-z_]+="[^"]*"(,[a-z_]+="[^"]*")*\})? -?[0-9.e+]+$')


def show(sandbox, *args):
    return subprocess.run([str(sandbox.prefix / "sbin" / "tallowhost"), "show", *args], capture_output=True,
                          text=True, timeout=10)


def metrics():
    """{series: value} from the metrics file; every line checked against the text format."""
    with open(METRICS) as f:
        lines = f.read().splitlines()
    out = {}
    for line in lines:
        if line.startswith("# HELP ") or line.startswith("# TYPE "):
            continue
        assert SAMPLE.match(line), line
        name, value = line.rsplit(" ", 1)
        out[name] = float(value)
    return out


def test_show_and_metrics(sandbox):
    os.makedirs(os.path.dirname(METRICS), exist_ok=True)
    args, s = add_uplinks(sandbox, "ab")
    a = start_agent(sandbox, args + ["--metrics-file", METRICS])
    assert stat.S_IMODE(os.stat("/run/tallowhost/show.sock").st_mode) == 0o600  # no group tallowhost here
    s["a"].periodic(["10.9.0.0/16"])
    s["b"].delta(added=["10.9.1.0/24"])
    wait_until("both declarations", lambda: route_get("10.9.1.1") == "unreachable" or route_get("10.9.1.1"))

    # An address covered by both neighbours' prefixes, and one covered by A's alone: the agent's answer
    # is the kernel's.
    chassis = {"ha": "02:00:00:00:01:01", "hb": "02:00:00:00:02:01"}
    j = json.loads(show(sandbox, "prefix", "10.9.1.1", "--json").stdout)
    assert j == {"address": "10.9.1.1",
                 "declared": [{"prefix": "10.9.0.0/16", "interface": "ha", "chassis_id": chassis["ha"],
                               "port_id": "swp1"},
                              {"prefix": "10.9.1.0/24", "interface": "hb", "chassis_id": chassis["hb"],
                               "port_id": "swp2"}],
                 "decision": {"type": "unreachable", "route": "10.9.1.0/24", "uplinks": []},
                 "kernel": {"type": "unreachable", "table": None, "via": None, "dev": None}}
    r = show(sandbox, "prefix", "10.9.1.1")
    assert r.returncode == 0 and "10.9.0.0/16 on ha, by chassis" in r.stdout and "10.9.1.0/24 on hb" in r.stdout
    assert r.stdout.endswith("decision: 10.9.1.0/24 unreachable, no uplink reaches it\nkernel: unreachable\n")
    j = json.loads(show(sandbox, "prefix", "10.9.2.1", "--json").stdout)
    assert j["decision"] == {"type": "unicast", "route": "10.9.0.0/16",
                             "uplinks": [{"interface": "hb", "next_hop": "198.51.100.1"}]}
    assert j["kernel"] == {"type": "unicast", "table": 250, "via": "198.51.100.1", "dev": "hb"}
    assert route_get("10.9.2.1") == "via 198.51.100.1 dev hb"
    j = json.loads(show(sandbox, "prefix", "10.7.0.1", "--json").stdout)
    assert j["decision"]["type"] == "none" and j["kernel"]["table"] == 254
    assert f'via {j["kernel"]["via"]} dev {j["kernel"]["dev"]}' == route_get("10.7.0.1")

    uplinks = {u["interface"]: u for u in json.loads(show(sandbox, "uplinks", "--json").stdout)["uplinks"]}
    assert uplinks["ha"]["link"] == "up" and uplinks["ha"]["declared"] == 1
    assert uplinks["ha"]["next_hops"][0] == {"address": "192.0.2.1", "family": 4, "usable": True}
    (na,), (nb,) = uplinks["ha"]["neighbours"], uplinks["hb"]["neighbours"]
    assert na["set_size"] == 1 and na["set_age_s"] >= 0 and 100 < na["ttl_left_s"] <= 120
    assert nb["set_age_s"] is None  # a delta, no whole set yet
    text = show(sandbox).stdout
    assert text.startswith("ha: up, next hops 192.0.2.1 (usable) 2001:db8:a::1 (usable), 1 prefixes declared")
    assert len(show(sandbox, "neighbours").stdout.splitlines()) == 2

    wait_until("metrics", lambda: metrics().get('tallowhost_declared_prefixes{uplink="ha"}') == 1.0)
    assert stat.S_IMODE(os.stat(METRICS).st_mode) == 0o644
    m = metrics()
    assert m['tallowhost_uplink_up{uplink="hb"}'] == 1.0 and m["tallowhost_routes"] >= 2
    assert m['tallowhost_sets_total{uplink="ha"}'] == 1.0 and m['tallowhost_deltas_total{uplink="hb"}'] == 1.0
    assert [k for k in m if k.startswith("tallowhost_neighbour_last_set_timestamp_seconds")] == [
        f'tallowhost_neighbour_last_set_timestamp_seconds{{uplink="ha",chassis_id="{chassis["ha"]}",'
        f'port_id="swp1"}}']
    s["a"].delta(added=["10.8.0.0/16"])
    wait_until("metrics change", lambda: metrics().get('tallowhost_declared_prefixes{uplink="ha"}') == 2.0)

    for bad in (["prefix", "10.9.1"], ["route"], ["uplinks", "extra"]):
        r = show(sandbox, *bad)
        assert r.returncode == 2 and r.stderr.startswith("tallowhost: ") and not r.stdout, bad

    a.stop()
    r = show(sandbox, "uplinks")
    assert (r.returncode, r.stdout) == (1, "") and r.stderr.startswith("tallowhost: the agent is not running")
    assert not os.path.exists(METRICS) and not os.path.exists("/run/tallowhost/show.sock")
