// The one argument of a function that works on bytes, and its results. On
// Python 2 the argument is what "s#" admits and results are str. On Python 3
// it is bytes, with bytes results; or a str, taken as its UTF-8 with
// surrogateescape (so that any byte survives the trip), whose results come
// back as str decoded the same way and whose offsets count its characters.
#pragma once
#ifndef PY_SSIZE_T_CLEAN
#error "bytetext.h reads sizes as Py_ssize_t: define PY_SSIZE_T_CLEAN before Python.h"
#endif
#include <Python.h>

#include "pyglue/compat.h"
#include "pyglue/ref.h"

namespace pyglue {

class ByteText {
public:
    const char* data = nullptr;
    Py_ssize_t size = 0;

    // Reads the single positional argument; false with an exception set.
    bool parse(PyObject* args)
    {
#if PYGLUE_PY3
        PyObject* arg;
        if (!PyArg_ParseTuple(args, "O", &arg))
            return false;
        if (PyUnicode_Check(arg)) {
            encoded_ = Ref::steal(PyUnicode_AsEncodedString(arg, "utf-8", "surrogateescape"));
            if (!encoded_)
                return false;
            text_ = Ref::borrow(arg);
            arg = encoded_.get();
        } else if (!PyBytes_Check(arg)) {
            PyErr_Format(PyExc_TypeError, "argument must be bytes or str, not %.200s",
                         Py_TYPE(arg)->tp_name);
            return false;
        }
        data = PyBytes_AS_STRING(arg);
        size = PyBytes_GET_SIZE(arg);
        return true;
#else
        return PyArg_ParseTuple(args, "s#", &data, &size) != 0;
#endif
    }

    // A byte string result in the argument's kind; None stays None.
    Ref result(Ref owned) const
    {
#if PYGLUE_PY3
        if (!owned || !text_ || !PyBytes_Check(owned.get()))
            return owned;
        return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(owned.get()),
                                               PyBytes_GET_SIZE(owned.get()), "surrogateescape"));
#else
        // Python 2 takes no text here: no unicode call, so the module does
        // not depend on the interpreter's unicode width.
        return owned;
#endif
    }

    // The offset in the argument of the byte offset `offset`, which falls on
    // a character boundary: for a str, the characters whose encoding fills
    // that many bytes.
    Py_ssize_t offset(Py_ssize_t offset) const
    {
#if PYGLUE_PY3
        if (!text_)
            return offset;
        const int kind = PyUnicode_KIND(text_.get());
        const void* chars = PyUnicode_DATA(text_.get());
        Py_ssize_t n = 0;
        for (Py_ssize_t bytes = 0; bytes < offset; ++n)
            bytes += utf8_length(PyUnicode_READ(kind, chars, n));
        return n;
#else
        return offset;
#endif
    }

private:
#if PYGLUE_PY3
    // Bytes of one character in UTF-8 with surrogateescape: an escaped byte
    // (U+DC80 to U+DCFF) is one; other surrogates cannot get this far.
    static int utf8_length(Py_UCS4 c)
    {
        if (c < 0x80 || (c >= 0xDC80 && c <= 0xDCFF))
            return 1;
        if (c < 0x800)
            return 2;
        return c < 0x10000 ? 3 : 4;
    }
#endif

    Ref encoded_;
    Ref text_;  // the str argument; never set on Python 2
};

}  // namespace pyglue
