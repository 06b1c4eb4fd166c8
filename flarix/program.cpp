// The program text: the fixed texts as interpreter objects, the class-level text records, the
// defines text and the whole program that asm puts together from them.
#include "flarix.h"
#include "program_texts.h"

namespace flarix {
namespace {

// {"variables": ..., "functions": ..., "blink_updater_calls": ...}; variables given as a text or,
// when variables_obj is set, as an object.
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

}  // namespace

bool make_texts()
{
    // These live as long as the process: the module is never unloaded.
    auto s = [](const char* t) { return PyUnicode_FromString(t); };
    Texts& text = state.text;
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
    return !PyErr_Occurred();
}

// static_code: {"constants": constants text}
Ref make_static_code()
{
    Ref static_code(PyDict_New());
    if (!static_code || !set_str(static_code.get(), "constants", flarix_text::constants_text))
        return Ref();
    return static_code;
}

Ref make_no_id_func_code()
{
    return texts_dict(flarix_text::variables_no_id_text, nullptr, flarix_text::blink_update_state_text,
                      flarix_text::blink_updater_calls_no_id_text);
}

// The variables text with ID support is formatted once, with the class body's base address.
Ref make_id_func_code(PyObject* base_addr)
{
    Ref id_vars_values(PyDict_New());
    if (!id_vars_values || !set_obj(id_vars_values.get(), "base_addr", base_addr))
        return Ref();
    Ref id_vars_tmpl(PyUnicode_FromString(flarix_text::variables_id_text));
    if (!id_vars_tmpl)
        return Ref();
    Ref id_vars(PyUnicode_Format(id_vars_tmpl.get(), id_vars_values.get()));
    if (!id_vars)
        return Ref();
    return texts_dict(nullptr, id_vars.get(), flarix_text::blink_update_text, flarix_text::blink_updater_calls_id_text);
}

PyObject* defines_get(PyObject* self)
{
    Ref period = attr(self, "blink_period");
    NEED(period);
    Ref tpb(PyNumber_TrueDivide(period.get(), state.thirty));
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
    Ref out(PyUnicode_Format(state.text.defines, values.get()));
    NEED(out);
    return out.release();
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

    // Instance texts filled in by name; the lists and sets of texts are joined.
    struct Part {
        const char* name;
        bool join;
    };
    constexpr Part instance_parts[] = {
        {"set_functions", true}, {"set_calls", true}, {"defines", false}, {"led_functions", true}};
    for (const Part& part : instance_parts) {
        Ref value = attr(self, part.name);
        NEED(value);
        if (part.join) {
            value = joined(value.get());
            NEED(value);
        }
        NEED(PyDict_SetItemString(code.get(), part.name, value.get()) == 0);
    }

    Ref tmpl = attr(self, "_template");
    NEED(tmpl);
    Ref out(PyNumber_Remainder(tmpl.get(), code.get()));
    NEED(out);
    return out.release();
}

}  // namespace flarix
