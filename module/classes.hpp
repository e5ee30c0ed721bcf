// The nine classes of _quelmar: their definitions (name, docstring, layout,
// constructor, members) and the per-process registry of their type objects.
#pragma once

#include "binding.hpp"

#include <vector>

#include "korvane/input.hpp"
#include "korvane/sim.hpp"
#include "korvane/state.hpp"

namespace quelmar {

// In the order the exec step adds them.
enum ClassId : int {
    kFaultSegment,
    kSlipModel,
    kVelocityModel1D,
    kSourceParameters,
    kPathParameters,
    kSiteParameters,
    kRecordParameters,
    kHfConfig,
    kSimulator,
    kClassCount
};

// What a type object is built from.
struct ClassDef {
    const char* name;       // "FaultSegment"
    const char* full_name;  // "builtins.FaultSegment"; must outlive the type
    const char* doc;        // text signature, "\n--\n\n", the doc proper
    Py_ssize_t basic_size;  // object header + core value
    destructor dealloc;
    newfunc tp_new;
    PyGetSetDef* getset;   // read-only properties, or nullptr
    PyMethodDef* methods;  // methods, or nullptr
};

const ClassDef& class_def(ClassId id) noexcept;

// The class's type object, built on first use and kept for the life of the
// process. NULL with the build's error set on failure.
PyTypeObject* type_object(ClassId id) noexcept;

// The same for use inside a call: a build failure is reported as unraisable
// and stops the call with "failed to create type object for `{name}`".
PyTypeObject* required_type(ClassId id);

// Core values held by the instances.
using FaultSegmentValue = korvane::input::Segment;
using SlipModelValue = korvane::input::StochModel;
using VelocityModelValue = std::vector<korvane::state::InputLayer>;  // Moho-truncated
using SourceParametersValue = korvane::sim::SourceParameters;
using PathParametersValue = korvane::sim::PathParameters;
using SiteParametersValue = korvane::sim::SiteParameters;
using RecordParametersValue = korvane::sim::RecordParameters;
using HfConfigValue = korvane::sim::HfConfig;
using SimulatorValue = korvane::sim::Simulator;

// Class definitions, one per class (classes.cpp, simulator.cpp).
extern const ClassDef kFaultSegmentDef;
extern const ClassDef kSlipModelDef;
extern const ClassDef kVelocityModelDef;
extern const ClassDef kSourceParametersDef;
extern const ClassDef kPathParametersDef;
extern const ClassDef kSiteParametersDef;
extern const ClassDef kRecordParametersDef;
extern const ClassDef kHfConfigDef;
extern const ClassDef kSimulatorDef;

}  // namespace quelmar
