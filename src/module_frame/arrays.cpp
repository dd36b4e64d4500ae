// Array intake (views and the process-wide borrow registry) and result
// arrays (buffers handed to NumPy without copying, owned by PySliceContainer).
#define PY_ARRAY_UNIQUE_SYMBOL nuvra_ARRAY_API
#include <numpy/arrayobject.h>

#include <sys/mman.h>

#include <cstdlib>
#include <deque>
#include <map>
#include <new>
#include <mutex>
#include <numeric>
#include <unordered_map>

#include "module_frame/buffers.hpp"
#include "module_frame/internal.hpp"

namespace nuvra {
namespace frame {

// ------------------------------------------------------------ NumPy table

namespace {
bool numpy_loaded = false;
}

void ensure_numpy() {
    if (numpy_loaded) return;
    if (_import_array() < 0) {
        PyObject* exc = PyErr_GetRaisedException();
        std::string detail = debug_text(exc);
        Py_XDECREF(exc);
        panic("Failed to access NumPy array API capsule: " + detail);
    }
    numpy_loaded = true;
}

// ------------------------------------------------------------ borrow registry

namespace {

using AcquireFn = int (*)(void*, PyArrayObject*);
using ReleaseFn = void (*)(void*, PyArrayObject*);

// The record shared with other extensions through the capsule.
struct BorrowApi {
    std::uint64_t version;
    void* flags;
    AcquireFn acquire;
    AcquireFn acquire_mut;
    ReleaseFn release;
    ReleaseFn release_mut;
};

constexpr const char capsule_name[] = "_RUST_NUMPY_BORROW_CHECKING_API";

// The memory one array spans, as seen by the registry.
struct BorrowKey {
    std::uintptr_t start, end, data;
    std::uintptr_t gcd_strides;
    bool operator<(const BorrowKey& o) const {
        return std::tie(start, end, data, gcd_strides) <
               std::tie(o.start, o.end, o.data, o.gcd_strides);
    }
    bool operator==(const BorrowKey& o) const = default;
    bool conflicts(const BorrowKey& o) const {
        if (start >= o.end || o.start >= end) return false;  // ranges do not overlap
        std::uintptr_t g = std::gcd(gcd_strides, o.gcd_strides);
        std::uintptr_t diff = data > o.data ? data - o.data : o.data - data;
        return g == 0 ? diff == 0 : diff % g == 0;
    }
};

struct RegistryState {
    std::mutex mutex;
    std::unordered_map<void*, std::map<BorrowKey, std::int64_t>> borrows;
};

void* base_address(PyArrayObject* arr) {
    PyObject* cur = reinterpret_cast<PyObject*>(arr);
    for (;;) {
        PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(cur));
        if (!base) return cur;
        if (!PyArray_Check(base)) return base;
        cur = base;
    }
}

BorrowKey borrow_key(PyArrayObject* arr) {
    const int nd = PyArray_NDIM(arr);
    const npy_intp* dims = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    auto data = reinterpret_cast<std::uintptr_t>(PyArray_DATA(arr));
    std::uintptr_t g = 0;
    for (int i = 0; i < nd; ++i)
        g = std::gcd(g, static_cast<std::uintptr_t>(strides[i] < 0 ? -strides[i] : strides[i]));
    bool empty = false;
    std::intptr_t lo = 0, hi = 0;
    for (int i = 0; i < nd; ++i) {
        if (dims[i] == 0) empty = true;
        std::intptr_t span = (dims[i] > 0 ? dims[i] - 1 : 0) * strides[i];
        if (span < 0) lo += span;
        else hi += span;
    }
    if (empty) return {data, data, data, g};
    return {data + lo, data + hi + static_cast<std::uintptr_t>(PyArray_ITEMSIZE(arr)), data, g};
}

int acquire_shared(void* flags, PyArrayObject* arr) {
    auto* st = static_cast<RegistryState*>(flags);
    void* base = base_address(arr);
    BorrowKey key = borrow_key(arr);
    std::lock_guard<std::mutex> lock(st->mutex);
    auto& table = st->borrows[base];
    auto it = table.find(key);
    if (it != table.end()) {
        if (it->second > 0 && it->second < INT64_MAX) {
            ++it->second;
            return 0;
        }
        return -1;
    }
    for (const auto& [other, count] : table)
        if (count < 0 && key.conflicts(other)) return -1;
    table.emplace(key, 1);
    return 0;
}

int acquire_exclusive(void* flags, PyArrayObject* arr) {
    if (!PyArray_ISWRITEABLE(arr)) return -2;
    auto* st = static_cast<RegistryState*>(flags);
    void* base = base_address(arr);
    BorrowKey key = borrow_key(arr);
    std::lock_guard<std::mutex> lock(st->mutex);
    auto& table = st->borrows[base];
    if (table.count(key)) return -1;
    for (const auto& [other, count] : table)
        if (key.conflicts(other)) return -1;
    table.emplace(key, -1);
    return 0;
}

void release_any(void* flags, PyArrayObject* arr) {
    auto* st = static_cast<RegistryState*>(flags);
    void* base = base_address(arr);
    BorrowKey key = borrow_key(arr);
    std::lock_guard<std::mutex> lock(st->mutex);
    auto bt = st->borrows.find(base);
    if (bt == st->borrows.end()) return;
    auto it = bt->second.find(key);
    if (it == bt->second.end()) return;
    if (it->second > 1) {
        --it->second;
    } else {
        bt->second.erase(it);
        if (bt->second.empty()) st->borrows.erase(bt);
    }
}

void free_capsule(PyObject* capsule) {
    auto* api = static_cast<BorrowApi*>(PyCapsule_GetPointer(capsule, capsule_name));
    if (!api) {
        PyErr_Clear();
        return;
    }
    delete static_cast<RegistryState*>(api->flags);
    delete api;
}

const BorrowApi* registry = nullptr;

[[noreturn]] void registry_error(const std::string& detail) {
    panic("Interal borrow checking API error: " + detail);
}

std::string pending_text() {
    PyObject* exc = PyErr_GetRaisedException();
    std::string t = debug_text(exc);
    Py_XDECREF(exc);
    return t;
}

// Finds the registry on NumPy's multiarray module, creating it when absent.
const BorrowApi* get_registry() {
    if (registry) return registry;
    PyObject* np = PyImport_ImportModule("numpy");
    if (!np) registry_error(pending_text());
    PyObject* ver = PyObject_GetAttrString(np, "__version__");
    Py_DECREF(np);
    if (!ver) registry_error(pending_text());
    const char* vs = PyUnicode_Check(ver) ? PyUnicode_AsUTF8(ver) : nullptr;
    long major = vs ? std::strtol(vs, nullptr, 10) : 2;
    if (!vs) PyErr_Clear();
    Py_DECREF(ver);
    PyObject* mod =
        PyImport_ImportModule(major < 2 ? "numpy.core.multiarray" : "numpy._core.multiarray");
    if (!mod) registry_error(pending_text());
    PyObject* cap = PyObject_GetAttrString(mod, capsule_name);
    if (cap) {
        void* p = PyCapsule_GetPointer(cap, capsule_name);
        Py_DECREF(cap);
        Py_DECREF(mod);
        if (!p) registry_error(pending_text());
        auto* api = static_cast<const BorrowApi*>(p);
        if (api->version == 0)
            registry_error("unsupported version 0 of the shared borrow checking API of the NumPy "
                           "bindings");
        registry = api;
        return registry;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        Py_DECREF(mod);
        registry_error(pending_text());
    }
    PyErr_Clear();
    auto* api = new BorrowApi{1, new RegistryState(), acquire_shared, acquire_exclusive, release_any,
                              release_any};
    PyObject* capsule = PyCapsule_New(api, capsule_name, free_capsule);
    if (!capsule) {
        delete static_cast<RegistryState*>(api->flags);
        delete api;
        Py_DECREF(mod);
        registry_error(pending_text());
    }
    int rc = PyObject_SetAttrString(mod, capsule_name, capsule);
    Py_DECREF(capsule);
    Py_DECREF(mod);
    if (rc < 0) registry_error(pending_text());
    registry = api;  // kept alive by the module attribute for the process
    return registry;
}

}  // namespace

// ------------------------------------------------------------ intake

ArrayBorrow::ArrayBorrow(PyObject* obj, int ndim, int typenum) {
    ensure_numpy();
    if (!PyArray_Check(obj)) raise_downcast_error(obj, "ndarray");
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim) raise_downcast_error(obj, "ndarray");
    PyArray_Descr* want = PyArray_DescrFromType(typenum);
    PyArray_Descr* have = PyArray_DESCR(arr);
    bool same = have == want || PyArray_EquivTypes(have, want);
    Py_DECREF(want);
    if (!same) raise_downcast_error(obj, "ndarray");
    const BorrowApi* api = get_registry();
    int rc = api->acquire(api->flags, arr);
    if (rc == -1) panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
    if (rc != 0) panic("Unexpected return code " + std::to_string(rc) + " from borrow checking API");
    Py_INCREF(obj);
    arr_ = obj;
}

ArrayBorrow::~ArrayBorrow() {
    if (!arr_) return;
    // A borrow is often given back while the call's error is already set; a
    // registry of another extension may run Python code in its release, so
    // the error is held aside meanwhile.
    PyObject* pending = PyErr_GetRaisedException();
    const BorrowApi* api = registry;
    if (api) api->release(api->flags, reinterpret_cast<PyArrayObject*>(arr_));
    Py_XDECREF(copy_);
    Py_DECREF(arr_);
    if (pending) PyErr_SetRaisedException(pending);
}

namespace {

// Arrays whose buffer can be read as doubles/int64 in place: aligned, with
// byte strides that are whole elements. Anything else is read from an aligned
// copy kept alive by the array's own reference list below.
bool readable_in_place(PyArrayObject* arr) {
    if (!PyArray_ISALIGNED(arr)) return false;
    for (int i = 0; i < PyArray_NDIM(arr); ++i)
        if (PyArray_STRIDES(arr)[i] % 8 != 0) return false;
    return true;
}

bool contiguous_flags(PyArrayObject* arr) {
    if (PyArray_SIZE(arr) == 0) return true;
    const int f = PyArray_FLAGS(arr);
    return (f & NPY_ARRAY_ALIGNED) && (f & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) &&
           PyArray_DATA(arr) != nullptr;
}

}  // namespace

PyObject* ArrayBorrow::readable() {
    auto* arr = reinterpret_cast<PyArrayObject*>(arr_);
    if (readable_in_place(arr)) return arr_;
    if (!copy_) {
        copy_ = PyArray_NewCopy(arr, NPY_CORDER);
        if (!copy_) throw PythonError();
    }
    return copy_;
}

SignalView make_signal_view(ArrayBorrow& b) {
    auto* orig = reinterpret_cast<PyArrayObject*>(b.array());
    auto* arr = reinterpret_cast<PyArrayObject*>(b.readable());
    SignalView v;
    v.n = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    v.stride = PyArray_STRIDE(arr, 0) / 8;
    v.data = static_cast<const double*>(PyArray_DATA(arr));
    v.contiguous = contiguous_flags(orig);
    return v;
}

IndexView make_index_view(ArrayBorrow& b) {
    auto* arr = reinterpret_cast<PyArrayObject*>(b.readable());
    IndexView v;
    v.n = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    v.stride = PyArray_STRIDE(arr, 0) / 8;
    v.data = static_cast<const std::int64_t*>(PyArray_DATA(arr));
    v.contiguous = contiguous_flags(reinterpret_cast<PyArrayObject*>(b.array()));
    return v;
}

MatrixView make_matrix_view(ArrayBorrow& b) {
    auto* arr = reinterpret_cast<PyArrayObject*>(b.readable());
    MatrixView v;
    v.rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    v.cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
    v.s0 = PyArray_STRIDE(arr, 0) / 8;
    v.s1 = PyArray_STRIDE(arr, 1) / 8;
    v.data = static_cast<const double*>(PyArray_DATA(arr));
    return v;
}

// ------------------------------------------------------------ results

namespace {

// PySliceContainer: owns a vector handed to NumPy as an array's buffer.
struct SliceContainer {
    PyObject_HEAD
    std::vector<double>* vec;
    double* raw;  // or a buffer from allocate_doubles (UninitArray1)
};

void container_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<SliceContainer*>(self);
    delete c->vec;
    c->vec = nullptr;
    release_doubles(c->raw);
    c->raw = nullptr;
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* container_type = nullptr;

PyObject* get_container_type() {
    if (container_type) return container_type;
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
        {Py_tp_doc, const_cast<char*>("Owns a native buffer on the Python heap for the array "
                                      "that views it.")},
        {0, nullptr},
    };
    static PyType_Spec container_desc = {
        "builtins.PySliceContainer", sizeof(SliceContainer), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyObject* t = PyType_FromSpec(&container_desc);
    if (!t) {
        PyObject* exc = PyErr_GetRaisedException();
        Py_XDECREF(exc);
        panic("failed to create type object for `PySliceContainer`");
    }
    container_type = t;
    return container_type;
}

// A new, empty owner object.
PyObject* alloc_container() {
    auto* tp = reinterpret_cast<PyTypeObject*>(get_container_type());
    PyObject* obj = tp->tp_alloc(tp, 0);
    if (!obj) {
        PyObject* exc = PyErr_GetRaisedException();
        std::string detail = debug_text(exc);
        Py_XDECREF(exc);
        panic("Failed to create slice container: " + detail);
    }
    return obj;
}

PyObject* new_container(std::vector<double>&& data) {
    PyObject* obj = alloc_container();
    reinterpret_cast<SliceContainer*>(obj)->vec = new std::vector<double>(std::move(data));
    reinterpret_cast<SliceContainer*>(obj)->raw = nullptr;
    return obj;
}

// The same owner for a buffer from allocate_doubles; takes the buffer over.
PyObject* new_raw_container(std::unique_ptr<double, FreeDoubles>& buf) {
    PyObject* obj = alloc_container();
    reinterpret_cast<SliceContainer*>(obj)->vec = nullptr;
    reinterpret_cast<SliceContainer*>(obj)->raw = buf.release();
    return obj;
}

// A new writeable float64 array over `data`, owned by `container` (set as
// its base); the container is released when the array cannot be made.
PyObject* array_over(PyObject* container, double* data, int nd, npy_intp* dims,
                     npy_intp* strides) {
    PyObject* arr = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), nd,
                                         dims, strides, data, NPY_ARRAY_WRITEABLE, nullptr);
    if (!arr) {
        Py_DECREF(container);
        checked(nullptr);
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), container) < 0) {
        Py_DECREF(arr);
        checked(nullptr);
    }
    return arr;
}

PyObject* take_over(std::vector<double>&& data, int nd, npy_intp* dims, npy_intp* strides) {
    ensure_numpy();
    if (data.data() == nullptr) data.reserve(1);  // an empty result still gets a buffer
    PyObject* container = new_container(std::move(data));
    double* buf = reinterpret_cast<SliceContainer*>(container)->vec->data();
    return array_over(container, buf, nd, dims, strides);
}

}  // namespace

PyObject* checked(PyObject* o) {
    if (o) return o;
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    panic("PyObject pointer is null");
}

PyObject* build(double v) { return checked(PyFloat_FromDouble(v)); }
PyObject* build(std::uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }
PyObject* build(std::int64_t v) { return checked(PyLong_FromLong(v)); }

PyObject* build(Array1&& a) {
    npy_intp dims[1] = {static_cast<npy_intp>(a.data.size())};
    npy_intp strides[1] = {8};
    return take_over(std::move(a.data), 1, dims, strides);
}

// A taken-over array of `nd` dimensions (row-major) over a buffer from
// allocate_doubles.
PyObject* build_raw(std::unique_ptr<double, FreeDoubles>& buf, int nd, const std::size_t* shape) {
    ensure_numpy();
    if (!buf) buf.reset(allocate_doubles(1));
    PyObject* container = new_raw_container(buf);
    double* data = reinterpret_cast<SliceContainer*>(container)->raw;
    const std::size_t cols = nd == 2 ? shape[1] : 1;
    npy_intp dims[2] = {static_cast<npy_intp>(shape[0]), static_cast<npy_intp>(cols)};
    npy_intp strides[2] = {static_cast<npy_intp>(cols * 8), 8};
    return array_over(container, data, nd, dims, strides);
}

PyObject* build(Array2&& a) {
    if (a.rows * a.cols != a.data.size()) panic("shape mismatch in result block");
    npy_intp dims[2] = {static_cast<npy_intp>(a.rows), static_cast<npy_intp>(a.cols)};
    npy_intp strides[2] = {static_cast<npy_intp>(a.cols * 8), 8};
    return take_over(std::move(a.data), 2, dims, strides);
}

PyObject* build(Array2Rows&& a) {
    ensure_numpy();
    const std::size_t r = a.rows.size();
    const std::size_t c = r ? a.rows[0].size() : 0;
    npy_intp dims[2] = {static_cast<npy_intp>(r), static_cast<npy_intp>(c)};
    PyObject* arr = checked(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64),
                                                 2, dims, nullptr, nullptr, 0, nullptr));
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
    for (std::size_t i = 0; i < r; ++i) {
        if (a.rows[i].size() != c) {
            Py_DECREF(arr);
            panic("rows of unequal length: expected " + std::to_string(c) + ", got " +
                  std::to_string(a.rows[i].size()));
        }
        std::copy(a.rows[i].begin(), a.rows[i].end(), out + i * c);
    }
    return arr;
}

}  // namespace frame

OwnedArray2::OwnedArray2(std::size_t rows, std::size_t cols, const std::source_location loc)
    : rows_(rows), cols_(cols) {
    std::uint64_t cells;
    if (mul_overflows(rows, cols, cells)) panic_capacity_overflow(loc);
    check_capacity(cells, sizeof(double), loc);
    frame::ensure_numpy();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    arr_ = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 2, dims,
                                nullptr, nullptr, 0, nullptr);
    if (!arr_) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonError();
        frame::checked(nullptr);
    }
    data_ = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr_)));
}

namespace frame {

PyObject* build(FloatList&& a) {
    PyObject* list = checked(PyList_New(static_cast<Py_ssize_t>(a.values.size())));
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(a.values[i]);
        if (!f) {
            Py_DECREF(list);
            checked(nullptr);
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), f);
    }
    return list;
}

}  // namespace frame

PyObject* build(UninitArray1&& a) { return frame::build_raw(a.buf, 1, &a.n); }
PyObject* build(UninitArray2&& a) {
    const std::size_t shape[2] = {a.rows, a.cols};
    return frame::build_raw(a.buf, 2, shape);
}

// Large result buffers are recycled: a freed one is kept (up to kRecycleHeld
// bytes in all, the oldest given back first) and handed out again for a
// result of nearly the same size. Repeated calls with large results then
// reuse memory the process already has, instead of mapping fresh pages
// whose first-touch faults would serialise the threads that fill them.
// Every block carries its capacity in a header in front of the doubles.
namespace {

constexpr std::size_t kHeader = 64;
constexpr std::size_t kRecycleMin = std::size_t{1} << 20;
constexpr std::size_t kRecycleHeld = std::size_t{32} << 20;
constexpr std::size_t kHugeHint = std::size_t{4} << 20;

std::mutex recycle_mutex;
std::deque<void*>* recycled = nullptr;  // never destroyed
std::size_t recycled_bytes = 0;

std::size_t block_capacity(void* block) { return *static_cast<std::size_t*>(block); }
double* block_doubles(void* block) {
    return reinterpret_cast<double*>(static_cast<char*>(block) + kHeader);
}

}  // namespace

double* allocate_doubles(std::size_t n) {
    const std::size_t bytes = (n > 0 ? n : 1) * sizeof(double);  // n passed check_capacity
    if (bytes >= kRecycleMin) {
        std::lock_guard<std::mutex> lock(recycle_mutex);
        if (recycled) {
            auto best = recycled->end();
            for (auto it = recycled->begin(); it != recycled->end(); ++it) {
                const std::size_t cap = block_capacity(*it);
                if (cap >= bytes && cap - bytes <= bytes / 4 &&
                    (best == recycled->end() || cap < block_capacity(*best)))
                    best = it;
            }
            if (best != recycled->end()) {
                void* block = *best;
                recycled->erase(best);
                recycled_bytes -= block_capacity(block);
                return block_doubles(block);
            }
        }
    }
    void* block = std::malloc(bytes + kHeader);
    if (!block) throw std::bad_alloc();
    *static_cast<std::size_t*>(block) = bytes;
    if (bytes >= kHugeHint) {  // as NumPy does for its large arrays; a hint only
        const std::size_t page = 4096;
        const auto lo = (reinterpret_cast<std::uintptr_t>(block) + page - 1) / page * page;
        const auto hi = (reinterpret_cast<std::uintptr_t>(block) + bytes + kHeader) / page * page;
        if (hi > lo) ::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
    }
    return block_doubles(block);
}

void release_doubles(double* p) {
    if (!p) return;
    void* block = reinterpret_cast<char*>(p) - kHeader;
    const std::size_t cap = block_capacity(block);
    if (cap >= kRecycleMin && cap <= kRecycleHeld) {
        std::lock_guard<std::mutex> lock(recycle_mutex);
        if (!recycled) recycled = new std::deque<void*>;
        while (recycled_bytes + cap > kRecycleHeld) {
            void* old = recycled->front();
            recycled->pop_front();
            recycled_bytes -= block_capacity(old);
            std::free(old);
        }
        recycled->push_back(block);
        recycled_bytes += cap;
        return;
    }
    std::free(block);
}

// ------------------------------------------------------------ view helpers

std::vector<double> MatrixView::to_row_major() const {
    check_capacity(static_cast<std::uint64_t>(rows) * cols);
    std::vector<double> out;
    out.reserve(rows * cols);
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) out.push_back((*this)(i, j));
    return out;
}

std::vector<double> collect_finite(const SignalView& v) {
    std::vector<double> out;
    out.reserve(v.size());
    for (double x : v)
        if (std::isfinite(x)) out.push_back(x);
    return out;
}

std::vector<std::size_t> collect_finite_pairs(const SignalView& x, const SignalView& y) {
    const std::size_t n = std::min(x.size(), y.size());
    std::vector<std::size_t> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(x[i]) && std::isfinite(y[i])) out.push_back(i);
    return out;
}

}  // namespace nuvra
