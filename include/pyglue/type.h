// Static type objects filled in by field name: the slot order of
// PyTypeObject differs between interpreter versions, and a type needs only
// a handful of its fields.
#pragma once
#include <Python.h>

#include "pyglue/compat.h"

namespace pyglue {

struct TypeSpec {
    const char* name;                        // dotted: "module.Class"
    Py_ssize_t basicsize;
    unsigned long extra_flags = 0;           // beyond Py_TPFLAGS_DEFAULT
    const char* doc = nullptr;
    newfunc new_func = nullptr;
    destructor dealloc = nullptr;
    PyMethodDef* methods = nullptr;
    traverseproc traverse = nullptr;         // with Py_TPFLAGS_HAVE_GC
    inquiry clear = nullptr;
    richcmpfunc richcompare = nullptr;
    hashfunc hash = nullptr;
    PyGetSetDef* getset = nullptr;
    reprfunc repr = nullptr;
    PyMemberDef* members = nullptr;
};

// A type object for PyType_Ready, as a static initialiser:
//   PyTypeObject Thing_Type = pyglue::make_type({...});
// It is never freed: its reference count starts at one.
inline PyTypeObject make_type(const TypeSpec& spec)
{
    PyTypeObject type{};
    set_refcnt(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = spec.name;
    type.tp_basicsize = spec.basicsize;
    type.tp_flags = Py_TPFLAGS_DEFAULT | spec.extra_flags;
    type.tp_doc = spec.doc;
    type.tp_new = spec.new_func;
    type.tp_dealloc = spec.dealloc;
    type.tp_methods = spec.methods;
    type.tp_traverse = spec.traverse;
    type.tp_clear = spec.clear;
    type.tp_richcompare = spec.richcompare;
    type.tp_hash = spec.hash;
    type.tp_getset = spec.getset;
    type.tp_repr = spec.repr;
    type.tp_members = spec.members;
    return type;
}

}  // namespace pyglue
