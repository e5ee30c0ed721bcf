// NumPy's C array API, shared by every source file of the module, and the
// array field converters. The API table is imported in binding.cpp
// (QUELMAR_IMPORT_NUMPY), on the first array argument; the other files only
// use it.
#pragma once

#include "binding.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL quelmar_ARRAY_API
#ifndef QUELMAR_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace quelmar {

// Imports NumPy's array API once; false with the import error set.
bool ensure_numpy() noexcept;

// as_array's check, the array kept (borrowed) in `out`.
inline bool array_arg(PyObject* o, int ndim, int typenum, const char* param, PyArrayObject*& out) {
    PyObject* a = as_array(o, ndim, typenum, param);
    if (a == nullptr) return false;
    out = reinterpret_cast<PyArrayObject*>(a);
    return true;
}

// Field converter: a 1-D array of `Typenum` into element `I` of the array
// member `Member` (for arguments that are checked together, by index).
template <auto Member, std::size_t I, int Typenum>
bool array_slot_field(PyObject* o, const char* name, OwnerOf<Member>& out) {
    return array_arg(o, 1, Typenum, name, (out.*Member)[I]);
}

// Field converter: an `Ndim`-dimensional array of `Typenum` into `Member`.
template <auto Member, int Ndim, int Typenum>
bool array_field(PyObject* o, const char* name, OwnerOf<Member>& out) {
    return array_arg(o, Ndim, Typenum, name, out.*Member);
}

}  // namespace quelmar
