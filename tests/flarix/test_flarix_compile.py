"""hex and _compile with fake assemblers, and the pulsor stand-in on generated programs."""

import os
import subprocess

import pytest

from flarix_helpers import PULSOR, FakePort, routine


@pytest.fixture
def tmpdir_base(tmp_path, monkeypatch):
    """Point tempfile at an empty directory, so leftovers of a compilation show."""
    import tempfile
    base = tmp_path / "tmp"
    base.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(base))
    return base


@pytest.fixture
def fake_assembler(tmp_path):
    """Writes a shell script standing in for the assembler; its calls are logged one a line."""
    log = tmp_path / "calls.log"

    def make(body='cp "$1.asm" "$1.hex"', status=0):
        script = tmp_path / f"asm{len(list(tmp_path.glob('asm*')))}"
        script.write_text(f'#!/bin/sh\necho "$#|$*" >> {log}\necho chatter; echo noise >&2\n{body}\nexit {status}\n')
        script.chmod(0o755)
        return str(script)

    make.calls = lambda: log.read_text().splitlines() if log.exists() else []
    return make


def test_hex_runs_assembler_on_the_program(make_controller, fake_assembler, tmpdir_base, capfd):
    c = make_controller(num_leds=5, _pulsor=fake_assembler())
    c.configure(0, [FakePort(2, {1: ("p", routine(), 2)})])
    assert c.hex == c.asm  # the fake copies code.asm to code.hex
    assert c.hex == c.asm
    calls = fake_assembler.calls()
    assert len(calls) == 2
    argc, argv = calls[0].split("|")
    assert argc == "1"
    assert os.path.basename(argv) == "code" and os.path.dirname(argv).startswith(str(tmpdir_base))
    assert list(tmpdir_base.iterdir()) == []
    assert capfd.readouterr() == ("", "")


def test_hex_text_is_the_file_as_read(make_controller, fake_assembler, tmpdir_base):
    c = make_controller(_pulsor=fake_assembler(r'printf "0001 aa\n0002 bb\n\n" > "$1.hex"'))
    assert c.hex == "0001 aa\n0002 bb\n\n"


@pytest.mark.parametrize("body,status,exc", [
    ('cp "$1.asm" "$1.hex"', 3, subprocess.CalledProcessError),
    ("true", 0, FileNotFoundError),
])
def test_failed_compilation_cleans_up(make_controller, fake_assembler, tmpdir_base, capfd, body, status, exc):
    script = fake_assembler(body, status)
    c = make_controller(_pulsor=script)
    with pytest.raises(exc) as info:
        c.hex
    if status:
        assert info.value.returncode == status and "exit status 3" in str(info.value)
        assert info.value.cmd[0] == script and info.value.cmd[1].endswith("/code")
        assert info.value.output is None and info.value.stderr is None
    assert list(tmpdir_base.iterdir()) == []
    assert capfd.readouterr() == ("", "")


def test_missing_assembler(make_controller, tmp_path, tmpdir_base):
    with pytest.raises(FileNotFoundError):
        make_controller(_pulsor=str(tmp_path / "absent")).hex
    assert list(tmpdir_base.iterdir()) == []


def test_bad_blink_period_fails_before_assembling(make_controller, fake_assembler, tmpdir_base):
    with pytest.raises(RuntimeError):
        make_controller(blink_period=31, _pulsor=fake_assembler()).hex
    assert fake_assembler.calls() == []


def test_removal_failure_replaces_result(flarix, make_controller, fake_assembler, tmpdir_base, monkeypatch):
    import shutil

    class Broken:
        @staticmethod
        def rmtree(path):
            raise PermissionError(f"cannot remove {path}")

    monkeypatch.setattr(flarix, "shutil", Broken)
    with pytest.raises(PermissionError):
        make_controller(_pulsor=fake_assembler()).hex
    with pytest.raises(PermissionError) as info:
        make_controller(_pulsor=fake_assembler(status=1)).hex
    assert isinstance(info.value.__context__, subprocess.CalledProcessError)
    for d in tmpdir_base.iterdir():
        shutil.rmtree(d)


def test_compile_directly(make_controller, fake_assembler, tmpdir_base):
    c = make_controller(_pulsor=fake_assembler())
    assert c._compile("one line\n") == "one line\n"
    assert c._compile(asm="x") == "x"


# Configurations whose programs must assemble: (chip, attributes, ports)
GENERATED = {
    "fresh": ("TridentTwoLEDController", {"num_leds": 0}, None),
    "padding only": ("TridentTwoLEDController", {"num_leds": 100}, []),
    "zero padding": ("TridentLEDController", {"num_leds": 40, "default_pad": 0}, []),
    "mixed": ("TridentTwoLEDController", {"num_leds": 30},
              [FakePort(1, {0: ("a", routine("a"), 1), 1: None, 2: 0, 3: 0, 4: 0}),
               FakePort(70, {10: ("b", routine("b"), 70), 11: ("b", routine("b"), 70)}),
               FakePort(3, {20: ("c", routine("c"), None)}, subs=2)]),
    "both loops": ("MaverickLEDController", {"num_leds": 60},
                   [FakePort(1, lambda *a: {**{i: 0 for i in range(10, 25)}, 30: ("x", routine(), 1),
                                            **{i: 0 for i in range(31, 45)}})]),
    "id mode": ("TomahawkLEDController", {"num_leds": 8, "has_phys_id": True},
                [FakePort(p, {p: ("p%d" % p, routine(str(p)), p)}) for p in range(1, 5)]),
    "gangs": ("Helix4LEDController", {"num_leds": 6, "blink_period": 0},
              [FakePort(i, lambda l, s, g: {l: ("g%d" % len(g), routine(), l)}, gang=i % 2) for i in range(1, 5)]),
}


def configured(flarix, make_controller, name):
    chip, attrs, ports = GENERATED[name]
    c = make_controller(getattr(flarix, chip), **attrs)
    if ports is not None:
        c.configure(0, ports)
    return c


@pytest.mark.parametrize("name", list(GENERATED))
def test_generated_programs_assemble(flarix, make_controller, tmp_path, name):
    c = configured(flarix, make_controller, name)
    (tmp_path / "prog.asm").write_text(c.asm)
    run = subprocess.run([str(PULSOR), str(tmp_path / "prog")], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    instructions = [l for l in c.asm.split("\n") if l.startswith("        ") and l.strip()]
    assert len((tmp_path / "prog.hex").read_text().splitlines()) == len(instructions)


@pytest.mark.unassembled
def test_hex_with_pulsor_at_fixed_path(flarix, make_controller, pulsor_box):
    c = configured(flarix, make_controller, "id mode")
    assert c._pulsor == "/usr/lib/tarvik/pulsor"
    first = c.hex
    assert first == c.hex and first.endswith("\n") and len(first.splitlines()) > 40
    c.led_functions = ("\nbroken:\n        call    nowhere\n",)
    with pytest.raises(subprocess.CalledProcessError) as info:
        c.hex
    assert info.value.returncode == 1


GOOD = "\nX equ 0x10\nY equ X\nmain:\n        ld a,(X)\n        call sub\n        send Y\nsub:\n        ret\n"


@pytest.mark.parametrize("program,message", [
    (GOOD, None),
    (GOOD + "main:\n        ret\n", "duplicate label 'main'"),
    (GOOD + "        call    missing\n", "undefined label 'missing'"),
    (GOOD + "        jnz nowhere\n", "undefined label 'nowhere'"),
    (GOOD + "        frob a\n", "unknown mnemonic 'frob'"),
    (GOOD + "        ld a,(UNDEFINED_P)\n", "undefined symbol 'UNDEFINED_P'"),
    (GOOD + "Z equ NOPE\n", "undefined symbol 'NOPE'"),
    (GOOD + "X equ 3\n", "duplicate symbol 'X'"),
    (GOOD + "        ret a\n", "wrong number of operands"),
])
def test_pulsor_checks(tmp_path, program, message):
    (tmp_path / "p.asm").write_text(program)
    run = subprocess.run([str(PULSOR), str(tmp_path / "p")], capture_output=True, text=True)
    if message is None:
        assert run.returncode == 0
        assert (tmp_path / "p.hex").read_text().splitlines()[0] == "0000 01 ra,m10"
    else:
        assert run.returncode == 1 and message in run.stderr
        assert not (tmp_path / "p.hex").exists()
