// The LED map of a controller (the hardware ports its main loop calls routines for, in chain
// order) and the "setreg" commands that load the map and the blinker reload values into the LED
// processor's data RAM.
#include "flarix.h"

namespace flarix {
namespace {

// Lowest data-RAM address above the port map array: the ID/locator flags start here.
constexpr long id_enable_addr = 0xe0;

// The one argument, controller_idx, of led_map and led_memory_init_commands.
bool parse_controller_idx(PyObject* args, PyObject* kw, const char* format, PyObject** controller_idx)
{
    static Kwlist kwlist = {"controller_idx", nullptr};
    return parse(args, kw, format, kwlist, controller_idx);
}

Ref format_setreg(PyObject* params)
{
    Ref fmt = attr(state.text.setreg_fmt, "format");
    if (!fmt)
        return fmt;
    return Ref(PyObject_Call(fmt.get(), state.empty_tuple, params));
}

// self.data_array_name.format(idx=controller_idx)
Ref data_ram_name(PyObject* self, PyObject* controller_idx)
{
    Ref name_fmt = attr(self, "data_array_name");
    NEED(name_fmt);
    Ref format = attr(name_fmt.get(), "format");
    NEED(format);
    Ref name_kw(PyDict_New());
    NEED(name_kw);
    NEED(PyDict_SetItemString(name_kw.get(), "idx", controller_idx) == 0);
    return Ref(PyObject_Call(format.get(), state.empty_tuple, name_kw.get()));
}

// The map must end below the ID/locator flags and the blinker records.
bool check_map_fits(PyObject* base, Py_ssize_t entries)
{
    Ref n(PyLong_FromSsize_t(entries));
    NEED(n);
    Ref end(PyNumber_Add(base, n.get()));
    NEED(end);
    Ref limit(PyLong_FromLong(id_enable_addr));
    NEED(limit);
    int overflow = PyObject_RichCompareBool(end.get(), limit.get(), Py_GT);
    NEED(overflow >= 0);
    if (overflow) {
        Ref shown(PyLong_Check(base) ? PyNumber_ToBase(base, 16) : PyObject_Repr(base));
        NEED(shown);
        PyErr_Format(PyExc_ValueError, "LED map of %zd entries from data RAM address %U overruns ID_ENABLE_P (0xe0)",
                     entries, shown.get());
        NEED(false);
    }
    return true;
}

// One command per map entry, at consecutive addresses from cmd_params["addr"].
bool append_map_commands(PyObject* cmd_list, PyObject* cmd_params, PyObject* map_values)
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(map_values); ++i) {
        NEED(PyDict_SetItemString(cmd_params, "val", PyList_GET_ITEM(map_values, i)) == 0);
        Ref line = format_setreg(cmd_params);
        NEED(line);
        NEED(PyList_Append(cmd_list, line.get()) == 0);
        PyObject* addr = PyDict_GetItemString(cmd_params, "addr");
        NEED(addr);
        Ref next(PyNumber_Add(addr, state.one));
        NEED(next);
        NEED(PyDict_SetItemString(cmd_params, "addr", next.get()) == 0);
    }
    return true;
}

// One command per record of self.in_ram_constants, each record updating the parameters.
bool append_constant_commands(PyObject* self, PyObject* cmd_list, PyObject* cmd_params)
{
    Ref constants = attr(self, "in_ram_constants");
    NEED(constants);
    Ref values_view = call_method(constants.get(), "values");
    NEED(values_view);
    Ref values(PySequence_List(values_view.get()));
    NEED(values);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        NEED(call_method(cmd_params, "update", PyList_GET_ITEM(values.get(), i)));
        Ref line = format_setreg(cmd_params);
        NEED(line);
        NEED(PyList_Append(cmd_list, line.get()) == 0);
    }
    return true;
}

}  // namespace

// Reload values of the three ID-mode blinkers: TICKS_PER_BLINK_P, TICKS_PER_WIGGLE_P,
// TICKS_PER_WAG_P.
Ref make_in_ram_constants()
{
    struct Entry {
        const char* key;
        long addr;
        long val;
    };
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

PyObject* led_map_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    PyObject* controller_idx;
    NEED(parse_controller_idx(args, kw, "O:led_map", &controller_idx));
    Ref map_list(PyList_New(0));
    NEED(map_list);
    Ref runs = call_list_entry(self, controller_idx);
    NEED(runs);
    NEED(for_each_run(runs.get(), [&](PyObject* value, PyObject*, int bit) -> bool {
        if (bit < 2 || value == Py_None)
            return true;
        Ref parts[3];
        NEED(unpack(value, parts, 3));
        // A routine that is never called from the main loop has no place on the chain.
        if (parts[2].get() == Py_None)
            return true;
        NEED(PyList_Append(map_list.get(), parts[2].get()) == 0);
        return true;
    }));
    return map_list.release();
}

PyObject* led_memory_init_commands_impl(PyObject* self, PyObject* args, PyObject* kw)
{
    PyObject* controller_idx;
    NEED(parse_controller_idx(args, kw, "O:led_memory_init_commands", &controller_idx));
    Ref cmd_list(PyList_New(0));
    NEED(cmd_list);
    Ref has_phys_id = attr(self, "has_phys_id");
    NEED(has_phys_id);
    if (has_phys_id.get() == Py_False)
        return cmd_list.release();

    Ref name = data_ram_name(self, controller_idx);
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
    if (entries > 0)
        NEED(check_map_fits(base.get(), entries));
    NEED(append_map_commands(cmd_list.get(), cmd_params.get(), map_values.get()));
    NEED(append_constant_commands(self, cmd_list.get(), cmd_params.get()));
    return cmd_list.release();
}

}  // namespace flarix
