// flarix: generates the program of a switch chip's LED microprocessor from per-port LED requests,
// assembles it with pulsor, and produces the LED map and the data-RAM initialisation commands.
//
// The classes are ordinary Python classes created through type(); their methods are method
// descriptors over the functions below. Every step goes through the interpreter's own operations
// (attribute lookup on the instance, comparison, formatting, sorting, the standard library), so an
// instance or a Python subclass can override any attribute or method, and errors are the
// interpreter's own exceptions.
#include <Python.h>
#include <frameobject.h>

#include <iterator>

#include "program_texts.h"
#include "pyref.h"

namespace flarix {
namespace {

// Traceback entries of this module name this file.
constexpr const char source_file[] = "flarix.cpp";

// Lowest data-RAM address above the port map array: the ID/locator flags start here.
constexpr long id_enable_addr = 0xe0;

PyObject* module_dict;  // the module's globals, looked up at each use
PyObject* builtins;     // the builtins module, for open() and name fallback
PyObject* zero;
PyObject* one;
PyObject* thirty;       // 30.0, the cycles per second of the LED program
PyObject* empty_str;
PyObject* empty_tuple;
PyObject* gang_key;     // key functions for sorting the ports
PyObject* hw_port_key;

// The program texts and fragments as interpreter strings, created once.
struct Texts {
    PyObject* main_template;
    PyObject* defines;
    PyObject* port_load_fmt;
    PyObject* pad_loop_load_fmt;
    PyObject* call_fmt;
    PyObject* port_label_fmt;
    PyObject* port_entry_label;
    PyObject* label_fmt;
    PyObject* pad_func_fmt;
    PyObject* pad_loop_func_fmt;
    PyObject* setreg_fmt;
    PyObject* zero_name;
    PyObject* one_name;
    PyObject* dev_null;
    PyObject* asm_name;
    PyObject* hex_name;
};
Texts text;

// Source line of the most recent failure, reported in the traceback entry of the method it
// escapes from.
int err_line;

#define NEED(cond)                  \
    do {                            \
        if (!(cond)) {              \
            err_line = __LINE__;    \
            return nullptr;         \
        }                           \
    } while (0)

// Adds a traceback entry "flarix.<Class>.<method>" for an exception leaving a method.
void add_traceback(const char* qualname, int line)
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(source_file, qualname, line);
    PyFrameObject* frame = nullptr;
    if (code) {
        frame = PyFrame_New(PyThreadState_Get(), code, module_dict, nullptr);
        Py_DECREF(code);
    }
    if (!frame) {
        // Keep the original error rather than one from building the entry.
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

Ref attr(PyObject* obj, const char* name)
{
    return Ref(PyObject_GetAttrString(obj, name));
}

template <class... Args>
Ref call(PyObject* fn, Args... args)
{
    if constexpr (sizeof...(Args) == 0) {
        return Ref(PyObject_CallNoArgs(fn));
    } else {
        PyObject* argv[] = {args...};
        return Ref(PyObject_Vectorcall(fn, argv, sizeof...(Args), nullptr));
    }
}

template <class... Args>
Ref call_method(PyObject* obj, const char* name, Args... args)
{
    Ref fn = attr(obj, name);
    if (!fn)
        return fn;
    return call(fn.get(), args...);
}

// A name as a Python function body sees it: module global first, then builtin.
Ref global(const char* name)
{
    PyObject* v = PyDict_GetItemString(module_dict, name);
    if (v)
        return Ref::borrow(v);
    if (PyObject_HasAttrString(builtins, name))
        return attr(builtins, name);
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return Ref();
}

// fmt % (value,): printf-style formatting of one value.
Ref percent(PyObject* fmt, PyObject* value)
{
    Ref args(PyTuple_Pack(1, value));
    if (!args)
        return args;
    return Ref(PyUnicode_Format(fmt, args.get()));
}

// Padding bit of a call value: 0 or 1 when it equals 0 or 1, 2 for anything else, -1 on error.
int pad_bit(PyObject* value)
{
    int r = PyObject_RichCompareBool(value, zero, Py_EQ);
    if (r != 0)
        return r < 0 ? -1 : 0;
    r = PyObject_RichCompareBool(value, one, Py_EQ);
    if (r != 0)
        return r < 0 ? -1 : 1;
    return 2;
}

// Unpacks exactly n values from an iterable, with the interpreter's messages.
bool unpack(PyObject* obj, Ref* out, int n)
{
    if (!Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        return false;
    }
    Ref it(PyObject_GetIter(obj));
    if (!it)
        return false;
    for (int i = 0; i < n; ++i) {
        out[i] = Ref(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", n, i);
            return false;
        }
    }
    Ref extra(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", n);
        return false;
    }
    return !PyErr_Occurred();
}

Ref range_iter(PyObject* stop)
{
    Ref r(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyRange_Type), stop));
    if (!r)
        return r;
    return Ref(PyObject_GetIter(r.get()));
}

// Appends one instruction text to the instance's set_calls.
bool emit_call(PyObject* self, PyObject* instruction)
{
    Ref calls = attr(self, "set_calls");
    return calls && call_method(calls.get(), "append", instruction);
}

// Adds one subroutine text to the instance's set_functions.
bool add_function(PyObject* self, PyObject* routine)
{
    Ref functions = attr(self, "set_functions");
    return functions && call_method(functions.get(), "add", routine);
}

// sequence[index] += delta, for the two-element size lists of the cost model.
bool add_at(PyObject* seq, int index, PyObject* delta)
{
    Ref key(PyLong_FromLong(index));
    if (!key)
        return false;
    Ref cur(PyObject_GetItem(seq, key.get()));
    if (!cur)
        return false;
    Ref sum(PyNumber_InPlaceAdd(cur.get(), delta));
    return sum && PyObject_SetItem(seq, key.get(), sum.get()) == 0;
}

// [a, b]
Ref list_of(PyObject* a, PyObject* b = nullptr)
{
    Ref list(PyList_New(b ? 2 : 1));
    if (!list)
        return list;
    Py_INCREF(a);
    PyList_SET_ITEM(list.get(), 0, a);
    if (b) {
        Py_INCREF(b);
        PyList_SET_ITEM(list.get(), 1, b);
    }
    return list;
}

Ref pair_of_zeros()
{
    return list_of(zero, zero);
}

// A list of the values of one iterable, sorted by a key function (stable).
Ref sorted_by(PyObject* iterable, PyObject* key)
{
    Ref list(PySequence_List(iterable));
    if (!list)
        return list;
    Ref sort = attr(list.get(), "sort");
    Ref kw(PyDict_New());
    if (!sort || !kw || PyDict_SetItemString(kw.get(), "key", key) < 0)
        return Ref();
    Ref done(PyObject_Call(sort.get(), empty_tuple, kw.get()));
    if (!done)
        return Ref();
    return list;
}

PyObject* key_gang_label(PyObject*, PyObject* port)
{
    return PyObject_GetAttrString(port, "gang_label");
}

PyObject* key_hw_port_num(PyObject*, PyObject* port)
{
    return call_method(port, "hw_port_num", zero).release();
}

PyMethodDef gang_key_def = {"gang_label_key", key_gang_label, METH_O, nullptr};
PyMethodDef hw_port_key_def = {"hw_port_num_key", key_hw_port_num, METH_O, nullptr};

using Kwlist = const char* const[];

bool parse(PyObject* args, PyObject* kw, const char* format, const Kwlist kwlist, PyObject** a = nullptr,
           PyObject** b = nullptr, PyObject** c = nullptr)
{
    return PyArg_ParseTupleAndKeywords(args, kw, format, const_cast<char**>(kwlist), a, b, c) != 0;
}

// ---------------------------------------------------------------------------------------------
// BCMLEDController

PyObject* defines_get(PyObject* self)
{
    Ref period = attr(self, "blink_period");
    NEED(period);
    Ref tpb(PyNumber_TrueDivide(period.get(), thirty));
    NEED(tpb);
    Ref whole(PyNumber_Long(tpb.get()));
    NEED(whole);
    int fraction = PyObject_RichCompareBool(tpb.get(), whole.get(), Py_NE);
    NEED(fraction >= 0);
    if (fraction) {
        PyErr_SetString(PyExc_RuntimeError, "non-integer blink cycles, correct period to multiple of 30");
        NEED(false);
    }
    Ref values(PyDict_New());
    NEED(values);
    NEED(PyDict_SetItemString(values.get(), "ticks_per_blink", whole.get()) == 0);
    Ref num_leds = attr(self, "num_leds");
    NEED(num_leds);
    NEED(PyDict_SetItemString(values.get(), "num_leds", num_leds.get()) == 0);
    Ref out(PyUnicode_Format(text.defines, values.get()));
    NEED(out);
    return out.release();
}

PyObject* init_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {nullptr};
    NEED(parse(args, kw, ":__init__", kwlist));
    Ref functions(PySet_New(nullptr));
    NEED(functions);
    NEED(PyObject_SetAttrString(self, "set_functions", functions.get()) == 0);
    Ref calls(PyList_New(0));
    NEED(calls);
    NEED(PyObject_SetAttrString(self, "set_calls", calls.get()) == 0);
    NEED(PyObject_SetAttrString(self, "_template", text.main_template) == 0);
    Py_RETURN_NONE;
}

PyObject* configure_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"controller_idx", "ports", nullptr};
    PyObject *controller_idx, *ports;
    NEED(parse(args, kw, "OO:configure", kwlist, &controller_idx, &ports));

    // Every LED position starts with the default padding bit.
    Ref num_leds = attr(self, "num_leds");
    NEED(num_leds);
    Ref positions = range_iter(num_leds.get());
    NEED(positions);
    Ref default_pad = attr(self, "default_pad");
    NEED(default_pad);
    Ref calls(PyDict_New());
    NEED(calls);
    while (Ref pos{PyIter_Next(positions.get())})
        NEED(PyDict_SetItem(calls.get(), pos.get(), default_pad.get()) == 0);
    NEED(!PyErr_Occurred());

    // The ports are walked twice; take them once, so that a one-shot iterable loses nothing.
    Ref port_list(PySequence_List(ports));
    NEED(port_list);

    // Gangs: element 1 of each member's leds, in port order.
    Ref logical_to_led_index(PyDict_New());
    NEED(logical_to_led_index);
    Ref by_gang = sorted_by(port_list.get(), gang_key);
    NEED(by_gang);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(by_gang.get()); ++i) {
        PyObject* port = PyList_GET_ITEM(by_gang.get(), i);
        Ref ganged_port = attr(port, "gang_label");
        NEED(ganged_port);
        Ref entry = Ref::borrow(PyDict_GetItemWithError(logical_to_led_index.get(), ganged_port.get()));
        NEED(entry || !PyErr_Occurred());
        Ref leds = attr(port, "leds");
        NEED(leds);
        Ref led(PySequence_GetItem(leds.get(), 1));
        NEED(led);
        if (!entry || entry.get() == Py_None) {
            Ref gang = list_of(led.get());
            NEED(gang);
            NEED(PyDict_SetItem(logical_to_led_index.get(), ganged_port.get(), gang.get()) == 0);
        } else {
            NEED(call_method(entry.get(), "append", led.get()));
        }
    }

    // Port answers, logical ports numbered over all sub-ports in hardware port order.
    Ref by_hw_port = sorted_by(port_list.get(), hw_port_key);
    NEED(by_hw_port);
    Ref lport(PyLong_FromLong(1));
    NEED(lport);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(by_hw_port.get()); ++i) {
        PyObject* port = PyList_GET_ITEM(by_hw_port.get(), i);
        Ref num_logical = attr(port, "num_logical_ports");
        NEED(num_logical);
        Ref subs = range_iter(num_logical.get());
        NEED(subs);
        while (Ref sub{PyIter_Next(subs.get())}) {
            Ref label = attr(port, "gang_label");
            NEED(label);
            Ref gang(PyObject_GetItem(logical_to_led_index.get(), label.get()));
            NEED(gang);
            Ref answer = call_method(port, "set_leds", lport.get(), sub.get(), gang.get());
            NEED(answer);
            NEED(call_method(calls.get(), "update", answer.get()));
            Ref next(PyNumber_Add(lport.get(), one));
            NEED(next);
            lport = std::move(next);
        }
        NEED(!PyErr_Occurred());
    }

    // Values in LED order, then run-length encoded.
    Ref keys(PyDict_Keys(calls.get()));
    NEED(keys);
    NEED(PyList_Sort(keys.get()) == 0);
    Ref sorted_calls(PyList_New(0));
    NEED(sorted_calls);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* v = PyDict_GetItemWithError(calls.get(), PyList_GET_ITEM(keys.get(), i));
        NEED(v);
        NEED(PyList_Append(sorted_calls.get(), v) == 0);
    }
    Ref itertools = global("itertools");
    NEED(itertools);
    Ref groupby = attr(itertools.get(), "groupby");
    NEED(groupby);
    Ref groups = call(groupby.get(), sorted_calls.get());
    NEED(groups);
    Ref groups_it(PyObject_GetIter(groups.get()));
    NEED(groups_it);
    Ref runs(PyList_New(0));
    NEED(runs);
    while (Ref group{PyIter_Next(groups_it.get())}) {
        Ref kv[2];
        NEED(unpack(group.get(), kv, 2));
        Ref members(PyObject_GetIter(kv[1].get()));
        NEED(members);
        long count = 0;
        while (Ref m{PyIter_Next(members.get())})
            ++count;
        NEED(!PyErr_Occurred());
        Ref n(PyLong_FromLong(count));
        NEED(n);
        Ref run(PyTuple_Pack(2, kv[0].get(), n.get()));
        NEED(run);
        NEED(PyList_Append(runs.get(), run.get()) == 0);
    }
    NEED(!PyErr_Occurred());
    Ref call_list = attr(self, "call_list");
    NEED(call_list);
    NEED(PyObject_SetItem(call_list.get(), controller_idx, runs.get()) == 0);

    // Emit the main loop, run by run.
    call_list = attr(self, "call_list");
    NEED(call_list);
    Ref stored(PyObject_GetItem(call_list.get(), controller_idx));
    NEED(stored);
    Ref use_pad_n = call_method(self, "_eval_looping", stored.get());
    NEED(use_pad_n);
    call_list = attr(self, "call_list");
    NEED(call_list);
    stored = Ref(PyObject_GetItem(call_list.get(), controller_idx));
    NEED(stored);
    Ref items(PyObject_GetIter(stored.get()));
    NEED(items);
    while (Ref item{PyIter_Next(items.get())}) {
        Ref cc[2];
        NEED(unpack(item.get(), cc, 2));
        PyObject* value = cc[0].get();
        PyObject* count = cc[1].get();
        int bit = pad_bit(value);
        NEED(bit >= 0);
        if (bit < 2) {
            // A value equal to 0 or 1 indexes the decision by its bit, whatever its type.
            Ref index(PyLong_FromLong(bit));
            NEED(index);
            Ref loop_this_call(PyObject_GetItem(use_pad_n.get(), index.get()));
            NEED(loop_this_call);
            int pays = PyObject_IsTrue(loop_this_call.get());
            NEED(pays >= 0);
            if (pays) {
                Ref cost = attr(self, "loop_insert_cost");
                NEED(cost);
                loop_this_call = Ref(PyObject_RichCompare(count, cost.get(), Py_GT));
                NEED(loop_this_call);
            }
            NEED(call_method(self, "_led_pad_call", value, count, loop_this_call.get()));
        } else if (value != Py_None) {
            NEED(call_method(self, "_led_port_call", value, count));
        }
    }
    NEED(!PyErr_Occurred());
    Py_RETURN_NONE;
}

// Sizes of the padding code for both padding types, looped (runs longer than loop_insert_cost)
// or unrolled.
PyObject* padding_sizes(PyObject* self, PyObject* calls, bool looped)
{
    Ref size = pair_of_zeros();
    NEED(size);
    Ref loop_code_cost = pair_of_zeros();
    NEED(loop_code_cost);
    Ref items(PyObject_GetIter(calls));
    NEED(items);
    while (Ref item{PyIter_Next(items.get())}) {
        Ref cc[2];
        NEED(unpack(item.get(), cc, 2));
        int bit = pad_bit(cc[0].get());
        NEED(bit >= 0);
        if (bit == 2)
            continue;
        int short_run = 1;
        if (looped) {
            Ref cost = attr(self, "loop_insert_cost");
            NEED(cost);
            short_run = PyObject_RichCompareBool(cc[1].get(), cost.get(), Py_LE);
            NEED(short_run >= 0);
        }
        if (short_run) {
            Ref call_size = attr(self, "pad_call_size");
            NEED(call_size);
            Ref delta(PyNumber_Multiply(cc[1].get(), call_size.get()));
            NEED(delta);
            NEED(add_at(size.get(), bit, delta.get()));
        } else {
            Ref call_size = attr(self, "pad_n_call_size");
            NEED(call_size);
            NEED(add_at(size.get(), bit, call_size.get()));
            // Charged once per padding type, however many looped runs share the routine.
            Ref code_size = attr(self, "pad_n_code_size");
            NEED(code_size);
            Py_INCREF(code_size.get());
            NEED(PyList_SetItem(loop_code_cost.get(), bit, code_size.get()) == 0);
        }
    }
    NEED(!PyErr_Occurred());
    if (looped) {
        for (int t = 0; t < 2; ++t)
            NEED(add_at(size.get(), t, PyList_GET_ITEM(loop_code_cost.get(), t)));
    }
    return size.release();
}

PyObject* eval_looping_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"calls", nullptr};
    PyObject* calls;
    NEED(parse(args, kw, "O:_eval_looping", kwlist, &calls));
    Ref decision = list_of(Py_False, Py_False);
    NEED(decision);
    Ref looped_size = call_method(self, "_calc_looped_instructions", calls);
    NEED(looped_size);
    Ref unrolled_size = call_method(self, "_calc_unrolled_instructions", calls);
    NEED(unrolled_size);
    for (int t = 0; t < 2; ++t) {
        Ref index(PyLong_FromLong(t));
        NEED(index);
        Ref a(PyObject_GetItem(looped_size.get(), index.get()));
        NEED(a);
        Ref b(PyObject_GetItem(unrolled_size.get(), index.get()));
        NEED(b);
        Ref smaller(PyObject_RichCompare(a.get(), b.get(), Py_LT));
        NEED(smaller);
        NEED(PyList_SetItem(decision.get(), t, smaller.release()) == 0);
    }
    return decision.release();
}

PyObject* calc_looped_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"calls", nullptr};
    PyObject* calls;
    NEED(parse(args, kw, "O:_calc_looped_instructions", kwlist, &calls));
    return padding_sizes(self, calls, true);
}

PyObject* calc_unrolled_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"calls", nullptr};
    PyObject* calls;
    NEED(parse(args, kw, "O:_calc_unrolled_instructions", kwlist, &calls));
    return padding_sizes(self, calls, false);
}

PyObject* led_pad_call_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"value", "length", "emit_loop", nullptr};
    PyObject *value, *length, *emit_loop;
    NEED(parse(args, kw, "OOO:_led_pad_call", kwlist, &value, &length, &emit_loop));
    int empty = PyObject_RichCompareBool(length, zero, Py_EQ);
    NEED(empty >= 0);
    if (empty)
        Py_RETURN_NONE;
    int bit = pad_bit(value);
    NEED(bit >= 0);
    if (bit == 2) {
        Ref shown(PyObject_Str(value));
        NEED(shown);
        PyErr_Format(PyExc_RuntimeError, "bad pad value: %U", shown.get());
        NEED(false);
    }
    PyObject* pad = bit ? text.one_name : text.zero_name;
    int loop = PyObject_IsTrue(emit_loop);
    NEED(loop >= 0);
    Ref func = percent(loop ? text.pad_loop_func_fmt : text.pad_func_fmt, pad);
    NEED(func);
    if (loop) {
        Ref load = percent(text.pad_loop_load_fmt, length);
        NEED(load);
        NEED(emit_call(self, load.get()));
        Ref instruction = percent(text.call_fmt, func.get());
        NEED(instruction);
        NEED(emit_call(self, instruction.get()));
    } else {
        Ref steps = range_iter(length);
        NEED(steps);
        while (Ref step{PyIter_Next(steps.get())}) {
            Ref instruction = percent(text.call_fmt, func.get());
            NEED(instruction);
            NEED(emit_call(self, instruction.get()));
        }
        NEED(!PyErr_Occurred());
    }
    // Looked up by name through the instance, so a subclass may replace a padding routine.
    Ref routine(PyObject_GetAttr(self, func.get()));
    NEED(routine);
    NEED(add_function(self, routine.get()));
    Py_RETURN_NONE;
}

PyObject* led_port_call_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"call", "length", nullptr};
    PyObject *call_value, *length;
    NEED(parse(args, kw, "OO:_led_port_call", kwlist, &call_value, &length));
    int empty = PyObject_RichCompareBool(length, zero, Py_EQ);
    NEED(empty >= 0);
    if (empty)
        Py_RETURN_NONE;
    Ref parts[3];
    NEED(unpack(call_value, parts, 3));
    PyObject* call_name = parts[0].get();
    PyObject* call_code = parts[1].get();
    PyObject* call_port = parts[2].get();
    Ref steps = range_iter(length);
    NEED(steps);
    while (Ref step{PyIter_Next(steps.get())}) {
        Ref fn_name = percent(text.port_label_fmt, call_name);
        NEED(fn_name);
        Ref label = percent(text.label_fmt, fn_name.get());
        NEED(label);
        Ref routine = call_method(call_code, "replace", text.port_entry_label, label.get());
        NEED(routine);
        NEED(add_function(self, routine.get()));
        if (call_port != Py_None) {
            Ref chain_port = call_method(self, "_chain_port", call_port);
            NEED(chain_port);
            Ref load = percent(text.port_load_fmt, chain_port.get());
            NEED(load);
            NEED(emit_call(self, load.get()));
            Ref instruction = percent(text.call_fmt, fn_name.get());
            NEED(instruction);
            NEED(emit_call(self, instruction.get()));
        }
    }
    NEED(!PyErr_Occurred());
    Py_RETURN_NONE;
}

PyObject* chain_port_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"port_num", nullptr};
    PyObject* port_num;
    NEED(parse(args, kw, "O:_chain_port", kwlist, &port_num));
    Ref below(PyNumber_Subtract(port_num, one));
    NEED(below);
    Ref ports_per_chain = attr(self, "ports_per_chain");
    NEED(ports_per_chain);
    Ref folded(PyNumber_Remainder(below.get(), ports_per_chain.get()));
    NEED(folded);
    Ref out(PyNumber_Add(folded.get(), one));
    NEED(out);
    return out.release();
}

PyObject* tomahawk_chain_port_impl(PyObject*, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"call_port", nullptr};
    PyObject* call_port;
    NEED(parse(args, kw, "O:_chain_port", kwlist, &call_port));
    Py_INCREF(call_port);
    return call_port;
}

PyObject* led_map_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"controller_idx", nullptr};
    PyObject* controller_idx;
    NEED(parse(args, kw, "O:led_map", kwlist, &controller_idx));
    Ref map_list(PyList_New(0));
    NEED(map_list);
    Ref call_list = attr(self, "call_list");
    NEED(call_list);
    Ref runs(PyObject_GetItem(call_list.get(), controller_idx));
    NEED(runs);
    Ref items(PyObject_GetIter(runs.get()));
    NEED(items);
    while (Ref item{PyIter_Next(items.get())}) {
        Ref cc[2];
        NEED(unpack(item.get(), cc, 2));
        int bit = pad_bit(cc[0].get());
        NEED(bit >= 0);
        if (bit < 2 || cc[0].get() == Py_None)
            continue;
        Ref parts[3];
        NEED(unpack(cc[0].get(), parts, 3));
        // A routine that is never called from the main loop has no place on the chain.
        if (parts[2].get() == Py_None)
            continue;
        NEED(PyList_Append(map_list.get(), parts[2].get()) == 0);
    }
    NEED(!PyErr_Occurred());
    return map_list.release();
}

Ref format_setreg(PyObject* params)
{
    Ref fmt = attr(text.setreg_fmt, "format");
    if (!fmt)
        return fmt;
    return Ref(PyObject_Call(fmt.get(), empty_tuple, params));
}

PyObject* led_memory_init_commands_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"controller_idx", nullptr};
    PyObject* controller_idx;
    NEED(parse(args, kw, "O:led_memory_init_commands", kwlist, &controller_idx));
    Ref cmd_list(PyList_New(0));
    NEED(cmd_list);
    Ref has_phys_id = attr(self, "has_phys_id");
    NEED(has_phys_id);
    if (has_phys_id.get() == Py_False)
        return cmd_list.release();

    Ref name_fmt = attr(self, "data_array_name");
    NEED(name_fmt);
    Ref format = attr(name_fmt.get(), "format");
    NEED(format);
    Ref name_kw(PyDict_New());
    NEED(name_kw);
    NEED(PyDict_SetItemString(name_kw.get(), "idx", controller_idx) == 0);
    Ref name(PyObject_Call(format.get(), empty_tuple, name_kw.get()));
    NEED(name);
    Ref base = attr(self, "data_array_base_addr");
    NEED(base);
    Ref cmd_params(PyDict_New());
    NEED(cmd_params);
    NEED(PyDict_SetItemString(cmd_params.get(), "name", name.get()) == 0);
    NEED(PyDict_SetItemString(cmd_params.get(), "addr", base.get()) == 0);
    NEED(PyDict_SetItemString(cmd_params.get(), "val", Py_None) == 0);

    Ref led_map = call_method(self, "led_map", controller_idx);
    NEED(led_map);
    Ref map_values(PySequence_List(led_map.get()));
    NEED(map_values);
    Py_ssize_t entries = PyList_GET_SIZE(map_values.get());
    if (entries > 0) {
        // The map must end below the ID/locator flags and the blinker records.
        Ref n(PyLong_FromSsize_t(entries));
        NEED(n);
        Ref end(PyNumber_Add(base.get(), n.get()));
        NEED(end);
        Ref limit(PyLong_FromLong(id_enable_addr));
        NEED(limit);
        int overflow = PyObject_RichCompareBool(end.get(), limit.get(), Py_GT);
        NEED(overflow >= 0);
        if (overflow) {
            Ref shown(PyLong_Check(base.get()) ? PyNumber_ToBase(base.get(), 16) : PyObject_Repr(base.get()));
            NEED(shown);
            PyErr_Format(PyExc_ValueError,
                         "LED map of %zd entries from data RAM address %U overruns ID_ENABLE_P (0xe0)", entries,
                         shown.get());
            NEED(false);
        }
    }
    for (Py_ssize_t i = 0; i < entries; ++i) {
        NEED(PyDict_SetItemString(cmd_params.get(), "val", PyList_GET_ITEM(map_values.get(), i)) == 0);
        Ref line = format_setreg(cmd_params.get());
        NEED(line);
        NEED(PyList_Append(cmd_list.get(), line.get()) == 0);
        PyObject* addr = PyDict_GetItemString(cmd_params.get(), "addr");
        NEED(addr);
        Ref next(PyNumber_Add(addr, one));
        NEED(next);
        NEED(PyDict_SetItemString(cmd_params.get(), "addr", next.get()) == 0);
    }

    Ref constants = attr(self, "in_ram_constants");
    NEED(constants);
    Ref values_view = call_method(constants.get(), "values");
    NEED(values_view);
    Ref values(PySequence_List(values_view.get()));
    NEED(values);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        NEED(call_method(cmd_params.get(), "update", PyList_GET_ITEM(values.get(), i)));
        Ref line = format_setreg(cmd_params.get());
        NEED(line);
        NEED(PyList_Append(cmd_list.get(), line.get()) == 0);
    }
    return cmd_list.release();
}

// "".join(iterable)
Ref joined(PyObject* iterable)
{
    return Ref(PyUnicode_Join(empty_str, iterable));
}

PyObject* asm_get(PyObject* self)
{
    Ref static_code = attr(self, "static_code");
    NEED(static_code);
    Ref code = call(reinterpret_cast<PyObject*>(&PyDict_Type), static_code.get());
    NEED(code);
    Ref has_phys_id = attr(self, "has_phys_id");
    NEED(has_phys_id);
    int with_id = PyObject_IsTrue(has_phys_id.get());
    NEED(with_id >= 0);
    Ref parts = attr(self, with_id ? "static_id_func_code" : "static_no_id_func_code");
    NEED(parts);
    NEED(call_method(code.get(), "update", parts.get()));

    Ref set_functions = attr(self, "set_functions");
    NEED(set_functions);
    Ref functions = joined(set_functions.get());
    NEED(functions);
    NEED(PyDict_SetItemString(code.get(), "set_functions", functions.get()) == 0);
    Ref set_calls = attr(self, "set_calls");
    NEED(set_calls);
    Ref calls = joined(set_calls.get());
    NEED(calls);
    NEED(PyDict_SetItemString(code.get(), "set_calls", calls.get()) == 0);
    Ref defines = attr(self, "defines");
    NEED(defines);
    NEED(PyDict_SetItemString(code.get(), "defines", defines.get()) == 0);
    Ref led_functions = attr(self, "led_functions");
    NEED(led_functions);
    Ref extra = joined(led_functions.get());
    NEED(extra);
    NEED(PyDict_SetItemString(code.get(), "led_functions", extra.get()) == 0);

    Ref tmpl = attr(self, "_template");
    NEED(tmpl);
    Ref out(PyNumber_Remainder(tmpl.get(), code.get()));
    NEED(out);
    return out.release();
}

PyObject* hex_get(PyObject* self)
{
    Ref source = attr(self, "asm");
    NEED(source);
    Ref out = call_method(self, "_compile", source.get());
    NEED(out);
    return out.release();
}

// Runs body(file) on open(path, mode) and closes the file whatever happens; an error of the body
// wins over one of closing.
template <class Body>
Ref with_open(PyObject* path, const char* mode, Body body)
{
    Ref open = global("open");
    if (!open)
        return open;
    Ref mode_str(PyUnicode_FromString(mode));
    if (!mode_str)
        return mode_str;
    Ref file = call(open.get(), path, mode_str.get());
    if (!file)
        return file;
    Ref result = body(file.get());
    if (!result) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Ref closed = call_method(file.get(), "close");
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return result;
    }
    Ref closed = call_method(file.get(), "close");
    if (!closed)
        return closed;
    return result;
}

Ref join_path(PyObject* dir, PyObject* name)
{
    Ref os = global("os");
    if (!os)
        return os;
    Ref path = attr(os.get(), "path");
    if (!path)
        return path;
    return call_method(path.get(), "join", dir, name);
}

// Steps of _compile after the temporary directory exists.
PyObject* compile_in(PyObject* self, PyObject* source, PyObject* tempdir)
{
    Ref asm_filename = join_path(tempdir, text.asm_name);
    NEED(asm_filename);
    NEED(with_open(asm_filename.get(), "w", [&](PyObject* f) { return call_method(f, "write", source); }));

    Ref stem_end(PyLong_FromLong(-4));
    NEED(stem_end);
    Ref cut(PySlice_New(nullptr, stem_end.get(), nullptr));
    NEED(cut);
    Ref stem(PyObject_GetItem(asm_filename.get(), cut.get()));
    NEED(stem);
    Ref pulsor = attr(self, "_pulsor");
    NEED(pulsor);
    Ref argv = list_of(pulsor.get(), stem.get());
    NEED(argv);
    // One handle on /dev/null for all three standard streams: the assembler's chatter never
    // reaches the caller.
    NEED(with_open(text.dev_null, "r+", [&](PyObject* null) {
        Ref subprocess = global("subprocess");
        if (!subprocess)
            return subprocess;
        Ref check_call = attr(subprocess.get(), "check_call");
        Ref kw(PyDict_New());
        if (!check_call || !kw || PyDict_SetItemString(kw.get(), "stdin", null) < 0 ||
            PyDict_SetItemString(kw.get(), "stdout", null) < 0 || PyDict_SetItemString(kw.get(), "stderr", null) < 0)
            return Ref();
        Ref args(PyTuple_Pack(1, argv.get()));
        if (!args)
            return args;
        return Ref(PyObject_Call(check_call.get(), args.get(), kw.get()));
    }));

    Ref hex_filename = join_path(tempdir, text.hex_name);
    NEED(hex_filename);
    Ref out = with_open(hex_filename.get(), "r", [](PyObject* hex_file) { return call_method(hex_file, "read"); });
    NEED(out);
    return out.release();
}

PyObject* compile_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"asm", nullptr};
    PyObject* source;
    NEED(parse(args, kw, "O:_compile", kwlist, &source));
    Ref tempfile = global("tempfile");
    NEED(tempfile);
    Ref mkdtemp = attr(tempfile.get(), "mkdtemp");
    NEED(mkdtemp);
    Ref tempdir = call(mkdtemp.get());
    NEED(tempdir);

    Ref result(compile_in(self, source, tempdir.get()));
    int failed_line = err_line;
    // The directory goes whether compilation succeeded or not; a failure to remove it is raised in
    // place of the result, chained to the error already propagating.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref shutil = global("shutil");
    Ref rmtree = shutil ? attr(shutil.get(), "rmtree") : Ref();
    Ref removed = rmtree ? call(rmtree.get(), tempdir.get()) : Ref();
    if (!removed) {
        if (type) {
            PyErr_NormalizeException(&type, &value, &tb);
            if (tb)
                PyException_SetTraceback(value, tb);
            PyObject *ntype, *nvalue, *ntb;
            PyErr_Fetch(&ntype, &nvalue, &ntb);
            PyErr_NormalizeException(&ntype, &nvalue, &ntb);
            PyException_SetContext(nvalue, value);  // steals value
            Py_XDECREF(type);
            Py_XDECREF(tb);
            PyErr_Restore(ntype, nvalue, ntb);
        }
        NEED(false);
    }
    if (type) {
        PyErr_Restore(type, value, tb);
        err_line = failed_line;
        return nullptr;
    }
    return result.release();
}

// ---------------------------------------------------------------------------------------------
// Method tables. Each entry adds the traceback entry of its method when an error escapes.

template <PyObject* (*Impl)(PyObject*, PyObject*, PyObject*), const char* Name>
PyObject* method_entry(PyObject* self, PyObject* args, PyObject* kw)
{
    PyObject* r = Impl(self, args, kw);
    if (!r)
        add_traceback(Name, err_line);
    return r;
}

template <PyObject* (*Impl)(PyObject*), const char* Name>
PyObject* getter_entry(PyObject* self, PyObject*)
{
    PyObject* r = Impl(self);
    if (!r)
        add_traceback(Name, err_line);
    return r;
}

constexpr char q_defines[] = "flarix.BCMLEDController.defines";
constexpr char q_init[] = "flarix.BCMLEDController.__init__";
constexpr char q_configure[] = "flarix.BCMLEDController.configure";
constexpr char q_eval_looping[] = "flarix.BCMLEDController._eval_looping";
constexpr char q_calc_looped[] = "flarix.BCMLEDController._calc_looped_instructions";
constexpr char q_calc_unrolled[] = "flarix.BCMLEDController._calc_unrolled_instructions";
constexpr char q_led_pad_call[] = "flarix.BCMLEDController._led_pad_call";
constexpr char q_led_port_call[] = "flarix.BCMLEDController._led_port_call";
constexpr char q_chain_port[] = "flarix.BCMLEDController._chain_port";
constexpr char q_led_map[] = "flarix.BCMLEDController.led_map";
constexpr char q_led_memory_init_commands[] = "flarix.BCMLEDController.led_memory_init_commands";
constexpr char q_asm[] = "flarix.BCMLEDController.asm";
constexpr char q_hex[] = "flarix.BCMLEDController.hex";
constexpr char q_compile[] = "flarix.BCMLEDController._compile";
constexpr char q_tomahawk_chain_port[] = "flarix.TomahawkLEDController._chain_port";

constexpr int kw_flags = METH_VARARGS | METH_KEYWORDS;

template <PyObject* (*Impl)(PyObject*, PyObject*, PyObject*), const char* Name>
PyCFunction method_fn()
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_entry<Impl, Name>));
}

// The signature before "--" gives introspection the argument names; a text signature alone
// leaves __doc__ None.
PyMethodDef defines_def = {"defines", getter_entry<defines_get, q_defines>, METH_NOARGS,
                           "defines($self, /)\n--\n\n"};
PyMethodDef asm_def = {"asm", getter_entry<asm_get, q_asm>, METH_NOARGS, "asm($self, /)\n--\n\n"};
PyMethodDef hex_def = {"hex", getter_entry<hex_get, q_hex>, METH_NOARGS, "hex($self, /)\n--\n\n"};

PyMethodDef controller_methods[] = {
    {"__init__", method_fn<init_impl, q_init>(), kw_flags, "__init__($self)\n--\n\n"},
    {"configure", method_fn<configure_impl, q_configure>(), kw_flags,
     "configure($self, controller_idx, ports)\n--\n\n"
     "\n"
     "        Configure LED controller, including saving call_list for later use by led_map()\n"
     "\n"
     "        Ask each port which LEDs it wants to claim and which code should run.\n"
     "        We call the port.set_leds() method of each port which returns a\n"
     "        dictionary mapping led number to a set_led function call.  By default,\n"
     "        we assume all LEDs require padding.  The ports should put a 'None' in\n"
     "        the dictionary for LEDs that don't need padding.\n"
     "        "},
    {"_eval_looping", method_fn<eval_looping_impl, q_eval_looping>(), kw_flags,
     "_eval_looping($self, calls)\n--\n\n"
     "Return boolean list.  True for pad call type(s) that benefit from looping"},
    {"_calc_looped_instructions", method_fn<calc_looped_impl, q_calc_looped>(), kw_flags,
     "_calc_looped_instructions($self, calls)\n--\n\n"},
    {"_calc_unrolled_instructions", method_fn<calc_unrolled_impl, q_calc_unrolled>(), kw_flags,
     "_calc_unrolled_instructions($self, calls)\n--\n\n"},
    {"_led_pad_call", method_fn<led_pad_call_impl, q_led_pad_call>(), kw_flags,
     "_led_pad_call($self, value, length, emit_loop)\n--\n\n"},
    {"_led_port_call", method_fn<led_port_call_impl, q_led_port_call>(), kw_flags,
     "_led_port_call($self, call, length)\n--\n\n"},
    {"_chain_port", method_fn<chain_port_impl, q_chain_port>(), kw_flags,
     "_chain_port($self, port_num)\n--\n\n"
     "\n"
     "        convert a hardware port number to a led chain port number\n"
     "        "},
    {"led_map", method_fn<led_map_impl, q_led_map>(), kw_flags,
     "led_map($self, controller_idx)\n--\n\n"
     "Return an ordered list of the led chain port numbers for set of ports.\n"
     "\n"
     "        This is normally called for the set of ports that belong to one LED\n"
     "        controller.\n"
     "        "},
    {"led_memory_init_commands", method_fn<led_memory_init_commands_impl, q_led_memory_init_commands>(), kw_flags,
     "led_memory_init_commands($self, controller_idx)\n--\n\n"
     "Return a list of commands to be included into rc.led\n"
     "\n"
     "        The list is empty when has_phys_id is false: the commands are only\n"
     "        useful on platforms with ID/locator support.  They do two things:\n"
     "        load the Flarix data RAM with the list of port status register\n"
     "        offsets, so that the main loop can use those offsets in place of the\n"
     "        port number it would otherwise load with an immediate \"ld a, x\", and\n"
     "        set the \"ticks per blink\" values of the three blink counters.\n"
     "        "},
    {"_compile", method_fn<compile_impl, q_compile>(), kw_flags,
     "_compile($self, asm)\n--\n\n"
     "\n"
     "        Compile the program text in a temporary directory, since pulsor only\n"
     "        deals in files.\n"
     "\n"
     "        The assembler's stdout and stderr are not appended to the exceptions\n"
     "        raised here.\n"
     "        "},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef tomahawk_chain_port_def = {"_chain_port", method_fn<tomahawk_chain_port_impl, q_tomahawk_chain_port>(),
                                       kw_flags, "_chain_port($self, call_port)\n--\n\n"};

constexpr const char controller_doc[] =
    "\n"
    "    \"The LED interface contains a very small and very simple processor,\n"
    "    of roughly 1500 gates, that runs a short user program on every refresh\n"
    "    to compute the bits it shifts out to the chain of LEDs.\"\n"
    "    ";

// Chip classes in creation order, with the length of their LED chain.
struct Chip {
    const char* name;
    long ports_per_chain;
};
constexpr Chip chips[] = {
    {"Helix4LEDController", 64},        {"Hurricane2LEDController", 64},     {"TridentLEDController", 36},
    {"TridentTwoLEDController", 64},    {"TridentTwoPlusLEDController", 64}, {"MaverickLEDController", 64},
    {"TomahawkLEDController", 64},
};

// ---------------------------------------------------------------------------------------------
// Module creation

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "flarix", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool make_texts()
{
    // These live as long as the process: the module is never unloaded.
    auto s = [](const char* t) { return PyUnicode_FromString(t); };
    text.main_template = s(flarix_text::main_template);
    text.defines = s(flarix_text::defines_text);
    text.port_load_fmt = s(flarix_text::port_load_fmt);
    text.pad_loop_load_fmt = s(flarix_text::pad_loop_load_fmt);
    text.call_fmt = s(flarix_text::call_fmt);
    text.port_label_fmt = s(flarix_text::port_label_fmt);
    text.port_entry_label = s(flarix_text::port_entry_label);
    text.label_fmt = s(flarix_text::label_fmt);
    text.pad_func_fmt = s(flarix_text::pad_func_fmt);
    text.pad_loop_func_fmt = s(flarix_text::pad_loop_func_fmt);
    text.setreg_fmt = s(flarix_text::setreg_fmt);
    text.zero_name = s("zero");
    text.one_name = s("one");
    text.dev_null = s("/dev/null");
    text.asm_name = s("code.asm");
    text.hex_name = s("code.hex");
    zero = PyLong_FromLong(0);
    one = PyLong_FromLong(1);
    thirty = PyFloat_FromDouble(30.0);
    empty_str = s("");
    empty_tuple = PyTuple_New(0);
    gang_key = PyCFunction_New(&gang_key_def, nullptr);
    hw_port_key = PyCFunction_New(&hw_port_key_def, nullptr);
    builtins = PyImport_ImportModule("builtins");
    return !PyErr_Occurred();
}

bool set_str(PyObject* dict, const char* key, const char* value)
{
    Ref v(PyUnicode_FromString(value));
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

bool set_long(PyObject* dict, const char* key, long value)
{
    Ref v(PyLong_FromLong(value));
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

bool set_obj(PyObject* dict, const char* key, PyObject* value)
{
    return value && PyDict_SetItemString(dict, key, value) == 0;
}

// type(name, bases, body) with the module's name as __module__.
Ref make_class(const char* name, PyObject* bases, PyObject* body)
{
    if (!set_str(body, "__module__", "flarix") || !set_str(body, "__qualname__", name))
        return Ref();
    Ref name_str(PyUnicode_FromString(name));
    if (!name_str)
        return name_str;
    return call(reinterpret_cast<PyObject*>(&PyType_Type), name_str.get(), bases, body);
}

Ref texts_dict(const char* variables, PyObject* variables_obj, const char* functions, const char* updater_calls)
{
    Ref d(PyDict_New());
    if (!d)
        return d;
    bool ok = variables_obj ? set_obj(d.get(), "variables", variables_obj) : set_str(d.get(), "variables", variables);
    if (!ok || !set_str(d.get(), "functions", functions) || !set_str(d.get(), "blink_updater_calls", updater_calls))
        return Ref();
    return d;
}

Ref make_in_ram_constants()
{
    struct Entry {
        const char* key;
        long addr;
        long val;
    };
    // Reload values of the three ID-mode blinkers: TICKS_PER_BLINK_P, TICKS_PER_WIGGLE_P,
    // TICKS_PER_WAG_P.
    constexpr Entry entries[] = {{"blink", 0xf2, 3}, {"wiggle", 0xf5, 19}, {"wag", 0xf8, 119}};
    Ref d(PyDict_New());
    if (!d)
        return d;
    for (const Entry& e : entries) {
        Ref inner(PyDict_New());
        if (!inner || !set_long(inner.get(), "addr", e.addr) || !set_long(inner.get(), "val", e.val) ||
            !set_obj(d.get(), e.key, inner.get()))
            return Ref();
    }
    return d;
}

bool set_method(PyObject* cls, PyMethodDef* def)
{
    Ref descr(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), def));
    return descr && PyObject_SetAttrString(cls, def->ml_name, descr.get()) == 0;
}

bool set_property(PyObject* cls, PyMethodDef* def)
{
    Ref getter(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), def));
    if (!getter)
        return false;
    Ref prop(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()));
    return prop && PyObject_SetAttrString(cls, def->ml_name, prop.get()) == 0;
}

Ref make_controller_class(PyObject* base)
{
    Ref body(PyDict_New());
    if (!body || !set_str(body.get(), "__module__", "flarix") || !set_str(body.get(), "__qualname__", "BCMLEDController") ||
        !set_str(body.get(), "__doc__", controller_doc))
        return Ref();
    Ref base_addr(PyLong_FromLong(0xc0));
    Ref id_vars_values(PyDict_New());
    if (!base_addr || !id_vars_values || !set_obj(id_vars_values.get(), "base_addr", base_addr.get()))
        return Ref();
    Ref id_vars_tmpl(PyUnicode_FromString(flarix_text::variables_id_text));
    if (!id_vars_tmpl)
        return Ref();
    Ref id_vars(PyUnicode_Format(id_vars_tmpl.get(), id_vars_values.get()));
    Ref static_code(PyDict_New());
    if (!id_vars || !static_code || !set_str(static_code.get(), "constants", flarix_text::constants_text))
        return Ref();

    PyObject* d = body.get();
    bool ok = set_str(d, "_pulsor", "/usr/lib/tarvik/pulsor") && set_obj(d, "ports_per_chain", Py_None) &&
              set_obj(d, "num_leds", Py_None) && set_obj(d, "led_functions", empty_tuple) &&
              set_long(d, "blink_period", 90) && set_long(d, "pad_n_code_size", 10) &&
              set_long(d, "pad_call_size", 2) && set_long(d, "pad_n_call_size", 4) &&
              set_long(d, "loop_insert_cost", 2) && set_long(d, "default_pad", 1) &&
              set_obj(d, "has_phys_id", Py_False) && set_str(d, "data_array_name", flarix_text::data_array_name) &&
              set_obj(d, "data_array_base_addr", base_addr.get()) &&
              set_obj(d, "logical_to_led_index", Ref(PyDict_New()).get()) &&
              set_obj(d, "call_list", Ref(PyDict_New()).get()) && set_obj(d, "static_code", static_code.get()) &&
              set_obj(d, "static_no_id_func_code",
                      texts_dict(flarix_text::variables_no_id_text, nullptr, flarix_text::blink_update_state_text,
                                 flarix_text::blink_updater_calls_no_id_text)
                          .get()) &&
              set_obj(d, "static_id_func_code",
                      texts_dict(nullptr, id_vars.get(), flarix_text::blink_update_text,
                                 flarix_text::blink_updater_calls_id_text)
                          .get()) &&
              set_obj(d, "in_ram_constants", make_in_ram_constants().get()) &&
              // Methods and properties are filled in once the class exists; these keep the order.
              set_obj(d, "defines", Py_None) && set_str(d, "pad_zero", flarix_text::pad_zero_text) &&
              set_str(d, "pad_one", flarix_text::pad_one_text) &&
              set_str(d, "pad_n_zero", flarix_text::pad_n_zero_text) &&
              set_str(d, "pad_n_one", flarix_text::pad_n_one_text);
    for (PyMethodDef* m = controller_methods; ok && m->ml_name; ++m)
        ok = set_obj(d, m->ml_name, Py_None);
    ok = ok && set_obj(d, "asm", Py_None) && set_obj(d, "hex", Py_None);
    if (!ok)
        return Ref();
    // Keep asm and hex after led_memory_init_commands, and _compile last.
    Ref compile_key(PyUnicode_FromString("_compile"));
    if (!compile_key || PyDict_DelItem(d, compile_key.get()) < 0 || !set_obj(d, "_compile", Py_None))
        return Ref();

    Ref bases(PyTuple_Pack(1, base));
    if (!bases)
        return bases;
    Ref name_str(PyUnicode_FromString("BCMLEDController"));
    if (!name_str)
        return name_str;
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), name_str.get(), bases.get(), d);
    if (!cls)
        return cls;
    if (!set_property(cls.get(), &defines_def))
        return Ref();
    for (PyMethodDef* m = controller_methods; m->ml_name; ++m)
        if (!set_method(cls.get(), m))
            return Ref();
    if (!set_property(cls.get(), &asm_def) || !set_property(cls.get(), &hex_def))
        return Ref();
    return cls;
}

PyObject* create_module()
{
    Ref module(PyModule_Create(&module_def));
    if (!module || !make_texts())
        return nullptr;
    module_dict = PyModule_GetDict(module.get());
    Py_INCREF(module_dict);

    for (const char* name : {"os", "tempfile", "subprocess", "shutil", "itertools"}) {
        Ref m(PyImport_ImportModule(name));
        if (!m || PyModule_AddObjectRef(module.get(), name, m.get()) < 0)
            return nullptr;
    }

    Ref object_base(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref empty_body(PyDict_New());
    if (!object_base || !empty_body)
        return nullptr;
    Ref led_controller = make_class("LEDController", object_base.get(), empty_body.get());
    if (!led_controller || PyModule_AddObjectRef(module.get(), "LEDController", led_controller.get()) < 0)
        return nullptr;

    Ref controller = make_controller_class(led_controller.get());
    if (!controller || PyModule_AddObjectRef(module.get(), "BCMLEDController", controller.get()) < 0)
        return nullptr;

    Ref chip_bases(PyTuple_Pack(1, controller.get()));
    if (!chip_bases)
        return nullptr;
    for (const Chip& chip : chips) {
        Ref body(PyDict_New());
        if (!body || !set_str(body.get(), "__module__", "flarix") || !set_str(body.get(), "__qualname__", chip.name) ||
            !set_long(body.get(), "ports_per_chain", chip.ports_per_chain))
            return nullptr;
        bool tomahawk = &chip == &chips[std::size(chips) - 1];
        if (tomahawk && !set_obj(body.get(), "_chain_port", Py_None))
            return nullptr;
        Ref cls = make_class(chip.name, chip_bases.get(), body.get());
        if (!cls || (tomahawk && !set_method(cls.get(), &tomahawk_chain_port_def)) ||
            PyModule_AddObjectRef(module.get(), chip.name, cls.get()) < 0)
            return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace flarix

PyMODINIT_FUNC PyInit_flarix(void)
{
    return flarix::create_module();
}
