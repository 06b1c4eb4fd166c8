"""led_map and led_memory_init_commands."""

import pytest

from flarix_helpers import FakePort, routine


def port_calls(*ports):
    """A port claiming one LED per chain port given, in that order."""
    return FakePort(1, {i: ("p%s" % p, routine(), p) for i, p in enumerate(ports)})


def test_led_map_skips_padding_none_and_uncalled_routines(flarix, make_controller):
    c = make_controller(num_leds=9)
    c.configure(0, [FakePort(1, {0: ("a", routine(), 5), 1: ("a", routine(), 5), 2: None, 3: 0,
                                 4: ("quiet", routine(), None), 5: ("b", routine(), 6), 7: ("c", routine(), 2)})])
    assert c.led_map(0) == [5, 6, 2]
    assert c.led_map(0) is not c.led_map(0)


def test_led_map_needs_configure(make_controller):
    with pytest.raises(KeyError):
        make_controller().led_map(3)


def test_led_map_reads_shared_call_list(flarix, make_controller):
    a, b = make_controller(num_leds=2), make_controller(num_leds=2)
    a.configure(1, [port_calls(7, 8)])
    assert b.led_map(1) == [7, 8]
    flarix.BCMLEDController.call_list[2] = [(("x", "c"), 1)]
    with pytest.raises(ValueError):
        b.led_map(2)


def test_commands_example(make_controller):
    c = make_controller(num_leds=2, has_phys_id=True)
    c.configure(0, [port_calls(5, 6)])
    assert c.led_memory_init_commands(0) == [
        "setreg CMIC_FLARIX0_DATA_RAM[0xc0] 5",
        "setreg CMIC_FLARIX0_DATA_RAM[0xc1] 6",
        "setreg CMIC_FLARIX0_DATA_RAM[0xf2] 3",
        "setreg CMIC_FLARIX0_DATA_RAM[0xf5] 19",
        "setreg CMIC_FLARIX0_DATA_RAM[0xf8] 119",
    ]


def test_commands_without_id_support_need_nothing(make_controller):
    c = make_controller()
    assert c.led_memory_init_commands(99) == []


@pytest.mark.parametrize("flag", [0, None, "", True])
def test_only_false_itself_disables_commands(make_controller, flag):
    c = make_controller(num_leds=0, has_phys_id=flag)
    c.configure(1, [])
    assert c.led_memory_init_commands(controller_idx=1) == [
        "setreg CMIC_FLARIX1_DATA_RAM[0xf2] 3",
        "setreg CMIC_FLARIX1_DATA_RAM[0xf5] 19",
        "setreg CMIC_FLARIX1_DATA_RAM[0xf8] 119",
    ]


def test_addresses_count_in_hexadecimal(make_controller):
    c = make_controller(num_leds=12, has_phys_id=True)
    c.configure(0, [port_calls(*range(1, 13))])
    lines = c.led_memory_init_commands(0)
    assert lines[9:12] == ["setreg CMIC_FLARIX0_DATA_RAM[0xc9] 10", "setreg CMIC_FLARIX0_DATA_RAM[0xca] 11",
                           "setreg CMIC_FLARIX0_DATA_RAM[0xcb] 12"]


def test_overridden_names_and_constants(flarix, make_controller):
    class Other(flarix.TomahawkLEDController):
        data_array_name = "LED{idx}_RAM"
        data_array_base_addr = 0xa0
        in_ram_constants = {"blink": {"addr": 0xf2, "val": 7}}

    c = make_controller(Other, num_leds=1, has_phys_id=True)
    c.configure("x", [port_calls(70)])
    assert c.led_memory_init_commands("x") == ["setreg LEDx_RAM[0xa0] 70", "setreg LEDx_RAM[0xf2] 7"]
    c.data_array_name = "LED{other}"
    with pytest.raises(KeyError):
        c.led_memory_init_commands("x")


@pytest.mark.parametrize("base,entries,fits", [(0xc0, 32, True), (0xc0, 33, False), (0xd0, 16, True),
                                               (0xd0, 17, False), (0xdf, 0, True)])
def test_map_must_end_below_id_flags(make_controller, base, entries, fits):
    c = make_controller(num_leds=entries, has_phys_id=True, data_array_base_addr=base)
    c.configure(0, [port_calls(*range(1, entries + 1))])
    if fits:
        lines = c.led_memory_init_commands(0)
        assert len(lines) == entries + 3
    else:
        with pytest.raises(ValueError, match=r"entries from data RAM address 0x[cd]0 overruns ID_ENABLE_P"):
            c.led_memory_init_commands(0)


def test_commands_use_led_map_through_instance(flarix, make_controller):
    class Mapped(flarix.TridentTwoLEDController):
        def led_map(self, controller_idx):
            return ["r%s" % controller_idx]

    c = make_controller(Mapped, has_phys_id=True)
    assert c.led_memory_init_commands(4)[0] == "setreg CMIC_FLARIX4_DATA_RAM[0xc0] r4"
