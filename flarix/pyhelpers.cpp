// Python helpers of the module (see pyhelpers.h).
#include "pyhelpers.h"

#include <frameobject.h>

namespace flarix {

// Traceback entries of this module name the module's main source file.
constexpr const char source_file[] = "flarix.cpp";

Ref global(const char* name)
{
    PyObject* v = PyDict_GetItemString(state.module_dict, name);
    if (v)
        return Ref::borrow(v);
    if (PyObject_HasAttrString(state.builtins, name))
        return attr(state.builtins, name);
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return Ref();
}

Ref percent(PyObject* fmt, PyObject* value)
{
    Ref args(PyTuple_Pack(1, value));
    if (!args)
        return args;
    return Ref(PyUnicode_Format(fmt, args.get()));
}

Ref joined(PyObject* iterable)
{
    return Ref(PyUnicode_Join(state.empty_str, iterable));
}

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

Ref list_of(PyObject* a, PyObject* b)
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

Ref sorted_by(PyObject* iterable, PyObject* key)
{
    Ref list(PySequence_List(iterable));
    if (!list)
        return list;
    Ref sort = attr(list.get(), "sort");
    Ref kw(PyDict_New());
    if (!sort || !kw || PyDict_SetItemString(kw.get(), "key", key) < 0)
        return Ref();
    Ref done(PyObject_Call(sort.get(), state.empty_tuple, kw.get()));
    if (!done)
        return Ref();
    return list;
}

void add_traceback(const char* qualname, int line)
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(source_file, qualname, line);
    PyFrameObject* frame = nullptr;
    if (code) {
        frame = PyFrame_New(PyThreadState_Get(), code, state.module_dict, nullptr);
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

}  // namespace flarix
