// What every fuzz target needs besides the interpreter: a way to report a
// finding, and the module attributes it drives, taken once at start-up.
#pragma once
#include <Python.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "pyglue/ref.h"

// Aborts (so libFuzzer keeps the input) with the target's name, what went
// wrong and the pending exception, if any.
[[noreturn]] inline void finding(const char* what)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    if (PyErr_Occurred())
        PyErr_Print();
    std::abort();
}

// A new reference to module_name.name; failing to get it is a finding.
inline PyObject* module_attribute(const char* module_name, const char* name)
{
    pyglue::Ref module = pyglue::Ref::steal(PyImport_ImportModule(module_name));
    PyObject* found = module ? PyObject_GetAttrString(module.get(), name) : nullptr;
    if (!found)
        finding(name);
    return found;
}
