"""qelt command line: usage errors, the start-up line and the job configuration handed to the SDK."""

import pytest

from qelt_env import port_id


def key_of(run):
    [create] = run.called("sx_api_bulk_counter_buffer_set", cmd=12)
    return create["key"]


@pytest.mark.parametrize("args", [
    ["--port", "swp1s0", "--tc=3", "--counter=tx"],           # value as a separate word: positional
    ["--tc=3", "--counter=tx"],                                # no --port
    ["--port", "--tc=3", "--counter=tx"],                      # --port without a value
    ["--port=swp1s0", "--counter=tx"],                         # no --tc
    ["--port=swp1s0", "--tc=3"],                               # no --counter
    ["--port=swp1s0", "--tc=3", "--counter=tx", "-i"],         # numeric options need attached values
    ["--port=swp1s0", "--tc=3", "--counter=tx", "--sample-count"],
    ["--port=swp1s0", "--tc=3", "--counter=tx", "--job-id"],
    ["--port=swp1s0", "--tc=3", "--counter=tx", "extra"],
    ["--port=swp1s0", "--tc=3", "--counter=tx", "--bogus"],
])
def test_usage_errors(hft, args):
    r = hft.run(*args)
    assert r.rc == 64, r.stderr
    assert "Try `qelt --help'" in r.stderr
    assert r.calls == []
    assert r.stdout == ""


def test_help(hft):
    r = hft.run("--help")
    assert r.rc == 0
    for text in ("Port list for HFT", "Traffic class", "Counter List", "HFT job sample interval",
                 "HFT job sample count", "HFT job id", "Produce verbose output", "ports [STRING...]",
                 "With Options: qelt --ports swp1s0"):
        assert text in r.stdout
    assert r.calls == []


@pytest.mark.parametrize("verbose", [False, True])
def test_startup_line(hft, verbose):
    args = ["-pswp1s0", "-t3", "-ctx", "-i250", "-s1", "-j7"] + (["-v"] if verbose else [])
    r = hft.run(*args)
    assert r.rc == 0
    assert (f"job id - 7, inputs ports - swp1s0, tc - 3, counter - tx, interval - 250, sample count - 1, "
            f"verbose - {int(verbose)}") in r.log
    assert r.stdout == "" and r.stderr == ""


@pytest.mark.parametrize("args, field, value", [
    (["--tc=1,2,3"], "tcs", [1, 2, 3]),
    (["--tc=" + ",".join(str(i % 16) for i in range(1, 18))], "tcs", [i % 16 for i in range(1, 17)]),
    (["--tc=,3,,"], "tcs", [3]),
    (["--counter=tx,,rx"], "counters", [0, 1]),
    (["--counter=tc_buff,rx,tx,tx"], "counters", [21, 1, 0]),
    (["--counter=bogus"], "counters", [0]),
    (["--interval=abc"], "interval", 0),
    (["--interval=12ms"], "interval", 12),
    (["--sample-count=3"], "sample_count", 3),
    (["--port=swp10s0,swp2s0"], "ports", [port_id(2, 0), port_id(10, 0)]),
    (["--port=swp2s1,swp2s0"], "ports", [port_id(2, 1), port_id(2, 0)]),
    (["--port=swp3s0,swp3s0,swp1s1"], "ports", [port_id(1, 1), port_id(3, 0)]),
    (["--port=all"], "ports", [port_id(p, l) for p in range(1, 17) for l in range(4)]),
])
def test_job_key(hft, args, field, value):
    base = {"--port": "--port=swp1s0", "--tc": "--tc=3", "--counter": "--counter=tx", "--sample-count": "--sample-count=1"}
    for a in args:
        base[a.split("=")[0]] = a
    r = hft.run(*base.values())
    assert r.rc == 0, r.log
    key = key_of(r)
    assert key[field] == value
    assert key["type"] == 10 and key["lead"] == [0, 1, 2]


def test_unknown_port_is_skipped(hft):
    r = hft.run("--port=swp2s0,swp99s0,swp16s3", "--tc=0", "--counter=tx", "--sample-count=1")
    assert r.rc == 0
    assert "Port swp99s0 not found in port table" in r.log
    assert key_of(r)["ports"] == [port_id(2, 0), port_id(16, 3)]


def test_defaults_without_job_id(hft):
    r = hft.run("--port=swp1s0", "--tc=3", "--counter=tx", "--sample-count=1")
    assert r.rc == 0
    assert key_of(r)["interval"] == 0
    assert hft.outer_names() == ["hft_data_0_0.json.tar.gz"]
