// Python helpers of the module: owned references, attribute access, calls, argument parsing, and
// the one record that holds the module's state.
#pragma once

#include <Python.h>

#include <utility>

namespace flarix {

// Owning reference to a Python object: releases it when it goes out of scope.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference (or nullptr after a failed call, with the error set).
    explicit Ref(PyObject* p) : p_(p) {}
    static Ref borrow(PyObject* p)
    {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept
    {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

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

// Everything the module keeps between calls. Filled at import and never released: the module is
// never unloaded.
struct State {
    PyObject* module_dict;  // the module's globals, looked up at each use
    PyObject* builtins;     // the builtins module, for open() and name fallback
    PyObject* zero;
    PyObject* one;
    PyObject* thirty;  // 30.0, the cycles per second of the LED program
    PyObject* empty_str;
    PyObject* empty_tuple;
    PyObject* gang_key;  // key functions for sorting the ports
    PyObject* hw_port_key;
    Texts text;
    // Source line of the failure being propagated in the current method call, 0 when none. The
    // first failing check sets it, so it names the failing step; the method's entry reports it in
    // the traceback entry, then gives the enclosing method call its own value back.
    int err_line;
};
extern State state;

// Fails the current operation, returning an empty value (nullptr, an empty Ref, false), when cond
// does not hold; the interpreter's error is already set.
#define NEED(cond)                                   \
    do {                                             \
        if (!(cond)) {                               \
            if (::flarix::state.err_line == 0)       \
                ::flarix::state.err_line = __LINE__; \
            return {};                               \
        }                                            \
    } while (0)

inline Ref attr(PyObject* obj, const char* name)
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
Ref global(const char* name);

// fmt % (value,): printf-style formatting of one value.
Ref percent(PyObject* fmt, PyObject* value);

// "".join(iterable)
Ref joined(PyObject* iterable);

// Unpacks exactly n values from an iterable, with the interpreter's messages.
bool unpack(PyObject* obj, Ref* out, int n);

// iter(range(stop))
Ref range_iter(PyObject* stop);

// sequence[index] += delta
bool add_at(PyObject* seq, int index, PyObject* delta);

// [a] or [a, b]
Ref list_of(PyObject* a, PyObject* b = nullptr);

// A list of the values of one iterable, sorted by a key function (stable).
Ref sorted_by(PyObject* iterable, PyObject* key);

// dict[key] = value, for building class bodies and records; false with the error set.
inline bool set_obj(PyObject* dict, const char* key, PyObject* value)
{
    return value && PyDict_SetItemString(dict, key, value) == 0;
}

inline bool set_str(PyObject* dict, const char* key, const char* value)
{
    return set_obj(dict, key, Ref(PyUnicode_FromString(value)).get());
}

inline bool set_long(PyObject* dict, const char* key, long value)
{
    return set_obj(dict, key, Ref(PyLong_FromLong(value)).get());
}

using Kwlist = const char* const[];

// Argument parsing of a method taking up to three arguments by position or keyword.
inline bool parse(PyObject* args, PyObject* kw, const char* format, const Kwlist kwlist, PyObject** a = nullptr,
                  PyObject** b = nullptr, PyObject** c = nullptr)
{
    return PyArg_ParseTupleAndKeywords(args, kw, format, const_cast<char**>(kwlist), a, b, c) != 0;
}

// Adds a traceback entry "<qualname>" at line for an exception leaving a method.
void add_traceback(const char* qualname, int line);

}  // namespace flarix
