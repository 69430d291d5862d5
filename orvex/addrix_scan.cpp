// The loose address scanner and the MAIL/RCPT argument parsers. Nothing in a
// text is an error: the scanner places what it can and skips the rest. The
// only failure is lack of memory, and then nothing created here survives.
#include "orvex/addrix_scan.h"

#include <cstring>
#include <limits>
#include <utility>

#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

enum address_state {
    STATE_USER_VALUE = 0,
    STATE_QUOTED = 1,
    STATE_DOMAIN = 2,
    STATE_ADDRESS_LITERAL = 3,
};

enum param_states {
    PARAM_STATE_NAME = 0,
    PARAM_STATE_VALUE = 1,
};

// Large enough for most addresses, so a typical scan allocates once per buffer.
constexpr uint32_t INITIAL_CAPACITY = 64;

// A string object used as a growable byte array: `len` is its capacity and
// `p` the number of bytes filled.
struct Buffer {
    Ref result;
    char* dest = nullptr;
    uint32_t len = 0;
    uint32_t p = 0;

    // A new empty buffer at the initial capacity, replacing any previous one.
    bool open()
    {
        result = Ref::steal(PyBytes_FromStringAndSize(nullptr, INITIAL_CAPACITY));
        if (!result)
            return false;
        dest = PyBytes_AS_STRING(result.get());
        len = INITIAL_CAPACITY;
        p = 0;
        return true;
    }

    bool append(char c)
    {
        if (static_cast<uint64_t>(p) + 1 >= len && !grow())
            return false;
        dest[p++] = c;
        return true;
    }

    bool grow()
    {
        PyObject* str = result.release();
        const int rc = CHECK_SIZE(&str, &len, &dest, p);
        result.reset(str);
        return rc == 0;
    }

    // The filled bytes as a string of their own; the buffer is given up.
    Ref finish()
    {
        PyObject* str = result.release();
        if (_PyBytes_Resize(&str, p) < 0)
            return Ref();
        return Ref::steal(str);
    }
};

// One run of the scanner over one text.
struct Scan {
    const char* addr;
    uint32_t addr_len;
    address_state state = STATE_USER_VALUE;
    uint32_t i = 0;
    Buffer user;
    Buffer domain;
    Ref source_route_result;
    // Indexes into addr; 64 bits so that every 32-bit index stays positive.
    int64_t user_start = -1;
    int64_t user_stop = -1;
    uint32_t comment_depth = 0;
    uint32_t bracket_depth = 0;
    bool done = false;
    bool stop_scanning = false;
    bool escape_mode = false;

    Scan(const char* text, uint32_t text_len) : addr(text), addr_len(text_len) {}

    bool run()
    {
        if (!user.open() || !domain.open())
            return false;
        for (i = 0; i < addr_len; ++i) {
            if (!step(static_cast<unsigned char>(addr[i])))
                return false;
            if (stop_scanning) {
                ++i;
                break;
            }
        }
        if (user_stop < 0)
            user_stop = addr_len;
        return true;
    }

    // An address written as one quoted string: nothing went to the domain,
    // and the user part sits right inside a pair of double quotes. The user
    // part never starts after user_stop here (only an escaped byte, which
    // follows a backslash, is collected once user_stop is set).
    bool quoted_address() const
    {
        return domain.p == 0 && user.p > 2 && user_start > 0 && addr[user_start - 1] == '"' &&
               user_stop > 0 && addr[user_stop - 1] == '"';
    }

    bool step(unsigned char c)
    {
        if (comment_depth > 0) {
            in_comment(c);
            return true;
        }
        if (escape_mode) {
            escape_mode = false;
            return append_user(c);
        }
        switch (state) {
        case STATE_USER_VALUE:
            return user_value(c);
        case STATE_QUOTED:
            return quoted(c);
        case STATE_DOMAIN:
            return in_domain(c);
        case STATE_ADDRESS_LITERAL:
            break;
        }
        return address_literal(c);
    }

    void in_comment(unsigned char c)
    {
        if (c == ')') {
            --comment_depth;
        } else if (c == '(') {
            ++comment_depth;
        } else if (c == '\\') {
            // The escaped byte is skipped unseen; a final backslash ends the text.
            if (i + 1 < addr_len)
                ++i;
            else
                stop_scanning = true;
        }
    }

    bool user_value(unsigned char c)
    {
        switch (c) {
        case ' ':
        case '\t':
        case '\n':
        case '\r':
            return true;
        case '"':
            state = STATE_QUOTED;
            return true;
        case '(':
            comment_depth = 1;
            return true;
        case '<':
            ++bracket_depth;
            user_reset();
            return true;
        case '>':
            --bracket_depth;
            user_stop = i;
            done = true;
            stop_scanning = bracket_depth == 0;
            return true;
        case '@':
            user_stop = i;
            state = STATE_DOMAIN;
            return true;
        case '\\':
            escape_mode = true;
            return true;
        default:
            return done || append_user(c);
        }
    }

    bool quoted(unsigned char c)
    {
        if (c == '"') {
            state = STATE_USER_VALUE;
            return true;
        }
        if (c == '\\') {
            escape_mode = true;
            return true;
        }
        return done || append_user(c);
    }

    bool in_domain(unsigned char c)
    {
        switch (c) {
        case ' ':
        case '\t':
        case '\n':
        case '\r':
        case '"':
            state = STATE_USER_VALUE;
            done = true;
            stop_scanning = bracket_depth == 0;
            return true;
        case '>':
            --bracket_depth;
            done = true;
            stop_scanning = bracket_depth == 0;
            return true;
        case '<':
            ++bracket_depth;
            full_reset();
            return true;
        case ':':
            return build_source_route();
        default:
            if (!done && !domain.append(c))
                return false;
            if (c == '[')
                state = STATE_ADDRESS_LITERAL;
            return true;
        }
    }

    bool address_literal(unsigned char c)
    {
        if (!done) {
            if (!domain.append(c))
                return false;
            if (c == ']') {
                done = true;
                stop_scanning = bracket_depth == 0;
            }
        } else if (c == '>') {
            --bracket_depth;
            stop_scanning = bracket_depth == 0;
        }
        return true;
    }

    bool append_user(unsigned char c)
    {
        if (user_start < 0)
            user_start = i;
        return user.append(c);
    }

    void user_reset()
    {
        user.p = 0;
        user_start = -1;
        user_stop = -1;
    }

    void full_reset()
    {
        user_reset();
        domain.p = 0;
        state = STATE_USER_VALUE;
    }

    // At a ':' in the domain: the hops collected so far become the source
    // route, '@' + hops + ':', and the address starts afresh after it.
    bool build_source_route()
    {
        Ref route = Ref::steal(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(domain.p) + 2));
        if (!route)
            return false;
        char* bytes = PyBytes_AS_STRING(route.get());
        bytes[0] = '@';
        std::memcpy(bytes + 1, domain.dest, domain.p);
        bytes[domain.p + 1] = ':';
        source_route_result = std::move(route);
        if (!domain.open())
            return false;
        full_reset();
        return true;
    }
};

bool is_whitespace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

uint32_t skip_whitespace(const char* line, uint32_t line_len, uint32_t i)
{
    while (i < line_len && is_whitespace(static_cast<unsigned char>(line[i])))
        ++i;
    return i;
}

// `keyword` is upper case; its letters match in either case, its ':' exactly.
bool match_keyword(const char* text, uint32_t text_len, const char* keyword)
{
    const uint32_t keyword_len = static_cast<uint32_t>(std::strlen(keyword));
    if (text_len < keyword_len)
        return false;
    for (uint32_t k = 0; k < keyword_len; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        const unsigned char want = static_cast<unsigned char>(keyword[k]);
        const bool letter = want >= 'A' && want <= 'Z';
        if (c != want && !(letter && c == want + ('a' - 'A')))
            return false;
    }
    return true;
}

int parse_command(const char* line, uint32_t line_len, const char* keyword, const char* message,
                  PyObject** source_route, PyObject** user, PyObject** domain,
                  PyObject** parameters)
{
    uint32_t i = skip_whitespace(line, line_len, 0);
    if (!match_keyword(line + i, line_len - i, keyword)) {
        PyErr_SetString(PyExc_ValueError, message);
        return -1;
    }
    i = skip_whitespace(line, line_len, i + static_cast<uint32_t>(std::strlen(keyword)));
    uint32_t stop;
    if (parse_address(line + i, line_len - i, source_route, user, domain, &stop) < 0)
        return -1;
    i = skip_whitespace(line, line_len, i + stop);
    return parse_params(line + i, line_len - i, parameters);
}

// Position line_len is passed as -1: past the text, in no class.
bool is_name_char(int c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

bool is_value_char(int c)
{
    return c >= 0x21 && c <= 0x7F && c != '=';
}

bool append_param(PyObject* list, const Ref& name, PyObject* value)
{
    Ref tuple = Ref::steal(PyTuple_Pack(2, name.get(), value));
    return tuple && PyList_Append(list, tuple.get()) == 0;
}

Ref cut(const char* line, uint32_t start, uint32_t stop)
{
    return Ref::steal(PyBytes_FromStringAndSize(line + start, stop - start));
}

}  // namespace

extern "C" {

int CHECK_SIZE(PyObject** str, uint32_t* str_len, char** c_str, uint32_t p)
{
    if (static_cast<uint64_t>(p) + 1 < *str_len)
        return 0;
    const uint64_t grown = 2 * static_cast<uint64_t>(*str_len) + 40;
    if (grown > std::numeric_limits<uint32_t>::max()) {
        // The capacity is 32 bits wide: a wrapped size would shrink the buffer.
        Py_CLEAR(*str);
        PyErr_NoMemory();
        return -1;
    }
    if (_PyBytes_Resize(str, static_cast<Py_ssize_t>(grown)) < 0)
        return -1;
    *str_len = static_cast<uint32_t>(grown);
    *c_str = PyBytes_AS_STRING(*str);
    return 0;
}

int parse_address(const char* addr, uint32_t addr_len, PyObject** source_route, PyObject** user,
                  PyObject** domain, uint32_t* stop)
{
    Scan scan(addr, addr_len);
    if (!scan.run())
        return -1;
    const uint32_t stop_offset = scan.i;
    // A loop, not recursion, and bounded: every level rescans the rest of the
    // text, and crafted texts nest about one level per two bytes. At the
    // bound the run in hand keeps its results.
    for (uint32_t depth = 0; depth < ADDRESS_REPARSE_LIMIT && scan.quoted_address(); ++depth) {
        const char* inner = scan.addr + scan.user_start;
        const uint32_t inner_len = static_cast<uint32_t>(scan.user_stop - scan.user_start);
        scan = Scan(inner, inner_len);
        if (!scan.run())
            return -1;
    }
    Ref route = scan.source_route_result ? std::move(scan.source_route_result)
                                         : Ref::steal(PyBytes_FromStringAndSize("", 0));
    if (!route)
        return -1;
    Ref user_str = scan.user.finish();
    if (!user_str)
        return -1;
    Ref domain_str = scan.domain.finish();
    if (!domain_str)
        return -1;
    *source_route = route.release();
    *user = user_str.release();
    *domain = domain_str.release();
    *stop = stop_offset;
    return 0;
}

PyObject* unescape_local_part(const char* local_part, uint32_t local_part_len)
{
    Ref result = Ref::steal(PyBytes_FromStringAndSize(nullptr, local_part_len));
    if (!result || local_part_len == 0)
        return result.release();
    char* out = PyBytes_AS_STRING(result.get());
    uint32_t n = 0;
    bool escaped = false;
    for (uint32_t k = 0; k < local_part_len; ++k) {
        const char c = local_part[k];
        if (escaped) {
            out[n++] = c;
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c != '"') {
            out[n++] = c;
        }
    }
    PyObject* str = result.release();
    if (_PyBytes_Resize(&str, n) < 0)
        return nullptr;
    return str;
}

int parse_mail_from(const char* line, uint32_t line_len, PyObject** source_route, PyObject** user,
                    PyObject** domain, PyObject** parameters)
{
    return parse_command(line, line_len, "FROM:", "Expected FROM:", source_route, user, domain,
                         parameters);
}

int parse_rcpt_to(const char* line, uint32_t line_len, PyObject** source_route, PyObject** user,
                  PyObject** domain, PyObject** parameters)
{
    return parse_command(line, line_len, "TO:", "Expected TO:", source_route, user, domain,
                         parameters);
}

int parse_params(const char* line, uint32_t line_len, PyObject** parameters)
{
    PyObject* list = PyList_New(0);
    if (!list)
        return -1;
    *parameters = list;
    param_states param_state = PARAM_STATE_NAME;
    uint32_t name_start = 0;
    uint32_t value_start = 0;
    Ref name;
    // The position just past the text ends whatever is pending.
    for (uint32_t i = 0;; ++i) {
        const int c = i < line_len ? static_cast<unsigned char>(line[i]) : -1;
        if (param_state == PARAM_STATE_NAME && !is_name_char(c)) {
            if (i > name_start) {
                name = cut(line, name_start, i);
                if (!name)
                    return -1;
                if (c == '=') {
                    param_state = PARAM_STATE_VALUE;
                    value_start = i + 1;
                } else if (!append_param(list, name, Py_None)) {
                    return -1;
                }
            }
            // Runs of separators, and an '=' with no name, are skipped.
            name_start = i + 1;
        } else if (param_state == PARAM_STATE_VALUE && !is_value_char(c)) {
            Ref value = cut(line, value_start, i);
            if (!value || !append_param(list, name, value.get()))
                return -1;
            param_state = PARAM_STATE_NAME;
            name_start = i + 1;
        }
        if (i == line_len)
            return 0;
    }
}

}
