// The nine classes of _quelmar: their definitions (name, docstring, layout,
// constructor, members), the per-process registry of their type objects, and
// the field converter that takes an instance of one of them.
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

// The class's type object, built on first use and kept for the life of the
// process. NULL with the build's error set on failure.
PyTypeObject* type_object(ClassId id) noexcept;

// The same for use inside a call: a build failure is reported as unraisable
// and stops the call with "failed to create type object for `{name}`".
PyTypeObject* required_type(ClassId id);

// "builtins.<cls>": the type name of the class `P` constructs (classes without
// a module of their own live in builtins).
template <const Params& P>
inline constexpr auto kTypeNameOf = [] {
    constexpr std::string_view prefix = "builtins.";
    const std::string_view name = P.cls;
    std::array<char, prefix.size() + std::string_view(P.cls).size() + 1> text{};
    std::copy(prefix.begin(), prefix.end(), text.begin());
    std::copy(name.begin(), name.end(), text.begin() + prefix.size());
    return text;
}();

// The definition of a class whose instances hold a `V` and whose constructor
// `tp_new` takes the parameters `P`; its docstring is P's text signature, then
// `Body`.
template <class V, const Params& P, const char* Body>
constexpr ClassDef define_class(newfunc tp_new, PyGetSetDef* getset = nullptr, PyMethodDef* methods = nullptr) {
    return {P.cls,  kTypeNameOf<P>.data(), kDocOf<P, Body>.data(), sizeof(Instance<V>), dealloc<V>, tp_new, getset,
            methods};
}

// Field converter: an instance of class `Id` (or of a subtype), whose value
// is copied into `Member`, or, where `Member` is a pointer, pointed to (the
// caller keeps the instance alive). `Member` has the value type of `Id`.
template <ClassId Id, auto Member>
bool instance_field(PyObject* o, const char* name, OwnerOf<Member>& out) {
    using Target = MemberTypeOf<Member>;
    if (!check_instance(o, required_type(Id), name)) return false;
    if constexpr (std::is_pointer_v<Target>) {
        out.*Member = &value_of<std::remove_const_t<std::remove_pointer_t<Target>>>(o);
    } else {
        out.*Member = value_of<Target>(o);
    }
    return true;
}

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
