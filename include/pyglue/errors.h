// Raising exceptions made by calling a class, and ending a failed module
// initialisation.
#pragma once
#include <Python.h>

#include <string>

#include "pyglue/ref.h"
#include "pyglue/traceback.h"

namespace pyglue {

// Raises `obj`: an exception instance as itself, an exception class without value.
inline void raise_object(PyObject* obj)
{
    if (PyExceptionInstance_Check(obj))
        PyErr_SetObject(PyExceptionInstance_Class(obj), obj);
    else if (PyExceptionClass_Check(obj))
        PyErr_SetNone(obj);
    else
        PyErr_SetString(PyExc_TypeError, "raise: exception must be an old-style class or instance");
}

// Calls `cls` with `args` and raises the result. If the call fails, its own
// exception is the one left pending.
inline void raise_call(PyObject* cls, PyObject* args)
{
    Ref instance = Ref::steal(PyObject_Call(cls, args, nullptr));
    if (instance)
        raise_object(instance.get());
}

// Finishes a failed init function: the traceback names the import, and the
// half-made module leaves sys.modules so a later import starts afresh instead
// of finding a module without its attributes.
inline void fail_init(const char* module_name, bool module_created, const char* file, int line)
{
    std::string entry = std::string("init ") + module_name;
    if (!module_created) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, entry.c_str());
        return;
    }
    add_traceback(entry.c_str(), file, line);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, module_name) && PyDict_DelItemString(modules, module_name) < 0)
        PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

}  // namespace pyglue

#define PYGLUE_FAIL_INIT(module_name, created) \
    ::pyglue::fail_init((module_name), (created), __FILE__, __LINE__)
