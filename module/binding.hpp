// Shared machinery of the extension module: owned references, the fault
// frame that turns C++ exceptions into Python exceptions, the interpreter-lock
// release, argument binding with its messages, the field tables from which
// every call's signature is derived, and the conversions every class uses.
//
// Error protocol: every helper returning bool returns false with a Python
// exception set; helpers returning a pointer return NULL with one set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iterator>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "korvane/fault.hpp"

// CPython 3.11 to 3.13 end a thread that takes the interpreter lock back while
// another thread finalizes the interpreter with pthread_exit, which glibc runs
// as a forced unwind (abi::__forced_unwind) through every frame of the thread;
// later versions block such a thread inside the call instead. Where the
// unwind can come, each of our frames that could meet it parks the thread
// (park() below) rather than let it run our handlers or destructors without
// the lock.
#if PY_VERSION_HEX < 0x030E0000 && defined(__GLIBCXX__)
#define QUELMAR_EXIT_UNWINDS 1
#include <cxxabi.h>
// The forced unwind carries no C++ object: a handler for its type binds a
// null reference, which UBSan would report in the functions that catch it
// (GCC 12 takes no narrower option here than the whole of "undefined"; the
// code they run, a lambda of its own, stays checked).
#define QUELMAR_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("undefined")))
#else
#define QUELMAR_EXIT_UNWINDS 0
#define QUELMAR_CATCHES_FORCED_UNWIND
#endif

namespace quelmar {

// Blocks the calling thread until the process ends, holding no lock of ours,
// with every signal blocked (a signal meant for the process goes to another
// thread) and cancellation disabled (a cancel would unwind the thread).
[[noreturn]] void park() noexcept;

// Runs `f`, which calls CPython and throws nothing; parks the thread if the
// finalizing interpreter ends it inside.
template <class F>
QUELMAR_CATCHES_FORCED_UNWIND void parking_on_exit(F&& f) noexcept {
#if QUELMAR_EXIT_UNWINDS
    try {
        f();
    } catch (abi::__forced_unwind&) {
        park();
    }
#else
    f();
#endif
}

// Drops a strong reference (NULL allowed). Within a forced unwind, where the
// thread does not hold the interpreter lock, the reference is left to the
// process exit; a finalizer that ends the thread parks it.
void release_reference(PyObject* p) noexcept;

// An owned (strong) reference, released on destruction.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.release()) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~Ref() { release_reference(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* p = nullptr) noexcept { release_reference(std::exchange(p_, p)); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ---- faults -----------------------------------------------------------------

// Writes the message to standard error (sys.stderr, or file descriptor 2
// while the interpreter finalizes, since writing to sys.stderr may drop the
// lock) and raises pyo3_runtime.PanicException (a BaseException subclass,
// created once per process) carrying it.
void raise_panic(const char* message) noexcept;

// Raises the Python exception matching the C++ exception `failure`:
// MemoryError for an allocation failure (std::bad_alloc, or std::length_error
// from a container asked to grow past its limit), PanicException for a
// korvane::Fault or any other exception. Call it outside any catch block:
// the C++ runtime ends the process (std::terminate) when a forced unwind,
// which a CPython call here may start, is caught while another exception is
// being handled.
void raise_exception(const std::exception_ptr& failure) noexcept;

// Runs `body` and keeps every C++ exception from crossing into the
// interpreter: on one, the matching Python exception is raised and the
// failure value of the return type (NULL or -1) is returned. A thread that
// the finalizing interpreter ends inside `body` (any CPython call there may
// drop the lock: a __float__ that sleeps, a write to sys.stderr) is parked.
template <class F>
QUELMAR_CATCHES_FORCED_UNWIND auto guard(F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    std::exception_ptr failure;
    try {
        return body();
#if QUELMAR_EXIT_UNWINDS
    } catch (abi::__forced_unwind&) {
        park();
#endif
    } catch (...) {
        failure = std::current_exception();
    }
    raise_exception(failure);
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return R(-1);
    }
}

// Takes the interpreter lock back for the thread state `state` that
// PyEval_SaveThread returned; never returns when the interpreter, which is
// finalizing, ends the thread instead: it then blocks for good, holding no
// lock (see binding.cpp).
void restore_gil(PyThreadState* state) noexcept;

// Holds the interpreter lock released for its lifetime: the constructor
// releases it, the destructor takes it back (or parks a thread that the
// finalizing interpreter ends). Only pure C++ work, touching no Python
// object, may run in between.
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() { restore_gil(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

// Returns what `work()` returns, run with the interpreter lock released. An
// exception thrown by `work` is caught while the lock is released and thrown
// again once it is held, so that guard() maps it under the lock.
template <class F>
auto without_gil(F&& work) -> decltype(work()) {
    std::exception_ptr failure;
    {
        GilReleased released;
        try {
            return work();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    std::rethrow_exception(failure);
}

// ---- argument binding -----------------------------------------------------

// The parameter table of one callable. Every parameter is required. Built
// from a field table by params_of, never written by hand.
struct Params {
    const char* cls;                            // class name, e.g. "SlipModel"
    const char* func;                           // kConstructor for a constructor
    std::span<const char* const> positional;    // positional-or-keyword, in order
    std::span<const char* const> keyword_only;  // in order

    std::size_t size() const noexcept { return positional.size() + keyword_only.size(); }
};

// Binds a tp_new-style call (`args` tuple, `kwargs` dict or NULL) to the
// table. `out` has one slot per parameter, positional ones first; each gets a
// strong reference. TypeError without a note on a binding failure.
bool bind(const Params& params, PyObject* args, PyObject* kwargs, Ref* out);

// The same for a vectorcall-style call (positional arguments, then the values
// of the keywords named in `kwnames`).
bool bind_fast(const Params& params, PyObject* const* args, std::size_t nargsf, PyObject* kwnames, Ref* out);

// ---- field tables ----------------------------------------------------------
// A call's parameters are stated once, as a table of fields in parameter
// order; its keyword list (params_of), its text signature (kDocOf) and the
// order of conversion (convert_fields) all come from that table.

// One parameter: its name, and how its argument is converted into what it
// fills of `V` (false with an exception set).
template <class V>
struct Field {
    const char* name;
    bool (*convert)(PyObject* arg, const char* name, V& out);
};

// The names of a field table, in order.
template <auto& Fields>
inline constexpr auto kNamesOf = [] {
    std::array<const char*, std::size(Fields)> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = Fields[i].name;
    return names;
}();

// The name under which a class's constructor is bound and reported.
inline constexpr char kConstructor[] = "__new__";

// The parameters of `cls.func` (the constructor by default) over a field
// table: the first `n_positional` are positional-or-keyword, the rest
// keyword-only.
template <auto& Fields>
constexpr Params params_of(const char* cls, std::size_t n_positional = 0, const char* func = kConstructor) {
    const std::span<const char* const> names = kNamesOf<Fields>;
    return {cls, func, names.first(n_positional), names.subspan(n_positional)};
}

// Converts each bound argument (`bound`, one per field) by its field, in
// table order; the first failure wins.
template <class Fields, class V>
bool convert_fields(const Fields& fields, const Ref* bound, V& out) {
    std::size_t i = 0;
    for (const auto& field : fields) {
        if (!field.convert(bound[i++].get(), field.name, out)) return false;
    }
    return true;
}

// The body of a constructor over a field table: binds the call, converts the
// arguments into a `V` (value-initialised first), then returns
// `make(converted, bound)`; every C++ exception is mapped by guard().
template <class V, std::size_t N, class Make>
PyObject* construct(const Params& params, const Field<V> (&fields)[N], PyObject* args, PyObject* kwargs,
                    Make&& make) noexcept {
    return guard([&]() -> PyObject* {
        Ref bound[N];
        if (!bind(params, args, kwargs, bound)) return nullptr;
        V converted{};
        if (!convert_fields(fields, bound, converted)) return nullptr;
        return make(converted, bound);
    });
}

namespace detail {

// Writes the docstring of `p` to `out` (unless null) and returns its length:
// the text signature ("Cls(a, *, b)" for a constructor, "func($self, *, b)"
// for a method), the "\n--\n\n" by which CPython knows it (it becomes
// __text_signature__ and is left out of __doc__), then `body`.
constexpr std::size_t write_doc(const Params& p, std::string_view body, char* out) {
    std::size_t n = 0;
    auto put = [&](std::string_view s) {
        if (out != nullptr) std::copy(s.begin(), s.end(), out + n);
        n += s.size();
    };
    std::string_view separator;
    auto item = [&](std::string_view s) {
        put(separator);
        put(s);
        separator = ", ";
    };
    const bool method = std::string_view(p.func) != kConstructor;
    put(method ? p.func : p.cls);
    put("(");
    if (method) item("$self");
    for (const char* name : p.positional) item(name);
    if (!p.keyword_only.empty()) item("*");
    for (const char* name : p.keyword_only) item(name);
    put(")\n--\n\n");
    put(body);
    return n;
}

template <class M>
struct MemberOf;
template <class C, class T>
struct MemberOf<T C::*> {
    using Owner = C;
    using Type = T;
};

}  // namespace detail

// The docstring of the callable `P` describes: its text signature, then `Body`.
template <const Params& P, const char* Body>
inline constexpr auto kDocOf = [] {
    std::array<char, detail::write_doc(P, Body, nullptr) + 1> text{};
    detail::write_doc(P, Body, text.data());
    return text;
}();

// The class and the type of a data member pointer `Member`.
template <auto Member>
using OwnerOf = typename detail::MemberOf<decltype(Member)>::Owner;
template <auto Member>
using MemberTypeOf = typename detail::MemberOf<decltype(Member)>::Type;

// ---- conversions -----------------------------------------------------------
// Each conversion of a named argument adds the note "while processing '{name}'"
// to the exception it leaves set.

// Adds the note naming `param` to the exception currently set (if adding
// fails the exception is kept without it). Always returns false.
bool add_note(const char* param);

// TypeError "'{qualname of o's type}' object is not an instance of '{target}'",
// or "'None' is not an instance of '{target}'" for None. Returns false.
bool raise_not_instance(PyObject* o, const char* target);

// A float (read directly) or anything float() accepts, rounded to f32.
bool to_f32(PyObject* o, const char* param, float& out);
// As to_f32, kept as f64.
bool to_f64(PyObject* o, const char* param, double& out);
// Anything int conversion accepts (ints and __index__), within int32 range.
bool to_i32(PyObject* o, const char* param, std::int32_t& out);
// An instance of `type` or of a subtype.
bool check_instance(PyObject* o, PyTypeObject* type, const char* param);

// Field converters: the argument by to_f32 / to_f64 into `Member`.
template <auto Member>
bool f32_field(PyObject* o, const char* name, OwnerOf<Member>& out) {
    return to_f32(o, name, out.*Member);
}
template <auto Member>
bool f64_field(PyObject* o, const char* name, OwnerOf<Member>& out) {
    return to_f64(o, name, out.*Member);
}

namespace detail {
bool convert_i32(PyObject* o, std::int32_t& out);
bool instance_of(PyObject* o, PyTypeObject* type);
// The sequence checks of the list conversion: str refused, PySequence_Check.
bool check_sequence(PyObject* o);
// Room to reserve for a sequence: its length, capped so that a lying
// __len__ cannot force a huge allocation; 0 when the length is unknown.
std::size_t reserve_hint(PyObject* o);
}  // namespace detail

// A list from any sequence but a str: the items, in iteration order, each
// turned into a T by `convert(item, T&) -> bool`. Errors of the sequence
// checks, of the iteration and of the items carry the note naming `param`.
template <class T, class Convert>
bool list_from_sequence(PyObject* o, const char* param, std::vector<T>& out, Convert&& convert) {
    if (!detail::check_sequence(o)) return add_note(param);
    out.reserve(detail::reserve_hint(o));
    Ref it(PyObject_GetIter(o));
    if (!it) return add_note(param);
    while (Ref item{PyIter_Next(it.get())}) {
        T value{};
        if (!convert(item.get(), value)) return add_note(param);
        out.push_back(std::move(value));
    }
    if (PyErr_Occurred()) return add_note(param);
    return true;
}

// Item converter of list_from_sequence: a 32-bit signed integer.
inline bool i32_item(PyObject* o, std::int32_t& out) { return detail::convert_i32(o, out); }

// ValueError "{field} must {rule}; got {value}{where}", the value written as
// the shortest decimal of its width ("NaN", "inf"). For inputs that would
// give records that look real but are not. Returns false.
bool refuse(const char* field, const char* rule, float value, const std::string& where = {});
bool refuse(const char* field, const char* rule, double value, const std::string& where = {});

// The rules of refuse() that several fields share. Each returns false.
template <class T>
bool refuse_negative(const char* field, T value, const std::string& where = {}) {
    return refuse(field, "be finite and not negative", value, where);
}
template <class T>
bool refuse_not_positive_finite(const char* field, T value, const std::string& where = {}) {
    return refuse(field, "be positive and finite", value, where);
}
template <class T>
bool refuse_not_positive(const char* field, T value, const std::string& where = {}) {
    return refuse(field, "be positive", value, where);
}

// ---- NumPy arrays ------------------------------------------------------------

// The argument as an ndarray (a subclass passes) with exactly `ndim`
// dimensions and a dtype equivalent to `typenum` (no cast, no byte swap);
// else TypeError "'{}' object is not an instance of 'ndarray'" with the note
// naming `param`. Imports NumPy's array API on first use. Borrowed result.
PyObject* as_array(PyObject* o, int ndim, int typenum, const char* param);

// Checks that a 1-D array can be read as one flat run: length 0, or aligned,
// C- or F-contiguous and with a data pointer. Else TypeError "The given array
// is not contiguous or is misaligned." without a note; returns false.
bool check_flat_run(PyObject* array);

// ---- instances -------------------------------------------------------------

// The layout of every instance: the object header followed by the core value.
template <class V>
struct Instance {
    PyObject_HEAD V value;
};

template <class V>
inline V& value_of(PyObject* self) noexcept {
    return reinterpret_cast<Instance<V>*>(self)->value;
}

// Allocates an instance of `type` and moves `value` into it; NULL with the
// allocation error set when that fails (the value is then released by its
// owner).
template <class V>
PyObject* emplace(PyTypeObject* type, V&& value) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    static_assert(std::is_nothrow_move_constructible_v<V>);
    new (&reinterpret_cast<Instance<V>*>(self)->value) V(std::move(value));
    return self;
}

// Releases the core value, frees the object and drops its type reference.
template <class V>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Instance<V>*>(self)->value.~V();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace quelmar
