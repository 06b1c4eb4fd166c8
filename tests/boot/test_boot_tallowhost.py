"""tallowhost.service in the booted system, as shipped and strict (the `mode` fixture): installed as
shipped it refuses once, saying where to name the uplinks, instead of restarting; with its uplink named
in /etc/default/tallowhost (host0, whose other end sw0 carries the transmitting lldpd stand-in's frames)
it installs its policy rules and routes on a declaration, steers again at once after a restart from
the state its runtime directory keeps, keeps its metrics file, which Debian's exporter serves, up to
date, answers `tallowhost show` for members of group tallowhost only, forgets on TTL 0 and removes
everything, that state included, at stop; and nothing in its journal says the confinement got in its
way."""

import re
import time

import pytest

from container import wait_value
from layout import (EXPORTER, EXPORTER_URL, HOST_IF, METRICS_FILE, SHIPPED_HOST_OPTIONS, SHOW_MEMBER, SHOW_OUTSIDER,
                    SWITCH_IF, SWITCH_V4, SWITCH_V6)
from routing import Routing, check_confinement

UNIT = "tallowhost.service"
TABLE = "250"
DECLARED = {4: "10.9.0.0/16", 6: "2001:db8:9::/48"}
EXTRA = "10.10.0.0/16"
NO_UPLINK = "no uplink configured: name the uplinks in TALLOWHOST_OPTIONS in /etc/default/tallowhost"


@pytest.fixture(scope="module")
def routing(system, mode):
    r = Routing(system)
    yield r
    r.close()


def rules(box, family):
    out = box.run("ip", f"-{family}", "rule", "show").stdout
    return [l.strip() for l in out.splitlines() if re.search(rf"\blookup {TABLE}\b", l)]


def routes(box, family):
    out = box.run("ip", f"-{family}", "route", "show", "table", TABLE, check=False).stdout
    return [l.strip() for l in out.splitlines() if l.strip()]


def declared_routes(box):
    """Per family whether the declared prefix is in the agent's table."""
    return {f: any(l.split()[0] == DECLARED[f] or l.split()[:2] == ["unreachable", DECLARED[f]]
                   for l in routes(box, f)) for f in (4, 6)}


def wait_routes(box, present, what):
    want = {4: present, 6: present}
    last = {}

    def reached():
        last.update(declared_routes(box))
        return last == want
    try:
        wait_value(what, reached, timeout=20)
    except AssertionError as e:
        raise AssertionError(f"{e}: table {TABLE} holds\n  IPv4: {routes(box, 4)}\n  IPv6: {routes(box, 6)}\n"
                             f"{box.journal(UNIT)}") from None


# One HTTP/1.0 request with bash's /dev/tcp: the minimal root has neither curl nor Python.
SCRAPE = 'exec 3<>"/dev/tcp/$0/$1" && printf "GET %s HTTP/1.0\\r\\nHost: %s\\r\\n\\r\\n" "$2" "$0" >&3 && cat <&3'
SAMPLE = re.compile(r"^([A-Za-z_:][\w:]*)(?:\{(.*)\})?\s+(\S+)(?:\s+-?\d+)?$")
LABEL = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"')


def scrape(box):
    """What the exporter serves, asked from inside the container: the body, or None without an answer."""
    r = box.run("timeout", "10", "bash", "-c", SCRAPE, *EXPORTER_URL, check=False)
    head, _, body = r.stdout.partition("\n\n")
    return body if r.returncode == 0 and head.split(" ")[1:2] == ["200"] else None


def sample(body, name, **labels):
    """The value of the series `name` with exactly these labels in a scrape, None if it has none."""
    for line in (body or "").splitlines():
        m = SAMPLE.match(line)
        if m and m[1] == name and dict(LABEL.findall(m[2] or "")) == labels:
            return float(m[3])
    return None


def wait_sample(box, name, labels, predicate, what):
    last = []

    def reached():
        last[:] = [scrape(box)]
        return predicate(sample(last[0], name, **labels))
    try:
        wait_value(what, reached, timeout=20, interval=0.2)
    except AssertionError as e:
        mine = [l for l in (last[0] or "").splitlines() if re.match(r"tallowhost_|node_textfile_", l)]
        raise AssertionError(f"{e}: {name}{labels} is {sample(last[0], name, **labels)}; the exporter "
                             f"{'gave' if last[0] is not None else 'did not answer'}:\n" + "\n".join(mine) +
                             f"\n{box.run('ls', '-l', METRICS_FILE.rsplit('/', 1)[0], check=False).stdout}"
                             f"{box.journal(UNIT)}") from None


def test_shipped_options_refuse_once_without_restarting(system, mode):
    system.write("/etc/default/tallowhost", SHIPPED_HOST_OPTIONS)
    mark = system.cursor()
    system.systemctl("start", UNIT)
    system.wait_state(UNIT, "failed")
    # A restart would come RestartSec (1 s) after the failure: wait past it.
    time.sleep(2.5)
    journal = system.journal(UNIT, mark)
    assert system.prop(UNIT, "ActiveState") == "failed", journal
    assert system.prop(UNIT, "ExecMainStatus") == "2", journal
    assert system.prop(UNIT, "NRestarts") == "0", journal
    assert journal.count(NO_UPLINK) == 1, f"want the line {NO_UPLINK!r} once:\n{journal}"
    for line in ("Scheduled restart job", "Start request repeated too quickly"):
        assert line not in journal, journal
    system.systemctl("reset-failed", UNIT)


def test_declaration_installs_rules_and_routes(system, mode, routing):
    system.write("/etc/default/tallowhost",
                 f'TALLOWHOST_OPTIONS="--uplink {HOST_IF}={SWITCH_V4},{SWITCH_V6} --metrics-file {METRICS_FILE}"\n')
    system.systemctl("start", "lldpd.service", "tallowd.service")
    system.wait_log("tallowd.service", r"^lldp: connected to LLDPD", after=system.mode_start)
    routing.send(f"intf-set --vrf 1 {SWITCH_IF}", f"update --vrf 1 {DECLARED[4]} {DECLARED[6]}")
    mark = system.cursor()
    system.systemctl("start", UNIT)
    system.wait_log(UNIT, r"^tallowhost started on ", after=mark)
    wait_routes(system, True, f"the declared prefixes in table {TABLE}")
    for family in (4, 6):
        assert rules(system, family), f"no IPv{family} rule to table {TABLE}: {system.run('ip', f'-{family}', 'rule').stdout}"
    assert system.prop(UNIT, "ActiveState") == "active"


def test_restart_steers_again_from_the_state_kept_in_its_runtime_directory(system, mode):
    mark = system.cursor()
    system.systemctl("restart", UNIT)
    system.wait_log(UNIT, r"^state: restored 1 neighbours with 2 prefixes saved \d+ ms ago$", after=mark)
    assert declared_routes(system) == {4: True, 6: True}, system.journal(UNIT, mark)


def test_exporter_serves_the_metrics_and_they_follow_a_declaration(system, mode, routing):
    system.systemctl("start", EXPORTER)
    uplink = {"uplink": HOST_IF}
    wait_sample(system, "tallowhost_uplink_up", uplink, lambda v: v == 1, f"tallowhost_uplink_up 1 for {HOST_IF}")
    wait_sample(system, "tallowhost_declared_prefixes", uplink, lambda v: v == len(DECLARED),
                f"tallowhost_declared_prefixes {len(DECLARED)} for {HOST_IF}")
    try:
        routing.send(f"update --vrf 1 {EXTRA}")
        wait_sample(system, "tallowhost_declared_prefixes", uplink, lambda v: v == len(DECLARED) + 1,
                    f"tallowhost_declared_prefixes {len(DECLARED) + 1} for {HOST_IF} after {EXTRA} was declared")
    finally:
        routing.send(f"update --vrf 1 --withdraw {EXTRA}")


def test_show_answers_members_of_group_tallowhost_only(system, mode):
    def show(user):
        return system.run("setpriv", f"--reuid={user}", f"--regid={user}", "--init-groups",
                          "tallowhost", "show", "uplinks", check=False)
    r = show(SHOW_MEMBER)
    assert r.returncode == 0 and HOST_IF in r.stdout and r.stderr == "", \
        f"tallowhost show uplinks as {SHOW_MEMBER} (group tallowhost): status {r.returncode}\n{r.stdout}{r.stderr}"
    r = show(SHOW_OUTSIDER)
    assert r.returncode == 1 and r.stdout == "" and len(r.stderr.splitlines()) == 1, \
        f"tallowhost show uplinks as {SHOW_OUTSIDER}: status {r.returncode}\n{r.stdout}{r.stderr}"


def test_stop_removes_rules_routes_and_the_saved_state(system, mode):
    system.systemctl("stop", UNIT)
    assert system.prop(UNIT, "Result") == "success", system.journal(UNIT)
    for family in (4, 6):
        assert rules(system, family) == [], f"IPv{family} rules to table {TABLE} left after stop"
        assert routes(system, family) == [], f"IPv{family} routes left in table {TABLE} after stop"
    assert system.run("test", "-e", "/run/tallowhost", check=False).returncode == 1, "/run/tallowhost left at stop"


def test_ttl_0_forgets_the_declaration(system, mode):
    mark = system.cursor()
    system.systemctl("start", UNIT)
    wait_routes(system, True, f"the declared prefixes in table {TABLE} after a restart")
    # The stand-in sends TTL 0 on every interface when it stops.
    system.systemctl("stop", "lldpd.service")
    system.wait_log(UNIT, r"forgotten \(TTL 0\)", after=mark)
    wait_routes(system, False, f"the declared prefixes gone from table {TABLE}")
    assert system.prop(UNIT, "ActiveState") == "active"
    system.systemctl("stop", UNIT, "tallowd.service")
    assert system.prop(UNIT, "Result") == "success", system.journal(UNIT, mark)


def test_confinement_never_got_in_the_way(system, mode):
    check_confinement(system, UNIT, mode)
