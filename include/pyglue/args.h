// Argument binding for functions with named parameters, with the interpreter's
// own TypeError wording, and the exact-type check for data arguments.
#pragma once
#include <Python.h>

#include <cstring>

#include "pyglue/compat.h"
#include "pyglue/ref.h"
#include "pyglue/traceback.h"

namespace pyglue {

namespace detail {

inline void raise_arg_count(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max,
                            Py_ssize_t found)
{
    Py_ssize_t expected = found < min ? min : max;
    const char* more_or_less = exact ? "exactly" : (found < min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zd positional argument%s (%zd given)", func,
                 more_or_less, expected, expected == 1 ? "" : "s", found);
}

inline Py_ssize_t name_index(const char* text, const char* const* names, Py_ssize_t count)
{
    for (Py_ssize_t i = 0; i < count; ++i)
        if (std::strcmp(text, names[i]) == 0)
            return i;
    return -1;
}

// Every keyword must be a string naming a parameter not already given by position.
inline bool check_keywords(const char* func, PyObject* kwds, const char* const* names,
                           Py_ssize_t count, Py_ssize_t npos)
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        if (!text_check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", func);
            return false;
        }
        const char* text = text_as_utf8(key);
        if (!text)
            return false;
        Py_ssize_t index = name_index(text, names, count);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", func,
                         text);
            return false;
        }
        if (index < npos) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%s'",
                         func, text);
            return false;
        }
    }
    return true;
}

}  // namespace detail

// Binds `args` and `kwds` to `count` named parameters, of which the first
// `required` must be given. `out` receives borrowed references, null for an
// optional parameter that was not given. Returns false with TypeError set.
inline bool bind_args(const char* func, PyObject* args, PyObject* kwds, const char* const* names,
                      Py_ssize_t required, Py_ssize_t count, PyObject** out)
{
    const bool exact = required == count;
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (npos > count || (!kwds && npos < required)) {
        detail::raise_arg_count(func, exact, required, count, npos);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i)
        out[i] = i < npos ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (!kwds)
        return true;
    for (Py_ssize_t i = npos; i < count; ++i) {
        out[i] = PyDict_GetItemString(kwds, names[i]);
        if (!out[i] && i < required) {
            detail::raise_arg_count(func, exact, required, count, i);
            return false;
        }
    }
    return detail::check_keywords(func, kwds, names, count, npos);
}

// Data arguments must be exactly `type` (subclasses refused); None passes and
// fails later where a value is needed.
inline bool arg_type_test(PyObject* obj, PyTypeObject* type, const char* name)
{
    if (obj == Py_None || Py_TYPE(obj) == type)
        return true;
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", name,
                 type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

}  // namespace pyglue

namespace pyglue {

// Method-table entry for a METH_VARARGS | METH_KEYWORDS function; the detour
// through a plain function pointer is how the interpreter expects the cast.
template <typename Function>
inline PyCFunction kw_method(Function function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A function of exactly two arguments, such as a comparison that a sort calls
// once per pair. Its usual call, two positional arguments, goes straight to
// `body`: on Python 3 by the vector call, without the argument tuple that
// would cost more than the comparison. Any other call is bound by bind_args,
// with its wording; a binding failure adds the entry `qualname`.
struct PairFunction {
    const char* name;
    const char* qualname;
    const char* const* arg_names;
    PyObject* (*body)(PyObject* a, PyObject* b);
};

namespace detail {

inline PyObject* call_bound(const PairFunction& f, PyObject* args, PyObject* kwds)
{
    PyObject* ab[2];
    if (!bind_args(f.name, args, kwds, f.arg_names, 2, 2, ab)) {
        PYGLUE_TRACE(f.qualname);
        return nullptr;
    }
    return f.body(ab[0], ab[1]);
}

}  // namespace detail

#if PYGLUE_PY3

constexpr int pair_flags = METH_FASTCALL | METH_KEYWORDS;

template <const PairFunction& F>
PyObject* pair_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!kwnames && nargs == 2)
        return F.body(args[0], args[1]);
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple)
        return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(args[i]).release());
    Ref kwds;
    if (kwnames) {
        kwds = Ref::steal(PyDict_New());
        if (!kwds)
            return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwds.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                return nullptr;
        }
    }
    return detail::call_bound(F, tuple.get(), kwds.get());
}

#else

constexpr int pair_flags = METH_VARARGS | METH_KEYWORDS;

template <const PairFunction& F>
PyObject* pair_entry(PyObject*, PyObject* args, PyObject* kwds)
{
    if (!kwds && PyTuple_GET_SIZE(args) == 2)
        return F.body(PyTuple_GET_ITEM(args, 0), PyTuple_GET_ITEM(args, 1));
    return detail::call_bound(F, args, kwds);
}

#endif

// Method-table entry of a PairFunction; its flags are pair_flags.
template <const PairFunction& F>
inline PyCFunction pair_method()
{
    return kw_method(pair_entry<F>);
}

}  // namespace pyglue
