// Instance layout and operation table of orvex.digestra's Digestra, for native
// modules that hash parcels without going through Python. Fetch the table from
// the Digestra type with pyglue::get_vtable; every slot returns the signed
// 32-bit hash, or -1 with an exception set (no hash is ever -1).
//
// An instance serves one hash at a time. The entries hash and hash_c_str mark
// it busy before they bind its reader; called again while it is busy (from a
// __del__ or weakref callback run by an allocation, or another thread that got
// the interpreter lock meanwhile), they hash on a fresh instance instead, so
// any caller may re-enter them. _hash and _hash_tuple work on the reader they
// are handed and take no such care: a native caller that drives them on an
// instance of its own must not let that instance be used by another call
// until it is done.
#pragma once
#include <Python.h>

#include "orvex/parcel.h"

namespace digestra {

struct DigestraObject;

struct DigestraVTable {
    // Hash of the first value of the parcel string `a`; case_sensitive 0
    // folds ASCII capitals in every string.
    int (*hash)(DigestraObject* self, PyObject* a, int case_sensitive);
    // The same for parcel bytes held by the caller (read in place).
    int (*hash_c_str)(DigestraObject* self, const char* a, int a_len, int case_sensitive);
    // Hash of the value at the reader's position, under self->_case_sensitive.
    int (*_hash)(DigestraObject* self, parcel::UnpackerObject* a);
    // Tuple hash of the next t_len values at the reader's position.
    int (*_hash_tuple)(DigestraObject* self, int t_len, parcel::UnpackerObject* a);
};

struct DigestraObject {
    PyObject_HEAD
    DigestraVTable* __pyx_vtab;
    parcel::UnpackerObject* u_a;  // the reader every hash of this object goes through
    int _case_sensitive;          // flag of the current (or last) call
    int _busy;                    // non-zero while hash or hash_c_str runs on this instance
};

}  // namespace digestra
