# The module and its ten entry points: contents, loading, what every class shares, any value in.
import copy
import ctypes
import gc
import importlib.util
import inspect
import pickle
import random
import struct
import sys
import weakref

import numpy as np
import pytest

import _quelmar as q
from conftest import (CFG, F32, PARTS, SEG, SIM, SLIP, SOURCE, VEL, Odd, check_error, segment_kwargs,
                      stations, velocity_kwargs)

ENTRY = [  # entry point, number of positional parameters, a valid call
    (q.FaultSegment, 0, segment_kwargs()), (q.SlipModel, 1, dict(segments=[SEG])),
    (q.VelocityModel1D, 0, velocity_kwargs()), (q.SourceParameters, 0, SOURCE),
    (q.PathParameters, 0, dict(rayset=[1, 2], path_duration_model=11)),
    (q.SiteParameters, 0, dict(fmax_hz=25.0)), (q.RecordParameters, 0, dict(duration_s=1.0, dt=0.1)),
    (q.HfConfig, 0, PARTS), (q.Simulator, 3, dict(config=CFG, slip_model=SLIP, velocity_model=VEL)),
    (SIM.run_stations, 0, stations(2))]
NAMES = [e[0].__name__ for e in ENTRY]  # the nine classes, then run_stations


def test_contents_and_reimport():
    assert (q.__doc__, q.__all__, sorted(k for k in vars(q) if k[0] != "_")) == ("", NAMES[:9], sorted(NAMES[:9]))
    del sys.modules["_quelmar"]
    try:  # the type objects are built once per process
        again = importlib.import_module("_quelmar")
        assert again is not q and [getattr(again, n) for n in q.__all__] == [e[0] for e in ENTRY[:9]]
    finally:
        sys.modules["_quelmar"] = q


def test_exec_step_appends_to_all():
    spec = importlib.util.find_spec("_quelmar")
    mod, bad = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
    mod.__all__, bad.__all__ = ["first"], ("first",)
    spec.loader.exec_module(mod)
    assert mod.__all__ == ["first"] + NAMES[:9] and mod.Simulator is q.Simulator
    check_error(lambda: spec.loader.exec_module(bad), TypeError, "'tuple' object is not an instance of 'list'")


def test_entry_points():
    lib = ctypes.PyDLL(q.__file__)  # keeps the GIL held while calling in
    lib.PyModExport__quelmar.restype = lib.PyInit__quelmar.restype = ctypes.c_void_p
    slots = list(struct.iter_unpack("=HHIQ", ctypes.string_at(lib.PyModExport__quelmar(), 6 * 16)))
    value = [s[3] for s in slots]  # id, flags, reserved, value
    assert [s[:3] for s in slots] == [(85, 0, 0), (109, 2, 0), (87, 4, 0), (100, 2, 0), (101, 2, 0), (0, 0, 0)]
    assert (value[2], value[5], ctypes.string_at(value[3]), ctypes.string_at(value[4])) == (1, 0, b"_quelmar", b"")
    assert ctypes.string_at(value[1], 16) == bytes([1, 0, 2, 0]) + bytes(12)  # the ABI record
    mod = type(q)("standalone")  # the exec slot is the exec step: it fills any module
    assert ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(value[0])(mod) == 0
    assert mod.__all__ == NAMES[:9] and mod.HfConfig is q.HfConfig
    # PyModuleDef: object header, m_init, m_index, m_copy; name, doc, size, methods, slots, the
    # first of which is Py_mod_exec (2) with the same exec step.
    name, doc, size, methods, defslots = (ctypes.c_void_p * 5).from_address(
        lib.PyInit__quelmar() + object.__basicsize__ + 3 * 8)
    assert (ctypes.string_at(name), ctypes.string_at(doc), size, methods) == (b"_quelmar", b"", None, None)
    assert struct.unpack("=iiQ", ctypes.string_at(defslots, 16))[::2] == (2, value[0])


POOL = [None, 0, -1, 2.5, float("nan"), -float("inf"), 1e39, 2**31, -2**63 - 1, True, "1", b"", [], [1, -2], (SEG,),
        [SEG, None], {}, range(3), object(), Odd(), np.float64(3), np.int8(11), np.ones(3, F32), np.zeros(2),
        np.ones(2, np.uint64), np.full(2, np.inf, F32), np.ones((2, 3), F32), np.full((2, 3), np.nan, F32),
        np.zeros((0, 3), F32), np.ones(8, F32)[::2], np.ones(2, ">f4"), SEG, SLIP, VEL, CFG, *PARTS.values()]


@pytest.mark.parametrize("fn, n_pos, valid", ENTRY, ids=NAMES)
def test_entry_point(fn, n_pos, valid):
    names, obj = list(valid), fn(**valid)
    assert str(inspect.signature(fn)) == f"({', '.join(names[:n_pos] + ['*'] * (n_pos < len(names)) + names[n_pos:])})"
    if isinstance(fn, type):  # a class: plain, sealed, not subclassable, not picklable
        assert (fn.__module__, fn.__qualname__, fn.__bases__, type(fn)) == ("builtins", fn.__name__, (object,), type)
        assert fn.__doc__ and not gc.is_tracked(obj) and not hasattr(obj, "__dict__")
        assert repr(obj).startswith(f"<builtins.{fn.__name__} object at 0x")
        for attempt, exc in [(lambda: type("Sub", (fn,), {}), TypeError), (lambda: weakref.ref(obj), TypeError),
                             (lambda: setattr(obj, "x", 1), AttributeError), (lambda: copy.copy(obj), TypeError),
                             (lambda: pickle.dumps(obj), TypeError), (lambda: copy.deepcopy(obj), TypeError)]:
            pytest.raises(exc, attempt)
    # A seeded random walk away from the valid call: the object, or a documented exception with at
    # most one note naming a parameter; the arguments' reference counts come out as they went in.
    rng, returns, notes_allowed = random.Random(5), type(obj), (None, *([f"while processing '{n}'"] for n in names))
    for i in range(300):
        keys = rng.sample(names, min(len(names), rng.choice([0, 1, 1, 2])))
        kw, edit, n_args = {**valid, **{k: rng.choice(POOL) for k in keys}}, rng.random(), rng.choice([0, 0, n_pos, 1])
        if edit < 0.2:
            kw.pop(rng.choice(names)) if edit < 0.1 else kw.update(extra=1)
        args = [kw.pop(k) for k in names[:n_args] if k in kw]
        case = f"call {i}: {args} {kw}"
        watch = [o for o in args + list(kw.values()) if type(o) not in (type(None), bool, int, float, str, bytes)]
        before = [sys.getrefcount(o) for o in watch]
        try:
            out, notes = fn(*args, **kw), None
        except (TypeError, ValueError, OverflowError, ZeroDivisionError) as e:
            out, notes = None, getattr(e, "__notes__", None)
        except BaseException as e:  # noqa: BLE001 - anything else is a fault
            pytest.fail(f"{case}: {e!r}")
        assert [sys.getrefcount(o) for o in watch] == before, case
        assert type(out) is returns if out is not None else notes in notes_allowed, case
        assert out is not None or keys or edit < 0.2 or n_args > n_pos, f"{case}: a valid call refused"
