// The loop/unroll cost model: for each padding bit, whether a looping padding routine makes the
// program smaller than unrolled calls. Sizes are two-element lists, index 0 for zero padding and
// 1 for one padding; the costs are read through the instance at each use.
#include "flarix.h"

namespace flarix {
namespace {

Ref pair_of_zeros()
{
    return list_of(state.zero, state.zero);
}

// Adds the size of one padding run of count bits to size[bit]; a looped run also charges the
// looping routine to loop_code_cost[bit].
bool add_run_size(PyObject* self, PyObject* size, PyObject* loop_code_cost, PyObject* count, int bit, bool looped)
{
    int short_run = 1;
    if (looped) {
        Ref cost = attr(self, "loop_insert_cost");
        NEED(cost);
        short_run = PyObject_RichCompareBool(count, cost.get(), Py_LE);
        NEED(short_run >= 0);
    }
    if (short_run) {
        Ref call_size = attr(self, "pad_call_size");
        NEED(call_size);
        Ref delta(PyNumber_Multiply(count, call_size.get()));
        NEED(delta);
        NEED(add_at(size, bit, delta.get()));
    } else {
        Ref call_size = attr(self, "pad_n_call_size");
        NEED(call_size);
        NEED(add_at(size, bit, call_size.get()));
        // Charged once per padding type, however many looped runs share the routine.
        Ref code_size = attr(self, "pad_n_code_size");
        NEED(code_size);
        Py_INCREF(code_size.get());
        NEED(PyList_SetItem(loop_code_cost, bit, code_size.get()) == 0);
    }
    return true;
}

// Sizes of the padding code for both padding types, looped (runs longer than loop_insert_cost)
// or unrolled.
PyObject* padding_sizes(PyObject* self, PyObject* calls, bool looped)
{
    Ref size = pair_of_zeros();
    NEED(size);
    Ref loop_code_cost = pair_of_zeros();
    NEED(loop_code_cost);
    NEED(for_each_run(calls, [&](PyObject*, PyObject* count, int bit) {
        return bit == 2 || add_run_size(self, size.get(), loop_code_cost.get(), count, bit, looped);
    }));
    if (looped) {
        for (int t = 0; t < 2; ++t)
            NEED(add_at(size.get(), t, PyList_GET_ITEM(loop_code_cost.get(), t)));
    }
    return size.release();
}

}  // namespace

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

}  // namespace flarix
