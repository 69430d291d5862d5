// orvex._addrix: the interpreter's face of the address scanner and the
// MAIL/RCPT argument parsers in addrix_scan.cpp.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

#include "orvex/addrix_scan.h"
#include "pyglue/bytetext.h"
#include "pyglue/lengths.h"
#include "pyglue/module.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

const char MODULE_NAME[] = "orvex._addrix";
const char VERSION_STRING[] = "$Revision: #1 $";

// The one text argument. The parsers count in 32 bits, so a longer text is
// refused rather than parsed from a cut length.
bool text_argument(PyObject* args, pyglue::ByteText* text, uint32_t* text_len)
{
    if (!text->parse(args))
        return false;
    const auto narrowed = pyglue::to_u32_length(text->size);
    if (!narrowed) {
        PyErr_SetString(PyExc_OverflowError, "string longer than 4294967295 bytes");
        return false;
    }
    *text_len = *narrowed;
    return true;
}

// The parameter list with names and values in the argument's kind.
Ref parameters_result(const pyglue::ByteText& text, Ref parameters)
{
    Ref list = std::move(parameters);
    if (!list)
        return list;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list.get()); ++k) {
        PyObject* pair = PyList_GET_ITEM(list.get(), k);
        Ref name = text.result(Ref::borrow(PyTuple_GET_ITEM(pair, 0)));
        Ref value = text.result(Ref::borrow(PyTuple_GET_ITEM(pair, 1)));
        Ref converted = Ref::steal(name && value ? PyTuple_Pack(2, name.get(), value.get())
                                                 : nullptr);
        if (!converted || PyList_SetItem(list.get(), k, converted.release()) < 0)
            return Ref();
    }
    return list;
}

PyObject* py_parse_address(PyObject*, PyObject* args)
{
    pyglue::ByteText addr;
    uint32_t addr_len;
    if (!text_argument(args, &addr, &addr_len))
        return nullptr;
    PyObject *route_out, *user_out, *domain_out;
    uint32_t stop;
    if (parse_address(addr.data, addr_len, &route_out, &user_out, &domain_out, &stop) < 0)
        return nullptr;
    Ref source_route = addr.result(Ref::steal(route_out));
    Ref user = addr.result(Ref::steal(user_out));
    Ref domain = addr.result(Ref::steal(domain_out));
    if (!source_route || !user || !domain)
        return nullptr;
    // "n": a stop offset past 2**31 stays positive.
    return Py_BuildValue("OOOn", source_route.get(), user.get(), domain.get(),
                         addr.offset(stop));
}
using command_parser = int (*)(const char*, uint32_t, PyObject**, PyObject**, PyObject**,
                               PyObject**);

PyObject* call_command_parser(command_parser parse, PyObject* args)
{
    pyglue::ByteText line;
    uint32_t line_len;
    if (!text_argument(args, &line, &line_len))
        return nullptr;
    PyObject* out[4] = {nullptr, nullptr, nullptr, nullptr};
    const int rc = parse(line.data, line_len, &out[0], &out[1], &out[2], &out[3]);
    // Owned from here on, so a failure releases whatever the parser made.
    Ref source_route = Ref::steal(out[0]);
    Ref user = Ref::steal(out[1]);
    Ref domain = Ref::steal(out[2]);
    Ref parameters = Ref::steal(out[3]);
    if (rc < 0)
        return nullptr;
    source_route = line.result(std::move(source_route));
    user = line.result(std::move(user));
    domain = line.result(std::move(domain));
    parameters = parameters_result(line, std::move(parameters));
    if (!source_route || !user || !domain || !parameters)
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
    pyglue::ByteText local_part;
    uint32_t local_part_len;
    if (!text_argument(args, &local_part, &local_part_len))
        return nullptr;
    return local_part.result(Ref::steal(unescape_local_part(local_part.data, local_part_len))).release();
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

bool init_module(PyObject* module)
{
    return PyModule_AddStringConstant(module, "__version__", VERSION_STRING) == 0;
}

pyglue::ModuleDef module_def(MODULE_NAME, module_doc, module_methods);

}  // namespace

PYGLUE_MODULE(_addrix, module_def, init_module)
