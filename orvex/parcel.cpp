// orvex.parcel stand-in: packs interpreter values into parcel strings and
// reads them back, from Python (pack/unpack) and natively through Unpacker's
// published operation table. docs/parcel-format.md fixes the byte layout.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "orvex/parcel.h"
#include "orvex/pickle_scan.h"
#include "pyglue/args.h"
#include "pyglue/compat.h"
#include "pyglue/errors.h"
#include "pyglue/imports.h"
#include "pyglue/lengths.h"
#include "pyglue/module.h"
#include "pyglue/pickling.h"
#include "pyglue/ref.h"
#include "pyglue/stack.h"
#include "pyglue/type.h"

using parcel::PackerObject;
using parcel::PackerVTable;
using parcel::UnpackerObject;
using parcel::UnpackerVTable;
using pyglue::Ref;

namespace {

const char MODULE_NAME[] = "orvex.parcel";

// No value sits inside more containers than this, in either direction: far
// beyond any real record, and a bound for what the native modules that
// recurse over parcels must be ready for.
constexpr int MAX_DEPTH = 500;

// An X payload's value, unfolded as a tree (each shared object counted at
// every place it appears, scalars by their bytes), may weigh this much per
// payload byte: a pickle without sharing weighs at most one per byte, so
// real records pass, while what anyone can do with the value (compare it,
// hash it, pack it) stays within a constant factor of the parcel's length.
constexpr int X_WEIGHT_PER_BYTE = 64;

PyObject* UnpackError;
PyObject* UnpackKeyError;
// (module, name) -> the class or helper an X payload may name.
PyObject* registry;
pyglue::PickleCodec pickling;

// ---------------------------------------------------------------------------
// Reading

int32_t get_be32(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<int32_t>(uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 |
                                uint32_t(b[3]));
}

int get_be16(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<int16_t>(static_cast<uint16_t>(b[0] << 8 | b[1]));
}

// Points to the next n bytes without consuming them; `what` names them in
// the error. The check is a subtraction so that a huge n cannot overflow.
const char* peek_bytes(UnpackerObject* self, int n, const char* what)
{
    int left = self->_str_len - self->_index;
    if (n < 0) {
        PyErr_Format(UnpackError, "cannot read %d bytes at offset %d", n, self->_index);
        return nullptr;
    }
    if (n > left) {
        PyErr_Format(UnpackError, "parcel truncated at offset %d: expected %d byte%s (%s), found %d",
                     self->_index, n, n == 1 ? "" : "s", what, left);
        return nullptr;
    }
    return self->_p + self->_index;
}

const char* take(UnpackerObject* self, int n, const char* what)
{
    const char* p = peek_bytes(self, n, what);
    if (p)
        self->_index += n;
    return p;
}

bool read_u8(UnpackerObject* self, const char* what, int* out)
{
    const char* p = take(self, 1, what);
    if (p)
        *out = static_cast<unsigned char>(*p);
    return p != nullptr;
}

bool read_i16(UnpackerObject* self, const char* what, int* out)
{
    const char* p = take(self, 2, what);
    if (p)
        *out = get_be16(p);
    return p != nullptr;
}

bool read_i32(UnpackerObject* self, const char* what, int* out)
{
    const char* p = take(self, 4, what);
    if (p)
        *out = get_be32(p);
    return p != nullptr;
}

// A 4-byte length or count, which must not be negative.
bool read_length(UnpackerObject* self, const char* what, int* out)
{
    if (!read_i32(self, what, out))
        return false;
    if (*out >= 0)
        return true;
    PyErr_Format(UnpackError, "negative %s %d at offset %d", what, *out, self->_index - 4);
    return false;
}

// Refuses a count whose elements cannot fit in the bytes left, before
// anything is allocated for them.
bool check_count(UnpackerObject* self, int count, int min_bytes_each, const char* what)
{
    if (count < 0) {
        // -1 from read_count comes with its exception already set.
        if (!PyErr_Occurred())
            PyErr_Format(UnpackError, "negative %s count %d at offset %d", what, count, self->_index);
        return false;
    }
    int left = self->_str_len - self->_index;
    if (count <= left / min_bytes_each)
        return true;
    PyErr_Format(UnpackError,
                 "parcel truncated at offset %d: %s of %d element%s needs at least %ld bytes, found %d",
                 self->_index, what, count, count == 1 ? "" : "s",
                 static_cast<long>(count) * min_bytes_each, left);
    return false;
}

bool read_string(UnpackerObject* self, int n, const char** s, int* len)
{
    const char* p = take(self, n, "str data");
    if (!p)
        return false;
    *s = p;
    *len = n;
    return true;
}

PyObject* long_from_bytes(UnpackerObject* self, int n)
{
    const char* p = take(self, n, "long data");
    if (!p)
        return nullptr;
    return _PyLong_FromByteArray(reinterpret_cast<const unsigned char*>(p), n, 1, 1);
}

// The containers open at one moment of a load or a pack, innermost last. They
// live on the heap rather than in C frames, so hostile nesting costs no C
// stack; MAX_DEPTH still bounds them. Each level owns its references.
template <typename Level>
class OpenStack {
public:
    OpenStack() = default;
    OpenStack(const OpenStack&) = delete;
    OpenStack& operator=(const OpenStack&) = delete;
    ~OpenStack()
    {
        while (!levels_.empty())
            close();
    }

    int depth() const { return static_cast<int>(levels_.size()); }
    Level& top() { return levels_.top(); }

    // Takes over the level's references, also when it fails.
    bool push(Level level)
    {
        if (levels_.push(level))
            return true;
        level.clear();
        return false;
    }

    // Drops the innermost level.
    void close()
    {
        levels_.top().clear();
        levels_.pop();
    }

    // Closes the innermost level and hands over its container.
    PyObject* pop()
    {
        Level& level = levels_.top();
        PyObject* container = level.container;
        level.container = nullptr;
        close();
        return container;
    }

private:
    pyglue::Stack<Level, 8> levels_;
};

// A container being filled by the loader.
struct LoadLevel {
    PyObject* container;
    PyObject* key;  // a dict key whose value comes next
    char kind;      // 't', 'c' or 'd'
    int size;       // elements, or entries of a dict
    int filled;

    void clear()
    {
        Py_CLEAR(container);
        Py_CLEAR(key);
    }
};

using LoadStack = OpenStack<LoadLevel>;

// 't', 'c' or 'd' for the codes of a tuple, list or dict with a count; 0 else.
char container_kind(int code)
{
    switch (code) {
    case 't':
    case 'T':
        return 't';
    case 'c':
    case 'C':
        return 'c';
    case 'd':
    case 'D':
        return 'd';
    default:
        return 0;
    }
}

// Opens a container of n elements (entries of a dict). Its count was read
// by read_count, whose -1 arrives here with the exception set.
bool open_container(UnpackerObject* self, LoadStack& open, char kind, int n)
{
    const char* what = kind == 't' ? "tuple" : kind == 'c' ? "list" : "dict";
    if (!check_count(self, n, kind == 'd' ? 2 : 1, what))
        return false;
    if (n > 0 && open.depth() >= MAX_DEPTH) {
        PyErr_Format(UnpackError, "parcel nested deeper than %d levels at offset %d", MAX_DEPTH,
                     self->_index);
        return false;
    }
    PyObject* container = kind == 't' ? PyTuple_New(n) : kind == 'c' ? PyList_New(n) : PyDict_New();
    if (!container)
        return false;
    // Until it is full, a tuple or list has empty slots, which Python code
    // run by an X payload must not reach through gc.get_objects().
    if (kind != 'd' && n > 0)
        PyObject_GC_UnTrack(container);
    return open.push(LoadLevel{container, nullptr, kind, n, 0});
}

// Closes the innermost container, which is full, and hands it over.
PyObject* close_container(LoadStack& open)
{
    bool hidden = open.top().kind != 'd' && open.top().size > 0;
    PyObject* container = open.pop();
    if (hidden)
        PyObject_GC_Track(container);
    return container;
}

// Puts a finished value into the innermost open container.
bool fill(LoadLevel& top, Ref value)
{
    switch (top.kind) {
    case 't':
        PyTuple_SET_ITEM(top.container, top.filled++, value.release());
        return true;
    case 'c':
        PyList_SET_ITEM(top.container, top.filled++, value.release());
        return true;
    default:
        if (!top.key) {
            top.key = value.release();
            return true;
        }
        Ref key = Ref::steal(top.key);
        top.key = nullptr;
        ++top.filled;
        return PyDict_SetItem(top.container, key.get(), value.get()) == 0;
    }
}

// Python 2.6's unpickler hands on the error of a call it made (REDUCE,
// INST...) with its value packed as (value, callable, arguments); the value
// alone comes out, as from 2.7 and 3.
void unwrap_call_error()
{
#if !PYGLUE_PY3 && PY_VERSION_HEX < 0x02070000
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (value && PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 3) {
        Ref packed = Ref::steal(value);
        PyObject* inner = PyTuple_GET_ITEM(packed.get(), 0);
        value = inner == Py_None ? nullptr : Ref::borrow(inner).release();
    }
    PyErr_Restore(type, value, tb);
#endif
}

// Turns a failure inside the unpickler into UnpackError, so that callers of
// unpack see one exception family for bad input. UnpackError (a refused
// global) passes as it is, and so do MemoryError and non-Exceptions.
void wrap_pickle_error(int offset)
{
    unwrap_call_error();
    if (PyErr_ExceptionMatches(UnpackError) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
        !PyErr_ExceptionMatches(PyExc_Exception))
        return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(tb);
    Ref text = Ref::steal(value ? PyObject_Str(value) : nullptr);
    const char* detail =
        text && pyglue::text_check(text.get()) ? pyglue::text_as_utf8(text.get()) : nullptr;
    // A message that cannot be had, or not as UTF-8, is left out.
    PyErr_Clear();
    if (!detail)
        detail = "";
    const char* name = PyExceptionClass_Check(type) ? PyExceptionClass_Name(type) : "error";
    if (const char* dot = std::strrchr(name, '.'))
        name = dot + 1;
    PyErr_Format(UnpackError, "malformed X payload at offset %d: %s%s%s", offset, name,
                 *detail ? ": " : "", detail);
}

// What an X payload's global is to the scan; `failed` with the finder's
// refusal set.
parcel::GlobalKind classify_global(const char* module, size_t module_len, const char* name,
                                   size_t name_len)
{
    Ref module_text = Ref::steal(pyglue::text_from_utf8(module, static_cast<Py_ssize_t>(module_len)));
    Ref name_text = Ref::steal(
        module_text ? pyglue::text_from_utf8(name, static_cast<Py_ssize_t>(name_len)) : nullptr);
    Ref found = Ref::steal(
        name_text ? pyglue::resolve_global(pickling, module_text.get(), name_text.get()) : nullptr);
    if (!found)
        return parcel::GlobalKind::failed;
    return pyglue::is_byte_string_helper(pickling, found.get()) ? parcel::GlobalKind::byte_string_helper
                                                                : parcel::GlobalKind::object;
}

// The scan of a payload at `offset` with `depth` containers open around it
// (see orvex/pickle_scan.h); false with MemoryError set when it ran out.
template <typename Classify>
bool scan_payload(const char* p, Py_ssize_t n, int offset, int depth, Classify classify,
                  parcel::PickleScanResult* result)
{
    parcel::PickleScanLimits limits{offset, MAX_DEPTH - depth, X_WEIGHT_PER_BYTE};
    try {
        *result = parcel::PickleScan<Classify>(reinterpret_cast<const unsigned char*>(p),
                                               static_cast<size_t>(n), limits, classify)
                      .run();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// Scans the payload at `offset` before any unpickler runs it; `depth`
// containers are open around it.
bool admit_payload(const char* p, int n, int offset, int depth)
{
    parcel::PickleScanResult result;
    if (!scan_payload(p, n, offset, depth, classify_global, &result))
        return false;
    switch (result.outcome) {
    case parcel::PickleScanResult::admitted:
        return true;
    case parcel::PickleScanResult::classifier_failed:
        wrap_pickle_error(offset);
        return false;
    case parcel::PickleScanResult::malformed:
        PyErr_Format(UnpackError, "malformed X payload at offset %d: UnpicklingError: %s", offset,
                     result.message.c_str());
        return false;
    case parcel::PickleScanResult::too_deep:
        PyErr_Format(UnpackError, "parcel nested deeper than %d levels at offset %d", MAX_DEPTH,
                     offset);
        return false;
    default:
        PyErr_SetString(UnpackError, result.message.c_str());
        return false;
    }
}

// Unpickles an X payload with an Unpickler whose globals come only from the
// registry, once the scan has passed it: an attacker's pickle cannot reach
// any other callable, nor set state on anything it did not build.
PyObject* load_pickle(UnpackerObject* self, int depth)
{
    int n;
    if (!read_length(self, "X payload length", &n))
        return nullptr;
    int offset = self->_index;
    const char* p = take(self, n, "X payload");
    if (!p || !admit_payload(p, n, offset, depth))
        return nullptr;
    PyObject* value = pyglue::pickle_loads(pickling, p, n);
    if (!value)
        wrap_pickle_error(offset);
    return value;
}

PyObject* load_int(UnpackerObject* self, bool (*read)(UnpackerObject*, const char*, int*))
{
    int v;
    if (!read(self, "int", &v))
        return nullptr;
    return pyglue::int_from_long(v);
}

PyObject* load_float(UnpackerObject* self)
{
    const char* p = take(self, 8, "float");
    if (!p)
        return nullptr;
    double x = pyglue::float_unpack8(p);
    if (x == -1.0 && PyErr_Occurred())
        return nullptr;
    return PyFloat_FromDouble(x);
}

PyObject* load_string(UnpackerObject* self, bool is_long)
{
    int n;
    if (!(is_long ? read_length(self, "str length", &n) : read_u8(self, "str length", &n)))
        return nullptr;
    const char* s;
    if (!read_string(self, n, &s, &n))
        return nullptr;
    return PyBytes_FromStringAndSize(s, n);
}

PyObject* load_long(UnpackerObject* self, bool is_long)
{
    int n;
    if (!(is_long ? read_length(self, "long length", &n) : read_u8(self, "long length", &n)))
        return nullptr;
    return long_from_bytes(self, n);
}

// A container's count: one byte after t/c/d, four after T/C/D; -1 on failure.
int read_count(UnpackerObject* self, int code)
{
    int n;
    bool ok = code == 't' || code == 'c' || code == 'd' ? read_u8(self, "count", &n)
                                                          : read_length(self, "count", &n);
    return ok ? n : -1;
}

// The next type code as 0..255, or -1 at the end of the parcel.
int read_code(UnpackerObject* self)
{
    int code;
    return read_u8(self, "type code", &code) ? code : -1;
}

PyObject* raise_unknown_code(int code)
{
    Ref args = Ref::steal(Py_BuildValue("(i)", static_cast<int>(static_cast<signed char>(code))));
    if (args)
        pyglue::raise_call(UnpackKeyError, args.get());
    return nullptr;
}

// A value of any code but the counted containers, inside `depth` of them.
PyObject* load_scalar(UnpackerObject* self, int code, int depth)
{
    switch (code) {
    case 'N':
        Py_RETURN_NONE;
    case '0':
        Py_RETURN_FALSE;
    case '1':
        Py_RETURN_TRUE;
    case 'i':
        return load_int(self, read_u8);
    case 'I':
        return load_int(self, read_i16);
    case 'l':
        return load_int(self, read_i32);
    case 'L':
        return load_long(self, false);
    case 'M':
        return load_long(self, true);
    case 'f':
        return load_float(self);
    case '\'':
        return PyBytes_FromStringAndSize("", 0);
    case 's':
        return load_string(self, false);
    case 'S':
        return load_string(self, true);
    case ')':
        return PyTuple_New(0);
    case ']':
        return PyList_New(0);
    case '}':
        return PyDict_New();
    case 'X':
        return load_pickle(self, depth);
    default:
        return raise_unknown_code(code);
    }
}

// Reads values until the outermost open container is full and returns it;
// with nothing open, reads one whole value.
PyObject* read_values(UnpackerObject* self, LoadStack& open)
{
    Ref value;
    for (;;) {
        // Close the full containers, innermost first, each into the one around it.
        for (;;) {
            if (!value) {
                if (open.depth() == 0 || open.top().filled < open.top().size)
                    break;
                value = Ref::steal(close_container(open));
            }
            if (open.depth() == 0)
                return value.release();
            if (!fill(open.top(), std::move(value)))
                return nullptr;
        }
        int code = read_code(self);
        if (code < 0)
            return nullptr;
        char kind = container_kind(code);
        if (kind) {
            if (!open_container(self, open, kind, read_count(self, code)))
                return nullptr;
        } else if (!(value = Ref::steal(load_scalar(self, code, open.depth())))) {
            return nullptr;
        }
    }
}

// The generic loader: one whole value of any code.
PyObject* load_value(UnpackerObject* self)
{
    LoadStack open;
    return read_values(self, open);
}

PyObject* load_dict(UnpackerObject* self, int n)
{
    LoadStack open;
    if (!open_container(self, open, 'd', n))
        return nullptr;
    return read_values(self, open);
}

// ---------------------------------------------------------------------------
// The reader's operation table

void bind(UnpackerObject* self, PyObject* owner, const char* p, int len)
{
    PyObject* old = self->_obj;
    Py_INCREF(owner);
    self->_obj = owner;
    self->_p = p;
    self->_str_len = len;
    self->_index = 0;
    Py_XDECREF(old);
}

PyObject* unpacker_load(UnpackerObject* self, PyObject* s)
{
    if (!PyBytes_Check(s)) {
        PyErr_Format(PyExc_TypeError, "Unpacker.load() argument must be %s, not %.200s",
                     PyBytes_Type.tp_name, Py_TYPE(s)->tp_name);
        return nullptr;
    }
    auto len = pyglue::to_int_length(PyBytes_GET_SIZE(s));
    if (!len) {
        PyErr_Format(UnpackError, "parcel of %zd bytes is too long", PyBytes_GET_SIZE(s));
        return nullptr;
    }
    bind(self, s, PyBytes_AS_STRING(s), *len);
    Py_RETURN_NONE;
}

PyObject* unpacker_load_c_str(UnpackerObject* self, const char* s, int len)
{
    if (len < 0 || (!s && len > 0)) {
        PyErr_Format(UnpackError, "load_c_str() needs a length of 0 or more and its bytes, got %d",
                     len);
        return nullptr;
    }
    bind(self, Py_None, s, len);
    Py_RETURN_NONE;
}

const char* unpacker_look(UnpackerObject* self, int n)
{
    return take(self, n, "bytes");
}

const char* unpacker_peek(UnpackerObject* self, int n)
{
    return peek_bytes(self, n, "bytes");
}

int unpacker_read_short_int(UnpackerObject* self)
{
    int v;
    return read_u8(self, "int", &v) ? v : -1;
}

int unpacker_read_medium_int(UnpackerObject* self)
{
    int v;
    return read_i16(self, "int", &v) ? v : -1;
}

int unpacker_read_int32(UnpackerObject* self)
{
    int v;
    return read_i32(self, "int", &v) ? v : -1;
}

PyObject* unpacker_load_short_long(UnpackerObject* self)
{
    return load_long(self, false);
}

PyObject* unpacker_load_long_long(UnpackerObject* self)
{
    return load_long(self, true);
}

int unpacker_read_short_string(UnpackerObject* self, const char** s, int* len)
{
    int n;
    return read_u8(self, "str length", &n) && read_string(self, n, s, len) ? 0 : -1;
}

int unpacker_read_long_string(UnpackerObject* self, const char** s, int* len)
{
    int n;
    return read_length(self, "str length", &n) && read_string(self, n, s, len) ? 0 : -1;
}

UnpackerVTable unpacker_vtable = {
    unpacker_load,
    unpacker_load_c_str,
    unpacker_look,
    unpacker_peek,
    unpacker_read_short_int,
    unpacker_read_medium_int,
    unpacker_read_int32,
    unpacker_load_short_long,
    unpacker_load_long_long,
    load_float,
    unpacker_read_short_string,
    unpacker_read_long_string,
    load_dict,
    load_value,
};

PyObject* new_unpacker(PyTypeObject* type)
{
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj)
        return nullptr;
    auto* self = reinterpret_cast<UnpackerObject*>(obj);
    self->__pyx_vtab = &unpacker_vtable;
    Py_INCREF(Py_None);
    self->_obj = Py_None;
    self->_p = nullptr;
    self->_str_len = 0;
    self->_index = 0;
    return obj;
}

PyObject* unpacker_new(PyTypeObject* type, PyObject* args, PyObject* kwds)
{
    if (!pyglue::bind_args("Unpacker", args, kwds, nullptr, 0, 0, nullptr))
        return nullptr;
    return new_unpacker(type);
}

void unpacker_dealloc(PyObject* obj)
{
    Py_CLEAR(reinterpret_cast<UnpackerObject*>(obj)->_obj);
    Py_TYPE(obj)->tp_free(obj);
}

// ---------------------------------------------------------------------------
// Packing

// Room for n more bytes in the working buffer; returns where they go.
char* grow(PackerObject* self, Py_ssize_t n)
{
    Py_ssize_t size = PyBytes_GET_SIZE(self->_buffer);
    if (n > size - self->_used) {
        if (n > PY_SSIZE_T_MAX / 2 - self->_used) {
            PyErr_NoMemory();
            return nullptr;
        }
        if (_PyBytes_Resize(&self->_buffer, std::max(2 * size, self->_used + n)) < 0)
            return nullptr;
    }
    char* p = PyBytes_AS_STRING(self->_buffer) + self->_used;
    self->_used += n;
    return p;
}

bool put_code(PackerObject* self, char code)
{
    char* p = grow(self, 1);
    if (p)
        *p = code;
    return p != nullptr;
}

void set_be32(char* p, int32_t v)
{
    auto u = static_cast<uint32_t>(v);
    p[0] = static_cast<char>(u >> 24);
    p[1] = static_cast<char>(u >> 16);
    p[2] = static_cast<char>(u >> 8);
    p[3] = static_cast<char>(u);
}

// A code followed by its length or count: the short form (one unsigned byte)
// up to 255, the long form (4 bytes) beyond.
bool put_sized(PackerObject* self, char short_code, char long_code, Py_ssize_t n, const char* what)
{
    auto len = pyglue::to_int_length(n);
    if (!len) {
        PyErr_Format(PyExc_OverflowError, "%s of %zd is too large to pack", what, n);
        return false;
    }
    bool is_short = *len <= 255;
    char* p = grow(self, is_short ? 2 : 5);
    if (!p)
        return false;
    p[0] = is_short ? short_code : long_code;
    if (is_short)
        p[1] = static_cast<char>(*len);
    else
        set_be32(p + 1, *len);
    return true;
}

bool pack_long(PackerObject* self, PyObject* v)
{
    size_t bits = _PyLong_NumBits(v);
    if (bits == static_cast<size_t>(-1) && PyErr_Occurred())
        return false;
    // One byte beyond the magnitude's bits holds the sign; a negative value
    // may need one byte less (-128 is 0x80).
    Py_ssize_t n = bits == 0 ? 0 : static_cast<Py_ssize_t>(bits / 8 + 1);
    Py_ssize_t start = self->_used;
    char* p = grow(self, 5 + n);
    if (!p)
        return false;
    auto* bytes = reinterpret_cast<unsigned char*>(p + 5);
    if (n && _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(v), bytes, n, 1, 1) < 0)
        return false;
    if (n > 1 && bytes[n - 1] == 0xff && (bytes[n - 2] & 0x80))
        --n;
    self->_used = start;
    if (!put_sized(self, 'L', 'M', n, "long byte count"))
        return false;
    char* dest = PyBytes_AS_STRING(self->_buffer) + self->_used;
    std::memmove(dest, bytes, n);
    self->_used += n;
    return true;
}

bool pack_int(PackerObject* self, long v)
{
    if (v < INT32_MIN || v > INT32_MAX) {
        Ref as_long = Ref::steal(PyLong_FromLong(v));
        return as_long && pack_long(self, as_long.get());
    }
    int width = v >= 0 && v <= 255 ? 1 : v >= -32768 && v <= 32767 ? 2 : 4;
    char* p = grow(self, 1 + width);
    if (!p)
        return false;
    auto u = static_cast<uint32_t>(static_cast<int32_t>(v));
    p[0] = width == 1 ? 'i' : width == 2 ? 'I' : 'l';
    for (int i = 0; i < width; ++i)
        p[1 + i] = static_cast<char>(u >> (8 * (width - 1 - i)));
    return true;
}

bool pack_float(PackerObject* self, double x)
{
    char* p = grow(self, 9);
    if (!p)
        return false;
    p[0] = 'f';
    return pyglue::float_pack8(x, p + 1) == 0;
}

bool pack_string(PackerObject* self, const char* s, Py_ssize_t n)
{
    if (n == 0)
        return put_code(self, '\'');
    if (!put_sized(self, 's', 'S', n, "str length"))
        return false;
    char* p = grow(self, n);
    if (p)
        std::memcpy(p, s, n);
    return p != nullptr;
}

// The globals of a pickle this module wrote, told apart by name: pack
// resolves none through the registry.
parcel::GlobalKind classify_written(const char* module, size_t module_len, const char* name,
                                    size_t name_len)
{
    return pyglue::names_byte_string_helper({module, module_len}, {name, name_len})
               ? parcel::GlobalKind::byte_string_helper
               : parcel::GlobalKind::object;
}

// What unpack would refuse of the pickle `data`, inside `depth` containers,
// pack refuses before it is stored: its depth (which counts the value's
// nesting inside the pickle) and its weight (which counts what the pickle
// shares at every place).
bool check_written(PyObject* data, int depth)
{
    parcel::PickleScanResult result;
    if (!scan_payload(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data), 0, depth, classify_written,
                      &result))
        return false;
    switch (result.outcome) {
    case parcel::PickleScanResult::admitted:
        return true;
    case parcel::PickleScanResult::too_deep:
        PyErr_Format(PyExc_ValueError, "value nested deeper than %d levels", MAX_DEPTH);
        return false;
    default: {
        // The scan's words without the offset, which means nothing here.
        const char* why = std::strstr(result.message.c_str(), "unfolds");
        PyErr_Format(PyExc_ValueError, "pickled value %s", why ? why : result.message.c_str());
        return false;
    }
    }
}

bool pack_pickle(PackerObject* self, PyObject* obj, int depth)
{
    Ref data = Ref::steal(pyglue::pickle_dumps(pickling, obj, 2));
    if (!data)
        return false;
    if (!PyBytes_Check(data.get())) {
        PyErr_Format(PyExc_TypeError, "pickle did not give a %s", PyBytes_Type.tp_name);
        return false;
    }
    if (!check_written(data.get(), depth))
        return false;
    Py_ssize_t n = PyBytes_GET_SIZE(data.get());
    auto len = pyglue::to_int_length(n);
    if (!len) {
        PyErr_Format(PyExc_OverflowError, "X payload of %zd bytes is too large to pack", n);
        return false;
    }
    char* p = grow(self, 5 + n);
    if (!p)
        return false;
    p[0] = 'X';
    set_be32(p + 1, *len);
    std::memcpy(p + 5, PyBytes_AS_STRING(data.get()), n);
    return true;
}

// A container whose elements are being packed.
struct PackLevel {
    PyObject* container;
    PyObject* value;  // a dict entry's value, packed after its key
    Py_ssize_t size;
    Py_ssize_t pos;   // next index, or the dict iteration position
    Py_ssize_t done;  // dict entries taken

    void clear()
    {
        Py_CLEAR(container);
        Py_CLEAR(value);
    }
};

using PackStack = OpenStack<PackLevel>;

bool changed_size(const char* what)
{
    PyErr_Format(PyExc_RuntimeError, "%s changed size during packing", what);
    return false;
}

// The innermost container's next element into `item`; a container that has
// none left is closed. A list or dict may change while its elements are
// packed (pickling an X element runs Python code), so sizes are checked.
bool next_item(PackStack& open, Ref& item)
{
    PackLevel& top = open.top();
    PyObject* c = top.container;
    if (PyTuple_CheckExact(c) && top.pos < top.size) {
        item = Ref::borrow(PyTuple_GET_ITEM(c, top.pos++));
    } else if (PyList_CheckExact(c)) {
        if (Py_SIZE(c) != top.size)
            return changed_size("list");
        if (top.pos < top.size)
            item = Ref::borrow(PyList_GET_ITEM(c, top.pos++));
    } else if (PyDict_CheckExact(c)) {
        PyObject *k, *v;
        if (top.value) {
            item = Ref::steal(top.value);
            top.value = nullptr;
        } else if (top.done < top.size && PyDict_Next(c, &top.pos, &k, &v)) {
            ++top.done;
            item = Ref::borrow(k);
            top.value = Ref::borrow(v).release();
        } else if (top.done != top.size || PyDict_Size(c) != top.size) {
            return changed_size("dict");
        }
    }
    if (!item)
        open.close();
    return true;
}

// Writes a tuple, list or dict's header and opens it, unless it is empty.
bool open_packing(PackerObject* self, PackStack& open, PyObject* obj)
{
    PyTypeObject* type = Py_TYPE(obj);
    const char* codes = type == &PyTuple_Type ? ")tT" : type == &PyList_Type ? "]cC" : "}dD";
    Py_ssize_t n = type == &PyDict_Type ? PyDict_Size(obj) : Py_SIZE(obj);
    if (n == 0)
        return put_code(self, codes[0]);
    if (open.depth() >= MAX_DEPTH) {
        PyErr_Format(PyExc_ValueError, "value nested deeper than %d levels", MAX_DEPTH);
        return false;
    }
    if (!put_sized(self, codes[1], codes[2], n, "count"))
        return false;
    return open.push(PackLevel{Ref::borrow(obj).release(), nullptr, n, 0, 0});
}

// Exact types only: a subclass goes under X, so that it comes back as itself.
// An int within a C long takes the int forms (beyond 32 bits pack_int hands
// it on as a long); Python 2's long, and Python 3's int beyond a C long,
// take the long forms.
bool pack_scalar(PackerObject* self, PyObject* obj, int depth)
{
    PyTypeObject* type = Py_TYPE(obj);
    long small;
    if (obj == Py_None)
        return put_code(self, 'N');
    if (type == &PyBool_Type)
        return put_code(self, obj == Py_True ? '1' : '0');
    if (pyglue::int_as_long(obj, &small))
        return pack_int(self, small);
    if (type == &PyLong_Type)
        return pack_long(self, obj);
    if (type == &PyFloat_Type)
        return pack_float(self, PyFloat_AS_DOUBLE(obj));
    if (type == &PyBytes_Type)
        return pack_string(self, PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    return pack_pickle(self, obj, depth);
}

bool pack_value(PackerObject* self, PyObject* obj)
{
    PackStack open;
    Ref item = Ref::borrow(obj);
    for (;;) {
        PyTypeObject* type = Py_TYPE(item.get());
        bool ok = type == &PyTuple_Type || type == &PyList_Type || type == &PyDict_Type
                      ? open_packing(self, open, item.get())
                      : pack_scalar(self, item.get(), open.depth());
        if (!ok)
            return false;
        item = Ref();
        while (!item) {
            if (open.depth() == 0)
                return true;
            if (!next_item(open, item))
                return false;
        }
    }
}

PyObject* packer_dumps(PackerObject* self, PyObject* value)
{
    if (self->_buffer) {
        PyErr_SetString(PyExc_RuntimeError, "Packer is already packing a value");
        return nullptr;
    }
    self->_buffer = PyBytes_FromStringAndSize(nullptr, 64);
    if (!self->_buffer)
        return nullptr;
    self->_used = 0;
    bool ok = pack_value(self, value);
    // The buffer may be gone already (a failed resize clears it).
    Ref buffer = Ref::steal(self->_buffer);
    self->_buffer = nullptr;
    if (!ok || !buffer)
        return nullptr;
    // The resize frees the string when it fails.
    PyObject* result = buffer.release();
    return _PyBytes_Resize(&result, self->_used) == 0 ? result : nullptr;
}

PackerVTable packer_vtable = {packer_dumps};

PyObject* new_packer(PyTypeObject* type)
{
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj)
        return nullptr;
    auto* self = reinterpret_cast<PackerObject*>(obj);
    self->__pyx_vtab = &packer_vtable;
    self->_buffer = nullptr;
    self->_used = 0;
    return obj;
}

PyObject* packer_new(PyTypeObject* type, PyObject* args, PyObject* kwds)
{
    if (!pyglue::bind_args("Packer", args, kwds, nullptr, 0, 0, nullptr))
        return nullptr;
    return new_packer(type);
}

void packer_dealloc(PyObject* obj)
{
    Py_CLEAR(reinterpret_cast<PackerObject*>(obj)->_buffer);
    Py_TYPE(obj)->tp_free(obj);
}

// ---------------------------------------------------------------------------
// Types

PyTypeObject UnpackerType = pyglue::make_type({
    "orvex.parcel.Unpacker",                // name
    sizeof(UnpackerObject),                 // basicsize
    0,                                      // extra_flags
    "Unpacker()\n\nA parcel reader for native modules, driven through its operation table.",
    unpacker_new,                           // new_func
    unpacker_dealloc,                       // dealloc
});
PyTypeObject PackerType = pyglue::make_type({
    "orvex.parcel.Packer",                  // name
    sizeof(PackerObject),                   // basicsize
    0,                                      // extra_flags
    "Packer()\n\nA parcel writer for native modules, driven through its operation table.",
    packer_new,                             // new_func
    packer_dealloc,                         // dealloc
});

// ---------------------------------------------------------------------------
// Module functions

PyObject* parcel_pack(PyObject*, PyObject* value)
{
    Ref packer = Ref::steal(new_packer(&PackerType));
    if (!packer)
        return nullptr;
    return packer_dumps(reinterpret_cast<PackerObject*>(packer.get()), value);
}

PyObject* parcel_unpack(PyObject*, PyObject* parcel_str)
{
    if (!PyBytes_Check(parcel_str)) {
        PyErr_Format(PyExc_TypeError, "unpack() argument must be %s, not %.200s",
                     PyBytes_Type.tp_name, Py_TYPE(parcel_str)->tp_name);
        return nullptr;
    }
    Ref reader = Ref::steal(new_unpacker(&UnpackerType));
    if (!reader)
        return nullptr;
    auto* self = reinterpret_cast<UnpackerObject*>(reader.get());
    Ref bound = Ref::steal(unpacker_load(self, parcel_str));
    if (!bound)
        return nullptr;
    return load_value(self);
}

PyObject* parcel_register(PyObject*, PyObject* cls)
{
    if (!pyglue::is_class(cls)) {
        PyErr_Format(PyExc_TypeError, "register() argument must be a class, not %.200s",
                     Py_TYPE(cls)->tp_name);
        return nullptr;
    }
    Ref module = Ref::steal(PyObject_GetAttrString(cls, "__module__"));
    Ref name = Ref::steal(module ? PyObject_GetAttrString(cls, "__name__") : nullptr);
    Ref key = Ref::steal(name ? PyTuple_Pack(2, module.get(), name.get()) : nullptr);
    if (!key || PyDict_SetItem(registry, key.get(), cls) < 0)
        return nullptr;
    Py_INCREF(cls);
    return cls;
}

// Resolves the globals of X payloads (pyglue/pickling.h): registered names only.
PyObject* parcel_find_global(PyObject*, PyObject* args)
{
    const char *module, *name;
    if (!PyArg_ParseTuple(args, "ss", &module, &name))
        return nullptr;
    PyObject* found = PyDict_GetItem(registry, args);
    if (found) {
        Py_INCREF(found);
        return found;
    }
    PyErr_Format(UnpackError,
                 "X payload refers to %s.%s, which is not registered with orvex.parcel.register()",
                 module, name);
    return nullptr;
}

PyMethodDef find_global_def = {"find_global", parcel_find_global, METH_VARARGS, nullptr};

PyMethodDef parcel_methods[] = {
    {"pack", parcel_pack, METH_O,
     "pack(value) -> bytes\n\nEncodes value as a parcel string, each code in its smallest form."},
    {"unpack", parcel_unpack, METH_O,
     "unpack(parcel) -> value\n\nDecodes the first value of a parcel string; bytes after it are "
     "ignored."},
    {"register", parcel_register, METH_O,
     "register(cls) -> cls\n\nAdmits cls in the pickles of X values that unpack reads."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Initialisation

PyObject* new_exception(const char* name, PyObject* bases, const char* doc)
{
    Ref dict = Ref::steal(Py_BuildValue("{s:s}", "__doc__", doc));
    return dict ? PyErr_NewException(const_cast<char*>(name), bases, dict.get()) : nullptr;
}

bool make_exceptions()
{
    if (UnpackError)
        return true;
    Ref unpack_error = Ref::steal(
        new_exception("orvex.parcel.UnpackError", PyExc_ValueError,
                      "A parcel is truncated or malformed."));
    Ref bases = Ref::steal(unpack_error ? PyTuple_Pack(2, unpack_error.get(), PyExc_KeyError)
                                        : nullptr);
    Ref key_error = Ref::steal(bases ? new_exception("orvex.parcel.UnpackKeyError", bases.get(),
                                                     "A parcel holds an unknown type code.")
                                     : nullptr);
    if (!key_error)
        return false;
    UnpackError = unpack_error.release();
    UnpackKeyError = key_error.release();
    return true;
}

bool init_pickling()
{
    if (registry)
        return true;
    Ref table = Ref::steal(PyDict_New());
    Ref finder = Ref::steal(PyCFunction_New(&find_global_def, nullptr));
    if (!table || !finder || !pyglue::admit_pickle_helpers(pickling, table.get()) ||
        !pyglue::init_pickle_codec(pickling, finder.get(), MODULE_NAME))
        return false;
    registry = table.release();
    return true;
}

bool add(PyObject* module, const char* name, PyObject* obj)
{
    return PyDict_SetItemString(PyModule_GetDict(module), name, obj) == 0;
}

bool init_module(PyObject* module)
{
    if (PyType_Ready(&UnpackerType) < 0 || PyType_Ready(&PackerType) < 0 ||
        !pyglue::set_vtable(&UnpackerType, &unpacker_vtable) ||
        !pyglue::set_vtable(&PackerType, &packer_vtable) || !make_exceptions() || !init_pickling())
        return false;
    Ref max_depth = Ref::steal(pyglue::int_from_long(MAX_DEPTH));
    return max_depth && add(module, "Unpacker", reinterpret_cast<PyObject*>(&UnpackerType)) &&
           add(module, "Packer", reinterpret_cast<PyObject*>(&PackerType)) &&
           add(module, "UnpackError", UnpackError) && add(module, "UnpackKeyError", UnpackKeyError) &&
           add(module, "MAX_DEPTH", max_depth.get());
}

}  // namespace

namespace {

pyglue::ModuleDef module_def(
    MODULE_NAME,
    "Parcel strings: one value per string, packed with pack() and read back with unpack() or "
    "natively through Unpacker's operation table.",
    parcel_methods);

}  // namespace

PYGLUE_MODULE(parcel, module_def, init_module)
