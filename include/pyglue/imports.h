// What a module needs at import: native types of other modules with their
// operation tables, publishing its own table, global names looked up at call
// time, and the interpreter version check.
#pragma once
#include <Python.h>

#include <cstring>

#include "pyglue/compat.h"
#include "pyglue/ref.h"

namespace pyglue {

// Imports `module_name`.`class_name`, which must be a type whose instances
// have exactly `size` bytes (the layout this module was compiled against).
inline PyTypeObject* import_type(const char* module_name, const char* class_name, size_t size)
{
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module)
        return nullptr;
    Ref cls = Ref::steal(PyObject_GetAttrString(module.get(), class_name));
    if (!cls)
        return nullptr;
    if (!PyType_Check(cls.get())) {
        PyErr_Format(PyExc_TypeError, "%s.%s is not a type object", module_name, class_name);
        return nullptr;
    }
    if (reinterpret_cast<PyTypeObject*>(cls.get())->tp_basicsize != static_cast<Py_ssize_t>(size)) {
        PyErr_Format(PyExc_ValueError, "%s.%s has the wrong size, try recompiling", module_name,
                     class_name);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(cls.release());
}

// The operation table that `type` publishes under "__pyx_vtable__".
inline void* get_vtable(PyTypeObject* type)
{
    void* table = unwrap_table(PyDict_GetItemString(type->tp_dict, "__pyx_vtable__"));
    if (!table)
        PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
    return table;
}

// import_type and get_vtable together: on success `type` holds the type (a
// reference kept for the process, see keep) and `table` its operation table.
template <typename Table>
inline bool import_type_with_vtable(const char* module_name, const char* class_name, size_t size,
                                    PyTypeObject*& type, Table*& table)
{
    Ref fresh = Ref::steal(reinterpret_cast<PyObject*>(import_type(module_name, class_name, size)));
    if (!fresh)
        return false;
    Table* found = static_cast<Table*>(get_vtable(reinterpret_cast<PyTypeObject*>(fresh.get())));
    if (!found)
        return false;
    table = found;
    return keep(&type, fresh.release());
}

// Binds each function of `methods` as a module attribute whose __module__ is
// `owner` (the dotted module name).
inline bool add_functions(PyObject* module, PyMethodDef* methods, const char* owner)
{
    Ref name = Ref::steal(text_from_string(owner));
    if (!name)
        return false;
    for (PyMethodDef* def = methods; def->ml_name; ++def) {
        Ref function = Ref::steal(PyCFunction_NewEx(def, nullptr, name.get()));
        if (!function || PyObject_SetAttrString(module, def->ml_name, function.get()) < 0)
            return false;
    }
    return true;
}

// Publishes `table` in the (readied) type's dict for other native modules.
inline bool set_vtable(PyTypeObject* type, void* table)
{
    Ref wrapped = Ref::steal(wrap_table(table));
    return wrapped && PyDict_SetItemString(type->tp_dict, "__pyx_vtable__", wrapped.get()) == 0;
}

// A name used by a module body at run time: the module's own attribute first,
// then the built-ins, else NameError with the bare name.
inline PyObject* get_global(PyObject* module, PyObject* name)
{
    PyObject* found = PyObject_GetAttr(module, name);
    if (found)
        return found;
    PyErr_Clear();
    found = PyObject_GetAttr(PyImport_AddModule(builtins_module), name);
    if (!found) {
        PyErr_Clear();
        PyErr_SetObject(PyExc_NameError, name);
    }
    return found;
}

// A built-in captured once at import; NameError when it is missing.
inline PyObject* get_builtin(const char* name)
{
    Ref text = Ref::steal(text_from_string(name));
    if (!text)
        return nullptr;
    PyObject* found = PyObject_GetAttr(PyImport_AddModule(builtins_module), text.get());
    if (!found) {
        PyErr_Clear();
        PyErr_SetObject(PyExc_NameError, text.get());
    }
    return found;
}

// Warns when the running interpreter's major.minor is not `compiled` ("2.6",
// "3.11"). Returns false only when the warning was turned into an error.
inline bool check_binary_version(const char* module_name, const char* compiled)
{
    // The version string starts "major.minor.micro ..."; the minor may have
    // two digits, so the comparison takes whole numbers.
    const char* version = Py_GetVersion();
    size_t length = std::strspn(version, "0123456789");
    if (version[length] == '.')
        length += 1 + std::strspn(version + length + 1, "0123456789");
    char runtime[16];
    PyOS_snprintf(runtime, sizeof runtime, "%.*s", static_cast<int>(length), version);
    if (std::strcmp(compiled, runtime) == 0)
        return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  compiled, module_name, runtime);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

// The major.minor of the headers this unit is compiled against.
#define PYGLUE_STR2(x) #x
#define PYGLUE_STR(x) PYGLUE_STR2(x)
#define PYGLUE_COMPILED_VERSION PYGLUE_STR(PY_MAJOR_VERSION) "." PYGLUE_STR(PY_MINOR_VERSION)

}  // namespace pyglue
