// Arbitrary bytes into the four functions of orvex._addrix, and into
// parse_address and parse_params straight on the fuzzer's buffer (so a read
// past its end is caught). Only the keyword ValueError of parse_mail_from and
// parse_rcpt_to may be raised; results must have their documented shapes, and
// "FROM:" + text must give the address parse_address finds in the text.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "embedded_python.h"
#include "fuzz_support.h"
#include "orvex/addrix_scan.h"
#include "pyglue/compat.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

struct Target {
    PyObject* parse_address;
    PyObject* parse_mail_from;
    PyObject* parse_rcpt_to;
    PyObject* unescape_local_part;
};

void require(bool ok, const char* what)
{
    if (!ok)
        finding(what);
}

PyObject* function(PyObject* module, const char* name)
{
    PyObject* found = PyObject_GetAttrString(module, name);
    require(found, "cannot set up the module");
    return found;
}

const Target& target()
{
    static const Target t = [] {
        ensure_python();
        Ref module = Ref::steal(PyImport_ImportModule("orvex._addrix"));
        require(bool(module), "cannot import orvex._addrix");
        return Target{function(module.get(), "parse_address"),
                      function(module.get(), "parse_mail_from"),
                      function(module.get(), "parse_rcpt_to"),
                      function(module.get(), "unescape_local_part")};
    }();
    return t;
}

Ref call(PyObject* func, PyObject* text)
{
    return Ref::steal(PyObject_CallFunctionObjArgs(func, text, nullptr));
}

bool is_str_within(PyObject* obj, size_t size)
{
    return PyBytes_CheckExact(obj) && static_cast<size_t>(PyBytes_GET_SIZE(obj)) <= size;
}

// (source_route, user, domain, stop_offset): three byte strings no longer than the
// text, user and domain held by the tuple alone (an empty one may be the
// interpreter's shared one), and a stop offset within the text.
void check_address(PyObject* result, size_t size)
{
    require(PyTuple_CheckExact(result) && PyTuple_GET_SIZE(result) == 4, "parse_address shape");
    for (Py_ssize_t k = 0; k < 3; ++k)
        require(is_str_within(PyTuple_GET_ITEM(result, k), size), "parse_address part");
    for (Py_ssize_t k = 1; k < 3; ++k) {
        PyObject* part = PyTuple_GET_ITEM(result, k);
        require(PyBytes_GET_SIZE(part) == 0 || Py_REFCNT(part) == 1, "user or domain shared");
    }
    PyObject* stop = PyTuple_GET_ITEM(result, 3);
    long offset;
    require(pyglue::int_as_long(stop, &offset) && offset >= 0 &&
                static_cast<size_t>(offset) <= size,
            "stop offset outside the text");
}

// (source_route, user, domain, [(name, value or None), ...]); a keyword
// mismatch is the only error. Returns the result, or null after the error.
Ref checked_command(PyObject* func, PyObject* text, size_t size, const char* message)
{
    Ref result = call(func, text);
    if (!result) {
        require(PyErr_ExceptionMatches(PyExc_ValueError), "unexpected exception");
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
        Ref shown = Ref::steal(PyObject_Str(v.get()));
        require(shown && std::strcmp(pyglue::text_as_utf8(shown.get()), message) == 0,
                "wrong keyword message");
        return result;
    }
    require(PyTuple_CheckExact(result.get()) && PyTuple_GET_SIZE(result.get()) == 4,
            "command result shape");
    for (Py_ssize_t k = 0; k < 3; ++k)
        require(is_str_within(PyTuple_GET_ITEM(result.get(), k), size), "command part");
    PyObject* list = PyTuple_GET_ITEM(result.get(), 3);
    require(PyList_CheckExact(list), "parameters not a list");
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) {
        PyObject* pair = PyList_GET_ITEM(list, k);
        require(PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2, "parameter shape");
        PyObject* name = PyTuple_GET_ITEM(pair, 0);
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        require(is_str_within(name, size) && PyBytes_GET_SIZE(name) > 0, "parameter name");
        require(value == Py_None || is_str_within(value, size), "parameter value");
    }
    return result;
}

bool is_whitespace(uint8_t c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The C-level entries on the fuzzer's own buffer.
void check_c_level(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    PyObject *route, *user, *domain, *parameters = nullptr;
    uint32_t stop;
    require(parse_address(text, static_cast<uint32_t>(size), &route, &user, &domain, &stop) == 0,
            "parse_address failed");
    Ref owned[] = {Ref::steal(route), Ref::steal(user), Ref::steal(domain)};
    require(stop <= size, "stop offset outside the text");
    const int rc = parse_params(text + stop, static_cast<uint32_t>(size - stop), &parameters);
    Ref list = Ref::steal(parameters);
    require(rc == 0 && list, "parse_params failed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Target& t = target();
    check_c_level(data, size);

    Ref text = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), size));
    require(bool(text), "cannot make the text");
    Ref address = call(t.parse_address, text.get());
    require(bool(address), "parse_address raised");
    check_address(address.get(), size);

    Ref unescaped = call(t.unescape_local_part, text.get());
    require(unescaped && is_str_within(unescaped.get(), size), "unescape_local_part");

    checked_command(t.parse_mail_from, text.get(), size, "Expected FROM:");
    checked_command(t.parse_rcpt_to, text.get(), size, "Expected TO:");

    // After "FROM:" the scanner sees the text without its leading whitespace.
    size_t skip = 0;
    while (skip < size && is_whitespace(data[skip]))
        ++skip;
    std::string line = "FROM:" + std::string(reinterpret_cast<const char*>(data), size);
    Ref mail = Ref::steal(PyBytes_FromStringAndSize(line.data(), line.size()));
    Ref rest = Ref::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data) + skip, size - skip));
    require(mail && rest, "cannot make the texts");
    Ref from = checked_command(t.parse_mail_from, mail.get(), line.size(), "Expected FROM:");
    require(bool(from), "FROM: refused");
    Ref found = call(t.parse_address, rest.get());
    require(bool(found), "parse_address raised");
    for (Py_ssize_t k = 0; k < 3; ++k) {
        const int same = PyObject_RichCompareBool(PyTuple_GET_ITEM(from.get(), k),
                                                  PyTuple_GET_ITEM(found.get(), k), Py_EQ);
        require(same == 1, "FROM: address differs from parse_address");
    }
    return 0;
}
