"""Python 2's hash of byte strings, ints, longs and floats, which digestra's
results are made of on every interpreter: `py2_hash` is the interpreter's
own hash on Python 2 and a model of Python 2.7's algorithms (LP64) on 3,
where the interpreter hashes all of these differently."""
import math
import sys

MASK64 = (1 << 64) - 1  # also ULONG_MAX, which no hash may be as a long
HALF_LONG_MAX = float(((1 << 63) - 1) // 2)  # LONG_MAX / 2 as 2.7 compares a double with it
MULTIPLIER = 1000003

# Edge values with their hashes as the 2.7 interpreter gives them (2.6.9
# gives the same): 32- and 64-bit edges, multiples of 2**64 - 1 (which the
# long hash's rotate-and-add loop turns into ULONG_MAX, so -2), thousands of
# bits, integral floats around LONG_MAX / 2 and far beyond, -0.0,
# denormals, infinities and NaN.
EDGES = [
    (0, 0),
    (1, 1),
    (-1, -2),
    (-2, -2),
    (2 ** 31 - 1, 2147483647),
    (2 ** 31, 2147483648),
    (-2 ** 31, -2147483648),
    (-2 ** 31 - 1, -2147483649),
    (2 ** 32 - 1, 4294967295),
    (2 ** 32, 4294967296),
    (-2 ** 32, -4294967296),
    (2 ** 63 - 1, 9223372036854775807),
    (2 ** 63, -9223372036854775808),
    (-2 ** 63, -9223372036854775808),
    (-2 ** 63 - 1, 9223372036854775807),
    (2 ** 64 - 2, -2),
    (2 ** 64 - 1, -2),
    (2 ** 64, 1),
    (2 ** 64 + 1, 2),
    (-(2 ** 64 - 1), 1),
    (-2 ** 64, -2),
    (-(2 ** 64 + 1), -2),
    (2 * (2 ** 64 - 1), -2),
    (-3 * (2 ** 64 - 1), 1),
    ((2 ** 64 - 1) ** 2, -2),
    ((2 ** 64 - 1) * 2 ** 1000, -2),
    (-(2 ** 64 - 1) * 7 ** 300, 1),
    (2 ** 65 - 2, -2),
    (2 ** 128 - 1, -2),
    (2 ** 128, 1),
    (-2 ** 128, -2),
    (3 ** 1000, -6134983284565308490),
    (-3 ** 1000, 6134983284565308490),
    (2 ** 3000 - 1, 72057594037927935),
    (-(2 ** 4000 + 12345), -4294979641),
    (7 ** 2000 + 5 ** 900, -8523712951483724765),
    (0.0, 0),
    (-0.0, 0),
    (0.5, 1073741824),
    (-0.5, -1073741824),
    (1.5, 1610645504),
    (-1.5, -1610579968),
    (-1.0, -2),
    (0.1, 2576882278),
    (1e-300, 3316461835),
    (5e-324, 1038581760),
    (-5e-324, -1108901888),
    (2.2250738585072014e-308, 1040285696),
    (123456789.125, 1976193362),
    (2.0 ** 31, 2147483648),
    (-2.0 ** 31, -2147483648),
    (2.0 ** 32 - 1, 4294967295),
    (2.0 ** 62 - 1024, 4611686018427386880),
    (2.0 ** 62, 4611686018427387904),
    (2.0 ** 62 + 2048, 4611686018427389952),
    (-2.0 ** 62 - 2048, -4611686018427389952),
    (2.0 ** 63, -9223372036854775808),
    (-2.0 ** 63, -9223372036854775808),
    (2.0 ** 64 - 2048, -2048),
    (2.0 ** 64, 1),
    (-2.0 ** 64, -2),
    (2.0 ** 128, 1),
    (-2.0 ** 128, -2),
    (3.0 * 2 ** 70, 192),
    (1e16 + 2, 10000000000000002),
    (1e300, 8474648701417850880),
    (-1e300, -8474648701417850880),
    (1.7976931348623157e308, -2048),
    (-2.0 ** 1023, -9223372036854775808),
    (float("inf"), 314159),
    (float("-inf"), -271828),
    (float("nan"), 0),
]


def _signed(x):
    return x - (1 << 64) if x >> 63 else x


def _long_hash(v):
    # The rotate-and-add loop sums |v|'s words modulo 2**64 - 1, landing on
    # all ones rather than 0 for a non-zero multiple.
    x = abs(v) % MASK64
    if v and not x:
        x = MASK64
    if v < 0:
        x = -x & MASK64
    return -2 if x == MASK64 else _signed(x)


def _float_hash(v):
    if math.isinf(v):
        return -271828 if v < 0 else 314159
    if math.isnan(v):
        return 0
    fraction, whole = math.modf(v)
    if fraction == 0.0:
        if abs(whole) > HALF_LONG_MAX:
            return _long_hash(int(whole))
        return -2 if whole == -1 else int(whole)
    mantissa, exponent = math.frexp(v)
    mantissa *= 2147483648.0
    high = int(mantissa)
    x = high + int((mantissa - high) * 2147483648.0) + (exponent << 15)
    return -2 if x == -1 else x


def _bytes_hash(s):
    data = bytearray(s)
    x = data[0] << 7 if data else 0
    for c in data:
        x = ((x * MULTIPLIER) ^ c) & MASK64
    x = _signed(x ^ len(data))
    return -2 if x == -1 else x


def _model(value):
    if isinstance(value, bytes):
        return _bytes_hash(value)
    if isinstance(value, float):
        return _float_hash(value)
    return _long_hash(value)


py2_hash = hash if sys.version_info[0] < 3 else _model
