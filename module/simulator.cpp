// The Simulator class: builds the core simulator from an HfConfig, a
// SlipModel and a VelocityModel1D, and holds it by value
// (Instance<korvane::sim::Simulator>); methods only read it. run_stations
// checks the whole batch and copies its station values under the interpreter
// lock, then simulates it with the lock released and hands the buffer to
// NumPy without a copy.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "classes.hpp"
#include "korvane/geom.hpp"
#include "numpy_api.hpp"

namespace quelmar {

namespace {

// The arguments of Simulator, converted: the core values of the three
// instances, which the bound arguments keep alive.
struct SimulatorArgs {
    const HfConfigValue* config;
    const SlipModelValue* slip_model;
    const VelocityModelValue* velocity_model;
};

constexpr Field<SimulatorArgs> kSimulatorFields[] = {
    {"config", instance_field<kHfConfig, &SimulatorArgs::config>},
    {"slip_model", instance_field<kSlipModel, &SimulatorArgs::slip_model>},
    {"velocity_model", instance_field<kVelocityModel1D, &SimulatorArgs::velocity_model>}};
constexpr Params kSimulatorParams = params_of<kSimulatorFields>("Simulator", 3);

// The simulator built from the three values; ValueError with the core's text
// when it refuses them.
PyObject* new_simulator(PyTypeObject* type, const SimulatorArgs& a) {
    auto sim = SimulatorValue::create(*a.config, *a.slip_model, *a.velocity_model);
    if (!sim) {
        PyErr_SetString(PyExc_ValueError, sim.error().display().c_str());
        return nullptr;
    }
    return emplace(type, std::move(sim).value());
}

PyObject* simulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct(kSimulatorParams, kSimulatorFields, args, kwargs,
                     [&](const SimulatorArgs& a, const Ref*) { return new_simulator(type, a); });
}

// The five per-station arrays of run_stations, in parameter order.
enum StationArray { kLatitude, kLongitude, kSeed, kKappa, kQExponent, kStationArrays };

// The arrays of run_stations, borrowed from the bound arguments.
struct StationArgs {
    PyArrayObject* arrays[kStationArrays];
};

template <StationArray I, int Typenum>
constexpr auto station_field = array_slot_field<&StationArgs::arrays, I, Typenum>;

constexpr Field<StationArgs> kRunFields[] = {{"latitude_deg", station_field<kLatitude, NPY_FLOAT32>},
                                             {"longitude_deg", station_field<kLongitude, NPY_FLOAT32>},
                                             {"station_seed", station_field<kSeed, NPY_UINT64>},
                                             {"kappa_s", station_field<kKappa, NPY_FLOAT32>},
                                             {"q_frequency_exponent", station_field<kQExponent, NPY_FLOAT32>}};
constexpr Params kRunParams = params_of<kRunFields>("Simulator", 0, "run_stations");

// The name of the capsule that owns an output buffer.
constexpr char kOutputCapsule[] = "quelmar.acceleration";

// Frees the output buffer once the array that took it over is released.
void free_buffer(PyObject* capsule) noexcept { std::free(PyCapsule_GetPointer(capsule, kOutputCapsule)); }

// Number of float32 values of a (3, n_station, n_time) output. Stops with
// NumPy's shape message when the product of the non-zero axes overflows
// isize, and with "capacity overflow" when the byte size of those axes does:
// NumPy refuses such an array even when another axis is 0, so an empty batch
// fails exactly as a batch of one station does.
std::size_t output_size(std::size_t n_station, std::size_t n_time) {
    constexpr auto isize_max = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    std::size_t nonzero = 3;
    for (const std::size_t axis : {n_station, n_time}) {
        if (axis == 0) continue;
        if (__builtin_mul_overflow(nonzero, axis, &nonzero) || nonzero > isize_max) {
            korvane::fail("ndarray: Shape too large, product of non-zero axis lengths overflows isize");
        }
    }
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(nonzero, sizeof(float), &bytes) || bytes > isize_max) {
        korvane::fail("capacity overflow");
    }
    return 3 * n_station * n_time;  // <= nonzero
}

// One station of a batch and the seed of its run.
struct BatchStation {
    korvane::sim::Station station;
    std::uint64_t seed = 0;
};

// Everything a batch reads, copied while the interpreter lock is held. Once
// it is released, Python code on another thread may write into the caller's
// arrays, resize them (freeing their buffers) or rebind their dtypes, or
// change the environment: a batch runs on the values it copied (a write
// under way in another thread may show in part there, since NumPy may release
// the lock while it copies into an array), checks every one of them, and never
// looks at the arrays again.
struct Batch {
    std::vector<BatchStation> stations;  // one per latitude_deg entry
    korvane::rng::Variant variant = korvane::rng::Variant::Pcg;
};

// Runs the batch; called with the interpreter lock released. Returns the
// simulated buffer (malloc'd, zero-filled first); throws on a stop or an
// allocation failure, freeing the buffer.
float* simulate_batch(const SimulatorValue& sim, const Batch& batch) {
    const std::size_t n_time = sim.n_time;
    const std::size_t n_station = batch.stations.size();
    const std::size_t count = output_size(n_station, n_time);
    std::unique_ptr<float, decltype(&std::free)> out(
        static_cast<float*>(std::calloc(std::max<std::size_t>(count, 1), sizeof(float))), &std::free);
    if (!out) {
        korvane::fail_allocation(
            "the (3, " + std::to_string(n_station) + ", " + std::to_string(n_time) + ") float32 output array",
            count * sizeof(float));
    }
    const std::size_t plane = n_station * n_time;  // one component of all stations
    for (std::size_t i = 0; i < n_station; ++i) {
        korvane::sim::RecordRows rows;
        for (std::size_t c = 0; c < 3; ++c) rows.rows[c] = {out.get() + c * plane + i * n_time, n_time};
        sim.run_into(batch.stations[i].station, batch.stations[i].seed, batch.variant, rows);
    }
    return out.release();
}

// Wraps the buffer as a writeable float32 (3, n_station, n_time) array whose
// base capsule frees it; the buffer is freed here when wrapping fails.
PyObject* wrap_output(float* out, std::size_t n_station, std::size_t n_time) {
    Ref capsule(PyCapsule_New(out, kOutputCapsule, free_buffer));
    if (!capsule) {
        std::free(out);
        return nullptr;
    }
    npy_intp dims[3] = {3, static_cast<npy_intp>(n_station), static_cast<npy_intp>(n_time)};
    npy_intp strides[3] = {0, 0, 0};
    if (n_station != 0 && n_time != 0) {
        strides[0] = static_cast<npy_intp>(4 * n_station * n_time);
        strides[1] = static_cast<npy_intp>(4 * n_time);
        strides[2] = 4;
    }
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT32);
    if (descr == nullptr) return nullptr;
    Ref array(PyArray_NewFromDescr(&PyArray_Type, descr, 3, dims, strides, out, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
        return nullptr;
    }
    return array.release();
}

// ValueError naming the first array shorter than latitude_deg: a station
// missing from one array must not come back as a record of zeros. Longer
// arrays are fine (their extra entries are ignored).
bool check_lengths(const StationArgs& s) {
    const npy_intp n_station = PyArray_DIM(s.arrays[kLatitude], 0);
    for (std::size_t i = kLongitude; i < kStationArrays; ++i) {
        const npy_intp n = PyArray_DIM(s.arrays[i], 0);
        if (n < n_station) {
            PyErr_Format(PyExc_ValueError, "%s has %zd %s, but latitude_deg has %zd", kRunFields[i].name, n,
                         n == 1 ? "entry" : "entries", n_station);
            return false;
        }
    }
    return true;
}

// ValueError for the first station value that would come back as NaN samples
// or as a record that looks real but is not: a latitude beyond a pole or NaN,
// a longitude that is not finite, a kappa of inf (all zero) or NaN (NaN from
// the station's first window on) and a Q
// exponent that is not finite. Array by array, in parameter order.
bool check_station_values(const Batch& batch) {
    using korvane::sim::Station;
    const struct {
        const char* name;
        float Station::*field;
        bool (*ok)(float);
        const char* rule;
    } checks[] = {{"latitude_deg", &Station::latitude_deg, korvane::geom::is_latitude, "be within [-90, 90]"},
                  {"longitude_deg", &Station::longitude_deg, [](float x) { return std::isfinite(x); }, "be finite"},
                  {"kappa_s", &Station::kappa_s, [](float x) { return x < std::numeric_limits<float>::infinity(); },
                   "not be inf or NaN"},
                  {"q_frequency_exponent", &Station::q_frequency_exponent, [](float x) { return std::isfinite(x); },
                   "be finite"}};
    for (const auto& c : checks) {
        for (std::size_t i = 0; i < batch.stations.size(); ++i) {
            const float x = batch.stations[i].station.*c.field;
            if (!c.ok(x)) return refuse(c.name, c.rule, x, " at index " + std::to_string(i));
        }
    }
    return true;
}

// The batch the checked arrays describe, one station per latitude_deg entry
// (the generator variant not yet read): a copy of their values, 24 bytes a
// station. Runs under the lock; throws std::bad_alloc (a MemoryError) when
// the copy cannot be allocated.
Batch batch_of(const StationArgs& s) {
    auto data = [&](StationArray a) { return PyArray_DATA(s.arrays[a]); };  // aligned, checked
    const auto* latitude = static_cast<const float*>(data(kLatitude));
    const auto* longitude = static_cast<const float*>(data(kLongitude));
    const auto* seed = static_cast<const std::uint64_t*>(data(kSeed));
    const auto* kappa = static_cast<const float*>(data(kKappa));
    const auto* q_exponent = static_cast<const float*>(data(kQExponent));
    Batch batch;
    batch.stations.resize(static_cast<std::size_t>(PyArray_DIM(s.arrays[kLatitude], 0)));
    for (std::size_t i = 0; i < batch.stations.size(); ++i) {
        batch.stations[i] = {{longitude[i], latitude[i], kappa[i], q_exponent[i]}, seed[i]};
    }
    return batch;
}

PyObject* simulator_run_stations(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Ref bound[kStationArrays];
        StationArgs s{};
        // Type, dimension count and dtype of all five before any layout check.
        if (!bind_fast(kRunParams, args, static_cast<std::size_t>(nargsf), kwnames, bound) ||
            !convert_fields(kRunFields, bound, s)) {
            return nullptr;
        }
        for (PyArrayObject* a : s.arrays) {
            if (!check_flat_run(reinterpret_cast<PyObject*>(a))) return nullptr;
        }
        if (!check_lengths(s)) return nullptr;
        Batch batch = batch_of(s);
        if (!check_station_values(batch)) return nullptr;
        batch.variant = korvane::rng::variant_from_environment();

        const SimulatorValue& sim = value_of<SimulatorValue>(self);
        float* out = without_gil([&] { return simulate_batch(sim, batch); });
        return wrap_output(out, batch.stations.size(), sim.n_time);
    });
}

constexpr char kRunDoc[] =
    "Simulate a batch of stations.\n\nReturns acceleration in cm/s^2, shaped `(3, n_station, "
    "n_time)` with components\nordered 090/000/vertical.";

PyMethodDef kSimulatorMethods[] = {
    {"run_stations", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(simulator_run_stations)),
     METH_FASTCALL | METH_KEYWORDS, kDocOf<kRunParams, kRunDoc>.data()},
    {nullptr, nullptr, 0, nullptr}};

constexpr char kSimulatorDoc[] =
    "A configured simulation, ready to run stations against.\n\n"
    "Built once per source; the station-independent work — the air layer, the slip-model\n"
    "normalisation, the moment scaling — happens here rather than per station.\n\n"
    "# Threads, not processes\n\n"
    "`run_stations` releases the GIL and takes `&self`, so one of these can be shared across a\n"
    "**dask thread pool**. It is deliberately not picklable: `dask.distributed` would need to\n"
    "send it between processes, and a silent re-normalisation on the far side is a worse\n"
    "failure than a loud one here.";

}  // namespace

const ClassDef kSimulatorDef =
    define_class<SimulatorValue, kSimulatorParams, kSimulatorDoc>(simulator_new, nullptr, kSimulatorMethods);

}  // namespace quelmar
