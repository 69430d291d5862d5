// The names that differ between Python 2 (2.6, 2.7) and Python 3, so that a
// module's source is the same for both. Byte strings use the PyBytes_* calls
// everywhere (2.6 and 2.7 define them as the str calls). What else differs:
// - text: identifiers, keyword names, messages and docstrings are str on
//   both, which is a byte string on 2 and a unicode string on 3;
// - small ints: an int result is an int on 2 (not a long), an int on 3;
//   an int argument that a C long holds is an int on 2, an int within
//   long's range on 3 (int_as_long);
// - integers: 2 has int and long (int_check), and a long conversion slot;
// - classes: 2 also has classic classes (is_class, default_metaclass);
// - one-byte strings: 2 makes them with chr and reads them with ord
//   (byte_chr, byte_ord), 3's indexing of bytes gives the code itself;
// - floats' 8-byte IEEE form (float_pack8 / float_unpack8, big-endian);
// - the home of the built-ins, the wrapper of operation tables (CObject on
//   2, capsule on 3), and module creation (see PYGLUE_MODULE in module.h).
#pragma once
#include <Python.h>
#include <frameobject.h>

#include "pyglue/ref.h"

#if PY_MAJOR_VERSION >= 3
#define PYGLUE_PY3 1
#else
#define PYGLUE_PY3 0
#endif

namespace pyglue {

#if PYGLUE_PY3

inline PyObject* text_from_string(const char* s) { return PyUnicode_FromString(s); }
inline PyObject* text_from_utf8(const char* s, Py_ssize_t n) { return PyUnicode_DecodeUTF8(s, n, "strict"); }
inline PyObject* text_intern(const char* s) { return PyUnicode_InternFromString(s); }
inline bool text_check(PyObject* obj) { return PyUnicode_Check(obj); }
// Null with an exception set for text that cannot be encoded.
inline const char* text_as_utf8(PyObject* obj) { return PyUnicode_AsUTF8(obj); }
// One character for a byte, which may be any of 0-255 (taken as Latin-1).
inline PyObject* text_from_byte(char byte)
{
    return PyUnicode_FromOrdinal(static_cast<unsigned char>(byte));
}
#define PYGLUE_TEXT_FROM_FORMAT PyUnicode_FromFormat

inline PyObject* int_from_long(long value) { return PyLong_FromLong(value); }
// Python 3 has one int type: an exact int beyond long's range is left to the
// caller's arbitrary-size path, as a long is on Python 2.
inline bool int_as_long(PyObject* obj, long* value)
{
    if (!PyLong_CheckExact(obj))
        return false;
    int overflow;
    *value = PyLong_AsLongAndOverflow(obj, &overflow);
    return !overflow;
}

inline bool is_class(PyObject* obj) { return PyType_Check(obj); }
// What a class statement calls when no base names another metaclass.
inline PyObject* default_metaclass() { return reinterpret_cast<PyObject*>(&PyType_Type); }

inline bool int_check(PyObject* obj) { return PyLong_Check(obj); }
inline unaryfunc long_slot(PyNumberMethods*) { return nullptr; }

// A one-byte string of `code`, refused out of range as Python 2's chr does;
// 3's chr makes text, so `chr` (the built-in 2 uses) goes unused here.
inline PyObject* byte_chr(PyObject*, int code)
{
    if (code < 0 || code > 255) {
        PyErr_SetString(PyExc_ValueError, "chr() arg not in range(256)");
        return nullptr;
    }
    const char byte = static_cast<char>(code);
    return PyBytes_FromStringAndSize(&byte, 1);
}
// The code of an item of a byte string: on 3 the item is that int already.
inline PyObject* byte_ord(PyObject*, PyObject* item)
{
    Py_INCREF(item);
    return item;
}

inline int float_pack8(double x, char* out) { return PyFloat_Pack8(x, out, 0); }
inline double float_unpack8(const char* p) { return PyFloat_Unpack8(p, 0); }

constexpr char builtins_module[] = "builtins";

inline PyObject* wrap_table(void* table) { return PyCapsule_New(table, nullptr, nullptr); }
inline void* unwrap_table(PyObject* obj)
{
    return obj && PyCapsule_IsValid(obj, nullptr) ? PyCapsule_GetPointer(obj, nullptr) : nullptr;
}

inline void set_refcnt(PyObject* obj, Py_ssize_t count) { Py_SET_REFCNT(obj, count); }
inline void set_size(PyObject* obj, Py_ssize_t size) { Py_SET_SIZE(obj, size); }
// The interpreter lock, for an embedding program whose threads take it: 3
// always has one.
inline void init_threads() {}

// A code object with no body, for a synthetic traceback entry; its frame
// reports `line` as the code's first line.
inline PyCodeObject* new_empty_code(const char* funcname, const char* file, int line)
{
    return PyCode_NewEmpty(file, funcname, line);
}
inline void set_frame_line(PyFrameObject*, int) {}

#else

inline PyObject* text_from_string(const char* s) { return PyString_FromString(s); }
inline PyObject* text_from_utf8(const char* s, Py_ssize_t n) { return PyString_FromStringAndSize(s, n); }
inline PyObject* text_intern(const char* s) { return PyString_InternFromString(s); }
inline bool text_check(PyObject* obj) { return PyString_Check(obj); }
inline const char* text_as_utf8(PyObject* obj) { return PyString_AsString(obj); }
inline PyObject* text_from_byte(char byte) { return PyString_FromStringAndSize(&byte, 1); }
#define PYGLUE_TEXT_FROM_FORMAT PyString_FromFormat

inline PyObject* int_from_long(long value) { return PyInt_FromLong(value); }
// Only the int type: a long of any value is the caller's arbitrary-size path.
inline bool int_as_long(PyObject* obj, long* value)
{
    if (!PyInt_CheckExact(obj))
        return false;
    *value = PyInt_AS_LONG(obj);
    return true;
}

inline bool is_class(PyObject* obj) { return PyType_Check(obj) || PyClass_Check(obj); }
inline PyObject* default_metaclass() { return reinterpret_cast<PyObject*>(&PyClass_Type); }

inline bool int_check(PyObject* obj) { return PyInt_Check(obj) || PyLong_Check(obj); }
inline unaryfunc long_slot(PyNumberMethods* number) { return number->nb_long; }

// Through the built-ins the module captured, with their own messages.
inline PyObject* byte_chr(PyObject* chr, int code)
{
    return PyObject_CallFunction(chr, const_cast<char*>("i"), code);
}
inline PyObject* byte_ord(PyObject* ord, PyObject* item)
{
    return PyObject_CallFunctionObjArgs(ord, item, nullptr);
}

inline int float_pack8(double x, char* out)
{
    return _PyFloat_Pack8(x, reinterpret_cast<unsigned char*>(out), 0);
}
inline double float_unpack8(const char* p)
{
    return _PyFloat_Unpack8(reinterpret_cast<const unsigned char*>(p), 0);
}

constexpr char builtins_module[] = "__builtin__";

inline PyObject* wrap_table(void* table) { return PyCObject_FromVoidPtr(table, nullptr); }
inline void* unwrap_table(PyObject* obj)
{
    return obj && PyCObject_Check(obj) ? PyCObject_AsVoidPtr(obj) : nullptr;
}

inline void set_refcnt(PyObject* obj, Py_ssize_t count) { Py_REFCNT(obj) = count; }
inline void set_size(PyObject* obj, Py_ssize_t size) { Py_SIZE(obj) = size; }
inline void init_threads() { PyEval_InitThreads(); }

// PyCode_NewEmpty is 2.7 only: the same thing, spelled out for 2.6.
inline PyCodeObject* new_empty_code(const char* funcname, const char* file, int line)
{
    Ref empty_str = Ref::steal(PyString_FromString(""));
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    Ref file_name = Ref::steal(PyString_FromString(file));
    Ref name = Ref::steal(PyString_FromString(funcname));
    if (!empty_str || !empty_tuple || !file_name || !name)
        return nullptr;
    return PyCode_New(0, 0, 0, 0, empty_str.get(), empty_tuple.get(), empty_tuple.get(),
                      empty_tuple.get(), empty_tuple.get(), empty_tuple.get(), file_name.get(),
                      name.get(), line, empty_str.get());
}
inline void set_frame_line(PyFrameObject* frame, int line) { frame->f_lineno = line; }

#endif

}  // namespace pyglue
