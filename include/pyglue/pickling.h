// Pickles for values that have no native form: the interpreter's fast
// pickler, and an unpickler whose every global comes through a finder of the
// caller's, so that bytes from outside reach no other callable. The rest of
// a module sees init_pickle_codec, admit_pickle_helpers, resolve_global,
// pickle_dumps and pickle_loads; what differs is in the two detail sections
// below.
// - Python 2: cPickle over cStringIO, the finder set as find_global.
// - Python 3: a subclass of pickle.Unpickler whose find_class renames the
//   Python 2 names of pickles at protocols 0 to 2 (copy_reg, __builtin__...)
//   as the stock unpickler does, then asks the finder; so the finder always
//   sees the names this interpreter knows the globals by.
// Both admit the two globals with which Python 3 pickles a byte string at
// protocol 2, as stand-ins that build exactly that.
#pragma once
#include <Python.h>

#include <cstring>
#include <string_view>

#include "pyglue/compat.h"
#include "pyglue/ref.h"

namespace pyglue {

// Filled once by init_pickle_codec and kept for the process.
struct PickleCodec {
    PyObject* dumps = nullptr;      // dumps(value, protocol) -> bytes
    PyObject* unpickler = nullptr;  // unpickler(stream)
    PyObject* stream = nullptr;     // stream(bytes): a file over the bytes
    PyObject* finder = nullptr;     // finder(module, name) -> the global, or raises
    PyObject* resolver = nullptr;   // what resolve_global calls: the finder, or its renamer
    PyObject* byte_string_helpers[2] = {nullptr, nullptr};
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
// `owner` (a dotted module name) becomes its __module__. `*resolver` gets
// find_class itself, which renames and then asks the finder.
inline PyObject* unpickler_class(PyObject* finder, const char* owner, PyObject** resolver)
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
    PyObject* cls = find ? PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type),
                                                 "s(O){sOss}", "Unpickler", base.get(), "find_class",
                                                 find.get(), "__module__", owner)
                         : nullptr;
    if (cls)
        *resolver = find.release();
    return cls;
}

// The class already routes globals through the finder.
inline bool restrict(PyObject*, const PickleCodec&) { return true; }

}  // namespace detail

#else

namespace detail {

constexpr char pickle_module[] = "cPickle";
constexpr char copyreg_module[] = "copy_reg";
constexpr char stream_module[] = "cStringIO";
constexpr char stream_class[] = "StringIO";

// cPickle's unpickler takes the finder per instance (see restrict), and
// names globals as Python 2 knows them: the finder resolves them itself.
inline PyObject* unpickler_class(PyObject* finder, const char*, PyObject** resolver)
{
    PyObject* cls = import_attr(pickle_module, "Unpickler");
    if (cls)
        *resolver = Ref::borrow(finder).release();
    return cls;
}

inline bool restrict(PyObject* unpickler, const PickleCodec& codec)
{
    return PyObject_SetAttrString(unpickler, "find_global", codec.finder) == 0;
}

}  // namespace detail

#endif

namespace detail {

inline PyObject* latin1_bytes(PyObject* text)
{
#if PYGLUE_PY3
    return PyUnicode_AsLatin1String(text);
#else
    // The method, not the C call: the Python 2 build names no unicode symbol,
    // whose names differ between narrow and wide builds.
    return PyObject_CallMethod(text, const_cast<char*>("encode"), const_cast<char*>("s"), "latin1");
#endif
}

// Python 3 pickles a byte string at protocols 0 to 2 as
// _codecs.encode(text, "latin1"), or bytes() when empty. These stand-ins
// build exactly that: the real ones would reach any codec, or allocate
// whatever size a pickle asks for. Python 2 admits them too, so that both
// read such a pickle alike.
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
    return latin1_bytes(text);
}

inline PyObject* empty_bytes(PyObject*, PyObject* args)
{
    if (!PyArg_ParseTuple(args, ":bytes"))
        return nullptr;
    return PyBytes_FromStringAndSize("", 0);
}

inline PyMethodDef bytes_from_latin1_def = {"encode", bytes_from_latin1, METH_VARARGS, nullptr};
inline PyMethodDef empty_bytes_def = {"bytes", empty_bytes, METH_VARARGS, nullptr};

// The module of the first stand-in, and of the second as pickles write it at
// protocols 0 to 2 (Python 3 reads it as builtins_module).
constexpr char codecs_module[] = "_codecs";
constexpr char written_builtins_module[] = "__builtin__";

inline bool admit_byte_string_helpers(PickleCodec& codec, PyObject* table)
{
    Ref encode = Ref::steal(PyCFunction_New(&bytes_from_latin1_def, nullptr));
    Ref bytes = Ref::steal(encode ? PyCFunction_New(&empty_bytes_def, nullptr) : nullptr);
    if (!bytes || !admit(table, codecs_module, "encode", Ref::borrow(encode.get()).release()) ||
        !admit(table, builtins_module, "bytes", Ref::borrow(bytes.get()).release()))
        return false;
    codec.byte_string_helpers[0] = encode.release();
    codec.byte_string_helpers[1] = bytes.release();
    return true;
}

}  // namespace detail

// Fills `codec`; `owner` (a dotted module name) names the unpickler class
// where there is one of this module's own.
inline bool init_pickle_codec(PickleCodec& codec, PyObject* finder, const char* owner)
{
    Ref dumps = Ref::steal(detail::import_attr(detail::pickle_module, "dumps"));
    PyObject* resolver = nullptr;
    Ref unpickler = Ref::steal(detail::unpickler_class(finder, owner, &resolver));
    Ref stream = Ref::steal(detail::import_attr(detail::stream_module, detail::stream_class));
    if (!dumps || !unpickler || !stream)
        return false;
    codec.dumps = dumps.release();
    codec.unpickler = unpickler.release();
    codec.stream = stream.release();
    codec.finder = Ref::borrow(finder).release();
    codec.resolver = resolver;
    return true;
}

// Adds to `table` ((module, name) -> object) the globals with which pickles
// rebuild instances and byte strings. They construct nothing but the classes
// they are handed, which come from `table` too, and byte strings; `codec`
// keeps the byte string helpers, which is_byte_string_helper tells apart.
inline bool admit_pickle_helpers(PickleCodec& codec, PyObject* table)
{
    return detail::admit_import(table, detail::copyreg_module, "_reconstructor") &&
           detail::admit_import(table, detail::copyreg_module, "__newobj__") &&
           detail::admit_import(table, builtins_module, "object") &&
           detail::admit_byte_string_helpers(codec, table);
}

inline bool is_byte_string_helper(const PickleCodec& codec, PyObject* obj)
{
    return obj == codec.byte_string_helpers[0] || obj == codec.byte_string_helpers[1];
}

// Whether a global of a pickle this interpreter's pickler wrote (at protocol
// 2) names a byte string stand-in; no registry is asked.
inline bool names_byte_string_helper(std::string_view module, std::string_view name)
{
    return (module == detail::codecs_module && name == "encode") ||
           (module == detail::written_builtins_module && name == "bytes");
}

// The global (module, name) as the unpickler would resolve it: renamed as
// this interpreter knows it, then through the finder.
inline PyObject* resolve_global(const PickleCodec& codec, PyObject* module, PyObject* name)
{
    return PyObject_CallFunctionObjArgs(codec.resolver, module, name, nullptr);
}

inline PyObject* pickle_dumps(const PickleCodec& codec, PyObject* value, int protocol)
{
    return PyObject_CallFunction(codec.dumps, const_cast<char*>("Oi"), value, protocol);
}

// Unpickles `data` (n bytes) with every global resolved by the finder.
inline PyObject* pickle_loads(const PickleCodec& codec, const char* data, Py_ssize_t n)
{
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
