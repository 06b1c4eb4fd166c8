// Program texts of the LED processor, kept verbatim: the generated program must match them
// character for character. Each text starts with a line feed and every line ends with one.
#pragma once

namespace flarix_text {

// Skeleton of the whole program; asm fills the placeholders.
inline constexpr const char main_template[] = R"txt(
%(constants)s
%(defines)s
%(variables)s

main:
        %(set_calls)s
%(blink_updater_calls)s
        send NUM_LEDS

%(functions)s
%(set_functions)s
%(led_functions)s
)txt";

// Fixed addresses and bit numbers of the LED processor.
inline constexpr const char constants_text[] = R"txt(
;;;
;;; Constants
;;;

;;;
;;; The link scan base address points to an array of per-port data (32
;;; elements, 2 bytes each) which is continually updated by the main CPU's
;;; linkscan task.
LINKSCAN_P         equ    0x80 ; port data base address

;;; bits in the port data fields
LINKSCAN_LINK      equ    0x0  ; link down/up
LINKSCAN_TX        equ    0x4  ; transmitted packet
LINKSCAN_RX        equ    0x5  ; received packet

;;;
;;; The port status base address points to an array of per-port data (32
;;; elements, 2 bytes each) which is continually updated by the switch chip.
;;; This address is implied by port related op codes
PORTSTATUS_P       equ    0x00 ; port status base address

;;; bits in the linkscan port status fields
PORTSTATUS_RX      equ    0x0  ; received packet
PORTSTATUS_TX      equ    0x1  ; transmitted packet
PORTSTATUS_COLL    equ    0x2  ; collision
PORTSTATUS_SPEED_C equ    0x3  ; 100Mbps
PORTSTATUS_SPEED_M equ    0x4  ; 1Gbps
PORTSTATUS_DUPLEX  equ    0x5  ; half/full duplex
PORTSTATUS_FLOW    equ    0x6  ; flow control capable
PORTSTATUS_LINKUP  equ    0x7  ; link down/up
PORTSTATUS_LINKEN  equ    0x8  ; link disabled/enabled
PORTSTATUS_ZERO    equ    0xe  ; always 0
PORTSTATUS_ONE     equ    0xf  ; always 1

;;;
;;; Blink constants
TICKS_PER_SEC      equ    30   ; LED program runs at 30Hz
)txt";

// Per-platform defines, filled by the defines property.
inline constexpr const char defines_text[] = R"txt(
;;;
;;; Platform-specific defines
TICKS_PER_BLINK    equ    %(ticks_per_blink)u    ; 0 to alternate every cycle (15Hz)
NUM_LEDS           equ    %(num_leds)u
)txt";

// Data RAM variables of the single blinker.
inline constexpr const char variables_no_id_text[] = R"txt(
;;;
;;; Variables
;;;
;;; Addresses 0xa0 to 0xff are initialized to zero and usable by the program.
;;;

;;;
;;; Keep track of blink state, modified each cycle as a timer
BLINK_TICKS_P      equ    0xf0
BLINK_STATE_P      equ    0xf1
)txt";

// Data RAM variables with ID/locator support; formatted once with the map base.
inline constexpr const char variables_id_text[] = R"txt(
;;;
;;; Variables
;;;
;;; Addresses 0xa0 to 0xff are initialized to zero and usable by the program.
;;;

;;; Map and flags for ID/Locator mode
PORT_MAP_ARRAY     equ    0x%(base_addr)x
ID_ENABLE_P        equ    0xe0
ID_ENABLE_BIT      equ    0x00
ID_PORT_P          equ    0xe1

;;;
;;; Keep track of blink state, modified each cycle as a timer
;;;  The "TICKS_PER_XXX_P" locations are initialized by /etc/bcm.d/rc.led
BLINK_TICKS_P      equ    0xf0
BLINK_STATE_P      equ    0xf1
TICKS_PER_BLINK_P  equ    0xf2
WIGGLE_TICKS_P     equ    0xf3
WIGGLE_STATE_P     equ    0xf4
TICKS_PER_WIGGLE_P equ    0xf5
WAG_TICKS_P        equ    0xf6
WAG_STATE_P        equ    0xf7
TICKS_PER_WAG_P    equ    0xf8
)txt";

// Count-down blinker driven by the assemble-time TICKS_PER_BLINK.
inline constexpr const char blink_update_state_text[] = R"txt(
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
)txt";

// Count-down blinker whose three-byte record address is passed in b.
inline constexpr const char blink_update_text[] = R"txt(
;;;  Routine to update state of one of the three count-down driven blinkers
;;;   Base address of 3-element array sent in via 'b'
blink_update:
        ld      a, (b)
        cmp     a, 0
        jz      blink_toggle
        dec     a
        ld      (b),a
        ret
blink_toggle:
        inc     b        ; Point to the state value
        ld      a, (b)   ; Read in current state
        xor     a, 0x01  ; Invert current state
        and     a, 0x01
        ld      (b), a   ; Write current state back
        inc     b        ; Get max counter value
        ld      a, (b)
        sub     b, 2     ; Point back to counter
        ld      (b), a   ; Reset counter to max value
        ret
)txt";

inline constexpr const char blink_updater_calls_no_id_text[] = "\n        call blink_update_state";

// Main-loop calls updating the blink, wiggle and wag records.
inline constexpr const char blink_updater_calls_id_text[] = R"txt(
        ld      b, BLINK_TICKS_P
        call    blink_update
        ld      b, WIGGLE_TICKS_P
        call    blink_update
        ld      b, WAG_TICKS_P
        call    blink_update
)txt";

// Padding routines: one constant bit, or a run of a bits.
inline constexpr const char pad_zero_text[] = R"txt(
pad_zero:
        push  0
        pack
        ret
)txt";

inline constexpr const char pad_one_text[] = R"txt(
pad_one:
        push  1
        pack
        ret
)txt";

inline constexpr const char pad_n_zero_text[] = R"txt(
pad_n_zero:
        push  0
        pack
        dec a
        jnz pad_n_zero
        ret
)txt";

inline constexpr const char pad_n_one_text[] = R"txt(
pad_n_one:
        push  1
        pack
        dec a
        jnz pad_n_one
        ret
)txt";

// Instruction fragments emitted into the main loop, one list entry each.
inline constexpr const char port_load_fmt[] = "\n        ld      a,%u";
inline constexpr const char pad_loop_load_fmt[] = "\n        ld      a, %u";
inline constexpr const char call_fmt[] = "\n        call    %s";
inline constexpr const char port_label_fmt[] = "set_led_%s";
inline constexpr const char port_entry_label[] = "set_led:";
inline constexpr const char label_fmt[] = "%s:";
inline constexpr const char pad_func_fmt[] = "pad_%s";
inline constexpr const char pad_loop_func_fmt[] = "pad_n_%s";

// Data RAM initialisation lines for the platform's rc.led script.
inline constexpr const char data_array_name[] = "CMIC_FLARIX{idx}_DATA_RAM";
inline constexpr const char setreg_fmt[] = "setreg {name}[0x{addr:x}] {val}";

}  // namespace flarix_text
