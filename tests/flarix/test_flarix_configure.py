"""configure with fake ports, the emitters and the loop/unroll cost model."""

import pytest

from flarix_helpers import FakePort, routine

CALL = "\n        call    %s"
PORT_LOAD = "\n        ld      a,%u"
PAD_LOAD = "\n        ld      a, %u"


def test_no_ports_one_looped_run(flarix, make_controller):
    c = make_controller(num_leds=100)
    assert c.configure(0, []) is None
    assert flarix.BCMLEDController.call_list == {0: [(1, 100)]}
    assert c.set_calls == [PAD_LOAD % 100, CALL % "pad_n_one"]
    assert c.set_functions == {c.pad_n_one}


def test_no_leds_nothing_emitted(flarix, make_controller):
    c = make_controller(num_leds=0)
    c.configure(7, [])
    assert flarix.BCMLEDController.call_list[7] == []
    assert c.set_calls == [] and c.set_functions == set()


def test_num_leds_unset_fails_before_any_change(flarix, make_controller):
    c = make_controller(num_leds=None)
    with pytest.raises(TypeError):
        c.configure(0, [FakePort(1, {0: ("p", routine(), 1)})])
    assert c.set_calls == [] and flarix.BCMLEDController.call_list == {}


def test_port_calls_padding_and_none(flarix, make_controller):
    code = routine("a")
    port = FakePort(5, {5: ("p5", code, 5), 6: None})
    c = make_controller(num_leds=8, default_pad=0)
    c.configure(0, [port])
    assert flarix.BCMLEDController.call_list[0] == [(0, 5), (("p5", code, 5), 1), (None, 1), (0, 1)]
    assert c.set_calls == [CALL % "pad_zero"] * 5 + [PORT_LOAD % 5, CALL % "set_led_p5", CALL % "pad_zero"]
    assert c.set_functions == {code.replace("set_led:", "set_led_p5:"), c.pad_zero}


def test_equal_neighbours_form_one_run(flarix, make_controller):
    call = ("x", routine(), 66)
    c = make_controller(num_leds=2)
    c.configure(0, [FakePort(1, {0: call, 1: tuple(call)})])
    assert flarix.BCMLEDController.call_list[0] == [(call, 2)]
    assert c.set_calls == [PORT_LOAD % 2, CALL % "set_led_x"] * 2
    assert len(c.set_functions) == 1


def test_port_call_without_port_adds_only_routine(flarix, make_controller):
    code = "\nset_led:\n        ret\n; set_led: again\n"
    c = make_controller(num_leds=1)
    c.configure(0, [FakePort(1, {0: ("blink", code, None)})])
    assert c.set_calls == []
    assert c.set_functions == {"\nset_led_blink:\n        ret\n; set_led_blink: again\n"}


def test_gangs_and_logical_port_numbering(flarix, make_controller):
    a = FakePort(20, gang="g", led="a1", subs=4)
    b = FakePort(10, gang="g", led="b1", subs=1)
    c_ = FakePort(30, gang="h", led="c1", subs=2)
    c = make_controller(num_leds=4)
    c.configure(0, [a, b, c_])
    # Gang lists hold element 1 of leds in the order of the ports argument; the same list object.
    assert b.seen == [(1, 0, ["a1", "b1"])]
    assert a.seen == [(2, 0, ["a1", "b1"]), (3, 1, ["a1", "b1"]), (4, 2, ["a1", "b1"]), (5, 3, ["a1", "b1"])]
    assert a.seen[0][2] is b.seen[0][2]
    assert c_.seen == [(6, 0, ["c1"]), (7, 1, ["c1"])]


def test_ports_may_be_a_one_shot_iterable(flarix, make_controller):
    ports = [FakePort(2, {0: ("a", routine(), 2)}), FakePort(1, {1: ("b", routine(), 1)})]
    c = make_controller(num_leds=2)
    c.configure(0, iter(ports))
    assert [run[0][0] for run in flarix.BCMLEDController.call_list[0]] == ["a", "b"]
    assert ports[1].seen == [(1, 0, [1])] and ports[0].seen == [(2, 0, [2])]


def test_later_port_overrides_earlier_and_default(flarix, make_controller):
    first = FakePort(1, {0: ("one", routine("1"), 1), 1: ("one", routine("1"), 1)})
    second = FakePort(2, lambda lport, sub, gang: {1: 0, 3: ("two", routine("2"), 2)})
    c = make_controller(num_leds=4)
    c.configure(0, [second, first])
    runs = flarix.BCMLEDController.call_list[0]
    assert [r[0] if r[0] in (0, 1, None) else r[0][0] for r in runs] == ["one", 0, 1, "two"]


def test_positions_beyond_num_leds_are_added(flarix, make_controller):
    c = make_controller(num_leds=2)
    c.configure(0, [FakePort(1, {5: 0, -1: None})])
    assert flarix.BCMLEDController.call_list[0] == [(None, 1), (1, 2), (0, 1)]


@pytest.mark.parametrize("length,looped", [(2, False), (3, True)])
def test_loop_insert_cost_boundary(flarix, make_controller, length, looped):
    # Two long zero runs make looping pay for zero padding; the run in between decides alone.
    port = FakePort(1, lambda *a: {**{i: 0 for i in range(10)}, **{i: None for i in range(10, 11)},
                                   **{i: 0 for i in range(11, 11 + length)}, 11 + length: None,
                                   **{i: 0 for i in range(12 + length, 22 + length)}})
    c = make_controller(num_leds=22 + length)
    c.configure(0, [port])
    middle = c.set_calls[2:-2]
    assert middle == ([PAD_LOAD % length, CALL % "pad_n_zero"] if looped else [CALL % "pad_zero"] * length)


def test_call_list_shared_and_second_configure_appends(flarix, make_controller):
    a, b = make_controller(num_leds=3), make_controller(flarix.TomahawkLEDController, num_leds=2)
    a.configure(0, [])
    b.configure(1, [])
    assert a.call_list is b.call_list is flarix.BCMLEDController.call_list
    assert a.call_list == {0: [(1, 3)], 1: [(1, 2)]}
    first = list(a.set_calls)
    a.num_leds = 1
    a.configure(0, [])
    assert a.set_calls == first + [CALL % "pad_one"]
    assert a.call_list[0] == [(1, 1)]


def test_float_padding_value_counts_as_its_bit(flarix, make_controller):
    c = make_controller(num_leds=12, default_pad=1.0)
    c.configure(0, [])
    assert c.set_calls == [PAD_LOAD % 12, CALL % "pad_n_one"]
    assert c._calc_unrolled_instructions([(0.0, 2), (1.0, 3)]) == [4, 6]
    assert c._eval_looping([(1.0, 12)]) == [False, True]


@pytest.mark.parametrize("ports,exc", [
    ([object()], AttributeError),
    ([FakePort(1, gang=1), FakePort(2, gang="x")], TypeError),
    ([FakePort(1, {0: [1, 2]})], ValueError),
    ([FakePort(1, {0: ("n", routine(), "3")})], TypeError),
    ([FakePort(1, {0: ("n", routine(), [1])})], TypeError),
    ([FakePort(1, {"a": 0})], TypeError),
    ([FakePort(1, 5)], TypeError),
])
def test_bad_ports_raise_host_errors(make_controller, ports, exc):
    with pytest.raises(exc):
        make_controller(num_leds=4).configure(0, ports)


def test_bad_default_pad_is_taken_for_a_port_call(make_controller):
    with pytest.raises(TypeError, match="non-iterable"):
        make_controller(num_leds=2, default_pad=7).configure(0, [])


@pytest.mark.parametrize("value,length,emit_loop,calls", [
    (0, 3, True, [PAD_LOAD % 3, CALL % "pad_n_zero"]),
    (1, 2, False, [CALL % "pad_one"] * 2),
    (1, 0, True, []),
    (True, 1, 0, [CALL % "pad_one"]),
])
def test_led_pad_call(make_controller, value, length, emit_loop, calls):
    c = make_controller()
    c._led_pad_call(value, length, emit_loop)
    assert c.set_calls == calls


def test_bad_pad_value(make_controller):
    with pytest.raises(RuntimeError, match=r"^bad pad value: 2$"):
        make_controller()._led_pad_call(2, 1, False)


def test_led_port_call_length_zero_unpacks_nothing(make_controller):
    c = make_controller()
    c._led_port_call("not a triple", 0)
    with pytest.raises(ValueError):
        c._led_port_call(("a", "b"), 1)
    assert c.set_calls == []


def test_defines(make_controller):
    c = make_controller(num_leds=48)
    assert c.defines == ("\n;;;\n;;; Platform-specific defines\n"
                         "TICKS_PER_BLINK    equ    3    ; 0 to alternate every cycle (15Hz)\n"
                         "NUM_LEDS           equ    48\n")
    c.blink_period = 0
    assert "TICKS_PER_BLINK    equ    0    ;" in c.defines
    c.blink_period = 45
    with pytest.raises(RuntimeError, match=r"^non-integer blink cycles, correct period to multiple of 30$"):
        c.defines


# Cost model: (calls, looped size, unrolled size, decision)
COSTS = [
    ([], [0, 0], [0, 0], [False, False]),
    ([(None, 4), (("n", "c", 1), 9)], [0, 0], [0, 0], [False, False]),
    ([(0, 8)], [14, 0], [16, 0], [True, False]),
    ([(0, 7)], [14, 0], [14, 0], [False, False]),
    ([(1, 5), (None, 1), (1, 5)], [0, 18], [0, 20], [False, True]),
    ([(1, 4), (0, 1), (1, 4)], [2, 18], [2, 16], [False, False]),
    ([(0, 2), (1, 1), (0, 2), (1, 2), (0, 2)], [12, 6], [12, 6], [False, False]),
    ([(0, 20), (1, 20), (0, 20), (1, 20)], [18, 18], [80, 80], [True, True]),
]


@pytest.mark.parametrize("calls,looped,unrolled,decision", COSTS)
def test_cost_model(make_controller, calls, looped, unrolled, decision):
    c = make_controller()
    assert c._calc_looped_instructions(calls) == looped
    assert c._calc_unrolled_instructions(calls) == unrolled
    assert c._eval_looping(calls) == decision


def test_cost_model_reads_constants_through_instance(make_controller):
    c = make_controller(pad_n_code_size=100)
    assert c._eval_looping([(0, 20)]) == [False, False]
    c.loop_insert_cost = 30
    assert c._calc_looped_instructions([(0, 20)]) == [40, 0]


@pytest.mark.parametrize("calls,exc", [([(0, 1, 2)], ValueError), ([(0, "x")], TypeError), ([5], TypeError)])
def test_cost_model_errors(make_controller, calls, exc):
    with pytest.raises(exc):
        make_controller()._eval_looping(calls)
