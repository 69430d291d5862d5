// The address scanner at C level: the growth guard of CHECK_SIZE, the 32-bit
// length guard of the module functions, the bound and stack use of deep
// re-parsing and the ownership of out-parameters.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "embedded_python.h"
#include "orvex/addrix_scan.h"
#include "pyglue/compat.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

std::string text_of(PyObject* str)
{
    return std::string(PyBytes_AS_STRING(str), PyBytes_GET_SIZE(str));
}

class Addrix : public ::testing::Test {
protected:
    void SetUp() override { ensure_python(); }
    void TearDown() override { EXPECT_FALSE(PyErr_Occurred()); }

    // The exception pending, as "Type: message"; cleared.
    static std::string take_error()
    {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
        if (!t)
            return "";
        Ref message = Ref::steal(PyObject_Str(v.get()));
        // Python 2 names its built-in exceptions "Name".
        std::string name = reinterpret_cast<PyTypeObject*>(t.get())->tp_name;
        if (name.rfind("exceptions.", 0) == 0)
            name.erase(0, 11);
        return name + ": " +
               (message ? pyglue::text_as_utf8(message.get()) : "?");
    }
};

TEST_F(Addrix, CheckSizeGrowsKeepingBytes)
{
    PyObject* str = PyBytes_FromStringAndSize("abcdefgh", 8);
    ASSERT_TRUE(str);
    uint32_t capacity = 8;
    char* bytes = PyBytes_AS_STRING(str);
    ASSERT_EQ(CHECK_SIZE(&str, &capacity, &bytes, 6), 0);
    EXPECT_EQ(capacity, 8u);
    ASSERT_EQ(CHECK_SIZE(&str, &capacity, &bytes, 7), 0);
    EXPECT_EQ(capacity, 2u * 8 + 40);
    ASSERT_TRUE(str);
    EXPECT_EQ(PyBytes_GET_SIZE(str), 56);
    EXPECT_EQ(bytes, PyBytes_AS_STRING(str));
    EXPECT_EQ(std::string(bytes, 8), "abcdefgh");
    Py_DECREF(str);
}

TEST_F(Addrix, CheckSizeRefusesACapacityBeyond32Bits)
{
    // The capacity is fake: the guard must refuse before anything is resized.
    // 2 * 2147483628 + 40 is 2**32, the first size that would wrap to 0.
    for (uint32_t fake : {2147483628u, 3000000000u, 4294967295u}) {
        PyObject* str = PyBytes_FromStringAndSize("abcdefgh", 8);
        ASSERT_TRUE(str);
        uint32_t capacity = fake;
        char* bytes = PyBytes_AS_STRING(str);
        EXPECT_EQ(CHECK_SIZE(&str, &capacity, &bytes, fake - 1), -1);
        EXPECT_EQ(str, nullptr);
        EXPECT_EQ(take_error(), "MemoryError: ");
    }
}

// A byte string whose recorded size is made larger than its bytes for one call: the
// argument parser takes the size as it is, so the module must refuse it
// before any parser reads a byte.
TEST_F(Addrix, TextsBeyond32BitsRaiseOverflowError)
{
    Ref module = Ref::steal(PyImport_ImportModule("orvex._addrix"));
    ASSERT_TRUE(module) << take_error();
    const struct {
        const char* name;
        const char* text;
    } calls[] = {{"parse_address", "<a@b>"},
                 {"parse_mail_from", "FROM:<a@b>"},
                 {"parse_rcpt_to", "TO:<a@b>"},
                 {"unescape_local_part", "\"a\""}};
    for (const auto& call : calls) {
        Ref func = Ref::steal(PyObject_GetAttrString(module.get(), call.name));
        Ref text = Ref::steal(PyBytes_FromString(call.text));
        ASSERT_TRUE(func && text);
        const Py_ssize_t real_size = PyBytes_GET_SIZE(text.get());
        for (Py_ssize_t size : {Py_ssize_t(1) << 32, (Py_ssize_t(1) << 32) + real_size,
                                Py_ssize_t(1) << 40}) {
            pyglue::set_size(text.get(), size);
            Ref result = Ref::steal(PyObject_CallFunctionObjArgs(func.get(), text.get(), nullptr));
            pyglue::set_size(text.get(), real_size);
            EXPECT_FALSE(result) << call.name;
            EXPECT_EQ(take_error(), "OverflowError: string longer than 4294967295 bytes")
                << call.name << " " << size;
        }
        Ref result = Ref::steal(PyObject_CallFunctionObjArgs(func.get(), text.get(), nullptr));
        EXPECT_TRUE(result) << call.name << ": " << take_error();
    }
}

using command_parser = int (*)(const char*, uint32_t, PyObject**, PyObject**, PyObject**,
                               PyObject**);

// One C-level entry on one line, run on a thread of its own.
struct DeepScan {
    DeepScan(std::string text, command_parser entry) : line(std::move(text)), parse(entry) {}

    std::string line;
    command_parser parse;  // null: parse_address
    int rc = -1;
    std::string user;
    uint32_t stop = 0;
};

void deep_scan(DeepScan* scan)
{
    const char* line = scan->line.data();
    const auto line_len = static_cast<uint32_t>(scan->line.size());
    PyObject *route = nullptr, *user = nullptr, *domain = nullptr, *parameters = nullptr;
    scan->rc = scan->parse ? scan->parse(line, line_len, &route, &user, &domain, &parameters)
                           : parse_address(line, line_len, &route, &user, &domain, &scan->stop);
    Ref owned[] = {Ref::steal(route), Ref::steal(user), Ref::steal(domain),
                   Ref::steal(parameters)};
    if (scan->rc == 0)
        scan->user = text_of(user);
}

// The scanner makes interpreter objects, so the thread takes the lock.
void* run_deep_scan(void* arg)
{
    PyGILState_STATE state = PyGILState_Ensure();
    deep_scan(static_cast<DeepScan*>(arg));
    PyGILState_Release(state);
    return nullptr;
}

// '" ' repeated nests one re-parse per pair, up to the limit, and the run at
// the limit keeps the spaces quoted in the pairs it still sees: one in two.
// Ten thousand pairs on a 256 KiB stack leave a few bytes per pair, so the
// scan must loop rather than recurse; every entry reaches the same bound.
TEST_F(Addrix, DeepReparseStopsAtTheLimitInBoundedStack)
{
    const uint32_t pairs = 10000;
    std::string text;
    for (uint32_t k = 0; k < pairs; ++k)
        text += "\" ";
    text += "ab\"";
    const std::string user = std::string((pairs - ADDRESS_REPARSE_LIMIT + 1) / 2, ' ') + "ab";
    DeepScan scans[] = {
        {text, nullptr}, {"FROM:" + text, parse_mail_from}, {"TO:" + text, parse_rcpt_to}};
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    for (DeepScan& scan : scans) {
        pthread_t thread;
        int created, joined = -1;
        // This thread hands the interpreter lock over while it waits.
        Py_BEGIN_ALLOW_THREADS
        created = pthread_create(&thread, &attr, run_deep_scan, &scan);
        if (created == 0)
            joined = pthread_join(thread, nullptr);
        Py_END_ALLOW_THREADS
        ASSERT_EQ(created, 0);
        ASSERT_EQ(joined, 0);
        ASSERT_EQ(scan.rc, 0) << scan.line.substr(0, 8);
        EXPECT_EQ(scan.user, user) << scan.line.substr(0, 8);
    }
    pthread_attr_destroy(&attr);
    EXPECT_EQ(scans[0].stop, text.size());
}

TEST_F(Addrix, OutParametersAreNewReferences)
{
    // Exactly sized, no terminating NUL: the scanner must stay inside.
    const std::string source = "<@r:u@d> A=1 B";
    std::vector<char> line(source.begin(), source.end());
    PyObject *route = nullptr, *user = nullptr, *domain = nullptr;
    uint32_t stop = 0;
    ASSERT_EQ(parse_address(line.data(), static_cast<uint32_t>(line.size()), &route, &user,
                            &domain, &stop),
              0);
    Ref owned[] = {Ref::steal(route), Ref::steal(user), Ref::steal(domain)};
    EXPECT_EQ(stop, 8u);
    EXPECT_EQ(text_of(route), "@r:");
    EXPECT_EQ(text_of(user), "u");
    EXPECT_EQ(text_of(domain), "d");
    for (const Ref& part : owned)
        EXPECT_EQ(Py_REFCNT(part.get()), 1);

    PyObject* parameters = nullptr;
    ASSERT_EQ(parse_params(line.data() + stop, static_cast<uint32_t>(line.size() - stop),
                           &parameters),
              0);
    Ref list = Ref::steal(parameters);
    EXPECT_EQ(Py_REFCNT(parameters), 1);
    ASSERT_EQ(PyList_GET_SIZE(parameters), 2);
    PyObject* second = PyList_GET_ITEM(parameters, 1);
    EXPECT_EQ(Py_REFCNT(second), 1);
    EXPECT_EQ(text_of(PyTuple_GET_ITEM(second, 0)), "B");
    EXPECT_EQ(PyTuple_GET_ITEM(second, 1), Py_None);
}

TEST_F(Addrix, KeywordMismatchCreatesNothing)
{
    PyObject* out[4] = {nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(parse_rcpt_to("FROM:<a@b>", 10, &out[0], &out[1], &out[2], &out[3]), -1);
    EXPECT_EQ(take_error(), "ValueError: Expected TO:");
    for (PyObject* obj : out)
        EXPECT_EQ(obj, nullptr);
}

}  // namespace
