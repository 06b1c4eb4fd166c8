"""loginmotd: argument checks, the exec of the script, and the ids it runs with when set-user-id."""

import os

import pytest

SCRIPT = "/usr/lib/tarvik/ssh_login_notification/print_motd.sh"
SETUID_COPY = "/usr/lib/tarvik/loginmotd"
OWNER, CALLER = 1001, 1002


def parse(stdout):
    """Reads the stand-in script's report: arguments, ids and initial environment."""
    report = {"args": [], "env": []}
    for line in stdout.splitlines():
        key, _, value = line.partition("=")
        if key == "arg":
            report["args"].append(value)
        elif key == "env":
            report["env"].append(value)
        elif key in ("ruid", "euid"):
            report[key] = int(value)
    assert stdout.rstrip().endswith("end"), stdout
    return report


@pytest.fixture
def motd(sandbox):
    sandbox.install(sandbox.prefix / "libexec/tarvik-platform/print_motd.sh", SCRIPT)
    return sandbox


def binary(sandbox):
    return str(sandbox.prefix / "bin/loginmotd")


@pytest.mark.parametrize("arg, passed", [
    ("1", "1"),
    ("30", "30"),
    ("7x", "7"),
    ("  12", "12"),
    ("+5", "5"),
    ("07", "7"),
])
def test_accepted_period_runs_script(motd, arg, passed):
    r = motd.run([binary(motd), arg])
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    assert parse(r.stdout)["args"] == [passed]


@pytest.mark.parametrize("arg, shown", [
    ("0", "0"),
    ("31", "31"),
    ("-1", "-1"),
    ("abc", "0"),
    ("", "0"),
    # Beyond 32 bits: refused as it stands, never cut to its low bits (which would be 1 here).
    ("4294967297", "4294967297"),
    ("-4294967295", "-4294967295"),
    ("99999999999999999999", "9223372036854775807"),
])
def test_period_out_of_range(motd, arg, shown):
    r = motd.run([binary(motd), arg])
    assert r.returncode == 255
    assert r.stderr == f"Argument login_record_period out of range: {shown}\n"
    assert r.stdout == ""


@pytest.mark.parametrize("args", [[], ["1", "2"]])
def test_usage(motd, args):
    r = motd.run([binary(motd), *args])
    assert r.returncode == 1
    assert r.stderr == f"Usage: {binary(motd)} <integer>\n"
    assert r.stdout == ""


def test_script_gets_empty_environment(motd):
    env = {"PATH": "/usr/bin:/bin", "LD_PRELOAD": "/nonexistent.so", "BASH_ENV": "/etc/passwd", "FOO": "bar"}
    r = motd.run([binary(motd), "3"], env=env)
    assert r.returncode == 0, r.stderr
    assert parse(r.stdout)["env"] == []


def test_exec_failure(motd):
    os.unlink("/usr/bin/env")
    r = motd.run([binary(motd), "3"])
    assert r.returncode == 1
    assert r.stderr == "execl: No such file or directory\n"


@pytest.mark.parametrize("owner", [OWNER, 0])
def test_setuid_runs_script_as_owner(motd, owner):
    motd.add_user("owner", OWNER)
    motd.add_user("caller", CALLER)
    motd.install(binary(motd), SETUID_COPY)
    os.chown(SETUID_COPY, owner, owner)
    os.chmod(SETUID_COPY, 0o4755)

    r = motd.run([SETUID_COPY, "15"], uid=CALLER)
    assert r.returncode == 0, r.stderr
    report = parse(r.stdout)
    assert report["args"] == ["15"]
    assert (report["ruid"], report["euid"]) == (owner, owner)


def test_without_setuid_runs_as_caller(motd):
    motd.add_user("caller", CALLER)
    r = motd.run([binary(motd), "2"], uid=CALLER)
    assert r.returncode == 0, r.stderr
    report = parse(r.stdout)
    assert (report["ruid"], report["euid"]) == (CALLER, CALLER)
