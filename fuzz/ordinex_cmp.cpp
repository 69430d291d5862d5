// Two arbitrary byte strings into orvex.ordinex's cmp and case_cmp, and into
// the published cmp_c_str with the bytes in buffers of their exact size (so
// that a read past either end is caught). The input's first two bytes
// (little-endian) give the length of the first string; the rest is the second.
//
// Then a list of parcels (the two strings, a copy of the first, and the
// pieces of the input after the length split at each '|'; when the first
// byte is odd, copies of those after them up to 72, enough for merges) is
// sorted three ways for each case flag and direction: sorted() with a key
// made from cmp (functools.cmp_to_key), the native sort and sorted() with
// the keys. Both sorted() calls make the same comparisons, so they must give
// the same list, item for item (equal copies included), or fail with the
// same exception; so must the native sort where the interpreter's list sort
// is Python 2's (Python 3.11 merges runs in another order, which shows where
// the comparer is no consistent order: there the native sort keeps Python
// 2's answer). Only the interpreter's recursion guard may hit one way and
// not another, as their call depths differ.
//
// An input that starts with 'P' also makes two pickle programs
// (fuzz_support.h) of its bytes from the fourth on, split where its second
// byte says, each an X value in a one-entry dict: as the value (under the
// int 1) or as the key (of None), the dict alone or in a list, as the bits
// of the third byte say (bits 0 and 1 for the first, 2 and 3 for the
// second). Dicts of equal counts are decoded, so their X payloads are read
// by the unpickler that X payloads get; the two are compared both ways by
// cmp and case_cmp. After every input the classes registered for X payloads,
// their __init__ and the pickle helpers must be as they were at the start.
//
// Only the documented failures may come out: the reader's UnpackError
// (UnpackKeyError included, and a refused or malformed X payload), KeyError
// from the _type_map lookup, OverflowError from a long too large for a
// double, TypeError from building a dict with an unhashable key, and the
// interpreter's own recursion guard while it compares deeply nested dicts.
// Anything else aborts.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "embedded_python.h"
#include "fuzz_support.h"
#include "orvex/ordinex.h"
#include "pyglue/compat.h"
#include "pyglue/imports.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

// The three ways of sorting under one case flag.
struct SortWays {
    PyObject* cmp_key;  // cmp_to_key(cmp)
    PyObject* sort;
    PyObject* key;
};

struct Harness {
    PyObject* cmp;
    PyObject* case_cmp;
    PyObject* unpack_error;
    ordinex::OrdinexVTable* table;
    ordinex::OrdinexObject* instance;
    PyObject* sorted;
    SortWays ways[2];
};

Harness make_harness()
{
    ensure_python();
    set_up_watch();
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
    h.sorted = module_attribute(pyglue::builtins_module, "sorted");
    Ref cmp_to_key = Ref::steal(module_attribute("functools", "cmp_to_key"));
    h.ways[0] = {PyObject_CallFunctionObjArgs(cmp_to_key.get(), h.cmp, nullptr),
                 module_attribute("orvex.ordinex", "sort"),
                 module_attribute("orvex.ordinex", "sort_key")};
    h.ways[1] = {PyObject_CallFunctionObjArgs(cmp_to_key.get(), h.case_cmp, nullptr),
                 module_attribute("orvex.ordinex", "case_sort"),
                 module_attribute("orvex.ordinex", "case_sort_key")};
    if (!h.ways[0].cmp_key || !h.ways[1].cmp_key)
        finding("cmp_to_key");
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
    const char* message = text ? pyglue::text_as_utf8(text.get()) : nullptr;
    bool guard = message && std::strncmp(message, "maximum recursion depth exceeded", 32) == 0;
    if (!message)
        PyErr_Clear();
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
    if (!documented) {
        // A class that an X payload rewrote is the cause to report.
        check_watched();
        finding("undocumented exception");
    }
    PyErr_Clear();
}

void check_call(PyObject* function, PyObject* a, PyObject* b)
{
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(function, a, b, nullptr));
    if (!result) {
        note_error();
        expect_documented_failure();
        return;
    }
    long value;
    if (!pyglue::int_as_long(result.get(), &value) || value < -1 || value > 1)
        finding("result outside -1..1");
    note_outcome("result", static_cast<size_t>(value + 1));
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

// One way's outcome: the sorted list, or the class of the documented
// exception it raised.
struct Outcome {
    Ref list;
    PyObject* error = nullptr;  // borrowed: exception classes live on
    bool recursion_guard = false;
};

Outcome sort_one_way(PyObject* func, PyObject* parcels, const char* keyword, PyObject* value,
                     bool reverse)
{
    Ref args = Ref::steal(PyTuple_Pack(1, parcels));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!args || !kwargs || PyDict_SetItemString(kwargs.get(), "reverse", reverse ? Py_True : Py_False) < 0 ||
        (keyword && PyDict_SetItemString(kwargs.get(), keyword, value) < 0))
        finding("sort arguments");
    Outcome outcome;
    outcome.list = Ref::steal(PyObject_Call(func, args.get(), kwargs.get()));
    if (!outcome.list) {
        outcome.error = PyErr_Occurred();
        outcome.recursion_guard = is_recursion_guard();
        expect_documented_failure();
    }
    return outcome;
}

bool same_outcome(const Outcome& x, const Outcome& y)
{
    if (!x.list || !y.list)
        return !x.list && !y.list && x.error == y.error;
    Py_ssize_t n = PyList_GET_SIZE(x.list.get());
    if (PyList_GET_SIZE(y.list.get()) != n)
        return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(x.list.get(), i) != PyList_GET_ITEM(y.list.get(), i))
            return false;
    return true;
}

void check_sorts(PyObject* parcels)
{
    Harness& h = harness();
    for (const SortWays& ways : h.ways) {
        for (bool reverse : {false, true}) {
            Outcome by_cmp = sort_one_way(h.sorted, parcels, "key", ways.cmp_key, reverse);
            Outcome native = sort_one_way(ways.sort, parcels, nullptr, nullptr, reverse);
            Outcome by_key = sort_one_way(h.sorted, parcels, "key", ways.key, reverse);
            if (by_cmp.recursion_guard || native.recursion_guard || by_key.recursion_guard)
                continue;
            if (!PYGLUE_PY3 && !same_outcome(by_cmp, native))
                finding("native sort differs from sorted() by cmp");
            if (!same_outcome(by_cmp, by_key))
                finding("sorted(key=sort_key) differs from sorted() by cmp");
        }
    }
}

// Appends a new str with the bytes of `parcel`: equal, but another object,
// so that the sorts' stability shows.
void append_copy(PyObject* list, PyObject* parcel)
{
    Ref copy = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(parcel), PyBytes_GET_SIZE(parcel)));
    if (!copy || PyList_Append(list, copy.get()) < 0)
        finding("parcel list");
}

// The two strings, a copy of the first and the '|'-separated pieces of the
// rest, at most 16 in all; with `long_list`, copies of those up to 72.
Ref parcel_list(PyObject* a, PyObject* b, const char* rest, size_t size, bool long_list)
{
    Ref list = Ref::steal(PyList_New(0));
    if (!list || PyList_Append(list.get(), a) < 0 || PyList_Append(list.get(), b) < 0)
        finding("parcel list");
    append_copy(list.get(), a);
    const char* end = rest + size;
    const char* piece = rest;
    while (PyList_GET_SIZE(list.get()) < 16) {
        const char* bar = static_cast<const char*>(std::memchr(piece, '|', end - piece));
        Ref item = Ref::steal(PyBytes_FromStringAndSize(piece, (bar ? bar : end) - piece));
        if (!item || PyList_Append(list.get(), item.get()) < 0)
            finding("parcel list");
        if (!bar)
            break;
        piece = bar + 1;
    }
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(list.get()); long_list && i + n < 72; ++i)
        append_copy(list.get(), PyList_GET_ITEM(list.get(), i % n));
    return list;
}

// A one-entry dict with `x` as its value, or as its key when bit 0 of
// `flags` is set; in a list when bit 1 is.
std::string dict_parcel(const std::string& x, uint8_t flags)
{
    std::string parcel = flags & 1 ? "d\x01" + x + "N" : "d\x01i\x01" + x;
    return flags & 2 ? "c\x01" + parcel : parcel;
}

Ref parcel_str(const std::string& parcel)
{
    Ref str = Ref::steal(
        PyBytes_FromStringAndSize(parcel.data(), static_cast<Py_ssize_t>(parcel.size())));
    if (!str)
        finding("parcel strings");
    return str;
}

// The two dicts of an input that starts with 'P' (see the header).
void check_pickle_dicts(const uint8_t* data, size_t size)
{
    Harness& h = harness();
    const uint8_t* programs = data + 3;
    size_t rest = size - 3;
    size_t split = data[1] % (rest + 1);
    Ref a = parcel_str(dict_parcel(x_value(pickle_program(programs, split)), data[2]));
    Ref b = parcel_str(
        dict_parcel(x_value(pickle_program(programs + split, rest - split)), data[2] >> 2));
    for (PyObject* function : {h.cmp, h.case_cmp}) {
        check_call(function, a.get(), b.get());
        check_call(function, b.get(), a.get());
    }
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

    Ref a_str = Ref::steal(PyBytes_FromStringAndSize(a_bytes, a_len));
    Ref b_str = Ref::steal(PyBytes_FromStringAndSize(a_bytes + a_len, rest - a_len));
    if (!a_str || !b_str)
        finding("parcel strings");
    check_call(h.cmp, a_str.get(), b_str.get());
    check_call(h.case_cmp, a_str.get(), b_str.get());
    check_table(a, b, 1);
    check_table(a, b, 0);
    Ref parcels = parcel_list(a_str.get(), b_str.get(), a_bytes, rest, data[0] & 1);
    check_sorts(parcels.get());
    if (size >= 3 && data[0] == 'P')
        check_pickle_dicts(data, size);
    check_watched();
    return 0;
}
