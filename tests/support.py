"""Shared helpers for the tests: bit-pattern comparison and float strategies."""

import math
import struct
from decimal import Decimal

from hypothesis import strategies as st


def bits(x):
    """The IEEE bit pattern of a double, so that -0.0 != 0.0 and NaN == NaN."""
    return struct.pack("<d", x)


def same_bits(a, b):
    """Component-wise bit equality of two equally long sequences of doubles."""
    return len(a) == len(b) and all(bits(x) == bits(y) for x, y in zip(a, b))


SPECIAL = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    math.inf,
    -math.inf,
    math.nan,
    -math.nan,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    1e154,
    1e-300,
    0.5,
    1.0 + 2.0**-52,
    1.0 - 2.0**-53,
]

# Any double, with the special values above drawn often.
doubles = st.one_of(
    st.sampled_from(SPECIAL),
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
    st.floats(min_value=-1e3, max_value=1e3),
)

# Moderate finite doubles, for formulas whose interesting cases are not the
# overflowing ones.
finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False, allow_infinity=False)


def agree(x, y):
    """Bit equality, except that any two NaNs agree: which NaN comes out of an
    operation on two NaNs is the hardware's choice."""
    return bits(x) == bits(y) or (math.isnan(x) and math.isnan(y))


def ieee_div(a, b):
    """IEEE division; Python raises where the hardware gives inf or NaN."""
    if b == 0.0:
        if math.isnan(a) or a == 0.0:
            return math.nan
        return math.copysign(math.inf, math.copysign(1.0, a) * math.copysign(1.0, b))
    return a / b


def libm(f, x):
    """A function of Python's math, which calls the same libm; a domain error
    is libm's NaN."""
    try:
        return f(x)
    except ValueError:
        return math.nan


def float_text(x):
    """The positional text of a double: shortest round-trip digits (Python's
    repr) without an exponent; "NaN", "inf", "-inf", "-0"."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if x == 0.0:
        return "-0" if math.copysign(1.0, x) < 0 else "0"
    s = format(Decimal(repr(x)), "f")
    return s.rstrip("0").rstrip(".") if "." in s else s
