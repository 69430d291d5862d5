// Python 2's cmp() of two objects, for the values parcels decode to (dicts
// above all, whose order Python 2 defines and Python 3 does not). Python 2
// has it (PyObject_Cmp). Python 3 orders no mixed kinds and compares dicts
// only for equality, so there Python 2's rules are reproduced:
// - None is the least; numbers come next, compared exactly whatever their
//   types (Python 3's int and float comparisons are Python 2's);
// - other kinds order by Python 2's type name: "str" for bytes, "unicode"
//   for str, "dict" < "list" < "str" < "tuple" < "unicode";
// - bytes byte for byte, sequences item by item, dicts of equal size by the
//   smallest key whose value differs or is missing, then by that key's
//   values (sizes first);
// - objects of any other type by their own comparisons, and failing those by
//   type name as above;
// - what Python 2 cannot decide (a NaN against a number) falls to its last
//   resort, the order of the objects in memory.
// The keys of a dict are visited in insertion order, where Python 2 visits
// its hash table: the two differ only for keys that are not totally
// ordered, such as NaN.
#pragma once
#include <Python.h>

#include <cstring>

#include "pyglue/compat.h"
#include "pyglue/ref.h"

namespace pyglue {

// Whether rich comparison `op` holds for a three-way `order`.
inline bool holds(int op, int order)
{
    switch (op) {
    case Py_LT: return order < 0;
    case Py_LE: return order <= 0;
    case Py_EQ: return order == 0;
    case Py_NE: return order != 0;
    case Py_GT: return order > 0;
    default: return order >= 0;
    }
}

#if PYGLUE_PY3

namespace py2cmp {

constexpr int error = -2;      // an exception is set
constexpr int undecided = 2;   // no rule decides: fall back to the default order

enum class Kind { none, number, bytes, text, tuple, list, dict, other };

inline Kind kind_of(PyObject* o)
{
    if (o == Py_None)
        return Kind::none;
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o))
        return Kind::number;
    if (PyBytes_CheckExact(o))
        return Kind::bytes;
    if (PyUnicode_CheckExact(o))
        return Kind::text;
    if (PyTuple_CheckExact(o))
        return Kind::tuple;
    if (PyList_CheckExact(o))
        return Kind::list;
    if (PyDict_CheckExact(o))
        return Kind::dict;
    return Kind::other;
}

inline int sign(Py_ssize_t value)
{
    return value < 0 ? -1 : value > 0;
}

// Python 2 counts a type as a number when it converts to int or float.
inline bool is_number(PyObject* o)
{
    PyNumberMethods* number = Py_TYPE(o)->tp_as_number;
    return number && (number->nb_int || number->nb_float);
}

inline const char* type_name(PyObject* o)
{
    switch (kind_of(o)) {
    case Kind::bytes: return "str";
    case Kind::text: return "unicode";
    default: return Py_TYPE(o)->tp_name;
    }
}

// Python 2's last resort: None, then numbers, then type names; the same
// type by address.
inline int default_order(PyObject* v, PyObject* w)
{
    auto address = [](const void* p) { return reinterpret_cast<Py_uintptr_t>(p); };
    if (Py_TYPE(v) == Py_TYPE(w))
        return address(v) < address(w) ? -1 : address(v) > address(w);
    if (v == Py_None)
        return -1;
    if (w == Py_None)
        return 1;
    int c = std::strcmp(is_number(v) ? "" : type_name(v), is_number(w) ? "" : type_name(w));
    if (c != 0)
        return sign(c);
    return address(Py_TYPE(v)) < address(Py_TYPE(w)) ? -1 : 1;
}

inline int bytes_order(PyObject* v, PyObject* w)
{
    Py_ssize_t n_v = PyBytes_GET_SIZE(v), n_w = PyBytes_GET_SIZE(w);
    int c = std::memcmp(PyBytes_AS_STRING(v), PyBytes_AS_STRING(w), n_v < n_w ? n_v : n_w);
    return c != 0 ? sign(c) : sign(n_v - n_w);
}

inline int swapped(int op)
{
    static const int reflected[] = {Py_GT, Py_GE, Py_EQ, Py_NE, Py_LT, Py_LE};
    return reflected[op];
}

// One rich-comparison slot: 1 or 0, `undecided` for NotImplemented, or -1
// with an exception set.
inline int try_slot(PyObject* v, PyObject* w, int op)
{
    richcmpfunc slot = Py_TYPE(v)->tp_richcompare;
    if (!slot)
        return undecided;
    Ref result = Ref::steal(slot(v, w, op));
    if (!result)
        return -1;
    if (result.get() == Py_NotImplemented)
        return undecided;
    return PyObject_IsTrue(result.get());
}

// The objects' own comparison, a subclass's reflection first as both
// interpreters do it.
inline int own_rich(PyObject* v, PyObject* w, int op)
{
    bool reflect_first = Py_TYPE(v) != Py_TYPE(w) && PyType_IsSubtype(Py_TYPE(w), Py_TYPE(v));
    int r = reflect_first ? try_slot(w, v, swapped(op)) : try_slot(v, w, op);
    if (r != undecided)
        return r;
    return reflect_first ? try_slot(v, w, op) : try_slot(w, v, swapped(op));
}

inline int rich(PyObject* v, PyObject* w, int op);
inline int cmp3(PyObject* v, PyObject* w);

inline bool mixed_text(Kind kv, Kind kw)
{
    return (kv == Kind::bytes && kw == Kind::text) || (kv == Kind::text && kw == Kind::bytes);
}

// Python 2 compares a str with a unicode as text, the str decoded as ASCII.
inline Ref as_text(PyObject* o)
{
    if (kind_of(o) == Kind::text)
        return Ref::borrow(o);
    return Ref::steal(
        PyUnicode_DecodeASCII(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o), "strict"));
}

inline int mixed_text_rich(PyObject* v, PyObject* w, int op)
{
    Ref tv = as_text(v), tw = tv ? as_text(w) : Ref();
    if (!tw) {
        // Python 2 finds text that does not decode unequal, and fails to order it.
        if ((op == Py_EQ || op == Py_NE) && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            return op == Py_NE;
        }
        return -1;
    }
    return PyObject_RichCompareBool(tv.get(), tw.get(), op);
}

// A tuple's or list's item, borrowed: callers hold it while they compare, as
// a comparison of other objects may change a list.
inline PyObject* item(PyObject* seq, Py_ssize_t i)
{
    return PyTuple_Check(seq) ? PyTuple_GET_ITEM(seq, i) : PyList_GET_ITEM(seq, i);
}

// The index of the first items that are not equal (sizes are re-read after
// each comparison), or -2 for an error.
inline Py_ssize_t first_difference(PyObject* v, PyObject* w)
{
    Py_ssize_t i = 0;
    for (; i < Py_SIZE(v) && i < Py_SIZE(w); ++i) {
        Ref a = Ref::borrow(item(v, i)), b = Ref::borrow(item(w, i));
        int equal = rich(a.get(), b.get(), Py_EQ);
        if (equal < 0)
            return -2;
        if (!equal)
            break;
    }
    return i;
}

inline int sequence_rich(PyObject* v, PyObject* w, int op)
{
    // Python 2's lists (not its tuples) take unequal sizes as unequal at once.
    if (PyList_Check(v) && Py_SIZE(v) != Py_SIZE(w) && (op == Py_EQ || op == Py_NE))
        return op == Py_NE;
    Py_ssize_t i = first_difference(v, w);
    if (i == -2)
        return -1;
    if (i >= Py_SIZE(v) || i >= Py_SIZE(w))
        return holds(op, sign(Py_SIZE(v) - Py_SIZE(w)));
    if (op == Py_EQ || op == Py_NE)
        return op == Py_NE;
    Ref a = Ref::borrow(item(v, i)), b = Ref::borrow(item(w, i));
    return rich(a.get(), b.get(), op);
}

// b's value for a's key: 1 with *value set (a new reference), 0 when b has no
// such key, -1 for an error.
inline int lookup(PyObject* b, PyObject* key, Ref* value)
{
    PyObject* found = PyDict_GetItemWithError(b, key);
    if (!found)
        return PyErr_Occurred() ? -1 : 0;
    *value = Ref::borrow(found);
    return 1;
}

inline int dict_equal(PyObject* a, PyObject* b)
{
    if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b))
        return 0;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(a, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), a_value = Ref::borrow(v), b_value;
        int found = lookup(b, key.get(), &b_value);
        if (found <= 0)
            return found;
        int equal = rich(a_value.get(), b_value.get(), Py_EQ);
        if (equal <= 0)
            return equal;
    }
    return 1;
}

// The smallest key of a whose value b lacks or holds unequal, with its
// value; both empty when there is none. False for an error.
inline bool characterize(PyObject* a, PyObject* b, Ref* a_key, Ref* a_value)
{
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(a, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        if (*a_key) {
            int less = rich(a_key->get(), key.get(), Py_LT);
            if (less < 0)
                return false;
            if (less)
                continue;
        }
        Ref b_value;
        int found = lookup(b, key.get(), &b_value);
        if (found < 0)
            return false;
        int equal = found ? rich(value.get(), b_value.get(), Py_EQ) : 0;
        if (equal < 0)
            return false;
        if (!equal) {
            *a_key = std::move(key);
            *a_value = std::move(value);
        }
    }
    return true;
}

inline int dict_order(PyObject* a, PyObject* b)
{
    if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b))
        return sign(PyDict_GET_SIZE(a) - PyDict_GET_SIZE(b));
    Ref a_diff, a_value, b_diff, b_value;
    if (!characterize(a, b, &a_diff, &a_value))
        return error;
    if (!a_diff)
        return 0;  // a holds nothing that b lacks: at the same size, equal
    if (!characterize(b, a, &b_diff, &b_value))
        return error;
    int result = b_diff ? cmp3(a_diff.get(), b_diff.get()) : 0;
    if (result == 0 && b_value)
        result = cmp3(a_value.get(), b_value.get());
    return result;
}

// Three-way from rich comparisons as Python 2 tries them: equal, less, greater.
inline int three_way_of(int (*compare)(PyObject*, PyObject*, int), PyObject* v, PyObject* w)
{
    static const int tries[][2] = {{Py_EQ, 0}, {Py_LT, -1}, {Py_GT, 1}};
    for (const auto& t : tries) {
        int r = compare(v, w, t[0]);
        if (r < 0)
            return error;
        if (r == 1)
            return t[1];
    }
    return undecided;
}

inline int builtin_rich(PyObject* v, PyObject* w, int op)
{
    return PyObject_RichCompareBool(v, w, op);
}

inline int own_rich_bool(PyObject* v, PyObject* w, int op)
{
    int r = own_rich(v, w, op);
    return r == undecided ? 0 : r;
}

// rich() without the recursion guard.
inline int rich_kinds(PyObject* v, PyObject* w, int op)
{
    Kind kv = kind_of(v), kw = kind_of(w);
    if (kv == Kind::other || kw == Kind::other) {
        int r = own_rich(v, w, op);
        return r != undecided ? r : holds(op, default_order(v, w));
    }
    if (kv != kw)
        return mixed_text(kv, kw) ? mixed_text_rich(v, w, op) : holds(op, default_order(v, w));
    switch (kv) {
    case Kind::bytes: return holds(op, bytes_order(v, w));
    case Kind::tuple: case Kind::list: return sequence_rich(v, w, op);
    case Kind::dict: {
        if (op == Py_EQ || op == Py_NE) {
            int equal = dict_equal(v, w);
            return equal < 0 ? -1 : (equal == 1) == (op == Py_EQ);
        }
        int order = dict_order(v, w);
        return order == error ? -1 : holds(op, order);
    }
    default:
        return PyObject_RichCompareBool(v, w, op);
    }
}

// cmp3() without the recursion guard.
inline int cmp3_kinds(PyObject* v, PyObject* w)
{
    Kind kv = kind_of(v), kw = kind_of(w);
    int r;
    if (kv == Kind::other || kw == Kind::other)
        r = three_way_of(own_rich_bool, v, w);
    else if (kv != kw)
        r = mixed_text(kv, kw) ? three_way_of(mixed_text_rich, v, w) : undecided;
    else if (kv == Kind::bytes)
        r = bytes_order(v, w);
    else if (kv == Kind::dict)
        r = dict_order(v, w);
    else if (kv == Kind::tuple || kv == Kind::list)
        r = three_way_of(rich, v, w);
    else
        r = three_way_of(builtin_rich, v, w);
    return r == undecided ? default_order(v, w) : r;
}

// Python 2's PyObject_RichCompareBool: 1, 0, or -1 with an exception set.
inline int rich(PyObject* v, PyObject* w, int op)
{
    if (v == w && (op == Py_EQ || op == Py_NE))
        return op == Py_EQ;
    if (Py_EnterRecursiveCall(" in cmp"))
        return -1;
    int r = rich_kinds(v, w, op);
    Py_LeaveRecursiveCall();
    return r;
}

// Python 2's PyObject_Compare: -1, 0, 1, or `error` with an exception set.
inline int cmp3(PyObject* v, PyObject* w)
{
    if (v == w)
        return 0;
    if (Py_EnterRecursiveCall(" in cmp"))
        return error;
    int r = cmp3_kinds(v, w);
    Py_LeaveRecursiveCall();
    return r;
}

}  // namespace py2cmp

// Python 2's cmp(a, b) in *result: false with an exception set.
inline bool py2_cmp(PyObject* a, PyObject* b, int* result)
{
    int r = py2cmp::cmp3(a, b);
    if (r == py2cmp::error)
        return false;
    *result = r;
    return true;
}

#else

inline bool py2_cmp(PyObject* a, PyObject* b, int* result)
{
    if (PyObject_Cmp(a, b, result) < 0)
        return false;
    *result = *result < 0 ? -1 : *result > 0;
    return true;
}

#endif

}  // namespace pyglue
