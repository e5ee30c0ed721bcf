// The fault frame (the one mapping of C++ exceptions to Python ones),
// argument binding and its messages, and the shared conversions.
#define QUELMAR_IMPORT_NUMPY
#include "numpy_api.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace quelmar {

// ---- faults -----------------------------------------------------------------

namespace {

// The exception type of a stop, made once and never added to the module;
// NULL with the creation's error set. Its name, pyo3_runtime.PanicException,
// is historical and kept on purpose: callers catch it by that name.
PyObject* panic_type() noexcept {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                         "An internal fault of the simulation core stopped the call.\n\n"
                                         "It derives from BaseException so that a broad `except Exception` does not\n"
                                         "swallow it; the process goes on and the objects involved stay usable.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// The n bytes of `text` on file descriptor 2, as far as it takes them.
void write_fd2(const char* text, std::size_t n) noexcept {
    for (std::size_t done = 0; done < n;) {
        const ssize_t written = write(2, text + done, n - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        done += static_cast<std::size_t>(written);
    }
}

}  // namespace

void raise_panic(const char* message) noexcept {
    parking_on_exit([&] {
        // A thread other than the finalizing one would be ended where the
        // write to sys.stderr drops the lock, before its text is out.
        if (finalizing()) {
            write_fd2(message, std::strlen(message));
            write_fd2("\n", 1);
        } else {
            PySys_FormatStderr("%s\n", message);
        }
        PyObject* type = panic_type();
        if (type == nullptr) return;  // the creation's own error stays set
        PyErr_SetString(type, message);
    });
}

void raise_exception(const std::exception_ptr& failure) noexcept {
    enum { kPanic, kMemory, kNamedMemory } kind = kPanic;
    const char* text = "unknown C++ exception";  // kept alive by `failure`
    try {
        std::rethrow_exception(failure);
    } catch (const korvane::AllocationFailure& e) {
        kind = kNamedMemory;  // names what could not be allocated
        text = e.what();
    } catch (const std::bad_alloc&) {
        kind = kMemory;
    } catch (const std::length_error&) {
        kind = kMemory;
    } catch (const std::exception& e) {  // korvane::Fault among them
        text = e.what();
    } catch (...) {
    }
    switch (kind) {
        case kNamedMemory: PyErr_SetString(PyExc_MemoryError, text); break;
        case kMemory: PyErr_NoMemory(); break;
        case kPanic: raise_panic(text); break;
    }
}

// ---- the interpreter lock --------------------------------------------------

// A daemon thread can still be inside a batch when the main thread finishes
// and finalizes the interpreter; from then on it must never run Python
// again. CPython 3.11 to 3.13 end such a thread inside PyEval_RestoreThread
// with pthread_exit, whose forced unwind would reach a noexcept frame of ours
// (std::terminate, exit status 134) or, through throwing frames, drop
// references without the lock while the interpreter is torn down. So we
// catch it right here, at the call, and never leave the handler: the thread
// blocks until the process ends, as later versions make such threads do
// inside the call. A forced unwind may be caught so long as the handler does
// not end without rethrowing; CPython has let go of the lock before it
// unwinds, and the references and buffers of the thread's call are left to
// the process exit. Nothing else can leave PyEval_RestoreThread by an
// exception, and anything else would end the process (noexcept) rather than
// park the thread.
// The interpreter's own finalizing state is deliberately not checked first:
// the thread that finalizes may itself run a batch (from a __del__ during
// teardown) and must get the lock back, and only CPython knows which thread
// that is. Where pthread_exit does not unwind (musl), the thread ends in the
// call without running our destructors, which is as harmless.
void restore_gil(PyThreadState* state) noexcept {
    parking_on_exit([&] { PyEval_RestoreThread(state); });
}

// Cancellation is disabled first: pause() is a cancellation point, and a
// cancel there would start a second unwind inside a noexcept frame.
void park() noexcept {
    int previous = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) pause();
}

void release_reference(PyObject* p) noexcept {
    if (p == nullptr) return;
#if QUELMAR_EXIT_UNWINDS
    // Reached without the lock only by the forced unwind of a thread that
    // the finalizing interpreter ended, on its way to the frame that parks it.
    if (PyGILState_Check() == 0) return;
#endif
    parking_on_exit([&] { Py_DECREF(p); });  // a finalizer may drop the lock
}

// ---- argument binding -----------------------------------------------------

namespace {

// "Cls.func()", as binding messages name the callable.
std::string display_name(const Params& p) { return std::string(p.cls) + "." + p.func + "()"; }

// 'a' | 'a' and 'b' | 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
    std::string s;
    const std::size_t n = names.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) s += (i + 1 == n) ? " and " : " ";
        s += '\'';
        s += names[i];
        s += '\'';
        if (n >= 3 && i + 1 < n) s += ',';
    }
    return s;
}

// Index of the parameter named `key` (keyword-only names first), or -1.
Py_ssize_t find_param(const Params& p, PyObject* key) noexcept {
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < p.keyword_only.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, p.keyword_only[i]) == 0) {
            return static_cast<Py_ssize_t>(p.positional.size() + i);
        }
    }
    for (std::size_t i = 0; i < p.positional.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, p.positional[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// Name of the i-th parameter, positional ones first.
const char* param_name(const Params& p, std::size_t i) noexcept {
    return i < p.positional.size() ? p.positional[i] : p.keyword_only[i - p.positional.size()];
}

// Takes the positional arguments into `out`; TypeError when there are too many.
bool bind_positional(const Params& p, PyObject* const* args, Py_ssize_t nargs, Ref* out) {
    const auto accepted = static_cast<Py_ssize_t>(p.positional.size());
    if (nargs > accepted) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", display_name(p).c_str(),
                     accepted, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        out[i].reset(args[i]);
    }
    return true;
}

// Takes one keyword argument into its slot; TypeError for an unknown name or
// a parameter already given.
bool bind_keyword(const Params& p, PyObject* key, PyObject* value, Ref* out) {
    const Py_ssize_t i = find_param(p, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", display_name(p).c_str(), key);
        return false;
    }
    if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display_name(p).c_str(),
                     param_name(p, static_cast<std::size_t>(i)));
        return false;
    }
    Py_INCREF(value);
    out[i].reset(value);
    return true;
}

// TypeError listing the empty slots, positional ones first, if any.
bool check_missing(const Params& p, const Ref* out) {
    for (int kind = 0; kind < 2; ++kind) {
        const std::size_t begin = kind == 0 ? 0 : p.positional.size();
        const std::size_t end = kind == 0 ? p.positional.size() : p.size();
        std::vector<const char*> missing;
        for (std::size_t i = begin; i < end; ++i) {
            if (!out[i]) missing.push_back(param_name(p, i));
        }
        if (!missing.empty()) {
            PyErr_Format(PyExc_TypeError, "%s missing %zu required %s %s: %s", display_name(p).c_str(), missing.size(),
                         kind == 0 ? "positional" : "keyword", missing.size() == 1 ? "argument" : "arguments",
                         name_list(missing).c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind(const Params& p, PyObject* args, PyObject* kwargs, Ref* out) {
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    PyObject* const* items = args != nullptr ? PySequence_Fast_ITEMS(args) : nullptr;
    if (!bind_positional(p, items, nargs, out)) return false;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(p, key, value, out)) return false;
        }
    }
    return check_missing(p, out);
}

bool bind_fast(const Params& p, PyObject* const* args, std::size_t nargsf, PyObject* kwnames, Ref* out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!bind_positional(p, args, nargs, out)) return false;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!bind_keyword(p, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
    return check_missing(p, out);
}

// ---- conversions -----------------------------------------------------------

namespace {

#if PY_VERSION_HEX >= 0x030C0000
Ref take_raised() { return Ref(PyErr_GetRaisedException()); }
void set_raised(Ref exc) noexcept { PyErr_SetRaisedException(exc.release()); }
#else
// 3.11 has no PyErr_GetRaisedException: the same from the (type, value,
// traceback) triple, the traceback kept on the normalised value.
Ref take_raised() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    if (value == nullptr) {
        PyErr_Restore(type, value, tb);
        return Ref();
    }
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Py_DECREF(type);
    Py_XDECREF(tb);
    return Ref(value);
}
void set_raised(Ref exc) noexcept {
    PyObject* value = exc.release();
    Py_INCREF(Py_TYPE(value));
    PyErr_Restore(reinterpret_cast<PyObject*>(Py_TYPE(value)), value, PyException_GetTraceback(value));
}
#endif

}  // namespace

bool add_note(const char* param) {
    Ref exc = take_raised();
    if (!exc) return false;
    Ref note(PyUnicode_FromFormat("while processing '%s'", param));
    Ref added(note ? PyObject_CallMethod(exc.get(), "add_note", "O", note.get()) : nullptr);
    if (!added) PyErr_Clear();  // the exception goes on without its note
    set_raised(std::move(exc));
    return false;
}

bool raise_not_instance(PyObject* o, const char* target) {
    if (o == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        return false;
    }
    Ref qualname(PyType_GetQualName(Py_TYPE(o)));
    if (!qualname) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), target);
    return false;
}

namespace {

// A float read directly, or whatever float() accepts; no note added.
bool convert_f64(PyObject* o, double& out) {
    if (PyFloat_Check(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    out = d;
    return true;
}

}  // namespace

namespace detail {

bool convert_i32(PyObject* o, std::int32_t& out) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < std::numeric_limits<std::int32_t>::min()) {
        PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
        return false;
    }
    if (v > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
        return false;
    }
    out = static_cast<std::int32_t>(v);
    return true;
}

bool instance_of(PyObject* o, PyTypeObject* type) {
    if (PyObject_TypeCheck(o, type)) return true;
    // Our types are named "builtins.<Class>": name the class without the prefix.
    const char* dot = std::strrchr(type->tp_name, '.');
    return raise_not_instance(o, dot != nullptr ? dot + 1 : type->tp_name);
}

bool check_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        return raise_not_instance(o, "Sequence");  // collections.abc.Sequence
    }
    return true;
}

std::size_t reserve_hint(PyObject* o) {
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return std::min<std::size_t>(static_cast<std::size_t>(n), std::size_t{1} << 16);
}

}  // namespace detail

bool to_f32(PyObject* o, const char* param, float& out) {
    double d = 0.0;
    if (!convert_f64(o, d)) return add_note(param);
    out = static_cast<float>(d);  // IEEE rounding: beyond the f32 range -> +-inf
    return true;
}

bool to_f64(PyObject* o, const char* param, double& out) {
    if (!convert_f64(o, out)) return add_note(param);
    return true;
}

bool to_i32(PyObject* o, const char* param, std::int32_t& out) {
    if (!detail::convert_i32(o, out)) return add_note(param);
    return true;
}

namespace {

// refuse() for either float width (each printed at its own width).
template <class T>
bool refuse_value(const char* field, const char* rule, T value, const std::string& where) {
    const std::string text = std::string(field) + " must " + rule + "; got " + korvane::format_number(value) + where;
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return false;
}

}  // namespace

bool refuse(const char* field, const char* rule, float value, const std::string& where) {
    return refuse_value(field, rule, value, where);
}

bool refuse(const char* field, const char* rule, double value, const std::string& where) {
    return refuse_value(field, rule, value, where);
}

bool check_instance(PyObject* o, PyTypeObject* type, const char* param) {
    if (!detail::instance_of(o, type)) return add_note(param);
    return true;
}

// ---- NumPy arrays ------------------------------------------------------------

bool ensure_numpy() noexcept {
    static bool imported = false;
    if (!imported) {
        if (_import_array() < 0) return false;
        imported = true;
    }
    return true;
}

PyObject* as_array(PyObject* o, int ndim, int typenum, const char* param) {
    if (!ensure_numpy()) {
        add_note(param);
        return nullptr;
    }
    if (PyArray_Check(o)) {
        auto* a = reinterpret_cast<PyArrayObject*>(o);
        if (PyArray_NDIM(a) == ndim) {
            PyArray_Descr* want = PyArray_DescrFromType(typenum);
            if (want == nullptr) {
                add_note(param);
                return nullptr;
            }
            const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(a), want) != 0;
            Py_DECREF(want);
            if (equivalent) return o;
        }
    }
    raise_not_instance(o, "ndarray");
    add_note(param);
    return nullptr;
}

bool check_flat_run(PyObject* array) {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    // An empty array is never read, so its flags do not matter; NumPy lets a
    // caller clear ALIGNED by hand, which the test below would refuse.
    if (PyArray_DIM(a, 0) == 0) return true;
    const int flags = PyArray_FLAGS(a);
    if ((flags & NPY_ARRAY_ALIGNED) != 0 && (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0 &&
        PyArray_DATA(a) != nullptr) {
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return false;
}

}  // namespace quelmar
