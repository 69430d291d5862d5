// Traceback entries for failing native steps. The entry's function name is the
// qualified step name followed by "(file:line)" of the native source, so that a
// traceback through a native module still says where it failed.
#pragma once
#include <Python.h>
#include <frameobject.h>

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

inline Ref empty_code(const char* funcname, const char* filename, int line)
{
    Ref empty_str = Ref::steal(PyString_FromString(""));
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    Ref file = Ref::steal(PyString_FromString(filename));
    Ref name = Ref::steal(PyString_FromString(funcname));
    if (!empty_str || !empty_tuple || !file || !name)
        return Ref();
    return Ref::steal(reinterpret_cast<PyObject*>(PyCode_New(
        0, 0, 0, 0, empty_str.get(), empty_tuple.get(), empty_tuple.get(),
        empty_tuple.get(), empty_tuple.get(), empty_tuple.get(), file.get(),
        name.get(), line, empty_str.get())));
}

}  // namespace detail

// Adds an entry named `qualname` (with "(file:line)" when `line` > 0) to the
// traceback of the pending exception. The exception itself is left untouched.
inline void add_traceback(const char* qualname, const char* source_file, int line)
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    const char* file = detail::base_name(source_file);
    Ref funcname = Ref::steal(line > 0 ? PyString_FromFormat("%s (%s:%d)", qualname, file, line)
                                       : PyString_FromString(qualname));
    Ref code;
    Ref frame;
    PyObject* globals = detail::traceback_globals();
    if (funcname && globals) {
        code = detail::empty_code(PyString_AS_STRING(funcname.get()), file, line);
        if (code)
            frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_GET(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    // A failure to build the entry must not replace the real exception.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) {
        reinterpret_cast<PyFrameObject*>(frame.get())->f_lineno = line;
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace pyglue

// Records the current native line under the step's qualified name.
#define PYGLUE_TRACE(qualname) ::pyglue::add_traceback((qualname), __FILE__, __LINE__)
