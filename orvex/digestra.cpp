// orvex.digestra: Python 2's hash of the value a parcel string holds,
// computed from the parcel bytes through orvex.parcel's native reader. Only
// longs and floats become objects (pyglue::py2_hash hashes them);
// everything else is hashed from C values and bytes in place.
#include <Python.h>

#include <cstdint>

#include "orvex/digestra.h"
#include "orvex/parcel.h"
#include "pyglue/errors.h"
#include "pyglue/imports.h"
#include "pyglue/lease.h"
#include "pyglue/module.h"
#include "pyglue/py2hash.h"
#include "pyglue/ref.h"
#include "pyglue/stack.h"
#include "pyglue/traceback.h"
#include "pyglue/type.h"

using digestra::DigestraObject;
using digestra::DigestraVTable;
using parcel::UnpackerObject;
using pyglue::keep;
using pyglue::Ref;

namespace {

const char* const module_name = "orvex.digestra";

// Owned for the life of the interpreter once the import has run. Both reader
// types are bound with their tables so that a mismatched orvex.parcel fails
// the import; the hashing itself calls each reader through its own table.
PyObject* not_implemented_error;
PyTypeObject* packer_type;
PyTypeObject* unpacker_type;
parcel::PackerVTable* packer_vtable;
parcel::UnpackerVTable* unpacker_vtable;
// The instance behind hash() and case_hash(); those are bound only once it exists.
DigestraObject* _digestra_singleton;

constexpr std::uint64_t tuple_seed = 0x345678;
constexpr std::uint64_t multiplier = 1000003;

// Low 32 bits as a signed int; -1 is reserved for failure.
inline int narrow(std::int64_t h)
{
    auto r = static_cast<std::int32_t>(static_cast<std::uint32_t>(h));
    return r == -1 ? -2 : r;
}

inline std::uint64_t widen(int h)
{
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(h));
}

inline int tuple_result(std::uint64_t x, int t_len)
{
    auto h = static_cast<std::int64_t>(x ^ widen(t_len));
    return narrow(h == -1 ? -2 : h);
}

template <bool fold>
inline std::uint64_t string_mix(const unsigned char* p, int len)
{
    auto byte = [](unsigned char c) -> std::uint64_t {
        return fold && static_cast<unsigned>(c - 'A') < 26u ? c + 32 : c;
    };
    // Wrapping arithmetic is done unsigned: signed overflow would be undefined.
    std::uint64_t x = byte(p[0]) << 7;
    for (int i = 0; i < len; ++i)
        x = (x * multiplier) ^ byte(p[i]);
    return x;
}

// String hash of s_len bytes, 64 bits wide; with case_sensitive 0 the bytes
// 'A'..'Z' count as 'a'..'z'. Never -1.
std::int64_t _hash_string(const char* s, int s_len, int case_sensitive)
{
    std::uint64_t x = 0;
    if (s_len > 0) {
        auto p = reinterpret_cast<const unsigned char*>(s);
        x = case_sensitive ? string_mix<false>(p, s_len) : string_mix<true>(p, s_len);
    }
    auto h = static_cast<std::int64_t>(x ^ widen(s_len));
    return h == -1 ? -2 : h;
}

// A tuple whose elements are still being read: the mix so far, how many
// elements are left and the count it was announced with.
struct Frame {
    std::uint64_t x;
    int remaining;
    int t_len;
};

int fail_value()
{
    PYGLUE_TRACE("orvex.digestra.Digestra._hash");
    return -1;
}

// An int read gives -1 both for the value and for a failure.
inline int int_hash(int v)
{
    if (v != -1)
        return v;
    return PyErr_Occurred() ? fail_value() : -2;
}

int object_hash(PyObject* loaded)
{
    Ref obj = Ref::steal(loaded);
    if (!obj)
        return fail_value();
    long h = pyglue::py2_hash(obj.get());
    return h == -1 ? fail_value() : narrow(h);
}

using StringReader = int (*)(UnpackerObject*, const char**, int*);

int string_hash(DigestraObject* self, UnpackerObject* a, StringReader read)
{
    const char* s;
    int len;
    if (read(a, &s, &len) == -1)
        return fail_value();
    return narrow(_hash_string(s, len, self->_case_sensitive));
}

// A tuple's count: an empty tuple is hashed at once, else *t_len takes the count.
inline int tuple_head(int count, int* t_len)
{
    if (count == -1 && PyErr_Occurred())
        return fail_value();
    if (count <= 0)
        return tuple_result(tuple_seed, count);
    *t_len = count;
    return 0;
}

// Takes the next value. Gives its hash, or -1 on failure; a tuple with
// elements instead sets *t_len to its count (else 0), its elements next.
// Inline: this is the per-element step of every tuple.
inline int take_value(DigestraObject* self, UnpackerObject* a, int* t_len)
{
    parcel::UnpackerVTable* r = a->__pyx_vtab;
    *t_len = 0;
    const char* code = r->_look(a, 1);
    if (!code)
        return fail_value();
    switch (*code) {
    case 'N':
        return narrow(reinterpret_cast<std::intptr_t>(Py_None));
    case '0':
    case '\'':
        return 0;
    case '1':
        return 1;
    case ')':
        return tuple_result(tuple_seed, 0);
    case 'i':
        return int_hash(r->_read_short_int(a));
    case 'I':
        return int_hash(r->_read_medium_int(a));
    case 'l':
        return int_hash(r->_read_int32(a));
    case 'L':
        return object_hash(r->_load_short_long(a));
    case 'M':
        return object_hash(r->_load_long_long(a));
    case 'f':
        return object_hash(r->_load_float(a));
    case 's':
        return string_hash(self, a, r->_read_short_string);
    case 'S':
        return string_hash(self, a, r->_read_long_string);
    case 't':
        return tuple_head(r->_read_short_int(a), t_len);
    case 'T':
        return tuple_head(parcel::read_count32(a), t_len);
    case ']':
    case 'c':
    case 'C':
    case '}':
    case 'd':
    case 'D':
    case 'X':
        PyErr_SetNone(not_implemented_error);
        return fail_value();
    default:
        parcel::raise_unpack_key_error(*code);
        return fail_value();
    }
}

// Tuple hash of the next t_len (> 0) values. Tuples nested in them wait in
// `outer`, not on the C stack, so any depth a parcel can hold is hashed on
// any thread, with the results of hashing each tuple's elements in turn.
int hash_elements(DigestraObject* self, UnpackerObject* a, int t_len)
{
    pyglue::Stack<Frame> outer;  // enclosing tuples, innermost last
    Frame current{tuple_seed, t_len, t_len};
    for (;;) {
        int inner_len;
        int h = take_value(self, a, &inner_len);
        if (h == -1)
            return -1;
        if (inner_len > 0) {
            if (!outer.push(current))
                return fail_value();
            current = Frame{tuple_seed, inner_len, inner_len};
            continue;
        }
        // A value that completes its tuple completes a value of the one around it.
        current.x = (current.x * multiplier) ^ widen(h);
        while (--current.remaining == 0) {
            h = tuple_result(current.x, current.t_len);
            if (outer.empty())
                return h;
            current = outer.top();
            outer.pop();
            current.x = (current.x * multiplier) ^ widen(h);
        }
    }
}

// Operation table slots. A failure inside nested tuples adds one entry for
// the nesting however deep it was: an entry per level would cost memory in
// proportion to the depth.

int Digestra__hash(DigestraObject* self, UnpackerObject* a)
{
    int t_len;
    int h = take_value(self, a, &t_len);
    if (t_len > 0) {
        h = self->__pyx_vtab->_hash_tuple(self, t_len, a);
        if (h == -1)
            PYGLUE_TRACE("orvex.digestra.Digestra._hash");
    }
    return h;
}

int Digestra__hash_tuple(DigestraObject* self, int t_len, UnpackerObject* a)
{
    if (t_len <= 0)
        return tuple_result(tuple_seed, t_len);
    int h = hash_elements(self, a, t_len);
    if (h == -1)
        PYGLUE_TRACE("orvex.digestra.Digestra._hash_tuple");
    return h;
}

// The top level: the loaded string or bytes are only bound, never looked at here.
int hash_loaded(DigestraObject* self, PyObject* loaded, int case_sensitive)
{
    Ref bound = Ref::steal(loaded);
    if (!bound)
        return -1;
    self->_case_sensitive = case_sensitive;
    return self->__pyx_vtab->_hash(self, self->u_a);
}

PyObject* fresh_digestra();

// Each entry leases its instance before it binds the reader (see digestra.h).
int Digestra_hash(DigestraObject* self, PyObject* a, int case_sensitive)
{
    pyglue::Lease<DigestraObject> lease(self, fresh_digestra);
    int h = -1;
    if (lease) {
        UnpackerObject* u = lease.get()->u_a;
        h = hash_loaded(lease.get(), u->__pyx_vtab->load(u, a), case_sensitive);
    }
    if (h == -1)
        PYGLUE_TRACE("orvex.digestra.Digestra.hash");
    return h;
}

int Digestra_hash_c_str(DigestraObject* self, const char* a, int a_len, int case_sensitive)
{
    pyglue::Lease<DigestraObject> lease(self, fresh_digestra);
    int h = -1;
    if (lease) {
        UnpackerObject* u = lease.get()->u_a;
        h = hash_loaded(lease.get(), u->__pyx_vtab->load_c_str(u, a, a_len), case_sensitive);
    }
    if (h == -1)
        PYGLUE_TRACE("orvex.digestra.Digestra.hash_c_str");
    return h;
}

DigestraVTable digestra_vtable = {
    Digestra_hash,
    Digestra_hash_c_str,
    Digestra__hash,
    Digestra__hash_tuple,
};

// The Digestra type.

PyObject* Digestra_new(PyTypeObject* type, PyObject*, PyObject*)
{
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    auto d = reinterpret_cast<DigestraObject*>(self.get());
    d->__pyx_vtab = &digestra_vtable;
    d->u_a = reinterpret_cast<UnpackerObject*>(
        PyObject_CallObject(reinterpret_cast<PyObject*>(unpacker_type), nullptr));
    if (!d->u_a)
        return nullptr;
    return self.release();
}

int Digestra_traverse(PyObject* o, visitproc visit, void* arg)
{
    Py_VISIT(reinterpret_cast<DigestraObject*>(o)->u_a);
    return 0;
}

int Digestra_clear(PyObject* o)
{
    Py_CLEAR(reinterpret_cast<DigestraObject*>(o)->u_a);
    return 0;
}

void Digestra_dealloc(PyObject* o)
{
    PyObject_GC_UnTrack(o);
    Digestra_clear(o);
    Py_TYPE(o)->tp_free(o);
}

PyTypeObject Digestra_Type = pyglue::make_type({
    "orvex.digestra.Digestra",              // name
    sizeof(DigestraObject),                 // basicsize
    Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,  // extra_flags
    nullptr,                                // doc
    Digestra_new,                           // new_func
    Digestra_dealloc,                       // dealloc
    nullptr,                                // methods
    Digestra_traverse,                      // traverse
    Digestra_clear,                         // clear
});

// A hasher of the base type for a call that found its instance busy.
PyObject* fresh_digestra()
{
    return Digestra_new(&Digestra_Type, nullptr, nullptr);
}

// Module functions.

PyObject* result_or_trace(int h, const char* qualname, int line)
{
    if (h == -1) {
        pyglue::add_traceback(qualname, __FILE__, line);
        return nullptr;
    }
    return pyglue::int_from_long(h);
}

PyObject* module_hash(PyObject*, PyObject* a)
{
    int h = _digestra_singleton->__pyx_vtab->hash(_digestra_singleton, a, 1);
    return result_or_trace(h, "orvex.digestra.hash", __LINE__);
}

PyObject* module_case_hash(PyObject*, PyObject* a)
{
    int h = _digestra_singleton->__pyx_vtab->hash(_digestra_singleton, a, 0);
    return result_or_trace(h, "orvex.digestra.case_hash", __LINE__);
}

PyMethodDef module_methods[] = {
    {"hash", module_hash, METH_O,
     "Hash a parcel string.\n\n    :Parameters:\n        - `a`: A parcel string.\n\n"
     "    :Return:\n        Returns the hash of the string as an integer.\n    "},
    {"case_hash", module_case_hash, METH_O,
     "Hash a parcel string case-insensitively.\n\n    :Parameters:\n"
     "        - `a`: A parcel string.\n\n    :Return:\n"
     "        Returns the hash of the string as an integer.\n    "},
    {nullptr, nullptr, 0, nullptr},
};

const char module_doc[] =
    "Parcel hash routines.\n\nThis module implements a `hash` function that can be used to hash "
    "a parcel\nstring. It uses hashing routines identical to Python.  It also supports\n"
    "case-insensitive string hashing by treating all strings as lowercase with\nthe "
    "`case_hash` function.\n";

// Import steps.

bool add_digestra_type(PyObject* module)
{
    if (PyType_Ready(&Digestra_Type) < 0 || !pyglue::set_vtable(&Digestra_Type, &digestra_vtable))
        return false;
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(&Digestra_Type));
    return PyModule_AddObject(module, "Digestra", type.release()) == 0;
}

bool init_module(PyObject* module)
{
    if (!keep(&not_implemented_error, pyglue::get_builtin("NotImplementedError")) ||
        !add_digestra_type(module))
        return false;
    if (!pyglue::import_type_with_vtable("orvex.parcel", "Packer", sizeof(parcel::PackerObject),
                                         packer_type, packer_vtable) ||
        !pyglue::import_type_with_vtable("orvex.parcel", "Unpacker", sizeof(UnpackerObject),
                                         unpacker_type, unpacker_vtable))
        return false;
    // Made once: an init run again mid-call must not free the instance the call uses.
    if (!_digestra_singleton &&
        !keep(&_digestra_singleton,
              PyObject_CallObject(reinterpret_cast<PyObject*>(&Digestra_Type), nullptr)))
        return false;
    if (!pyglue::add_functions(module, module_methods, module_name))
        return false;
    Ref test = Ref::steal(PyDict_New());
    return test && PyModule_AddObject(module, "__test__", test.release()) == 0;
}

}  // namespace

namespace {

pyglue::ModuleDef module_def(module_name, module_doc, nullptr);

}  // namespace

PYGLUE_MODULE(digestra, module_def, init_module)
