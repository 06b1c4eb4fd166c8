// flarix: generates the program of a switch chip's LED microprocessor from per-port LED requests,
// assembles it with pulsor, and produces the LED map and the data-RAM initialisation commands.
//
// The classes are ordinary Python classes created through type(); their methods are method
// descriptors over the functions declared in flarix.h. Every step goes through the interpreter's
// own operations (attribute lookup on the instance, comparison, formatting, sorting, the standard
// library), so an instance or a Python subclass can override any attribute or method, and errors
// are the interpreter's own exceptions.
//
// This file holds the module's state, the method tables and the creation of the classes and the
// module.
#include "flarix.h"
#include "program_texts.h"

namespace flarix {

State state;

namespace {

// ---------------------------------------------------------------------------------------------
// Method tables. Each entry adds the traceback entry of its method when an error escapes. The
// failing line is kept per call, so a method called while another one fails leaves the outer
// method's line alone.

// Ends one method call: adds the traceback entry when it failed, and gives the enclosing call its
// failing line back.
PyObject* leave(PyObject* result, const char* qualname, int outer_line)
{
    if (!result)
        add_traceback(qualname, state.err_line);
    state.err_line = outer_line;
    return result;
}

template <MethodImpl Impl, const char* Name>
PyObject* method_entry(PyObject* self, PyObject* args, PyObject* kw)
{
    int outer_line = std::exchange(state.err_line, 0);
    return leave(Impl(self, args, kw), Name, outer_line);
}

template <GetterImpl Impl, const char* Name>
PyObject* getter_entry(PyObject* self, PyObject*)
{
    int outer_line = std::exchange(state.err_line, 0);
    return leave(Impl(self), Name, outer_line);
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

template <MethodImpl Impl, const char* Name>
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

PyMethodDef tomahawk_chain_port_def = {"_chain_port", method_fn<chain_port_unchanged_impl, q_tomahawk_chain_port>(),
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
    PyMethodDef* chain_port;  // the chip's own _chain_port, or nullptr to inherit the controller's
};
constexpr Chip chips[] = {
    {"Helix4LEDController", 64, nullptr},
    {"Hurricane2LEDController", 64, nullptr},
    {"TridentLEDController", 36, nullptr},
    {"TridentTwoLEDController", 64, nullptr},
    {"TridentTwoPlusLEDController", 64, nullptr},
    {"MaverickLEDController", 64, nullptr},
    {"TomahawkLEDController", 64, &tomahawk_chain_port_def},
};

// ---------------------------------------------------------------------------------------------
// Module creation

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "flarix", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool make_state(PyObject* module)
{
    // These live as long as the process: the module is never unloaded.
    if (!make_texts())
        return false;
    state.zero = PyLong_FromLong(0);
    state.one = PyLong_FromLong(1);
    state.thirty = PyFloat_FromDouble(30.0);
    state.empty_str = PyUnicode_FromString("");
    state.empty_tuple = PyTuple_New(0);
    state.gang_key = PyCFunction_New(&gang_key_def, nullptr);
    state.hw_port_key = PyCFunction_New(&hw_port_key_def, nullptr);
    state.builtins = PyImport_ImportModule("builtins");
    if (PyErr_Occurred())
        return false;
    state.module_dict = PyModule_GetDict(module);
    Py_INCREF(state.module_dict);
    return true;
}

// A class body naming the class and the module.
Ref class_body(const char* name)
{
    Ref body(PyDict_New());
    if (!body || !set_str(body.get(), "__module__", "flarix") || !set_str(body.get(), "__qualname__", name))
        return Ref();
    return body;
}

// type(name, bases, body)
Ref make_class(const char* name, PyObject* bases, PyObject* body)
{
    Ref name_str(PyUnicode_FromString(name));
    if (!name_str)
        return name_str;
    return call(reinterpret_cast<PyObject*>(&PyType_Type), name_str.get(), bases, body);
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

// The class attributes of BCMLEDController with their defaults, in definition order.
bool set_controller_attributes(PyObject* d)
{
    Ref base_addr(PyLong_FromLong(0xc0));
    return base_addr && set_str(d, "_pulsor", "/usr/lib/tarvik/pulsor") && set_obj(d, "ports_per_chain", Py_None) &&
           set_obj(d, "num_leds", Py_None) && set_obj(d, "led_functions", state.empty_tuple) &&
           set_long(d, "blink_period", 90) && set_long(d, "pad_n_code_size", 10) && set_long(d, "pad_call_size", 2) &&
           set_long(d, "pad_n_call_size", 4) && set_long(d, "loop_insert_cost", 2) && set_long(d, "default_pad", 1) &&
           set_obj(d, "has_phys_id", Py_False) && set_str(d, "data_array_name", flarix_text::data_array_name) &&
           set_obj(d, "data_array_base_addr", base_addr.get()) &&
           set_obj(d, "logical_to_led_index", Ref(PyDict_New()).get()) &&
           set_obj(d, "call_list", Ref(PyDict_New()).get()) && set_obj(d, "static_code", make_static_code().get()) &&
           set_obj(d, "static_no_id_func_code", make_no_id_func_code().get()) &&
           set_obj(d, "static_id_func_code", make_id_func_code(base_addr.get()).get()) &&
           set_obj(d, "in_ram_constants", make_in_ram_constants().get());
}

// Methods and properties are filled in once the class exists; these placeholders keep their
// places among the attributes: defines, the padding routines, the methods, asm and hex, and
// _compile last.
bool set_placeholders(PyObject* d)
{
    bool ok = set_obj(d, "defines", Py_None) && set_str(d, "pad_zero", flarix_text::pad_zero_text) &&
              set_str(d, "pad_one", flarix_text::pad_one_text) &&
              set_str(d, "pad_n_zero", flarix_text::pad_n_zero_text) &&
              set_str(d, "pad_n_one", flarix_text::pad_n_one_text);
    for (PyMethodDef* m = controller_methods; ok && m->ml_name; ++m)
        ok = set_obj(d, m->ml_name, Py_None);
    ok = ok && set_obj(d, "asm", Py_None) && set_obj(d, "hex", Py_None);
    if (!ok)
        return false;
    Ref compile_key(PyUnicode_FromString("_compile"));
    return compile_key && PyDict_DelItem(d, compile_key.get()) == 0 && set_obj(d, "_compile", Py_None);
}

Ref make_controller_class(PyObject* base)
{
    Ref body = class_body("BCMLEDController");
    if (!body || !set_str(body.get(), "__doc__", controller_doc) || !set_controller_attributes(body.get()) ||
        !set_placeholders(body.get()))
        return Ref();
    Ref bases(PyTuple_Pack(1, base));
    if (!bases)
        return bases;
    Ref cls = make_class("BCMLEDController", bases.get(), body.get());
    if (!cls || !set_property(cls.get(), &defines_def))
        return Ref();
    for (PyMethodDef* m = controller_methods; m->ml_name; ++m)
        if (!set_method(cls.get(), m))
            return Ref();
    if (!set_property(cls.get(), &asm_def) || !set_property(cls.get(), &hex_def))
        return Ref();
    return cls;
}

// The chip classes, each a direct subclass of the controller, added to the module in order.
bool add_chip_classes(PyObject* module, PyObject* controller)
{
    Ref chip_bases(PyTuple_Pack(1, controller));
    if (!chip_bases)
        return false;
    for (const Chip& chip : chips) {
        Ref body = class_body(chip.name);
        if (!body || !set_long(body.get(), "ports_per_chain", chip.ports_per_chain))
            return false;
        if (chip.chain_port && !set_obj(body.get(), "_chain_port", Py_None))
            return false;
        Ref cls = make_class(chip.name, chip_bases.get(), body.get());
        if (!cls || (chip.chain_port && !set_method(cls.get(), chip.chain_port)) ||
            PyModule_AddObjectRef(module, chip.name, cls.get()) < 0)
            return false;
    }
    return true;
}

PyObject* create_module()
{
    Ref module(PyModule_Create(&module_def));
    if (!module || !make_state(module.get()))
        return nullptr;

    for (const char* name : {"os", "tempfile", "subprocess", "shutil", "itertools"}) {
        Ref m(PyImport_ImportModule(name));
        if (!m || PyModule_AddObjectRef(module.get(), name, m.get()) < 0)
            return nullptr;
    }

    Ref object_base(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref empty_body = class_body("LEDController");
    if (!object_base || !empty_body)
        return nullptr;
    Ref led_controller = make_class("LEDController", object_base.get(), empty_body.get());
    if (!led_controller || PyModule_AddObjectRef(module.get(), "LEDController", led_controller.get()) < 0)
        return nullptr;

    Ref controller = make_controller_class(led_controller.get());
    if (!controller || PyModule_AddObjectRef(module.get(), "BCMLEDController", controller.get()) < 0)
        return nullptr;
    if (!add_chip_classes(module.get(), controller.get()))
        return nullptr;
    return module.release();
}

}  // namespace
}  // namespace flarix

PyMODINIT_FUNC PyInit_flarix(void)
{
    return flarix::create_module();
}
