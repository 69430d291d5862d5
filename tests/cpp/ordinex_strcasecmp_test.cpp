// orvex.ordinex.strcasecmp refuses strings whose length does not fit a C int.
// No multi-gigabyte string is made: a small string claims a huge length, and
// the guard must answer before a single byte is compared.
#include <gtest/gtest.h>

#include <climits>

#include "embedded_python.h"
#include "pyglue/compat.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

class StrcasecmpLength : public ::testing::Test {
protected:
    void SetUp() override
    {
        ensure_python();
        Ref module = Ref::steal(PyImport_ImportModule("orvex.ordinex"));
        ASSERT_TRUE(module) << "import orvex.ordinex failed";
        function_ = Ref::steal(PyObject_GetAttrString(module.get(), "strcasecmp"));
        ASSERT_TRUE(function_);
        // Not one of the interpreter's shared one-character strings.
        long_ = Ref::steal(PyBytes_FromString("abcdefghijklmnop"));
        short_ = Ref::steal(PyBytes_FromString("ABC"));
        ASSERT_TRUE(long_ && short_);
    }

    void TearDown() override { PyErr_Clear(); }

    // strcasecmp(a, b) while `liar` claims `size` bytes; the true size is
    // back before anything else sees the string.
    Ref call_claiming(PyObject* liar, Py_ssize_t size, PyObject* a, PyObject* b)
    {
        Py_ssize_t true_size = Py_SIZE(liar);
        pyglue::set_size(liar, size);
        Ref result = Ref::steal(PyObject_CallFunctionObjArgs(function_.get(), a, b, nullptr));
        pyglue::set_size(liar, true_size);
        return result;
    }

    Ref function_, long_, short_;
};

TEST_F(StrcasecmpLength, LengthsBeyondIntRaiseOverflowError)
{
    // 2**31 would narrow to a negative length, 2**32 + 3 to a plausible 3
    // (and so to "abc" == "ABC").
    const Py_ssize_t sizes[] = {Py_ssize_t(INT_MAX) + 1, (Py_ssize_t(1) << 32) + 3,
                                PY_SSIZE_T_MAX};
    for (Py_ssize_t size : sizes) {
        for (bool liar_first : {true, false}) {
            PyObject* a = liar_first ? long_.get() : short_.get();
            PyObject* b = liar_first ? short_.get() : long_.get();
            Ref result = call_claiming(long_.get(), size, a, b);
            EXPECT_FALSE(result) << size;
            EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_OverflowError)) << size;
            PyErr_Clear();
        }
    }
}

TEST_F(StrcasecmpLength, IntMaxItselfIsAccepted)
{
    // The comparison stops at the shorter length: 3 bytes are read.
    long value = 0;
    Ref result = call_claiming(long_.get(), INT_MAX, long_.get(), short_.get());
    ASSERT_TRUE(result && pyglue::int_as_long(result.get(), &value));
    EXPECT_EQ(value, 1);
    result = call_claiming(long_.get(), INT_MAX, short_.get(), long_.get());
    ASSERT_TRUE(result && pyglue::int_as_long(result.get(), &value));
    EXPECT_EQ(value, -1);
}

}  // namespace
