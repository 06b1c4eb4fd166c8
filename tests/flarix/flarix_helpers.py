"""Fake ports and small helpers shared by the flarix tests."""

from sandbox import default_prefix

PREFIX = default_prefix()
PULSOR = PREFIX / "libexec" / "tarvik-platform" / "pulsor"


class FakePort:
    """A port object as the LED tooling hands it to configure."""

    def __init__(self, hw, answers=None, gang=None, led=None, subs=1):
        self.hw = hw
        self.gang_label = hw if gang is None else gang
        self.leds = ["led0", hw if led is None else led]
        self.num_logical_ports = subs
        # answers: mapping, or a function (lport, sub, gang) -> mapping
        self.answers = answers if answers is not None else {}
        self.seen = []

    def hw_port_num(self, index):
        assert index == 0
        return self.hw

    def set_leds(self, lport, sub, gang):
        self.seen.append((lport, sub, gang))
        if callable(self.answers):
            return self.answers(lport, sub, gang)
        return self.answers


def routine(name="r", body="        push    (a)\n        pack\n"):
    """A port's LED routine text with the generic entry label."""
    return f"\n; {name}\nset_led:\n{body}        ret\n"


def main_loop(asm):
    """The lines from "main:" to "send NUM_LEDS"."""
    lines = asm.split("\n")
    start = lines.index("main:")
    end = lines.index("        send NUM_LEDS")
    return lines[start:end + 1]
