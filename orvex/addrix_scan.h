// The loose SMTP address scanner and the MAIL/RCPT argument parsers behind
// orvex._addrix. Results are interpreter objects handed to the caller as new
// references; failures (lack of memory only) leave an interpreter exception
// pending.
#pragma once
#include <Python.h>

#include <cstdint>

// How many times an address written as one quoted string is scanned again
// inside its quotes. Real addresses ("u@d" in quotes, <"u@d">) take one
// re-parse; a second takes runs of quotes inside the quoted string that no
// mailer writes, so eight leaves ample room. Each re-parse may pass over
// nearly the whole text again: the bound holds a crafted text, which nests
// one level per two bytes, to nine passes, linear in its length.
constexpr uint32_t ADDRESS_REPARSE_LIMIT = 8;

extern "C" {

// Splits the address in addr[0, addr_len) into source route, user and
// domain, and reports in *stop the index just past the last byte examined.
// A text that would re-parse more than ADDRESS_REPARSE_LIMIT times gives the
// results of the run at the limit. Returns 0, or -1 with an exception set and
// no out-parameter written.
int parse_address(const char* addr, uint32_t addr_len, PyObject** source_route, PyObject** user,
                  PyObject** domain, uint32_t* stop);

// Makes sure the buffer string *str of capacity *str_len can take a byte at
// index p, growing it to 2 * n + 40. On failure the string is released,
// *str cleared, MemoryError set and -1 returned.
int CHECK_SIZE(PyObject** str, uint32_t* str_len, char** c_str, uint32_t p);

// The local part without its quotes and backslash escapes; null on failure.
PyObject* unescape_local_part(const char* local_part, uint32_t local_part_len);

// The argument texts of MAIL ("FROM:...") and RCPT ("TO:..."). On success the
// four out-parameters hold new references (three strings and the parameter
// list). On failure -1 is returned with an exception set; the out-parameters
// that were already filled still hold their objects, which the caller releases.
int parse_mail_from(const char* line, uint32_t line_len, PyObject** source_route, PyObject** user,
                    PyObject** domain, PyObject** parameters);
int parse_rcpt_to(const char* line, uint32_t line_len, PyObject** source_route, PyObject** user,
                  PyObject** domain, PyObject** parameters);

// The ESMTP parameters in line as a list of (name, value) tuples, value None
// for a bare name. *parameters receives the list as soon as it exists, so
// after a failure it may hold a partly filled list for the caller to release.
int parse_params(const char* line, uint32_t line_len, PyObject** parameters);

}
