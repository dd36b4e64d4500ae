// The calling convention every Python function of the module shares.
//
// A family writes each function as a plain C++ wrapper whose parameters are
// the frame's typed views and scalars and whose return value is a C++ value;
// one NUVRA_DEF entry in the family's table declares its Python name,
// parameter names and doc text. From the wrapper's signature the frame
// derives argument parsing, conversion, defaults (`Opt<T, default>`),
// borrow release, error rewording, panic catching and result building.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "module_frame/errors.hpp"
#include "module_frame/numeric.hpp"
#include "module_frame/views.hpp"

namespace nuvra {

// ---------------------------------------------------------------- parameters

// An optional parameter with its default, e.g. `Opt<std::uint64_t, 3>`.
template <typename T, auto Default>
struct Opt {
    T value = static_cast<T>(Default);
    operator T() const { return value; }
};

// A signed 32-bit integer parameter (range-checked after the 64-bit read).
struct Int32 {
    std::int32_t value = 0;
    operator std::int32_t() const { return value; }
};

// A Python sequence of floats (any iterable sequence except str).
struct FloatSeq {
    std::vector<double> values;
};

// ---------------------------------------------------------------- results

struct Array1 {  // taken over by a new 1-D float64 array, no copy
    std::vector<double> data;
};
struct Array2 {  // row-major block taken over by a new 2-D array, no copy
    std::vector<double> data;
    std::size_t rows = 0, cols = 0;
};
struct Array2Rows {  // equal-length rows copied into a new C-contiguous array
    std::vector<std::vector<double>> rows;
};
struct FloatList {  // a Python list of floats
    std::vector<double> values;
};

// A new C-contiguous rows x cols float64 array that NumPy allocates and owns
// (the copying form of a row-built result): the kernel writes every element
// in place, so the rows need no buffers of their own. Allocated before any
// work, so a result too large for memory is a MemoryError at once; an array
// that is never returned is released.
class OwnedArray2 {
public:
    OwnedArray2(std::size_t rows, std::size_t cols,
                const std::source_location loc = std::source_location::current());
    OwnedArray2(OwnedArray2&& o) noexcept
        : arr_(std::exchange(o.arr_, nullptr)), data_(o.data_), rows_(o.rows_), cols_(o.cols_) {}
    OwnedArray2& operator=(OwnedArray2&&) = delete;
    ~OwnedArray2() { Py_XDECREF(arr_); }

    double* data() const { return data_; }
    double* row(std::size_t i) const { return data_ + i * cols_; }
    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    // The array, handed to the caller.
    PyObject* release() { return std::exchange(arr_, nullptr); }

private:
    PyObject* arr_ = nullptr;
    double* data_ = nullptr;
    std::size_t rows_ = 0, cols_ = 0;
};

// ---------------------------------------------------------------- worker pool

namespace detail {
// Runs item(i) for every i in [0, n) on the process-wide pool and returns
// when all are done. The calling thread blocks and takes no part.
void pool_run(std::size_t n, const std::function<void(std::size_t)>& item);
}  // namespace detail

// Number of worker threads of the process-wide pool (creating it).
std::size_t pool_thread_count();

// Computes f(i) for i in [0, n) in parallel; results in input order. An item
// that fails has its failure carried to the caller (the lowest failing index
// wins); the pool stays usable.
template <typename R, typename F>
std::vector<R> parallel_map(std::size_t n, F&& f) {
    std::vector<std::optional<R>> slots(n);
    std::vector<std::exception_ptr> errors(n);
    if (n > 0) {
        detail::pool_run(n, [&](std::size_t i) {
            try {
                slots[i].emplace(f(i));
            } catch (...) {
                errors[i] = std::current_exception();
            }
        });
    }
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
    std::vector<R> out;
    out.reserve(n);
    std::size_t written = 0;
    for (auto& s : slots) {
        if (s) {
            out.push_back(std::move(*s));
            ++written;
        }
    }
    if (written != n)
        panic("expected " + std::to_string(n) + " total writes, but got " + std::to_string(written));
    return out;
}

// ---------------------------------------------------------------- internals

namespace frame {

// Compile-time string for parameter names.
template <std::size_t N>
struct FixedString {
    char s[N]{};
    constexpr FixedString(const char (&str)[N]) { std::copy_n(str, N, s); }
    constexpr const char* c_str() const { return s; }
};

struct FunctionDescription {
    const char* name;
    const char* const* params;
    std::size_t n_params;
    std::size_t n_required;
};

// Fills `slots` from a vectorcall; on failure sets TypeError and returns false.
bool parse_arguments(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots);

// Rewords a pending conversion error for parameter `name` and throws.
[[noreturn]] void argument_error(const char* name);
// Throws PythonError after checking a pending PanicException (resumes it).
[[noreturn]] void fetch_and_throw();

// "'<type>' object is not an instance of '<target>'" as a TypeError.
[[noreturn]] void raise_downcast_error(PyObject* obj, const char* target);

// Scalar converters: each sets a Python error and throws PythonError on failure.
double to_double(PyObject* o);
std::uint64_t to_u64(PyObject* o);
std::int64_t to_i64(PyObject* o);
std::int32_t to_i32(PyObject* o);
bool to_bool(PyObject* o);
std::string_view to_str(PyObject* o);
std::vector<double> to_float_seq(PyObject* o);

// Array intake: checks type, dimensions and dtype, takes a shared borrow.
class ArrayBorrow {
public:
    ArrayBorrow() = default;
    ArrayBorrow(PyObject* obj, int ndim, int typenum);
    ArrayBorrow(ArrayBorrow&& o) noexcept
        : arr_(std::exchange(o.arr_, nullptr)), copy_(std::exchange(o.copy_, nullptr)) {}
    ArrayBorrow& operator=(ArrayBorrow&&) = delete;
    ~ArrayBorrow();
    PyObject* array() const { return arr_; }
    // The array itself when its buffer can be read in place (aligned, whole
    // element strides); otherwise an aligned copy owned by this borrow.
    PyObject* readable();

private:
    PyObject* arr_ = nullptr;
    PyObject* copy_ = nullptr;
};

SignalView make_signal_view(ArrayBorrow& b);
IndexView make_index_view(ArrayBorrow& b);
MatrixView make_matrix_view(ArrayBorrow& b);

// Result builders: return a new reference or panic.
PyObject* checked(PyObject* o);
PyObject* build(double v);
PyObject* build(std::uint64_t v);
PyObject* build(std::int64_t v);
PyObject* build(Array1&& a);
PyObject* build(Array2&& a);
PyObject* build(Array2Rows&& a);
inline PyObject* build(OwnedArray2&& a) { return a.release(); }
PyObject* build(FloatList&& a);

template <typename T>
PyObject* build_any(T&& v);

template <typename... Ts, std::size_t... I>
PyObject* build_tuple(std::tuple<Ts...>&& t, std::index_sequence<I...>) {
    PyObject* tup = checked(PyTuple_New(sizeof...(Ts)));
    try {
        (PyTuple_SET_ITEM(tup, I, build_any(std::move(std::get<I>(t)))), ...);
    } catch (...) {
        Py_DECREF(tup);
        throw;
    }
    return tup;
}

template <typename T>
struct is_tuple : std::false_type {};
template <typename... Ts>
struct is_tuple<std::tuple<Ts...>> : std::true_type {};
template <typename T>
struct is_vector : std::false_type {};
template <typename T>
struct is_vector<std::vector<T>> : std::true_type {};

template <typename T>
PyObject* build_any(T&& v) {
    using U = std::remove_cvref_t<T>;
    if constexpr (is_tuple<U>::value) {
        return build_tuple(std::move(v), std::make_index_sequence<std::tuple_size_v<U>>{});
    } else if constexpr (is_vector<U>::value) {
        PyObject* list = checked(PyList_New(static_cast<Py_ssize_t>(v.size())));
        try {
            for (std::size_t i = 0; i < v.size(); ++i)
                PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), build_any(std::move(v[i])));
        } catch (...) {
            Py_DECREF(list);
            throw;
        }
        return list;
    } else {
        return build(std::move(v));
    }
}

// Per-parameter conversion: Holder<T>{slot, name} converts and keeps what
// must live until the call ends (array borrows); get() yields the value.
template <typename T>
struct Holder;

// A value converted once from its argument.
template <typename T, auto Convert>
struct ValueHolder {
    T v;
    ValueHolder(PyObject* o) : v{Convert(o)} {}
    const T& get() const { return v; }
};
// A view whose array stays borrowed until the call ends.
template <typename View, int NDim, int TypeNum, auto MakeView>
struct ViewHolder {
    ArrayBorrow b;
    View v;
    ViewHolder(PyObject* o) : b(o, NDim, TypeNum), v(MakeView(b)) {}
    const View& get() const { return v; }
};

template <> struct Holder<double> : ValueHolder<double, to_double> { using ValueHolder::ValueHolder; };
template <> struct Holder<std::uint64_t> : ValueHolder<std::uint64_t, to_u64> { using ValueHolder::ValueHolder; };
template <> struct Holder<std::int64_t> : ValueHolder<std::int64_t, to_i64> { using ValueHolder::ValueHolder; };
template <> struct Holder<Int32> : ValueHolder<Int32, to_i32> { using ValueHolder::ValueHolder; };
template <> struct Holder<bool> : ValueHolder<bool, to_bool> { using ValueHolder::ValueHolder; };
template <> struct Holder<std::string_view> : ValueHolder<std::string_view, to_str> { using ValueHolder::ValueHolder; };
template <> struct Holder<FloatSeq> : ValueHolder<FloatSeq, to_float_seq> { using ValueHolder::ValueHolder; };
template <> struct Holder<SignalView> : ViewHolder<SignalView, 1, 12, make_signal_view> { using ViewHolder::ViewHolder; };  // float64
template <> struct Holder<IndexView> : ViewHolder<IndexView, 1, 7, make_index_view> { using ViewHolder::ViewHolder; };      // int64
template <> struct Holder<MatrixView> : ViewHolder<MatrixView, 2, 12, make_matrix_view> { using ViewHolder::ViewHolder; };  // float64

template <typename T, auto D>
struct Holder<Opt<T, D>> {
    std::optional<Holder<T>> h;
    Holder(PyObject* o) {
        if (o) h.emplace(o);
    }
    Opt<T, D> get() const { return h ? Opt<T, D>{h->get()} : Opt<T, D>{}; }
};
template <typename T>
struct Holder<std::optional<T>> {
    std::optional<Holder<T>> h;
    Holder(PyObject* o) {
        if (o) h.emplace(o);
    }
    std::optional<T> get() const { return h ? std::optional<T>(h->get()) : std::nullopt; }
};

template <typename T>
struct is_optional_param : std::false_type {};
template <typename T, auto D>
struct is_optional_param<Opt<T, D>> : std::true_type {};
template <typename T>
struct is_optional_param<std::optional<T>> : std::true_type {};

template <typename F>
struct signature;
template <typename R, typename... A>
struct signature<R (*)(A...)> {
    using result = R;
    using params = std::tuple<std::remove_cvref_t<A>...>;
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr std::size_t required() {
        constexpr bool opt[] = {is_optional_param<std::remove_cvref_t<A>>::value..., false};
        std::size_t r = 0;
        while (r < arity && !opt[r]) ++r;
        for (std::size_t i = r; i < arity; ++i)
            if (!opt[i]) return static_cast<std::size_t>(-1);  // optional must be trailing
        return r;
    }
};

// The state every call entry shares: panic/exception translation.
PyObject* translate_current_exception() noexcept;

template <std::size_t I, typename Tuple>
using param_t = std::tuple_element_t<I, Tuple>;

// Converts slot I of the call; a failure is reworded for parameter I.
template <typename T>
Holder<T> convert_slot(PyObject* slot, const char* name) {
    try {
        return Holder<T>(slot);
    } catch (const PythonError&) {
        argument_error(name);
    }
}

template <auto F, const FunctionDescription& D, std::size_t... I>
PyObject* invoke(PyObject* const* slots, std::index_sequence<I...>) {
    using Sig = signature<decltype(F)>;
    using P = typename Sig::params;
    // Braced initialisation converts strictly left to right; a failure
    // destroys the holders already made, which releases their borrows.
    std::tuple<Holder<param_t<I, P>>...> held{convert_slot<param_t<I, P>>(slots[I], D.params[I])...};
    return build_any(F(std::get<I>(held).get()...));
}

template <auto F, const FunctionDescription& D>
PyObject* call_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using Sig = signature<decltype(F)>;
    try {
        std::array<PyObject*, Sig::arity + 1> slots{};
        if (!parse_arguments(D, args, nargs, kwnames, slots.data())) return nullptr;
        return invoke<F, D>(slots.data(), std::make_index_sequence<Sig::arity>{});
    } catch (...) {
        return translate_current_exception();
    }
}

template <FixedString... Params>
struct ParamNames {
    static constexpr const char* names[] = {Params.c_str()..., nullptr};
};

template <auto F, FixedString Name, FixedString... Params>
struct Described {
    using Sig = signature<decltype(F)>;
    static_assert(Sig::arity == sizeof...(Params), "one name per parameter");
    static_assert(Sig::required() != static_cast<std::size_t>(-1),
                  "optional parameters must come last");
    static constexpr FunctionDescription desc{Name.c_str(), ParamNames<Params...>::names,
                                              sizeof...(Params), Sig::required()};
};

template <auto F, FixedString Name, FixedString... Params>
PyMethodDef method_def(const char* doc) {
    using D = Described<F, Name, Params...>;
    return PyMethodDef{Name.c_str(),
                       reinterpret_cast<PyCFunction>(
                           reinterpret_cast<void (*)(void)>(&call_entry<F, D::desc>)),
                       METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}

}  // namespace frame

// A family's table of method definitions in add order.
struct FunctionTable {
    const PyMethodDef* defs;
    std::size_t count;
};

}  // namespace nuvra

// One declaration per Python function:
//   NUVRA_DEF(wrapper, "name", "doc text", "param1", "param2", ...)
#define NUVRA_DEF(wrapper, name, doc, ...) \
    ::nuvra::frame::method_def<&wrapper, name __VA_OPT__(, ) __VA_ARGS__>(doc)
