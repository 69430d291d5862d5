// Test-only module: each function drives one shared helper so that the tests
// can check its messages, and leak() holds a reference on purpose so that the
// reference-leak check can be shown to fail.
#include <Python.h>

#include "pyglue/args.h"
#include "pyglue/errors.h"
#include "pyglue/imports.h"
#include "pyglue/module.h"
#include "pyglue/py2hash.h"
#include "pyglue/ref.h"
#include "pyglue/traceback.h"

using pyglue::Ref;

namespace {

PyObject* probe_module;

// bind(a, b, c=None): two required parameters and an optional one.
PyObject* probe_bind(PyObject*, PyObject* args, PyObject* kwds)
{
    static const char* const names[] = {"a", "b", "c"};
    PyObject* values[3];
    if (!pyglue::bind_args("bind", args, kwds, names, 2, 3, values))
        return nullptr;
    return Py_BuildValue("(OOO)", values[0], values[1], values[2] ? values[2] : Py_None);
}

// bind_exact(a, b): both required.
PyObject* probe_bind_exact(PyObject*, PyObject* args, PyObject* kwds)
{
    static const char* const names[] = {"a", "b"};
    PyObject* values[2];
    if (!pyglue::bind_args("bind_exact", args, kwds, names, 2, 2, values))
        return nullptr;
    return Py_BuildValue("(OO)", values[0], values[1]);
}

PyObject* probe_type_test(PyObject*, PyObject* args)
{
    PyObject* obj;
    const char* name;
    if (!PyArg_ParseTuple(args, "Os", &obj, &name))
        return nullptr;
    if (!pyglue::arg_type_test(obj, &PyBytes_Type, name))
        return nullptr;
    Py_RETURN_TRUE;
}

PyObject* probe_fail_with_traceback(PyObject*, PyObject*)
{
    PyErr_SetString(PyExc_ValueError, "probe failure");
    PYGLUE_TRACE("orvex.probe.step");
    return nullptr;
}

PyObject* probe_import_type(PyObject*, PyObject* args)
{
    const char *module, *cls;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "ssn", &module, &cls, &size))
        return nullptr;
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(pyglue::import_type(module, cls, size)));
    if (!type || !pyglue::get_vtable(reinterpret_cast<PyTypeObject*>(type.get())))
        return nullptr;
    return type.release();
}

PyObject* probe_version_check(PyObject*, PyObject* args)
{
    const char* compiled;
    if (!PyArg_ParseTuple(args, "s", &compiled))
        return nullptr;
    if (!pyglue::check_binary_version("orvex.probe", compiled))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* probe_get_global(PyObject*, PyObject* name)
{
    return pyglue::get_global(probe_module, name);
}

PyObject* probe_raise_call(PyObject*, PyObject* args)
{
    PyObject *cls, *call_args;
    if (!PyArg_ParseTuple(args, "OO!", &cls, &PyTuple_Type, &call_args))
        return nullptr;
    pyglue::raise_call(cls, call_args);
    return nullptr;
}

PyObject* probe_py2_hash(PyObject*, PyObject* number)
{
    long h = pyglue::py2_hash(number);
    return h == -1 ? nullptr : pyglue::int_from_long(h);
}

PyObject* probe_leak(PyObject*, PyObject* obj)
{
    Py_INCREF(obj);
    Py_RETURN_NONE;
}

PyMethodDef probe_methods[] = {
    {"bind", pyglue::kw_method(probe_bind), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"bind_exact", pyglue::kw_method(probe_bind_exact), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"type_test", probe_type_test, METH_VARARGS, nullptr},
    {"fail_with_traceback", probe_fail_with_traceback, METH_NOARGS, nullptr},
    {"import_type", probe_import_type, METH_VARARGS, nullptr},
    {"version_check", probe_version_check, METH_VARARGS, nullptr},
    {"get_global", probe_get_global, METH_O, nullptr},
    {"raise_call", probe_raise_call, METH_VARARGS, nullptr},
    {"py2_hash", probe_py2_hash, METH_O, nullptr},
    {"leak", probe_leak, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace {

bool init_probe(PyObject* module)
{
    probe_module = module;  // held by sys.modules for the life of the process
    return PyModule_AddStringConstant(module, "compiled_version", PYGLUE_COMPILED_VERSION) == 0;
}

pyglue::ModuleDef module_def("_pyglue_probe", "Probes of the shared C++ helpers.", probe_methods);

}  // namespace

PYGLUE_MODULE(_pyglue_probe, module_def, init_probe)
