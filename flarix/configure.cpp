// The constructor, configure and the calls it emits: a port's routine calls, the padding calls and
// the chain-port mapping. Every attribute is read through the instance at each use, and every
// method is called through it, so an instance or subclass may override any of them.
#include "flarix.h"

namespace flarix {
namespace {

PyObject* key_gang_label(PyObject*, PyObject* port)
{
    return PyObject_GetAttrString(port, "gang_label");
}

PyObject* key_hw_port_num(PyObject*, PyObject* port)
{
    return call_method(port, "hw_port_num", state.zero).release();
}

}  // namespace

PyMethodDef gang_key_def = {"gang_label_key", key_gang_label, METH_O, nullptr};
PyMethodDef hw_port_key_def = {"hw_port_num_key", key_hw_port_num, METH_O, nullptr};

// Padding bit of a call value: 0 or 1 when it equals 0 or 1, 2 for anything else, -1 on error.
int pad_bit(PyObject* value)
{
    int r = PyObject_RichCompareBool(value, state.zero, Py_EQ);
    if (r != 0)
        return r < 0 ? -1 : 0;
    r = PyObject_RichCompareBool(value, state.one, Py_EQ);
    if (r != 0)
        return r < 0 ? -1 : 1;
    return 2;
}

// self.call_list[controller_idx], looked up afresh at each use.
Ref call_list_entry(PyObject* self, PyObject* controller_idx)
{
    Ref call_list = attr(self, "call_list");
    NEED(call_list);
    return Ref(PyObject_GetItem(call_list.get(), controller_idx));
}

namespace {

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

// Every LED position starts with the default padding bit.
Ref default_calls(PyObject* self)
{
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
    return calls;
}

// Gangs: element 1 of each member's leds, in port order, by gang label.
Ref gang_leds(PyObject* port_list)
{
    Ref logical_to_led_index(PyDict_New());
    NEED(logical_to_led_index);
    Ref by_gang = sorted_by(port_list, state.gang_key);
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
    return logical_to_led_index;
}

// Port answers merged into calls, logical ports numbered over all sub-ports in hardware port
// order.
bool merge_port_answers(PyObject* calls, PyObject* port_list, PyObject* logical_to_led_index)
{
    Ref by_hw_port = sorted_by(port_list, state.hw_port_key);
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
            Ref gang(PyObject_GetItem(logical_to_led_index, label.get()));
            NEED(gang);
            Ref answer = call_method(port, "set_leds", lport.get(), sub.get(), gang.get());
            NEED(answer);
            NEED(call_method(calls, "update", answer.get()));
            Ref next(PyNumber_Add(lport.get(), state.one));
            NEED(next);
            lport = std::move(next);
        }
        NEED(!PyErr_Occurred());
    }
    return true;
}

// The values of calls in LED order, as runs of equal neighbours: [(value, count), ...].
Ref run_lengths(PyObject* calls)
{
    Ref keys(PyDict_Keys(calls));
    NEED(keys);
    NEED(PyList_Sort(keys.get()) == 0);
    Ref sorted_calls(PyList_New(0));
    NEED(sorted_calls);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* v = PyDict_GetItemWithError(calls, PyList_GET_ITEM(keys.get(), i));
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
    return runs;
}

// One padding run: looped when looping pays for its bit and the run is longer than
// loop_insert_cost.
bool emit_pad_run(PyObject* self, PyObject* use_pad_n, PyObject* value, PyObject* count, int bit)
{
    // A value equal to 0 or 1 indexes the decision by its bit, whatever its type.
    Ref index(PyLong_FromLong(bit));
    NEED(index);
    Ref loop_this_call(PyObject_GetItem(use_pad_n, index.get()));
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
    return true;
}

// The main loop, run by run, from the stored call list.
bool emit_runs(PyObject* self, PyObject* controller_idx)
{
    Ref stored = call_list_entry(self, controller_idx);
    NEED(stored);
    Ref use_pad_n = call_method(self, "_eval_looping", stored.get());
    NEED(use_pad_n);
    stored = call_list_entry(self, controller_idx);
    NEED(stored);
    NEED(for_each_run(stored.get(), [&](PyObject* value, PyObject* count, int bit) -> bool {
        if (bit < 2)
            NEED(emit_pad_run(self, use_pad_n.get(), value, count, bit));
        else if (value != Py_None)
            NEED(call_method(self, "_led_port_call", value, count));
        return true;
    }));
    return true;
}

}  // namespace

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
    NEED(PyObject_SetAttrString(self, "_template", state.text.main_template) == 0);
    Py_RETURN_NONE;
}

PyObject* configure_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"controller_idx", "ports", nullptr};
    PyObject *controller_idx, *ports;
    NEED(parse(args, kw, "OO:configure", kwlist, &controller_idx, &ports));
    Ref calls = default_calls(self);
    NEED(calls);
    // The ports are walked twice; take them once, so that a one-shot iterable loses nothing.
    Ref port_list(PySequence_List(ports));
    NEED(port_list);
    Ref logical_to_led_index = gang_leds(port_list.get());
    NEED(logical_to_led_index);
    NEED(merge_port_answers(calls.get(), port_list.get(), logical_to_led_index.get()));
    Ref runs = run_lengths(calls.get());
    NEED(runs);
    Ref call_list = attr(self, "call_list");
    NEED(call_list);
    NEED(PyObject_SetItem(call_list.get(), controller_idx, runs.get()) == 0);
    NEED(emit_runs(self, controller_idx));
    Py_RETURN_NONE;
}

PyObject* led_pad_call_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"value", "length", "emit_loop", nullptr};
    PyObject *value, *length, *emit_loop;
    NEED(parse(args, kw, "OOO:_led_pad_call", kwlist, &value, &length, &emit_loop));
    int empty = PyObject_RichCompareBool(length, state.zero, Py_EQ);
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
    const Texts& text = state.text;
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
    int empty = PyObject_RichCompareBool(length, state.zero, Py_EQ);
    NEED(empty >= 0);
    if (empty)
        Py_RETURN_NONE;
    Ref parts[3];
    NEED(unpack(call_value, parts, 3));
    PyObject* call_name = parts[0].get();
    PyObject* call_code = parts[1].get();
    PyObject* call_port = parts[2].get();
    const Texts& text = state.text;
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
    Ref below(PyNumber_Subtract(port_num, state.one));
    NEED(below);
    Ref ports_per_chain = attr(self, "ports_per_chain");
    NEED(ports_per_chain);
    Ref folded(PyNumber_Remainder(below.get(), ports_per_chain.get()));
    NEED(folded);
    Ref out(PyNumber_Add(folded.get(), state.one));
    NEED(out);
    return out.release();
}

// The chain-port mapping of a chip whose LED chain is numbered by hardware port.
PyObject* chain_port_unchanged_impl(PyObject*, PyObject* args, PyObject* kw)
{
    static Kwlist kwlist = {"call_port", nullptr};
    PyObject* call_port;
    NEED(parse(args, kw, "O:_chain_port", kwlist, &call_port));
    Py_INCREF(call_port);
    return call_port;
}

}  // namespace flarix
