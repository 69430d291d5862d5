// Instance layout and operation table of orvex.ordinex's Ordinex, for native
// modules that compare parcels without going through Python. Fetch the table
// from the Ordinex type with pyglue::get_vtable and call it on an instance
// made by calling the type.
//
// Every slot answers -1 (a < b), 0 or 1 (a > b); -1 with an exception set is
// a failure, so a caller that gets -1 asks PyErr_Occurred() before treating it
// as "less". The readers handed to a slot are u_a and u_b of the same object,
// each positioned at a value's type code (or, for the _det_* slots, at b's).
// After a non-zero answer or a failure the readers' positions are undefined.
//
// An instance serves one comparison at a time. The entries cmp and cmp_c_str
// mark it busy before they bind its readers; called again while it is busy
// (from a dict value's __cmp__, a __del__ or weakref callback, or another
// thread that got the interpreter lock meanwhile), they compare on a fresh
// instance instead, so any caller may re-enter them. The other slots work on
// the readers they are handed and take no such care: a native caller that
// drives them on an instance of its own must not let that instance be used
// by another call until it is done.
#pragma once
#include <Python.h>

#include "orvex/parcel.h"

namespace ordinex {

struct OrdinexObject;
using parcel::UnpackerObject;

struct OrdinexVTable {
    // Compares the first values of two parcel strings; case_sensitive 0
    // folds letters in strings (not inside dicts).
    int (*cmp)(OrdinexObject* self, PyObject* a, PyObject* b, int case_sensitive);
    // The same for parcel bytes held by the caller (read in place).
    int (*cmp_c_str)(OrdinexObject* self, const char* a, int a_len, const char* b, int b_len,
                     int case_sensitive);
    // Compares and consumes the next value of each reader.
    int (*_cmp)(OrdinexObject* self, UnpackerObject* a, UnpackerObject* b);
    // a's decoded value against b's next value (b at its type code).
    int (*_det_int)(OrdinexObject* self, int value, UnpackerObject* other);
    int (*_det_long)(OrdinexObject* self, PyObject* value, UnpackerObject* other);
    int (*_det_float)(OrdinexObject* self, double value, UnpackerObject* other);
    int (*_det_string)(OrdinexObject* self, const char* s, int s_len, UnpackerObject* other);
    // a's tuple or list of t_len elements (a at its first element) against b.
    int (*_det_tuple)(OrdinexObject* self, int t_len, UnpackerObject* a, UnpackerObject* b);
    int (*_det_list)(OrdinexObject* self, int t_len, UnpackerObject* a, UnpackerObject* b);
    // a's dict by its code (`}`, `d` or `D`; a just after the code) against b.
    int (*_det_dict)(OrdinexObject* self, char a_type_char, UnpackerObject* a, UnpackerObject* b);
    // A user object on the left: always -1, reads nothing.
    int (*_det_user)(OrdinexObject* self, UnpackerObject* a, UnpackerObject* b);
    int (*_cmp_int)(OrdinexObject* self, int a, int b);
    int (*_cmp_long)(OrdinexObject* self, PyObject* a, PyObject* b);
    // NaN on either side answers 1.
    int (*_cmp_float)(OrdinexObject* self, double a, double b);
    // Under self->_case_sensitive.
    int (*_cmp_string)(OrdinexObject* self, const char* a, int a_len, const char* b, int b_len);
    // The elements of two tuples (lists) at the readers' positions, then the counts.
    int (*_cmp_tuple)(OrdinexObject* self, int a_len, UnpackerObject* a, int b_len,
                      UnpackerObject* b);
    int (*_cmp_list)(OrdinexObject* self, int a_len, UnpackerObject* a, int b_len,
                     UnpackerObject* b);
    // Two dicts by their codes (readers just after the codes); other codes
    // raise AssertionError.
    int (*_cmp_dict)(OrdinexObject* self, char a_type_char, UnpackerObject* a, char b_type_char,
                     UnpackerObject* b);
};

struct OrdinexObject {
    PyObject_HEAD
    OrdinexVTable* __pyx_vtab;
    UnpackerObject* u_a;  // reader of the left operand (None once cleared)
    UnpackerObject* u_b;  // reader of the right operand
    int _case_sensitive;  // flag of the current (or last) call
    int _busy;            // non-zero while cmp or cmp_c_str runs on this instance
};

}  // namespace ordinex
