// NumPy's C array API, shared by every source file of the module. The API
// table is imported in binding.cpp (QUELMAR_IMPORT_NUMPY), on the first array
// argument; the other files only use it.
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

}  // namespace quelmar
