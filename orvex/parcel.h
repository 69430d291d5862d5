// Instance layouts and operation tables of orvex.parcel's Packer and Unpacker.
// Modules that read parcels natively include this header, check the instance
// sizes at import and call the reader through its published table.
#pragma once
#include <Python.h>

#include "pyglue/compat.h"
#include "pyglue/errors.h"
#include "pyglue/ref.h"

namespace parcel {

struct UnpackerObject;
struct PackerObject;

// Result conventions: int readers give -1 with an exception set on failure
// (-1 without one is a value); object loaders give null on failure; string
// readers fail whenever they give -1.
struct UnpackerVTable {
    // Bind the reader to a parcel; the next byte is the top value's code.
    PyObject* (*load)(UnpackerObject* self, PyObject* s);
    // The bytes must outlive the reader's use of them.
    PyObject* (*load_c_str)(UnpackerObject* self, const char* s, int len);
    const char* (*_look)(UnpackerObject* self, int n);
    const char* (*_peek)(UnpackerObject* self, int n);
    int (*_read_short_int)(UnpackerObject* self);
    int (*_read_medium_int)(UnpackerObject* self);
    int (*_read_int32)(UnpackerObject* self);
    PyObject* (*_load_short_long)(UnpackerObject* self);
    PyObject* (*_load_long_long)(UnpackerObject* self);
    PyObject* (*_load_float)(UnpackerObject* self);
    int (*_read_short_string)(UnpackerObject* self, const char** s, int* len);
    int (*_read_long_string)(UnpackerObject* self, const char** s, int* len);
    PyObject* (*_load_dict)(UnpackerObject* self, int n);
    // Decodes the next whole value (any code) into an object.
    PyObject* (*_load_value)(UnpackerObject* self);
};

struct UnpackerObject {
    PyObject_HEAD
    UnpackerVTable* __pyx_vtab;
    PyObject* _obj;  // the loaded parcel string, held while bound (None otherwise)
    const char* _p;
    int _str_len;
    int _index;
};

struct PackerVTable {
    // Encodes `value` into a new parcel string.
    PyObject* (*dumps)(PackerObject* self, PyObject* value);
};

struct PackerObject {
    PyObject_HEAD
    PackerVTable* __pyx_vtab;
    PyObject* _buffer;  // working bytes of the value being packed
    Py_ssize_t _used;
};

// Raises orvex.parcel's exception class `name` called with `args`, the class
// taken from the module at this moment; a failure to take or build it is
// raised instead.
inline void raise_parcel_error(const char* name, PyObject* args)
{
    if (!args)
        return;
    pyglue::Ref module = pyglue::Ref::steal(PyImport_ImportModule("orvex.parcel"));
    if (!module)
        return;
    pyglue::Ref cls = pyglue::Ref::steal(PyObject_GetAttrString(module.get(), name));
    if (cls)
        pyglue::raise_call(cls.get(), args);
}

// Raises UnpackKeyError(code), the code as a signed byte.
inline void raise_unpack_key_error(char code)
{
    pyglue::Ref args = pyglue::Ref::steal(Py_BuildValue("(i)", static_cast<int>(static_cast<signed char>(code))));
    raise_parcel_error("UnpackKeyError", args.get());
}

// The 4-byte count of a `T`, `C` or `D` value. It is signed on the wire, and a
// negative count is refused with the reader's own error, as unpack refuses it.
inline int read_count32(UnpackerObject* u)
{
    int count = u->__pyx_vtab->_read_int32(u);
    if (count >= 0 || PyErr_Occurred())
        return count;
    pyglue::Ref args = pyglue::Ref::steal(Py_BuildValue(
        "(N)", PYGLUE_TEXT_FROM_FORMAT("negative count %d at offset %d", count, u->_index - 4)));
    raise_parcel_error("UnpackError", args.get());
    return -1;
}

}  // namespace parcel
