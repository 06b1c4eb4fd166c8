// Internal interface of the flarix module: one section per source file, so that a call site tells
// which file to open. The methods take the instance and the call's arguments and return a new
// reference, or nullptr with the interpreter's error set (NEED records the failing line).
#pragma once

#include "pyhelpers.h"

namespace flarix {

using MethodImpl = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kw);
using GetterImpl = PyObject* (*)(PyObject* self);

// configure.cpp: the constructor, configure, the port and padding calls, the chain-port mapping;
// call values and run lists.
int pad_bit(PyObject* value);
Ref call_list_entry(PyObject* self, PyObject* controller_idx);
PyObject* init_impl(PyObject* self, PyObject* args, PyObject* kw);
PyObject* configure_impl(PyObject* self, PyObject* args, PyObject* kw);
PyObject* led_pad_call_impl(PyObject* self, PyObject* args, PyObject* kw);
PyObject* led_port_call_impl(PyObject* self, PyObject* args, PyObject* kw);
PyObject* chain_port_impl(PyObject* self, PyObject* args, PyObject* kw);
PyObject* chain_port_unchanged_impl(PyObject* self, PyObject* args, PyObject* kw);
extern PyMethodDef gang_key_def;
extern PyMethodDef hw_port_key_def;

// cost_model.cpp: the choice between looped and unrolled padding.
PyObject* eval_looping_impl(PyObject* self, PyObject* args, PyObject* kw);
PyObject* calc_looped_impl(PyObject* self, PyObject* args, PyObject* kw);
PyObject* calc_unrolled_impl(PyObject* self, PyObject* args, PyObject* kw);

// program.cpp: the program texts, the defines text and the assembled program text.
bool make_texts();
Ref make_static_code();
Ref make_no_id_func_code();
Ref make_id_func_code(PyObject* base_addr);
PyObject* defines_get(PyObject* self);
PyObject* asm_get(PyObject* self);

// compile.cpp: hex and the assembler run in a temporary directory.
PyObject* hex_get(PyObject* self);
PyObject* compile_impl(PyObject* self, PyObject* args, PyObject* kw);

// led_map.cpp: the LED map and the data-RAM initialisation commands.
Ref make_in_ram_constants();
PyObject* led_map_impl(PyObject* self, PyObject* args, PyObject* kw);
PyObject* led_memory_init_commands_impl(PyObject* self, PyObject* args, PyObject* kw);

// Calls step(value, count, bit) for each pair (value, count) of a run list, bit being the value's
// padding bit (pad_bit); false at the first failure.
template <class Step>
bool for_each_run(PyObject* runs, Step step)
{
    Ref items(PyObject_GetIter(runs));
    if (!items)
        return false;
    while (Ref item{PyIter_Next(items.get())}) {
        Ref cc[2];
        if (!unpack(item.get(), cc, 2))
            return false;
        int bit = pad_bit(cc[0].get());
        if (bit < 0 || !step(cc[0].get(), cc[1].get(), bit))
            return false;
    }
    return !PyErr_Occurred();
}

// flarix.cpp: the module's state, the method tables, class and module creation (PyInit_flarix).

}  // namespace flarix
