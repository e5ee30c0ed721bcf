"""Import, the exec step, both entry points and the properties every class shares."""
import copy
import ctypes
import gc
import importlib
import importlib.util
import inspect
import pickle
import sys
import types
import weakref

import pytest

import _quelmar as q
from conftest import SOURCE, make_config, make_segment, make_velocity

NAMES = ["FaultSegment", "SlipModel", "VelocityModel1D", "SourceParameters", "PathParameters",
         "SiteParameters", "RecordParameters", "HfConfig", "Simulator"]

DOCS = {
    "FaultSegment": (
        "(*, longitude_deg, latitude_deg, strike_deg, dip_deg, rake_deg, top_depth_km, "
        "subfault_length_km, subfault_width_km, hypocentre_along_strike_km, "
        "hypocentre_down_dip_km, slip, rise_time_s, rupture_time_s, stress_drop_bars)",
        "One fault segment: geometry plus the four subfault grids.\n\nGrids are "
        "`(down_dip, along_strike)` for `slip`/`rise`/`trup`/`stress_drop_bars` and the\n"
        "row order the `.stoch` format itself uses."),
    "SlipModel": ("(segments)", "A whole slip model: one or more [`PyFaultSegment`]."),
    "VelocityModel1D": (
        "(*, thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, "
        "quality_factor_s, vs_moho_km_s)",
        "The 1-D velocity model, already truncated at the Moho."),
    "SourceParameters": (
        "(*, corner_frequency_constant, corner_frequency_alpha, rupture_velocity_fraction, "
        "rupture_velocity_shallow, rupture_velocity_deep, rupture_velocity_sigma)",
        "The earthquake source: how strong the high-frequency radiation is, and how fast the\n"
        "rupture travels."),
    "PathParameters": (
        "(*, rayset, path_duration_model)",
        "The path from source to site shared by every station: which rays, and how duration "
        "grows\nwith distance."),
    "SiteParameters": (
        "(*, fmax_hz)",
        "The near-surface parameters shared by every station.\n\nQuarter-wavelength site "
        "amplification is always applied and is not a field here."),
    "RecordParameters": ("(*, duration_s, dt)", "The shape of the record to produce."),
    "HfConfig": ("(*, source, path, site, record)",
                 "Everything needed to simulate, with nothing about where the inputs came "
                 "from."),
    "Simulator": (
        "(config, slip_model, velocity_model)",
        "A configured simulation, ready to run stations against.\n\nBuilt once per source; "
        "the station-independent work \u2014 the air layer, the slip-model\nnormalisation, the "
        "moment scaling \u2014 happens here rather than per station.\n\n# Threads, not "
        "processes\n\n`run_stations` releases the GIL and takes `&self`, so one of these can "
        "be shared across a\n**dask thread pool**. It is deliberately not picklable: "
        "`dask.distributed` would need to\nsend it between processes, and a silent "
        "re-normalisation on the far side is a worse\nfailure than a loud one here."),
}


def instances():
    seg = make_segment()
    slip = q.SlipModel([seg])
    vel = make_velocity()
    cfg = make_config()
    return [seg, slip, vel, q.SourceParameters(**SOURCE), q.PathParameters(rayset=[1], path_duration_model=0), q.SiteParameters(fmax_hz=1),
            q.RecordParameters(duration_s=1, dt=0.1), cfg, q.Simulator(cfg, slip, vel)]


def test_module_contents():
    assert q.__doc__ == ""
    assert q.__all__ == NAMES
    public = {k for k in vars(q) if not k.startswith("__")}
    assert public == set(NAMES)
    assert [getattr(q, n).__name__ for n in NAMES] == NAMES


def test_reimport_gives_the_same_classes():
    before = [getattr(q, n) for n in NAMES]
    del sys.modules["_quelmar"]
    try:
        again = importlib.import_module("_quelmar")
        assert again is not q
        assert again.__all__ == NAMES
        assert all(getattr(again, n) is c for n, c in zip(NAMES, before))
    finally:
        sys.modules["_quelmar"] = q


@pytest.mark.parametrize("name", NAMES)
def test_class_properties(name):
    cls = getattr(q, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__text_signature__ == DOCS[name][0]
    assert cls.__doc__ == DOCS[name][1]
    assert cls.__bases__ == (object,)
    assert type(cls) is type
    assert str(inspect.signature(cls)) == DOCS[name][0]
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    cls.extra_attribute = 5  # an ordinary, mutable heap type
    assert cls.extra_attribute == 5
    del cls.extra_attribute


def test_property_docs():
    assert q.SlipModel.subfault_count.__doc__ == "Total subfaults across all segments"
    assert q.VelocityModel1D.layer_count.__doc__ == "Layers remaining after Moho truncation."


@pytest.mark.parametrize("obj", instances(), ids=NAMES)
def test_instances_are_sealed(obj):
    assert not gc.is_tracked(obj)
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "__dict__")
    for attempt in (lambda: pickle.dumps(obj), lambda: copy.copy(obj),
                    lambda: copy.deepcopy(obj)):
        with pytest.raises(TypeError, match="cannot pickle"):
            attempt()


def _fresh_module():
    spec = importlib.util.find_spec("_quelmar")
    return spec, importlib.util.module_from_spec(spec)


def test_exec_appends_to_an_existing_all():
    spec, mod = _fresh_module()
    mod.__all__ = ["first"]
    spec.loader.exec_module(mod)
    assert mod.__all__ == ["first"] + NAMES
    assert mod.Simulator is q.Simulator


def test_exec_refuses_a_non_list_all():
    spec, mod = _fresh_module()
    mod.__all__ = ("first",)
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(mod)
    assert str(info.value) == "'tuple' object is not an instance of 'list'"
    assert not hasattr(mod, "FaultSegment")


class Slot(ctypes.Structure):
    _fields_ = [("id", ctypes.c_uint16), ("flags", ctypes.c_uint16),
                ("reserved", ctypes.c_uint32), ("value", ctypes.c_uint64)]


def _library():
    return ctypes.PyDLL(q.__file__)  # keeps the GIL held while calling in


def test_export_hook_slot_array():
    export = _library().PyModExport__quelmar
    export.restype = ctypes.c_void_p
    slots = (Slot * 6).from_address(export())
    assert [(s.id, s.flags, s.reserved) for s in slots] == [
        (85, 0, 0), (109, 2, 0), (87, 4, 0), (100, 2, 0), (101, 2, 0), (0, 0, 0)]
    assert slots[0].value != 0
    assert slots[2].value == 1 and slots[5].value == 0
    assert ctypes.string_at(slots[1].value, 16) == bytes([1, 0, 2, 0]) + bytes(12)
    assert ctypes.string_at(slots[3].value) == b"_quelmar"
    assert ctypes.string_at(slots[4].value) == b""

    # The exec slot is the module's exec step: it fills any module object.
    exec_step = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slots[0].value)
    mod = types.ModuleType("standalone")
    assert exec_step(mod) == 0
    assert mod.__all__ == NAMES and mod.HfConfig is q.HfConfig


def test_init_entry_point_uses_the_same_exec_step():
    lib = _library()
    lib.PyModExport__quelmar.restype = ctypes.c_void_p
    lib.PyInit__quelmar.restype = ctypes.c_void_p
    exec_addr = (Slot * 1).from_address(lib.PyModExport__quelmar())[0].value
    definition = lib.PyInit__quelmar()
    # PyModuleDef: base (object header, m_init, m_index, m_copy), then name, doc,
    # size, methods, slots.
    base = object.__basicsize__ + 3 * 8
    name, doc, size, methods, slots = (ctypes.c_void_p * 5).from_address(definition + base)
    assert ctypes.string_at(name) == b"_quelmar" and ctypes.string_at(doc) == b""
    assert not size and not methods

    class DefSlot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]
    first = DefSlot.from_address(slots)
    assert (first.slot, first.value) == (2, exec_addr)  # Py_mod_exec
