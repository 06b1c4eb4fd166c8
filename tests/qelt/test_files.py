"""qelt's sample files and archives, the HFT directory, the host name and the port table."""

import json
import os
import stat

import pytest

from qelt_env import HFT_DIR, port_id


def expected_port(i, p, counters, tcs):
    """A port object as the stand-in's values make it, keys in output order."""
    obj = {}
    for c in counters:
        if c == "tx":
            obj["if_out_octets"] = 1000 * i + p
        elif c == "rx":
            obj["if_in_octets"] = 2000 * i + p
    if "tc_buff" in counters:
        obj["tc_data"] = {str(c): {"tc_curr_occupancy": 100 * i + c} for c in tcs}
    return obj


def test_one_sample_one_port_text(hft):
    r = hft.run(*hft.JOB, "--job-id=12")
    assert r.rc == 0, r.log
    files = hft.archive()
    assert list(files) == ["hft_data_12_0.json"]
    i, p = 1, port_id(1, 0)
    assert files["hft_data_12_0.json"] == (
        '{"version":  "1.0","hostname":  "leaf1","1": {"sample_index": 1,"metadata": '
        f'{{"sec": {1700000000 + i},"nsec": {1000 * i}}},"port_data": {{"swp1s0": {{"if_out_octets": {1000 * i + p},'
        f'"if_in_octets": {2000 * i + p},"tc_data": {{"3": {{"tc_curr_occupancy": {100 * i + 3}}}}}}}}}}}}}')
    assert hft.dir_names() == ["hft_data.tar.gz"]
    log = r.log
    assert any(m.startswith("HFT stats fetch start time [") and m.endswith("], port_count 1") for m in log)
    assert any(m.startswith("HFT stats fetch complete time [") for m in log)


@pytest.mark.parametrize("samples, files", [(5000, 1), (5001, 2)])
def test_file_split_and_values(hft, samples, files):
    counters, tcs = ["tx", "rx", "tc_buff"], [0, 7]
    ports = [port_id(2, 1), port_id(16, 3)]
    r = hft.run("--port=swp16s3,swp2s1", "--tc=0,7", "--counter=tx,rx,tc_buff", f"--sample-count={samples}",
                "--job-id=3")
    assert r.rc == 0, r.log
    texts = hft.archive()
    names = [f"hft_data_3_{n}.json" for n in range(files)]
    assert sorted(texts) == names
    assert hft.outer_names() == [n + ".tar.gz" for n in names]
    assert hft.dir_names() == ["hft_data.tar.gz"]
    assert texts[names[0]].endswith("}}")
    seen = 0
    for n, name in enumerate(names):
        doc = json.loads(texts[name])
        if n == 0:
            assert list(doc)[:2] == ["version", "hostname"]
            assert doc.pop("version") == "1.0" and doc.pop("hostname") == "leaf1"
        else:
            assert texts[name].startswith('{"5001": {"sample_index": 5001,')
        for key, sample in doc.items():
            i = int(key)
            assert sample["sample_index"] == i and 5000 * n < i <= 5000 * (n + 1)
            assert sample["metadata"] == {"sec": 1700000000 + i, "nsec": 1000 * i}
            assert list(sample["port_data"]) == ["swp2s1", "swp16s3"]
            for pname, p in zip(["swp2s1", "swp16s3"], ports):
                assert sample["port_data"][pname] == expected_port(i, p, counters, tcs)
            seen += 1
    assert seen == samples


@pytest.mark.parametrize("counters, tcs", [
    ("tx,rx,tc_buff", "3"),
    ("tc_buff,tx", "1,2"),
    ("rx,tc_buff,tx", "5"),
    ("tc_buff", "0,1,2,3,4,5,6,7"),
    ("tc_buff", ""),
    ("rx,bogus", "3"),
    ("bogus", "3"),
    ("tx,tx", "3"),
])
def test_every_counter_list_gives_json(hft, counters, tcs):
    r = hft.run("--port=swp1s0,swp3s2", f"--tc={tcs}", f"--counter={counters}", "--sample-count=2")
    assert r.rc == 0, r.log
    [text] = hft.archive().values()
    doc = json.loads(text)
    names = [c for c in counters.split(",") if c]
    classes = [int(c) for c in tcs.split(",") if c]
    for i in (1, 2):
        for pname, p in (("swp1s0", port_id(1, 0)), ("swp3s2", port_id(3, 2))):
            got = doc[str(i)]["port_data"][pname]
            want = expected_port(i, p, names, classes)
            assert got == want and list(got) == list(want)
    if tcs == "" and counters == "tc_buff":
        assert '"tc_data": {}' in text


def test_earlier_files_are_left_alone(hft, sandbox, tmp_path):
    (HFT_DIR / "hft_data.tar.gz").write_text("old archive")
    (HFT_DIR / "hft_data_9_0.json").write_text("{half a run")
    (HFT_DIR / "hft_data_9_0.json.tar.gz").write_text("old per-file archive")
    caller = tmp_path / "caller"
    caller.mkdir()
    (caller / "hft_data_1_0.json").write_text("mine")
    (caller / "hft_data.tar.gz").write_text("mine too")
    r = hft.run(*hft.JOB, cwd=str(caller))
    assert r.rc == 0, r.log
    assert hft.outer_names() == ["hft_data_0_0.json.tar.gz"]
    assert hft.dir_names() == ["hft_data.tar.gz", "hft_data_9_0.json", "hft_data_9_0.json.tar.gz"]
    assert sorted(os.listdir(caller)) == ["hft_data.tar.gz", "hft_data_1_0.json"]
    assert (caller / "hft_data_1_0.json").read_text() == "mine"


def test_missing_directory_is_created(hft):
    HFT_DIR.rmdir()
    HFT_DIR.parent.rmdir()
    r = hft.run(*hft.JOB)
    assert r.rc == 0, r.log
    assert stat.S_IMODE(HFT_DIR.stat().st_mode) == 0o755
    assert stat.S_IMODE(HFT_DIR.parent.stat().st_mode) == 0o755
    assert hft.dir_names() == ["hft_data.tar.gz"]


def test_directory_that_cannot_be_made(hft, tmp_path):
    HFT_DIR.rmdir()
    HFT_DIR.parent.rmdir()
    HFT_DIR.parent.write_text("not a directory")
    r = hft.run(*hft.JOB, cwd=str(tmp_path))
    assert r.rc == 255
    assert "Error entering HFT directory /var/run/tarvik/hft : Not a directory" in r.log
    assert "Failure in reading HFT stats and making JSON files" in r.log
    assert os.listdir(tmp_path) == []
    assert r.sequence()[-4:] == [("sx_api_bulk_counter_buffer_set", 13), ("sx_api_host_ifc_trap_id_register_set", 20),
                                 ("sx_api_host_ifc_close", None), ("sx_api_close", None)]


def test_data_file_that_cannot_be_created(hft):
    (HFT_DIR / "hft_data_0_0.json").mkdir()
    r = hft.run(*hft.JOB)
    assert r.rc == 255
    assert "Error opening HFT data file : Is a directory" in r.log
    assert r.called("sx_api_bulk_counter_buffer_set", cmd=13, status=0)


@pytest.mark.parametrize("fail_on, expected", [
    ("json", "HFT data file tar cmd 'tar -czf hft_data_0_0.json.tar.gz hft_data_0_0.json' failed, error : exit status 2"),
    ("final", "HFT data file tar cmd 'tar -czf hft_data.tar.gz hft_data_0_0.json.tar.gz' failed, error : exit status 2"),
])
def test_tar_failure(hft, sandbox, fail_on, expected):
    # A tar in front of the real one that fails for one of the two commands.
    cond = '"$2" = "hft_data.tar.gz"' if fail_on == "final" else '"$2" != "hft_data.tar.gz"'
    sandbox.write("/run/fakebin/tar", f'#!/bin/sh\nif [ {cond} ]; then exit 2; fi\nexec /usr/bin/tar "$@"\n', 0o755)
    env = hft.env()
    r = hft.run(*hft.JOB, PATH="/run/fakebin:" + env["PATH"])
    assert r.rc == 255
    assert expected in r.log
    assert "Failure in reading HFT stats and making JSON files" in r.log
    assert not (HFT_DIR / "hft_data.tar.gz").exists()


@pytest.mark.parametrize("content, name", [
    (None, "tarvik"),
    ("# only a comment\n\n", "tarvik"),
    ("\n#c\n\nspine-7\nother\n", "spine-7"),
])
def test_hostname(hft, content, name):
    if content is None:
        os.unlink("/etc/hostname")
    else:
        hft.box.write("/etc/hostname", content)
    r = hft.run(*hft.JOB)
    assert r.rc == 0
    assert json.loads(hft.archive()["hft_data_0_0.json"])["hostname"] == name
    assert ("Error opening /etc/hostname file : No such file or directory" in r.log) == (content is None)


TABLE = """Port table
Id\tLabel\tName
--\t-----\t----
0\t0\tswp0s0
0x20\t9\tswp9s9
110 10 swp10s0
20\t2\tswp2s0
21 2 swp2s1

"""


@pytest.mark.parametrize("ports, ids", [
    ("all", [20, 21, 110]),
    ("swp10s0,swp2s0", [20, 110]),
    ("swp2s1", [21]),            # last column of a tab-separated line
    ("swp9s9", []),              # hexadecimal id: not a port line
    ("swp0s0", []),              # id 0: not a port line
])
def test_port_table_lines(hft, ports, ids):
    hft.porquin(TABLE)
    r = hft.run(f"--port={ports}", "--tc=0", "--counter=tx", "--sample-count=1")
    assert r.rc == 0
    [create] = r.called("sx_api_bulk_counter_buffer_set", cmd=12)
    assert create["key"]["ports"] == ids
    doc = json.loads(hft.archive()["hft_data_0_0.json"])
    names = {20: "swp2s0", 21: "swp2s1", 110: "swp10s0"}
    assert list(doc["1"]["port_data"]) == [names[i] for i in ids]


def test_port_table_beyond_512_lines(hft):
    hft.porquin("".join(f"{i} x swp{i}s0\n" for i in range(1, 601)))
    r = hft.run("--port=all", "--tc=0", "--counter=tx", "--sample-count=1")
    assert r.rc == 0
    [create] = r.called("sx_api_bulk_counter_buffer_set", cmd=12)
    assert create["key"]["ports"] == list(range(1, 513))
    assert any("more than 512 ports" in m for m in r.log)


def test_port_command_missing(hft):
    os.unlink("/usr/lib/tarvik/porquin")
    r = hft.run(*hft.JOB)
    assert "qelt_port init failed: could not run porquin" in r.log
    assert "Port swp1s0 not found in port table" in r.log
    assert r.rc == 0  # the job still runs, with no ports
    assert r.called("sx_api_bulk_counter_buffer_set", cmd=12)[0]["key"]["ports"] == []


def test_stand_in_table_names(hft):
    r = hft.run("--port=all", "--tc=0", "--counter=tx", "--sample-count=1")
    assert r.rc == 0
    doc = json.loads(hft.archive()["hft_data_0_0.json"])
    assert list(doc["1"]["port_data"]) == [f"swp{p}s{l}" for p in range(1, 17) for l in range(4)]
