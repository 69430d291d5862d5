// orvex.ordinex: orders two parcel strings the way the interpreter orders the
// values they hold, reading the bytes in place through two parcel readers
// instead of rebuilding the values as objects.
#include <Python.h>

#include <structmember.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "orvex/ordinex.h"
#include "orvex/ordinex_sort.h"
#include "orvex/parcel.h"
#include "pyglue/args.h"
#include "pyglue/compat.h"
#include "pyglue/errors.h"
#include "pyglue/imports.h"
#include "pyglue/lease.h"
#include "pyglue/lengths.h"
#include "pyglue/module.h"
#include "pyglue/py2cmp.h"
#include "pyglue/ref.h"
#include "pyglue/stack.h"
#include "pyglue/traceback.h"
#include "pyglue/type.h"

using ordinex::OrdinexObject;
using ordinex::OrdinexVTable;
using ordinex::RunSort;
using ordinex::Scratch;
using parcel::UnpackerObject;
using pyglue::keep;
using pyglue::Ref;

namespace {

const char module_name[] = "orvex.ordinex";

const char module_doc[] =
    "Parcel comparison routines.\n\nThis module implements a `cmp` method that can be used to "
    "compare two parcel\nstrings directly. It is optimized so that the objects are compared "
    "without\ncreating intermediate Python objects whenever possible.\n\nThere is also a "
    "`case_cmp` method which will compare strings\ncase-insensitively.  Dictionaries do not "
    "currently support case-insensitive\nmatching.\n\nNote that some cross-type compares may "
    "not behave exactly the same as Python.\nFor example, to compare a float and a long, this "
    "code will case the long to a\nfloat.  Python no longer does this, and has a sophisticated "
    "comparison\nalgorithm (because casting to a float can lose some precision).  This "
    "module\ndoes not try to emulate this complexity.\n";

const char cmp_doc[] =
    "Compare two parcel strings.\n\n    :Parameters:\n        - `a`: A parcel string.\n"
    "        - `b`: A parcel string.\n\n    :Return:\n        Returns -1 if a is less than b, 0 "
    "if they are equal or 1 if a is\n        greater than b.\n    ";

const char case_cmp_doc[] =
    "Compare two parcel strings case-insensitively.\n\n    Note that currently, dictionaries do "
    "not support case-insensitive matching.\n\n    :Parameters:\n        - `a`: A parcel "
    "string.\n        - `b`: A parcel string.\n\n    :Return:\n        Returns -1 if a is less "
    "than b, 0 if they are equal or 1 if a is\n        greater than b.\n    ";

const char ordinex_doc[] =
    "Parcel comparison object.\n\n    You should never need to create one of these. The "
    "module-level `cmp` and\n    `case_cmp` functions use a shared instance.\n\n    Every "
    "comparison goes through these stages:\n\n    1) Unpack A.\n    2) Determine how to "
    "compare against B.\n    2a) Optionally unpack B.\n    3) Do the actual comparison.\n\n"
    "    Steps are skipped where there is nothing to unpack (None, booleans, empty\n"
    "    containers). Once a difference is found inside a container, the comparison of\n"
    "    that container is aborted, and the offset of the readers is not to be relied\n"
    "    upon.\n    ";

// Objects made at import and kept for the life of the interpreter.
PyObject* ordinex_module;
PyObject* _ordinex_singleton;
PyObject* assertion_error;
PyTypeObject* packer_type;  // checked at import only: nothing here packs
PyTypeObject* unpacker_type;
parcel::PackerVTable* packer_ops;
parcel::UnpackerVTable* reader_ops;
PyObject* type_map_name;  // "_type_map", looked up at every _type_cmp
PyObject* name_str;
PyObject* name_tuple;
PyObject* name_list;
PyObject* name_dict;

// Adds the failing step's traceback entry and gives the failure result.
#define ORDINEX_FAIL(step) (PYGLUE_TRACE(step), -1)

// -1 is both "less" and "failed"; only a pending exception tells them apart.
inline bool failed(int result)
{
    return result == -1 && PyErr_Occurred();
}

inline int sign(int value)
{
    return value < 0 ? -1 : value > 0;
}

inline bool _is_numeric(char code)
{
    switch (code) {
    case '0': case '1': case 'i': case 'I': case 'l': case 'L': case 'M': case 'f':
        return true;
    default:
        return false;
    }
}

// Payload readers by type code (the code already consumed).

int read_int_value(char code, UnpackerObject* u)
{
    switch (code) {
    case '0': return 0;
    case '1': return 1;
    case 'i': return reader_ops->_read_short_int(u);
    case 'I': return reader_ops->_read_medium_int(u);
    default: return reader_ops->_read_int32(u);
    }
}

PyObject* load_long(char code, UnpackerObject* u)
{
    return code == 'L' ? reader_ops->_load_short_long(u) : reader_ops->_load_long_long(u);
}

bool load_double(UnpackerObject* u, double* out)
{
    Ref value = Ref::steal(reader_ops->_load_float(u));
    if (!value)
        return false;
    *out = PyFloat_AsDouble(value.get());
    return !(*out == -1.0 && PyErr_Occurred());
}

// The bytes of a str code (`'` is the empty string), in place.
bool read_str(char code, UnpackerObject* u, const char** s, int* len)
{
    switch (code) {
    case 's': return reader_ops->_read_short_string(u, s, len) != -1;
    case 'S': return reader_ops->_read_long_string(u, s, len) != -1;
    default:
        *s = "";
        *len = 0;
        return true;
    }
}

// Element or entry count of a container code; the empty codes have none.
int read_count(char code, UnpackerObject* u)
{
    switch (code) {
    case ')': case ']': case '}': return 0;
    case 't': case 'c': case 'd': return reader_ops->_read_short_int(u);
    default: return parcel::read_count32(u);
    }
}

// Byte-string order.

inline int memcasecmp(const char* s1, const char* s2, int n)
{
    for (int i = 0; i < n; ++i) {
        if (s1[i] == s2[i])
            continue;
        int diff = std::tolower(static_cast<unsigned char>(s1[i])) -
                   std::tolower(static_cast<unsigned char>(s2[i]));
        if (diff != 0)
            return diff;
    }
    return 0;
}

int my_strcasecmp(const char* a, int a_len, const char* b, int b_len, int case_sensitive)
{
    int n = a_len < b_len ? a_len : b_len;
    if (n > 0) {
        int diff = case_sensitive ? std::memcmp(a, b, n) : memcasecmp(a, b, n);
        if (diff != 0)
            return sign(diff);
    }
    return a_len < b_len ? -1 : a_len > b_len;
}

// Unlike non-numeric kinds order by type name; `_type_map` is a module
// attribute that callers may replace, so it is looked up every time.
int _type_cmp(PyObject* a, char other_type_char)
{
    // The lookup can run interpreter code, a re-run init among it, which may
    // replace the kept name that `a` points to.
    Ref a_held = Ref::borrow(a);
    Ref key = Ref::steal(pyglue::text_from_byte(other_type_char));
    if (!key)
        return ORDINEX_FAIL("orvex.ordinex._type_cmp");
    Ref type_map = Ref::steal(pyglue::get_global(ordinex_module, type_map_name));
    if (!type_map)
        return ORDINEX_FAIL("orvex.ordinex._type_cmp");
    Ref name = Ref::steal(PyObject_GetItem(type_map.get(), key.get()));
    if (!name)
        return ORDINEX_FAIL("orvex.ordinex._type_cmp");
    int result;
    if (!pyglue::py2_cmp(a_held.get(), name.get(), &result))
        return ORDINEX_FAIL("orvex.ordinex._type_cmp");
    return result;
}

// Stage 3: the comparisons proper.

int _cmp_int(OrdinexObject*, int a, int b)
{
    return a < b ? -1 : a > b;
}

int _cmp_float(OrdinexObject*, double a, double b)
{
    if (a < b)
        return -1;
    return a == b ? 0 : 1;
}

int _cmp_long(OrdinexObject*, PyObject* a, PyObject* b)
{
    int result;
    if (!pyglue::py2_cmp(a, b, &result))
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._cmp_long");
    return result;
}

int _cmp_string(OrdinexObject* self, const char* a, int a_len, const char* b, int b_len)
{
    return my_strcasecmp(a, a_len, b, b_len, self->_case_sensitive);
}

// Stage 2: a's decoded scalar against b's next value. Each step comes in two
// parts: the work from b's code on, which the dispatcher calls with the code
// it has already taken (one reader call less per value), and the table's slot,
// which starts at b's code and takes it first.

// Takes b's code for a _det_* slot.
bool take_code(UnpackerObject* other, char* code)
{
    const char* p = reader_ops->_look(other, 1);
    if (p)
        *code = *p;
    return p != nullptr;
}

int det_int(OrdinexObject* self, int value, char code, UnpackerObject* other)
{
    switch (code) {
    case '0': case '1': case 'i': case 'I': case 'l': {
        int b = read_int_value(code, other);
        if (failed(b))
            return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_int");
        return _cmp_int(self, value, b);
    }
    case 'L': case 'M': {
        Ref a = Ref::steal(PyLong_FromLong(value));
        if (!a)
            return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_int");
        Ref b = Ref::steal(load_long(code, other));
        if (!b)
            return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_int");
        int result = _cmp_long(self, a.get(), b.get());
        return failed(result) ? ORDINEX_FAIL("orvex.ordinex.Ordinex._det_int") : result;
    }
    case 'f': {
        double b;
        if (!load_double(other, &b))
            return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_int");
        return _cmp_float(self, value, b);
    }
    default:
        return -1;
    }
}

int _det_int(OrdinexObject* self, int value, UnpackerObject* other)
{
    char code;
    if (!take_code(other, &code))
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_int");
    return det_int(self, value, code, other);
}

int det_long(OrdinexObject* self, PyObject* value, char code, UnpackerObject* other)
{
    Ref b;
    switch (code) {
    case '0': case '1': case 'i': case 'I': case 'l': {
        int b_value = read_int_value(code, other);
        if (failed(b_value))
            return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_long");
        b = Ref::steal(PyLong_FromLong(b_value));
        break;
    }
    case 'L': case 'M':
        b = Ref::steal(load_long(code, other));
        break;
    case 'f': {
        // Converted first: a long beyond the double range fails before b is read.
        double a_value = PyLong_AsDouble(value);
        double b_value;
        if ((a_value == -1.0 && PyErr_Occurred()) || !load_double(other, &b_value))
            return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_long");
        return _cmp_float(self, a_value, b_value);
    }
    default:
        return -1;
    }
    if (!b)
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_long");
    int result = _cmp_long(self, value, b.get());
    return failed(result) ? ORDINEX_FAIL("orvex.ordinex.Ordinex._det_long") : result;
}

int _det_long(OrdinexObject* self, PyObject* value, UnpackerObject* other)
{
    char code;
    if (!take_code(other, &code))
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_long");
    return det_long(self, value, code, other);
}

int det_float(OrdinexObject* self, double value, char code, UnpackerObject* other)
{
    double b;
    switch (code) {
    case '0': case '1': case 'i': case 'I': case 'l': {
        int b_value = read_int_value(code, other);
        if (failed(b_value))
            return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_float");
        b = b_value;
        break;
    }
    case 'L': case 'M': {
        Ref b_long = Ref::steal(load_long(code, other));
        if (!b_long)
            return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_float");
        b = PyLong_AsDouble(b_long.get());
        if (b == -1.0 && PyErr_Occurred())
            return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_float");
        break;
    }
    case 'f':
        if (!load_double(other, &b))
            return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_float");
        break;
    default:
        return -1;
    }
    return _cmp_float(self, value, b);
}

int _det_float(OrdinexObject* self, double value, UnpackerObject* other)
{
    char code;
    if (!take_code(other, &code))
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_float");
    return det_float(self, value, code, other);
}

// Inlined into the dispatcher: string elements are the common case in records.
[[gnu::always_inline]] inline int det_string(OrdinexObject* self, const char* s, int s_len,
                                             char code, UnpackerObject* other)
{
    switch (code) {
    case '\'': case 's': case 'S': {
        const char* b;
        int b_len;
        if (!read_str(code, other, &b, &b_len))
            return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_string");
        return _cmp_string(self, s, s_len, b, b_len);
    }
    default: {
        if (_is_numeric(code))
            return 1;
        int result = _type_cmp(name_str, code);
        return failed(result) ? ORDINEX_FAIL("orvex.ordinex.Ordinex._det_string") : result;
    }
    }
}

int _det_string(OrdinexObject* self, const char* s, int s_len, UnpackerObject* other)
{
    char code;
    if (!take_code(other, &code))
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_string");
    return det_string(self, s, s_len, code, other);
}

int _det_user(OrdinexObject*, UnpackerObject*, UnpackerObject*)
{
    return -1;
}

// Dicts: by entry count, and only at equal counts as interpreter dicts.

int raise_assertion(const char* format, char code)
{
    Ref text = Ref::steal(pyglue::text_from_string(format));
    Ref code_value = Ref::steal(pyglue::int_from_long(static_cast<signed char>(code)));
    if (!text || !code_value)
        return -1;
    Ref message = Ref::steal(PyNumber_Remainder(text.get(), code_value.get()));
    Ref args = Ref::steal(message ? PyTuple_Pack(1, message.get()) : nullptr);
    if (args)
        pyglue::raise_call(assertion_error, args.get());
    return -1;
}

// The table can be handed any code; only the three dict codes have a count.
int dict_count(char code, UnpackerObject* u, const char* assertion_format)
{
    switch (code) {
    case '}': case 'd': case 'D':
        return read_count(code, u);
    default:
        return raise_assertion(assertion_format, code);
    }
}

int _cmp_dict(OrdinexObject*, char a_type_char, UnpackerObject* a, char b_type_char,
              UnpackerObject* b)
{
    int a_len = dict_count(a_type_char, a, "Incorrect a type %r");
    if (failed(a_len))
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._cmp_dict");
    int b_len = dict_count(b_type_char, b, "Incorrect b type %r");
    if (failed(b_len))
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._cmp_dict");
    if (a_len != b_len)
        return a_len < b_len ? -1 : 1;
    Ref a_dict = Ref::steal(reader_ops->_load_dict(a, a_len));
    if (!a_dict)
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._cmp_dict");
    Ref b_dict = Ref::steal(reader_ops->_load_dict(b, b_len));
    if (!b_dict)
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._cmp_dict");
    int result;
    if (!pyglue::py2_cmp(a_dict.get(), b_dict.get(), &result))
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._cmp_dict");
    return result;
}

int det_dict(OrdinexObject* self, char a_type_char, UnpackerObject* a, char code,
             UnpackerObject* b)
{
    int result;
    switch (code) {
    case 'D': case 'd': case '}':
        result = _cmp_dict(self, a_type_char, a, code, b);
        break;
    default:
        if (_is_numeric(code))
            return 1;
        result = _type_cmp(name_dict, code);
    }
    return failed(result) ? ORDINEX_FAIL("orvex.ordinex.Ordinex._det_dict") : result;
}

int _det_dict(OrdinexObject* self, char a_type_char, UnpackerObject* a, UnpackerObject* b)
{
    char code;
    if (!take_code(b, &code))
        return ORDINEX_FAIL("orvex.ordinex.Ordinex._det_dict");
    return det_dict(self, a_type_char, a, code, b);
}

// Tuples and lists. Nested sequences are compared without recursion: each
// frame holds what is left of one pair of sequences, so that the depth of a
// parcel costs heap memory rather than C stack, whatever the thread's stack.

enum class Kind : char { pair, tuple, list };  // pair: one value of each side

struct Frame {
    int remaining_a;
    int remaining_b;
    Kind kind;
};

struct SequenceKind {
    Kind kind;
    char empty_code, short_code, long_code;
    PyObject* const* type_name;
    const char* det_step;
};

const SequenceKind tuple_kind = {Kind::tuple, ')', 't', 'T', &name_tuple,
                                 "orvex.ordinex.Ordinex._det_tuple"};
const SequenceKind list_kind = {Kind::list, ']', 'c', 'C', &name_list,
                                "orvex.ordinex.Ordinex._det_list"};

// The kind of a tuple or list code, or null.
const SequenceKind* sequence_kind(char code)
{
    switch (code) {
    case ')': case 't': case 'T': return &tuple_kind;
    case ']': case 'c': case 'C': return &list_kind;
    default: return nullptr;
    }
}

// b's side of _det_tuple and _det_list from b's code on: the answer, or,
// when b holds a sequence of the same kind, a frame in *child for comparing
// the elements.
int det_sequence(const SequenceKind& kind, int t_len, char code, UnpackerObject* b, Frame* child)
{
    if (code == kind.empty_code)
        return t_len != 0;
    if (code == kind.short_code || code == kind.long_code) {
        int b_len = read_count(code, b);
        if (failed(b_len))
            return ORDINEX_FAIL(kind.det_step);
        *child = Frame{t_len, b_len, kind.kind};
        return 0;
    }
    if (_is_numeric(code))
        return 1;
    int result = _type_cmp(*kind.type_name, code);
    return failed(result) ? ORDINEX_FAIL(kind.det_step) : result;
}

// Frames of the sequences around the one being compared.
using FrameStack = pyglue::Stack<Frame>;

// Stage 1 for the next pair of values: reads a's code and payload and hands
// over to the _det_* step of its kind. b's code is taken here once (None
// decides before any payload is read) and handed to that step. A tuple or
// list that meets one of its own kind is not compared here: *child gets the
// frame to walk into.
int dispatch(OrdinexObject* self, UnpackerObject* a, UnpackerObject* b, Frame* child)
{
    const char* a_code_p = reader_ops->_look(a, 1);
    if (!a_code_p)
        return -1;
    const char* b_code_p = reader_ops->_look(b, 1);
    if (!b_code_p)
        return -1;
    const char a_code = *a_code_p;
    const char b_code = *b_code_p;
    if (a_code == 'N')
        return b_code == 'N' ? 0 : -1;
    if (b_code == 'N')
        return 1;
    switch (a_code) {
    case '0': case '1': case 'i': case 'I': case 'l': {
        int value = read_int_value(a_code, a);
        return failed(value) ? -1 : det_int(self, value, b_code, b);
    }
    case 'L': case 'M': {
        Ref value = Ref::steal(load_long(a_code, a));
        return value ? det_long(self, value.get(), b_code, b) : -1;
    }
    case 'f': {
        double value;
        return load_double(a, &value) ? det_float(self, value, b_code, b) : -1;
    }
    case '\'': case 's': case 'S': {
        const char* s;
        int s_len;
        return read_str(a_code, a, &s, &s_len) ? det_string(self, s, s_len, b_code, b) : -1;
    }
    case ')': case 't': case 'T': case ']': case 'c': case 'C': {
        int t_len = read_count(a_code, a);
        if (failed(t_len))
            return -1;
        return det_sequence(*sequence_kind(a_code), t_len, b_code, b, child);
    }
    case '}': case 'd': case 'D':
        return det_dict(self, a_code, a, b_code, b);
    case 'X':
        return _det_user(self, a, b);
    default:
        parcel::raise_unpack_key_error(a_code);
        return -1;
    }
}

void trace_frame(Kind kind)
{
    switch (kind) {
    case Kind::pair: PYGLUE_TRACE("orvex.ordinex.Ordinex._cmp"); break;
    case Kind::tuple: PYGLUE_TRACE("orvex.ordinex.Ordinex._cmp_tuple"); break;
    case Kind::list: PYGLUE_TRACE("orvex.ordinex.Ordinex._cmp_list"); break;
    }
}

// A failure at any depth names the failing pair's dispatch, the innermost
// sequence and the walk's own entry: a bounded traceback even a million
// levels down.
int trace_failure(const Frame& current, const FrameStack& outer)
{
    if (current.kind != Kind::pair) {
        trace_frame(Kind::pair);
        trace_frame(current.kind);
    }
    if (!outer.empty())
        trace_frame(outer.bottom().kind);
    else if (current.kind == Kind::pair)
        trace_frame(Kind::pair);
    return -1;
}

// Compares the pairs that `origin` stands for (one value pair, or the
// elements of two sequences), descending into nested sequences as frames.
// The first non-zero answer at any depth is the answer of the whole walk.
// The innermost frame stays in locals; only the frames around it are stacked.
int walk(OrdinexObject* self, UnpackerObject* a, UnpackerObject* b, const Frame& origin)
{
    FrameStack outer;
    Frame current = origin;
    for (;;) {
        if (current.remaining_a <= 0 || current.remaining_b <= 0) {
            // Common elements equal: the shorter sequence is the smaller.
            int result = current.remaining_a < current.remaining_b ? -1
                                                                   : current.remaining_a > current.remaining_b;
            if (result != 0 || outer.empty())
                return result;
            current = outer.top();
            outer.pop();
            continue;
        }
        --current.remaining_a;
        --current.remaining_b;
        Frame child{0, 0, Kind::pair};
        int result = dispatch(self, a, b, &child);
        if (child.kind != Kind::pair) {
            if (!outer.push(current))
                return trace_failure(current, outer);
            current = child;
        } else if (result != 0) {
            return failed(result) ? trace_failure(current, outer) : result;
        }
    }
}

// Stage 1 entry and the sequence operations of the table.

int _cmp(OrdinexObject* self, UnpackerObject* a, UnpackerObject* b)
{
    return walk(self, a, b, Frame{1, 1, Kind::pair});
}

int _cmp_tuple(OrdinexObject* self, int a_len, UnpackerObject* a, int b_len, UnpackerObject* b)
{
    return walk(self, a, b, Frame{a_len, b_len, Kind::tuple});
}

int _cmp_list(OrdinexObject* self, int a_len, UnpackerObject* a, int b_len, UnpackerObject* b)
{
    return walk(self, a, b, Frame{a_len, b_len, Kind::list});
}

int det_sequence_op(OrdinexObject* self, const SequenceKind& kind, int t_len, UnpackerObject* a,
                    UnpackerObject* b)
{
    char code;
    if (!take_code(b, &code))
        return ORDINEX_FAIL(kind.det_step);
    Frame child{0, 0, Kind::pair};
    int result = det_sequence(kind, t_len, code, b, &child);
    if (child.kind == Kind::pair)
        return result;
    result = walk(self, a, b, child);
    return failed(result) ? ORDINEX_FAIL(kind.det_step) : result;
}

int _det_tuple(OrdinexObject* self, int t_len, UnpackerObject* a, UnpackerObject* b)
{
    return det_sequence_op(self, tuple_kind, t_len, a, b);
}

int _det_list(OrdinexObject* self, int t_len, UnpackerObject* a, UnpackerObject* b)
{
    return det_sequence_op(self, list_kind, t_len, a, b);
}

// Entries: lease an instance, bind its two readers, then compare their
// first values.

PyObject* fresh_ordinex();

int compare_loaded(OrdinexObject* self, PyObject* loaded_a, PyObject* loaded_b, int case_sensitive)
{
    Ref bound_a = Ref::steal(loaded_a);
    Ref bound_b = Ref::steal(loaded_b);
    if (!bound_a || !bound_b)
        return -1;
    self->_case_sensitive = case_sensitive;
    return _cmp(self, self->u_a, self->u_b);
}

// Parcel bytes on an instance that the caller has leased: sorts lease once
// and compare through here, without a lease per comparison.
int compare_bytes(OrdinexObject* self, const char* a, int a_len, const char* b, int b_len,
                  int case_sensitive)
{
    PyObject* loaded_a = reader_ops->load_c_str(self->u_a, a, a_len);
    PyObject* loaded_b = loaded_a ? reader_ops->load_c_str(self->u_b, b, b_len) : nullptr;
    return compare_loaded(self, loaded_a, loaded_b, case_sensitive);
}

int cmp(OrdinexObject* self, PyObject* a, PyObject* b, int case_sensitive)
{
    pyglue::Lease<OrdinexObject> lease(self, fresh_ordinex);
    if (!lease)
        return ORDINEX_FAIL("orvex.ordinex.Ordinex.cmp");
    OrdinexObject* o = lease.get();
    PyObject* loaded_a = reader_ops->load(o->u_a, a);
    PyObject* loaded_b = loaded_a ? reader_ops->load(o->u_b, b) : nullptr;
    int result = compare_loaded(o, loaded_a, loaded_b, case_sensitive);
    return failed(result) ? ORDINEX_FAIL("orvex.ordinex.Ordinex.cmp") : result;
}

int cmp_c_str(OrdinexObject* self, const char* a, int a_len, const char* b, int b_len,
              int case_sensitive)
{
    pyglue::Lease<OrdinexObject> lease(self, fresh_ordinex);
    if (!lease)
        return ORDINEX_FAIL("orvex.ordinex.Ordinex.cmp_c_str");
    int result = compare_bytes(lease.get(), a, a_len, b, b_len, case_sensitive);
    return failed(result) ? ORDINEX_FAIL("orvex.ordinex.Ordinex.cmp_c_str") : result;
}

OrdinexVTable ordinex_vtable = {
    cmp,        cmp_c_str,   _cmp,       _det_int,   _det_long,    _det_float,
    _det_string, _det_tuple, _det_list,  _det_dict,  _det_user,    _cmp_int,
    _cmp_long,  _cmp_float,  _cmp_string, _cmp_tuple, _cmp_list,  _cmp_dict,
};

// The Ordinex type.

void set_reader(UnpackerObject** field, PyObject* reader)
{
    Ref old = Ref::steal(reinterpret_cast<PyObject*>(*field));
    *field = reinterpret_cast<UnpackerObject*>(reader);
}

// Arguments are accepted and ignored: the instance needs nothing but its readers.
PyObject* ordinex_new(PyTypeObject* type, PyObject*, PyObject*)
{
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    auto* o = reinterpret_cast<OrdinexObject*>(self.get());
    o->__pyx_vtab = &ordinex_vtable;
    set_reader(&o->u_a, Ref::borrow(Py_None).release());
    set_reader(&o->u_b, Ref::borrow(Py_None).release());
    PyObject* unpacker = reinterpret_cast<PyObject*>(unpacker_type);
    Ref reader = Ref::steal(PyObject_CallObject(unpacker, nullptr));
    if (!reader)
        return nullptr;
    set_reader(&o->u_a, reader.release());
    reader = Ref::steal(PyObject_CallObject(unpacker, nullptr));
    if (!reader)
        return nullptr;
    set_reader(&o->u_b, reader.release());
    return self.release();
}

int ordinex_traverse(PyObject* self, visitproc visit, void* arg)
{
    auto* o = reinterpret_cast<OrdinexObject*>(self);
    Py_VISIT(o->u_a);
    Py_VISIT(o->u_b);
    return 0;
}

int ordinex_clear(PyObject* self)
{
    auto* o = reinterpret_cast<OrdinexObject*>(self);
    set_reader(&o->u_a, Ref::borrow(Py_None).release());
    set_reader(&o->u_b, Ref::borrow(Py_None).release());
    return 0;
}

void ordinex_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    auto* o = reinterpret_cast<OrdinexObject*>(self);
    set_reader(&o->u_a, nullptr);
    set_reader(&o->u_b, nullptr);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject ordinex_type = pyglue::make_type({
    "orvex.ordinex.Ordinex",                   // name
    sizeof(OrdinexObject),                     // basicsize
    Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,  // extra_flags
    ordinex_doc,                               // doc
    ordinex_new,                               // new_func
    ordinex_dealloc,                           // dealloc
    nullptr,                                   // methods
    ordinex_traverse,                          // traverse
    ordinex_clear,                             // clear
});

// A comparer of the base type for a call that found its instance busy.
PyObject* fresh_ordinex()
{
    return ordinex_new(&ordinex_type, nullptr, nullptr);
}

// Ready already when an earlier, failed import got this far.
bool ready_ordinex_type()
{
    return PyType_Ready(&ordinex_type) == 0 && pyglue::set_vtable(&ordinex_type, &ordinex_vtable);
}

// Module functions.

// cmp and case_cmp: the shared comparer with the case flag each stands for.
PyObject* compare_pair(const char* qualname, int case_sensitive, PyObject* a, PyObject* b)
{
    auto* self = reinterpret_cast<OrdinexObject*>(_ordinex_singleton);
    int result = cmp(self, a, b, case_sensitive);
    if (failed(result))
        return PYGLUE_TRACE(qualname), nullptr;
    return pyglue::int_from_long(result);
}

PyObject* module_cmp(PyObject* a, PyObject* b)
{
    return compare_pair("orvex.ordinex.cmp", 1, a, b);
}

PyObject* module_case_cmp(PyObject* a, PyObject* b)
{
    return compare_pair("orvex.ordinex.case_cmp", 0, a, b);
}

// A length that does not fit a C int is refused: narrowed, it would turn
// negative or short and make the comparison read the wrong bytes.
bool narrow_length(Py_ssize_t size, int* out)
{
    std::optional<int> narrowed = pyglue::to_int_length(size);
    if (!narrowed) {
        PyErr_Format(PyExc_OverflowError, "string of %zd bytes is too long to compare", size);
        return false;
    }
    *out = *narrowed;
    return true;
}

PyObject* module_strcasecmp(PyObject* a_arg, PyObject* b_arg)
{
    const char* a = PyBytes_AsString(a_arg);
    Py_ssize_t a_size = a ? PyBytes_Size(a_arg) : -1;
    if (a_size < 0)
        return PYGLUE_TRACE("orvex.ordinex.strcasecmp"), nullptr;
    const char* b = PyBytes_AsString(b_arg);
    Py_ssize_t b_size = b ? PyBytes_Size(b_arg) : -1;
    int a_len, b_len;
    if (b_size < 0 || !narrow_length(a_size, &a_len) || !narrow_length(b_size, &b_len))
        return PYGLUE_TRACE("orvex.ordinex.strcasecmp"), nullptr;
    return pyglue::int_from_long(my_strcasecmp(a, a_len, b, b_len, 0));
}

const char* const arg_names[] = {"a", "b"};
const pyglue::PairFunction cmp_function{"cmp", "orvex.ordinex.cmp", arg_names, module_cmp};
const pyglue::PairFunction case_cmp_function{"case_cmp", "orvex.ordinex.case_cmp", arg_names,
                                             module_case_cmp};
const pyglue::PairFunction strcasecmp_function{"strcasecmp", "orvex.ordinex.strcasecmp",
                                               arg_names, module_strcasecmp};

// Sorting: key objects for the interpreter's sorts, and a native sort. Both
// compare natively, with no call, tuple or int object per comparison: by
// the parcels' leads where those settle it, else through the comparer.

const char sort_doc[] =
    "sort(parcels, reverse=False) -> new list\n\n"
    "Sort parcel strings the way sorted(parcels, cmp=cmp, reverse=reverse) does:\n"
    "stably, making the same comparisons, but without a Python call for each.";

const char case_sort_doc[] =
    "case_sort(parcels, reverse=False) -> new list\n\n"
    "Sort parcel strings the way sorted(parcels, cmp=case_cmp, reverse=reverse)\n"
    "does: stably, making the same comparisons, but without a Python call for each.";

const char sort_key_doc[] =
    "sort_key(parcel) -> key\n\n"
    "A key that orders as cmp orders parcels, for sorted(), min(), max(), heapq\n"
    "and bisect. Keys compare only with keys from sort_key, and are unhashable.";

const char case_sort_key_doc[] =
    "case_sort_key(parcel) -> key\n\n"
    "A key that orders as case_cmp orders parcels. Keys compare only with keys\n"
    "from case_sort_key, and are unhashable.";

// Whether the interpreter's list sort also checks the run stack one entry
// deeper (2.7.10 on), read from the running interpreter at import.
bool deep_run_invariant;

void read_sort_flavour()
{
    int major = 0, minor = 0, micro = 0;
    std::sscanf(Py_GetVersion(), "%d.%d.%d", &major, &minor, &micro);
    deep_run_invariant = major > 2 || (major == 2 && (minor > 7 || (minor == 7 && micro >= 10)));
}

OrdinexObject* singleton()
{
    return reinterpret_cast<OrdinexObject*>(_ordinex_singleton);
}

// Parcels are compared by the bytes of the str, taken at each comparison
// without another check. Anything else gets the reader's own refusal: the
// error cmp raises for it.
bool check_parcel(PyObject* item)
{
    if (PyBytes_Check(item) && pyglue::to_int_length(PyBytes_GET_SIZE(item)))
        return true;
    pyglue::Lease<OrdinexObject> lease(singleton(), fresh_ordinex);
    if (!lease)
        return false;
    Ref bound = Ref::steal(reader_ops->load(lease.get()->u_a, item));
    if (bound)
        PyErr_Format(PyExc_TypeError, "a parcel must be str, not %.200s", Py_TYPE(item)->tp_name);
    return false;
}

// Two parcels that passed check_parcel.
int compare_parcels(OrdinexObject* self, PyObject* a, PyObject* b, int case_sensitive)
{
    return compare_bytes(self, PyBytes_AS_STRING(a), static_cast<int>(PyBytes_GET_SIZE(a)),
                         PyBytes_AS_STRING(b), static_cast<int>(PyBytes_GET_SIZE(b)),
                         case_sensitive);
}

// What the comparer reads first from a parcel, read once per parcel: a
// leading str or int, either the whole value or the first element of a
// top-level tuple or list (with that sequence's count). Two leads settle most
// comparisons of records (first fields that differ, an empty sequence)
// without binding a reader. They settle only what the comparer would answer
// after the same reads and by the same rules (_cmp_int, my_strcasecmp, the
// count rule); everything else, any meeting of two kinds above all (ordered
// by the replaceable _type_map), is left to the comparer.
struct Lead {
    static constexpr int head_size = 16;

    Kind container = Kind::pair;  // pair: the scalar is the whole value
    char scalar = 0;              // 's': a str, 'i': an int, 0: nothing known
    int count = 0;                // elements of the tuple or list
    int number = 0;               // the int, or the length of the str
    const char* bytes = nullptr;  // the str, in place in the parcel
    char head[head_size] = {};    // its first bytes: most strs differ there, and
                                  // comparing them here spares a visit to the parcel
    uint64_t head_order = 0;      // head[0..7] as a big-endian number
};

constexpr int unsettled = 2;

// my_strcasecmp of the two strs: the heads settle any difference in the
// bytes they hold (the first difference decides, wherever it is); only
// equal heads need the whole strs. Byte for byte, the first eight bytes
// compare as one number: where a str ends, its zero padding is less than
// the other's byte there, as the shorter str is the less.
inline int compare_lead_strs(const Lead& a, const Lead& b, int case_sensitive)
{
    if (case_sensitive && a.head_order != b.head_order)
        return a.head_order < b.head_order ? -1 : 1;
    int k = std::min(std::min(a.number, b.number), Lead::head_size);
    int result = my_strcasecmp(a.head, k, b.head, k, case_sensitive);
    return result != 0 ? result : my_strcasecmp(a.bytes, a.number, b.bytes, b.number, case_sensitive);
}

// The comparer's answer if the two leads settle it, else `unsettled`.
inline int compare_leads(const Lead& a, const Lead& b, int case_sensitive)
{
    if (a.container != b.container)
        return unsettled;
    if (a.container != Kind::pair && (a.count == 0 || b.count == 0))
        return a.count < b.count ? -1 : a.count > b.count;
    if (!a.scalar || a.scalar != b.scalar)
        return unsettled;
    int result = a.scalar == 's' ? compare_lead_strs(a, b, case_sensitive)
                                 : _cmp_int(nullptr, a.number, b.number);
    // Equal first elements leave the rest of the sequences to compare.
    return result != 0 || a.container == Kind::pair ? result : unsettled;
}

// The scalar of `code` (taken from u), if it is a str or an int.
bool read_lead_scalar(char code, UnpackerObject* u, Lead* lead)
{
    switch (code) {
    case '0': case '1': case 'i': case 'I': case 'l':
        lead->number = read_int_value(code, u);
        lead->scalar = 'i';
        return !failed(lead->number);
    case '\'': case 's': case 'S':
        lead->scalar = 's';
        if (!read_str(code, u, &lead->bytes, &lead->number))
            return false;
        std::memcpy(lead->head, lead->bytes, std::min(lead->number, Lead::head_size));
        for (int i = 0; i < 8; ++i)
            lead->head_order = lead->head_order << 8 | static_cast<unsigned char>(lead->head[i]);
        return true;
    default:
        return true;
    }
}

// A parcel whose start cannot be read gets an empty lead: the comparer
// meets the error if and when the parcel is compared.
Lead read_lead(UnpackerObject* u, PyObject* parcel)
{
    Lead lead;
    Ref bound = Ref::steal(reader_ops->load_c_str(u, PyBytes_AS_STRING(parcel),
                                                  static_cast<int>(PyBytes_GET_SIZE(parcel))));
    char code;
    bool read = bound && take_code(u, &code);
    const SequenceKind* sequence = read ? sequence_kind(code) : nullptr;
    if (sequence) {
        lead.container = sequence->kind;
        lead.count = read_count(code, u);
        read = !failed(lead.count) && (lead.count == 0 || take_code(u, &code));
    }
    if (read && (lead.container == Kind::pair || lead.count > 0))
        read = read_lead_scalar(code, u, &lead);
    if (read)
        return lead;
    PyErr_Clear();
    return Lead();
}

// A parcel with its lead: what keys hold and sorts order.
struct Ranked {
    PyObject* parcel;  // borrowed or owned, as the holder says
    Lead lead;
};

// Checks the parcel and reads its lead with a reader of `reader_owner`.
bool rank(OrdinexObject* reader_owner, PyObject* parcel, Ranked* out)
{
    if (!check_parcel(parcel))
        return false;
    out->parcel = parcel;
    out->lead = read_lead(reader_owner->u_a, parcel);
    return true;
}

// Key objects. A key holds its parcel; its type says the case flag.

struct SortKeyObject {
    PyObject_HEAD
    Ranked ranked;  // owns the parcel
};

extern PyTypeObject sort_key_type;       // orders as cmp
extern PyTypeObject case_sort_key_type;  // orders as case_cmp

const Ranked& key_ranked(PyObject* key)
{
    return reinterpret_cast<SortKeyObject*>(key)->ranked;
}

void trace_key_failure(PyObject* key, int op)
{
    static const char* const op_names[] = {"__lt__", "__le__", "__eq__",
                                           "__ne__", "__gt__", "__ge__"};
    std::string step = std::string(Py_TYPE(key)->tp_name) + "." + op_names[op];
    pyglue::add_traceback(step.c_str(), __FILE__, __LINE__);
}

// `a` is always a key: the interpreter calls this slot of the left operand,
// or of the right one with the operands swapped.
PyObject* key_richcompare(PyObject* a, PyObject* b, int op)
{
    if (Py_TYPE(b) != Py_TYPE(a)) {
        PyErr_Format(PyExc_TypeError, "can't compare %.100s with %.100s", Py_TYPE(a)->tp_name,
                     Py_TYPE(b)->tp_name);
        return nullptr;
    }
    int case_sensitive = Py_TYPE(a) == &sort_key_type;
    const Ranked& x = key_ranked(a);
    const Ranked& y = key_ranked(b);
    int result = compare_leads(x.lead, y.lead, case_sensitive);
    if (result == unsettled) {
        pyglue::Lease<OrdinexObject> lease(singleton(), fresh_ordinex);
        result = lease ? compare_parcels(lease.get(), x.parcel, y.parcel, case_sensitive) : -1;
    }
    if (failed(result)) {
        trace_key_failure(a, op);
        return nullptr;
    }
    return PyBool_FromLong(pyglue::holds(op, result));
}

PyObject* key_repr(PyObject* self)
{
    Ref parcel_repr = Ref::steal(PyObject_Repr(key_ranked(self).parcel));
    if (!parcel_repr)
        return nullptr;
    const char* maker = Py_TYPE(self) == &sort_key_type ? "sort_key" : "case_sort_key";
    const char* parcel_text = pyglue::text_as_utf8(parcel_repr.get());
    return parcel_text ? PYGLUE_TEXT_FROM_FORMAT("%s(%s)", maker, parcel_text) : nullptr;
}

// A parcel of a str subclass can lead back to its key (through its
// __dict__), so the collector must see that edge; a plain str cannot, and
// keys of plain strs stay untracked.
int key_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(key_ranked(self).parcel);
    return 0;
}

void key_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    Ref parcel = Ref::steal(key_ranked(self).parcel);
    Py_TYPE(self)->tp_free(self);
}

PyObject* make_key(PyTypeObject* type, PyObject* parcel)
{
    Ranked ranked;
    {
        pyglue::Lease<OrdinexObject> lease(singleton(), fresh_ordinex);
        if (!lease || !rank(lease.get(), parcel, &ranked))
            return nullptr;
    }
    SortKeyObject* key = PyObject_GC_New(SortKeyObject, type);
    if (!key)
        return nullptr;
    key->ranked = ranked;
    Py_INCREF(parcel);
    if (!PyBytes_CheckExact(parcel))
        PyObject_GC_Track(key);
    return reinterpret_cast<PyObject*>(key);
}

PyMemberDef key_members[] = {
    {const_cast<char*>("parcel"), T_OBJECT, offsetof(SortKeyObject, ranked.parcel), READONLY,
     const_cast<char*>("The parcel string this key orders.")},
    {nullptr, 0, 0, 0, nullptr},
};

// Not hashable: equal keys may hold different bytes.
PyTypeObject key_type(const char* name, const char* doc)
{
    return pyglue::make_type({
        name,                         // name
        sizeof(SortKeyObject),        // basicsize
        Py_TPFLAGS_HAVE_GC,           // extra_flags
        doc,                          // doc
        nullptr,                      // new_func
        key_dealloc,                  // dealloc
        nullptr,                      // methods
        key_traverse,                 // traverse
        nullptr,                      // clear
        key_richcompare,              // richcompare
        PyObject_HashNotImplemented,  // hash
        nullptr,                      // getset
        key_repr,                     // repr
        key_members,                  // members
    });
}

PyTypeObject sort_key_type = key_type("orvex.ordinex.SortKey", sort_key_doc);
PyTypeObject case_sort_key_type = key_type("orvex.ordinex.CaseSortKey", case_sort_key_doc);

PyObject* key_of(PyTypeObject* type, const char* qualname, PyObject* parcel)
{
    PyObject* key = make_key(type, parcel);
    if (!key)
        PYGLUE_TRACE(qualname);
    return key;
}

PyObject* module_sort_key(PyObject*, PyObject* parcel)
{
    return key_of(&sort_key_type, "orvex.ordinex.sort_key", parcel);
}

PyObject* module_case_sort_key(PyObject*, PyObject* parcel)
{
    return key_of(&case_sort_key_type, "orvex.ordinex.case_sort_key", parcel);
}

// The native sort.

// "x sorts before y" for the native sort, on the comparer it has leased.
struct RankedOrder {
    OrdinexObject* comparer;
    int case_sensitive;

    int operator()(const Ranked& x, const Ranked& y) const
    {
        int result = compare_leads(x.lead, y.lead, case_sensitive);
        if (result == unsettled)
            result = compare_parcels(comparer, x.parcel, y.parcel, case_sensitive);
        return failed(result) ? -1 : result < 0;
    }
};

PyObject* new_list(const Ranked* order, Py_ssize_t n)
{
    PyObject* list = PyList_New(n);
    if (!list)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(order[i].parcel);
        PyList_SET_ITEM(list, i, order[i].parcel);
    }
    return list;
}

// The items are held by a tuple, which nothing that runs meanwhile (a dict
// value's comparison, a __del__, another thread) can change. They are sorted
// with their leads in an array that only this call sees (merges then walk it
// in order instead of hopping between objects), and the list is made at the
// end from that array.
PyObject* sorted_parcels(PyObject* parcels, PyObject* reverse_arg, int case_sensitive)
{
    int reverse = reverse_arg ? PyObject_IsTrue(reverse_arg) : 0;
    if (reverse < 0)
        return nullptr;
    Ref items = Ref::steal(PySequence_Tuple(parcels));
    if (!items)
        return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Scratch<Ranked> order;
    if (!order.reserve(n))
        return nullptr;
    // One lease for the whole sort: code run by a comparison that calls
    // back into the module gets an instance of its own.
    pyglue::Lease<OrdinexObject> lease(singleton(), fresh_ordinex);
    if (!lease)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!rank(lease.get(), PyTuple_GET_ITEM(items.get(), i), &order.get()[i]))
            return nullptr;
    }
    RunSort<Ranked, RankedOrder> sorter(RankedOrder{lease.get(), case_sensitive},
                                         deep_run_invariant);
    if (!sorter.sort(order.get(), n, reverse != 0))
        return nullptr;
    return new_list(order.get(), n);
}

const char* const sort_arg_names[] = {"parcels", "reverse"};

PyObject* sort_with(const char* func, const char* qualname, int case_sensitive, PyObject* args,
                    PyObject* kwds)
{
    PyObject* bound[2];
    PyObject* result = pyglue::bind_args(func, args, kwds, sort_arg_names, 1, 2, bound)
                           ? sorted_parcels(bound[0], bound[1], case_sensitive)
                           : nullptr;
    if (!result)
        PYGLUE_TRACE(qualname);
    return result;
}

PyObject* module_sort(PyObject*, PyObject* args, PyObject* kwds)
{
    return sort_with("sort", "orvex.ordinex.sort", 1, args, kwds);
}

PyObject* module_case_sort(PyObject*, PyObject* args, PyObject* kwds)
{
    return sort_with("case_sort", "orvex.ordinex.case_sort", 0, args, kwds);
}

PyMethodDef module_methods[] = {
    {"cmp", pyglue::pair_method<cmp_function>(), pyglue::pair_flags, cmp_doc},
    {"case_cmp", pyglue::pair_method<case_cmp_function>(), pyglue::pair_flags, case_cmp_doc},
    {"strcasecmp", pyglue::pair_method<strcasecmp_function>(), pyglue::pair_flags, nullptr},
    {"sort", pyglue::kw_method(module_sort), METH_VARARGS | METH_KEYWORDS, sort_doc},
    {"case_sort", pyglue::kw_method(module_case_sort), METH_VARARGS | METH_KEYWORDS, case_sort_doc},
    {"sort_key", module_sort_key, METH_O, sort_key_doc},
    {"case_sort_key", module_case_sort_key, METH_O, case_sort_key_doc},
    {nullptr, nullptr, 0, nullptr},
};

// Import.

// Replaces an object kept for the interpreter's life (a retried import
// replaces what the failed one left).
struct TypeMapEntry {
    const char* code;
    const char* name;
};

const TypeMapEntry type_map_entries[] = {
    {"N", "None"}, {"1", "bool"},  {"0", "bool"},  {"i", "int"},   {"I", "int"},   {"l", "int"},
    {"L", "long"}, {"M", "long"},  {"f", "float"}, {"'", "str"},   {"s", "str"},   {"S", "str"},
    {")", "tuple"}, {"t", "tuple"}, {"T", "tuple"}, {"]", "list"}, {"c", "list"}, {"C", "list"},
    {"}", "dict"}, {"d", "dict"},  {"D", "dict"},  {"X", ""},
};

bool make_type_map(PyObject* module)
{
    if (!keep(&type_map_name, pyglue::text_intern("_type_map")) ||
        !keep(&name_str, pyglue::text_intern("str")) ||
        !keep(&name_tuple, pyglue::text_intern("tuple")) ||
        !keep(&name_list, pyglue::text_intern("list")) ||
        !keep(&name_dict, pyglue::text_intern("dict")))
        return false;
    Ref type_map = Ref::steal(PyDict_New());
    if (!type_map)
        return false;
    for (const TypeMapEntry& entry : type_map_entries) {
        Ref name = Ref::steal(pyglue::text_intern(entry.name));
        if (!name || PyDict_SetItemString(type_map.get(), entry.code, name.get()) < 0)
            return false;
    }
    return PyObject_SetAttr(module, type_map_name, type_map.get()) == 0;
}

bool add_key_types(PyObject* module)
{
    return PyType_Ready(&sort_key_type) == 0 && PyType_Ready(&case_sort_key_type) == 0 &&
           PyObject_SetAttrString(module, "SortKey", reinterpret_cast<PyObject*>(&sort_key_type)) == 0 &&
           PyObject_SetAttrString(module, "CaseSortKey",
                                  reinterpret_cast<PyObject*>(&case_sort_key_type)) == 0;
}

bool init_module(PyObject* module)
{
    if (!keep(&assertion_error, pyglue::get_builtin("AssertionError")))
        return false;
    // None until the first import makes the instance, which is never replaced:
    // an init run again mid-call must not free the instance the call uses.
    if (!_ordinex_singleton)
        _ordinex_singleton = Ref::borrow(Py_None).release();
    PyObject* type = reinterpret_cast<PyObject*>(&ordinex_type);
    if (!ready_ordinex_type() || PyObject_SetAttrString(module, "Ordinex", type) < 0)
        return false;
    if (!pyglue::import_type_with_vtable("orvex.parcel", "Packer", sizeof(parcel::PackerObject),
                                         packer_type, packer_ops) ||
        !pyglue::import_type_with_vtable("orvex.parcel", "Unpacker", sizeof(parcel::UnpackerObject),
                                         unpacker_type, reader_ops) ||
        !make_type_map(module))
        return false;
    if (_ordinex_singleton == Py_None && !keep(&_ordinex_singleton, PyObject_CallObject(type, nullptr)))
        return false;
    read_sort_flavour();
    if (!add_key_types(module) || !pyglue::add_functions(module, module_methods, module_name))
        return false;
    return keep(&ordinex_module, Ref::borrow(module).release());
}

pyglue::ModuleDef module_def(module_name, module_doc, nullptr);

}  // namespace

PYGLUE_MODULE(ordinex, module_def, init_module)
