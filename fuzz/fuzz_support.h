// What every fuzz target needs besides the interpreter: a way to report a
// finding, and the module attributes it drives, taken once at start-up. For
// the targets that read X payloads: classes registered for them and a watch
// over what a pickle could change for the whole process, pickle programs made
// from fuzz input, and feedback to libFuzzer on how the uninstrumented
// unpickler ended.
#pragma once
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pyglue/compat.h"
#include "pyglue/ref.h"

// Aborts (so libFuzzer keeps the input) with the target's name, what went
// wrong and the pending exception, if any.
[[noreturn]] inline void finding(const char* what)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    if (PyErr_Occurred())
        PyErr_Print();
    std::abort();
}

// A new reference to module_name.name; failing to get it is a finding.
inline PyObject* module_attribute(const char* module_name, const char* name)
{
    pyglue::Ref module = pyglue::Ref::steal(PyImport_ImportModule(module_name));
    PyObject* found = module ? PyObject_GetAttrString(module.get(), name) : nullptr;
    if (!found)
        finding(name);
    return found;
}

// Run in __main__ at start-up: two classes registered for X payloads
// (classic and new-style on Python 2), and watch_changes(), which names the
// first attribute of those classes, their __init__ or the pickle helpers
// every payload may name that differs from the start, or gives None. Values
// are compared by identity, so a rebinding to an equal value counts too.
constexpr char watch_source[] = R"(
from orvex import parcel
try:
    import copyreg
except ImportError:
    import copy_reg as copyreg

class Account(object):
    limit = 100
    def __init__(self):
        self.balance = 0

class Ledger:
    limit = 100
    def __init__(self):
        self.entries = []

parcel.register(Account)
parcel.register(Ledger)
# Pickling an instance caches __slotnames__ on its class: done here, so that
# the snapshot below holds it already.
parcel.pack((Account(), Ledger()))

_NAMED = ('__name__', '__bases__', '__module__', '__doc__', '__qualname__', '__code__',
          '__defaults__', '__kwdefaults__', '__closure__', '__globals__')
_MISSING = object()

def _attributes(obj):
    found = dict((('dict', key), value) for key, value in vars(obj).items())
    for name in _NAMED:
        found[('attr', name)] = getattr(obj, name, None)
    return found

_WATCHED = [(label, obj, _attributes(obj)) for label, obj in (
    ('Account', Account), ('Ledger', Ledger),
    ('Account.__init__', vars(Account)['__init__']),
    ('Ledger.__init__', vars(Ledger)['__init__']),
    ('copyreg._reconstructor', copyreg._reconstructor),
    ('copyreg.__newobj__', copyreg.__newobj__))]

def watch_changes():
    for label, obj, before in _WATCHED:
        now = _attributes(obj)
        for key in set(before) | set(now):
            if now.get(key, _MISSING) is not before.get(key, _MISSING):
                return '%s: %s %r' % (label, key[0], key[1])
    return None
)";

// watch_changes, made on first use.
inline PyObject* watch_function()
{
    static PyObject* const changes = [] {
        PyObject* main_module = PyImport_AddModule("__main__");  // borrowed
        PyObject* globals = main_module ? PyModule_GetDict(main_module) : nullptr;
        pyglue::Ref ran = pyglue::Ref::steal(
            globals ? PyRun_String(watch_source, Py_file_input, globals, globals) : nullptr);
        PyObject* found = ran ? PyDict_GetItemString(globals, "watch_changes") : nullptr;
        if (!found)
            finding("cannot register the classes for X payloads");
        Py_INCREF(found);
        return found;
    }();
    return changes;
}

// Registers the classes and takes the snapshot; before the first input.
inline void set_up_watch() { (void)watch_function(); }

// A finding when an input changed a watched object. A pending exception is
// kept, and printed with the finding: it may be the change's consequence.
inline void check_watched()
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    pyglue::Ref change = pyglue::Ref::steal(PyObject_CallObject(watch_function(), nullptr));
    if (!change)
        finding("the watch over the registered classes failed");
    if (change.get() != Py_None) {
        const char* what =
            pyglue::text_check(change.get()) ? pyglue::text_as_utf8(change.get()) : nullptr;
        std::string message = std::string("an input changed a process-wide object: ") +
                              (what ? what : "(unprintable)");
        PyErr_Restore(type, value, tb);
        finding(message.c_str());
    }
    PyErr_Restore(type, value, tb);
}

// Pickle programs: each input byte below 0xf0 is one opcode snippet of
// protocols 0 to 2 (the globals named are the registered classes, the
// helpers every payload may name, and two that are refused);
// a byte from 0xf0 repeats the last (byte & 15) + 1 snippets (next byte +
// 1) * 4 times, so that a few bytes reach deep nests and long memo chains.
// A STOP ends every program.
struct Snippet {
    const char* bytes;
    size_t size;
};

template <size_t n>
constexpr Snippet snippet(const char (&bytes)[n])
{
    return {bytes, n - 1};
}

// Hex escapes run on over hex digits, hence the split literals.
inline constexpr Snippet pickle_snippets[] = {
    snippet("("), snippet("]"), snippet("}"), snippet(")"), snippet("N"),
    snippet("K\x01"), snippet("U\x01" "a"), snippet("X\x06\x00\x00\x00" "latin1"),
    snippet("a"), snippet("e"), snippet("s"), snippet("u"), snippet("b"), snippet("R"),
    snippet("\x81"), snippet("o"), snippet("i__main__\nAccount\n"),
    snippet("i__main__\nLedger\n"), snippet("t"), snippet("l"), snippet("d"),
    snippet("\x85"), snippet("\x86"), snippet("\x87"), snippet("0"), snippet("2"),
    snippet("q\x00"), snippet("q\x01"), snippet("q\x02"), snippet("q\x03"),
    snippet("h\x00"), snippet("h\x01"), snippet("h\x02"), snippet("h\x03"),
    snippet("p0\n"), snippet("g0\n"), snippet("c__main__\nAccount\n"),
    snippet("c__main__\nLedger\n"), snippet("ccopy_reg\n_reconstructor\n"),
    snippet("ccopy_reg\n__newobj__\n"), snippet("c__builtin__\nobject\n"),
    snippet("c_codecs\nencode\n"), snippet("c__builtin__\nbytes\n"),
    snippet("c__builtin__\nsetattr\n"), snippet("\x80\x02"), snippet("."),
};

constexpr uint8_t repeat_code = 0xf0;
// Enough for a nest well past the depth bound. Python 2's unpickler grows
// its mark stack by a constant step, which a sanitizer's realloc (always a
// copy) makes quadratic: longer programs would only slow the fuzzer down.
constexpr size_t max_program = 1 << 13;

// Appends the last `group` snippets `times` more times, within max_program.
inline void repeat_snippets(std::string& program, std::vector<size_t>& starts, size_t group,
                            size_t times)
{
    if (group == 0)
        return;
    const size_t first = starts[starts.size() - group];
    const std::string piece = program.substr(first);
    const std::vector<size_t> offsets(starts.end() - group, starts.end());
    for (size_t t = 0; t < times && program.size() + piece.size() <= max_program; ++t) {
        for (size_t offset : offsets)
            starts.push_back(program.size() + offset - first);
        program += piece;
    }
}

inline std::string pickle_program(const uint8_t* data, size_t size)
{
    constexpr size_t count = sizeof pickle_snippets / sizeof pickle_snippets[0];
    std::string program;
    std::vector<size_t> starts;  // where each snippet begins
    for (size_t i = 0; i < size && program.size() <= max_program; ++i) {
        if (data[i] >= repeat_code) {
            size_t group = std::min<size_t>((data[i] & 15) + 1, starts.size());
            size_t times = (i + 1 < size ? data[++i] + 1 : 1) * 4;
            repeat_snippets(program, starts, group, times);
            continue;
        }
        const Snippet& piece = pickle_snippets[data[i] % count];
        starts.push_back(program.size());
        program.append(piece.bytes, piece.size);
    }
    return program + '.';
}

// The parcel of an X value: the code, the 4-byte big-endian length, the pickle.
inline std::string x_value(const std::string& payload)
{
    const auto n = static_cast<uint32_t>(payload.size());
    std::string x = "X";
    for (int shift = 24; shift >= 0; shift -= 8)
        x += static_cast<char>(n >> shift & 0xff);
    return x + payload;
}

// libFuzzer takes the bytes of this section as coverage of its own. The
// unpickler is not instrumented, so without them every payload that fails
// inside it looks alike to the fuzzer.
__attribute__((section("__libfuzzer_extra_counters"))) static uint8_t outcome_counters[1024];

// Counts an outcome: a name (digits left out, as offsets differ from input
// to input) with a small number.
inline void note_outcome(const char* name, size_t value)
{
    uint32_t h = 2166136261u;
    for (const char* c = name; *c; ++c)
        if (*c < '0' || *c > '9')
            h = (h ^ static_cast<unsigned char>(*c)) * 16777619u;
    h = (h ^ static_cast<uint32_t>(value)) * 16777619u;
    ++outcome_counters[h % sizeof outcome_counters];
}

// Counts the pending exception by its class and message; it stays pending.
inline void note_error()
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    pyglue::Ref text = pyglue::Ref::steal(value ? PyObject_Str(value) : nullptr);
    const char* message =
        text && pyglue::text_check(text.get()) ? pyglue::text_as_utf8(text.get()) : nullptr;
    PyErr_Clear();
    std::string name = PyExceptionClass_Check(type) ? PyExceptionClass_Name(type) : "?";
    note_outcome((name + ": " + (message ? message : "")).c_str(), 0);
    PyErr_Restore(type, value, tb);
}
