// Python 2's hash of an int, long or float. Stored data is keyed on it, so a
// Python 3 build must give the same numbers, while Python 3's own number hash
// differs (it works modulo a Mersenne prime). Python 2 asks the interpreter;
// Python 3 computes what Python 2.7 computes on an LP64 machine.
#pragma once
#include <Python.h>

#include "pyglue/compat.h"

#if PYGLUE_PY3
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#endif

namespace pyglue {

#if PYGLUE_PY3

namespace py2hash {

constexpr std::uint64_t all_ones = ~std::uint64_t{0};  // ULONG_MAX

// a + b modulo 2**64 - 1 (2**64 is 1 there), as one's-complement addition
// does it: the sum of values not both zero is never 0, so a non-zero
// multiple of 2**64 - 1 comes out as all ones.
inline std::uint64_t add_around(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t sum = a + b;
    return sum + (sum < b);
}

inline std::uint64_t rotate_left(std::uint64_t x, unsigned shift)
{
    shift %= 64;
    return shift ? (x << shift) | (x >> (64 - shift)) : x;
}

// Python 2's long hash from |v| modulo 2**64 - 1 as add_around leaves it (all
// ones for a non-zero multiple): negated for a negative v, and ULONG_MAX,
// which would be -1 as a long, becomes -2.
inline long finish_long(std::uint64_t residue, bool negative)
{
    std::uint64_t x = negative ? 0 - residue : residue;
    return x == all_ones ? -2 : static_cast<long>(x);
}

// Bytes for a long's two's complement: a few on the stack, more on the heap.
class Bytes {
public:
    explicit Bytes(std::size_t n)
        : data_(n <= sizeof inline_ ? inline_ : static_cast<unsigned char*>(PyMem_Malloc(n)))
    {
        if (!data_)
            PyErr_NoMemory();
    }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes()
    {
        if (data_ != inline_)
            PyMem_Free(data_);
    }
    unsigned char* get() const { return data_; }

private:
    unsigned char inline_[256];
    unsigned char* data_;
};

// The hash of an int beyond 64 bits: its magnitude's 64-bit words summed
// modulo 2**64 - 1, which is the residue Python 2's rotate-and-add loop
// reaches whatever its digit size.
inline long big_long_hash(PyObject* v, bool negative)
{
    std::size_t bits = _PyLong_NumBits(v);
    if (bits == static_cast<std::size_t>(-1) && PyErr_Occurred())
        return -1;
    std::size_t words = bits / 64 + 1;  // room for the sign bit
    Bytes bytes(words * 8);
    if (!bytes.get() || _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(v), bytes.get(),
                                            words * 8, 1, 1) < 0)
        return -1;
    std::uint64_t residue = 0;
    unsigned carry = negative;  // a negative's magnitude is ~word + 1, carried upwards
    for (std::size_t i = 0; i < words; ++i) {
        std::uint64_t word = 0;
        for (int b = 7; b >= 0; --b)
            word = word << 8 | bytes.get()[i * 8 + b];
        if (negative) {
            word = ~word + carry;
            carry = carry && word == 0;
        }
        residue = add_around(residue, word);
    }
    return finish_long(residue, negative);
}

inline long long_hash(PyObject* v)
{
    int overflow;
    long long small = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow)
        return big_long_hash(v, overflow < 0);
    if (small == -1 && PyErr_Occurred())
        return -1;
    // |v| < 2**64 - 1 is its own residue, and negating it gives v's bits back.
    return small == -1 ? -2 : static_cast<long>(small);
}

// An integral double hashes as the equal int or long.
inline long integral_double_hash(double v)
{
    if (std::fabs(v) <= static_cast<double>(LONG_MAX / 2)) {
        long x = static_cast<long>(v);
        return x == -1 ? -2 : x;
    }
    // |v| is a 53-bit m times 2**shift (shift >= 10); as 2**64 is 1 modulo
    // 2**64 - 1, the residue is m rotated left by shift, never 0 or all ones.
    int expo;
    double fraction = std::frexp(std::fabs(v), &expo);
    auto m = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    return finish_long(rotate_left(m, static_cast<unsigned>(expo - 53)), v < 0);
}

inline long double_hash(double v)
{
    if (std::isinf(v))
        return v < 0 ? -271828 : 314159;
    if (std::isnan(v))
        return 0;
    double intpart;
    if (std::modf(v, &intpart) == 0.0)
        return integral_double_hash(intpart);
    // The mantissa in two 31-bit halves plus the exponent; * 32768 is
    // Python 2's << 15 without shifting a negative number.
    int expo;
    v = std::frexp(v, &expo) * 2147483648.0;
    long high = static_cast<long>(v);
    v = (v - static_cast<double>(high)) * 2147483648.0;
    long x = high + static_cast<long>(v) + expo * 32768L;
    return x == -1 ? -2 : x;
}

}  // namespace py2hash

// Python 2's hash of `number` (an int or a float); -1 with an exception set
// on failure.
inline long py2_hash(PyObject* number)
{
    if (PyFloat_Check(number))
        return py2hash::double_hash(PyFloat_AS_DOUBLE(number));
    return py2hash::long_hash(number);
}

#else

inline long py2_hash(PyObject* number) { return PyObject_Hash(number); }

#endif

}  // namespace pyglue
