// Traceback entries for failing native steps. The entry's function name is the
// qualified step name followed by "(file:line)" of the native source, so that a
// traceback through a native module still says where it failed.
#pragma once
#include <Python.h>
#include <frameobject.h>

#include <string>

#include "pyglue/compat.h"
#include "pyglue/ref.h"

namespace pyglue {

namespace detail {

inline const char* base_name(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/')
            base = p + 1;
    return base;
}

// Globals for the synthetic frames; created once and kept for the process.
inline PyObject* traceback_globals()
{
    static PyObject* globals = PyDict_New();
    return globals;
}

}  // namespace detail

// Adds an entry named `qualname` (with "(file:line)" when `line` > 0) to the
// traceback of the pending exception. The exception itself is left untouched.
inline void add_traceback(const char* qualname, const char* source_file, int line)
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    const char* file = detail::base_name(source_file);
    std::string funcname = qualname;
    if (line > 0)
        funcname += std::string(" (") + file + ":" + std::to_string(line) + ")";
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(new_empty_code(funcname.c_str(), file, line)));
    Ref frame;
    PyObject* globals = detail::traceback_globals();
    if (code && globals)
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_GET(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    // A failure to build the entry must not replace the real exception.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) {
        auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
        set_frame_line(f, line);
        PyTraceBack_Here(f);
    }
}

}  // namespace pyglue

// Records the current native line under the step's qualified name.
#define PYGLUE_TRACE(qualname) ::pyglue::add_traceback((qualname), __FILE__, __LINE__)
