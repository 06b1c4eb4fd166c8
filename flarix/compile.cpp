// Compilation: hex runs the assembler on the program text in a private temporary directory, which
// goes whether the assembler succeeds or not. Files and processes are handled through the
// standard-library modules the module imports, looked up at each use.
#include "flarix.h"

namespace flarix {
namespace {

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

// subprocess.check_call(argv) with one handle on /dev/null for all three standard streams: the
// assembler's chatter never reaches the caller.
Ref run_quietly(PyObject* argv)
{
    return with_open(state.text.dev_null, "r+", [&](PyObject* null) {
        Ref subprocess = global("subprocess");
        if (!subprocess)
            return subprocess;
        Ref check_call = attr(subprocess.get(), "check_call");
        Ref kw(PyDict_New());
        if (!check_call || !kw || PyDict_SetItemString(kw.get(), "stdin", null) < 0 ||
            PyDict_SetItemString(kw.get(), "stdout", null) < 0 || PyDict_SetItemString(kw.get(), "stderr", null) < 0)
            return Ref();
        Ref args(PyTuple_Pack(1, argv));
        if (!args)
            return args;
        return Ref(PyObject_Call(check_call.get(), args.get(), kw.get()));
    });
}

// Steps of _compile after the temporary directory exists.
PyObject* compile_in(PyObject* self, PyObject* source, PyObject* tempdir)
{
    Ref asm_filename = join_path(tempdir, state.text.asm_name);
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
    NEED(run_quietly(argv.get()));

    Ref hex_filename = join_path(tempdir, state.text.hex_name);
    NEED(hex_filename);
    Ref out = with_open(hex_filename.get(), "r", [](PyObject* hex_file) { return call_method(hex_file, "read"); });
    NEED(out);
    return out.release();
}

// Raises the error of removal in place of the one already fetched, chained to it as its context.
void chain_removal_error(PyObject* type, PyObject* value, PyObject* tb)
{
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

}  // namespace

PyObject* hex_get(PyObject* self)
{
    Ref source = attr(self, "asm");
    NEED(source);
    Ref out = call_method(self, "_compile", source.get());
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
    int failed_line = std::exchange(state.err_line, 0);
    // The directory goes whether compilation succeeded or not; a failure to remove it is raised in
    // place of the result, chained to the error already propagating.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref shutil = global("shutil");
    Ref rmtree = shutil ? attr(shutil.get(), "rmtree") : Ref();
    Ref removed = rmtree ? call(rmtree.get(), tempdir.get()) : Ref();
    if (!removed) {
        if (type)
            chain_removal_error(type, value, tb);
        NEED(false);
    }
    if (type) {
        PyErr_Restore(type, value, tb);
        state.err_line = failed_line;
        return nullptr;
    }
    return result.release();
}

}  // namespace flarix
