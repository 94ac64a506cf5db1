#include "quote_manager/tick_columns.hpp"

#include "quote_manager/datetime_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <unordered_map>

namespace zk::cols {

// ---- reading stored ticks

bool TextColumn::push(PyObject* s) {
    if (!PyUnicode_CheckExact(s)) return false;
    if (s == last_obj_) {
        ids.push_back(last_id_);
        return true;
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) {
        PyErr_Clear();
        return false;
    }
    std::string_view v(p, static_cast<std::size_t>(n));
    std::uint32_t id = 0;
    const auto count = static_cast<std::uint32_t>(values.size());
    while (id < count && values[id] != v) ++id;
    if (id == count) values.emplace_back(v);
    ids.push_back(id);
    last_obj_ = s;
    last_id_ = id;
    return true;
}

void TickColumns::reserve(std::size_t n) {
    dt.reserve(n);
    market_type.ids.reserve(n);
    code.ids.reserve(n);
    close.reserve(n);
    qty.reserve(n);
    tick_type.reserve(n);
    is_simulate.reserve(n);
    is_virtual.reserve(n);
}

namespace {

template <class T>
void apply_order(std::vector<T>& v, const std::vector<std::uint32_t>& order) {
    std::vector<T> out;
    out.reserve(v.size());
    for (std::uint32_t i : order) out.push_back(v[i]);
    v.swap(out);
}

bool read_int(PyObject* o, std::int64_t& out) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

bool read_one(PyObject* d, TickColumns& out) {
    if (!PyDict_CheckExact(d) || PyDict_GET_SIZE(d) != 8) return false;
    PyObject* v[8];
    PyObject* const keys[8] = {names::dt.ptr(),  names::market_type.ptr(), names::code.ptr(),
                               names::close.ptr(), names::qty.ptr(),       names::tick_type.ptr(),
                               names::is_simulate.ptr(), names::is_virtual.ptr()};
    // Keys are matched by identity, or looked up only when every key is an
    // exact str: a key of another type could run its __eq__ mid-read.
    int found = 0;
    bool plain_keys = true;
    Py_ssize_t pos = 0;
    PyObject *k, *val;
    for (int i = 0; i < 8; ++i) v[i] = nullptr;
    while (PyDict_Next(d, &pos, &k, &val)) {
        plain_keys = plain_keys && PyUnicode_CheckExact(k);
        for (int i = 0; i < 8; ++i)
            if (k == keys[i]) {
                v[i] = val;
                ++found;
                break;
            }
    }
    if (!plain_keys) return false;
    if (found != 8) {
        for (int i = 0; i < 8; ++i) {
            v[i] = PyDict_GetItemWithError(d, keys[i]);
            if (!v[i]) {
                PyErr_Clear();
                return false;
            }
        }
    }
    PyObject* dt = v[0];
    if (!PyDateTime_CheckExact(dt) || !naive(dt)) return false;
    if (!PyFloat_CheckExact(v[3])) return false;
    std::int64_t qty = 0, tick_type = 0;
    if (!read_int(v[4], qty) || !read_int(v[5], tick_type)) return false;
    if (tick_type < -128 || tick_type > 127) return false;
    if (!PyBool_Check(v[6]) || !PyBool_Check(v[7])) return false;
    if (!out.market_type.push(v[1])) return false;
    if (!out.code.push(v[2])) {
        out.market_type.ids.pop_back();
        return false;
    }
    out.dt.push_back(datetime_us(dt));
    out.close.push_back(PyFloat_AS_DOUBLE(v[3]));
    out.qty.push_back(qty);
    out.tick_type.push_back(static_cast<std::int8_t>(tick_type));
    out.is_simulate.push_back(v[6] == Py_True);
    out.is_virtual.push_back(v[7] == Py_True);
    return true;
}

}  // namespace

void TickColumns::permute(const std::vector<std::uint32_t>& order) {
    apply_order(dt, order);
    apply_order(market_type.ids, order);
    apply_order(code.ids, order);
    apply_order(close, order);
    apply_order(qty, order);
    apply_order(tick_type, order);
    apply_order(is_simulate, order);
    apply_order(is_virtual, order);
}

bool read_ticks(py::handle ticks, Py_ssize_t from, TickColumns& out) {
    if (!PyList_CheckExact(ticks.ptr())) return false;
    need_datetime_api();
    py::object hold = py::reinterpret_borrow<py::object>(ticks);  // the list outlives the scan
    const Py_ssize_t n = PyList_GET_SIZE(ticks.ptr());
    if (from < n) out.reserve(static_cast<std::size_t>(n - from));
    for (Py_ssize_t i = from; i < PyList_GET_SIZE(ticks.ptr()); ++i) {
        py::object d = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(ticks.ptr(), i));
        if (!read_one(d.ptr(), out)) return false;
    }
    return true;
}

std::vector<std::uint32_t> stable_order_by_dt(const std::vector<std::int64_t>& dt) {
    if (std::is_sorted(dt.begin(), dt.end())) return {};
    std::vector<std::uint32_t> order(dt.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return dt[a] < dt[b]; });
    return order;
}

// ---- columns to polars, through the Arrow C data interface

namespace {

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<void, FreeDeleter>;

Buffer alloc(std::size_t bytes) {
    const std::size_t size = (std::max<std::size_t>(bytes, 1) + 63) / 64 * 64;
    void* p = std::aligned_alloc(64, size);
    if (!p) throw std::bad_alloc();
    std::memset(static_cast<char*>(p) + size - 64, 0, 64);
    return Buffer(p);
}

// One column ready for export: its Arrow format and its buffers.
struct Column {
    std::string name;
    const char* format;
    std::int64_t length;
    std::vector<Buffer> buffers;  // buffer 0 (validity) always null
};

struct SchemaPrivate {
    std::string name, format;
};
struct ArrayPrivate {
    std::vector<Buffer> buffers;
    std::vector<const void*> pointers;
};

void release_schema(ArrowSchema* s) {
    delete static_cast<SchemaPrivate*>(s->private_data);
    s->release = nullptr;
}
void release_array(ArrowArray* a) {
    delete static_cast<ArrayPrivate*>(a->private_data);
    a->release = nullptr;
}

void schema_capsule_free(PyObject* cap) {
    auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(cap, "arrow_schema"));
    if (s && s->release) s->release(s);
    delete s;
}
void array_capsule_free(PyObject* cap) {
    auto* a = static_cast<ArrowArray*>(PyCapsule_GetPointer(cap, "arrow_array"));
    if (a && a->release) a->release(a);
    delete a;
}

// A one-shot holder of a column's capsules, offering __arrow_c_array__.
struct Exported {
    PyObject_HEAD
    PyObject* schema;
    PyObject* array;
};

void exported_dealloc(PyObject* self) {
    auto* e = reinterpret_cast<Exported*>(self);
    Py_XDECREF(e->schema);
    Py_XDECREF(e->array);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* exported_arrow_c_array(PyObject* self, PyObject*, PyObject*) {
    auto* e = reinterpret_cast<Exported*>(self);
    return PyTuple_Pack(2, e->schema, e->array);
}

PyMethodDef g_exported_methods[] = {
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exported_arrow_c_array)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_exported_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(exported_dealloc)},
    {Py_tp_methods, g_exported_methods},
    {0, nullptr},
};

PyType_Spec g_exported_spec = {"positions._ArrowColumn", sizeof(Exported), 0, Py_TPFLAGS_DEFAULT,
                               g_exported_slots};

const ExecCache exported_type{"the Arrow column holder type", [] { return PyType_FromSpec(&g_exported_spec); }};

// The holder of an exported schema and array, which its capsules release from here on.
py::object exported_of(ArrowSchema* schema, ArrowArray* array) {
    py::object schema_cap = py::reinterpret_steal<py::object>(
        PyCapsule_New(schema, "arrow_schema", schema_capsule_free));
    if (!schema_cap) {
        schema->release(schema);
        delete schema;
        array->release(array);
        delete array;
        throw_py();
    }
    py::object array_cap = py::reinterpret_steal<py::object>(
        PyCapsule_New(array, "arrow_array", array_capsule_free));
    if (!array_cap) {
        array->release(array);
        delete array;
        throw_py();
    }
    PyObject* tp = exported_type.borrowed();
    auto* e = PyObject_New(Exported, reinterpret_cast<PyTypeObject*>(tp));
    if (!e) throw_py();
    Py_INCREF(tp);  // heap-type instances own a reference to their type
    e->schema = schema_cap.release().ptr();
    e->array = array_cap.release().ptr();
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(e));
}

py::object export_column(Column&& col) {
    auto* sp = new SchemaPrivate{col.name, col.format};
    auto* schema = new ArrowSchema{sp->format.c_str(), sp->name.c_str(), nullptr, 0, 0, nullptr,
                                   nullptr, release_schema, sp};
    auto* ap = new ArrayPrivate{std::move(col.buffers), {}};
    for (auto& b : ap->buffers) ap->pointers.push_back(b.get());
    auto* array = new ArrowArray{col.length, 0, 0, static_cast<std::int64_t>(ap->pointers.size()), 0,
                                 ap->pointers.data(), nullptr, nullptr, release_array, ap};
    return exported_of(schema, array);
}

// All columns as one struct array, so polars imports them in one call.
struct StructSchemaPrivate {
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> pointers;
};
struct StructArrayPrivate {
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> pointers;
    const void* validity = nullptr;
};

// Releases the children, then the parent's own data (Arrow's rule for a parent's release).
template <class Arrow, class Private>
void release_struct(Arrow* x) {
    auto* p = static_cast<Private*>(x->private_data);
    for (auto& c : p->children)
        if (c.release) c.release(&c);
    delete p;
    x->release = nullptr;
}

py::object export_struct(std::vector<Column>&& cols, std::int64_t length) {
    auto* sp = new StructSchemaPrivate;
    auto* ap = new StructArrayPrivate;
    sp->children.reserve(cols.size());
    ap->children.reserve(cols.size());
    // Each child owns its names and buffers from here, released with its parent.
    for (Column& c : cols) {
        auto* csp = new SchemaPrivate{std::move(c.name), c.format};
        sp->children.push_back(ArrowSchema{csp->format.c_str(), csp->name.c_str(), nullptr, 0, 0, nullptr, nullptr,
                                           release_schema, csp});
        auto* cap = new ArrayPrivate{std::move(c.buffers), {}};
        for (auto& b : cap->buffers) cap->pointers.push_back(b.get());
        ap->children.push_back(ArrowArray{c.length, 0, 0, static_cast<std::int64_t>(cap->pointers.size()), 0,
                                          cap->pointers.data(), nullptr, nullptr, release_array, cap});
    }
    for (auto& c : sp->children) sp->pointers.push_back(&c);
    for (auto& c : ap->children) ap->pointers.push_back(&c);
    const auto n = static_cast<std::int64_t>(cols.size());
    auto* schema = new ArrowSchema{"+s", "", nullptr, 0, n, sp->pointers.data(), nullptr,
                                   release_struct<ArrowSchema, StructSchemaPrivate>, sp};
    auto* array = new ArrowArray{length, 0, 0, 1, n, &ap->validity, ap->pointers.data(), nullptr,
                                 release_struct<ArrowArray, StructArrayPrivate>, ap};
    return exported_of(schema, array);
}

template <class T>
Column fixed_column(const char* name, const char* format, const std::vector<T>& v) {
    Column c{name, format, static_cast<std::int64_t>(v.size()), {}};
    c.buffers.emplace_back(nullptr);
    c.buffers.push_back(alloc(v.size() * sizeof(T)));
    if (!v.empty()) std::memcpy(c.buffers[1].get(), v.data(), v.size() * sizeof(T));
    return c;
}

Column bool_column(const char* name, const std::vector<std::uint8_t>& v) {
    Column c{name, "b", static_cast<std::int64_t>(v.size()), {}};
    c.buffers.emplace_back(nullptr);
    c.buffers.push_back(alloc((v.size() + 7) / 8));
    auto* bits = static_cast<std::uint8_t*>(c.buffers[1].get());
    std::memset(bits, 0, (v.size() + 7) / 8);
    for (std::size_t i = 0; i < v.size(); ++i)
        if (v[i]) bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
    return c;
}

template <class At>
Column text_column(const char* name, std::size_t n, At at) {
    Column c{name, "U", static_cast<std::int64_t>(n), {}};
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += at(i).size();
    c.buffers.emplace_back(nullptr);
    c.buffers.push_back(alloc((n + 1) * sizeof(std::int64_t)));
    c.buffers.push_back(alloc(total));
    auto* offsets = static_cast<std::int64_t*>(c.buffers[1].get());
    auto* data = static_cast<char*>(c.buffers[2].get());
    std::int64_t pos = 0;
    offsets[0] = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::string_view s = at(i);
        if (!s.empty()) std::memcpy(data + pos, s.data(), s.size());
        pos += static_cast<std::int64_t>(s.size());
        offsets[i + 1] = pos;
    }
    return c;
}

PyObject* g_polars = nullptr;  // the polars module seen first; kept for the process

struct PolarsRoute {
    bool native = false;         // build through the binding's own constructors
    py::object from_c_array;     // PySeries.from_arrow_c_array
    py::object pydf_type;        // PyDataFrame
    py::object from_pydf;        // DataFrame._from_pydf
    py::object unnest;           // PySeries.struct_unnest: all columns in one import, or null
};

// Made on first use and published only when complete: building it runs
// polars code, during which another thread may ask for it.
PolarsRoute& route(py::handle pl) {
    static PolarsRoute* r = nullptr;
    if (!r) {
        auto built = std::make_unique<PolarsRoute>();
        try {
            py::object series_cls = get_attr(pl, names::Series);
            py::object frame_cls = get_attr(pl, names::DataFrame);
            py::object pyseries = borrow(py::type::handle_of(get_attr(call(series_cls), names::_s)));
            py::object pydf = borrow(py::type::handle_of(get_attr(call(frame_cls), names::_df)));
            built->from_c_array = get_attr(pyseries, names::from_arrow_c_array);
            built->pydf_type = pydf;
            built->from_pydf = get_attr(frame_cls, names::_from_pydf);
            built->native = true;
            try {
                built->unnest = get_attr(pyseries, names::struct_unnest);
            } catch (py::error_already_set&) {
                PyErr_Clear();  // one import per column
            }
        } catch (py::error_already_set&) {
            built->native = false;  // the public constructors still work
        }
        if (!r) r = built.release();  // lives for the process; a later copy is dropped
    }
    return *r;
}

// The polars module the frames are made with (imported before any frame is).
py::object polars_module() {
    if (g_polars) return py::reinterpret_borrow<py::object>(g_polars);
    return py::module_::import("polars");
}

py::object frame_from(std::vector<Column>&& columns, bool inner = false) {
    py::object pl = polars_module();
    PolarsRoute& r = route(pl);
    if (r.native && r.unnest) {
        // One import of a struct array, unnested into the frame's columns.
        const std::int64_t n = columns.empty() ? 0 : columns.front().length;
        py::object exported = export_struct(std::move(columns), n);
        py::object s = call(r.from_c_array, exported);
        py::object df = call(r.unnest, s);
        return inner ? df : call(r.from_pydf, df);
    }
    py::list series;
    for (Column& c : columns) {
        std::string name = c.name;
        py::object exported = export_column(std::move(c));
        if (r.native)
            series.append(call(r.from_c_array, exported));
        else
            series.append(call_method(pl, names::Series, steal(PyUnicode_FromString(name.c_str())), exported));
    }
    if (r.native) {
        py::object inner_df = call(r.pydf_type, series);
        return inner ? inner_df : call(r.from_pydf, inner_df);
    }
    return call_method(pl, names::DataFrame, series);
}

}  // namespace

bool genuine_polars(py::handle pl) {
    if (!g_polars) {
        PyObject* m = PyImport_GetModule(names::polars.ptr());
        if (!m) {
            PyErr_Clear();
            return false;
        }
        g_polars = m;  // one strong reference for the process
    }
    return pl.ptr() == g_polars;
}

py::object tick_frame(const TickColumns& c) {
    std::vector<Column> cols;
    cols.push_back(fixed_column("dt", "tsu:", c.dt));
    cols.push_back(text_column("market_type", c.size(), [&](std::size_t i) { return c.market_type.at(i); }));
    cols.push_back(text_column("code", c.size(), [&](std::size_t i) { return c.code.at(i); }));
    cols.push_back(fixed_column("close", "g", c.close));
    cols.push_back(fixed_column("qty", "l", c.qty));
    cols.push_back(fixed_column("tick_type", "c", c.tick_type));
    cols.push_back(bool_column("is_simulate", c.is_simulate));
    cols.push_back(bool_column("is_virtual", c.is_virtual));
    return frame_from(std::move(cols));
}

namespace {
std::vector<Column> kbar_columns(const std::vector<Bar>& bars);
}

py::object kbar_frame(const std::vector<Bar>& bars) { return frame_from(kbar_columns(bars)); }

std::optional<py::object> kbar_inner_frame(const std::vector<Bar>& bars) {
    if (!route(polars_module()).native) return std::nullopt;
    return frame_from(kbar_columns(bars), true);
}

py::object wrap_inner_frame(py::handle inner) {
    return call(route(polars_module()).from_pydf, inner);
}

py::object rechunk_small_inner_frame(py::handle inner) {
    py::object columns = call_method(inner, names::get_columns);
    py::list out;
    for (py::handle c : columns) {
        out.append(call_method(c, names::rechunk, Py_False));  // in_place=False: a new series
    }
    return call(route(polars_module()).pydf_type, out);
}

namespace {
// A fixed-width column written straight into its buffer.
template <class T, class Get>
Column fixed_from(const char* name, const char* format, std::size_t n, Get get) {
    Column c{name, format, static_cast<std::int64_t>(n), {}};
    c.buffers.reserve(2);
    c.buffers.emplace_back(nullptr);
    c.buffers.push_back(alloc(n * sizeof(T)));
    T* out = static_cast<T*>(c.buffers[1].get());
    for (std::size_t i = 0; i < n; ++i) out[i] = get(i);
    return c;
}

std::vector<Column> kbar_columns(const std::vector<Bar>& bars) {
    const std::size_t n = bars.size();
    std::vector<Column> cols;
    cols.reserve(7);
    cols.push_back(fixed_from<std::int64_t>("dt", "tsu:", n, [&](std::size_t i) { return bars[i].dt; }));
    cols.push_back(text_column("code", n, [&](std::size_t i) { return std::string_view(bars[i].code); }));
    cols.push_back(fixed_from<double>("Open", "g", n, [&](std::size_t i) { return bars[i].open; }));
    cols.push_back(fixed_from<double>("High", "g", n, [&](std::size_t i) { return bars[i].high; }));
    cols.push_back(fixed_from<double>("Low", "g", n, [&](std::size_t i) { return bars[i].low; }));
    cols.push_back(fixed_from<double>("Close", "g", n, [&](std::size_t i) { return bars[i].close; }));
    cols.push_back(fixed_from<std::int64_t>("Volume", "l", n, [&](std::size_t i) { return bars[i].volume; }));
    return cols;
}
}  // namespace

}  // namespace zk::cols
