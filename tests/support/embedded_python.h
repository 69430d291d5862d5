// Starts the interpreter once for a C++ test or fuzz binary. The environment
// (PYTHONHOME, PYTHONPATH with the build's package) comes from the runner.
#pragma once
#include <Python.h>

#include "pyglue/compat.h"

inline void ensure_python()
{
    static const bool started = [] {
        Py_InitializeEx(0);
        // Tests hand the lock to threads of their own.
        pyglue::init_threads();
        return true;
    }();
    (void)started;
}
