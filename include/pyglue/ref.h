// Owning reference to an interpreter object: every early return releases what
// it holds, so no function needs a DECREF ladder.
#pragma once
#include <Python.h>

namespace pyglue {

class Ref {
public:
    Ref() noexcept : obj_(nullptr) {}
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (null allowed: the result of a failed call).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference of its own to a borrowed one.
    static Ref borrow(PyObject* obj) noexcept
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(const Ref& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref other) noexcept
    {
        PyObject* old = obj_;
        obj_ = other.obj_;
        other.obj_ = old;
        return *this;
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference to the caller (a function result, a tuple slot).
    PyObject* release() noexcept
    {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }

    // Drops the reference; the field is cleared before the object can run
    // code of its own (as Py_CLEAR does).
    void reset(PyObject* steal = nullptr) noexcept
    {
        PyObject* old = obj_;
        obj_ = steal;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_;
};

// Stores a new reference in a slot that lives as long as the process (what a
// module makes at import). A null `fresh`, the result of a failed call, leaves
// the slot as it was, so that the functions of an earlier successful import
// keep working when a retried import fails. Returns whether it was stored.
template <typename T>
inline bool keep(T** slot, PyObject* fresh)
{
    if (!fresh)
        return false;
    Ref old = Ref::steal(reinterpret_cast<PyObject*>(*slot));
    *slot = reinterpret_cast<T*>(fresh);
    return true;
}

}  // namespace pyglue
