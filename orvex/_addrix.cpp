// orvex._addrix: the interpreter's face of the address scanner and the
// MAIL/RCPT argument parsers in addrix_scan.cpp.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "orvex/addrix_scan.h"
#include "pyglue/errors.h"
#include "pyglue/imports.h"
#include "pyglue/lengths.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

const char VERSION_STRING[] = "$Revision: #1 $";

// The one "s#" argument. The parsers count in 32 bits, so a longer text is
// refused rather than parsed from a cut length.
bool text_argument(PyObject* args, const char** text, uint32_t* text_len)
{
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "s#", text, &size))
        return false;
    const auto narrowed = pyglue::to_u32_length(size);
    if (!narrowed) {
        PyErr_SetString(PyExc_OverflowError, "string longer than 4294967295 bytes");
        return false;
    }
    *text_len = *narrowed;
    return true;
}

PyObject* py_parse_address(PyObject*, PyObject* args)
{
    const char* addr;
    uint32_t addr_len;
    if (!text_argument(args, &addr, &addr_len))
        return nullptr;
    PyObject *route_out, *user_out, *domain_out;
    uint32_t stop;
    if (parse_address(addr, addr_len, &route_out, &user_out, &domain_out, &stop) < 0)
        return nullptr;
    Ref source_route = Ref::steal(route_out);
    Ref user = Ref::steal(user_out);
    Ref domain = Ref::steal(domain_out);
    // "I": a stop offset past 2**31 stays positive.
    return Py_BuildValue("OOOI", source_route.get(), user.get(), domain.get(), stop);
}

using command_parser = int (*)(const char*, uint32_t, PyObject**, PyObject**, PyObject**,
                               PyObject**);

PyObject* call_command_parser(command_parser parse, PyObject* args)
{
    const char* line;
    uint32_t line_len;
    if (!text_argument(args, &line, &line_len))
        return nullptr;
    PyObject* out[4] = {nullptr, nullptr, nullptr, nullptr};
    const int rc = parse(line, line_len, &out[0], &out[1], &out[2], &out[3]);
    // Owned from here on, so a failure releases whatever the parser made.
    Ref source_route = Ref::steal(out[0]);
    Ref user = Ref::steal(out[1]);
    Ref domain = Ref::steal(out[2]);
    Ref parameters = Ref::steal(out[3]);
    if (rc < 0)
        return nullptr;
    return Py_BuildValue("OOOO", source_route.get(), user.get(), domain.get(), parameters.get());
}

PyObject* py_parse_mail_from(PyObject*, PyObject* args)
{
    return call_command_parser(parse_mail_from, args);
}

PyObject* py_parse_rcpt_to(PyObject*, PyObject* args)
{
    return call_command_parser(parse_rcpt_to, args);
}

PyObject* py_unescape_local_part(PyObject*, PyObject* args)
{
    const char* local_part;
    uint32_t local_part_len;
    if (!text_argument(args, &local_part, &local_part_len))
        return nullptr;
    return unescape_local_part(local_part, local_part_len);
}

#define RESULT_LINES                                              \
    "<source_route> - The source routing information\n"          \
    "<user> - Username of the email address\n"                    \
    "<domain> - Domain of the email address\n"                    \
    "<parameters> - List of (name/value) tuples of SMTP params"

PyMethodDef module_methods[] = {
    {"parse_address", py_parse_address, METH_VARARGS,
     "parse_address(str) -> (source_route, user, domain, stop_offset)\n"
     "Finds the email address in the given string."},
    {"parse_mail_from", py_parse_mail_from, METH_VARARGS,
     "parse_mail_from(str) -> (source_route, user, domain, parameters)\n"
     "Parses an SMTP mail from line.\n"
     "Assumes str starts with FROM:\n" RESULT_LINES},
    {"parse_rcpt_to", py_parse_rcpt_to, METH_VARARGS,
     "parse_rcpt_to(str) -> (source_route, user, domain, parameters)\n" RESULT_LINES},
    {"unescape_local_part", py_unescape_local_part, METH_VARARGS,
     "unescape_local_part(local_part) -> unescaped_str\n"
     "This will unescape the local part of an email address, removing quotes and\n"
     "backslash escape characters."},
    {nullptr, nullptr, 0, nullptr},
};

const char module_doc[] =
    "Native implementation of a loose RFC 2821 address parser: it finds the\n"
    "address in a string and splits SMTP MAIL FROM and RCPT TO arguments.\n"
    "The pure-script module addrix describes the parser in more detail.";

}  // namespace

PyMODINIT_FUNC init_addrix(void)
{
    if (!pyglue::check_binary_version("orvex._addrix", PYGLUE_COMPILED_VERSION)) {
        PYGLUE_FAIL_INIT("orvex._addrix", false);
        return;
    }
    PyObject* module = Py_InitModule4("_addrix", module_methods, module_doc, nullptr,
                                      PYTHON_API_VERSION);
    if (!module) {
        PYGLUE_FAIL_INIT("orvex._addrix", false);
        return;
    }
    if (PyModule_AddStringConstant(module, "__version__", VERSION_STRING) < 0)
        PYGLUE_FAIL_INIT("orvex._addrix", true);
}
