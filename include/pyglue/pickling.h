// Pickles for values that have no native form: the interpreter's fast
// pickler, and an unpickler whose every global comes through a finder of the
// caller's, so that bytes from outside reach no other callable. The rest of
// a module sees init_pickle_codec, admit_pickle_helpers, pickle_dumps and
// pickle_loads; what differs is in the two detail sections below.
// - Python 2: cPickle over cStringIO, the finder set as find_global.
// - Python 3: a subclass of pickle.Unpickler whose find_class renames the
//   Python 2 names of pickles at protocols 0 to 2 (copy_reg, __builtin__...)
//   as the stock unpickler does, then asks the finder; so the finder always
//   sees the names this interpreter knows the globals by. Payloads are held
//   to what Python 2 reads (admit_payload).
#pragma once
#include <Python.h>

#include <cstring>

#include "pyglue/compat.h"
#include "pyglue/ref.h"

namespace pyglue {

// Filled once by init_pickle_codec and kept for the process.
struct PickleCodec {
    PyObject* dumps = nullptr;      // dumps(value, protocol) -> bytes
    PyObject* unpickler = nullptr;  // unpickler(stream)
    PyObject* stream = nullptr;     // stream(bytes): a file over the bytes
    PyObject* finder = nullptr;     // finder(module, name) -> the global, or raises
};

namespace detail {

inline PyObject* import_attr(const char* module_name, const char* attr)
{
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    return module ? PyObject_GetAttrString(module.get(), attr) : nullptr;
}

// Adds (module, name) -> obj to `table`, stealing obj.
inline bool admit(PyObject* table, const char* module_name, const char* name, PyObject* obj)
{
    Ref owned = Ref::steal(obj);
    Ref key = Ref::steal(owned ? Py_BuildValue("(ss)", module_name, name) : nullptr);
    return key && PyDict_SetItem(table, key.get(), owned.get()) == 0;
}

inline bool admit_import(PyObject* table, const char* module_name, const char* name)
{
    return admit(table, module_name, name, import_attr(module_name, name));
}

}  // namespace detail

#if PYGLUE_PY3

namespace detail {

constexpr char pickle_module[] = "pickle";
constexpr char copyreg_module[] = "copyreg";
constexpr char stream_module[] = "io";
constexpr char stream_class[] = "BytesIO";

// find_class(module, name) of the unpickler; `self` is (finder, NAME_MAPPING,
// IMPORT_MAPPING) of _compat_pickle. The stock find_class renames only below
// protocol 3, but no pickle names a Python 2 module on purpose otherwise.
inline PyObject* find_class(PyObject* self, PyObject* args)
{
    PyObject *module, *name;
    if (!PyArg_UnpackTuple(args, "find_class", 2, 2, &module, &name))
        return nullptr;
    Ref key = Ref::steal(PyTuple_Pack(2, module, name));
    if (!key)
        return nullptr;
    PyObject* renamed = PyDict_GetItemWithError(PyTuple_GET_ITEM(self, 1), key.get());
    if (renamed) {
        key = Ref::borrow(renamed);
    } else if (!PyErr_Occurred()) {
        PyObject* new_module = PyDict_GetItemWithError(PyTuple_GET_ITEM(self, 2), module);
        if (new_module)
            key = Ref::steal(PyTuple_Pack(2, new_module, name));
    }
    if (!key || PyErr_Occurred())
        return nullptr;
    return PyObject_Call(PyTuple_GET_ITEM(self, 0), key.get(), nullptr);
}

inline PyMethodDef find_class_def = {"find_class", find_class, METH_VARARGS, nullptr};

// The unpickler class: pickle's, with find_class going to `finder`.
// `owner` (a dotted module name) becomes its __module__.
inline PyObject* unpickler_class(PyObject* finder, const char* owner)
{
    Ref base = Ref::steal(import_attr(pickle_module, "Unpickler"));
    Ref names = Ref::steal(import_attr("_compat_pickle", "NAME_MAPPING"));
    Ref modules = Ref::steal(import_attr("_compat_pickle", "IMPORT_MAPPING"));
    Ref state = Ref::steal(base && names && modules
                               ? PyTuple_Pack(3, finder, names.get(), modules.get())
                               : nullptr);
    Ref find = Ref::steal(state ? PyCFunction_New(&find_class_def, state.get()) : nullptr);
    // A built-in function in the class dict is not bound to the instance: the
    // unpickler calls it as find_class(module, name).
    return find ? PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){sOss}",
                                        "Unpickler", base.get(), "find_class", find.get(),
                                        "__module__", owner)
                : nullptr;
}

// The class already routes globals through the finder.
inline bool restrict(PyObject*, const PickleCodec&) { return true; }

// Python 3 pickles a byte string at protocols 0 to 2 as
// _codecs.encode(text, "latin1"), or bytes() when empty. These stand-ins
// build exactly that: the real ones would reach any codec, or allocate
// whatever size a pickle asks for.
inline PyObject* bytes_from_latin1(PyObject*, PyObject* args)
{
    PyObject* text;
    const char* encoding;
    if (!PyArg_ParseTuple(args, "Us:encode", &text, &encoding))
        return nullptr;
    if (std::strcmp(encoding, "latin1") != 0) {
        PyErr_Format(PyExc_ValueError, "a pickled byte string must be latin1 text, not %.100s",
                     encoding);
        return nullptr;
    }
    return PyUnicode_AsLatin1String(text);
}

inline PyObject* empty_bytes(PyObject*, PyObject* args)
{
    if (!PyArg_ParseTuple(args, ":bytes"))
        return nullptr;
    return PyBytes_FromStringAndSize("", 0);
}

inline PyMethodDef bytes_from_latin1_def = {"encode", bytes_from_latin1, METH_VARARGS, nullptr};
inline PyMethodDef empty_bytes_def = {"bytes", empty_bytes, METH_VARARGS, nullptr};

inline bool admit_byte_string_helpers(PyObject* table)
{
    return admit(table, "_codecs", "encode", PyCFunction_New(&bytes_from_latin1_def, nullptr)) &&
           admit(table, builtins_module, "bytes", PyCFunction_New(&empty_bytes_def, nullptr));
}

// What follows each opcode of pickle protocols 0 to 2 (invalid: any other).
enum class Arg : unsigned char { invalid, none, line, two_lines, fixed, counted };

struct OpcodeArg {
    Arg kind;
    unsigned char size;  // bytes of a fixed argument, or of a count
};

inline OpcodeArg opcode_arg(unsigned char op)
{
    switch (op) {
    case '(': case '.': case '0': case '1': case '2': case 'N': case 'R': case 'Q': case 'a':
    case 'b': case 'd': case 'e': case 'l': case 'o': case 's': case 't': case 'u': case ']':
    case '}': case ')': case 0x81: case 0x85: case 0x86: case 0x87: case 0x88: case 0x89:
        return {Arg::none, 0};
    case 'F': case 'I': case 'L': case 'P': case 'S': case 'V': case 'g': case 'p':
        return {Arg::line, 0};
    case 'c': case 'i':
        return {Arg::two_lines, 0};
    case 'K': case 'h': case 'q': case 0x80: case 0x82:
        return {Arg::fixed, 1};
    case 'M': case 0x83:
        return {Arg::fixed, 2};
    case 'J': case 'j': case 'r': case 0x84:
        return {Arg::fixed, 4};
    case 'G':
        return {Arg::fixed, 8};
    case 'U': case 0x8a:
        return {Arg::counted, 1};
    case 'T': case 'X': case 0x8b:
        return {Arg::counted, 4};
    default:
        return {Arg::invalid, 0};
    }
}

inline size_t read_le(const unsigned char* p, int size)
{
    size_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

// Bytes of the argument at `p` (n bytes left), or -1 when they run past
// the end.
inline Py_ssize_t arg_size(OpcodeArg arg, const unsigned char* p, Py_ssize_t n)
{
    const void* end;
    switch (arg.kind) {
    case Arg::line:
        end = std::memchr(p, '\n', n);
        return end ? static_cast<const unsigned char*>(end) - p + 1 : -1;
    case Arg::two_lines:
        end = std::memchr(p, '\n', n);
        end = end ? std::memchr(static_cast<const unsigned char*>(end) + 1, '\n',
                                p + n - static_cast<const unsigned char*>(end) - 1)
                  : nullptr;
        return end ? static_cast<const unsigned char*>(end) - p + 1 : -1;
    case Arg::fixed:
        return arg.size <= n ? arg.size : -1;
    case Arg::counted:
        if (arg.size > n || read_le(p, arg.size) > static_cast<size_t>(n - arg.size))
            return -1;
        return arg.size + static_cast<Py_ssize_t>(read_le(p, arg.size));
    default:
        return 0;
    }
}

// The memo slot a PUT names (q: a byte, r: four, p: a decimal line), or 0;
// a slot above `cap` may come back as any value above it. The line's
// digits are taken whatever stands between them: the unpickler also reads
// signs, spaces and underscores, and refuses what is not a number.
inline size_t memo_slot(unsigned char op, const unsigned char* p, Py_ssize_t size, size_t cap)
{
    if (op == 'q')
        return p[0];
    if (op == 'r')
        return read_le(p, 4);
    size_t slot = 0;
    for (Py_ssize_t i = 0; op == 'p' && i < size && slot <= cap; ++i)
        if (p[i] >= '0' && p[i] <= '9')
            slot = slot * 10 + (p[i] - '0');
    return slot;
}

inline bool refuse_pickle(const char* message)
{
    Ref error = Ref::steal(import_attr("pickle", "UnpicklingError"));
    if (error)
        PyErr_SetString(error.get(), message);
    return false;
}

// Python 3's unpickler reads more than Python 2's: the opcodes of protocols
// 3 and later, some of which allocate whatever size they state before
// reading it; and its memo is an array, grown and zero-filled up to the slot
// a PUT names, so a few bytes could claim gigabytes. A payload is therefore
// held to protocols 0 to 2, and to memo slots below its own length (a
// pickler numbers them from 0 or 1, one per PUT). Truncations are left to
// the unpickler to report.
inline bool admit_payload(const char* data, Py_ssize_t n)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    char message[120];
    Py_ssize_t at = 0;
    while (at < n) {
        unsigned char op = p[at];
        OpcodeArg arg = opcode_arg(op);
        if (arg.kind == Arg::invalid) {
            PyOS_snprintf(message, sizeof message,
                          "opcode 0x%02x at %zd is not of pickle protocols 0 to 2", op, at);
            return refuse_pickle(message);
        }
        Py_ssize_t size = arg_size(arg, p + at + 1, n - at - 1);
        if (size < 0 || op == '.')
            return true;
        if (op == 0x80 && p[at + 1] > 2) {
            PyOS_snprintf(message, sizeof message, "protocol %d at %zd is not one of 0 to 2",
                          p[at + 1], at);
            return refuse_pickle(message);
        }
        size_t slot = memo_slot(op, p + at + 1, size, static_cast<size_t>(n));
        if (slot >= static_cast<size_t>(n)) {
            PyOS_snprintf(message, sizeof message,
                          "memo slot at %zd is beyond the payload's %zd bytes", at, n);
            return refuse_pickle(message);
        }
        at += 1 + size;
    }
    return true;
}

}  // namespace detail

#else

namespace detail {

constexpr char pickle_module[] = "cPickle";
constexpr char copyreg_module[] = "copy_reg";
constexpr char stream_module[] = "cStringIO";
constexpr char stream_class[] = "StringIO";

// cPickle's unpickler takes the finder per instance (see restrict).
inline PyObject* unpickler_class(PyObject*, const char*)
{
    return import_attr(pickle_module, "Unpickler");
}

inline bool restrict(PyObject* unpickler, const PickleCodec& codec)
{
    return PyObject_SetAttrString(unpickler, "find_global", codec.finder) == 0;
}

// Python 2 pickles a byte string without a global.
inline bool admit_byte_string_helpers(PyObject*) { return true; }

// cPickle reads protocols 0 to 2 only, and keeps its memo in a dict.
inline bool admit_payload(const char*, Py_ssize_t) { return true; }

}  // namespace detail

#endif

// Fills `codec`; `owner` (a dotted module name) names the unpickler class
// where there is one of this module's own.
inline bool init_pickle_codec(PickleCodec& codec, PyObject* finder, const char* owner)
{
    Ref dumps = Ref::steal(detail::import_attr(detail::pickle_module, "dumps"));
    Ref unpickler = Ref::steal(detail::unpickler_class(finder, owner));
    Ref stream = Ref::steal(detail::import_attr(detail::stream_module, detail::stream_class));
    if (!dumps || !unpickler || !stream)
        return false;
    codec.dumps = dumps.release();
    codec.unpickler = unpickler.release();
    codec.stream = stream.release();
    codec.finder = Ref::borrow(finder).release();
    return true;
}

// Adds to `table` ((module, name) -> object) the globals with which pickles
// rebuild instances and (on 3) byte strings. They construct nothing but the
// classes they are handed, which come from `table` too, and byte strings.
inline bool admit_pickle_helpers(PyObject* table)
{
    return detail::admit_import(table, detail::copyreg_module, "_reconstructor") &&
           detail::admit_import(table, detail::copyreg_module, "__newobj__") &&
           detail::admit_import(table, builtins_module, "object") &&
           detail::admit_byte_string_helpers(table);
}

inline PyObject* pickle_dumps(const PickleCodec& codec, PyObject* value, int protocol)
{
    return PyObject_CallFunction(codec.dumps, const_cast<char*>("Oi"), value, protocol);
}

// Unpickles `data` (n bytes) with every global resolved by the finder.
inline PyObject* pickle_loads(const PickleCodec& codec, const char* data, Py_ssize_t n)
{
    if (!detail::admit_payload(data, n))
        return nullptr;
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(data, n));
    Ref stream = Ref::steal(bytes ? PyObject_CallFunctionObjArgs(codec.stream, bytes.get(), nullptr)
                                  : nullptr);
    Ref unpickler = Ref::steal(
        stream ? PyObject_CallFunctionObjArgs(codec.unpickler, stream.get(), nullptr) : nullptr);
    if (!unpickler || !detail::restrict(unpickler.get(), codec))
        return nullptr;
    return PyObject_CallMethod(unpickler.get(), const_cast<char*>("load"), nullptr);
}

}  // namespace pyglue
