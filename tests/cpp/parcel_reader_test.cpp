// The parcel reader as native modules use it: types imported with their sizes
// checked, the published operation tables, and each reader operation driven
// over hand-made bytes.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "embedded_python.h"
#include "orvex/parcel.h"
#include "pyglue/imports.h"
#include "pyglue/ref.h"

using parcel::UnpackerObject;
using parcel::UnpackerVTable;
using pyglue::Ref;

namespace {

class ParcelReader : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ensure_python();
        unpacker_type = pyglue::import_type("orvex.parcel", "Unpacker", sizeof(UnpackerObject));
        packer_type = pyglue::import_type("orvex.parcel", "Packer", sizeof(parcel::PackerObject));
        ASSERT_TRUE(unpacker_type && packer_type) << "import failed";
        vtable = static_cast<UnpackerVTable*>(pyglue::get_vtable(unpacker_type));
        ASSERT_TRUE(vtable);
        Ref module = Ref::steal(PyImport_ImportModule("orvex.parcel"));
        unpack_error = PyObject_GetAttrString(module.get(), "UnpackError");
        ASSERT_TRUE(unpack_error);
    }

    void SetUp() override
    {
        reader_ref = Ref::steal(PyObject_CallObject(reinterpret_cast<PyObject*>(unpacker_type), nullptr));
        ASSERT_TRUE(reader_ref);
        reader = reinterpret_cast<UnpackerObject*>(reader_ref.get());
    }

    void TearDown() override { EXPECT_FALSE(PyErr_Occurred()) << "exception left pending"; }

    void bind(const std::string& bytes)
    {
        data = bytes;
        Ref none = Ref::steal(vtable->load_c_str(reader, data.data(), static_cast<int>(data.size())));
        ASSERT_EQ(none.get(), Py_None);
    }

    // The operation failed with UnpackError pending; clears it.
    static bool failed_with_unpack_error()
    {
        bool matches = PyErr_ExceptionMatches(unpack_error);
        PyErr_Clear();
        return matches;
    }

    static PyTypeObject* unpacker_type;
    static PyTypeObject* packer_type;
    static UnpackerVTable* vtable;
    static PyObject* unpack_error;
    Ref reader_ref;
    UnpackerObject* reader = nullptr;
    std::string data;
};

PyTypeObject* ParcelReader::unpacker_type;
PyTypeObject* ParcelReader::packer_type;
UnpackerVTable* ParcelReader::vtable;
PyObject* ParcelReader::unpack_error;

TEST_F(ParcelReader, ImportChecksSizesAndFindsBothTables)
{
    EXPECT_TRUE(pyglue::get_vtable(packer_type));
    EXPECT_EQ(pyglue::import_type("orvex.parcel", "Unpacker", sizeof(UnpackerObject) + 8), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));
    PyErr_Clear();
}

TEST_F(ParcelReader, PeekPointsLookConsumes)
{
    bind("t\x02i\x07");
    const char* p = vtable->_peek(reader, 1);
    ASSERT_EQ(p, data.data());
    EXPECT_EQ(vtable->_peek(reader, 1), p);
    EXPECT_EQ(vtable->_look(reader, 1), p);
    EXPECT_EQ(vtable->_look(reader, 3), data.data() + 1);
    EXPECT_EQ(reader->_index, 4);
    EXPECT_EQ(vtable->_look(reader, 0), data.data() + 4);
    EXPECT_EQ(vtable->_peek(reader, 1), nullptr);
    EXPECT_TRUE(failed_with_unpack_error());
    EXPECT_EQ(vtable->_look(reader, 1), nullptr);
    EXPECT_TRUE(failed_with_unpack_error());
}

TEST_F(ParcelReader, LookRefusesNegativeAndHugeCountsWithoutMoving)
{
    bind("abcdef");
    vtable->_look(reader, 2);
    for (int n : {-1, INT_MIN, INT_MAX, INT_MAX - 1, 5}) {
        EXPECT_EQ(vtable->_look(reader, n), nullptr) << n;
        EXPECT_TRUE(failed_with_unpack_error()) << n;
        EXPECT_EQ(vtable->_peek(reader, n), nullptr) << n;
        EXPECT_TRUE(failed_with_unpack_error()) << n;
    }
    EXPECT_EQ(reader->_index, 2);
    EXPECT_EQ(vtable->_look(reader, 4), data.data() + 2);
}

TEST_F(ParcelReader, IntReadersMinusOneIsAValueUnlessAnExceptionIsSet)
{
    bind(std::string("\xff" "\xff\xff" "\xff\xff\xff\xff" "\x80\x00" "\x7f\xff\xff\xff" "\x00", 14));
    EXPECT_EQ(vtable->_read_short_int(reader), 255);
    EXPECT_EQ(vtable->_read_medium_int(reader), -1);
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(vtable->_read_int32(reader), -1);
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(vtable->_read_medium_int(reader), -32768);
    EXPECT_EQ(vtable->_read_int32(reader), INT_MAX);
    EXPECT_EQ(vtable->_read_short_int(reader), 0);
    for (auto read : {vtable->_read_short_int, vtable->_read_medium_int, vtable->_read_int32}) {
        EXPECT_EQ(read(reader), -1);
        EXPECT_TRUE(failed_with_unpack_error());
    }
}

TEST_F(ParcelReader, StringReadersPointIntoTheParcel)
{
    bind(std::string("\x03" "abc" "\x00\x00\x01\x00", 8) + std::string(256, 'z') + std::string(1, '\0'));
    const char* s = nullptr;
    int len = -7;
    ASSERT_EQ(vtable->_read_short_string(reader, &s, &len), 0);
    EXPECT_EQ(s, data.data() + 1);
    EXPECT_EQ(len, 3);
    ASSERT_EQ(vtable->_read_long_string(reader, &s, &len), 0);
    EXPECT_EQ(s, data.data() + 8);
    EXPECT_EQ(len, 256);
    ASSERT_EQ(vtable->_read_short_string(reader, &s, &len), 0);
    EXPECT_EQ(len, 0);
}

TEST_F(ParcelReader, StringReadersRefuseBadLengths)
{
    const char* s;
    int len;
    for (const std::string& bytes : {std::string("\x05" "ab"), std::string("")}) {
        bind(bytes);
        EXPECT_EQ(vtable->_read_short_string(reader, &s, &len), -1);
        EXPECT_TRUE(failed_with_unpack_error());
    }
    for (const std::string& bytes :
         {std::string("\xff\xff\xff\xff" "ab", 6), std::string("\x7f\xff\xff\xff" "ab", 6),
          std::string("\x00\x00", 2)}) {
        bind(bytes);
        EXPECT_EQ(vtable->_read_long_string(reader, &s, &len), -1);
        EXPECT_TRUE(failed_with_unpack_error());
    }
}

TEST_F(ParcelReader, LongAndFloatLoaders)
{
    bind(std::string("\x01\x80" "\x00\x00\x00\x02\x00\x01" "\x00" "?\xf8\x00\x00\x00\x00\x00\x00", 17));
    Ref a = Ref::steal(vtable->_load_short_long(reader));
    Ref b = Ref::steal(vtable->_load_long_long(reader));
    Ref c = Ref::steal(vtable->_load_short_long(reader));
    Ref d = Ref::steal(vtable->_load_float(reader));
    ASSERT_TRUE(a && b && c && d);
    EXPECT_EQ(PyLong_AsLong(a.get()), -128);
    EXPECT_EQ(PyLong_AsLong(b.get()), 256);
    EXPECT_EQ(PyLong_AsLong(c.get()), 0);
    EXPECT_EQ(PyFloat_AsDouble(d.get()), 1.5);
    EXPECT_EQ(vtable->_load_float(reader), nullptr);
    EXPECT_TRUE(failed_with_unpack_error());
    bind(std::string("\x80\x00\x00\x00", 4));
    EXPECT_EQ(vtable->_load_long_long(reader), nullptr);
    EXPECT_TRUE(failed_with_unpack_error());
}

TEST_F(ParcelReader, DictAndGenericLoaders)
{
    bind("d\x02s\x01ki\x07i\x01t\x01NXYZ");
    ASSERT_TRUE(vtable->_look(reader, 1));
    int n = vtable->_read_short_int(reader);
    ASSERT_EQ(n, 2);
    Ref dict = Ref::steal(vtable->_load_dict(reader, n));
    ASSERT_TRUE(dict && PyDict_Check(dict.get()));
    Ref k = Ref::steal(PyBytes_FromString("k"));
    Ref expected = Ref::steal(Py_BuildValue("{O:i,i:(O)}", k.get(), 7, 1, Py_None));
    EXPECT_EQ(PyObject_RichCompareBool(dict.get(), expected.get(), Py_EQ), 1);
    EXPECT_EQ(reader->_index, 12);

    bind("t\x02i\x01s\x01" "a");
    Ref value = Ref::steal(vtable->_load_value(reader));
    Ref a = Ref::steal(PyBytes_FromString("a"));
    Ref tuple = Ref::steal(Py_BuildValue("(iO)", 1, a.get()));
    ASSERT_TRUE(value);
    EXPECT_EQ(PyObject_RichCompareBool(value.get(), tuple.get(), Py_EQ), 1);

    bind("NN");
    EXPECT_EQ(vtable->_load_dict(reader, -1), nullptr);
    EXPECT_TRUE(failed_with_unpack_error());
    EXPECT_EQ(vtable->_load_dict(reader, 2), nullptr);
    EXPECT_TRUE(failed_with_unpack_error());
}

TEST_F(ParcelReader, LoadHoldsTheStringUntilTheNextLoad)
{
    Ref parcel_str = Ref::steal(PyBytes_FromString("i\x07"));
    Py_ssize_t before = Py_REFCNT(parcel_str.get());
    Ref none = Ref::steal(vtable->load(reader, parcel_str.get()));
    ASSERT_EQ(none.get(), Py_None);
    EXPECT_EQ(reader->_obj, parcel_str.get());
    EXPECT_EQ(Py_REFCNT(parcel_str.get()), before + 1);
    EXPECT_EQ(reader->_p, PyBytes_AS_STRING(parcel_str.get()));
    EXPECT_EQ(reader->_str_len, 2);
    EXPECT_EQ(vtable->_look(reader, 1)[0], 'i');
    bind("N");
    EXPECT_EQ(reader->_obj, Py_None);
    EXPECT_EQ(reader->_index, 0);
    EXPECT_EQ(Py_REFCNT(parcel_str.get()), before);

    Ref number = Ref::steal(PyLong_FromLong(3));
    EXPECT_EQ(vtable->load(reader, number.get()), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError));
    PyErr_Clear();
    EXPECT_EQ(vtable->load_c_str(reader, "x", -1), nullptr);
    EXPECT_TRUE(failed_with_unpack_error());
}

TEST_F(ParcelReader, PackerTableWritesWhatTheReaderReads)
{
    Ref packer = Ref::steal(PyObject_CallObject(reinterpret_cast<PyObject*>(packer_type), nullptr));
    ASSERT_TRUE(packer);
    auto* table = static_cast<parcel::PackerVTable*>(pyglue::get_vtable(packer_type));
    auto* self = reinterpret_cast<parcel::PackerObject*>(packer.get());
    Ref ab = Ref::steal(PyBytes_FromString("ab"));
    Ref value = Ref::steal(Py_BuildValue("(iO)", 300, ab.get()));
    Ref packed = Ref::steal(table->dumps(self, value.get()));
    ASSERT_TRUE(packed);
    EXPECT_EQ(std::string(PyBytes_AS_STRING(packed.get()), PyBytes_GET_SIZE(packed.get())),
              std::string("t\x02I\x01\x2cs\x02" "ab", 9));
    EXPECT_EQ(self->_buffer, nullptr);

    // A failed dump leaves the packer ready for the next one.
    Ref looped = Ref::steal(PyList_New(0));
    ASSERT_EQ(PyList_Append(looped.get(), looped.get()), 0);
    EXPECT_EQ(table->dumps(self, looped.get()), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));
    PyErr_Clear();
    EXPECT_EQ(self->_buffer, nullptr);
    ASSERT_EQ(PySequence_DelItem(looped.get(), 0), 0);
    Ref empty = Ref::steal(table->dumps(self, looped.get()));
    ASSERT_TRUE(empty);
    EXPECT_STREQ(PyBytes_AS_STRING(empty.get()), "]");
}

}  // namespace
