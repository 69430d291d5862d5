// Lends an instance that keeps per-call state (bound readers, a case flag) to
// one call at a time. Interpreter code can run in the middle of a call (a
// user __eq__, a __del__, a weakref callback, the collector), and with it a
// nested call or another thread's call. Such a call finds the instance busy
// and gets a fresh one of its own instead of rebinding state in use.
#pragma once
#include <Python.h>

#include "pyglue/ref.h"

namespace pyglue {

// Object has an int field `_busy`; make_fresh builds a new instance (a new
// reference, or null with an exception set). The lease holds a strong
// reference for the whole call, so nothing that runs meanwhile (a re-run
// module init included) can free the instance under it.
template <typename Object>
class Lease {
public:
    Lease(Object* wanted, PyObject* (*make_fresh)())
    {
        if (!wanted->_busy) {
            held_ = Ref::borrow(reinterpret_cast<PyObject*>(wanted));
            wanted->_busy = 1;
            marked_ = true;
        } else {
            held_ = Ref::steal(make_fresh());
        }
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    // The mark goes before the reference: the instance is free again before
    // anything its release runs could ask for it.
    ~Lease()
    {
        if (marked_)
            get()->_busy = 0;
    }

    // False with an exception set when no fresh instance could be made.
    explicit operator bool() const { return static_cast<bool>(held_); }
    Object* get() const { return reinterpret_cast<Object*>(held_.get()); }

private:
    Ref held_;
    bool marked_ = false;
};

}  // namespace pyglue
