// Module creation and the init function, the same for Python 2 and 3: a
// module file ends with PYGLUE_MODULE(short_name, definition, body), where
// body fills the new module and returns false with an exception set.
#pragma once
#include <Python.h>

#include "pyglue/compat.h"
#include "pyglue/errors.h"
#include "pyglue/imports.h"
#include "pyglue/ref.h"

namespace pyglue {

// A module's name (dotted), docstring and functions. Python 3 keeps the
// definition for the module's life, so definitions are static.
class ModuleDef {
public:
    ModuleDef(const char* name, const char* doc, PyMethodDef* methods)
        : name_(name), doc_(doc), methods_(methods)
#if PYGLUE_PY3
          // Filled once: the interpreter keeps references to the definition
          // and its saved copy of the module in it, which an init run again
          // (imp.load_dynamic by another path) must not reset.
          , def_{PyModuleDef_HEAD_INIT, name, doc, -1, methods, nullptr, nullptr, nullptr, nullptr}
#endif
    {
    }
    ModuleDef(const ModuleDef&) = delete;
    ModuleDef& operator=(const ModuleDef&) = delete;

    const char* name() const { return name_; }

    // A new reference to the new module, or null with an exception set.
    Ref create()
    {
#if PYGLUE_PY3
        return Ref::steal(PyModule_Create(&def_));
#else
        return Ref::borrow(Py_InitModule4(name_, methods_, doc_, nullptr, PYTHON_API_VERSION));
#endif
    }

private:
    const char* name_;
    const char* doc_;
    PyMethodDef* methods_;
#if PYGLUE_PY3
    PyModuleDef def_;
#endif
};

// The init function's work: the version check, the module, the body. A new
// reference to the module, or null with the import's failure set.
inline PyObject* run_init(ModuleDef& def, bool (*body)(PyObject* module))
{
    if (!check_binary_version(def.name(), PYGLUE_COMPILED_VERSION)) {
        PYGLUE_FAIL_INIT(def.name(), false);
        return nullptr;
    }
    Ref module = def.create();
    if (!module) {
        PYGLUE_FAIL_INIT(def.name(), false);
        return nullptr;
    }
    if (!body(module.get())) {
        PYGLUE_FAIL_INIT(def.name(), true);
        return nullptr;
    }
    return module.release();
}

}  // namespace pyglue

// Python 2 calls init<name>, which leaves the module in sys.modules; Python 3
// calls PyInit_<name>, which returns it.
#if PYGLUE_PY3
#define PYGLUE_MODULE(short_name, def, body) \
    PyMODINIT_FUNC PyInit_##short_name(void) { return ::pyglue::run_init((def), (body)); }
#else
#define PYGLUE_MODULE(short_name, def, body) \
    PyMODINIT_FUNC init##short_name(void) { ::pyglue::Ref::steal(::pyglue::run_init((def), (body))); }
#endif
