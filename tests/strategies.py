"""Hypothesis strategies and expected-outcome oracles for the fuzzing suites.

Each strategy draws what a pipeline might hand the module (odd numbers, odd
sequences, arrays of any shape, dtype and memory layout); each oracle says what
must come of it: a value, or one exception type with its note (and, where the
text is the module's own, its message). A fuzz test calls the module and
requires exactly that, so any other exception type, or a crash, fails it.
"""
import math
import operator
import os
import sys
from collections.abc import Sequence as AbcSequence
from dataclasses import dataclass
from decimal import Decimal

import numpy as np
from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st

F32 = np.float32

# Derandomised and small in the normal suite (and so in CI); `explore` searches
# longer with fresh randomness: HYPOTHESIS_PROFILE=explore pytest tests/test_fuzz_*.py
settings.register_profile(
    "ci", max_examples=60, deadline=None, derandomize=True, database=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.filter_too_much])
settings.register_profile(
    "explore", max_examples=1500, deadline=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.filter_too_much])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


# ---- outcomes ---------------------------------------------------------------------

@dataclass(frozen=True)
class Raises:
    """The call must raise exactly `type`, with `message` when given (None: any
    text) and the note "while processing '{note}'" (None: no note at all)."""
    type: type
    message: str = None
    note: str = None


def call(fn, watch=()):
    """("ok", value) or ("raised", exception): whatever the call did, short of a
    crash. The objects in `watch` (the call's arguments) must come out with the
    reference counts they went in with, whatever the outcome: the module keeps no
    reference to what it was given, and drops every one it took on every path."""
    # Shared immutables (None, small ints, interned strings) are referenced from
    # everywhere, the new exception included; counting them says nothing.
    watch = [o for o in watch if not isinstance(o, (type(None), bool, int, float, str, bytes))]
    before = [sys.getrefcount(o) for o in watch]
    try:
        result = "ok", fn()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # PanicException derives from BaseException
        e.__traceback__ = None  # its frames would hold the arguments
        result = "raised", e
    after = [sys.getrefcount(o) for o in watch]
    changed = [(type(o).__name__, b, a) for o, b, a in zip(watch, before, after) if a != b]
    assert not changed, f"reference counts changed (type, before, after): {changed}"
    return result


def check_outcome(result, expected):
    """`expected` is a Raises, or anything else for "returns normally"."""
    kind, value = result
    # Shown by --hypothesis-show-statistics: how often each outcome came up.
    event(f"outcome: {'value' if kind == 'ok' else type(value).__name__}")
    if not isinstance(expected, Raises):
        assert kind == "ok", f"unexpected {type(value).__name__}: {value}"
        return value
    assert kind == "raised", f"expected {expected.type.__name__}, got a value"
    assert type(value) is expected.type, f"expected {expected.type.__name__}, got {value!r}"
    if expected.message is not None:
        assert str(value) == expected.message
    notes = getattr(value, "__notes__", None)
    assert notes == ([f"while processing '{expected.note}'"] if expected.note else None)
    return None


def panic_type():
    return "pyo3_runtime.PanicException"


def is_panic(e):
    t = type(e)
    return f"{t.__module__}.{t.__name__}" == panic_type() and not isinstance(e, Exception)


def fmt32(x):
    """The module's number text for an f32: shortest round trip, positional."""
    x = F32(x)
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return np.format_float_positional(x, unique=True, trim="-")


def fmt64(x):
    x = float(x)
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return np.format_float_positional(np.float64(x), unique=True, trim="-")


def not_instance(obj, target):
    if obj is None:
        return f"'None' is not an instance of '{target}'"
    return f"'{type(obj).__qualname__}' object is not an instance of '{target}'"


def bits32(x):
    return int(np.array(x, dtype=F32).view(np.uint32))


# ---- numbers ------------------------------------------------------------------------

class Boom(Exception):
    """Raised by the odd objects below; must propagate with its own type."""


class FloatBoom:
    def __float__(self):
        raise Boom("no float for you")


class IndexBoom:
    def __index__(self):
        raise Boom("no index for you")


any_float = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
special_f32 = st.sampled_from([math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 1e-45, -1e-45,
                               1.1754942e-38, 3.4028235e38, -3.4028235e38, 1e39, 1e300, 5e-324])

# Values the f32/f64 conversions see: floats of every kind, ints of any size,
# bools, NumPy scalars and 0-d arrays, Decimal and Fraction, and junk.
float_like = st.one_of(
    any_float, special_f32, st.floats(width=32),
    st.integers(), st.integers(min_value=2**1023, max_value=2**1100),
    st.booleans(),
    st.floats(width=32).map(F32), st.floats().map(np.float64), st.floats(width=16).map(np.float16),
    st.integers(min_value=-2**63, max_value=2**63 - 1).map(np.int64),
    st.floats(width=32).map(lambda v: np.array(v, F32)),
    st.decimals(allow_nan=True, allow_infinity=True), st.fractions(),
    st.sampled_from([None, "1.5", b"2", [1.0], (1.0,), 1 + 2j, np.array([1.0, 2.0]), object(),
                     FloatBoom(), Decimal("sNaN")]),
)


def expect_float(x, param):
    """The conversion's outcome: the double it yields, or Raises for its error
    (the interpreter's float conversion, which, unlike float(), refuses str and
    bytes)."""
    if isinstance(x, (str, bytes, bytearray)):
        return Raises(TypeError, f"must be real number, not {type(x).__name__}", param)
    try:
        return float(x)
    except Exception as e:  # noqa: BLE001 - the oracle mirrors whatever the type raises
        return Raises(type(e), None, param)


def expect_f32(x, param):
    r = expect_float(x, param)
    if isinstance(r, Raises):
        return r
    return to32(r)


# ---- integers -------------------------------------------------------------------------

int_like = st.one_of(
    st.integers(min_value=-2**31 - 3, max_value=2**31 + 3),
    st.sampled_from([-2**31, 2**31 - 1, 2**31, -2**31 - 1, 2**63, -2**64, 10**30, 0, 1, 2, 11, 12]),
    st.integers(), st.booleans(),
    st.integers(min_value=-2**63, max_value=2**63 - 1).map(np.int64),
    st.integers(min_value=0, max_value=2**64 - 1).map(np.uint64),
    st.integers(min_value=-128, max_value=127).map(np.int8),
    st.sampled_from([1.0, math.nan, None, "3", np.float64(2.0), np.array([1, 2]), IndexBoom()]),
)


def expect_i32(x, param):
    try:
        v = operator.index(x)
    except Exception as e:  # noqa: BLE001
        return Raises(type(e), None, param)
    if v < -2**63 or v >= 2**63:
        return Raises(OverflowError, None, param)
    if v < -2**31:
        return Raises(OverflowError, "number too small to fit in target type", param)
    if v > 2**31 - 1:
        return Raises(OverflowError, "number too large to fit in target type", param)
    return v


# ---- sequences --------------------------------------------------------------------------

class CustomSeq:
    """A sequence by __getitem__ alone, which raises Boom at `fail_at`."""

    def __init__(self, items, fail_at=None, bad_len=False):
        self.items, self.fail_at, self.bad_len = list(items), fail_at, bad_len

    def __len__(self):
        if self.bad_len:
            raise Boom("no length")  # only sizes the list: must be ignored
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Boom("item trouble")
        return self.items[i]


def sequences_of(items):
    """(container, kind) pairs around a list of `items`: kind is "seq" for
    objects passing the sequence check, "str" and "not-seq" otherwise."""
    return st.lists(items, max_size=5).flatmap(lambda xs: st.one_of(
        st.just((list(xs), "seq")), st.just((tuple(xs), "seq")),
        st.integers(min_value=0, max_value=max(len(xs), 1)).map(
            lambda k: (CustomSeq(xs, fail_at=k), "seq")),
        st.just((CustomSeq(xs, bad_len=True), "seq")),
        st.just((set(range(len(xs))), "not-seq")), st.just(({i: x for i, x in enumerate(xs)},
                                                            "not-seq")),
        st.just(((x for x in xs), "not-seq")), st.just((iter(xs), "not-seq")),
    ))


def junk_containers():
    return st.sampled_from([("", "str"), ("12", "str"), (None, "not-seq"), (5, "not-seq"),
                            (3.5, "not-seq"), (frozenset(), "not-seq")])


def expect_list(container, kind, param, item_oracle):
    """Outcome of the list-from-sequence conversion: the converted list, or Raises."""
    if kind == "str":
        return Raises(TypeError, "Can't extract `str` to `Vec`", param)
    if kind == "not-seq":
        return Raises(TypeError, not_instance(container, AbcSequence.__name__), param)
    out = []
    custom = isinstance(container, CustomSeq)
    items = container.items if custom else list(container)
    for i in range(len(items) + 1):
        if custom and i == container.fail_at:
            return Raises(Boom, "item trouble", param)
        if i == len(items):
            break
        r = item_oracle(items[i], param)
        if isinstance(r, Raises):
            return r
        out.append(r)
    return out


# ---- arrays ----------------------------------------------------------------------------

LAYOUTS = ("c", "f", "transposed", "strided", "reversed", "readonly", "unaligned", "subclass",
           "list")


class Sub(np.ndarray):
    """An ndarray subclass: accepted like its base."""


def with_layout(a, layout):
    """`a` (logical values kept) in another memory layout, or as a nested list."""
    if layout == "c" or a.ndim == 0:
        return np.ascontiguousarray(a) if layout != "list" else a.tolist()
    if layout == "f":
        return np.asfortranarray(a)
    if layout == "transposed":
        return np.ascontiguousarray(a.T).T
    if layout == "strided":
        big = np.zeros(tuple(2 * n + 1 for n in a.shape), a.dtype)
        view = big[tuple(slice(1, None, 2) for _ in a.shape)]
        view[...] = a
        return view
    if layout == "reversed":
        return np.ascontiguousarray(a[(slice(None, None, -1),) * a.ndim])[
            (slice(None, None, -1),) * a.ndim]
    if layout == "readonly":
        b = a.copy()
        b.flags.writeable = False
        return b
    if layout == "unaligned":
        if a.dtype.itemsize == 1:
            return a.copy()
        raw = bytearray(a.nbytes + 1)
        b = np.frombuffer(raw, dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
        b[...] = a
        return b
    if layout == "subclass":
        return a.copy().view(Sub)
    if layout == "list":
        return a.tolist()
    raise AssertionError(layout)


def to32(v):
    with np.errstate(over="ignore", under="ignore"):
        return F32(v)


float32_values = st.one_of(st.floats(width=32), special_f32.map(to32))


# Layouts every 1-D run accepts; the others are refused once the length reaches 2.
RUN_LAYOUTS = ("c", "f", "readonly", "subclass")


@st.composite
def arrays(draw, want_ndim, want_dtype, elements=None, max_side=4, dims=None, mutate=None,
           layouts=LAYOUTS):
    """An array of `want_ndim` dimensions and dtype `want_dtype` in one of
    `layouts`; when `mutate` (drawn when None), one thing is wrong instead: the
    dimension count, the dtype or byte order, or the layout (any of LAYOUTS)."""
    if mutate is None:
        mutate = draw(st.integers(0, 3)) == 0
    what = draw(st.sampled_from(["ndim", "dtype", "layout"])) if mutate else None
    ndim = want_ndim
    if what == "ndim":
        ndim = draw(st.sampled_from([n for n in range(4) if n != want_ndim]))
    if dims is not None and ndim == want_ndim:
        shape = tuple(dims)
    else:
        shape = tuple(draw(st.integers(0, max_side if ndim <= 2 else 2)) for _ in range(ndim))
    base = np.dtype(want_dtype)
    dtype = base
    if what == "dtype":
        dtype = draw(st.sampled_from(
            [base.newbyteorder(), np.dtype(np.float64 if base != np.float64 else np.float32),
             np.dtype(np.float16), np.dtype(np.int32), np.dtype(np.int64),
             np.dtype(np.uint64 if base != np.uint64 else np.int64), np.dtype(bool),
             np.dtype(np.complex64)]))
    size = int(np.prod(shape)) if shape else 1
    if elements is None:
        elements = float32_values if base.kind == "f" else st.integers(0, 2**64 - 1)
    values = draw(st.lists(elements, min_size=size, max_size=size))
    with np.errstate(all="ignore"):
        a = np.array(values, dtype=base).reshape(shape).astype(dtype)
    layout = draw(st.sampled_from(LAYOUTS if what == "layout" else layouts))
    return with_layout(a, layout)


def array_ok(a, ndim, dtype):
    """The module's array test: an ndarray (subclass passes) of `ndim`
    dimensions whose dtype equals `dtype` without byte swapping."""
    return isinstance(a, np.ndarray) and a.ndim == ndim and a.dtype == np.dtype(dtype)


def flat_run_ok(a):
    """The 1-D layout test: empty, or aligned and contiguous."""
    return a.shape[0] == 0 or (a.flags.aligned and (a.flags.c_contiguous or a.flags.f_contiguous))
