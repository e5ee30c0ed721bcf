// The input classes: the four parameter classes and HfConfig, FaultSegment,
// SlipModel and VelocityModel1D. Each constructor binds, converts (in
// parameter order, first failure wins), validates, then allocates.
#include "classes.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <string>

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

// ---- SourceParameters, SiteParameters, RecordParameters ---------------------

// A record of f32 fields, one keyword-only parameter per field, converted in
// parameter order and stored unchecked.
// `check(value)` runs once every field is converted; false with an
// exception set refuses the value.
template <class V, std::size_t N, class Check>
PyObject* new_float_record(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Params& params,
                           const std::array<float V::*, N>& fields, Check&& check) {
    return guard([&]() -> PyObject* {
        Ref bound[N];
        if (!bind(params, args, kwargs, bound)) return nullptr;
        V value{};
        for (std::size_t i = 0; i < N; ++i) {
            if (!to_f32(bound[i].get(), params.keyword_only[i], value.*fields[i])) return nullptr;
        }
        if (!check(value)) return nullptr;
        return emplace(type, std::move(value));
    });
}

bool unchecked(const auto&) noexcept { return true; }

constexpr const char* kSourceKw[] = {"corner_frequency_constant", "corner_frequency_alpha",
                                     "rupture_velocity_fraction", "rupture_velocity_shallow",
                                     "rupture_velocity_deep",     "rupture_velocity_sigma"};
const Params kSourceParams{"SourceParameters", "__new__", {}, kSourceKw};
constexpr std::array<float SourceParametersValue::*, 6> kSourceFields = {
    &SourceParametersValue::corner_frequency_constant,
    &SourceParametersValue::corner_frequency_alpha,
    &SourceParametersValue::rupture_velocity_fraction,
    &SourceParametersValue::rupture_velocity_shallow,
    &SourceParametersValue::rupture_velocity_deep,
    &SourceParametersValue::rupture_velocity_sigma};

// The rupture-velocity factors and spread: a negative or infinite one gives
// finite records of no meaning, and a NaN or negative spread would silently
// mean no perturbation at all.
bool check_source(const SourceParametersValue& v) {
    for (std::size_t i = 2; i < 6; ++i) {
        const float x = v.*kSourceFields[i];
        if (!finite_non_negative(x)) return refuse(kSourceKw[i], "be finite and not negative", x);
    }
    return true;
}

PyObject* source_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_float_record(type, args, kwargs, kSourceParams, kSourceFields, check_source);
}

constexpr const char* kSiteKw[] = {"fmax_hz"};
const Params kSiteParams{"SiteParameters", "__new__", {}, kSiteKw};
constexpr std::array<float SiteParametersValue::*, 1> kSiteFields = {&SiteParametersValue::fmax_hz};

// fmax 0 or below gives all-zero or meaningless records wherever it is used
// (stations whose kappa is not positive). NaN and inf keep their meaning.
bool check_site(const SiteParametersValue& v) {
    if (v.fmax_hz <= 0.0f) return refuse("fmax_hz", "be positive", v.fmax_hz);
    return true;
}

PyObject* site_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_float_record(type, args, kwargs, kSiteParams, kSiteFields, check_site);
}

constexpr const char* kRecordKw[] = {"duration_s", "dt"};
const Params kRecordParams{"RecordParameters", "__new__", {}, kRecordKw};
constexpr std::array<float RecordParametersValue::*, 2> kRecordFields = {
    &RecordParametersValue::duration_s, &RecordParametersValue::dt};

PyObject* record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_float_record(type, args, kwargs, kRecordParams, kRecordFields,
                            unchecked<RecordParametersValue>);
}

// ---- PathParameters -----------------------------------------------------------

constexpr const char* kPathKw[] = {"rayset", "path_duration_model"};
const Params kPathParams{"PathParameters", "__new__", {}, kPathKw};

PyObject* path_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Ref bound[2];
        if (!bind(kPathParams, args, kwargs, bound)) return nullptr;
        PathParametersValue value;
        if (!list_from_sequence(bound[0].get(), "rayset", value.rayset, i32_item)) return nullptr;
        std::int32_t code = 0;
        if (!to_i32(bound[1].get(), "path_duration_model", code)) return nullptr;
        // Python codes of the duration models -> the core's variants 0..4.
        switch (code) {
            case 0: value.path_duration_model = 0; break;
            case 1: value.path_duration_model = 1; break;
            case 2: value.path_duration_model = 2; break;
            case 11: value.path_duration_model = 3; break;
            case 12: value.path_duration_model = 4; break;
            default:
                PyErr_Format(PyExc_ValueError,
                             "path_duration_model %d is not one of 0, 1, 2, 11, 12", code);
                return nullptr;
        }
        return emplace(type, std::move(value));
    });
}

// ---- HfConfig -------------------------------------------------------------------

constexpr const char* kConfigKw[] = {"source", "path", "site", "record"};
const Params kConfigParams{"HfConfig", "__new__", {}, kConfigKw};

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Ref bound[4];
        if (!bind(kConfigParams, args, kwargs, bound)) return nullptr;
        constexpr ClassId parts[4] = {kSourceParameters, kPathParameters, kSiteParameters,
                                      kRecordParameters};
        for (std::size_t i = 0; i < 4; ++i) {
            if (!check_instance(bound[i].get(), required_type(parts[i]), kConfigKw[i])) {
                return nullptr;
            }
        }
        HfConfigValue value;
        value.source = value_of<SourceParametersValue>(bound[0].get());
        value.path = value_of<PathParametersValue>(bound[1].get());  // own copy of the ray codes
        value.site = value_of<SiteParametersValue>(bound[2].get());
        value.record = value_of<RecordParametersValue>(bound[3].get());
        return emplace(type, std::move(value));
    });
}

// ---- FaultSegment -------------------------------------------------------------

constexpr const char* kSegmentKw[] = {
    "longitude_deg",      "latitude_deg",      "strike_deg",
    "dip_deg",            "rake_deg",          "top_depth_km",
    "subfault_length_km", "subfault_width_km", "hypocentre_along_strike_km",
    "hypocentre_down_dip_km", "slip",          "rise_time_s",
    "rupture_time_s",     "stress_drop_bars"};
const Params kSegmentParams{"FaultSegment", "__new__", {}, kSegmentKw};
constexpr std::size_t kSegmentNumbers = 10;
constexpr std::size_t kSegmentGrids = 4;

// Element (r, c) of a 2-D float32 grid, read through its strides (any
// layout, possibly unaligned), bits unchanged.
float grid_at(PyArrayObject* grid, npy_intp r, npy_intp c) noexcept {
    const char* p = PyArray_BYTES(grid) + r * PyArray_STRIDE(grid, 0) + c * PyArray_STRIDE(grid, 1);
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Numbers and cells that would give records that look real but are not: a
// segment above the surface or without size, and a rupture time that is not
// finite (NaN would fire the cell at the origin time, +-inf overflow the
// sample arithmetic). `x` holds the ten numbers in keyword order.
bool check_segment_values(const float* x, PyArrayObject* rupture_time, npy_intp rows, npy_intp cols) {
    if (!finite_non_negative(x[5])) return refuse("top_depth_km", "be finite and not negative", x[5]);
    for (std::size_t i = 6; i < 8; ++i) {
        if (!(std::isfinite(x[i]) && x[i] > 0.0f)) return refuse(kSegmentKw[i], "be positive and finite", x[i]);
    }
    for (npy_intp r = 0; r < rows; ++r) {
        for (npy_intp c = 0; c < cols; ++c) {
            const float t = grid_at(rupture_time, r, c);
            if (!std::isfinite(t)) {
                return refuse("rupture_time_s", "be finite everywhere", t,
                              " at row " + std::to_string(r) + ", column " + std::to_string(c));
            }
        }
    }
    return true;
}

PyObject* segment_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Ref bound[kSegmentNumbers + kSegmentGrids];
        if (!bind(kSegmentParams, args, kwargs, bound)) return nullptr;
        float x[kSegmentNumbers];
        for (std::size_t i = 0; i < kSegmentNumbers; ++i) {
            if (!to_f32(bound[i].get(), kSegmentKw[i], x[i])) return nullptr;
        }
        // slip, rise_time_s, rupture_time_s, stress_drop_bars (borrowed from `bound`).
        PyArrayObject* g[kSegmentGrids];
        for (std::size_t i = 0; i < kSegmentGrids; ++i) {
            const std::size_t k = kSegmentNumbers + i;
            PyObject* a = as_array(bound[k].get(), 2, NPY_FLOAT32, kSegmentKw[k]);
            if (a == nullptr) return nullptr;
            g[i] = reinterpret_cast<PyArrayObject*>(a);
        }

        const npy_intp rows = PyArray_DIM(g[0], 0);
        const npy_intp cols = PyArray_DIM(g[0], 1);
        for (std::size_t i = 1; i < kSegmentGrids; ++i) {
            if (PyArray_DIM(g[i], 0) != rows || PyArray_DIM(g[i], 1) != cols) {
                PyErr_Format(PyExc_ValueError,
                             "slip (%zd, %zd), rise_time_s (%zd, %zd), rupture_time_s (%zd, %zd) "
                             "and stress_drop_bars (%zd, %zd) must have the same shape -- they "
                             "describe the same subfaults",
                             PyArray_DIM(g[0], 0), PyArray_DIM(g[0], 1), PyArray_DIM(g[1], 0),
                             PyArray_DIM(g[1], 1), PyArray_DIM(g[2], 0), PyArray_DIM(g[2], 1),
                             PyArray_DIM(g[3], 0), PyArray_DIM(g[3], 1));
                return nullptr;
            }
        }
        // Stress drops in row-major index order, whatever the memory layout.
        for (npy_intp r = 0; r < rows; ++r) {
            for (npy_intp c = 0; c < cols; ++c) {
                const float s = grid_at(g[3], r, c);
                if (!(s > 0.0f && std::isfinite(s))) {
                    const std::string text =
                        "stress_drop_bars must be positive and finite everywhere; got " +
                        korvane::format_number(s);
                    PyErr_SetString(PyExc_ValueError, text.c_str());
                    return nullptr;
                }
            }
        }
        if (rows == 0 || cols == 0) {
            PyErr_SetString(PyExc_ValueError,
                            "a segment needs at least one subfault; got an empty grid");
            return nullptr;
        }

        if (!check_segment_values(x, g[2], rows, cols)) return nullptr;

        std::vector<Subfault> cells;
        const std::size_t n_cells =
            korvane::checked_mul(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols));
        korvane::allocating(
            [&] {
                return std::to_string(rows) + " x " + std::to_string(cols) + " subfaults";
            },
            korvane::saturating_mul(n_cells, sizeof(Subfault)), [&] { cells.reserve(n_cells); });
        for (npy_intp r = 0; r < rows; ++r) {
            for (npy_intp c = 0; c < cols; ++c) {
                cells.push_back({grid_at(g[0], r, c), grid_at(g[1], r, c), grid_at(g[2], r, c),
                                 grid_at(g[3], r, c)});
            }
        }
        // Keyword order: lon, lat, strike, dip, rake, top, length, width, hyp along, hyp down.
        Segment value(static_cast<std::size_t>(cols), static_cast<std::size_t>(rows),
                      std::move(cells), x[0], x[1], x[6], x[7], x[2], x[3], x[4], x[5], x[8], x[9]);
        return emplace(type, std::move(value));
    });
}

// ---- SlipModel ------------------------------------------------------------------

constexpr const char* kSlipPos[] = {"segments"};
const Params kSlipParams{"SlipModel", "__new__", kSlipPos, {}};

PyObject* slip_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Ref bound[1];
        if (!bind(kSlipParams, args, kwargs, bound)) return nullptr;
        PyTypeObject* segment_type = required_type(kFaultSegment);
        std::vector<Ref> items;
        const bool ok = list_from_sequence(bound[0].get(), "segments", items,
                                           [&](PyObject* item, Ref& out) {
                                               if (!detail::instance_of(item, segment_type)) {
                                                   return false;
                                               }
                                               Py_INCREF(item);
                                               out.reset(item);
                                               return true;
                                           });
        if (!ok) return nullptr;
        if (items.empty()) {
            PyErr_SetString(PyExc_ValueError, "a slip model needs at least one segment");
            return nullptr;
        }
        std::vector<Segment> segments;
        segments.reserve(items.size());
        for (const Ref& item : items) segments.push_back(value_of<FaultSegmentValue>(item.get()));
        StochModel value(std::move(segments));
        return emplace(type, std::move(value));
    });
}

PyObject* slip_subfault_count(PyObject* self, void*) {
    return PyLong_FromSize_t(value_of<SlipModelValue>(self).subfault_count);
}

PyGetSetDef slip_getset[] = {
    {"subfault_count", slip_subfault_count, nullptr, "Total subfaults across all segments",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- VelocityModel1D ----------------------------------------------------------

constexpr const char* kVelocityKw[] = {"thickness_km",     "vp_km_s",          "vsh_km_s",
                                       "density_g_cm3",    "quality_factor_p", "quality_factor_s",
                                       "vs_moho_km_s"};
const Params kVelocityParams{"VelocityModel1D", "__new__", {}, kVelocityKw};
constexpr std::size_t kLayerArrays = 6;
// Element types of the six arrays: thicknesses and quality factors f32,
// velocities and density f64, as the layer fields are declared.
constexpr int kLayerTypes[kLayerArrays] = {NPY_FLOAT32, NPY_FLOAT64, NPY_FLOAT64,
                                           NPY_FLOAT64, NPY_FLOAT32, NPY_FLOAT32};

template <class T>
const T* run_of(PyArrayObject* a) noexcept {
    return static_cast<const T*>(PyArray_DATA(a));
}

// The layers kept above the Moho, field by field: values that give records
// that look real but are not (a negative thickness, S velocity or density, a
// quality factor of 0 or below) or none at all. Q = inf (no attenuation) is
// allowed; P velocities and Qp are never used by the S-wave rays.
bool check_layer_values(const std::vector<InputLayer>& layers) {
    auto in_layer = [](std::size_t i) { return " in layer " + std::to_string(i); };
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const float h = layers[i].thickness_km;
        if (!finite_non_negative(h)) return refuse("thickness_km", "be finite and not negative", h, in_layer(i));
    }
    const struct {
        const char* name;
        double InputLayer::*field;
    } positive[] = {{"vsh_km_s", &InputLayer::vsh_km_s}, {"density_g_cm3", &InputLayer::density_g_cm3}};
    for (const auto& f : positive) {
        for (std::size_t i = 0; i < layers.size(); ++i) {
            const double v = layers[i].*f.field;
            if (!(std::isfinite(v) && v > 0.0)) return refuse(f.name, "be positive and finite", v, in_layer(i));
        }
    }
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const float q = layers[i].quality_factor_s;
        if (!(q > 0.0f)) return refuse("quality_factor_s", "be positive", q, in_layer(i));
    }
    return true;
}

PyObject* velocity_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Ref bound[kLayerArrays + 1];
        if (!bind(kVelocityParams, args, kwargs, bound)) return nullptr;
        PyArrayObject* a[kLayerArrays];  // borrowed from `bound`
        auto check_arrays = [&] {
            for (std::size_t i = 0; i < kLayerArrays; ++i) {
                PyObject* arr = as_array(bound[i].get(), 1, kLayerTypes[i], kVelocityKw[i]);
                if (arr == nullptr) return false;
                a[i] = reinterpret_cast<PyArrayObject*>(arr);
            }
            return true;
        };
        if (!check_arrays()) return nullptr;
        double vs_moho = 0.0;
        if (!to_f64(bound[kLayerArrays].get(), "vs_moho_km_s", vs_moho)) return nullptr;
        // The conversion may have run Python code (a __float__) that rebound
        // an array's dtype: check the arrays again, now that no caller code
        // runs before they are read.
        if (!check_arrays()) return nullptr;
        for (PyArrayObject* arr : a) {
            if (!check_flat_run(reinterpret_cast<PyObject*>(arr))) return nullptr;
        }
        const npy_intp n = PyArray_DIM(a[0], 0);
        for (PyArrayObject* arr : a) {
            if (PyArray_DIM(arr, 0) != n) {
                PyErr_Format(PyExc_ValueError,
                             "every layer property must have one entry per layer. Got lengths "
                             "[%zd, %zd, %zd, %zd, %zd, %zd] for (thickness_km, vp_km_s, "
                             "vsh_km_s, density_g_cm3, quality_factor_p, quality_factor_s)",
                             PyArray_DIM(a[0], 0), PyArray_DIM(a[1], 0), PyArray_DIM(a[2], 0),
                             PyArray_DIM(a[3], 0), PyArray_DIM(a[4], 0), PyArray_DIM(a[5], 0));
                return nullptr;
            }
        }
        std::vector<InputLayer> layers;
        layers.reserve(static_cast<std::size_t>(n));
        for (npy_intp i = 0; i < n; ++i) {
            InputLayer layer;
            layer.vp_km_s = run_of<double>(a[1])[i];
            layer.vsh_km_s = run_of<double>(a[2])[i];
            layer.density_g_cm3 = run_of<double>(a[3])[i];
            layer.bottom_depth_km = 0.0f;
            layer.thickness_km = run_of<float>(a[0])[i];
            layer.quality_factor_p = run_of<float>(a[4])[i];
            layer.quality_factor_s = run_of<float>(a[5])[i];
            layers.push_back(layer);
        }
        auto model = korvane::input::build_velocity_model(layers, vs_moho);
        if (!model) {
            PyErr_SetString(PyExc_ValueError, model.error().display().c_str());
            return nullptr;
        }
        if (!check_layer_values(model.value())) return nullptr;
        return emplace(type, std::move(model).value());
    });
}

PyObject* velocity_layer_count(PyObject* self, void*) {
    return PyLong_FromSize_t(value_of<VelocityModelValue>(self).size());
}

PyGetSetDef velocity_getset[] = {
    {"layer_count", velocity_layer_count, nullptr, "Layers remaining after Moho truncation.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

// ---- class definitions ----------------------------------------------------------

const ClassDef kFaultSegmentDef = {
    "FaultSegment",
    "builtins.FaultSegment",
    "FaultSegment(*, longitude_deg, latitude_deg, strike_deg, dip_deg, rake_deg, top_depth_km, "
    "subfault_length_km, subfault_width_km, hypocentre_along_strike_km, hypocentre_down_dip_km, "
    "slip, rise_time_s, rupture_time_s, stress_drop_bars)\n--\n\n"
    "One fault segment: geometry plus the four subfault grids.\n\n"
    "Grids are `(down_dip, along_strike)` for `slip`/`rise`/`trup`/`stress_drop_bars` and the\n"
    "row order the `.stoch` format itself uses.",
    sizeof(Instance<FaultSegmentValue>),
    dealloc<FaultSegmentValue>,
    segment_new,
    nullptr,
    nullptr};

const ClassDef kSlipModelDef = {
    "SlipModel",
    "builtins.SlipModel",
    "SlipModel(segments)\n--\n\nA whole slip model: one or more [`PyFaultSegment`].",
    sizeof(Instance<SlipModelValue>),
    dealloc<SlipModelValue>,
    slip_new,
    slip_getset,
    nullptr};

const ClassDef kVelocityModelDef = {
    "VelocityModel1D",
    "builtins.VelocityModel1D",
    "VelocityModel1D(*, thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, "
    "quality_factor_s, vs_moho_km_s)\n--\n\n"
    "The 1-D velocity model, already truncated at the Moho.",
    sizeof(Instance<VelocityModelValue>),
    dealloc<VelocityModelValue>,
    velocity_new,
    velocity_getset,
    nullptr};

const ClassDef kSourceParametersDef = {
    "SourceParameters",
    "builtins.SourceParameters",
    "SourceParameters(*, corner_frequency_constant, corner_frequency_alpha, "
    "rupture_velocity_fraction, rupture_velocity_shallow, rupture_velocity_deep, "
    "rupture_velocity_sigma)\n--\n\n"
    "The earthquake source: how strong the high-frequency radiation is, and how fast the\n"
    "rupture travels.",
    sizeof(Instance<SourceParametersValue>),
    dealloc<SourceParametersValue>,
    source_new,
    nullptr,
    nullptr};

const ClassDef kPathParametersDef = {
    "PathParameters",
    "builtins.PathParameters",
    "PathParameters(*, rayset, path_duration_model)\n--\n\n"
    "The path from source to site shared by every station: which rays, and how duration grows\n"
    "with distance.",
    sizeof(Instance<PathParametersValue>),
    dealloc<PathParametersValue>,
    path_new,
    nullptr,
    nullptr};

const ClassDef kSiteParametersDef = {
    "SiteParameters",
    "builtins.SiteParameters",
    "SiteParameters(*, fmax_hz)\n--\n\n"
    "The near-surface parameters shared by every station.\n\n"
    "Quarter-wavelength site amplification is always applied and is not a field here.",
    sizeof(Instance<SiteParametersValue>),
    dealloc<SiteParametersValue>,
    site_new,
    nullptr,
    nullptr};

const ClassDef kRecordParametersDef = {
    "RecordParameters",
    "builtins.RecordParameters",
    "RecordParameters(*, duration_s, dt)\n--\n\nThe shape of the record to produce.",
    sizeof(Instance<RecordParametersValue>),
    dealloc<RecordParametersValue>,
    record_new,
    nullptr,
    nullptr};

const ClassDef kHfConfigDef = {
    "HfConfig",
    "builtins.HfConfig",
    "HfConfig(*, source, path, site, record)\n--\n\n"
    "Everything needed to simulate, with nothing about where the inputs came from.",
    sizeof(Instance<HfConfigValue>),
    dealloc<HfConfigValue>,
    config_new,
    nullptr,
    nullptr};

}  // namespace quelmar
