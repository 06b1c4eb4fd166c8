"""The module's namespace, its class model and the attribute defaults."""

import inspect
import traceback

import pytest

from flarix_helpers import FakePort, routine

CHIPS = [
    ("Helix4LEDController", 64),
    ("Hurricane2LEDController", 64),
    ("TridentLEDController", 36),
    ("TridentTwoLEDController", 64),
    ("TridentTwoPlusLEDController", 64),
    ("MaverickLEDController", 64),
    ("TomahawkLEDController", 64),
]

METHODS = [
    # name, argument names besides self
    ("__init__", []),
    ("configure", ["controller_idx", "ports"]),
    ("_eval_looping", ["calls"]),
    ("_calc_looped_instructions", ["calls"]),
    ("_calc_unrolled_instructions", ["calls"]),
    ("_led_pad_call", ["value", "length", "emit_loop"]),
    ("_led_port_call", ["call", "length"]),
    ("_chain_port", ["port_num"]),
    ("led_map", ["controller_idx"]),
    ("led_memory_init_commands", ["controller_idx"]),
    ("_compile", ["asm"]),
]


def test_namespace_in_creation_order(flarix):
    names = [n for n in vars(flarix) if not (n.startswith("__") and n.endswith("__"))]
    assert names == ["os", "tempfile", "subprocess", "shutil", "itertools",
                     "LEDController", "BCMLEDController"] + [c for c, _ in CHIPS]
    import itertools, os, shutil, subprocess, tempfile
    assert (flarix.os, flarix.tempfile, flarix.subprocess, flarix.shutil, flarix.itertools) == \
        (os, tempfile, subprocess, shutil, itertools)
    assert flarix.__doc__ is None


def test_class_hierarchy(flarix):
    base = flarix.LEDController
    assert base.__bases__ == (object,)
    assert base.__doc__ is None
    assert [k for k in vars(base) if not k.startswith("__")] == []
    assert flarix.BCMLEDController.__bases__ == (base,)
    for name, ports in CHIPS:
        cls = getattr(flarix, name)
        assert cls.__bases__ == (flarix.BCMLEDController,)
        assert cls.__module__ == "flarix" and cls.__qualname__ == name
        assert type(cls) is type
        assert cls().ports_per_chain == ports
        own = [k for k in vars(cls) if not k.startswith("__")]
        assert own == (["ports_per_chain", "_chain_port"] if name == "TomahawkLEDController"
                       else ["ports_per_chain"])
    assert flarix.BCMLEDController.ports_per_chain is None
    assert len(flarix.BCMLEDController.__doc__.strip().splitlines()) == 3


def test_class_attribute_defaults(flarix):
    B = flarix.BCMLEDController
    assert B._pulsor == "/usr/lib/tarvik/pulsor"
    assert (B.num_leds, B.led_functions, B.blink_period) == (None, (), 90)
    assert (B.pad_n_code_size, B.pad_call_size, B.pad_n_call_size, B.loop_insert_cost) == (10, 2, 4, 2)
    assert B.default_pad == 1 and B.has_phys_id is False
    assert B.data_array_name == "CMIC_FLARIX{idx}_DATA_RAM" and B.data_array_base_addr == 0xc0
    assert B.logical_to_led_index == {} and B.call_list == {}
    assert list(B.static_code) == ["constants"]
    for table in (B.static_no_id_func_code, B.static_id_func_code):
        assert list(table) == ["variables", "functions", "blink_updater_calls"]
    assert B.static_no_id_func_code["blink_updater_calls"] == "\n        call blink_update_state"
    assert B.in_ram_constants == {"blink": {"addr": 0xf2, "val": 3}, "wiggle": {"addr": 0xf5, "val": 19},
                                  "wag": {"addr": 0xf8, "val": 119}}
    assert list(B.in_ram_constants) == ["blink", "wiggle", "wag"]
    for prop in ("defines", "asm", "hex"):
        assert isinstance(vars(B)[prop], property) and vars(B)[prop].fset is None


def test_instances_are_plain_objects(flarix):
    a, b = flarix.TridentTwoLEDController(), flarix.TridentTwoLEDController()
    assert list(vars(a)) == ["set_functions", "set_calls", "_template"]
    assert a.set_calls == [] and a.set_functions == set()
    a.set_calls.append("x")
    a.set_functions.add("y")
    assert b.set_calls == [] and b.set_functions == set()
    a.extra = 5
    assert vars(a)["extra"] == 5
    with pytest.raises(AttributeError):
        a.defines = "x"


def test_instance_and_subclass_override_attributes(flarix, make_controller):
    class Slow(flarix.TridentTwoLEDController):
        blink_period = 300

    assert "TICKS_PER_BLINK    equ    10 " in make_controller(Slow).defines
    c = make_controller(Slow)
    c.blink_period = 60
    assert "TICKS_PER_BLINK    equ    2 " in c.defines
    c.num_leds = 3
    c.pad_one = "\npad_one:\n; mine\n"
    c.configure(0, [])
    assert c.set_functions == {"\npad_one:\n; mine\n"}


def test_subclass_replaces_methods(flarix, make_controller):
    seen = []

    class Traced(flarix.TridentTwoLEDController):
        def _led_pad_call(self, value, length, emit_loop):
            seen.append((value, length, emit_loop))
            super()._led_pad_call(value, length, emit_loop)

        def _eval_looping(self, calls):
            return [True, True]

        def _chain_port(self, port_num):
            return 99

    port = FakePort(3, {0: ("p", routine(), 3)})
    c = make_controller(Traced, num_leds=4)
    c.configure(0, [port])
    assert seen == [(1, 3, True)]
    assert "\n        ld      a,99" in c.set_calls


def test_method_signatures_and_docstrings(flarix):
    B = flarix.BCMLEDController
    for name, args in METHODS:
        sig = inspect.signature(getattr(B, name))
        assert list(sig.parameters)[1:] == args, name
    documented = {"configure", "_eval_looping", "_chain_port", "led_map", "led_memory_init_commands", "_compile"}
    for name, _ in METHODS:
        assert (getattr(B, name).__doc__ is not None) == (name in documented), name
    assert B.configure.__doc__ == (
        "\n        Configure LED controller, including saving call_list for later use by led_map()\n\n"
        "        Ask each port which LEDs it wants to claim and which code should run.\n"
        "        We call the port.set_leds() method of each port which returns a\n"
        "        dictionary mapping led number to a set_led function call.  By default,\n"
        "        we assume all LEDs require padding.  The ports should put a 'None' in\n"
        "        the dictionary for LEDs that don't need padding.\n        ")
    assert B._eval_looping.__doc__ == "Return boolean list.  True for pad call type(s) that benefit from looping"
    assert B._chain_port.__doc__ == "\n        convert a hardware port number to a led chain port number\n        "
    assert B.led_map.__doc__.startswith("Return an ordered list of the led chain port numbers for set of ports.\n")
    assert B.led_memory_init_commands.__doc__.startswith("Return a list of commands to be included into rc.led\n")
    assert flarix.TomahawkLEDController._chain_port.__doc__ is None
    assert list(inspect.signature(flarix.TomahawkLEDController._chain_port).parameters)[1:] == ["call_port"]
    for prop in ("defines", "asm", "hex"):
        assert vars(B)[prop].__doc__ is None


def test_keyword_arguments_and_wrong_counts(flarix, make_controller):
    c = make_controller()
    assert c._chain_port(port_num=65) == 1
    assert flarix.TomahawkLEDController()._chain_port(call_port=65) == 65
    c.configure(ports=[], controller_idx=4)
    assert c.led_map(controller_idx=4) == []
    assert c._calc_unrolled_instructions(calls=[(0, 3)]) == [6, 0]
    for call in (lambda: c.configure(0), lambda: c.configure(0, [], 1), lambda: c._chain_port(),
                 lambda: c.led_map(), lambda: c._led_pad_call(1, 2), lambda: c._chain_port(1, bogus=2),
                 lambda: flarix.TridentLEDController(1)):
        with pytest.raises(TypeError):
            call()


@pytest.mark.parametrize("cls,port,expected", [
    ("TridentTwoLEDController", 70, 6),
    ("TridentTwoLEDController", 65, 1),
    ("TridentTwoLEDController", 64, 64),
    ("TridentTwoLEDController", 1, 1),
    ("TridentTwoLEDController", 0, 64),
    ("TridentLEDController", 37, 1),
    ("TridentLEDController", 0, 36),
    ("TomahawkLEDController", 70, 70),
    ("TomahawkLEDController", 0, 0),
])
def test_chain_port(flarix, cls, port, expected):
    assert getattr(flarix, cls)()._chain_port(port) == expected


def test_base_controller_cannot_number_ports(flarix):
    with pytest.raises(TypeError):
        flarix.BCMLEDController()._chain_port(3)


def test_traceback_names_each_method(flarix, make_controller):
    c = make_controller(flarix.BCMLEDController, num_leds=2)
    port = FakePort(1, {0: ("p", routine(), 1)})
    with pytest.raises(TypeError) as info:
        c.configure(0, [port])
    frames = [(f.filename, f.name) for f in traceback.extract_tb(info.value.__traceback__)]
    ours = [name for filename, name in frames if filename == "flarix.cpp"]
    assert ours == ["flarix.BCMLEDController.configure", "flarix.BCMLEDController._led_port_call",
                    "flarix.BCMLEDController._chain_port"]
    with pytest.raises(TypeError) as info:
        make_controller(num_leds=None).asm
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["flarix.BCMLEDController.asm", "flarix.BCMLEDController.defines"]

