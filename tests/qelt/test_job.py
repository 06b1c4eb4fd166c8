"""qelt's bulk-counter job: the SDK call sequence, every failure with its clean-up, and SIGTERM."""

import signal

import pytest

from qelt_env import HFT_DIR, port_id

ERR = "Internal Error"  # status text of the stand-in's injected failures

OPEN = [("sx_api_open", None), ("sx_api_bulk_counter_attr_get", None), ("sx_api_bulk_counter_attr_set", None),
        ("sx_api_host_ifc_open", None), ("sx_api_host_ifc_trap_id_register_set", 19)]
START = [("sx_api_bulk_counter_buffer_set", 12), ("sx_api_bulk_counter_transaction_set", 31)]
RECV = [("sx_lib_host_ifc_recv", None)]
DESTROY = [("sx_api_bulk_counter_buffer_set", 13)]
CLOSE = [("sx_api_host_ifc_trap_id_register_set", 20), ("sx_api_host_ifc_close", None), ("sx_api_close", None)]


def test_call_sequence_and_arguments(hft):
    r = hft.run("--port=swp2s0,swp1s3", "--tc=0,7", "--counter=tx,rx,tc_buff", "--interval=500",
                "--sample-count=2", "--job-id=4")
    assert r.rc == 0, r.log
    assert r.sequence() == OPEN + START + RECV + DESTROY + CLOSE
    assert all(c["status"] == 0 for c in r.calls)
    assert r.called("sx_api_bulk_counter_attr_set")[0]["limit"] == 700
    assert [c["trap_id"] for c in r.called("sx_api_host_ifc_trap_id_register_set")] == [1044, 1044]
    [create] = r.called("sx_api_bulk_counter_buffer_set", cmd=12)
    assert create["cookie"] == 0xa0000000
    assert create["key"] == {"type": 10, "lead": [0, 1, 2], "counters": [0, 1, 21], "tcs": [0, 7],
                             "ports": [port_id(1, 3), port_id(2, 0)], "sample_count": 2, "interval": 500}
    reads = [(c["kind"], c["sample"], c.get("port")) for c in r.called("sx_api_bulk_counter_transaction_get")]
    assert reads == [(1, 1, None), (2, 1, port_id(1, 3)), (2, 1, port_id(2, 0)),
                     (1, 2, None), (2, 2, port_id(1, 3)), (2, 2, port_id(2, 0))]
    for line in ("bulk counter event register successfull", "starting HFT job", "HFT bulk counter buffer free done",
                 "bulk counter event unregister successfull"):
        assert line in r.log
    assert not any("Qelt started" in m or "SX api open success" in m for m in r.log)  # debug is masked


def test_foreign_event_is_skipped(hft):
    r = hft.run(*hft.JOB, events="foreign,done")
    assert r.rc == 0, r.log
    assert r.sequence() == OPEN + START + RECV + RECV + DESTROY + CLOSE
    assert hft.outer_names() == ["hft_data_0_0.json.tar.gz"]


# (SX_SIM_FAIL, SX_SIM_EVENTS, log lines in order, exit status, calls after the failure)
FAILURES = [
    ("sx_api_open", None, ["SX api open failed", "qelt_init failed"], 255, None),
    ("sx_api_bulk_counter_attr_get", None,
     [f"sx_api_bulk_counter_attr_get failed status: {ERR}", "HFT buffer limit get failed "], 0, None),
    ("sx_api_bulk_counter_attr_set", None,
     [f"sx_api_bulk_counter_attr_set failed in setting buffer limit {ERR}", "HFT buffer limit set failed"], 0, None),
    ("sx_api_host_ifc_open", None, [f"Failed to open fd error:{ERR}"], 255, [("sx_api_close", None)]),
    ("sx_api_host_ifc_trap_id_register_set:19", None, [f"Failed to register for trap_id 1044  swid 0, {ERR}"], 255,
     [("sx_api_host_ifc_close", None), ("sx_api_close", None)]),
    ("sx_api_bulk_counter_buffer_set:12", None,
     [f"sx_api_bulk_counter_buffer_set(create) for port bulk counters failed: {ERR}", "HFT job start failed"],
     255, CLOSE),
    ("sx_api_bulk_counter_transaction_set:31", None,
     [f"sx_api_bulk_counter_transaction_set failed: {ERR}", "HFT job start failed", "HFT bulk counter buffer free done"],
     255, DESTROY + CLOSE),
    ("sx_lib_host_ifc_recv", None, [f"sx_lib_host_ifc_recv failed with {ERR}"], 255, DESTROY + CLOSE),
    (None, "trap:1045", ["ignore trap 1045"], 255, DESTROY + CLOSE),
    (None, "status:4", ["bulk counter transaction failed status 4"], 255, DESTROY + CLOSE),
    ("sx_api_bulk_counter_transaction_get:time@2", None,
     [f"sx_api_bulk_counter_transaction_get failed in fetching time metadata {ERR}",
      "Failure in reading HFT stats and making JSON files"], 255, DESTROY + CLOSE),
    ("sx_api_bulk_counter_transaction_get:port@2", None,
     [f"sx_api_bulk_counter_transaction_get failed in fetching port data {ERR} idx 2 port 0x10100",
      "Failure in reading HFT stats and making JSON files"], 255, DESTROY + CLOSE),
    ("sx_api_bulk_counter_buffer_set:13", None,
     [f"sx_api_bulk_counter_buffer_set(destroy) for port bulk counters failed: {ERR}"], 255, DESTROY + CLOSE),
    ("sx_api_host_ifc_trap_id_register_set:20", None, [f"Failed to unregister for trap_id 1044  swid 0, {ERR}"], 0,
     [("sx_api_close", None)]),
    ("sx_api_host_ifc_close", None, [f"Failed to close fd error:{ERR}"], 0, [("sx_api_close", None)]),
    ("sx_api_close", None, ["SX api close failed"], 0, []),
]


@pytest.mark.parametrize("fail, events, lines, rc, after", FAILURES, ids=[f[0] or f[1] for f in FAILURES])
def test_failures(hft, fail, events, lines, rc, after):
    r = hft.run("--port=swp1s0", "--tc=3", "--counter=tx", "--sample-count=2", fail=fail, events=events)
    assert r.rc == rc, r.log
    pos = [r.log.index(line) for line in lines]
    assert pos == sorted(pos), r.log
    if after is not None:
        # the calls that follow the failing call (or the unwanted event)
        failed = [i for i, c in enumerate(r.calls)
                  if c["status"] != 0 or (events and c["call"] == "sx_lib_host_ifc_recv")]
        assert failed, r.calls
        tail = [(c["call"], c.get("cmd")) for c in r.calls[failed[0] + 1:]
                if c["call"] != "sx_api_bulk_counter_transaction_get"]
        assert tail == after, r.calls
    # a failed job never leaves a buffer behind unless the SDK refused to destroy it
    creates = len(r.called("sx_api_bulk_counter_buffer_set", cmd=12, status=0))
    destroys = len(r.called("sx_api_bulk_counter_buffer_set", cmd=13, status=0))
    assert creates == destroys or fail == "sx_api_bulk_counter_buffer_set:13"
    assert r.stdout == "" and r.stderr == ""


def test_read_failure_keeps_written_files(hft):
    r = hft.run("--port=swp1s0", "--tc=3", "--counter=tx", "--sample-count=3",
                fail="sx_api_bulk_counter_transaction_get:time@3")
    assert r.rc == 255
    assert hft.dir_names() == ["hft_data_0_0.json"]


def test_no_event_times_out(hft):
    r = hft.run(*hft.JOB, events="none", timeout=120)
    assert r.rc == 255
    assert "select timeout with no event after 60 seconds" in r.log
    assert r.sequence() == OPEN + START + DESTROY + CLOSE  # destroyed without a cancel


def test_zero_samples(hft):
    r = hft.run("--port=swp1s0", "--tc=3", "--counter=tx", "--sample-count=0")
    assert r.rc == 255
    assert "Failure in reading HFT stats and making JSON files" in r.log
    assert hft.dir_names() == []
    assert r.sequence()[-4:] == DESTROY + CLOSE


def sigterm(hft, proc, call, **args):
    hft.wait_call(call, **args)
    proc.send_signal(signal.SIGTERM)
    proc.communicate(timeout=30)
    hft.sync_log()
    return proc.returncode


@pytest.mark.parametrize("cancel_fails", [False, True])
def test_sigterm_while_running(hft, sandbox, cancel_fails):
    start = sandbox.syslog.count()
    p = hft.spawn(*hft.JOB, events="none", fail="sx_api_bulk_counter_transaction_set:11" if cancel_fails else None)
    assert sigterm(hft, p, "sx_api_bulk_counter_transaction_set", cmd=31) == 255
    seq = [(c["call"], c.get("cmd")) for c in hft.calls()]
    cancel = [("sx_api_bulk_counter_transaction_set", 11)]
    assert seq == OPEN + START + cancel + ([] if cancel_fails else DESTROY) + CLOSE
    log = hft.log(start)
    expected = ["Interrupted by SIGTERM during select call while waiting for bulk_counter_read",
                "Received SIGTERM signal. Exiting.", "Cancelling HFT job id 0",
                "qelt process clean up failed, exiting" if cancel_fails else "qelt process clean up done, exiting"]
    pos = [log.index(line) for line in expected]
    assert pos == sorted(pos), log
    assert ("HFT bulk counter buffer free done" in log) == (not cancel_fails)
    assert "bulk counter event unregister successfull" in log


def test_sigterm_while_writing(hft, sandbox):
    start = sandbox.syslog.count()
    p = hft.spawn("--port=swp1s0", "--tc=3", "--counter=tx", "--sample-count=4000", SX_SIM_GET_DELAY_US=2000)
    assert sigterm(hft, p, "sx_api_bulk_counter_transaction_get", sample=10) == 255
    seq = [(c["call"], c.get("cmd")) for c in hft.calls() if c["call"] != "sx_api_bulk_counter_transaction_get"]
    assert seq == OPEN + START + RECV + DESTROY + CLOSE  # finished job: no cancel
    log = hft.log(start)
    assert "Received SIGTERM signal. Exiting." in log and "qelt process clean up done, exiting" in log
    assert not (HFT_DIR / "hft_data.tar.gz").exists()
