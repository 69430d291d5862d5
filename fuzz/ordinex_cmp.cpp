// Two arbitrary byte strings into orvex.ordinex's cmp and case_cmp, and into
// the published cmp_c_str with the bytes in buffers of their exact size (so
// that a read past either end is caught). The input's first two bytes
// (little-endian) give the length of the first string; the rest is the second.
//
// Only the documented failures may come out: the reader's UnpackError
// (UnpackKeyError included), KeyError from the _type_map lookup,
// OverflowError from a long too large for a double, TypeError from building
// a dict with an unhashable key, and the interpreter's own recursion guard
// while it compares deeply nested dicts. Anything else aborts.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "embedded_python.h"
#include "fuzz_support.h"
#include "orvex/ordinex.h"
#include "pyglue/imports.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

struct Harness {
    PyObject* cmp;
    PyObject* case_cmp;
    PyObject* unpack_error;
    ordinex::OrdinexVTable* table;
    ordinex::OrdinexObject* instance;
};

Harness make_harness()
{
    ensure_python();
    Harness h;
    h.cmp = module_attribute("orvex.ordinex", "cmp");
    h.case_cmp = module_attribute("orvex.ordinex", "case_cmp");
    h.unpack_error = module_attribute("orvex.parcel", "UnpackError");
    Ref type = Ref::steal(module_attribute("orvex.ordinex", "Ordinex"));
    h.table = static_cast<ordinex::OrdinexVTable*>(
        pyglue::get_vtable(reinterpret_cast<PyTypeObject*>(type.get())));
    h.instance = reinterpret_cast<ordinex::OrdinexObject*>(PyObject_CallObject(type.get(), nullptr));
    if (!h.table || !h.instance)
        finding("Ordinex table");
    return h;
}

Harness& harness()
{
    static Harness h = make_harness();
    return h;
}

bool is_recursion_guard()
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref text = Ref::steal(value ? PyObject_Str(value) : nullptr);
    bool guard = text && std::strncmp(PyString_AsString(text.get()),
                                      "maximum recursion depth exceeded", 32) == 0;
    PyErr_Restore(type, value, tb);
    return guard;
}

// A failure must be one of the documented exceptions; it is then cleared.
void expect_documented_failure()
{
    if (!PyErr_Occurred())
        finding("-1 result flagged as failure without an exception");
    PyObject* exc = PyErr_Occurred();
    bool documented = PyErr_GivenExceptionMatches(exc, harness().unpack_error) ||
                      PyErr_GivenExceptionMatches(exc, PyExc_KeyError) ||
                      PyErr_GivenExceptionMatches(exc, PyExc_OverflowError) ||
                      PyErr_GivenExceptionMatches(exc, PyExc_TypeError) ||
                      (PyErr_GivenExceptionMatches(exc, PyExc_RuntimeError) && is_recursion_guard());
    if (!documented)
        finding("undocumented exception");
    PyErr_Clear();
}

void check_call(PyObject* function, PyObject* a, PyObject* b)
{
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(function, a, b, nullptr));
    if (!result) {
        expect_documented_failure();
        return;
    }
    long value = PyInt_Check(result.get()) ? PyInt_AS_LONG(result.get()) : 2;
    if (value < -1 || value > 1)
        finding("result outside -1..1");
}

void check_table(const std::vector<char>& a, const std::vector<char>& b, int case_sensitive)
{
    Harness& h = harness();
    int result = h.table->cmp_c_str(h.instance, a.data(), static_cast<int>(a.size()), b.data(),
                                    static_cast<int>(b.size()), case_sensitive);
    if (result == -1 && PyErr_Occurred())
        expect_documented_failure();
    else if (result < -1 || result > 1)
        finding("table result outside -1..1");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    Harness& h = harness();
    size_t rest = size - 2;
    size_t a_len = (data[0] | data[1] << 8) % (rest + 1);
    const char* a_bytes = reinterpret_cast<const char*>(data + 2);
    // Buffers of exactly their size; an empty one still has an address.
    std::vector<char> a(a_bytes, a_bytes + a_len);
    std::vector<char> b(a_bytes + a_len, a_bytes + rest);
    a.reserve(1);
    b.reserve(1);

    Ref a_str = Ref::steal(PyString_FromStringAndSize(a_bytes, a_len));
    Ref b_str = Ref::steal(PyString_FromStringAndSize(a_bytes + a_len, rest - a_len));
    if (!a_str || !b_str)
        finding("parcel strings");
    check_call(h.cmp, a_str.get(), b_str.get());
    check_call(h.case_cmp, a_str.get(), b_str.get());
    check_table(a, b, 1);
    check_table(a, b, 0);
    return 0;
}
