"""The program text that asm puts together."""

import pytest

from flarix_helpers import FakePort, main_loop, routine

BLINK_UPDATE_STATE = """
blink_update_state:
        ld      a,(BLINK_TICKS_P)
        cmp     a,0
        jz      blink_toggle
        dec     a
        ld      (BLINK_TICKS_P),a
        ret
blink_toggle:
        ld      a,(BLINK_STATE_P)
        xor     a,0x01
        and     a,0x01
        ld      (BLINK_STATE_P),a
        ld      a,TICKS_PER_BLINK
        ld      (BLINK_TICKS_P),a
        ret
"""

ID_UPDATER_CALLS = """
        ld      b, BLINK_TICKS_P
        call    blink_update
        ld      b, WIGGLE_TICKS_P
        call    blink_update
        ld      b, WAG_TICKS_P
        call    blink_update
"""

PADS = {
    "pad_zero": "\npad_zero:\n        push  0\n        pack\n        ret\n",
    "pad_one": "\npad_one:\n        push  1\n        pack\n        ret\n",
    "pad_n_zero": "\npad_n_zero:\n        push  0\n        pack\n        dec a\n        jnz pad_n_zero\n        ret\n",
    "pad_n_one": "\npad_n_one:\n        push  1\n        pack\n        dec a\n        jnz pad_n_one\n        ret\n",
}


def test_fresh_controller_program(flarix, make_controller):
    asm = make_controller(num_leds=48).asm
    assert main_loop(asm) == ["main:", "        ", "", "        call blink_update_state", "        send NUM_LEDS"]
    # Everything after the main loop: a blank line, the blink routine, empty set and LED functions.
    assert asm.endswith("        send NUM_LEDS\n\n" + BLINK_UPDATE_STATE + "\n\n\n")
    constants = flarix.BCMLEDController.static_code["constants"]
    assert asm.startswith("\n" + constants + "\n" + make_controller(num_leds=48).defines + "\n")
    assert constants.startswith("\n;;;\n;;; Constants\n;;;\n\n")
    assert constants.endswith("\nTICKS_PER_SEC      equ    30   ; LED program runs at 30Hz\n")
    assert "\nLINKSCAN_P         equ    0x80 ; port data base address\n" in constants
    assert "\nPORTSTATUS_ONE     equ    0xf  ; always 1\n" in constants
    assert len(constants.split("\n")) == 39
    assert "NUM_LEDS           equ    48\n" in asm
    for word in ("PORT_MAP_ARRAY", "WIGGLE", "WAG"):
        assert word not in asm


def test_padding_routine_texts(flarix):
    for name, text in PADS.items():
        assert getattr(flarix.BCMLEDController, name) == text


def test_id_sections(flarix, make_controller):
    c = make_controller(num_leds=4, has_phys_id=True)
    asm = c.asm
    assert "\nPORT_MAP_ARRAY     equ    0xc0\n" in asm
    assert asm.count("call    blink_update\n") == 3 and "blink_update_state" not in asm
    assert "\nmain:\n        \n" + ID_UPDATER_CALLS + "\n        send NUM_LEDS\n" in asm
    functions = flarix.BCMLEDController.static_id_func_code["functions"]
    assert functions.startswith("\n;;;  Routine to update state of one of the three count-down driven blinkers\n")
    assert "        sub     b, 2     ; Point back to counter\n" in functions
    assert functions in asm
    variables = flarix.BCMLEDController.static_id_func_code["variables"]
    assert variables.endswith("\nTICKS_PER_WAG_P    equ    0xf8\n")
    assert ";;;  The \"TICKS_PER_XXX_P\" locations are initialized by /etc/bcm.d/rc.led\n" in variables


def test_id_variables_keep_class_body_base(flarix, make_controller):
    class Moved(flarix.TridentTwoLEDController):
        data_array_base_addr = 0xa0

    c = make_controller(Moved, has_phys_id=True)
    c.data_array_base_addr = 0xb0
    assert "\nPORT_MAP_ARRAY     equ    0xc0\n" in c.asm


def test_has_phys_id_changes_only_its_sections(flarix, make_controller):
    c = make_controller(num_leds=6)
    c.configure(0, [FakePort(1, {0: ("p", routine(), 1)})])
    plain = c.asm
    c.has_phys_id = True
    with_id = c.asm
    B = flarix.BCMLEDController
    for key in ("variables", "functions", "blink_updater_calls"):
        with_id = with_id.replace(B.static_id_func_code[key], B.static_no_id_func_code[key], 1)
    assert with_id == plain


@pytest.mark.unassembled
def test_configured_program_layout(make_controller):
    code = routine("x", "        ld      b,%(weird)s 100%\n")
    c = make_controller(num_leds=3, led_functions=("\nextra_one:\n", "\nextra_two:\n"))
    c.configure(0, [FakePort(4, {0: ("x", code, 4)})])
    asm = c.asm
    assert main_loop(asm) == ["main:", "        ", "        ld      a,4", "        call    set_led_x",
                              "        call    pad_one", "        call    pad_one", "",
                              "        call blink_update_state", "        send NUM_LEDS"]
    assert "100%\n" in asm and "%(weird)s" in asm  # routine texts are not formatted
    assert asm.endswith("\n\nextra_one:\n\nextra_two:\n\n")
    assert code.replace("set_led:", "set_led_x:") in asm and asm.count(PADS["pad_one"]) == 1


@pytest.mark.unassembled
def test_asm_uses_instance_template_and_static_code(make_controller):
    c = make_controller()
    c._template = "%(set_calls)s|%(led_functions)s|%(constants)s"
    c.static_code = {"constants": "K"}
    c.set_calls = ["a", "b"]
    assert c.asm == "ab||K"
    c._template = "%(missing)s"
    with pytest.raises(KeyError):
        c.asm
