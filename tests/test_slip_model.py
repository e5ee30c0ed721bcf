"""SlipModel: sequence rules, item checks, the empty-model error and subfault_count."""
import gc

import numpy as np
import pytest

import _quelmar as q
from conftest import cells, check_error, make_segment, peek


def test_subfault_count_and_copies():
    a, b = make_segment(shape=(3, 4)), make_segment(shape=(2, 5), subfault_length_km=1.0)
    model = q.SlipModel((a, b, a))
    assert model.subfault_count == 12 + 10 + 12
    assert type(model.subfault_count) is int
    value = peek(model)
    segments = value.segments.items(type(peek(a)))
    assert [(s.n_down, s.n_along) for s in segments] == [(3, 4), (2, 5), (3, 4)]
    assert segments[1].subfault_length_km == 1.0
    assert value.total_area_km2 == (4 * 7.0 * 3) * 8.0 + (5 * 1.0 * 2) * 8.0 + (4 * 7.0 * 3) * 8.0
    # Each segment is a private copy: the model outlives its FaultSegments.
    expected = cells(peek(a))
    assert segments[0].subfaults.begin not in (peek(a).subfaults.begin, segments[2].subfaults.begin)
    del a, b, segments
    gc.collect()
    assert cells(peek(model).segments.items(type(peek(make_segment())))[2]) == expected


def test_accepted_forms():
    seg = make_segment()
    assert q.SlipModel(segments=[seg]).subfault_count == 6
    assert q.SlipModel(np.array([seg], dtype=object)).subfault_count == 6
    with pytest.raises(AttributeError):
        q.SlipModel([seg]).subfault_count = 1


@pytest.mark.parametrize("segments, exc, message", [
    ([], ValueError, "a slip model needs at least one segment"),
    ((), ValueError, "a slip model needs at least one segment"),
    ("", TypeError, "Can't extract `str` to `Vec`"),
    ("segments", TypeError, "Can't extract `str` to `Vec`"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ({}, TypeError, "'dict' object is not an instance of 'Sequence'"),
])
def test_collection_errors(segments, exc, message):
    note = "segments" if exc is TypeError else None
    check_error(lambda: q.SlipModel(segments), exc, message, note=note)


def test_item_errors():
    seg = make_segment()
    check_error(lambda: q.SlipModel(seg), TypeError,
                "'FaultSegment' object is not an instance of 'Sequence'", note="segments")
    check_error(lambda: q.SlipModel(s for s in [seg]), TypeError,
                "'generator' object is not an instance of 'Sequence'", note="segments")
    check_error(lambda: q.SlipModel([seg, 1, None]), TypeError,
                "'int' object is not an instance of 'FaultSegment'", note="segments")
    check_error(lambda: q.SlipModel([None]), TypeError,
                "'None' is not an instance of 'FaultSegment'", note="segments")

    class Stops:
        fetched = 0

        def __len__(self):
            return 3

        def __getitem__(self, i):
            Stops.fetched = i
            return [seg, "x", seg][i]
    check_error(lambda: q.SlipModel(Stops()), TypeError,
                "'str' object is not an instance of 'FaultSegment'", note="segments")
    assert Stops.fetched == 1  # items after the first wrong one are not fetched


def test_iteration_error_keeps_its_type():
    class Broken:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise LookupError("broken sequence")
    check_error(lambda: q.SlipModel(Broken()), LookupError, "broken sequence", note="segments")
