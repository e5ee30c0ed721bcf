// The input classes: the four parameter classes and HfConfig, FaultSegment,
// SlipModel and VelocityModel1D. Each class's field table states its
// parameters once; its constructor binds, converts (in table order, first
// failure wins), validates, then allocates.
#include "classes.hpp"

#include <cmath>
#include <cstring>
#include <span>
#include <string>

#include "korvane/geom.hpp"
#include "numpy_api.hpp"

namespace quelmar {

namespace {

using korvane::input::Segment;
using korvane::input::StochModel;
using korvane::input::Subfault;
using korvane::state::InputLayer;

// ---- value checks ----------------------------------------------------------
// Inputs that would give records that look real but are not (all zero, or
// finite nonsense) are refused with a ValueError naming the field, after the
// class's other checks.

bool finite_non_negative(float x) noexcept { return std::isfinite(x) && x >= 0.0f; }

template <class T>
bool positive_finite(T x) noexcept {
    return std::isfinite(x) && x > T(0);
}

// ---- classes converted straight into their core value -----------------------

// The constructor of a class whose arguments convert straight into its core
// value `V`: binds, converts by the field table, then keeps the value once
// `check(value)` passes (false with an exception set refuses it).
template <class V, std::size_t N, class Check>
PyObject* new_value(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Params& params,
                    const Field<V> (&fields)[N], Check&& check) {
    return construct(params, fields, args, kwargs, [&](V& value, const Ref*) -> PyObject* {
        return check(value) ? emplace(type, std::move(value)) : nullptr;
    });
}

bool unchecked(const auto&) noexcept { return true; }

// ---- SourceParameters, SiteParameters, RecordParameters ---------------------

using Source = SourceParametersValue;
constexpr Field<Source> kSourceFields[] = {{"corner_frequency_constant", f32_field<&Source::corner_frequency_constant>},
                                           {"corner_frequency_alpha", f32_field<&Source::corner_frequency_alpha>},
                                           {"rupture_velocity_fraction", f32_field<&Source::rupture_velocity_fraction>},
                                           {"rupture_velocity_shallow", f32_field<&Source::rupture_velocity_shallow>},
                                           {"rupture_velocity_deep", f32_field<&Source::rupture_velocity_deep>},
                                           {"rupture_velocity_sigma", f32_field<&Source::rupture_velocity_sigma>}};
constexpr Params kSourceParams = params_of<kSourceFields>("SourceParameters");

// The corner-frequency constant: 0 gives an infinite window (a stop), a
// negative or NaN one NaN samples; an infinite one no corner at all. An alpha
// that is not finite makes every corner-frequency factor NaN or infinite (a
// finite alpha that makes a segment's factor negative is the Simulator's to
// refuse). The rupture-velocity fraction and factors: 0 is no rupture (a
// corner frequency of 0, an infinite window), a negative or infinite one
// gives finite records of no meaning. The spread: 0 is no perturbation, a
// NaN or negative one would silently mean the same.
bool check_source(const Source& v) {
    if (!positive_finite(v.corner_frequency_constant)) {
        return refuse_not_positive_finite("corner_frequency_constant", v.corner_frequency_constant);
    }
    if (!std::isfinite(v.corner_frequency_alpha)) {
        return refuse("corner_frequency_alpha", "be finite", v.corner_frequency_alpha);
    }
    const struct {
        const char* name;
        float value;
    } rupture[] = {{"rupture_velocity_fraction", v.rupture_velocity_fraction},
                   {"rupture_velocity_shallow", v.rupture_velocity_shallow},
                   {"rupture_velocity_deep", v.rupture_velocity_deep}};
    for (const auto& f : rupture) {
        if (!positive_finite(f.value)) return refuse_not_positive_finite(f.name, f.value);
    }
    if (!finite_non_negative(v.rupture_velocity_sigma)) {
        return refuse_negative("rupture_velocity_sigma", v.rupture_velocity_sigma);
    }
    return true;
}

PyObject* source_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_value(type, args, kwargs, kSourceParams, kSourceFields, check_source);
}

using Site = SiteParametersValue;
constexpr Field<Site> kSiteFields[] = {{"fmax_hz", f32_field<&Site::fmax_hz>}};
constexpr Params kSiteParams = params_of<kSiteFields>("SiteParameters");

// fmax 0 or below gives all-zero or meaningless records wherever it is used
// (stations whose kappa is not positive), NaN gives NaN samples there. inf
// keeps its meaning: no fmax filter.
bool check_site(const Site& v) {
    if (!(v.fmax_hz > 0.0f)) return refuse_not_positive("fmax_hz", v.fmax_hz);
    return true;
}

PyObject* site_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_value(type, args, kwargs, kSiteParams, kSiteFields, check_site);
}

using Record = RecordParametersValue;
constexpr Field<Record> kRecordFields[] = {{"duration_s", f32_field<&Record::duration_s>},
                                           {"dt", f32_field<&Record::dt>}};
constexpr Params kRecordParams = params_of<kRecordFields>("RecordParameters");

// A record of 2^31 samples or more (duration_s / dt as the Simulator forms
// it, in f32: dt 0 under a positive duration gives inf) is over the limit of
// a run. A NaN or negative quotient is an empty record. A dt of 0 gives no
// sample count for any window, so every run would stop on it: it is refused
// under any duration but 0, and dt 0 with duration 0 is left to the run,
// which stops on it.
bool check_record(const Record& v) {
    // A negative time step runs the record backwards: under a negative
    // duration it gives a positive length and NaN samples.
    if (v.dt < 0.0f) return refuse("dt", "not be negative", v.dt);
    const float samples = v.duration_s / v.dt;
    const std::string duration = korvane::format_number(v.duration_s);
    const std::string dt = korvane::format_number(v.dt);
    if (samples >= 2147483648.0f) {
        PyErr_Format(PyExc_ValueError,
                     "duration_s = %s s and dt = %s s give a record of %s samples; a run can index at most "
                     "2147483647",
                     duration.c_str(), dt.c_str(), korvane::format_number(std::trunc(samples)).c_str());
        return false;
    }
    if (v.dt == 0.0f && v.duration_s != 0.0f) {
        PyErr_Format(PyExc_ValueError, "duration_s = %s s and dt = %s s give no record length; dt must not be 0",
                     duration.c_str(), dt.c_str());
        return false;
    }
    return true;
}

PyObject* record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_value(type, args, kwargs, kRecordParams, kRecordFields, check_record);
}

// ---- PathParameters -----------------------------------------------------------

using Path = PathParametersValue;

// The ray codes, each a 32-bit integer, in order.
bool rayset_field(PyObject* o, const char* name, Path& out) {
    return list_from_sequence(o, name, out.rayset, i32_item);
}

// A duration-model code of the Python interface (0, 1, 2, 11, 12), stored as
// the core's variant 0..4; ValueError for any other code.
bool duration_model_field(PyObject* o, const char* name, Path& out) {
    std::int32_t code = 0;
    if (!to_i32(o, name, code)) return false;
    switch (code) {
        case 0: out.path_duration_model = 0; break;
        case 1: out.path_duration_model = 1; break;
        case 2: out.path_duration_model = 2; break;
        case 11: out.path_duration_model = 3; break;
        case 12: out.path_duration_model = 4; break;
        default:
            PyErr_Format(PyExc_ValueError, "path_duration_model %d is not one of 0, 1, 2, 11, 12", code);
            return false;
    }
    return true;
}

constexpr Field<Path> kPathFields[] = {{"rayset", rayset_field}, {"path_duration_model", duration_model_field}};
constexpr Params kPathParams = params_of<kPathFields>("PathParameters");

PyObject* path_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_value(type, args, kwargs, kPathParams, kPathFields, unchecked<Path>);
}

// ---- HfConfig -------------------------------------------------------------------

using Config = HfConfigValue;
constexpr Field<Config> kConfigFields[] = {
    {"source", instance_field<kSourceParameters, &Config::source>},
    {"path", instance_field<kPathParameters, &Config::path>},  // own copy of the ray codes
    {"site", instance_field<kSiteParameters, &Config::site>},
    {"record", instance_field<kRecordParameters, &Config::record>}};
constexpr Params kConfigParams = params_of<kConfigFields>("HfConfig");

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_value(type, args, kwargs, kConfigParams, kConfigFields, unchecked<Config>);
}

// ---- FaultSegment -------------------------------------------------------------

// The arguments of FaultSegment, converted; the grids are borrowed from the
// bound arguments.
struct SegmentArgs {
    float longitude_deg, latitude_deg, strike_deg, dip_deg, rake_deg, top_depth_km;
    float subfault_length_km, subfault_width_km, hypocentre_along_strike_km, hypocentre_down_dip_km;
    PyArrayObject *slip, *rise_time_s, *rupture_time_s, *stress_drop_bars;
};

template <auto Member>
constexpr auto grid_field = array_field<Member, 2, NPY_FLOAT32>;

constexpr Field<SegmentArgs> kSegmentFields[] = {
    {"longitude_deg", f32_field<&SegmentArgs::longitude_deg>},
    {"latitude_deg", f32_field<&SegmentArgs::latitude_deg>},
    {"strike_deg", f32_field<&SegmentArgs::strike_deg>},
    {"dip_deg", f32_field<&SegmentArgs::dip_deg>},
    {"rake_deg", f32_field<&SegmentArgs::rake_deg>},
    {"top_depth_km", f32_field<&SegmentArgs::top_depth_km>},
    {"subfault_length_km", f32_field<&SegmentArgs::subfault_length_km>},
    {"subfault_width_km", f32_field<&SegmentArgs::subfault_width_km>},
    {"hypocentre_along_strike_km", f32_field<&SegmentArgs::hypocentre_along_strike_km>},
    {"hypocentre_down_dip_km", f32_field<&SegmentArgs::hypocentre_down_dip_km>},
    {"slip", grid_field<&SegmentArgs::slip>},
    {"rise_time_s", grid_field<&SegmentArgs::rise_time_s>},
    {"rupture_time_s", grid_field<&SegmentArgs::rupture_time_s>},
    {"stress_drop_bars", grid_field<&SegmentArgs::stress_drop_bars>}};
constexpr Params kSegmentParams = params_of<kSegmentFields>("FaultSegment");

// Element (r, c) of a 2-D float32 grid, read through its strides (any
// layout, possibly unaligned), bits unchanged.
float grid_at(PyArrayObject* grid, npy_intp r, npy_intp c) noexcept {
    const char* p = PyArray_BYTES(grid) + r * PyArray_STRIDE(grid, 0) + c * PyArray_STRIDE(grid, 1);
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Calls `visit(value, r, c)` on the cells of a grid in row-major index order,
// whatever the memory layout, until one returns false; returns whether none did.
template <class Visit>
bool every_cell(PyArrayObject* grid, Visit&& visit) {
    for (npy_intp r = 0; r < PyArray_DIM(grid, 0); ++r) {
        for (npy_intp c = 0; c < PyArray_DIM(grid, 1); ++c) {
            if (!visit(grid_at(grid, r, c), r, c)) return false;
        }
    }
    return true;
}

// ValueError unless the four grids have one shape: they describe the same subfaults.
bool check_grid_shapes(const SegmentArgs& a) {
    PyArrayObject* const g[] = {a.slip, a.rise_time_s, a.rupture_time_s, a.stress_drop_bars};
    for (PyArrayObject* grid : g) {
        if (!PyArray_SAMESHAPE(grid, g[0])) {
            PyErr_Format(PyExc_ValueError,
                         "slip (%zd, %zd), rise_time_s (%zd, %zd), rupture_time_s (%zd, %zd) "
                         "and stress_drop_bars (%zd, %zd) must have the same shape -- they "
                         "describe the same subfaults",
                         PyArray_DIM(g[0], 0), PyArray_DIM(g[0], 1), PyArray_DIM(g[1], 0), PyArray_DIM(g[1], 1),
                         PyArray_DIM(g[2], 0), PyArray_DIM(g[2], 1), PyArray_DIM(g[3], 0), PyArray_DIM(g[3], 1));
            return false;
        }
    }
    return true;
}

// Numbers and cells that would give records that look real but are not:
// stress drops that are not positive and finite, a position off the globe,
// an angle that is not finite, a segment without size or with a top depth
// that is not finite, and a rupture time that is not finite (NaN would fire the
// cell at the origin time, +-inf drop it from every record unseen). The empty
// grid is refused between the stress drops and the rest.
bool check_segment_values(const SegmentArgs& a) {
    const bool stress_ok = every_cell(a.stress_drop_bars, [](float s, npy_intp, npy_intp) {
        return positive_finite(s) || refuse("stress_drop_bars", "be positive and finite everywhere", s);
    });
    if (!stress_ok) return false;
    if (PyArray_SIZE(a.slip) == 0) {
        PyErr_SetString(PyExc_ValueError, "a segment needs at least one subfault; got an empty grid");
        return false;
    }
    // A position or an angle that is not finite makes every distance, or the
    // radiation pattern, NaN; a latitude beyond a pole is no place at all.
    if (!std::isfinite(a.longitude_deg)) return refuse("longitude_deg", "be finite", a.longitude_deg);
    if (!korvane::geom::is_latitude(a.latitude_deg))
        return refuse("latitude_deg", "be within [-90, 90]", a.latitude_deg);
    for (const auto& [name, angle] :
         {std::pair{"strike_deg", a.strike_deg}, std::pair{"dip_deg", a.dip_deg}, std::pair{"rake_deg", a.rake_deg}}) {
        if (!std::isfinite(angle)) return refuse(name, "be finite", angle);
    }
    // A top edge above the datum is what finite-fault models of surface
    // ruptures carry: cells whose centre lies in the air layer do not radiate.
    if (!std::isfinite(a.top_depth_km)) return refuse("top_depth_km", "be finite", a.top_depth_km);
    for (const auto& [name, size] :
         {std::pair{"subfault_length_km", a.subfault_length_km}, std::pair{"subfault_width_km", a.subfault_width_km}}) {
        if (!positive_finite(size)) return refuse_not_positive_finite(name, size);
    }
    return every_cell(a.rupture_time_s, [](float t, npy_intp r, npy_intp c) {
        return std::isfinite(t) || refuse("rupture_time_s", "be finite everywhere", t,
                                          " at row " + std::to_string(r) + ", column " + std::to_string(c));
    });
}

// The subfaults, in row-major index order (down-dip rows of along-strike cells).
std::vector<Subfault> subfaults_of(const SegmentArgs& a) {
    const auto rows = static_cast<std::size_t>(PyArray_DIM(a.slip, 0));
    const auto cols = static_cast<std::size_t>(PyArray_DIM(a.slip, 1));
    std::vector<Subfault> cells;
    const std::size_t n_cells = korvane::checked_mul(rows, cols);
    korvane::allocating([&] { return std::to_string(rows) + " x " + std::to_string(cols) + " subfaults"; },
                        korvane::saturating_mul(n_cells, sizeof(Subfault)), [&] { cells.reserve(n_cells); });
    every_cell(a.slip, [&](float slip, npy_intp r, npy_intp c) {
        cells.push_back(
            {slip, grid_at(a.rise_time_s, r, c), grid_at(a.rupture_time_s, r, c), grid_at(a.stress_drop_bars, r, c)});
        return true;
    });
    return cells;
}

// The segment the checked arguments describe.
PyObject* new_segment(PyTypeObject* type, const SegmentArgs& a) {
    if (!check_grid_shapes(a) || !check_segment_values(a)) return nullptr;
    Segment value(static_cast<std::size_t>(PyArray_DIM(a.slip, 1)), static_cast<std::size_t>(PyArray_DIM(a.slip, 0)),
                  subfaults_of(a), a.longitude_deg, a.latitude_deg, a.subfault_length_km, a.subfault_width_km,
                  a.strike_deg, a.dip_deg, a.rake_deg, a.top_depth_km, a.hypocentre_along_strike_km,
                  a.hypocentre_down_dip_km);
    return emplace(type, std::move(value));
}

PyObject* segment_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct(kSegmentParams, kSegmentFields, args, kwargs,
                     [&](const SegmentArgs& a, const Ref*) { return new_segment(type, a); });
}

// ---- SlipModel ------------------------------------------------------------------

// The segments argument: its items, each a FaultSegment, held until copied.
struct SlipArgs {
    std::vector<Ref> segments;
};

// One item of `segments`: a FaultSegment (or subtype) instance, referenced.
bool segment_item(PyObject* item, Ref& out) {
    if (!detail::instance_of(item, required_type(kFaultSegment))) return false;
    Py_INCREF(item);
    out.reset(item);
    return true;
}

bool segments_field(PyObject* o, const char* name, SlipArgs& out) {
    return list_from_sequence(o, name, out.segments, segment_item);
}

constexpr Field<SlipArgs> kSlipFields[] = {{"segments", segments_field}};
constexpr Params kSlipParams = params_of<kSlipFields>("SlipModel", 1);

// The slip model of the given segments, each copied.
PyObject* new_slip_model(PyTypeObject* type, const SlipArgs& a) {
    if (a.segments.empty()) {
        PyErr_SetString(PyExc_ValueError, "a slip model needs at least one segment");
        return nullptr;
    }
    std::vector<Segment> segments;
    segments.reserve(a.segments.size());
    for (const Ref& item : a.segments) segments.push_back(value_of<FaultSegmentValue>(item.get()));
    StochModel value(std::move(segments));
    return emplace(type, std::move(value));
}

PyObject* slip_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct(kSlipParams, kSlipFields, args, kwargs,
                     [&](const SlipArgs& a, const Ref*) { return new_slip_model(type, a); });
}

PyObject* slip_subfault_count(PyObject* self, void*) {
    return PyLong_FromSize_t(value_of<SlipModelValue>(self).subfault_count);
}

PyGetSetDef slip_getset[] = {
    {"subfault_count", slip_subfault_count, nullptr, "Total subfaults across all segments", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- VelocityModel1D ----------------------------------------------------------

// The six per-layer arrays, in parameter order.
enum LayerArray { kThickness, kVp, kVsh, kDensity, kQp, kQs, kLayerArrays };

// The arguments of VelocityModel1D, converted; the arrays are borrowed from
// the bound arguments.
struct VelocityArgs {
    PyArrayObject* layer[kLayerArrays];
    double vs_moho_km_s;
};

template <LayerArray I, int Typenum>
constexpr auto layer_field = array_slot_field<&VelocityArgs::layer, I, Typenum>;

// Element types: thicknesses and quality factors f32, velocities and density
// f64, as the layer fields are declared.
constexpr Field<VelocityArgs> kVelocityFields[] = {{"thickness_km", layer_field<kThickness, NPY_FLOAT32>},
                                                   {"vp_km_s", layer_field<kVp, NPY_FLOAT64>},
                                                   {"vsh_km_s", layer_field<kVsh, NPY_FLOAT64>},
                                                   {"density_g_cm3", layer_field<kDensity, NPY_FLOAT64>},
                                                   {"quality_factor_p", layer_field<kQp, NPY_FLOAT32>},
                                                   {"quality_factor_s", layer_field<kQs, NPY_FLOAT32>},
                                                   {"vs_moho_km_s", f64_field<&VelocityArgs::vs_moho_km_s>}};
constexpr Params kVelocityParams = params_of<kVelocityFields>("VelocityModel1D");

template <class T>
const T* run_of(PyArrayObject* a) noexcept {
    return static_cast<const T*>(PyArray_DATA(a));
}

// The six arrays each one flat run (TypeError) of one common length (ValueError).
bool check_layer_arrays(const VelocityArgs& a) {
    for (PyArrayObject* arr : a.layer) {
        if (!check_flat_run(reinterpret_cast<PyObject*>(arr))) return false;
    }
    for (PyArrayObject* arr : a.layer) {
        if (PyArray_DIM(arr, 0) != PyArray_DIM(a.layer[0], 0)) {
            PyErr_Format(PyExc_ValueError,
                         "every layer property must have one entry per layer. Got lengths "
                         "[%zd, %zd, %zd, %zd, %zd, %zd] for (thickness_km, vp_km_s, "
                         "vsh_km_s, density_g_cm3, quality_factor_p, quality_factor_s)",
                         PyArray_DIM(a.layer[0], 0), PyArray_DIM(a.layer[1], 0), PyArray_DIM(a.layer[2], 0),
                         PyArray_DIM(a.layer[3], 0), PyArray_DIM(a.layer[4], 0), PyArray_DIM(a.layer[5], 0));
            return false;
        }
    }
    return true;
}

// The given layers, top down, before the Moho cut.
std::vector<InputLayer> layers_of(const VelocityArgs& a) {
    const auto n = static_cast<std::size_t>(PyArray_DIM(a.layer[0], 0));
    std::vector<InputLayer> layers;
    layers.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        InputLayer layer;
        layer.vp_km_s = run_of<double>(a.layer[kVp])[i];
        layer.vsh_km_s = run_of<double>(a.layer[kVsh])[i];
        layer.density_g_cm3 = run_of<double>(a.layer[kDensity])[i];
        layer.bottom_depth_km = 0.0f;
        layer.thickness_km = run_of<float>(a.layer[kThickness])[i];
        layer.quality_factor_p = run_of<float>(a.layer[kQp])[i];
        layer.quality_factor_s = run_of<float>(a.layer[kQs])[i];
        layers.push_back(layer);
    }
    return layers;
}

// The layers kept above the Moho, field by field: values that give records
// that look real but are not (a negative thickness, S velocity or density, a
// quality factor of 0 or below) or none at all, or NaN samples (an S velocity
// or density beyond the 32-bit float range). Q = inf (no attenuation) is
// allowed; P velocities and Qp are never used by the S-wave rays.
bool check_layer_values(const std::vector<InputLayer>& layers) {
    auto in_layer = [](std::size_t i) { return " in layer " + std::to_string(i); };
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const float h = layers[i].thickness_km;
        if (!finite_non_negative(h)) return refuse_negative("thickness_km", h, in_layer(i));
    }
    const struct {
        const char* name;
        double InputLayer::*field;
    } positive[] = {{"vsh_km_s", &InputLayer::vsh_km_s}, {"density_g_cm3", &InputLayer::density_g_cm3}};
    for (const auto& f : positive) {
        for (std::size_t i = 0; i < layers.size(); ++i) {
            const double v = layers[i].*f.field;
            if (!positive_finite(v)) return refuse_not_positive_finite(f.name, v, in_layer(i));
            // The spectra take both as 32-bit floats: a value that rounds to
            // 0, a subnormal or inf there gives NaN samples.
            if (!std::isnormal(static_cast<float>(v))) {
                return refuse(f.name, "lie within the 32-bit float range", v, in_layer(i));
            }
        }
    }
    // The site term takes each layer's impedance vsh_km_s x density_g_cm3 as
    // a 32-bit float: an infinite one gives NaN gains.
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const double z = layers[i].vsh_km_s * layers[i].density_g_cm3;
        if (!std::isfinite(static_cast<float>(z))) {
            return refuse("density_g_cm3", "keep vsh_km_s x density_g_cm3 within the 32-bit float range",
                          layers[i].density_g_cm3, in_layer(i));
        }
    }
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const float q = layers[i].quality_factor_s;
        if (!(q > 0.0f)) return refuse_not_positive("quality_factor_s", q, in_layer(i));
    }
    return true;
}

// The velocity model the converted arguments describe, cut at the Moho.
PyObject* new_velocity_model(PyTypeObject* type, VelocityArgs& a, const Ref* bound) {
    // Converting vs_moho_km_s may have run Python code (a __float__) that
    // rebound an array's dtype: take the arrays again, now that no caller
    // code runs before they are read.
    if (!convert_fields(std::span(kVelocityFields).first(kLayerArrays), bound, a)) return nullptr;
    if (!check_layer_arrays(a)) return nullptr;
    auto model = korvane::input::build_velocity_model(layers_of(a), a.vs_moho_km_s);
    if (!model) {
        PyErr_SetString(PyExc_ValueError, model.error().display().c_str());
        return nullptr;
    }
    if (!check_layer_values(model.value())) return nullptr;
    return emplace(type, std::move(model).value());
}

PyObject* velocity_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct(kVelocityParams, kVelocityFields, args, kwargs,
                     [&](VelocityArgs& a, const Ref* bound) { return new_velocity_model(type, a, bound); });
}

PyObject* velocity_layer_count(PyObject* self, void*) {
    return PyLong_FromSize_t(value_of<VelocityModelValue>(self).size());
}

PyGetSetDef velocity_getset[] = {
    {"layer_count", velocity_layer_count, nullptr, "Layers remaining after Moho truncation.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- docstrings (after each text signature) ------------------------------------

constexpr char kSegmentDoc[] =
    "One fault segment: geometry plus the four subfault grids.\n\n"
    "Grids are `(down_dip, along_strike)` for `slip`/`rise`/`trup`/`stress_drop_bars` and the\n"
    "row order the `.stoch` format itself uses.";
constexpr char kSlipDoc[] = "A whole slip model: one or more [`PyFaultSegment`].";
constexpr char kVelocityDoc[] = "The 1-D velocity model, already truncated at the Moho.";
constexpr char kSourceDoc[] =
    "The earthquake source: how strong the high-frequency radiation is, and how fast the\n"
    "rupture travels.";
constexpr char kPathDoc[] =
    "The path from source to site shared by every station: which rays, and how duration grows\n"
    "with distance.";
constexpr char kSiteDoc[] =
    "The near-surface parameters shared by every station.\n\n"
    "Quarter-wavelength site amplification is always applied and is not a field here.";
constexpr char kRecordDoc[] = "The shape of the record to produce.";
constexpr char kConfigDoc[] = "Everything needed to simulate, with nothing about where the inputs came from.";

}  // namespace

// ---- class definitions ----------------------------------------------------------

const ClassDef kFaultSegmentDef = define_class<FaultSegmentValue, kSegmentParams, kSegmentDoc>(segment_new);
const ClassDef kSlipModelDef = define_class<SlipModelValue, kSlipParams, kSlipDoc>(slip_new, slip_getset);
const ClassDef kVelocityModelDef =
    define_class<VelocityModelValue, kVelocityParams, kVelocityDoc>(velocity_new, velocity_getset);
const ClassDef kSourceParametersDef = define_class<Source, kSourceParams, kSourceDoc>(source_new);
const ClassDef kPathParametersDef = define_class<Path, kPathParams, kPathDoc>(path_new);
const ClassDef kSiteParametersDef = define_class<Site, kSiteParams, kSiteDoc>(site_new);
const ClassDef kRecordParametersDef = define_class<Record, kRecordParams, kRecordDoc>(record_new);
const ClassDef kHfConfigDef = define_class<Config, kConfigParams, kConfigDoc>(config_new);

}  // namespace quelmar
