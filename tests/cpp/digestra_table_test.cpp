// Digestra's operation table as another native module uses it: fetched from
// the type's dict, called on parcel bytes held in C++ memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "embedded_python.h"
#include "orvex/digestra.h"
#include "pyglue/imports.h"
#include "pyglue/ref.h"

using digestra::DigestraObject;
using digestra::DigestraVTable;
using pyglue::Ref;

namespace {

// Parcel bytes from a literal, embedded NULs included.
template <size_t N>
std::string bytes(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}

class DigestraTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        ensure_python();
        Ref module = Ref::steal(PyImport_ImportModule("orvex.digestra"));
        ASSERT_TRUE(module) << "import orvex.digestra failed";
        Ref type = Ref::steal(PyObject_GetAttrString(module.get(), "Digestra"));
        ASSERT_TRUE(type && PyType_Check(type.get()));
        table_ = static_cast<DigestraVTable*>(
            pyglue::get_vtable(reinterpret_cast<PyTypeObject*>(type.get())));
        ASSERT_NE(table_, nullptr);
        instance_ = Ref::steal(PyObject_CallObject(type.get(), nullptr));
        ASSERT_TRUE(instance_);
    }

    void TearDown() override { PyErr_Clear(); }

    DigestraObject* self() const { return reinterpret_cast<DigestraObject*>(instance_.get()); }

    // The bytes live in a vector of exactly their size, so a read past the
    // end is caught by the sanitizer build.
    int hash_bytes(const std::string& parcel, int case_sensitive)
    {
        std::vector<char> copy(parcel.begin(), parcel.end());
        return table_->hash_c_str(self(), copy.data(), static_cast<int>(copy.size()),
                                  case_sensitive);
    }

    bool pending(PyObject* exc)
    {
        bool matches = PyErr_Occurred() && PyErr_ExceptionMatches(exc);
        PyErr_Clear();
        return matches;
    }

    DigestraVTable* table_ = nullptr;
    Ref instance_;
};

struct HashCase {
    std::string parcel;
    int case_sensitive;
    int hash;
};

TEST_F(DigestraTable, HashCStrGivesTheValueHash)
{
    const HashCase cases[] = {
        {bytes("s\x03" "abc"), 1, -1600925533},
        {bytes("s\x03" "ABC"), 1, 826005955},
        {bytes("s\x03" "ABC"), 0, -1600925533},
        {bytes("t\x02i\x01i\x02"), 1, 219750523},
        {bytes("T\x00\x00\x00\x00"), 1, 3430008},
        {bytes("I\xff\xff"), 1, -2},
        {bytes("i\x07" "trailing"), 1, 7},
        {bytes("'"), 0, 0},
        // Longs and floats hash as Python 2 hashes them: 2**64 - 1 and 1.5.
        {bytes("L\x09\xff\xff\xff\xff\xff\xff\xff\xff\x00"), 1, -2},
        {bytes("f\x3f\xf8\x00\x00\x00\x00\x00\x00"), 0, 1610645504},
    };
    for (const HashCase& c : cases) {
        EXPECT_EQ(hash_bytes(c.parcel, c.case_sensitive), c.hash) << c.parcel;
        EXPECT_FALSE(PyErr_Occurred());
        EXPECT_EQ(self()->_case_sensitive, c.case_sensitive);
    }
}

TEST_F(DigestraTable, HashCStrFailuresReturnMinusOneWithTheException)
{
    Ref module = Ref::steal(PyImport_ImportModule("orvex.parcel"));
    ASSERT_TRUE(module);
    Ref key_error = Ref::steal(PyObject_GetAttrString(module.get(), "UnpackKeyError"));
    Ref unpack_error = Ref::steal(PyObject_GetAttrString(module.get(), "UnpackError"));
    ASSERT_TRUE(key_error && unpack_error);

    EXPECT_EQ(hash_bytes("z", 1), -1);
    EXPECT_TRUE(pending(key_error.get()));
    EXPECT_EQ(hash_bytes(bytes("t\x02i\x01]"), 1), -1);
    EXPECT_TRUE(pending(PyExc_NotImplementedError));
    EXPECT_EQ(hash_bytes(bytes("s\x05" "ab"), 0), -1);
    EXPECT_TRUE(pending(unpack_error.get()));
    EXPECT_EQ(hash_bytes("", 1), -1);
    EXPECT_TRUE(pending(unpack_error.get()));
}

TEST_F(DigestraTable, HashTakesAParcelObject)
{
    const std::string upper = bytes("t\x01s\x03" "ABC");
    Ref parcel = Ref::steal(PyBytes_FromStringAndSize(upper.data(), upper.size()));
    ASSERT_TRUE(parcel);
    const int folded = table_->hash(self(), parcel.get(), 0);
    EXPECT_NE(folded, -1);
    EXPECT_EQ(folded, hash_bytes(bytes("t\x01s\x03" "abc"), 1));
    EXPECT_FALSE(PyErr_Occurred());
}

// _hash and _hash_tuple read from a reader the caller has positioned.
TEST_F(DigestraTable, InnerSlotsReadFromTheReader)
{
    parcel::UnpackerObject* reader = self()->u_a;
    const std::string elements = bytes("i\x01i\x02z");
    Ref bound = Ref::steal(reader->__pyx_vtab->load_c_str(reader, elements.data(),
                                                           static_cast<int>(elements.size())));
    ASSERT_TRUE(bound);
    self()->_case_sensitive = 1;
    EXPECT_EQ(table_->_hash_tuple(self(), 2, reader), 219750523);
    // A count of 0 or less reads nothing: the 'z' is still next.
    EXPECT_EQ(table_->_hash_tuple(self(), 0, reader), 3430008);
    EXPECT_EQ(table_->_hash(self(), reader), -1);
    EXPECT_TRUE(PyErr_Occurred());
    PyErr_Clear();

    const std::string value = bytes("s\x02" "Ab");
    bound = Ref::steal(reader->__pyx_vtab->load_c_str(reader, value.data(),
                                                      static_cast<int>(value.size())));
    ASSERT_TRUE(bound);
    self()->_case_sensitive = 0;
    const int folded = table_->_hash(self(), reader);
    EXPECT_EQ(folded, hash_bytes(bytes("s\x02" "ab"), 1));
}

// An entry called on a busy instance hashes on a fresh one and leaves the
// busy one's reader and case flag as they are.
TEST_F(DigestraTable, EntriesOnABusyInstanceLeaveItsReaderAlone)
{
    parcel::UnpackerObject* reader = self()->u_a;
    const std::string elements = bytes("i\x01i\x02");
    Ref bound = Ref::steal(reader->__pyx_vtab->load_c_str(reader, elements.data(),
                                                           static_cast<int>(elements.size())));
    ASSERT_TRUE(bound);
    self()->_case_sensitive = 1;
    self()->_busy = 1;
    EXPECT_EQ(hash_bytes(bytes("s\x03" "ABC"), 0), -1600925533);
    Ref parcel = Ref::steal(PyBytes_FromStringAndSize("i\x07", 2));
    EXPECT_EQ(table_->hash(self(), parcel.get(), 0), 7);
    EXPECT_EQ(self()->_case_sensitive, 1);
    EXPECT_EQ(self()->_busy, 1);
    self()->_busy = 0;
    EXPECT_EQ(table_->_hash_tuple(self(), 2, reader), 219750523);
    EXPECT_EQ(hash_bytes(bytes("i\x05"), 1), 5);
    EXPECT_EQ(self()->_busy, 0);
}

}  // namespace
