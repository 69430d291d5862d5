// Arbitrary bytes into orvex.parcel.unpack. A clean refusal is UnpackError
// (or a subclass) or the interpreter's TypeError for an unhashable dict key;
// any other exception, a crash or a sanitizer report is a finding. What is
// accepted must also pack again and read back.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "embedded_python.h"
#include "fuzz_support.h"
#include "pyglue/compat.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

PyObject* pack;
PyObject* unpack;
PyObject* unpack_error;

void set_up()
{
    ensure_python();
    Ref module = Ref::steal(PyImport_ImportModule("orvex.parcel"));
    if (!module)
        finding("cannot import orvex.parcel");
    pack = PyObject_GetAttrString(module.get(), "pack");
    unpack = PyObject_GetAttrString(module.get(), "unpack");
    unpack_error = PyObject_GetAttrString(module.get(), "UnpackError");
    if (!pack || !unpack || !unpack_error)
        finding("orvex.parcel lacks pack, unpack or UnpackError");
}

bool is_unhashable_key_error()
{
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref text = Ref::steal(value ? PyObject_Str(value) : nullptr);
    const char* message =
        text && pyglue::text_check(text.get()) ? pyglue::text_as_utf8(text.get()) : nullptr;
    bool unhashable = message && std::strncmp(message, "unhashable type", 15) == 0;
    PyErr_Restore(type, value, tb);
    return unhashable;
}

Ref call(PyObject* func, PyObject* arg)
{
    return Ref::steal(PyObject_CallFunctionObjArgs(func, arg, nullptr));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = (set_up(), true);
    (void)ready;
    Ref parcel = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                      static_cast<Py_ssize_t>(size)));
    if (!parcel)
        finding("cannot make the parcel string");
    Ref value = call(unpack, parcel.get());
    if (!value) {
        if (!PyErr_ExceptionMatches(unpack_error) && !is_unhashable_key_error())
            finding("unpack raised an exception outside its contract");
        PyErr_Clear();
        return 0;
    }
    // A value that a pickle made may contain itself or nest past the bound:
    // pack refuses those with ValueError.
    Ref again = call(pack, value.get());
    if (!again) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            finding("pack refused a value that unpack gave");
        PyErr_Clear();
        return 0;
    }
    if (!call(unpack, again.get()))
        finding("unpack refused what pack made of its own result");
    return 0;
}
