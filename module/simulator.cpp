// The Simulator class: builds the core simulator from an HfConfig, a
// SlipModel and a VelocityModel1D, and holds it by value
// (Instance<korvane::sim::Simulator>); methods only read it.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

#include "classes.hpp"
#include "numpy_api.hpp"

namespace quelmar {

namespace {

constexpr const char* kSimulatorPos[] = {"config", "slip_model", "velocity_model"};
const Params kSimulatorParams{"Simulator", "__new__", kSimulatorPos, {}};

PyObject* simulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Ref bound[3];
        if (!bind(kSimulatorParams, args, kwargs, bound)) return nullptr;
        constexpr ClassId expected[3] = {kHfConfig, kSlipModel, kVelocityModel1D};
        for (std::size_t i = 0; i < 3; ++i) {
            if (!check_instance(bound[i].get(), required_type(expected[i]), kSimulatorPos[i])) {
                return nullptr;
            }
        }
        const HfConfigValue& config = value_of<HfConfigValue>(bound[0].get());
        const SlipModelValue& model = value_of<SlipModelValue>(bound[1].get());
        const VelocityModelValue& layers = value_of<VelocityModelValue>(bound[2].get());
        auto sim = SimulatorValue::create(config, model, layers);
        if (!sim) {
            PyErr_SetString(PyExc_ValueError, sim.error().display().c_str());
            return nullptr;
        }
        return emplace(type, std::move(sim).value());
    });
}

constexpr const char* kRunKeywords[] = {"latitude_deg", "longitude_deg", "station_seed", "kappa_s",
                                        "q_frequency_exponent"};
const Params kRunParams{"Simulator", "run_stations", {}, kRunKeywords};
constexpr int kRunTypes[] = {NPY_FLOAT32, NPY_FLOAT32, NPY_UINT64, NPY_FLOAT32, NPY_FLOAT32};

// Frees the output buffer once the array that took it over is released.
void free_buffer(PyObject* capsule) noexcept {
    std::free(PyCapsule_GetPointer(capsule, "quelmar.acceleration"));
}

// Number of float32 values of a (3, n_station, n_time) output. Stops with
// NumPy's shape message when the product of the non-zero axes overflows
// isize, and with "capacity overflow" when the byte size does.
std::size_t output_size(std::size_t n_station, std::size_t n_time) {
    constexpr auto isize_max = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    std::size_t nonzero = 3;
    for (const std::size_t axis : {n_station, n_time}) {
        if (axis == 0) continue;
        if (__builtin_mul_overflow(nonzero, axis, &nonzero) || nonzero > isize_max) {
            korvane::fail("ndarray: Shape too large, product of non-zero axis lengths overflows isize");
        }
    }
    const std::size_t count = 3 * n_station * n_time;  // <= nonzero, no overflow
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, sizeof(float), &bytes) || bytes > isize_max) {
        korvane::fail("capacity overflow");
    }
    return count;
}

// Runs the batch with the interpreter lock released. Returns the zero-filled
// and then simulated buffer (malloc'd), or nullptr with `failure` set: 1 for
// a stop (message in `message`), 2 for an allocation failure.
float* simulate_batch(const SimulatorValue& sim, PyArrayObject* const* arrays, std::size_t n_station,
                      int& failure, std::string& message) noexcept {
    float* out = nullptr;
    try {
        const std::size_t n_time = sim.n_time;
        const std::size_t count = output_size(n_station, n_time);
        out = static_cast<float*>(std::calloc(std::max<std::size_t>(count, 1), sizeof(float)));
        if (out == nullptr) throw std::bad_alloc();
        std::size_t m = n_station;
        for (int i = 1; i < 5; ++i) m = std::min(m, static_cast<std::size_t>(PyArray_DIM(arrays[i], 0)));
        const auto* lat = static_cast<const float*>(PyArray_DATA(arrays[0]));
        const auto* lon = static_cast<const float*>(PyArray_DATA(arrays[1]));
        const auto* seed = static_cast<const std::uint64_t*>(PyArray_DATA(arrays[2]));
        const auto* kappa = static_cast<const float*>(PyArray_DATA(arrays[3]));
        const auto* q_exp = static_cast<const float*>(PyArray_DATA(arrays[4]));
        const std::size_t plane = n_station * n_time;  // one component of all stations
        for (std::size_t i = 0; i < m; ++i) {
            const korvane::sim::Station station{lon[i], lat[i], kappa[i], q_exp[i]};
            korvane::sim::RecordRows rows;
            for (std::size_t c = 0; c < 3; ++c) rows.rows[c] = {out + c * plane + i * n_time, n_time};
            sim.run_into(station, seed[i], rows);
        }
        return out;
    } catch (const std::bad_alloc&) {
        failure = 2;
    } catch (const std::length_error&) {
        failure = 2;
    } catch (const std::exception& e) {
        failure = 1;
        try {
            message = e.what();
        } catch (...) {
            failure = 2;
        }
    } catch (...) {
        failure = 1;
    }
    std::free(out);
    return nullptr;
}

// Wraps the buffer as a writeable float32 (3, n_station, n_time) array whose
// base capsule frees it; the buffer is freed here when wrapping fails.
PyObject* wrap_output(float* out, std::size_t n_station, std::size_t n_time) {
    Ref capsule(PyCapsule_New(out, "quelmar.acceleration", free_buffer));
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
    Ref array(PyArray_NewFromDescr(&PyArray_Type, descr, 3, dims, strides, out,
                                   NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
        return nullptr;
    }
    return array.release();
}

PyObject* simulator_run_stations(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Ref bound[5];
        if (!bind_fast(kRunParams, args, static_cast<std::size_t>(nargsf), kwnames, bound)) {
            return nullptr;
        }
        // Type, dimension count and dtype of all five before any layout check.
        PyArrayObject* arrays[5];
        for (std::size_t i = 0; i < 5; ++i) {
            PyObject* a = as_array(bound[i].get(), 1, kRunTypes[i], kRunKeywords[i]);
            if (a == nullptr) return nullptr;
            arrays[i] = reinterpret_cast<PyArrayObject*>(a);
        }
        for (PyArrayObject* a : arrays) {
            if (!check_flat_run(reinterpret_cast<PyObject*>(a))) return nullptr;
        }
        const SimulatorValue& sim = value_of<SimulatorValue>(self);
        const auto n_station = static_cast<std::size_t>(PyArray_DIM(arrays[0], 0));

        int failure = 0;
        std::string message;
        float* out = nullptr;
        Py_BEGIN_ALLOW_THREADS
        out = simulate_batch(sim, arrays, n_station, failure, message);
        Py_END_ALLOW_THREADS
        if (failure == 2) return PyErr_NoMemory();
        if (failure == 1) {
            raise_panic(message.empty() ? "unknown C++ exception" : message.c_str());
            return nullptr;
        }
        return wrap_output(out, n_station, sim.n_time);
    });
}

PyMethodDef kSimulatorMethods[] = {
    {"run_stations", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(simulator_run_stations)),
     METH_FASTCALL | METH_KEYWORDS,
     "run_stations($self, *, latitude_deg, longitude_deg, station_seed, kappa_s, "
     "q_frequency_exponent)\n--\n\n"
     "Simulate a batch of stations.\n\nReturns acceleration in cm/s^2, shaped `(3, n_station, "
     "n_time)` with components\nordered 090/000/vertical."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

const ClassDef kSimulatorDef = {
    "Simulator",
    "builtins.Simulator",
    "Simulator(config, slip_model, velocity_model)\n--\n\n"
    "A configured simulation, ready to run stations against.\n\n"
    "Built once per source; the station-independent work — the air layer, the slip-model\n"
    "normalisation, the moment scaling — happens here rather than per station.\n\n"
    "# Threads, not processes\n\n"
    "`run_stations` releases the GIL and takes `&self`, so one of these can be shared across a\n"
    "**dask thread pool**. It is deliberately not picklable: `dask.distributed` would need to\n"
    "send it between processes, and a silent re-normalisation on the far side is a worse\n"
    "failure than a loud one here.",
    sizeof(Instance<SimulatorValue>),
    dealloc<SimulatorValue>,
    simulator_new,
    nullptr,
    kSimulatorMethods};

}  // namespace quelmar
