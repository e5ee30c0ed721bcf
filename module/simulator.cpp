// The Simulator class: builds the core simulator from an HfConfig, a
// SlipModel and a VelocityModel1D, and holds it by value
// (Instance<korvane::sim::Simulator>); methods only read it.
#include "classes.hpp"

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
    nullptr};  // run_stations (METH_FASTCALL | METH_KEYWORDS) goes here

}  // namespace quelmar
