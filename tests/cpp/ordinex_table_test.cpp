// Ordinex's operation table as another native module uses it: fetched from
// the type's dict, called on parcel bytes held in C++ memory and on readers
// positioned by hand.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "embedded_python.h"
#include "orvex/ordinex.h"
#include "orvex/parcel.h"
#include "pyglue/compat.h"
#include "pyglue/imports.h"
#include "pyglue/ref.h"

using ordinex::OrdinexObject;
using ordinex::OrdinexVTable;
using parcel::UnpackerObject;
using pyglue::Ref;

namespace {

// Parcel bytes from a literal, embedded NULs included.
template <size_t N>
std::string bytes(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}

PyTypeObject* type_of(const char* module_name, const char* name)
{
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    Ref type = Ref::steal(module ? PyObject_GetAttrString(module.get(), name) : nullptr);
    return type && PyType_Check(type.get()) ? reinterpret_cast<PyTypeObject*>(type.get()) : nullptr;
}

class OrdinexTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        ensure_python();
        type_ = type_of("orvex.ordinex", "Ordinex");
        ASSERT_NE(type_, nullptr) << "import orvex.ordinex failed";
        table_ = static_cast<OrdinexVTable*>(pyglue::get_vtable(type_));
        ASSERT_NE(table_, nullptr);
        PyTypeObject* unpacker = type_of("orvex.parcel", "Unpacker");
        ASSERT_NE(unpacker, nullptr);
        reader_ = static_cast<parcel::UnpackerVTable*>(pyglue::get_vtable(unpacker));
        ASSERT_NE(reader_, nullptr);
        instance_ = Ref::steal(PyObject_CallObject(reinterpret_cast<PyObject*>(type_), nullptr));
        ASSERT_TRUE(instance_);
    }

    void TearDown() override { PyErr_Clear(); }

    OrdinexObject* self() const { return reinterpret_cast<OrdinexObject*>(instance_.get()); }

    // The bytes live in a vector of exactly their size, so a read past the
    // end is caught by the sanitizer build.
    int cmp_bytes(const std::string& a, const std::string& b, int case_sensitive)
    {
        std::vector<char> a_copy(a.begin(), a.end());
        std::vector<char> b_copy(b.begin(), b.end());
        return table_->cmp_c_str(self(), a_copy.data(), static_cast<int>(a_copy.size()),
                                 b_copy.data(), static_cast<int>(b_copy.size()), case_sensitive);
    }

    // Binds both readers of the instance, for the slots that take readers.
    void load(const std::string& a, const std::string& b)
    {
        a_ = a;
        b_ = b;
        Ref loaded = Ref::steal(reader_->load_c_str(self()->u_a, a_.data(), int(a_.size())));
        ASSERT_TRUE(loaded);
        loaded = Ref::steal(reader_->load_c_str(self()->u_b, b_.data(), int(b_.size())));
        ASSERT_TRUE(loaded);
    }

    // The pending exception if it is of class `exc` (cleared either way).
    Ref pending(PyObject* exc)
    {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(tb);
        if (!type || !PyErr_GivenExceptionMatches(type, exc))
            return Ref();
        return owned_value;
    }

    std::string message(const Ref& error)
    {
        Ref text = Ref::steal(PyObject_Str(error.get()));
        const char* utf8 = text ? pyglue::text_as_utf8(text.get()) : nullptr;
        return utf8 ? utf8 : "";
    }

    PyTypeObject* type_ = nullptr;
    OrdinexVTable* table_ = nullptr;
    parcel::UnpackerVTable* reader_ = nullptr;
    Ref instance_;
    std::string a_, b_;
};

TEST_F(OrdinexTable, TypeAndInstanceMatchTheHeader)
{
    EXPECT_EQ(type_->tp_basicsize, Py_ssize_t(sizeof(OrdinexObject)));
    EXPECT_TRUE(PyType_HasFeature(type_, Py_TPFLAGS_BASETYPE));
    EXPECT_TRUE(PyType_HasFeature(type_, Py_TPFLAGS_HAVE_GC));
    EXPECT_EQ(self()->__pyx_vtab, table_);
    PyTypeObject* unpacker = type_of("orvex.parcel", "Unpacker");
    EXPECT_EQ(Py_TYPE(self()->u_a), unpacker);
    EXPECT_EQ(Py_TYPE(self()->u_b), unpacker);
    EXPECT_NE(self()->u_a, self()->u_b);
}

struct CmpCase {
    std::string a, b;
    int case_sensitive;
    int expected;
};

TEST_F(OrdinexTable, CmpCStrOnRawBytes)
{
    const CmpCase cases[] = {
        {bytes("i\x01"), bytes("i\x02"), 1, -1},
        {bytes("l\x7f\xff\xff\xff"), bytes("l\x80\x00\x00\x00"), 1, 1},
        {bytes("N"), bytes("N"), 1, 0},
        {bytes("s\x03" "ABC"), bytes("s\x03" "abc"), 1, -1},
        {bytes("s\x03" "ABC"), bytes("s\x03" "abc"), 0, 0},
        {bytes("s\x03" "a\x00" "b"), bytes("S\x00\x00\x00\x03" "a\x00" "c"), 1, -1},
        {bytes("t\x02s\x01" "Ai\x05"), bytes("t\x02s\x01" "ai\x05"), 0, 0},
        {bytes("t\x02s\x01" "Ai\x05"), bytes("t\x02s\x01" "ai\x05"), 1, -1},
        {bytes("c\x01" "f\x7f\xf8\x00\x00\x00\x00\x00\x00"), bytes("c\x01i\x00"), 1, 1},
        {bytes("i\x01junk"), bytes("i\x01"), 1, 0},
        {bytes("d\x01NN"), bytes("}"), 1, 1},
    };
    UnpackerObject* u_a = self()->u_a;
    UnpackerObject* u_b = self()->u_b;
    for (const CmpCase& c : cases) {
        EXPECT_EQ(cmp_bytes(c.a, c.b, c.case_sensitive), c.expected) << c.a << " vs " << c.b;
        EXPECT_FALSE(PyErr_Occurred());
        EXPECT_EQ(self()->_case_sensitive, c.case_sensitive);
    }
    // Rebound, never replaced.
    EXPECT_EQ(self()->u_a, u_a);
    EXPECT_EQ(self()->u_b, u_b);
}

TEST_F(OrdinexTable, CmpOnStringObjects)
{
    Ref a = Ref::steal(PyBytes_FromStringAndSize("s\x02" "ab", 4));
    Ref b = Ref::steal(PyBytes_FromStringAndSize("s\x02" "AB", 4));
    EXPECT_EQ(table_->cmp(self(), a.get(), b.get(), 1), 1);
    EXPECT_EQ(table_->cmp(self(), a.get(), b.get(), 0), 0);
    EXPECT_EQ(table_->cmp(self(), Py_None, b.get(), 1), -1);
    EXPECT_TRUE(pending(PyExc_TypeError));
}

TEST_F(OrdinexTable, FailuresAreMinusOneWithAnException)
{
    Ref parcel_module = Ref::steal(PyImport_ImportModule("orvex.parcel"));
    Ref unpack_key_error = Ref::steal(PyObject_GetAttrString(parcel_module.get(), "UnpackKeyError"));
    Ref unpack_error = Ref::steal(PyObject_GetAttrString(parcel_module.get(), "UnpackError"));
    ASSERT_TRUE(unpack_key_error && unpack_error);

    EXPECT_EQ(cmp_bytes(bytes("\xff"), bytes("i\x01"), 1), -1);
    Ref error = pending(unpack_key_error.get());
    ASSERT_TRUE(error);
    Ref args = Ref::steal(PyObject_GetAttrString(error.get(), "args"));
    Ref expected = Ref::steal(Py_BuildValue("(i)", -1));
    EXPECT_EQ(PyObject_RichCompareBool(args.get(), expected.get(), Py_EQ), 1);

    EXPECT_EQ(cmp_bytes(bytes("s\x05" "ab"), bytes("s\x01" "a"), 1), -1);
    EXPECT_TRUE(pending(unpack_error.get()));
    EXPECT_EQ(cmp_bytes(bytes("s\x01" "a"), bytes("t\x01N"), 1), -1);
    EXPECT_FALSE(PyErr_Occurred());  // a genuine "less"
}

TEST_F(OrdinexTable, CmpDictAssertsOnForeignCodes)
{
    struct Case {
        char a_code, b_code;
        const char* message;
    };
    const Case cases[] = {
        {'x', '}', "Incorrect a type 120"},
        {'}', 'q', "Incorrect b type 113"},
        {'\xfe', 'd', "Incorrect a type -2"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(table_->_cmp_dict(self(), c.a_code, self()->u_a, c.b_code, self()->u_b), -1);
        Ref error = pending(PyExc_AssertionError);
        ASSERT_TRUE(error) << c.message;
        EXPECT_EQ(message(error), c.message);
    }
    load(bytes("\x01NN"), bytes("\x02NNi\x01i\x01"));
    EXPECT_EQ(table_->_cmp_dict(self(), 'd', self()->u_a, 'd', self()->u_b), -1);
    load(bytes("\x00\x00\x00\x01i\x01N"), bytes("\x01i\x01N"));
    EXPECT_EQ(table_->_cmp_dict(self(), 'D', self()->u_a, 'd', self()->u_b), 0);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(OrdinexTable, SequenceSlotsOnPositionedReaders)
{
    OrdinexObject* o = self();
    load(bytes("i\x01i\x02"), bytes("i\x01i\x03"));
    EXPECT_EQ(table_->_cmp_tuple(o, 2, o->u_a, 2, o->u_b), -1);
    load(bytes("i\x01i\x02"), bytes("i\x01"));
    EXPECT_EQ(table_->_cmp_tuple(o, 2, o->u_a, 1, o->u_b), 1);
    load(bytes("c\x01i\x01N"), bytes("c\x01i\x01N"));
    EXPECT_EQ(table_->_cmp_list(o, 2, o->u_a, 2, o->u_b), 0);
    load(bytes("i\x01"), bytes("t\x01i\x02"));
    EXPECT_EQ(table_->_det_tuple(o, 1, o->u_a, o->u_b), -1);
    load(bytes("i\x01"), bytes("]"));
    EXPECT_EQ(table_->_det_list(o, 1, o->u_a, o->u_b), 1);
    load(bytes(""), bytes("d\x01NN"));
    EXPECT_EQ(table_->_det_dict(o, '}', o->u_a, o->u_b), -1);
    load(bytes("t\x01s\x01" "a"), bytes("t\x01\xff"));
    EXPECT_EQ(table_->_cmp_list(o, 1, o->u_a, 1, o->u_b), -1);
    EXPECT_TRUE(pending(PyExc_KeyError));
    EXPECT_FALSE(PyErr_Occurred());
}

// An entry called on an instance that is busy (a caller further up the
// stack is between its load and its answer) compares on a fresh instance
// and leaves the busy one's readers where they stand.
TEST_F(OrdinexTable, EntriesOnABusyInstanceLeaveItsReadersAlone)
{
    OrdinexObject* o = self();
    load(bytes("t\x02i\x01i\x02"), bytes("t\x02i\x01i\x03"));
    const int a_index = o->u_a->_index, b_index = o->u_b->_index;
    o->_busy = 1;
    EXPECT_EQ(cmp_bytes(bytes("s\x01" "a"), bytes("s\x01" "b"), 1), -1);
    Ref a = Ref::steal(PyBytes_FromString("i\x07"));
    EXPECT_EQ(table_->cmp(o, a.get(), a.get(), 1), 0);
    EXPECT_EQ(o->u_a->_index, a_index);
    EXPECT_EQ(o->u_b->_index, b_index);
    EXPECT_EQ(o->_busy, 1);
    o->_busy = 0;
    EXPECT_EQ(table_->_cmp(o, o->u_a, o->u_b), -1);
    // A free instance is used, and free again afterwards.
    EXPECT_EQ(cmp_bytes(bytes("i\x02"), bytes("i\x01"), 1), 1);
    EXPECT_EQ(o->_busy, 0);
}

TEST_F(OrdinexTable, ScalarSlots)
{
    OrdinexObject* o = self();
    const double nan = std::nan("");
    EXPECT_EQ(table_->_cmp_int(o, INT_MIN, INT_MAX), -1);
    EXPECT_EQ(table_->_cmp_int(o, INT_MAX, INT_MIN), 1);
    EXPECT_EQ(table_->_cmp_float(o, nan, 1.0), 1);
    EXPECT_EQ(table_->_cmp_float(o, 1.0, nan), 1);
    EXPECT_EQ(table_->_cmp_float(o, -0.0, 0.0), 0);
    o->_case_sensitive = 0;
    EXPECT_EQ(table_->_cmp_string(o, "abc", 3, "ABD", 3), -1);
    o->_case_sensitive = 1;
    EXPECT_EQ(table_->_cmp_string(o, "abc", 3, "ABD", 3), 1);
    Ref five = Ref::steal(PyLong_FromLong(5));
    Ref seven = Ref::steal(PyLong_FromLong(7));
    EXPECT_EQ(table_->_cmp_long(o, five.get(), seven.get()), -1);

    load(bytes(""), bytes("f\x40\x14\x00\x00\x00\x00\x00\x00"));
    EXPECT_EQ(table_->_det_int(o, 5, o->u_b), 0);
    load(bytes(""), bytes("i\x01"));
    EXPECT_EQ(table_->_det_float(o, 0.5, o->u_b), -1);
    load(bytes(""), bytes("L\x01\x07"));
    EXPECT_EQ(table_->_det_long(o, five.get(), o->u_b), -1);
    load(bytes(""), bytes("s\x01" "a"));
    EXPECT_EQ(table_->_det_string(o, "b", 1, o->u_b), 1);
    load(bytes("N"), bytes("N"));
    EXPECT_EQ(table_->_det_user(o, o->u_a, o->u_b), -1);
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(table_->_cmp(o, o->u_a, o->u_b), 0);
}

}  // namespace
