"""FaultSegment: keyword mapping, grid layouts and the three ValueErrors in order."""
import numpy as np
import pytest

import _quelmar as q
from conftest import F32, SEGMENT_NUMBERS, cells, check_error, make_segment, peek

SHAPE_TEXT = ("slip {}, rise_time_s {}, rupture_time_s {} and stress_drop_bars {} must have the "
              "same shape -- they describe the same subfaults")
STRESS_TEXT = "stress_drop_bars must be positive and finite everywhere; got {}"
EMPTY_TEXT = "a segment needs at least one subfault; got an empty grid"


def grids(shape=(2, 3)):
    n = shape[0] * shape[1]
    base = np.arange(n, dtype=F32).reshape(shape)
    return dict(slip=base + 100, rise_time_s=base + 200, rupture_time_s=base + 300,
                stress_drop_bars=base + 400)


def test_numbers_and_grids_land_in_their_fields():
    g = grids()
    seg = peek(make_segment(**g))
    assert (seg.n_along, seg.n_down) == (3, 2)
    for name, value in SEGMENT_NUMBERS.items():
        assert getattr(seg, name) == value, name
    assert seg.half_length == (3 * 0.5) * 7.0
    got = cells(seg)
    assert len(got) == 6
    assert got[4] == (g["slip"][1, 1], g["rise_time_s"][1, 1], g["rupture_time_s"][1, 1],
                      g["stress_drop_bars"][1, 1])
    assert got == [tuple(g[k][r, c] for k in g) for r in range(2) for c in range(3)]


@pytest.mark.parametrize("layout", [
    lambda a: np.asfortranarray(a),
    lambda a: np.ascontiguousarray(a.T).T,
    lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    lambda a: a[::-1, ::-1].copy()[::-1, ::-1],
    lambda a: np.frombuffer(b"\0" + a.tobytes(), F32, offset=1).reshape(a.shape),  # unaligned
])
def test_any_memory_layout_is_read_by_logical_index(layout):
    g = grids()
    expected = cells(peek(make_segment(**g)))
    assert cells(peek(make_segment(**{k: layout(v) for k, v in g.items()}))) == expected


def test_broadcast_grid_and_one_array_for_all_four():
    one = np.broadcast_to(F32(2.5), (3, 4))
    assert cells(peek(make_segment(slip=one, rise_time_s=one, rupture_time_s=one,
                                   stress_drop_bars=one))) == [(2.5,) * 4] * 12


def test_slip_and_rise_time_are_stored_unchecked():
    # (A slip model of such cells is refused when a Simulator is built from it.)
    weird = np.array([[-1.0, np.nan], [np.inf, -0.0]], F32)
    payload = np.array([0x7FC01234], np.uint32).view(F32)  # a NaN with a payload
    weird[0, 1] = payload[0]
    seg = peek(make_segment(shape=(2, 2), slip=weird, rise_time_s=weird, dip_deg=-3,
                            stress_drop_bars=np.full((2, 2), np.finfo(F32).smallest_subnormal,
                                                     F32)))
    for field in (0, 1):
        raw = np.array([c[field] for c in cells(seg)], F32)
        assert raw.view(np.uint32).tolist() == weird.ravel().view(np.uint32).tolist()
    assert seg.dip_deg == -3.0


@pytest.mark.parametrize("stress, shown", [
    ([[1, -1], [0, 2]], "-1"),
    ([[1, 2], [np.nan, 0]], "NaN"),
    ([[1, -0.0]], "-0"),
    ([[np.inf]], "inf"),
    ([[-np.inf]], "-inf"),
    ([[-2.5]], "-2.5"),
    ([[-1e-7]], "-0.0000001"),
    ([[0.0]], "0"),
])
def test_stress_drop_check(stress, shown):
    s = np.array(stress, F32)
    for layout in (s, np.asfortranarray(s)):
        check_error(lambda: make_segment(shape=s.shape, stress_drop_bars=layout), ValueError,
                    STRESS_TEXT.format(shown))


def test_shape_check_comes_first():
    check_error(lambda: make_segment(stress_drop_bars=-np.ones((3, 2), F32)), ValueError,
                SHAPE_TEXT.format("(2, 3)", "(2, 3)", "(2, 3)", "(3, 2)"))
    check_error(lambda: make_segment(shape=(0, 5), rise_time_s=np.ones((0, 4), F32)),
                ValueError, SHAPE_TEXT.format("(0, 5)", "(0, 4)", "(0, 5)", "(0, 5)"))


@pytest.mark.parametrize("shape", [(0, 5), (4, 0), (0, 0)])
def test_empty_grid(shape):
    check_error(lambda: make_segment(shape=shape), ValueError, EMPTY_TEXT)


@pytest.mark.parametrize("grid, type_name", [
    (np.ones((2, 3)), "ndarray"),
    (np.ones(6, F32), "ndarray"),
    (np.ones((1, 2, 3), F32), "ndarray"),
    (np.ones((2, 3), ">f4"), "ndarray"),
    ([[1.0] * 3] * 2, "list"),
])
def test_grid_type_checks(grid, type_name):
    check_error(lambda: make_segment(rupture_time_s=grid), TypeError,
                f"'{type_name}' object is not an instance of 'ndarray'", note="rupture_time_s")


def test_numbers_are_converted_before_grids():
    check_error(lambda: make_segment(rake_deg="x", slip=None), TypeError,
                "must be real number, not str", note="rake_deg")
    check_error(lambda: make_segment(slip=np.ones((2, 3)), stress_drop_bars=None), TypeError,
                "'ndarray' object is not an instance of 'ndarray'", note="slip")


def test_segment_is_independent_of_its_grids():
    g = grids()
    seg = make_segment(**g)
    before = cells(peek(seg))
    for a in g.values():
        a[...] = -7
    assert cells(peek(seg)) == before


def test_positional_argument_refused():
    check_error(lambda: q.FaultSegment(1.0), TypeError,
                "FaultSegment.__new__() takes 0 positional arguments but 1 was given")
