// Arbitrary bytes as a parcel for orvex.digestra's hash and case_hash, and for
// hash_c_str straight on the fuzzer's buffer (so a read past its end is caught).
// Every call must give a hash other than -1, or raise UnpackError (or a
// subclass) or NotImplementedError; the three entries must agree.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "embedded_python.h"
#include "fuzz_support.h"
#include "orvex/digestra.h"
#include "pyglue/compat.h"
#include "pyglue/imports.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

struct Target {
    PyObject* hash;
    PyObject* case_hash;
    PyObject* unpack_error;
    digestra::DigestraVTable* table;
    digestra::DigestraObject* hasher;
};

const Target& target()
{
    static const Target t = [] {
        ensure_python();
        Target made;
        made.hash = module_attribute("orvex.digestra", "hash");
        made.case_hash = module_attribute("orvex.digestra", "case_hash");
        made.unpack_error = module_attribute("orvex.parcel", "UnpackError");
        PyObject* type = module_attribute("orvex.digestra", "Digestra");
        made.table = static_cast<digestra::DigestraVTable*>(
            pyglue::get_vtable(reinterpret_cast<PyTypeObject*>(type)));
        made.hasher = reinterpret_cast<digestra::DigestraObject*>(PyObject_CallObject(type, nullptr));
        if (!made.table || !made.hasher)
            finding("cannot reach the operation table");
        return made;
    }();
    return t;
}

// The hash, or -1 when the call failed with an allowed exception (cleared
// here); any other outcome aborts.
long checked(long h, bool failed, const Target& t)
{
    if (!failed) {
        if (h == -1 || h < std::numeric_limits<std::int32_t>::min() ||
            h > std::numeric_limits<std::int32_t>::max())
            finding("hash outside the signed 32-bit range, or -1");
        return h;
    }
    if (!PyErr_Occurred())
        finding("failure without an exception");
    if (!PyErr_ExceptionMatches(t.unpack_error) &&
        !PyErr_ExceptionMatches(PyExc_NotImplementedError))
        finding("unexpected exception");
    PyErr_Clear();
    return -1;
}

long call(PyObject* function, PyObject* parcel, const Target& t)
{
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(function, parcel, nullptr));
    long h = 0;
    if (result && !pyglue::int_as_long(result.get(), &h))
        finding("result is not an int");
    return checked(h, !result, t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    if (size > static_cast<size_t>(std::numeric_limits<int>::max()))
        return 0;
    const Target& t = target();
    const char* bytes = reinterpret_cast<const char*>(data);
    const int len = static_cast<int>(size);
    Ref parcel = Ref::steal(PyBytes_FromStringAndSize(bytes, len));
    if (!parcel)
        finding("cannot make the parcel string");

    const long h = call(t.hash, parcel.get(), t);
    const long folded = call(t.case_hash, parcel.get(), t);
    int native = t.table->hash_c_str(t.hasher, bytes, len, 1);
    if (checked(native, native == -1, t) != h)
        finding("hash_c_str disagrees with hash");
    native = t.table->hash_c_str(t.hasher, bytes, len, 0);
    if (checked(native, native == -1, t) != folded)
        finding("hash_c_str disagrees with case_hash");
    return 0;
}
