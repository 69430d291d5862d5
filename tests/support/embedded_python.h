// Starts the interpreter once for a C++ test or fuzz binary. The environment
// (PYTHONHOME, PYTHONPATH with the build's package) comes from the runner.
#pragma once
#include <Python.h>

inline void ensure_python()
{
    static const bool started = [] {
        Py_InitializeEx(0);
        return true;
    }();
    (void)started;
}
