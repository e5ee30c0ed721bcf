"""SourceParameters, PathParameters, SiteParameters, RecordParameters and HfConfig."""
import gc
import math

import numpy as np
import pytest

import _quelmar as q
from conftest import SOURCE, check_error, peek, rayset_of


def test_source_parameters_land_in_their_fields():
    values = dict(zip(SOURCE, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]))
    src = peek(q.HfConfig(source=q.SourceParameters(**values),
                          path=q.PathParameters(rayset=[], path_duration_model=0),
                          site=q.SiteParameters(fmax_hz=25),
                          record=q.RecordParameters(duration_s=1e40, dt=float("nan"))))
    assert {k: getattr(src.source, k) for k in values} == values
    assert src.site == 25.0
    assert src.record[0] == math.inf and math.isnan(src.record[1])


def test_source_parameters_first_bad_argument_wins():
    bad = dict(SOURCE, rupture_velocity_deep="x", rupture_velocity_sigma=None)
    check_error(lambda: q.SourceParameters(**bad), TypeError, "must be real number, not str",
                note="rupture_velocity_deep")


def test_site_and_record_conversion_errors():
    check_error(lambda: q.SiteParameters(fmax_hz="25"), TypeError,
                "must be real number, not str", note="fmax_hz")
    check_error(lambda: q.RecordParameters(duration_s=1, dt=[1]), TypeError,
                "must be real number, not list", note="dt")


@pytest.mark.parametrize("code, variant", [(0, 0), (1, 1), (2, 2), (11, 3), (12, 4), (True, 1)])
def test_duration_codes(code, variant):
    assert peek(q.PathParameters(rayset=[], path_duration_model=code)).path_duration_model \
        == variant


@pytest.mark.parametrize("code", [3, -1, 10, 13, -2**31, 2**31 - 1])
def test_unknown_duration_code(code):
    check_error(lambda: q.PathParameters(rayset=[1], path_duration_model=code), ValueError,
                f"path_duration_model {code} is not one of 0, 1, 2, 11, 12")


class LyingLength:
    """A sequence whose __len__ is huge (or fails) and whose items are few."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Raising:
    def __getitem__(self, i):
        if i == 1:
            raise ZeroDivisionError("item 1")
        return 0


@pytest.mark.parametrize("rayset, codes", [
    ([1, 2], [1, 2]),
    ((3, -4), [3, -4]),
    (range(2, 5), [2, 3, 4]),
    (np.array([7, 8], np.int64), [7, 8]),
    ([], []),
    ([5, 5], [5, 5]),
    (LyingLength([1, 2], 2**62), [1, 2]),
    (LyingLength([3], RuntimeError("no length")), [3]),
])
def test_rayset_from_sequences(rayset, codes):
    assert rayset_of(peek(q.PathParameters(rayset=rayset, path_duration_model=1)).rayset) \
        == codes


@pytest.mark.parametrize("rayset, exc, message", [
    ("12", TypeError, "Can't extract `str` to `Vec`"),
    ("", TypeError, "Can't extract `str` to `Vec`"),
    ({1, 2}, TypeError, "'set' object is not an instance of 'Sequence'"),
    ({1: 2}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    (5, TypeError, "'int' object is not an instance of 'Sequence'"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ((x for x in [1]), TypeError, "'generator' object is not an instance of 'Sequence'"),
    ([1, 2.0], TypeError, "'float' object cannot be interpreted as an integer"),
    (LyingLength(Raising(), 2), ZeroDivisionError, "item 1"),
])
def test_rayset_errors(rayset, exc, message):
    check_error(lambda: q.PathParameters(rayset=rayset, path_duration_model=0), exc, message,
                note="rayset")


def test_rayset_error_comes_before_duration_code():
    check_error(lambda: q.PathParameters(rayset=[2**31], path_duration_model=99),
                OverflowError, "number too large to fit in target type", note="rayset")


def test_hf_config_copies_the_ray_codes():
    path = q.PathParameters(rayset=[1, -2, 3], path_duration_model=12)
    parts = dict(source=q.SourceParameters(**SOURCE), path=path,
                 site=q.SiteParameters(fmax_hz=25), record=q.RecordParameters(duration_s=10,
                                                                              dt=0.01))
    a, b = q.HfConfig(**parts), q.HfConfig(**parts)
    assert peek(a).path.rayset.begin != peek(path).rayset.begin
    assert peek(a).path.rayset.begin != peek(b).path.rayset.begin
    del parts, path
    gc.collect()
    assert rayset_of(peek(a).path.rayset) == [1, -2, 3]
    assert peek(a).path.path_duration_model == 4


@pytest.mark.parametrize("field, wrong, message", [
    ("source", q.PathParameters(rayset=[], path_duration_model=0),
     "'PathParameters' object is not an instance of 'SourceParameters'"),
    ("path", None, "'None' is not an instance of 'PathParameters'"),
    ("site", q.RecordParameters(duration_s=1, dt=1),
     "'RecordParameters' object is not an instance of 'SiteParameters'"),
    ("record", 1.0, "'float' object is not an instance of 'RecordParameters'"),
])
def test_hf_config_part_checks(field, wrong, message):
    parts = dict(source=q.SourceParameters(**SOURCE),
                 path=q.PathParameters(rayset=[], path_duration_model=0),
                 site=q.SiteParameters(fmax_hz=25), record=q.RecordParameters(duration_s=1,
                                                                              dt=1))
    parts[field] = wrong
    if field == "site":
        parts["record"] = None  # a later wrong part is not reported
    check_error(lambda: q.HfConfig(**parts), TypeError, message, note=field)
