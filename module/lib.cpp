// _quelmar: the module definition, its exec step, the two entry points by
// which the interpreter loads it (PyInit__quelmar for multi-phase
// initialisation, the PyModExport__quelmar export hook), and the registry of
// the nine type objects, built once per process.
#include "classes.hpp"

#include <cstdint>
#include <string>

namespace quelmar {

// ---- type objects ---------------------------------------------------------------

namespace {

const ClassDef* const kDefs[kClassCount] = {&kFaultSegmentDef,     &kSlipModelDef,      &kVelocityModelDef,
                                            &kSourceParametersDef, &kPathParametersDef, &kSiteParametersDef,
                                            &kRecordParametersDef, &kHfConfigDef,       &kSimulatorDef};

// Built at the first exec step under the GIL, then only read; never freed.
PyTypeObject* g_types[kClassCount] = {};

// An ordinary heap type: not a base type, no GC, no instance dict or
// weak-reference list, not immutable (class attributes may be assigned).
PyTypeObject* build_type(const ClassDef& d) noexcept {
    PyType_Slot slots[7];
    int n = 0;
    slots[n++] = {Py_tp_doc, const_cast<char*>(d.doc)};
    slots[n++] = {Py_tp_base, &PyBaseObject_Type};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(d.dealloc)};
    slots[n++] = {Py_tp_new, reinterpret_cast<void*>(d.tp_new)};
    if (d.getset != nullptr) slots[n++] = {Py_tp_getset, d.getset};
    if (d.methods != nullptr) slots[n++] = {Py_tp_methods, d.methods};
    slots[n] = {0, nullptr};
    PyType_Spec spec = {d.full_name, static_cast<int>(d.basic_size), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

PyTypeObject* type_object(ClassId id) noexcept {
    if (g_types[id] == nullptr) g_types[id] = build_type(*kDefs[id]);
    return g_types[id];
}

PyTypeObject* required_type(ClassId id) {
    PyTypeObject* type = type_object(id);
    if (type == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        korvane::fail(std::string("failed to create type object for `") + kDefs[id]->name + "`");
    }
    return type;
}

// ---- the export hook's records --------------------------------------------------
//
// The slot array returned by PyModExport__quelmar and the ABI-information
// record it points to, laid out as the 3.15 interpreter reads them: 16-byte
// slots (16-bit id, 16-bit flags, 32 reserved bits, 64-bit value) and a
// 16-byte ABI record. They are plain data defined here so that the same
// layout is exported whatever interpreter the module is built against.

struct ModSlot {
    std::uint16_t id;
    std::uint16_t flags;
    std::uint32_t reserved;
    union Value {
        const void* ptr;
        int (*exec)(PyObject*);
        std::int64_t integer;
    } value;
};
static_assert(sizeof(ModSlot) == 16);

struct AbiInfo {
    std::uint8_t major_version;
    std::uint8_t minor_version;
    std::uint16_t flags;
    std::uint32_t build_version;
    std::uint32_t abi_version;
    std::uint32_t reserved;
};
static_assert(sizeof(AbiInfo) == 16);

// ---- exec step --------------------------------------------------------------------

namespace {

// Adds the nine classes in order, appending each name to __all__; nothing else.
int exec_step(PyObject* module) noexcept {
    return guard([&]() -> int {
        if (!PyModule_Check(module)) {
            raise_not_instance(module, PyModule_Type.tp_name);
            return -1;
        }
        for (int i = 0; i < kClassCount; ++i) {
            const auto id = static_cast<ClassId>(i);
            PyTypeObject* type = type_object(id);
            if (type == nullptr) return -1;
            Ref name(PyUnicode_FromString(kDefs[id]->name));
            if (!name) return -1;
            Ref all(PyObject_GetAttrString(module, "__all__"));
            if (!all) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
                PyErr_Clear();
                all.reset(PyList_New(0));
                if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
            } else if (!PyList_Check(all.get())) {
                raise_not_instance(all.get(), "list");
                return -1;
            }
            if (PyList_Append(all.get(), name.get()) < 0) {
                PyErr_Clear();
                korvane::fail("could not append __name__ to __all__");
            }
            if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0) {
                return -1;
            }
        }
        return 0;
    });
}

// Slot ids and flags in the 3.15 numbering.
constexpr std::uint16_t kSlotModExec = 85;
constexpr std::uint16_t kSlotModGil = 87;  // declaration about the GIL, integer value
constexpr std::uint16_t kSlotSubslots = 92;
constexpr std::uint16_t kSlotModName = 100;
constexpr std::uint16_t kSlotModDoc = 101;
constexpr std::uint16_t kSlotModAbi = 109;
constexpr std::uint16_t kSlotFlagStatic = 2;  // value points to static data
constexpr std::uint16_t kSlotFlagIntptr = 4;  // value is an integer
constexpr std::uint16_t kAbiFlagGil = 2;      // built for an interpreter with a GIL

#if PY_VERSION_HEX >= 0x030F0000
// Built against the 3.15 headers: the numbering above must be theirs.
static_assert(Py_mod_exec == kSlotModExec);
static_assert(Py_mod_gil == kSlotModGil);
static_assert(Py_mod_name == kSlotModName);
static_assert(Py_mod_doc == kSlotModDoc);
static_assert(Py_mod_abi == kSlotModAbi);
static_assert(sizeof(PyABIInfo) <= sizeof(AbiInfo));
#endif

const AbiInfo kAbiInfo = {1, 0, kAbiFlagGil, 0, 0, 0};

ModSlot kSlots[] = {
    {kSlotModExec, 0, 0, {.exec = exec_step}},         {kSlotModAbi, kSlotFlagStatic, 0, {.ptr = &kAbiInfo}},
    {kSlotModGil, kSlotFlagIntptr, 0, {.integer = 1}}, {kSlotModName, kSlotFlagStatic, 0, {.ptr = "_quelmar"}},
    {kSlotModDoc, kSlotFlagStatic, 0, {.ptr = ""}},    {0, 0, 0, {.integer = 0}},
};

// ---- the module definition ---------------------------------------------------------

#if PY_VERSION_HEX >= 0x030F0000
// The definition refers to the export hook's slot array.
PyModuleDef_Slot kDefSlots[] = {
    {kSlotSubslots, kSlots},
    {0, nullptr},
};
#else
PyModuleDef_Slot kDefSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_step)},
#if PY_VERSION_HEX >= 0x030C0000
    // The type objects are process-wide, so one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};
#endif

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_quelmar",  // name
    "",          // doc
    0,           // no per-module state
    nullptr,     // no module-level functions
    kDefSlots,
    nullptr,  // traverse
    nullptr,  // clear
    nullptr,  // free
};

}  // namespace

}  // namespace quelmar

// ---- entry points ----------------------------------------------------------------------

PyMODINIT_FUNC PyInit__quelmar(void) { return PyModuleDef_Init(&quelmar::kModuleDef); }

extern "C" Py_EXPORTED_SYMBOL quelmar::ModSlot* PyModExport__quelmar(void) { return quelmar::kSlots; }
